// The preview worker: a pass over 100 000 entries whose previews are all current (no render, one
// record lookup each) against the limit of the lookups alone, and the time from Wake to the first
// visible preview stored with 10 and with 10 000 entries in the list. Throughput: 500 JPEGs of 12
// megapixels rendered by the worker into the main database, side by side with vipsthumbnail on the
// same files, each side in a process of its own (this program started again with --render DIR).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "benchhome.h"
#include "contenttree/browserinterface.h"
#include "core/contentaccess.h"
#include "core/libraryregistry.h"
#include "nodes/directorynode.h"
#include "orx/files.h"
#include "orx/media.h"
#include "previews/bgthread.h"

extern char** environ;

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

// --- throughput over 500 photos of 12 megapixels ---

constexpr int kPhotos = 500;
std::string g_home, g_corpus, g_self;

bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A few distinct photos (noise over gradients compresses like a photo), copied.
bool PrepareCorpus()
{
  if (!g_corpus.empty())
    return true;
  const std::string dir = g_home + "/corpus", src = g_home + "/src";
  std::filesystem::create_directories(dir);
  std::filesystem::create_directories(src);
  for (int i = 0; i < 4; ++i) {
    const std::string f = src + "/src" + std::to_string(i) + ".jpg";
    if (!Sh("convert -size 4000x3000 gradient:'rgb(" + std::to_string(40 * i) + ",90,200)'-'rgb(250," +
            std::to_string(60 * i) + ",20)' -attenuate 0.6 +noise Gaussian -quality 90 '" + f + "'"))
      return false;
  }
  for (int i = 0; i < kPhotos; ++i)
    std::filesystem::copy_file(src + "/src" + std::to_string(i % 4) + ".jpg",
                               dir + "/photo" + std::to_string(i) + ".jpg");
  g_corpus = dir;
  return true;
}

struct ChildRun
{
  double seconds = 0;
  double peakMiB = 0;
  double appendedPerPreview = 0; // to the database file
  double writtenPerPreview = 0;  // all files of the home: the database and the preview files
  bool ok = false;
};

ChildRun Spawn(std::vector<std::string> args, const std::string& report)
{
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  ChildRun r;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    return r;
  int status = 0;
  struct rusage ru = {};
  if (::wait4(pid, &status, 0, &ru) != pid)
    return r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peakMiB = double(ru.ru_maxrss) / 1024.0;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!report.empty()) {
    std::FILE* f = std::fopen(report.c_str(), "r");
    r.ok = r.ok && f && std::fscanf(f, "%lf %lf", &r.appendedPerPreview, &r.writtenPerPreview) == 2;
    if (f)
      std::fclose(f);
  }
  return r;
}

int g_round = 0;

ChildRun OurRender()
{
  // A home of its own each time: an empty main database, nothing current.
  const std::string home = g_home + "/render" + std::to_string(g_round++);
  std::filesystem::create_directories(home);
  const std::string report = home + "/report";
  return Spawn({g_self, "--render", g_corpus, home, report}, report);
}

ChildRun PeerRender()
{
  const std::string out = g_home + "/vips" + std::to_string(g_round++);
  std::filesystem::create_directories(out);
  std::vector<std::string> args = {"vipsthumbnail", "-s", "256", "-o", out + "/%s.jpg"};
  for (int i = 0; i < kPhotos; ++i)
    args.push_back(g_corpus + "/photo" + std::to_string(i) + ".jpg");
  return Spawn(args, std::string());
}

void ReportRun(benchmark::State& state, ChildRun (*run)())
{
  if (!PrepareCorpus()) {
    state.SkipWithError("the photos could not be made (convert)");
    return;
  }
  double peak = 0, appended = 0, written = 0, seconds = 0;
  for (auto _ : state) {
    const ChildRun r = run();
    if (!r.ok) {
      state.SkipWithError("the run failed");
      return;
    }
    state.SetIterationTime(r.seconds);
    seconds += r.seconds;
    peak = std::max(peak, r.peakMiB);
    appended = r.appendedPerPreview;
    written = r.writtenPerPreview;
  }
  state.counters["thumbs_per_s"] = double(kPhotos) * double(state.iterations()) / seconds;
  state.counters["peak_MiB"] = peak;
  if (appended > 0) {
    state.counters["db_bytes_per_preview"] = appended;
    state.counters["all_bytes_per_preview"] = written;
  }
}

void Throughput500Photos(benchmark::State& state) { ReportRun(state, OurRender); }
void Throughput500PhotosPeerVipsthumbnail(benchmark::State& state)
{
  if (!Sh("command -v vipsthumbnail")) {
    state.SkipWithError("vipsthumbnail is not installed");
    return;
  }
  ReportRun(state, PeerRender);
}

Int64 BytesBelow(const std::string& dir)
{
  Int64 n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file(ec))
      n += Int64(it->file_size(ec));
  return n;
}

// The child: every photo of dir rendered by a worker on a content list of the folder's file nodes,
// into the main database of home; writes the bytes appended per preview stored into report.
int RenderChild(const char* dir, const char* home, const char* report)
{
  ::setenv("ORXHOST_HOME", home, 1);
  orxhost::InstallForThisProcess();
  InitContent();
  InitBackgroundTasks();
  ReadBackgroundPrefs();
  BrowserDatabase* db = BrowserDatabase::GetLibrary(GetMainDatabaseIndex());
  Ref<DirectoryNode> folder = DirectoryNode::MakeForPath(Filename(String(dir)));
  if (!db || !folder || !folder->LoadChildren())
    return 2;
  std::vector<NodeRef> nodes;
  for (NodeRef c = folder->GetDownNode(); c; c = c->GetNextNode())
    nodes.push_back(c);
  const Int64 before = db->GetEndOffset(), filesBefore = BytesBelow(home);
  Int64 stored = 0;
  {
    ContentList list;
    list.SetNodes(nodes.data(), Int32(nodes.size()));
    list.SetVisibleRange(0, 29);
    BGThread t;
    t.SetPreviewSize(256, 256);
    t.SetTarget(&list);
    t.Wake();
    if (!t.WaitIdle(3600000))
      return 3;
    stored = t.GetCounts().stored;
    t.Stop();
  }
  if (!db->Save(true) || stored != Int64(nodes.size()))
    return 4;
  std::FILE* f = std::fopen(report, "w");
  if (!f)
    return 5;
  std::fprintf(f, "%.1f %.1f\n", double(db->GetEndOffset() - before) / double(stored),
               double(BytesBelow(home) - filesBefore) / double(stored));
  std::fclose(f);
  std::fflush(nullptr);
  std::_Exit(0); // the end of the program is not measured beyond the save
}

BENCHMARK(NoOpPass)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(LookupsAlone)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(FirstVisible)->Arg(10)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(20);
// In turns, so that both sides see the same load.
BENCHMARK(Throughput500Photos)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(Throughput500PhotosPeerVipsthumbnail)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(Throughput500Photos)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(Throughput500PhotosPeerVipsthumbnail)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

} // namespace

int main(int argc, char** argv)
{
  if (argc == 5 && std::strcmp(argv[1], "--render") == 0)
    return RenderChild(argv[2], argv[3], argv[4]);
  g_self = std::filesystem::read_symlink("/proc/self/exe").string();
  return RunBenchmarksInTemporaryHome(argc, argv, [](const char* home) {
    g_home = home;
    InitContent();
    InitBackgroundTasks();
    ReadBackgroundPrefs();
  });
}
