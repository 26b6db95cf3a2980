#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>
#include <tuple>
#include <set>

#include "orxtest.h"

TEST(HostMemory, BlocksAreCountedWithWhereTheyWereTaken)
{
  Int64 before = orxhost::LiveBlockCount();
  void* a = OrxMemAlloc(0, __LINE__, __FILE__, true); // size 0 counts as 1
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(static_cast<UChar*>(a)[0], 0);
  EXPECT_EQ(orxhost::LiveBlockCount(), before + 1);
  std::FILE* out = std::tmpfile();
  orxhost::PrintLiveBlocks(out, 1000);
  std::rewind(out);
  char buf[4096] = {};
  std::fread(buf, 1, sizeof buf - 1, out);
  std::fclose(out);
  EXPECT_NE(std::string(buf).find("host_services_test.cpp"), std::string::npos);
  OrxMemFree(a);
  EXPECT_EQ(orxhost::LiveBlockCount(), before);
}

TEST(HostMemory, ProcessHeapBlocksBeforeTheTableAreFreedThroughTheMark)
{
  const OrxHostTable* t = OrxGetHostTable();
  OrxInstallHostTable(nullptr);
  void* early = OrxMemAlloc(24, __LINE__, __FILE__, false);
  OrxInstallHostTable(t);
  ASSERT_NE(early, nullptr);
  UInt64 mark;
  std::memcpy(&mark, static_cast<UChar*>(early) - 8, 8);
  EXPECT_EQ(mark, ~UInt64(0));
  EXPECT_TRUE(OrxMemUsedProcessHeap());
  Int64 before = orxhost::LiveBlockCount();
  OrxMemFree(early); // goes back to the process heap, not to the host
  EXPECT_EQ(orxhost::LiveBlockCount(), before);
}

TEST(HostFiles, ReadWriteWithoutTruncatingAndFaults)
{
  Filename f = orxtest::TempDir() + String("data.bin");
  {
    BaseFile w;
    ASSERT_TRUE(w.Open(f, FileMode::Write));
    EXPECT_TRUE(w.WriteUInt32(FourCC("dbfh")));
    EXPECT_TRUE(w.WriteBytes("abcdef", 6));
    EXPECT_TRUE(w.Close());
  }
  EXPECT_EQ(orxtest::ReadFile(f).substr(0, 4), "dbfh"); // big-endian
  {
    BaseFile rw;
    ASSERT_TRUE(rw.Open(f, FileMode::ReadWrite));
    EXPECT_EQ(rw.GetLength(), 10);
    EXPECT_TRUE(rw.Seek(-2, SeekMode::End));
    EXPECT_TRUE(rw.WriteBytes("XY", 2));
    EXPECT_TRUE(rw.Seek(4));
    char c[2];
    EXPECT_EQ(rw.ReadBytes(c, 2), 2);
    EXPECT_EQ(std::string(c, 2), "ab");
    EXPECT_EQ(rw.GetPosition(), 6);
    EXPECT_EQ(rw.ReadAt(8, c, 2), 2); // a positioned read leaves the position alone
    EXPECT_EQ(std::string(c, 2), "XY");
    EXPECT_EQ(rw.ReadAt(9, c, 2), 1);
    EXPECT_EQ(rw.GetPosition(), 6);
    EXPECT_TRUE(rw.Sync());
  }
  EXPECT_EQ(orxtest::ReadFile(f), "dbfhabcdXY");

  BaseFile r;
  ASSERT_TRUE(r.Open(f, FileMode::Read));
  char big[64];
  EXPECT_EQ(r.ReadBytes(big, 64), 10);
  EXPECT_FALSE(r.ReadExact(big, 1));
  r.Close();

  // The second write from now fails; the file keeps what was written before it.
  orxhost::FailNth(orxhost::FileOp::Write, 2);
  BaseFile w;
  ASSERT_TRUE(w.Open(f, FileMode::ReadWrite));
  EXPECT_TRUE(w.WriteBytes("1", 1));
  EXPECT_FALSE(w.WriteBytes("2", 1));
  EXPECT_TRUE(w.WriteBytes("3", 1));
  EXPECT_FALSE(w.Close()); // a failed write is reported again at close
  EXPECT_EQ(orxtest::ReadFile(f).substr(0, 2), "13");
  orxhost::FailNth(orxhost::FileOp::Rename, 1);
  EXPECT_FALSE(GeRename(f, f.GetDirectory() + String("other")));
  EXPECT_TRUE(GeRename(f, f.GetDirectory() + String("other")));
  orxhost::FailNth(orxhost::FileOp::Open, 1);
  EXPECT_FALSE(r.Open(f.GetDirectory() + String("other"), FileMode::Read));
  orxhost::ClearFaults();
  EXPECT_FALSE(r.Open(f.GetDirectory(), FileMode::Read)); // a folder is not a file
}

TEST(HostFolders, EnumerationAttributesAndOperations)
{
  Filename dir = orxtest::TempDir();
  ASSERT_TRUE(GeCreateFolderTree(dir + String("sub/deeper")));
  ASSERT_TRUE(orxtest::WriteFile(dir + String("a file.txt"), "12345"));
  ASSERT_TRUE(orxtest::WriteFile(dir + String(".hidden"), ""));
  ASSERT_TRUE(orxtest::WriteFile(dir + String("ro"), "x"));
  ::chmod((dir + String("ro")).ToUtf8().c_str(), 0444);
  std::map<std::string, FolderEntry> seen;
  BrowseFiles b;
  ASSERT_TRUE(b.Init(dir));
  while (b.GetNext())
    seen[b.Entry().name.ToUtf8()] = b.Entry();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_TRUE(seen["sub"].IsFolder());
  EXPECT_EQ(seen["a file.txt"].size, 5);
  EXPECT_GE(seen["a file.txt"].modified.year, 2020);
  EXPECT_TRUE(seen[".hidden"].IsHidden());
  EXPECT_TRUE(seen["ro"].IsReadOnly());
  EXPECT_FALSE(seen["a file.txt"].IsReadOnly());

  EXPECT_TRUE(GeCopyFile(dir + String("a file.txt"), dir + String("copy"), false));
  EXPECT_FALSE(GeCopyFile(dir + String("a file.txt"), dir + String("copy"), false));
  EXPECT_TRUE(GeMove(dir + String("copy"), dir + String("sub")));
  EXPECT_TRUE(GeFileExists(dir + String("sub/copy")));
  EXPECT_FALSE(GeDelete(dir + String("sub"))); // not empty
  EXPECT_TRUE(GeDelete(dir + String("sub/copy")));
  EXPECT_TRUE(GeFolderExists(dir + String("sub")));
  EXPECT_FALSE(GeFolderExists(dir + String("a file.txt")));
  EXPECT_EQ(GeGetFileSize(dir + String("a file.txt")), 5);
  EXPECT_EQ(GeGetFileSize(dir + String("missing")), -1);
}

TEST(HostFolders, SpecialFoldersLieUnderTheTestHome)
{
  std::set<std::string> seen;
  for (Int32 which : {FOLDER_PREFS, FOLDER_LIBRARY, FOLDER_USERLIBRARY, FOLDER_DESKTOP, FOLDER_HOME, FOLDER_STARTUP}) {
    Filename f = GeGetSpecialFolder(which);
    EXPECT_TRUE(f.IsInside(orxtest::HomeDir())) << f.ToUtf8();
    seen.insert(f.ToUtf8());
  }
  EXPECT_EQ(seen.size(), 6u);
  // A file made now carries a time between the host's current time before and after.
  auto key = [](const DateTime& d) {
    return std::tuple(d.year, d.month, d.day, d.hour, d.minute, d.second);
  };
  DateTime before = GeGetCurrentTime(), file;
  Filename f = orxtest::TempDir() + String("now");
  ASSERT_TRUE(orxtest::WriteFile(f, "x"));
  DateTime after = GeGetCurrentTime();
  ASSERT_TRUE(GeGetFileTime(f, 1, &file));
  EXPECT_LE(key(before), key(file));
  EXPECT_LE(key(file), key(after));
  String value;
  ::setenv("ORX_TEST_VALUE", "a;b", 1);
  EXPECT_TRUE(GeGetEnv("ORX_TEST_VALUE", &value));
  EXPECT_EQ(value.ToUtf8(), "a;b");
  EXPECT_FALSE(GeGetEnv("ORX_TEST_SURELY_UNSET", &value));
}

TEST(HostCompression, RoundTripAndDamage)
{
  orxtest::NoLeaks noLeaks;
  std::string data;
  for (int i = 0; i < 5000; ++i)
    data += "preset data " + std::to_string(i % 17);
  void* packed = nullptr;
  Int64 packedSize = 0;
  ASSERT_TRUE(GeCompress(data.data(), Int64(data.size()), 9, &packed, &packedSize));
  EXPECT_LT(packedSize, Int64(data.size()) / 4);
  EXPECT_EQ(GeCompressedOriginalSize(packed, packedSize), Int64(data.size()));
  std::string back(data.size(), '\0');
  EXPECT_TRUE(GeExpand(packed, packedSize, back.data(), Int64(back.size())));
  EXPECT_EQ(back, data);
  EXPECT_FALSE(GeExpand(packed, packedSize, back.data(), Int64(back.size()) - 1)); // wrong length
  EXPECT_FALSE(GeExpand(packed, packedSize - 3, back.data(), Int64(back.size())));  // truncated
  static_cast<UChar*>(packed)[packedSize / 2] ^= 0x55;
  GeExpand(packed, packedSize, back.data(), Int64(back.size())); // damaged: any answer, no crash
  OrxMemFree(packed);
}

TEST(HostSystem, ResourcesConsoleAndPrefs)
{
  Filename res = orxtest::TempDir() + String("strings.txt");
  ASSERT_TRUE(orxtest::WriteFile(res, "# comment\n10000 = Content Browser\n10001 = two\\nlines\n"));
  GeCloseResource();
  ASSERT_TRUE(GeOpenResource(res));
  EXPECT_EQ(GeLoadString(10000).ToUtf8(), "Content Browser");
  EXPECT_EQ(GeLoadString(10001).ToUtf8(), "two\nlines");
  EXPECT_TRUE(GeLoadString(424242).IsEmpty());
  GeCloseResource();
  EXPECT_FALSE(GeOpenResource(res + String("missing")));

  orxhost::ClearConsole();
  GePrint(String("CB: hello"));
  EXPECT_EQ(orxhost::ConsoleLines(), std::vector<std::string>{"CB: hello"});

  GeGetPrefs()->SetInt32(1019747, 3);
  ASSERT_TRUE(GeSavePrefs());
  orxhost::ResetPrefs(); // forget the in-memory copy: the next access reads the file
  EXPECT_EQ(GeGetPrefs()->GetInt32(1019747), 3);
  orxhost::ResetPrefs();
}

namespace {
class Counter : public OrxThread
{
public:
  std::atomic<int> loops{0};
  void Main() override
  {
    while (!TestBreak())
      loops.fetch_add(1);
  }
  const char* GetThreadName() override { return "Counter"; }
};
} // namespace

TEST(HostThreads, StartEndAndLocks)
{
  Counter c;
  ASSERT_TRUE(c.Start(true, THREADPRIORITY_BELOW));
  while (c.loops.load() < 100)
    std::this_thread::yield();
  EXPECT_TRUE(c.IsRunning());
  c.End(true);
  EXPECT_FALSE(c.IsRunning());
  int after = c.loops.load();
  EXPECT_EQ(c.loops.load(), after);
  ASSERT_TRUE(c.Start(true)); // a thread object can run again

  c.End(true);
  Lock l;
  RWLock rw;
  SpinLock s;
  int shared = 0;
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        std::lock_guard<Lock> g(l);
        std::lock_guard<SpinLock> g2(s);
        ++shared;
      }
    });
  for (auto& t : ts)
    t.join();
  EXPECT_EQ(shared, 40000);
  rw.lock_shared();
  rw.unlock_shared();
  Int32 t0 = GeGetTimer();
  EXPECT_GE(GeGetTimer(), t0);
}
