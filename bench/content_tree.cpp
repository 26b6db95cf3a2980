// The content tree at a million nodes: building it, walking it the way views and the search do,
// and taking it apart, each per node; and the same walk over a plain vector of node pointers as the
// limit, measured in the same iterations so the ratio holds under the same conditions.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "services/host.h"
#include "contenttree/rtreenode.h"

namespace {

class BenchNode : public BrowserContentNode
{
public:
  BenchNode() : BrowserContentNode(0) {}
  Int32 GetNodeType() override { return NODETYPE_CATALOG; }
  String GetName() override { return {}; }
  const String* GetNameRef() override { return nullptr; }
  Bool GetURL(BrowserURL*, UInt32) override { return false; }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }
};

// 100 top-level nodes, 100 folders in each, 100 items in each folder.
constexpr int kFan = 100;
constexpr Int64 kNodes = kFan + kFan * kFan + Int64(kFan) * kFan * kFan;

Ref<BrowserContentTree> Build(std::vector<BrowserContentNode*>* flat = nullptr)
{
  Ref<BrowserContentTree> tree = MakeRef<BrowserContentTree>();
  auto add = [&](RTreeNode* parent) {
    Ref<BenchNode> n = MakeRef<BenchNode>();
    n->InsertUnderFresh(parent);
    if (flat)
      flat->push_back(n.Get());
    return n;
  };
  for (int i = 0; i < kFan; ++i) {
    Ref<BenchNode> top = add(tree.Get());
    for (int j = 0; j < kFan; ++j) {
      Ref<BenchNode> folder = add(top.Get());
      for (int k = 0; k < kFan; ++k)
        add(folder.Get());
    }
  }
  return tree;
}

// Depth first through the counted links, listing on the way down as GetDown does.
Int64 Walk(RTree* tree)
{
  Int64 seen = 0;
  Ref<BrowserContentNode> cur = BrowserContentNode::FromTree(tree->GetFirstChild());
  while (cur) {
    ++seen;
    if (Ref<BrowserContentNode> down = cur->GetDownNode()) {
      cur = std::move(down);
      continue;
    }
    while (cur) {
      if (Ref<BrowserContentNode> next = cur->GetNextNode()) {
        cur = std::move(next);
        break;
      }
      cur = cur->GetUpNode();
    }
  }
  return seen;
}

void PerNode(benchmark::State& state)
{
  state.counters["per_node"] =
    benchmark::Counter(double(kNodes), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Build(benchmark::State& state)
{
  for (auto _ : state) {
    Ref<BrowserContentTree> tree = Build();
    state.PauseTiming();
    tree = nullptr;
    state.ResumeTiming();
  }
  PerNode(state);
}

void BM_Remove(benchmark::State& state)
{
  for (auto _ : state) {
    state.PauseTiming();
    Ref<BrowserContentTree> tree = Build();
    state.ResumeTiming();
    tree = nullptr;
  }
  PerNode(state);
}

void BM_WalkAgainstVector(benchmark::State& state)
{
  std::vector<BrowserContentNode*> flat;
  flat.reserve(std::size_t(kNodes));
  Ref<BrowserContentTree> tree = Build(&flat);
  double treeSeconds = 0, vectorSeconds = 0;
  for (auto _ : state) {
    const auto w0 = std::chrono::steady_clock::now();
    const Int64 seen = Walk(tree.Get());
    treeSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    state.PauseTiming();
    if (seen != kNodes)
      state.SkipWithError("walk missed nodes");
    const auto t0 = std::chrono::steady_clock::now();
    UInt32 sum = 0;
    for (BrowserContentNode* n : flat)
      sum += n->GetStatus() + 1;
    benchmark::DoNotOptimize(sum);
    vectorSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.ResumeTiming();
  }
  PerNode(state);
  state.counters["vector_per_node"] = vectorSeconds / double(state.iterations()) / double(kNodes);
  state.counters["tree_vs_vector"] = vectorSeconds > 0 ? treeSeconds / vectorSeconds : 0;
}

BENCHMARK(BM_Build)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WalkAgainstVector)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Remove)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv)
{
  orxhost::InstallForThisProcess();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
