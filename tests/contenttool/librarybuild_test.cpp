// The library build: a tree of descriptions, item files, settings and previews made into a library,
// and a tree written by someone hostile built without reaching outside it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/browserutils.h"
#include "orx/basefile.h"
#include "orx/bitmap.h"
#include "orx/files.h"
#include "orx/media.h"
#include "orx/services.h"
#include "orxtest.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabaseitem.h"
#include "tools/contenttool/librarybuild.h"
#include "tools/xml/xml_parser.h"
#include "watchdog.h"

namespace {

namespace fs = std::filesystem;

std::string Desc(const std::string& attributes, const std::string& inner = "")
{
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<item " + attributes + ">\r\n" + inner +
         "</item>\r\n";
}
std::string Name(const std::string& text, const std::string& language = "")
{
  return "\t<name>\r\n\t\t<string" + (language.empty() ? "" : " language=" + language) + ">" + text +
         "</string>\r\n\t</name>\r\n";
}

std::string P(const Filename& f) { return f.GetString().ToUtf8(); }

bool WriteJpeg(const Filename& f, int w = 8, int h = 6, int format = SAVEBITMAP_JPEG)
{
  BaseBitmap bmp;
  if (!bmp.Init(w, h))
    return false;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      bmp.SetPixel(x, y, UChar(x * 20), UChar(y * 30), 90);
  std::error_code ec;
  fs::create_directories(P(f.GetDirectory()), ec);
  return GeSaveBitmap(bmp, f, format, 90);
}

std::string ReadLog(const BuildOutcome& o) { return orxtest::ReadFile(o.errorLog); }

// A library file opened for reading its entries; closed with the object.
struct Library
{
  BrowserDatabase* db = nullptr;
  explicit Library(const Filename& file)
  {
    db = BrowserDatabase::Create(file, String(), 0);
    if (db && !db->Load()) {
      BrowserDatabase::Destroy(db);
      db = nullptr;
    }
  }
  ~Library()
  {
    if (db)
      BrowserDatabase::Destroy(db);
  }
  struct Entry
  {
    bool found = false;
    Int32 type = 0, sub = 0, flags = 0;
    std::string data, annotation, name;
    BaseContainer names, settings;
    std::vector<PreviewInfo> previews;
    std::vector<std::string> previewBytes;
    bool animated = false;
    Int32 first = 0, last = 0;
    Float fps = 0;
  };
  Entry Get(const std::string& url) const
  {
    Entry e;
    BrowserDatabaseItem* item = db ? db->OpenItem(String(url.c_str())) : nullptr;
    if (!item)
      return e;
    ItemHandle h(item);
    e.found = true;
    e.type = item->GetType(&e.sub);
    e.flags = item->GetItemFlags();
    ByteArray bytes;
    if (item->GetData(&bytes))
      e.data.assign(bytes.begin(), bytes.end());
    e.annotation = item->GetAnnotation().ToUtf8();
    e.name = item->GetName(GeGetLanguageId()).ToUtf8();
    item->GetNames(&e.names);
    item->GetSettings(&e.settings);
    for (Int32 i = 0; i < item->GetPreviewCount(); ++i) {
      PreviewInfo info;
      if (item->GetPreviewInfo(i, &info)) {
        e.previews.push_back(info);
        ByteArray b;
        item->GetPreviewData(info.imageId, &b);
        e.previewBytes.emplace_back(b.begin(), b.end());
      }
    }
    e.animated = item->GetAnimation(&e.first, &e.last, &e.fps);
    return e;
  }
};

class LibraryBuild : public ::testing::Test
{
protected:
  void SetUp() override
  {
    base = orxtest::TempDir();
    out = base + String("out");
    fs::create_directories(P(out));
  }
  void TearDown() override { orxhost::ClearFaults(); }

  // Writes name.cbinfo (type=library) and the folder beside it in base.
  Filename Tree(const std::string& name, const std::string& inner = "")
  {
    const Filename folder = base + String(name.c_str());
    fs::create_directories(P(folder));
    EXPECT_TRUE(orxtest::WriteFile(Filename(folder.GetString() + ".cbinfo"), Desc("type=library", inner)));
    return folder;
  }
  void Put(const Filename& folder, const std::string& rel, const std::string& bytes)
  {
    ASSERT_TRUE(orxtest::WriteFile(folder + String(rel.c_str()), bytes)) << rel;
  }
  Filename Target(const std::string& name) { return out + String(name.c_str()); }

  Filename base, out;
};

// --- the choice of source and target ---

TEST_F(LibraryBuild, SourceAndTargetAreCheckedBeforeAnythingIsWritten)
{
  Filename desc, src;
  String message;
  ASSERT_TRUE(orxtest::WriteFile(base + String("Cubes.cbinfo"), Desc("type=library")));
  EXPECT_FALSE(CheckBuildSource(base + String("Cubes.cbinfo"), &desc, &src, &message));
  EXPECT_EQ(message.ToUtf8(), "There is no corresponding folder for the cbinfo file.");

  const Filename top = Tree("Top");
  ASSERT_TRUE(orxtest::WriteFile(Filename(top.GetString() + ".cbinfo"), Desc("type=folder")));
  EXPECT_FALSE(CheckBuildSource(Filename(top.GetString() + ".cbinfo"), &desc, &src, &message));
  EXPECT_EQ(message.ToUtf8(), "cbinfo file is of type=folder. Must be type=library instead.");

  ASSERT_TRUE(orxtest::WriteFile(base + String("notes.txt"), "x"));
  EXPECT_FALSE(CheckBuildSource(base + String("notes.txt"), &desc, &src, &message));
  EXPECT_EQ(message.ToUtf8(), "Please select the top level cbinfo file of the library.");

  const Filename broken = Tree("Broken");
  ASSERT_TRUE(orxtest::WriteFile(Filename(broken.GetString() + ".cbinfo"), "<?xml version=\"1.0\"?>\r\n<item type=li"));
  EXPECT_FALSE(CheckBuildSource(Filename(broken.GetString() + ".cbinfo"), &desc, &src, &message));
  EXPECT_EQ(message.ToUtf8(), "Could not parse library cbinfo file.");

  // The folder itself names the same tree.
  const Filename good = Tree("Good");
  ASSERT_TRUE(CheckBuildSource(good, &desc, &src, &message)) << message.ToUtf8();
  EXPECT_EQ(src, good);
  EXPECT_EQ(P(desc), P(good) + ".cbinfo");
  ASSERT_TRUE(CheckBuildSource(Filename(good.GetString() + "/"), &desc, &src, &message));
  EXPECT_EQ(src, good);

  // A target that exists, or a leftover working file, is never written over.
  ASSERT_TRUE(orxtest::WriteFile(Target("taken.libqz"), "keep"));
  EXPECT_FALSE(CheckBuildTarget(Target("taken.libqz"), &message));
  ASSERT_TRUE(orxtest::WriteFile(Target("half.libqz.new"), "keep"));
  EXPECT_FALSE(CheckBuildTarget(Target("half.libqz"), &message));
  ::symlink("/nonexistent/x", P(Target("dangling.libqz")).c_str());
  EXPECT_FALSE(CheckBuildTarget(Target("dangling.libqz"), &message));
  EXPECT_TRUE(CheckBuildTarget(Target("free.libqz"), &message));

  BuildOutcome o;
  EXPECT_FALSE(RunLibraryBuild(good, Target("taken.libqz"), &o));
  EXPECT_EQ(orxtest::ReadFile(Target("taken.libqz")), "keep");
  EXPECT_FALSE(fs::exists(P(out + String("error_log.txt"))));
}

TEST_F(LibraryBuild, ATargetOpenAsALibraryIsRefused)
{
  const Filename file = Target("open.libqz");
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  ASSERT_NE(db, nullptr);
  String message;
  EXPECT_FALSE(CheckBuildTarget(file, &message));
  EXPECT_NE(message.ToUtf8().find("open"), std::string::npos) << message.ToUtf8();
  BrowserDatabase::Destroy(db);
}

// --- what a tree builds into ---

TEST_F(LibraryBuild, TypesFoldersNamesAndDataBuildIntoEntries)
{
  const Filename lib = Tree("Demo.libqz", Name("Demo") + "\t<annotation>\r\n\t\t<string>All of it</string>\r\n\t</annotation>\r\n");
  Put(lib, "Cubes.cbinfo", Desc("type=folder", Name("Cubes") + Name("Würfel", "De")));
  Put(lib, "Cubes/Red.orx.cbinfo",
      Desc("type=basematerial", "\t<name>\r\n\t\t<string>Red</string>\r\n\t\t<string language=FR>Rouge</string>\r\n"
                                "\t\t<string language=de>Rot</string>\r\n\t</name>\r\n\t<settings>Red.orx.bc</settings>\r\n"));
  Put(lib, "Cubes/Red.orx", "material bytes");
  {
    BaseContainer bc;
    bc.SetInt32(7, 42);
    BaseFile f;
    ASSERT_TRUE(f.Open(lib + String("Cubes/Red.orx.bc"), FileMode::Write));
    Int64 size = 0;
    ASSERT_TRUE(WriteContainerFile(bc, &f, &size));
    ASSERT_TRUE(f.Close());
  }
  Put(lib, "pic.cbinfo", Desc("type=image", Name("pic")));
  Put(lib, "pic", "image bytes");
  Put(lib, "generic.cbinfo", Desc("type=genericpreset", Name("generic")));
  Put(lib, "odd.cbinfo", Desc("type=nosuchtype", Name("odd")));
  Put(lib, "typeless.cbinfo", Desc("", Name("typeless")));
  Put(lib, "Empty.cbinfo", Desc("type=folder", Name("Empty")));

  BuildOutcome o;
  ASSERT_TRUE(RunLibraryBuild(Filename(lib.GetString() + ".cbinfo"), Target("demo.libqz"), &o))
      << BuildEndMessage(o).ToUtf8() << ReadLog(o);
  EXPECT_EQ(o.errorCount, 0);
  EXPECT_EQ(BuildEndMessage(o).ToUtf8(), "Library built successfully (0 errors)");
  EXPECT_EQ(P(o.errorLog), P(out + String("error_log.txt")));
  EXPECT_NE(orxtest::ReadFile(o.errorLog).find("0 errors"), std::string::npos);
  EXPECT_NE(orxtest::ReadFile(o.operationLog).find("Creating database entry for preset://demo.libqz/Cubes/Red.orx of type=basematerial"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(P(Target("demo.libqz.new"))));

  Library l(Target("demo.libqz"));
  ASSERT_NE(l.db, nullptr);
  // The name is cut at ".libqz" and lower-cased in the URL only.
  EXPECT_EQ(l.db->GetName().ToUtf8(), "preset://demo.libqz");
  EXPECT_EQ(l.db->GetDisplayName().ToUtf8(), "Demo");
  const auto root = l.Get("preset://demo.libqz");
  ASSERT_TRUE(root.found);
  EXPECT_EQ(root.type, 1018760);
  EXPECT_TRUE(root.flags & dbitem::kFolderFlag);
  EXPECT_EQ(root.annotation, "All of it");

  const auto cubes = l.Get("preset://demo.libqz/Cubes");
  ASSERT_TRUE(cubes.found);
  EXPECT_TRUE(cubes.flags & dbitem::kFolderFlag);
  EXPECT_EQ(cubes.type, 1018027);
  // Language codes are lower case, as the library keeps them: "De" is German.
  EXPECT_EQ(cubes.names.GetString(LANGUAGE_GERMAN).ToUtf8(), "Würfel");

  const auto red = l.Get("preset://demo.libqz/Cubes/Red.orx");
  ASSERT_TRUE(red.found);
  EXPECT_EQ(red.type, 1018108);
  EXPECT_EQ(red.data, "material bytes");
  // A name without a language is the user's.
  EXPECT_EQ(red.name, "Red");
  EXPECT_EQ(red.names.GetString(LanguageIdFromCode("fr")).ToUtf8(), "Rouge");
  EXPECT_EQ(red.names.GetString(LANGUAGE_GERMAN).ToUtf8(), "Rot");
  EXPECT_EQ(red.settings.GetInt32(7), 42);

  const auto pic = l.Get("preset://demo.libqz/pic");
  EXPECT_EQ(pic.type, 1018031);
  EXPECT_EQ(pic.sub, 1018021);
  EXPECT_EQ(pic.data, "image bytes");
  // A generic preset of no kind comes back as itself, not as another type.
  const auto generic = l.Get("preset://demo.libqz/generic");
  EXPECT_EQ(generic.type, 1018031);
  EXPECT_EQ(generic.sub, 0);
  EXPECT_TRUE(l.Get("preset://demo.libqz/odd").found);
  EXPECT_EQ(l.Get("preset://demo.libqz/odd").type, 0);
  EXPECT_EQ(l.Get("preset://demo.libqz/typeless").type, 0);
  // A folder description without its folder: an empty folder, no error.
  const auto empty = l.Get("preset://demo.libqz/Empty");
  ASSERT_TRUE(empty.found);
  EXPECT_TRUE(empty.flags & dbitem::kFolderFlag);
}

TEST(LanguageCodes, AreLowerCaseAndPackedAsTheLibraryKeepsThem)
{
  EXPECT_EQ(LanguageIdFromCode("us"), LANGUAGE_ENGLISH);
  EXPECT_EQ(LanguageIdFromCode("US"), LANGUAGE_ENGLISH);
  EXPECT_EQ(LanguageIdFromCode("de"), LANGUAGE_GERMAN);
  EXPECT_EQ(LanguageIdFromCode("abcd"), Int32(0x61626364));
  EXPECT_EQ(LanguageIdFromCode("abcde"), 0);
  EXPECT_EQ(LanguageIdFromCode(""), 0);
  EXPECT_EQ(LanguageIdFromCode("x\xc3\xa9"), Int32(0x78000000));
  // Every lower-case code of up to four letters reads back from its id.
  for (const char* code : {"us", "de", "fr", "ja", "zh", "a", "abc", "zzzz"}) {
    const UInt32 id = UInt32(LanguageIdFromCode(code));
    std::string back;
    for (int i = 0; i < 4; ++i) {
      const char c = char((id >> (24 - 8 * i)) & 0xff);
      if (!c)
        break;
      back += c;
    }
    EXPECT_EQ(back, code);
  }
}

TEST(PreviewFps, IsReadTheSameInEveryLocaleAndOnlyInItsRange)
{
  const char* const locales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "C.UTF-8", "C"};
  const std::string before = std::setlocale(LC_NUMERIC, nullptr);
  for (const char* loc : locales) {
    std::setlocale(LC_NUMERIC, loc);
    Float v = 0;
    EXPECT_TRUE(ParseFps("12.500000", &v)) << loc;
    EXPECT_DOUBLE_EQ(v, 12.5) << loc;
    EXPECT_FALSE(ParseFps("12,5", &v)) << loc;
  }
  std::setlocale(LC_NUMERIC, before.c_str());
  Float v = 7;
  for (const char* bad : {"", "0", "-1", "0.0", "1000.0001", "nan", "inf", "-inf", "1e400", "abc", "25fps",
                          "12345678901234567"})
    EXPECT_FALSE(ParseFps(bad, &v)) << bad;
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(ParseFps("1000", &v));
  EXPECT_TRUE(ParseFps(" 30 ", &v));
  EXPECT_EQ(v, 30);
  EXPECT_TRUE(ParseFps("1e1", &v));
  EXPECT_EQ(v, 10);
}

TEST_F(LibraryBuild, PreviewsAreStoredAsJpegAndFramesNumberedDensely)
{
  const Filename lib = Tree("Prev");
  // A still preview in PNG is stored as JPEG; a second one gets the next index.
  ASSERT_TRUE(WriteJpeg(lib + String("still.preview_00000.png"), 10, 7, SAVEBITMAP_PNG));
  ASSERT_TRUE(WriteJpeg(lib + String("still.preview_00001.jpg"), 12, 9));
  Put(lib, "still.cbinfo",
      Desc("type=image", Name("still") +
                             "\t<preview type=highquality>\r\n\t\t<media>still.preview_00000.png</media>\r\n\t</preview>\r\n"
                             "\t<preview type=lowquality>\r\n\t\t<media>still.preview_00001.jpg</media>\r\n\t</preview>\r\n"));
  // Two frames at the default rate.
  ASSERT_TRUE(WriteJpeg(lib + String("anim.preview/preview_00000.jpg")));
  ASSERT_TRUE(WriteJpeg(lib + String("anim.preview/preview_00001.jpg")));
  Put(lib, "anim.cbinfo",
      Desc("type=image", Name("anim") + "\t<preview type=animated>\r\n\t\t<media>anim.preview</media>\r\n\t</preview>\r\n"));
  // Frames with gaps in their numbers, one of them PNG: all of them, numbered 0, 1, 2.
  ASSERT_TRUE(WriteJpeg(lib + String("gaps.preview/preview_00000.jpg"), 4, 4));
  ASSERT_TRUE(WriteJpeg(lib + String("gaps.preview/preview_00003.png"), 5, 5, SAVEBITMAP_PNG));
  ASSERT_TRUE(WriteJpeg(lib + String("gaps.preview/preview_00017.jpg"), 6, 6));
  Put(lib, "gaps.cbinfo",
      Desc("type=image", Name("gaps") + "\t<preview type=animated>\r\n\t\t<fps>12.500000</fps>\r\n"
                                        "\t\t<media>gaps.preview</media>\r\n\t</preview>\r\n"));
  // An fps that is not a finite rate in range is an error and leaves the default.
  ASSERT_TRUE(WriteJpeg(lib + String("badfps.preview/preview_00000.jpg")));
  Put(lib, "badfps.cbinfo",
      Desc("type=image", Name("badfps") + "\t<preview type=animated>\r\n\t\t<fps>nan</fps>\r\n"
                                          "\t\t<media>badfps.preview</media>\r\n\t</preview>\r\n"));

  BuildOutcome o;
  RunLibraryBuild(lib, Target("prev.libqz"), &o);
  EXPECT_EQ(o.errorCount, 1) << ReadLog(o);
  EXPECT_NE(ReadLog(o).find("Could not read preview fps for badfps"), std::string::npos);

  Library l(Target("prev.libqz"));
  ASSERT_NE(l.db, nullptr);
  const auto still = l.Get("preset://prev.libqz/still");
  ASSERT_EQ(still.previews.size(), 2u);
  EXPECT_EQ(still.previews[0].imageId, 0);
  EXPECT_EQ(still.previews[0].quality, 4);
  EXPECT_EQ(still.previews[0].a, 10);
  EXPECT_EQ(still.previews[0].b, 7);
  EXPECT_EQ(still.previews[1].imageId, 1);
  EXPECT_EQ(still.previews[1].quality, 1);
  for (const std::string& b : still.previewBytes)
    EXPECT_EQ(b.substr(0, 3), "\xFF\xD8\xFF");
  EXPECT_EQ(still.previewBytes[1], orxtest::ReadFile(lib + String("still.preview_00001.jpg")));

  const auto anim = l.Get("preset://prev.libqz/anim");
  ASSERT_TRUE(anim.animated);
  EXPECT_EQ(anim.first, 0);
  EXPECT_EQ(anim.last, 1);
  EXPECT_DOUBLE_EQ(anim.fps, 25.0);
  EXPECT_EQ(anim.previews.size(), 2u);

  const auto gaps = l.Get("preset://prev.libqz/gaps");
  ASSERT_TRUE(gaps.animated);
  EXPECT_EQ(gaps.last, 2);
  EXPECT_DOUBLE_EQ(gaps.fps, 12.5);
  ASSERT_EQ(gaps.previews.size(), 3u);
  EXPECT_EQ(gaps.previews[0].a, 4);
  EXPECT_EQ(gaps.previews[1].a, 5);
  EXPECT_EQ(gaps.previews[2].a, 6);
  EXPECT_EQ(gaps.previewBytes[1].substr(0, 3), "\xFF\xD8\xFF");
  EXPECT_DOUBLE_EQ(l.Get("preset://prev.libqz/badfps").fps, 25.0);
}

bool MakeMovie(const Filename& file, int frames, int rate)
{
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
    return false;
  std::error_code ec;
  fs::create_directories(P(file.GetDirectory()), ec);
  const std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=32x24:rate=" + std::to_string(rate) +
                          " -frames:v " + std::to_string(frames) + " -c:v mjpeg '" + P(file) + "' </dev/null";
  return std::system(cmd.c_str()) == 0 && fs::exists(P(file));
}

TEST_F(LibraryBuild, AMovieBesideNoFramesIsReadAndItsFramesCapped)
{
  const Filename lib = Tree("Mov");
  if (!MakeMovie(lib + String("clip.preview/preview.avi"), 3, 10) ||
      !MakeMovie(lib + String("long.preview/preview.mov"), kMaxMovieFrames + 5, 100))
    GTEST_SKIP() << "ffmpeg cannot make the test movies here";
  Put(lib, "clip.cbinfo", Desc("type=movie", Name("clip") + "\t<preview type=animated>\r\n\t</preview>\r\n"));
  Put(lib, "long.cbinfo",
      Desc("type=movie", Name("long") + "\t<preview type=animated>\r\n\t\t<media>long.preview</media>\r\n\t</preview>\r\n"));
  BuildOutcome o;
  RunLibraryBuild(lib, Target("mov.libqz"), &o);
  EXPECT_EQ(o.errorCount, 1) << ReadLog(o);
  EXPECT_NE(ReadLog(o).find("Cut the movie"), std::string::npos) << ReadLog(o);

  Library l(Target("mov.libqz"));
  ASSERT_NE(l.db, nullptr);
  const auto clip = l.Get("preset://mov.libqz/clip");
  ASSERT_TRUE(clip.animated);
  EXPECT_EQ(clip.last, 2);
  EXPECT_NEAR(clip.fps, 10.0, 0.01);
  ASSERT_EQ(clip.previews.size(), 3u);
  EXPECT_EQ(clip.previewBytes[2].substr(0, 3), "\xFF\xD8\xFF");
  const auto longer = l.Get("preset://mov.libqz/long");
  EXPECT_EQ(longer.last, kMaxMovieFrames - 1);
  EXPECT_EQ(longer.previews.size(), std::size_t(kMaxMovieFrames));
}

TEST_F(LibraryBuild, TheBytesOfOneItemAreBoundedAndTheCutLogged)
{
  const Filename lib = Tree("Budget");
  Put(lib, "big.cbinfo", Desc("type=image", Name("big")));
  Put(lib, "big", std::string(5000, 'x'));
  Put(lib, "small.cbinfo", Desc("type=image", Name("small")));
  Put(lib, "small", std::string(500, 'y'));
  BuildOutcome o;
  RunLibraryBuild(lib, Target("budget.libqz"), &o, {}, 4096);
  EXPECT_EQ(o.errorCount, 1) << ReadLog(o);
  EXPECT_NE(ReadLog(o).find("Cut the data of big"), std::string::npos) << ReadLog(o);
  Library l(Target("budget.libqz"));
  ASSERT_NE(l.db, nullptr);
  EXPECT_TRUE(l.Get("preset://budget.libqz/big").found);
  EXPECT_EQ(l.Get("preset://budget.libqz/big").data, "");
  EXPECT_EQ(l.Get("preset://budget.libqz/small").data, std::string(500, 'y'));
}

TEST_F(LibraryBuild, ADescriptionOverOneMebibyteIsRefused)
{
  const Filename lib = Tree("Huge");
  std::string big = Desc("type=image", "\t<annotation>\r\n\t\t<string>" + std::string(std::size_t(kMaxDescriptionBytes), 'a') +
                                           "</string>\r\n\t</annotation>\r\n");
  Put(lib, "huge.cbinfo", big);
  BuildOutcome o;
  EXPECT_FALSE(RunLibraryBuild(lib, Target("huge.libqz"), &o));
  EXPECT_EQ(o.errorCount, 1);
  EXPECT_NE(ReadLog(o).find("Couldn't parse cbinfo file " + P(lib + String("huge.cbinfo"))), std::string::npos);
  Library l(Target("huge.libqz"));
  ASSERT_NE(l.db, nullptr);
  EXPECT_FALSE(l.Get("preset://huge.libqz/huge").found);
}

TEST_F(LibraryBuild, ACancelFailsAndLeavesNoLibraryUnderTheName)
{
  const Filename lib = Tree("Stop");
  for (int i = 0; i < 20; ++i)
    Put(lib, "p" + std::to_string(i) + ".cbinfo", Desc("type=image", Name("p")));
  // The worker is held in its first listing until the cancel is asked for.
  struct Gate
  {
    std::atomic<bool> asked{false};
    static void Hold(void* d)
    {
      auto* g = static_cast<Gate*>(d);
      for (int i = 0; i < 10000 && !g->asked.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  } gate;
  orxhost::SetListingHook(&Gate::Hold, &gate);
  BuildOutcome o;
  const bool ok = RunLibraryBuild(lib, Target("stop.libqz"), &o, [&](double) {
    gate.asked.store(true);
    return false;
  });
  orxhost::SetListingHook(nullptr, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(o.cancelled);
  EXPECT_GE(o.errorCount, 1);
  EXPECT_NE(ReadLog(o).find("User cancelled"), std::string::npos);
  EXPECT_FALSE(fs::exists(P(Target("stop.libqz"))));
  EXPECT_FALSE(fs::exists(P(Target("stop.libqz.new"))));
  EXPECT_EQ(BuildEndMessage(o).ToUtf8().rfind("Build failed with ", 0), 0u);
}

TEST_F(LibraryBuild, AFailedPreparationOrWriteSaysWhyAndLeavesNothingHalfWritten)
{
  const Filename lib = Tree("Faulty");
  Put(lib, "a.cbinfo", Desc("type=image", Name("a")));
  Put(lib, "a", "data of a");
  ASSERT_TRUE(WriteJpeg(lib + String("a.preview_00000.jpg")));
  Put(lib, "a.cbinfo",
      Desc("type=image", Name("a") + "\t<preview type=highquality>\r\n\t\t<media>a.preview_00000.jpg</media>\r\n\t</preview>\r\n"));
  int n = 0;
  for (orxhost::FileOp op : {orxhost::FileOp::Open, orxhost::FileOp::Write, orxhost::FileOp::Flush,
                             orxhost::FileOp::Rename}) {
    for (int nth = 1; nth <= 8; ++nth, ++n) {
      const Filename target = Target("faulty" + std::to_string(n) + ".libqz");
      BuildOutcome o;
      orxhost::FailNth(op, nth);
      const bool ok = RunLibraryBuild(lib, target, &o);
      orxhost::ClearFaults();
      SCOPED_TRACE(std::to_string(int(op)) + "/" + std::to_string(nth) + ": " + BuildEndMessage(o).ToUtf8());
      EXPECT_FALSE(fs::exists(P(target) + ".new"));
      // Never the old catch-all: the run says what went wrong.
      if (!ok && o.errorCount < 1) {
        EXPECT_NE(BuildEndMessage(o).ToUtf8(), "Creating the root folder failed.");
      }
      if (ok) {
        EXPECT_EQ(o.errorCount, 0);
        Library l(target);
        ASSERT_NE(l.db, nullptr);
        EXPECT_EQ(l.Get("preset://faulty.libqz/a").data, "data of a");
      } else if (fs::exists(P(target))) {
        // Kept only when walked and written whole, with the failures in the log.
        EXPECT_GE(o.errorCount, 1);
        Library l(target);
        EXPECT_NE(l.db, nullptr);
      }
    }
  }
}

// --- a hostile tree ---

TEST_F(LibraryBuild, AHostileTreeBuildsWithoutReachingOutsideOrHanging)
{
  const Filename secretDir = base + String("secret");
  fs::create_directories(P(secretDir));
  ASSERT_TRUE(orxtest::WriteFile(secretDir + String("key.txt"), "SECRET"));
  ASSERT_TRUE(WriteJpeg(secretDir + String("face.jpg")));

  const Filename lib = Tree("Hostile");
  // Names that are no single names.
  Put(lib, ".cbinfo", Desc("type=image", Name("empty")));
  Put(lib, "..cbinfo", Desc("type=folder", Name("dot")));
  Put(lib, "...cbinfo", Desc("type=folder", Name("dotdot")));
  // Texts that point outside.
  Put(lib, "steal.cbinfo",
      Desc("type=image", Name("steal") + "\t<settings>../../secret/key.txt</settings>\r\n"
                                         "\t<preview type=highquality>\r\n\t\t<media>../secret/face.jpg</media>\r\n\t</preview>\r\n"
                                         "\t<preview type=animated>\r\n\t\t<media>/etc</media>\r\n\t</preview>\r\n"
                                         "\t<preview type=lowquality>../secret/face.jpg</preview>\r\n"));
  Put(lib, "steal", "ok");
  // Links: to the folder itself, to /etc, to a file outside; a folder description for each.
  ASSERT_EQ(::symlink(".", P(lib + String("loop")).c_str()), 0);
  Put(lib, "loop.cbinfo", Desc("type=folder", Name("loop")));
  ASSERT_EQ(::symlink("/etc", P(lib + String("etc")).c_str()), 0);
  Put(lib, "etc.cbinfo", Desc("type=folder", Name("etc")));
  ASSERT_EQ(::symlink(P(secretDir + String("key.txt")).c_str(), P(lib + String("linked")).c_str()), 0);
  Put(lib, "linked.cbinfo", Desc("type=image", Name("linked") + "\t<settings>linked</settings>\r\n"));
  ASSERT_EQ(::symlink(P(secretDir + String("face.jpg")).c_str(), P(lib + String("face.jpg")).c_str()), 0);
  Put(lib, "linkedpreview.cbinfo",
      Desc("type=image", Name("lp") + "\t<preview type=highquality>\r\n\t\t<media>face.jpg</media>\r\n\t</preview>\r\n"));
  // Pipes where descriptions and data are looked for.
  ASSERT_EQ(::mkfifo(P(lib + String("x.cbinfo")).c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(P(lib + String("piped")).c_str(), 0644), 0);
  Put(lib, "piped.cbinfo", Desc("type=image", Name("piped")));
  // A 2 GB sparse data file.
  {
    const std::string big = P(lib + String("big"));
    std::FILE* f = std::fopen(big.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(::ftruncate(::fileno(f), (Int64(2) << 30)), 0);
    std::fclose(f);
  }
  Put(lib, "big.cbinfo", Desc("type=image", Name("big")));
  // Deeper than any tree needs.
  std::string deep;
  for (int i = 0; i < kMaxTreeDepth + 3; ++i) {
    Put(lib, deep + "d.cbinfo", Desc("type=folder", Name("d")));
    deep += "d/";
  }
  const auto outsideBefore = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(P(base)))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }();

  BuildOutcome o;
  ASSERT_TRUE(orxtest::FinishesWithin([&] { RunLibraryBuild(lib, Target("hostile.libqz"), &o); },
                                      std::chrono::seconds(120)));
  const std::string log = ReadLog(o);
  SCOPED_TRACE(log);
  EXPECT_FALSE(o.success);
  for (const std::string& expect :
       {P(lib + String(".cbinfo")) + ": \"\" is not a valid item name", P(lib + String("..cbinfo")) + ": \".\" is not",
        P(lib + String("...cbinfo")) + ": \"..\" is not", std::string("Could not open settings for steal"),
        std::string("Refused the preview media location \"../secret/face.jpg\" of steal"),
        std::string("Refused the preview media location \"/etc\" of steal"), P(lib + String("loop")) + ": it is a link",
        P(lib + String("etc")) + ": it is a link", P(lib + String("linked")) + ": it is a link",
        P(lib + String("x.cbinfo")) + ": it is not a regular file", P(lib + String("piped")) + ": it is not a regular file",
        std::string("Cut the data of big"), std::string("more than 64 folder levels"),
        std::string("Skipped the preview " + P(lib + String("face.jpg")) + " of linkedpreview: it is a link")})
    EXPECT_NE(log.find(expect), std::string::npos) << expect;

  Library l(Target("hostile.libqz"));
  ASSERT_NE(l.db, nullptr);
  const auto steal = l.Get("preset://hostile.libqz/steal");
  ASSERT_TRUE(steal.found);
  EXPECT_EQ(steal.data, "ok");
  EXPECT_EQ(steal.settings.GetCount(), 0);
  EXPECT_TRUE(steal.previews.empty());
  EXPECT_TRUE(l.Get("preset://hostile.libqz/linked").settings.GetCount() == 0);
  EXPECT_TRUE(l.Get("preset://hostile.libqz/linkedpreview").previews.empty());
  EXPECT_EQ(l.Get("preset://hostile.libqz/big").data, "");
  EXPECT_FALSE(l.Get("preset://hostile.libqz/").found);
  EXPECT_FALSE(l.Get("preset://hostile.libqz/.").found);
  EXPECT_FALSE(l.Get("preset://hostile.libqz/..").found);
  EXPECT_FALSE(l.Get("preset://hostile.libqz/etc/passwd").found);
  EXPECT_FALSE(l.Get("preset://hostile.libqz/loop/loop").found);
  // Nothing was written beside the tree; the outside files are as they were.
  const auto outsideAfter = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(P(base)))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }();
  EXPECT_EQ(outsideAfter, outsideBefore);
  EXPECT_EQ(orxtest::ReadFile(secretDir + String("key.txt")), "SECRET");
}

// --- the parts on their own ---

TEST_F(LibraryBuild, EntriesGoToTheFileAsTheyAreFinished)
{
  const Filename lib = Tree("Streamed", Name("Streamed"));
  Put(lib, "F.cbinfo", Desc("type=folder", Name("F")));
  for (int i = 0; i < 4; ++i) {
    const std::string n = "p" + std::to_string(i);
    Put(lib, "F/" + n + ".cbinfo", Desc("type=image", Name(n)));
    Put(lib, "F/" + n, std::string(100 + i, char('a' + i)));
  }
  BuildContext ctx;
  String why;
  ASSERT_TRUE(PrepareBuildContext(&ctx, lib, Target("streamed.libqz"), &why)) << why.ToUtf8();
  ASSERT_TRUE(BuildLibrary(&ctx));
  // The root, the folder and its four presets: none waits in memory for the end.
  std::vector<BrowserDatabase::ItemInfo> inMemory;
  ctx.database->ListItems(&inMemory);
  EXPECT_EQ(inMemory.size(), 0u);
  EXPECT_EQ(ctx.database->GetItemCount(), 6);
  ASSERT_TRUE(EndBuildContext(&ctx, true, &why)) << why.ToUtf8();

  // Each record is in the file once, and nothing in it is dead.
  const std::string bytes = orxtest::ReadFile(Target("streamed.libqz"));
  int records = 0, dead = 0;
  for (std::size_t pos = 16; pos + 16 <= bytes.size();) {
    auto word = [&](std::size_t at) {
      return (UInt32(UChar(bytes[at])) << 24) | (UInt32(UChar(bytes[at + 1])) << 16) |
             (UInt32(UChar(bytes[at + 2])) << 8) | UInt32(UChar(bytes[at + 3]));
    };
    const UInt32 id = word(pos);
    if (id == FourCC("dbfe"))
      break;
    records += id == FourCC("ditm");
    dead += id == FourCC("ivld");
    pos += 16 + ((std::size_t(word(pos + 8)) << 32) | word(pos + 12));
  }
  EXPECT_EQ(records, 6);
  EXPECT_EQ(dead, 0);
  Library l(Target("streamed.libqz"));
  ASSERT_NE(l.db, nullptr);
  EXPECT_EQ(l.db->GetItemCount(), 6);
  EXPECT_EQ(l.db->GetDeadBytes(), 0);
  EXPECT_TRUE(l.Get("preset://streamed.libqz/F").flags & dbitem::kFolderFlag);
  for (int i = 0; i < 4; ++i) {
    const auto e = l.Get("preset://streamed.libqz/F/p" + std::to_string(i));
    EXPECT_EQ(e.name, "p" + std::to_string(i));
    EXPECT_EQ(e.data, std::string(100 + i, char('a' + i)));
    EXPECT_EQ(e.sub, 1018021);
  }
}

TEST_F(LibraryBuild, EverySetterThatFailsIsAnError)
{
  const Filename lib = Tree("Setters");
  BuildContext ctx;
  String why;
  ASSERT_TRUE(PrepareBuildContext(&ctx, lib, Target("setters.libqz"), &why)) << why.ToUtf8();
  BrowserDatabaseItem* entry = ctx.database->CreateItem(ctx.libraryURL + "/x");
  ASSERT_NE(entry, nullptr);
  // A library that takes no more changes: each part of the description is refused.
  ASSERT_TRUE(ctx.database->Protect());
  Int32 code = 0;
  const std::string text = Desc("type=image", Name("x") + "\t<annotation>\r\n\t\t<string>a</string>\r\n\t</annotation>\r\n");
  XMLNode* root = ParseXML(text.data(), Int64(text.size()), &code);
  ASSERT_NE(root, nullptr);
  ReadItemInfo(&ctx, root, entry, lib, "x");
  FreeXMLTree(root);
  entry->Close();
  EXPECT_EQ(ctx.ErrorCount(), 2);
  const Filename log = ctx.logs.ErrorLogPath();
  ctx.logs.Close();
  const std::string lines = orxtest::ReadFile(log);
  EXPECT_NE(lines.find("Could not set a name for x"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Could not set the annotation for x"), std::string::npos) << lines;
  BrowserDatabase::Destroy(ctx.database);
  ctx.database = nullptr;
}

} // namespace
