// Workers report to dialogs from their own threads while the main thread delivers, closes and frees
// them: posts are delivered on the main thread only, and a post to a dialog that is gone is dropped.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "orxtest.h"
#include "testplugin.h"
#include "ui/uimodel.h"

namespace ui = orxhost::ui;
using namespace testplugin;

namespace {
class UiThreads : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ui::BindMainThread();
    ui::Reset();
  }
  void TearDown() override { ui::Reset(); }
};

// Records on which thread its callbacks ran.
class Receiver : public GeDialog
{
public:
  std::thread::id main = std::this_thread::get_id();
  Int64 received = 0;
  Int32 offThread = 0;
  Bool CreateLayout() override { return AddProgressBar(1, 0) && AddStaticText(2, 0, String("x")); }
  void CoreMessage(Int32, Int64, Int64) override
  {
    ++received;
    offThread += std::this_thread::get_id() != main;
  }
};
} // namespace

TEST_F(UiThreads, PostsFromManyWorkersArriveOnTheMainThreadAndStopWhenTheDialogIsGone)
{
  auto d = std::make_unique<Receiver>();
  GridArea area;
  ASSERT_TRUE(d->Open());
  const Int32 handle = d->GetHandle();
  const Int32 areaHandle = area.GetHandle();
  constexpr int kWorkers = 4, kPosts = 2000;
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back([&, w] {
      for (int i = 0; i < kPosts; ++i) {
        GePostCoreMessage(handle, 1, w, i);
        GePostFloat(handle, 1, double(i) / kPosts);
        GePostRedraw(areaHandle);
        if (i % 64 == 0)
          GeSetClipboardText(String("w" + std::to_string(w)));
      }
      finished.fetch_add(1);
    });
  // The dialog goes away while the workers still post to it.
  Int64 before = 0;
  while (d->received < kPosts)
    ui::DeliverPosts();
  before = d->received;
  EXPECT_EQ(d->offThread, 0);
  d.reset();
  while (finished.load() < kWorkers)
    ui::DeliverPosts();
  for (std::thread& t : workers)
    t.join();
  ui::DeliverPosts();
  EXPECT_GE(before, kPosts);
  EXPECT_LE(before, kWorkers * kPosts);
  EXPECT_EQ(ui::DeliverPosts(), 0);
  EXPECT_FALSE(ui::Clipboard().empty());
}

TEST_F(UiThreads, ProgressDialogsOfWorkersRunAgainAndAgain)
{
  for (int round = 0; round < 20; ++round) {
    ProgressDialog p;
    p.worker.steps = 30;
    const bool cancel = round % 2 == 1;
    ui::HeadlessScript().modalDriver = [&](Int32 dlg) {
      Float v = 0;
      if (cancel && p.GetFloat(ID_PROGRESS_BAR, v) && v > 0.1)
        ui::Click(dlg, IDC_CANCEL);
    };
    ASSERT_TRUE(p.Open());
    EXPECT_FALSE(p.IsOpen());
    EXPECT_FALSE(p.worker.IsRunning());
    if (!cancel) {
      EXPECT_TRUE(p.GetResult());
      EXPECT_EQ(p.reportedSteps, 30);
    }
  }
}
