// ItemProgressThread: copy, move, delete and link of many content nodes in a worker, through the
// nodes' edit operations, with counts of files and bytes that the main thread reads while it runs.
//
// Threads: the constructor, Run, the option setters and TakeChangedNodes belong to the main thread
// (or whoever owns the object); Main runs on the worker; the counters and the status may be read
// from any thread at any time. Only the main thread tells the views: the worker collects the nodes
// that its edits changed.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "contenttree/contentevents.h"
#include "contenttree/rtreenode.h"
#include "orx/string.h"
#include "orx/threads.h"

constexpr Int32 ITEMOP_COPY = 1;
constexpr Int32 ITEMOP_MOVE = 2;
constexpr Int32 ITEMOP_DELETE = 3;
constexpr Int32 ITEMOP_LINK = 4; // a copy whose destination makes links (catalogs)

constexpr Int32 ITEMSTATUS_RUNNING = -1;
constexpr Int32 ITEMSTATUS_DONE = 0;
constexpr Int32 ITEMSTATUS_CANCELLED = 1;
constexpr Int32 ITEMSTATUS_CONFLICT = 2;
constexpr Int32 ITEMSTATUS_INSIDE = 3; // the destination lies inside a source
constexpr Int32 ITEMSTATUS_FAILED = 4;

// Options for items whose name is taken in the destination.
constexpr UInt32 ITEMOPTION_SKIP = 0x1;    // leave the existing item, count the source as done
constexpr UInt32 ITEMOPTION_REPLACE = 0x2; // put the source in its place once it is complete

class ItemProgressThread : public OrxThread
{
public:
  ItemProgressThread(Int32 operation, std::vector<NodeRef> sources, NodeRef destination, UInt32 options = 0);
  ~ItemProgressThread() override;

  // Starts (or, after a conflict, restarts at the first source not done) the work; async false runs
  // it on the caller's thread.
  Bool Run(Bool async = true, Int32 priority = THREADPRIORITY_NORMAL);
  void Main() override;
  const char* GetThreadName() override { return "Content Browser: ItemProgressThread"; }

  Int32 GetOperation() const { return operation_; }
  void SetOptions(UInt32 options) { options_.store(options); }
  UInt32 GetOptions() const { return options_.load(); }
  // After a conflict: the next run replaces that one item (the question was answered yes).
  void ReplaceConflict();

  // --- any thread ---
  Int32 GetStatus() const { return status_.load(std::memory_order_acquire); }
  Bool IsCounting() const { return counting_.load(std::memory_order_relaxed); }
  UInt32 GetTotalFiles() const { return totalFiles_.load(std::memory_order_relaxed); }
  UInt64 GetTotalBytes() const { return totalBytes_.load(std::memory_order_relaxed); }
  UInt32 GetDoneFiles() const { return doneFiles_.load(std::memory_order_relaxed); }
  UInt64 GetDoneBytes() const { return doneBytes_.load(std::memory_order_relaxed); }
  Int32 GetNext() const { return next_.load(std::memory_order_acquire); }
  Int32 GetCount() const { return Int32(sources_.size()); }

  // --- once the thread has ended ---
  NodeRef GetConflict();
  // The name of the item that failed or conflicted, and the node operation's result code.
  String GetItemName();
  Int32 GetResult() const { return result_.load(); }
  // Sources skipped because their name was taken.
  Int32 GetSkipped() const { return skipped_.load(); }

  // Main thread: the nodes the work changed since the last call; the caller tells the views.
  std::vector<NodeRef> TakeChangedNodes() { return changed_.Take(); }

  // The edit callback handed to the node operations; data is the thread.
  static Int32 Progress(void* data, Int32 phase, Int32 count, Int64 size, Int32 reserved);

private:
  Int32 Work(); // the status
  Int32 Ask(const NodeRef& source, const String& name);
  Int32 Call(const NodeRef& source, Int32 phase, const String* name);
  Int32 Replace(size_t i, const NodeRef& source);
  Int32 Finish(Int32 status, const NodeRef& item, Int32 result);
  NodeRef FindTaken(const String& name, Bool list = true);
  Bool DestinationInside(const NodeRef& source);

  const Int32 operation_;
  std::vector<NodeRef> sources_;
  NodeRef destination_;
  std::atomic<UInt32> options_;

  std::atomic<Int32> status_{ITEMSTATUS_DONE};
  std::atomic<Int32> next_{0};
  std::atomic<Bool> counting_{false};
  std::atomic<UInt32> totalFiles_{0};
  std::atomic<UInt64> totalBytes_{0};
  std::atomic<UInt32> doneFiles_{0};
  std::atomic<UInt64> doneBytes_{0};
  std::atomic<Int32> result_{0};
  std::atomic<Int32> skipped_{0};

  std::mutex lock_; // conflict_, itemName_, replaceOnce_
  NodeRef conflict_;
  String itemName_;
  NodeRef replaceOnce_; // the conflicting node that the person said may be replaced

  // Per source, decided by the counting pass: 0 as it is, 1 skipped, 2 replaced (temp_ holds the
  // name the copy is written under).
  std::vector<UChar> plan_;
  std::vector<NodeRef> taken_;
  std::vector<String> temp_;

  NodeChangeCollector changed_;
};
