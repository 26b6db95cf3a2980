// The list a view shows: selection bookkeeping, the visible rows and the generation.
#include <vector>

#include "handlertest.h"
#include "previews/contentlist.h"

using handlertest::UrlNode;

namespace {

struct Post
{
  Int32 dialog, id;
  Int64 p1;
};
std::vector<Post> g_posts;
void Record(Int32 dialog, Int32 id, Int64 p1, Int64) { g_posts.push_back({dialog, id, p1}); }

std::vector<NodeRef> Nodes(int n)
{
  std::vector<NodeRef> out;
  for (int i = 0; i < n; ++i)
    out.push_back(MakeRef<UrlNode>("n" + std::to_string(i), BrowserURL(String(("catalog://c/n" + std::to_string(i)).c_str()))));
  return out;
}

class ContentListTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    g_posts.clear();
    nodes = Nodes(10);
    ASSERT_TRUE(list.SetNodes(nodes.data(), Int32(nodes.size())));
    list.SetMessageTarget(77, Record);
  }
  std::vector<NodeRef> nodes;
  ContentList list;
};

TEST_F(ContentListTest, SelectingKeepsCountFirstLastAnchorAndCursor)
{
  list.SetSelection(true, 6, 3);
  EXPECT_EQ(list.GetSelectedCount(), 4);
  EXPECT_EQ(list.GetSnapshot().firstSelected, 3);
  EXPECT_EQ(list.GetSnapshot().lastSelected, 6);
  EXPECT_EQ(list.GetAnchor(), 3);
  EXPECT_EQ(list.GetCursor(), 6);
  EXPECT_EQ(list.GetChangeCount(), 4);
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ((list.GetFlags(i) & CONTENTENTRY_SELECTED) != 0, i >= 3 && i <= 6) << i;

  // Selecting what is selected changes nothing and posts nothing.
  g_posts.clear();
  list.SetSelection(true, 4, 5);
  EXPECT_EQ(list.GetChangeCount(), 4);
  EXPECT_TRUE(g_posts.empty());
  EXPECT_EQ(list.GetCursor(), 5);

  list.SetSelection(true, 8, 8);
  EXPECT_EQ(list.GetAnchor(), 3); // the anchor stays with the first entry of the selection
  // Deselecting the first and the last search onward and backward for the next selected entry.
  list.SetSelection(false, 3, 4);
  EXPECT_EQ(list.GetSnapshot().firstSelected, 5);
  list.SetSelection(false, 8, 8);
  EXPECT_EQ(list.GetSnapshot().lastSelected, 6);
  EXPECT_EQ(list.GetSelectedCount(), 2);
  list.SetSelection(false, 0, 9);
  EXPECT_EQ(list.GetSelectedCount(), 0);
  EXPECT_EQ(list.GetAnchor(), -1);
  EXPECT_EQ(list.GetSnapshot().firstSelected, -1);
  EXPECT_EQ(list.GetSnapshot().lastSelected, -1);
}

TEST_F(ContentListTest, ASelectionChangePostsTheCoreMessageOnce)
{
  list.SetSelection(true, -5, 50); // clamped to the entries
  ASSERT_EQ(g_posts.size(), 1u);
  EXPECT_EQ(g_posts[0].dialog, 77);
  EXPECT_EQ(g_posts[0].id, MSG_CONTENTLIST_CHANGED);
  EXPECT_EQ(g_posts[0].p1, CONTENTLIST_CHANGED_SELECTION);
  EXPECT_EQ(list.GetSelectedCount(), 10);
  EXPECT_EQ(list.GetCursor(), 9);
  list.SetVisibleRange(0, 3);
  EXPECT_EQ(g_posts.size(), 1u);
}

TEST_F(ContentListTest, NewEntriesStartANewGenerationWithoutSelection)
{
  list.SetSelection(true, 2, 2);
  const Int32 before = list.GetSnapshot().generation;
  auto fewer = Nodes(3);
  ASSERT_TRUE(list.SetNodes(fewer.data(), 3));
  EXPECT_EQ(list.GetSnapshot().generation, before + 1);
  EXPECT_EQ(list.GetCount(), 3);
  EXPECT_EQ(list.GetSelectedCount(), 0);
  EXPECT_EQ(list.GetAnchor(), -1);
  EXPECT_EQ(list.GetNode(2).Get(), fewer[2].Get());
  EXPECT_FALSE(list.GetNode(3));
}

TEST_F(ContentListTest, TheVisibleRangeIsClampedToTheEntriesAndSkippedWhenEmpty)
{
  list.SetVisibleRange(2, 4);
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ((list.GetFlags(i) & CONTENTENTRY_VISIBLE) != 0, i >= 2 && i <= 4) << i;
  list.SetVisibleRange(-3, 40);
  EXPECT_EQ(list.GetSnapshot().firstVisible, 0);
  EXPECT_EQ(list.GetSnapshot().lastVisible, 9);
  list.SetVisibleRange(7, 8);
  EXPECT_EQ(list.GetFlags(2) & CONTENTENTRY_VISIBLE, 0u);
  EXPECT_NE(list.GetFlags(7) & CONTENTENTRY_VISIBLE, 0u);

  // The list shrinks below the stored range; the next range neither reads nor marks past its end.
  auto fewer = Nodes(4);
  ASSERT_TRUE(list.SetNodes(fewer.data(), 4));
  list.SetVisibleRange(2, 30);
  EXPECT_EQ(list.GetSnapshot().lastVisible, 3);
  EXPECT_NE(list.GetFlags(3) & CONTENTENTRY_VISIBLE, 0u);

  list.Clear();
  list.SetVisibleRange(0, 5);
  EXPECT_EQ(list.GetSnapshot().firstVisible, -1);
  EXPECT_EQ(list.GetSnapshot().lastVisible, -1);
}

} // namespace
