// A worker adds links to a catalog (as the search thread does, one by one and in batches) while the main thread lists the
// catalog and resolves its links; only the main thread tells the views.
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "contenttest.h"
#include "presets/catalognode.h"

using namespace contenttest;

namespace {

std::mutex g_heardLock;
std::set<std::thread::id> g_heardOn;
std::atomic<int> g_heardCatalog{0};
std::string g_catalogURL;

class CatalogThreads : public ContentTest
{
};

std::string LastPartOf(const std::string& url) { return url.substr(url.rfind('/') + 1); }

TEST_F(CatalogThreads, AWorkerAddsLinksWhileTheMainThreadListsAndResolves)
{
  constexpr int kTargets = 40;
  std::vector<TestItem> items;
  for (int i = 0; i < kTargets; ++i)
    items.emplace_back("p" + std::to_string(i));
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("t.libqz"), "preset://t.libqz", items));
  Start();
  LoadLibraries(true);
  const Filename file = UserFolder() + String("Results.catqz");
  ASSERT_GE(CreateLibrary(BrowserURL(String("catalog://Results.catqz")), String("Results"), file), 0);
  GetRootNode(ROOT_CATALOG)->LoadChildren();
  NodeRef catalog = Find("catalog://Results.catqz");
  ASSERT_TRUE(catalog);
  g_catalogURL = "catalog://Results.catqz";
  std::vector<NodeRef> targets;
  for (int i = 0; i < kTargets; ++i) {
    targets.push_back(Find("preset://t.libqz/p" + std::to_string(i)));
    ASSERT_TRUE(targets.back());
  }
  SetContentChangeListener([](const NodeRef& n, Bool) {
    {
      std::lock_guard l(g_heardLock);
      g_heardOn.insert(std::this_thread::get_id());
    }
    if (URLOf(n.Get()) == g_catalogURL)
      ++g_heardCatalog;
  });

  constexpr int kRounds = 5;
  std::atomic<bool> done{false};
  std::atomic<int> made{0};
  // One link at a time and many under one busy mark, in turns: the names stay unique either way.
  std::thread worker([&] {
    for (int r = 0; r < kRounds; ++r) {
      if (r % 2) {
        made += CatalogNode::AddLinks(catalog, targets.data(), Int32(targets.size()), true);
        continue;
      }
      for (const NodeRef& t : targets)
        if (CatalogNode::AddLink(catalog, t, true))
          ++made;
    }
    done = true;
  });
  int passes = 0;
  while (!done || passes < 3) {
    for (NodeRef c = catalog->GetDownNode(); c; c = c->GetNextNode()) {
      auto* link = dynamic_cast<CatalogNode*>(c.Get());
      ASSERT_TRUE(link);
      EXPECT_TRUE(link->GetTarget()) << URLOf(c.Get());
      c->GetInfo(nullptr);
      BrowserURL u;
      c->GetURL(&u, URLREQUEST_TARGET);
      if (!Find(URLOf(c.Get())))
        ADD_FAILURE() << "a listed link is not found by its URL: " << URLOf(c.Get());
    }
    DeliverCatalogChanges();
    ++passes;
  }
  worker.join();
  DeliverCatalogChanges();
  SetContentChangeListener(nullptr);

  EXPECT_EQ(made.load(), kRounds * kTargets);
  EXPECT_EQ(ChildNames(catalog).size(), std::size_t(kRounds * kTargets));
  // Names stay unique under the concurrent adds: the n-th link to p0 is p0.n.
  std::set<std::string> urls;
  for (NodeRef c = catalog->GetDownNode(); c; c = c->GetNextNode())
    urls.insert(URLOf(c.Get()));
  EXPECT_EQ(urls.size(), std::size_t(kRounds * kTargets));
  EXPECT_TRUE(urls.count("catalog://Results.catqz/p0.4"));
  EXPECT_GT(g_heardCatalog.load(), 0) << "the queued changes reached the views";
  EXPECT_EQ(g_heardOn, std::set<std::thread::id>{std::this_thread::get_id()}) << "only the main thread told the views";
  EXPECT_EQ(QueuedCatalogChanges(), 0);
  catalog = nullptr;
  targets.clear();
}

// A worker adds batches of links that wait to be made (as the search thread adds its hits) and now
// and then one by make link, while the main thread walks the children: every walk sees the links
// in the order they were added, without a gap, and at the end every one of them.
TEST_F(CatalogThreads, LinksOfBatchesAreSeenInTheOrderAddedWithoutGaps)
{
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("t.libqz"), "preset://t.libqz", {TestItem("p")}));
  Start();
  LoadLibraries(true);
  const Filename file = UserFolder() + String("Owed.catqz");
  ASSERT_GE(CreateLibrary(BrowserURL(String("catalog://Owed.catqz")), String("Owed"), file), 0);
  GetRootNode(ROOT_CATALOG)->LoadChildren();
  NodeRef catalog = Find("catalog://Owed.catqz");
  NodeRef p = Find("preset://t.libqz/p");
  ASSERT_TRUE(catalog && p);

  constexpr int kBatches = 60, kPerBatch = 25;
  // The names in the order added: n<i> by the batches, p, p.1 ... by make link.
  std::vector<std::string> order;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    int made = 0;
    for (int b = 0; b < kBatches; ++b) {
      CatalogNode::LinkBatch batch;
      batch.Folder(u"file://localhost/f/");
      for (int i = 0; i < kPerBatch; ++i) {
        const std::string name = "n" + std::to_string(b * kPerBatch + i);
        batch.Name(String(name.c_str()).View());
        order.push_back(name);
      }
      CatalogNode::AddLinkBatch(catalog, &batch, true);
      if (b % 7 == 3) {
        CatalogNode::AddLink(catalog, p, true);
        order.push_back(made ? "p." + std::to_string(made) : "p");
        ++made;
      }
    }
    done = true;
  });
  std::vector<std::vector<std::string>> walks;
  while (!done) {
    std::vector<std::string> seen;
    for (NodeRef c = catalog->GetDownNode(); c; c = c->GetNextNode())
      seen.push_back(LastPartOf(URLOf(c.Get())));
    walks.push_back(std::move(seen));
    DeliverCatalogChanges();
  }
  worker.join();
  DeliverCatalogChanges();
  std::vector<std::string> all;
  for (NodeRef c = catalog->GetDownNode(); c; c = c->GetNextNode())
    all.push_back(LastPartOf(URLOf(c.Get())));
  EXPECT_EQ(all, order);
  for (const std::vector<std::string>& w : walks) {
    ASSERT_LE(w.size(), order.size());
    EXPECT_TRUE(std::equal(w.begin(), w.end(), order.begin())) << "a walk of " << w.size() << " saw another order";
  }
  catalog = nullptr;
  p = nullptr;
}

} // namespace
