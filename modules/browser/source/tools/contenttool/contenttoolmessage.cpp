#include "tools/contenttool/contenttoolmessage.h"

#include "base/browserutils.h"
#include "contenttree/nodeconstants.h"
#include "core/toolhooks.h"
#include "orx/browsercontenttool.h"
#include "tools/contenttool/exportlibrary.h"
#include "tools/contenttool/librarybuild.h"

Int32 ContentToolMessage(BrowserContentNode* node, Int32 op, void* data)
{
  auto* r = static_cast<OrxContentToolRequest*>(data);
  if (!r || r->size < Int32(sizeof(OrxContentToolRequest)))
    return MESSAGE_NOT_HANDLED;
  if (!IsContentToolEnabled() && !(r->flags & CONTENTTOOL_ENABLE))
    return MESSAGE_NOT_HANDLED;
  try {
    switch (op) {
      case CONTENTTOOL_EXPORT: return ExportLibraryMessage(node, r);
      case CONTENTTOOL_BUILD: return BuildLibraryMessage(r);
      default: return MESSAGE_NOT_HANDLED;
    }
  } catch (...) {
    return MESSAGE_NOT_HANDLED;
  }
}

namespace {
// The call table lies below the tools: it reaches the content tool through the hook put in here
// when the module is loaded.
struct Install
{
  Install() { SetContentToolHandler(&ContentToolMessage); }
} g_install;
} // namespace
