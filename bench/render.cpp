// Previews drawn by the host's OpenGL renderer (Mesa's software renderer here). A material ball of
// 256 pixels, against the ball the module draws itself on the processor (the peer); object
// thumbnails of 256 pixels for a cube and for a mesh of about 100 000 triangles. The first call,
// which starts the context, is timed once on its own.
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "benchhome.h"
#include "orx/bitmap.h"
#include "orx/memory.h"
#include "orx/scenedoc.h"
#include "presets/presettypeplugins.h"
#include "scenetest.h"

namespace sc = orxhost::scene;

namespace {
std::unique_ptr<BaseDocument> MaterialDoc() { return orxtest::MaterialDocument(0.85, 0.08, 0.06, 0.4); }

// A ball of rings x segs quads (a cube when rings is 0), rippled so that its normals differ.
std::unique_ptr<BaseDocument> ObjectDoc(int rings, int segs)
{
  return orxtest::DocumentOf(orxtest::MeshObject("S", rings == 0, 0, rings, segs, 0.05));
}

void Render(benchmark::State& state, const BaseDocument* doc, Int32 flags)
{
  for (auto _ : state) {
    std::string error;
    BaseBitmap* b = sc::RenderPreview(doc, nullptr, 256, 256, flags, &error);
    if (!b) {
      state.SkipWithError(error.c_str());
      return;
    }
    OrxDeleteObj(b);
  }
}

void BM_MaterialBallRendered(benchmark::State& state)
{
  auto doc = MaterialDoc();
  Render(state, doc.get(), SCENEPREVIEW_MATERIAL);
}

void BM_MaterialBallDrawnByTheModule(benchmark::State& state)
{
  auto doc = MaterialDoc();
  std::vector<UChar> bytes;
  sc::SaveToMemory(*doc, &bytes);
  for (auto _ : state) {
    BaseBitmap* b = DrawMaterialBall(bytes.data(), Int64(bytes.size()), 256, 256);
    OrxDeleteObj(b);
  }
}

void BM_ObjectThumbnailCube(benchmark::State& state)
{
  auto doc = ObjectDoc(0, 0);
  Render(state, doc.get(), 0);
}

void BM_ObjectThumbnail100kTriangles(benchmark::State& state)
{
  auto doc = ObjectDoc(224, 224); // 50 176 quads, 100 352 triangles
  Render(state, doc.get(), 0);
}

void FirstCall(const char*)
{
  auto doc = MaterialDoc();
  const auto t0 = std::chrono::steady_clock::now();
  std::string error;
  BaseBitmap* b = sc::RenderPreview(doc.get(), nullptr, 256, 256, SCENEPREVIEW_MATERIAL, &error);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("first call (starts the context and draws a 256-pixel ball): %.1f ms%s%s\n", ms, b ? "" : ", failed: ",
              b ? "" : error.c_str());
  if (b)
    OrxDeleteObj(b);
}
} // namespace

BENCHMARK(BM_MaterialBallRendered)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MaterialBallDrawnByTheModule)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ObjectThumbnailCube)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ObjectThumbnail100kTriangles)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return RunBenchmarksInTemporaryHome(argc, argv, FirstCall); }
