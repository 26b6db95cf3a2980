// Several threads insert, move, remove and walk nodes of one tree at once.
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "treetest.h"

using treetest::Make;
using treetest::TestNode;

namespace {

using Clock = std::chrono::steady_clock;

// A node reached by a short random walk from the top; null only when the tree is empty.
Ref<BrowserContentNode> Pick(RTree* tree, std::mt19937& rng)
{
  Ref<BrowserContentNode> cur = BrowserContentNode::FromTree(tree->GetFirstChild());
  const int steps = int(rng() % 12);
  for (int i = 0; i < steps && cur; ++i) {
    Ref<BrowserContentNode> step = (rng() % 3 == 0) ? cur->GetDownNode() : cur->GetNextNode();
    if (!step)
      break;
    cur = std::move(step);
  }
  return cur;
}

// Walks the subtree below root without recursion, as the views and the search do.
Int64 WalkBelow(const Ref<BrowserContentNode>& root, Int64 limit)
{
  Int64 seen = 0;
  Ref<BrowserContentNode> cur = root->GetDownNode();
  while (cur && seen < limit) {
    ++seen;
    BrowserURL url;
    cur->GetURL(&url, 0);
    if (Ref<BrowserContentNode> down = cur->GetDownNode()) {
      cur = std::move(down);
      continue;
    }
    for (int climb = 0; cur; ++climb) {
      if (Ref<BrowserContentNode> next = cur->GetNextNode()) {
        cur = std::move(next);
        break;
      }
      Ref<BrowserContentNode> up = cur->GetUpNode();
      if (!up || up == root || climb > 10'000)
        cur = nullptr;
      else
        cur = std::move(up);
    }
  }
  return seen;
}

TEST(TreeThreads, ConcurrentChangesKeepTheTreeWholeAndLeaveNothingBehind)
{
  orxtest::NoLeaks noLeaks;
  const Int64 live0 = TestNode::Live().load();
  Ref<BrowserContentTree> tree = MakeRef<BrowserContentTree>();
  for (int i = 0; i < 8; ++i) {
    Ref<TestNode> top = Make("top");
    ASSERT_TRUE(top->InsertUnder(tree.Get()));
    for (int j = 0; j < 8; ++j)
      ASSERT_TRUE(Make("child")->InsertUnder(top.Get()));
  }

  constexpr int kThreads = 4;
  constexpr Int64 kMaxNodes = 4000;
  const auto end = Clock::now() + std::chrono::milliseconds(1500);
  std::atomic<Int64> inserted{0}, moved{0}, removed{0}, walked{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(1234u + unsigned(t));
      while (Clock::now() < end) {
        const Bool crowded = TestNode::Live().load(std::memory_order_relaxed) - live0 > kMaxNodes;
        Ref<BrowserContentNode> a = Pick(tree.Get(), rng);
        Ref<BrowserContentNode> b = Pick(tree.Get(), rng);
        switch (crowded && rng() % 2 ? 10 : rng() % 10) {
          case 0:
          case 1:
          case 2: { // a fresh node under a, or at the top
            Ref<TestNode> n = Make("new");
            if (rng() % 2 ? n->InsertUnderFresh(a.Get()) : n->InsertUnder(tree.Get()))
              inserted.fetch_add(1);
            break;
          }
          case 3:
            if (a && b && a->InsertUnder(b.Get()))
              moved.fetch_add(1);
            break;
          case 4:
            if (a && b && a->InsertBefore(b.Get()))
              moved.fetch_add(1);
            break;
          case 5: // out and back in, as a move between folders does
            if (a && a->Unlink(true)) {
              if (!a->InsertUnder(rng() % 2 && b ? b.Get() : nullptr) && !a->InsertUnder(nullptr))
                a->Remove(); // removed meanwhile, or b lay below a: never leave it hanging
              moved.fetch_add(1);
            }
            break;
          case 6:
          case 7:
            if (a)
              walked.fetch_add(WalkBelow(a, 500));
            break;
          case 8:
            if (a && rng() % 4 == 0) {
              a->Remove();
              removed.fetch_add(1);
            }
            break;
          case 9:
            if (a) { // up to the top
              Ref<BrowserContentNode> up = a;
              for (int i = 0; up && i < 10'000; ++i)
                up = up->GetUpNode();
              walked.fetch_add(1);
            }
            break;
          default: // crowded: thin out
            if (a) {
              if (rng() % 2)
                a->RemoveChildren();
              else
                a->Remove();
              removed.fetch_add(1);
            }
            break;
        }
      }
    });
  }
  for (std::thread& th : threads)
    th.join();

  EXPECT_GT(inserted.load(), 0);
  EXPECT_GT(moved.load(), 0);
  EXPECT_GT(removed.load(), 0);
  EXPECT_GT(walked.load(), 0);
  // Every node still alive is one the tree holds: nothing hangs outside it in a cycle.
  const Int64 inTree = treetest::CheckTree(tree.Get());
  EXPECT_EQ(TestNode::Live().load() - live0, inTree);
  tree = nullptr;
  EXPECT_EQ(TestNode::Live().load(), live0);
}

// Removing a subtree while others insert below it and move nodes in and out of it.
TEST(TreeThreads, RemoveRacesWithInsertsBelow)
{
  orxtest::NoLeaks noLeaks;
  const Int64 live0 = TestNode::Live().load();
  Ref<BrowserContentTree> tree = MakeRef<BrowserContentTree>();
  for (int round = 0; round < 50; ++round) {
    Ref<TestNode> doomed = Make("doomed");
    Ref<TestNode> safe = Make("safe");
    ASSERT_TRUE(doomed->InsertUnder(tree.Get()));
    ASSERT_TRUE(safe->InsertUnder(tree.Get()));
    std::vector<Ref<TestNode>> inner;
    for (int i = 0; i < 20; ++i) {
      inner.push_back(Make("inner"));
      RTreeNode* parent = i == 0 ? static_cast<RTreeNode*>(doomed.Get()) : inner[std::size_t(i - 1) / 2].Get();
      ASSERT_TRUE(inner.back()->InsertUnder(parent));
    }
    std::atomic<bool> go{false};
    std::thread inserter([&] {
      while (!go.load()) {
      }
      for (int i = 0; i < 200; ++i) {
        Make("late")->InsertUnder(inner[std::size_t(i) % inner.size()].Get());
        inner[std::size_t(i * 7) % inner.size()]->InsertUnder(safe.Get());
      }
    });
    go.store(true);
    doomed->Remove();
    inserter.join();
    // What stayed in doomed's subtree went with it; what left for safe lives there whole.
    EXPECT_FALSE(doomed->GetFirstChild());
    for (const Ref<TestNode>& n : inner)
      EXPECT_EQ(n->IsRemoved(), n->GetTree() == nullptr);
    inner.clear();
    treetest::CheckTree(tree.Get());
    safe->Remove();
    doomed = nullptr;
    safe = nullptr;
    EXPECT_EQ(TestNode::Live().load(), live0);
  }
}

} // namespace
