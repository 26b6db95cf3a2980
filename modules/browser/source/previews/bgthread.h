// BGThread: the worker of one browser window that keeps the previews of what the window shows up
// to date: the selected visible rows first, then the visible rows, then every row of its content
// list, then the work queued on it. Previews of preset items go to their library, those of files
// on disk to the main database, and every rendered bitmap to the library's preview cache.
//
// One worker thread per BGThread lives from the first Wake to Stop, and waits for work in between,
// so that a wake never races with a run that is about to end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "contenttree/contentevents.h"
#include "orx/threads.h"
#include "previews/bgstack.h"
#include "previews/contentlist.h"

class BaseBitmap;
class BrowserDatabase;
class BrowserDatabaseItem;

// The settings the worker reads, in the browser preferences.
constexpr Int32 BROWSER_PREF_PREVIEW_WIDTH = 6;
constexpr Int32 BROWSER_PREF_PREVIEW_HEIGHT = 7;
constexpr Int32 BROWSER_PREF_BACKGROUND_PREVIEWS = 9;
constexpr Int32 BROWSER_PREF_HIGH_QUALITY = 11;
constexpr Int32 BROWSER_PREF_TIME_LIMIT = 13;
constexpr Int32 BROWSER_PREF_JPEG_QUALITY = 14;

struct BackgroundPrefs
{
  Bool on = true;
  Bool highQuality = false;
  Int32 limitSeconds = 30; // 1..3600
  Int32 width = 256, height = 256; // 128..1024
  Int32 jpegQuality = 90;
};
// Reads the settings into the module-wide values (main thread); gives them.
BackgroundPrefs ReadBackgroundPrefs();
BackgroundPrefs GetBackgroundPrefs();

// The module-wide list of workers and its lock (module start and end).
void InitBackgroundTasks();
void FreeBackgroundTasks();
Int32 BackgroundTaskCount();

// The records that the main database keeps only for the previews of files that are gone (their
// folder is there, the file is not; annotated records stay). With onlyWhenCompacting, only when
// the database's dead bytes outweigh its live ones, so that the next save compacts them away.
// Answers the number of records dropped.
Int32 DropVanishedFileRecords(BrowserDatabase* main, Bool onlyWhenCompacting);

// Fits width x height into the box keeping the aspect ratio, never enlarging.
void FitPreviewSize(Int32 width, Int32 height, Int32 boxWidth, Int32 boxHeight, Int32* outWidth, Int32* outHeight);
// The preview of a picture: a copy when it fits the box, else a scaled copy. Null on failure.
BaseBitmap* ScaleToPreview(const BaseBitmap& bitmap, Int32 boxWidth, Int32 boxHeight);

class BGThread : public OrxThread
{
public:
  ORX_HOST_ALLOCATED

  BGThread();
  // Stops and waits for the worker before anything is unlinked or cleared.
  ~BGThread() override;

  // Main thread, as the owner's view changes.
  void SetTarget(ContentList* list);
  // A size of its own instead of the preference's (0: the preference's).
  void SetPreviewSize(Int32 width, Int32 height)
  {
    ownWidth_.store(width, std::memory_order_release);
    ownHeight_.store(height, std::memory_order_release);
  }
  // Renders every entry of the target again, as forced requests do.
  void SetForceTarget(Bool on) { forceTarget_.store(on, std::memory_order_release); }
  Bool PushFolder(const NodeRef& folder, Int32 flags);
  Bool PushItem(const NodeRef& node);
  // Starts the worker or tells it to look again, unless nothing changed.
  void Wake();
  // Ends the worker and waits for it; empties the queue.
  void Stop();
  // Abandons the current work and empties the queue; the worker waits for the next Wake.
  void StopNoWait();

  // The worker and the handlers it calls: true when a stop is asked, or a render ran over the
  // time limit.
  Bool TestBreak() override;
  // The worker whose thread calls this, or null (for handlers that poll TestBreak).
  static BGThread* Current();

  // Renders the previews of one node when they are missing or stale. db: the library that keeps
  // them; item: the node's record when it has one (a record for a file on disk is made only when
  // a preview is stored). Answers true when the handler was asked.
  Bool ProcessItem(BrowserDatabase* db, BrowserDatabaseItem* item, const NodeRef& node, const BrowserURL& url,
                   Bool forced);

  // The owner: true when a render was started since the worker's last start.
  Bool WasRendered() const { return rendered_.load(std::memory_order_acquire) != 0; }
  // True while the worker has nothing to do (or is not running).
  Bool IsIdle() const;
  // Waits until the worker is idle; false after timeoutMs.
  Bool WaitIdle(Int32 timeoutMs);
  // Main thread: tells the views about the nodes whose previews were stored.
  void DeliverChanges();

  struct Counts
  {
    Int64 served = 0;   // entries and queued nodes looked at
    Int64 rendered = 0; // bitmaps rendered
    Int64 stored = 0;   // previews stored
    Int64 failed = 0;   // renders that gave nothing or ran over the limit
    Int64 noPicture = 0;
  };
  Counts GetCounts() const;

  // Starts the worker thread; the tests replace it to refuse starts.
  virtual Bool StartWorker() { return Start(true, THREADPRIORITY_NORMAL); }

  void Main() override;
  const char* GetThreadName() override { return "Content Browser: BGThread"; }

private:
  enum class Outcome
  {
    Done,
    Restart,
    Stopped
  };
  // What decided that an entry's previews were current: while none of it changed, the next pass
  // skips the entry's record lookup.
  struct EntryStamp
  {
    UInt32 records = 0; // the libraries' records generation before the lookup
    Int32 date = 0, time = 0; // the node's modification time
    Int32 width = 0, height = 0;
    Bool highQuality = false;
    Bool valid = false;
  };
  Outcome RunPasses();
  // The box and quality wanted now (the worker's own size over the preference's).
  BackgroundPrefs WantedPrefs() const;
  // Fetches the target's entries and snapshot; false without a target.
  Bool Fetch();
  Bool SnapshotChanged() const;
  Bool StopAsked() const;
  void Serve(const NodeRef& node, Bool forced, EntryStamp* stamp = nullptr);
  Bool HasWorkLocked();
  Bool StorePreview(BrowserDatabase* db, BrowserDatabaseItem*& item, const NodeRef& node, const BrowserURL& url,
                    const BaseBitmap& bitmap, Int32 imageId, Int32 quality, const DateTime& time,
                    Int32 jpegQuality);
  void BeginTiming();
  Bool EndTiming();

  friend void InitBackgroundTasks();
  friend void FreeBackgroundTasks();
  friend Int32 BackgroundTaskCount();

  // Guards the flags below, the target and the snapshot; the worker waits on wake_.
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable idleCv_;
  Bool alive_ = false;   // a worker thread runs Main (set by Wake when it starts one)
  Bool pending_ = false; // a Wake that the worker has not answered yet
  Bool targetChanged_ = false;
  ContentList* target_ = nullptr;
  ContentListSnapshot snapshot_;
  std::atomic<Int32> stopRequested_{0};
  std::atomic<Int32> idle_{1};
  std::atomic<Int32> rendered_{0};
  std::atomic<Int32> timing_{0};
  std::atomic<Int32> timedOut_{0};
  std::atomic<Int32> renderStart_{0};
  std::atomic<Int32> limitMs_{30000};
  std::atomic<Int32> ownWidth_{0}, ownHeight_{0};
  std::atomic<Bool> forceTarget_{false};

  // The worker's own copy of the target's entries.
  std::vector<NodeRef, orx::HostAllocator<NodeRef>> entries_;
  std::vector<UInt32, orx::HostAllocator<UInt32>> entryFlags_;
  // One per entry, kept across fetches for the same node at the same row.
  std::vector<EntryStamp, orx::HostAllocator<EntryStamp>> stamps_;
  // Set by ProcessItem when it found the previews current; the worker's own.
  EntryStamp lastCurrent_;
  BackgroundPrefs passPrefs_;
  ContentListSnapshot fetched_;
  Bool fetchedValid_ = false;

  BGStack queue_;
  NodeChangeCollector changes_;

  std::atomic<Int64> served_{0}, renderedCount_{0}, stored_{0}, failed_{0}, noPicture_{0};

  BGThread* prev_ = nullptr;
  BGThread* next_ = nullptr;
  Bool linked_ = false;
};
