// Previews drawn by the host's OpenGL renderer (Mesa's software renderer here). A material ball of
// 256 pixels, against the ball the module draws itself on the processor (the peer); object
// thumbnails of 256 pixels for a cube and for a mesh of about 100 000 triangles. The first call,
// which starts the context, is timed once on its own.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "benchhome.h"
#include "orx/bitmap.h"
#include "orx/memory.h"
#include "orx/scenedoc.h"
#include "presets/presettypeplugins.h"
#include "scene/scenedoc.h"

namespace sc = orxhost::scene;

namespace {
void PutDouble(std::vector<UChar>* out, double v)
{
  UInt64 bits;
  std::memcpy(&bits, &v, 8);
  for (int s = 56; s >= 0; s -= 8)
    out->push_back(UChar(bits >> s));
}

void PutInt(std::vector<UChar>* out, Int32 v)
{
  for (int s = 24; s >= 0; s -= 8)
    out->push_back(UChar(UInt32(v) >> s));
}

std::unique_ptr<BaseDocument> MaterialDoc()
{
  auto doc = std::make_unique<BaseDocument>();
  auto m = std::make_unique<BaseList2D>(Mbase);
  const double rgb[3] = {0.85, 0.08, 0.06};
  for (Int32 i = 0; i < 3; ++i)
    m->data.SetFloat(MATERIAL_COLOR + i, rgb[i]);
  m->data.SetFloat(MATERIAL_REFLECTANCE, 0.4);
  sc::Insert(doc.get(), std::move(m), nullptr, nullptr);
  return doc;
}

// A ball of rings x segs quads (a cube when rings is 0).
std::unique_ptr<BaseDocument> ObjectDoc(int rings, int segs)
{
  auto doc = std::make_unique<BaseDocument>();
  auto o = std::make_unique<BaseList2D>(Obase);
  std::vector<UChar> pts, polys;
  if (rings == 0) {
    for (int i = 0; i < 8; ++i)
      for (int axis = 0; axis < 3; ++axis)
        PutDouble(&pts, i & (1 << axis) ? 1 : -1);
    const Int32 q[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto& f : q)
      for (Int32 v : f)
        PutInt(&polys, v);
  } else {
    for (int r = 0; r <= rings; ++r)
      for (int s = 0; s < segs; ++s) {
        const double th = M_PI * r / rings, ph = 2 * M_PI * s / segs;
        const double bump = 1 + 0.05 * std::sin(7 * th) * std::cos(5 * ph);
        PutDouble(&pts, bump * std::sin(th) * std::cos(ph));
        PutDouble(&pts, bump * std::cos(th));
        PutDouble(&pts, bump * std::sin(th) * std::sin(ph));
      }
    for (int r = 0; r < rings; ++r)
      for (int s = 0; s < segs; ++s) {
        const Int32 a = r * segs + s, b = r * segs + (s + 1) % segs;
        for (Int32 v : {a, b, b + segs, a + segs})
          PutInt(&polys, v);
      }
  }
  o->data.SetBytes(OBJECT_POINTS, pts.data(), Int64(pts.size()));
  o->data.SetBytes(OBJECT_POLYGONS, polys.data(), Int64(polys.size()));
  sc::Insert(doc.get(), std::move(o), nullptr, nullptr);
  return doc;
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
