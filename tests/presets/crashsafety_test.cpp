// A save or compaction cut short at any byte, and a library with any byte damaged: every result
// loads, keeps each item in its old or its new state, and damaged bytes are never written over.
#include <map>

#include "presettest.h"

namespace {
using State = std::map<std::string, std::string>; // item path -> name ("" when absent)

const char* const kPaths[] = {"preset://a.libqz/keep", "preset://a.libqz/change", "preset://a.libqz/gone",
                              "preset://a.libqz/new", "preset://a.libqz/data"};

State StateOf(const Filename& f)
{
  State s;
  BrowserDatabase* db = BrowserDatabase::Create(f, String(), 0);
  EXPECT_TRUE(db->Load());
  for (const char* p : kPaths) {
    BrowserDatabaseItem* h = db->OpenItem(p);
    s[p] = h ? h->GetName(0x75730000).ToUtf8() + "|" + std::to_string(h->GetDataSize()) : "";
    if (h)
      h->Close();
  }
  BrowserDatabase::Destroy(db);
  return s;
}

void ExpectBeforeOrAfter(const State& got, const State& before, const State& after, const std::string& what)
{
  for (const auto& [path, name] : got)
    EXPECT_TRUE(name == before.at(path) || name == after.at(path))
        << what << ": " << path << " is '" << name << "', before '" << before.at(path) << "', after '"
        << after.at(path) << "'";
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
  for (std::size_t s = 1; s < steps.size(); ++s) {
    const std::string& from = steps[s - 1];
    const std::string& to = steps[s];
    std::size_t lo = 0;
    while (lo < from.size() && lo < to.size() && from[lo] == to[lo])
      ++lo;
    std::size_t hi = std::max(from.size(), to.size());
    while (hi > lo && hi <= from.size() && hi <= to.size() && from[hi - 1] == to[hi - 1])
      --hi;
    for (std::size_t cut = lo; cut <= hi; ++cut) {
      std::string torn = from;
      if (torn.size() < cut)
        torn.resize(cut, '\0');
      torn.replace(lo, cut - lo, to.substr(lo, cut - lo));
      if (torn.size() > std::max(from.size(), cut))
        torn.resize(std::max(from.size(), cut));
      ASSERT_TRUE(orxtest::WriteFile(probe, torn));
      ExpectBeforeOrAfter(StateOf(probe), before, after, "write " + std::to_string(s) + " cut at " + std::to_string(cut));
      ++loads;
      if (HasFailure())
        return;
    }
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
  EXPECT_EQ(s.at(kPaths[4]), "v2|3000");
}

TEST_F(CrashTest, EveryByteFlippedLoadsAndNothingUnreadIsWrittenOver)
{
  Filename dir = orxtest::TempDir();
  BrowserDatabase* db = Pending(dir, 40);
  ASSERT_TRUE(db->Save());
  const std::string good = Bytes(db->GetFilename());
  BrowserDatabase::Destroy(db);
  const std::size_t endMarker = good.size() - 16;
  ASSERT_EQ(good.substr(endMarker, 4), "dbfe");
  Filename probe = orxtest::TempDir() + String("a.libqz");
  for (std::size_t i = 0; i < good.size(); ++i) {
    std::string bad = good;
    bad[i] = char(bad[i] ^ 0x5A);
    ASSERT_TRUE(orxtest::WriteFile(probe, bad));
    BrowserDatabase* lib = BrowserDatabase::Create(probe, String(), 0);
    ASSERT_TRUE(lib->Load());
    // Chunks that end before the damage are all there.
    if (i >= endMarker)
      EXPECT_EQ(lib->GetItemCount(), 4) << "flip at " << i;
    BrowserDatabaseItem* h = lib->OpenOrCreateItem("preset://a.libqz/added");
    if (h)
      h->Close();
    lib->Save(true, true);
    BrowserDatabase::Destroy(lib);
    const std::string out = Bytes(probe);
    // Only dead marks and bytes behind the real end marker may differ.
    for (std::size_t p = 0; p < bad.size() && p < endMarker; ++p) {
      if (p < out.size() && out[p] == bad[p])
        continue;
      bool mark = false;
      for (std::size_t q = p >= 3 ? p - 3 : 0; q <= p; ++q)
        mark |= out.compare(q, 4, "ivld") == 0;
      ASSERT_TRUE(mark) << "flip at " << i << " overwrote byte " << p;
    }
    GeDelete(probe.GetString() + ".bak");
  }
}
