// A run of the preview worker over a folder for a caller without a window (the published table's
// preview requests): the folder's children, or everything below it, as the worker's content list.
#pragma once

#include "contenttree/rtreenode.h"
#include "orx/types.h"

// Answers the preview requests of the published table, or MESSAGE_NOT_HANDLED.
Int32 PreviewsMessage(BrowserContentNode* node, Int32 op, void* data);
