// A search walks folders on disk while the main thread renames and deletes in them; the links it
// finds reach the views only through the main thread.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "contenttest.h"
#include "nodes/directorynode.h"
#include "presets/catalognode.h"
#include "search/browsersearch.h"

using namespace contenttest;
namespace fs = std::filesystem;

namespace {

std::mutex g_heardLock;
std::set<std::thread::id> g_heardOn;

std::string FileURL(const Filename& f) { return BrowserURL(f).GetString().ToUtf8(); }

class SearchThreads : public ContentTest
{
protected:
  void SetUp() override
  {
    files_ = orxtest::HomeDir() + String("volumes") + String("searchthreads");
    std::error_code ec;
    fs::remove_all(files_.ToUtf8(), ec);
    ContentTest::SetUp();
  }
  void TearDown() override
  {
    ContentTest::TearDown();
    std::error_code ec;
    fs::remove_all(files_.ToUtf8(), ec);
  }
  Filename files_;
};

TEST_F(SearchThreads, ASearchWalksFoldersWhileTheMainThreadRenamesAndDeletes)
{
  constexpr int kFolders = 12, kFiles = 40;
  for (int d = 0; d < kFolders; ++d)
    for (int f = 0; f < kFiles; ++f)
      ASSERT_TRUE(orxtest::WriteFile(files_ + String(("d" + std::to_string(d) + "/sub/file" + std::to_string(f)).c_str()),
                                     "x"));
  Start();
  NodeRef start = Find(FileURL(files_));
  ASSERT_TRUE(start);
  const std::thread::id main = std::this_thread::get_id();
  {
    std::lock_guard l(g_heardLock);
    g_heardOn.clear();
  }
  SetContentChangeListener([](const NodeRef&, Bool) {
    std::lock_guard l(g_heardLock);
    g_heardOn.insert(std::this_thread::get_id());
  });

  SearchQuery q;
  BaseContainer v;
  v.SetInt32(SEARCHVALUE_MODE, SEARCHTEXT_CONTAINS);
  v.SetString(SEARCHVALUE_VALUE, String("file"));
  AddSearchRow(&q, SEARCHROW_NAME, v);
  q.subFolders = true;
  SearchSession session;
  String error;
  ASSERT_TRUE(session.Start(GetRootNode(ROOT_SEARCH), start, q, &error)) << error.ToUtf8();

  // The main thread edits the very folders the search walks, through the nodes.
  for (int d = 0; d < kFolders; ++d) {
    const std::string folder = FileURL(files_ + String(("d" + std::to_string(d) + "/sub").c_str()));
    for (int f = 0; f < kFiles; f += 4) {
      NodeRef n = Find(folder + "/file" + std::to_string(f), GETNODE_EXACT | GETNODE_LOAD);
      if (!n)
        continue;
      const String to(("renamed" + std::to_string(f)).c_str());
      for (Int32 p : {0, 1, 2})
        if (n->Rename(p, to) != EDIT_OK)
          break;
    }
    if (d % 3 == 0)
      if (NodeRef gone = Find(FileURL(files_ + String(("d" + std::to_string(d)).c_str())), GETNODE_EXACT | GETNODE_LOAD))
        for (Int32 p : {0, 1, 2})
          if (gone->Delete(p, nullptr, nullptr) != EDIT_OK)
            break;
    session.Poll();
    // The links found so far are asked for their targets (a view showing them) while the search
    // reads the same folders by names.
    for (NodeRef c = BrowserContentNode::FromTree(session.Results()->GetFirstChild()); c; c = c->GetNextNode())
      c->GetInfo(nullptr);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (session.Poll() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  session.Stop();
  SetContentChangeListener(nullptr);

  EXPECT_GT(session.Thread().Hits(), 0);
  EXPECT_LE(session.Thread().Hits(), kFolders * kFiles);
  Int32 links = 0;
  for (NodeRef c = BrowserContentNode::FromTree(session.Results()->GetFirstChild()); c; c = c->GetNextNode())
    ++links;
  EXPECT_EQ(links, session.Thread().Hits());
  // Every link whose file is still there leads to it.
  Int32 resolved = 0;
  for (NodeRef c = BrowserContentNode::FromTree(session.Results()->GetFirstChild()); c; c = c->GetNextNode()) {
    auto* link = static_cast<CatalogNode*>(c.Get());
    const std::string url = link->GetTargetURLText().ToUtf8();
    BrowserURL target(link->GetTargetURLText());
    const Filename path = target.GetFilename();
    ASSERT_FALSE(path.IsEmpty()) << url;
    if (!fs::exists(path.GetString().ToUtf8()))
      continue;
    NodeRef t = link->GetTarget();
    if (!t) {
      // Asked during the edits, when it may have been renamed away: looked up again after a while.
      std::this_thread::sleep_for(std::chrono::milliseconds(CATALOG_LOOKUP_INTERVAL_MS + 50));
      t = link->GetTarget();
    }
    ASSERT_TRUE(t) << url;
    BrowserURL u;
    ASSERT_TRUE(t->GetURL(&u, 0));
    EXPECT_EQ(u.GetString().ToUtf8(), url);
    ++resolved;
  }
  EXPECT_GT(resolved, 0);
  std::lock_guard l(g_heardLock);
  EXPECT_EQ(g_heardOn, std::set<std::thread::id>{main}) << "a view was told on the search thread";
}

// Stopping a search that runs over many folders returns at once.
TEST_F(SearchThreads, AStopReturnsPromptly)
{
  for (int d = 0; d < 30; ++d)
    for (int f = 0; f < 30; ++f)
      ASSERT_TRUE(orxtest::WriteFile(files_ + String(("d" + std::to_string(d) + "/x" + std::to_string(f)).c_str()), "x"));
  Start();
  NodeRef start = Find(FileURL(files_));
  ASSERT_TRUE(start);
  SearchQuery q;
  BaseContainer v;
  v.SetInt32(SEARCHVALUE_MODE, SEARCHTEXT_CONTAINS);
  v.SetString(SEARCHVALUE_VALUE, String("nothing-matches"));
  AddSearchRow(&q, SEARCHROW_NAME, v);
  q.subFolders = true;
  SearchSession session;
  String error;
  ASSERT_TRUE(session.Start(GetRootNode(ROOT_SEARCH), start, q, &error));
  const auto asked = std::chrono::steady_clock::now();
  session.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
  EXPECT_FALSE(session.Poll());
}

} // namespace
