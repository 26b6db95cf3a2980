// The content tree: counted references, structural operations, removal and tree destruction.
#include "treetest.h"

using treetest::Children;
using treetest::Make;
using treetest::TestNode;

namespace {

class TreeTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    live0_ = TestNode::Live().load();
    tree_ = MakeRef<BrowserContentTree>();
    ASSERT_TRUE(tree_);
  }
  void TearDown() override
  {
    tree_ = nullptr;
    EXPECT_EQ(TestNode::Live().load(), live0_) << "nodes outlived the tree";
  }
  // A node appended under parent (the tree when null).
  Ref<TestNode> Add(const std::string& name, RTreeNode* parent = nullptr)
  {
    Ref<TestNode> n = Make(name);
    EXPECT_TRUE(n->InsertUnder(parent ? parent : tree_.Get()));
    return n;
  }

  orxtest::NoLeaks noLeaks_;
  Int64 live0_ = 0;
  Ref<BrowserContentTree> tree_;
};

TEST(ReferenceTest, CountsAndHandles)
{
  orxtest::NoLeaks noLeaks;
  const Int64 live0 = TestNode::Live().load();
  TestNode* raw = nullptr;
  {
    Ref<TestNode> a = Make("a");
    raw = a.Get();
    EXPECT_EQ(raw->GetReferenceCount(), 1u);
    Ref<TestNode> b = a;
    EXPECT_EQ(raw->GetReferenceCount(), 2u);
    Ref<BrowserContentNode> up = b; // towards the base: counted
    EXPECT_EQ(raw->GetReferenceCount(), 3u);
    Ref<RTreeNode> moved = std::move(up);
    EXPECT_FALSE(up);
    EXPECT_EQ(raw->GetReferenceCount(), 3u);
    Ref<TestNode> back = RefCast<TestNode>(std::move(moved));
    EXPECT_EQ(back.Get(), raw);
    EXPECT_EQ(raw->GetReferenceCount(), 3u);
    b = nullptr;
    back.Reset();
    EXPECT_EQ(raw->GetReferenceCount(), 1u);

    // A temporary self-reference dropped without destroying.
    EXPECT_EQ(raw->AddReference(), 2u);
    EXPECT_FALSE(raw->RemoveReferenceNoDestroy());
    EXPECT_EQ(raw->GetReferenceCount(), 1u);

  }
  // The maker dropped it before inserting it anywhere: gone at once.
  EXPECT_EQ(TestNode::Live().load(), live0);

  // Reaching 0 through release-without-destroy leaves the object to its owner.
  Ref<TestNode> c = Make("c");
  TestNode* craw = c.Release();
  EXPECT_TRUE(craw->RemoveReferenceNoDestroy());
  EXPECT_EQ(TestNode::Live().load(), live0 + 1);
  craw->AddReference();
  craw->RemoveReference();
  EXPECT_EQ(TestNode::Live().load(), live0);
}

TEST_F(TreeTest, InsertUnderAppendsAndLinksReadBack)
{
  Ref<TestNode> a = Add("a"), b = Add("b");
  Ref<TestNode> a1 = Add("a1", a.Get()), a2 = Add("a2", a.Get()), a3 = Add("a3", a.Get());
  EXPECT_EQ(Children(tree_.Get()), "a b");
  EXPECT_EQ(Children(a.Get()), "a1 a2 a3");
  // Top-level nodes show no parent, not the tree.
  EXPECT_FALSE(a->GetUp());
  EXPECT_FALSE(b->GetUpNode());
  EXPECT_EQ(a2->GetUp().Get(), a.Get());
  EXPECT_EQ(a2->GetUpNode().Get(), a.Get());
  EXPECT_EQ(a2->GetPrevNode().Get(), a1.Get());
  EXPECT_EQ(a2->GetNextNode().Get(), a3.Get());
  EXPECT_FALSE(a1->GetPrev());
  EXPECT_FALSE(a3->GetNext());
  EXPECT_EQ(a->GetTree(), tree_.Get());
  EXPECT_EQ(a3->GetTree(), tree_.Get());
  EXPECT_EQ(tree_->GetTree(), tree_.Get());

  // GetDown lists children first every time; the plain link readers do not.
  EXPECT_EQ(a->GetDownNode().Get(), a1.Get());
  EXPECT_EQ(a->GetDownLastNode().Get(), a3.Get());
  EXPECT_EQ(a->loads.load(), 2);
  EXPECT_EQ(a->GetFirstChild().Get(), a1.Get());
  EXPECT_EQ(a->loads.load(), 2);

  // Moving within the same parent puts the node last.
  EXPECT_TRUE(a1->InsertUnder(a.Get()));
  EXPECT_EQ(Children(a.Get()), "a2 a3 a1");
  // Moving to another parent takes it out of the first.
  EXPECT_TRUE(a3->InsertUnder(b.Get()));
  EXPECT_EQ(Children(a.Get()), "a2 a1");
  EXPECT_EQ(Children(b.Get()), "a3");
  EXPECT_EQ(treetest::CheckTree(tree_.Get()), 5);
}

TEST_F(TreeTest, InsertUnderNullUsesTheNodesOwnTree)
{
  Ref<TestNode> a = Add("a"), b = Add("b");
  Ref<TestNode> c = Add("c", a.Get());
  EXPECT_TRUE(c->InsertUnder(nullptr));
  EXPECT_EQ(Children(tree_.Get()), "a b c");
  EXPECT_EQ(Children(a.Get()), "");
  EXPECT_FALSE(c->GetUp());

  Ref<TestNode> loose = Make("loose");
  EXPECT_FALSE(loose->InsertUnder(nullptr));
  EXPECT_FALSE(loose->IsLinked());
  EXPECT_EQ(loose->GetTree(), nullptr);
  EXPECT_EQ(Children(tree_.Get()), "a b c");
}

TEST_F(TreeTest, FreshInsertOnlyForUnlinkedNodes)
{
  Ref<TestNode> a = Add("a"), b = Add("b");
  Ref<TestNode> a1 = Add("a1", a.Get());
  // a1 has a parent; b has siblings and the tree for a parent; a needs a parent to go under.
  EXPECT_FALSE(a1->InsertUnderFresh(b.Get()));
  EXPECT_FALSE(b->InsertUnderFresh(a.Get()));
  Ref<TestNode> fresh = Make("fresh");
  EXPECT_FALSE(fresh->InsertUnderFresh(nullptr));
  EXPECT_EQ(Children(a.Get()), "a1");
  EXPECT_EQ(Children(tree_.Get()), "a b");

  EXPECT_TRUE(fresh->InsertUnderFresh(a.Get()));
  EXPECT_EQ(Children(a.Get()), "a1 fresh");
  EXPECT_EQ(fresh->GetTree(), tree_.Get());
}

TEST_F(TreeTest, InsertBefore)
{
  Ref<TestNode> p = Add("p");
  Ref<TestNode> x = Add("x", p.Get()), y = Add("y", p.Get());
  Ref<TestNode> first = Make("first");
  EXPECT_TRUE(first->InsertBefore(x.Get()));
  EXPECT_EQ(Children(p.Get()), "first x y");
  EXPECT_EQ(p->GetFirstChild().Get(), first.Get());
  EXPECT_EQ(first->GetUp().Get(), p.Get());
  EXPECT_EQ(first->GetTree(), tree_.Get());

  // Within the parent, and from elsewhere to the top level.
  EXPECT_TRUE(y->InsertBefore(x.Get()));
  EXPECT_EQ(Children(p.Get()), "first y x");
  EXPECT_TRUE(x->InsertBefore(p.Get()));
  EXPECT_EQ(Children(tree_.Get()), "x p");
  EXPECT_FALSE(x->GetUp());
  EXPECT_EQ(p->GetLastChild().Get(), y.Get());

  // Nowhere to go: itself, a reference outside any parent, no reference.
  Ref<TestNode> loose = Make("loose");
  EXPECT_FALSE(x->InsertBefore(x.Get()));
  EXPECT_FALSE(x->InsertBefore(loose.Get()));
  EXPECT_FALSE(x->InsertBefore(nullptr));
  EXPECT_EQ(Children(tree_.Get()), "x p");
  EXPECT_EQ(treetest::CheckTree(tree_.Get()), 4);
}

TEST_F(TreeTest, UnlinkKeepsChildrenAndTree)
{
  Ref<TestNode> a = Add("a"), b = Add("b"), c = Add("c");
  Ref<TestNode> b1 = Add("b1", b.Get());
  EXPECT_TRUE(b->Unlink(true));
  EXPECT_EQ(Children(tree_.Get()), "a c");
  EXPECT_EQ(a->GetNext().Get(), c.Get());
  EXPECT_EQ(c->GetPrev().Get(), a.Get());
  EXPECT_FALSE(b->IsLinked());
  EXPECT_FALSE(b->Unlink(false));
  EXPECT_EQ(b->GetTree(), tree_.Get());
  EXPECT_EQ(Children(b.Get()), "b1");
  EXPECT_EQ(b1->GetUp().Get(), b.Get());

  EXPECT_TRUE(b->InsertUnder(nullptr));
  EXPECT_EQ(Children(tree_.Get()), "a c b");
  // Unlinking the only child empties the parent.
  EXPECT_TRUE(b1->Unlink(true));
  EXPECT_FALSE(b->GetFirstChild());
  EXPECT_FALSE(b->GetLastChild());
  EXPECT_TRUE(b1->InsertUnder(c.Get()));
  EXPECT_EQ(treetest::CheckTree(tree_.Get()), 4);
}

// An unlinked subtree holds no pointer to a tree it outlives, and one that nobody but its own
// children holds goes away with them.
TEST_F(TreeTest, UnlinkedSubtreeOutlivesItsTreeAndIsFreedWhenDropped)
{
  Ref<TestNode> a = Add("a"), b = Add("b");
  Ref<TestNode> b1 = Add("b1", b.Get());
  Ref<TestNode> b11 = Add("b11", b1.Get());
  ASSERT_TRUE(b->Unlink(true));
  ASSERT_TRUE(b1->Unlink(true)); // a second unlinked root, inside no linked parent
  ASSERT_TRUE(b1->InsertUnder(b.Get()));
  ASSERT_TRUE(b1->Unlink(true));
  tree_ = nullptr; // takes a apart; b and b1 stay, in no tree
  EXPECT_TRUE(a->IsRemoved());
  for (const Ref<TestNode>& n : {b, b1, b11}) {
    EXPECT_EQ(n->GetTree(), nullptr);
    EXPECT_FALSE(n->IsRemoved());
  }
  EXPECT_FALSE(b->InsertUnder(nullptr)); // the tree it was in is gone
  EXPECT_TRUE(b1->InsertUnder(b.Get()));
  EXPECT_EQ(Children(b.Get()), "b1");
  EXPECT_EQ(b11->GetUp().Get(), b1.Get());

  // Dropping the root while its children hold it frees the whole subtree.
  const Int64 before = TestNode::Live().load();
  b = nullptr;
  EXPECT_TRUE(b1->IsRemoved()) << "a subtree that no one can reach from above is removed";
  b1 = nullptr;
  b11 = nullptr;
  a = nullptr;
  EXPECT_EQ(TestNode::Live().load(), before - 4);
}

TEST_F(TreeTest, DroppingAnUnlinkedNodeWithChildrenFreesThem)
{
  const Int64 before = TestNode::Live().load();
  {
    Ref<TestNode> b = Add("b");
    Add("b1", b.Get());
    Add("b2", b.Get());
    ASSERT_TRUE(b->Unlink(true));
  }
  EXPECT_EQ(TestNode::Live().load(), before);
  // A node kept unlinked from a living tree goes back to its top level.
  Ref<TestNode> c = Add("c");
  Add("c1", c.Get());
  ASSERT_TRUE(c->Unlink(true));
  EXPECT_EQ(c->GetTree(), tree_.Get());
  EXPECT_TRUE(c->InsertUnder(nullptr));
  EXPECT_EQ(Children(tree_.Get()), "c");
  EXPECT_EQ(Children(c.Get()), "c1");
}

TEST_F(TreeTest, RemoveTakesTheSubtreeAndMarksItDeleted)
{
  Ref<TestNode> a = Add("a"), b = Add("b");
  Ref<TestNode> b1 = Add("b1", b.Get()), b2 = Add("b2", b.Get());
  Ref<TestNode> b11 = Add("b11", b1.Get()), b12 = Add("b12", b1.Get());
  b->Remove();
  EXPECT_EQ(Children(tree_.Get()), "a");
  for (const Ref<TestNode>& n : {b, b1, b2, b11, b12}) {
    EXPECT_TRUE(n->GetStatus() & NODESTATUS_DELETED);
    EXPECT_TRUE(n->IsRemoved());
    EXPECT_FALSE(n->IsLinked());
    EXPECT_EQ(n->GetTree(), nullptr);
    EXPECT_FALSE(n->GetFirstChild());
  }
  EXPECT_FALSE(a->IsDeleted());
  EXPECT_FALSE(a->GetNext());
  EXPECT_EQ(tree_->GetLastChild().Get(), a.Get());

  // A removed node takes no new work: nothing goes under it, it goes nowhere.
  Ref<TestNode> late = Make("late");
  EXPECT_FALSE(late->InsertUnder(b.Get()));
  EXPECT_FALSE(late->InsertUnderFresh(b1.Get()));
  EXPECT_FALSE(b->InsertUnder(a.Get()));
  EXPECT_FALSE(b2->InsertBefore(a.Get()));
  EXPECT_FALSE(late->IsLinked());
  EXPECT_EQ(Children(a.Get()), "");

  // The nodes that only the tree kept are gone; the ones held here live on until released.
  const Int64 live = TestNode::Live().load();
  b11 = nullptr;
  EXPECT_EQ(TestNode::Live().load(), live - 1);
}

TEST_F(TreeTest, RemoveChildrenEmptiesANode)
{
  Ref<TestNode> a = Add("a"), b = Add("b");
  for (int i = 0; i < 4; ++i)
    Add("g", Add("c" + std::to_string(i), a.Get()).Get());
  Ref<TestNode> held = Add("held", a.Get());
  const Int64 before = TestNode::Live().load();
  a->RemoveChildren();
  EXPECT_FALSE(a->GetFirstChild());
  EXPECT_FALSE(a->GetLastChild());
  EXPECT_FALSE(a->IsDeleted());
  EXPECT_TRUE(held->IsDeleted());
  EXPECT_EQ(TestNode::Live().load(), before - 8);
  EXPECT_EQ(Children(tree_.Get()), "a b");
  // The emptied node takes children again.
  EXPECT_TRUE(Make("new")->InsertUnder(a.Get()));
  EXPECT_EQ(treetest::CheckTree(tree_.Get()), 3);
}

TEST_F(TreeTest, NoNodeGoesBelowItself)
{
  Ref<TestNode> a = Add("a");
  Ref<TestNode> b = Add("b", a.Get());
  Ref<TestNode> c = Add("c", b.Get());
  Ref<TestNode> d = Add("d", c.Get());
  EXPECT_FALSE(a->InsertUnder(a.Get()));
  EXPECT_FALSE(a->InsertUnder(d.Get()));
  EXPECT_FALSE(b->InsertBefore(d.Get()));
  EXPECT_FALSE(b->InsertBefore(c.Get()));
  EXPECT_FALSE(tree_->InsertUnder(a.Get()));
  EXPECT_EQ(Children(tree_.Get()), "a");
  EXPECT_EQ(c->GetUp().Get(), b.Get());
  EXPECT_EQ(treetest::CheckTree(tree_.Get()), 4);
  // Going down its own path is fine the other way round.
  EXPECT_TRUE(d->InsertUnder(a.Get()));
  EXPECT_EQ(Children(a.Get()), "b d");
}

TEST_F(TreeTest, TreePointerFollowsTheWholeSubtree)
{
  // Built outside any tree, then put in.
  Ref<TestNode> root = Make("root");
  Ref<TestNode> k1 = Make("k1"), k2 = Make("k2"), g = Make("g");
  ASSERT_TRUE(k1->InsertUnder(root.Get()));
  ASSERT_TRUE(k2->InsertUnder(root.Get()));
  ASSERT_TRUE(g->InsertUnder(k1.Get()));
  EXPECT_EQ(g->GetTree(), nullptr);
  EXPECT_TRUE(root->InsertUnder(tree_.Get()));
  for (const Ref<TestNode>& n : {root, k1, k2, g})
    EXPECT_EQ(n->GetTree(), tree_.Get());

  // Into another tree and back.
  Ref<BrowserContentTree> other = MakeRef<BrowserContentTree>();
  Ref<TestNode> there = Make("there");
  ASSERT_TRUE(there->InsertUnder(other.Get()));
  EXPECT_TRUE(k1->InsertUnder(there.Get()));
  EXPECT_EQ(k1->GetTree(), other.Get());
  EXPECT_EQ(g->GetTree(), other.Get());
  EXPECT_EQ(k2->GetTree(), tree_.Get());
  EXPECT_TRUE(k1->InsertBefore(k2.Get()));
  EXPECT_EQ(g->GetTree(), tree_.Get());
  EXPECT_EQ(treetest::CheckTree(tree_.Get()), 4);
  EXPECT_EQ(treetest::CheckTree(other.Get()), 1);
}

TEST_F(TreeTest, ReleasingTheTreeDestroysItsNodes)
{
  const Int64 live0 = TestNode::Live().load();
  Ref<TestNode> kept;
  {
    Ref<TestNode> a = Add("a"), b = Add("b");
    Ref<TestNode> a1 = Add("a1", a.Get());
    Add("a11", a1.Get());
    Add("b1", b.Get());
    kept = a1;
  }
  EXPECT_EQ(TestNode::Live().load(), live0 + 5);
  tree_ = nullptr;
  // Only the node held here is left, cut loose and marked.
  EXPECT_EQ(TestNode::Live().load(), live0 + 1);
  EXPECT_TRUE(kept->IsDeleted());
  EXPECT_EQ(kept->GetTree(), nullptr);
  EXPECT_FALSE(kept->GetUp());
  EXPECT_FALSE(kept->GetFirstChild());
  kept = nullptr;
  EXPECT_EQ(TestNode::Live().load(), live0);
}

TEST_F(TreeTest, DeepAndWideTreesGoWithoutRecursion)
{
  // Deep enough that one stack frame per level would overflow the default stack.
  constexpr int kDepth = 200'000;
  constexpr int kWidth = 200'000;
  const Int64 live0 = TestNode::Live().load();
  Ref<TestNode> top = Add("deep");
  {
    Ref<TestNode> cur = top;
    for (int i = 0; i < kDepth; ++i) {
      Ref<TestNode> n = Make();
      ASSERT_TRUE(n->InsertUnder(cur.Get()));
      cur = std::move(n);
    }
  }
  Ref<TestNode> wide = Add("wide");
  for (int i = 0; i < kWidth; ++i)
    ASSERT_TRUE(Make()->InsertUnder(wide.Get()));
  EXPECT_EQ(TestNode::Live().load(), live0 + 2 + kDepth + kWidth);

  // Moving the deep chain reaches its last node.
  Ref<TestNode> holder = Add("holder");
  EXPECT_TRUE(top->InsertUnder(holder.Get()));
  Ref<RTreeNode> bottom = top;
  for (Ref<RTreeNode> d = bottom->GetFirstChild(); d; d = bottom->GetFirstChild())
    bottom = d;
  EXPECT_EQ(bottom->GetTree(), tree_.Get());
  bottom = nullptr;

  top->Remove();
  // top, wide and holder are held here, wide's children by the tree
  EXPECT_EQ(TestNode::Live().load(), live0 + 3 + kWidth);
  top = nullptr;
  wide = nullptr;
  holder = nullptr;
  tree_ = nullptr;
  EXPECT_EQ(TestNode::Live().load(), live0);
}

// A kind that puts itself into the tree while it is being made, before anyone references it.
class SelfInserting : public TestNode
{
public:
  SelfInserting(RTreeNode* parent, Bool* inserted) : TestNode("self") { *inserted = InsertUnder(parent); }
};

TEST_F(TreeTest, NodeInsertingItselfWhileMadeSurvivesEitherWay)
{
  Ref<TestNode> home = Add("home");
  Bool inserted = false;
  Ref<SelfInserting> in = MakeRef<SelfInserting>(home.Get(), &inserted);
  EXPECT_TRUE(inserted);
  EXPECT_EQ(in->GetReferenceCount(), 3u); // its parent's first and last child, and ours
  EXPECT_EQ(Children(home.Get()), "self");

  Ref<TestNode> gone = Add("gone");
  gone->Remove();
  const Int64 live = TestNode::Live().load();
  Ref<SelfInserting> out = MakeRef<SelfInserting>(gone.Get(), &inserted);
  EXPECT_FALSE(inserted);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->GetReferenceCount(), 1u);
  EXPECT_EQ(TestNode::Live().load(), live + 1);
  out = nullptr;
  EXPECT_EQ(TestNode::Live().load(), live);
}

// A node kind that keeps every base behaviour.
class PlainNode : public TestNode
{
public:
  using TestNode::TestNode;
};

Int32 CountCalls(void* data, Int32, Int32, Int64, Int32)
{
  ++*static_cast<int*>(data);
  return 0;
}

TEST(ContentNodeTest, BaseOperationsRefuseAndRelease)
{
  orxtest::NoLeaks noLeaks;
  const Int64 live0 = TestNode::Live().load();
  Ref<PlainNode> node = MakeRef<PlainNode>("plain", NODESTATUS_FOLDER);
  int calls = 0;
  for (Int32 phase : {EDITPHASE_ASK, EDITPHASE_PREPARE, EDITPHASE_DO, EDITPHASE_DO | EDITFLAG_FROM_PARENT}) {
    SCOPED_TRACE(phase);
    EXPECT_EQ(node->Rename(phase, "x"), EDIT_RENAME_REFUSED);
    Ref<BrowserContentNode> made = MakeRef<PlainNode>("stale");
    EXPECT_EQ(node->NewFolder(phase, "x", &made), EDIT_NEWFOLDER_REFUSED);
    EXPECT_FALSE(made);
    EXPECT_EQ(node->Delete(phase, CountCalls, &calls), EDIT_DELETE_REFUSED);

    // The node given is released, whatever the answer.
    Ref<PlainNode> given = MakeRef<PlainNode>("given");
    PlainNode* raw = given.Get();
    Ref<PlainNode> watch = given;
    EXPECT_EQ(node->MoveHere(std::move(given), phase, CountCalls, &calls), EDIT_MOVE_REFUSED);
    EXPECT_EQ(raw->GetReferenceCount(), 1u);
    given = watch;
    EXPECT_EQ(node->CopyHere(std::move(given), phase, nullptr, CountCalls, &calls), EDIT_COPY_REFUSED);
    EXPECT_EQ(raw->GetReferenceCount(), 1u);
    watch = nullptr;
    EXPECT_EQ(TestNode::Live().load(), live0 + 1);
  }
  EXPECT_EQ(calls, 0);
  EXPECT_LT(EDIT_MOVE_REFUSED, 0);
  EXPECT_LT(EDIT_CANCELLED, 0);

  DateTime t{2024, 5, 6, 7, 8, 9};
  EXPECT_FALSE(node->GetFileTime(FILETIME_MODIFIED, &t));
  EXPECT_EQ(t, DateTime{});
  Int64 size = 77;
  EXPECT_EQ(node->GetInfo(&size), 0u);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(node->GetInfo(nullptr), 0u);
  EXPECT_EQ(node->GetStatus(), NODESTATUS_FOLDER);
  EXPECT_EQ(node->Message(1, 3, 0, nullptr), MESSAGE_NOT_HANDLED);
  EXPECT_EQ(node->GetPluginInterface(0), nullptr);
  String type("stale");
  EXPECT_EQ(node->GetTypeName(&type, 1), &type);
  EXPECT_TRUE(type.IsEmpty());
  EXPECT_EQ(node->GetTypeName(nullptr, 1), nullptr);
  node->ReplaceURLPrefix("catalog://", "catalog://other/", true);
  BrowserURL url;
  ASSERT_TRUE(node->GetURL(&url, 0));
  EXPECT_EQ(url.GetString().ToUtf8(), "catalog://test/plain");

  node->Remove(); // outside any tree: only marks it
  EXPECT_TRUE(node->IsDeleted());
  EXPECT_EQ(node->GetReferenceCount(), 1u);
}

TEST(ContentNodeTest, CastOnlyToContentNodes)
{
  struct Plain : RTreeNode
  {
  };
  Ref<RTreeNode> plain = MakeRef<Plain>();
  Ref<RTreeNode> content = Make("c");
  EXPECT_EQ(BrowserContentNode::Cast(plain.Get()), nullptr);
  EXPECT_EQ(BrowserContentNode::Cast(content.Get()), content.Get());
  EXPECT_FALSE(BrowserContentNode::FromTree(plain));
  EXPECT_EQ(BrowserContentNode::FromTree(content).Get(), content.Get());
  EXPECT_EQ(plain->GetReferenceCount(), 1u);
  EXPECT_EQ(content->GetReferenceCount(), 1u);
  // A content node under a plain one reads its parent as no content node.
  ASSERT_TRUE(content->InsertUnder(plain.Get()));
  EXPECT_FALSE(BrowserContentNode::Cast(content.Get())->GetUpNode());
  content->Remove();
}

} // namespace
