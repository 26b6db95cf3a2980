// Previews of at most 256 pixels from a mixed corpus made at start (100 JPEGs of 12 megapixels, 20
// PNGs, 5 EXRs, 5 TIFFs), side by side with vipsthumbnail on the same files; each side runs in a
// process of its own so that its peak memory can be read. Also the quick match of 100 000 names
// against one hash-map lookup per name, and the full match of 10 000 files against
// `file --mime-type`.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "benchhome.h"
#include "contenttree/browserinterface.h"
#include "filetypes/filetypeplugins.h"
#include "orx/media.h"

extern char** environ;

namespace {

std::string g_home;
std::vector<std::string> g_pictures;
std::vector<std::string> g_matchFiles;

bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

void Prepare(const char* home)
{
  g_home = home;
  const std::string dir = g_home + "/corpus";
  std::filesystem::create_directories(dir);
  // A few distinct photos of 12 megapixels (noise over gradients compresses like a photo), copied.
  for (int i = 0; i < 4; ++i) {
    const std::string src = dir + "/src" + std::to_string(i) + ".jpg";
    Sh("convert -size 4000x3000 gradient:'rgb(" + std::to_string(40 * i) + ",90,200)'-'rgb(250," +
       std::to_string(60 * i) + ",20)' -attenuate 0.6 +noise Gaussian -quality 90 '" + src + "'");
  }
  for (int i = 0; i < 100; ++i) {
    const std::string f = dir + "/photo" + std::to_string(i) + ".jpg";
    std::filesystem::copy_file(dir + "/src" + std::to_string(i % 4) + ".jpg", f);
    g_pictures.push_back(f);
  }
  Sh("convert -size 1920x1080 plasma:fractal '" + dir + "/png.png'");
  for (int i = 0; i < 20; ++i) {
    const std::string f = dir + "/shot" + std::to_string(i) + ".png";
    std::filesystem::copy_file(dir + "/png.png", f);
    g_pictures.push_back(f);
  }
  Sh("oiiotool --pattern fill:top=0.1,0.2,0.9:bottom=0.9,0.5,0.1 2048x1536 3 --noise:type=gaussian:mean=0:stddev=0.1 "
     "-d half -o '" + dir + "/exr.exr'");
  Sh("convert -size 3000x2000 plasma:fractal -compress lzw '" + dir + "/tif.tif'");
  for (int i = 0; i < 5; ++i) {
    for (const char* kind : {"exr", "tif"}) {
      const std::string f = dir + "/" + kind + std::to_string(i) + "." + kind;
      std::filesystem::copy_file(dir + "/" + kind + "." + kind, f);
      g_pictures.push_back(f);
    }
  }
  // Files for the full match: small pictures, sounds, scenes and text.
  const std::string m = g_home + "/match";
  std::filesystem::create_directories(m);
  Sh("convert -size 32x32 xc:red '" + m + "/s.png'");
  Sh("convert -size 32x32 xc:red '" + m + "/s.jpg'");
  Sh("ffmpeg -nostdin -y -f lavfi -i sine=duration=0.2 '" + m + "/s.wav'");
  Sh("printf 'orxs\\0\\0\\0\\0' > '" + m + "/s.orx'");
  Sh("printf 'plain text\\n' > '" + m + "/s.txt'");
  const char* kinds[] = {"png", "jpg", "wav", "orx", "txt"};
  for (int i = 0; i < 10000; ++i) {
    const char* k = kinds[i % 5];
    const std::string f = m + "/f" + std::to_string(i) + "." + k;
    std::filesystem::copy_file(m + "/s." + k, f);
    g_matchFiles.push_back(f);
  }
  RegisterFileTypePlugins(0);
  RegisterFileTypePlugins(1);
}

struct ChildRun
{
  double seconds = 0;
  double peakMiB = 0;
  bool ok = false;
};

ChildRun Finish(pid_t pid, std::chrono::steady_clock::time_point start)
{
  ChildRun r;
  int status = 0;
  struct rusage ru = {};
  if (pid > 0 && ::wait4(pid, &status, 0, &ru) == pid) {
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peakMiB = double(ru.ru_maxrss) / 1024.0;
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

// The host's image service over the corpus, in a child process.
ChildRun OurPreviews()
{
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    int failed = 0;
    for (const std::string& f : g_pictures) {
      BaseBitmap* b = GeLoadBitmap(Filename(String(f.c_str())), 256);
      failed += !b || b->GetWidth() > 256 || b->GetHeight() > 256;
      delete b;
    }
    std::_Exit(failed ? 1 : 0);
  }
  return Finish(pid, start);
}

ChildRun PeerPreviews()
{
  const std::string out = g_home + "/vips";
  std::filesystem::create_directories(out);
  std::vector<std::string> args = {"vipsthumbnail", "-s", "256", "-o", out + "/%s.jpg"};
  args.insert(args.end(), g_pictures.begin(), g_pictures.end());
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, "vipsthumbnail", nullptr, nullptr, argv.data(), environ) != 0)
    return ChildRun{};
  return Finish(pid, start);
}

void Report(benchmark::State& state, ChildRun (*run)())
{
  double peak = 0;
  for (auto _ : state) {
    const ChildRun r = run();
    if (!r.ok) {
      state.SkipWithError("the run failed");
      return;
    }
    state.SetIterationTime(r.seconds);
    peak = std::max(peak, r.peakMiB);
  }
  state.counters["files"] = double(g_pictures.size());
  state.counters["peak_MiB"] = peak;
}

void BM_Previews(benchmark::State& state) { Report(state, OurPreviews); }
void BM_PeerVipsthumbnail(benchmark::State& state)
{
  if (!Sh("command -v vipsthumbnail")) {
    state.SkipWithError("vipsthumbnail is not installed");
    return;
  }
  Report(state, PeerPreviews);
}

std::vector<std::string> Names()
{
  const char* suffixes[] = {"jpg", "png", "mp4", "orx", "wav", "txt", "tif", "JPG", "osc", "lqz", "doc", "mov"};
  std::vector<std::string> names;
  names.reserve(100000);
  for (int i = 0; i < 100000; ++i)
    names.push_back("/home/user/projects/scene " + std::to_string(i % 977) + "/file" + std::to_string(i) + "." +
                    suffixes[i % 12]);
  return names;
}

void BM_QuickMatch(benchmark::State& state)
{
  std::vector<BrowserURL> urls;
  for (const std::string& n : Names())
    urls.emplace_back(Filename(String(n.c_str())));
  Int64 found = 0;
  for (auto _ : state)
    for (const BrowserURL& u : urls) {
      BrowserPluginInterface* h = nullptr;
      found += FindPluginForURL(u, false, &h);
    }
  benchmark::DoNotOptimize(found);
  state.SetItemsProcessed(state.iterations() * Int64(urls.size()));
}

// The limit: the suffix of each name looked up once in a hash map of every handler's suffixes.
void BM_QuickMatchLimitHashMap(benchmark::State& state)
{
  const std::vector<std::string> names = Names();
  std::unordered_map<std::string, int> bySuffix;
  for (const char* s : {"bmp", "png", "jpg", "jpeg", "tif", "tiff", "exr", "orx", "fbx", "mp4", "mov", "mpg",
                        "avi", "wav", "mp3", "aif", "osc", "kvx", "kvb", "lqz"})
    bySuffix.emplace(s, 1);
  Int64 found = 0;
  for (auto _ : state)
    for (const std::string& n : names) {
      const std::size_t dot = n.rfind('.');
      found += bySuffix.count(n.substr(dot + 1));
    }
  benchmark::DoNotOptimize(found);
  state.SetItemsProcessed(state.iterations() * Int64(names.size()));
}

void BM_FullMatch(benchmark::State& state)
{
  std::vector<BrowserURL> urls;
  for (const std::string& n : g_matchFiles)
    urls.emplace_back(Filename(String(n.c_str())));
  Int64 found = 0;
  for (auto _ : state)
    for (const BrowserURL& u : urls) {
      BrowserPluginInterface* h = nullptr;
      found += FindPluginForURL(u, true, &h);
    }
  benchmark::DoNotOptimize(found);
  state.SetItemsProcessed(state.iterations() * Int64(urls.size()));
}

void BM_FullMatchPeerFile(benchmark::State& state)
{
  const std::string list = g_home + "/match.list";
  {
    std::FILE* f = std::fopen(list.c_str(), "w");
    for (const std::string& n : g_matchFiles)
      std::fprintf(f, "%s\n", n.c_str());
    std::fclose(f);
  }
  for (auto _ : state)
    if (!Sh("file --mime-type -f '" + list + "'")) {
      state.SkipWithError("file failed");
      return;
    }
  state.SetItemsProcessed(state.iterations() * Int64(g_matchFiles.size()));
}

} // namespace

BENCHMARK(BM_Previews)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_PeerVipsthumbnail)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_QuickMatch)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_QuickMatchLimitHashMap)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_FullMatch)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_FullMatchPeerFile)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv) { return RunBenchmarksInTemporaryHome(argc, argv, Prepare); }
