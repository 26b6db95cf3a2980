// Finding the child a URL leads to in wide rows: the index must give the same answers as a walk of
// the row, and follow every change of the row.
#include <atomic>
#include <string>
#include <vector>

#include "treetest.h"

namespace {

// A node whose URL is its parent's and its name; renames tell the parent's index when notifying.
class PathNode : public BrowserContentNode
{
public:
  PathNode(std::string name, bool notifying) : name_(name.c_str()), notifying_(notifying) {}
  Int32 GetNodeType() override { return NODETYPE_CATALOG; }
  String GetName() override { return name_; }
  const String* GetNameRef() override { return &name_; }
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    ++urlsAsked;
    Ref<BrowserContentNode> up = GetUpNode();
    BrowserURL parent;
    if (up && up->GetURL(&parent, 0))
      out->SetString(parent.GetString() + String("/") + name_);
    else
      out->SetString(String("catalog://") + name_);
    return true;
  }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }
  Bool NotifiesURLChanges() const override { return notifying_; }
  static inline std::atomic<Int64> urlsAsked{0};
  void RenameTo(const std::string& name)
  {
    name_ = String(name.c_str());
    if (notifying_)
      URLChanged();
  }

private:
  String name_;
  bool notifying_;
};

class RowIndexTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    tree_ = MakeRef<BrowserContentTree>();
    root_ = Add("root", nullptr, true);
  }
  void TearDown() override
  {
    root_ = nullptr;
    tree_ = nullptr;
  }
  Ref<PathNode> Add(const std::string& name, RTreeNode* parent, bool notifying)
  {
    Ref<PathNode> n = MakeRef<PathNode>(name, notifying);
    EXPECT_TRUE(n->InsertUnder(parent ? parent : tree_.Get()));
    return n;
  }
  // The child found for url, asked three times so that a wide row is indexed on the way; every
  // answer must be the same. Its name, or "" for none.
  std::string Find(const std::string& url, Int32* len = nullptr)
  {
    const String upper = String(url.c_str()).ToUpper();
    std::string first;
    for (int i = 0; i < 3; ++i) {
      Int32 l = -2;
      NodeRef n = root_->FindChildForURL(upper, upper, &l);
      const std::string name = n ? n->GetName().ToUtf8() : std::string();
      if (i == 0)
        first = name;
      EXPECT_EQ(name, first) << url << " on lookup " << i;
      if (len)
        *len = l;
    }
    return first;
  }

  orxtest::NoLeaks noLeaks_;
  Ref<BrowserContentTree> tree_;
  Ref<PathNode> root_;
};

TEST_F(RowIndexTest, WideRowAnswersAsTheWalkDoes)
{
  std::vector<Ref<PathNode>> kids;
  for (int i = 0; i < 200; ++i)
    kids.push_back(Add("c" + std::to_string(i), root_.Get(), i % 50 != 7)); // a few do not notify
  for (int i : {0, 1, 7, 10, 57, 199}) {
    const std::string name = "c" + std::to_string(i);
    EXPECT_EQ(Find("catalog://root/" + name), name);
    Int32 len = 0;
    EXPECT_EQ(Find("catalog://ROOT/" + name + "/below/more", &len), name);
    EXPECT_EQ(len, Int32(std::string("catalog://root/").size() + name.size()));
  }
  // Parts end at "/": c1 is no prefix of c1x, and nothing is found outside the parent.
  EXPECT_EQ(Find("catalog://root/c1x"), "");
  EXPECT_EQ(Find("catalog://root/c1x/c1"), "");
  EXPECT_EQ(Find("catalog://root/c999"), "");
  EXPECT_EQ(Find("catalog://other/c1"), "");
  EXPECT_EQ(Find("catalog://root"), "");
}

// Lookups that always find what they look for are as fast as the others: the row is indexed even
// though no walk ever reached its end.
TEST_F(RowIndexTest, WideRowIsIndexedWhenEveryLookupHits)
{
  std::vector<Ref<PathNode>> kids;
  for (int i = 0; i < 200; ++i)
    kids.push_back(Add("c" + std::to_string(i), root_.Get(), true));
  EXPECT_EQ(Find("catalog://root/c150"), "c150");
  const Int64 before = PathNode::urlsAsked.load();
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(Find("catalog://root/c199"), "c199");
  EXPECT_LT(PathNode::urlsAsked.load() - before, 200) << "30 lookups walked the row instead of its index";
}

TEST_F(RowIndexTest, WideRowFollowsEveryChange)
{
  std::vector<Ref<PathNode>> kids;
  for (int i = 0; i < 100; ++i)
    kids.push_back(Add("k" + std::to_string(i), root_.Get(), true));
  Ref<PathNode> quiet = Add("quiet", root_.Get(), false);
  ASSERT_EQ(Find("catalog://root/k5"), "k5");

  Ref<PathNode> late = Add("late", root_.Get(), true);
  EXPECT_EQ(Find("catalog://root/late"), "late");
  ASSERT_TRUE(kids[5]->Unlink(true));
  EXPECT_EQ(Find("catalog://root/k5"), "");
  ASSERT_TRUE(kids[5]->InsertUnder(root_.Get()));
  EXPECT_EQ(Find("catalog://root/k5"), "k5");
  kids[6]->Remove();
  EXPECT_EQ(Find("catalog://root/k6"), "");

  kids[8]->RenameTo("renamed");
  EXPECT_EQ(Find("catalog://root/k8"), "");
  EXPECT_EQ(Find("catalog://root/RENAMED"), "renamed");
  // A kind that does not tell of renames is still found under its new name.
  ASSERT_EQ(Find("catalog://root/quiet"), "quiet");
  quiet->RenameTo("hushed");
  EXPECT_EQ(Find("catalog://root/hushed"), "hushed");
  EXPECT_EQ(Find("catalog://root/quiet"), "");

  // Two children whose URLs differ only in case: the first in the row wins, as in a walk.
  Ref<PathNode> twin = Add("K9", root_.Get(), true);
  EXPECT_EQ(Find("catalog://root/k9"), "k9");
  kids[9]->Remove();
  EXPECT_EQ(Find("catalog://root/k9"), "K9");
}

} // namespace
