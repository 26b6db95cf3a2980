// The preview worker on its own thread: the order of its passes, restarts when the view changes,
// many wakes, refused starts, stops and destruction while a render runs.
#include <memory>

#include "previewtest.h"

using namespace previewtest;

namespace {

class WorkerTest : public PreviewTest
{
protected:
  std::vector<NodeRef> MakeNodes(int n, const std::string& prefix = "n")
  {
    std::vector<NodeRef> out;
    for (int i = 0; i < n; ++i) {
      const std::string name = prefix + std::to_string(i);
      out.push_back(MakeRef<PicNode>(name, FileURL(name + ".png"), &handler));
    }
    return out;
  }
  static std::vector<std::string> Names(const std::string& prefix, std::initializer_list<int> ids)
  {
    std::vector<std::string> out;
    for (int i : ids)
      out.push_back(prefix + std::to_string(i));
    return out;
  }
};

TEST_F(WorkerTest, SelectedVisibleRowsComeFirstThenVisibleThenAllThenTheQueue)
{
  handler.noData = true; // quick, and nothing stored: only the order counts
  auto nodes = MakeNodes(12);
  ContentList list;
  ASSERT_TRUE(list.SetNodes(nodes.data(), Int32(nodes.size())));
  list.SetVisibleRange(4, 7);
  list.SetSelection(true, 6, 6);
  list.SetSelection(true, 10, 10); // selected but not visible
  auto queued = MakeNodes(2, "q");

  BGThread t;
  t.SetTarget(&list);
  ASSERT_TRUE(t.PushItem(queued[0]));
  ASSERT_TRUE(t.PushItem(queued[1]));
  t.Wake();
  ASSERT_TRUE(t.WaitIdle(60000));
  std::vector<std::string> want = {"n6", "n4", "n5", "n6", "n7"};
  for (int i = 0; i < 12; ++i)
    want.push_back("n" + std::to_string(i));
  want.push_back("q1");
  want.push_back("q0");
  EXPECT_EQ(handler.Order(), want);
  t.Stop();
}

TEST_F(WorkerTest, AChangeOfTheVisibleRowsRestartsWithTheNewRows)
{
  auto nodes = MakeNodes(10);
  ContentList list;
  ASSERT_TRUE(list.SetNodes(nodes.data(), Int32(nodes.size())));
  list.SetVisibleRange(0, 1);
  std::atomic<bool> moved{false};
  handler.onOpen = [&](const NodeRef& n) {
    if (n && n->GetName().ToUtf8() == "n3" && !moved.exchange(true))
      list.SetVisibleRange(7, 8); // the view scrolls while the worker renders
  };
  BGThread t;
  t.SetTarget(&list);
  t.Wake();
  ASSERT_TRUE(t.WaitIdle(60000));
  t.Stop();
  // Stored previews are current: a row comes again only while its preview is missing.
  EXPECT_EQ(handler.Order(), (Names("n", {0, 1, 2, 3, 7, 8, 4, 5, 6, 9})));
  EXPECT_EQ(t.GetCounts().stored, 10);
}

TEST_F(WorkerTest, AListThatShrankBelowTheVisibleRowsIsReadWithinItsEntries)
{
  handler.noData = true;
  auto many = MakeNodes(100);
  ContentList list;
  ASSERT_TRUE(list.SetNodes(many.data(), 100));
  list.SetVisibleRange(95, 99);
  list.SetVisibleRange(90, 99);
  auto few = MakeNodes(10, "f");
  ASSERT_TRUE(list.SetNodes(few.data(), 10)); // the view has not laid the new entries out yet
  ASSERT_EQ(list.GetSnapshot().lastVisible, 99);
  BGThread t;
  t.SetTarget(&list);
  t.Wake();
  ASSERT_TRUE(t.WaitIdle(60000));
  t.Stop();
  EXPECT_EQ(handler.Order(), (Names("f", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9})));
  EXPECT_EQ(t.GetCounts().served, 10) << "rows past the end of the list were served";
}

TEST_F(WorkerTest, EveryQueuedNodeOfManyPushesAndWakesIsProcessed)
{
  handler.noData = true;
  constexpr int kNodes = 10000;
  auto nodes = MakeNodes(kNodes);
  BGThread t;
  for (const NodeRef& n : nodes) {
    ASSERT_TRUE(t.PushItem(n));
    t.Wake();
  }
  ASSERT_TRUE(t.WaitIdle(120000));
  EXPECT_EQ(handler.opened.load(), kNodes);
  EXPECT_EQ(t.GetCounts().served, kNodes);
  t.Stop();
}

// Starts that the host refuses, the first ones or all of them.
class RefusingThread : public BGThread
{
public:
  std::atomic<int> refuse{0};
  std::atomic<int> asked{0};
  Bool StartWorker() override
  {
    asked.fetch_add(1);
    if (refuse.load() > 0) {
      refuse.fetch_sub(1);
      return false;
    }
    return BGThread::StartWorker();
  }
};

TEST_F(WorkerTest, ARefusedStartIsTriedAgainByTheNextWake)
{
  handler.noData = true;
  auto nodes = MakeNodes(2);
  RefusingThread t;
  t.refuse = 1;
  ASSERT_TRUE(t.PushItem(nodes[0]));
  t.Wake();
  EXPECT_EQ(t.asked.load(), 1);
  EXPECT_TRUE(t.IsIdle());
  EXPECT_EQ(handler.opened.load(), 0);
  t.Wake();
  EXPECT_EQ(t.asked.load(), 2);
  ASSERT_TRUE(t.WaitIdle(60000));
  EXPECT_EQ(handler.opened.load(), 1);
  t.Stop();
}

TEST_F(WorkerTest, AWakeAfterEveryStopStartsTheWorkerAgain)
{
  handler.noData = true;
  constexpr int kRounds = 400;
  auto nodes = MakeNodes(kRounds);
  BGThread t;
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_TRUE(t.PushItem(nodes[std::size_t(i)]));
    t.Wake();
    ASSERT_TRUE(t.WaitIdle(60000)) << i;
    ASSERT_EQ(handler.opened.load(), i + 1) << "round " << i;
    if (i % 2)
      t.Stop();
    else
      t.StopNoWait();
  }
}

TEST_F(WorkerTest, DestructionWaitsForTheRenderThatRuns)
{
  handler.slowMs = 30000;
  auto nodes = MakeNodes(1);
  auto t = std::make_unique<BGThread>();
  EXPECT_EQ(BackgroundTaskCount(), 1);
  ASSERT_TRUE(t->PushItem(nodes[0]));
  t->Wake();
  for (int i = 0; i < 6000 && handler.lastBox.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_NE(handler.lastBox.load(), 0) << "the render never began";
  EXPECT_FALSE(t->IsIdle());
  EXPECT_TRUE(t->WasRendered());
  t.reset();
  // The render was broken off and had returned before the worker went.
  EXPECT_EQ(handler.brokeOff.load(), 1);
  EXPECT_EQ(handler.freed.load(), 1);
  EXPECT_EQ(BackgroundTaskCount(), 0);
}

// A pass that finds every preview current is remembered; whatever can make one stale is seen by
// the next pass.
class RememberedPassTest : public WorkerTest
{
protected:
  void SetUp() override
  {
    WorkerTest::SetUp();
    nodes = MakeNodes(4, "r");
    list = std::make_unique<ContentList>();
    worker = std::make_unique<BGThread>();
    ASSERT_TRUE(list->SetNodes(nodes.data(), Int32(nodes.size())));
    worker->SetTarget(list.get());
    Pass(); // renders all four
    ASSERT_EQ(handler.opened.load(), 4);
    Pass(); // finds all four current
    Pass();
    ASSERT_EQ(handler.opened.load(), 4) << "a current preview was rendered again";
  }
  void TearDown() override
  {
    worker.reset();
    list.reset();
    nodes.clear();
    WorkerTest::TearDown();
  }
  // A new visible range makes the worker look at every entry again.
  void Pass()
  {
    list->SetVisibleRange(first_ % 2, first_ % 2 + 1);
    ++first_;
    worker->Wake();
    ASSERT_TRUE(worker->WaitIdle(60000));
  }
  std::vector<NodeRef> nodes;
  std::unique_ptr<ContentList> list;
  std::unique_ptr<BGThread> worker;

private:
  Int32 first_ = 0;
};

TEST_F(RememberedPassTest, AFileChangedAfterANoOpPassGetsANewPreview)
{
  static_cast<PicNode*>(nodes[2].Get())->SetTime(7);
  Pass();
  EXPECT_EQ(handler.opened.load(), 5);
  auto p = Previews(FileURL("r2.png"));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].time.second, 7);
}

TEST_F(RememberedPassTest, APreviewDeletedFromTheLibraryIsRenderedAgain)
{
  {
    BrowserURL u{String(FileURL("r1.png").c_str())};
    ItemHandle item(Main()->OpenItem(u.GetStringRef(), u.GetHash()));
    ASSERT_TRUE(item);
    PreviewInfo info;
    ASSERT_TRUE(item->GetPreviewInfo(0, &info));
    ASSERT_TRUE(item->RemovePreview(info.imageId));
  }
  ASSERT_TRUE(Previews(FileURL("r1.png")).empty());
  Pass();
  EXPECT_EQ(handler.opened.load(), 5);
  EXPECT_EQ(Previews(FileURL("r1.png")).size(), 1u);

  // A record deleted whole is made again.
  BrowserURL gone{String(FileURL("r3.png").c_str())};
  ASSERT_TRUE(Main()->DeleteItem(gone.GetStringRef()));
  Pass();
  EXPECT_EQ(handler.opened.load(), 6);
  EXPECT_EQ(Previews(FileURL("r3.png")).size(), 1u);
}

TEST_F(RememberedPassTest, AChangeOfTheWantedSizeRendersAgain)
{
  handler.pictureW = 1100;
  handler.pictureH = 300;
  SetBrowserPref(BROWSER_PREF_PREVIEW_WIDTH, GeData(Float(512))); // the width alone
  Pass();
  EXPECT_EQ(handler.opened.load(), 8);
  EXPECT_EQ(handler.lastBox.load(), 512 * 10000 + 256);
  worker->SetPreviewSize(1024, 1024); // a size of the worker's own
  Pass();
  EXPECT_EQ(handler.opened.load(), 12);
  EXPECT_EQ(handler.lastBox.load(), 1024 * 10000 + 1024);
}

TEST_F(RememberedPassTest, AForcedRequestRenders)
{
  worker->SetForceTarget(true);
  Pass();
  EXPECT_GE(handler.opened.load(), 8);
  worker->SetForceTarget(false);
  const Int32 before = handler.opened.load();
  Pass();
  EXPECT_EQ(handler.opened.load(), before);
}

TEST_F(WorkerTest, WithBackgroundPreviewsOffNothingIsRendered)
{
  SetBrowserPref(BROWSER_PREF_BACKGROUND_PREVIEWS, GeData(Int32(0)));
  auto nodes = MakeNodes(3);
  ContentList list;
  ASSERT_TRUE(list.SetNodes(nodes.data(), 3));
  BGThread t;
  t.SetTarget(&list);
  t.Wake();
  ASSERT_TRUE(t.WaitIdle(60000));
  EXPECT_EQ(handler.opened.load(), 0);
  t.Stop();
}

} // namespace
