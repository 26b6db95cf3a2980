// Change notices from the nodes to whoever shows the tree. The nodes sit below the content layer
// that knows the windows and the browser command, so that layer installs the one sink at start;
// until then, and after the end, notices go nowhere.
#pragma once

#include <mutex>
#include <vector>

#include "contenttree/rtreenode.h"

using NodeChangedSink = void (*)(const NodeRef& node);

void SetNodeChangedSink(NodeChangedSink sink);
// Tells whoever shows the tree that node changed (its name, its children, its preview).
void NotifyNodeChanged(const NodeRef& node);

// Notices kept for later: a worker gathers the nodes it changed and the main thread tells them.
class NodeChangeCollector
{
public:
  void Add(const NodeRef& node);
  // Any thread: what was collected so far, each node once, in the order first seen.
  std::vector<NodeRef> Take();

private:
  std::mutex lock_;
  std::vector<NodeRef> nodes_;
};

// While a scope lives on a thread, the notices of that thread go to its collector instead of the
// views.
class NodeChangeScope
{
public:
  explicit NodeChangeScope(NodeChangeCollector* collector);
  ~NodeChangeScope();
  NodeChangeScope(const NodeChangeScope&) = delete;
  NodeChangeScope& operator=(const NodeChangeScope&) = delete;

private:
  NodeChangeCollector* outer_;
};
