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
  if (expected.size() < 3000 && got.size() < 3000)
    EXPECT_EQ(got, expected) << "in " << chosen;
}

} // namespace
