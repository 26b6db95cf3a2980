// Change notices from the nodes to whoever shows the tree. The nodes sit below the content layer
// that knows the windows and the browser command, so that layer installs the one sink at start;
// until then, and after the end, notices go nowhere.
#pragma once

#include "contenttree/rtreenode.h"

using NodeChangedSink = void (*)(const NodeRef& node);

void SetNodeChangedSink(NodeChangedSink sink);
// Tells whoever shows the tree that node changed (its name, its children, its preview).
void NotifyNodeChanged(const NodeRef& node);
