// The one call through which a content node's base GetTypeName reaches the handler registry.
#pragma once

#include "orx/string.h"
#include "orx/types.h"

class BrowserContentNode;

// Asks the node's handler (or, failing that, the handler found for its URL by name) for the node's
// type name in the given mode. False, with out left as it was, when no handler answers.
Bool NodeTypeNameFromHandler(BrowserContentNode* node, String* out, Int32 mode);
