// Sorting 100 000 children in each of the six orders, against the limit: std::sort of the bare name
// strings with the same collator. The ratios are printed at the end of the run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "services/host.h"
#include "contenttree/sortby.h"

namespace {

constexpr int kChildren = 100000;

class BenchNode : public BrowserContentNode
{
public:
  BenchNode(String name, UInt32 status, Int64 size, DateTime t, String type)
    : BrowserContentNode(status), name_(std::move(name)), size_(size), time_(t), type_(std::move(type))
  {
  }
  Int32 GetNodeType() override { return NODETYPE_DIRECTORY; }
  String GetName() override { return name_; }
  const String* GetNameRef() override { return &name_; }
  String* GetTypeName(String* out, Int32) override
  {
    *out = type_;
    return out;
  }
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    out->SetString(String("file:/bench/") + name_);
    return true;
  }
  Bool GetFileTime(Int32, DateTime* out) override
  {
    *out = time_;
    return true;
  }
  UInt32 GetInfo(Int64* size) override
  {
    if (size)
      *size = size_;
    return GetStatus();
  }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }

private:
  String name_;
  Int64 size_;
  DateTime time_;
  String type_;
};

struct Fixture
{
  Ref<BrowserContentTree> tree;
  Ref<BenchNode> parent;
  std::vector<String> names;
};

// File-like names: shared words, numbers, mixed case, some duplicates; one in ten a folder.
Fixture& Data()
{
  // Never destroyed: the tree must not outlive the host table at exit.
  static Fixture& f = *[] {
    auto* dp = new Fixture;
    Fixture& d = *dp;
    static const char* words[] = {"texture", "Wood", "metal", "IMG", "scene", "render", "Final", "brick",
                                  "Sky", "character", "rig", "lamp", "floor", "glass", "Chair", "tree"};
    static const char* suffixes[] = {".png", ".jpg", ".orx", ".tif", ".wav", ".exr", ""};
    static const char* types[] = {"PNG Image", "JPEG Image", "Scene", "TIFF Image", "Sound", "OpenEXR"};
    std::mt19937 rng(12345);
    d.tree = MakeRef<BrowserContentTree>();
    d.parent = MakeRef<BenchNode>(String("parent"), NODESTATUS_FOLDER, 0, DateTime{}, String());
    d.parent->InsertUnder(d.tree.Get());
    for (int i = 0; i < kChildren; ++i) {
      std::string name = std::string(words[rng() % 16]) + (rng() % 2 ? "_" : " ") + words[rng() % 16] + " " +
                         std::to_string(rng() % 5000);
      const bool folder = rng() % 10 == 0;
      const unsigned s = rng() % 7;
      if (!folder)
        name += suffixes[s];
      DateTime t{UInt16(2000 + rng() % 25), UInt16(1 + rng() % 12), UInt16(1 + rng() % 28),
                 UInt16(rng() % 24),      UInt16(rng() % 60),     UInt16(rng() % 60)};
      String n(name.c_str());
      d.names.push_back(n);
      Ref<BenchNode> c = MakeRef<BenchNode>(n, folder ? NODESTATUS_FOLDER : 0u, folder ? 0 : Int64(rng() % 100000000),
                                            t, String(folder ? "Folder" : types[s % 6]));
      c->InsertUnderFresh(d.parent.Get());
    }
    return dp;
  }();
  return f;
}

void BM_Limit(benchmark::State& state)
{
  const std::vector<String>& names = Data().names;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<String> copy = names;
    state.ResumeTiming();
    std::sort(copy.begin(), copy.end(), [](const String& a, const String& b) { return a.LexCompare(b) < 0; });
    benchmark::DoNotOptimize(copy.data());
  }
}

void BM_SortChildren(benchmark::State& state)
{
  const UInt32 mode = UInt32(state.range(0));
  Fixture& d = Data();
  for (auto _ : state) {
    Int32 count = 0;
    NodeRef* arr = SortChildren(mode, d.parent->GetDownNode(), &count);
    if (count != kChildren)
      state.SkipWithError("wrong count");
    FreeSortedChildren(arr);
  }
}

BENCHMARK(BM_Limit)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SortChildren)->DenseRange(1, 6)->Unit(benchmark::kMillisecond)->MinTime(2.0);

class RatioReporter : public benchmark::ConsoleReporter
{
public:
  void ReportRuns(const std::vector<Run>& runs) override
  {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0) {
        std::string name = r.benchmark_name();
        name = name.substr(0, name.find("/min_time"));
        // CPU time: the machine is shared, and the sorts run on one thread.
        perIteration[name] = r.GetAdjustedCPUTime();
      }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> perIteration;
};

} // namespace

int main(int argc, char** argv)
{
  orxhost::InstallForThisProcess();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  Data();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& t = reporter.perIteration;
  const double limit = t.count("BM_Limit") ? t["BM_Limit"] : 0;
  static const char* modes[] = {"", "name", "modified", "created", "size", "type", "none"};
  if (limit > 0)
    for (int m = 1; m <= 6; ++m) {
      const std::string key = "BM_SortChildren/" + std::to_string(m);
      if (t.count(key))
        std::printf("mode %d (%s) / limit: %.2f\n", m, modes[m], t[key] / limit);
    }
  benchmark::Shutdown();
  return 0;
}
