// The progress dialog's threads: the progress read while the worker writes it, requests served by
// the waiting thread, and a cancel while the worker waits for that thread (no deadlock).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "exporttest.h"
#include "orxtest.h"
#include "tools/contenttool/progressdialog.h"
#include "ui/uimodel.h"

namespace {

class Busy : public ProgressDialog
{
public:
  ~Busy() override { StopWork(); }
  Bool Run(ProgressThread*) override
  {
    Int32 done = 0;
    const Int32 total = 1 << 30;
    while (StepProgress(done, total, this)) {
      if (done % 1000 == 0) {
        // Waits for the thread in Execute; a cancel there must not leave it waiting.
        if (!CallOnMainThread([this] { served.fetch_add(1); }))
          break;
      }
    }
    steps.store(done);
    return false;
  }
  void GetTitle(String& out) override { out = String("Busy"); }
  std::atomic<Int32> served{0};
  std::atomic<Int32> steps{0};
};

TEST(ProgressThreads, ProgressIsReadWhileWrittenAndCancelDoesNotWaitForever)
{
  orxhost::ui::BindMainThread();
  orxhost::ui::Reset();
  double seen = 0;
  Int32 calls = 0;
  Busy d;
  // A deadlock shows as the test program's time running out.
  d.Execute([&](double p) {
    seen = std::max(seen, p);
    // Cancelled from the waiting thread once the worker has been served a few times.
    if (++calls >= 3 && d.served.load() > 0 && !d.WasCancelled())
      d.Cancel();
  });
  EXPECT_TRUE(d.WasCancelled());
  EXPECT_GT(d.served.load(), 0);
  EXPECT_GT(d.steps.load(), 0);
  EXPECT_GT(seen, 0.0);
  orxhost::ui::Reset();
}

class ExportThreads : public exporttest::ExportTest
{
};

TEST_F(ExportThreads, CancelFromTheWaitingThreadFailsTheExport)
{
  NodeRef root = Library("threads", [&](BrowserDatabase* db, const String& url) {
    for (int i = 0; i < 200; ++i)
      Preset(db, url, "P" + std::to_string(i), 1018107, 0, std::string(4096, char('a' + i % 26)));
  });
  ExportLibraryUI d(dir_ + String("D"), root);
  std::atomic<Int32> steps{0};
  // The worker holds at its fifth step until the waiting thread has cancelled, so the cancel always
  // lands inside the run; the waiting thread's Cancel waits for the worker to end.
  d.SetStepHook([&](Int32 done) {
    steps.store(done);
    if (done == 5)
      while (!d.WasCancelled())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  d.Execute([&](double) {
    if (steps.load() >= 5 && !d.WasCancelled())
      d.Cancel();
  });
  EXPECT_TRUE(d.WasCancelled());
  EXPECT_FALSE(d.GetSuccess());
  // Every node after the cancel fails at once, each with its line.
  EXPECT_GE(d.GetErrorCount(), 190);
}

} // namespace
