#include "core/toolhooks.h"

#include <atomic>

#include "contenttree/nodeconstants.h"

namespace {
// Constant-initialised: set from static constructors of other files, in any order.
std::atomic<ContentToolHandler> g_contentTool{nullptr};
} // namespace

void SetContentToolHandler(ContentToolHandler handler) { g_contentTool.store(handler); }

Int32 CallContentToolHandler(BrowserContentNode* node, Int32 op, void* data)
{
  const ContentToolHandler h = g_contentTool.load();
  return h ? h(node, op, data) : MESSAGE_NOT_HANDLED;
}
