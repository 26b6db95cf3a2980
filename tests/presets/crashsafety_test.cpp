// A save or compaction cut short at any byte, and a library with any byte damaged: every result
// loads, keeps each item in its old or its new state, and damaged bytes are never written over.
#include <unistd.h>

#include <map>
#include <set>

#include "presettest.h"

namespace {
using State = std::map<std::string, std::string>; // item path -> name ("" when absent)

const char* const kPaths[] = {"preset://a.libqz/keep", "preset://a.libqz/change", "preset://a.libqz/gone",
                              "preset://a.libqz/new", "preset://a.libqz/data"};

// Every item of the library, with its name, data bytes and preview bytes: a lost byte or an
// item that should not be there shows.
State StateOf(const Filename& f)
{
  State s;
  BrowserDatabase* db = BrowserDatabase::Create(f, String(), 0);
  EXPECT_TRUE(db->Load());
  for (const char* p : kPaths)
    s[p] = "";
  std::vector<BrowserDatabase::ItemInfo> all;
  db->ListItems(&all);
  for (const BrowserDatabase::ItemInfo& it : all) {
    if (it.id < 1)
      continue;
    BrowserDatabaseItem* h = db->OpenItem(it.path, it.hash);
    std::string v = "(cannot be opened)";
    if (h) {
      v = h->GetName(0x75730000).ToUtf8() + "|" + std::to_string(h->GetDataSize());
      ByteArray b;
      if (h->HasData())
        v += "|" + (h->GetData(&b) ? std::string(b.begin(), b.end()) : std::string("(data unreadable)"));
      for (Int32 i = 0; i < h->GetPreviewCount(); ++i) {
        PreviewInfo pi;
        v += "|" + (h->GetPreviewInfo(i, &pi) && h->GetPreviewData(pi.imageId, &b) ? std::string(b.begin(), b.end())
                                                                                    : std::string("(unreadable)"));
      }
      h->Close();
    }
    // A library of the same name that is still open makes this one load under another name.
    std::string path = it.path.ToUtf8();
    const std::string name = db->GetName().ToUtf8();
    if (!name.empty() && path.compare(0, name.size(), name) == 0)
      path = "preset://a.libqz" + path.substr(name.size());
    s[path] = v;
  }
  BrowserDatabase::Destroy(db);
  return s;
}

void ExpectBeforeOrAfter(const State& got, const State& before, const State& after, const std::string& what)
{
  auto at = [](const State& s, const std::string& p) {
    auto it = s.find(p);
    return it == s.end() ? std::string() : it->second;
  };
  std::set<std::string> paths;
  for (const State* s : {&got, &before, &after})
    for (const auto& e : *s)
      paths.insert(e.first);
  for (const std::string& path : paths) {
    const std::string g = at(got, path), b = at(before, path), a = at(after, path);
    EXPECT_TRUE(g == b || g == a) << what << ": " << path << " is '" << g.substr(0, 40) << "', before '"
                                  << b.substr(0, 40) << "', after '" << a.substr(0, 40) << "'";
  }
}
} // namespace

class CrashTest : public LibraryTest
{
protected:
  // A saved library and, in memory, a save's worth of changes.
  BrowserDatabase* Pending(const Filename& dir, int dataSize = 3000)
  {
    Filename f = dir + String("a.libqz");
    BrowserDatabase* db = BrowserDatabase::Create(f, String(), 0);
    db->SetName("preset://a.libqz");
    for (const char* p : {kPaths[0], kPaths[1], kPaths[2], kPaths[4]})
      Make(db, p, "v1")->Close();
    EXPECT_TRUE(db->Save());
    BrowserDatabaseItem* h = db->OpenItem(kPaths[1]);
    h->SetName("v2", 0x75730000);
    h->Close();
    EXPECT_TRUE(db->DeleteItem(kPaths[2]));
    Make(db, kPaths[3], "v2")->Close();
    h = db->OpenItem(kPaths[4]);
    std::string d(std::size_t(dataSize), 'q');
    h->SetData(d.data(), Int64(d.size()), dbitem::kStoreAsGiven); // appended at once
    h->SetName("v2", 0x75730000);
    h->Close();
    db->SetDisplayName("Library A");
    return db;
  }
};

TEST_F(CrashTest, SaveCutAtEveryByte)
{
  // The states before and after the save.
  Filename d0 = orxtest::TempDir();
  BrowserDatabase* db = Pending(d0);
  const std::string beforeBytes = Bytes(db->GetFilename());
  ASSERT_TRUE(db->Save());
  const State after = StateOf(db->GetFilename());
  BrowserDatabase::Destroy(db);
  ASSERT_TRUE(orxtest::WriteFile(d0 + String("b.libqz"), beforeBytes));
  const State before = StateOf(d0 + String("b.libqz"));
  ASSERT_EQ(after.at(kPaths[2]), "");
  ASSERT_EQ(before.at(kPaths[1]), "v1|0");
  ASSERT_EQ(after.at(kPaths[1]), "v2|0");

  // The file after the first n writes of the save, for every n.
  std::vector<std::string> steps{beforeBytes};
  for (int n = 1; n < 100; ++n) {
    Filename dir = orxtest::TempDir();
    db = Pending(dir);
    orxhost::FailNth(orxhost::FileOp::Write, n);
    const Bool ok = db->Save();
    orxhost::ClearFaults();
    steps.push_back(Bytes(db->GetFilename()));
    BrowserDatabase::Destroy(db);
    if (ok)
      break;
  }
  ASSERT_GE(steps.size(), 3u);

  // Every byte of every write, in order.
  Filename probe = orxtest::TempDir() + String("c.libqz");
  int loads = 0;
  for (std::size_t s = 1; s < steps.size() && !HasFailure(); ++s) {
    ForEachTornWrite(steps[s - 1], steps[s], [&](std::size_t cut, const std::string& torn) {
      EXPECT_TRUE(orxtest::WriteFile(probe, torn));
      ExpectBeforeOrAfter(StateOf(probe), before, after, "write " + std::to_string(s) + " cut at " + std::to_string(cut));
      ++loads;
      return !HasFailure();
    });
  }
  EXPECT_GT(loads, 100);
}

TEST_F(CrashTest, CompactionFailingAtEveryStepLeavesTheLibraryWhole)
{
  Filename dir = orxtest::TempDir();
  BrowserDatabase* db = Pending(dir);
  ASSERT_TRUE(db->Save());
  const Filename f = db->GetFilename();
  const std::string saved = Bytes(f);
  const State state = StateOf(f);
  struct Step
  {
    orxhost::FileOp op;
    int n;
  };
  for (Step st : {Step{orxhost::FileOp::Write, 1}, Step{orxhost::FileOp::Flush, 1}, Step{orxhost::FileOp::Open, 2},
                  Step{orxhost::FileOp::Rename, 1}}) {
    orxhost::FailNth(st.op, st.n);
    EXPECT_FALSE(db->Compact());
    orxhost::ClearFaults();
    EXPECT_EQ(Bytes(f), saved);
    EXPECT_EQ(StateOf(f), state);
  }
  // A half-written ".new" from a crash is never read as the library.
  ASSERT_TRUE(orxtest::WriteFile(f.GetString() + ".new", saved.substr(0, saved.size() / 2)));
  EXPECT_EQ(StateOf(f), state);
  ASSERT_TRUE(db->Compact());
  EXPECT_EQ(Bytes(f.GetString() + ".bak"), saved);
  EXPECT_EQ(StateOf(f), state);
  // The compacted library goes on working: a change after it lands in the new file.
  BrowserDatabaseItem* h = db->OpenItem(kPaths[0]);
  h->SetName("v3", 0x75730000);
  h->Close();
  ASSERT_TRUE(db->Save());
  EXPECT_EQ(StateOf(f).at(kPaths[0]), "v3|0");
}

TEST_F(CrashTest, SaveThatFailsStaysChangedAndSucceedsLater)
{
  Filename dir = orxtest::TempDir();
  BrowserDatabase* db = Pending(dir);
  orxhost::FailNth(orxhost::FileOp::Flush, 1);
  EXPECT_FALSE(db->Save());
  EXPECT_TRUE(db->IsChanged());
  ASSERT_TRUE(db->Save());
  State s = StateOf(db->GetFilename());
  EXPECT_EQ(s.at(kPaths[1]), "v2|0");
  EXPECT_EQ(s.at(kPaths[2]), "");
  EXPECT_EQ(s.at(kPaths[3]), "v2|0");
  EXPECT_EQ(s.at(kPaths[4]), "v2|3000|" + std::string(3000, 'q'));
}

TEST_F(CrashTest, EveryByteFlippedLoadsAndNothingUnreadIsWrittenOver)
{
  Filename dir = orxtest::TempDir();
  BrowserDatabase* db = Pending(dir, 40);
  ASSERT_TRUE(db->Save());
  const std::string good = Bytes(db->GetFilename());
  const State state = StateOf(db->GetFilename());
  BrowserDatabase::Destroy(db);
  ASSERT_EQ(good.substr(good.size() - 16, 4), "dbfe");
  // The item whose chunk holds each byte (item chunks and data chunks carry the item id).
  std::vector<std::string> owner(good.size());
  {
    BrowserDatabase* lib = BrowserDatabase::Create(dir + String("a.libqz"), String(), 0);
    ASSERT_TRUE(lib->Load());
    std::vector<BrowserDatabase::ItemInfo> all;
    lib->ListItems(&all);
    BrowserDatabase::Destroy(lib);
    for (std::size_t p = 16; p + 16 <= good.size();) {
      const dbchunk::ChunkHeader h = dbchunk::DecodeHeader(reinterpret_cast<const UChar*>(good.data() + p));
      const std::size_t end = std::min(good.size(), p + 16 + std::size_t(h.size));
      for (const auto& it : all)
        if (it.id == Int32(h.tag) && h.tag != 0)
          for (std::size_t q = p; q < end; ++q)
            owner[q] = it.path.ToUtf8();
      p = end;
    }
  }
  // Thousands of syncs: in a memory-backed folder when there is one.
  char shm[] = "/dev/shm/orxflip-XXXXXX";
  const bool inMemory = ::access("/dev/shm", W_OK) == 0 && ::mkdtemp(shm);
  const Filename probe = inMemory ? Filename((std::string(shm) + "/a.libqz").c_str())
                                  : orxtest::TempDir() + String("a.libqz");
  // A negative tag (bit 7 of the tag's first byte) and colliding ids (bit 0) as well.
  for (UChar mask : {UChar(0x5A), UChar(0x01), UChar(0x80)}) {
    for (std::size_t i = 0; i < good.size(); ++i) {
      std::string bad = good;
      bad[i] = char(bad[i] ^ mask);
      ASSERT_TRUE(orxtest::WriteFile(probe, bad));
      GeDelete(probe.GetString() + ".bak");
      BrowserDatabase* lib = BrowserDatabase::Create(probe, String(), 0);
      ASSERT_TRUE(lib->Load());
      const Bool damaged = lib->IsWriteProtectedByDamage();
      BrowserDatabaseItem* h = lib->OpenOrCreateItem("preset://a.libqz/added");
      if (h)
        h->Close();
      lib->Save(true, true);
      lib->Compact();
      BrowserDatabase::Destroy(lib);
      // A library that cannot explain its bytes is never written; any other keeps every item
      // outside the flipped chunk whole.
      if (damaged) {
        ASSERT_TRUE(Bytes(probe) == bad) << "flip " << int(mask) << " at " << i << " wrote to a damaged library";
        continue;
      }
      const State got = StateOf(probe);
      for (const auto& [path, value] : state) {
        if (path == owner[i])
          continue;
        auto it = got.find(path);
        ASSERT_TRUE(it != got.end() && it->second == value) << "flip " << int(mask) << " at " << i << " cost " << path;
      }
    }
  }
  GeDelete(probe);
  GeDelete(probe.GetString() + ".bak");
  if (inMemory)
    ::rmdir(shm);
}
