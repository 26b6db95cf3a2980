// The XML layer against pugixml and libxml2 on the same bytes: a library tree of 10 000 .cbinfo
// files and one 20 MB description. The data is generated in a temporary folder at start.
//
// Attribute texts are quoted in the generated data (type="folder") so that the peers, which want
// well-formed XML, read exactly the bytes the module reads.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "orx/orx.h"
#include "services/host.h"
#include "tools/xml/xml_parser.h"
#include "xml_peers/peers.h"

namespace {

constexpr int kFiles = 10000;
constexpr std::size_t kBigBytes = 20u << 20;

struct Data
{
  std::string dir;
  std::vector<std::string> files; // paths of the small files
  std::vector<std::string> small; // their bytes
  std::string bigPath;
  std::string big;
};
Data g;

std::string Slurp(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// One preset description as the export writes it.
XMLNode* MakeItem(XMLNode* item, int i)
{
  item->SetName(String("item"));
  item->SetAttributes(String(i % 10 == 0 ? "type=\"folder\"" : "type=\"basematerial\""));
  XMLNode* name = item->AddChild(String("name"));
  name->AddChild(String("string"))->SetText(String("Material " + std::to_string(i) + " <red & shiny>"));
  name->AddChild(String("string"))->SetAttributes(String("language=\"de\""));
  name->firstChild->next->SetText(String("Material Würfel " + std::to_string(i)));
  item->AddChild(String("annotation"))->AddChild(String("string"))->SetText(String("A glossy red material, made for the benchmark."));
  item->AddChild(String("settings"))->SetText(String("Material " + std::to_string(i) + ".orx.bc"));
  XMLNode* preview = item->AddChild(String("preview"));
  preview->SetAttributes(String("type=\"highquality\""));
  preview->AddChild(String("media"))->SetText(String("Material " + std::to_string(i) + ".orx.preview_00000.jpg"));
  return item;
}

void Generate()
{
  char tmpl[] = "/tmp/orxbench-xml-XXXXXX";
  const char* dir = ::mkdtemp(tmpl);
  if (!dir) {
    std::fprintf(stderr, "no temporary folder\n");
    std::exit(2);
  }
  g.dir = dir;
  ::setenv("ORXHOST_HOME", dir, 1);
  orxhost::InstallForThisProcess();

  // 100 folders of 100 descriptions.
  for (int i = 0; i < kFiles; ++i) {
    std::string folder = g.dir + "/lib/Folder " + std::to_string(i / 100);
    if (i % 100 == 0)
      std::filesystem::create_directories(folder);
    std::string path = folder + "/Material " + std::to_string(i) + ".orx.cbinfo";
    XMLNode* item = MakeItem(OrxNewObj(XMLNode), i);
    if (!WriteXMLFile(Filename(path.c_str()), item, StringEncoding::Utf8)) {
      std::fprintf(stderr, "writing %s failed\n", path.c_str());
      std::exit(2);
    }
    FreeXMLTree(item);
    g.files.push_back(path);
    g.small.push_back(Slurp(path));
  }

  // One big description: groups of items under one root, about 20 MB written.
  XMLNode* root = OrxNewObj(XMLNode);
  root->SetName(String("library"));
  std::size_t perItem = g.small[1].size();
  int items = int(kBigBytes / perItem) + 1;
  XMLNode* group = nullptr;
  for (int i = 0; i < items; ++i) {
    if (i % 200 == 0)
      group = root->AddChild(String("group"));
    MakeItem(group->AddChild(String("item")), i);
  }
  g.bigPath = g.dir + "/big.cbinfo";
  if (!WriteXMLFile(Filename(g.bigPath.c_str()), root, StringEncoding::Utf8)) {
    std::fprintf(stderr, "writing the big file failed\n");
    std::exit(2);
  }
  FreeXMLTree(root);
  g.big = Slurp(g.bigPath);

  // Every parser must accept the same bytes, or the comparison means nothing.
  if (!PeerPugiParse(g.big.data(), g.big.size()) || !PeerPugiParse(g.small[0].data(), g.small[0].size())) {
    std::fprintf(stderr, "pugixml refuses the data\n");
    std::exit(2);
  }
  if (!PeerLibxmlParse(g.big.data(), g.big.size()) || !PeerLibxmlParse(g.small[0].data(), g.small[0].size())) {
    std::fprintf(stderr, "libxml2 refuses the data\n");
    std::exit(2);
  }
}

// --- parsing the same bytes ---

void OrxParse(const std::string& bytes)
{
  Int32 code = 0;
  XMLNode* root = ParseXML(bytes.data(), Int64(bytes.size()), &code);
  if (!root || code != 0)
    std::abort();
  FreeXMLTree(root);
}
void PugiParse(const std::string& bytes)
{
  if (!PeerPugiParse(bytes.data(), bytes.size()))
    std::abort();
}
void LibxmlParse(const std::string& bytes)
{
  if (!PeerLibxmlParse(bytes.data(), bytes.size()))
    std::abort();
}

template <void (*Parse)(const std::string&)>
void BM_ParseTree(benchmark::State& state)
{
  for (auto _ : state)
    for (const std::string& s : g.small)
      Parse(s);
  state.SetItemsProcessed(state.iterations() * kFiles);
}
template <void (*Parse)(const std::string&)>
void BM_ParseBig(benchmark::State& state)
{
  for (auto _ : state)
    Parse(g.big);
  state.SetBytesProcessed(state.iterations() * Int64(g.big.size()));
}

// --- the module's own file round trip ---

void BM_OrxLoadTree(benchmark::State& state)
{
  for (auto _ : state) {
    for (const std::string& f : g.files) {
      Int32 code = 0;
      XMLNode* root = LoadXMLFile(Filename(f.c_str()), &code);
      if (!root)
        std::abort();
      FreeXMLTree(root);
    }
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_OrxWriteTree(benchmark::State& state)
{
  std::vector<XMLNode*> trees;
  for (const std::string& s : g.small) {
    Int32 code = 0;
    trees.push_back(ParseXML(s.data(), Int64(s.size()), &code));
  }
  std::string out = g.dir + "/out";
  std::filesystem::create_directories(out);
  for (auto _ : state) {
    for (int i = 0; i < kFiles; ++i) {
      std::string path = out + "/" + std::to_string(i) + ".cbinfo";
      if (!WriteXMLFile(Filename(path.c_str()), trees[std::size_t(i)], StringEncoding::Utf8))
        std::abort();
    }
  }
  for (XMLNode*& t : trees)
    FreeXMLTree(t);
  state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_OrxWriteBig(benchmark::State& state)
{
  Int32 code = 0;
  XMLNode* root = ParseXML(g.big.data(), Int64(g.big.size()), &code);
  std::string path = g.dir + "/big-out.cbinfo";
  for (auto _ : state)
    if (!WriteXMLFile(Filename(path.c_str()), root, StringEncoding::Utf8))
      std::abort();
  if (Slurp(path) != g.big)
    std::abort(); // parse and write must give back the very bytes
  FreeXMLTree(root);
  state.SetBytesProcessed(state.iterations() * Int64(g.big.size()));
}

BENCHMARK(BM_ParseTree<OrxParse>)->Name("parse_tree/orx")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseTree<PugiParse>)->Name("parse_tree/pugixml")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseTree<LibxmlParse>)->Name("parse_tree/libxml2")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBig<OrxParse>)->Name("parse_20mb/orx")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBig<PugiParse>)->Name("parse_20mb/pugixml")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseBig<LibxmlParse>)->Name("parse_20mb/libxml2")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrxLoadTree)->Name("load_tree/orx")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrxWriteTree)->Name("write_tree/orx")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrxWriteBig)->Name("write_20mb/orx")->Unit(benchmark::kMillisecond);

// Keeps the CPU time of every run for the ratio table (wall time is noisy on a shared machine).
class RatioReporter : public benchmark::ConsoleReporter
{
public:
  void ReportRuns(const std::vector<Run>& runs) override
  {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration)
        times[r.benchmark_name()] = r.GetAdjustedCPUTime();
  }
  std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv)
{
  Generate();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nCPU time of the module's reader over the peer's (below 1 is faster):\n");
  for (const char* set : {"parse_tree", "parse_20mb"}) {
    auto orx = reporter.times.find(std::string(set) + "/orx");
    for (const char* peer : {"pugixml", "libxml2"}) {
      auto p = reporter.times.find(std::string(set) + "/" + peer);
      if (orx != reporter.times.end() && p != reporter.times.end() && p->second > 0)
        std::printf("  %-11s orx / %-8s = %.2f\n", set, peer, orx->second / p->second);
    }
  }
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(g.dir, ec);
  return 0;
}
