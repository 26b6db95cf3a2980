// The loader thread against the end of the program: the end must stop and join it before the
// content goes, however early it comes.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "base/browserutils.h"
#include "core/startplugin.h"
#include "orxtest.h"
#include "presets/browserdatabase.h"

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
// A library whose dead chunks outweigh its live ones; its size, 0 on failure.
Int64 MakeMostlyDead(const Filename& file, const char* url, const String& path)
{
  std::error_code ec;
  std::filesystem::create_directories(file.GetDirectory().ToUtf8(), ec);
  std::filesystem::remove(file.ToUtf8(), ec);
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  if (!db)
    return 0;
  db->SetName(String(url));
  bool ok = db->Save(true);
  for (int i = 0; i < 12 && ok; ++i) {
    BrowserDatabaseItem* item = db->OpenOrCreateItem(path, true);
    ok = item && item->SetAnnotation(String((std::to_string(i) + std::string(8000, 'a')).c_str()));
    if (item)
      item->Close();
    ok = ok && db->Save(true);
  }
  BrowserDatabase::Destroy(db);
  return ok ? Int64(std::filesystem::file_size(file.ToUtf8(), ec)) : 0;
}

std::string StoredAnnotation(const Filename& file, const String& path)
{
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  std::string out;
  if (db && db->Load())
    if (BrowserDatabaseItem* item = db->OpenItem(path)) {
      out = item->GetAnnotation().ToUtf8();
      item->Close();
    }
  if (db)
    BrowserDatabase::Destroy(db);
  return out;
}
} // namespace

// The loader compacts a library at start while the program reads it, or is stopped by an early end:
// the record is read whole throughout and is in the file afterwards.
TEST(LifecycleThreads, TheLoadersCompactionAtStartRacesWithReadersAndAnEarlyEnd)
{
  const Filename user = GetUserBrowserFolder() + String("user.libqz");
  const String path("preset://user.libqz/Annotated");
  const std::string want = "11" + std::string(8000, 'a');
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    const Int64 before = MakeMostlyDead(user, "preset://user.libqz", path);
    ASSERT_GT(before, 90000);
    Filename module = SourceModulePath();
    ASSERT_EQ(orx_main(ORX_ACTION_INIT, const_cast<OrxHostTable*>(orxhost::Table()), nullptr, &module), 1);
    OrxPluginStartRecord rec{&rec};
    ASSERT_EQ(Message(ORX_MSG_OPEN_RESOURCE, &rec), 1);
    ASSERT_EQ(orx_main(ORX_ACTION_START, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
    std::error_code ec;
    for (int i = 0; round % 2 == 0 && i < 1200 && Int64(std::filesystem::file_size(user.ToUtf8(), ec)) > before / 4;
         ++i) {
      if (BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(path))
        if (BrowserDatabaseItem* item = db->OpenItem(path)) {
          EXPECT_EQ(item->GetAnnotation().ToUtf8(), want);
          item->Close();
        }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(orx_main(ORX_ACTION_END, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(StoredAnnotation(user, path), want);
  }
  std::error_code ec;
  std::filesystem::remove(user.ToUtf8(), ec);
  std::filesystem::remove(user.ToUtf8() + ".bak", ec);
}

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
