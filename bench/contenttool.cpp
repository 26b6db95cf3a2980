// The content tool's export: a library of presets of 64 KB data with two previews each written as a
// folder tree, against `cp -r` of the tree it wrote (the limit), with the growth of the peak
// resident memory during the export for two library sizes.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "benchhome.h"
#include "contenttree/browserinterface.h"
#include "core/contentaccess.h"
#include "core/libraryregistry.h"
#include "orx/bitmap.h"
#include "orx/media.h"
#include "tools/contenttool/exportlibrary.h"
#include "ui/uimodel.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string g_home;
constexpr Int32 kDataBytes = 64 * 1024;

long StatusKb(const char* key)
{
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':')
      return std::atol(line.c_str() + n + 1);
  return -1;
}

// The peak resident size starts again from the present one.
void ResetPeak()
{
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
}

std::string LibraryUrl(Int64 n) { return "preset://bench" + std::to_string(n) + ".libqz"; }

void MakeLibrary(Int64 n)
{
  const Filename file = Filename(String((g_home + "/bench" + std::to_string(n) + ".libqz").c_str()));
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  db->SetName(String(LibraryUrl(n).c_str()));
  db->Save(true);
  BaseBitmap bmp;
  bmp.Init(64, 64);
  for (Int32 y = 0; y < 64; ++y)
    for (Int32 x = 0; x < 64; ++x)
      bmp.SetPixel(x, y, UChar(x * 4), UChar(y * 4), 128);
  const Filename jpgFile = Filename(String((g_home + "/p.jpg").c_str()));
  GeSaveBitmap(bmp, jpgFile, SAVEBITMAP_JPEG, 90);
  std::ifstream in(jpgFile.ToUtf8(), std::ios::binary);
  const std::string jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::mt19937 rng(7);
  std::string data(kDataBytes, '\0');
  for (char& c : data)
    c = char(rng());
  const String url(LibraryUrl(n).c_str());
  // 100 presets per folder.
  for (Int64 i = 0; i < n; ++i) {
    const std::string folder = "F" + std::to_string(i / 100);
    if (i % 100 == 0)
      AddBenchItem(db, LibraryUrl(n) + "/" + folder, true);
    BrowserDatabaseItem* item = db->OpenOrCreateItem(url + String(("/" + folder + "/P" + std::to_string(i)).c_str()));
    item->SetType(1018107);
    item->SetName(String(("Preset " + std::to_string(i)).c_str()), 0x75730000);
    std::memcpy(data.data(), &i, sizeof i);
    item->SetData(data.data(), kDataBytes, dbitem::kStoreAsGiven);
    item->AddPreview(0, jpeg.data(), Int64(jpeg.size()), 4, DateTime());
    item->AddPreview(1, jpeg.data(), Int64(jpeg.size()), 8, DateTime());
    item->Close();
    if (i % 1000 == 999)
      db->Save();
  }
  db->Save(true);
  BrowserDatabase::Destroy(db);
}

void Prepare(const char* home)
{
  g_home = home;
  orxhost::ui::BindMainThread();
  InitContent();
  for (Int64 n : {2500, 10000}) {
    MakeLibrary(n);
    RegisterLibrary(Filename(String((g_home + "/bench" + std::to_string(n) + ".libqz").c_str())), 0u, nullptr);
  }
}

NodeRef Root(Int64 n)
{
  BrowserURL u{String(LibraryUrl(n).c_str())};
  return GetNode(u, GETNODE_EXACT);
}

std::string Tree(Int64 n) { return g_home + "/tree" + std::to_string(n); }

void Remove(const std::string& path)
{
  std::error_code ec;
  fs::remove_all(path, ec);
  fs::remove(path + ".cbinfo", ec);
}

void BM_Export(benchmark::State& state)
{
  const Int64 n = state.range(0);
  NodeRef root = Root(n);
  if (!root) {
    state.SkipWithError("no library");
    return;
  }
  long growthKb = 0;
  for (auto _ : state) {
    Remove(Tree(n));
    ::sync();
    ResetPeak();
    const long before = StatusKb("VmRSS");
    const auto start = Clock::now();
    ExportLibraryUI dialog(Filename(String(Tree(n).c_str())), root);
    dialog.Execute();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    growthKb = std::max(growthKb, StatusKb("VmHWM") - before);
    if (!dialog.GetSuccess() || dialog.GetErrorCount() != 0)
      state.SkipWithError("the export failed");
  }
  state.counters["peak_growth_MiB"] = double(growthKb) / 1024.0;
  state.counters["presets"] = double(n);
}

// The limit: a plain recursive copy of the tree the export wrote.
void BM_LimitCpR(benchmark::State& state)
{
  const Int64 n = state.range(0);
  if (!fs::exists(Tree(n))) {
    ExportLibraryUI dialog(Filename(String(Tree(n).c_str())), Root(n));
    dialog.Execute();
  }
  const std::string copy = g_home + "/copy" + std::to_string(n);
  for (auto _ : state) {
    Remove(copy);
    ::sync();
    const auto start = Clock::now();
    const std::string cmd = "cp -r '" + Tree(n) + "' '" + copy + "'";
    const int rc = std::system(cmd.c_str());
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (rc != 0)
      state.SkipWithError("cp failed");
  }
  Remove(copy);
}

// Both in each iteration, one right after the other, so that the ratio is taken under the same
// load; the time reported is the export's.
void BM_ExportAgainstCpR(benchmark::State& state)
{
  const Int64 n = state.range(0);
  NodeRef root = Root(n);
  const std::string copy = g_home + "/copy" + std::to_string(n);
  double exportSecs = 0, copySecs = 0;
  for (auto _ : state) {
    Remove(Tree(n));
    Remove(copy);
    ::sync();
    auto start = Clock::now();
    {
      ExportLibraryUI dialog(Filename(String(Tree(n).c_str())), root);
      dialog.Execute();
      if (!dialog.GetSuccess() || dialog.GetErrorCount() != 0)
        state.SkipWithError("the export failed");
    }
    ::sync();
    const double e = std::chrono::duration<double>(Clock::now() - start).count();
    start = Clock::now();
    const std::string cmd = "cp -r '" + Tree(n) + "' '" + copy + "'";
    const int rc = std::system(cmd.c_str());
    ::sync();
    const double c = std::chrono::duration<double>(Clock::now() - start).count();
    if (rc != 0)
      state.SkipWithError("cp failed");
    exportSecs += e;
    copySecs += c;
    state.SetIterationTime(e);
  }
  Remove(copy);
  state.counters["cp_r_ms"] = copySecs * 1000.0 / double(state.iterations());
  state.counters["ratio"] = copySecs > 0 ? exportSecs / copySecs : 0;
}

void Sizes(benchmark::internal::Benchmark* b)
{
  b->ArgName("presets")->Arg(2500)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
}

BENCHMARK(BM_Export)->Apply(Sizes);
BENCHMARK(BM_LimitCpR)->Apply(Sizes);
BENCHMARK(BM_ExportAgainstCpR)->Apply(Sizes);

} // namespace

int main(int argc, char** argv) { return RunBenchmarksInTemporaryHome(argc, argv, &Prepare); }
