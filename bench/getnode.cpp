// GetNode for random preset URLs in a tree of 100 000 nodes, and listing 10 000 children through
// the published operation table, per call.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/calltable.h"
#include "core/contentaccess.h"
#include "core/libraryregistry.h"
#include "presets/browserdatabase.h"
#include "presets/filepresetnode.h"
#include "benchhome.h"

namespace {

constexpr int kFolders = 100;
constexpr int kPerFolder = 999; // with the folders and the root: 100 000 items
constexpr int kWide = 10000;
// Folders whose width a lookup must not feel.
constexpr int kWidths[] = {1000, 10000, 100000};

struct World
{
  std::vector<std::string> urls;
  std::vector<std::string> wide[3]; // the presets of the folders of kWidths
  double buildSeconds = 0;
};

std::string WideFolder(int width) { return "preset://bench.libqz/Width " + std::to_string(width); }

// One library of 100 000 items shown below the preset root, and one folder of 10 000 presets.
World& Build()
{
  static World* w = [] {
    auto* world = new World;
    InitContent();
    BrowserDatabase* db = BrowserDatabase::Create(Filename("/nonexistent/bench.libqz"), String(), 0);
    const std::string lib = "preset://bench.libqz";
    db->SetName(String(lib.c_str()));
    auto add = [&](const std::string& path, bool folder) { AddBenchItem(db, path, folder); };
    add(lib, true);
    for (int f = 0; f < kFolders; ++f) {
      const std::string folder = lib + "/Folder " + std::to_string(f);
      add(folder, true);
      for (int i = 0; i < kPerFolder; ++i) {
        const std::string path = folder + "/Preset " + std::to_string(i);
        add(path, false);
        world->urls.push_back(path);
      }
    }
    for (int i = 0; i < kWide; ++i)
      add(lib + "/Wide/Item " + std::to_string(i), false);
    for (int w = 0; w < 3; ++w) {
      add(WideFolder(kWidths[w]), true);
      for (int i = 0; i < kWidths[w]; ++i) {
        const std::string path = WideFolder(kWidths[w]) + "/Preset " + std::to_string(i);
        add(path, false);
        world->wide[w].push_back(path);
      }
    }
    const auto start = std::chrono::steady_clock::now();
    NodeRef root = FilePresetNode::MakeLibraryRoot(GetRootNode(ROOT_PRESET), String("bench.libqz"), String("Bench"), db);
    AddLibraryNodes(db->GetSlot(), String(lib.c_str()), root, FilePresetNodeFactory, nullptr);
    world->buildSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Case does not matter to GetNode: half of the lookups are upper-cased.
    for (std::size_t i = 0; i < world->urls.size(); i += 2)
      for (char& c : world->urls[i])
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return world;
  }();
  return *w;
}

void BM_BuildLibraryNodes(benchmark::State& state)
{
  World& w = Build();
  for (auto _ : state)
    benchmark::DoNotOptimize(&w);
  state.counters["build_s"] = w.buildSeconds;
  state.counters["items"] = double(kFolders * (kPerFolder + 1) + kWide + 1);
}

void BM_GetNodeRandom(benchmark::State& state)
{
  World& w = Build();
  std::mt19937 rng(42);
  std::uniform_int_distribution<std::size_t> pick(0, w.urls.size() - 1);
  std::vector<BrowserURL> urls;
  for (int i = 0; i < 100000; ++i)
    urls.emplace_back(String(w.urls[pick(rng)].c_str()));
  std::size_t i = 0, found = 0;
  for (auto _ : state) {
    NodeRef n = GetNode(urls[i], GETNODE_EXACT);
    found += n ? 1 : 0;
    if (++i == urls.size())
      i = 0;
  }
  if (found != std::size_t(state.iterations()))
    state.SkipWithError("a URL was not found");
  state.SetItemsProcessed(state.iterations());
}

std::vector<BrowserURL> RandomURLs(const std::vector<std::string>& from)
{
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, from.size() - 1);
  std::vector<BrowserURL> urls;
  for (int i = 0; i < 100000; ++i)
    urls.emplace_back(String(from[pick(rng)].c_str()));
  return urls;
}

// GetNode of random presets of one folder of state.range(0) children.
void BM_GetNodeInFolderOfWidth(benchmark::State& state)
{
  World& w = Build();
  int which = 0;
  while (kWidths[which] != state.range(0))
    ++which;
  std::vector<BrowserURL> urls = RandomURLs(w.wide[which]);
  std::size_t i = 0, found = 0;
  for (auto _ : state) {
    found += GetNode(urls[i], GETNODE_EXACT) ? 1 : 0;
    if (++i == urls.size())
      i = 0;
  }
  if (found != std::size_t(state.iterations()))
    state.SkipWithError("a URL was not found");
  state.SetItemsProcessed(state.iterations());
}

// The peer: a hash map from the upper-cased URL to the node, filled with every preset of the same
// folder; a lookup upper-cases the URL as GetNode does, since both ignore case.
void BM_HashMapInFolderOfWidth(benchmark::State& state)
{
  World& w = Build();
  int which = 0;
  while (kWidths[which] != state.range(0))
    ++which;
  std::unordered_map<std::u16string, NodeRef> map;
  for (const std::string& u : w.wide[which]) {
    BrowserURL url(String(u.c_str()));
    map.emplace(std::u16string(url.GetStringRef().ToUpper().View()), GetNode(url, GETNODE_EXACT));
  }
  std::vector<BrowserURL> urls = RandomURLs(w.wide[which]);
  std::size_t i = 0, found = 0;
  for (auto _ : state) {
    auto it = map.find(std::u16string(urls[i].GetStringRef().ToUpper().View()));
    found += it != map.end() && it->second ? 1 : 0;
    if (++i == urls.size())
      i = 0;
  }
  if (found != std::size_t(state.iterations()))
    state.SkipWithError("a URL was not found");
  state.SetItemsProcessed(state.iterations());
}

void BM_ListChildrenThroughTable(benchmark::State& state)
{
  Build();
  const OrxBrowserLibrary* lib = GetBrowserLibrary();
  BrowserURL url(String("preset://bench.libqz/Wide"));
  OrxBrowserNode* folder = lib->main->GetNode(reinterpret_cast<OrxBrowserURL*>(&url), BROWSER_GETNODE_EXACT, nullptr);
  if (!folder) {
    state.SkipWithError("no folder");
    return;
  }
  Int64 listed = 0;
  for (auto _ : state) {
    for (OrxBrowserNode* c = lib->tree->GetDown(folder); c;) {
      String name;
      Int64 size = 0;
      lib->content->GetName(c, &name);
      benchmark::DoNotOptimize(lib->content->GetInfo(c, &size));
      OrxBrowserNode* next = lib->tree->GetNext(c);
      lib->header.releaseNode(c);
      c = next;
      ++listed;
    }
  }
  lib->header.releaseNode(folder);
  state.SetItemsProcessed(listed);
  state.counters["per_child"] = benchmark::Counter(double(listed), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_BuildLibraryNodes)->Iterations(1);
BENCHMARK(BM_GetNodeRandom)->MinTime(2.0);
BENCHMARK(BM_GetNodeInFolderOfWidth)->Arg(1000)->Arg(10000)->Arg(100000)->MinTime(1.0);
BENCHMARK(BM_HashMapInFolderOfWidth)->Arg(1000)->Arg(10000)->Arg(100000)->MinTime(1.0);
BENCHMARK(BM_ListChildrenThroughTable)->Unit(benchmark::kMillisecond)->MinTime(1.0);

} // namespace

int main(int argc, char** argv) { return RunBenchmarksInTemporaryHome(argc, argv); }
