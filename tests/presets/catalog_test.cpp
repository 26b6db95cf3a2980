// Catalogs: links, folders and roots, their storage in ".catqz" files, lazy lookup of targets,
// the edits with their refusals, the favorites and recent lists, and damaged catalog files.
#include <algorithm>
#include <filesystem>
#include <set>

#include "contenttest.h"
#include "core/catalogs.h"
#include "handlertest.h"
#include "presets/catalognode.h"
#include "treetest.h"
#include "watchdog.h"

using namespace contenttest;
namespace fs = std::filesystem;

namespace {

std::atomic<UInt32> g_now{0};
UInt32 TestClock() { return g_now.load(); }

CatalogNode* Cat(const NodeRef& n) { return dynamic_cast<CatalogNode*>(n.Get()); }

std::string FileURL(const Filename& f) { return BrowserURL(f).GetString().ToUtf8(); }

struct CatalogItem
{
  CatalogItem(std::string p, bool f = false, std::string l = "", bool r = false, std::string n = "")
      : path(std::move(p)), folder(f), link(std::move(l)), relative(r), name(std::move(n))
  {
  }
  std::string path; // below the catalog's URL
  bool folder;
  std::string link; // stored link text
  bool relative;
  std::string name;
};

// Writes a catalog file named url with the items, and the base path when given.
bool MakeCatalog(const Filename& file, const std::string& url, const std::vector<CatalogItem>& items,
                 const std::string& shown = "", const std::string& base = "")
{
  std::error_code ec;
  fs::create_directories(file.GetDirectory().ToUtf8(), ec);
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  if (!db)
    return false;
  db->SetName(String(url.c_str()));
  if (!shown.empty())
    db->SetDisplayName(String(shown.c_str()));
  if (!base.empty())
    db->SetCatalogString(String(base.c_str()));
  bool ok = db->Save(true);
  for (const CatalogItem& i : items) {
    BrowserDatabaseItem* item = db->OpenOrCreateItem(String(url.c_str()) + String("/") + String(i.path.c_str()), true);
    if (!item) {
      ok = false;
      continue;
    }
    if (i.folder)
      item->SetItemFlags(dbitem::kFolderFlag);
    else if (!i.link.empty() || i.relative)
      item->SetLink(String(i.link.c_str()), i.relative);
    if (!i.name.empty())
      item->SetName(String(i.name.c_str()));
    item->Close();
  }
  ok = db->Save(true) && ok;
  BrowserDatabase::Destroy(db);
  return ok;
}

class Catalog : public ContentTest
{
protected:
  void SetUp() override
  {
    // Folders on disk are reached through a volume of the test home.
    files_ = orxtest::HomeDir() + String("volumes") + String("catalogs");
    std::error_code ec;
    fs::remove_all(files_.ToUtf8(), ec);
    fs::create_directories(files_.ToUtf8(), ec);
    ContentTest::SetUp();
    g_now = 100000;
    SetCatalogClock(TestClock);
  }
  void TearDown() override
  {
    SetCatalogClock(nullptr);
    ContentTest::TearDown();
    std::error_code ec;
    fs::remove_all(files_.ToUtf8(), ec);
  }
  // A catalog made through the registry as the command line makes it.
  NodeRef NewCatalog(const std::string& name)
  {
    const Filename file = UserFolder() + String((name + ".catqz").c_str());
    if (CreateLibrary(BrowserURL(String(("catalog://" + name + ".catqz").c_str())), String(name.c_str()), file) < 0)
      return nullptr;
    GetRootNode(ROOT_CATALOG)->LoadChildren();
    return Find("catalog://" + name + ".catqz");
  }
  // A folder on disk with a file, as a node.
  NodeRef DiskFolder(const std::string& name)
  {
    const Filename dir = files_ + String(name.c_str());
    fs::create_directories(dir.ToUtf8());
    orxtest::WriteFile(dir + String("file.txt"), "text");
    return Find(FileURL(dir));
  }
  static std::string Target(const NodeRef& link)
  {
    BrowserURL u;
    return link && link->GetURL(&u, URLREQUEST_TARGET) ? u.GetString().ToUtf8() : "";
  }
  static bool Resolved(const NodeRef& n) { return !(n->GetInfo(nullptr) & NODESTATUS_UNRESOLVED); }
  static Int32 All3(const std::function<Int32(Int32)>& op)
  {
    for (Int32 p : {0, 1, 2})
      if (Int32 r = op(p); r != EDIT_OK)
        return r;
    return EDIT_OK;
  }
  Filename files_;
};

// --- storage of link URLs ---

TEST_F(Catalog, RelativeLinksAreStoredOnlyBelowAPartBoundary)
{
  Start();
  BrowserDatabase* db = BrowserDatabase::GetLibrary(LIBRARY_MAIN);
  ASSERT_TRUE(db);
  BrowserDatabaseItem* item = db->OpenOrCreateItem(String("favorite://t"), true);
  ASSERT_TRUE(item);
  const String base("file:///srv/lib");
  struct Case
  {
    const char* url;
    bool relative;
    const char* stored;
  } cases[] = {{"file:///srv/library/x", false, "file:///srv/library/x"},
               {"file:///srv/lib/x", true, "x"},
               {"file:///srv/lib", true, ""},
               {"file:///srv/libx", false, "file:///srv/libx"},
               {"preset://user.libqz/a", false, "preset://user.libqz/a"}};
  for (const Case& c : cases) {
    Bool rel = true;
    ASSERT_TRUE(StoreCatalogLink(item, String(c.url), base, true, &rel));
    EXPECT_EQ(bool(rel), c.relative) << c.url;
    String stored;
    Bool storedRel = false;
    ASSERT_TRUE(item->GetLink(&stored, &storedRel));
    EXPECT_EQ(stored.ToUtf8(), c.stored) << c.url;
    String back;
    ASSERT_TRUE(ReadCatalogLink(item, base, &back, nullptr));
    EXPECT_EQ(back.ToUtf8(), c.url) << "reads back as it was";
  }
  // Not asked for: whole.
  Bool rel = true;
  ASSERT_TRUE(StoreCatalogLink(item, String("file:///srv/lib/x"), base, false, &rel));
  EXPECT_FALSE(rel);

  // Stored links are outside input: ".." parts never leave the base, relative or not.
  for (auto [text, relative] : {std::pair{"../etc/passwd", true}, std::pair{"a/../../b", true},
                                std::pair{"file:///srv/lib/../../etc", false}, std::pair{"..", true}}) {
    ASSERT_TRUE(item->SetLink(String(text), relative));
    String out("unchanged");
    EXPECT_FALSE(ReadCatalogLink(item, base, &out, nullptr)) << text;
    EXPECT_EQ(out.ToUtf8(), "unchanged");
  }
  ASSERT_TRUE(item->SetLink(String("a..b/..c"), true));
  String out;
  EXPECT_TRUE(ReadCatalogLink(item, base, &out, nullptr)) << "dots inside a name are no part \"..\"";
  item->Close();
}

TEST_F(Catalog, AStoredLinkWithParentPartsStaysUnresolved)
{
  const Filename secret = files_ + String("secret");
  fs::create_directories(secret.ToUtf8());
  ASSERT_TRUE(MakeCatalog(UserFolder() + String("c.catqz"), "catalog://c.catqz",
                          {{"up", false, "../secret", true, "Up"}, {"missing", false, "", false, "Missing"}}, "C",
                          FileURL(files_ + String("lib"))));
  Start();
  NodeRef up = Find("catalog://c.catqz/up");
  ASSERT_TRUE(up);
  EXPECT_EQ(Target(up), "");
  EXPECT_FALSE(Resolved(up));
  const auto lines = orxhost::ConsoleLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "CatalogNode warning: File link without URL"), 1)
      << "the link without URL warns with the exact line, the refused one with its own";
}

// --- lookup of targets ---

TEST_F(Catalog, TheFirstLookupHappensAtClockZeroAndTheIntervalSurvivesAWrap)
{
  Start();
  NodeRef folder = DiskFolder("t");
  ASSERT_TRUE(folder);
  const String url = String(FileURL(files_ + String("t")).c_str());
  NodeRef favorites = GetRootNode(ROOT_FAVORITES);

  // The host's clock starts at 0: a link never looked up is looked up now.
  g_now = 0;
  Ref<CatalogNode> link = CatalogNode::Make(favorites, String("t"), String("t"), &url, nullptr, 0);
  ASSERT_TRUE(link);
  EXPECT_EQ(link->GetTarget(), folder);
  EXPECT_TRUE(Resolved(NodeRef(link.Get())));

  // A failed lookup just before the clock wraps is not repeated within a second after it.
  const String gone = String(FileURL(files_ + String("gone")).c_str());
  Ref<CatalogNode> dead = CatalogNode::Make(favorites, String("gone"), String("gone"), &gone, nullptr, 0);
  g_now = 0xFFFFFF00u;
  EXPECT_FALSE(dead->GetTarget());
  fs::create_directories((files_ + String("gone")).ToUtf8());
  g_now = 0xFFFFFF00u + 600; // wrapped past 0
  EXPECT_FALSE(dead->GetTarget()) << "looked up again within the second";
  g_now = 0xFFFFFF00u + 1200;
  // The parent was listed before the folder came: list it again so the lookup can find it.
  folder->GetUpNode()->LoadChildren();
  EXPECT_TRUE(dead->GetTarget()) << "a second later the lookup is repeated";
  link->Remove();
  dead->Remove();
}

TEST_F(Catalog, ADeletedTargetIsLookedUpAtMostOnceASecond)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("p.libqz"), "preset://p.libqz", {{"a"}, {"b"}}));
  Start();
  LoadLibraries(true);
  NodeRef catalog = NewCatalog("Mine");
  ASSERT_TRUE(catalog);
  NodeRef a = Find("preset://p.libqz/a");
  ASSERT_TRUE(a);
  Ref<CatalogNode> link = CatalogNode::MakeLink(catalog, a, nullptr, true, true);
  ASSERT_TRUE(link);
  EXPECT_TRUE(Resolved(NodeRef(link.Get())));
  ASSERT_EQ(All3([&](Int32 p) { return a->Delete(p, nullptr, nullptr); }), EDIT_OK);
  a = nullptr;
  EXPECT_FALSE(link->GetTarget());
  EXPECT_FALSE(Resolved(NodeRef(link.Get())));
  // Made again under the same URL: not looked for within the second, found after it.
  NodeRef b = Find("preset://p.libqz/b");
  ASSERT_TRUE(b);
  ASSERT_EQ(All3([&](Int32 p) { return b->Rename(p, String("a")); }), EDIT_OK);
  g_now += 1000;
  EXPECT_FALSE(link->GetTarget()) << "1000 ms is not more than a second";
  g_now += 1;
  EXPECT_EQ(link->GetTarget(), b);
  EXPECT_EQ(Target(NodeRef(link.Get())), "preset://p.libqz/a");
}

// --- make link ---

// A child whose URL, asked for while a link is made under its parent, makes a link there itself.
class ReentrantChild : public treetest::TestNode
{
public:
  ReentrantChild(NodeRef parent, NodeRef target) : TestNode("again"), parent_(std::move(parent)), target_(std::move(target)) {}
  Bool GetURL(BrowserURL* out, UInt32 flags) override
  {
    if (armed_ && !inner_) {
      inner_ = true;
      innerMade_ = bool(CatalogNode::MakeLink(parent_, target_, nullptr, false, true));
    }
    return TestNode::GetURL(out, flags);
  }
  bool armed_ = false;
  bool inner_ = false;
  bool innerMade_ = true;
  NodeRef parent_, target_;
};

TEST_F(Catalog, MakeLinkClearsTheBusyMarkOnEveryPathAndNeverReentersItsParent)
{
  Start();
  NodeRef catalog = NewCatalog("Busy");
  ASSERT_TRUE(catalog);
  NodeRef folder = DiskFolder("f");
  ASSERT_TRUE(folder);

  // Fails between setting and clearing the mark: the parent left the tree.
  NodeRef sub;
  ASSERT_EQ(catalog->NewFolder(EDITPHASE_DO, String("sub"), &sub), EDIT_OK);
  sub->Remove();
  EXPECT_FALSE(CatalogNode::MakeLink(sub, folder, nullptr, true, true));
  EXPECT_FALSE(sub->GetStatus() & NODESTATUS_BUSY);

  // Comes back to the same parent while it holds the mark: refused, not waiting for itself.
  Ref<ReentrantChild> child = MakeRef<ReentrantChild>(catalog, folder);
  ASSERT_TRUE(child->InsertUnder(catalog.Get()));
  child->armed_ = true;
  bool made = false;
  ASSERT_TRUE(orxtest::FinishesWithin([&] { made = bool(CatalogNode::MakeLink(catalog, folder, nullptr, false, true)); }))
      << "make link waits for itself";
  EXPECT_TRUE(made);
  EXPECT_TRUE(child->inner_);
  EXPECT_FALSE(child->innerMade_);
  EXPECT_FALSE(catalog->GetStatus() & NODESTATUS_BUSY);
  child->armed_ = false;
  ASSERT_TRUE(orxtest::FinishesWithin([&] { made = bool(CatalogNode::MakeLink(catalog, folder, nullptr, false, true)); }))
      << "a mark left behind hangs every later make link";
  EXPECT_TRUE(made);
  child->parent_ = nullptr;
  child->target_ = nullptr;
  child->Remove();
}

TEST_F(Catalog, LinksGetFreshFlagsNamesWithCountersAndNeverPointAtLinks)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("p.libqz"), "preset://p.libqz", {{"a", false, "data"}}));
  Start();
  LoadLibraries(true);
  NodeRef one = NewCatalog("One");
  NodeRef two = NewCatalog("Two");
  ASSERT_TRUE(one && two);
  NodeRef a = Find("preset://p.libqz/a");
  Ref<CatalogNode> first = CatalogNode::MakeLink(one, a, nullptr, true, true);
  Ref<CatalogNode> second = CatalogNode::MakeLink(one, a, nullptr, true, true);
  Ref<CatalogNode> third = CatalogNode::MakeLink(one, a, nullptr, true, true);
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(URLOf(first.Get()), "catalog://One.catqz/a");
  EXPECT_EQ(URLOf(second.Get()), "catalog://One.catqz/a.1");
  EXPECT_EQ(URLOf(third.Get()), "catalog://One.catqz/a.2");
  EXPECT_EQ(first->GetStatus() & ~NODESTATUS_BUSY, NODESTATUS_VIRTUAL | NODESTATUS_LINK);

  // A link to a link links the target; a link to a root is a plain folder link, no root.
  Ref<CatalogNode> again = CatalogNode::MakeLink(two, NodeRef(first.Get()), nullptr, true, true);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->PeekTarget(), a);
  EXPECT_EQ(Target(NodeRef(again.Get())), "preset://p.libqz/a");
  Ref<CatalogNode> toRoot = CatalogNode::MakeLink(two, one, nullptr, true, true);
  ASSERT_TRUE(toRoot);
  EXPECT_EQ(toRoot->GetStatus(), NODESTATUS_VIRTUAL | NODESTATUS_LINK | NODESTATUS_FOLDER);
  EXPECT_FALSE(toRoot->IsRoot());
  // Moving to another catalog is refused; copying there makes a new link.
  EXPECT_EQ(two->MoveHere(NodeRef(first.Get()), EDITPHASE_ASK, nullptr, nullptr), EDIT_MOVE_REFUSED);
  EXPECT_EQ(All3([&](Int32 p) { return two->CopyHere(NodeRef(second.Get()), p, nullptr, nullptr, nullptr); }), EDIT_OK);
  NodeRef copied = Find("catalog://Two.catqz/a.1");
  ASSERT_TRUE(copied);
  EXPECT_EQ(Cat(copied)->PeekTarget(), a);
  EXPECT_EQ(URLOf(second.Get()), "catalog://One.catqz/a.1") << "the source stays";
  // The link's item carries the preset's data.
  BrowserDatabase* db = Cat(two)->GetLibrary();
  ASSERT_TRUE(db);
  BrowserDatabaseItem* item = db->OpenItem(String("catalog://Two.catqz/a"));
  ASSERT_TRUE(item);
  ByteArray bytes;
  EXPECT_TRUE(item->GetData(&bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "data");
  item->Close();
}

// The names a catalog keeps for new links follow its children through renames, deletes and moves:
// a name given up is free again, a name taken is not handed out twice.
TEST_F(Catalog, NamesOfNewLinksFollowRenamesDeletesAndMoves)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("p.libqz"), "preset://p.libqz",
                          {{"a", false, "1"}, {"b", false, "2"}, {"c", false, "3"}}));
  Start();
  LoadLibraries(true);
  NodeRef catalog = NewCatalog("Names");
  ASSERT_TRUE(catalog);
  const NodeRef a = Find("preset://p.libqz/a"), b = Find("preset://p.libqz/b"), c = Find("preset://p.libqz/c");
  ASSERT_TRUE(a && b && c);
  auto add = [&](const NodeRef& into, const NodeRef& source) {
    Ref<CatalogNode> made = CatalogNode::AddLink(into, source, false);
    return made ? URLOf(made.Get()) : std::string("(none)");
  };
  NodeRef linkA(CatalogNode::AddLink(catalog, a, false).Get());
  ASSERT_TRUE(linkA);
  EXPECT_EQ(add(catalog, a), "catalog://Names.catqz/a.1");

  // Renamed: the new name is taken, the old one free.
  ASSERT_EQ(All3([&](Int32 p) { return linkA->Rename(p, String("B")); }), EDIT_OK);
  EXPECT_EQ(add(catalog, b), "catalog://Names.catqz/b.1");
  EXPECT_EQ(add(catalog, a), "catalog://Names.catqz/a");
  EXPECT_EQ(add(catalog, a), "catalog://Names.catqz/a.2") << "a.1 stays";
  ASSERT_EQ(All3([&](Int32 p) { return Find("catalog://Names.catqz/a.1")->Delete(p, nullptr, nullptr); }), EDIT_OK);
  // Deleted: its name is free.
  EXPECT_EQ(add(catalog, a), "catalog://Names.catqz/a.1");

  // Moved into a folder: free where it was, taken where it went.
  NodeRef sub;
  ASSERT_EQ(catalog->NewFolder(EDITPHASE_DO, String("sub"), &sub), EDIT_OK);
  NodeRef linkC(CatalogNode::AddLink(catalog, c, false).Get());
  ASSERT_EQ(URLOf(linkC.Get()), "catalog://Names.catqz/c");
  ASSERT_EQ(All3([&](Int32 p) { return sub->MoveHere(linkC, p, nullptr, nullptr); }), EDIT_OK);
  EXPECT_EQ(add(sub, c), "catalog://Names.catqz/sub/c.1");
  EXPECT_EQ(add(catalog, c), "catalog://Names.catqz/c");

  // Many links of one name, past every size the set grows through: each gets the next counter.
  for (Int32 i = 2; i <= 150; ++i)
    ASSERT_EQ(add(sub, c), "catalog://Names.catqz/sub/c." + std::to_string(i));
  // A renamed folder gives its new URL to the links made in it after.
  ASSERT_EQ(All3([&](Int32 p) { return sub->Rename(p, String("moved")); }), EDIT_OK);
  EXPECT_EQ(add(sub, c), "catalog://Names.catqz/moved/c.151");
  // No two children of a folder share a URL.
  for (const NodeRef& folder : {catalog, sub}) {
    std::set<std::string> seen;
    for (NodeRef n = folder->GetDownNode(); n; n = n->GetNextNode()) {
      std::string url = URLOf(n.Get());
      std::transform(url.begin(), url.end(), url.begin(), ::toupper);
      EXPECT_TRUE(seen.insert(url).second) << url;
    }
  }
}

// --- handlers ---

class RecordingHandler : public handlertest::TestHandler
{
public:
  using TestHandler::TestHandler;
  Bool Execute(NodeRef node, BrowserURL*, Int32) override
  {
    executed = node;
    return true;
  }
  NodeRef executed;
};

TEST_F(Catalog, LinksPassTheirHandlersCallsOnToTheTarget)
{
  // A preset type of its own: the built-in preset handlers are registered at start.
  constexpr Int32 kType = 4243;
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("p.libqz"), "preset://p.libqz", {{"a", false, "", 0x7fffffff, "", kType}}));
  Start();
  LoadLibraries(true);
  RecordingHandler presets(kType, "", ""), byName(4242, "zz", "");
  ASSERT_TRUE(RegisterPlugin(&presets, 0));
  ASSERT_TRUE(RegisterPlugin(&byName, 1));
  NodeRef catalog = NewCatalog("H");
  NodeRef a = Find("preset://p.libqz/a");
  Ref<CatalogNode> link = CatalogNode::MakeLink(catalog, a, nullptr, true, true);
  ASSERT_TRUE(link);
  EXPECT_EQ(link->GetPluginInterface(0), GetCatalogPlugin());
  EXPECT_EQ(link->GetPluginInterface(PLUGINREQUEST_TYPENAME), &presets);
  EXPECT_EQ(Cat(catalog)->GetPluginInterface(0), GetCatalogFilePlugin());
  EXPECT_TRUE(GetCatalogPlugin()->Execute(NodeRef(link.Get()), nullptr, 0));
  EXPECT_EQ(presets.executed, a) << "the target's handler runs with the target";
  String type;
  link->GetTypeName(&type, 0);
  EXPECT_EQ(type.ToUtf8(), " file") << "the target's type name";
  // Unresolved: the handler found for the target URL by name.
  const String gone("file:///nowhere/x.zz");
  Ref<CatalogNode> dead = CatalogNode::Make(catalog, String("x"), String("x"), &gone, nullptr, 0);
  EXPECT_EQ(dead->GetPluginInterface(PLUGINREQUEST_TYPENAME), &byName);
  EXPECT_FALSE(GetCatalogPlugin()->Execute(NodeRef(dead.Get()), nullptr, 0));
  presets.executed = nullptr;
  EXPECT_TRUE(UnregisterPlugin(&presets));
  EXPECT_TRUE(UnregisterPlugin(&byName));
}

// --- edits ---

TEST_F(Catalog, CopyOrMoveIntoItselfOrBelowIsRefusedAtOnce)
{
  Start();
  NodeRef catalog = NewCatalog("Tree");
  NodeRef a, b;
  ASSERT_EQ(catalog->NewFolder(EDITPHASE_DO, String("a"), &a), EDIT_OK);
  ASSERT_EQ(a->NewFolder(EDITPHASE_DO, String("b"), &b), EDIT_OK);
  for (const NodeRef& into : {a, b}) {
    EXPECT_EQ(into->CopyHere(a, EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
    Int32 r = 0;
    ASSERT_TRUE(orxtest::FinishesWithin([&] { r = into->CopyHere(a, EDITPHASE_DO, nullptr, nullptr, nullptr); }))
        << "a copy into itself never ends";
    EXPECT_EQ(r, EDIT_COPY_REFUSED);
    EXPECT_EQ(into->MoveHere(a, EDITPHASE_ASK, nullptr, nullptr), EDIT_MOVE_REFUSED);
    EXPECT_EQ(into->MoveHere(a, EDITPHASE_DO, nullptr, nullptr), EDIT_MOVE_REFUSED);
  }
  EXPECT_EQ(URLOf(b.Get()), "catalog://Tree.catqz/a/b") << "nothing was re-keyed";
  BrowserDatabase* db = Cat(catalog)->GetLibrary();
  BrowserDatabaseItem* item = db->OpenItem(String("catalog://Tree.catqz/a/b"));
  EXPECT_TRUE(item);
  if (item)
    item->Close();
  // A folder on disk copied in becomes a catalog folder of links; a link on disk is never entered
  // (one to its own folder would copy without end) and becomes a folder link.
  fs::create_directories((files_ + String("disk")).ToUtf8());
  fs::create_directory_symlink(".", (files_ + String("disk") + String("loop")).ToUtf8());
  NodeRef disk = DiskFolder("disk");
  ASSERT_TRUE(disk);
  Int32 copied = -1;
  ASSERT_TRUE(orxtest::FinishesWithin(
      [&] { copied = All3([&](Int32 p) { return catalog->CopyHere(disk, p, nullptr, nullptr, nullptr); }); }));
  EXPECT_EQ(copied, EDIT_OK);
  NodeRef loop = Find("catalog://Tree.catqz/disk/loop");
  ASSERT_TRUE(loop);
  EXPECT_EQ(loop->GetStatus() & (NODESTATUS_FOLDER | NODESTATUS_LINK), NODESTATUS_FOLDER | NODESTATUS_LINK);
  EXPECT_FALSE(loop->GetFirstChild());
  NodeRef copiedFolder = Find("catalog://Tree.catqz/disk");
  ASSERT_TRUE(copiedFolder);
  EXPECT_EQ(copiedFolder->GetStatus(), CATALOGSTATUS_FOLDER);
  NodeRef copiedFile = Find("catalog://Tree.catqz/disk/file.txt");
  ASSERT_TRUE(copiedFile);
  EXPECT_EQ(Target(copiedFile), FileURL(files_ + String("disk") + String("file.txt")));
  // A copy into a sibling copies the whole subtree.
  NodeRef c;
  ASSERT_EQ(catalog->NewFolder(EDITPHASE_DO, String("c"), &c), EDIT_OK);
  EXPECT_EQ(All3([&](Int32 p) { return c->CopyHere(a, p, nullptr, nullptr, nullptr); }), EDIT_OK);
  EXPECT_TRUE(Find("catalog://Tree.catqz/c/a/b"));
  // A move below a sibling re-keys the items after the tree took the node.
  EXPECT_EQ(All3([&](Int32 p) { return c->MoveHere(b, p, nullptr, nullptr); }), EDIT_OK);
  EXPECT_EQ(URLOf(b.Get()), "catalog://Tree.catqz/c/b");
  item = db->OpenItem(String("catalog://Tree.catqz/c/b"));
  EXPECT_TRUE(item) << "re-keyed";
  if (item)
    item->Close();
}

TEST_F(Catalog, NamesWithASlashOrAClashAreRefused)
{
  Start();
  NodeRef catalog = NewCatalog("Names");
  NodeRef a, b, inner;
  ASSERT_EQ(catalog->NewFolder(EDITPHASE_DO, String("a"), &a), EDIT_OK);
  ASSERT_EQ(catalog->NewFolder(EDITPHASE_DO, String("b"), &b), EDIT_OK);
  ASSERT_EQ(b->NewFolder(EDITPHASE_DO, String("a"), &inner), EDIT_OK);
  for (Int32 p : {0, 2}) {
    EXPECT_EQ(a->Rename(p, String("x/y")), EDIT_RENAME_REFUSED);
    EXPECT_EQ(a->Rename(p, String("B")), EDIT_RENAME_REFUSED) << "URLs ignore letter case";
    EXPECT_EQ(catalog->NewFolder(p, String("A"), nullptr), EDIT_NEWFOLDER_REFUSED);
    EXPECT_EQ(catalog->NewFolder(p, String("n/m"), nullptr), EDIT_NEWFOLDER_REFUSED);
    EXPECT_EQ(b->MoveHere(a, p, nullptr, nullptr), EDIT_MOVE_REFUSED) << "b holds an a already";
  }
  EXPECT_EQ(ChildNames(catalog), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(All3([&](Int32 p) { return a->Rename(p, String("A")); }), EDIT_OK) << "its own name in another case";
  EXPECT_EQ(URLOf(a.Get()), "catalog://Names.catqz/A");
}

TEST_F(Catalog, RenamingARootNeverReplacesAFileAndRollsBack)
{
  Start();
  NodeRef x = NewCatalog("x");
  NodeRef y = NewCatalog("y");
  ASSERT_TRUE(x && y);
  const std::string yBytes = orxtest::ReadFile(UserFolder() + String("y.catqz"));
  EXPECT_EQ(All3([&](Int32 p) { return x->Rename(p, String("y")); }), EDIT_FILE_RENAME_FAILED);
  EXPECT_EQ(orxtest::ReadFile(UserFolder() + String("y.catqz")), yBytes) << "the other catalog is untouched";
  EXPECT_TRUE(fs::exists((UserFolder() + String("x.catqz")).ToUtf8()));
  EXPECT_EQ(URLOf(x.Get()), "catalog://x.catqz");

  // The registry refuses after the file moved (another catalog holds the URL): the file moves back.
  const Filename other = files_ + String("z.catqz");
  ASSERT_TRUE(MakeCatalog(other, "catalog://z.catqz", {}, "Z"));
  ASSERT_TRUE(OpenCatalogFile(other));
  EXPECT_EQ(All3([&](Int32 p) { return x->Rename(p, String("z")); }), EDIT_FILE_RENAME_FAILED);
  EXPECT_TRUE(fs::exists((UserFolder() + String("x.catqz")).ToUtf8()));
  EXPECT_FALSE(fs::exists((UserFolder() + String("z.catqz")).ToUtf8()));
  EXPECT_EQ(URLOf(x.Get()), "catalog://x.catqz");

  NodeRef sub;
  ASSERT_EQ(x->NewFolder(EDITPHASE_DO, String("sub"), &sub), EDIT_OK);
  EXPECT_EQ(All3([&](Int32 p) { return x->Rename(p, String("w")); }), EDIT_OK);
  EXPECT_EQ(URLOf(x.Get()), "catalog://w.catqz");
  EXPECT_EQ(URLOf(sub.Get()), "catalog://w.catqz/sub");
  EXPECT_TRUE(fs::exists((UserFolder() + String("w.catqz")).ToUtf8()));
  EXPECT_EQ(x->GetName().ToUtf8(), "w");
  EXPECT_EQ(All3([&](Int32 p) { return x->Rename(p, String("V.CATQZ")); }), EDIT_OK);
  EXPECT_EQ(URLOf(x.Get()), "catalog://V.CATQZ") << "kept as given";
  EXPECT_EQ(x->Rename(EDITPHASE_ASK, String("a/b")), EDIT_RENAME_REFUSED);
}

TEST_F(Catalog, OnlyTheRootOfItsOwnFileDeletesTheFile)
{
  Start();
  NodeRef catalog = NewCatalog("Kept");
  ASSERT_TRUE(catalog);
  NodeRef favorites = GetRootNode(ROOT_FAVORITES);
  ASSERT_EQ(All3([&](Int32 p) { return favorites->CopyHere(catalog, p, nullptr, nullptr, nullptr); }), EDIT_OK);
  NodeRef favorite = BrowserContentNode::FromTree(favorites->GetLastChild());
  ASSERT_TRUE(Cat(favorite));
  EXPECT_FALSE(Cat(favorite)->IsRoot()) << "fresh flags on a new link";
  EXPECT_EQ(All3([&](Int32 p) { return favorite->Delete(p, nullptr, nullptr); }), EDIT_OK);
  EXPECT_TRUE(fs::exists((UserFolder() + String("Kept.catqz")).ToUtf8()));
  EXPECT_TRUE(BrowserDatabase::GetLibrary(LIBRARY_MAIN)) << "the main database stays open";
  EXPECT_TRUE(Find("catalog://Kept.catqz"));
  // Even a node that carries the root flag takes no file along unless it is its catalog's root.
  BrowserDatabase* main = BrowserDatabase::GetLibrary(LIBRARY_MAIN);
  ASSERT_TRUE(main->Save(true));
  Ref<CatalogNode> flagged =
      CatalogNode::Make(favorites, String("R"), String("r"), nullptr, main, CATALOGMAKE_FOLDER | CATALOGMAKE_ROOT);
  ASSERT_TRUE(flagged && flagged->IsRoot());
  EXPECT_EQ(All3([&](Int32 p) { return flagged->Delete(p, nullptr, nullptr); }), EDIT_OK);
  EXPECT_TRUE(fs::exists(main->GetFilename().ToUtf8()));
  EXPECT_EQ(BrowserDatabase::GetLibrary(LIBRARY_MAIN), main);
  EXPECT_EQ(All3([&](Int32 p) { return catalog->Delete(p, nullptr, nullptr); }), EDIT_OK);
  EXPECT_FALSE(fs::exists((UserFolder() + String("Kept.catqz")).ToUtf8()));
}

TEST_F(Catalog, ADeleteStopsAtTheFirstFailingChildAndLeavesTheNode)
{
  Start();
  NodeRef catalog = NewCatalog("Stop");
  NodeRef folder, first;
  ASSERT_EQ(catalog->NewFolder(EDITPHASE_DO, String("f"), &folder), EDIT_OK);
  ASSERT_EQ(folder->NewFolder(EDITPHASE_DO, String("first"), &first), EDIT_OK);
  Ref<treetest::TestNode> stubborn = treetest::Make("stubborn"); // refuses to be deleted
  ASSERT_TRUE(stubborn->InsertUnder(folder.Get()));
  NodeRef last;
  ASSERT_EQ(folder->NewFolder(EDITPHASE_DO, String("last"), &last), EDIT_OK);
  EXPECT_EQ(folder->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_DELETE_REFUSED);
  EXPECT_FALSE(folder->IsDeleted());
  EXPECT_TRUE(folder->GetUp());
  EXPECT_EQ(Find("catalog://Stop.catqz/f"), folder);
  EXPECT_FALSE(last->IsDeleted()) << "nothing after the failure was touched";
  BrowserDatabaseItem* item = Cat(catalog)->GetLibrary()->OpenItem(String("catalog://Stop.catqz/f"));
  EXPECT_TRUE(item) << "the item stays";
  if (item)
    item->Close();
  EXPECT_TRUE(fs::exists((UserFolder() + String("Stop.catqz")).ToUtf8()));
  EXPECT_EQ(catalog->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_DELETE_REFUSED);
  EXPECT_TRUE(fs::exists((UserFolder() + String("Stop.catqz")).ToUtf8())) << "the root keeps its file";
  stubborn->Remove();
}

TEST_F(Catalog, AReadOnlyCatalogRefusesEveryEditInEveryPhase)
{
  ASSERT_TRUE(MakeCatalog(SystemFolder() + String("sys.catqz"), "catalog://sys.catqz",
                          {{"f", true}, {"f/l", false, "file:///nowhere", false, "L"}}, "Sys"));
  Start();
  NodeRef root = Find("catalog://sys.catqz");
  NodeRef f = Find("catalog://sys.catqz/f");
  NodeRef l = Find("catalog://sys.catqz/f/l");
  ASSERT_TRUE(root && f && l);
  NodeRef other = NewCatalog("Writable");
  NodeRef otherFolder;
  ASSERT_EQ(other->NewFolder(EDITPHASE_DO, String("o"), &otherFolder), EDIT_OK);
  for (Int32 p : {0, 1, 2}) {
    for (const NodeRef& n : {root, f, l}) {
      EXPECT_EQ(n->Rename(p, String("new")), EDIT_RENAME_REFUSED);
      EXPECT_EQ(n->Delete(p, nullptr, nullptr), EDIT_DELETE_REFUSED);
      EXPECT_TRUE(n->GetInfo(nullptr) & NODESTATUS_READONLY);
    }
    EXPECT_EQ(f->NewFolder(p, String("n"), nullptr), EDIT_NEWFOLDER_REFUSED);
    EXPECT_EQ(root->MoveHere(l, p, nullptr, nullptr), EDIT_MOVE_REFUSED);
    EXPECT_EQ(f->CopyHere(otherFolder, p, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
    EXPECT_EQ(otherFolder->MoveHere(l, p, nullptr, nullptr), EDIT_MOVE_REFUSED) << "another catalog";
  }
  EXPECT_EQ(f->Message(HANDLER_ID_CATALOG, CATALOGMSG_KIND, CATALOGMSG_ADD_LINK, otherFolder.Get()), EDIT_COPY_REFUSED);
  // Copying out of it makes a new link in the other catalog.
  EXPECT_EQ(All3([&](Int32 p) { return otherFolder->CopyHere(l, p, nullptr, nullptr, nullptr); }), EDIT_OK);
  NodeRef copy = Find("catalog://Writable.catqz/o/l");
  ASSERT_TRUE(copy);
  EXPECT_EQ(Target(copy), "file://localhost/nowhere");
  EXPECT_EQ(URLOf(l.Get()), "catalog://sys.catqz/f/l");
}

// --- catalog files ---

TEST_F(Catalog, AMadeCatalogReadsBackWithItsEntriesAndTargets)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("p.libqz"), "preset://p.libqz", {{"m", true}, {"m/red"}}));
  fs::create_directories((files_ + String("lib") + String("docs")).ToUtf8());
  orxtest::WriteFile(files_ + String("lib") + String("docs") + String("a.txt"), "a");
  orxtest::WriteFile(files_ + String("lone.txt"), "b");
  std::vector<std::pair<std::string, std::string>> before;
  {
    Start();
    LoadLibraries(true);
    NodeRef catalog = NewCatalog("Round");
    ASSERT_TRUE(catalog);
    Cat(catalog)->GetLibrary()->SetCatalogString(String(FileURL(files_ + String("lib")).c_str()));
    NodeRef folder;
    ASSERT_EQ(catalog->NewFolder(EDITPHASE_DO, String("Stuff"), &folder), EDIT_OK);
    for (const std::string& url : {FileURL(files_ + String("lib") + String("docs")),
                                   FileURL(files_ + String("lib") + String("docs") + String("a.txt")),
                                   FileURL(files_ + String("lone.txt")), std::string("preset://p.libqz/m/red")}) {
      NodeRef target = Find(url);
      ASSERT_TRUE(target) << url;
      EXPECT_EQ(folder->Message(HANDLER_ID_CATALOG, CATALOGMSG_KIND, CATALOGMSG_ADD_LINK, target.Get()), EDIT_OK);
    }
    for (NodeRef c = folder->GetDownNode(); c; c = c->GetNextNode())
      before.emplace_back(URLOf(c.Get()), Target(c));
    EXPECT_TRUE(Cat(folder->GetDownNode())->GetStatus() & NODESTATUS_RELATIVE_LINK);
    Stop();
  }
  ASSERT_EQ(before.size(), 4u);
  ResetCategoryOnceFlagsForTests(); // a new run lists its volumes anew
  Start();
  NodeRef folder = Find("catalog://Round.catqz/Stuff");
  ASSERT_TRUE(folder);
  std::vector<std::pair<std::string, std::string>> after;
  for (NodeRef c = folder->GetDownNode(); c; c = c->GetNextNode())
    after.emplace_back(URLOf(c.Get()), Target(c));
  NodeRef docs = folder->GetDownNode();
  EXPECT_EQ(docs->GetStatus() & (NODESTATUS_FOLDER | NODESTATUS_LINK), NODESTATUS_FOLDER | NODESTATUS_LINK)
      << "read back as a folder link, whether it resolves or not";
  EXPECT_EQ(after, before);
  EXPECT_TRUE(Resolved(docs));
  EXPECT_EQ(docs->GetInfo(nullptr) & NODESTATUS_FOLDER, NODESTATUS_FOLDER) << "a folder link";

  // The target folder is renamed on disk: unresolved once the listing saw it, resolved when back.
  fs::rename((files_ + String("lib") + String("docs")).ToUtf8(), (files_ + String("lib") + String("moved")).ToUtf8());
  Find(FileURL(files_ + String("lib")))->LoadChildren();
  g_now += 2000;
  EXPECT_FALSE(Cat(docs)->GetTarget());
  EXPECT_FALSE(Resolved(docs));
  EXPECT_EQ(Target(docs), before[0].second) << "the link keeps its URL";
  fs::rename((files_ + String("lib") + String("moved")).ToUtf8(), (files_ + String("lib") + String("docs")).ToUtf8());
  g_now += 2000;
  Find(FileURL(files_ + String("lib")))->LoadChildren();
  EXPECT_TRUE(Cat(docs)->GetTarget());
  EXPECT_TRUE(Resolved(docs));
}

TEST_F(Catalog, AStoredNameWithASlashGetsAValidURL)
{
  ASSERT_TRUE(MakeCatalog(UserFolder() + String("odd.catqz"), "catalog://a/b", {{"x", false, "file:///x"}}, "a/b"));
  ASSERT_TRUE(MakeCatalog(UserFolder() + String("plain.catqz"), "catalog://plain", {}, "Plain"));
  Start();
  NodeRef category = GetRootNode(ROOT_CATALOG);
  std::vector<std::string> urls;
  for (NodeRef c = category->GetDownNode(); c; c = c->GetNextNode())
    urls.push_back(URLOf(c.Get()));
  std::sort(urls.begin(), urls.end());
  EXPECT_EQ(urls, (std::vector<std::string>{"catalog://a_b", "catalog://plain"}));
  EXPECT_TRUE(Find("catalog://a_b/x"));
  for (const std::string& u : urls)
    EXPECT_TRUE(IsValidCatalogURL(String(u.c_str())));
}

TEST_F(Catalog, FoldersCarryTheFolderFlagOfTheStorage)
{
  Start();
  NodeRef catalog = NewCatalog("Flags");
  NodeRef f;
  ASSERT_EQ(All3([&](Int32 p) { return catalog->NewFolder(p, String("f"), p == 2 ? &f : nullptr); }), EDIT_OK);
  BrowserDatabaseItem* item = Cat(catalog)->GetLibrary()->OpenItem(String("catalog://Flags.catqz/f"));
  ASSERT_TRUE(item);
  EXPECT_EQ(item->GetItemFlags(), dbitem::kFolderFlag);
  item->Close();
  Stop();
  Start();
  NodeRef back = Find("catalog://Flags.catqz/f");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->GetInfo(nullptr), CATALOGSTATUS_FOLDER);
}

TEST_F(Catalog, TheFileHandlerIdentifiesCatalogFilesInAnyCaseAsTheRegistryFindsThem)
{
  ASSERT_TRUE(MakeCatalog(UserFolder() + String("Upper.CATQZ"), "catalog://Upper.CATQZ", {}, "Upper"));
  Start();
  EXPECT_TRUE(Find("catalog://Upper.CATQZ")) << "the registry finds it";
  BrowserCatalogFilePlugin* h = GetCatalogFilePlugin();
  BrowserURL upper(UserFolder() + String("Upper.CATQZ"));
  BrowserURL lower(String("file:///a/b.catqz"));
  BrowserURL other(String("file:///a/b.libqz"));
  EXPECT_TRUE(h->Identify(upper, nullptr, 0, 0));
  EXPECT_TRUE(h->Identify(lower, nullptr, 0, 0));
  EXPECT_FALSE(h->Identify(other, nullptr, 0, 0));
  EXPECT_TRUE(h->Identify(lower, "dbfh....", 8, 0));
  EXPECT_FALSE(h->Identify(lower, "dbfx....", 8, 0));
  EXPECT_FALSE(h->Identify(lower, "db", 2, 0));
  EXPECT_EQ(BrowserCatalogFilePlugin::GetIconId(&lower), 17);
  BrowserURL cat(String("catalog://x"));
  EXPECT_EQ(BrowserCatalogFilePlugin::GetIconId(&cat), 6);
  BrowserPluginInterface* found = nullptr;
  EXPECT_TRUE(FindPluginForURL(upper, false, &found));
  EXPECT_EQ(found, h);
}

TEST_F(Catalog, DamagedCatalogFilesLoadWhatIsReadableAndAreNeverWritten)
{
  const Filename file = UserFolder() + String("d.catqz");
  ASSERT_TRUE(MakeCatalog(file, "catalog://d.catqz",
                          {{"f", true}, {"f/a", false, "file:///a"}, {"f/b", false, "file:///b"}}, "D"));
  const std::string whole = orxtest::ReadFile(file);
  ASSERT_GT(whole.size(), 64u);
  std::vector<std::string> damaged;
  // (An empty file holds nothing to lose: it is made a catalog anew, as an empty library is.)
  for (std::size_t cut : {std::size_t(3), std::size_t(12), whole.size() / 3, whole.size() / 2,
                          whole.size() - 5})
    damaged.push_back(whole.substr(0, cut));
  for (std::size_t at : {std::size_t(20), whole.size() / 2, whole.size() - 10}) {
    std::string flipped = whole;
    flipped[at] = char(flipped[at] ^ 0x5A);
    damaged.push_back(flipped);
  }
  std::string torn = whole;
  torn.replace(whole.size() / 2, 16, 16, '\0');
  damaged.push_back(torn);
  for (const std::string& bytes : damaged) {
    ASSERT_TRUE(orxtest::WriteFile(file, bytes));
    Start();
    NodeRef category = GetRootNode(ROOT_CATALOG);
    for (NodeRef c = category->GetDownNode(); c; c = c->GetNextNode())
      for (NodeRef d = c->GetDownNode(); d; d = d->GetNextNode()) {
        Target(d);
        d->GetInfo(nullptr);
      }
    Stop();
    EXPECT_EQ(orxtest::ReadFile(file), bytes) << "listing a damaged catalog never writes it (" << bytes.size() << ")";
  }
}

// --- favorites and recent ---

TEST_F(Catalog, FavoritesOfFoldersOnDiskAndTheRecentListPersist)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("p.libqz"), "preset://p.libqz", {{"a"}, {"b"}}));
  {
    Start();
    LoadLibraries(true);
    NodeRef folder = DiskFolder("fav");
    ASSERT_TRUE(folder);
    NodeRef favorites = GetRootNode(ROOT_FAVORITES);
    ASSERT_EQ(All3([&](Int32 p) { return favorites->CopyHere(folder, p, nullptr, nullptr, nullptr); }), EDIT_OK);
    NodeRef link = BrowserContentNode::FromTree(favorites->GetLastChild());
    ASSERT_TRUE(Cat(link));
    EXPECT_EQ(link->GetInfo(nullptr) & (NODESTATUS_FOLDER | NODESTATUS_LINK), NODESTATUS_FOLDER | NODESTATUS_LINK);
    EXPECT_EQ(Cat(link)->GetIconId(0), ICON_CATALOG_FAVORITE_FOLDER);
    EXPECT_EQ(Cat(link)->GetTarget(), folder);
    NodeRef group;
    ASSERT_EQ(All3([&](Int32 p) { return favorites->NewFolder(p, String("Group"), p == 2 ? &group : nullptr); }),
              EDIT_OK);
    ASSERT_TRUE(group);
    EXPECT_EQ(All3([&](Int32 p) { return group->CopyHere(Find("preset://p.libqz/a"), p, nullptr, nullptr, nullptr); }),
              EDIT_OK);
    EXPECT_TRUE(AddRecent(Find("preset://p.libqz/a")));
    EXPECT_TRUE(AddRecent(Find("preset://p.libqz/b")));
    EXPECT_FALSE(AddRecent(Find("preset://p.libqz/a"))) << "there already";
    Stop();
  }
  ResetCategoryOnceFlagsForTests();
  Start();
  NodeRef favorites = GetRootNode(ROOT_FAVORITES);
  EXPECT_EQ(ChildNames(favorites), (std::vector<std::string>{"fav", "Group"}));
  NodeRef link = favorites->GetDownNode();
  EXPECT_EQ(Target(link), FileURL(files_ + String("fav")));
  EXPECT_TRUE(Resolved(link));
  EXPECT_EQ(Target(Find("favorite://Group/a")), "preset://p.libqz/a");
  std::vector<std::string> recent;
  for (NodeRef c = GetRootNode(ROOT_RECENT)->GetDownNode(); c; c = c->GetNextNode())
    recent.push_back(Target(c));
  EXPECT_EQ(recent, (std::vector<std::string>{"preset://p.libqz/a", "preset://p.libqz/b"}));
}

TEST_F(Catalog, TheRecentListDropsItsOldestEntryWithItsItem)
{
  std::vector<TestItem> items;
  for (int i = 0; i < RECENT_LIMIT + 3; ++i)
    items.emplace_back("p" + std::to_string(i));
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("p.libqz"), "preset://p.libqz", items));
  Start();
  LoadLibraries(true);
  for (int i = 0; i < RECENT_LIMIT + 3; ++i)
    ASSERT_TRUE(AddRecent(Find("preset://p.libqz/p" + std::to_string(i))));
  const auto names = ChildNames(GetRootNode(ROOT_RECENT));
  EXPECT_LE(names.size(), std::size_t(RECENT_LIMIT + 1));
  EXPECT_EQ(names.back(), "p" + std::to_string(RECENT_LIMIT + 2));
  BrowserDatabaseItem* gone = BrowserDatabase::GetLibrary(LIBRARY_MAIN)->OpenItem(String("recent://p0"));
  EXPECT_FALSE(gone) << "the dropped entry's item goes too";
  if (gone)
    gone->Close();
}

// --- links added in a batch: kept compact, made when anyone looks ---

struct Shown
{
  std::string part, name, target;
  UInt32 status;
  bool operator==(const Shown&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Shown& s)
{
  return o << s.part << " '" << s.name << "' -> " << s.target << " status " << std::hex << s.status << std::dec;
}

// The children as a view sees them, each URL without the catalog's own.
std::vector<Shown> Seen(const NodeRef& catalog)
{
  const std::string base = URLOf(catalog.Get()) + "/";
  std::vector<Shown> out;
  for (NodeRef c = BrowserContentNode::FromTree(catalog->GetFirstChild()); c; c = c->GetNextNode()) {
    std::string url = URLOf(c.Get());
    if (url.compare(0, base.size(), base) == 0)
      url.erase(0, base.size());
    out.push_back({url, c->GetName().ToUtf8(), Cat(c)->GetTargetURLText().ToUtf8(), c->GetStatus()});
  }
  return out;
}

Int32 CountCall(void* data, Int32, Int32 count, Int64, Int32)
{
  *static_cast<Int32*>(data) += count;
  return 0;
}

// The same links, one catalog by make link as it was, the other by a batch that waits until the
// children are looked at: names (clashes in any letter case, invalid characters, names that are
// no URL part), targets, flags and order come out the same.
TEST_F(Catalog, LinksOfABatchAreTheLinksMadeOneByOne)
{
  Start();
  NodeRef eager = NewCatalog("Eager");
  NodeRef owed = NewCatalog("Owed");
  NodeRef dir = DiskFolder("d");
  ASSERT_TRUE(eager && owed && dir);
  struct Add
  {
    const char16_t* folder; // null: a folder node linked as PrepareLink works it out
    const char16_t* name;
  };
  const Add adds[] = {{u"file://localhost/x/", u"a.txt"}, {u"file://localhost/y/", u"a.txt"},
                      {u"file://localhost/y/", u"A.TXT"}, {nullptr, nullptr},
                      {u"file://localhost/x/", u"b:c"},   {u"file://localhost/x/", u"."},
                      {u"file://localhost/x/", u"link"},  {u"file://localhost/y/", u"d"}};
  std::vector<CatalogNode::LinkSource> sources;
  CatalogNode::LinkBatch batch;
  for (const Add& a : adds) {
    CatalogNode::LinkSource s;
    if (!a.folder) {
      ASSERT_TRUE(CatalogNode::PrepareLink(eager, dir, &s));
      sources.push_back(s);
      batch.Prepared(std::move(s));
      continue;
    }
    s.name = String(std::u16string_view(a.name));
    s.targetURL = String(std::u16string(a.folder) + a.name);
    sources.push_back(s);
    batch.Folder(a.folder);
    batch.Name(a.name);
  }
  ASSERT_EQ(CatalogNode::AddPreparedLinks(eager, sources.data(), Int32(sources.size()), false), Int32(std::size(adds)));
  ASSERT_EQ(CatalogNode::AddLinkBatch(owed, &batch, false), Int32(std::size(adds)));
  EXPECT_TRUE(batch.Empty());
  const std::vector<Shown> want = Seen(eager);
  ASSERT_EQ(want.size(), std::size(adds));
  EXPECT_EQ(want[1].part, "a.txt.1");
  EXPECT_EQ(want[2].part, "A.TXT.2");
  EXPECT_EQ(Seen(owed), want);
  EXPECT_EQ(Target(Find("catalog://Owed.catqz/d")), FileURL(files_ + String("d")));
}

// Every way to a catalog's children makes the links it owes first, so no one sees a child missing
// or out of its place: the first and last child, the next of the last, the children's version, a
// lookup by URL in a row wide enough to be indexed, a link made after the batch, and the count of
// a delete.
TEST_F(Catalog, OwedLinksAreMadeBeforeAnyoneSeesTheChildren)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("p.libqz"), "preset://p.libqz", {{"a", false, "1"}}));
  Start();
  LoadLibraries(true);
  NodeRef catalog = NewCatalog("Seen");
  NodeRef a = Find("preset://p.libqz/a");
  ASSERT_TRUE(catalog && a);
  auto batchOf = [&](std::initializer_list<const char16_t*> names) {
    CatalogNode::LinkBatch b;
    b.Folder(u"file://localhost/f/");
    for (const char16_t* n : names)
      b.Name(n);
    return CatalogNode::AddLinkBatch(catalog, &b, true);
  };
  auto last = [&] { return URLOf(BrowserContentNode::FromTree(catalog->GetLastChild()).Get()); };

  ASSERT_EQ(batchOf({u"one", u"two"}), 2);
  EXPECT_EQ(URLOf(BrowserContentNode::FromTree(catalog->GetFirstChild()).Get()), "catalog://Seen.catqz/one");
  ASSERT_EQ(batchOf({u"three"}), 1);
  EXPECT_EQ(last(), "catalog://Seen.catqz/three");
  // A link made by make link comes after those added before it.
  ASSERT_EQ(batchOf({u"four"}), 1);
  ASSERT_TRUE(CatalogNode::AddLink(catalog, a, false));
  EXPECT_EQ(ChildNames(catalog), (std::vector<std::string>{"one", "two", "three", "four", "a"}));
  // A walk that reached the last child goes on to those added since.
  NodeRef at = BrowserContentNode::FromTree(catalog->GetLastChild());
  ASSERT_EQ(batchOf({u"five", u"six"}), 2);
  at = at->GetNextNode();
  ASSERT_TRUE(at);
  EXPECT_EQ(URLOf(at.Get()), "catalog://Seen.catqz/five");
  EXPECT_EQ(URLOf(at->GetNextNode().Get()), "catalog://Seen.catqz/six");

  // A row wide enough to be indexed, looked up until the index stands; then more join it.
  CatalogNode::LinkBatch wide;
  wide.Folder(u"file://localhost/w/");
  std::vector<std::u16string> names;
  for (int i = 0; i < 64; ++i)
    names.push_back(u"w" + std::u16string(1, char16_t(u'A' + i % 26)) + std::u16string(1, char16_t(u'0' + i / 26)));
  for (const std::u16string& n : names)
    wide.Name(n);
  ASSERT_EQ(CatalogNode::AddLinkBatch(catalog, &wide, false), 64);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(Find("catalog://Seen.catqz/wA0"));
  // What is kept by the children's version sees the links added since.
  const UInt32 version = catalog->GetChildrenVersion();
  ASSERT_EQ(batchOf({u"late"}), 1);
  EXPECT_NE(catalog->GetChildrenVersion(), version);
  NodeRef late = Find("catalog://Seen.catqz/late");
  ASSERT_TRUE(late);
  EXPECT_EQ(Cat(late)->GetTargetURLText().ToUtf8(), "file://localhost/f/late");
  EXPECT_EQ(late->GetStatus() & NODESTATUS_UNRESOLVED, NODESTATUS_UNRESOLVED) << "not looked up yet";

  // A delete counts the owed links and takes them all.
  ASSERT_EQ(batchOf({u"seven"}), 1);
  Int32 counted = 0;
  ASSERT_EQ(catalog->Delete(EDITPHASE_PREPARE, CountCall, &counted), EDIT_OK);
  EXPECT_EQ(counted, 1 + 7 + 64 + 1 + 1) << "the catalog and every link";
  ASSERT_EQ(batchOf({u"eight"}), 1);
  ASSERT_EQ(catalog->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  EXPECT_FALSE(Find("catalog://Seen.catqz"));
  EXPECT_FALSE(catalog->GetFirstChild());
  // A catalog that is gone takes no links.
  EXPECT_EQ(batchOf({u"nine"}), 0);
  EXPECT_FALSE(catalog->GetFirstChild());
}

} // namespace
