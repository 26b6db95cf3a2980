// The loader thread against the end of the program: the end must stop and join it before the
// content goes, however early it comes.
#include <cstdint>
#include <cstdlib>

#include "core/startplugin.h"
#include "orxtest.h"

namespace {
Int32 Message(Int32 id, void* data)
{
  return orx_main(ORX_ACTION_MESSAGE, reinterpret_cast<void*>(static_cast<std::intptr_t>(id)), data, nullptr);
}
Filename SourceModulePath()
{
  const char* res = std::getenv("ORX_TEST_RES");
  return Filename(String(res ? res : "")).GetDirectory() + String("browser.so");
}
} // namespace

TEST(LifecycleThreads, LoaderIsJoinedWhateverTheEndComesAfter)
{
  const Int64 before = orxhost::LiveBlockCount();
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    Filename path = SourceModulePath();
    ASSERT_EQ(orx_main(ORX_ACTION_INIT, const_cast<OrxHostTable*>(orxhost::Table()), nullptr, &path), 1);
    OrxPluginStartRecord rec{&rec};
    ASSERT_EQ(Message(ORX_MSG_OPEN_RESOURCE, &rec), 1);
    ASSERT_EQ(orx_main(ORX_ACTION_START, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
    if (round % 3 == 1) {
      EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
    }
    // Every other round skips the end message: action 3 alone must also stop the loader.
    if (round % 2 == 0) {
      EXPECT_EQ(Message(ORX_MSG_END_OF_PROGRAM, nullptr), 1);
    }
    EXPECT_EQ(orx_main(ORX_ACTION_END, nullptr, nullptr, nullptr), 1);
    EXPECT_FALSE(BrowserLoaderThreadExists());
    EXPECT_EQ(BrowserLoaderLock(), nullptr);
  }
  EXPECT_TRUE(orxhost::FatalErrors().empty());
  EXPECT_EQ(orxhost::LiveBlockCount(), before);
}
