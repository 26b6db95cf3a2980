#include "contenttree/contentevents.h"

#include <atomic>

namespace {
std::atomic<NodeChangedSink> g_sink{nullptr};
}

void SetNodeChangedSink(NodeChangedSink sink)
{
  g_sink.store(sink, std::memory_order_release);
}

void NotifyNodeChanged(const NodeRef& node)
{
  if (!node)
    return;
  if (NodeChangedSink sink = g_sink.load(std::memory_order_acquire))
    sink(node);
}
