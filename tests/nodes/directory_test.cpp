// Directory nodes on real folders: listing, relisting, exact names, links, special files, and a
// comparison with what the standard library sees in a system folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "contenttest.h"
#include "core/calltable.h"
#include "handlertest.h"
#include "nodes/directorynode.h"
#include "watchdog.h"

using namespace contenttest;
namespace fs = std::filesystem;

namespace {

std::string P(const Filename& f) { return f.ToUtf8(); }

// Sets a folder's modification time (seconds since 1970 and nanoseconds).
void SetMTime(const Filename& f, time_t sec, long nsec)
{
  struct timespec t[2] = {{0, UTIME_OMIT}, {sec, nsec}};
  ASSERT_EQ(::utimensat(AT_FDCWD, P(f).c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
}

constexpr time_t kLongAgo = 1577836800; // 2020-01-01, far from any racy listing

std::map<std::string, NodeRef> Children(const NodeRef& n)
{
  std::map<std::string, NodeRef> out;
  for (NodeRef c = n->GetDownNode(); c; c = c->GetNextNode())
    out[c->GetName().ToUtf8()] = c;
  return out;
}

DirectoryNode* Dir(const NodeRef& n) { return dynamic_cast<DirectoryNode*>(n.Get()); }

class Directory : public ContentTest
{
protected:
  void SetUp() override
  {
    root_ = orxtest::TempDir(); // before the fixture counts the host's blocks
    ContentTest::SetUp();
  }
  void TearDown() override
  {
    orxhost::ClearFaults();
    // Nodes made outside the tree hold their children and are held by them.
    for (NodeRef& n : made_)
      n->Remove();
    made_.clear();
    std::error_code ec;
    fs::remove_all(P(VolumesDir()), ec);
    ContentTest::TearDown();
  }
  static Filename VolumesDir() { return orxtest::HomeDir() + String("volumes"); }
  NodeRef Folder(const Filename& f)
  {
    Ref<DirectoryNode> d = DirectoryNode::MakeForPath(f);
    made_.push_back(NodeRef(d.Get()));
    return NodeRef(d.Get());
  }
  Filename root_;
  std::vector<NodeRef> made_;
};

TEST_F(Directory, ListsKindsSizesAndTimesAndLeavesHiddenNamesOut)
{
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("a.txt"), "hello"));
  ASSERT_TRUE(orxtest::WriteFile(root_ + String(".hidden"), "x"));
  fs::create_directory(P(root_ + String("sub")));
  ASSERT_EQ(::chmod(P(root_ + String("a.txt")).c_str(), 0444), 0);
  NodeRef dir = Folder(root_);
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->GetNodeType(), NODETYPE_DIRECTORY);
  EXPECT_EQ(dir->GetInfo(nullptr) & 0xFFFFF, DIRSTATUS_NEW_FOLDER) << "a new folder is to be listed";
  auto kids = Children(dir);
  ASSERT_EQ(kids.size(), 2u) << "dot names are hidden";
  Int64 size = -1;
  NodeRef a = kids["a.txt"];
  EXPECT_EQ(a->GetInfo(&size), NODESTATUS_READONLY) << "a file the user cannot write";
  EXPECT_EQ(size, 5);
  NodeRef sub = kids["sub"];
  EXPECT_EQ(sub->GetInfo(&size), DIRSTATUS_NEW_FOLDER);
  EXPECT_EQ(size, 0) << "folders report no size";
  EXPECT_EQ(URLOf(a.Get()), "file://localhost" + P(root_ + String("a.txt")));
  DateTime t;
  EXPECT_TRUE(a->GetFileTime(FILETIME_MODIFIED, &t));
  EXPECT_GE(t.year, 2020);
  EXPECT_TRUE(a->GetFileTime(FILETIME_CREATED, &t));
  EXPECT_FALSE(a->GetFileTime(7, &t));
  EXPECT_EQ(Dir(sub)->GetIconId(0), ICON_DIR);
  EXPECT_EQ(Dir(sub)->GetIconId(ICONREQUEST_OPEN), ICON_DIR_OPEN);
  EXPECT_EQ(Dir(a)->GetIconId(0), ICON_FILE);
  String type;
  a->GetTypeName(&type, 0);
  EXPECT_EQ(type, GeLoadString(IDS_DIRECTORY_NO_TYPE)) << "no handler knows .txt here";
}

// Listing a folder with a pipe, a link to "." and a dangling link neither blocks nor recurses;
// walks never enter a link.
TEST_F(Directory, LinksAreListedButNeverWalkedAndPipesNeverBlock)
{
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("f"), "12345678"));
  ASSERT_EQ(::mkfifo(P(root_ + String("pipe")).c_str(), 0644), 0);
  fs::create_directory_symlink(".", P(root_ + String("self")));
  fs::create_directory_symlink(".", P(root_ + String("again")));
  fs::create_symlink("f", P(root_ + String("tofile")));
  fs::create_symlink("nowhere", P(root_ + String("dangling")));
  NodeRef dir = Folder(root_);
  std::map<std::string, NodeRef> kids;
  ASSERT_TRUE(orxtest::FinishesWithin([&] {
    kids = Children(dir);
    for (auto& [name, n] : kids) {
      String t;
      n->GetTypeName(&t, 0);
      n->GetPluginInterface(0); // a full match reads content: never from the pipe
    }
  }));
  ASSERT_EQ(kids.size(), 6u);
  EXPECT_TRUE(Dir(kids["self"])->IsLink());
  EXPECT_EQ(Dir(kids["self"])->GetEntryKind(), EntryKind::LinkToFolder);
  EXPECT_TRUE(kids["self"]->GetInfo(nullptr) & NODESTATUS_FOLDER) << "shown as what it points to";
  Int64 size = 0;
  kids["tofile"]->GetInfo(&size);
  EXPECT_EQ(size, 8) << "a link to a file shows the file's size";
  EXPECT_EQ(Dir(kids["pipe"])->GetEntryKind(), EntryKind::Special);
  EXPECT_EQ(Dir(kids["dangling"])->GetEntryKind(), EntryKind::Link);

  // The walk visits the folder and its six entries once: the links to "." are not entered.
  struct Count
  {
    int items = 0;
  } count;
  auto cb = [](void* data, Int32, Int32 n, Int64, Int32) -> Int32 {
    static_cast<Count*>(data)->items += n;
    return static_cast<Count*>(data)->items > 1000 ? -1 : 0;
  };
  EXPECT_EQ(Dir(dir)->Walk(EDITPHASE_PREPARE, cb, &count), EDIT_OK);
  EXPECT_EQ(count.items, 7);
  // Browsing into a link by hand still shows what it points to.
  EXPECT_EQ(Children(kids["self"]).size(), 6u);
}

// A file URL leads only to the entry of that exact name; "README" never finds "Readme".
TEST_F(Directory, FileURLsResolveOnlyToTheExactName)
{
  const Filename vol = VolumesDir() + String("data");
  ASSERT_TRUE(orxtest::WriteFile(vol + String("Readme"), "lower"));
  ASSERT_TRUE(orxtest::WriteFile(vol + String("docs") + String("x"), "x"));
  Start();
  const std::string base = "file://localhost" + P(vol);
  EXPECT_FALSE(Find(base + "/README")) << "no entry has that exact name";
  EXPECT_FALSE(Find(base + "/DOCS/x"));
  NodeRef readme = Find(base + "/Readme");
  ASSERT_TRUE(readme);
  EXPECT_EQ(readme->GetName(), String("Readme"));
  // Both spellings present: each finds its own, also once the row is wide enough to be indexed.
  ASSERT_TRUE(orxtest::WriteFile(vol + String("README"), "upper!"));
  for (int i = 0; i < 40; ++i)
    ASSERT_TRUE(orxtest::WriteFile(vol + String(("f" + std::to_string(i)).c_str()), "y"));
  SetMTime(vol, kLongAgo, 0); // any change of time makes the folder listed again
  for (int round = 0; round < 3; ++round) {
    NodeRef upper = Find(base + "/README");
    NodeRef lower = Find(base + "/Readme");
    ASSERT_TRUE(upper);
    ASSERT_TRUE(lower);
    EXPECT_EQ(upper->GetName(), String("README"));
    EXPECT_EQ(lower->GetName(), String("Readme"));
    EXPECT_NE(upper, lower);
  }
  // Scheme and host keep ignoring case, as every URL does.
  NodeRef x = Find("FILE://LOCALHOST" + P(vol) + "/docs/x");
  ASSERT_TRUE(x);
  EXPECT_EQ(x->GetName(), String("x"));
}

// "file:///path", the form other programs write, finds the very nodes of the module's own form.
TEST_F(Directory, EmptyHostFileURLsFindTheSameNodes)
{
  const Filename vol = VolumesDir() + String("data");
  ASSERT_TRUE(orxtest::WriteFile(vol + String("sub") + String("Readme"), "r"));
  Start();
  const std::string path = P(vol);
  for (const char* rest : {"", "/sub", "/sub/Readme"}) {
    NodeRef local = Find("file://localhost" + path + rest);
    ASSERT_TRUE(local) << rest;
    EXPECT_EQ(Find("file://" + path + rest), local) << rest;
    EXPECT_EQ(Find("FILE://" + path + rest), local) << rest;
  }
  EXPECT_FALSE(Find("file://" + path + "/sub/README")) << "names stay exact";
  EXPECT_FALSE(Find("file://elsewhere" + path + "/sub/Readme"));
}

TEST_F(Directory, UnchangedFolderIsNotListedAgainAndChangedOneKeepsItsNodes)
{
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("keep"), "k"));
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("goes"), "g"));
  SetMTime(root_, kLongAgo, 0);
  NodeRef dir = Folder(root_);
  auto first = Children(dir);
  const Int64 counter = Dir(dir)->GetSizeField();
  EXPECT_FALSE(dir->GetInfo(nullptr) & NODESTATUS_RELIST);
  auto again = Children(dir);
  EXPECT_EQ(Dir(dir)->GetSizeField(), counter) << "an unchanged folder is not listed again";
  EXPECT_EQ(again, first);
  const Int64 afterCtime = counter;

  // A real change: the remaining entries keep their node objects; the removed one is marked.
  ASSERT_EQ(::unlink(P(root_ + String("goes")).c_str()), 0);
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("new"), "n"));
  NodeRef goes = first["goes"];
  auto now = Children(dir);
  EXPECT_EQ(now["keep"], first["keep"]) << "same object";
  EXPECT_EQ(now.count("goes"), 0u);
  EXPECT_TRUE(goes->GetInfo(nullptr) & NODESTATUS_DELETED);
  EXPECT_FALSE(goes->GetUp()) << "it left the tree";
  EXPECT_EQ(now.count("new"), 1u);
  EXPECT_GT(Dir(dir)->GetSizeField(), afterCtime);
}

// A change in the same second as the listing, with the folder's time inside that second, is seen.
TEST_F(Directory, ChangesWithinOneSecondAreSeen)
{
  SetMTime(root_, kLongAgo, 100000000);
  NodeRef dir = Folder(root_);
  EXPECT_TRUE(Children(dir).empty());
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("late"), "l"));
  // Later in the same second: year to second, the folder's time did not change.
  SetMTime(root_, kLongAgo, 900000000);
  EXPECT_EQ(Children(dir).count("late"), 1u);
}

// A listing that fails part-way keeps every child and leaves the folder to be listed again.
TEST_F(Directory, FailedListingNeverSweeps)
{
  for (const char* n : {"a", "b", "c", "d"})
    ASSERT_TRUE(orxtest::WriteFile(root_ + String(n), n));
  NodeRef dir = Folder(root_);
  auto first = Children(dir);
  ASSERT_EQ(first.size(), 4u);
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("e"), "e"));
  orxhost::FailNth(orxhost::FileOp::List, 2);
  auto cut = Children(dir);
  orxhost::ClearFaults();
  EXPECT_EQ(cut.size(), first.size() + (cut.count("e") ? 1 : 0)) << "nothing was swept";
  for (auto& [name, n] : first)
    EXPECT_FALSE(n->GetInfo(nullptr) & (NODESTATUS_DELETED | NODESTATUS_NOT_SEEN)) << name;
  EXPECT_TRUE(dir->GetInfo(nullptr) & NODESTATUS_RELIST) << "to be listed again";
  // The next listing completes.
  SetMTime(root_, kLongAgo, 0);
  auto full = Children(dir);
  EXPECT_EQ(full.size(), 5u);
  EXPECT_EQ(full["a"], first["a"]);
}

// A file whose size or time changed looks its handler up again, also when it had one.
TEST_F(Directory, ChangedFileLooksItsHandlerUpAgain)
{
  Start();
  handlertest::TestHandler handler(4242001, "", "MAGIC");
  ASSERT_TRUE(RegisterPlugin(&handler, 1));
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("file.bin"), "MAGIC and more"));
  NodeRef dir = Folder(root_);
  NodeRef file = Children(dir)["file.bin"];
  ASSERT_TRUE(file);
  EXPECT_EQ(file->GetPluginInterface(0), &handler);
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("file.bin"), "plain text now"));
  SetMTime(root_, kLongAgo, 0); // the folder's listing is what notices the file
  EXPECT_EQ(Children(dir)["file.bin"], file) << "same node";
  EXPECT_EQ(file->GetPluginInterface(0), nullptr) << "the old content's handler was forgotten";
  EXPECT_TRUE(file->GetInfo(nullptr) & NODESTATUS_NOHANDLER);
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("file.bin"), "MAGIC again, longer"));
  SetMTime(root_, kLongAgo + 1, 0);
  Children(dir);
  EXPECT_FALSE(file->GetInfo(nullptr) & (NODESTATUS_NOHANDLER | NODESTATUS_QUICK_MATCH));
  EXPECT_EQ(file->GetPluginInterface(0), &handler);
  file = nullptr;
  dir = nullptr;
  EXPECT_TRUE(UnregisterPlugin(&handler));
}

// What the node tree lists of a system folder is what the standard library finds there.
TEST_F(Directory, ListingMatchesTheStandardLibraryOnASystemFolder)
{
  const char* candidates[] = {"/usr/share/doc/libc6", "/usr/share/doc/bash", "/usr/share/doc", "/etc"};
  std::string chosen;
  for (const char* c : candidates)
    if (fs::is_directory(c)) {
      chosen = c;
      break;
    }
  ASSERT_FALSE(chosen.empty());
  std::map<std::string, std::pair<char, std::uintmax_t>> expected;
  std::vector<std::string> folders{chosen};
  std::size_t visited = 0;
  while (visited < folders.size() && expected.size() < 3000) {
    const std::string f = folders[visited++];
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(f, ec)) {
      const std::string name = e.path().filename().string();
      if (name[0] == '.')
        continue;
      std::error_code ec2;
      const bool link = e.is_symlink(ec2);
      const bool dir = e.is_directory(ec2);
      const char kind = dir ? (link ? 'L' : 'd') : (link ? 'l' : (e.is_regular_file(ec2) ? 'f' : 's'));
      std::uintmax_t size = 0;
      if (!dir && (link ? fs::exists(e.path(), ec2) : true) && (e.is_regular_file(ec2)))
        size = e.file_size(ec2);
      expected[e.path().string()] = {kind, size};
      if (dir && !link)
        folders.push_back(e.path().string());
    }
  }
  std::map<std::string, std::pair<char, std::uintmax_t>> got;
  std::vector<NodeRef> todo{Folder(Filename(String(chosen.c_str())))};
  for (std::size_t i = 0; i < todo.size() && got.size() < 3000; ++i) {
    for (NodeRef c = todo[i]->GetDownNode(); c; c = c->GetNextNode()) {
      DirectoryNode* d = Dir(c);
      ASSERT_TRUE(d);
      char kind = 's';
      switch (d->GetEntryKind()) {
        case EntryKind::Folder: kind = 'd'; break;
        case EntryKind::LinkToFolder: kind = 'L'; break;
        case EntryKind::Link: kind = 'l'; break;
        case EntryKind::File: kind = 'f'; break;
        case EntryKind::Special: kind = 's'; break;
      }
      Int64 size = 0;
      c->GetInfo(&size);
      if (kind == 'l' || kind == 's')
        size = fs::is_regular_file(P(d->GetPath())) ? size : 0;
      got[P(d->GetPath())] = {kind, std::uintmax_t(size)};
      if (kind == 'd')
        todo.push_back(c);
    }
  }
  ASSERT_FALSE(expected.empty()) << chosen;
  if (expected.size() >= 3000 || got.size() >= 3000)
    return;
  EXPECT_EQ(got, expected) << "in " << chosen;

  // And what find reports: its kind letter, its size for files, hidden names left out.
  std::map<std::string, std::pair<char, std::uintmax_t>> found;
  const std::string cmd = "find '" + chosen + "' -mindepth 1 -printf '%y %s %p\\n' 2>/dev/null";
  if (std::FILE* f = ::popen(cmd.c_str(), "r")) {
    char line[8192];
    while (std::fgets(line, sizeof line, f)) {
      std::string l(line);
      if (!l.empty() && l.back() == '\n')
        l.pop_back();
      const std::size_t a = l.find(' '), b = l.find(' ', a + 1);
      const std::string path = l.substr(b + 1);
      if (path.find("/.", chosen.size()) != std::string::npos)
        continue;
      const char kind = l[0] == 'd' || l[0] == 'f' || l[0] == 'l' ? l[0] : 's';
      found[path] = {kind, kind == 'f' ? std::stoull(l.substr(a + 1, b - a - 1)) : 0};
    }
    ::pclose(f);
  }
  std::map<std::string, std::pair<char, std::uintmax_t>> ours;
  for (const auto& [path, v] : got) {
    const char kind = v.first == 'L' ? 'l' : v.first;
    ours[path] = {kind, kind == 'f' ? v.second : 0};
  }
  EXPECT_FALSE(found.empty());
  EXPECT_EQ(ours, found) << "against find in " << chosen;
}

} // namespace

namespace {

NodeRef Child(const NodeRef& dir, const std::string& name)
{
  auto kids = Children(dir);
  auto it = kids.find(name);
  return it == kids.end() ? NodeRef() : it->second;
}

int CountNamed(const NodeRef& dir, const std::string& name)
{
  int n = 0;
  for (NodeRef c = dir->GetDownNode(); c; c = c->GetNextNode())
    n += c->GetName().ToUtf8() == name;
  return n;
}

// Rename never replaces an existing entry and refuses names that are no single entry's name.
TEST_F(Directory, RenameNeverReplacesAndRefusesBadNames)
{
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("a"), "first"));
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("b"), "second"));
  NodeRef dir = Folder(root_);
  NodeRef a = Child(dir, "a");
  ASSERT_TRUE(a);
  for (Int32 phase : {EDITPHASE_ASK, EDITPHASE_DO})
    EXPECT_EQ(a->Rename(phase, String("b")), EDIT_RENAME_REFUSED) << phase;
  const String nul(std::u16string_view(u"x\0y", 3));
  for (const String& bad : {String(""), String("."), String(".."), String("x/y"), nul})
    for (Int32 phase : {EDITPHASE_ASK, EDITPHASE_DO})
      EXPECT_EQ(a->Rename(phase, bad), EDIT_RENAME_REFUSED) << bad.ToUtf8() << " " << phase;
  // Taken between the question and the deed.
  EXPECT_EQ(a->Rename(EDITPHASE_ASK, String("c")), EDIT_OK);
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("c"), "third"));
  EXPECT_EQ(a->Rename(EDITPHASE_DO, String("c")), EDIT_RENAME_REFUSED);
  EXPECT_EQ(orxtest::ReadFile(root_ + String("a")), "first");
  EXPECT_EQ(orxtest::ReadFile(root_ + String("b")), "second");
  EXPECT_EQ(orxtest::ReadFile(root_ + String("c")), "third");
  EXPECT_FALSE(fs::exists(P(root_) + "/x"));
  EXPECT_EQ(a->GetName(), String("a"));
}

// Renaming a folder rebases every node below it; the old URLs lead nowhere, the new ones to the
// same nodes.
TEST_F(Directory, RenamingAFolderRebasesItsSubtree)
{
  const Filename vol = VolumesDir() + String("data");
  ASSERT_TRUE(orxtest::WriteFile(vol + String("old") + String("inner") + String("f"), "f"));
  Start();
  const std::string base = "file://localhost" + P(vol);
  NodeRef f = Find(base + "/old/inner/f");
  NodeRef old = Find(base + "/old");
  ASSERT_TRUE(f);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->Rename(EDITPHASE_DO, String("New")), EDIT_OK);
  EXPECT_TRUE(fs::exists(P(vol) + "/New/inner/f"));
  EXPECT_EQ(URLOf(f.Get()), base + "/New/inner/f");
  EXPECT_EQ(old->GetName(), String("New"));
  EXPECT_FALSE(Find(base + "/old/inner/f"));
  EXPECT_EQ(Find(base + "/New/inner/f"), f) << "the same node under its new URL";
  // Letter case alone is a new name on this system.
  NodeRef inner = Find(base + "/New/inner");
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->Rename(EDITPHASE_DO, String("Inner")), EDIT_OK);
  EXPECT_EQ(Find(base + "/New/Inner/f"), f);
  EXPECT_FALSE(Find(base + "/New/inner/f"));
}

// A folder that exists already is refused and gets no second node.
TEST_F(Directory, NewFolderOnAnExistingNameMakesNoSecondNode)
{
  fs::create_directory(P(root_ + String("sub")));
  NodeRef dir = Folder(root_);
  ASSERT_EQ(CountNamed(dir, "sub"), 1);
  for (Int32 phase : {EDITPHASE_ASK, EDITPHASE_DO})
    EXPECT_EQ(dir->NewFolder(phase, String("sub"), nullptr), EDIT_NEWFOLDER_REFUSED);
  EXPECT_EQ(CountNamed(dir, "sub"), 1);
  // Made by someone else between the question and the deed.
  NodeRef out;
  EXPECT_EQ(dir->NewFolder(EDITPHASE_ASK, String("late"), &out), EDIT_OK);
  fs::create_directory(P(root_ + String("late")));
  EXPECT_EQ(dir->NewFolder(EDITPHASE_DO, String("late"), &out), EDIT_NEWFOLDER_REFUSED);
  EXPECT_FALSE(out);
  EXPECT_EQ(CountNamed(dir, "late"), 1);
  for (const String& bad : {String(""), String(".."), String("a/b")})
    EXPECT_EQ(dir->NewFolder(EDITPHASE_DO, bad, nullptr), EDIT_NEWFOLDER_REFUSED);
  // A new one: handed out, on disk, and kept (same object) by the next listing.
  ASSERT_EQ(dir->NewFolder(EDITPHASE_DO, String("made"), &out), EDIT_OK);
  ASSERT_TRUE(out);
  EXPECT_TRUE(fs::is_directory(P(root_) + "/made"));
  EXPECT_EQ(out->GetInfo(nullptr) & NODESTATUS_FOLDER, NODESTATUS_FOLDER);
  EXPECT_EQ(Child(dir, "made"), out);
  EXPECT_EQ(CountNamed(dir, "made"), 1);
}

// Deleting a link deletes the link; deleting a folder never follows a link out of it; a volume is
// refused in every phase and so is an entry whose folder the user may not change.
TEST_F(Directory, DeleteRemovesLinksAsLinksAndNeverEmptiesAVolume)
{
  const Filename outside = orxtest::TempDir();
  ASSERT_TRUE(orxtest::WriteFile(outside + String("precious"), "keep me"));
  fs::create_directory(P(root_ + String("tree")));
  fs::create_directory_symlink(P(outside), P(root_) + "/tree/out");
  fs::create_directory_symlink(P(outside), P(root_) + "/ln");
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("tree") + String("f"), "f"));
  NodeRef dir = Folder(root_);
  NodeRef ln = Child(dir, "ln");
  ASSERT_TRUE(ln);
  Int32 items = 0;
  auto count = [](void* d, Int32, Int32 n, Int64, Int32) -> Int32 {
    *static_cast<Int32*>(d) += n;
    return 0;
  };
  EXPECT_EQ(ln->Delete(EDITPHASE_PREPARE, count, &items), EDIT_OK);
  EXPECT_EQ(items, 1) << "the walk does not enter the link";
  EXPECT_EQ(ln->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  EXPECT_FALSE(fs::exists(fs::symlink_status(P(root_) + "/ln")));
  EXPECT_TRUE(ln->GetInfo(nullptr) & NODESTATUS_DELETED);
  NodeRef tree = Child(dir, "tree");
  EXPECT_EQ(tree->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  EXPECT_FALSE(fs::exists(P(root_) + "/tree"));
  EXPECT_EQ(orxtest::ReadFile(outside + String("precious")), "keep me");
  EXPECT_EQ(Children(dir).size(), 0u);

  // A volume node: refused when asked and when told.
  ASSERT_TRUE(orxtest::WriteFile(VolumesDir() + String("vol") + String("data"), "d"));
  Start();
  NodeRef vol = Find("file://localhost" + P(VolumesDir() + String("vol")));
  ASSERT_TRUE(vol);
  ASSERT_TRUE(vol->GetInfo(nullptr) & NODESTATUS_VOLUME);
  for (Int32 phase : {EDITPHASE_ASK, EDITPHASE_DO}) {
    EXPECT_EQ(vol->Delete(phase, nullptr, nullptr), EDIT_DELETE_REFUSED);
    EXPECT_EQ(vol->Rename(phase, String("other")), EDIT_RENAME_REFUSED);
  }
  EXPECT_EQ(orxtest::ReadFile(VolumesDir() + String("vol") + String("data")), "d");

  // An entry of a folder that nobody may write: refused in phase 2 as well.
  const Filename locked = orxtest::TempDir();
  ASSERT_TRUE(orxtest::WriteFile(locked + String("f"), "f"));
  NodeRef lockedDir = Folder(locked);
  ASSERT_EQ(::chmod(P(locked).c_str(), 0555), 0);
  SetMTime(locked, kLongAgo, 0);
  NodeRef f = Child(lockedDir, "f");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_DELETE_REFUSED);
  EXPECT_EQ(f->Rename(EDITPHASE_DO, String("g")), EDIT_RENAME_REFUSED);
  ::chmod(P(locked).c_str(), 0755);
  EXPECT_TRUE(fs::exists(P(locked) + "/f"));
}

// A move stays on one device: refused between two file systems, never done as copy and delete;
// a failed rename on disk answers 0x80000200 and leaves the node where it was.
TEST_F(Directory, MovesStayOnOneDevice)
{
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("from") + String("f"), "f"));
  fs::create_directory(P(root_ + String("to")));
  NodeRef dir = Folder(root_);
  NodeRef from = Child(dir, "from");
  NodeRef to = Child(dir, "to");
  NodeRef f = Child(from, "f");
  ASSERT_TRUE(f);
  EXPECT_EQ(to->MoveHere(f, EDITPHASE_ASK, nullptr, nullptr), EDIT_OK);
  orxhost::FailNth(orxhost::FileOp::Rename, 1);
  EXPECT_EQ(to->MoveHere(f, EDITPHASE_DO, nullptr, nullptr), EDIT_MOVE_FAILED);
  EXPECT_EQ(f->GetUpNode(), from) << "left where it was";
  EXPECT_EQ(to->MoveHere(f, EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(f->GetUpNode(), to);
  EXPECT_EQ(URLOf(f.Get()), "file://localhost" + P(root_) + "/to/f");
  EXPECT_TRUE(fs::exists(P(root_) + "/to/f"));
  EXPECT_EQ(to->MoveHere(f, EDITPHASE_ASK, nullptr, nullptr), EDIT_MOVE_REFUSED) << "already there";
  EXPECT_EQ(from->MoveHere(dir, EDITPHASE_ASK, nullptr, nullptr), EDIT_MOVE_REFUSED) << "into itself";
  EXPECT_EQ(to->MoveHere(GetRootNode(ROOT_FILE), EDITPHASE_ASK, nullptr, nullptr), EDIT_WRONG_KIND);

  // Another file system: /dev/shm where it is one.
  struct stat a, b;
  if (::stat("/dev/shm", &b) != 0 || ::stat(P(root_).c_str(), &a) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "no second file system to move to";
  char tmpl[] = "/dev/shm/orxtest-XXXXXX";
  ASSERT_TRUE(::mkdtemp(tmpl));
  NodeRef other = Folder(Filename(String(tmpl)));
  for (Int32 phase : {EDITPHASE_ASK, EDITPHASE_DO})
    EXPECT_EQ(other->MoveHere(f, phase, nullptr, nullptr), EDIT_MOVE_REFUSED) << phase;
  EXPECT_TRUE(fs::exists(P(root_) + "/to/f"));
  EXPECT_FALSE(fs::exists(std::string(tmpl) + "/f"));
  fs::remove_all(tmpl);
}

} // namespace

namespace {

std::set<std::string> Names(const Filename& dir)
{
  std::set<std::string> out;
  for (const fs::directory_entry& e : fs::directory_iterator(dir.ToUtf8()))
    out.insert(e.path().filename().string());
  return out;
}

// A copy never overwrites, never copies a folder into itself (however the path is spelled), and
// leaves nothing behind when it fails or is cancelled.
TEST_F(Directory, CopyingNeverDestroys)
{
  Start();
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("src") + String("f"), "data"));
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("src") + String(".dot"), "dot"));
  fs::create_directory(P(root_) + "/src/sub");
  fs::create_directory_symlink("..", P(root_) + "/src/sub/up"); // a loop a copy must not follow
  fs::create_directory_symlink("src", P(root_) + "/alias");
  fs::create_directory(P(root_) + "/dst");
  NodeRef dir = Folder(root_);
  NodeRef src = Child(dir, "src");
  NodeRef dst = Child(dir, "dst");
  NodeRef f = Child(src, "f");
  ASSERT_TRUE(f);

  // Onto itself, onto a taken name, into itself or a folder below it (also through a link).
  for (Int32 phase : {EDITPHASE_ASK, EDITPHASE_DO}) {
    EXPECT_EQ(src->CopyHere(f, phase, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED) << "onto itself";
    EXPECT_EQ(src->CopyHere(src, phase, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED) << "into itself";
    EXPECT_EQ(Child(src, "sub")->CopyHere(src, phase, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
    NodeRef viaLink = Folder(root_ + String("alias") + String("sub"));
    EXPECT_EQ(viaLink->CopyHere(src, phase, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED) << "below itself by a link";
  }
  EXPECT_EQ(orxtest::ReadFile(root_ + String("src") + String("f")), "data");

  // A folder tree: copied whole (dot names too), links as links, the copy shown as one new node.
  Int32 items = 0;
  auto count = [](void* d, Int32, Int32 n, Int64, Int32) -> Int32 {
    *static_cast<Int32*>(d) += n;
    return 0;
  };
  ASSERT_EQ(dst->CopyHere(src, EDITPHASE_DO, nullptr, count, &items), EDIT_OK);
  EXPECT_EQ(orxtest::ReadFile(root_ + String("dst") + String("src") + String("f")), "data");
  EXPECT_EQ(orxtest::ReadFile(root_ + String("dst") + String("src") + String(".dot")), "dot");
  EXPECT_TRUE(fs::is_symlink(P(root_) + "/dst/src/sub/up"));
  EXPECT_EQ(items, 5) << "src, f, .dot, sub, up";
  EXPECT_EQ(Names(root_ + String("dst")), std::set<std::string>{"src"}) << "no temporary left";
  EXPECT_EQ(CountNamed(dst, "src"), 1);
  EXPECT_EQ(dst->CopyHere(src, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED) << "taken now";

  // Cancelled between two blocks of a large file, and failing on a write: nothing is left.
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("big"), std::string(3 << 20, 'b')));
  SetMTime(root_, kLongAgo, 0);
  NodeRef big = Child(dir, "big");
  ASSERT_TRUE(big);
  Int64 bytes = 0;
  auto cancelAfterOneBlock = [](void* d, Int32, Int32, Int64 size, Int32) -> Int32 {
    *static_cast<Int64*>(d) += size;
    return -1;
  };
  EXPECT_EQ(dst->CopyHere(big, EDITPHASE_DO, nullptr, cancelAfterOneBlock, &bytes), EDIT_CANCELLED);
  EXPECT_GT(bytes, 0);
  EXPECT_LT(bytes, Int64(3 << 20)) << "cancelled between blocks, not at the end";
  orxhost::FailNth(orxhost::FileOp::Write, 2);
  EXPECT_EQ(dst->CopyHere(big, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_COPY_FAILED);
  orxhost::ClearFaults();
  EXPECT_EQ(Names(root_ + String("dst")), std::set<std::string>{"src"});
  EXPECT_EQ(dst->CopyHere(big, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(fs::file_size(P(root_) + "/dst/big"), std::uintmax_t(3 << 20));

  // A pipe has nothing to copy.
  ASSERT_EQ(::mkfifo(P(root_ + String("pipe")).c_str(), 0644), 0);
  SetMTime(root_, kLongAgo + 1, 0);
  NodeRef pipe = Child(dir, "pipe");
  ASSERT_TRUE(pipe);
  EXPECT_EQ(dst->CopyHere(pipe, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
  EXPECT_EQ(dst->CopyHere(GetRootNode(ROOT_FILE), EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_WRONG_KIND);
}

} // namespace

namespace {

// The volume list is kept current by the same mark and sweep as a folder.
TEST_F(Directory, VolumeListFollowsTheVolumes)
{
  fs::create_directories(P(VolumesDir()) + "/one");
  fs::create_directories(P(VolumesDir()) + "/two");
  Start();
  NodeRef root = GetRootNode(ROOT_FILE);
  auto first = Children(root);
  ASSERT_EQ(first.size(), 2u);
  NodeRef one = first[P(VolumesDir()) + "/one [one]"];
  NodeRef two = first[P(VolumesDir()) + "/two [two]"];
  ASSERT_TRUE(one);
  ASSERT_TRUE(two);
  EXPECT_EQ(one->GetInfo(nullptr) & 0xFFFFF, DIRSTATUS_NEW_VOLUME);
  EXPECT_EQ(Dir(one)->GetIconId(0), ICON_VOLUME);
  fs::remove(P(VolumesDir()) + "/two");
  fs::create_directories(P(VolumesDir()) + "/three");
  DirectoryNode::SyncVolumes(root.Get());
  auto now = Children(root);
  EXPECT_EQ(now.size(), 2u);
  EXPECT_EQ(now[P(VolumesDir()) + "/one [one]"], one) << "same object";
  EXPECT_TRUE(now.count(P(VolumesDir()) + "/three [three]"));
  EXPECT_TRUE(two->GetInfo(nullptr) & NODESTATUS_DELETED);
  // A volume marked not to be listed lists nothing.
  one->SetStatus(NODESTATUS_VOLUME_HIDDEN);
  ASSERT_TRUE(orxtest::WriteFile(VolumesDir() + String("one") + String("f"), "f"));
  EXPECT_TRUE(Children(one).empty());
  one->ClearStatus(NODESTATUS_VOLUME_HIDDEN);
  EXPECT_EQ(Children(one).size(), 1u);
}

} // namespace

namespace {

// The system's own views: devices, a process's files, kernel classes. Listing them, asking every
// entry for its handler (which reads content) and its type never waits and never reads without end.
TEST_F(Directory, SystemViewsNeverHang)
{
  Start();
  handlertest::TestHandler handler(4242002, "", "MAGIC");
  ASSERT_TRUE(RegisterPlugin(&handler, 1));
  for (const char* path : {"/dev", "/proc/self", "/sys/class"}) {
    if (!fs::is_directory(path))
      continue;
    NodeRef top = Folder(Filename(String(path)));
    ASSERT_TRUE(top) << path;
    size_t seen = 0;
    EXPECT_TRUE(orxtest::FinishesWithin([&] {
      std::vector<NodeRef> todo{top};
      for (size_t i = 0; i < todo.size() && i < 200; ++i) {
        for (NodeRef c = todo[i]->GetDownNode(); c; c = c->GetNextNode()) {
          ++seen;
          String type;
          c->GetTypeName(&type, 0);
          c->GetPluginInterface(0);
          DirectoryNode* d = Dir(c);
          if (d && d->GetEntryKind() == EntryKind::Folder && todo.size() < 200)
            todo.push_back(c);
        }
      }
    }, std::chrono::seconds(60))) << path;
    EXPECT_GT(seen, 0u) << path;
  }
  EXPECT_TRUE(UnregisterPlugin(&handler));
}

} // namespace

namespace {

bool HasRecord(const std::string& url)
{
  BrowserDatabase* db = BrowserDatabase::GetLibrary(0);
  BrowserDatabaseItem* item = db ? db->OpenItem(String(url.c_str())) : nullptr;
  if (!item)
    return false;
  item->Close();
  return true;
}

void AddRecord(const std::string& url)
{
  BrowserDatabase* db = BrowserDatabase::GetLibrary(0);
  ASSERT_TRUE(db);
  BrowserDatabaseItem* item = db->OpenOrCreateItem(String(url.c_str()), true);
  ASSERT_TRUE(item);
  item->SetAnnotation(String("note"));
  item->Close();
}

// What the main database keeps about files (annotations, previews) follows renames and moves of
// them or of a folder above them, also where no node was ever made, and goes when they are deleted.
TEST_F(Directory, MainDatabaseRecordsFollowTheFiles)
{
  Start();
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("a") + String("deep") + String("f"), "f"));
  fs::create_directory(P(root_ + String("b")));
  const std::string base = "file://localhost" + P(root_);
  AddRecord(base + "/a");
  AddRecord(base + "/a/deep/f");
  AddRecord(base + "/ab"); // shares the text, not the folder
  NodeRef dir = Folder(root_);
  NodeRef a = Child(dir, "a");
  ASSERT_EQ(a->Rename(EDITPHASE_DO, String("c")), EDIT_OK);
  EXPECT_TRUE(HasRecord(base + "/c"));
  EXPECT_TRUE(HasRecord(base + "/c/deep/f")) << "below, without a node";
  EXPECT_FALSE(HasRecord(base + "/a/deep/f"));
  EXPECT_TRUE(HasRecord(base + "/ab"));
  ASSERT_EQ(Child(dir, "b")->MoveHere(a, EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  EXPECT_TRUE(HasRecord(base + "/b/c/deep/f"));
  EXPECT_FALSE(HasRecord(base + "/c/deep/f"));
  ASSERT_EQ(a->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  EXPECT_FALSE(HasRecord(base + "/b/c"));
  EXPECT_FALSE(HasRecord(base + "/b/c/deep/f"));
  EXPECT_TRUE(HasRecord(base + "/ab"));
}

} // namespace

namespace {

// What find reports of one entry: its kind letter, its target's kind for a link, and its size.
struct Found
{
  char kind;
  char target;
  Int64 size;
};

// find's view of the tree below root, hidden names (and what lies under them) left out.
std::map<std::string, Found> FindTree(const std::string& root)
{
  std::map<std::string, Found> out;
  const std::string cmd = "find '" + root + "' -mindepth 1 -printf '%y %Y %s %p\\n' 2>/dev/null";
  std::FILE* f = ::popen(cmd.c_str(), "r");
  if (!f)
    return out;
  char line[8192];
  while (std::fgets(line, sizeof line, f)) {
    std::string l(line);
    if (!l.empty() && l.back() == '\n')
      l.pop_back();
    const std::size_t a = l.find(' ', 2), b = l.find(' ', a + 1);
    if (l.size() < 4 || a == std::string::npos || b == std::string::npos)
      continue;
    const std::string path = l.substr(b + 1);
    if (path.find("/.", root.size()) != std::string::npos)
      continue;
    out[path] = {l[0], l[2], std::stoll(l.substr(a + 1, b - a - 1))};
  }
  ::pclose(f);
  return out;
}

} // namespace

// Real trees that nobody here wrote, listed recursively as another plug-in lists them (only the
// published table's entries), against find: the same entries, the folders as folders, the files
// with find's sizes; links shown as what they point to and never entered.
TEST_F(Directory, SystemTreesListedThroughThePublishedTableMatchFind)
{
  Start();
  const OrxBrowserLibrary* lib = GetBrowserLibrary();
  ASSERT_TRUE(lib);
  // One tree with links to files, and the first of these with folders inside folders.
  std::vector<std::string> roots{"/usr/share/common-licenses"};
  for (const char* c : {"/usr/share/perl5", "/usr/share/doc/libc6", "/usr/share/zoneinfo", "/etc/ssl", "/usr/share/doc"})
    if (fs::is_directory(c) && !fs::is_symlink(c)) {
      roots.push_back(c);
      break;
    }
  bool nested = false;
  for (const std::string& root : roots) {
    ASSERT_TRUE(fs::is_directory(root)) << root;
    const std::map<std::string, Found> found = FindTree(root);
    ASSERT_FALSE(found.empty()) << root;
    std::map<std::string, Found> listed;
    std::vector<NodeRef> todo{Folder(Filename(String(root.c_str())))};
    ASSERT_TRUE(todo[0]);
    for (std::size_t i = 0; i < todo.size() && listed.size() <= found.size(); ++i) {
      OrxBrowserNode* folder = reinterpret_cast<OrxBrowserNode*>(todo[i].Get());
      lib->content->LoadChildren(folder);
      for (NodeRef c = NodeRef::Adopt(reinterpret_cast<BrowserContentNode*>(lib->tree->GetDown(folder))); c;
           c = NodeRef::Adopt(reinterpret_cast<BrowserContentNode*>(
               lib->tree->GetNext(reinterpret_cast<OrxBrowserNode*>(c.Get()))))) {
        OrxBrowserNode* n = reinterpret_cast<OrxBrowserNode*>(c.Get());
        ASSERT_EQ(lib->content->GetNodeType(n), NODETYPE_DIRECTORY);
        BrowserURL url;
        Filename file;
        ASSERT_TRUE(lib->content->GetURL(n, reinterpret_cast<OrxBrowserURL*>(&url), 0));
        ASSERT_TRUE(lib->url->GetFilename(reinterpret_cast<OrxBrowserURL*>(&url), &file));
        String name;
        ASSERT_TRUE(lib->content->GetName(n, &name));
        const std::string path = P(file);
        EXPECT_EQ(path, P(Dir(todo[i])->GetPath() + name)) << "URL and name of one entry";
        Int64 size = -1;
        const UInt32 info = lib->content->GetInfo(n, &size);
        const bool isFolder = (info & NODESTATUS_FOLDER) != 0;
        listed[path] = {isFolder ? 'd' : 'f', 0, size};
        auto it = found.find(path);
        if (it == found.end()) {
          ADD_FAILURE() << path << " is listed but find does not report it";
          continue;
        }
        const Found& f = it->second;
        // A link is shown as what it points to: a folder, or a file of its target's size.
        const char shown = f.kind == 'l' ? (f.target == 'd' ? 'd' : 'f') : (f.kind == 'd' ? 'd' : 'f');
        EXPECT_EQ(isFolder ? 'd' : 'f', shown) << path << " (find: " << f.kind << f.target << ")";
        Int64 want = f.size;
        if (f.kind == 'd' || (f.kind == 'l' && f.target == 'd'))
          want = 0;
        else if (f.kind == 'l')
          want = f.target == 'f' ? Int64(fs::file_size(path)) : 0;
        EXPECT_EQ(size, want) << path;
        // Walked only where find walks: folders, never links.
        if (f.kind == 'd') {
          nested = nested || root != roots[0];
          todo.push_back(c);
        }
      }
    }
    std::set<std::string> missing;
    for (const auto& [path, f] : found)
      if (!listed.count(path))
        missing.insert(path);
    EXPECT_TRUE(missing.empty()) << missing.size() << " entries that find reports were not listed under " << root
                                 << ", the first: " << *missing.begin();
  }
  EXPECT_TRUE(nested) << "no tree with folders inside folders was compared";
}

// A node keeps no copy of its name beside its path: with the name on the heap it stays under 256
// bytes, and the name it shows still follows renames and moves.
TEST_F(Directory, EntryNodesHoldNoSecondNameAndStayUnder256Bytes)
{
  static_assert(sizeof(DirectoryNode) < 256, "a directory node grew to 256 bytes or more");
  fs::create_directory(P(root_ + String("a")));
  NodeRef dir = Folder(root_);
  NodeRef a = Children(dir)["a"];
  ASSERT_TRUE(a);
  EXPECT_EQ(a->GetNameRef(), nullptr) << "an entry's name is its path's last part";
  EXPECT_EQ(a->Rename(EDITPHASE_DO, String("b")), EDIT_OK);
  EXPECT_EQ(a->GetName(), String("b"));
  Ref<DirectoryNode> vol = DirectoryNode::MakeVolume(root_, String("Label"));
  ASSERT_TRUE(vol);
  ASSERT_NE(vol->GetNameRef(), nullptr);
  EXPECT_EQ(*vol->GetNameRef(), root_.GetString() + String(" [Label]"));
  EXPECT_EQ(vol->GetName(), root_.GetString() + String(" [Label]"));
  DateTime t;
  ASSERT_TRUE(a->GetFileTime(FILETIME_MODIFIED, &t));
  EXPECT_GE(t.year, 2000);
  EXPECT_LE(t.month, 12);
  EXPECT_GE(t.month, 1);
}

namespace {

// A preset whose handler is the generic preset handler is copied out as a file of its data, named by
// the last part of its URL; it never replaces a file, and a preset without data makes none.
TEST_F(Directory, PresetsCopiedOutBecomeFilesThatNeverReplace)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("out.libqz"), "preset://out.libqz",
                          {{"notes.txt", false, "hello"}, {"empty.txt"}, {"Folder", true}}));
  Start();
  ASSERT_TRUE(LoadLibraries(true));
  fs::create_directory(P(root_) + "/dst");
  fs::create_directory(P(root_) + "/locked");
  NodeRef dir = Folder(root_);
  NodeRef dst = Child(dir, "dst");
  NodeRef notes = Find("preset://out.libqz/notes.txt");
  NodeRef empty = Find("preset://out.libqz/empty.txt");
  NodeRef folder = Find("preset://out.libqz/Folder");
  ASSERT_TRUE(dst && notes && empty && folder);
  // Without the generic preset handler a preset is no file. The built-in one is taken out (and
  // so no longer the registry's) to stand in its place.
  std::unique_ptr<BrowserPluginInterface> builtIn(FindPluginByID(HANDLER_ID_FILE_PRESET));
  if (builtIn) {
    ASSERT_TRUE(UnregisterPlugin(builtIn.get()));
  }
  EXPECT_EQ(dst->CopyHere(notes, EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);

  auto generic = std::make_unique<handlertest::TestHandler>(HANDLER_ID_FILE_PRESET, "", "");
  ASSERT_TRUE(RegisterPlugin(generic.get(), 0));
  EXPECT_EQ(dst->CopyHere(notes, EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(dst->CopyHere(notes, EDITPHASE_PREPARE, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(dst->CopyHere(notes, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(orxtest::ReadFile(root_ + String("dst") + String("notes.txt")), "hello");
  EXPECT_TRUE(Child(dst, "notes.txt")) << "the file shows as an entry";

  // A second copy finds the name taken: the file keeps its bytes.
  ASSERT_TRUE(orxtest::WriteFile(root_ + String("dst") + String("notes.txt"), "mine"));
  EXPECT_EQ(dst->CopyHere(notes, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_COPY_FAILED);
  EXPECT_EQ(orxtest::ReadFile(root_ + String("dst") + String("notes.txt")), "mine");
  // No data is a failure, and leaves nothing behind.
  EXPECT_EQ(dst->CopyHere(empty, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_COPY_FAILED);
  EXPECT_FALSE(fs::exists(P(root_) + "/dst/empty.txt"));
  for (const auto& e : fs::directory_iterator(P(root_) + "/dst"))
    EXPECT_EQ(e.path().filename().string().rfind(".orx-copy", 0), std::string::npos) << e.path();
  // Preset folders are not files; a folder the user cannot write takes nothing, in any phase.
  EXPECT_NE(dst->CopyHere(folder, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  ::chmod((P(root_) + "/locked").c_str(), 0555);
  NodeRef locked = Folder(root_ + String("locked"));
  EXPECT_EQ(locked->CopyHere(notes, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
  ::chmod((P(root_) + "/locked").c_str(), 0755);
  EXPECT_FALSE(fs::exists(P(root_) + "/locked/notes.txt"));

  // Unregistered and freed, the handler is no longer handed out by the preset node.
  EXPECT_TRUE(UnregisterPlugin(generic.get()));
  generic.reset();
  EXPECT_EQ(notes->GetPluginInterface(0), nullptr);
  EXPECT_EQ(dst->CopyHere(notes, EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
}

} // namespace
