// Previews and content matching from several worker threads at once, as the background preview
// threads of two windows and a search thread do: every thread gets what one thread alone gets.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "contenttest.h"
#include "filetypes/filetypeplugins.h"
#include "mediatest.h"
#include "orx/media.h"

using namespace contenttest;
using mediatest::Quoted;
using mediatest::Shell;

// The codec libraries are not built for ThreadSanitizer: their own locks and atomics (OpenImageIO's
// string table above all) are invisible to it, and what it reports inside them is not ours.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions()
{
  return "called_from_lib:libOpenImageIO_Util.so\n"
         "race:libOpenImageIO_Util.so\n"
         "race:libOpenImageIO.so\n";
}

namespace {
struct Result
{
  Int32 handler = 0, w = 0, h = 0;
  UInt64 sum = 0;
  bool operator==(const Result&) const = default;
};

Result PreviewOf(const Filename& f)
{
  Result r;
  BrowserPluginInterface* h = nullptr;
  if (!FindPluginForURL(BrowserURL(f), true, &h) || !h)
    return r;
  r.handler = h->GetPluginID(nullptr);
  BrowserURL u(f);
  void* data = h->OpenPreviewData(0, nullptr, &u, nullptr);
  BaseBitmap* b = data ? h->GetPreviewBitmap(data, 96, 96, 0) : nullptr;
  h->FreePreviewData(data);
  if (b) {
    r.w = b->GetWidth();
    r.h = b->GetHeight();
    const std::size_t n = std::size_t(r.w) * std::size_t(r.h) * std::size_t(b->GetChannels());
    for (std::size_t i = 0; i < n; ++i)
      r.sum += b->Pixels()[i];
    delete b;
  }
  return r;
}

class PreviewThreads : public ContentTest
{
};
} // namespace

TEST_F(PreviewThreads, WorkersGetTheSamePreviewsAsOneThread)
{
  MEDIATEST_NEED("convert");
  MEDIATEST_NEED("oiiotool");
  MEDIATEST_NEED("ffmpeg");
  const Filename dir = orxtest::TempDir();
  const std::vector<Filename> files = {dir + String("a.jpg"), dir + String("b.png"), dir + String("c.exr"),
                                       dir + String("d.mp4"), dir + String("e.tif")};
  ASSERT_TRUE(Shell("convert -size 640x480 plasma:fractal " + Quoted(files[0])));
  ASSERT_TRUE(Shell("convert -size 200x100 gradient:red-blue " + Quoted(files[1])));
  ASSERT_TRUE(Shell("oiiotool --create 128x64 3 --fill:color=0.5,0.1,0.9 0,0,128,64 -d half -o " + Quoted(files[2])));
  ASSERT_TRUE(Shell("ffmpeg -nostdin -y -f lavfi -i testsrc=size=160x120:rate=10:duration=1 -pix_fmt yuv420p " +
                    Quoted(files[3])));
  ASSERT_TRUE(Shell("convert -size 300x300 xc:orange " + Quoted(files[4])));
  Start();
  std::vector<Result> expected;
  for (const Filename& f : files) {
    expected.push_back(PreviewOf(f));
    ASSERT_GT(expected.back().w, 0) << f.ToUtf8();
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round)
        for (std::size_t i = 0; i < files.size(); ++i) {
          const std::size_t k = (i + std::size_t(t)) % files.size();
          if (!(PreviewOf(files[k]) == expected[k]))
            mismatches.fetch_add(1);
        }
    });
  for (std::thread& w : workers)
    w.join();
  EXPECT_EQ(mismatches.load(), 0);
}
