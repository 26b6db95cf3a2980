// The plug-in's entry point, its start and end order and the module-wide state.
#pragma once

#include "orx/orx.h"
#include "orx/plugin.h"

// Oldest host interface the module runs with; the module's own version answer to message 0.
constexpr Int32 BROWSER_MIN_HOST_VERSION = 14000;
constexpr Int32 BROWSER_MODULE_VERSION = 18250;
// A run shorter than this allows compaction of libraries at the end.
constexpr Int32 BROWSER_COMPACT_RUN_LIMIT_MS = 10000;

constexpr Int32 BROWSER_PROGRESS_ICON_FIRST = 1021644;
constexpr Int32 BROWSER_PROGRESS_ICON_COUNT = 8;

// Entry operations behind orx_main.
Bool PluginStart();
void PluginEnd();
Bool PluginMessage(Int32 id, void* data);

// Read access to the module-wide state (main thread, except where noted).
Bool BrowserIsStarted();
Bool BrowserIsReady();  // any thread
Bool BrowserIsEnding(); // any thread
Int32 BrowserRunStartTime();
// Moves the start of the run (tests of long runs).
void SetBrowserRunStartForTests(Int32 start);
// The folder that holds the module file; empty before action 1.
Filename BrowserModuleFolder();
// Serialises library scans; null before message 1000 and after the end of the program.
Lock* BrowserLoaderLock();
// True while the library loader thread exists (started and not yet deleted).
Bool BrowserLoaderThreadExists();

// Whether a run of this length (host timer values, wrap-safe) lets libraries be compacted.
Bool BrowserCompactionAllowed(Int32 runStart, Int32 now);
// The URL of a volume named by a volume-change message: a native path on this platform
// ("/media/x"), a drive letter ("D") elsewhere.
class BrowserURL;
void BrowserVolumeURL(const String& drive, BrowserURL* out);

// The thread that loads the preset libraries after start.
class ThreadedPresetLoading : public OrxThread
{
public:
  void Main() override;
  const char* GetThreadName() override { return "ThreadedPresetLoading"; }
};
