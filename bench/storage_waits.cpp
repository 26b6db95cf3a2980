// How long a reader of one item waits while its library is compacted, and how a folder copy
// grows with the number of children.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/contentaccess.h"
#include "orx/files.h"
#include "core/libraryregistry.h"
#include "presets/browserdatabase.h"
#include "presets/filepresetnode.h"
#include "benchhome.h"

namespace {

using Clock = std::chrono::steady_clock;
std::string g_home;

// A library of `items` presets with 16 KB of data and an 8 KB preview each, every data set twice
// so that half of the file is dead; a reader thread opens, reads and closes one other item over
// and over while the library is compacted. Reports the longest single read.
void BM_ReaderWaitDuringCompaction(benchmark::State& state)
{
  const int items = int(state.range(0));
  const Filename file = Filename(String((g_home + "/wait.libqz").c_str()));
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  db->SetName("preset://wait.libqz");
  std::string data(16384, 'd'), jpeg(8192, 'j');
  for (int i = 0; i < items; ++i) {
    BrowserDatabaseItem* h = db->OpenOrCreateItem(String("preset://wait.libqz/i") + String::FromInt(i));
    for (int k = 0; k < 2; ++k) {
      data[0] = char(k + i);
      h->SetData(data.data(), Int64(data.size()), dbitem::kStoreAsGiven);
    }
    h->AddPreview(0, jpeg.data(), Int64(jpeg.size()), 4, DateTime());
    h->SetName(String("n") + String::FromInt(i));
    h->Close();
  }
  db->Save();
  double worst = 0, compactSeconds = 0;
  long reads = 0;
  for (auto _ : state) {
    // Dead bytes again for the next round.
    for (int i = 0; i < items; i += 2) {
      BrowserDatabaseItem* h = db->OpenItem(String("preset://wait.libqz/i") + String::FromInt(i));
      h->SetData(data.data(), Int64(data.size()), dbitem::kStoreAsGiven);
      h->Close();
    }
    db->Save();
    std::atomic<bool> stop{false};
    double longest = 0;
    std::thread reader([&] {
      const String path = "preset://wait.libqz/i1";
      while (!stop.load()) {
        const auto t0 = Clock::now();
        BrowserDatabaseItem* h = db->OpenItem(path);
        ByteArray b;
        if (h) {
          h->GetName();
          h->GetData(&b);
          h->Close();
        }
        longest = std::max(longest, std::chrono::duration<double>(Clock::now() - t0).count());
        ++reads;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto t0 = Clock::now();
    db->Compact();
    compactSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    stop = true;
    reader.join();
    worst = std::max(worst, longest);
  }
  state.counters["longest_read_ms"] = worst * 1e3;
  state.counters["compact_ms"] = compactSeconds * 1e3;
  state.counters["file_MB"] = double(GeGetFileSize(file)) / 1e6;
  BrowserDatabase::Destroy(db);
  std::filesystem::remove(file.GetString().ToUtf8());
  std::filesystem::remove(file.GetString().ToUtf8() + ".bak");
}

// Copies a folder of n presets into another folder of the same library through the nodes.
void BM_FolderCopy(benchmark::State& state)
{
  const int n = int(state.range(0));
  static int round = 0;
  const std::string lib = "preset://copy" + std::to_string(++round) + ".libqz";
  BrowserDatabase* db = BrowserDatabase::Create(Filename(String((g_home + "/copy.libqz").c_str())), String(), 0);
  db->SetName(String(lib.c_str()));
  auto add = [&](const std::string& path, bool folder) { AddBenchItem(db, path, folder); };
  add(lib, true);
  add(lib + "/Src", true);
  add(lib + "/Dst", true);
  for (int i = 0; i < n; ++i)
    add(lib + "/Src/Preset " + std::to_string(i), false);
  const std::string rootName = lib.substr(std::string("preset://").size());
  NodeRef root = FilePresetNode::MakeLibraryRoot(GetRootNode(ROOT_PRESET), String(rootName.c_str()), String("Copy"), db);
  AddLibraryNodes(db->GetSlot(), String(lib.c_str()), root, FilePresetNodeFactory, nullptr);
  BrowserURL srcURL(String((lib + "/Src").c_str())), dstURL(String((lib + "/Dst").c_str()));
  NodeRef src = GetNode(srcURL, GETNODE_EXACT);
  NodeRef dst = GetNode(dstURL, GETNODE_EXACT);
  if (!src || !dst) {
    state.SkipWithError("no folders");
    return;
  }
  int copies = 0;
  for (auto _ : state) {
    const String name = String("Copy ") + String::FromInt(++copies);
    if (dst->CopyHere(src, EDITPHASE_DO, &name, nullptr, nullptr) != EDIT_OK)
      state.SkipWithError("copy failed");
  }
  state.counters["children"] = n;
  state.counters["per_child_us"] =
      benchmark::Counter(double(n) * double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  src = nullptr;
  dst = nullptr;
  root->Delete(EDITPHASE_DO, nullptr, nullptr);
}

// Loads a library of n presets from its file and lists it once, as the first listing of its
// nodes does (id, path and hash of every item).
void BM_LoadAndFirstListing(benchmark::State& state)
{
  const int n = int(state.range(0));
  const Filename file = Filename(String((g_home + "/list.libqz").c_str()));
  {
    BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
    db->SetName("preset://list.libqz");
    BaseContainer settings;
    for (Int32 k = 0; k < 17; ++k)
      settings.SetInt32(k, k * 7);
    for (int i = 0; i < n; ++i) {
      BrowserDatabaseItem* h = db->OpenOrCreateItem(String("preset://list.libqz/f") + String::FromInt(i % 100) +
                                                    "/Preset " + String::FromInt(i));
      h->SetName(String("Preset ") + String::FromInt(i));
      h->SetSettings(settings);
      h->SetAnnotation("annotation");
      h->Close();
    }
    db->Save();
    BrowserDatabase::Destroy(db);
  }
  double loadS = 0, listS = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
    db->Load();
    const auto t1 = Clock::now();
    std::vector<BrowserDatabase::ItemInfo> items;
    db->ListItems(&items);
    const auto t2 = Clock::now();
    benchmark::DoNotOptimize(items.data());
    loadS = std::chrono::duration<double>(t1 - t0).count();
    listS = std::chrono::duration<double>(t2 - t1).count();
    BrowserDatabase::Destroy(db);
  }
  state.counters["load_ms"] = loadS * 1e3;
  state.counters["first_listing_ms"] = listS * 1e3;
  std::filesystem::remove(file.GetString().ToUtf8());
}

BENCHMARK(BM_LoadAndFirstListing)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReaderWaitDuringCompaction)->Arg(4000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FolderCopy)->Arg(1000)->Arg(2000)->Arg(4000)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
  return RunBenchmarksInTemporaryHome(argc, argv, [](const char* home) {
    g_home = home;
    InitContent();
  });
}
