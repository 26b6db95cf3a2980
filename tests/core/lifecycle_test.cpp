#include <algorithm>
#include <chrono>
#include <thread>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <filesystem>

#include "base/browserurl.h"
#include "base/browserutils.h"
#include "core/registration.h"
#include "core/startplugin.h"
#include "orx/browserlib.h"
#include "orxtest.h"
#include "presets/browserdatabase.h"

namespace {

void* Id(Int32 id) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(id)); }
Int32 Message(Int32 id, void* data) { return orx_main(ORX_ACTION_MESSAGE, Id(id), data, nullptr); }
const char* kKinds[] = {"command", "manager", "prefpage", "icon"};

// The module as the source tree holds it: <module folder>/browser.so beside res/.
Filename SourceModulePath()
{
  const char* res = std::getenv("ORX_TEST_RES");
  return Filename(String(res ? res : "")).GetDirectory() + String("browser.so");
}

std::vector<std::string> TraceLines()
{
  std::vector<std::string> out;
  for (const std::string& line : orxhost::ConsoleLines())
    if (line.rfind("CB trace: ", 0) == 0)
      out.push_back(line.substr(10));
  return out;
}

Int64 Count(const std::vector<std::string>& lines, const std::string& what)
{
  return std::count(lines.begin(), lines.end(), what);
}

class Lifecycle : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ::setenv("ORX_BROWSER_TRACE", "1", 1);
    orxhost::ClearRegistrations();
    orxhost::ClearConsole();
    for (const char* kind : kKinds)
      orxhost::FailRegistrations(kind, false);
    before_ = orxhost::LiveBlockCount();
  }
  void TearDown() override
  {
    while (inits_ > 0) {
      EXPECT_EQ(orx_main(ORX_ACTION_END, nullptr, nullptr, nullptr), 1);
      --inits_;
    }
    for (const char* kind : kKinds)
      orxhost::FailRegistrations(kind, false);
    ::unsetenv("ORX_BROWSER_TRACE");
    EXPECT_EQ(orxhost::LiveBlockCount(), before_) << "host memory left after action 3";
  }

  Int32 Init(const Filename& modulePath)
  {
    Filename path = modulePath;
    Int32 r = orx_main(ORX_ACTION_INIT, const_cast<OrxHostTable*>(orxhost::Table()), nullptr, &path);
    if (r == 1)
      ++inits_;
    return r;
  }
  Int32 End()
  {
    --inits_;
    return orx_main(ORX_ACTION_END, nullptr, nullptr, nullptr);
  }
  // Action 1, message 1 and action 2, as the host does it.
  Int32 Start(const Filename& modulePath = SourceModulePath())
  {
    EXPECT_EQ(Init(modulePath), 1);
    OrxPluginStartRecord rec{&rec};
    EXPECT_EQ(Message(ORX_MSG_OPEN_RESOURCE, &rec), 1);
    return orx_main(ORX_ACTION_START, nullptr, nullptr, nullptr);
  }

  Int32 inits_ = 0;
  Int64 before_ = 0;
};

} // namespace

TEST_F(Lifecycle, RefusedHostLeavesTheModuleInert)
{
  OrxHostTable old = *orxhost::Table();
  old.version = 13999;
  Filename path = SourceModulePath();
  EXPECT_EQ(orx_main(ORX_ACTION_INIT, &old, nullptr, &path), -3);
  EXPECT_EQ(OrxGetHostTable(), orxhost::Table());
  OrxHostTable small = *orxhost::Table();
  small.size = Int32(sizeof(OrxHostTable)) - 8;
  EXPECT_EQ(orx_main(ORX_ACTION_INIT, &small, nullptr, &path), -3);
  EXPECT_EQ(orx_main(ORX_ACTION_INIT, const_cast<OrxHostTable*>(orxhost::Table()), nullptr, nullptr), -3);
  EXPECT_EQ(orx_main(ORX_ACTION_INIT, nullptr, nullptr, &path), -3);

  // Nothing happens on an inert module, and nothing crashes.
  EXPECT_EQ(orx_main(ORX_ACTION_START, nullptr, nullptr, nullptr), 0);
  OrxPluginStartRecord rec{&rec};
  EXPECT_EQ(Message(ORX_MSG_OPEN_RESOURCE, &rec), -1);
  EXPECT_EQ(rec.field, &rec);
  EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), -1);
  EXPECT_TRUE(orxhost::Registrations().empty());
  EXPECT_TRUE(BrowserModuleFolder().IsEmpty());
  EXPECT_EQ(orx_main(ORX_ACTION_END, nullptr, nullptr, nullptr), 1);

  // A refusal does not count: a proper host still gets the module started.
  EXPECT_EQ(Start(), 1);
  EXPECT_TRUE(BrowserIsReady());
}

TEST_F(Lifecycle, OnlyTheFirstInitAndTheLastEndDoWork)
{
  ASSERT_EQ(Init(SourceModulePath()), 1);
  OrxHostTable old = *orxhost::Table();
  old.version = 100;
  Filename other("/elsewhere/browser.so");
  EXPECT_EQ(orx_main(ORX_ACTION_INIT, &old, nullptr, &other), 1);
  EXPECT_EQ(OrxGetHostTable(), orxhost::Table());
  EXPECT_EQ(BrowserModuleFolder(), SourceModulePath().GetDirectory());

  EXPECT_EQ(orx_main(ORX_ACTION_END, nullptr, nullptr, nullptr), 1);
  EXPECT_FALSE(BrowserModuleFolder().IsEmpty()) << "the first of two ends must not end the module";
  EXPECT_EQ(End(), 1);
  EXPECT_TRUE(BrowserModuleFolder().IsEmpty());
  // An end too many is harmless.
  EXPECT_EQ(orx_main(ORX_ACTION_END, nullptr, nullptr, nullptr), 1);
}

TEST_F(Lifecycle, FixedAnswers)
{
  EXPECT_EQ(orx_main(ORX_ACTION_QUERY, nullptr, nullptr, nullptr), 5);
  EXPECT_EQ(orx_main(5, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(orx_main(0, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(orx_main(7, nullptr, nullptr, nullptr), -1);
  Int32 version = 0;
  EXPECT_EQ(Message(ORX_MSG_VERSION, &version), 1);
  EXPECT_EQ(version, 18250);
  ASSERT_EQ(Init(SourceModulePath()), 1);
  EXPECT_EQ(Message(12345, nullptr), -1);
  EXPECT_EQ(Message(ORX_MSG_VERSION, nullptr), 1);
}

TEST_F(Lifecycle, ResourceMessageOpensStringsOnceAndClearsTheRecordField)
{
  GeCloseResource();
  Filename noRes = orxtest::TempDir() + String("browser.so");
  ASSERT_EQ(Init(noRes), 1);
  OrxPluginStartRecord rec{&rec};
  EXPECT_EQ(Message(ORX_MSG_OPEN_RESOURCE, &rec), -1);
  EXPECT_EQ(rec.field, &rec) << "the field is cleared only on success";
  EXPECT_EQ(End(), 1);

  ASSERT_EQ(Init(SourceModulePath()), 1);
  EXPECT_EQ(Message(ORX_MSG_OPEN_RESOURCE, &rec), 1);
  EXPECT_EQ(rec.field, nullptr);
  EXPECT_EQ(GeLoadString(10000).ToUtf8(), "Content Browser");
  rec.field = &rec;
  EXPECT_EQ(Message(ORX_MSG_OPEN_RESOURCE, &rec), 1);
  EXPECT_EQ(rec.field, nullptr);
  EXPECT_EQ(Message(ORX_MSG_OPEN_RESOURCE, nullptr), 1);
  EXPECT_EQ(End(), 1);
  EXPECT_TRUE(GeLoadString(10000).IsEmpty()) << "action 3 closes the resource";
}

TEST_F(Lifecycle, StartRegistersEverythingInOrder)
{
  ASSERT_EQ(Start(), 1);
  EXPECT_TRUE(BrowserIsStarted());
  EXPECT_TRUE(BrowserIsReady());
  EXPECT_EQ(TraceLines(),
            (std::vector<std::string>{"start 1 content", "start 2 view settings", "start 3 background tasks",
                                      "start 4 call table", "start 5 commands", "start 6 manager information",
                                      "start 7 view filter commands", "start 8 preference page"}));

  std::vector<std::string> order;
  for (const orxhost::Registration& r : orxhost::Registrations()) {
    if (r.kind == "icon")
      continue;
    order.push_back(r.kind + " " + std::to_string(r.id) + " " + r.name);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"library 1017645 version 1000", "library 1017646 version 1",
                                             "command 1017163 Content Browser...",
                                             "manager 1017163 Content Browser",
                                             "prefpage 465001634 Content Browser (Prefsbrowser)"}));
  // A second start does not register twice.
  const std::size_t registered = orxhost::Registrations().size();
  EXPECT_EQ(orx_main(ORX_ACTION_START, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(orxhost::Registrations().size(), registered);
  EXPECT_EQ(Count(TraceLines(), "start 5 commands"), 1);
}

TEST_F(Lifecycle, ProgressIconsComeFromTheModuleFolder)
{
  Filename dir = orxtest::TempDir();
  ASSERT_TRUE(orxtest::WriteFile(dir + String("res") + String("strings.txt"), "10000 = Browser\n"));
  for (int n = 0; n < 8; n += 2) // every second icon is missing
    ASSERT_TRUE(orxtest::WriteFile(dir + String("res/icons/progressor" + std::to_string(n) + ".tif"), "x"));
  GeCloseResource();
  ASSERT_EQ(Start(dir + String("browser.so")), 1) << "missing icons do not stop the start";

  std::vector<Int32> ids;
  for (const orxhost::Registration& r : orxhost::Registrations())
    if (r.kind == "icon")
      ids.push_back(r.id);
  EXPECT_EQ(ids, (std::vector<Int32>{1021644, 1021646, 1021648, 1021650}));
  EXPECT_EQ(Count(orxhost::ConsoleLines(), "RegisterIcon failed"), 4);
}

TEST_F(Lifecycle, AFailedRegistrationFailsTheStartButKeepsTheOthers)
{
  for (const char* failing : {"command", "manager", "prefpage"}) {
    SCOPED_TRACE(failing);
    orxhost::ClearRegistrations();
    orxhost::FailRegistrations(failing, true);
    EXPECT_EQ(Start(), 0);
    EXPECT_TRUE(BrowserIsStarted());
    EXPECT_FALSE(BrowserIsReady());
    std::vector<std::string> kinds;
    for (const orxhost::Registration& r : orxhost::Registrations())
      if (r.kind != "icon")
        kinds.push_back(r.kind);
    EXPECT_EQ(kinds.size(), 4u); // the published tables and the two registrations that did not fail
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), failing), 0);
    // Without a started content the start-up activity and volume changes do nothing.
    EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
    EXPECT_FALSE(BrowserLoaderThreadExists());
    EXPECT_EQ(End(), 1);
    orxhost::FailRegistrations(failing, false);
  }
}

TEST_F(Lifecycle, RunStartIsTakenOnlyForAZeroArgument)
{
  ASSERT_EQ(Start(), 1);
  Int32 zero = 0;
  EXPECT_EQ(Message(ORX_MSG_RUN_START, &zero), -1);
  const Int32 first = BrowserRunStartTime();
  EXPECT_LE(first, GeGetTimer());
  while (GeGetTimer() == first) {
  }
  Int32 one = 1;
  EXPECT_EQ(Message(ORX_MSG_RUN_START, &one), -1);
  EXPECT_EQ(BrowserRunStartTime(), first);
  EXPECT_EQ(Message(ORX_MSG_RUN_START, nullptr), -1);
  EXPECT_EQ(BrowserRunStartTime(), first);
  EXPECT_EQ(Message(ORX_MSG_RUN_START, &zero), -1);
  EXPECT_GT(BrowserRunStartTime(), first);
}

TEST_F(Lifecycle, VolumeChangesAreHandledOnlyWhileReady)
{
  String drive("/media/stick");
  OrxVolumeChangeRecord rec{&drive, 1};

  ASSERT_EQ(Init(SourceModulePath()), 1);
  EXPECT_EQ(Message(ORX_MSG_VOLUME_CHANGE, &rec), 1);
  EXPECT_TRUE(TraceLines().empty()) << "before start";

  OrxPluginStartRecord start{&start};
  ASSERT_EQ(Message(ORX_MSG_OPEN_RESOURCE, &start), 1);
  ASSERT_EQ(orx_main(ORX_ACTION_START, nullptr, nullptr, nullptr), 1);
  orxhost::ClearConsole();
  EXPECT_EQ(Message(ORX_MSG_VOLUME_CHANGE, &rec), 1);
  rec.removed = 0;
  EXPECT_EQ(Message(ORX_MSG_VOLUME_CHANGE, &rec), 1);
  String empty;
  OrxVolumeChangeRecord noDrive{&empty, 1};
  EXPECT_EQ(Message(ORX_MSG_VOLUME_CHANGE, &noDrive), 1);
  OrxVolumeChangeRecord nullDrive{nullptr, 0};
  EXPECT_EQ(Message(ORX_MSG_VOLUME_CHANGE, &nullDrive), 1);
  EXPECT_EQ(Message(ORX_MSG_VOLUME_CHANGE, nullptr), 1);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{"volume removed", "refresh file root", "volume changed",
                                                    "refresh file root", "refresh file root", "refresh file root",
                                                    "refresh file root"}));

  EXPECT_EQ(Message(ORX_MSG_END_OF_PROGRAM, nullptr), 1);
  orxhost::ClearConsole();
  EXPECT_EQ(Message(ORX_MSG_VOLUME_CHANGE, &rec), 1);
  EXPECT_TRUE(TraceLines().empty()) << "after the end of the program";
}

TEST(LifecycleVolume, VolumeURLs)
{
  BrowserURL u;
  BrowserVolumeURL(String("/media/my stick"), &u);
  EXPECT_EQ(u.GetString().ToUtf8(), "file://localhost/media/my stick");
  EXPECT_EQ(u.GetFlags(), URLFLAG_TEXT_PRIMARY | URLFLAG_TEXT_VALID);
  BrowserVolumeURL(String("/"), &u);
  EXPECT_EQ(u.GetString().ToUtf8(), "file://localhost");
  BrowserVolumeURL(String("D"), &u);
  EXPECT_EQ(u.GetString().ToUtf8(), "file://localhost/D:");
}

TEST_F(Lifecycle, StartupActivityStartsTheLoaderAndTheEndStopsItFirst)
{
  ASSERT_EQ(Start(), 1);
  orxhost::ClearConsole();
  Int32 zero = 0;
  Message(ORX_MSG_RUN_START, &zero);
  EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
  EXPECT_TRUE(BrowserLoaderThreadExists());
  EXPECT_NE(BrowserLoaderLock(), nullptr);
  EXPECT_TRUE(orxhost::FatalErrors().empty());

  EXPECT_EQ(Message(ORX_MSG_END_OF_PROGRAM, nullptr), 1);
  EXPECT_TRUE(BrowserIsEnding());
  EXPECT_FALSE(BrowserLoaderThreadExists());
  EXPECT_EQ(BrowserLoaderLock(), nullptr);
  // A second end message does not shut the content down twice.
  EXPECT_EQ(Message(ORX_MSG_END_OF_PROGRAM, nullptr), 1);
  EXPECT_EQ(End(), 1);
  EXPECT_FALSE(BrowserIsReady());

  std::vector<std::string> lines = TraceLines();
  // The run was short, so libraries may be compacted.
  EXPECT_EQ(lines, (std::vector<std::string>{"damaged libraries", "start loader thread", "end close windows",
                                             "end loader thread", "end shut down content (compaction allowed)",
                                             "end free icon cache", "end delete temporary folder",
                                             "end free background tasks",
                                             "end release content", "end close libraries"}));
}

TEST_F(Lifecycle, EndWithoutTheEndMessageStillStopsTheLoaderBeforeTheContentGoes)
{
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
  // A second start-up message while the first scan may still run does not leak or double it.
  EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
  orxhost::ClearConsole();
  EXPECT_EQ(End(), 1);
  EXPECT_FALSE(BrowserLoaderThreadExists());
  EXPECT_EQ(BrowserLoaderLock(), nullptr);
  std::vector<std::string> lines = TraceLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "end loader thread");
  EXPECT_EQ(lines.back(), "end close libraries");
}

TEST_F(Lifecycle, ModuleCanBeStartedAgainAfterItEnded)
{
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    orxhost::ClearConsole();
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
    EXPECT_EQ(Message(ORX_MSG_END_OF_PROGRAM, nullptr), 1);
    EXPECT_EQ(End(), 1);
    EXPECT_FALSE(BrowserIsStarted());
    EXPECT_FALSE(BrowserIsEnding());
    EXPECT_EQ(Count(TraceLines(), "start 1 content"), 1);
  }
}

TEST(LifecycleRules, CompactionOnlyAfterARunShorterThanTenSeconds)
{
  EXPECT_TRUE(BrowserCompactionAllowed(0, 0));
  EXPECT_TRUE(BrowserCompactionAllowed(1000, 10999));
  EXPECT_FALSE(BrowserCompactionAllowed(1000, 11000));
  EXPECT_FALSE(BrowserCompactionAllowed(1000, 11001));
  EXPECT_FALSE(BrowserCompactionAllowed(0, 3600000));
  // Across the wrap of the 32-bit timer.
  EXPECT_TRUE(BrowserCompactionAllowed(INT32_MAX - 100, INT32_MIN + 100));
  EXPECT_FALSE(BrowserCompactionAllowed(INT32_MAX - 100, INT32_MIN + 10000));
  // A timer that went back is not taken for a short run.
  EXPECT_FALSE(BrowserCompactionAllowed(5000, 4000));
}

TEST_F(Lifecycle, DamagedLibrariesLine)
{
  EXPECT_TRUE(DamagedLibrariesLine(String()).IsEmpty());
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(DamagedLibrariesLine(String("a.libqz, b.libqz")).ToUtf8(),
            GeLoadString(10407).ToUtf8() + " a.libqz, b.libqz");
  EXPECT_FALSE(GeLoadString(10407).IsEmpty());
}

namespace {

// What the user library file holds for an item, read afresh from disk; "" when it is not there.
std::string StoredData(const Filename& file, const String& path)
{
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  if (!db)
    return "";
  std::string out;
  if (db->Load()) {
    if (BrowserDatabaseItem* item = db->OpenItem(path)) {
      ByteArray bytes;
      if (item->GetData(&bytes))
        out.assign(bytes.begin(), bytes.end());
      item->Close();
    }
  }
  BrowserDatabase::Destroy(db);
  return out;
}

// A preset written through the published table, as another plug-in writes it.
void WriteThroughTable(const String& path, const std::string& data)
{
  auto* lib = static_cast<const OrxBrowserLibrary*>(GeGetLibrary(BROWSERLIB_ID, BROWSERLIB_VERSION, 112));
  ASSERT_NE(lib, nullptr);
  BrowserURL url(path);
  ASSERT_TRUE(lib->main->SetItem(1, reinterpret_cast<OrxBrowserURL*>(&url), 1018031, nullptr, data.data(),
                                 Int64(data.size())));
}

} // namespace

// What a plug-in wrote during the run is in the library file after the end, with or without the
// end-of-program message before action 3.
TEST_F(Lifecycle, TheEndLeavesWrittenPresetsInTheLibraryFile)
{
  const Filename user = GetUserBrowserFolder() + String("user.libqz");
  for (bool endMessage : {false, true}) {
    SCOPED_TRACE(endMessage ? "message 200000272, then action 3" : "action 3 alone");
    std::error_code ec;
    std::filesystem::remove(user.ToUtf8(), ec);
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
    const String path("preset://user.libqz/Written during the run");
    WriteThroughTable(path, "the preset's bytes");
    if (endMessage) {
      EXPECT_EQ(Message(ORX_MSG_END_OF_PROGRAM, nullptr), 1);
    }
    EXPECT_EQ(End(), 1);
    EXPECT_EQ(StoredData(user, path), "the preset's bytes");
  }
  std::error_code ec;
  std::filesystem::remove(user.ToUtf8(), ec);
}

// Previews replaced again and again during a long run leave more dead bytes than live ones: every end
// of the program compacts the library, whatever the length of the run.
TEST_F(Lifecycle, ALongRunCompactsALibraryOfReplacedPreviews)
{
  const Filename user = GetUserBrowserFolder() + String("user.libqz");
  for (bool endMessage : {false, true}) {
    SCOPED_TRACE(endMessage ? "message 200000272, then action 3" : "action 3 alone");
    std::error_code ec;
    std::filesystem::remove(user.ToUtf8(), ec);
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
    const String path("preset://user.libqz/Rendered often");
    WriteThroughTable(path, "the preset's bytes");
    auto* lib = static_cast<const OrxBrowserLibrary*>(GeGetLibrary(BROWSERLIB_ID, BROWSERLIB_VERSION, 112));
    ASSERT_NE(lib, nullptr);
    BrowserURL url(path);
    const std::string jpeg(20000, 'j');
    for (int i = 0; i < 12; ++i)
      ASSERT_TRUE(lib->main->SetItemPreview(1, reinterpret_cast<OrxBrowserURL*>(&url), 0, jpeg.data(),
                                            Int64(jpeg.size()), 1));
    SetBrowserRunStartForTests(GeGetTimer() - 3600 * 1000);
    if (endMessage) {
      EXPECT_EQ(Message(ORX_MSG_END_OF_PROGRAM, nullptr), 1);
    }
    EXPECT_EQ(End(), 1);
    const std::string bytes = orxtest::ReadFile(user);
    EXPECT_EQ(bytes.find("ivld"), std::string::npos) << "dead chunks left in the library";
    EXPECT_LT(bytes.size(), 60000u);
    EXPECT_EQ(StoredData(user, path), "the preset's bytes");
  }
  std::error_code ec;
  std::filesystem::remove(user.ToUtf8(), ec);
  std::filesystem::remove((user.ToUtf8() + ".bak"), ec);
}

// A file whose dead chunks outweigh its live ones, as a run that wrote the same record again and
// again leaves it when it ends without compacting. Answers the file's size, 0 on failure.
Int64 MakeMostlyDead(const Filename& file, Int32 flags, const char* url, const String& path)
{
  std::error_code ec;
  std::filesystem::create_directories(file.GetDirectory().ToUtf8(), ec);
  std::filesystem::remove(file.ToUtf8(), ec);
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), flags);
  if (!db)
    return 0;
  if (url)
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

// The loader compacts, at the start of the program, the libraries and the main database that a run
// ended without compacting (a crash, or the host's end without the module's).
TEST_F(Lifecycle, TheLoaderCompactsWhatAnEndLeftMostlyDead)
{
  const Filename user = GetUserBrowserFolder() + String("user.libqz");
  const Filename main = GetCacheFolder(true) + String("BrowserDB");
  const String mainRecord("favorite://kept/annotated");
  const Int64 userBefore = MakeMostlyDead(user, 0, "preset://user.libqz", String("preset://user.libqz/Annotated"));
  const Int64 mainBefore = MakeMostlyDead(main, DBFLAG_MAIN | DBFLAG_OUTER_STORAGE, nullptr, mainRecord);
  ASSERT_GT(userBefore, 90000);
  ASSERT_GT(mainBefore, 90000);
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
  const auto size = [](const Filename& f) {
    std::error_code ec;
    return Int64(std::filesystem::file_size(f.ToUtf8(), ec));
  };
  // The loader's own time: no end of the program comes before the files are small.
  for (int i = 0; i < 1200 && (size(user) > userBefore / 4 || size(main) > mainBefore / 4); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LT(size(user), userBefore / 4) << "the library is compacted while the program runs";
  EXPECT_LT(size(main), mainBefore / 4) << "the main database is compacted while the program runs";
  BrowserDatabase* db = BrowserDatabase::GetLibrary(0);
  ASSERT_NE(db, nullptr);
  if (BrowserDatabaseItem* item = db->OpenItem(mainRecord)) {
    EXPECT_EQ(item->GetAnnotation().ToUtf8(), "11" + std::string(8000, 'a'));
    item->Close();
  } else {
    ADD_FAILURE() << "the main database's record is kept";
  }
  EXPECT_EQ(End(), 1);
  std::error_code ec;
  for (const Filename& f : {user, main}) {
    std::filesystem::remove(f.ToUtf8(), ec);
    std::filesystem::remove(f.ToUtf8() + ".bak", ec);
  }
}

// Message 1000 tells the user, on the console, which libraries were found damaged.
TEST_F(Lifecycle, StartupActivityNamesDamagedLibrariesOnTheConsole)
{
  const Filename damaged = GetUserBrowserFolder() + String("default.libqz");
  ASSERT_TRUE(orxtest::WriteFile(damaged, "these bytes are not a preset library"));
  ASSERT_EQ(Start(), 1);
  orxhost::ClearConsole();
  EXPECT_EQ(Message(ORX_MSG_STARTUP_ACTIVITY, nullptr), 1);
  const std::string lead = GeLoadString(10407).ToUtf8();
  ASSERT_FALSE(lead.empty());
  std::vector<std::string> reported;
  for (const std::string& line : orxhost::ConsoleLines())
    if (line.rfind(lead, 0) == 0)
      reported.push_back(line);
  EXPECT_EQ(reported, (std::vector<std::string>{lead + " default.libqz"}));
  EXPECT_EQ(End(), 1);
  EXPECT_EQ(orxtest::ReadFile(damaged), "these bytes are not a preset library") << "left as it was";
  std::error_code ec;
  std::filesystem::remove(damaged.ToUtf8(), ec);
}

// Action 1 that cannot copy the module path refuses the host, as a refused version does, so that a
// later action 1 starts the module properly.
TEST_F(Lifecycle, InitWithoutMemoryLeavesTheModuleInert)
{
  Filename path = SourceModulePath();
  Int32 r = 0;
  {
    // The block of the copy is granted, its text is not.
    orxtest::HostMemoryFails noMemory(2);
    EXPECT_NO_THROW(r = orx_main(ORX_ACTION_INIT, const_cast<OrxHostTable*>(OrxGetHostTable()), nullptr, &path));
    EXPECT_GT(noMemory.Refused(), 0);
  }
  EXPECT_EQ(r, -3);
  EXPECT_TRUE(BrowserModuleFolder().IsEmpty());
  EXPECT_EQ(Start(), 1);
  EXPECT_TRUE(BrowserIsReady());
}
