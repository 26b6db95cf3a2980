// No exception leaves the loader thread: it ends, and the process goes on.
#include "contenttest.h"
#include "core/startplugin.h"

using namespace contenttest;

namespace {

class LoaderWithoutMemory : public ContentTest
{
};

// The loader thread meets no memory: it ends instead of ending the process, and a later scan works.
TEST_F(LoaderWithoutMemory, ThreadEndsAndALaterScanWorks)
{
  Start();
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("later.libqz"), "preset://later.libqz", {{"Item in later"}}));
  ThreadedPresetLoading* loader = OrxNewObj(ThreadedPresetLoading);
  ASSERT_TRUE(loader);
  Int64 refused = 0;
  {
    orxtest::HostMemoryFails noMemory;
    ASSERT_TRUE(loader->Start(true));
    loader->Wait();
    refused = noMemory.Refused();
  }
  EXPECT_GT(refused, 0);
  EXPECT_FALSE(loader->IsRunning());
  OrxDeleteObj(loader);
  EXPECT_TRUE(LoadLibraries(true));
  EXPECT_TRUE(Find("preset://later.libqz/Item in later"));
}

} // namespace
