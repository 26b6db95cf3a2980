// Start and end steps. Steps whose subsystem does not exist yet do nothing.
#include "core/registration.h"

#include "base/browserurl.h"
#include "core/contentaccess.h"
#include "core/libraryregistry.h"
#include "nodes/directorynode.h"
#include "presets/browserdatabase.h"
#include "previews/bgthread.h"

namespace {
constexpr Int32 kBrowserCommandId = 1017163;
constexpr Int32 kCommandFlags = 0x10000000;
constexpr Int32 kManagerInfoKind = 21;
constexpr Int32 kPrefPageId = 465001634;
constexpr Int32 kPrefPagePlace = 10000070;
constexpr Int32 kStrBrowserName = 10000;
constexpr Int32 kStrBrowserCommand = 30023;
constexpr Int32 kStrDamagedLibraries = 10407;
} // namespace

void RegInitContent() { InitContent(); }
void RegInitViewSettings() {}
void RegInitBackgroundTasks() { InitBackgroundTasks(); }
void RegInstallCallTable() { InstallCallTable(); }

Bool RegRegisterCommands()
{
  return GeRegisterCommand(kBrowserCommandId, GeLoadString(kStrBrowserCommand), kCommandFlags, nullptr);
}

Bool RegRegisterManagerInfo()
{
  return GeRegisterManagerInformation(kBrowserCommandId, GeLoadString(kStrBrowserName), kManagerInfoKind);
}

Bool RegRegisterViewFilterCommands() { return true; }

Bool RegRegisterPrefPage()
{
  return GeRegisterPrefPage(kPrefPageId, GeLoadString(kStrBrowserName), String("Prefsbrowser"), kPrefPagePlace);
}

void RegFreeBackgroundTasks() { FreeBackgroundTasks(); }
void RegReleaseContent() { ReleaseContent(); }
// Without an end-of-program message first, changes would be lost: save what is still open, and
// compact what asks for it as every end does.
void RegCloseAllLibraries() { CloseAllLibraries(true, true); }

String DamagedLibrariesLine(const String& names)
{
  if (names.IsEmpty())
    return String();
  return GeLoadString(kStrDamagedLibraries) + String(" ") + names;
}

void RegReportDamagedLibraries()
{
  String names;
  BrowserDatabase::ListDamaged(&names, true);
  String line = DamagedLibrariesLine(names);
  if (line.Content())
    GePrint(line);
}

void RegRunLibraryLoader(OrxThread& thread)
{
  LoadLibraries(true, &thread);
  // A run that ended without its end (a crash, or the host's end alone) left what it replaced: the
  // start compacts it in the background instead of leaving the files to grow.
  if (!thread.TestBreak())
    DropVanishedFileRecords(BrowserDatabase::GetLibrary(GetMainDatabaseIndex()), true);
  CompactLibrariesThatAskIt(&thread);
}
namespace {
// The file category once its volumes were listed; before that there is nothing to bring up to date.
NodeRef ListedFileRoot()
{
  NodeRef root = GetRootNode(ROOT_FILE);
  return root && root->GetFirstChild() ? root : nullptr;
}
} // namespace

void RegVolumeChanged(const BrowserURL& volume, Bool removed)
{
  NodeRef root = ListedFileRoot();
  if (!root || removed)
    return;
  // New media in a known volume: its entries are listed again when it is next opened.
  BrowserURL want = volume;
  const String text = want.GetString();
  for (NodeRef c = BrowserContentNode::FromTree(root->GetFirstChild()); c; c = c->GetNextNode()) {
    BrowserURL u;
    if (c->GetNodeType() == NODETYPE_DIRECTORY && c->GetURL(&u, 0) && u.GetString() == text)
      c->SetStatus(NODESTATUS_RELIST);
  }
}

void RegRefreshFileRoot()
{
  if (NodeRef root = ListedFileRoot())
    DirectoryNode::SyncVolumes(root.Get());
}
void RegCloseBrowserWindows() {}
void RegShutdownContent(Bool allowCompaction)
{
  if (allowCompaction)
    DropVanishedFileRecords(BrowserDatabase::GetLibrary(0), true);
  ShutdownContent(allowCompaction);
}
void RegFreeIconCache() {}
