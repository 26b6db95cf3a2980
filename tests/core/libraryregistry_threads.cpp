// The library loader against requests of other threads, and the end of the program while it runs.
#include <atomic>
#include <chrono>
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

// A catalog request made while another caller loads the catalogs waits for that load. The load is
// held up by a registration that keeps the registry busy (its change listener waits).
std::atomic<int> g_listenerState{0}; // 1: a registration holds the registry; 2: let it go

void HoldingListener(const NodeRef&, Bool)
{
  int expected = 0;
  if (!g_listenerState.compare_exchange_strong(expected, 1))
    return;
  while (g_listenerState.load() != 2)
    std::this_thread::yield();
}

TEST_F(LoaderThreads, CatalogRequestDuringAnotherCallersLoadWaitsForIt)
{
  for (int i = 0; i < 3; ++i) {
    const std::string name = "c" + std::to_string(i) + ".catqz";
    ASSERT_TRUE(MakeLibrary(UserFolder() + String(name.c_str()), "catalog://" + name, {{"link"}}));
  }
  ASSERT_TRUE(MakeLibrary(UserFolder() + String("r.libqz"), "preset://r.libqz", {{"p"}}));
  Start();
  g_listenerState = 0;
  SetContentChangeListener(HoldingListener);
  std::thread registration([] { RegisterLibrary(UserFolder() + String("r.libqz"), false, false, false, nullptr); });
  while (g_listenerState.load() != 1)
    std::this_thread::yield();

  Int32 first = -1, second = -1;
  std::thread loader([&] {
    BrowserURL url(String("catalog://c2.catqz"));
    first = GetLibraryIndex(url);
  });
  // Gives the loader time to begin; were it late, this request would load them itself.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::thread request([&] {
    BrowserURL url(String("catalog://c0.catqz"));
    second = GetLibraryIndex(url);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  g_listenerState = 2;
  registration.join();
  loader.join();
  request.join();
  SetContentChangeListener(nullptr);
  EXPECT_GE(first, 2);
  EXPECT_GE(second, 2) << "the request during the load answered before the catalogs were there";
}

} // namespace

// A library build opens and frees its own library outside the registry while the loader compacts
// the libraries that ask for it: the loader must never reach a freed library, and the file on disk
// keeps every record whatever the order.
TEST_F(LoaderThreads, ALibraryFreedWhileTheLoaderCompactsIsNeverReachedAfterItGoes)
{
  MakeLibraries();
  Start();
  const Filename file = UserFolder() + String(LibName(0).c_str());
  std::atomic<bool> done{false};
  std::thread builder([&] {
    for (int i = 0; i < 400; ++i) {
      BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
      if (db)
        db->Load();
      BrowserDatabase::Destroy(db);
    }
    done = true;
  });
  int rounds = 0;
  while (!done.load() || rounds == 0) {
    CompactLibrariesThatAskIt(nullptr);
    ++rounds;
  }
  builder.join();

  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  ASSERT_NE(db, nullptr);
  ASSERT_TRUE(db->Load());
  for (int j = 0; j < 20; ++j) {
    BrowserDatabaseItem* h = db->OpenItem(String("preset://") + String(LibName(0).c_str()) + "/F/p" + String::FromInt(j));
    ASSERT_NE(h, nullptr) << j;
    h->Close();
  }
  BrowserDatabase::Destroy(db);
}
