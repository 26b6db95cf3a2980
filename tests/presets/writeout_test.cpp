// Records written out to the file as soon as they are finished: memory keeps only where each is,
// every reader gets the record it would have got from memory, and the file reads as if it had been
// saved whole.
#include <cstring>

#include "orx/basefile.h"
#include "presettest.h"

namespace {

constexpr Int32 kEnglish = 0x75730000;
constexpr int kItems = 5;

String ItemPath(int i) { return String("preset://out.libqz/folder/item ") + String::FromInt(i); }

// The record as readers see it, without what only means something in memory.
BaseContainer Seen(BrowserDatabaseItem* h)
{
  BaseContainer rec = *h->GetRecord();
  for (Int32 id : {dbitem::kOwner, dbitem::kChanged, dbitem::kChunkOffset, dbitem::kLazy})
    rec.RemoveData(id);
  return rec;
}

// The same without the places of data and previews, which a compaction moves.
BaseContainer Unplaced(BaseContainer rec)
{
  if (BaseContainer* d = rec.GetContainerInstance(dbitem::kData))
    d->RemoveData(dbitem::kDataOffset);
  if (BaseContainer* imgs = rec.GetContainerInstance(dbitem::kImages))
    for (const BaseContainer::Entry& e : *imgs)
      if (BaseContainer* ir = imgs->Mutable(e).GetContainer())
        ir->RemoveData(dbitem::kImgOffset);
  return rec;
}

void Describe(BrowserDatabaseItem* h, int i)
{
  h->SetName(String("Item ") + String::FromInt(i), kEnglish);
  h->SetName(String("Teil ") + String::FromInt(i), LANGUAGE_GERMAN);
  h->SetAnnotation(String("note ") + String::FromInt(i));
  h->SetType(1018031, 1018021);
  BaseContainer settings;
  for (Int32 k = 1; k <= 4; ++k)
    settings.SetFloat(k, Float(i) + Float(k) / 8);
  h->SetSettings(settings);
  h->SetTime(0, DateTime{2024, 5, UInt16(i), 10, 20, 30});
  std::string data(400 + i, char('a' + i));
  h->SetData(data.data(), Int64(data.size()), dbitem::kStoreCompressed);
  std::string jpeg(150 + i, char(i));
  h->AddPreview(0, jpeg.data(), Int64(jpeg.size()), 4, DateTime{2024, 1, 2, 3, 4, 5}, 7, 9);
  h->SetAnimation(0, 3, 12.5);
}

// The tags of the chunks of one kind, in file order.
std::vector<UInt32> Tags(const std::string& bytes, UInt32 id)
{
  std::vector<UInt32> tags;
  for (Int64 pos = 16; pos + 16 <= Int64(bytes.size());) {
    const dbchunk::ChunkHeader h = dbchunk::DecodeHeader(reinterpret_cast<const UChar*>(bytes.data()) + pos);
    if (h.id == dbchunk::kEnd)
      break;
    if (h.id == id)
      tags.push_back(h.tag);
    pos += 16 + Int64(h.size);
  }
  return tags;
}

class WriteOutTest : public LibraryTest
{
protected:
  // kItems described items, each written out when finished; gives what each looked like then.
  std::vector<BaseContainer> Build(BrowserDatabase* db)
  {
    std::vector<BaseContainer> seen;
    for (int i = 1; i <= kItems; ++i) {
      BrowserDatabaseItem* h = db->OpenOrCreateItem(ItemPath(i));
      EXPECT_NE(h, nullptr);
      if (!h)
        break;
      Describe(h, i);
      seen.push_back(Seen(h));
      EXPECT_TRUE(h->CloseAndWriteOut()) << i;
    }
    return seen;
  }
};

TEST_F(WriteOutTest, AWrittenOutRecordLeavesMemoryAndReadsBackAsItWas)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://out.libqz");
  const std::vector<BaseContainer> seen = Build(db);
  ASSERT_EQ(int(seen.size()), kItems);
  EXPECT_EQ(db->GetUndecodedCount(), kItems);

  // A listing takes paths and hashes from the index, reading no record.
  std::vector<BrowserDatabase::ItemInfo> all;
  db->ListItems(&all);
  ASSERT_EQ(int(all.size()), kItems);
  for (const BrowserDatabase::ItemInfo& it : all) {
    EXPECT_EQ(it.path, ItemPath(it.id));
    EXPECT_EQ(it.hash, hashindex::PathHash(it.path));
  }
  EXPECT_EQ(db->GetUndecodedCount(), kItems);

  for (int i = 1; i <= kItems; ++i) {
    BrowserDatabaseItem* h = db->OpenItem(ItemPath(i));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->GetName(LANGUAGE_GERMAN), String("Teil ") + String::FromInt(i));
    EXPECT_TRUE(Seen(h) == seen[std::size_t(i - 1)]) << i;
    ByteArray data, jpeg;
    ASSERT_TRUE(h->GetData(&data));
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string(400 + i, char('a' + i)));
    ASSERT_TRUE(h->GetPreviewData(0, &jpeg));
    EXPECT_EQ(Int64(jpeg.size()), 150 + i);
    h->Close();
  }
  EXPECT_EQ(db->GetUndecodedCount(), 0);
}

TEST_F(WriteOutTest, TheSaveWritesEachRecordOnceAndTheFileLoadsWhole)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://out.libqz");
  const std::vector<BaseContainer> seen = Build(db);
  ASSERT_TRUE(db->Save());
  // The save read none of them back.
  EXPECT_EQ(db->GetUndecodedCount(), kItems);
  EXPECT_EQ(Tags(Bytes(Path("a.libqz")), dbchunk::kItem), (std::vector<UInt32>{1, 2, 3, 4, 5}));
  EXPECT_EQ(Tags(Bytes(Path("a.libqz")), dbchunk::kDead), std::vector<UInt32>{});

  db = Reopen(db);
  EXPECT_FALSE(db->IsWriteProtectedByDamage());
  EXPECT_FALSE(db->IsInfoDamaged());
  EXPECT_EQ(db->GetDeadBytes(), 0);
  EXPECT_EQ(db->GetItemCount(), kItems);
  for (int i = 1; i <= kItems; ++i) {
    BrowserDatabaseItem* h = db->OpenItem(ItemPath(i));
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(Seen(h) == seen[std::size_t(i - 1)]) << i;
    h->Close();
  }
}

TEST_F(WriteOutTest, ARecordOpenElsewhereIsWrittenButStaysInMemory)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://out.libqz");
  BrowserDatabaseItem* a = db->OpenOrCreateItem(ItemPath(1));
  ASSERT_NE(a, nullptr);
  BrowserDatabaseItem* b = db->OpenItem(ItemPath(1));
  ASSERT_NE(b, nullptr);
  Describe(a, 1);
  const BaseContainer before = Seen(b);
  EXPECT_TRUE(a->CloseAndWriteOut());
  EXPECT_EQ(db->GetUndecodedCount(), 0);
  EXPECT_TRUE(Seen(b) == before);
  EXPECT_TRUE(b->SetAnnotation("later"));
  b->Close();
  ASSERT_TRUE(db->Save());
  // The first record died once the second was on disk.
  EXPECT_EQ(Tags(Bytes(Path("a.libqz")), dbchunk::kItem), std::vector<UInt32>{1});
  EXPECT_EQ(Tags(Bytes(Path("a.libqz")), dbchunk::kDead).size(), 1u);
  db = Reopen(db);
  BrowserDatabaseItem* h = db->OpenItem(ItemPath(1));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetAnnotation(), String("later"));
  h->Close();
}

TEST_F(WriteOutTest, ChangesMovesDeletesAndCompactionOfWrittenOutRecords)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://out.libqz");
  const std::vector<BaseContainer> seen = Build(db);
  BrowserDatabaseItem* h = db->OpenItem(ItemPath(2));
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(h->SetAnnotation("changed"));
  h->Close();
  ASSERT_TRUE(db->MoveItem(ItemPath(3), ItemPath(30)));
  ASSERT_TRUE(db->DeleteItem(ItemPath(4)));
  ASSERT_TRUE(db->Save());
  EXPECT_GT(db->GetDeadBytes(), 0);
  ASSERT_TRUE(db->Compact());
  // Records nobody asked for stay in the file, at their new places.
  EXPECT_EQ(db->GetUndecodedCount(), 2);
  for (Int32 i : {1, 5}) {
    h = db->OpenItem(ItemPath(i));
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(Unplaced(Seen(h)) == Unplaced(seen[std::size_t(i - 1)])) << i;
    ByteArray data;
    EXPECT_TRUE(h->GetData(&data));
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string(400 + i, char('a' + i)));
    h->Close();
  }

  db = Reopen(db);
  EXPECT_EQ(db->GetDeadBytes(), 0);
  EXPECT_EQ(db->GetItemCount(), kItems - 1);
  EXPECT_EQ(db->OpenItem(ItemPath(4)), nullptr);
  EXPECT_EQ(db->OpenItem(ItemPath(3)), nullptr);
  h = db->OpenItem(ItemPath(30));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetName(kEnglish), String("Item 3"));
  h->Close();
  h = db->OpenItem(ItemPath(2));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetAnnotation(), String("changed"));
  ByteArray jpeg;
  EXPECT_TRUE(h->GetPreviewData(0, &jpeg));
  h->Close();
}

TEST_F(WriteOutTest, AnUnindexedLibraryForgetsWhatItWroteOutAndLoadsWhole)
{
  const Int64 nodes = hashindex::NodeCount();
  BrowserDatabase* db = NewLibrary("u.libqz", "preset://out.libqz", DBFLAG_UNINDEXED);
  std::vector<BaseContainer> seen;
  for (int i = 1; i <= kItems; ++i) {
    BrowserDatabaseItem* h = db->CreateItem(ItemPath(i));
    ASSERT_NE(h, nullptr);
    Describe(h, i);
    seen.push_back(Seen(h));
    EXPECT_TRUE(h->CloseAndWriteOut()) << i;
  }
  // Neither the records nor an index node per path stay in memory.
  std::vector<BrowserDatabase::ItemInfo> all;
  db->ListItems(&all);
  EXPECT_TRUE(all.empty());
  EXPECT_EQ(hashindex::NodeCount(), nodes);
  EXPECT_EQ(db->OpenItem(ItemPath(1)), nullptr);
  EXPECT_EQ(db->OpenOrCreateItem(ItemPath(1)), nullptr);
  EXPECT_EQ(db->GetItemCount(), kItems);
  // A compaction copies the records it holds: it would lose the forgotten ones.
  EXPECT_FALSE(db->Compact());
  ASSERT_TRUE(db->Save());
  EXPECT_EQ(Tags(Bytes(Path("u.libqz")), dbchunk::kItem), (std::vector<UInt32>{1, 2, 3, 4, 5}));

  db = Reopen(db);
  EXPECT_FALSE(db->IsWriteProtectedByDamage());
  EXPECT_EQ(db->GetItemCount(), kItems);
  for (int i = 1; i <= kItems; ++i) {
    BrowserDatabaseItem* h = db->OpenItem(ItemPath(i));
    ASSERT_NE(h, nullptr) << i;
    EXPECT_TRUE(Seen(h) == seen[std::size_t(i - 1)]) << i;
    ByteArray data;
    ASSERT_TRUE(h->GetData(&data));
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string(400 + i, char('a' + i)));
    h->Close();
  }
}

TEST_F(WriteOutTest, AnUnindexedRecordThatCouldNotBeWrittenOutGoesWithTheSave)
{
  BrowserDatabase* db = NewLibrary("u.libqz", "preset://out.libqz", DBFLAG_UNINDEXED);
  BrowserDatabaseItem* h = db->CreateItem(ItemPath(1));
  ASSERT_NE(h, nullptr);
  Describe(h, 1);
  const BaseContainer seen = Seen(h);
  orxhost::FailNth(orxhost::FileOp::Write, 1);
  EXPECT_FALSE(h->CloseAndWriteOut());
  orxhost::ClearFaults();
  std::vector<BrowserDatabase::ItemInfo> all;
  db->ListItems(&all);
  ASSERT_EQ(all.size(), 1u);
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  h = db->OpenItem(ItemPath(1));
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(Seen(h) == seen);
  h->Close();
}

TEST_F(WriteOutTest, OnlyChangedRecordsOfWritableLibrariesAreWrittenOut)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://out.libqz");
  Build(db);
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  // Loaded and not changed: nothing to write.
  BrowserDatabaseItem* h = db->OpenItem(ItemPath(1));
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(h->CloseAndWriteOut());
  // Changed, then made read-only: nothing is written either.
  h = db->OpenItem(ItemPath(1));
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(h->SetAnnotation("changed"));
  db->SetLocked();
  const std::string bytes = Bytes(Path("a.libqz"));
  EXPECT_FALSE(h->CloseAndWriteOut());
  EXPECT_EQ(Bytes(Path("a.libqz")), bytes);
  EXPECT_EQ(db->GetUndecodedCount(), kItems - 1);
}

TEST_F(WriteOutTest, ARecordDamagedInTheFileBeforeItIsReadBackStopsAllWriting)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://out.libqz");
  Build(db);
  // Someone else's write lands on the chunk of item 2 before anyone reads it back.
  std::string bytes = Bytes(Path("a.libqz"));
  Int64 at = -1;
  for (Int64 pos = 16; pos + 16 <= Int64(bytes.size());) {
    const dbchunk::ChunkHeader ch = dbchunk::DecodeHeader(reinterpret_cast<const UChar*>(bytes.data()) + pos);
    if (ch.id == dbchunk::kEnd)
      break;
    if (ch.id == dbchunk::kItem && ch.tag == 2)
      at = pos;
    pos += 16 + Int64(ch.size);
  }
  ASSERT_GT(at, 0);
  for (Int64 i = at + 16; i < at + 48; ++i)
    bytes[std::size_t(i)] = char(0xA5);
  {
    BaseFile f;
    ASSERT_TRUE(f.Open(Path("a.libqz"), FileMode::ReadWrite));
    ASSERT_TRUE(f.Seek(at + 16));
    ASSERT_TRUE(f.WriteBytes(bytes.data() + at + 16, 32));
    ASSERT_TRUE(f.Close());
  }
  BrowserDatabaseItem* h = db->OpenItem(ItemPath(2));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetName(kEnglish), String());
  EXPECT_FALSE(h->SetAnnotation("x"));
  h->Close();
  EXPECT_TRUE(db->IsWriteProtectedByDamage());
  // The others still read; nothing more is written.
  h = db->OpenItem(ItemPath(3));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetName(kEnglish), String("Item 3"));
  h->Close();
  const std::string damaged = Bytes(Path("a.libqz"));
  db->Save(true);
  BrowserDatabase::Destroy(db);
  EXPECT_EQ(Bytes(Path("a.libqz")), damaged);
}

} // namespace
