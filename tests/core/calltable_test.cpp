// Every entry of every published table, called by its place in the table as another plug-in calls
// it, with a check of what it did: two entries swapped in the table make one of these fail.
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "contenttest.h"
#include "core/calltable.h"
#include "handlertest.h"
#include "treetest.h"

using namespace contenttest;

namespace {

// Hands out the entries of one table by member and remembers which places were used, so that a test
// can tell that it called every entry.
template <typename Table>
class Entries
{
public:
  explicit Entries(const Table* table) : table_(table) {}
  template <typename F>
  F operator()(F Table::* member)
  {
    const auto* base = reinterpret_cast<const char*>(table_);
    used_.insert(std::size_t(reinterpret_cast<const char*>(&(table_->*member)) - base) / sizeof(void*));
    return table_->*member;
  }
  std::vector<std::size_t> Unused() const
  {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < sizeof(Table) / sizeof(void*); ++i)
      if (!used_.count(i))
        out.push_back(i);
    return out;
  }

private:
  const Table* table_;
  std::set<std::size_t> used_;
};

#define MAIN(name) main_(&OrxBrowserMainTable::name)
#define URL(name) url(&OrxBrowserURLTable::name)
#define TREE(name) tree(&OrxBrowserTreeTable::name)
#define NODE(name) node(&OrxBrowserContentTable::name)
#define HANDLER(name) handler(&OrxBrowserHandlerTable::name)

OrxBrowserURL* O(BrowserURL& u) { return reinterpret_cast<OrxBrowserURL*>(&u); }
OrxBrowserNode* O(BrowserContentNode* n) { return reinterpret_cast<OrxBrowserNode*>(n); }
OrxBrowserNode* O(const NodeRef& n) { return O(n.Get()); }
OrxBrowserHandler* O(BrowserPluginInterface* h) { return reinterpret_cast<OrxBrowserHandler*>(h); }
// A node answered by an entry, as the reference the caller owns.
NodeRef Own(OrxBrowserNode* n) { return NodeRef::Adopt(reinterpret_cast<BrowserContentNode*>(n)); }
std::string Text(OrxBrowserNode* n) { return URLOf(reinterpret_cast<BrowserContentNode*>(n)); }

class PublishedTable : public ContentTest
{
protected:
  void SetUp() override
  {
    ContentTest::SetUp();
    ASSERT_TRUE(MakeLibrary(UserFolder() + String("table.libqz"), "preset://table.libqz",
                            {{"Folder", true},
                             {"Folder/First preset", false, "first data", 5, "First shown"},
                             {"Folder/Second preset", false, "second", 7},
                             {"Other folder", true}}));
    Start();
    ASSERT_TRUE(LoadLibraries(true));
    lib_ = GetBrowserLibrary();
    index_ = BrowserDatabase::FindLibraryForURL(String("preset://table.libqz"))->GetSlot();
    ASSERT_GE(index_, 2);
  }

  BrowserDatabase* Library() { return BrowserDatabase::GetLibrary(index_); }

  const OrxBrowserLibrary* lib_ = nullptr;
  Int32 index_ = -1;
};

// --- URL table ---

TEST_F(PublishedTable, UrlEntries)
{
  Entries url(lib_->url);
  ASSERT_EQ(lib_->header.urlSize, Int32(sizeof(BrowserURL)));
  alignas(BrowserURL) unsigned char storageA[sizeof(BrowserURL)], storageB[sizeof(BrowserURL)];
  auto* a = reinterpret_cast<OrxBrowserURL*>(storageA);
  auto* b = reinterpret_cast<OrxBrowserURL*>(storageB);
  URL(Init)(a);
  URL(Init)(b);
  EXPECT_FALSE(URL(Content)(a));
  const String text("preset://table.libqz/Folder/preset.name.txt");
  URL(SetString)(a, &text);
  EXPECT_TRUE(URL(Content)(a));
  String s;
  URL(GetString)(a, &s);
  EXPECT_EQ(s, text);
  URL(GetFileString)(a, &s);
  EXPECT_EQ(s, String("preset.name.txt"));
  URL(GetSuffix)(a, &s);
  EXPECT_EQ(s, String("txt"));
  const String txt("TXT"), name("name");
  EXPECT_TRUE(URL(CheckSuffix)(a, &txt));
  EXPECT_FALSE(URL(CheckSuffix)(a, &name));
  EXPECT_FALSE(URL(IsFile)(a));
  Filename f;
  EXPECT_FALSE(URL(GetFilename)(a, &f));

  URL(GetDirectory)(a, b);
  URL(GetString)(b, &s);
  EXPECT_EQ(s, String("preset://table.libqz/Folder"));
  const String part("Appended part");
  URL(AppendName)(b, &part);
  URL(GetString)(b, &s);
  EXPECT_EQ(s, String("preset://table.libqz/Folder/Appended part"));
  URL(CopyFrom)(b, a);
  URL(GetString)(b, &s);
  EXPECT_EQ(s, text);

  const Filename file(String("/some/where/picture.png"));
  URL(SetFilename)(b, &file);
  EXPECT_TRUE(URL(IsFile)(b));
  ASSERT_TRUE(URL(GetFilename)(b, &f));
  EXPECT_EQ(f, file);
  URL(GetString)(b, &s);
  EXPECT_EQ(s, BrowserURL(file).GetString());

  URL(Free)(a);
  URL(Free)(b);
  const Int64 before = orxhost::LiveBlockCount();
  URL(Init)(a);
  URL(SetString)(a, &text);
  URL(Free)(a);
  EXPECT_EQ(orxhost::LiveBlockCount(), before) << "Free ends what Init and the setters made";
  EXPECT_EQ(url.Unused(), std::vector<std::size_t>{});
}

// --- tree-node table ---

TEST_F(PublishedTable, TreeEntries)
{
  Entries tree(lib_->tree);
  NodeRef recent = GetRootNode(ROOT_RECENT);
  Ref<treetest::TestNode> parent = treetest::Make("parent");
  Ref<treetest::TestNode> a = treetest::Make("a"), b = treetest::Make("b"), c = treetest::Make("c");
  auto insert = [&](BrowserContentNode* n, const NodeRef& under) {
    under->AddReference(); // the entry takes the parent's reference
    return TREE(InsertUnder)(O(n), O(under));
  };
  ASSERT_TRUE(insert(parent.Get(), recent));
  for (BrowserContentNode* n : {a.Get(), b.Get(), c.Get()})
    ASSERT_TRUE(insert(n, NodeRef(parent.Get())));
  EXPECT_EQ(ChildNames(NodeRef(parent.Get())), (std::vector<std::string>{"a", "b", "c"}));

  EXPECT_EQ(Own(TREE(GetDown)(O(parent.Get()))).Get(), a.Get());
  EXPECT_EQ(Own(TREE(GetNext)(O(a.Get()))).Get(), b.Get());
  EXPECT_EQ(Own(TREE(GetNext)(O(c.Get()))).Get(), nullptr);
  EXPECT_EQ(Own(TREE(GetPrev)(O(c.Get()))).Get(), b.Get());
  EXPECT_EQ(Own(TREE(GetPrev)(O(a.Get()))).Get(), nullptr);
  EXPECT_EQ(Own(TREE(GetUp)(O(b.Get()))).Get(), parent.Get());
  EXPECT_EQ(Own(TREE(GetUp)(O(recent))).Get(), nullptr) << "a top-level node has no parent";
  EXPECT_EQ(Own(TREE(GetDown)(O(c.Get()))).Get(), nullptr);

  TREE(Remove)(O(b.Get()));
  EXPECT_EQ(ChildNames(NodeRef(parent.Get())), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Own(TREE(GetNext)(O(a.Get()))).Get(), c.Get());
  TREE(Remove)(O(parent.Get()));
  EXPECT_EQ(tree.Unused(), std::vector<std::size_t>{});
}

// --- content-node table ---

// Answers every operation with a value of its own and records what it was asked.
class RecordingNode : public treetest::TestNode
{
public:
  explicit RecordingNode(BrowserPluginInterface* handler) : TestNode("recorder", NODESTATUS_FOLDER), handler_(handler) {}
  Int32 GetNodeType() override { return 77; }
  BrowserPluginInterface* GetPluginInterface(UInt32 flags) override
  {
    asked = "handler " + std::to_string(flags);
    return handler_;
  }
  String GetName() override { return String("Recorded name"); }
  Bool GetURL(BrowserURL* out, UInt32 flags) override
  {
    out->SetString(String(("catalog://recorded/" + std::to_string(flags)).c_str()));
    return true;
  }
  Bool GetFileTime(Int32 which, DateTime* out) override
  {
    *out = DateTime{2001, UInt16(which + 1), 3, 4, 5, 6};
    return true;
  }
  UInt32 GetInfo(Int64* size) override
  {
    if (size)
      *size = 1234;
    return 0x51;
  }
  BaseBitmap* GetIcon(UInt32 flags, Int32 size) override
  {
    BaseBitmap* bmp = OrxNewObj(BaseBitmap);
    if (bmp)
      bmp->Init(size, Int32(flags) + 1);
    return bmp;
  }
  Bool LoadChildren() override
  {
    asked = "load children";
    return true;
  }
  Int32 Message(Int32 id, Int32 kind, Int32 op, void*) override { return id * 100 + kind * 10 + op; }
  Int32 Rename(Int32 phase, const String& name) override
  {
    asked = "rename " + std::to_string(phase) + " " + name.ToUtf8();
    return 11;
  }
  Int32 NewFolder(Int32 phase, const String& name, NodeRef* out) override
  {
    asked = "new folder " + std::to_string(phase) + " " + name.ToUtf8();
    *out = treetest::Make("made folder");
    return 12;
  }
  Int32 MoveHere(NodeRef moved, Int32 phase, EditCallback callback, void* data) override
  {
    asked = "move " + moved->GetName().ToUtf8() + " " + std::to_string(phase);
    return callback(data, phase, 1, 13, 0);
  }
  Int32 CopyHere(NodeRef source, Int32 phase, const String* name, EditCallback callback, void* data) override
  {
    asked = "copy " + source->GetName().ToUtf8() + " " + std::to_string(phase) + " " + name->ToUtf8();
    return callback(data, phase, 1, 14, 0);
  }
  Int32 Delete(Int32 phase, EditCallback callback, void* data) override
  {
    asked = "delete " + std::to_string(phase);
    return callback(data, phase, 1, 15, 0);
  }
  String* GetTypeName(String* out, Int32 mode) override
  {
    *out = String(("type " + std::to_string(mode)).c_str());
    return out;
  }

  std::string asked;

private:
  BrowserPluginInterface* handler_;
};

TEST_F(PublishedTable, ContentNodeEntries)
{
  Entries node(lib_->content);
  handlertest::TestHandler handler(5, "rec", "");
  Ref<RecordingNode> rec = MakeRef<RecordingNode>(&handler);
  OrxBrowserNode* n = O(rec.Get());
  const Int64 before = orxhost::LiveBlockCount();

  // The services for nodes of other plug-ins do not exist yet: they make nothing.
  const String text("x");
  EXPECT_EQ(NODE(CreateSDKNode)(nullptr, nullptr, n), nullptr);
  EXPECT_EQ(NODE(CreateCategoryNode)(&text, &text, 3, n), nullptr);
  NODE(RemoveSDKNodes)(nullptr);
  EXPECT_EQ(NODE(GetSDKNodeData)(n), nullptr);
  EXPECT_EQ(orxhost::LiveBlockCount(), before);

  EXPECT_EQ(NODE(GetNodeType)(n), 77);
  EXPECT_EQ(NODE(GetPluginInterface)(n, 6), O(&handler));
  EXPECT_EQ(rec->asked, "handler 6");
  String s;
  EXPECT_TRUE(NODE(GetName)(n, &s));
  EXPECT_EQ(s, String("Recorded name"));
  BrowserURL u;
  EXPECT_TRUE(NODE(GetURL)(n, O(u), 9));
  EXPECT_EQ(u.GetString(), String("catalog://recorded/9"));
  DateTime t{};
  EXPECT_TRUE(NODE(GetFileTime)(n, FILETIME_MODIFIED, &t));
  EXPECT_EQ(t.month, FILETIME_MODIFIED + 1);
  Int64 size = 0;
  EXPECT_EQ(NODE(GetInfo)(n, &size), 0x51u);
  EXPECT_EQ(size, 1234);
  BaseBitmap* icon = NODE(GetIcon)(n, 4, 32);
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->GetWidth(), 32);
  EXPECT_EQ(icon->GetHeight(), 5);
  OrxDeleteObj(icon);
  EXPECT_TRUE(NODE(LoadChildren)(n));
  EXPECT_EQ(rec->asked, "load children");
  EXPECT_EQ(NODE(Message)(n, 1, 2, 3, nullptr), 123);
  const String name("New name");
  EXPECT_EQ(NODE(Rename)(n, EDITPHASE_DO, &name), 11);
  EXPECT_EQ(rec->asked, "rename 2 New name");
  OrxBrowserNode* made = nullptr;
  EXPECT_EQ(NODE(NewFolder)(n, EDITPHASE_PREPARE, &name, &made), 12);
  EXPECT_EQ(rec->asked, "new folder 1 New name");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(Text(made), "catalog://test/made folder");
  lib_->header.releaseNode(made);

  // The edit entries take the node they are given and pass the callback on.
  static std::vector<Int64> reported;
  reported.clear();
  OrxBrowserEditCallback cb = [](void* data, Int32, Int32, Int64 sz, Int32) {
    reported.push_back(sz);
    return *static_cast<Int32*>(data);
  };
  Int32 answer = 40;
  Ref<treetest::TestNode> other = treetest::Make("other");
  const UInt32 refs = other->GetReferenceCount();
  other->AddReference();
  EXPECT_EQ(NODE(MoveHere)(n, O(other.Get()), EDITPHASE_DO, cb, &answer), 40);
  EXPECT_EQ(rec->asked, "move other 2");
  other->AddReference();
  answer = 41;
  EXPECT_EQ(NODE(CopyHere)(n, O(other.Get()), EDITPHASE_ASK, &name, cb, &answer), 41);
  EXPECT_EQ(rec->asked, "copy other 0 New name");
  EXPECT_EQ(other->GetReferenceCount(), refs) << "moved and copied nodes are taken";
  answer = 42;
  EXPECT_EQ(NODE(Delete)(n, EDITPHASE_DO, cb, &answer), 42);
  EXPECT_EQ(rec->asked, "delete 2");
  EXPECT_EQ(reported, (std::vector<Int64>{13, 14, 15}));
  EXPECT_TRUE(NODE(GetTypeName)(n, &s, 2));
  EXPECT_EQ(s, String("type 2"));

  // A node of the browser's own.
  NodeRef preset = Find("preset://table.libqz/Folder/First preset");
  ASSERT_TRUE(preset);
  EXPECT_EQ(NODE(GetNodeType)(O(preset)), NODETYPE_PRESET);
  EXPECT_TRUE(NODE(GetName)(O(preset), &s));
  EXPECT_EQ(s, String("First shown"));
  EXPECT_EQ(node.Unused(), std::vector<std::size_t>{});
}

// --- handler table ---

// Answers every operation with a value of its own and records what it was asked.
class RecordingHandler : public handlertest::TestHandler
{
public:
  RecordingHandler() : TestHandler(4711, "rec", "") {}
  void* OpenPreviewData(Int32 flags, NodeRef node, BrowserURL* url, Int32* qualities) override
  {
    asked = "open " + std::to_string(flags) + " " + URLOf(node.Get()) + " " + url->GetString().ToUtf8();
    if (qualities)
      *qualities = 88;
    return &previewData;
  }
  void FreePreviewData(void* data) override { asked = data == &previewData ? "free data" : "free other"; }
  BaseBitmap* GetPreviewBitmap(void* data, Int32 width, Int32 height, Int32 flags) override
  {
    asked = "preview " + std::to_string(width) + "x" + std::to_string(height) + " " + std::to_string(flags);
    return data == &previewData ? Bitmap(width, height) : nullptr;
  }
  BaseBitmap* GetIcon(NodeRef, BrowserURL*, Int32 size) override { return Bitmap(size, 1); }
  PreviewDialog* CreatePreviewDialog(NodeRef node, Int32 page) override
  {
    asked = "dialog " + URLOf(node.Get()) + " " + std::to_string(page);
    return reinterpret_cast<PreviewDialog*>(&dialog);
  }
  Int32 DestroyPreviewDialog(NodeRef, PreviewDialog* d) override
  {
    return d == reinterpret_cast<PreviewDialog*>(&dialog) ? 31 : -31;
  }
  Bool Execute(NodeRef node, BrowserURL* url, Int32 flags) override
  {
    asked = "execute " + URLOf(node.Get()) + " " + url->GetString().ToUtf8() + " " + std::to_string(flags);
    return true;
  }

  static BaseBitmap* Bitmap(Int32 w, Int32 h)
  {
    BaseBitmap* bmp = OrxNewObj(BaseBitmap);
    if (bmp)
      bmp->Init(w, h);
    return bmp;
  }

  std::string asked;
  int previewData = 0, dialog = 0;
};

TEST_F(PublishedTable, HandlerEntries)
{
  Entries handler(lib_->handler);
  RecordingHandler rec;
  OrxBrowserHandler* h = O(&rec);
  NodeRef preset = Find("preset://table.libqz/Folder/First preset");
  ASSERT_TRUE(preset);
  OrxBrowserNode* n = O(preset);
  BrowserURL file(String("file:///some/where/picture.rec"));

  // Handlers of other plug-ins need the bridge, which does not exist yet.
  EXPECT_EQ(HANDLER(CreateBridge)(nullptr, nullptr), nullptr);
  HANDLER(DeleteHandler)(nullptr);

  String s;
  EXPECT_EQ(HANDLER(GetPluginID)(h, &s), 4711);
  EXPECT_EQ(s, String("handler 4711"));
  EXPECT_TRUE(HANDLER(Identify)(h, O(file), nullptr, 0, 0));
  BrowserURL other(String("file:///some/where/picture.png"));
  EXPECT_FALSE(HANDLER(Identify)(h, O(other), nullptr, 0, 0));
  EXPECT_TRUE(HANDLER(GetTypeName)(h, &s, n, O(file), TYPENAME_DETAILED));
  EXPECT_EQ(s, String("rec detailed"));
  Int32 count = 0;
  String* names = HANDLER(GetTypeNames)(h, 0, &count);
  ASSERT_NE(names, nullptr);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(names[0], String("rec"));
  lib_->header.freeTypeNames(names);

  Int32 qualities = 0;
  void* data = HANDLER(OpenPreviewData)(h, 3, n, O(file), &qualities);
  EXPECT_EQ(data, &rec.previewData);
  EXPECT_EQ(qualities, 88);
  // The empty host of the given URL reaches the handler as the module's own form.
  EXPECT_EQ(rec.asked, "open 3 preset://table.libqz/Folder/First preset file://localhost/some/where/picture.rec");
  BaseBitmap* bmp = HANDLER(GetPreviewBitmap)(h, data, 64, 48, 2);
  ASSERT_NE(bmp, nullptr);
  EXPECT_EQ(bmp->GetHeight(), 48);
  EXPECT_EQ(rec.asked, "preview 64x48 2");
  OrxDeleteObj(bmp);
  HANDLER(FreePreviewData)(h, data);
  EXPECT_EQ(rec.asked, "free data");
  bmp = HANDLER(GetIcon)(h, n, O(file), 24);
  ASSERT_NE(bmp, nullptr);
  EXPECT_EQ(bmp->GetWidth(), 24);
  OrxDeleteObj(bmp);
  OrxBrowserPreviewDialog* dialog = HANDLER(CreatePreviewDialog)(h, n, 2);
  EXPECT_EQ(rec.asked, "dialog preset://table.libqz/Folder/First preset 2");
  EXPECT_EQ(HANDLER(DestroyPreviewDialog)(h, n, dialog), 31);
  EXPECT_TRUE(HANDLER(Execute)(h, n, O(file), EXECUTE_MERGE));
  EXPECT_EQ(rec.asked, "execute preset://table.libqz/Folder/First preset file://localhost/some/where/picture.rec 2");
  EXPECT_EQ(handler.Unused(), std::vector<std::size_t>{});
}

// --- main table ---

class MainTable : public PublishedTable
{
public:
  void TearDown() override
  {
    urls_.clear();
    PublishedTable::TearDown();
  }
  OrxBrowserURL* Url(const std::string& text)
  {
    urls_.push_back(std::make_unique<BrowserURL>(String(text.c_str())));
    return O(*urls_.back());
  }

  void RootsAndNodes();
  void ChangeNoticesAndMoves();
  void Items();
  void ItemValuesAndPreviews();
  void FoldersAndFactories();
  void Libraries();
  void Handlers();
  void IconsAndWindows();

  Entries<OrxBrowserMainTable> main_{GetBrowserLibrary()->main};
  std::vector<std::unique_ptr<BrowserURL>> urls_;
};

void MainTable::RootsAndNodes()
{
  const std::vector<std::string> roots = {"preset:/", "catalog:/", "file:/", "recent:/", "search:/", "favorite:/"};
  for (Int32 i = 0; i < Int32(roots.size()); ++i)
    EXPECT_EQ(URLOf(Own(MAIN(GetRootNode)(i)).Get()), roots[std::size_t(i)]);
  EXPECT_EQ(MAIN(GetRootNode)(6), nullptr);

  OrxBrowserURL* deeper = Url("PRESET://TABLE.LIBQZ/folder/first preset/not there");
  EXPECT_EQ(MAIN(GetNode)(deeper, BROWSER_GETNODE_EXACT, nullptr), nullptr);
  EXPECT_EQ(URLOf(Own(MAIN(GetNode)(deeper, BROWSER_GETNODE_DEEPEST, nullptr)).Get()),
            "preset://table.libqz/Folder/First preset");
}

void MainTable::ChangeNoticesAndMoves()
{
  // A change notice reaches the browser command for preset nodes only.
  static std::vector<std::pair<std::string, bool>> heard;
  heard.clear();
  SetContentChangeListener([](const NodeRef& n, Bool command) { heard.emplace_back(URLOf(n.Get()), command); });
  MAIN(NotifyNodeChanged)(O(Find("preset://table.libqz/Folder")));
  MAIN(NotifyNodeChanged)(O(GetRootNode(ROOT_RECENT)));
  SetContentChangeListener(nullptr);
  EXPECT_EQ(heard, (std::vector<std::pair<std::string, bool>>{{"preset://table.libqz/Folder", true},
                                                              {"recent:/", false}}));

  // Nodes that share a parent move below a new one, in the tree and in the library.
  NodeRef first = Find("preset://table.libqz/Folder/First preset");
  NodeRef second = Find("preset://table.libqz/Folder/Second preset");
  NodeRef target = Find("preset://table.libqz/Other folder");
  OrxBrowserNode* moved[] = {O(first), O(second)};
  EXPECT_TRUE(MAIN(MoveNodes)(2, moved, O(target)));
  EXPECT_EQ(ChildNames(target), (std::vector<std::string>{"First shown", "Second preset"}));
  EXPECT_TRUE(ChildNames(Find("preset://table.libqz/Folder")).empty());
  EXPECT_TRUE(MAIN(LibraryItemExists)(Url("preset://table.libqz/Other folder/Second preset")));
  EXPECT_FALSE(MAIN(LibraryItemExists)(Url("preset://table.libqz/Folder/Second preset")));
  EXPECT_FALSE(MAIN(MoveNodes)(1, moved, O(target))) << "a node cannot move where it is";
  EXPECT_TRUE(MAIN(MoveNodes)(2, moved, O(Find("preset://table.libqz/Folder"))));
  EXPECT_TRUE(MAIN(LibraryItemExists)(Url("preset://table.libqz/Folder/Second preset")));
}

void MainTable::Items()
{
  OrxBrowserURL* item = Url("preset://table.libqz/Folder/Written preset");
  BaseContainer settings;
  settings.SetString(3, String("a setting long enough to need memory"));
  ASSERT_TRUE(MAIN(SetItem)(index_, item, 1018108, &settings, "written", 7));
  EXPECT_TRUE(Find("preset://table.libqz/Folder/Written preset")) << "the tree follows the item";
  Int32 type = 0;
  BaseContainer back;
  void* data = nullptr;
  Int64 size = 0;
  ASSERT_TRUE(MAIN(GetItem)(index_, item, &type, &back, &data, &size));
  EXPECT_EQ(type, 1018108);
  EXPECT_EQ(back.GetString(3), settings.GetString(3));
  ASSERT_EQ(size, 7);
  EXPECT_EQ(std::memcmp(data, "written", 7), 0);
  OrxMemFree(data);

  // Names and annotations: stored, and shown by the tree.
  const String shown("A shown name"), note("An annotation of the preset");
  EXPECT_TRUE(MAIN(SetItemName)(index_, item, 0, &shown));
  String s;
  EXPECT_TRUE(MAIN(GetItemName)(index_, item, 0, &s));
  EXPECT_EQ(s, shown);
  EXPECT_EQ(Find("preset://table.libqz/Folder/Written preset")->GetName(), shown);
  EXPECT_TRUE(MAIN(SetItemAnnotation)(index_, item, &note));
  EXPECT_TRUE(MAIN(GetItemAnnotation)(index_, item, &s));
  EXPECT_EQ(s, note);
  // A setter creates the item it names, and the tree shows it.
  OrxBrowserURL* named = Url("preset://table.libqz/Folder/Named only");
  EXPECT_TRUE(MAIN(SetItemName)(index_, named, 0, &shown));
  EXPECT_TRUE(MAIN(LibraryItemExists)(named));
  EXPECT_TRUE(Find("preset://table.libqz/Folder/Named only"));
  // Items outside the given library are refused.
  OrxBrowserURL* outside = Url("preset://other.libqz/x");
  EXPECT_FALSE(MAIN(SetItemName)(index_, outside, 0, &shown));
  EXPECT_FALSE(MAIN(SetItemAnnotation)(index_, outside, &note));

  // The copy takes record and data along.
  OrxBrowserURL* copy = Url("preset://table.libqz/Other folder/Copy");
  EXPECT_TRUE(MAIN(CopyItem)(item, copy));
  EXPECT_TRUE(MAIN(GetItemName)(index_, copy, 0, &s));
  EXPECT_EQ(s, shown);

  // The iterator walks every record of the library, folders marked.
  OrxBrowserItemIterator* it = MAIN(CreateItemIterator)(index_);
  ASSERT_NE(it, nullptr);
  BrowserURL next;
  std::set<std::string> folders, presets;
  Bool folder = false;
  while (MAIN(NextItem)(it, O(next), &folder))
    (folder ? folders : presets).insert(next.GetString().ToUtf8());
  MAIN(FreeItemIterator)(it);
  EXPECT_EQ(folders, (std::set<std::string>{"preset://table.libqz", "preset://table.libqz/Folder",
                                            "preset://table.libqz/Other folder"}));
  EXPECT_EQ(presets, (std::set<std::string>{"preset://table.libqz/Folder/First preset",
                                            "preset://table.libqz/Folder/Second preset",
                                            "preset://table.libqz/Folder/Written preset",
                                            "preset://table.libqz/Folder/Named only",
                                            "preset://table.libqz/Other folder/Copy"}));

  EXPECT_TRUE(MAIN(DeleteItem)(index_, copy));
  EXPECT_FALSE(MAIN(LibraryItemExists)(copy));
  EXPECT_FALSE(Find("preset://table.libqz/Other folder/Copy"));
}

void MainTable::ItemValuesAndPreviews()
{
  OrxBrowserURL* item = Url("preset://table.libqz/Folder/Second preset");
  EXPECT_TRUE(MAIN(SetItemFlag)(index_, item, 0x20));
  EXPECT_EQ(MAIN(GetItemValue)(index_, item, 0), 0x20);
  EXPECT_EQ(MAIN(GetItemValue)(index_, item, 1), 7) << "order";
  EXPECT_EQ(MAIN(GetItemValue)(index_, item, 2), 1018031) << "type";
  EXPECT_EQ(MAIN(GetItemValue)(index_, Url("preset://table.libqz/Folder/None"), 2), 0);

  EXPECT_TRUE(MAIN(SetAnimatedPreview)(index_, item, 3, 48, 25.0));
  Int32 first = 0, last = 0;
  Float rate = 0;
  EXPECT_TRUE(MAIN(GetAnimatedPreview)(index_, item, &first, &last, &rate));
  EXPECT_EQ(first, 3);
  EXPECT_EQ(last, 48);
  EXPECT_EQ(rate, 25.0);
  EXPECT_FALSE(MAIN(GetAnimatedPreview)(index_, Url("preset://table.libqz/Folder/First preset"), &first, &last, &rate));

  const std::string jpeg = "\xff\xd8 preview bytes \xff\xd9";
  EXPECT_TRUE(MAIN(SetItemPreview)(index_, item, 6, jpeg.data(), Int64(jpeg.size()), 80));
  BrowserDatabaseItem* rec = Library()->OpenItem(String("preset://table.libqz/Folder/Second preset"));
  ASSERT_NE(rec, nullptr);
  ByteArray stored;
  EXPECT_EQ(rec->GetPreviewCount(), 1);
  EXPECT_TRUE(rec->GetPreviewData(6, &stored));
  rec->Close();
  EXPECT_EQ(std::string(stored.begin(), stored.end()), jpeg);
}

void MainTable::FoldersAndFactories()
{
  // Items written behind the tree's back get their nodes on request.
  BrowserDatabaseItem* rec = Library()->OpenOrCreateItem(String("preset://table.libqz/Deep/Er/Thing"), true);
  ASSERT_NE(rec, nullptr);
  rec->SetType(1018031);
  rec->Close();
  EXPECT_FALSE(Find("preset://table.libqz/Deep/Er/Thing"));
  EXPECT_TRUE(MAIN(CreateFolderItem)(index_, Url("preset://table.libqz/Deep/Er"),
                                     Url("preset://table.libqz/Deep/Er/Thing")));
  EXPECT_TRUE(Find("preset://table.libqz/Deep/Er/Thing"));
  EXPECT_FALSE(MAIN(CreateFolderItem)(index_, Url("preset://elsewhere.libqz/a"), Url("preset://elsewhere.libqz/a/b")));

  // The user library is made when it is missing, with the folder nodes of the URL.
  ASSERT_FALSE(BrowserDatabase::GetLibrary(LIBRARY_USER));
  EXPECT_TRUE(MAIN(CreateUserLibraryFolder)(Url("preset://user.libqz/Made/Deeper")));
  EXPECT_TRUE(BrowserDatabase::GetLibrary(LIBRARY_USER));
  EXPECT_TRUE(Find("preset://user.libqz/Made/Deeper"));
  EXPECT_FALSE(MAIN(CreateUserLibraryFolder)(Url("preset://table.libqz/Made")));

  // A factory of another plug-in is called for every item below the prefix, with the node there.
  struct Call
  {
    std::string parent, url;
    bool existing;
    Int32 library;
    bool folder;
    bool operator==(const Call&) const = default;
  };
  static std::vector<Call> calls;
  calls.clear();
  OrxBrowserNodeFactory factory = [](OrxBrowserNode* parent, OrxBrowserNode* existing, OrxBrowserURL* url,
                                     Int32 library, Bool folder, void* data) -> OrxBrowserNode* {
    calls.push_back({Text(parent), reinterpret_cast<BrowserURL*>(url)->GetString().ToUtf8(), existing != nullptr,
                     library - *static_cast<Int32*>(data), folder != 0});
    return nullptr;
  };
  const String prefix("preset://table.libqz/Folder");
  EXPECT_TRUE(MAIN(AddLibraryNodes)(index_, &prefix, O(Find("preset://table.libqz")), factory, &index_));
  EXPECT_EQ(calls, (std::vector<Call>{
                       {"preset://table.libqz", "preset://table.libqz/Folder", true, 0, true},
                       {"preset://table.libqz/Folder", "preset://table.libqz/Folder/First preset", true, 0, false},
                       {"preset://table.libqz/Folder", "preset://table.libqz/Folder/Second preset", true, 0, false},
                       {"preset://table.libqz/Folder", "preset://table.libqz/Folder/Written preset", true, 0, false},
                       {"preset://table.libqz/Folder", "preset://table.libqz/Folder/Named only", true, 0, false},
                   }));
  EXPECT_FALSE(MAIN(AddLibraryNodes)(99, &prefix, O(Find("preset://table.libqz")), factory, &index_));
}

void MainTable::Libraries()
{
  const Filename file = UserFolder() + String("made.libqz");
  const String madeName("Made here"), looseName("Loose");
  const Int32 made = MAIN(CreateLibrary)(Url("preset://made.libqz"), &madeName, &file);
  ASSERT_GE(made, 2);
  EXPECT_TRUE(GeFileExists(file));
  EXPECT_EQ(MAIN(GetLibraryIndex)(Url("preset://made.libqz/any/item")), made);
  EXPECT_EQ(MAIN(GetLibraryIndex)(Url("preset://not.libqz/x")), -1);
  EXPECT_FALSE(Find("preset://made.libqz")) << "made, not registered";

  BrowserURL registered;
  EXPECT_TRUE(MAIN(RegisterLibrary)(&file, 0, O(registered)));
  EXPECT_EQ(registered.GetString(), String("preset://made.libqz"));
  NodeRef shown = Find("preset://made.libqz");
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->GetName(), String("Made here"));
  EXPECT_FALSE(MAIN(UnregisterLibrary)(made)) << "a library shown in the tree stays";

  const Filename loose = UserFolder() + String("loose.libqz");
  const Int32 other = MAIN(CreateLibrary)(Url("preset://loose.libqz"), &looseName, &loose);
  ASSERT_GE(other, 2);
  // Items of a library that the tree does not show are written and deleted in the library alone.
  OrxBrowserURL* item = Url("preset://loose.libqz/Loose item");
  ASSERT_TRUE(MAIN(SetItem)(other, item, 1018031, nullptr, "loose", 5));
  EXPECT_FALSE(Find("preset://loose.libqz/Loose item"));
  EXPECT_TRUE(MAIN(DeleteItem)(other, item));
  EXPECT_FALSE(MAIN(GetItem)(other, item, nullptr, nullptr, nullptr, nullptr));
  EXPECT_TRUE(MAIN(UnregisterLibrary)(other));
  EXPECT_EQ(MAIN(GetLibraryIndex)(Url("preset://loose.libqz")), -1);
  EXPECT_EQ(MAIN(CreateItemIterator)(other), nullptr);
}

void MainTable::Handlers()
{
  handlertest::TestHandler mine(6, "tbl", "");
  OrxBrowserURL* file = Url("file:///some/where/data.tbl");
  OrxBrowserHandler* found = nullptr;
  EXPECT_TRUE(MAIN(RegisterPlugin)(O(&mine), 1));
  EXPECT_TRUE(MAIN(FindPluginForURL)(file, false, &found));
  EXPECT_EQ(found, O(&mine));
  EXPECT_TRUE(MAIN(UnregisterPlugin)(O(&mine)));
  MAIN(FindPluginForURL)(file, false, &found);
  EXPECT_NE(found, O(&mine));
  EXPECT_FALSE(MAIN(UnregisterPlugin)(O(&mine)));
}

void MainTable::IconsAndWindows()
{
  OrxBrowserURL* preset = Url("preset:/");
  const String text("text");
  BaseContainer bc;
  const Int64 before = orxhost::LiveBlockCount();
  BaseBitmap* bmp = OrxNewObj(BaseBitmap);
  ASSERT_TRUE(bmp && bmp->Init(8, 8));
  OrxBrowserIcon* icon = MAIN(WrapBitmap)(bmp, true);
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(MAIN(GetIconBitmap)(icon), bmp);
  MAIN(FreeIcon)(icon);
  EXPECT_EQ(orxhost::LiveBlockCount(), before) << "an owned bitmap goes with its icon";
  bmp = OrxNewObj(BaseBitmap);
  ASSERT_TRUE(bmp && bmp->Init(8, 8));
  const Int64 withBitmap = orxhost::LiveBlockCount();
  icon = MAIN(WrapBitmap)(bmp, false);
  MAIN(FreeIcon)(icon);
  EXPECT_EQ(orxhost::LiveBlockCount(), withBitmap) << "a borrowed bitmap stays";
  OrxDeleteObj(bmp);

  // The windows, icons and preview dialogs do not exist yet: nothing is opened or made. A kind
  // without a default setting has none to give.
  EXPECT_FALSE(MAIN(OpenBrowser)(preset, &text));
  EXPECT_FALSE(MAIN(OpenBrowserWithOptions)(preset, &text, 0x0101));
  EXPECT_EQ(MAIN(GetIconByNumber)(3, 16), nullptr);
  EXPECT_EQ(MAIN(GetIconForURL)(preset, nullptr, 16, 0), nullptr);
  EXPECT_EQ(MAIN(GetNodeIcon)(O(GetRootNode(ROOT_PRESET)), 16, 0), nullptr);
  EXPECT_EQ(MAIN(PreviewDialogCall)(nullptr, nullptr, 0, 0), 0);
  EXPECT_FALSE(MAIN(GetDefaultObject)(5100, &bc));
  EXPECT_FALSE(MAIN(SetDefaultObject)(5100, nullptr));
  EXPECT_EQ(orxhost::LiveBlockCount(), before);
}

TEST_F(MainTable, EveryEntry)
{
  for (void (MainTable::*part)() : {&MainTable::RootsAndNodes, &MainTable::ChangeNoticesAndMoves, &MainTable::Items,
                                    &MainTable::ItemValuesAndPreviews, &MainTable::FoldersAndFactories,
                                    &MainTable::Libraries, &MainTable::Handlers, &MainTable::IconsAndWindows}) {
    (this->*part)();
    if (HasFatalFailure())
      return;
  }
  EXPECT_EQ(main_.Unused(), std::vector<std::size_t>{});
}

} // namespace
