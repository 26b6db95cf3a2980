// bench_search [FILES [TREE]]: a tree of FILES files (default 1 000 000) in FILES / 100 folders (made
// in TREE and kept there when it is given and missing, used as it is when present), searched by
// name (contains) with 1 % and with 100 % of the files matching. Side by side, on the same tree:
// find ROOT -xdev -iname '*pat*', and the limit: a plain readdir + statx recursive walk with the same
// test. Also the time to the first hit, the memory growth per folder walked, and the stop latency
// (over the tree at several moments, and over "/"), and the time the first look at the results
// takes to make the links.
//
// One timed run per row (a run over a million files cannot be repeated many times on a shared
// machine); the page cache is warmed by one untimed walk first.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "contenttree/rtreenode.h"
#include "core/contentaccess.h"
#include "core/libraryregistry.h"
#include "nodes/directorynode.h"
#include "presets/catalognode.h"
#include "search/browsersearch.h"
#include "services/host.h"

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// User plus system seconds: on a shared machine the wall time mostly tells who got the cores.
double CpuS(int who)
{
  struct rusage u;
  if (::getrusage(who, &u) != 0)
    return 0;
  auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

long RssKb()
{
  FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0, rss = 0;
  if (f) {
    if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2)
      rss = 0;
    std::fclose(f);
  }
  return rss * (::sysconf(_SC_PAGESIZE) / 1024);
}

// 1 % of the names carry "pat"; every name carries "f".
void MakeTree(const std::string& root, long files)
{
  const long folders = std::max(1L, files / 100);
  long made = 0;
  for (long d = 0; d < folders; ++d) {
    const std::string dir = root + "/d" + std::to_string(d);
    ::mkdir(dir.c_str(), 0755);
    const long here = files / folders + (d < files % folders ? 1 : 0);
    for (long i = 0; i < here; ++i, ++made) {
      const std::string name = dir + "/f" + std::to_string(made) + (made % 100 == 7 ? "-pat.txt" : ".txt");
      const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      if (fd >= 0)
        ::close(fd);
    }
  }
}

bool ContainsIgnoringCase(const char* name, const char* pat)
{
  const std::size_t n = std::strlen(name), m = std::strlen(pat);
  for (std::size_t i = 0; i + m <= n; ++i) {
    std::size_t j = 0;
    while (j < m && std::tolower(static_cast<unsigned char>(name[i + j])) == pat[j])
      ++j;
    if (j == m)
      return true;
  }
  return false;
}

// The limit: readdir plus one statx per entry (what a listing that shows sizes and dates needs),
// hidden names left out, links not entered, one device.
long PlainWalk(const std::string& root, const char* pat)
{
  struct stat rootSt;
  if (::stat(root.c_str(), &rootSt) != 0)
    return 0;
  long hits = 0;
  std::vector<std::string> todo{root};
  while (!todo.empty()) {
    const std::string dir = std::move(todo.back());
    todo.pop_back();
    DIR* d = ::opendir(dir.c_str());
    if (!d)
      continue;
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.')
        continue;
      struct statx sx;
      if (::statx(::dirfd(d), e->d_name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        continue;
      if (ContainsIgnoringCase(e->d_name, pat))
        ++hits;
      if (S_ISDIR(sx.stx_mode) && makedev(sx.stx_dev_major, sx.stx_dev_minor) == rootSt.st_dev)
        todo.push_back(dir + "/" + e->d_name);
    }
    ::closedir(d);
  }
  return hits;
}

long Find(const std::string& root, const char* pat)
{
  const std::string cmd = "find " + root + " -xdev -iname '*" + pat + "*' | wc -l";
  FILE* p = ::popen(cmd.c_str(), "r");
  long n = 0;
  if (p) {
    if (std::fscanf(p, "%ld", &n) != 1)
      n = 0;
    ::pclose(p);
  }
  return n;
}

struct ModuleRun
{
  long hits = 0;
  long folders = 0;
  double seconds = 0;
  double cpu = 0; // the whole process: the search thread and the main thread that polls it
  double firstHit = -1;
  long rssGrowthKb = 0;
  double firstLook = 0; // the results' links are made as nodes when their children are first looked at
  long links = 0;
};

ModuleRun SearchOnceIn(const std::string& root, const char* pat)
{
  ModuleRun out;
  const long before = RssKb();
  Ref<DirectoryNode> start = DirectoryNode::MakeForPath(Filename(String(root.c_str())));
  SearchQuery q;
  BaseContainer v;
  v.SetInt32(SEARCHVALUE_MODE, SEARCHTEXT_CONTAINS);
  v.SetString(SEARCHVALUE_VALUE, String(pat));
  AddSearchRow(&q, SEARCHROW_NAME, v);
  q.subFolders = true;
  SearchFilterList filters;
  String error;
  BuildSearchFilters(q, &filters, &error);
  NodeRef results = MakeSearchResults(GetRootNode(ROOT_SEARCH), NodeRef(start.Get()), q);
  SearchThread thread;
  // Every file may match: the cap of the browser is lifted to measure the whole walk.
  thread.SetHitCap(0x7fffffff);
  thread.Set(NodeRef(start.Get()), results, &filters, true);
  const auto t0 = Clock::now();
  const double cpu0 = CpuS(RUSAGE_SELF);
  thread.Start(true);
  while (thread.IsRunning()) {
    if (out.firstHit < 0 && thread.Hits() > 0)
      out.firstHit = Since(t0);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    DeliverCatalogChanges();
  }
  thread.Wait();
  out.seconds = Since(t0);
  out.cpu = CpuS(RUSAGE_SELF) - cpu0;
  out.hits = thread.Hits();
  out.folders = long(thread.Folders());
  out.rssGrowthKb = RssKb() - before;
  // A view showing the results: the first look makes the links, and a walk counts them.
  const auto t1 = Clock::now();
  results->GetLastChild();
  out.firstLook = Since(t1);
  for (NodeRef c = BrowserContentNode::FromTree(results->GetFirstChild()); c; c = c->GetNextNode())
    ++out.links;
  for (Int32 p : {0, 1, 2})
    results->Delete(p, nullptr, nullptr);
  start->Remove();
  return out;
}

ModuleRun SearchOnce(const std::string& root, const char* pat)
{
  const ModuleRun out = SearchOnceIn(root, pat);
  // The blocks of a million nodes, freed as the run's last references go, are otherwise gathered up
  // by the allocator inside the next thread's first large allocation (seconds on a busy machine),
  // which would count as that search's stop latency.
  ::malloc_trim(0);
  return out;
}

double StopLatency(const std::string& root, double afterSeconds)
{
  Ref<DirectoryNode> start = DirectoryNode::MakeForPath(Filename(String(root.c_str())));
  SearchQuery q;
  BaseContainer v;
  v.SetInt32(SEARCHVALUE_MODE, SEARCHTEXT_CONTAINS);
  v.SetString(SEARCHVALUE_VALUE, String("no-such-name-anywhere"));
  AddSearchRow(&q, SEARCHROW_NAME, v);
  q.subFolders = true;
  SearchFilterList filters;
  String error;
  BuildSearchFilters(q, &filters, &error);
  NodeRef results = MakeSearchResults(GetRootNode(ROOT_SEARCH), NodeRef(start.Get()), q);
  SearchThread thread;
  thread.Set(NodeRef(start.Get()), results, &filters, true);
  thread.Start(true);
  std::this_thread::sleep_for(std::chrono::duration<double>(afterSeconds));
  const auto t0 = Clock::now();
  thread.End(true);
  const double latency = Since(t0);
  for (Int32 p : {0, 1, 2})
    results->Delete(p, nullptr, nullptr);
  start->Remove();
  return latency;
}

} // namespace

int main(int argc, char** argv)
{
  const long files = argc > 1 ? std::atol(argv[1]) : 1000000;
  if (files < 100 || argc > 3) {
    std::fprintf(stderr, "usage: bench_search [FILES [TREE]]   (at least 100; default 1000000)\n"
                         "  TREE: a folder that holds the tree of FILES files already, or is made and kept\n");
    return 2;
  }
  char tmpl[] = "/tmp/orxbench-XXXXXX";
  const char* home = ::mkdtemp(tmpl);
  if (!home)
    return 2;
  ::setenv("ORXHOST_HOME", home, 1);
  orxhost::InstallForThisProcess();
  // A kept tree saves the making (minutes for a million files on a busy disk) between runs.
  const bool kept = argc > 2;
  const std::string root = kept ? std::string(argv[2]) : std::string(home) + "/tree";
  auto t = Clock::now();
  struct stat treeSt;
  if (!kept || ::stat(root.c_str(), &treeSt) != 0) {
    ::mkdir(root.c_str(), 0755);
    MakeTree(root, files);
    std::printf("tree: %ld files in %ld folders, made in %.1f s\n", files, std::max(1L, files / 100), Since(t));
  } else {
    std::printf("tree: %ld files in %ld folders, kept in %s\n", files, std::max(1L, files / 100), root.c_str());
  }
  if (!InitContent()) {
    std::fprintf(stderr, "bench_search: the content did not start\n");
    return 1;
  }
  PlainWalk(root, "pat"); // warms the page cache

  std::printf("\n| run | pattern | hits | s | / find | / limit | CPU s | CPU / find | CPU / limit | first hit ms |\n"
              "|---|---|---|---|---|---|---|---|---|---|\n");
  for (const char* pat : {"pat", "f"}) {
    t = Clock::now();
    double c = CpuS(RUSAGE_CHILDREN);
    const long fh = Find(root, pat);
    const double findS = Since(t), findC = CpuS(RUSAGE_CHILDREN) - c;
    t = Clock::now();
    c = CpuS(RUSAGE_THREAD);
    const long lh = PlainWalk(root, pat);
    const double limitS = Since(t), limitC = CpuS(RUSAGE_THREAD) - c;
    const ModuleRun m = SearchOnce(root, pat);
    const char* share = pat[0] == 'p' ? "1 %" : "100 %";
    std::printf("| find -xdev -iname | %s | %ld | %.2f | 1.00 | %.2f | %.2f | 1.00 | %.2f | |\n", share, fh, findS,
                findS / limitS, findC, findC / limitC);
    std::printf("| readdir + statx (limit) | %s | %ld | %.2f | %.2f | 1.00 | %.2f | %.2f | 1.00 | |\n", share, lh, limitS,
                limitS / findS, limitC, limitC / findC);
    std::printf("| SearchThread | %s | %ld | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.1f |\n", share, m.hits, m.seconds,
                m.seconds / findS, m.seconds / limitS, m.cpu, m.cpu / findC, m.cpu / limitC, m.firstHit * 1000);
    std::printf("  memory growth: %ld KB over %ld folders = %.1f KB per folder of %ld entries (nodes for the folders "
                "only, a link per hit)\n",
                m.rssGrowthKb, m.folders, m.folders ? double(m.rssGrowthKb) / double(m.folders) : 0.0,
                files / std::max(1L, files / 100));
    std::printf("  the first look at the results made %ld links in %.2f s\n", m.links, m.firstLook);
  }
  // Several moments: early ones fall into the root's listing of FILES / 100 folders.
  double worst = 0;
  std::printf("\nstop latency over the tree:");
  for (double after : {0.05, 0.05, 0.1, 0.2, 0.4}) {
    const double ms = StopLatency(root, after) * 1000;
    worst = std::max(worst, ms);
    std::printf(" %.2f ms after %.2f s;", ms, after);
  }
  std::printf(" the worst %.2f ms\n", worst);
  std::printf("stop latency over / (after 0.5 s): %.2f ms\n", StopLatency("/", 0.5) * 1000);

  ReleaseContent();
  CloseAllLibraries(false, false);
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return 0;
}
