// Damage in one place of a library costs that place and nothing more: healthy records survive
// loads, edits, saves and compactions of a damaged library byte for byte, and reading never writes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "orx/hyperfile.h"
#include "presettest.h"

using namespace libwriter;
using namespace dbchunk;

namespace {

constexpr Int32 kEnglish = 0x75730000;
const char* const kLib = "preset://a.libqz";

String PathOf(int i) { return String(kLib) + "/folder/item " + String::FromInt(i); }

// Everything a user keeps of an item, offsets left out: the record, the data and the previews.
using Snapshot = std::map<std::string, std::string>;

// withIds false: a damaged library may keep a record under an id of its own.
Snapshot Take(BrowserDatabase* db, bool withIds = true)
{
  Snapshot s;
  std::vector<BrowserDatabase::ItemInfo> all;
  db->ListItems(&all);
  for (const BrowserDatabase::ItemInfo& it : all) {
    if (it.id < 1)
      continue;
    std::string v;
    BrowserDatabaseItem* h = db->OpenItem(it.path, it.hash);
    if (!h) {
      s[it.path.ToUtf8()] = "(cannot be opened)";
      continue;
    }
    {
      std::lock_guard<Lock> g(db->GetLock());
      BaseContainer c = *h->GetRecord();
      if (!withIds)
        c.SetId(0);
      for (Int32 id : {dbitem::kOwner, dbitem::kChanged, dbitem::kChunkOffset, dbitem::kLazy})
        c.RemoveData(id);
      if (BaseContainer* d = c.GetContainerInstance(dbitem::kData))
        d->RemoveData(dbitem::kDataOffset);
      if (BaseContainer* imgs = c.GetContainerInstance(dbitem::kImages))
        for (const BaseContainer::Entry& e : *imgs)
          if (BaseContainer* ir = imgs->Mutable(e).GetContainer())
            ir->RemoveData(dbitem::kImgOffset);
      ByteArray img;
      HyperFile::ContainerToImage(c, kImageIdent, &img);
      v.assign(img.begin(), img.end());
    }
    ByteArray bytes;
    v += "|data:" + (h->GetData(&bytes) ? std::string(bytes.begin(), bytes.end()) : std::string("none"));
    for (Int32 i = 0; i < h->GetPreviewCount(); ++i) {
      PreviewInfo pi;
      if (h->GetPreviewInfo(i, &pi) && h->GetPreviewData(pi.imageId, &bytes))
        v += "|preview:" + std::string(bytes.begin(), bytes.end());
      else
        v += "|preview unreadable";
    }
    h->Close();
    s[it.path.ToUtf8()] = v;
  }
  return s;
}

Snapshot TakeFile(const Filename& f, bool withIds = true)
{
  BrowserDatabase* db = BrowserDatabase::Create(f, String(), 0);
  EXPECT_TRUE(db->Load());
  Snapshot s = Take(db, withIds);
  BrowserDatabase::Destroy(db);
  return s;
}

struct ChunkAt
{
  std::size_t at;
  ChunkHeader h;
};
std::vector<ChunkAt> ChunksOf(const std::string& b)
{
  std::vector<ChunkAt> out;
  for (std::size_t p = 0; p + 16 <= b.size();) {
    ChunkHeader h = DecodeHeader(reinterpret_cast<const UChar*>(b.data() + p));
    out.push_back({p, h});
    if (h.id == kEnd)
      break;
    p += 16 + std::size_t(h.size);
  }
  return out;
}

std::size_t ItemChunkOf(const std::string& b, Int32 id)
{
  for (const ChunkAt& c : ChunksOf(b))
    if (c.h.id == kItem && Int32(c.h.tag) == id)
      return c.at;
  return std::string::npos;
}

std::string Flip(std::string b, std::size_t bit)
{
  b[bit / 8] = char(b[bit / 8] ^ (0x80 >> (bit % 8)));
  return b;
}

} // namespace

class DamageTest : public LibraryTest
{
protected:
  // Items 1 to 4 with names, data (item 3 compressed) and a preview each; item 5 a folder.
  std::string MakeLibrary(const Filename& f)
  {
    BrowserDatabase* db = BrowserDatabase::Create(f, String(), 0);
    db->SetName(kLib);
    db->SetDisplayName("Library A");
    for (int i = 1; i <= 4; ++i) {
      BrowserDatabaseItem* h = Make(db, PathOf(i), "");
      EXPECT_NE(h, nullptr);
      h->SetName(String("Item ") + String::FromInt(i), kEnglish);
      h->SetAnnotation(String("note ") + String::FromInt(i));
      std::string data(std::size_t(60 + i * 7), char('a' + i));
      h->SetData(data.data(), Int64(data.size()), i == 3 ? dbitem::kStoreCompressed : dbitem::kStoreAsGiven);
      std::string jpeg(std::size_t(30 + i), char(0xd0 + i));
      h->AddPreview(0, jpeg.data(), Int64(jpeg.size()), 4, DateTime());
      h->Close();
    }
    BrowserDatabaseItem* h = Make(db, String(kLib) + "/folder", "folder");
    h->SetItemFlags(dbitem::kFolderFlag);
    h->SetAnnotation("the folder");
    h->Close();
    EXPECT_TRUE(db->Save());
    BrowserDatabase::Destroy(db);
    return Bytes(f);
  }
};

TEST_F(DamageTest, FlippedTagNeverCostsAnotherItem)
{
  const Filename f = Path("a.libqz");
  const std::string good = MakeLibrary(f);
  const Snapshot before = TakeFile(f);
  const Snapshot beforeWithoutIds = TakeFile(f, false);
  ASSERT_EQ(before.size(), 5u);
  // Item 2's record now claims the id of item 3, whose record comes later.
  const std::size_t at = ItemChunkOf(good, 2);
  ASSERT_NE(at, std::string::npos);
  const std::string bad = Flip(good, (at + 7) * 8 + 7);
  ASSERT_EQ(DecodeHeader(reinterpret_cast<const UChar*>(bad.data() + at)).tag, 3u);
  ASSERT_TRUE(orxtest::WriteFile(f, bad));

  BrowserDatabase* db = Open(f);
  EXPECT_TRUE(db->IsWriteProtectedByDamage());
  String damaged;
  EXPECT_TRUE(BrowserDatabase::ListDamaged(&damaged, false));
  // Both records stay readable, with their data and previews.
  EXPECT_TRUE(Take(db, false) == beforeWithoutIds);
  // An edit elsewhere is refused rather than written over the damage.
  BrowserDatabaseItem* h = db->OpenItem(PathOf(1));
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(h->SetName("renamed", kEnglish));
  h->Close();
  db->Save(true, true);
  db->Compact();
  BrowserDatabase::SaveAllAndClose(true, true);
  EXPECT_EQ(Bytes(f), bad);
  ASSERT_TRUE(orxtest::WriteFile(f, good));
  EXPECT_TRUE(TakeFile(f) == before);

  // Two records of one id and two paths, as a cut move or a flipped bit leaves them: both kept.
  std::string two = Head() + InfoChunk(7, kLib) + ItemChunk(Item(1, PathOf(1)), 1) +
                    ItemChunk(Item(1, PathOf(2)), 1) + End();
  ASSERT_TRUE(orxtest::WriteFile(f, two));
  db = Open(f);
  EXPECT_TRUE(db->IsWriteProtectedByDamage());
  EXPECT_EQ(db->GetItemCount(), 2);
  for (int i : {1, 2}) {
    h = db->OpenItem(PathOf(i));
    EXPECT_NE(h, nullptr) << i;
    if (h)
      h->Close();
  }
  BrowserDatabase::SaveAllAndClose(true, true);
  EXPECT_EQ(Bytes(f), two);
}

TEST_F(DamageTest, LibraryWithoutWriteRightsReadsDataAndPreviews)
{
  const Filename f = Path("a.libqz");
  const std::string good = MakeLibrary(f);
  const Snapshot before = TakeFile(f);
  ASSERT_EQ(::chmod(f.ToUtf8().c_str(), 0444), 0);
  BrowserDatabase* db = Open(f);
  EXPECT_TRUE(Take(db) == before);
  BrowserDatabase::SaveAllAndClose(true, true);
  ::chmod(f.ToUtf8().c_str(), 0644);
  EXPECT_EQ(Bytes(f), good);
}

TEST_F(DamageTest, LoadingListingAndReadingNeverWrite)
{
  const Filename f = Path("a.libqz");
  const std::string good = MakeLibrary(f);
  const std::vector<ChunkAt> chunks = ChunksOf(good);
  std::vector<std::string> files{good};
  // The folder's record skipped (negative tag), the info chunk unknown, two info chunks, an old
  // version that is brought up to date in memory, and an empty file.
  const std::size_t folder = ItemChunkOf(good, 5);
  ASSERT_NE(folder, std::string::npos);
  files.push_back(Flip(good, (folder + 4) * 8));
  for (const ChunkAt& c : chunks)
    if (c.h.id == kInfo) {
      files.push_back(Flip(good, c.at * 8 + 7));
      files.push_back(good.substr(0, good.size() - 16) + InfoChunk(7, kLib) + End());
    }
  files.push_back(OldLibrary(2, kLib, "the data", "the jpeg"));
  files.push_back(OldLibrary(6, kLib, "the data", "the jpeg"));
  files.push_back("");
  for (std::size_t k = 0; k < files.size(); ++k) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(orxtest::WriteFile(f, files[k]));
    BrowserDatabase* db = Open(f);
    Take(db);
    BrowserDatabaseItem* h = db->OpenItem(String(kLib) + "/folder");
    if (h)
      h->Close();
    BrowserDatabase::SaveAllAndClose(true, true);
    EXPECT_EQ(Bytes(f), files[k]);
  }
}

TEST_F(DamageTest, TornTailIsTornOnlyWhenNothingWholeFollows)
{
  // A flipped size bit runs a record past the end of a file without an end marker; the chunks
  // behind it are live and must not be appended over.
  std::string f = Head() + InfoChunk(7, kLib) + ItemChunk(Item(1, PathOf(1)), 1);
  const std::size_t at = f.size();
  f += ItemChunk(Item(2, PathOf(2)), 2) + ItemChunk(Item(3, PathOf(3)), 3) + ItemChunk(Item(4, PathOf(4)), 4);
  const std::string bad = Flip(f, (at + 13) * 8 + 7); // size + 0x10000
  ASSERT_GT(Int64(DecodeHeader(reinterpret_cast<const UChar*>(bad.data() + at)).size), Int64(bad.size()));
  ASSERT_TRUE(orxtest::WriteFile(Path("a.libqz"), bad));
  BrowserDatabase* db = Open(Path("a.libqz"));
  EXPECT_TRUE(db->IsWriteProtectedByDamage());
  BrowserDatabaseItem* h = Make(db, String(kLib) + "/new", "new");
  EXPECT_EQ(h, nullptr);
  if (h)
    h->Close();
  BrowserDatabase::SaveAllAndClose(true, true);
  EXPECT_EQ(Bytes(Path("a.libqz")), bad);

  // A real torn tail: a cut record and nothing behind it stays writable.
  std::string torn = f.substr(0, f.size() - 9);
  ASSERT_TRUE(orxtest::WriteFile(Path("b.libqz"), torn));
  db = Open(Path("b.libqz"));
  EXPECT_FALSE(db->IsWriteProtectedByDamage());
  EXPECT_EQ(db->GetItemCount(), 3);
}

// Every bit of every chunk header and a sample of payload bits, in a library with an end marker
// and in one without: load the damaged file, make an unrelated edit, save, compact, flip the bit
// back when the file was left alone, reload. Every item outside the damaged chunk is byte-identical.
TEST_F(DamageTest, NoFlippedBitCostsAnItemOutsideItsChunk)
{
  // Thousands of syncs: a memory-backed folder when there is one.
  std::string dirText = orxtest::TempDir().ToUtf8();
  char shm[] = "/dev/shm/orxdamage-XXXXXX";
  const bool inMemory = ::access("/dev/shm", W_OK) == 0 && ::mkdtemp(shm);
  if (inMemory)
    dirText = std::string(shm) + "/";
  const Filename probe = Filename((dirText + "a.libqz").c_str());
  const Filename bak = Filename((dirText + "a.libqz.bak").c_str());
  const std::string withEnd = MakeLibrary(Path("src.libqz"));
  ASSERT_EQ(withEnd.substr(withEnd.size() - 16, 4), "dbfe");
  const std::string withoutEnd = withEnd.substr(0, withEnd.size() - 16);
  int flips = 0;
  for (const std::string* good : {&withEnd, &withoutEnd}) {
    ASSERT_TRUE(orxtest::WriteFile(probe, *good));
    const Snapshot before = TakeFile(probe);
    ASSERT_EQ(before.size(), 5u);
    std::map<Int32, std::string> pathOfId;
    {
      BrowserDatabase* db = Open(probe);
      std::vector<BrowserDatabase::ItemInfo> all;
      db->ListItems(&all);
      for (const auto& it : all)
        pathOfId[it.id] = it.path.ToUtf8();
      BrowserDatabase::Destroy(db);
    }
    std::vector<std::size_t> bits;
    for (const ChunkAt& c : ChunksOf(*good)) {
      for (std::size_t b = 0; b < 128; ++b)
        bits.push_back(c.at * 8 + b);
      for (std::size_t b = (c.at + 16) * 8 + c.at % 13; b < (c.at + 16 + c.h.size) * 8; b += 61)
        bits.push_back(b);
    }
    for (std::size_t bit : bits) {
      SCOPED_TRACE(testing::Message() << (good == &withEnd ? "with" : "without") << " end marker, bit " << bit);
      ++flips;
      const std::string bad = Flip(*good, bit);
      // The chunk that holds the flip: its item may lose what the flip hit, no other may.
      std::string exempt;
      for (const ChunkAt& c : ChunksOf(*good))
        if (bit / 8 >= c.at && bit / 8 < c.at + 16 + c.h.size && c.h.tag != 0 && pathOfId.count(Int32(c.h.tag)))
          exempt = pathOfId[Int32(c.h.tag)];
      ASSERT_TRUE(orxtest::WriteFile(probe, bad));
      GeDelete(bak);
      BrowserDatabase* db = Open(probe);
      const Bool protectedByDamage = db->IsWriteProtectedByDamage();
      BrowserDatabaseItem* h = db->OpenOrCreateItem(String(kLib) + "/added");
      if (h) {
        h->SetName("added", kEnglish);
        h->Close();
      }
      db->Save(true);
      db->Compact();
      BrowserDatabase::Destroy(db);
      if (protectedByDamage) {
        ASSERT_EQ(Bytes(probe), bad);
        ASSERT_TRUE(orxtest::WriteFile(probe, *good));
      }
      const Snapshot after = TakeFile(probe);
      for (const auto& [path, value] : before) {
        if (path == exempt)
          continue;
        auto it = after.find(path);
        ASSERT_NE(it, after.end()) << path << " is lost";
        ASSERT_TRUE(it->second == value) << path << " changed";
      }
      for (const auto& [path, value] : after)
        ASSERT_TRUE(before.count(path) || path == exempt || path == std::string(kLib) + "/added" ||
                    !exempt.empty())
            << "unexpected item " << path;
    }
  }
  GeDelete(probe);
  GeDelete(bak);
  if (inMemory)
    ::rmdir(shm);
  std::printf("[ flips    ] %d bits flipped\n", flips);
  EXPECT_GT(flips, 2000);
}

TEST_F(DamageTest, CompactionCarriesChunksNoRecordNames)
{
  // A preview whose record lost its reference: only a reader that can tell may drop it.
  const std::string good = MakeLibrary(Path("a.libqz"));
  const std::string orphan = "an orphaned preview nobody names";
  const std::string f = good.substr(0, good.size() - 16) + Chunk(kImage, 2, orphan) + End();
  ASSERT_TRUE(orxtest::WriteFile(Path("a.libqz"), f));
  const Snapshot before = TakeFile(Path("a.libqz"));
  BrowserDatabase* db = Open(Path("a.libqz"));
  EXPECT_FALSE(db->IsWriteProtectedByDamage());
  ASSERT_TRUE(db->Compact());
  BrowserDatabase::Destroy(db);
  EXPECT_NE(Bytes(Path("a.libqz")).find(orphan), std::string::npos);
  EXPECT_TRUE(TakeFile(Path("a.libqz")) == before);
}

TEST_F(DamageTest, CompactionWithAnyReadFailingLosesNothingAndKeepsTheBackup)
{
  const Filename f = Path("a.libqz");
  const Filename bak = Path("a.libqz.bak");
  const std::string good = MakeLibrary(f);
  const Snapshot before = TakeFile(f);
  int points = 0, clean = 0;
  for (int n = 1; n < 500 && clean < 10; ++n) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(orxtest::WriteFile(f, good));
    ASSERT_TRUE(orxtest::WriteFile(bak, "the previous backup"));
    BrowserDatabase* db = Open(f);
    orxhost::FailNth(orxhost::FileOp::Read, n);
    const Bool ok = db->Compact();
    orxhost::ClearFaults();
    BrowserDatabase::Destroy(db);
    ++points;
    if (!ok) {
      clean = 0;
      ASSERT_TRUE(Bytes(f) == good);
      ASSERT_EQ(Bytes(bak), "the previous backup");
      continue;
    }
    // Ten compactions in a row that met no fault: every read of one was tried.
    ++clean;
    ASSERT_TRUE(Bytes(bak) == good);
    ASSERT_TRUE(TakeFile(f) == before);
  }
  std::printf("[ faults   ] %d reads failed\n", points);
  EXPECT_GT(points, 5);
}
