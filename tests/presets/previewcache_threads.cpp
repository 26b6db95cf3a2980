// The preview cache used from several threads at once on the same ids: every borrowed bitmap is
// the one that was added under its ids and stays whole until it is given back.
#include <atomic>
#include <thread>
#include <vector>

#include "presettest.h"

TEST_F(LibraryTest, PreviewCacheSharedByThreads)
{
  BrowserDatabase* a = NewLibrary("a.libqz", "preset://a.libqz");
  BrowserDatabase* b = NewLibrary("b.libqz", "preset://b.libqz");
  std::atomic<int> wrong{0}, borrowed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      BrowserDatabase* db = t % 2 ? a : b;
      for (int i = 0; i < 3000; ++i) {
        // Few ids, so that adds, borrows, removes and evictions meet on the same entries; the
        // width tells which ids a bitmap was added under.
        const UInt32 id = UInt32((i * 7 + t) % 160);
        if (i % 3 == 0) {
          BaseBitmap* bmp = new BaseBitmap();
          bmp->Init(Int32(id) + 1, 1);
          db->CacheAddOwned(id, 0, bmp, false);
        }
        if (BaseBitmap* got = db->CacheBorrow(id, 0)) {
          borrowed.fetch_add(1);
          if (got->GetWidth() != Int32(id) + 1)
            wrong.fetch_add(1);
          std::this_thread::yield();
          if (got->GetWidth() != Int32(id) + 1)
            wrong.fetch_add(1);
          if (!db->CacheGiveBack(id, 0, got))
            wrong.fetch_add(1);
        }
        if (i % 11 == 0)
          db->CacheRemove(id, 0);
        if (BaseBitmap* copy = db->CacheGetCopy(id, 0)) {
          if (copy->GetWidth() != Int32(id) + 1)
            wrong.fetch_add(1);
          delete copy;
        }
      }
    });
  }
  for (std::thread& th : threads)
    th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(borrowed.load(), 0);
  a->CacheClear();
  b->CacheClear();
  EXPECT_EQ(DBBitmapCache::SharedCount(), 0);
}
