// ContentList: the entries a view shows, with the selection and the visible rows, shared between
// the view (main thread) and the preview worker, which reads it under the list's read lock.
#pragma once

#include <atomic>
#include <vector>

#include "contenttree/rtreenode.h"
#include "orx/memory.h"
#include "orx/threads.h"

// Entry flag bits.
constexpr UInt32 CONTENTENTRY_SELECTED = 0x1;
constexpr UInt32 CONTENTENTRY_VISIBLE = 0x2;
// Posted to the owner's dialog when the selection changed, so that the window's other parts follow.
constexpr Int32 MSG_CONTENTLIST_CHANGED = 1017163;
constexpr Int64 CONTENTLIST_CHANGED_SELECTION = 2;

struct ContentListEntry
{
  void* viewEntry = nullptr; // the view's drawing object; the list does not own it
  NodeRef node;
  UInt32 flags = 0;
};

// The values the preview worker watches: any difference means its fetched entries are stale.
struct ContentListSnapshot
{
  Int32 generation = 0;
  Int32 firstVisible = -1;
  Int32 lastVisible = -1;
  Int32 firstSelected = -1;
  Int32 lastSelected = -1;
  bool operator==(const ContentListSnapshot&) const = default;
};

class ContentList
{
public:
  using PostFunction = void (*)(Int32 dialog, Int32 id, Int64 p1, Int64 p2);

  ContentList() = default;
  ~ContentList() = default;
  ContentList(const ContentList&) = delete;
  ContentList& operator=(const ContentList&) = delete;

  // Where selection changes are posted; dialog 0 posts nothing. post null: the host's core message.
  void SetMessageTarget(Int32 dialog, PostFunction post = nullptr);

  // Replaces the entries (references taken) and starts a new generation. The selection is
  // emptied; the visible range is kept as the view last set it, since the view lays out the new
  // entries later: readers clamp it to the count.
  Bool SetNodes(const NodeRef* nodes, Int32 count);
  void Clear() { SetNodes(nullptr, 0); }

  // Selects or deselects from..to (in either order, clamped to the entries).
  void SetSelection(Bool select, Int32 from, Int32 to);
  // Marks first..last visible (clamped to the entries); nothing is marked while the list is empty.
  void SetVisibleRange(Int32 first, Int32 last);

  // Under the read lock.
  ContentListSnapshot GetSnapshot() const;
  Int32 GetCount() const;
  Int32 GetChangeCount() const;
  Int32 GetSelectedCount() const;
  Int32 GetAnchor() const;
  Int32 GetCursor() const;
  UInt32 GetFlags(Int32 index) const;
  NodeRef GetNode(Int32 index) const;

  // For readers of the entries themselves: hold the lock shared while using Entries().
  RWLock& GetLock() const { return lock_; }
  const ContentListEntry* Entries() const { return entries_.data(); }
  Int32 CountLocked() const { return count_; }
  ContentListSnapshot SnapshotLocked() const
  {
    return {generation_, firstVisible_, lastVisible_, firstSelected_, lastSelected_};
  }

private:
  mutable RWLock lock_;
  Int32 generation_ = 0;
  Int32 changeCount_ = 0;
  Int32 count_ = 0;
  Int32 anchor_ = -1;
  Int32 cursor_ = -1;
  Int32 firstSelected_ = -1;
  Int32 lastSelected_ = -1;
  Int32 selectedCount_ = 0;
  Int32 firstVisible_ = -1;
  Int32 lastVisible_ = -1;
  std::vector<ContentListEntry, orx::HostAllocator<ContentListEntry>> entries_;
  std::atomic<Int32> dialog_{0};
  std::atomic<PostFunction> post_{nullptr};
};
