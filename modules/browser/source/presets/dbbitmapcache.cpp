#include "presets/dbbitmapcache.h"

#include <mutex>
#include <shared_mutex>
#include <thread>

namespace {
struct Shared
{
  DBBitmapCache::Entry* oldest = nullptr;
  DBBitmapCache::Entry* newest = nullptr;
  Int32 count = 0;
  Lock lock;
};
Shared& S()
{
  static Shared* s = new Shared(); // outlives every library cache
  return *s;
}

void UnlinkShared(DBBitmapCache::Entry* e)
{
  Shared& s = S();
  if (e->older)
    e->older->newer = e->newer;
  else
    s.oldest = e->newer;
  if (e->newer)
    e->newer->older = e->older;
  else
    s.newest = e->older;
  e->older = e->newer = nullptr;
}

void LinkNewest(DBBitmapCache::Entry* e)
{
  Shared& s = S();
  e->older = s.newest;
  e->newer = nullptr;
  if (s.newest)
    s.newest->newer = e;
  else
    s.oldest = e;
  s.newest = e;
}
} // namespace

DBBitmapCache::~DBBitmapCache() { Clear(); }

Int32 DBBitmapCache::SharedCount()
{
  std::lock_guard<Lock> g(S().lock);
  return S().count;
}

DBBitmapCache::Entry* DBBitmapCache::Find(UInt32 itemId, UInt32 imageId, Bool skipRemoved) const
{
  for (Entry* e = first_; e; e = e->next)
    if (e->itemId == itemId && e->imageId == imageId && !(skipRemoved && e->removed))
      return e;
  return nullptr;
}

void DBBitmapCache::Touch(Entry* e)
{
  std::lock_guard<Lock> g(S().lock);
  if (S().newest != e) {
    UnlinkShared(e);
    LinkNewest(e);
  }
}

void DBBitmapCache::UnlinkAndDeleteLocked(Entry* e)
{
  if (e->prev)
    e->prev->next = e->next;
  else
    first_ = e->next;
  if (e->next)
    e->next->prev = e->prev;
  else
    last_ = e->prev;
  UnlinkShared(e);
  --S().count;
  delete e->bitmap;
  OrxDeleteObj(e);
}

void DBBitmapCache::MakeRoom()
{
  Shared& s = S();
  for (;;) {
    Entry* victim = nullptr;
    DBBitmapCache* owner = nullptr;
    {
      std::lock_guard<Lock> g(s.lock);
      if (s.count < kLimit)
        return;
      for (Entry* e = s.oldest; e; e = e->newer) {
        if (!e->evicting && e->pins.load(std::memory_order_acquire) == 0) {
          victim = e;
          break;
        }
      }
      if (!victim)
        return; // everything is pinned: the new entry goes above the limit
      victim->evicting = true;
      owner = victim->cache;
      owner->evictions_.fetch_add(1, std::memory_order_acq_rel);
    }
    {
      std::lock_guard<RWLock> cg(owner->lock_);
      std::lock_guard<Lock> g(s.lock);
      if (victim->pins.load(std::memory_order_acquire) == 0)
        owner->UnlinkAndDeleteLocked(victim);
      else
        victim->evicting = false;
    }
    owner->evictions_.fetch_sub(1, std::memory_order_acq_rel);
  }
}

DBBitmapCache::Entry* DBBitmapCache::Insert(UInt32 itemId, UInt32 imageId, BaseBitmap* bitmap, Bool pin)
{
  MakeRoom();
  Entry* e = OrxNewObj(Entry);
  if (!e)
    return nullptr;
  e->itemId = itemId;
  e->imageId = imageId;
  e->bitmap = bitmap;
  e->cache = this;
  e->pins.store(pin ? 1 : 0, std::memory_order_relaxed);
  std::lock_guard<RWLock> cg(lock_);
  std::lock_guard<Lock> g(S().lock);
  // One live entry per ids: an older one goes now, or, while borrowed, at its last give-back.
  if (Entry* old = Find(itemId, imageId, true)) {
    old->removed = 1;
    if (old->pins.load(std::memory_order_acquire) == 0 && !old->evicting)
      UnlinkAndDeleteLocked(old);
  }
  e->next = first_;
  if (first_)
    first_->prev = e;
  else
    last_ = e;
  first_ = e;
  LinkNewest(e);
  ++S().count;
  return e;
}

DBBitmapCache::Entry* DBBitmapCache::AddCopy(UInt32 itemId, UInt32 imageId, const BaseBitmap* bitmap)
{
  if (!bitmap)
    return nullptr;
  BaseBitmap* copy = bitmap->GetClone();
  if (!copy)
    return nullptr;
  Entry* e = Insert(itemId, imageId, copy, false);
  if (!e)
    delete copy;
  return e;
}

DBBitmapCache::Entry* DBBitmapCache::AddOwned(UInt32 itemId, UInt32 imageId, BaseBitmap* bitmap, Bool pin)
{
  if (!bitmap)
    return nullptr;
  Entry* e = Insert(itemId, imageId, bitmap, pin);
  if (!e)
    delete bitmap;
  return e;
}

BaseBitmap* DBBitmapCache::GetCopy(UInt32 itemId, UInt32 imageId)
{
  std::shared_lock<RWLock> cg(lock_);
  Entry* e = Find(itemId, imageId, true);
  if (!e)
    return nullptr;
  Touch(e);
  return e->bitmap ? e->bitmap->GetClone() : nullptr;
}

BaseBitmap* DBBitmapCache::Borrow(UInt32 itemId, UInt32 imageId)
{
  std::shared_lock<RWLock> cg(lock_);
  Entry* e = Find(itemId, imageId, true);
  if (!e)
    return nullptr;
  e->pins.fetch_add(1, std::memory_order_acq_rel);
  Touch(e);
  return e->bitmap;
}

Bool DBBitmapCache::GiveBack(UInt32 itemId, UInt32 imageId, const BaseBitmap* bitmap)
{
  std::lock_guard<RWLock> cg(lock_);
  // A removed entry is still given back: that is when it goes. The bitmap tells the borrower's
  // entry from a newer one with the same ids.
  Entry* e = nullptr;
  for (Entry* x = first_; x; x = x->next)
    if (x->itemId == itemId && x->imageId == imageId && x->bitmap == bitmap &&
        x->pins.load(std::memory_order_acquire) > 0) {
      e = x;
      break;
    }
  if (!e)
    return false;
  if (e->pins.fetch_sub(1, std::memory_order_acq_rel) == 1 && e->removed && !e->evicting) {
    std::lock_guard<Lock> g(S().lock);
    UnlinkAndDeleteLocked(e);
  }
  return true;
}

Bool DBBitmapCache::Remove(UInt32 itemId, UInt32 imageId)
{
  std::lock_guard<RWLock> cg(lock_);
  Entry* e = Find(itemId, imageId, true);
  if (!e)
    return false;
  e->removed = 1;
  if (e->pins.load(std::memory_order_acquire) == 0 && !e->evicting) {
    std::lock_guard<Lock> g(S().lock);
    UnlinkAndDeleteLocked(e);
  }
  return true;
}

void DBBitmapCache::Clear()
{
  for (;;) {
    Bool empty;
    {
      std::lock_guard<RWLock> cg(lock_);
      std::lock_guard<Lock> g(S().lock);
      for (Entry* e = first_; e;) {
        Entry* next = e->next;
        if (!e->evicting)
          UnlinkAndDeleteLocked(e);
        e = next;
      }
      empty = first_ == nullptr;
    }
    if (empty && evictions_.load(std::memory_order_acquire) == 0)
      return;
    std::this_thread::yield(); // an eviction of ours is waiting for our lock
  }
}
