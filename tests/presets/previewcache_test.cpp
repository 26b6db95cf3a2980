// The preview cache with several borrowers of the same ids: each gives back its own entry, and no
// entry is evicted or freed while it is borrowed.
#include "presettest.h"

namespace {
BaseBitmap* Bitmap(int w)
{
  BaseBitmap* b = new BaseBitmap();
  b->Init(w, 1);
  return b;
}
} // namespace

TEST_F(LibraryTest, PreviewCacheBorrowersGiveBackTheirOwnEntries)
{
  BrowserDatabase* a = NewLibrary("a.libqz", "preset://a.libqz");
  // The first borrower holds an entry that is removed meanwhile; a new one takes the same ids.
  BaseBitmap* first = Bitmap(3);
  ASSERT_TRUE(a->CacheAddOwned(1, 0, first, true));
  ASSERT_TRUE(a->CacheRemove(1, 0));
  ASSERT_TRUE(a->CacheAddOwned(1, 0, Bitmap(4), false));
  BaseBitmap* second = a->CacheBorrow(1, 0);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->GetWidth(), 4);
  EXPECT_TRUE(a->CacheGiveBack(1, 0, first));
  // Eviction of everything unpinned must leave the second borrower's bitmap alone.
  for (UInt32 i = 100; i < 100 + 2 * DBBitmapCache::kLimit; ++i)
    ASSERT_TRUE(a->CacheAddOwned(i, 0, Bitmap(1), false));
  EXPECT_EQ(second->GetWidth(), 4);
  EXPECT_EQ(a->CacheBorrow(1, 0), second);
  EXPECT_TRUE(a->CacheGiveBack(1, 0, second));
  EXPECT_TRUE(a->CacheGiveBack(1, 0, second));
  EXPECT_FALSE(a->CacheGiveBack(1, 0, second));
  // Adding the same ids again replaces the entry instead of adding a second one.
  ASSERT_TRUE(a->CacheAddOwned(2, 0, Bitmap(6), false));
  ASSERT_TRUE(a->CacheAddOwned(2, 0, Bitmap(7), false));
  BaseBitmap* got = a->CacheBorrow(2, 0);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->GetWidth(), 7);
  EXPECT_TRUE(a->CacheGiveBack(2, 0, got));
  EXPECT_TRUE(a->CacheRemove(2, 0));
  EXPECT_EQ(a->CacheBorrow(2, 0), nullptr);
  a->CacheClear();
  EXPECT_EQ(DBBitmapCache::SharedCount(), 0);
}
