#include "previews/bgstack.h"

#include <mutex>

BGStack::BGStack()
{
  try {
    items_.reserve(kInitialCapacity);
    saved_.reserve(kInitialCapacity);
  } catch (...) {
  }
}

void BGStack::Shrink(List* list)
{
  const std::size_t cap = list->capacity();
  if (cap <= kInitialCapacity || list->size() >= cap / 4)
    return;
  try {
    List smaller;
    smaller.reserve(cap / 2);
    for (BGWork& w : *list)
      smaller.push_back(std::move(w));
    list->swap(smaller);
  } catch (...) {
  }
}

void BGStack::SavePositionLocked(List* dropped)
{
  if ((flags_ & BGFLAG_AFTER_CURRENT) && cursor_) {
    try {
      saved_.push_back({current_, cursor_, flags_});
    } catch (...) {
    }
  }
  for (BGWork& w : items_)
    dropped->push_back(std::move(w));
  items_.clear();
  dropped->push_back({std::move(current_), std::move(cursor_), 0});
}

Bool BGStack::PushFolder(const NodeRef& folder, Int32 flags)
{
  if (!folder)
    return false;
  // Listing the children may read a disk: never under the lock.
  NodeRef first = folder->GetDownNode();
  List dropped;
  std::lock_guard g(lock_);
  try {
    if (flags & BGFLAG_AFTER_CURRENT) {
      saved_.push_back({folder, std::move(first), flags});
      return true;
    }
    if (folder != current_) {
      SavePositionLocked(&dropped);
      current_ = folder;
      cursor_ = std::move(first);
      flags_ = flags;
    } else if (!cursor_) {
      cursor_ = std::move(first);
    }
  } catch (...) {
    return false;
  }
  return true;
}

Bool BGStack::PushItem(const NodeRef& node)
{
  if (!node || (node->GetStatus() & (NODESTATUS_FOLDER | NODESTATUS_NOHANDLER)))
    return false;
  NodeRef parent = node->GetUpNode();
  List dropped;
  std::lock_guard g(lock_);
  try {
    if (parent != current_) {
      SavePositionLocked(&dropped);
      current_ = parent;
      cursor_ = nullptr;
      flags_ = 0;
    }
    items_.push_back({std::move(parent), node, BGFLAG_ITEM});
  } catch (...) {
    return false;
  }
  return true;
}

Bool BGStack::Next(BGWork* out)
{
  List dropped;
  NodeRef next;
  std::lock_guard g(lock_);
  if (!items_.empty()) {
    *out = std::move(items_.back());
    items_.pop_back();
    Shrink(&items_);
    return true;
  }
  while (!cursor_) {
    if (saved_.empty()) {
      dropped.push_back({std::move(current_), nullptr, 0});
      return false;
    }
    BGWork s = std::move(saved_.back());
    saved_.pop_back();
    Shrink(&saved_);
    dropped.push_back({std::move(current_), nullptr, 0});
    current_ = std::move(s.folder);
    cursor_ = std::move(s.node);
    flags_ = s.flags;
  }
  out->folder = current_;
  out->node = cursor_;
  out->flags = flags_;
  cursor_ = cursor_->GetNextNode();
  return true;
}

Bool BGStack::IsEmpty() const
{
  std::lock_guard g(lock_);
  return items_.empty() && saved_.empty() && !current_;
}

void BGStack::Clear()
{
  List dropped;
  std::lock_guard g(lock_);
  dropped.swap(items_);
  for (BGWork& w : saved_)
    dropped.push_back(std::move(w));
  saved_.clear();
  dropped.push_back({std::move(current_), std::move(cursor_), 0});
  flags_ = 0;
  try {
    items_.reserve(kInitialCapacity);
  } catch (...) {
  }
}

std::size_t BGStack::ItemCapacity() const
{
  std::lock_guard g(lock_);
  return items_.capacity();
}
