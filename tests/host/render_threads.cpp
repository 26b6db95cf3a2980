// The preview renderer from several threads at once: one context, taken in turn; every picture is
// the one drawn alone.
#include <atomic>
#include <thread>

#include "orx/bitmap.h"
#include "orx/memory.h"
#include "orxtest.h"
#include "scenetest.h"

namespace sc = orxhost::scene;

namespace {
std::unique_ptr<BaseDocument> MaterialDoc(double r, double g, double b)
{
  auto doc = orxtest::MaterialDocument(r, g, b);
  EXPECT_TRUE(doc);
  return doc;
}

std::unique_ptr<BaseDocument> ObjectDoc()
{
  auto doc = orxtest::ObjectDocument(true);
  EXPECT_TRUE(doc);
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

