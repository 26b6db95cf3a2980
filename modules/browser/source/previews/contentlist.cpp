#include "previews/contentlist.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "orx/dialogs.h"

void ContentList::SetMessageTarget(Int32 dialog, PostFunction post)
{
  post_.store(post, std::memory_order_release);
  dialog_.store(dialog, std::memory_order_release);
}

Bool ContentList::SetNodes(const NodeRef* nodes, Int32 count)
{
  decltype(entries_) fresh;
  try {
    fresh.resize(std::size_t(std::max<Int32>(count, 0)));
  } catch (...) {
    return false;
  }
  for (Int32 i = 0; i < count; ++i)
    fresh[std::size_t(i)].node = nodes[i];
  {
    std::lock_guard g(lock_);
    entries_.swap(fresh);
    count_ = Int32(entries_.size());
    ++generation_;
    anchor_ = cursor_ = firstSelected_ = lastSelected_ = -1;
    selectedCount_ = 0;
  }
  // The old references go after the lock: a release may destroy a node.
  return true;
}

void ContentList::SetSelection(Bool select, Int32 from, Int32 to)
{
  Bool changed = false;
  {
    std::lock_guard g(lock_);
    if (count_ <= 0)
      return;
    if (from > to)
      std::swap(from, to);
    from = std::clamp(from, 0, count_ - 1);
    to = std::clamp(to, 0, count_ - 1);
    for (Int32 i = from; i <= to; ++i) {
      UInt32& flags = entries_[std::size_t(i)].flags;
      const Bool selected = (flags & CONTENTENTRY_SELECTED) != 0;
      if (selected == select)
        continue;
      changed = true;
      ++changeCount_;
      if (select) {
        flags |= CONTENTENTRY_SELECTED;
        if (selectedCount_++ == 0) {
          anchor_ = firstSelected_ = lastSelected_ = i;
        } else {
          firstSelected_ = std::min(firstSelected_, i);
          lastSelected_ = std::max(lastSelected_, i);
        }
        continue;
      }
      flags &= ~CONTENTENTRY_SELECTED;
      if (--selectedCount_ == 0) {
        anchor_ = firstSelected_ = lastSelected_ = -1;
        continue;
      }
      if (i == firstSelected_) {
        Int32 n = i + 1;
        while (n < count_ && !(entries_[std::size_t(n)].flags & CONTENTENTRY_SELECTED))
          ++n;
        firstSelected_ = n;
      }
      if (i == lastSelected_) {
        Int32 n = i - 1;
        while (n >= 0 && !(entries_[std::size_t(n)].flags & CONTENTENTRY_SELECTED))
          --n;
        lastSelected_ = n;
      }
    }
    if (select)
      cursor_ = to;
  }
  const Int32 dialog = dialog_.load(std::memory_order_acquire);
  if (!changed || !dialog)
    return;
  PostFunction post = post_.load(std::memory_order_acquire);
  if (post)
    post(dialog, MSG_CONTENTLIST_CHANGED, CONTENTLIST_CHANGED_SELECTION, 0);
  else
    GePostCoreMessage(dialog, MSG_CONTENTLIST_CHANGED, CONTENTLIST_CHANGED_SELECTION, 0);
}

void ContentList::SetVisibleRange(Int32 first, Int32 last)
{
  std::lock_guard g(lock_);
  // The previous range may lie beyond a list that shrank since.
  if (firstVisible_ >= 0)
    for (Int32 i = firstVisible_; i <= lastVisible_ && i < count_; ++i)
      entries_[std::size_t(i)].flags &= ~CONTENTENTRY_VISIBLE;
  if (count_ <= 0) {
    firstVisible_ = lastVisible_ = -1;
    return;
  }
  if (first > last)
    std::swap(first, last);
  first = std::clamp(first, 0, count_ - 1);
  last = std::clamp(last, 0, count_ - 1);
  for (Int32 i = first; i <= last; ++i)
    entries_[std::size_t(i)].flags |= CONTENTENTRY_VISIBLE;
  firstVisible_ = first;
  lastVisible_ = last;
}

ContentListSnapshot ContentList::GetSnapshot() const
{
  std::shared_lock g(lock_);
  return SnapshotLocked();
}

Int32 ContentList::GetCount() const
{
  std::shared_lock g(lock_);
  return count_;
}

Int32 ContentList::GetChangeCount() const
{
  std::shared_lock g(lock_);
  return changeCount_;
}

Int32 ContentList::GetSelectedCount() const
{
  std::shared_lock g(lock_);
  return selectedCount_;
}

Int32 ContentList::GetAnchor() const
{
  std::shared_lock g(lock_);
  return anchor_;
}

Int32 ContentList::GetCursor() const
{
  std::shared_lock g(lock_);
  return cursor_;
}

UInt32 ContentList::GetFlags(Int32 index) const
{
  std::shared_lock g(lock_);
  return index >= 0 && index < count_ ? entries_[std::size_t(index)].flags : 0;
}

NodeRef ContentList::GetNode(Int32 index) const
{
  std::shared_lock g(lock_);
  return index >= 0 && index < count_ ? entries_[std::size_t(index)].node : NodeRef();
}
