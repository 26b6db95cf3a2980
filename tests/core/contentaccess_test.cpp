#include <cstdlib>
#include <cstring>

#include "contenttest.h"
#include "handlertest.h"
#include "core/calltable.h"
#include "nodes/directorynode.h"
#include "orx/media.h"
#include "orx/memory.h"

using namespace contenttest;

namespace {

class Content : public ContentTest
{
};

TEST_F(Content, TopLevelNodesInOrder)
{
  Start();
  Ref<BrowserContentTree> tree = GetContentTree();
  ASSERT_TRUE(tree);
  std::vector<std::string> urls;
  for (NodeRef n = BrowserContentNode::FromTree(tree->GetFirstChild()); n; n = n->GetNextNode())
    urls.push_back(URLOf(n.Get()));
  EXPECT_EQ(urls, (std::vector<std::string>{"file:/", "network:/", "preset:/", "catalog:/", "favorite:/", "recent:/",
                                            "search:/"}));
  NodeRef def = GetDefaultObjectNode();
  ASSERT_TRUE(def);
  EXPECT_EQ(def->GetUpNode(), GetRootNode(ROOT_PRESET));
  EXPECT_EQ(URLOf(def.Get()), "preset://defaultobject.libqz");
  EXPECT_EQ(URLOf(GetRootNode(ROOT_PRESET).Get()), "preset:/");
  EXPECT_EQ(URLOf(GetRootNode(ROOT_CATALOG).Get()), "catalog:/");
  EXPECT_EQ(URLOf(GetRootNode(ROOT_FILE).Get()), "file:/");
  EXPECT_EQ(URLOf(GetRootNode(ROOT_RECENT).Get()), "recent:/");
  EXPECT_EQ(URLOf(GetRootNode(ROOT_SEARCH).Get()), "search:/");
  EXPECT_EQ(URLOf(GetRootNode(ROOT_FAVORITES).Get()), "favorite:/");
  EXPECT_FALSE(GetRootNode(6));
  EXPECT_FALSE(GetRootNode(-1));
  EXPECT_EQ(GetMainDatabaseIndex(), LIBRARY_MAIN);
  EXPECT_GE(GetDefaultObjectLibraryIndex(), 2);
  EXPECT_TRUE(FindPluginByID(HANDLER_ID_CATEGORY));
}

TEST_F(Content, DefaultObjectLibraryItemsShowBelowItsNode)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("default.libqz"), "preset://defaultobject.libqz",
                          {{"Objects", true}, {"Objects/Cube"}}));
  Start();
  NodeRef cube = Find("preset://defaultobject.libqz/Objects/Cube");
  ASSERT_TRUE(cube);
  EXPECT_EQ(cube->GetUpNode()->GetUpNode(), GetDefaultObjectNode());
}

TEST_F(Content, GetNodeWalksPrefixesIgnoringCase)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("user.libqz"), "preset://user.libqz",
                          {{"Folder", true}, {"Folder/Preset", false, "data"}}));
  Start();
  ASSERT_TRUE(LoadLibraries(true));
  NodeRef lib = Find("preset://user.libqz");
  ASSERT_TRUE(lib);
  NodeRef preset = Find("PRESET://USER.LIBQZ/folder/preset");
  ASSERT_TRUE(preset);
  EXPECT_EQ(URLOf(preset.Get()), "preset://user.libqz/Folder/Preset");

  EXPECT_FALSE(Find("preset://user.libqz/Missing")) << "mode 1 wants the node itself";
  EXPECT_EQ(Find("preset://USER.libqz/missing/deeper", GETNODE_DEEPEST), lib);
  EXPECT_EQ(Find("preset://user.libqz/Folder/Preset/below", GETNODE_DEEPEST), preset);
  EXPECT_FALSE(Find("nothing:/x", GETNODE_DEEPEST));
  EXPECT_FALSE(Find(""));

  // A start node begins the search in its row.
  BrowserURL url(String("preset://user.libqz/Folder"));
  EXPECT_EQ(GetNode(url, GETNODE_EXACT, lib->GetDownNode()), preset->GetUpNode());
  EXPECT_FALSE(GetNode(url, GETNODE_EXACT, GetRootNode(ROOT_RECENT)));
}

TEST_F(Content, GetNodeMatchesEndAtAPartBoundary)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("p.libqz"), "preset://p.libqz",
                          {{"Folder", true}, {"Folder/Preset", false, "data"}}));
  Start();
  ASSERT_TRUE(LoadLibraries(true));
  NodeRef lib = Find("preset://p.libqz");
  ASSERT_TRUE(lib);
  EXPECT_EQ(Find("preset://p.libqz/Fold/deeper", GETNODE_DEEPEST), lib);
  EXPECT_EQ(Find("preset://p.libqzzz", GETNODE_DEEPEST), GetRootNode(ROOT_PRESET));
  EXPECT_FALSE(Find("preset://p.libqz/FolderX"));
  EXPECT_FALSE(Find("preset://p.libqz/Folder/Presets"));
  EXPECT_EQ(Find("preset://p.libqz/Folder/Preset/", GETNODE_DEEPEST), Find("preset://p.libqz/Folder/Preset"));
}

// A library's URL and its node agree, whether the URL comes from a display name with a "/" or
// from a stored name of several parts.
TEST_F(Content, LibraryURLsFromNamesAgreeWithTheirNodes)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("band.libqz"), "", {}, "AC/DC"));
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("deep.libqz"), "preset://Two/Parts", {{"In", true}}));
  Start();
  for (const char* file : {"band.libqz", "deep.libqz"}) {
    BrowserURL url;
    ASSERT_TRUE(RegisterLibrary(UserFolder() + String(file), false, false, true, &url)) << file;
    const String text = url.GetString();
    NodeRef node = GetNode(url, GETNODE_EXACT);
    ASSERT_TRUE(node) << text.ToUtf8();
    EXPECT_EQ(URLOf(node.Get()), text.ToUtf8());
    Int32 slot = GetLibraryIndex(url);
    ASSERT_GT(slot, 0);
    // An item set through the published table shows where its URL says.
    BrowserURL item(text + String("/Thing"));
    const char data[] = "x";
    ASSERT_TRUE(GetBrowserLibrary()->main->SetItem(slot, reinterpret_cast<OrxBrowserURL*>(&item), 1018031, nullptr,
                                                   data, 1));
    EXPECT_TRUE(Find((text + String("/Thing")).ToUtf8())) << text.ToUtf8();
  }
  BrowserURL band;
  ASSERT_TRUE(RegisterLibrary(UserFolder() + String("band.libqz"), false, false, true, &band));
  EXPECT_EQ(band.GetString(), String("preset://AC_DC"));
  EXPECT_TRUE(Find("preset://Two/Parts/In"));
}

TEST_F(Content, SetItemForTheUserLibraryCreatesItFirst)
{
  Start();
  const OrxBrowserLibrary* lib = GetBrowserLibrary();
  BrowserURL url(String("preset://user.libqz/Mine/Thing"));
  OrxBrowserURL* u = reinterpret_cast<OrxBrowserURL*>(&url);
  const char data[] = "payload";
  ASSERT_FALSE(BrowserDatabase::GetLibrary(LIBRARY_USER));
  ASSERT_TRUE(lib->main->SetItem(LIBRARY_USER, u, 1018031, nullptr, data, 7));
  BrowserDatabase* user = BrowserDatabase::GetLibrary(LIBRARY_USER);
  ASSERT_TRUE(user);
  EXPECT_EQ(user->GetDisplayName(), String("User"));
  EXPECT_EQ(user->GetFilename(), UserFolder() + String("user.libqz"));
  NodeRef node = Find("preset://user.libqz/Mine/Thing");
  ASSERT_TRUE(node) << "the tree follows the item";
  Int64 size = 0;
  node->GetInfo(&size);
  EXPECT_EQ(size, 7);

  void* back = nullptr;
  Int64 backSize = 0;
  Int32 type = 0;
  ASSERT_TRUE(lib->main->GetItem(LIBRARY_USER, u, &type, nullptr, &back, &backSize));
  EXPECT_EQ(type, 1018031);
  ASSERT_EQ(backSize, 7);
  EXPECT_EQ(std::memcmp(back, data, 7), 0);
  OrxMemFree(back);

  // Library indices below 1 and items outside the library are refused.
  EXPECT_FALSE(lib->main->SetItem(0, u, 1, nullptr, data, 7));
  EXPECT_FALSE(lib->main->GetItem(0, u, &type, nullptr, &back, &backSize));
  BrowserURL other(String("preset://other.libqz/x"));
  EXPECT_FALSE(lib->main->SetItem(LIBRARY_USER, reinterpret_cast<OrxBrowserURL*>(&other), 1, nullptr, data, 7));

  EXPECT_TRUE(lib->main->DeleteItem(LIBRARY_USER, u));
  EXPECT_FALSE(Find("preset://user.libqz/Mine/Thing"));
  EXPECT_FALSE(lib->main->GetItem(LIBRARY_USER, u, &type, nullptr, nullptr, nullptr));
}

TEST_F(Content, PublishedTableHasFixedShapeAndLaterEntriesDoNothing)
{
  orxhost::ClearRegistrations();
  Start();
  ASSERT_TRUE(InstallCallTable());
  auto* lib = static_cast<const OrxBrowserLibrary*>(GeGetLibrary(BROWSERLIB_ID, BROWSERLIB_VERSION, 112));
  ASSERT_EQ(lib, GetBrowserLibrary());
  EXPECT_EQ(lib->header.size, 112);
  EXPECT_EQ(lib->header.urlSize, Int32(sizeof(BrowserURL)));
  // Every entry is filled, in every table.
  auto allSet = [](const void* table, std::size_t count) {
    const void* const* p = static_cast<const void* const*>(table);
    for (std::size_t i = 0; i < count; ++i)
      if (!p[i])
        return false;
    return true;
  };
  EXPECT_TRUE(allSet(lib->main, 42));
  EXPECT_TRUE(allSet(lib->url, 14));
  EXPECT_TRUE(allSet(lib->tree, 6));
  EXPECT_TRUE(allSet(lib->content, 19));
  EXPECT_TRUE(allSet(lib->handler, 13));

  // The entries that wait for windows, icons, preview dialogs, defaults and the bridge.
  BrowserURL url(String("preset:/"));
  OrxBrowserURL* u = reinterpret_cast<OrxBrowserURL*>(&url);
  String text("x");
  BaseContainer bc;
  EXPECT_FALSE(lib->main->OpenBrowser(u, &text));                              // 0
  EXPECT_FALSE(lib->main->GetIconByNumber(3, 16));                             // 2
  EXPECT_FALSE(lib->main->GetIconForURL(u, nullptr, 16, 0));                    // 3
  OrxBrowserNode* root = lib->main->GetRootNode(ROOT_PRESET);
  ASSERT_TRUE(root);
  EXPECT_FALSE(lib->main->GetNodeIcon(root, 16, 0));                            // 4
  EXPECT_EQ(lib->main->PreviewDialogCall(nullptr, nullptr, 0, 0), 0);           // 16
  EXPECT_FALSE(lib->main->GetDefaultObject(5100, &bc));                         // 21: none stored
  EXPECT_FALSE(lib->main->OpenBrowserWithOptions(u, &text, 0x0101));            // 41
  EXPECT_FALSE(lib->content->CreateSDKNode(nullptr, nullptr, root));
  EXPECT_FALSE(lib->content->CreateCategoryNode(&text, &text, 3, root));
  EXPECT_FALSE(lib->content->GetSDKNodeData(root));
  EXPECT_FALSE(lib->handler->CreateBridge(nullptr, nullptr));
  EXPECT_FALSE(lib->main->GetRootNode(6));
  lib->header.releaseNode(root);
  EXPECT_EQ(ChildNames(GetRootNode(ROOT_PRESET)).size(), 1u) << "nothing was opened or added";
}

TEST_F(Content, PublishedTableBrowsesLikeAnotherPlugIn)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("b.libqz"), "preset://b.libqz",
                          {{"F", true}, {"F/One", false, "1"}, {"F/Two", false, "22"}}));
  Start();
  LoadLibraries(true);
  const OrxBrowserLibrary* lib = GetBrowserLibrary();
  alignas(16) unsigned char storage[sizeof(BrowserURL)];
  OrxBrowserURL* u = reinterpret_cast<OrxBrowserURL*>(storage);
  lib->url->Init(u);
  String text("preset://b.libqz/F");
  lib->url->SetString(u, &text);
  OrxBrowserNode* folder = lib->main->GetNode(u, BROWSER_GETNODE_EXACT, nullptr);
  ASSERT_TRUE(folder);
  std::vector<std::string> names;
  for (OrxBrowserNode* c = lib->tree->GetDown(folder); c;) {
    String n;
    lib->content->GetName(c, &n);
    names.push_back(n.ToUtf8());
    OrxBrowserNode* next = lib->tree->GetNext(c);
    lib->header.releaseNode(c);
    c = next;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"One", "Two"}));
  EXPECT_EQ(lib->content->GetNodeType(folder), NODETYPE_PRESET);

  OrxBrowserItemIterator* it = lib->main->CreateItemIterator(lib->main->GetLibraryIndex(u));
  ASSERT_TRUE(it);
  Int32 items = 0, folders = 0;
  Bool isFolder = false;
  while (lib->main->NextItem(it, u, &isFolder)) {
    ++items;
    folders += isFolder;
  }
  lib->main->FreeItemIterator(it);
  EXPECT_EQ(items, 4) << "root record, folder and two presets";
  EXPECT_EQ(folders, 2);
  lib->header.releaseNode(folder);
  lib->url->Free(u);
}

TEST_F(Content, CopyItemCopiesTheRecord)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("s.libqz"), "preset://s.libqz", {{"a", false, "bytes", 7, "Shown"}}));
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("t.libqz"), "preset://t.libqz", {}));
  Start();
  LoadLibraries(true);
  const OrxBrowserLibrary* lib = GetBrowserLibrary();
  BrowserURL src(String("preset://s.libqz/a")), dst(String("preset://t.libqz/b"));
  ASSERT_TRUE(lib->main->CopyItem(reinterpret_cast<OrxBrowserURL*>(&src), reinterpret_cast<OrxBrowserURL*>(&dst)));
  NodeRef copy = Find("preset://t.libqz/b");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->GetName(), String("Shown"));
  Int64 size = 0;
  copy->GetInfo(&size);
  EXPECT_EQ(size, 5);
  BrowserURL missing(String("preset://s.libqz/none"));
  EXPECT_FALSE(
      lib->main->CopyItem(reinterpret_cast<OrxBrowserURL*>(&missing), reinterpret_cast<OrxBrowserURL*>(&dst)));
}

TEST_F(Content, RecentNeedsLinks)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("r.libqz"), "preset://r.libqz", {{"p"}}));
  Start();
  LoadLibraries(true);
  EXPECT_TRUE(AddRecent(Find("preset://r.libqz"))) << "folders are not remembered, and that is no failure";
  const CategoryServices installed = GetCategoryServices();
  SetCategoryServices(CategoryServices{});
  EXPECT_FALSE(AddRecent(Find("preset://r.libqz/p"))) << "no link can be made without the catalogs' link maker";
  EXPECT_TRUE(ChildNames(GetRootNode(ROOT_RECENT)).empty());
  SetCategoryServices(installed);
  EXPECT_TRUE(AddRecent(Find("preset://r.libqz/p")));
  EXPECT_EQ(ChildNames(GetRootNode(ROOT_RECENT)), std::vector<std::string>{"p"});
  EXPECT_FALSE(AddRecent(nullptr));
}

TEST_F(Content, ListenerHearsOfChanges)
{
  static std::vector<std::pair<std::string, bool>> heard;
  heard.clear();
  SetContentChangeListener([](const NodeRef& n, Bool command) { heard.emplace_back(URLOf(n.Get()), command); });
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("l.libqz"), "preset://l.libqz", {}));
  Start();
  LoadLibraries(true);
  SetContentChangeListener(nullptr);
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back(), (std::pair<std::string, bool>{"preset:/", true})) << "the scan ends with the preset root";
}

// Items of the main database that are not files are matched by their stored data once the content
// is there (the content layer gives the handlers its reader).
TEST_F(Content, ItemWithoutFileMatchedByStoredData)
{
  const std::string png = "\x89PNG\r\n\x1a\n";
  const std::string scene = "ORXSCENE";
  // Suffixes of their own: the built-in file handlers come first in the registry.
  handlertest::TestHandler image(2, "tpng", png), sceneHandler(3, "torx", scene);
  Start();
  ASSERT_TRUE(RegisterPlugin(&image, 1));
  ASSERT_TRUE(RegisterPlugin(&sceneHandler, 1));
  BrowserDatabase* main = BrowserDatabase::GetLibrary(0);
  ASSERT_NE(main, nullptr);
  const String path("favorite://stored/model.tpng");
  {
    BrowserDatabaseItem* item = main->OpenOrCreateItem(path);
    ASSERT_NE(item, nullptr);
    const std::string data = scene + std::string(1000, 's');
    EXPECT_TRUE(item->SetData(data.data(), Int64(data.size()), dbitem::kStoreAsGiven));
    item->Close();
  }
  BrowserURL url(path);
  EXPECT_FALSE(url.IsFile());
  BrowserPluginInterface* h = nullptr;
  EXPECT_TRUE(FindPluginForURL(url, false, &h));
  EXPECT_EQ(h, &image);
  EXPECT_TRUE(FindPluginForURL(url, true, &h));
  EXPECT_EQ(h, &sceneHandler);
  EXPECT_EQ(sceneHandler.lastSize.load(), HANDLER_HEADER_SIZE);

  // An item without data gives nothing to check.
  const String bare("favorite://stored/bare.tpng");
  if (BrowserDatabaseItem* item = main->OpenOrCreateItem(bare))
    item->Close();
  EXPECT_FALSE(FindPluginForURL(BrowserURL(bare), true, &h));
  EXPECT_EQ(h, nullptr);

  main->DeleteItem(path);
  main->DeleteItem(bare);
  EXPECT_TRUE(UnregisterPlugin(&image));
  EXPECT_TRUE(UnregisterPlugin(&sceneHandler));
}

// A file on disk shows the preview that the main database keeps for it, from the stored bytes or
// from the preview cache, as long as the preview was taken of the file as it is now.
TEST_F(Content, AFileShowsItsStoredPreviewWhileItIsCurrent)
{
  Start();
  const Filename dir = orxtest::HomeDir() + String("pictures");
  EmptyFolder(dir);
  BaseBitmap picture;
  ASSERT_TRUE(picture.Init(40, 30));
  ASSERT_TRUE(GeSaveBitmap(picture, dir + String("a.png"), SAVEBITMAP_PNG, 0));
  BaseBitmap small;
  ASSERT_TRUE(small.Init(20, 15));
  const Filename jpeg = orxtest::HomeDir() + String("preview.jpg");
  ASSERT_TRUE(GeSaveBitmap(small, jpeg, SAVEBITMAP_JPEG, 90));
  void* bytes = nullptr;
  Int64 size = 0;
  ASSERT_TRUE(ReadWholeFile(jpeg, &bytes, &size));
  const std::string preview(static_cast<const char*>(bytes), std::size_t(size));
  OrxMemFree(bytes);

  Ref<DirectoryNode> folder = DirectoryNode::MakeForPath(dir);
  ASSERT_TRUE(folder);
  struct Release
  {
    Ref<DirectoryNode> node;
    ~Release() { node->Remove(); }
  } release{folder};
  ASSERT_TRUE(folder->LoadChildren());
  NodeRef file = folder->GetDownNode();
  ASSERT_TRUE(file);
  DateTime now;
  ASSERT_TRUE(file->GetFileTime(FILETIME_MODIFIED, &now));
  BrowserURL url;
  ASSERT_TRUE(file->GetURL(&url, 0));
  BrowserDatabase* main = BrowserDatabase::GetLibrary(GetMainDatabaseIndex());
  ASSERT_NE(main, nullptr);
  const auto store = [&](Int32 imageId, const DateTime& time) {
    BrowserDatabaseItem* item = main->OpenOrCreateItem(url.GetStringRef(), url.GetHash());
    ASSERT_NE(item, nullptr);
    for (Int32 i = item->GetPreviewCount() - 1; i >= 0; --i) {
      PreviewInfo info;
      if (item->GetPreviewInfo(i, &info))
        item->RemovePreview(info.imageId);
    }
    EXPECT_TRUE(item->AddPreview(imageId, preview.data(), Int64(preview.size()), 1, time, 20, 15));
    item->Close();
  };
  const auto shown = [&] {
    std::unique_ptr<BaseBitmap> icon(file->GetIcon(0, 64));
    return icon ? std::to_string(icon->GetWidth()) + "x" + std::to_string(icon->GetHeight()) : std::string("none");
  };

  store(0, now);
  EXPECT_EQ(shown(), "20x15") << "decoded from the stored bytes";
  EXPECT_EQ(shown(), "20x15") << "again, from the cache";
  DateTime other = now;
  other.year = UInt16(other.year - 1);
  store(1, other);
  EXPECT_NE(shown(), "20x15") << "a preview of another state of the file is not shown";
  store(2, now);
  EXPECT_EQ(shown(), "20x15");
  main->DeleteItem(url.GetStringRef());
  EXPECT_NE(shown(), "20x15") << "a file without a record shows its handler's icon";
  main->CacheClear();
}

} // namespace
