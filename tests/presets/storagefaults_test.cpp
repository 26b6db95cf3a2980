// Storage under read errors and with data that is hard to store: a save or a compaction that
// cannot read what it needs fails and loses nothing; what was written reads back.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "presettest.h"

namespace {
std::string DataOf(BrowserDatabase* db, const char* path)
{
  BrowserDatabaseItem* h = db->OpenItem(path);
  if (!h)
    return "<none>";
  ByteArray b;
  std::string out = h->GetData(&b) ? std::string(b.begin(), b.end()) : "<unreadable>";
  h->Close();
  return out;
}
} // namespace

TEST_F(LibraryTest, ReadErrorWhileMarkingDeadFailsTheSaveAndIsRetried)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  Make(db, "preset://a.libqz/gone", "g")->Close();
  Make(db, "preset://a.libqz/keep", "k")->Close();
  ASSERT_TRUE(db->Save());
  ASSERT_TRUE(db->DeleteItem("preset://a.libqz/gone"));
  orxhost::FailNth(orxhost::FileOp::Read, 1); // the check of the chunk to mark dead
  EXPECT_FALSE(db->Save());
  orxhost::ClearFaults();
  EXPECT_TRUE(db->IsChanged());
  // The next save marks what the failed one could not.
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/gone");
  EXPECT_EQ(h, nullptr);
  if (h)
    h->Close();
  EXPECT_EQ(db->GetItemCount(), 1);
}

namespace {
// Items with data and two previews each, saved with as many dead bytes as live ones and more.
BrowserDatabase* WithDataAndPreviews(BrowserDatabase* db, int items)
{
  for (int i = 0; i < items; ++i) {
    const String p = String("preset://a.libqz/i") + String::FromInt(i);
    BrowserDatabaseItem* h = db->OpenOrCreateItem(p);
    for (int round = 0; round < 3; ++round) {
      const std::string d = "data of " + std::to_string(i) + " round " + std::to_string(round);
      h->SetData(d.data(), Int64(d.size()), dbitem::kStoreAsGiven);
    }
    const std::string j0 = "jpeg0-" + std::to_string(i), j1 = "jpeg1-" + std::to_string(i);
    h->AddPreview(0, j0.data(), Int64(j0.size()), 4, DateTime());
    h->AddPreview(5, j1.data(), Int64(j1.size()), 4, DateTime());
    h->Close();
  }
  EXPECT_TRUE(db->Save());
  return db;
}

// Data and preview bytes of every item, as a user reads them.
std::string Contents(BrowserDatabase* db, int items)
{
  std::string out;
  for (int i = 0; i < items; ++i) {
    const String p = String("preset://a.libqz/i") + String::FromInt(i);
    BrowserDatabaseItem* h = db->OpenItem(p);
    if (!h) {
      out += "<missing>";
      continue;
    }
    ByteArray b;
    out += h->GetData(&b) ? std::string(b.begin(), b.end()) : std::string("<no data>");
    for (Int32 img : {0, 5}) {
      ByteArray j;
      out += "|" + (h->GetPreviewData(img, &j) ? std::string(j.begin(), j.end()) : std::string("<no preview>"));
    }
    out += "\n";
    h->Close();
  }
  return out;
}
} // namespace

TEST_F(LibraryTest, ReadErrorDuringCompactionFailsItAndChangesNothing)
{
  constexpr int kItems = 3;
  BrowserDatabase* db = WithDataAndPreviews(NewLibrary("a.libqz", "preset://a.libqz"), kItems);
  const std::string expected = Contents(db, kItems);
  const Filename file = db->GetFilename(), bak = file.GetString() + ".bak";
  // A first compaction leaves a backup that the failed ones must keep.
  ASSERT_TRUE(db->Compact());
  db = WithDataAndPreviews(Reopen(db), kItems);
  const std::string fileBytes = Bytes(file), bakBytes = Bytes(bak);
  int failed = 0;
  for (int n = 1;; ++n) {
    orxhost::FailNth(orxhost::FileOp::Read, n);
    const Bool ok = db->Compact();
    orxhost::ClearFaults();
    if (ok)
      break;
    ++failed;
    EXPECT_EQ(Bytes(file), fileBytes) << "read " << n;
    EXPECT_EQ(Bytes(bak), bakBytes) << "read " << n;
    ASSERT_LT(n, 1000);
  }
  EXPECT_GT(failed, 0);
  EXPECT_EQ(Contents(db, kItems), expected);
  db = Reopen(db);
  EXPECT_EQ(Contents(db, kItems), expected);
}

TEST_F(LibraryTest, CompactionKeepsDataAndPreviewsOfAnItemDeletedWhileOpen)
{
  constexpr int kItems = 2;
  BrowserDatabase* db = WithDataAndPreviews(NewLibrary("a.libqz", "preset://a.libqz"), kItems);
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/i0");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(db->DeleteItem("preset://a.libqz/i0"));
  ASSERT_TRUE(db->Compact());
  ByteArray data, jpeg;
  ASSERT_TRUE(h->GetData(&data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "data of 0 round 2");
  ASSERT_TRUE(h->GetPreviewData(5, &jpeg));
  EXPECT_EQ(std::string(jpeg.begin(), jpeg.end()), "jpeg1-0");
  h->Close();
  // Once closed it is gone, and its chunks die with it.
  ASSERT_TRUE(db->Save());
  EXPECT_TRUE(db->Compact());
  const std::string bytes = Bytes(db->GetFilename());
  EXPECT_EQ(bytes.find("data of 0"), std::string::npos);
  EXPECT_EQ(bytes.find("jpeg1-0"), std::string::npos);
  db = Reopen(db);
  EXPECT_EQ(db->GetItemCount(), 1);
  EXPECT_EQ(DataOf(db, "preset://a.libqz/i0"), "<none>");
  EXPECT_EQ(DataOf(db, "preset://a.libqz/i1"), "data of 1 round 2");
}

TEST_F(LibraryTest, HighlyCompressibleDataReadsBack)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  for (Int64 size : {Int64(1) << 20, Int64(16) << 20}) {
    const std::string zeros(std::size_t(size), '\0');
    BrowserDatabaseItem* h = Make(db, String("preset://a.libqz/z") + String::FromInt(Int32(size >> 20)));
    ASSERT_TRUE(h->SetData(zeros.data(), size, dbitem::kStoreCompressed));
    const BaseContainer* ref = h->GetRecord()->GetContainerInstance(dbitem::kData);
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->GetInt32(dbitem::kDataEncoding), dbitem::kEncodingCompressed);
    h->Close();
  }
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  // Compared as a whole: a failure message must not print 16 MiB.
  EXPECT_TRUE(DataOf(db, "preset://a.libqz/z1") == std::string(std::size_t(1) << 20, '\0'));
  EXPECT_TRUE(DataOf(db, "preset://a.libqz/z16") == std::string(std::size_t(16) << 20, '\0'));
}

TEST_F(LibraryTest, DataClaimingAHugeLengthFailsWithoutTakingThatMemory)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  // 1 MiB of real data, compressed, whose record and length prefix claim 3 GiB.
  std::string plain(std::size_t(1) << 20, 'a');
  UInt32 r = 12345;
  for (char& c : plain)
    c = char((r = r * 1103515245u + 12345u) >> 24);
  void* packed = nullptr;
  Int64 packedSize = 0;
  ASSERT_TRUE(GeCompress(plain.data(), Int64(plain.size()), 9, &packed, &packedSize));
  std::string stored(static_cast<const char*>(packed), std::size_t(packedSize));
  OrxMemFree(packed);
  const Int64 claim = Int64(3) << 30;
  stored[0] = char(claim >> 24);
  stored[1] = char(claim >> 16);
  stored[2] = char(claim >> 8);
  stored[3] = char(claim);
  BrowserDatabaseItem* h = Make(db, "preset://a.libqz/liar");
  ASSERT_TRUE(h->SetDataEncoded(stored.data(), Int64(stored.size()), dbitem::kEncodingCompressed, claim));
  h->Close();
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  // Under a memory limit the refused block is a failed read, never an exception.
  orxhost::SetMemoryLimit(Int64(256) << 20);
  EXPECT_EQ(DataOf(db, "preset://a.libqz/liar"), "<unreadable>");
  orxhost::SetMemoryLimit(0);
  // A length that does not match the length the compressed bytes carry is refused before any
  // memory is taken for it.
  h = db->OpenItem("preset://a.libqz/liar");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(h->SetDataEncoded(stored.data(), Int64(stored.size()), dbitem::kEncodingCompressed, claim + 1));
  orxhost::SetMemoryLimit(Int64(1) << 30);
  orxhost::ResetPeakBytes();
  ByteArray out;
  EXPECT_FALSE(h->GetData(&out));
  EXPECT_LT(orxhost::PeakBytes(), Int64(64) << 20);
  orxhost::SetMemoryLimit(0);
  h->Close();
}

TEST_F(LibraryTest, ProtectWithCompactionCompactsAfterTheSave)
{
  BrowserDatabase* db = WithDataAndPreviews(NewLibrary("a.libqz", "preset://a.libqz"), 2);
  // One dead record among many live bytes: not enough for compaction to be wanted.
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/i0");
  h->SetName("renamed");
  h->Close();
  ASSERT_TRUE(db->Save());
  ASSERT_FALSE(db->WantsCompaction());
  ASSERT_NE(Bytes(db->GetFilename()).find("ivld"), std::string::npos);
  const std::string expected = Contents(db, 2);
  ASSERT_TRUE(db->Protect(true));
  EXPECT_EQ(Bytes(db->GetFilename()).find("ivld"), std::string::npos);
  EXPECT_TRUE(GeFileExists(db->GetFilename().GetString() + ".bak"));
  db = Reopen(db);
  EXPECT_TRUE(db->IsReadOnly());
  EXPECT_EQ(Contents(db, 2), expected);
}

// Reading an item's names, data and previews needs no library lock, so a save's syncs or a
// compaction, which hold it, never hold up a reader.
TEST_F(LibraryTest, HandleReadsDoNotWaitForTheLibraryLock)
{
  BrowserDatabase* db = WithDataAndPreviews(NewLibrary("a.libqz", "preset://a.libqz"), 2);
  const std::string expected = Contents(db, 2);
  // A record never decoded before is decoded by the read.
  db = Reopen(db);
  std::atomic<bool> done{false};
  std::string got;
  std::unique_lock<Lock> held(db->GetLock());
  std::thread reader([&] {
    got = Contents(db, 2);
    done = true;
  });
  // Generous: the reads take microseconds; a reader that waits for the lock never ends.
  for (int i = 0; i < 6000 && !done; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const bool finished = done;
  held.unlock();
  reader.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(got, expected);
}
