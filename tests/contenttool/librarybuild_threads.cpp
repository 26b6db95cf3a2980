// The build's worker and the thread that waits for it: a cancel while the worker waits for the
// waiting thread to open a movie ends the run instead of waiting forever on both sides.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "orxtest.h"
#include "tools/contenttool/librarybuild.h"
#include "watchdog.h"

namespace {

namespace fs = std::filesystem;

std::string Desc(const std::string& attributes, const std::string& inner)
{
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<item " + attributes + ">\r\n" + inner +
         "</item>\r\n";
}

TEST(LibraryBuildThreads, ACancelWhileTheWorkerWaitsForAMovieEndsTheRun)
{
  const Filename base = orxtest::TempDir();
  const std::string lib = base.GetString().ToUtf8() + "/Movies";
  fs::create_directories(lib + "/m.preview");
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0 ||
      std::system(("ffmpeg -loglevel error -y -f lavfi -i testsrc=size=32x24:rate=25 -frames:v 40 -c:v mjpeg '" + lib +
                   "/m.preview/preview.avi' </dev/null")
                      .c_str()) != 0)
    GTEST_SKIP() << "ffmpeg cannot make the test movie here";
  ASSERT_TRUE(orxtest::WriteFile(Filename(String((lib + ".cbinfo").c_str())), Desc("type=library", "")));
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(orxtest::WriteFile(
        Filename(String((lib + "/m" + std::to_string(i) + ".cbinfo").c_str())),
        Desc("type=movie", "\t<preview type=animated>\r\n\t\t<media>m.preview</media>\r\n\t</preview>\r\n")));
  const Filename target = base + String("movies.libqz");
  BuildOutcome o;
  int ticks = 0;
  // The waiting thread stops serving for a while, so that the worker waits for it to open the movie,
  // then cancels: the worker has to notice the cancel while it waits.
  ASSERT_TRUE(orxtest::FinishesWithin([&] {
    RunLibraryBuild(Filename(String(lib.c_str())), target, &o, [&](double) {
      if (++ticks == 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      return false;
    });
  }));
  EXPECT_TRUE(o.cancelled);
  EXPECT_NE(orxtest::ReadFile(o.errorLog).find("User cancelled"), std::string::npos);
  EXPECT_FALSE(fs::exists(target.GetString().ToUtf8()));
  EXPECT_FALSE(fs::exists(target.GetString().ToUtf8() + ".new"));
}

} // namespace
