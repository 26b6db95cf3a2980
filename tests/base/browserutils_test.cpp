#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/browserutils.h"
#include "orxtest.h"

namespace {

Filename Home(const char* sub) { return orxtest::HomeDir() + String(sub); }

int CountLines(const std::string& text)
{
  int n = 0;
  for (const std::string& l : orxhost::ConsoleLines())
    n += l == text;
  return n;
}

// Restores an environment variable when the test ends.
class EnvGuard
{
public:
  explicit EnvGuard(const char* name) : name_(name)
  {
    if (const char* v = std::getenv(name)) {
      had_ = true;
      value_ = v;
    }
  }
  ~EnvGuard()
  {
    if (had_)
      ::setenv(name_, value_.c_str(), 1);
    else
      ::unsetenv(name_);
  }

private:
  const char* name_;
  bool had_ = false;
  std::string value_;
};

class BrowserUtils : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ResetBrowserUtilsForTests();
    orxhost::ClearConsole();
    orxhost::ClearMessageBoxes();
    orxhost::ClearFaults();
  }
  void TearDown() override
  {
    orxhost::ClearFaults();
    ResetBrowserUtilsForTests();
  }
};

} // namespace

TEST_F(BrowserUtils, CacheAndTemporaryFolders)
{
  EXPECT_EQ(GetHostFolder7(), Home("home"));
  EXPECT_EQ(GetDesktopFolder(), Home("desktop"));
  Filename cache = GetCacheFolder(false);
  EXPECT_EQ(cache, Home("prefs/cache"));
  EXPECT_FALSE(GeFolderExists(cache)) << "asking without create makes nothing";

  EXPECT_EQ(GetCacheFolder(true), cache);
  EXPECT_TRUE(GeFolderExists(cache + String("image")));
  EXPECT_TRUE(GeFolderExists(cache + String("tmp")));
  EXPECT_EQ(GetTempFolder(), cache + String("tmp"));

  Filename tmp = GetTempFolder();
  ASSERT_TRUE(orxtest::WriteFile(tmp + String("a/b/c.txt"), "x"));
  ASSERT_TRUE(orxtest::WriteFile(tmp + String("top.bin"), "yy"));
  DeleteTempFolderAtEnd();
  EXPECT_FALSE(GeFolderExists(tmp));
  EXPECT_TRUE(GeFolderExists(cache + String("image")));
  DeleteTempFolderAtEnd(); // nothing left to delete: harmless
}

TEST_F(BrowserUtils, SystemBrowserFolderIsTestedOncePerRun)
{
  const std::string line = "CB: system library/browser directory does not exist";
  Filename out = Filename("stale");
  EXPECT_FALSE(GetSystemBrowserFolder(&out));
  EXPECT_TRUE(out.IsEmpty());
  EXPECT_EQ(CountLines(line), 1);
  EXPECT_TRUE(GeFolderExists(Home("userlibrary"))) << "host folder 4 is made on the first call";

  ASSERT_TRUE(GeCreateFolderTree(Home("library/browser")));
  EXPECT_FALSE(GetSystemBrowserFolder(&out)) << "the first answer holds for the run";
  EXPECT_EQ(CountLines(line), 1);

  ResetBrowserUtilsForTests();
  EXPECT_TRUE(GetSystemBrowserFolder(&out));
  EXPECT_EQ(out, Home("library/browser"));
  EXPECT_TRUE(GeDelete(Home("library/browser")));
  EXPECT_TRUE(GetSystemBrowserFolder(&out));
  EXPECT_EQ(CountLines(line), 1);
}

TEST_F(BrowserUtils, SameLibraryFoldersMeanNoSystemFolderAndNoMessage)
{
  EnvGuard home("ORXHOST_HOME"), dataHome("XDG_DATA_HOME"), dataDirs("XDG_DATA_DIRS");
  Filename dir = orxtest::TempDir();
  ::unsetenv("ORXHOST_HOME");
  ::setenv("XDG_DATA_HOME", dir.ToUtf8().c_str(), 1);
  ::setenv("XDG_DATA_DIRS", dir.ToUtf8().c_str(), 1);
  ASSERT_EQ(GeGetSpecialFolder(FOLDER_LIBRARY), GeGetSpecialFolder(FOLDER_USERLIBRARY));

  Filename out;
  EXPECT_FALSE(GetSystemBrowserFolder(&out));
  EXPECT_TRUE(out.IsEmpty());
  EXPECT_TRUE(orxhost::ConsoleLines().empty());
}

TEST_F(BrowserUtils, LibraryFoldersAreComparedAsFolders)
{
  EnvGuard home("ORXHOST_HOME"), dataHome("XDG_DATA_HOME"), dataDirs("XDG_DATA_DIRS");
  ::unsetenv("ORXHOST_HOME");
  Filename dir = orxtest::TempDir();
  const std::string d = dir.ToUtf8();
  ASSERT_EQ(::symlink(d.c_str(), (d + "-link").c_str()), 0);
  // One folder, spelled with a trailing slash, a dot part, and through a link.
  for (const std::string& other : {d + "/", d + "/.", d + "-link"}) {
    ResetBrowserUtilsForTests();
    orxhost::ClearConsole();
    ::setenv("XDG_DATA_HOME", other.c_str(), 1);
    ::setenv("XDG_DATA_DIRS", d.c_str(), 1);
    ASSERT_TRUE(GeCreateFolderTree(GeGetSpecialFolder(FOLDER_LIBRARY) + String("browser")));
    Filename out;
    EXPECT_FALSE(GetSystemBrowserFolder(&out)) << other;
    EXPECT_TRUE(out.IsEmpty()) << other;
    EXPECT_TRUE(orxhost::ConsoleLines().empty()) << other;
  }
  // Two folders are still two.
  ResetBrowserUtilsForTests();
  Filename user = orxtest::TempDir();
  ::setenv("XDG_DATA_HOME", user.ToUtf8().c_str(), 1);
  Filename out;
  EXPECT_TRUE(GetSystemBrowserFolder(&out));
  EXPECT_EQ(out, GeGetSpecialFolder(FOLDER_LIBRARY) + String("browser"));
  ::unlink((d + "-link").c_str());
}

TEST_F(BrowserUtils, UserBrowserFolderIsMadeOrReported)
{
  Filename user = GetUserBrowserFolder();
  EXPECT_EQ(user, Home("userlibrary/browser"));
  EXPECT_TRUE(GeFolderExists(user));
  EXPECT_TRUE(orxhost::MessageBoxes().empty());
  ASSERT_TRUE(GeDelete(user));

  // A file in the way: the folder cannot be made; the user is told and still gets the path.
  ResetBrowserUtilsForTests();
  ASSERT_TRUE(orxtest::WriteFile(user, "in the way"));
  EXPECT_EQ(GetUserBrowserFolder(), user);
  EXPECT_EQ(orxhost::MessageBoxes(), std::vector<std::string>{"CB: Creating user library/browser directory failed"});
  ASSERT_TRUE(GeDelete(user));
}

TEST_F(BrowserUtils, ContentToolMarkerIsLookedForOnce)
{
  Filename marker = GeGetStartupFolder() + String("orx_enablecontenttool.txt");
  EXPECT_FALSE(IsContentToolEnabled());
  ASSERT_TRUE(orxtest::WriteFile(marker, ""));
  EXPECT_FALSE(IsContentToolEnabled()) << "a marker made while running counts from the next run";
  ResetBrowserUtilsForTests();
  EXPECT_TRUE(IsContentToolEnabled());
  ASSERT_TRUE(GeDelete(marker));
  EXPECT_TRUE(IsContentToolEnabled());
}

TEST_F(BrowserUtils, InvalidNameCharacters)
{
  EXPECT_EQ(MakeValidName(String("C:/scenes/a.orx")), String("C__scenes_a.orx"));
  EXPECT_EQ(MakeValidName(String("/\\:*?\"<>|")), String("_________"));
  EXPECT_EQ(MakeValidName(String("Würfel (rot) #1.orx")), String("Würfel (rot) #1.orx"));

  Int32 pos = -1;
  EXPECT_FALSE(HasInvalidChar(String("plain name.txt"), &pos));
  // The first character of the set that occurs wins, not the first in the text.
  EXPECT_TRUE(HasInvalidChar(String("a|b/c/d"), &pos));
  EXPECT_EQ(pos, 3);
  EXPECT_TRUE(HasInvalidChar(String("ab?"), &pos));
  EXPECT_EQ(pos, 2);
  EXPECT_TRUE(HasInvalidChar(String("x\"y"), nullptr));
}

TEST_F(BrowserUtils, FileSizeTexts)
{
  const char* res = std::getenv("ORX_TEST_RES");
  ASSERT_NE(res, nullptr);
  GeCloseResource();
  ASSERT_TRUE(GeOpenResource(Filename(res) + String("strings.txt")));

  auto fmt = [](Int64 bytes, bool shortForm) {
    String s;
    FormatFileSize(&s, bytes, shortForm);
    return s.ToUtf8();
  };
  EXPECT_EQ(fmt(0, true), "0 Bytes");
  EXPECT_EQ(fmt(1023, true), "1023 Bytes");
  EXPECT_EQ(fmt(1023, false), "1023 Bytes (1023 Bytes)");
  EXPECT_EQ(fmt(1024, true), "1.00 KB");
  EXPECT_EQ(fmt(1024, false), "1.00 KB (1024 Bytes)");
  EXPECT_EQ(fmt(1536, true), "1.50 KB");
  EXPECT_EQ(fmt(1048575, true), "1024.00 KB");
  EXPECT_EQ(fmt(1048576, true), "1.00 MB");
  EXPECT_EQ(fmt(Int64(3) << 30, false), "3.00 GB (3221225472 Bytes)");
  EXPECT_EQ(fmt(Int64(1) << 42, true), "4096.00 GB");
  GeCloseResource();
}

TEST_F(BrowserUtils, ReadWholeFile)
{
  orxtest::NoLeaks noLeaks;
  Filename dir = orxtest::TempDir();
  std::string bytes("ab\0cd", 5);
  ASSERT_TRUE(orxtest::WriteFile(dir + String("f.bin"), bytes));
  ASSERT_TRUE(orxtest::WriteFile(dir + String("empty"), ""));

  void* data = nullptr;
  Int64 size = -1;
  ASSERT_TRUE(ReadWholeFile(dir + String("f.bin"), &data, &size));
  EXPECT_EQ(std::string(static_cast<char*>(data), std::size_t(size)), bytes);
  OrxMemFree(data);

  ASSERT_TRUE(ReadWholeFile(dir + String("empty"), &data, &size));
  EXPECT_EQ(size, 0);
  OrxMemFree(data);

  EXPECT_FALSE(ReadWholeFile(dir + String("missing"), &data, &size));
  EXPECT_EQ(data, nullptr);
  EXPECT_FALSE(ReadWholeFile(dir, &data, &size)) << "a folder is not a file";
  orxhost::FailNth(orxhost::FileOp::Read, 1);
  EXPECT_FALSE(ReadWholeFile(dir + String("f.bin"), &data, &size));
  EXPECT_EQ(data, nullptr);
}

TEST_F(BrowserUtils, ContainerFilesRoundTripAndRejectBadBytes)
{
  orxtest::NoLeaks noLeaks;
  Filename f = orxtest::TempDir() + String("Red.orx.bc");
  BaseContainer bc;
  bc.SetInt32(1, 42);
  bc.SetString(2, String("Würfel"));
  BaseContainer sub;
  sub.SetFloat(7, 0.5);
  bc.SetContainer(3, sub);

  Int64 written = 0;
  {
    BaseFile out;
    ASSERT_TRUE(out.Open(f, FileMode::Write));
    ASSERT_TRUE(WriteContainerFile(bc, &out, &written));
    ASSERT_TRUE(out.Close());
  }
  std::string image = orxtest::ReadFile(f);
  ASSERT_EQ(Int64(image.size()), written);
  EXPECT_EQ(image.substr(4, 4), "brow");

  auto readBack = [&](const std::string& bytes, BaseContainer* out) {
    Filename g = f.GetDirectory() + String("probe.bc");
    orxtest::WriteFile(g, bytes);
    BaseFile in;
    if (!in.Open(g, FileMode::Read))
      return false;
    return ReadContainerFile(&in, in.GetLength(), out);
  };
  BaseContainer back;
  ASSERT_TRUE(readBack(image, &back));
  EXPECT_EQ(back.GetInt32(1), 42);
  EXPECT_EQ(back.GetString(2), String("Würfel"));
  ASSERT_NE(back.GetContainerInstance(3), nullptr);
  EXPECT_EQ(back.GetContainerInstance(3)->GetFloat(7), 0.5);

  BaseContainer junk;
  EXPECT_FALSE(readBack(image.substr(0, image.size() - 3), &junk)) << "truncated";
  std::string otherIdent = image;
  otherIdent[4] = 'x';
  EXPECT_FALSE(readBack(otherIdent, &junk)) << "another ident";
  EXPECT_FALSE(readBack("", &junk));
  std::string torn = image;
  for (std::size_t i = 8; i < torn.size(); i += 3)
    torn[i] = char(torn[i] ^ 0x5A);
  readBack(torn, &junk); // any answer, no crash

  {
    BaseFile out;
    ASSERT_TRUE(out.Open(f, FileMode::Write));
    orxhost::FailNth(orxhost::FileOp::Write, 1);
    EXPECT_FALSE(WriteContainerFile(bc, &out, &written));
    EXPECT_EQ(written, 0);
  }
}

namespace {
struct Progress
{
  int calls = 0;
  Int64 bytes = 0;
  int stopAfter = -1;
};
Int32 OnDeleted(void* data, Int32 phase, Int32 count, Int64 size, Int32 flags)
{
  auto* p = static_cast<Progress*>(data);
  EXPECT_EQ(phase, 2);
  EXPECT_EQ(count, 1);
  ++p->calls;
  p->bytes += size;
  return p->calls == p->stopAfter ? -1 : 0;
}
} // namespace

TEST_F(BrowserUtils, DeleteFolderTree)
{
  Filename dir = orxtest::TempDir() + String("tree");
  ASSERT_TRUE(orxtest::WriteFile(dir + String("a.txt"), "123"));
  ASSERT_TRUE(orxtest::WriteFile(dir + String("sub/b.txt"), "4567"));
  ASSERT_TRUE(orxtest::WriteFile(dir + String("sub/deeper/c.txt"), "89"));
  ASSERT_TRUE(GeCreateFolder(dir + String("empty")));

  // Without recursion a filled sub-folder stays, and so does the folder.
  EXPECT_FALSE(DeleteFolderTree(dir, false, nullptr, nullptr));
  EXPECT_TRUE(GeFileExists(dir + String("sub/b.txt")));
  EXPECT_FALSE(GeFileExists(dir + String("a.txt")));

  ASSERT_TRUE(orxtest::WriteFile(dir + String("a.txt"), "123"));
  Progress p;
  EXPECT_TRUE(DeleteFolderTree(dir, true, OnDeleted, &p));
  EXPECT_FALSE(GeFolderExists(dir));
  EXPECT_EQ(p.bytes, 9);
  EXPECT_EQ(p.calls, 6); // three files, three sub-folders (the folder itself included)

  EXPECT_FALSE(DeleteFolderTree(dir, true, nullptr, nullptr)) << "missing folder";
  EXPECT_FALSE(DeleteFolderTree(Filename(), true, nullptr, nullptr));

  // A negative answer of the callback stops at once; a failed delete is reported.
  for (const char* f : {"1", "2", "3", "4"})
    ASSERT_TRUE(orxtest::WriteFile(dir + String(f), "x"));
  Progress stop;
  stop.stopAfter = 2;
  EXPECT_FALSE(DeleteFolderTree(dir, true, OnDeleted, &stop));
  EXPECT_EQ(stop.calls, 2);
  orxhost::FailNth(orxhost::FileOp::Delete, 1);
  EXPECT_FALSE(DeleteFolderTree(dir, true, nullptr, nullptr));
  EXPECT_TRUE(GeFolderExists(dir));
  EXPECT_TRUE(DeleteFolderTree(dir, true, nullptr, nullptr));
}

// Callers that speak edit results tell done, failed and cancelled apart.
TEST_F(BrowserUtils, DeleteFolderTreeResultTellsCancelFromFailure)
{
  constexpr Int32 kRefused = Int32(0x80000008u), kCancelled = Int32(0xC0000000u);
  Filename dir = orxtest::TempDir() + String("tree");
  for (const char* f : {"1", "2", "3"})
    ASSERT_TRUE(orxtest::WriteFile(dir + String(f), "x"));
  Progress stop;
  stop.stopAfter = 1;
  EXPECT_EQ(DeleteFolderTreeResult(dir, true, OnDeleted, &stop), kCancelled);
  orxhost::FailNth(orxhost::FileOp::Delete, 1);
  EXPECT_EQ(DeleteFolderTreeResult(dir, true, nullptr, nullptr), kRefused);
  orxhost::ClearFaults();
  EXPECT_TRUE(GeFolderExists(dir));
  EXPECT_EQ(DeleteFolderTreeResult(dir, true, nullptr, nullptr), 0);
  EXPECT_FALSE(GeFolderExists(dir));
  EXPECT_EQ(DeleteFolderTreeResult(dir, true, nullptr, nullptr), kRefused) << "missing folder";
  EXPECT_EQ(DeleteFolderTreeResult(Filename(), true, nullptr, nullptr), kRefused);
}

TEST_F(BrowserUtils, DeleteFolderTreeWithNamesThatAreNotUtf8)
{
  Filename base = orxtest::TempDir();
  const std::string b = base.ToUtf8();
  // Beside the tree, a file whose name differs from one inside only in a byte that is not UTF-8.
  ASSERT_TRUE(orxtest::WriteFile(base + String("keep"), "k"));
  ASSERT_EQ(::mkdir((b + "/tree").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((b + "/tree/caf\xE9").c_str(), 0755), 0);
  for (const char* name : {"/tree/caf\xE9/x\xFF", "/tree/caf\xE9/x\xFE", "/tree/caf\xE8", "/caf\xE8"}) {
    int fd = ::open((b + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
  }
  EXPECT_TRUE(DeleteFolderTree(base + String("tree"), true, nullptr, nullptr));
  struct stat st;
  EXPECT_NE(::lstat((b + "/tree").c_str(), &st), 0) << "the tree is gone";
  EXPECT_EQ(::lstat((b + "/caf\xE8").c_str(), &st), 0) << "the file beside it stays";
}

TEST_F(BrowserUtils, DeleteFolderTreeNeverFollowsLinks)
{
  Filename base = orxtest::TempDir();
  Filename keep = base + String("keep");
  ASSERT_TRUE(orxtest::WriteFile(keep + String("precious.txt"), "data"));
  Filename dir = base + String("tree");
  ASSERT_TRUE(GeCreateFolder(dir));
  ASSERT_EQ(::symlink(keep.ToUtf8().c_str(), (dir + String("link")).ToUtf8().c_str()), 0);

  EXPECT_TRUE(DeleteFolderTree(dir, true, nullptr, nullptr));
  EXPECT_FALSE(GeFolderExists(dir));
  EXPECT_EQ(orxtest::ReadFile(keep + String("precious.txt")), "data");
}
