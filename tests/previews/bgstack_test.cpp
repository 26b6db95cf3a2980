// The queue of a preview worker: folders walked child by child, single nodes last in first out.
#include "handlertest.h"
#include "previews/bgstack.h"

using handlertest::UrlNode;

namespace {

// A folder with children linked under it (no listing of its own).
class Folder : public UrlNode
{
public:
  using UrlNode::UrlNode;
};

struct Tree
{
  Ref<UrlNode> Add(const Ref<UrlNode>& parent, const std::string& name)
  {
    Ref<UrlNode> n = MakeRef<UrlNode>(name, BrowserURL(String(("catalog://c/" + name).c_str())));
    EXPECT_TRUE(n->InsertUnderFresh(parent.Get()));
    return n;
  }
};

std::vector<std::string> Drain(BGStack& s, std::vector<Int32>* flags = nullptr)
{
  std::vector<std::string> out;
  BGWork w;
  while (s.Next(&w)) {
    out.push_back(w.node ? w.node->GetName().ToUtf8() : "");
    if (flags)
      flags->push_back(w.flags);
  }
  return out;
}

TEST(BGStackTest, FoldersHandOutTheirChildrenAndSingleNodesComeFirst)
{
  Tree t;
  Ref<UrlNode> a = MakeRef<UrlNode>("A", BrowserURL(String("catalog://c/A")));
  Ref<UrlNode> b = MakeRef<UrlNode>("B", BrowserURL(String("catalog://c/B")));
  for (const char* n : {"a1", "a2", "a3"})
    t.Add(a, n);
  for (const char* n : {"b1", "b2"})
    t.Add(b, n);
  Ref<UrlNode> b2 = RefCast<UrlNode>(b->GetLastChild());

  BGStack s;
  EXPECT_TRUE(s.IsEmpty());
  ASSERT_TRUE(s.PushFolder(a, BGFLAG_AFTER_CURRENT)); // after the current work
  ASSERT_TRUE(s.PushFolder(b, 0));
  EXPECT_FALSE(s.IsEmpty());
  std::vector<Int32> flags;
  EXPECT_EQ(Drain(s, &flags), (std::vector<std::string>{"b1", "b2", "a1", "a2", "a3"}));
  EXPECT_EQ(flags[0], 0);
  EXPECT_EQ(flags[2], BGFLAG_AFTER_CURRENT);
  EXPECT_TRUE(s.IsEmpty());

  // A single node of another folder replaces the current folder; a folder pushed without bit 0
  // keeps no position.
  ASSERT_TRUE(s.PushFolder(a, 0));
  BGWork w;
  ASSERT_TRUE(s.Next(&w));
  EXPECT_EQ(w.node->GetName().ToUtf8(), "a1");
  ASSERT_TRUE(s.PushItem(b2));
  flags.clear();
  EXPECT_EQ(Drain(s, &flags), (std::vector<std::string>{"b2"}));
  EXPECT_EQ(flags[0], BGFLAG_ITEM);

  // With bit 0 the walk goes on after the single node.
  ASSERT_TRUE(s.PushFolder(a, BGFLAG_AFTER_CURRENT));
  ASSERT_TRUE(s.Next(&w));
  EXPECT_EQ(w.node->GetName().ToUtf8(), "a1");
  ASSERT_TRUE(s.PushFolder(a, 0)); // the current folder again keeps its cursor
  ASSERT_TRUE(s.Next(&w));
  EXPECT_EQ(w.node->GetName().ToUtf8(), "a2");
  ASSERT_TRUE(s.PushItem(b2));
  EXPECT_EQ(Drain(s), (std::vector<std::string>{"b2", "a3"}));

  // Folders and nodes without a handler are not queued as single nodes.
  a->SetStatus(NODESTATUS_FOLDER);
  EXPECT_FALSE(s.PushItem(a));
  EXPECT_TRUE(s.IsEmpty());
  a->RemoveChildren();
  b->RemoveChildren();
}

TEST(BGStackTest, TheItemListShrinksAsItEmpties)
{
  Tree t;
  Ref<UrlNode> a = MakeRef<UrlNode>("A", BrowserURL(String("catalog://c/A")));
  std::vector<Ref<UrlNode>> kids;
  for (int i = 0; i < 200; ++i)
    kids.push_back(t.Add(a, "k" + std::to_string(i)));
  BGStack s;
  for (auto& k : kids)
    ASSERT_TRUE(s.PushItem(k));
  EXPECT_GE(s.ItemCapacity(), 200u);
  EXPECT_EQ(Drain(s).size(), 200u);
  EXPECT_LE(s.ItemCapacity(), 64u);
  s.Clear();
  EXPECT_TRUE(s.IsEmpty());
  kids.clear();
  a->RemoveChildren();
}

} // namespace
