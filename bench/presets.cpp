// Presets of scene elements. Making one from documents of 1 KB, 1 MB and 20 MB (the element copied
// into a new document, saved in the native format, stored as a library item and the library saved
// with its fsync) against the limit: zstd -9 of the same document bytes plus a plain file write with
// an fsync. Applying a 10 MB object preset against loading the same document from a file. Applying
// a material preset to active documents of 10 and 10 000 objects, which should cost the same.
// Saving and loading a document with its undo history of 1 and 8 steps against the document alone.
#include <fcntl.h>
#include <unistd.h>
#include <zstd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "benchhome.h"
#include "orx/files.h"
#include "orx/scenedoc.h"
#include "presets/browserdatabaseitem.h"
#include "presets/presettypeplugins.h"
#include "scene/scenedoc.h"

namespace sc = orxhost::scene;

namespace {
std::string g_home;

// A document whose one object carries a mesh of about bytes bytes (points on a noisy sphere, which
// compress like real meshes do: hardly).
std::unique_ptr<BaseDocument> DocumentOfSize(Int64 bytes, BaseList2D** object)
{
  auto doc = std::make_unique<BaseDocument>();
  auto o = std::make_unique<BaseList2D>(Obase);
  o->name = "Mesh";
  std::vector<UChar> pts(std::size_t(bytes / 24 * 24));
  UInt64 seed = 88172645463325252ull;
  for (std::size_t i = 0; i < pts.size(); i += 8) {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    const double v = double(seed >> 11) / double(1ull << 53) * 2.0 - 1.0;
    UInt64 b;
    std::memcpy(&b, &v, 8);
    for (int k = 0; k < 8; ++k)
      pts[i + k] = UChar(b >> (56 - 8 * k));
  }
  o->data.SetBytes(OBJECT_POINTS, pts.data(), Int64(pts.size()));
  *object = o.get();
  sc::Insert(doc.get(), std::move(o), nullptr, nullptr);
  return doc;
}

void BM_MakePreset(benchmark::State& state)
{
  BaseList2D* object = nullptr;
  auto doc = DocumentOfSize(state.range(0), &object);
  const Filename file = Filename(String((g_home + "/make.libqz").c_str()));
  Int64 stored = 0;
  for (auto _ : state) {
    state.PauseTiming();
    GeDelete(file);
    BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
    db->SetName(String("preset://make.libqz"));
    state.ResumeTiming();
    ByteArray data;
    Int32 type = 0;
    if (!MakePresetData(object, &data, &type))
      state.SkipWithError("no preset data");
    BrowserDatabaseItem* item = db->OpenOrCreateItem(String("preset://make.libqz/Mesh"));
    item->SetData(data.data(), Int64(data.size()));
    item->SetType(type);
    item->Close();
    if (!db->Save(true))
      state.SkipWithError("save failed");
    state.PauseTiming();
    stored = Int64(data.size());
    BrowserDatabase::Destroy(db);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * stored);
}

void BM_MakePresetLimitZstd9Write(benchmark::State& state)
{
  BaseList2D* object = nullptr;
  auto doc = DocumentOfSize(state.range(0), &object);
  std::vector<UChar> bytes;
  sc::SaveToMemory(*doc, &bytes);
  std::vector<char> out(ZSTD_compressBound(bytes.size()));
  const std::string path = g_home + "/limit.zst";
  for (auto _ : state) {
    const std::size_t n = ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), 9);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (ZSTD_isError(n) || fd < 0 || ::write(fd, out.data(), n) != ssize_t(n) || ::fsync(fd) != 0)
      state.SkipWithError("write failed");
    ::close(fd);
  }
  state.SetBytesProcessed(state.iterations() * Int64(bytes.size()));
}

constexpr Int64 kApplyBytes = 10 << 20;

void BM_ApplyObjectPreset(benchmark::State& state)
{
  BaseList2D* object = nullptr;
  auto src = DocumentOfSize(kApplyBytes, &object);
  ByteArray data;
  Int32 type = 0;
  MakePresetData(object, &data, &type);
  sc::SetActiveDocument(std::make_unique<BaseDocument>());
  BaseDocument* doc = sc::ActiveDocument();
  for (auto _ : state) {
    if (!ApplyPresetData(type, data.data(), Int64(data.size()), 0, nullptr))
      state.SkipWithError("apply failed");
    state.PauseTiming();
    sc::DoUndo(doc);
    state.ResumeTiming();
  }
  sc::SetActiveDocument(nullptr);
  state.SetBytesProcessed(state.iterations() * Int64(data.size()));
}

void BM_ApplyPeerLoadDocumentFile(benchmark::State& state)
{
  BaseList2D* object = nullptr;
  auto src = DocumentOfSize(kApplyBytes, &object);
  const std::string path = g_home + "/peer.orx";
  std::string error;
  sc::SaveToFile(*src, path, &error);
  Int64 size = 0;
  for (auto _ : state) {
    auto doc = sc::LoadFromFile(path, &error);
    if (!doc)
      state.SkipWithError("load failed");
    benchmark::DoNotOptimize(doc.get());
  }
  std::vector<UChar> bytes;
  sc::SaveToMemory(*src, &bytes);
  size = Int64(bytes.size());
  state.SetBytesProcessed(state.iterations() * size);
}

void BM_ApplyMaterialToObjects(benchmark::State& state)
{
  auto preset = std::make_unique<BaseDocument>();
  auto m = std::make_unique<BaseList2D>(Mbase);
  m->name = "Red";
  m->data.SetFloat(MATERIAL_COLOR, 1.0);
  BaseList2D* mat = m.get();
  sc::Insert(preset.get(), std::move(m), nullptr, nullptr);
  ByteArray data;
  Int32 type = 0;
  MakePresetData(mat, &data, &type);
  auto target = std::make_unique<BaseDocument>();
  for (Int64 i = 0; i < state.range(0); ++i) {
    auto o = std::make_unique<BaseList2D>(Obase);
    o->name = String(("Object " + std::to_string(i)).c_str());
    BaseList2D* raw = o.get();
    sc::Insert(target.get(), std::move(o), nullptr, nullptr);
    sc::SetActive(target.get(), ACTIVE_OBJECT, raw);
  }
  sc::SetActiveDocument(std::move(target));
  BaseDocument* doc = sc::ActiveDocument();
  for (auto _ : state) {
    if (!ApplyPresetData(type, data.data(), Int64(data.size()), 0, nullptr))
      state.SkipWithError("apply failed");
    state.PauseTiming();
    sc::DoUndo(doc);
    state.ResumeTiming();
  }
  sc::SetActiveDocument(nullptr);
}
// A 1 MB document with steps undo steps behind it, each a material added.
std::unique_ptr<BaseDocument> SteppedDocument(Int64 steps)
{
  BaseList2D* object = nullptr;
  auto doc = DocumentOfSize(1 << 20, &object);
  for (Int64 i = 0; i < steps; ++i) {
    sc::StartUndo(doc.get());
    auto m = std::make_unique<BaseList2D>(Mbase);
    BaseList2D* raw = m.get();
    sc::Insert(doc.get(), std::move(m), nullptr, nullptr);
    sc::AddUndo(doc.get(), UNDOTYPE_NEW, raw);
    sc::EndUndo(doc.get());
  }
  return doc;
}

void BM_SaveWithHistory(benchmark::State& state)
{
  auto doc = SteppedDocument(state.range(0));
  const std::string path = g_home + "/history.orx";
  std::string error, warning;
  for (auto _ : state)
    if (!sc::SaveWithHistory(doc.get(), path, &error, &warning) || !warning.empty())
      state.SkipWithError("save failed");
}

void BM_SavePeerDocumentOnly(benchmark::State& state)
{
  auto doc = SteppedDocument(0);
  const std::string path = g_home + "/plain.orx";
  std::string error;
  for (auto _ : state)
    if (!sc::SaveToFile(*doc, path, &error))
      state.SkipWithError("save failed");
}

void BM_LoadWithHistory(benchmark::State& state)
{
  auto doc = SteppedDocument(state.range(0));
  const std::string path = g_home + "/history.orx";
  std::string error, warning;
  sc::SaveWithHistory(doc.get(), path, &error, &warning);
  for (auto _ : state) {
    auto back = sc::LoadWithHistory(path, &error, &warning);
    if (!back || Int64(back->undo.size()) != state.range(0))
      state.SkipWithError("load failed");
  }
}

void BM_LoadPeerDocumentOnly(benchmark::State& state)
{
  auto doc = SteppedDocument(0);
  const std::string path = g_home + "/plain.orx";
  std::string error;
  sc::SaveToFile(*doc, path, &error);
  for (auto _ : state)
    if (!sc::LoadFromFile(path, &error))
      state.SkipWithError("load failed");
}
} // namespace

BENCHMARK(BM_SaveWithHistory)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SavePeerDocumentOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadWithHistory)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadPeerDocumentOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakePreset)->Arg(1 << 10)->Arg(1 << 20)->Arg(20 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakePresetLimitZstd9Write)->Arg(1 << 10)->Arg(1 << 20)->Arg(20 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyObjectPreset)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyPeerLoadDocumentFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyMaterialToObjects)->Arg(10)->Arg(10000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
  return RunBenchmarksInTemporaryHome(argc, argv, [](const char* home) { g_home = home; });
}
