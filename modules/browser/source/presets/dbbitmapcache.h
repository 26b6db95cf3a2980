// Decoded preview bitmaps of one library, in one recency order shared by all libraries, with a
// limit of 128 unpinned bitmaps in all.
//
// Locks: a library cache's lock is taken before the shared lock. Eviction of another library's
// entry takes that library's lock first, never while holding its own.
#pragma once

#include <atomic>

#include "orx/bitmap.h"
#include "orx/threads.h"

class DBBitmapCache
{
public:
  static constexpr Int32 kLimit = 128;

  struct Entry
  {
    Entry* prev = nullptr; // in the library's list
    Entry* next = nullptr;
    Entry* newer = nullptr; // in the shared recency list
    Entry* older = nullptr;
    UInt32 itemId = 0;
    UInt32 imageId = 0;
    BaseBitmap* bitmap = nullptr;
    DBBitmapCache* cache = nullptr;
    std::atomic<UInt32> pins{0};
    Int32 removed = 0;
    Bool evicting = false;
  };

  DBBitmapCache() = default;
  ~DBBitmapCache();
  DBBitmapCache(const DBBitmapCache&) = delete;
  DBBitmapCache& operator=(const DBBitmapCache&) = delete;

  // Adding replaces an entry with the same ids. Stores a copy; null when no copy could be made.
  Entry* AddCopy(UInt32 itemId, UInt32 imageId, const BaseBitmap* bitmap);
  // Takes the bitmap over; with pin the entry starts borrowed once.
  Entry* AddOwned(UInt32 itemId, UInt32 imageId, BaseBitmap* bitmap, Bool pin);
  // A copy the caller owns (free with DeleteObj / delete), or null.
  BaseBitmap* GetCopy(UInt32 itemId, UInt32 imageId);
  // The cached bitmap itself, valid until GiveBack even if the entry is removed meanwhile.
  BaseBitmap* Borrow(UInt32 itemId, UInt32 imageId);
  // Gives back the borrowed bitmap (as Borrow gave it, or as AddOwned took it with pin).
  Bool GiveBack(UInt32 itemId, UInt32 imageId, const BaseBitmap* bitmap);
  Bool Remove(UInt32 itemId, UInt32 imageId);
  void Clear();

  // Entries of all libraries.
  static Int32 SharedCount();

private:
  Entry* Find(UInt32 itemId, UInt32 imageId, Bool skipRemoved) const;
  Entry* Insert(UInt32 itemId, UInt32 imageId, BaseBitmap* bitmap, Bool pin);
  void UnlinkAndDeleteLocked(Entry* e); // holds this cache's lock and the shared lock
  static void Touch(Entry* e);
  static void MakeRoom();

  Entry* first_ = nullptr;
  Entry* last_ = nullptr;
  RWLock lock_;
  std::atomic<Int32> evictions_{0};
};
