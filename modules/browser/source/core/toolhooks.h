// Entry points of the tools layer, which lies above core: the tools put their handlers in when the
// module is loaded, and the call table reaches them through here.
#pragma once

#include "contenttree/rtreenode.h"

// Handles a content tool message (orx/browsercontenttool.h); node may be null.
using ContentToolHandler = Int32 (*)(BrowserContentNode* node, Int32 op, void* data);
void SetContentToolHandler(ContentToolHandler handler);
// MESSAGE_NOT_HANDLED when no handler is in.
Int32 CallContentToolHandler(BrowserContentNode* node, Int32 op, void* data);
