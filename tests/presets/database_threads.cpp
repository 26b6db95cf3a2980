// A loader thread loads libraries while other threads open, change, delete and save items.
#include <atomic>
#include <thread>
#include <vector>

#include "presettest.h"

TEST_F(LibraryTest, LoaderAndEditorsTogether)
{
  // Libraries on disk for the loader.
  for (int l = 0; l < 4; ++l) {
    std::string file = "lib" + std::to_string(l) + ".libqz";
    String name = String("preset://lib") + String::FromInt(l) + ".libqz";
    BrowserDatabase* db = BrowserDatabase::Create(Path(file.c_str()), String(), 0);
    db->SetName(name);
    for (int i = 0; i < 50; ++i)
      Make(db, name + "/f/i" + String::FromInt(i), "x")->Close();
    ASSERT_TRUE(db->Save());
    BrowserDatabase::Destroy(db);
  }
  BrowserDatabase* user = NewLibrary("user.libqz", "preset://user.libqz");
  std::atomic<bool> stop{false};
  std::atomic<int> edits{0};
  std::thread loader([&] {
    for (int l = 0; l < 4; ++l) {
      std::string file = "lib" + std::to_string(l) + ".libqz";
      BrowserDatabase* db = BrowserDatabase::Create(Path(file.c_str()), String(), 0);
      db->Load();
    }
  });
  std::vector<std::thread> editors;
  for (int t = 0; t < 3; ++t) {
    editors.emplace_back([&, t] {
      for (int i = 0; i < 200 && !stop; ++i) {
        String p = String("preset://user.libqz/t") + String::FromInt(t) + "/" + String::FromInt(i % 20);
        if (BrowserDatabaseItem* h = user->OpenOrCreateItem(p)) {
          h->SetName(String::FromInt(i));
          h->SetData("abc", 3, dbitem::kStoreAsGiven);
          h->Close();
        }
        if (i % 7 == 0)
          user->DeleteItem(p);
        if (i % 11 == 0)
          user->Save();
        String other = String("preset://lib") + String::FromInt(i % 4) + ".libqz/f/i" + String::FromInt(i % 50);
        if (BrowserDatabaseItem* h = user->OpenItem(other)) {
          h->GetName();
          h->Close();
        }
        edits.fetch_add(1);
      }
    });
  }
  loader.join();
  for (std::thread& e : editors)
    e.join();
  EXPECT_EQ(edits.load(), 600);
  ASSERT_TRUE(user->Save());
  const Int32 count = user->GetItemCount();
  BrowserDatabase* again = Reopen(user);
  EXPECT_EQ(again->GetItemCount(), count);
  for (int l = 0; l < 4; ++l) {
    BrowserDatabaseItem* h = again->OpenItem(String("preset://lib") + String::FromInt(l) + ".libqz/f/i3");
    ASSERT_NE(h, nullptr);
    h->Close();
  }
}

// Records are decoded on first use: several threads reaching the same undecoded records at once,
// through handles of their own, while another deletes and saves, all see whole records.
TEST_F(LibraryTest, UndecodedRecordsReachedFromSeveralThreads)
{
  constexpr int kItems = 200;
  const String name = "preset://lazy.libqz";
  auto path = [&](int i) { return name + "/f/i" + String::FromInt(i); };
  {
    BrowserDatabase* db = NewLibrary("lazy.libqz", "preset://lazy.libqz");
    for (int i = 0; i < kItems; ++i) {
      BrowserDatabaseItem* h = Make(db, path(i), nullptr);
      h->SetName(String("n") + String::FromInt(i), 0x75730000);
      h->SetAnnotation(String("a") + String::FromInt(i));
      h->Close();
    }
    ASSERT_TRUE(db->Save());
    BrowserDatabase::Destroy(db);
  }
  BrowserDatabase* db = Open(Path("lazy.libqz"));
  std::atomic<int> wrong{0}, seen{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      BrowserDatabaseItem h;
      for (int round = 0; round < 3; ++round) {
        for (int k = 0; k < kItems; ++k) {
          const int i = (k * 7 + t * 13) % kItems;
          const String p = path(i);
          if (!db->OpenItemInto(p, hashindex::PathHash(p), &h))
            continue; // deleted meanwhile
          seen.fetch_add(1);
          if (h.GetName(0x75730000) != String("n") + String::FromInt(i) ||
              h.GetAnnotation() != String("a") + String::FromInt(i))
            wrong.fetch_add(1);
          h.Close();
        }
      }
    });
  }
  std::thread deleter([&] {
    for (int i = 0; i < kItems; i += 10) {
      db->DeleteItem(path(i));
      if (i % 50 == 0)
        db->Save();
    }
  });
  for (std::thread& r : readers)
    r.join();
  deleter.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(seen.load(), 0);
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  EXPECT_EQ(db->GetItemCount(), kItems - kItems / 10);
  BrowserDatabaseItem* h = db->OpenItem(path(11));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetAnnotation(), String("a11"));
  h->Close();
}

// Readers of items go on while another thread changes, saves and compacts the library: every read
// sees a whole item, with the data and preview that belong to it.
TEST_F(LibraryTest, ReadersDuringSavesAndCompactions)
{
  BrowserDatabase* db = NewLibrary("rw.libqz", "preset://rw.libqz");
  auto path = [](int i) { return String("preset://rw.libqz/i") + String::FromInt(i); };
  auto dataOf = [](int i, int round) { return "data " + std::to_string(i) + " " + std::to_string(round); };
  constexpr int kItems = 20;
  for (int i = 0; i < kItems; ++i) {
    BrowserDatabaseItem* h = Make(db, path(i), "x");
    const std::string d = dataOf(i, 0);
    h->SetData(d.data(), Int64(d.size()), dbitem::kStoreAsGiven);
    h->AddPreview(0, d.data(), Int64(d.size()), 4, DateTime());
    h->Close();
  }
  ASSERT_TRUE(db->Save());
  db = Reopen(db); // records start undecoded
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, reads{0};
  std::thread writer([&] {
    for (int round = 1; round < 15; ++round) {
      for (int i = 0; i < kItems; i += 3) {
        if (BrowserDatabaseItem* h = db->OpenItem(path(i))) {
          const std::string d = dataOf(i, round);
          h->SetData(d.data(), Int64(d.size()), dbitem::kStoreAsGiven);
          h->Close();
        }
      }
      db->Save();
      db->Compact();
    }
    stop = true;
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&, t] {
      BrowserDatabaseItem h;
      for (int k = t; !stop; ++k) {
        const int i = k % kItems;
        if (!db->OpenItemInto(path(i), hashindex::PathHash(path(i)), &h))
          continue;
        ByteArray d, j;
        const std::string prefix = "data " + std::to_string(i) + " ";
        if (h.GetName() != String("x") || !h.GetData(&d) || !h.GetPreviewData(0, &j) ||
            std::string(d.begin(), d.end()).rfind(prefix, 0) != 0 || std::string(j.begin(), j.end()) != dataOf(i, 0))
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
}

// Workers read and change items of libraries while another thread opens and closes them, one
// through pins, one through a library of its own that pins nothing (the index hands it records of
// the others, and each handle keeps its library until it is closed): every read sees a whole
// record, the changes of a closed library are refused, and the files on disk keep every item.
TEST_F(LibraryTest, WorkersWithAndWithoutPinsWhileLibrariesAreOpenedAndClosed)
{
  constexpr int kLibraries = 40;
  constexpr int kItems = 10;
  auto file = [](int l) { return std::string("pinned") + std::to_string(l) + ".libqz"; };
  auto path = [&](int l, int i) {
    return String("preset://") + String(file(l).c_str()) + "/i" + String::FromInt(i);
  };
  for (int l = 0; l < kLibraries; ++l) {
    const String name = String("preset://") + String(file(l).c_str());
    BrowserDatabase* db = BrowserDatabase::Create(Path(file(l).c_str()), String(), 0);
    db->SetName(name);
    for (int i = 0; i < kItems; ++i)
      Make(db, path(l, i), "whole")->Close();
    ASSERT_TRUE(db->Save(true));
    BrowserDatabase::Destroy(db);
  }
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0}, reads{0}, unpinnedReads{0};
  BrowserDatabase* own = NewLibrary("own.libqz", "preset://own.libqz");
  std::thread unpinned([&] {
    for (int i = 0; !done.load() || (unpinnedReads.load() == 0 && i < 10000000); ++i) {
      BrowserDatabaseItem* h = own->OpenItem(path(i % kLibraries, (i * 7) % kItems));
      if (!h)
        continue;
      if (h->GetName(0x75730000) != String("whole"))
        wrong.fetch_add(1);
      h->SetName("whole", 0x75730000);
      h->Close();
      unpinnedReads.fetch_add(1);
    }
  });
  std::thread worker([&] {
    for (int i = 0; !done.load() || reads.load() == 0; ++i) {
      const String p = path(i % kLibraries, i % kItems);
      LibraryPin db = BrowserDatabase::PinLibraryForURL(p);
      if (!db)
        continue;
      BrowserDatabaseItem* h = db->OpenItem(p);
      if (!h)
        continue;
      if (h->GetName(0x75730000) != String("whole"))
        wrong.fetch_add(1);
      h->SetName("whole", 0x75730000); // the same text again: refused once the library is closed
      h->Close();
      reads.fetch_add(1);
    }
  });
  for (int round = 0; round < 5; ++round)
    for (int l = 0; l < kLibraries; ++l) {
      BrowserDatabase* db = Open(Path(file(l).c_str()));
      if (l % 10 == round)
        db->Save(true);
      BrowserDatabase::Destroy(db);
    }
  done = true;
  worker.join();
  unpinned.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_GT(unpinnedReads.load(), 0);
  for (int l = 0; l < kLibraries; ++l) {
    BrowserDatabase* db = Open(Path(file(l).c_str()));
    for (int i = 0; i < kItems; ++i) {
      BrowserDatabaseItem* h = db->OpenItem(path(l, i));
      ASSERT_NE(h, nullptr) << l << " " << i;
      EXPECT_EQ(h->GetName(0x75730000), String("whole"));
      h->Close();
    }
    BrowserDatabase::Destroy(db);
  }
}
