#include "contenttest.h"

using namespace contenttest;

namespace {

class FilePreset : public ContentTest
{
protected:
  // Registers a library made of the items and answers its root node.
  NodeRef Library(const std::string& file, const std::vector<TestItem>& items, UInt32 flags = 0)
  {
    Start();
    Filename f = orxtest::TempDir() + String(file.c_str());
    const std::string url = "preset://" + file;
    EXPECT_TRUE(MakeLibrary(f, url, items));
    EXPECT_TRUE(RegisterLibrary(f, flags, nullptr));
    return Find(url);
  }
  static BrowserDatabase* Db(const NodeRef& n) { return static_cast<FilePresetNode*>(n.Get())->GetLibrary(); }
  static bool HasItem(BrowserDatabase* db, const std::string& path)
  {
    BrowserDatabaseItem* item = db->OpenItem(String(path.c_str()));
    if (item)
      item->Close();
    return item != nullptr;
  }
};

Int32 Count(void* data, Int32, Int32 count, Int64, Int32)
{
  *static_cast<Int32*>(data) += count;
  return 0;
}
Int32 Cancel(void*, Int32, Int32, Int64, Int32) { return -1; }

TEST_F(FilePreset, SiblingsFollowTheirOrderPositions)
{
  NodeRef root = Library("order.libqz", {{"five", false, "", 5}, {"none"}, {"two", false, "", 2}, {"later"}});
  ASSERT_TRUE(root);
  EXPECT_EQ(ChildNames(root), (std::vector<std::string>{"two", "five", "none", "later"}));
  std::vector<Int32> orders;
  for (NodeRef c = root->GetDownNode(); c; c = c->GetNextNode())
    orders.push_back(static_cast<FilePresetNode*>(c.Get())->GetOrderPosition());
  EXPECT_EQ(orders, (std::vector<Int32>{2, 5, 0x7fffffff, 0x7fffffff}));
}

TEST_F(FilePreset, NodesAnswerFromTheirItems)
{
  NodeRef root = Library("info.libqz", {{"F", true}, {"F/P", false, "12345", 0x7fffffff, "Shown P", 1018108}});
  NodeRef f = Find("preset://info.libqz/F");
  NodeRef p = Find("preset://info.libqz/F/P");
  ASSERT_TRUE(f && p);
  EXPECT_EQ(root->GetInfo(nullptr), NODESTATUS_FOLDER | NODESTATUS_LIBRARY_ROOT);
  EXPECT_EQ(f->GetInfo(nullptr), NODESTATUS_FOLDER);
  Int64 size = -1;
  EXPECT_EQ(p->GetInfo(&size), 0u);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(p->GetName(), String("Shown P"));
  EXPECT_EQ(p->GetNodeType(), NODETYPE_PRESET);
  auto* fp = static_cast<FilePresetNode*>(f.Get());
  EXPECT_EQ(fp->GetIconId(0), ICON_FOLDER);
  EXPECT_EQ(fp->GetIconId(ICONREQUEST_OPEN), ICON_FOLDER_OPEN);
  EXPECT_EQ(static_cast<FilePresetNode*>(p.Get())->GetIconId(0), ICON_PRESET);

  Int32 second = -1;
  EXPECT_EQ(p->Message(HANDLER_ID_FILE_PRESET, PRESETMSG_KIND, PRESETMSG_SECOND_TYPE, &second), 0);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(p->Message(HANDLER_ID_FILE_PRESET, 2, PRESETMSG_SECOND_TYPE, &second), MESSAGE_NOT_HANDLED);
  EXPECT_EQ(p->Message(1018108, PRESETMSG_KIND, PRESETMSG_LOAD, nullptr), MESSAGE_NOT_HANDLED)
      << "loading the element waits for the preset handlers";
}

TEST_F(FilePreset, ReadOnlyLibraryRefusesEveryEdit)
{
  NodeRef root = Library("ro.libqz", {{"F", true}, {"F/P", false, "x"}}, REGISTERFLAG_READONLY);
  NodeRef f = Find("preset://ro.libqz/F");
  NodeRef p = Find("preset://ro.libqz/F/P");
  ASSERT_TRUE(f && p);
  EXPECT_EQ(p->GetInfo(nullptr) & NODESTATUS_READONLY, NODESTATUS_READONLY);
  EXPECT_EQ(f->GetInfo(nullptr), NODESTATUS_FOLDER | NODESTATUS_READONLY);
  auto* fp = static_cast<FilePresetNode*>(f.Get());
  EXPECT_EQ(fp->GetIconId(0), ICON_FOLDER_READONLY);
  EXPECT_EQ(fp->GetIconId(ICONREQUEST_OPEN), ICON_FOLDER_READONLY_OPEN);
  for (Int32 phase : {EDITPHASE_ASK, EDITPHASE_DO}) {
    EXPECT_EQ(p->Rename(phase, String("Q")), EDIT_RENAME_REFUSED);
    EXPECT_EQ(f->NewFolder(phase, String("G"), nullptr), EDIT_NEWFOLDER_REFUSED);
    EXPECT_EQ(root->MoveHere(p, phase, nullptr, nullptr), EDIT_MOVE_REFUSED);
    EXPECT_EQ(root->CopyHere(p, phase, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
    EXPECT_EQ(p->Delete(phase, nullptr, nullptr), EDIT_DELETE_REFUSED);
  }
  EXPECT_TRUE(Find("preset://ro.libqz/F/P"));
}

TEST_F(FilePreset, RenameOfPresetsFoldersAndRoots)
{
  NodeRef root = Library("ren.libqz", {{"F", true}, {"F/P", false, "x"}, {"G", true}});
  NodeRef f = Find("preset://ren.libqz/F");
  BrowserDatabase* db = Db(root);
  EXPECT_EQ(f->Rename(EDITPHASE_ASK, String("bad/name")), EDIT_RENAME_REFUSED);
  EXPECT_EQ(f->Rename(EDITPHASE_ASK, String("")), EDIT_RENAME_REFUSED);
  EXPECT_EQ(f->Rename(EDITPHASE_ASK, String("g")), EDIT_RENAME_REFUSED) << "a sibling has that name";
  EXPECT_EQ(f->Rename(EDITPHASE_ASK, String("H")), EDIT_OK);
  EXPECT_TRUE(Find("preset://ren.libqz/F")) << "phase 0 changes nothing";
  ASSERT_EQ(f->Rename(EDITPHASE_DO, String("H")), EDIT_OK);
  EXPECT_EQ(URLOf(f.Get()), "preset://ren.libqz/H");
  EXPECT_EQ(f->GetName(), String("H"));
  EXPECT_TRUE(HasItem(db, "preset://ren.libqz/H/P")) << "items below follow";
  EXPECT_FALSE(HasItem(db, "preset://ren.libqz/F/P"));
  EXPECT_TRUE(Find("preset://ren.libqz/H/P"));

  // A library root renames its library; a taken name is refused with its own code.
  Filename taken = orxtest::TempDir() + String("other.libqz");
  ASSERT_TRUE(MakeLibrary(taken, "preset://other.libqz", {}));
  ASSERT_TRUE(RegisterLibrary(taken, 0u, nullptr));
  EXPECT_EQ(root->Rename(EDITPHASE_DO, String("other")), EDIT_FILE_RENAME_FAILED);
  ASSERT_EQ(root->Rename(EDITPHASE_DO, String("Fresh")), EDIT_OK);
  EXPECT_EQ(db->GetName(), String("preset://Fresh.libqz"));
  EXPECT_EQ(db->GetDisplayName(), String("Fresh"));
  EXPECT_EQ(URLOf(root.Get()), "preset://Fresh.libqz");
  EXPECT_TRUE(HasItem(db, "preset://Fresh.libqz/H/P"));
  EXPECT_EQ(URLOf(Find("preset://fresh.libqz/H/P").Get()), "preset://Fresh.libqz/H/P");
  ASSERT_EQ(root->Rename(EDITPHASE_DO, String("Kept.LIBQZ")), EDIT_OK);
  EXPECT_EQ(db->GetName(), String("preset://Kept.LIBQZ"));
}

TEST_F(FilePreset, RenamingTheUserLibraryRootChangesOnlyItsName)
{
  Start();
  ASSERT_GE(EnsureUserLibrary(), 0);
  NodeRef root = Find("preset://user.libqz");
  ASSERT_TRUE(root);
  BrowserDatabase* db = Db(root);
  ASSERT_EQ(root->Rename(EDITPHASE_DO, String("Mine")), EDIT_OK);
  EXPECT_EQ(root->GetName(), String("Mine"));
  EXPECT_EQ(URLOf(root.Get()), "preset://user.libqz");
  EXPECT_EQ(db->GetName(), String("preset://user.libqz"));
  EXPECT_EQ(db->GetDisplayName(), String("User"));
}

TEST_F(FilePreset, NewFolderMakesItsItem)
{
  NodeRef root = Library("nf.libqz", {{"P", false, "x"}});
  NodeRef made;
  EXPECT_EQ(root->NewFolder(EDITPHASE_ASK, String("New"), &made), EDIT_OK);
  EXPECT_FALSE(made);
  ASSERT_EQ(root->NewFolder(EDITPHASE_DO, String("New"), &made), EDIT_OK);
  ASSERT_TRUE(made);
  EXPECT_EQ(URLOf(made.Get()), "preset://nf.libqz/New");
  BrowserDatabaseItem* item = Db(root)->OpenItem(String("preset://nf.libqz/New"));
  ASSERT_TRUE(item);
  EXPECT_TRUE(item->IsFolder());
  EXPECT_EQ(item->GetName(), String("New"));
  item->Close();
  EXPECT_EQ(root->NewFolder(EDITPHASE_DO, String("new"), nullptr), EDIT_NEWFOLDER_REFUSED) << "exists";
  NodeRef p = Find("preset://nf.libqz/P");
  EXPECT_EQ(p->NewFolder(EDITPHASE_ASK, String("X"), nullptr), EDIT_NEWFOLDER_REFUSED) << "not a folder";
}

TEST_F(FilePreset, MoveHereRebasesTheSubtree)
{
  NodeRef root = Library("mv.libqz", {{"A", true}, {"A/Sub", true}, {"A/Sub/P", false, "x"}, {"B", true}});
  NodeRef a = Find("preset://mv.libqz/A"), b = Find("preset://mv.libqz/B"), sub = Find("preset://mv.libqz/A/Sub");
  ASSERT_TRUE(a && b && sub);
  BrowserDatabase* db = Db(root);
  EXPECT_EQ(sub->MoveHere(a, EDITPHASE_ASK, nullptr, nullptr), EDIT_MOVE_REFUSED) << "into its own subtree";
  EXPECT_EQ(a->MoveHere(sub, EDITPHASE_ASK, nullptr, nullptr), EDIT_MOVE_REFUSED) << "already there";
  Int32 walked = 0;
  EXPECT_EQ(b->MoveHere(sub, EDITPHASE_PREPARE, Count, &walked), EDIT_OK);
  EXPECT_EQ(walked, 2);
  EXPECT_EQ(b->MoveHere(sub, EDITPHASE_PREPARE, Cancel, nullptr), EDIT_CANCELLED);
  ASSERT_EQ(b->MoveHere(sub, EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(sub->GetUpNode(), b);
  EXPECT_EQ(URLOf(Find("preset://mv.libqz/B/Sub/P").Get()), "preset://mv.libqz/B/Sub/P");
  EXPECT_TRUE(HasItem(db, "preset://mv.libqz/B/Sub/P"));
  EXPECT_FALSE(HasItem(db, "preset://mv.libqz/A/Sub/P"));
  EXPECT_TRUE(ChildNames(a).empty());

  // Nodes of another library, or of another kind, are refused.
  NodeRef other = Library("mv2.libqz", {{"Q", false, "y"}});
  EXPECT_EQ(b->MoveHere(Find("preset://mv2.libqz/Q"), EDITPHASE_ASK, nullptr, nullptr), EDIT_MOVE_REFUSED);
  EXPECT_EQ(b->MoveHere(GetRootNode(ROOT_RECENT), EDITPHASE_ASK, nullptr, nullptr), EDIT_MOVE_REFUSED);
}

TEST_F(FilePreset, CopyHereCopiesRecordsAndSubtrees)
{
  NodeRef root = Library("cp.libqz", {{"A", true}, {"A/P", false, "payload", 0x7fffffff, "Shown"}, {"A/Q", false, "q"}});
  NodeRef dest = Library("cp2.libqz", {});
  NodeRef a = Find("preset://cp.libqz/A");
  ASSERT_TRUE(a && dest);
  Int32 walked = 0;
  EXPECT_EQ(dest->CopyHere(a, EDITPHASE_PREPARE, nullptr, Count, &walked), EDIT_OK);
  EXPECT_EQ(walked, 3);
  walked = 0;
  ASSERT_EQ(dest->CopyHere(a, EDITPHASE_DO, nullptr, Count, &walked), EDIT_OK);
  EXPECT_EQ(walked, 3) << "one call per copied item";
  NodeRef copy = Find("preset://cp2.libqz/A/Shown");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->GetName(), String("Shown"));
  Int64 size = 0;
  copy->GetInfo(&size);
  EXPECT_EQ(size, 7);
  EXPECT_EQ(ChildNames(Find("preset://cp2.libqz/A")), (std::vector<std::string>{"Shown", "Q"}));
  EXPECT_TRUE(Find("preset://cp.libqz/A/P")) << "the source stays";

  EXPECT_EQ(dest->CopyHere(a, EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(dest->CopyHere(a, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED) << "name taken";
  String renamed("B");
  EXPECT_EQ(dest->CopyHere(a, EDITPHASE_DO, &renamed, nullptr, nullptr), EDIT_OK);
  EXPECT_TRUE(Find("preset://cp2.libqz/B/Q"));
  EXPECT_EQ(a->CopyHere(root, EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED) << "into itself";
  EXPECT_EQ(root->CopyHere(GetRootNode(ROOT_RECENT), EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
  EXPECT_EQ(dest->CopyHere(a, EDITPHASE_DO, &renamed, Cancel, nullptr), EDIT_COPY_REFUSED);
  String c("C");
  EXPECT_EQ(dest->CopyHere(a, EDITPHASE_DO, &c, Cancel, nullptr), EDIT_CANCELLED);
}

TEST_F(FilePreset, DeleteRemovesSubtreesAndLibraries)
{
  NodeRef root = Library("del.libqz", {{"F", true}, {"F/G", true}, {"F/G/P", false, "x"}, {"F/Q", false, "y"}, {"K"}});
  BrowserDatabase* db = Db(root);
  NodeRef f = Find("preset://del.libqz/F");
  NodeRef p = Find("preset://del.libqz/F/G/P");
  ASSERT_TRUE(f && p);
  EXPECT_EQ(f->Delete(EDITPHASE_ASK, nullptr, nullptr), EDIT_OK);
  EXPECT_TRUE(HasItem(db, "preset://del.libqz/F/G/P"));
  ASSERT_EQ(f->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  for (const char* path : {"preset://del.libqz/F", "preset://del.libqz/F/G", "preset://del.libqz/F/G/P",
                           "preset://del.libqz/F/Q"})
    EXPECT_FALSE(HasItem(db, path)) << path;
  EXPECT_TRUE(p->IsDeleted());
  EXPECT_TRUE(f->IsDeleted());
  EXPECT_FALSE(Find("preset://del.libqz/F"));
  EXPECT_EQ(ChildNames(root), std::vector<std::string>{"K"});

  Filename file = db->GetFilename();
  ASSERT_TRUE(GeFileExists(file));
  ASSERT_EQ(root->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  EXPECT_FALSE(GeFileExists(file)) << "a library root takes its file along";
  EXPECT_FALSE(BrowserDatabase::FindLibraryForFile(file));
  EXPECT_FALSE(Find("preset://del.libqz"));
  EXPECT_EQ(root->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_DELETE_REFUSED) << "no library any more";
}

TEST_F(FilePreset, ReplaceURLPrefixKeepsPathBoundaries)
{
  NodeRef root = Library("pre.libqz", {{"ab", false, "x"}, {"abc", false, "y"}});
  NodeRef ab = Find("preset://pre.libqz/ab"), abc = Find("preset://pre.libqz/abc");
  abc->ReplaceURLPrefix(String("preset://pre.libqz/ab"), String("preset://pre.libqz/zz"), false);
  EXPECT_EQ(URLOf(abc.Get()), "preset://pre.libqz/abc");
  ab->ReplaceURLPrefix(String("preset://pre.libqz/ab"), String("preset://pre.libqz/zz"), true);
  EXPECT_EQ(URLOf(ab.Get()), "preset://pre.libqz/zz");
  EXPECT_TRUE(HasItem(Db(root), "preset://pre.libqz/zz"));
}

} // namespace

TEST_F(FilePreset, ListingALibraryWithoutFolderRecordsWritesNothing)
{
  // Records of presets only: listing makes folder nodes, and their records wait for an edit.
  Start();
  const Filename f = orxtest::TempDir() + String("bare.libqz");
  ASSERT_TRUE(MakeLibrary(f, "preset://bare.libqz", {{"A/B/x", false, "data"}, {"A/y", false, "more"}}));
  const std::string before = orxtest::ReadFile(f);
  ASSERT_TRUE(RegisterLibrary(f, 0, nullptr));
  NodeRef folder = Find("preset://bare.libqz/A/B");
  ASSERT_TRUE(folder);
  EXPECT_TRUE(Find("preset://bare.libqz/A/B/x"));
  folder = nullptr;
  Stop();
  EXPECT_EQ(orxtest::ReadFile(f), before);

  // The next edit writes them with it.
  Start();
  ASSERT_TRUE(RegisterLibrary(f, 0, nullptr));
  NodeRef y = Find("preset://bare.libqz/A/y");
  ASSERT_TRUE(y);
  EXPECT_EQ(y->Rename(2, String("z")), 0);
  y = nullptr;
  Stop();
  BrowserDatabase* db = BrowserDatabase::Create(f, String(), 0);
  ASSERT_TRUE(db->Load());
  EXPECT_TRUE(HasItem(db, "preset://bare.libqz/A"));
  EXPECT_TRUE(HasItem(db, "preset://bare.libqz/A/B"));
  EXPECT_TRUE(HasItem(db, "preset://bare.libqz/A/z"));
  BrowserDatabase::Destroy(db);
}
