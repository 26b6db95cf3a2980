// Copy, move and delete of many items through ItemProgressThread, against the peers cp -a, mv and
// rm -rf and against the limit: a readdir walk with copy_file_range. Two sets: 10 000 small files in
// 100 folders, and ten 100 MB files. The copy's counting pass is timed on its own (its share is the
// "count_share" counter), and the limit is run with one fsync per file, with one syncfs at the end
// and with neither, to weigh what the durability of each copied file costs. Every timed run starts
// on a settled disk: what the clearing before it left for the journal is written first.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "benchhome.h"
#include "nodes/directorynode.h"
#include "progress/itemprogressthread.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string g_home;

std::string SetPath(int set) { return g_home + (set == 0 ? "/small" : "/big"); }

void MakeSets()
{
  std::vector<char> block(1 << 20);
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = char((i * 2654435761u) >> 13);
  for (int f = 0; f < 100; ++f) {
    const std::string dir = SetPath(0) + "/src/folder" + std::to_string(f);
    fs::create_directories(dir);
    for (int i = 0; i < 100; ++i) {
      const int fd = ::open((dir + "/file" + std::to_string(i) + ".txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        (void)!::write(fd, block.data(), std::size_t(100 + (f * 37 + i * 101) % 4000));
        ::close(fd);
      }
    }
  }
  fs::create_directories(SetPath(1) + "/src");
  for (int i = 0; i < 10; ++i) {
    const int fd = ::open((SetPath(1) + "/src/movie" + std::to_string(i) + ".bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
      continue;
    for (int m = 0; m < 100; ++m)
      (void)!::write(fd, block.data(), block.size());
    ::close(fd);
  }
  ::sync();
}

void Clear(const std::string& path)
{
  std::error_code ec;
  fs::remove_all(path, ec);
}

int Shell(const std::string& cmd) { return std::system(cmd.c_str()); }

NodeRef Node(const std::string& path)
{
  Ref<DirectoryNode> d = DirectoryNode::MakeForPath(Filename(String(path.c_str())));
  return NodeRef(d.Get());
}

// Runs the thread in the background and notes when its counting pass ended.
double RunThread(ItemProgressThread& t, double* countSeconds)
{
  const auto start = Clock::now();
  auto counted = start;
  t.Run(true);
  bool seen = false;
  while (t.GetStatus() == ITEMSTATUS_RUNNING) {
    if (!seen && !t.IsCounting() && t.GetTotalFiles() > 0) {
      counted = Clock::now();
      seen = true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  t.Wait();
  const auto end = Clock::now();
  if (!seen)
    counted = end;
  *countSeconds = std::chrono::duration<double>(counted - start).count();
  return std::chrono::duration<double>(end - start).count();
}

void Items(benchmark::State& state, Int32 operation)
{
  const int set = int(state.range(0));
  const std::string base = SetPath(set);
  double total = 0, counting = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Clear(base + "/dst");
    Clear(base + "/work");
    fs::create_directories(base + "/dst");
    if (operation != ITEMOP_COPY)
      Shell("cp -a '" + base + "/src' '" + base + "/work'");
    ::sync();
    NodeRef from = Node(operation == ITEMOP_COPY ? base + "/src" : base + "/work");
    NodeRef to = Node(base + "/dst");
    state.ResumeTiming();
    double count = 0;
    ItemProgressThread t(operation, {from}, operation == ITEMOP_DELETE ? NodeRef() : to);
    const double secs = RunThread(t, &count);
    state.SetIterationTime(secs);
    total += secs;
    counting += count;
    if (t.GetStatus() != ITEMSTATUS_DONE)
      state.SkipWithError("the operation failed");
    state.PauseTiming();
    from->Remove();
    to->Remove();
    state.ResumeTiming();
  }
  state.counters["count_share"] = total > 0 ? counting / total : 0;
}

void BM_Copy(benchmark::State& state) { Items(state, ITEMOP_COPY); }

Int32 CountBytes(void* data, Int32, Int32, Int64 size, Int32)
{
  *static_cast<Int64*>(data) += size;
  return EDIT_OK;
}

// The node's copy on its own, outside the thread: no file-system sync is promised to it, so it
// syncs each file before the copy takes its real name (the thread's way before it synced once).
void BM_CopyEachFileSynced(benchmark::State& state)
{
  const std::string base = SetPath(int(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    Clear(base + "/dst");
    fs::create_directories(base + "/dst");
    ::sync();
    NodeRef from = Node(base + "/src");
    NodeRef to = Node(base + "/dst");
    state.ResumeTiming();
    const auto start = Clock::now();
    Int64 bytes = 0;
    const Int32 rc = to->CopyHere(from, EDITPHASE_DO, nullptr, CountBytes, &bytes);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (rc != EDIT_OK)
      state.SkipWithError("the copy failed");
    state.PauseTiming();
    from->Remove();
    to->Remove();
    state.ResumeTiming();
  }
}
void BM_Move(benchmark::State& state) { Items(state, ITEMOP_MOVE); }
void BM_Delete(benchmark::State& state) { Items(state, ITEMOP_DELETE); }

void Peer(benchmark::State& state, const char* what)
{
  const std::string base = SetPath(int(state.range(0)));
  const std::string op = what;
  for (auto _ : state) {
    state.PauseTiming();
    Clear(base + "/dst");
    Clear(base + "/work");
    fs::create_directories(base + "/dst");
    if (op != "cp")
      Shell("cp -a '" + base + "/src' '" + base + "/work'");
    ::sync();
    state.ResumeTiming();
    const auto start = Clock::now();
    int rc = op == "cp"       ? Shell("cp -a '" + base + "/src' '" + base + "/dst/'")
             : op == "cpsync" ? Shell("cp -a '" + base + "/src' '" + base + "/dst/' && sync -f '" + base + "/dst'")
             : op == "mv"     ? Shell("mv '" + base + "/work' '" + base + "/dst/'")
                              : Shell("rm -rf '" + base + "/work'");
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (rc != 0)
      state.SkipWithError("the peer failed");
  }
}

// The thread's copy and cp -a back to back in each iteration, in turns first: on a shared disk whose
// speed drifts by a factor of two within minutes, the ratio of neighbours is what can be compared.
void BM_CopyAgainstCpA(benchmark::State& state)
{
  const std::string base = SetPath(int(state.range(0)));
  double mine = 0, peer = 0, counting = 0;
  int turn = 0;
  for (auto _ : state) {
    double secs[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
      const bool thread = (k + turn) % 2 == 0;
      Clear(base + "/dst");
      fs::create_directories(base + "/dst");
      ::sync();
      if (thread) {
        NodeRef from = Node(base + "/src");
        NodeRef to = Node(base + "/dst");
        double count = 0;
        {
          ItemProgressThread t(ITEMOP_COPY, {from}, to);
          secs[0] = RunThread(t, &count);
          if (t.GetStatus() != ITEMSTATUS_DONE)
            state.SkipWithError("the operation failed");
        }
        counting += count;
        from->Remove();
        to->Remove();
      } else {
        const auto start = Clock::now();
        if (Shell("cp -a '" + base + "/src' '" + base + "/dst/'") != 0)
          state.SkipWithError("the peer failed");
        secs[1] = std::chrono::duration<double>(Clock::now() - start).count();
      }
    }
    ++turn;
    mine += secs[0];
    peer += secs[1];
    state.SetIterationTime(secs[0]);
  }
  state.counters["cp_a_ms"] = peer * 1000 / double(state.iterations());
  state.counters["ratio"] = peer > 0 ? mine / peer : 0;
  state.counters["count_share"] = mine > 0 ? counting / mine : 0;
}

void BM_PeerCpA(benchmark::State& state) { Peer(state, "cp"); }
void BM_PeerCpASync(benchmark::State& state) { Peer(state, "cpsync"); }
void BM_PeerMv(benchmark::State& state) { Peer(state, "mv"); }
void BM_PeerRmRf(benchmark::State& state) { Peer(state, "rm"); }

// The limit: readdir, mkdir and copy_file_range. sync 0: none, 1: fsync per file, 2: syncfs at the end.
bool CopyLimit(const std::string& from, const std::string& to, int sync)
{
  if (::mkdir(to.c_str(), 0755) != 0)
    return false;
  DIR* d = ::opendir(from.c_str());
  if (!d)
    return false;
  bool ok = true;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..")
      continue;
    const std::string a = from + "/" + name, b = to + "/" + name;
    if (e->d_type == DT_DIR) {
      ok = CopyLimit(a, b, sync) && ok;
      continue;
    }
    const int in = ::open(a.c_str(), O_RDONLY);
    const int out = ::open(b.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    struct stat st {};
    if (in < 0 || out < 0 || ::fstat(in, &st) != 0)
      ok = false;
    for (off_t left = st.st_size; ok && left > 0;) {
      const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t(left), 0);
      if (n <= 0)
        ok = false;
      left -= n;
    }
    if (sync == 1 && out >= 0)
      ::fsync(out);
    if (in >= 0)
      ::close(in);
    if (out >= 0)
      ::close(out);
  }
  ::closedir(d);
  return ok;
}

void BM_LimitCopyFileRange(benchmark::State& state)
{
  const std::string base = SetPath(int(state.range(0)));
  const int sync = int(state.range(1));
  for (auto _ : state) {
    state.PauseTiming();
    Clear(base + "/dst");
    fs::create_directories(base + "/dst");
    ::sync();
    state.ResumeTiming();
    const auto start = Clock::now();
    bool ok = CopyLimit(base + "/src", base + "/dst/src", sync);
    if (sync == 2) {
      const int fd = ::open((base + "/dst").c_str(), O_RDONLY | O_DIRECTORY);
      ok = fd >= 0 && ::syncfs(fd) == 0 && ok;
      if (fd >= 0)
        ::close(fd);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (!ok)
      state.SkipWithError("the limit failed");
  }
}

// The limit's delete: a readdir walk with unlink and rmdir.
bool DeleteLimit(const std::string& path)
{
  DIR* d = ::opendir(path.c_str());
  if (!d)
    return false;
  bool ok = true;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..")
      continue;
    const std::string p = path + "/" + name;
    ok = (e->d_type == DT_DIR ? DeleteLimit(p) : ::unlink(p.c_str()) == 0) && ok;
  }
  ::closedir(d);
  return ::rmdir(path.c_str()) == 0 && ok;
}

void BM_LimitDelete(benchmark::State& state)
{
  const std::string base = SetPath(int(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    Clear(base + "/work");
    Shell("cp -a '" + base + "/src' '" + base + "/work'");
    ::sync();
    state.ResumeTiming();
    const auto start = Clock::now();
    const bool ok = DeleteLimit(base + "/work");
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (!ok)
      state.SkipWithError("the limit failed");
  }
}

// Argument 0: 10 000 small files in 100 folders; 1: ten 100 MB files.
void Sets(benchmark::internal::Benchmark* b)
{
  b->ArgName("set")->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
}

BENCHMARK(BM_Copy)->Apply(Sets);
BENCHMARK(BM_CopyEachFileSynced)->Apply(Sets);
BENCHMARK(BM_PeerCpA)->Apply(Sets);
BENCHMARK(BM_CopyAgainstCpA)->Apply(Sets);
BENCHMARK(BM_PeerCpASync)->Apply(Sets);
BENCHMARK(BM_LimitCopyFileRange)
    ->ArgNames({"set", "sync"})
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_Move)->Apply(Sets);
BENCHMARK(BM_PeerMv)->Apply(Sets);
BENCHMARK(BM_Delete)->Apply(Sets);
BENCHMARK(BM_PeerRmRf)->Apply(Sets);
BENCHMARK(BM_LimitDelete)->Apply(Sets);

} // namespace

int main(int argc, char** argv)
{
  return RunBenchmarksInTemporaryHome(argc, argv, [](const char* home) {
    g_home = home;
    MakeSets();
  });
}
