// The handler registry under concurrent registration, unregistration, walking and matching.
#include <memory>
#include <thread>
#include <vector>

#include "handlertest.h"

using handlertest::RegistryTest;
using handlertest::TestHandler;

namespace {

using RegistryThreadsTest = RegistryTest;

TEST_F(RegistryThreadsTest, RegisterAndMatchAtOnce)
{
  const std::string png = "\x89PNG....";
  TestHandler image(1, "png", png), scene(2, "orx", "ORXS");
  ASSERT_TRUE(RegisterPlugin(&image, 1));
  ASSERT_TRUE(RegisterPlugin(&scene, 1));
  BrowserURL pngFile = File("a.png", png + std::string(600, 'p'));
  BrowserURL disguised = File("b.png", "ORXS" + std::string(10, 's'));

  constexpr Int32 kChurners = 2, kMatchers = 2, kRounds = 300;
  std::atomic<Int32> wrong{0}, matched{0};
  std::vector<std::thread> threads;
  for (Int32 t = 0; t < kChurners; ++t) {
    threads.emplace_back([&, t] {
      for (Int32 i = 0; i < kRounds; ++i) {
        // Claims the same files, but always comes after the two that were there first. Deleting it
        // right after unregistering is safe only because unregistering waits for running lookups.
        auto* h = new TestHandler(1000 + t, "png", png);
        if (!RegisterPlugin(h, 1)) {
          ++wrong;
          delete h;
          continue;
        }
        if (FindPluginByID(1000 + t) != h)
          ++wrong;
        if (!UnregisterPlugin(h))
          ++wrong;
        delete h;
      }
    });
  }
  for (Int32 t = 0; t < kMatchers; ++t) {
    threads.emplace_back([&] {
      BrowserURL a(pngFile), b(disguised);
      for (Int32 i = 0; i < kRounds; ++i) {
        BrowserPluginInterface* h = nullptr;
        if (!FindPluginForURL(a, true, &h) || h != &image)
          ++wrong;
        if (!FindPluginForURL(b, true, &h) || h != &scene)
          ++wrong;
        if (!FindPluginForURL(b, false, &h) || h != &image)
          ++wrong;
        // Walking sees the two fixed handlers first, whatever else comes and goes.
        if (GetPlugin(0) != &image || GetPlugin(1) != &scene)
          ++wrong;
        for (Int32 k = 0; GetPlugin(k); ++k)
          if (k > 2 + kChurners)
            ++wrong;
        ++matched;
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(matched.load(), kMatchers * kRounds);
  EXPECT_EQ(GetPluginCount(), 2);
}

} // namespace
