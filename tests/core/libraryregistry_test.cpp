#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "contenttest.h"
#include "core/calltable.h"
#include "watchdog.h"

using namespace contenttest;

namespace {

Int32 Slot(const Filename& file)
{
  BrowserDatabase* db = BrowserDatabase::FindLibraryForFile(file);
  return db ? db->GetSlot() : -1;
}

Int32 CountOpen(const Filename& file)
{
  Int32 n = 0;
  for (Int32 i = 0; i < BrowserDatabase::GetTableCapacity(); ++i)
    if (BrowserDatabase* db = BrowserDatabase::GetLibrary(i))
      n += db->GetFilename() == file;
  return n;
}

class Registry : public ContentTest
{
};

TEST_F(Registry, ScanRegistersUserLibrariesAndSkipsDefaultObjectLibrary)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("default.libqz"), "preset://defaultobject.libqz", {{"cube"}}));
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("a.libqz"), "preset://a.libqz", {{"x"}}));
  ASSERT_TRUE(orxtest::WriteFile(UserFolder() + String("notes.txt"), "not a library"));
  Start();
  Filename def = UserFolder() + String("default.libqz");
  EXPECT_EQ(CountOpen(def), 1);

  EXPECT_TRUE(LoadLibraries(false));
  EXPECT_FALSE(LoadLibraries(false)) << "a second unforced scan does nothing";
  EXPECT_TRUE(LibrariesLoaded());
  EXPECT_EQ(CountOpen(def), 1) << "default.libqz is never opened a second time";
  EXPECT_EQ(BrowserDatabase::FindLibraryForFile(def)->GetRegistrationCount(), 0);
  EXPECT_TRUE(RegisterLibrary(def, false, false, false, nullptr));
  EXPECT_EQ(CountOpen(def), 1);

  EXPECT_EQ(ChildNames(GetRootNode(ROOT_PRESET)),
            (std::vector<std::string>{GeLoadString(10224).ToUtf8(), "a.libqz"}));
  NodeRef lib = Find("preset://a.libqz");
  ASSERT_TRUE(lib);
  EXPECT_EQ(ChildNames(lib), std::vector<std::string>{"x"});
  EXPECT_EQ(CountOpen(UserFolder() + String("notes.txt")), 0);
}

TEST_F(Registry, UserLibraryTakesSlotOneOnlyFromTheUserFolder)
{
  ASSERT_TRUE(MakeLibrary(SystemFolder() + String("user.libqz"), "preset://sysuser.libqz", {{"s"}}));
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("user.libqz"), "preset://user.libqz", {{"u"}}));
  Start();
  EXPECT_TRUE(LoadLibraries(true));
  EXPECT_EQ(Slot(UserFolder() + String("user.libqz")), LIBRARY_USER);
  Int32 sys = Slot(SystemFolder() + String("user.libqz"));
  EXPECT_GE(sys, 2);
  BrowserDatabase* sysDb = BrowserDatabase::GetLibrary(sys);
  EXPECT_TRUE(sysDb->IsSystemLibrary());
  EXPECT_TRUE(sysDb->IsReadOnly());
  EXPECT_TRUE(Find("preset://sysuser.libqz/s"));
  EXPECT_TRUE(Find("preset://user.libqz/u"));
}

// The built-in libraries are files of the user folder, not any files with their names.
TEST_F(Registry, BuiltInLibrariesAreTheUserFolderFilesNotTheirNames)
{
  const Filename shared = orxtest::TempDir() + String("shared/");
  ASSERT_TRUE(MakeLibrary(shared + String("default.libqz"), "preset://otherdefault.libqz", {{"d"}}));
  ASSERT_TRUE(MakeLibrary(shared + String("user.libqz"), "preset://shareduser.libqz", {{"s"}}));
  ::setenv("ORX_BROWSERLIBS", shared.ToUtf8().c_str(), 1);
  Start();
  EXPECT_TRUE(LoadLibraries(true));
  // The user has no user library: a shared user.libqz does not take its slot.
  EXPECT_EQ(BrowserDatabase::GetLibrary(LIBRARY_USER), nullptr);
  const Int32 sharedUser = Slot(shared + String("user.libqz"));
  EXPECT_GE(sharedUser, 2);
  EXPECT_TRUE(Find("preset://shareduser.libqz/s"));
  // A default.libqz elsewhere is an ordinary library.
  BrowserURL url;
  EXPECT_TRUE(RegisterLibrary(shared + String("default.libqz"), false, false, false, &url));
  EXPECT_EQ(url.GetString(), String("preset://otherdefault.libqz"));
  EXPECT_TRUE(Find("preset://otherdefault.libqz/d"));

  // Writing to slot 1 makes the user's own library, and refuses URLs outside it without making one.
  const OrxBrowserLibrary* lib = GetBrowserLibrary();
  BrowserURL outside(String("preset://shareduser.libqz/x"));
  const char data[] = "d";
  EXPECT_FALSE(lib->main->SetItem(LIBRARY_USER, reinterpret_cast<OrxBrowserURL*>(&outside), 1018031, nullptr, data, 1));
  EXPECT_FALSE(GeFileExists(UserFolder() + String("user.libqz")));
  EXPECT_EQ(BrowserDatabase::GetLibrary(LIBRARY_USER), nullptr);
  BrowserURL mine(String("preset://user.libqz/x"));
  EXPECT_TRUE(lib->main->SetItem(LIBRARY_USER, reinterpret_cast<OrxBrowserURL*>(&mine), 1018031, nullptr, data, 1));
  ASSERT_NE(BrowserDatabase::GetLibrary(LIBRARY_USER), nullptr);
  EXPECT_EQ(BrowserDatabase::GetLibrary(LIBRARY_USER)->GetFilename(), UserFolder() + String("user.libqz"));
  EXPECT_EQ(Slot(shared + String("user.libqz")), sharedUser);
}

TEST_F(Registry, SecondRegistrationKeepsFirstFlagsAndURL)
{
  Filename file = orxtest::TempDir() + String("twice.libqz");
  ASSERT_TRUE(MakeLibrary(file, "preset://twice.libqz", {{"p"}}));
  Start();
  BrowserURL first, second;
  EXPECT_TRUE(RegisterLibrary(file, REGISTERFLAG_READONLY, &first));
  EXPECT_TRUE(RegisterLibrary(file, REGISTERFLAG_WRITABLE, &second));
  EXPECT_FALSE(RegisterLibrary(file, REGISTERFLAG_READONLY | REGISTERFLAG_WRITABLE, nullptr));
  EXPECT_EQ(CountOpen(file), 1);
  BrowserDatabase* db = BrowserDatabase::FindLibraryForFile(file);
  EXPECT_EQ(db->GetRegistrationCount(), 2);
  EXPECT_TRUE(db->IsReadOnly()) << "the second registration's access flags are ignored";
  EXPECT_EQ(first.GetString(), String("preset://twice.libqz"));
  EXPECT_EQ(second.GetString(), first.GetString());
  // Only one node for the library.
  Int32 roots = 0;
  for (const std::string& n : ChildNames(GetRootNode(ROOT_PRESET)))
    roots += n == "twice.libqz";
  EXPECT_EQ(roots, 1);
}

TEST_F(Registry, RefusesFilesThatAreNotLibraries)
{
  Filename dir = orxtest::TempDir();
  ASSERT_TRUE(orxtest::WriteFile(dir + String("x.txt"), "text"));
  Start();
  EXPECT_FALSE(RegisterLibrary(dir + String("x.txt"), 0u, nullptr));
  EXPECT_FALSE(RegisterLibrary(dir + String("missing.libqz"), 0u, nullptr));
  EXPECT_EQ(CountOpen(dir + String("missing.libqz")), 0);
}

TEST_F(Registry, EmptyStoredURLBecomesPresetPlusDisplayName)
{
  Filename file = orxtest::TempDir() + String("noname.libqz");
  ASSERT_TRUE(MakeLibrary(file, "", {}, "Shown Name"));
  Start();
  BrowserURL url;
  ASSERT_TRUE(RegisterLibrary(file, 0u, &url));
  EXPECT_EQ(url.GetString(), String("preset://Shown Name"));
  NodeRef node = Find("preset://shown name");
  ASSERT_TRUE(node);
  EXPECT_EQ(node->GetName(), String("Shown Name"));
}

TEST_F(Registry, EnvironmentFoldersAreScanned)
{
  Filename a = orxtest::TempDir(), b = orxtest::TempDir();
  ASSERT_TRUE(MakeLibrary(a + String("ea.libqz"), "preset://ea.libqz", {}));
  ASSERT_TRUE(MakeLibrary(b + String("eb.libqz"), "preset://eb.libqz", {}));
  ::setenv("ORX_BROWSERLIBS", (a.ToUtf8() + ";;$ORXTEST_SECOND").c_str(), 1);
  ::setenv("ORXTEST_SECOND", b.ToUtf8().c_str(), 1);
  Start();
  EXPECT_TRUE(LoadLibraries(true));
  ::unsetenv("ORXTEST_SECOND");
  EXPECT_GE(Slot(a + String("ea.libqz")), 2);
  EXPECT_GE(Slot(b + String("eb.libqz")), 2);
  EXPECT_TRUE(Find("preset://eb.libqz"));
}

TEST_F(Registry, ANamedPipeInALibraryFolderDoesNotStopTheScan)
{
  Filename env = orxtest::TempDir();
  const std::string trap = (UserFolder() + String("trap.libqz")).ToUtf8();
  const std::string envTrap = (env + String("a.libqz")).ToUtf8();
  ASSERT_EQ(::mkfifo(trap.c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(envTrap.c_str(), 0644), 0);
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("z.libqz"), "preset://z.libqz", {{"x"}}));
  ::setenv("ORX_BROWSERLIBS", env.ToUtf8().c_str(), 1);
  Start();
  Bool loaded = false;
  EXPECT_TRUE(orxtest::FinishesWithin([&] { loaded = LoadLibraries(true); }, std::chrono::seconds(30), [&] {
    for (const std::string& p : {trap, envTrap}) {
      int fd = ::open(p.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0)
        ::close(fd);
    }
  }));
  ::unsetenv("ORX_BROWSERLIBS");
  EXPECT_TRUE(loaded);
  EXPECT_TRUE(LibrariesLoaded()) << "the scan went on past the pipes";
  EXPECT_TRUE(Find("preset://z.libqz"));
  EXPECT_EQ(CountOpen(UserFolder() + String("trap.libqz")), 0);
}

TEST(LibraryPaths, ExpansionSplitsSubstitutesAndStops)
{
  std::map<std::string, std::string> env{{"ORX_BROWSERLIBS", "/a;$HOMEX/b;;$UNSET/c"}, {"HOMEX", "/h"}};
  auto lookup = [&](const String& name, String* value) {
    auto it = env.find(name.ToUtf8());
    if (it == env.end())
      return false;
    *value = String(it->second.c_str());
    return true;
  };
  Int32 passes = 0;
  std::vector<String> out = ExpandLibraryPaths(lookup, &passes);
  std::vector<std::string> got;
  for (const String& s : out)
    got.push_back(s.ToUtf8());
  EXPECT_EQ(got, (std::vector<std::string>{"/a", "/h/b", "$UNSET/c"}));

  env = {{"ORX_BROWSERLIBS", "$ORX_BROWSERLIBS"}};
  out = ExpandLibraryPaths(lookup, &passes);
  EXPECT_EQ(passes, LIBRARY_PATH_MAX_PASSES);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], String("$ORX_BROWSERLIBS"));

  // Doubling on every pass must not exhaust memory.
  env = {{"ORX_BROWSERLIBS", "$A"}, {"A", "$A$A"}};
  out = ExpandLibraryPaths(lookup, &passes);
  EXPECT_LE(passes, LIBRARY_PATH_MAX_PASSES);
  for (const String& s : out)
    EXPECT_LT(s.GetLength(), 70000);

  env = {{"ORX_BROWSERLIBS", "/x;$ORX_BROWSERLIBS"}};
  out = ExpandLibraryPaths(lookup, &passes);
  ASSERT_EQ(out.size(), 1u) << "the same folder is scanned once";
  EXPECT_EQ(out[0], String("/x"));
}

TEST_F(Registry, UnregisterKeepsRegisteredAndBuiltInLibraries)
{
  Filename file = orxtest::TempDir() + String("reg.libqz");
  ASSERT_TRUE(MakeLibrary(file, "preset://reg.libqz", {{"p"}}));
  Start();
  EXPECT_FALSE(UnregisterLibrary(LIBRARY_MAIN));
  ASSERT_EQ(orxhost::MessageBoxes().size(), 1u);
  EXPECT_EQ(orxhost::MessageBoxes()[0], "Unregistering the main database is not allowed!");
  EXPECT_TRUE(BrowserDatabase::GetLibrary(LIBRARY_MAIN));

  ASSERT_TRUE(RegisterLibrary(file, 0u, nullptr));
  Int32 slot = Slot(file);
  {
    BrowserURL url(String("preset://reg.libqz/p"));
    BrowserDatabaseItem* item = BrowserDatabase::GetLibrary(slot)->OpenItemForChange(url.GetString(), url.GetHash());
    ASSERT_TRUE(item);
    item->SetAnnotation(String("changed"));
    item->Close();
  }
  EXPECT_FALSE(UnregisterLibrary(slot));
  EXPECT_FALSE(BrowserDatabase::GetLibrary(slot)->IsChanged()) << "changes are written";
  EXPECT_TRUE(Find("preset://reg.libqz/p"));

  EXPECT_FALSE(UnregisterLibrary(GetDefaultObjectLibraryIndex())) << "its nodes point at it";
  EXPECT_TRUE(BrowserDatabase::GetLibrary(GetDefaultObjectLibraryIndex()));

  Filename created = orxtest::TempDir() + String("made.libqz");
  Int32 idx = CreateLibrary(BrowserURL(String("preset://made.libqz")), String("Made"), created);
  ASSERT_GE(idx, 2);
  EXPECT_TRUE(UnregisterLibrary(idx));
  EXPECT_FALSE(BrowserDatabase::GetLibrary(idx));
  EXPECT_FALSE(UnregisterLibrary(idx)) << "an empty slot";
}

TEST_F(Registry, CreateLibraryMakesOrOpensTheFile)
{
  Start();
  Filename file = orxtest::TempDir() + String("new.libqz");
  Int32 idx = CreateLibrary(BrowserURL(String("preset://new.libqz")), String("New"), file);
  ASSERT_GE(idx, 2);
  EXPECT_TRUE(GeFileExists(file)) << "a new library is written once";
  BrowserDatabase* db = BrowserDatabase::GetLibrary(idx);
  EXPECT_EQ(db->GetName(), String("preset://new.libqz"));
  EXPECT_EQ(db->GetDisplayName(), String("New"));
  EXPECT_EQ(CreateLibrary(BrowserURL(String("preset://other.libqz")), String("Other"), file), idx)
      << "an open file is reused";

  // An existing file keeps its stored URL and name.
  Filename existing = orxtest::TempDir() + String("old.libqz");
  ASSERT_TRUE(MakeLibrary(existing, "preset://old.libqz", {{"p"}}, "Old"));
  Int32 old = CreateLibrary(BrowserURL(String("preset://renamed.libqz")), String("Renamed"), existing);
  ASSERT_GE(old, 2);
  EXPECT_EQ(BrowserDatabase::GetLibrary(old)->GetName(), String("preset://old.libqz"));
  EXPECT_EQ(BrowserDatabase::GetLibrary(old)->GetDisplayName(), String("Old"));

  // Inside the system browser folder a library cannot be made writable.
  std::filesystem::create_directories(SystemFolder().ToUtf8());
  ResetBrowserUtilsForTests();
  Int32 sys = CreateLibrary(BrowserURL(String("preset://sys.libqz")), String("Sys"), SystemFolder() + String("sys.libqz"));
  ASSERT_GE(sys, 2);
  EXPECT_TRUE(BrowserDatabase::GetLibrary(sys)->IsLocked());

  // A library that cannot be written is not kept.
  Int32 bad = CreateLibrary(BrowserURL(String("preset://bad.libqz")), String("Bad"),
                            Filename("/nonexistent-folder-orx/bad.libqz"));
  EXPECT_EQ(bad, -1);
}

TEST_F(Registry, ItemExistsReportsCaseMismatch)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("c.libqz"), "preset://c.libqz", {{"Folder", true}, {"Folder/Item"}}));
  Start();
  LoadLibraries(true);
  BrowserURL exact(String("preset://c.libqz/Folder/Item"));
  EXPECT_TRUE(LibraryItemExists(exact));
  auto caseLines = [] {
    std::vector<std::string> lines = orxhost::ConsoleLines();
    return std::count(lines.begin(), lines.end(), "CB: Case sensitivity issue!");
  };
  EXPECT_EQ(caseLines(), 0);
  BrowserURL other(String("preset://c.libqz/folder/item"));
  EXPECT_TRUE(LibraryItemExists(other));
  EXPECT_EQ(caseLines(), 1);
  BrowserURL missing(String("preset://c.libqz/Folder/None"));
  EXPECT_FALSE(LibraryItemExists(missing));
}

TEST_F(Registry, LibraryIndexScansOnTheCallingThreadFirst)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("late.libqz"), "preset://late.libqz", {{"p"}}));
  Start();
  EXPECT_FALSE(LibraryScanDone());
  BrowserURL url(String("preset://late.libqz/p"));
  Int32 idx = GetLibraryIndex(url);
  EXPECT_TRUE(LibraryScanDone());
  EXPECT_EQ(idx, Slot(UserFolder() + String("late.libqz")));
  EXPECT_GE(idx, 2);

  BrowserURL user(String("preset://user.libqz/folder"));
  EXPECT_EQ(GetLibraryIndex(user), LIBRARY_USER) << "the user library's slot even before it exists";
  BrowserURL none(String("preset://none.libqz/x"));
  EXPECT_EQ(GetLibraryIndex(none), -1);
  BrowserURL file(String("file:///tmp/x"));
  EXPECT_EQ(GetLibraryIndex(file), LIBRARY_MAIN);
}

TEST_F(Registry, CatalogsOpenOnTheFirstCatalogRequest)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("links.catqz"), "", {}, "Links"));
  Start();
  EXPECT_EQ(CountOpen(UserFolder() + String("links.catqz")), 0);
  BrowserURL url(String("catalog://Links/x"));
  Int32 idx = GetLibraryIndex(url);
  EXPECT_EQ(CountOpen(UserFolder() + String("links.catqz")), 1);
  BrowserDatabase* db = BrowserDatabase::FindLibraryForFile(UserFolder() + String("links.catqz"));
  ASSERT_TRUE(db);
  EXPECT_EQ(db->GetName(), String("catalog://Links"));
  EXPECT_EQ(idx, db->GetSlot());
  EXPECT_FALSE(db->IsReadOnly());
}

} // namespace
