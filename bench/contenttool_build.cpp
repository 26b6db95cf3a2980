// Building a library from a description tree: 2 000, 10 000 and 20 000 presets of 64 KB with two JPEG
// previews each, against the limit `tar -cf - tree | zstd -9` of the same tree. Each run is a child
// process of its own, so that its peak memory is its own: the build's must not grow with the tree.
// Counters: ratio (build time / limit time), rss_mb and limit_rss_mb (peak resident memory).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "benchhome.h"
#include "orx/bitmap.h"
#include "orx/media.h"
#include "tools/contenttool/librarybuild.h"

namespace fs = std::filesystem;

namespace {

std::string g_home;
constexpr int kPerFolder = 100;
constexpr std::size_t kDataBytes = 64 * 1024;
constexpr int kPictures = 200; // distinct previews, cycled further apart than zstd's window

UInt64 Next(UInt64& s)
{
  s ^= s << 13, s ^= s >> 7, s ^= s << 17;
  return s;
}

// Data that compresses about 2:1, as preset data does: random words with repeated runs.
std::string Data(UInt64 seed)
{
  std::string d(kDataBytes, '\0');
  UInt64 s = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < d.size();) {
    const UInt64 r = Next(s);
    if ((r & 3) == 0 && i > 64) {
      const std::size_t back = 1 + (r >> 8) % 64, len = std::min<std::size_t>(16 + (r >> 20) % 48, d.size() - i);
      for (std::size_t k = 0; k < len; ++k, ++i)
        d[i] = d[i - back];
    } else {
      for (int k = 0; k < 8 && i < d.size(); ++k, ++i)
        d[i] = char((r >> (8 * k)) & 0x3f) + 32;
    }
  }
  return d;
}

std::vector<std::string> Pictures(const fs::path& scratch)
{
  std::vector<std::string> out;
  UInt64 s = 99;
  for (int p = 0; p < kPictures; ++p) {
    BaseBitmap bmp;
    bmp.Init(96, 96);
    for (int y = 0; y < 96; ++y)
      for (int x = 0; x < 96; ++x) {
        const UInt64 r = Next(s);
        bmp.SetPixel(x, y, UChar(x * 2 + (r & 15)), UChar(y * 2 + ((r >> 4) & 15)), UChar(p + ((r >> 8) & 31)));
      }
    const fs::path f = scratch / ("p" + std::to_string(p) + ".jpg");
    GeSaveBitmap(bmp, Filename(String(f.string().c_str())), SAVEBITMAP_JPEG, 85);
    std::ifstream in(f, std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return out;
}

void Write(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

std::string Desc(const std::string& attributes, const std::string& inner)
{
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<item " + attributes + ">\r\n" + inner +
         "</item>\r\n";
}

fs::path MakeTree(int presets)
{
  const fs::path base = fs::path(g_home) / ("tree" + std::to_string(presets));
  const std::string name = "Bench" + std::to_string(presets);
  const fs::path root = base / name;
  if (fs::exists(root))
    return root;
  fs::create_directories(root);
  static const std::vector<std::string> pictures = Pictures(fs::path(g_home));
  Write(base / (name + ".cbinfo"), Desc("type=library", "\t<name>\r\n\t\t<string>" + name + "</string>\r\n\t</name>\r\n"));
  for (int i = 0; i < presets; ++i) {
    const std::string folder = "F" + std::to_string(i / kPerFolder);
    const fs::path fp = root / folder;
    if (i % kPerFolder == 0) {
      fs::create_directories(fp);
      Write(root / (folder + ".cbinfo"), Desc("type=folder", "\t<name>\r\n\t\t<string>" + folder + "</string>\r\n\t</name>\r\n"));
    }
    const std::string n = "preset" + std::to_string(i);
    Write(fp / n, Data(UInt64(i)));
    Write(fp / (n + ".preview_00000.jpg"), pictures[std::size_t(i * 2) % kPictures]);
    Write(fp / (n + ".preview_00001.jpg"), pictures[std::size_t(i * 2 + 1) % kPictures]);
    Write(fp / (n + ".cbinfo"),
          Desc("type=genericpreset", "\t<name>\r\n\t\t<string>" + n + "</string>\r\n\t</name>\r\n"
                                     "\t<preview type=highquality>\r\n\t\t<media>" + n + ".preview_00000.jpg</media>\r\n\t</preview>\r\n"
                                     "\t<preview type=lowquality>\r\n\t\t<media>" + n + ".preview_00001.jpg</media>\r\n\t</preview>\r\n"));
  }
  return root;
}

// Runs fn in a child process: its wall time in seconds and its peak resident memory in MB.
template <typename F>
bool InChild(F&& fn, double* seconds, double* rssMb)
{
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0)
    return false;
  if (pid == 0)
    ::_exit(fn() ? 0 : 1);
  int status = 0;
  struct rusage ru = {};
  if (::wait4(pid, &status, 0, &ru) != pid)
    return false;
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  *rssMb = double(ru.ru_maxrss) / 1024.0;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_BuildLibrary(benchmark::State& state)
{
  const int presets = int(state.range(0));
  const fs::path root = MakeTree(presets);
  const fs::path target = fs::path(g_home) / ("built" + std::to_string(presets) + ".libqz");
  const fs::path packed = fs::path(g_home) / "tree.tar.zst";
  double ours = 0, limit = 0, rss = 0, limitRss = 0;
  for (auto _ : state) {
    fs::remove(packed);
    const std::string cmd = "tar -cf - -C '" + root.parent_path().string() + "' . | zstd -9 -q -o '" + packed.string() + "'";
    if (!InChild([&] { return ::execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr) == 0; }, &limit, &limitRss)) {
      state.SkipWithError("tar | zstd failed");
      return;
    }
    fs::remove(target);
    if (!InChild(
            [&] {
              BuildOutcome o;
              return RunLibraryBuild(Filename(String(root.string().c_str())), Filename(String(target.string().c_str())), &o);
            },
            &ours, &rss)) {
      state.SkipWithError("the build failed");
      return;
    }
    state.SetIterationTime(ours);
  }
  state.counters["limit_s"] = limit;
  state.counters["ratio"] = ours / limit;
  state.counters["rss_mb"] = rss;
  state.counters["limit_rss_mb"] = limitRss;
  state.counters["library_mb"] = double(fs::file_size(target)) / 1e6;
  state.counters["packed_mb"] = double(fs::file_size(packed)) / 1e6;
  double load[1] = {0};
  if (::getloadavg(load, 1) == 1)
    state.counters["load"] = load[0];
  fs::remove(target);
  fs::remove(packed);
}
BENCHMARK(BM_BuildLibrary)->Arg(2000)->Arg(10000)->Arg(20000)->Arg(40000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
  return RunBenchmarksInTemporaryHome(argc, argv, [](const char* home) { g_home = home; });
}
