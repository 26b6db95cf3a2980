// Copy, rename and folder creation that never lose data by accident: no copy onto itself, a
// rename that never replaces, a new folder told apart from an existing one.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "orxtest.h"

TEST(HostFileOps, CopyOntoItselfIsRefusedAndLeavesTheFile)
{
  Filename dir = orxtest::TempDir();
  Filename f = dir + String("data.bin");
  ASSERT_TRUE(orxtest::WriteFile(f, "precious"));
  ASSERT_TRUE(GeCreateFolder(dir + String("sub")));
  Filename hard = dir + String("hard.bin");
  ASSERT_TRUE(GeHardLink(f, hard));
  Filename soft = dir + String("soft.bin");
  ASSERT_EQ(::symlink(f.ToUtf8().c_str(), soft.ToUtf8().c_str()), 0);
  const std::string d = dir.ToUtf8();
  for (const Filename& same : {f, Filename(String(d + "/./data.bin")), Filename(String(d + "//data.bin")),
                               Filename(String(d + "/sub/../data.bin")), hard, soft}) {
    for (Bool overwrite : {true, false}) {
      EXPECT_FALSE(GeCopyFile(f, same, overwrite)) << same.ToUtf8();
      EXPECT_FALSE(GeCopyFile(same, f, overwrite)) << same.ToUtf8();
      EXPECT_EQ(orxtest::ReadFile(f), "precious") << same.ToUtf8();
    }
  }
  // Other files are copied as before.
  Filename other = dir + String("other.bin");
  ASSERT_TRUE(orxtest::WriteFile(other, "old"));
  EXPECT_FALSE(GeCopyFile(f, other, false));
  EXPECT_TRUE(GeCopyFile(f, other, true));
  EXPECT_EQ(orxtest::ReadFile(other), "precious");
}

TEST(HostFileOps, RenameWithoutReplaceKeepsWhatHasTheName)
{
  for (bool fallback : {false, true}) {
    orxhost::SimulateNoReplaceRenameUnsupported(fallback);
    Filename dir = orxtest::TempDir();
    Filename a = dir + String("a"), b = dir + String("b"), c = dir + String("c");
    ASSERT_TRUE(orxtest::WriteFile(a, "A"));
    ASSERT_TRUE(orxtest::WriteFile(b, "B"));
    EXPECT_FALSE(GeRenameNoReplace(a, b)) << fallback;
    EXPECT_EQ(orxtest::ReadFile(a), "A");
    EXPECT_EQ(orxtest::ReadFile(b), "B");
    EXPECT_TRUE(GeRenameNoReplace(a, c)) << fallback;
    EXPECT_FALSE(GeFileExists(a));
    EXPECT_EQ(orxtest::ReadFile(c), "A");
    // One file under two names: neither name goes.
    ASSERT_TRUE(GeHardLink(c, a));
    EXPECT_FALSE(GeRenameNoReplace(a, c)) << fallback;
    EXPECT_TRUE(GeFileExists(a));
    EXPECT_TRUE(GeFileExists(c));
    // Folders: onto a folder or a file refused, to a free name done.
    Filename f1 = dir + String("f1"), f2 = dir + String("f2"), f3 = dir + String("f3");
    ASSERT_TRUE(GeCreateFolder(f1));
    ASSERT_TRUE(GeCreateFolder(f2));
    EXPECT_FALSE(GeRenameNoReplace(f1, f2)) << fallback;
    EXPECT_FALSE(GeRenameNoReplace(f1, b)) << fallback;
    EXPECT_EQ(orxtest::ReadFile(b), "B");
    EXPECT_TRUE(GeRenameNoReplace(f1, f3)) << fallback;
    EXPECT_TRUE(GeFolderExists(f3));
    EXPECT_FALSE(GeRenameNoReplace(dir + String("missing"), dir + String("x")));
    // A move never replaces either.
    ASSERT_TRUE(orxtest::WriteFile(f2 + String("b"), "other B"));
    EXPECT_FALSE(GeMove(b, f2));
    EXPECT_EQ(orxtest::ReadFile(f2 + String("b")), "other B");
    EXPECT_EQ(orxtest::ReadFile(b), "B");
  }
  orxhost::SimulateNoReplaceRenameUnsupported(false);
  // The replacing rename of atomic saves is unchanged.
  Filename dir = orxtest::TempDir();
  ASSERT_TRUE(orxtest::WriteFile(dir + String("new"), "N"));
  ASSERT_TRUE(orxtest::WriteFile(dir + String("old"), "O"));
  EXPECT_TRUE(GeRename(dir + String("new"), dir + String("old")));
  EXPECT_EQ(orxtest::ReadFile(dir + String("old")), "N");
}

TEST(HostFileOps, MakingAFolderTellsNewFromExisting)
{
  Filename dir = orxtest::TempDir();
  Filename f = dir + String("new");
  EXPECT_EQ(GeMakeFolder(f), MAKEFOLDER_CREATED);
  EXPECT_EQ(GeMakeFolder(f), MAKEFOLDER_EXISTED);
  EXPECT_TRUE(GeCreateFolder(f)) << "the old entry still answers true for an existing folder";
  EXPECT_EQ(GeMakeFolder(dir + String("a/b/c")), MAKEFOLDER_FAILED) << "no parents without asking";
  EXPECT_EQ(GeMakeFolder(dir + String("a/b/c"), true), MAKEFOLDER_CREATED);
  EXPECT_EQ(GeMakeFolder(dir + String("a/b"), true), MAKEFOLDER_EXISTED);
  ASSERT_TRUE(orxtest::WriteFile(dir + String("file"), "x"));
  EXPECT_EQ(GeMakeFolder(dir + String("file")), MAKEFOLDER_FAILED) << "a file has the name";
  EXPECT_FALSE(GeCreateFolder(dir + String("file")));
  EXPECT_EQ(GeMakeFolder(Filename()), MAKEFOLDER_FAILED);
}

TEST(HostFileOps, SameFileByDeviceAndInode)
{
  Filename dir = orxtest::TempDir();
  const std::string d = dir.ToUtf8();
  ASSERT_TRUE(GeCreateFolder(dir + String("d")));
  ASSERT_EQ(::symlink((d + "/d").c_str(), (d + "/link").c_str()), 0);
  ASSERT_TRUE(orxtest::WriteFile(dir + String("f"), "x"));
  ASSERT_TRUE(orxtest::WriteFile(dir + String("g"), "x"));
  EXPECT_TRUE(GeIsSameFile(Filename(String(d + "/d")), Filename(String(d + "/d/"))));
  EXPECT_TRUE(GeIsSameFile(Filename(String(d + "/d")), Filename(String(d + "/./d//"))));
  EXPECT_TRUE(GeIsSameFile(Filename(String(d + "/d")), Filename(String(d + "/link"))));
  EXPECT_FALSE(GeIsSameFile(dir + String("f"), dir + String("g"))) << "equal content is not the same file";
  EXPECT_FALSE(GeIsSameFile(dir + String("missing"), dir + String("missing")));
}

TEST(HostFileOps, AnOlderHostTableWithoutTheNewEntries)
{
  // A plug-in may meet a host whose folder table ends before the entries added later.
  const OrxHostTable* real = OrxGetHostTable();
  OrxFolderTable folders = *real->folder;
  folders.size = Int32(offsetof(OrxFolderTable, renameNoReplace));
  folders.renameNoReplace = nullptr;
  folders.makeFolder = nullptr;
  folders.sameFile = nullptr;
  OrxHostTable older = *real;
  older.folder = &folders;
  Filename dir = orxtest::TempDir();
  ASSERT_TRUE(orxtest::WriteFile(dir + String("a"), "A"));
  OrxInstallHostTable(&older);
  Bool renamed = GeRenameNoReplace(dir + String("a"), dir + String("b"));
  Bool same = GeIsSameFile(dir, dir);
  Int32 made = GeMakeFolder(dir + String("n"));
  Int32 again = GeMakeFolder(dir + String("n"));
  OrxInstallHostTable(real);
  EXPECT_FALSE(renamed) << "refused rather than replacing";
  EXPECT_FALSE(same);
  EXPECT_EQ(made, MAKEFOLDER_CREATED);
  EXPECT_EQ(again, MAKEFOLDER_EXISTED);
}

// One sync for a whole file system: it reaches the folder's file system, tells a failure, and an
// older host without it says it cannot, so that callers sync each file instead.
TEST(HostFileOps, FileSystemSyncAnswersWhatHappened)
{
  Filename dir = orxtest::TempDir();
  ASSERT_TRUE(orxtest::WriteFile(dir + String("a"), "A"));
  EXPECT_TRUE(GeCanSyncFileSystem());
  EXPECT_TRUE(GeSyncFileSystem(dir));
  EXPECT_FALSE(GeSyncFileSystem(dir + String("missing")));
  EXPECT_FALSE(GeSyncFileSystem(dir + String("a"))) << "a folder is named, not a file";
  orxhost::FailNth(orxhost::FileOp::Flush, 1);
  EXPECT_FALSE(GeSyncFileSystem(dir)) << "a failed sync is no success";
  orxhost::ClearFaults();

  const OrxHostTable* real = OrxGetHostTable();
  OrxFolderTable folders = *real->folder;
  folders.size = Int32(offsetof(OrxFolderTable, syncFileSystem));
  OrxHostTable older = *real;
  older.folder = &folders;
  OrxInstallHostTable(&older);
  const Bool can = GeCanSyncFileSystem();
  const Bool synced = GeSyncFileSystem(dir);
  OrxInstallHostTable(real);
  EXPECT_FALSE(can);
  EXPECT_FALSE(synced);
}

TEST(HostFileOps, AListingByNamesGivesKindsAndTheStatusOnlyWhenAsked)
{
  Filename dir = orxtest::TempDir();
  const std::string d = dir.ToUtf8();
  ASSERT_TRUE(GeCreateFolder(dir + String("sub")));
  ASSERT_TRUE(orxtest::WriteFile(dir + String("file"), "12345"));
  ASSERT_TRUE(orxtest::WriteFile(dir + String(".hidden"), ""));
  ASSERT_EQ(::symlink((d + "/sub").c_str(), (d + "/to-sub").c_str()), 0);
  ASSERT_EQ(::symlink((d + "/missing").c_str(), (d + "/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((d + "/pipe").c_str(), 0644), 0);
  std::map<std::string, FolderEntry> seen;
  std::map<std::string, FileStatus> status;
  BrowseFiles b;
  ASSERT_TRUE(b.Init(dir, BROWSEFILES_NAMES));
  while (b.GetNext()) {
    const std::string name = b.Entry().name.ToUtf8();
    seen[name] = b.Entry();
    if (name == "file" || name == "to-sub" || name == "sub")
      EXPECT_TRUE(b.Status(&status[name])) << name;
  }
  EXPECT_EQ(b.Error(), 0);
  ASSERT_EQ(seen.size(), 6u);
  for (auto& [name, e] : seen) {
    EXPECT_TRUE(e.attributes & FILEATTR_NAME_ONLY) << name;
    EXPECT_EQ(e.size, 0) << name << ": nothing but the name and the kind is read";
  }
  EXPECT_EQ(seen["sub"].attributes & ~FILEATTR_NAME_ONLY, FILEATTR_FOLDER);
  EXPECT_EQ(seen["file"].attributes & ~FILEATTR_NAME_ONLY, 0u);
  EXPECT_TRUE(seen[".hidden"].IsHidden());
  // A link is the link itself: a walk must not take it for the folder it points to.
  EXPECT_EQ(seen["to-sub"].attributes & ~FILEATTR_NAME_ONLY, FILEATTR_LINK);
  EXPECT_EQ(seen["dangling"].attributes & ~FILEATTR_NAME_ONLY, FILEATTR_LINK);
  EXPECT_EQ(seen["pipe"].attributes & ~FILEATTR_NAME_ONLY, FILEATTR_SPECIAL);

  // Asked for, the status is what the status of the path gives.
  for (const char* name : {"file", "to-sub", "sub"}) {
    FileStatus byPath;
    ASSERT_TRUE(GeGetFileStatus(dir + String(name), &byPath)) << name;
    EXPECT_EQ(status[name].attributes, byPath.attributes) << name;
    EXPECT_EQ(status[name].size, byPath.size) << name;
    EXPECT_EQ(status[name].device, byPath.device) << name;
    EXPECT_EQ(status[name].inode, byPath.inode) << name;
    EXPECT_EQ(status[name].modifiedNs, byPath.modifiedNs) << name;
  }
  EXPECT_EQ(status["file"].size, 5);
  EXPECT_EQ(status["to-sub"].attributes & (FILEATTR_LINK | FILEATTR_FOLDER), FILEATTR_LINK | FILEATTR_FOLDER);
  FileStatus none;
  BrowseFiles fresh;
  ASSERT_TRUE(fresh.Init(dir, BROWSEFILES_NAMES));
  EXPECT_FALSE(fresh.Status(&none)) << "no entry given yet";
}
