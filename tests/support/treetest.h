// A content node for tree tests that counts the live instances, and a checker of tree links.
#pragma once

#include <atomic>
#include <string>

#include "orxtest.h"
#include "contenttree/rtreenode.h"

namespace treetest {

class TestNode : public BrowserContentNode
{
public:
  static std::atomic<Int64>& Live()
  {
    static std::atomic<Int64> live{0};
    return live;
  }

  explicit TestNode(std::string name = {}, UInt32 status = 0) : BrowserContentNode(status), name_(name.c_str())
  {
    Live().fetch_add(1, std::memory_order_relaxed);
  }

  Int32 GetNodeType() override { return NODETYPE_CATALOG; }
  String GetName() override { return name_; }
  const String* GetNameRef() override { return &name_; }
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    out->SetString(String("catalog://test/") + name_);
    return true;
  }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }
  Bool LoadChildren() override
  {
    loads.fetch_add(1, std::memory_order_relaxed);
    return false;
  }

  std::atomic<Int32> loads{0};

protected:
  ~TestNode() override { Live().fetch_sub(1, std::memory_order_relaxed); }

private:
  String name_;
};

inline Ref<TestNode> Make(const std::string& name = {}) { return MakeRef<TestNode>(name); }

inline std::string NameOf(const Ref<RTreeNode>& n)
{
  BrowserContentNode* c = BrowserContentNode::Cast(n.Get());
  return c ? c->GetName().ToUtf8() : std::string("<not a content node>");
}

// Names of the children of parent, in order, as "a b c".
inline std::string Children(const RTreeNode* parent)
{
  std::string out;
  for (Ref<RTreeNode> c = parent->GetFirstChild(); c; c = c->GetNext())
    out += (out.empty() ? "" : " ") + NameOf(c);
  return out;
}

// Checks every link of the tree (parents, both sibling directions, first and last child, tree
// pointer, no removed node inside) without recursion; adds failures to the running test and returns
// the number of nodes below the root.
inline Int64 CheckTree(RTree* tree, Int64 limit = 10'000'000)
{
  Int64 count = 0;
  Ref<RTreeNode> parent(tree);
  Ref<RTreeNode> cur = tree->GetFirstChild();
  if (cur) {
    EXPECT_FALSE(cur->GetPrev()) << "first top-level node has a previous sibling";
  }
  while (cur) {
    if (++count > limit) {
      ADD_FAILURE() << "more nodes than expected: a cycle?";
      return count;
    }
    Ref<RTreeNode> up = cur->GetUp();
    EXPECT_EQ(up.Get(), parent.Get() == tree ? nullptr : parent.Get()) << NameOf(cur);
    EXPECT_EQ(cur->GetTree(), tree) << NameOf(cur);
    EXPECT_FALSE(cur->IsRemoved()) << NameOf(cur);
    if (BrowserContentNode* c = BrowserContentNode::Cast(cur.Get())) {
      EXPECT_FALSE(c->IsDeleted()) << NameOf(cur);
    }
    if (Ref<RTreeNode> down = cur->GetFirstChild()) {
      EXPECT_FALSE(down->GetPrev()) << NameOf(down);
      parent = cur;
      cur = down;
      continue;
    }
    for (;;) {
      Ref<RTreeNode> next = cur->GetNext();
      if (next) {
        EXPECT_EQ(next->GetPrev().Get(), cur.Get()) << NameOf(next);
        cur = next;
        break;
      }
      EXPECT_EQ(parent->GetLastChild().Get(), cur.Get()) << "last child of " << NameOf(parent);
      if (parent.Get() == tree) {
        cur = nullptr;
        break;
      }
      cur = parent;
      Ref<RTreeNode> above = cur->GetUp();
      parent = above ? above : Ref<RTreeNode>(tree);
    }
  }
  return count;
}

} // namespace treetest
