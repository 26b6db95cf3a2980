// File names are bytes: a name that is not UTF-8 must lead back to the very file it came from.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "orxtest.h"

namespace {

// Names made and looked at with raw system calls, so the host's own conversions are not used.
bool RawWrite(const std::string& path, const std::string& bytes)
{
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  bool ok = ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  return ::close(fd) == 0 && ok;
}
bool RawExists(const std::string& path)
{
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

const std::vector<std::string> kNames = {
    "caf\xE9",         // Latin-1
    "caf\xE8",         // differs from the first only in a byte that is not UTF-8
    "caf\xC3\xA9",     // the same word in UTF-8
    "\xFF\xFE",        // bytes that never occur in UTF-8
    "cut\xE2\x82",     // a sequence cut short
    "\xED\xA0\x80x",   // an encoded surrogate
    "\xC0\xAF",        // an overlong form
    "\xF0\x9F\x98\x80" // a character outside the basic plane
};

} // namespace

TEST(HostFileNames, NamesThatAreNotUtf8LeadBackToTheirOwnFile)
{
  Filename dir = orxtest::TempDir();
  const std::string d = dir.ToUtf8();
  for (std::size_t i = 0; i < kNames.size(); ++i)
    ASSERT_TRUE(RawWrite(d + "/" + kNames[i], std::string(i + 1, 'x')));

  BrowseFiles b;
  ASSERT_TRUE(b.Init(dir));
  std::set<String> seen;
  while (b.GetNext()) {
    const String name = b.Entry().name;
    EXPECT_TRUE(seen.insert(name).second) << "two names share one text";
    Filename f = dir + name;
    // The size tells which file the name leads to.
    EXPECT_EQ(GeGetFileSize(f), b.Entry().size);
    BaseFile r;
    EXPECT_TRUE(r.Open(f, FileMode::Read)) << name.ToUtf8();
    EXPECT_EQ(r.GetLength(), b.Entry().size);
  }
  EXPECT_EQ(seen.size(), kNames.size());

  // Deleting one of two names that differ only in such bytes leaves the other.
  for (const String& name : seen) {
    if (GeGetFileSize(dir + name) == 1) {
      EXPECT_TRUE(GeDelete(dir + name));
      break;
    }
  }
  EXPECT_FALSE(RawExists(d + "/" + kNames[0]));
  EXPECT_TRUE(RawExists(d + "/" + kNames[1]));
  EXPECT_TRUE(RawExists(d + "/" + kNames[2]));

  // Valid UTF-8 names read as their characters.
  EXPECT_TRUE(seen.count(String(u"caf\u00e9")));
  EXPECT_TRUE(seen.count(String(u"\U0001F600")));
}

TEST(HostFileNames, FoldersAndOperationsWithSuchNames)
{
  Filename dir = orxtest::TempDir();
  const std::string d = dir.ToUtf8();
  ASSERT_EQ(::mkdir((d + "/f\xE9").c_str(), 0755), 0);
  ASSERT_TRUE(RawWrite(d + "/f\xE9/a\xFF", "data"));
  BrowseFiles b;
  ASSERT_TRUE(b.Init(dir));
  ASSERT_TRUE(b.GetNext());
  Filename folder = dir + b.Entry().name;
  EXPECT_TRUE(GeFolderExists(folder));
  BrowseFiles inner;
  ASSERT_TRUE(inner.Init(folder));
  ASSERT_TRUE(inner.GetNext());
  Filename file = folder + inner.Entry().name;
  EXPECT_TRUE(GeCopyFile(file, folder + String("copy"), false));
  EXPECT_TRUE(GeRenameNoReplace(folder + String("copy"), folder + (inner.Entry().name + String("2"))));
  EXPECT_TRUE(RawExists(d + "/f\xE9/a\xFF" "2"));
  EXPECT_TRUE(GeDelete(file));
  EXPECT_FALSE(RawExists(d + "/f\xE9/a\xFF"));
}

TEST(HostFileNames, TextThatCannotNameAFileNamesNothing)
{
  Filename dir = orxtest::TempDir();
  ASSERT_TRUE(orxtest::WriteFile(dir + String("a"), "x"));
  ASSERT_TRUE(orxtest::WriteFile(dir + String(u"\uFFFD"), "x"));
  // A zero would cut the name short: "a\0b" must not be "a".
  EXPECT_FALSE(GeFileExists(dir + String(std::u16string_view(u"a\0b", 3))));
  EXPECT_FALSE(GeDelete(dir + String(std::u16string_view(u"a\0b", 3))));
  // A lone surrogate that no byte maps to must not become U+FFFD.
  EXPECT_FALSE(GeFileExists(dir + String(u"\xD800")));
  EXPECT_FALSE(GeDelete(dir + String(u"\xDC41")));
  EXPECT_TRUE(GeFileExists(dir + String("a")));
  EXPECT_TRUE(GeFileExists(dir + String(u"\uFFFD")));
}
