// BrowserBaseListNode: a host object in the tree under "baselist://".
#include "nodes/baselistnode.h"

#include "treetest.h"

namespace {

TEST(BaseListNodeTest, ShowsTheObjectByTheNameItHadWhenMade)
{
  orxtest::NoLeaks noLeaks;
  BaseList2D* cube = orxhost::NewObject("Würfel 2");
  {
    Ref<BrowserBaseListNode> node = MakeRef<BrowserBaseListNode>(cube);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->GetObject(), cube);
    EXPECT_EQ(node->GetNodeType(), NODETYPE_BASELIST);
    EXPECT_EQ(node->GetName(), String("Würfel 2"));
    ASSERT_NE(node->GetNameRef(), nullptr);
    EXPECT_EQ(*node->GetNameRef(), String("Würfel 2"));
    EXPECT_EQ(node->GetStatus(), 0u);
    EXPECT_EQ(node->GetPluginInterface(0), nullptr);
    EXPECT_EQ(node->GetIcon(ICONREQUEST_OPEN, 64), nullptr);

    BrowserURL url;
    ASSERT_TRUE(node->GetURL(&url, 0));
    EXPECT_EQ(url.GetString(), String("baselist://Würfel 2"));
    EXPECT_FALSE(node->GetURL(nullptr, 0));

    // No rebasing: the URL stays with the object's name.
    node->ReplaceURLPrefix("baselist://", "file:/", true);
    ASSERT_TRUE(node->GetURL(&url, URLREQUEST_TARGET));
    EXPECT_EQ(url.GetString(), String("baselist://Würfel 2"));

    // A host object is dropped onto folders, never edited itself.
    EXPECT_EQ(node->Rename(EDITPHASE_ASK, "x"), EDIT_RENAME_REFUSED);
    EXPECT_EQ(node->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_DELETE_REFUSED);
    Int64 size = -1;
    EXPECT_EQ(node->GetInfo(&size), 0u);
    EXPECT_EQ(size, 0);
  }
  orxhost::FreeObject(cube);
}

TEST(BaseListNodeTest, WithoutAnObject)
{
  orxtest::NoLeaks noLeaks;
  Ref<BrowserBaseListNode> node = MakeRef<BrowserBaseListNode>(nullptr);
  EXPECT_TRUE(node->GetName().IsEmpty());
  EXPECT_EQ(node->GetNodeType(), NODETYPE_BASELIST);
  BrowserURL url;
  EXPECT_TRUE(node->GetURL(&url, 0));
  EXPECT_TRUE(url.GetString().StartsWith("baselist:"));
}

} // namespace
