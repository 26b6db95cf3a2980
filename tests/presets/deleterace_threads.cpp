// Deletes racing with every other way of finding an item (move, rename through a handle, a second
// delete, open or create, handle closes): after a save and a reload exactly the items that were
// not deleted are there, and no deleted item comes back.
#include <atomic>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "presettest.h"

TEST_F(LibraryTest, DeletesRacingWithMovesOpensAndClosesStayDeleted)
{
  constexpr int kItems = 1500;
  // The interleavings that matter are rare; a few rounds make them near certain.
  for (int round = 0; round < 4; ++round) {
    BrowserDatabase* db = NewLibrary("race.libqz", "preset://race.libqz");
    auto path = [](int i) { return String("preset://race.libqz/i") + String::FromInt(i); };
    auto moved = [](int i) { return String("preset://race.libqz/m") + String::FromInt(i); };
    auto renamed = [](int i) { return String("preset://race.libqz/r") + String::FromInt(i); };
    for (int i = 0; i < kItems; ++i)
      Make(db, path(i), "x")->Close();
    ASSERT_TRUE(db->Save());

    std::vector<std::atomic<int>> deleted(kItems);
    auto del = [&](int i, bool backwards) {
      const bool gone = backwards ? (db->DeleteItem(renamed(i)) || db->DeleteItem(moved(i)) || db->DeleteItem(path(i)))
                                  : (db->DeleteItem(path(i)) || db->DeleteItem(moved(i)) || db->DeleteItem(renamed(i)));
      if (gone)
        deleted[i] = 1;
    };
    // Two threads, one per core, on the same item at the same moment: one deletes, the other
    // moves, deletes too, renames through a handle, or opens and closes.
    std::vector<std::function<void(int)>> work = {
        [&](int i) {
          if (i % 8 != 7)
            del(i, false);
        },
        [&](int i) {
          switch (i % 4) {
          case 0:
            del(i, true);
            break;
          case 1:
            db->MoveItem(path(i), moved(i));
            break;
          case 2:
            if (BrowserDatabaseItem* h = db->OpenOrCreateItem(path(i))) {
              h->SetPath(renamed(i));
              h->Close();
            }
            break;
          default:
            if (BrowserDatabaseItem* h = db->OpenItem(path(i))) {
              h->GetName();
              h->Close();
            }
          }
          if (i % 4 != 1)
            db->MoveItem(path(i), moved(i));
        },
    };
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (auto& w : work)
      threads.emplace_back([&, w] {
        for (int i = 0; i < kItems; ++i) {
          arrived.fetch_add(1);
          while (arrived.load() < 2 * (i + 1))
            std::this_thread::yield();
          w(i);
        }
      });
    for (std::thread& t : threads)
      t.join();
    // What the library shows now is what must come back: a deleted item must not reappear.
    auto visible = [&](BrowserDatabase* d) {
      std::vector<int> seen;
      for (int i = 0; i < kItems; ++i) {
        int k = 0;
        for (const String& p : {path(i), moved(i), renamed(i)}) {
          if (BrowserDatabaseItem* h = d->OpenItem(p)) {
            seen.push_back(i * 3 + k);
            h->Close();
          }
          ++k;
        }
      }
      return seen;
    };
    const std::vector<int> before = visible(db);
    int deletes = 0;
    for (int i = 0; i < kItems; ++i)
      deletes += deleted[i];
    ASSERT_GT(deletes, 0);
    ASSERT_TRUE(db->Save());
    db = Reopen(db);
    const std::vector<int> after = visible(db);
    EXPECT_EQ(after.size(), before.size());
    EXPECT_TRUE(after == before);
    EXPECT_EQ(db->GetItemCount(), Int32(after.size()));
    BrowserDatabase::Destroy(db);
    GeDelete(Path("race.libqz"));
  }
}

namespace {
// The open count of the only entry under the path's hash.
UInt32 OpenCount(const String& path)
{
  BrowserHashNode* n = hashindex::FindNode(UInt32(hashindex::PathHash(path)));
  if (!n)
    return 0;
  std::shared_lock<RWLock> g(n->GetLock());
  return n->GetEntryCount() > 0 ? n->GetEntries()[0].open.load() : 0;
}

void WaitForOpenCount(const String& path, UInt32 count)
{
  while (OpenCount(path) < count)
    std::this_thread::yield();
}
} // namespace

// The interleavings of the race above, made certain: both callers have found the item before
// either gets the library lock.
TEST_F(LibraryTest, CallerThatFoundAnItemBeforeItsDeleteGivesItBackAsAClose)
{
  BrowserDatabase* db = NewLibrary("race.libqz", "preset://race.libqz");
  const String a = "preset://race.libqz/a", b = "preset://race.libqz/b", b2 = "preset://race.libqz/b2",
               keep = "preset://race.libqz/keep";
  for (const String& p : {a, b, keep})
    Make(db, p, "x")->Close();
  ASSERT_TRUE(db->Save());

  auto race = [&](const String& path, std::function<void()> first, std::function<void()> second) {
    std::unique_lock<Lock> hold(db->GetLock());
    std::thread t1(first);
    WaitForOpenCount(path, 1);
    std::thread t2(second);
    WaitForOpenCount(path, 2);
    hold.unlock();
    t1.join();
    t2.join();
  };
  std::atomic<int> deletes{0};
  // Two deletes of one item.
  race(a, [&] { deletes += db->DeleteItem(a); }, [&] { deletes += db->DeleteItem(a); });
  EXPECT_EQ(deletes.load(), 1);
  // A move and a delete: whichever wins, the item is gone.
  race(b, [&] { db->MoveItem(b, b2); }, [&] { db->DeleteItem(b) || db->DeleteItem(b2); });
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  for (const String& p : {a, b, b2}) {
    BrowserDatabaseItem* h = db->OpenItem(p);
    EXPECT_EQ(h, nullptr) << p.ToUtf8() << " came back";
    if (h)
      h->Close();
  }
  EXPECT_EQ(db->GetItemCount(), 1);
}
