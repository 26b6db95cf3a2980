// The content tool's entry from the published table (orx/browsercontenttool.h).
#pragma once

#include "contenttree/rtreenode.h"

// Refused unless the content tool is enabled or the request asks for it (CONTENTTOOL_ENABLE).
Int32 ContentToolMessage(BrowserContentNode* node, Int32 op, void* data);
