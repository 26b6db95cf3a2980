// The library loader against requests of other threads, and the end of the program while it runs.
#include <cstdint>
#include <thread>

#include "contenttest.h"
#include "core/startplugin.h"

using namespace contenttest;

namespace {

constexpr int kLibraries = 12;

std::string LibName(int i) { return "lib" + std::to_string(i) + ".libqz"; }

void MakeLibraries()
{
  for (int i = 0; i < kLibraries; ++i) {
    std::vector<TestItem> items{{"F", true}};
    for (int j = 0; j < 20; ++j)
      items.push_back({"F/p" + std::to_string(j), false, "data" + std::to_string(j)});
    ASSERT_TRUE(MakeLibrary(UserFolder() + String(LibName(i).c_str()), "preset://" + LibName(i), items));
  }
}

Int32 OpenCount(const Filename& file)
{
  Int32 n = 0;
  for (Int32 i = 0; i < BrowserDatabase::GetTableCapacity(); ++i)
    if (BrowserDatabase* db = BrowserDatabase::GetLibrary(i))
      n += db->GetFilename() == file;
  return n;
}

class LoaderThreads : public ContentTest
{
};

TEST_F(LoaderThreads, PresetRequestDuringTheScanLoadsEachLibraryOnce)
{
  MakeLibraries();
  Start();
  std::thread loader([] { LoadLibraries(true); });
  // Requests from here race the loader: each waits for the scan or does it.
  BrowserURL url(String(("preset://" + LibName(kLibraries - 1) + "/F/p3").c_str()));
  Int32 idx = GetLibraryIndex(url);
  NodeRef node = GetNode(url, GETNODE_EXACT);
  NodeRef browsed = Find("preset://" + LibName(kLibraries / 2) + "/F");
  loader.join();

  EXPECT_GE(idx, 2);
  EXPECT_TRUE(node);
  EXPECT_TRUE(browsed);
  for (int i = 0; i < kLibraries; ++i) {
    Filename f = UserFolder() + String(LibName(i).c_str());
    EXPECT_EQ(OpenCount(f), 1) << LibName(i);
    EXPECT_EQ(ChildNames(Find("preset://" + LibName(i) + "/F")).size(), 20u) << LibName(i);
  }
  std::vector<std::string> roots = ChildNames(GetRootNode(ROOT_PRESET));
  EXPECT_EQ(roots.size(), std::size_t(kLibraries + 1)) << "one node per library";
}

TEST_F(LoaderThreads, RegistrationsFromTwoThreadsShareOneDatabase)
{
  MakeLibraries();
  Start();
  std::thread other([] {
    for (int i = 0; i < kLibraries; ++i)
      RegisterLibrary(UserFolder() + String(LibName(i).c_str()), false, false, false, nullptr);
  });
  for (int i = kLibraries - 1; i >= 0; --i)
    RegisterLibrary(UserFolder() + String(LibName(i).c_str()), false, false, false, nullptr);
  other.join();
  for (int i = 0; i < kLibraries; ++i) {
    Filename f = UserFolder() + String(LibName(i).c_str());
    ASSERT_EQ(OpenCount(f), 1);
    EXPECT_EQ(BrowserDatabase::FindLibraryForFile(f)->GetRegistrationCount(), 2);
  }
  EXPECT_EQ(ChildNames(GetRootNode(ROOT_PRESET)).size(), std::size_t(kLibraries + 1));
}

TEST_F(LoaderThreads, EndOfProgramWaitsForTheLoader)
{
  MakeLibraries();
  const char* res = std::getenv("ORX_TEST_RES");
  Filename module = Filename(String(res ? res : "")).GetDirectory() + String("browser.so");
  for (int round = 0; round < 3; ++round) {
    ResetLibraryRegistryForTests();
    ASSERT_EQ(orx_main(ORX_ACTION_INIT, const_cast<OrxHostTable*>(orxhost::Table()), nullptr, &module), 1);
    OrxPluginStartRecord rec{&rec};
    ASSERT_EQ(orx_main(ORX_ACTION_MESSAGE, reinterpret_cast<void*>(std::intptr_t(ORX_MSG_OPEN_RESOURCE)), &rec, nullptr),
              1);
    ASSERT_EQ(orx_main(ORX_ACTION_START, nullptr, nullptr, nullptr), 1);
    orx_main(ORX_ACTION_MESSAGE, reinterpret_cast<void*>(std::intptr_t(ORX_MSG_STARTUP_ACTIVITY)), nullptr, nullptr);
    if (round == 1) {
      // Browsing while the loader runs.
      Find("preset://" + LibName(3) + "/F");
    }
    EXPECT_EQ(orx_main(ORX_ACTION_MESSAGE, reinterpret_cast<void*>(std::intptr_t(ORX_MSG_END_OF_PROGRAM)), nullptr,
                       nullptr),
              1);
    EXPECT_FALSE(BrowserLoaderThreadExists());
    EXPECT_EQ(orx_main(ORX_ACTION_END, nullptr, nullptr, nullptr), 1);
    EXPECT_FALSE(ContentExists());
    EXPECT_FALSE(BrowserDatabase::GetLibrary(LIBRARY_MAIN));
  }
}

} // namespace
