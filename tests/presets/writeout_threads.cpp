// Records written out while other threads list and read them: every read sees the whole record,
// whether it is still in memory, on its way to the file or read back from there.
#include <atomic>
#include <thread>
#include <vector>

#include "presettest.h"

TEST_F(LibraryTest, ReadersWhileRecordsAreWrittenOut)
{
  constexpr int kItems = 120;
  BrowserDatabase* db = NewLibrary("out.libqz", "preset://out.libqz");
  auto path = [](int i) { return String("preset://out.libqz/f/i") + String::FromInt(i); };
  auto note = [](int i) { return String("note ") + String::FromInt(i); };
  std::atomic<int> made{0}, wrong{0}, reads{0};
  std::thread writer([&] {
    for (int i = 0; i < kItems; ++i) {
      BrowserDatabaseItem* h = db->OpenOrCreateItem(path(i));
      if (!h) {
        wrong.fetch_add(1);
        continue;
      }
      h->SetName(String("n") + String::FromInt(i), 0x75730000);
      h->SetAnnotation(note(i));
      const std::string d(64 + i, char('a' + i % 26));
      h->SetData(d.data(), Int64(d.size()), dbitem::kStoreAsGiven);
      h->CloseAndWriteOut();
      made.store(i + 1);
      if (i % 40 == 39)
        db->Save();
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&, t] {
      BrowserDatabaseItem h;
      std::vector<BrowserDatabase::ItemInfo> all;
      for (int k = t; made.load() < kItems || k < 4 * kItems; ++k) {
        if (k % 50 == 0) {
          db->ListItems(&all);
          for (const BrowserDatabase::ItemInfo& it : all)
            if (it.hash != hashindex::PathHash(it.path))
              wrong.fetch_add(1);
        }
        const int n = made.load();
        if (n == 0)
          continue;
        const int i = k % n;
        if (!db->OpenItemInto(path(i), hashindex::PathHash(path(i)), &h)) {
          wrong.fetch_add(1);
          continue;
        }
        ByteArray d;
        if (h.GetAnnotation() != note(i) || h.GetName(0x75730000) != String("n") + String::FromInt(i) ||
            !h.GetData(&d) || Int64(d.size()) != 64 + i)
          wrong.fetch_add(1);
        reads.fetch_add(1);
        h.Close();
      }
    });
  writer.join();
  for (std::thread& r : readers)
    r.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(reads.load(), 0);
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  EXPECT_EQ(db->GetItemCount(), kItems);
  EXPECT_EQ(db->GetDeadBytes(), 0);
  BrowserDatabaseItem* h = db->OpenItem(path(77));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetAnnotation(), note(77));
  h->Close();
}
