// The plug-in's entry point, its start and end order and the module-wide state.
#pragma once

#include "orx/orx.h"

ORX_EXPORT Int32 orx_main(Int32 action, void* p1, void* p2, void* p3);

// Entry actions.
constexpr Int32 ORX_ACTION_INIT = 1;
constexpr Int32 ORX_ACTION_START = 2;
constexpr Int32 ORX_ACTION_END = 3;
constexpr Int32 ORX_ACTION_QUERY = 4;
constexpr Int32 ORX_ACTION_MESSAGE = 6;

// Plug-in messages (action 6).
constexpr Int32 ORX_MSG_VERSION = 0;
constexpr Int32 ORX_MSG_OPEN_RESOURCE = 1;
constexpr Int32 ORX_MSG_STARTUP_ACTIVITY = 1000;
constexpr Int32 ORX_MSG_RUN_START = 1001084;
constexpr Int32 ORX_MSG_VOLUME_CHANGE = 1001190;
constexpr Int32 ORX_MSG_END_OF_PROGRAM = 200000272;

// Oldest host interface the module runs with; the module's own version answer to message 0.
constexpr Int32 BROWSER_MIN_HOST_VERSION = 14000;
constexpr Int32 BROWSER_MODULE_VERSION = 18250;
// A run shorter than this allows compaction of libraries at the end.
constexpr Int32 BROWSER_COMPACT_RUN_LIMIT_MS = 10000;

constexpr Int32 BROWSER_PROGRESS_ICON_FIRST = 1021644;
constexpr Int32 BROWSER_PROGRESS_ICON_COUNT = 8;

// The host record of message 1; the module clears its one pointer field once the resource is open.
struct OrxPluginStartRecord
{
  void* field;
};

// The record of message 1001190.
struct OrxVolumeChangeRecord
{
  String* drive;
  Int32 removed;
};

// Entry operations behind orx_main.
Bool PluginStart();
void PluginEnd();
Bool PluginMessage(Int32 id, void* data);

// Read access to the module-wide state (main thread, except where noted).
Bool BrowserIsStarted();
Bool BrowserIsReady();  // any thread
Bool BrowserIsEnding(); // any thread
Int32 BrowserRunStartTime();
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
