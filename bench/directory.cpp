// Directory nodes against the limit of the system: the first listing of a folder of 100 000 files,
// an unchanged relisting, a relisting after one file changed, and a recursive listing of 100 000
// entries in 1 000 folders; side by side with readdir plus one statx per entry, and find -printf.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "nodes/directorynode.h"
#include "benchhome.h"

namespace {

constexpr int kFlat = 100000;
constexpr int kTreeFolders = 10000; // with kTreePerFolder: the 1 000 000 entries of the goal
constexpr int kTreePerFolder = 100;

std::string g_home;

void Touch(const std::string& path)
{
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0)
    ::close(fd);
}

// Old times keep a folder out of the window in which a change may hide behind an unchanged time.
void Backdate(const std::string& path, time_t sec)
{
  struct timespec t[2] = {{0, UTIME_OMIT}, {sec, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), t, 0);
}

const std::string& Flat()
{
  static const std::string dir = [] {
    const std::string d = g_home + "/flat";
    std::filesystem::create_directories(d);
    for (int i = 0; i < kFlat; ++i)
      Touch(d + "/file" + std::to_string(i) + ".bin");
    Backdate(d, 1577836800);
    return d;
  }();
  return dir;
}

const std::string& Tree()
{
  static const std::string dir = [] {
    const std::string d = g_home + "/tree";
    for (int f = 0; f < kTreeFolders; ++f) {
      const std::string sub = d + "/folder" + std::to_string(f);
      std::filesystem::create_directories(sub);
      for (int i = 0; i < kTreePerFolder - 1; ++i)
        Touch(sub + "/f" + std::to_string(i));
    }
    return d;
  }();
  return dir;
}

Ref<DirectoryNode> Node(const std::string& path) { return DirectoryNode::MakeForPath(Filename(String(path.c_str()))); }

Int64 CountChildren(BrowserContentNode* n)
{
  Int64 count = 0;
  for (NodeRef c = n->GetDownNode(); c; c = c->GetNextNode())
    ++count;
  return count;
}

void BM_FirstListing(benchmark::State& state)
{
  const std::string& dir = Flat();
  for (auto _ : state) {
    Ref<DirectoryNode> n = Node(dir);
    benchmark::DoNotOptimize(CountChildren(n.Get()));
    state.PauseTiming();
    n->Remove();
    n = nullptr;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kFlat);
  state.counters["bytes_per_node"] = double(sizeof(DirectoryNode));
}

void BM_PeerReaddirStatx(benchmark::State& state)
{
  const std::string& dir = Flat();
  for (auto _ : state) {
    DIR* d = ::opendir(dir.c_str());
    Int64 n = 0;
    while (dirent* e = ::readdir(d)) {
      struct statx sx;
      if (::statx(::dirfd(d), e->d_name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0)
        ++n;
    }
    ::closedir(d);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * kFlat);
}

void BM_UnchangedRelisting(benchmark::State& state)
{
  Ref<DirectoryNode> n = Node(Flat());
  CountChildren(n.Get());
  for (auto _ : state)
    benchmark::DoNotOptimize(n->LoadChildren());
  state.SetItemsProcessed(state.iterations() * kFlat);
  n->Remove();
}

void BM_RelistingAfterOneChange(benchmark::State& state)
{
  const std::string& dir = Flat();
  Ref<DirectoryNode> n = Node(dir);
  CountChildren(n.Get());
  time_t t = 1577836800;
  for (auto _ : state) {
    state.PauseTiming();
    Touch(dir + "/file7.bin");
    Backdate(dir, ++t);
    state.ResumeTiming();
    benchmark::DoNotOptimize(n->LoadChildren());
  }
  state.SetItemsProcessed(state.iterations() * kFlat);
  n->Remove();
}

void BM_RecursiveListing(benchmark::State& state)
{
  const std::string& dir = Tree();
  for (auto _ : state) {
    Ref<DirectoryNode> root = Node(dir);
    Int64 count = 0;
    for (NodeRef f = root->GetDownNode(); f; f = f->GetNextNode())
      count += 1 + CountChildren(f.Get());
    benchmark::DoNotOptimize(count);
    state.PauseTiming();
    root->Remove();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kTreeFolders * kTreePerFolder);
}

void BM_PeerFind(benchmark::State& state)
{
  const std::string cmd = "find " + Tree() + " -printf '%y %s %p\\n' > /dev/null";
  for (auto _ : state)
    benchmark::DoNotOptimize(std::system(cmd.c_str()));
  state.SetItemsProcessed(state.iterations() * kTreeFolders * kTreePerFolder);
}

BENCHMARK(BM_FirstListing)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PeerReaddirStatx)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_UnchangedRelisting)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_RelistingAfterOneChange)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_RecursiveListing)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PeerFind)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
  return RunBenchmarksInTemporaryHome(argc, argv, [](const char* home) {
    g_home = home;
  });
}
