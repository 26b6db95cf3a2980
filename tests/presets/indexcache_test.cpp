// The shared hash index and the preview bitmap cache.
#include <vector>

#include "presettest.h"

using namespace libwriter;

TEST_F(LibraryTest, WritableCopyIsFoundBeforeTheReadOnlyOne)
{
  std::string f = Head() + InfoChunk(7, "") + ItemChunk(Item(1, "preset://s.libqz/x"), 1) + End();
  ASSERT_TRUE(orxtest::WriteFile(Path("ro.libqz"), f));
  ASSERT_TRUE(orxtest::WriteFile(Path("rw.libqz"), f));
  BrowserDatabase* ro = BrowserDatabase::Create(Path("ro.libqz"), String(), 0);
  ro->SetLocked();
  ASSERT_TRUE(ro->Load());
  BrowserDatabase* rw = Open(Path("rw.libqz"));
  BrowserDatabaseItem* h = rw->OpenItem("preset://s.libqz/x");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetDatabase(), rw);
  EXPECT_TRUE(h->IsWritable());
  h->Close();
  // Once the writable copy is gone the read-only one answers.
  BrowserDatabase::Destroy(rw);
  h = ro->OpenItem("preset://s.libqz/x");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetDatabase(), ro);
  h->Close();
}

TEST_F(LibraryTest, HashNodeEntriesCollisionsAndClose)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  BaseContainer a(1), b(2), c(3);
  const UInt32 key = 0xABCDEF;
  BrowserHashNode* n = hashindex::AddNode(&a, db, "p/one", key);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(hashindex::AddNode(&b, db, "p/two", key), n); // same key: same node
  ASSERT_TRUE(hashindex::AddEntry(n, &c, db, "p/three"));
  EXPECT_EQ(n->GetEntryCount(), 3);
  EXPECT_EQ(hashindex::FindEntry(n, "p/two", 0), &b);
  EXPECT_EQ(hashindex::FindEntry(n, "P/TWO", 0), nullptr);
  EXPECT_EQ(hashindex::FindEntry(n, "P/TWO", 1), &b);
  hashindex::ReleaseEntry(n, &b); // the two finds that matched
  EXPECT_FALSE(hashindex::RemoveIfUnused(n, &b)); // still open twice
  b.SetId(-2);
  EXPECT_FALSE(hashindex::CloseEntry(n, &b));
  EXPECT_EQ(b.GetId(), -2);
  EXPECT_TRUE(hashindex::CloseEntry(n, &b)); // the last one
  EXPECT_EQ(b.GetId(), -1);
  EXPECT_EQ(n->GetEntryCount(), 2);
  EXPECT_EQ(n->GetEntries()[0].item, &a); // order kept
  EXPECT_EQ(n->GetEntries()[1].item, &c);
  EXPECT_TRUE(hashindex::RemoveEntry(n, &a));
  EXPECT_TRUE(hashindex::RemoveEntry(n, &c));
  EXPECT_EQ(n->GetEntryCount(), 0);
  EXPECT_EQ(hashindex::FindNode(key), n); // nodes stay until the tree goes
}

TEST_F(LibraryTest, PathHashIgnoresCaseAndCoversLongPaths)
{
  EXPECT_EQ(hashindex::PathHash("preset://a.libqz/Red"), hashindex::PathHash("PRESET://A.LIBQZ/red"));
  std::string longPath(3000, 'a');
  std::string other = longPath;
  other[2900] = 'b';
  EXPECT_NE(hashindex::PathHash(String(longPath)), hashindex::PathHash(String(other)));
}

namespace {
BaseBitmap* Bmp(int w)
{
  BaseBitmap* b = new BaseBitmap();
  b->Init(w, 1);
  return b;
}
} // namespace

TEST_F(LibraryTest, PreviewCacheLimitAndRecency)
{
  BrowserDatabase* a = NewLibrary("a.libqz", "preset://a.libqz");
  BrowserDatabase* b = NewLibrary("b.libqz", "preset://b.libqz");
  for (UInt32 i = 0; i < 128; ++i)
    ASSERT_TRUE((i % 2 ? a : b)->CacheAddOwned(i, 0, Bmp(1), false));
  EXPECT_EQ(DBBitmapCache::SharedCount(), 128);
  BaseBitmap* copy = b->CacheGetCopy(0, 0); // the oldest becomes the newest
  ASSERT_NE(copy, nullptr);
  delete copy;
  ASSERT_TRUE(a->CacheAddOwned(500, 0, Bmp(1), false));
  EXPECT_EQ(DBBitmapCache::SharedCount(), 128);
  EXPECT_EQ(a->CacheBorrow(1, 0), nullptr); // the least recent one went
  BaseBitmap* kept = b->CacheBorrow(0, 0);
  ASSERT_NE(kept, nullptr);
  EXPECT_TRUE(b->CacheGiveBack(0, 0, kept));
  a->CacheClear();
  b->CacheClear();
  EXPECT_EQ(DBBitmapCache::SharedCount(), 0);
}

TEST_F(LibraryTest, PreviewCachePinnedEntries)
{
  BrowserDatabase* a = NewLibrary("a.libqz", "preset://a.libqz");
  std::vector<BaseBitmap*> pinned;
  for (UInt32 i = 0; i < 128; ++i) {
    pinned.push_back(Bmp(int(i) + 1));
    ASSERT_TRUE(a->CacheAddOwned(i, 0, pinned.back(), true));
  }
  ASSERT_TRUE(a->CacheAddOwned(999, 0, Bmp(1), false)); // all pinned: goes above the limit
  EXPECT_EQ(DBBitmapCache::SharedCount(), 129);
  EXPECT_TRUE(a->CacheGiveBack(5, 0, pinned[5]));
  ASSERT_TRUE(a->CacheAddOwned(1000, 0, Bmp(1), false)); // evicts every unpinned one it can
  EXPECT_EQ(DBBitmapCache::SharedCount(), 128);
  EXPECT_EQ(a->CacheBorrow(999, 0), nullptr);
  // A borrowed bitmap outlives its removal until given back, and is not found meanwhile.
  BaseBitmap* borrowed = a->CacheBorrow(7, 0);
  ASSERT_NE(borrowed, nullptr);
  EXPECT_TRUE(a->CacheRemove(7, 0));
  EXPECT_EQ(a->CacheBorrow(7, 0), nullptr);
  EXPECT_EQ(borrowed->GetWidth(), 8);
  EXPECT_EQ(borrowed, pinned[7]);
  EXPECT_TRUE(a->CacheGiveBack(7, 0, borrowed)); // the first pin
  EXPECT_TRUE(a->CacheGiveBack(7, 0, borrowed)); // ours: now it goes
  EXPECT_FALSE(a->CacheGiveBack(7, 0, borrowed));
  a->CacheClear();
}

TEST_F(LibraryTest, AddingAPreviewDropsItsCachedBitmap)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  BrowserDatabaseItem* h = Make(db, "preset://a.libqz/x");
  ASSERT_TRUE(db->CacheAddOwned(UInt32(h->GetId()), 0, Bmp(2), false));
  ASSERT_TRUE(h->AddPreview(0, "new", 3, 4, DateTime()));
  EXPECT_EQ(db->CacheBorrow(UInt32(h->GetId()), 0), nullptr);
  h->Close();
}
