// Catalogs against their limits: adding links to one catalog (limit: an append with a hash set of
// names), resolving links whose targets exist or are gone (limit: a hash map from URL to node),
// and loading a catalog file of 100 000 links into nodes (to compare with bench_library's load).
//
// Each measured pair runs in the same iteration so that its ratio holds under the same load.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/browserutils.h"
#include "benchhome.h"
#include "core/catalogs.h"
#include "core/contentaccess.h"
#include "core/libraryregistry.h"
#include "orx/orx.h"
#include "presets/browserdatabase.h"
#include "presets/catalognode.h"

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The CPU time of this thread in seconds: on the shared machine wall times carry other people's
// work, so each measure is given both ways.
double ThreadCpu()
{
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::u16string Key(const String& s)
{
  const String up = s.ToUpper();
  return std::u16string(up.Units(), std::size_t(up.GetLength()));
}

// A catalog without file below "search:/", as search results are kept.
Ref<CatalogNode> Results(const std::string& name)
{
  return CatalogNode::Make(GetRootNode(ROOT_SEARCH), String(name.c_str()), String(name.c_str()), nullptr, nullptr,
                           CATALOGMAKE_FOLDER | CATALOGMAKE_ROOT);
}

// n folders to link to, with distinct names.
std::vector<NodeRef> Targets(const Ref<CatalogNode>& holder, int n)
{
  std::vector<NodeRef> out;
  out.reserve(std::size_t(n));
  for (int i = 0; i < n; ++i) {
    const String name(("target " + std::to_string(i)).c_str());
    out.emplace_back(CatalogNode::Make(NodeRef(holder.Get()), name, name, nullptr, nullptr, CATALOGMAKE_FOLDER));
  }
  return out;
}

void AddLinks(benchmark::State& state)
{
  const int n = int(state.range(0));
  Ref<CatalogNode> holder = Results("targets");
  std::vector<NodeRef> targets = Targets(holder, n);
  double module = 0, limit = 0, moduleCpu = 0, limitCpu = 0;
  for (auto _ : state) {
    Ref<CatalogNode> catalog = Results("links");
    auto t0 = Clock::now();
    double c0 = ThreadCpu();
    for (const NodeRef& t : targets)
      benchmark::DoNotOptimize(CatalogNode::AddLink(NodeRef(catalog.Get()), t, false));
    module += Since(t0);
    moduleCpu += ThreadCpu() - c0;
    // The limit: each link appended, its name checked against a hash set of the names so far.
    t0 = Clock::now();
    c0 = ThreadCpu();
    std::vector<NodeRef> appended;
    std::unordered_set<std::u16string> names;
    for (const NodeRef& t : targets) {
      const String name = t->GetName();
      if (!names.insert(Key(name)).second)
        state.SkipWithError("names clash");
      appended.push_back(t);
    }
    limit += Since(t0);
    limitCpu += ThreadCpu() - c0;
    state.PauseTiming();
    catalog->Remove();
    state.ResumeTiming();
  }
  holder->Remove();
  state.counters["module_ms"] = module * 1000 / double(state.iterations());
  state.counters["limit_ms"] = limit * 1000 / double(state.iterations());
  state.counters["ratio"] = limit > 0 ? module / limit : 0;
  state.counters["module_cpu_ms"] = moduleCpu * 1000 / double(state.iterations());
  state.counters["limit_cpu_ms"] = limitCpu * 1000 / double(state.iterations());
  state.counters["ratio_cpu"] = limitCpu > 0 ? moduleCpu / limitCpu : 0;
}

void Resolve(benchmark::State& state)
{
  const int n = int(state.range(0));
  const bool dead = state.range(1) != 0;
  Ref<CatalogNode> holder = Results("resolve targets");
  std::vector<NodeRef> targets = Targets(holder, n);
  std::vector<String> urls;
  for (const NodeRef& t : targets) {
    BrowserURL u;
    t->GetURL(&u, 0);
    urls.push_back(dead ? u.GetString() + String(" gone") : u.GetString());
  }
  std::unordered_map<std::u16string, BrowserContentNode*> map;
  for (const NodeRef& t : targets) {
    BrowserURL u;
    t->GetURL(&u, 0);
    map.emplace(Key(u.GetString()), t.Get());
  }
  double module = 0, limit = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Ref<CatalogNode> catalog = Results("resolving");
    std::vector<Ref<CatalogNode>> links;
    for (int i = 0; i < n; ++i) {
      const String name(("link " + std::to_string(i)).c_str());
      links.push_back(CatalogNode::Make(NodeRef(catalog.Get()), name, name, &urls[std::size_t(i)], nullptr, 0));
    }
    state.ResumeTiming();
    auto t0 = Clock::now();
    int found = 0;
    for (const Ref<CatalogNode>& l : links)
      found += l->GetTarget() ? 1 : 0;
    module += Since(t0);
    if (found != (dead ? 0 : n))
      state.SkipWithError("wrong number of targets found");
    t0 = Clock::now();
    int hits = 0;
    for (const String& u : urls)
      hits += map.count(Key(u)) ? 1 : 0;
    benchmark::DoNotOptimize(hits);
    limit += Since(t0);
    state.PauseTiming();
    links.clear();
    catalog->Remove();
    state.ResumeTiming();
  }
  holder->Remove();
  state.counters["module_ms"] = module * 1000 / double(state.iterations());
  state.counters["limit_ms"] = limit * 1000 / double(state.iterations());
  state.counters["ratio"] = limit > 0 ? module / limit : 0;
}

constexpr int kLoadItems = 100000;
constexpr int kPerFolder = 1000;

// A catalog file of 100 000 links in 100 folders, written once.
Filename BigCatalog()
{
  static Filename file;
  if (!file.IsEmpty())
    return file;
  file = GetUserBrowserFolder() + String("big.catqz");
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  const std::string url = "catalog://big.catqz";
  db->SetName(String(url.c_str()));
  db->SetDisplayName(String("Big"));
  db->Save(true);
  for (int f = 0; f < kLoadItems / kPerFolder; ++f) {
    const std::string folder = url + "/folder " + std::to_string(f);
    BrowserDatabaseItem* item = db->OpenOrCreateItem(String(folder.c_str()));
    item->SetItemFlags(dbitem::kFolderFlag);
    item->Close();
    for (int i = 0; i < kPerFolder; ++i) {
      const std::string name = "link " + std::to_string(i);
      item = db->OpenOrCreateItem(String((folder + "/" + name).c_str()));
      item->SetName(String(name.c_str()));
      item->SetLink(String(("file:///srv/content/" + std::to_string(f) + "/" + name).c_str()), false);
      item->Close();
    }
  }
  db->Save(true);
  BrowserDatabase::Destroy(db);
  return file;
}

void LoadCatalog(benchmark::State& state)
{
  const Filename file = BigCatalog();
  double load = 0, nodes = 0, loadCpu = 0, nodesCpu = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    double c0 = ThreadCpu();
    BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
    if (!db || !db->Load()) {
      state.SkipWithError("cannot load");
      break;
    }
    load += Since(t0);
    loadCpu += ThreadCpu() - c0;
    t0 = Clock::now();
    c0 = ThreadCpu();
    NodeRef root = ShowCatalog(db);
    nodes += Since(t0);
    nodesCpu += ThreadCpu() - c0;
    if (!root)
      state.SkipWithError("not shown");
    state.PauseTiming();
    if (root)
      root->Remove();
    root = nullptr;
    BrowserDatabase::Destroy(db);
    state.ResumeTiming();
  }
  state.counters["load_ms"] = load * 1000 / double(state.iterations());
  state.counters["nodes_ms"] = nodes * 1000 / double(state.iterations());
  state.counters["items_per_s"] = double(kLoadItems + kLoadItems / kPerFolder) * double(state.iterations()) / (load + nodes);
  state.counters["load_cpu_ms"] = loadCpu * 1000 / double(state.iterations());
  state.counters["nodes_cpu_ms"] = nodesCpu * 1000 / double(state.iterations());
}

BENCHMARK(AddLinks)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Resolve)->Args({10000, 0})->Args({10000, 1})->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(LoadCatalog)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv)
{
  return RunBenchmarksInTemporaryHome(argc, argv, [](const char*) {
    InitContent();
    InstallCatalogs();
  });
}
