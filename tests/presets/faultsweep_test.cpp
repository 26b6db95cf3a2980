// Every fault point of a save, a compaction and a load: a write torn at every byte, and a read
// error at every read. No item is lost, no deleted item comes back, and no file that was readable
// becomes unreadable. Items are compared by their names, data bytes and preview bytes.
#include <cstdio>
#include <map>

#include "presettest.h"

namespace {
using State = std::map<std::string, std::string>; // path -> name|data|previews, "" when absent

const char* const kPaths[] = {"preset://s.libqz/keep", "preset://s.libqz/change", "preset://s.libqz/gone",
                              "preset://s.libqz/new"};

std::string ItemState(BrowserDatabaseItem* h)
{
  ByteArray d;
  std::string s = h->GetName(0x75730000).ToUtf8() + "|" + (h->GetData(&d) ? std::string(d.begin(), d.end()) : "-");
  for (Int32 i = 0; i < h->GetPreviewCount(); ++i) {
    PreviewInfo info;
    ByteArray j;
    if (h->GetPreviewInfo(i, &info) && h->GetPreviewData(info.imageId, &j))
      s += "|" + std::to_string(info.imageId) + ":" + std::string(j.begin(), j.end());
    else
      s += "|<unreadable preview>";
  }
  return s;
}

State StateOf(const Filename& f, bool* damaged = nullptr)
{
  State s;
  BrowserDatabase* db = BrowserDatabase::Create(f, String(), 0);
  EXPECT_TRUE(db->Load());
  if (damaged)
    *damaged = db->IsInfoDamaged() || db->IsWriteProtectedByDamage();
  for (const char* p : kPaths) {
    BrowserDatabaseItem* h = db->OpenItem(p);
    s[p] = h ? ItemState(h) : "";
    if (h)
      h->Close();
  }
  BrowserDatabase::Destroy(db);
  return s;
}

bool BeforeOrAfter(const State& got, const State& before, const State& after, std::string* why)
{
  for (const auto& [path, v] : got)
    if (v != before.at(path) && v != after.at(path)) {
      *why = path + " is '" + v + "', before '" + before.at(path) + "', after '" + after.at(path) + "'";
      return false;
    }
  return true;
}

void AddData(BrowserDatabaseItem* h, const std::string& d) { h->SetData(d.data(), Int64(d.size()), dbitem::kStoreAsGiven); }
void AddPreview(BrowserDatabaseItem* h, Int32 id, const std::string& j)
{
  h->AddPreview(id, j.data(), Int64(j.size()), 4, DateTime());
}
} // namespace

class FaultSweep : public LibraryTest
{
protected:
  // A saved library and, in memory, a save's worth of changes of every kind.
  BrowserDatabase* Pending(const Filename& dir)
  {
    BrowserDatabase* db = BrowserDatabase::Create(dir + String("s.libqz"), String(), 0);
    db->SetName("preset://s.libqz");
    for (const char* p : {kPaths[0], kPaths[1], kPaths[2]}) {
      BrowserDatabaseItem* h = Make(db, p, "v1");
      AddData(h, std::string("data1 of ") + p);
      AddPreview(h, 0, std::string("jpeg1 of ") + p);
      h->Close();
    }
    EXPECT_TRUE(db->Save());
    BrowserDatabaseItem* h = db->OpenItem(kPaths[1]);
    h->SetName("v2", 0x75730000);
    AddData(h, "data2 of change");
    h->Close();
    h = db->OpenItem(kPaths[0]);
    AddPreview(h, 1, "jpeg2 of keep");
    h->Close();
    EXPECT_TRUE(db->DeleteItem(kPaths[2]));
    h = Make(db, kPaths[3], "v2");
    AddData(h, "data of new");
    h->Close();
    return db;
  }
  int points_ = 0;
};

TEST_F(FaultSweep, SaveTornAtEveryByteOrFailingAtEveryReadLosesNothing)
{
  Filename d0 = orxtest::TempDir();
  BrowserDatabase* db = Pending(d0);
  const std::string beforeBytes = Bytes(db->GetFilename());
  ASSERT_TRUE(db->Save());
  const State after = StateOf(db->GetFilename());
  BrowserDatabase::Destroy(db);
  ASSERT_TRUE(orxtest::WriteFile(d0 + String("b.libqz"), beforeBytes));
  const State before = StateOf(d0 + String("b.libqz"));
  ASSERT_EQ(after.at(kPaths[2]), "");
  ASSERT_NE(before.at(kPaths[2]), "");

  // The file after the first n writes of the save, for every n.
  std::vector<std::string> steps{beforeBytes};
  for (int n = 1; n < 100; ++n) {
    db = Pending(orxtest::TempDir());
    orxhost::FailNth(orxhost::FileOp::Write, n);
    const Bool ok = db->Save();
    orxhost::ClearFaults();
    steps.push_back(Bytes(db->GetFilename()));
    BrowserDatabase::Destroy(db);
    if (ok)
      break;
  }
  ASSERT_GE(steps.size(), 3u);
  Filename probe = orxtest::TempDir() + String("s.libqz");
  std::string why;
  for (std::size_t s = 1; s < steps.size() && !HasFailure(); ++s) {
    ForEachTornWrite(steps[s - 1], steps[s], [&](std::size_t cut, const std::string& torn) {
      EXPECT_TRUE(orxtest::WriteFile(probe, torn));
      // A cut inside the closing end marker may open read-only (the reader's call); what
      // matters here is that every item reads, in its old or its new state.
      EXPECT_TRUE(BeforeOrAfter(StateOf(probe), before, after, &why)) << "write " << s << " cut at " << cut << ": " << why;
      ++points_;
      return !HasFailure();
    });
  }

  // A read error at every read of the save: it fails or succeeds whole, and a retry finishes it.
  for (int n = 1;; ++n) {
    ASSERT_LT(n, 1000);
    Filename dir = orxtest::TempDir();
    db = Pending(dir);
    orxhost::FailNth(orxhost::FileOp::Read, n);
    const Bool ok = db->Save();
    orxhost::ClearFaults();
    ++points_;
    bool damaged = false;
    ASSERT_TRUE(BeforeOrAfter(StateOf(db->GetFilename(), &damaged), before, after, &why)) << "read " << n << ": " << why;
    EXPECT_FALSE(damaged);
    if (!ok) {
      EXPECT_TRUE(db->Save()) << "read " << n;
      EXPECT_EQ(StateOf(db->GetFilename()), after) << "read " << n;
    } else {
      EXPECT_EQ(StateOf(db->GetFilename()), after) << "read " << n;
    }
    BrowserDatabase::Destroy(db);
    if (ok)
      break;
  }
  std::printf("save fault points tried: %d\n", points_);
}

TEST_F(FaultSweep, CompactionFailingAtEveryStepAndEveryReadLosesNothing)
{
  BrowserDatabase* db = Pending(orxtest::TempDir());
  ASSERT_TRUE(db->Save());
  ASSERT_TRUE(db->Compact()); // a backup that the failed compactions must keep
  // Dead chunks again, for the compactions to drop.
  BrowserDatabaseItem* h = db->OpenItem(kPaths[0]);
  AddData(h, "data3 of keep");
  h->Close();
  ASSERT_TRUE(db->Save());
  const Filename f = db->GetFilename(), bak = f.GetString() + ".bak";
  const State state = StateOf(f);
  const std::string bytes = Bytes(f), bakBytes = Bytes(bak);
  for (orxhost::FileOp op : {orxhost::FileOp::Open, orxhost::FileOp::Read, orxhost::FileOp::Write,
                             orxhost::FileOp::Flush, orxhost::FileOp::Rename, orxhost::FileOp::Delete}) {
    for (int n = 1;; ++n) {
      ASSERT_LT(n, 1000);
      orxhost::FailNth(op, n);
      const Bool ok = db->Compact();
      orxhost::ClearFaults();
      ++points_;
      bool damaged = false;
      EXPECT_EQ(StateOf(f, &damaged), state) << "op " << int(op) << " n " << n;
      EXPECT_FALSE(damaged);
      if (ok)
        break;
      EXPECT_EQ(Bytes(f), bytes) << "op " << int(op) << " n " << n;
      EXPECT_EQ(Bytes(bak), bakBytes) << "op " << int(op) << " n " << n;
    }
    // Back to the same start for the next kind of fault.
    BrowserDatabase::Destroy(db);
    ASSERT_TRUE(orxtest::WriteFile(f, bytes));
    ASSERT_TRUE(orxtest::WriteFile(bak, bakBytes));
    db = Open(f);
  }
  // A crash at any byte of writing the new file leaves it beside the library: the library reads
  // as before, and the next compaction writes over the leftover.
  ASSERT_TRUE(db->Compact());
  const std::string compacted = Bytes(f);
  BrowserDatabase::Destroy(db);
  const Filename next = f.GetString() + ".new";
  for (std::size_t cut = 0; cut <= compacted.size(); ++cut) {
    ASSERT_TRUE(orxtest::WriteFile(f, bytes));
    ASSERT_TRUE(orxtest::WriteFile(next, compacted.substr(0, cut)));
    ++points_;
    ASSERT_EQ(StateOf(f), state) << "cut at " << cut;
  }
  db = Open(f);
  ASSERT_TRUE(db->Compact());
  EXPECT_EQ(Bytes(f), compacted);
  EXPECT_FALSE(GeFileExists(next));
  std::printf("compaction fault points tried: %d\n", points_);
}

TEST_F(FaultSweep, LoadFailingAtEveryReadNeverWritesOverWhatItDidNotRead)
{
  BrowserDatabase* db = Pending(orxtest::TempDir());
  ASSERT_TRUE(db->Save());
  const Filename f = db->GetFilename();
  BrowserDatabase::Destroy(db);
  const State state = StateOf(f);
  const std::string bytes = Bytes(f);
  for (int n = 1;; ++n) {
    ASSERT_LT(n, 1000);
    ASSERT_TRUE(orxtest::WriteFile(f, bytes));
    db = BrowserDatabase::Create(f, String(), 0);
    orxhost::FailNth(orxhost::FileOp::Read, n);
    db->Load();
    orxhost::ClearFaults();
    ++points_;
    const bool whole = db->GetItemCount() == 3 && !db->IsWriteProtectedByDamage();
    // An edit and a save after a load that could not read everything.
    if (BrowserDatabaseItem* e = db->OpenOrCreateItem("preset://s.libqz/edit"))
      e->Close();
    db->Save(true, true);
    BrowserDatabase::Destroy(db);
    State now = StateOf(f);
    EXPECT_EQ(now, state) << "read " << n;
    // Past the last read of the load nothing fails any more.
    if (whole && n > 60)
      break;
  }
  std::printf("load fault points tried: %d\n", points_);
}
