// The preview worker: a pass over 100 000 entries whose previews are all current (no render, one
// record lookup each) against the limit of the lookups alone, and the time from Wake to the first
// visible preview stored with 10 and with 10 000 entries in the list.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "benchhome.h"
#include "contenttree/browserinterface.h"
#include "core/contentaccess.h"
#include "orx/media.h"
#include "previews/bgthread.h"

namespace {

using Clock = std::chrono::steady_clock;

// Pictures of 64 x 48 made at once; notes when the first visible one was stored.
class QuickHandler : public BrowserPluginInterface
{
public:
  Int32 GetPluginID(String*) override { return 1099002; }
  Bool Identify(BrowserURL&, const void*, Int32, Int32) override { return false; }
  String* GetTypeName(String* out, NodeRef, BrowserURL*, Int32) override { return out; }
  void* OpenPreviewData(Int32, NodeRef, BrowserURL*, Int32* q) override
  {
    if (q)
      *q = 1;
    return this;
  }
  void FreePreviewData(void*) override {}
  BaseBitmap* GetPreviewBitmap(void*, Int32, Int32, Int32) override
  {
    auto* b = new BaseBitmap;
    b->Init(64, 48);
    return b;
  }
  BaseBitmap* GetIcon(NodeRef, BrowserURL*, Int32) override { return nullptr; }
  PreviewDialog* CreatePreviewDialog(NodeRef, Int32) override { return nullptr; }
  String* GetTypeNames(Int32, Int32*) override { return nullptr; }
};

QuickHandler g_handler;
std::atomic<Clock::rep> g_firstVisible{0};

class BenchNode : public BrowserContentNode
{
public:
  BenchNode(std::string name, bool watched) : name_(name.c_str()), watched_(watched)
  {
    url_ = BrowserURL(String(("file:///bench/" + name).c_str()));
  }
  Int32 GetNodeType() override { return NODETYPE_DIRECTORY; }
  BrowserPluginInterface* GetPluginInterface(UInt32) override
  {
    if (watched_)
      g_firstVisible.store(Clock::now().time_since_epoch().count()); // the render begins
    return &g_handler;
  }
  String GetName() override { return name_; }
  const String* GetNameRef() override { return &name_; }
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    *out = url_;
    return true;
  }
  Bool GetFileTime(Int32 which, DateTime* out) override
  {
    *out = DateTime{2026, 1, 2, 3, 4, 5};
    return which == FILETIME_MODIFIED;
  }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }

private:
  String name_;
  BrowserURL url_;
  bool watched_;
};

std::vector<NodeRef> MakeNodes(const std::string& prefix, int n, int watchedFrom)
{
  std::vector<NodeRef> out;
  out.reserve(std::size_t(n));
  for (int i = 0; i < n; ++i)
    out.push_back(MakeRef<BenchNode>(prefix + std::to_string(i), i >= watchedFrom));
  return out;
}

// 100 000 entries whose records hold a current preview of the wanted size.
std::vector<NodeRef> g_current;

void PrepareCurrent()
{
  if (!g_current.empty())
    return;
  constexpr int kEntries = 100000;
  g_current = MakeNodes("current", kEntries, kEntries);
  BrowserDatabase* db = BrowserDatabase::GetLibrary(0);
  const unsigned char jpeg[64] = {0xff, 0xd8, 0xff, 0xd9};
  for (const NodeRef& n : g_current) {
    BrowserURL u;
    n->GetURL(&u, 0);
    BrowserDatabaseItem* item = db->OpenOrCreateItem(u.GetStringRef(), u.GetHash());
    item->AddPreview(0, jpeg, sizeof(jpeg), 1, DateTime{2026, 1, 2, 3, 4, 5}, 256, 192);
    item->Close();
  }
  db->Save(true);
}

void NoOpPass(benchmark::State& state)
{
  PrepareCurrent();
  ContentList list;
  list.SetNodes(g_current.data(), Int32(g_current.size()));
  BGThread t;
  t.SetTarget(&list);
  Int32 first = 0;
  for (auto _ : state) {
    // A new range makes the worker look again at every entry.
    list.SetVisibleRange(first, first + 30);
    first = (first + 31) % 90000;
    t.Wake();
    t.WaitIdle(600000);
  }
  state.counters["renders"] = double(t.GetCounts().rendered);
  t.Stop();
}

// The limit: the record lookups of the same entries, on one thread, nothing else.
void LookupsAlone(benchmark::State& state)
{
  PrepareCurrent();
  BrowserDatabase* db = BrowserDatabase::GetLibrary(0);
  for (auto _ : state) {
    Int64 found = 0;
    for (const NodeRef& n : g_current) {
      BrowserURL u;
      n->GetURL(&u, 0);
      if (BrowserDatabaseItem* item = db->OpenItem(u.GetStringRef(), u.GetHash())) {
        found += item->GetPreviewCount();
        item->Close();
      }
    }
    benchmark::DoNotOptimize(found);
  }
}

// Wake to the first visible preview: the last five rows are the visible ones, no preview stored yet.
void FirstVisible(benchmark::State& state)
{
  const int n = int(state.range(0));
  int round = 0;
  double total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto nodes = MakeNodes("r" + std::to_string(round++) + "n" + std::to_string(n) + "-", n, n - 5);
    ContentList list;
    list.SetNodes(nodes.data(), n);
    list.SetVisibleRange(n - 5, n - 1);
    BGThread t;
    t.SetTarget(&list);
    g_firstVisible.store(0);
    state.ResumeTiming();
    const auto began = Clock::now();
    t.Wake();
    // Visible rows are served first: the first preview stored is a visible one.
    while (t.GetCounts().stored == 0)
      std::this_thread::yield();
    const auto stored = Clock::now();
    state.PauseTiming();
    if (!g_firstVisible.load())
      state.SkipWithError("the first preview stored was not a visible one");
    total += std::chrono::duration<double, std::milli>(stored - began).count();
    t.Stop();
    state.ResumeTiming();
  }
  state.counters["first_visible_ms"] = total / double(state.iterations());
}

BENCHMARK(NoOpPass)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(LookupsAlone)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(FirstVisible)->Arg(10)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(20);

} // namespace

int main(int argc, char** argv)
{
  return RunBenchmarksInTemporaryHome(argc, argv, [](const char*) {
    InitContent();
    InitBackgroundTasks();
    ReadBackgroundPrefs();
  });
}
