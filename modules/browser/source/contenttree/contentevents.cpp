#include "contenttree/contentevents.h"

#include <atomic>

namespace {
std::atomic<NodeChangedSink> g_sink{nullptr};
thread_local NodeChangeCollector* t_collector = nullptr;
} // namespace

NodeChangeScope::NodeChangeScope(NodeChangeCollector* collector) : outer_(t_collector) { t_collector = collector; }

NodeChangeScope::~NodeChangeScope() { t_collector = outer_; }

void NodeChangeCollector::Add(const NodeRef& node)
{
  std::lock_guard g(lock_);
  for (const NodeRef& n : nodes_)
    if (n.Get() == node.Get())
      return;
  nodes_.push_back(node);
}

std::vector<NodeRef> NodeChangeCollector::Take()
{
  std::lock_guard g(lock_);
  std::vector<NodeRef> out;
  out.swap(nodes_);
  return out;
}

void SetNodeChangedSink(NodeChangedSink sink)
{
  g_sink.store(sink, std::memory_order_release);
}

void NotifyNodeChanged(const NodeRef& node)
{
  if (!node)
    return;
  if (NodeChangeCollector* c = t_collector) {
    c->Add(node);
    return;
  }
  if (NodeChangedSink sink = g_sink.load(std::memory_order_acquire))
    sink(node);
}
