// Records are loaded undecoded and decoded on first use: whatever touches them must see the same
// record, and the file must get the same bytes, as when every record is decoded at load.
#include <algorithm>

#include "orx/hyperfile.h"
#include "presettest.h"

namespace {

constexpr Int32 kEnglish = 0x75730000;
constexpr int kItems = 6;

String ItemPath(int i) { return String("preset://lazy.libqz/folder/item ") + String::FromInt(i); }

// A library of kItems presets with names, annotations, settings, data and a preview each.
void Fill(BrowserDatabase* db)
{
  for (int i = 1; i <= kItems; ++i) {
    BrowserDatabaseItem* h = db->OpenOrCreateItem(ItemPath(i));
    ASSERT_NE(h, nullptr);
    h->SetName(String("Item ") + String::FromInt(i), kEnglish);
    h->SetAnnotation(String("note ") + String::FromInt(i));
    BaseContainer settings;
    for (Int32 k = 1; k <= 5; ++k)
      settings.SetFloat(k, Float(i * 10 + k));
    h->SetSettings(settings);
    std::string data(300 + i, char('a' + i));
    h->SetData(data.data(), Int64(data.size()), dbitem::kStoreAsGiven);
    std::string jpeg(200, char(i));
    h->AddPreview(0, jpeg.data(), Int64(jpeg.size()), 4, DateTime());
    h->Close();
  }
}

dbchunk::LibraryImage ReadBytes(const std::string& bytes, Bool keep)
{
  dbchunk::MemoryChunkSource src(bytes.data(), Int64(bytes.size()));
  dbchunk::LibraryImage img;
  dbchunk::ReadLibrary(&src, &img, keep);
  return img;
}

class LazyRecordsTest : public LibraryTest
{
protected:
  // Writes the library and gives its bytes.
  std::string MakeLibrary(const char* file)
  {
    BrowserDatabase* db = NewLibrary(file, "preset://lazy.libqz");
    Fill(db);
    EXPECT_TRUE(db->Save());
    BrowserDatabase::Destroy(db);
    return Bytes(Path(file));
  }
  // Two changes, in the order 3 then 1, a save and a compaction; gives the bytes of the file.
  std::string ChangeSaveCompact(const char* file, Bool decodeFirst)
  {
    BrowserDatabase* db = Open(Path(file));
    if (decodeFirst) {
      std::vector<BrowserDatabase::ItemInfo> all;
      db->ListItems(&all);
    }
    for (int i : {3, 1}) {
      BrowserDatabaseItem* h = db->OpenItem(ItemPath(i));
      EXPECT_NE(h, nullptr);
      if (h) {
        EXPECT_TRUE(h->SetAnnotation(String("changed ") + String::FromInt(i)));
        h->Close();
      }
    }
    EXPECT_TRUE(db->DeleteItem(ItemPath(5)));
    EXPECT_TRUE(db->Save());
    EXPECT_TRUE(db->Compact());
    BrowserDatabase::Destroy(db);
    return Bytes(Path(file));
  }
};

TEST_F(LazyRecordsTest, RecordsAreLoadedUndecodedAndDecodeToWhatTheReaderDecodes)
{
  const std::string bytes = MakeLibrary("a.libqz");
  const dbchunk::LibraryImage lazy = ReadBytes(bytes, true);
  EXPECT_EQ(lazy.lazyCount, kItems);
  for (const BaseContainer::Entry& e : lazy.items) {
    const BaseContainer* rec = e.data.GetContainer();
    ASSERT_NE(rec, nullptr);
    EXPECT_TRUE(rec->Has(dbitem::kLazy));
    EXPECT_FALSE(rec->Has(dbitem::kSettings));
  }

  const dbchunk::LibraryImage eager = ReadBytes(bytes, false);
  ASSERT_EQ(eager.items.GetCount(), kItems);
  BrowserDatabase* db = Open(Path("a.libqz"));
  for (const BaseContainer::Entry& e : eager.items) {
    BaseContainer want = *e.data.GetContainer();
    const String path = want.GetContainer(dbitem::kAddress).GetString(dbitem::kAddrPath);
    BrowserDatabaseItem* h = db->OpenItem(path);
    ASSERT_NE(h, nullptr) << path.ToUtf8();
    BaseContainer got = *h->GetRecord();
    h->Close();
    EXPECT_EQ(got.GetPointer(dbitem::kOwner), db);
    got.RemoveData(dbitem::kOwner);
    EXPECT_FALSE(got.Has(dbitem::kLazy));
    EXPECT_TRUE(got == want) << path.ToUtf8();
  }
}

TEST_F(LazyRecordsTest, SaveAndCompactionWriteTheSameBytesWhetherRecordsWereDecodedOrNot)
{
  const std::string bytes = MakeLibrary("a.libqz");
  ASSERT_TRUE(orxtest::WriteFile(Path("b.libqz"), bytes));
  const std::string undecoded = ChangeSaveCompact("a.libqz", false);
  const std::string decoded = ChangeSaveCompact("b.libqz", true);
  EXPECT_EQ(undecoded, decoded);

  // And nothing was lost on the way.
  BrowserDatabase* db = Open(Path("a.libqz"));
  EXPECT_EQ(db->GetItemCount(), kItems - 1);
  for (int i = 1; i <= kItems; ++i) {
    BrowserDatabaseItem* h = db->OpenItem(ItemPath(i));
    if (i == 5) {
      EXPECT_EQ(h, nullptr);
      continue;
    }
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->GetName(kEnglish), String("Item ") + String::FromInt(i));
    EXPECT_EQ(h->GetAnnotation(), (i == 1 || i == 3 ? String("changed ") : String("note ")) + String::FromInt(i));
    ByteArray data;
    EXPECT_TRUE(h->GetData(&data));
    EXPECT_EQ(Int64(data.size()), 300 + i);
    EXPECT_EQ(h->GetPreviewCount(), 1);
    h->Close();
  }
}

TEST_F(LazyRecordsTest, ChangedRecordsAreWrittenInTheOrderOfTheLibrary)
{
  MakeLibrary("a.libqz");
  BrowserDatabase* db = Open(Path("a.libqz"));
  const Int64 before = db->GetEndOffset();
  for (int i : {4, 2, 4}) {
    BrowserDatabaseItem* h = db->OpenItem(ItemPath(i));
    ASSERT_NE(h, nullptr);
    h->SetState(i);
    h->Close();
  }
  ASSERT_TRUE(db->Save());
  const std::string bytes = Bytes(Path("a.libqz"));
  std::vector<UInt32> tags;
  for (Int64 pos = before; pos + 16 <= Int64(bytes.size());) {
    const dbchunk::ChunkHeader h = dbchunk::DecodeHeader(reinterpret_cast<const UChar*>(bytes.data()) + pos);
    if (h.id == dbchunk::kEnd)
      break;
    if (h.id == dbchunk::kItem)
      tags.push_back(h.tag);
    pos += 16 + Int64(h.size);
  }
  EXPECT_EQ(tags, (std::vector<UInt32>{2, 4}));
  // A second save has nothing left to write.
  const Int64 end = db->GetEndOffset();
  ASSERT_TRUE(db->Save(true));
  EXPECT_EQ(db->GetEndOffset(), end);
}

TEST_F(LazyRecordsTest, DeletingAnUndecodedItemKillsItsDataAndPreview)
{
  MakeLibrary("a.libqz");
  BrowserDatabase* db = Open(Path("a.libqz"));
  const Int64 dead = db->GetDeadBytes();
  ASSERT_TRUE(db->DeleteItem(ItemPath(2)));
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  // The record, its data and its preview.
  EXPECT_GE(db->GetDeadBytes() - dead, 3 * 16 + 302 + 200);
  EXPECT_EQ(db->OpenItem(ItemPath(2)), nullptr);
}

TEST_F(LazyRecordsTest, TheScanAcceptsOnlyWhatTheReaderAccepts)
{
  BaseContainer rec(7);
  rec.SetInt32(dbitem::kType, 5);
  BaseContainer addr;
  addr.SetString(dbitem::kAddrPath, "preset://x.libqz/a");
  addr.SetInt32(dbitem::kAddrHash, 1234);
  rec.SetContainer(dbitem::kAddress, addr);
  BaseContainer names;
  names.SetString(kEnglish, "A");
  rec.SetContainer(dbitem::kName, names);
  rec.SetBool(30, true);
  rec.SetBytes(31, "xyz", 3);
  ByteArray img;
  ASSERT_TRUE(HyperFile::ContainerToImage(rec, dbchunk::kImageIdent, &img));

  dbchunk::RecordKeys keys;
  ASSERT_TRUE(dbchunk::ScanRecordImage(img.data(), Int64(img.size()), &keys));
  EXPECT_EQ(keys.id, 7);
  EXPECT_EQ(keys.hash, 1234);
  EXPECT_EQ(keys.pathUnits, 18u);

  int accepted = 0;
  for (std::size_t at = 0; at < img.size(); ++at) {
    for (UChar v : {UChar(0), UChar(1), UChar(0x7f), UChar(0xff)}) {
      ByteArray bad = img;
      bad[at] = v;
      dbchunk::RecordKeys k;
      if (!dbchunk::ScanRecordImage(bad.data(), Int64(bad.size()), &k))
        continue;
      ++accepted;
      BaseContainer decoded;
      ASSERT_TRUE(HyperFile::ImageToContainer(bad.data(), Int64(bad.size()), dbchunk::kImageIdent, &decoded))
          << "byte " << at << " = " << int(v);
      const BaseContainer* a = decoded.GetContainerInstance(dbitem::kAddress);
      ASSERT_NE(a, nullptr);
      EXPECT_EQ(a->GetInt32(dbitem::kAddrHash), k.hash);
      EXPECT_EQ(a->GetString(dbitem::kAddrPath).GetLength(), Int32(k.pathUnits));
    }
  }
  EXPECT_GT(accepted, 0);
  for (std::size_t n = 0; n < img.size(); ++n)
    EXPECT_FALSE(dbchunk::ScanRecordImage(img.data(), Int64(n), &keys)) << n;

  // Shapes that are decoded at once: no address, or two of them.
  BaseContainer none = rec;
  none.RemoveData(dbitem::kAddress);
  ASSERT_TRUE(HyperFile::ContainerToImage(none, dbchunk::kImageIdent, &img));
  EXPECT_FALSE(dbchunk::ScanRecordImage(img.data(), Int64(img.size()), &keys));
  BaseContainer owner = rec;
  owner.SetInt32(dbitem::kOwner, 1);
  ASSERT_TRUE(HyperFile::ContainerToImage(owner, dbchunk::kImageIdent, &img));
  EXPECT_FALSE(dbchunk::ScanRecordImage(img.data(), Int64(img.size()), &keys));
}

} // namespace

TEST_F(LazyRecordsTest, ListingALoadedLibraryDecodesNoRecord)
{
  MakeLibrary("a.libqz");
  BrowserDatabase* db = Open(Path("a.libqz"));
  ASSERT_EQ(db->GetUndecodedCount(), kItems);
  std::vector<BrowserDatabase::ItemInfo> all;
  db->ListItems(&all);
  EXPECT_EQ(db->GetUndecodedCount(), kItems);
  ASSERT_EQ(Int32(all.size()), kItems);
  for (const BrowserDatabase::ItemInfo& it : all) {
    EXPECT_GE(it.id, 1);
    EXPECT_EQ(it.hash, hashindex::PathHash(it.path));
    BrowserDatabaseItem* h = db->OpenItem(it.path, it.hash);
    ASSERT_NE(h, nullptr) << it.path.ToUtf8();
    EXPECT_EQ(h->GetId(), it.id);
    h->Close();
  }
}
