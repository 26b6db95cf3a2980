// URL hashing against its limit: the same CRC-32 over bytes that are already upper case and in
// file byte order. The difference is the case conversion and the byte swap.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/browserurl.h"
#include "orx/basefile.h"
#include "services/host.h"

namespace {

const char* const kPaths[] = {
  "preset://user.libqz/Materials/Metals/Brushed Steel 04",
  "preset://default.libqz/Objects/Furniture/Chairs/Office Chair (swivel)",
  "preset://Studio Lights.libqz/Render Settings/Physical/Interior - high quality",
  "preset://user.libqz/Tags/Dynamics/Rigid Body",
  "preset://Materialsammlung.libqz/Holz/Eiche geölt/Dielen breit",
  "catalog://Favourites.catqz/Scenes/Product Shot Turntable",
  "file://localhost/home/artist/projects/2024/spot/textures/concrete_wall_diffuse_4k.tif",
  "preset://user.libqz/Shaders/Noise/Turbulence",
};

std::vector<String>& Texts()
{
  static std::vector<String>* texts = [] {
    auto* v = new std::vector<String>;
    for (const char* p : kPaths)
      v->push_back(String(p));
    return v;
  }();
  return *texts;
}

// What GetHash feeds the CRC, prepared once.
std::vector<std::vector<UInt16>>& Prepared()
{
  static std::vector<std::vector<UInt16>>* units = [] {
    auto* v = new std::vector<std::vector<UInt16>>;
    for (const String& s : Texts()) {
      String upper = s.ToUpper();
      std::vector<UInt16> u(std::size_t(upper.GetLength()));
      for (Int32 i = 0; i < upper.GetLength(); ++i)
        u[std::size_t(i)] = BaseFile::ToFileOrder16(UInt16(upper[i]));
      v->push_back(std::move(u));
    }
    return v;
  }();
  return *units;
}

Int64 TotalBytes()
{
  Int64 n = 0;
  for (const auto& u : Prepared())
    n += Int64(u.size() * 2);
  return n;
}

// A URL as the tree meets it: set from text, then hashed once.
void BM_SetStringGetHash(benchmark::State& state)
{
  BrowserURL u;
  for (auto _ : state) {
    for (const String& s : Texts()) {
      u.SetString(s);
      benchmark::DoNotOptimize(u.GetHash());
    }
  }
  state.SetBytesProcessed(state.iterations() * TotalBytes());
}

void BM_PathHash(benchmark::State& state)
{
  for (auto _ : state)
    for (const String& s : Texts())
      benchmark::DoNotOptimize(BrowserPathHash(s));
  state.SetBytesProcessed(state.iterations() * TotalBytes());
}

void BM_Crc32Limit(benchmark::State& state)
{
  for (auto _ : state)
    for (const auto& u : Prepared())
      benchmark::DoNotOptimize(Crc32(0, u.data(), u.size() * 2));
  state.SetBytesProcessed(state.iterations() * TotalBytes());
}

void BM_GetHashCached(benchmark::State& state)
{
  BrowserURL u{String(kPaths[0])};
  u.GetHash();
  for (auto _ : state)
    benchmark::DoNotOptimize(u.GetHash());
}

BENCHMARK(BM_PathHash);
BENCHMARK(BM_Crc32Limit);
BENCHMARK(BM_SetStringGetHash);
BENCHMARK(BM_GetHashCached);

// Keeps the time per iteration of every run so that the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
  void ReportRuns(const std::vector<Run>& runs) override
  {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        perIteration[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> perIteration;
};

} // namespace

int main(int argc, char** argv)
{
  orxhost::InstallForThisProcess();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& t = reporter.perIteration;
  if (t.count("BM_PathHash") && t.count("BM_Crc32Limit") && t["BM_Crc32Limit"] > 0)
    std::printf("path hash / plain CRC-32 of the same bytes: %.2f\n", t["BM_PathHash"] / t["BM_Crc32Limit"]);
  benchmark::Shutdown();
  return 0;
}
