// The preview renderer from several threads at once: one context, taken in turn; every picture is
// the one drawn alone.
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "orx/bitmap.h"
#include "orx/memory.h"
#include "orxtest.h"
#include "scene/scenedoc.h"

namespace sc = orxhost::scene;

namespace {
std::unique_ptr<BaseDocument> MaterialDoc(double r, double g, double b)
{
  auto doc = std::make_unique<BaseDocument>();
  auto m = std::make_unique<BaseList2D>(Mbase);
  const double rgb[3] = {r, g, b};
  for (Int32 i = 0; i < 3; ++i)
    m->data.SetFloat(MATERIAL_COLOR + i, rgb[i]);
  EXPECT_TRUE(sc::Insert(doc.get(), std::move(m), nullptr, nullptr));
  return doc;
}

std::unique_ptr<BaseDocument> ObjectDoc()
{
  auto doc = std::make_unique<BaseDocument>();
  auto o = std::make_unique<BaseList2D>(Obase);
  std::vector<UChar> pts, polys;
  auto put = [](std::vector<UChar>* out, UInt64 v, int bytes) {
    for (int s = (bytes - 1) * 8; s >= 0; s -= 8)
      out->push_back(UChar(v >> s));
  };
  for (int i = 0; i < 8; ++i)
    for (int axis = 0; axis < 3; ++axis) {
      const double v = i & (1 << axis) ? 1 : -1;
      UInt64 bits;
      std::memcpy(&bits, &v, 8);
      put(&pts, bits, 8);
    }
  const Int32 q[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  for (const auto& f : q)
    for (Int32 v : f)
      put(&polys, UInt32(v), 4);
  o->data.SetBytes(OBJECT_POINTS, pts.data(), Int64(pts.size()));
  o->data.SetBytes(OBJECT_POLYGONS, polys.data(), Int64(polys.size()));
  EXPECT_TRUE(sc::Insert(doc.get(), std::move(o), nullptr, nullptr));
  return doc;
}

struct Bitmap
{
  BaseBitmap* b;
  explicit Bitmap(BaseBitmap* b) : b(b) {}
  ~Bitmap()
  {
    if (b)
      OrxDeleteObj(b);
  }
  explicit operator bool() const { return b != nullptr; }
};
} // namespace

TEST(Render, ThreadsTakeTurnsWithTheOneContext)
{
  auto red = MaterialDoc(0.9, 0.05, 0.05), cube = ObjectDoc();
  std::string error;
  Bitmap refBall(sc::RenderPreview(red.get(), nullptr, 48, 48, SCENEPREVIEW_MATERIAL, &error));
  Bitmap refCube(sc::RenderPreview(cube.get(), nullptr, 40, 40, 0, &error));
  ASSERT_TRUE(refBall && refCube) << error;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 4; ++i) {
        std::string e;
        const bool ball = (t + i) % 2 == 0;
        Bitmap b(ball ? sc::RenderPreview(red.get(), nullptr, 48, 48, SCENEPREVIEW_MATERIAL, &e)
                      : sc::RenderPreview(cube.get(), nullptr, 40, 40, 0, &e));
        wrong += !b || !(*b.b == *(ball ? refBall.b : refCube.b));
      }
    });
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(wrong.load(), 0);
}

