// The file format: what the reader makes of every kind of chunk and of damaged files, and what the
// writer leaves on disk.
#include "presettest.h"

using namespace libwriter;
using namespace dbchunk;

namespace {
LibraryImage Read(const std::string& bytes)
{
  MemoryChunkSource src(bytes.data(), Int64(bytes.size()));
  LibraryImage img;
  ReadLibrary(&src, &img);
  return img;
}
} // namespace

TEST_F(LibraryTest, NewLibraryFileIsTheSmallestValidFile)
{
  BrowserDatabase* db = BrowserDatabase::Create(Path("a.libqz"), String(), 0);
  BaseFile* f = db->GetFileForAppend(); // makes the file
  ASSERT_NE(f, nullptr);
  db->ReleaseFile();
  EXPECT_EQ(Bytes(Path("a.libqz")), Head() + End());
  EXPECT_EQ(Bytes(Path("a.libqz")).size(), 32u);

  LibraryImage img = Read(Head() + End());
  EXPECT_FALSE(img.failed);
  EXPECT_EQ(img.endOffset, 16);
  EXPECT_EQ(img.infoCount, 0); // no info: the next save writes one
}

TEST_F(LibraryTest, ReaderRulesForItemChunks)
{
  std::string f = Head() + InfoChunk(7, "preset://a.libqz");
  f += ItemChunk(Item(3, "preset://a.libqz/x"), 3);
  f += ItemChunk(Item(5, "preset://a.libqz/y"), 0);   // tag 0: id from the container
  f += ItemChunk(Item(0, "preset://a.libqz/z"), 0);   // id 0: ignored
  f += ItemChunk(Item(-4, "preset://a.libqz/w"), 0);  // negative id: ignored
  f += ItemChunk(Item(9, "preset://a.libqz/v"), UInt32(-1)); // negative tag: skipped
  f += Chunk(FourCC("zzzz"), 0, "abc");                // unknown: skipped
  f += End() + "garbage behind the end marker";
  LibraryImage img = Read(f);
  EXPECT_FALSE(img.failed);
  EXPECT_EQ(img.itemCount, 2);
  EXPECT_EQ(img.maxItemId, 5);
  EXPECT_TRUE(img.items.GetContainerInstance(3));
  EXPECT_TRUE(img.items.GetContainerInstance(5));
  EXPECT_EQ(img.endOffset, Int64(f.find(End() + "garbage")));
  EXPECT_EQ(img.name, String("preset://a.libqz"));
  // What was skipped may be a live record with a damaged header: never a silent skip, since the
  // next compaction would drop it.
  EXPECT_TRUE(img.damaged);
  ASSERT_TRUE(orxtest::WriteFile(Path("a.libqz"), f));
  BrowserDatabase* db = Open(Path("a.libqz"));
  EXPECT_TRUE(db->IsWriteProtectedByDamage());
  String damaged;
  EXPECT_TRUE(BrowserDatabase::ListDamaged(&damaged, false));
  EXPECT_FALSE(db->Compact());
  BrowserDatabase::SaveAllAndClose(true, true);
  EXPECT_EQ(Bytes(Path("a.libqz")), f);

  // Each skip alone, and a tag that disagrees with the record's own id.
  const std::string base = Head() + InfoChunk(7, "preset://a.libqz") + ItemChunk(Item(3, "preset://a.libqz/x"), 3);
  for (const std::string& odd :
       {ItemChunk(Item(0, "preset://a.libqz/z"), 0), ItemChunk(Item(9, "preset://a.libqz/v"), UInt32(-1)),
        Chunk(FourCC("zzzz"), 0, "abc"), ItemChunk(Item(9, "preset://a.libqz/v"), 8),
        Chunk(kData, UInt32(-3), "abc"), Chunk(kInfo, 1, Image(Info(7, "preset://a.libqz")))}) {
    LibraryImage one = Read(base + odd + End());
    EXPECT_TRUE(one.damaged) << odd.substr(0, 4);
    EXPECT_TRUE(one.items.GetContainerInstance(3));
  }
  EXPECT_FALSE(Read(base + End()).damaged);
}

TEST_F(LibraryTest, FileWithoutEndMarkerLoadsEveryChunkAndEndsBehindTheLast)
{
  // Info, catalog and dead chunks at the tail must not be overwritten by the next append.
  std::string f = Head() + InfoChunk(7, "preset://a.libqz") + ItemChunk(Item(1, "preset://a.libqz/x"), 1) +
                  Chunk(kData, 1, "0123") + Chunk(kCatalog, 0, Image(BaseContainer())) + Chunk(kDead, 0, "dead");
  LibraryImage img = Read(f);
  EXPECT_FALSE(img.failed);
  EXPECT_EQ(img.itemCount, 1);
  EXPECT_EQ(img.endOffset, Int64(f.size()));
  EXPECT_EQ(img.deadBytes, 20);

  ASSERT_TRUE(orxtest::WriteFile(Path("a.libqz"), f));
  BrowserDatabase* db = Open(Path("a.libqz"));
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/x");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(h->SetData("new data", 8, dbitem::kStoreAsGiven));
  h->Close();
  std::string after = Bytes(Path("a.libqz"));
  EXPECT_EQ(after.substr(0, f.size()), f);
}

TEST_F(LibraryTest, TwoInfoChunksLoadAndTheNextSaveWritesOne)
{
  std::string f = Head() + InfoChunk(7, "preset://old.libqz") + InfoChunk(7, "preset://a.libqz") + End();
  ASSERT_TRUE(orxtest::WriteFile(Path("a.libqz"), f));
  BrowserDatabase* db = Open(Path("a.libqz"));
  EXPECT_TRUE(db->IsInfoDamaged());
  EXPECT_EQ(db->GetName(), String("preset://a.libqz")); // the later one
  EXPECT_FALSE(db->IsChanged()); // loading writes nothing
  BrowserDatabase::SaveAllAndClose(true, true);
  EXPECT_EQ(Bytes(Path("a.libqz")), f);
  db = Open(Path("a.libqz"));
  ASSERT_TRUE(db->Save(true));
  const std::string after = Bytes(Path("a.libqz"));
  EXPECT_EQ(Read(after).infoCount, 1);
  EXPECT_EQ(after.substr(16, 4), "ivld");
  EXPECT_EQ(after.substr(16 + InfoChunk(7, "preset://old.libqz").size(), 4), "ivld");
  db = Reopen(db);
  EXPECT_FALSE(db->IsInfoDamaged());
  EXPECT_EQ(db->GetName(), String("preset://a.libqz"));
}

TEST_F(LibraryTest, CompactionWishNeedsMoreThanHalfDead)
{
  // Head 16 + info + dead chunk sized so that dead bytes equal live bytes exactly.
  std::string live = Head() + InfoChunk(7, "preset://a.libqz");
  const std::size_t deadPayload = live.size() - 16;
  std::string half = live + Chunk(kDead, 0, std::string(deadPayload, 'x'));
  LibraryImage img = Read(half);
  EXPECT_EQ(img.deadBytes * 2, img.scanned);
  ASSERT_TRUE(orxtest::WriteFile(Path("half.libqz"), half));
  EXPECT_FALSE(Open(Path("half.libqz"))->WantsCompaction());

  std::string more = live + Chunk(kDead, 0, std::string(deadPayload + 1, 'x'));
  ASSERT_TRUE(orxtest::WriteFile(Path("more.libqz"), more));
  EXPECT_TRUE(Open(Path("more.libqz"))->WantsCompaction());
}

TEST_F(LibraryTest, LegacyArrayEntriesAndRemovedEntries)
{
  std::string rec1 = Image(Item(4, "preset://a.libqz/one"));
  std::string rec2 = Image(Item(7, "preset://a.libqz/two"));
  std::string f = Head() + InfoChunk(6, "preset://a.libqz") +
                  Dbas({{Int32(rec1.size()), rec1}, {-5, "xxxxx"}, {Int32(rec2.size()), rec2}}) + End();
  LibraryImage img = Read(f);
  EXPECT_FALSE(img.failed);
  EXPECT_EQ(img.itemCount, 2);
  EXPECT_EQ(img.maxItemId, 7);

  // A length that runs past the chunk is damage, not an allocation.
  std::string bad = Head() + InfoChunk(6, "preset://a.libqz") + Dbas({{0x7ffffff0, "tiny"}}) + End();
  EXPECT_TRUE(Read(bad).failed);

  // After a save every record is a chunk of its own and the array is dead.
  ASSERT_TRUE(orxtest::WriteFile(Path("a.libqz"), f));
  BrowserDatabase* db = Open(Path("a.libqz"));
  ASSERT_TRUE(db->Save(true));
  std::string after = Bytes(Path("a.libqz"));
  EXPECT_EQ(after.substr(img.legacyOffsets[0], 4), "ivld");
  db = Reopen(db);
  EXPECT_EQ(db->GetItemCount(), 2);
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/two");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetId(), 7);
  h->Close();
}

TEST_F(LibraryTest, LegacyArrayOfUnnamedOldLibraryDropsPresetPaths)
{
  std::string a = Image(Item(1, "preset://other.libqz/x"));
  std::string b = Image(Item(2, "favorite://y"));
  std::string f = Head() + InfoChunk(3, "") + Dbas({{Int32(a.size()), a}, {Int32(b.size()), b}}) + End();
  ASSERT_TRUE(orxtest::WriteFile(Path("BrowserDB"), f));
  BrowserDatabase* db = Open(Path("BrowserDB"), DBFLAG_MAIN);
  EXPECT_EQ(db->GetItemCount(), 1);
  BrowserDatabaseItem* h = db->OpenItem("favorite://y");
  ASSERT_NE(h, nullptr);
  h->Close();
  EXPECT_EQ(db->OpenItem("preset://other.libqz/x"), nullptr);
}

TEST_F(LibraryTest, FileThatIsNotALibraryIsNeverWritten)
{
  const std::string text = "these are somebody's notes, not a library";
  ASSERT_TRUE(orxtest::WriteFile(Path("notes.libqz"), text));
  orxhost::ClearConsole();
  BrowserDatabase* db = Open(Path("notes.libqz"));
  EXPECT_TRUE(db->IsReadOnly());
  EXPECT_TRUE(db->IsWriteProtectedByDamage());
  db->Unprotect();
  EXPECT_TRUE(db->IsReadOnly());
  EXPECT_EQ(db->OpenOrCreateItem("preset://x/y", true), nullptr);
  EXPECT_FALSE(db->Save(true, true, true));
  EXPECT_TRUE(db->Save(true));
  EXPECT_TRUE(db->Protect()); // read-only already: nothing to do
  String damaged;
  EXPECT_TRUE(BrowserDatabase::ListDamaged(&damaged, false));
  EXPECT_EQ(damaged, String("notes.libqz"));
  bool said = false;
  for (const std::string& l : orxhost::ConsoleLines())
    said |= l.find("notes.libqz") != std::string::npos;
  EXPECT_TRUE(said);
  BrowserDatabase::SaveAllAndClose(true, true);
  EXPECT_EQ(Bytes(Path("notes.libqz")), text);
}

TEST_F(LibraryTest, LyingLengthsNeverAllocate)
{
  std::string base = Head() + InfoChunk(7, "preset://a.libqz");
  // Past the end of the file, above 2 GB, and with the high word set.
  for (UInt64 size : {UInt64(1) << 30, UInt64(0x80000000), UInt64(0xffffffff00000000)}) {
    std::string f = base + Chunk(kItem, 1, "short", size);
    orxhost::ResetPeakBytes();
    const Int64 live = orxhost::PeakBytes();
    LibraryImage img = Read(f);
    // Checked before anything is allocated for it: the host never gave out the claimed size.
    EXPECT_LT(orxhost::PeakBytes() - live, Int64(1) << 20);
    EXPECT_EQ(img.itemCount, 0);
    EXPECT_EQ(img.name, String("preset://a.libqz"));
  }
  // A header that lies about the size of "dbfh".
  EXPECT_TRUE(Read(Chunk(kHead, 0, "", UInt64(1) << 40)).failed);
}

TEST_F(LibraryTest, DamageInTheMiddleLeavesTheFileUntouched)
{
  std::string f = Head() + InfoChunk(7, "preset://a.libqz") + ItemChunk(Item(1, "preset://a.libqz/x"), 1);
  const std::size_t cut = f.size();
  f += Chunk(0, 0, "") + ItemChunk(Item(2, "preset://a.libqz/y"), 2) + End();
  ASSERT_TRUE(orxtest::WriteFile(Path("a.libqz"), f));
  BrowserDatabase* db = Open(Path("a.libqz"));
  EXPECT_EQ(db->GetItemCount(), 1);
  EXPECT_TRUE(db->IsWriteProtectedByDamage());
  EXPECT_EQ(db->GetEndOffset(), Int64(cut));
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/x");
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(h->SetName("changed"));
  h->Close();
  BrowserDatabase::SaveAllAndClose(true, true);
  EXPECT_EQ(Bytes(Path("a.libqz")), f);
}

TEST_F(LibraryTest, TornTailFromACrashStaysWritable)
{
  std::string f = Head() + InfoChunk(7, "preset://a.libqz") + ItemChunk(Item(1, "preset://a.libqz/x"), 1);
  const std::size_t good = f.size();
  std::string torn = ItemChunk(Item(2, "preset://a.libqz/y"), 2);
  f += torn.substr(0, torn.size() / 2);
  ASSERT_TRUE(orxtest::WriteFile(Path("a.libqz"), f));
  BrowserDatabase* db = Open(Path("a.libqz"));
  EXPECT_FALSE(db->IsWriteProtectedByDamage());
  EXPECT_EQ(db->GetEndOffset(), Int64(good));
  BrowserDatabaseItem* h = Make(db, "preset://a.libqz/z", "z");
  h->Close();
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  EXPECT_EQ(db->GetItemCount(), 2);
}

TEST_F(LibraryTest, DuplicateRecordOfOneItemKeepsTheLaterAndCountsOnce)
{
  BaseContainer first = Item(1, "preset://a.libqz/x");
  BaseContainer second = Item(1, "preset://a.libqz/x");
  second.SetContainer(dbitem::kAnnotation, BaseContainer())->SetString(0, "new");
  std::string f = Head() + InfoChunk(7, "preset://a.libqz") + ItemChunk(first, 1) + ItemChunk(second, 1) + End();
  const std::size_t firstAt = (Head() + InfoChunk(7, "preset://a.libqz")).size();
  ASSERT_TRUE(orxtest::WriteFile(Path("a.libqz"), f));
  BrowserDatabase* db = Open(Path("a.libqz"));
  EXPECT_EQ(db->GetItemCount(), 1);
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/x");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetAnnotation(), String("new"));
  h->Close();
  // The superseded record dies at the next save, so that deleting the item cannot revive it.
  ASSERT_TRUE(db->DeleteItem("preset://a.libqz/x"));
  ASSERT_TRUE(db->Save());
  EXPECT_EQ(Bytes(Path("a.libqz")).substr(firstAt, 4), "ivld");
  db = Reopen(db);
  EXPECT_EQ(db->GetItemCount(), 0);
}
