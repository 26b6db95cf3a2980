// Entry point: the host's actions, the plug-in messages and the order of start and end.
#include "core/startplugin.h"

#include <atomic>
#include <cstdint>

#include "base/browserurl.h"
#include "base/browserutils.h"
#include "core/registration.h"

namespace {

// Module-wide state. Only plain values here: host memory must not outlive action 3.
struct ModuleState
{
  Int32 initCount = 0;
  const OrxHostTable* table = nullptr;
  Filename* modulePath = nullptr;
  Bool resourceOpen = false;
  Bool started = false;
  std::atomic<bool> ready{false};
  std::atomic<bool> ending{false};
  Int32 runStart = 0;
  ThreadedPresetLoading* loader = nullptr;
  // Read by worker threads that scan libraries.
  std::atomic<Lock*> loaderLock{nullptr};
  Bool trace = false;
};
ModuleState g;

Bool Initialised() { return g.table != nullptr && g.modulePath != nullptr; }

void Trace(const char* step)
{
  if (g.trace)
    GePrint(String("CB trace: ") + String(step));
}

void RegisterProgressIcons()
{
  Filename icons = g.modulePath->GetDirectory() + String("res") + String("icons");
  for (Int32 n = 0; n < BROWSER_PROGRESS_ICON_COUNT; ++n) {
    Filename file = icons + (String("progressor") + String::FromInt(n) + String(".tif"));
    if (!GeRegisterIcon(BROWSER_PROGRESS_ICON_FIRST + n, file))
      GePrint(String("RegisterIcon failed"));
  }
}

Bool RunRegistration()
{
  Trace("start 1 content");
  RegInitContent();
  Trace("start 2 view settings");
  RegInitViewSettings();
  Trace("start 3 background tasks");
  RegInitBackgroundTasks();
  Trace("start 4 call table");
  RegInstallCallTable();
  // Every step runs even after a failure: what registered stays registered.
  Trace("start 5 commands");
  Bool ok = RegRegisterCommands();
  Trace("start 6 manager information");
  ok = RegRegisterManagerInfo() && ok;
  Trace("start 7 view filter commands");
  ok = RegRegisterViewFilterCommands() && ok;
  Trace("start 8 preference page");
  ok = RegRegisterPrefPage() && ok;
  return ok;
}

// The loader must be gone before the content it fills is torn down.
void StopLoader()
{
  if (!g.loader)
    return;
  Trace("end loader thread");
  g.loader->End(true);
  OrxDeleteObj(g.loader);
}

void FreeLoaderLock()
{
  Lock* lock = g.loaderLock.exchange(nullptr);
  if (lock)
    OrxDeleteObj(lock);
}

void StartLoader()
{
  if (!g.loaderLock.load())
    g.loaderLock.store(OrxNewObj(Lock));
  if (g.loader) {
    // A second start-up message while the scan still runs must not start a rival scan.
    if (g.loader->IsRunning())
      return;
    OrxDeleteObj(g.loader);
  }
  Trace("start loader thread");
  g.loader = OrxNewObj(ThreadedPresetLoading);
  if (!g.loader || !g.loader->Start(true, THREADPRIORITY_BELOW)) {
    GeFatalError("startplugin.cpp", __LINE__);
    if (g.loader)
      OrxDeleteObj(g.loader);
  }
}

void VolumeChanged(const OrxVolumeChangeRecord* rec)
{
  if (rec && rec->drive && rec->drive->Content()) {
    BrowserURL url;
    BrowserVolumeURL(*rec->drive, &url);
    Trace(rec->removed ? "volume removed" : "volume changed");
    RegVolumeChanged(url, rec->removed != 0);
  }
  Trace("refresh file root");
  RegRefreshFileRoot();
}

void EndOfProgram()
{
  g.ending = true;
  // Libraries ask for compaction when their dead bytes outweigh the live ones; a long run is when
  // that happens most, so the length of the run no longer forbids it.
  const Bool compact = true;
  Trace("end close windows");
  RegCloseBrowserWindows();
  StopLoader();
  FreeLoaderLock();
  Trace(compact ? "end shut down content (compaction allowed)" : "end shut down content");
  RegShutdownContent(compact);
  Trace("end free icon cache");
  RegFreeIconCache();
  // Nothing may still write into the temporary folder: the libraries are closed by now.
  Trace("end delete temporary folder");
  DeleteTempFolderAtEnd();
}

Int32 Init(void* p1, void* p3)
{
  if (++g.initCount != 1)
    return 1;
  auto* table = static_cast<const OrxHostTable*>(p1);
  // A refused host leaves the counter at 0, so the module stays inert instead of half started.
  if (!table || table->version < BROWSER_MIN_HOST_VERSION || table->size < Int32(sizeof(OrxHostTable)) || !p3) {
    g.initCount = 0;
    return -3;
  }
  g.table = table;
  OrxInstallHostTable(table);
  // Without memory for the module path the host is refused as an old one is: the module stays inert
  // and a later action 1 may start it.
  try {
    g.modulePath = OrxNewObj(Filename, *static_cast<const Filename*>(p3));
  } catch (...) {
    g.modulePath = nullptr;
  }
  if (!g.modulePath) {
    g.table = nullptr;
    g.initCount = 0;
    return -3;
  }
  String value;
  g.trace = GeGetEnv("ORX_BROWSER_TRACE", &value) && value.Content() && value != String("0");
  return 1;
}

Int32 End()
{
  if (g.initCount <= 0)
    return 1;
  if (--g.initCount != 0)
    return 1;
  PluginEnd();
  if (g.resourceOpen)
    GeCloseResource();
  OrxDeleteObj(g.modulePath);
  g.table = nullptr;
  g.resourceOpen = false;
  g.started = false;
  g.ready = false;
  g.ending = false;
  g.runStart = 0;
  g.trace = false;
  return 1;
}

Int32 Dispatch(Int32 action, void* p1, void* p2, void* p3)
{
  switch (action) {
    case ORX_ACTION_INIT: return Init(p1, p3);
    case ORX_ACTION_START: return PluginStart() ? 1 : 0;
    case ORX_ACTION_END: return End();
    case ORX_ACTION_QUERY: return 5;
    case ORX_ACTION_MESSAGE:
      return PluginMessage(Int32(reinterpret_cast<std::intptr_t>(p1)), p2) ? 1 : -1;
    default: return -1;
  }
}

} // namespace

ORX_EXPORT Int32 orx_main(Int32 action, void* p1, void* p2, void* p3)
{
  try {
    return Dispatch(action, p1, p2, p3);
  } catch (...) {
    return action == ORX_ACTION_START ? 0 : -1;
  }
}

Bool PluginStart()
{
  if (!Initialised())
    return false;
  if (g.started)
    return g.ready;
  g.started = true;
  RegisterProgressIcons();
  if (!RunRegistration())
    return false;
  g.ready = true;
  return true;
}

void PluginEnd()
{
  StopLoader();
  if (g.started) {
    g.ready = false;
    Trace("end free background tasks");
    RegFreeBackgroundTasks();
    Trace("end release content");
    RegReleaseContent();
    Trace("end close libraries");
    RegCloseAllLibraries();
  }
  FreeLoaderLock();
}

Bool PluginMessage(Int32 id, void* data)
{
  if (id == ORX_MSG_VERSION) {
    if (data)
      *static_cast<Int32*>(data) = BROWSER_MODULE_VERSION;
    return true;
  }
  if (!Initialised())
    return false;
  switch (id) {
    case ORX_MSG_OPEN_RESOURCE:
      if (!g.resourceOpen) {
        if (!GeOpenResource(g.modulePath->GetDirectory() + String("res") + String("strings.txt")))
          return false;
        g.resourceOpen = true;
      }
      if (data)
        static_cast<OrxPluginStartRecord*>(data)->field = nullptr;
      return true;
    case ORX_MSG_STARTUP_ACTIVITY:
      // Without a content tree (start failed) or at the end there is nothing to load into.
      if (g.ready && !g.ending) {
        Trace("damaged libraries");
        RegReportDamagedLibraries();
        StartLoader();
      }
      return true;
    case ORX_MSG_RUN_START:
      if (data && *static_cast<const Int32*>(data) == 0)
        g.runStart = GeGetTimer();
      return false;
    case ORX_MSG_VOLUME_CHANGE:
      if (g.ready && !g.ending)
        VolumeChanged(static_cast<const OrxVolumeChangeRecord*>(data));
      return true;
    case ORX_MSG_END_OF_PROGRAM:
      if (g.started && !g.ending)
        EndOfProgram();
      return true;
    default: return false;
  }
}

Bool BrowserIsStarted() { return g.started; }
Bool BrowserIsReady() { return g.ready; }
Bool BrowserIsEnding() { return g.ending; }
Int32 BrowserRunStartTime() { return g.runStart; }
void SetBrowserRunStartForTests(Int32 start) { g.runStart = start; }
Filename BrowserModuleFolder() { return g.modulePath ? g.modulePath->GetDirectory() : Filename(); }
Lock* BrowserLoaderLock() { return g.loaderLock.load(); }
Bool BrowserLoaderThreadExists() { return g.loader != nullptr; }

Bool BrowserCompactionAllowed(Int32 runStart, Int32 now)
{
  // Unsigned difference: right across a timer wrap; a clock going back reads as a long run.
  return UInt32(now) - UInt32(runStart) < UInt32(BROWSER_COMPACT_RUN_LIMIT_MS);
}

void BrowserVolumeURL(const String& drive, BrowserURL* out)
{
  if (drive.GetLength() > 0 && drive[0] == u'/') {
    BrowserURL file{Filename(drive)};
    out->SetString(file.GetStringRef());
    return;
  }
  out->SetString(String("file://localhost/") + drive + String(":"));
}

void ThreadedPresetLoading::Main()
{
  // An exception must not end the host: the scan just stops, and the next request scans again.
  try {
    RegRunLibraryLoader(*this);
  } catch (...) {
  }
}
