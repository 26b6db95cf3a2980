// The item progress worker against the main thread: counters read while they are written, a
// cancel in the middle of a copy, and a dialog that goes while its worker runs.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "progresstest.h"

using namespace progresstest;

namespace {

class ItemProgressThreads : public ProgressTest
{
protected:
  std::vector<NodeRef> Items(const NodeRef& dir)
  {
    std::vector<NodeRef> out;
    for (NodeRef c = dir->GetDownNode(); c; c = c->GetNextNode())
      out.push_back(c);
    return out;
  }
};

TEST_F(ItemProgressThreads, CountersAreReadWhileTheWorkerWritesThem)
{
  for (int i = 0; i < 150; ++i)
    Write("src/f" + std::to_string(i), std::string(std::size_t(100 + i), 'x'));
  Write("src/big", std::string(4 << 20, 'b'));
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ItemProgressThread t(ITEMOP_COPY, Items(src), dst);
  ASSERT_TRUE(t.Run(true));
  UInt32 lastDone = 0;
  UInt64 lastBytes = 0;
  int reads = 0;
  while (t.GetStatus() == ITEMSTATUS_RUNNING) {
    const UInt32 done = t.GetDoneFiles();
    const UInt64 bytes = t.GetDoneBytes();
    EXPECT_GE(done, lastDone);
    EXPECT_GE(bytes, lastBytes);
    if (!t.IsCounting() && t.GetStatus() == ITEMSTATUS_RUNNING) {
      EXPECT_LE(done, t.GetTotalFiles());
    }
    lastDone = done;
    lastBytes = bytes;
    ++reads;
    std::this_thread::yield();
  }
  t.Wait();
  ASSERT_EQ(t.GetStatus(), ITEMSTATUS_DONE);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(t.GetTotalFiles(), 151u);
  EXPECT_EQ(t.GetDoneFiles(), t.GetTotalFiles());
  EXPECT_EQ(t.GetDoneBytes(), t.GetTotalBytes());
  EXPECT_EQ(Tree(Path("dst")), Tree(Path("src")));
}

// The worker is held in its first listing of the work pass; the person cancels there. The copy
// stops at its next callback, leaves nothing behind, and the dialog closes without a message.
struct Gate
{
  std::mutex m;
  std::condition_variable cv;
  bool reached = false, released = false;
  std::thread::id main;
  ItemProgressThread* thread = nullptr;
};

void HoldFirstWorkListing(void* data)
{
  auto* g = static_cast<Gate*>(data);
  if (std::this_thread::get_id() == g->main || g->thread->IsCounting())
    return;
  std::unique_lock l(g->m);
  if (g->reached)
    return;
  g->reached = true;
  g->cv.notify_all();
  g->cv.wait_for(l, std::chrono::seconds(60), [&] { return g->released; });
}

TEST_F(ItemProgressThreads, CancelDuringACopyLeavesNoPartialFile)
{
  Write("src/a", std::string(3 << 20, 'a'));
  Write("src/b", std::string(3 << 20, 'b'));
  NodeRef top = Folder("");
  NodeRef dst = Folder("dst");
  ItemProgressDialog d(ITEMOP_COPY, {ChildNamed(top, "src")}, dst);
  Gate gate;
  gate.main = std::this_thread::get_id();
  gate.thread = &d.Thread();
  orxhost::SetListingHook(HoldFirstWorkListing, &gate);
  bool clicked = false;
  ui::HeadlessScript().modalDriver = [&](Int32 dialog) {
    if (clicked)
      return;
    std::unique_lock l(gate.m);
    if (!gate.reached)
      return;
    // The person's cancel reaches the worker while it is inside the copy.
    d.Thread().End(false);
    gate.released = true;
    gate.cv.notify_all();
    l.unlock();
    clicked = true;
    EXPECT_TRUE(ui::Click(dialog, IDC_CANCEL));
  };
  EXPECT_EQ(d.Execute(), ITEMSTATUS_CANCELLED);
  orxhost::SetListingHook(nullptr, nullptr);
  EXPECT_TRUE(clicked);
  EXPECT_EQ(d.Thread().GetStatus(), ITEMSTATUS_CANCELLED);
  EXPECT_EQ(d.Thread().GetDoneFiles(), 0u);
  EXPECT_TRUE(ui::ShownMessages().empty()) << "a cancel is no failure";
  EXPECT_TRUE(Tree(Path("dst")).empty()) << "no partial file, not even under a hidden name";
}

// The dialog goes while its worker copies: it stops the worker and waits for it first.
TEST_F(ItemProgressThreads, DialogClosedWhileTheWorkerRuns)
{
  for (int i = 0; i < 40; ++i)
    Write("src/f" + std::to_string(i), std::string(std::size_t(64 << 10), char('a' + i % 26)));
  NodeRef src = Folder("src");
  for (int round = 0; round < 5; ++round) {
    NodeRef dst = Folder("dst" + std::to_string(round));
    auto d = std::make_unique<ItemProgressDialog>(ITEMOP_COPY, Items(src), dst);
    ASSERT_TRUE(d->GeDialog::Open());
    const Int32 handle = d->GetHandle();
    for (int i = 0; i < round * 3; ++i) {
      ui::Pump();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (round % 2)
      ui::RequestClose(handle);
    d.reset();
    ui::Pump();
    // Whatever was copied is whole; nothing half-written is left.
    for (const auto& [name, bytes] : Tree(Path("dst" + std::to_string(round)))) {
      ASSERT_EQ(name.find(".orx-"), std::string::npos) << name;
      EXPECT_EQ(bytes.size(), std::size_t(64 << 10)) << name;
    }
  }
}

} // namespace
