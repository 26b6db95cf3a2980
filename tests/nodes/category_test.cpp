#include "contenttest.h"
#include "nodes/baselistnode.h"

using namespace contenttest;

namespace {

class Category : public ContentTest
{
protected:
  void TearDown() override
  {
    SetCategoryServices(CategoryServices{});
    ContentTest::TearDown();
  }
};

std::atomic<int> g_volumeBuilds{0};
std::atomic<int> g_linksMade{0};

TEST_F(Category, KindsURLsAndInfo)
{
  Start();
  auto kind = [](Int32 root) { return static_cast<CategoryNode*>(GetRootNode(root).Get())->GetCategoryKind(); };
  EXPECT_EQ(kind(ROOT_FILE), CATEGORY_FILE);
  EXPECT_EQ(kind(ROOT_PRESET), CATEGORY_PRESET);
  EXPECT_EQ(kind(ROOT_CATALOG), CATEGORY_CATALOG);
  EXPECT_EQ(kind(ROOT_NETWORK), CATEGORY_NETWORK);
  EXPECT_EQ(kind(ROOT_RECENT), CATEGORY_OTHER);
  NodeRef preset = GetRootNode(ROOT_PRESET);
  Int64 size = -1;
  EXPECT_EQ(preset->GetInfo(&size), 0x40000001u);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(preset->GetNodeType(), NODETYPE_CATEGORY);
  EXPECT_EQ(preset->GetPluginInterface(0), GetCategoryPlugin());
  EXPECT_EQ(URLOf(GetDefaultObjectNode().Get()), "preset://defaultobject.libqz") << "below a visible parent";
  DateTime t;
  EXPECT_TRUE(preset->GetFileTime(0, &t));
  EXPECT_NE(t.year, 0);
  EXPECT_EQ(preset->Rename(EDITPHASE_ASK, String("x")), EDIT_RENAME_REFUSED);
  EXPECT_EQ(preset->Delete(EDITPHASE_ASK, nullptr, nullptr), EDIT_DELETE_REFUSED);
  EXPECT_EQ(preset->MoveHere(GetRootNode(ROOT_RECENT), EDITPHASE_ASK, nullptr, nullptr), EDIT_MOVE_REFUSED);
}

TEST_F(Category, IconsByIdAndTheMissingIconFile)
{
  Start();
  auto icon = [](const NodeRef& n, UInt32 flags) { return static_cast<CategoryNode*>(n.Get())->GetIconId(flags); };
  EXPECT_EQ(icon(GetRootNode(ROOT_FILE), 0), 0);
  EXPECT_EQ(icon(GetRootNode(ROOT_PRESET), ICONREQUEST_OPEN), 5);
  EXPECT_EQ(icon(GetRootNode(ROOT_RECENT), 0), 3);
  EXPECT_EQ(icon(GetRootNode(ROOT_RECENT), ICONREQUEST_OPEN), 4);
  Ref<CategoryNode> own = CategoryNode::MakeWithIconFile(GetContentTree().Get(), String("Own"), String("own:/"),
                                                         orxtest::TempDir() + String("missing.tif"));
  ASSERT_TRUE(own);
  EXPECT_EQ(own->GetIconId(0), CATEGORY_DEFAULT_ICON);
  EXPECT_EQ(own->GetIconId(ICONREQUEST_OPEN), CATEGORY_DEFAULT_ICON_OPEN);
  EXPECT_FALSE(own->GetIcon(0, 16));
}

TEST_F(Category, HandlerAnswersItsTypeName)
{
  Start();
  BrowserCategoryPlugin* h = GetCategoryPlugin();
  String name;
  EXPECT_EQ(h->GetPluginID(&name), HANDLER_ID_CATEGORY);
  EXPECT_EQ(name, GeLoadString(IDS_CATEGORY_HANDLER));
  String type;
  h->GetTypeName(&type, GetRootNode(ROOT_PRESET), nullptr, 0);
  EXPECT_EQ(type, GeLoadString(IDS_CATEGORY_TYPE));
  BrowserURL any(String("file:///x.png"));
  EXPECT_FALSE(h->Identify(any, nullptr, 0, 0));
  Int32 count = 0;
  String* names = h->GetTypeNames(0, &count);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(names[0], GeLoadString(IDS_CATEGORY_TYPE));
  FreeTypeNames(names);
  String viaNode;
  GetRootNode(ROOT_PRESET)->GetTypeName(&viaNode, 0);
  EXPECT_EQ(viaNode, GeLoadString(IDS_CATEGORY_TYPE));
}

TEST_F(Category, VolumesAreBuiltOncePerProcess)
{
  g_volumeBuilds = 0;
  CategoryServices s;
  s.buildVolumes = [](CategoryNode*) { ++g_volumeBuilds; };
  SetCategoryServices(s);
  Start();
  NodeRef file = GetRootNode(ROOT_FILE);
  file->GetDownNode();
  file->GetDownNode();
  EXPECT_EQ(g_volumeBuilds, 1);
  BrowserURL url(String("file:///somewhere"));
  GetNode(url, GETNODE_EXACT);
  EXPECT_EQ(g_volumeBuilds, 1);
}

TEST_F(Category, OnlyFavoritesTakeFoldersAndCopies)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("fav.libqz"), "preset://fav.libqz", {{"p"}}));
  Start();
  LoadLibraries(true);
  NodeRef favorites = GetRootNode(ROOT_FAVORITES);
  NodeRef preset = Find("preset://fav.libqz/p");
  ASSERT_TRUE(preset);
  for (Int32 root : {ROOT_PRESET, ROOT_RECENT, ROOT_FILE, ROOT_CATALOG}) {
    EXPECT_EQ(GetRootNode(root)->NewFolder(EDITPHASE_ASK, String("x"), nullptr), EDIT_NEWFOLDER_REFUSED);
    EXPECT_EQ(GetRootNode(root)->CopyHere(preset, EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
  }
  EXPECT_EQ(favorites->NewFolder(EDITPHASE_ASK, String("x"), nullptr), EDIT_OK);
  EXPECT_EQ(favorites->CopyHere(preset, EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(favorites->CopyHere(GetRootNode(ROOT_RECENT), EDITPHASE_ASK, nullptr, nullptr, nullptr),
            EDIT_COPY_REFUSED);
  // A host object node (kind 6) is refused.
  BaseList2D* obj = orxhost::NewObject(String("Cube"));
  NodeRef object(new BrowserBaseListNode(obj));
  EXPECT_EQ(favorites->CopyHere(object, EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
  object = nullptr;
  orxhost::FreeObject(obj);

  // Without the catalogs' makers nothing can be made: phase 2 fails and says so.
  SetCategoryServices(CategoryServices{});
  NodeRef out;
  EXPECT_EQ(favorites->NewFolder(EDITPHASE_DO, String("x"), &out), EDIT_NEWFOLDER_REFUSED);
  EXPECT_FALSE(out);
  EXPECT_EQ(favorites->CopyHere(preset, EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_COPY_FAILED);

  // With a link maker, a copy makes a link and reports its size.
  g_linksMade = 0;
  CategoryServices s;
  s.makeLink = [](CategoryNode* parent, const NodeRef&, const String*) -> NodeRef {
    ++g_linksMade;
    return NodeRef(parent);
  };
  SetCategoryServices(s);
  Int64 reported = 0;
  auto cb = [](void* data, Int32, Int32, Int64 size, Int32) {
    *static_cast<Int64*>(data) = size;
    return 0;
  };
  EXPECT_EQ(favorites->CopyHere(preset, EDITPHASE_DO, nullptr, cb, &reported), EDIT_OK);
  EXPECT_EQ(g_linksMade, 1);
  EXPECT_EQ(reported, EDIT_LINK_ITEM_SIZE);
  EXPECT_EQ(favorites->CopyHere(preset, EDITPHASE_DO, nullptr, [](void*, Int32, Int32, Int64, Int32) { return -1; },
                                nullptr),
            EDIT_CANCELLED);
}

} // namespace
