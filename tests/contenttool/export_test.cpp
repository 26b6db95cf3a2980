// The library export: the layout of the tree, its descriptions, the messages, and the faults of
// names, clashes, partial writes, cancels, previews, numbers and types.
#include "exporttest.h"

#include <clocale>
#include <cstdlib>

#include "orx/scenedoc.h"
#include "tools/contenttool/presettypetable.h"
#include "tools/xml/xml_parser.h"

using namespace exporttest;

namespace {

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n";

std::string Read(const Filename& f) { return orxtest::ReadFile(f); }
bool Exists(const std::string& p) { return fs::exists(fs::symlink_status(p)); }

// The library of the layout example: folder Cubes with the material Red.
void CubesAndRed(BrowserDatabase* db, const String& url, const std::string& jpeg)
{
  {
    ItemHandle root(ExportTest::Item(db, url, ""));
    root->SetName(String("Demo"), kUs);
  }
  {
    ItemHandle cubes(ExportTest::Item(db, url, "Cubes", true));
    cubes->SetName(String("Cubes"), kUs);
  }
  ItemHandle red(ExportTest::Item(db, url, "Cubes/Red"));
  red->SetType(1018108);
  red->SetName(String("Red"), kUs);
  red->SetData("material bytes", 14);
  BaseContainer settings;
  settings.SetInt32(5, 42);
  red->SetSettings(settings);
  red->AddPreview(0, jpeg.data(), Int64(jpeg.size()), 4, DateTime());
}

TEST_F(ExportTest, LayoutOfFolderCubesWithMaterialRed)
{
  const std::string jpeg = Picture(SAVEBITMAP_JPEG);
  NodeRef root = Library("demo", [&](BrowserDatabase* db, const String& url) { CubesAndRed(db, url, jpeg); });
  ASSERT_TRUE(root);
  const Filename d = dir_ + String("D");
  ui::HeadlessScript().files = {P(d)};
  EXPECT_TRUE(ExportLibrary(root));
  ASSERT_FALSE(ui::ShownMessages().empty());
  EXPECT_EQ(ui::ShownMessages().back().text, "Library export successfully (0 errors)");

  const std::string dp = P(d);
  EXPECT_EQ(Read(Filename(String(dp + ".cbinfo"))),
            kHead + "<item type=library>\r\n\t<name>\r\n\t\t<string language=us>Demo</string>\r\n\t</name>\r\n</item>\r\n");
  EXPECT_EQ(Read(d + String("Cubes.cbinfo")),
            kHead + "<item type=folder>\r\n\t<name>\r\n\t\t<string language=us>Cubes</string>\r\n\t</name>\r\n</item>\r\n");
  EXPECT_EQ(Read(d + String("Cubes/Red.orx")), "material bytes");
  EXPECT_EQ(Read(d + String("Cubes/Red.orx.cbinfo")),
            kHead + "<item type=basematerial>\r\n\t<name>\r\n\t\t<string language=us>Red</string>\r\n\t</name>\r\n"
                    "\t<settings>Red.orx.bc</settings>\r\n\t<preview type=highquality>\r\n"
                    "\t\t<media>Red.orx.preview_00000.jpg</media>\r\n\t</preview>\r\n</item>\r\n");
  EXPECT_EQ(Read(d + String("Cubes/Red.orx.preview_00000.jpg")), jpeg);
  BaseContainer back;
  {
    BaseFile f;
    ASSERT_TRUE(f.Open(d + String("Cubes/Red.orx.bc"), FileMode::Read));
    ASSERT_TRUE(ReadContainerFile(&f, f.GetLength(), &back));
  }
  EXPECT_EQ(back.GetInt32(5), 42);
  EXPECT_EQ(Read(d + String("error_log.txt")), "0 errors\n");
  EXPECT_NE(Read(d + String("operation_log.txt")).find("Extracting data for node preset://demo.libqz/Cubes/Red"),
            std::string::npos);
  // Exactly these entries, and nothing left over from the writes.
  std::vector<std::string> names;
  for (const auto& [rel, bytes] : Tree(dp))
    names.push_back(rel);
  EXPECT_EQ(names, (std::vector<std::string>{"/Cubes", "/Cubes.cbinfo", "/Cubes/Red.orx", "/Cubes/Red.orx.bc",
                                             "/Cubes/Red.orx.cbinfo", "/Cubes/Red.orx.preview_00000.jpg",
                                             "/error_log.txt", "/operation_log.txt"}));
}

TEST_F(ExportTest, NamesInThreeLanguagesAndAnnotations)
{
  NodeRef root = Library("lang", [&](BrowserDatabase* db, const String& url) {
    {
      ItemHandle p(Item(db, url, "P"));
      p->SetType(1018107);
      p->SetName(String("Cube"), kUs);
      p->SetName(String("Würfel & <Co>"), kDe);
      // The default name is stored under language 0.
      std::lock_guard g(db->GetLock());
      BaseContainer* rec = p->GetRecord();
      ASSERT_TRUE(rec);
      rec->GetContainerInstance(dbitem::kName)->SetString(0, String("Default"));
    }
    ItemHandle q(Item(db, url, "Q"));
    q->SetType(1018107);
    q->SetName(String("Q"), kUs);
    q->SetAnnotation(String(""));
    ItemHandle r(Item(db, url, "R"));
    r->SetType(1018107);
    r->SetAnnotation(String("said \"so\""));
  });
  const Filename d = dir_ + String("L");
  const Outcome run = Export(root, d);
  ASSERT_TRUE(run.success) << run.errorLog;
  EXPECT_EQ(Read(d + String("P.orx.cbinfo")),
            kHead + "<item type=baseobject>\r\n\t<name>\r\n\t\t<string language=us>Cube</string>\r\n"
                    "\t\t<string language=de>Würfel &amp; &lt;Co&gt;</string>\r\n\t\t<string>Default</string>\r\n"
                    "\t</name>\r\n</item>\r\n");
  EXPECT_EQ(Read(d + String("Q.orx.cbinfo")).find("annotation"), std::string::npos);
  EXPECT_NE(Read(d + String("R.orx.cbinfo")).find("\t<annotation>\r\n\t\t<string>said \"so\"</string>\r\n\t</annotation>"),
            std::string::npos);
}

TEST_F(ExportTest, DestinationWithLibrarySuffixAndDestinationThatIsAFile)
{
  NodeRef root = Library("suffix", [&](BrowserDatabase* db, const String& url) { Preset(db, url, "A", 1018107, 0, "a"); });
  const Outcome run = Export(root, dir_ + String("Out.libqz"));
  EXPECT_TRUE(run.success);
  EXPECT_TRUE(fs::is_directory(P(dir_) + "/Out"));
  EXPECT_TRUE(fs::is_regular_file(P(dir_) + "/Out.cbinfo"));
  EXPECT_FALSE(Exists(P(dir_) + "/Out.libqz"));

  ASSERT_TRUE(orxtest::WriteFile(dir_ + String("F"), "a file"));
  const Outcome onFile = Export(root, dir_ + String("F"));
  EXPECT_FALSE(onFile.success);
  EXPECT_EQ(onFile.message, "Creating the root folder failed.");
  EXPECT_EQ(Read(dir_ + String("F")), "a file");
  EXPECT_FALSE(Exists(P(dir_) + "/F.cbinfo"));
}

// The logs that cannot be opened are told as such, not as a root folder that failed.
TEST_F(ExportTest, LogsThatCannotBeOpenedAreTheCauseTold)
{
  NodeRef root = Library("logs", [&](BrowserDatabase* db, const String& url) { Preset(db, url, "A", 1018107, 0, "a"); });
  const Filename d = dir_ + String("D");
  fs::create_directories(P(d) + "/error_log.txt");
  const Outcome run = Export(root, d);
  EXPECT_FALSE(run.success);
  EXPECT_NE(run.message.find("error_log.txt"), std::string::npos) << run.message;
  EXPECT_NE(run.message, "Creating the root folder failed.");
}

TEST_F(ExportTest, AnOlderLogIsKeptAsBak)
{
  NodeRef root = Library("bak", [&](BrowserDatabase* db, const String& url) { Preset(db, url, "A", 1018107, 0, "a"); });
  const Filename d = dir_ + String("D");
  ASSERT_TRUE(orxtest::WriteFile(d + String("error_log.txt"), "someone's notes"));
  EXPECT_TRUE(Export(root, d).success);
  EXPECT_EQ(Read(d + String("error_log.txt.bak")), "someone's notes");
  EXPECT_EQ(Read(d + String("error_log.txt")), "0 errors\n");
}

TEST_F(ExportTest, CancelledExportFails)
{
  NodeRef root = Library("cancel", [&](BrowserDatabase* db, const String& url) {
    for (const char* n : {"A", "B", "C", "D"})
      Preset(db, url, n, 1018107, 0, "data");
  });
  const Filename d = dir_ + String("D");
  const Outcome run = Export(root, d, [](ExportLibraryUI& ui) {
    ui.SetStepHook([&ui](Int32 done) {
      if (done == 3)
        ui.RequestCancel();
    });
  });
  EXPECT_FALSE(run.success);
  EXPECT_GE(run.errors, 1);
  EXPECT_EQ(run.message, "Export failed with " + std::to_string(run.errors) +
                             " errors. Please check error_log.txt in the destination folder for more details.");
  EXPECT_NE(run.errorLog.find("The export was cancelled"), std::string::npos) << run.errorLog;
  EXPECT_NE(run.errorLog.find("Exporting " + P(d) + "/D failed"), std::string::npos) << run.errorLog;
  EXPECT_EQ(run.errorLog.find("Exporting " + P(d) + "/A failed"), std::string::npos) << run.errorLog;
  EXPECT_FALSE(Exists(P(d) + "/D.orx"));
  EXPECT_TRUE(Exists(P(d) + "/A.orx"));
}

// Names from the library never lead outside the destination, never overwrite one another and never
// take the place of a description or a log.
TEST_F(ExportTest, HostileAndClashingNames)
{
  NodeRef root = Library("hostile", [&](BrowserDatabase* db, const String& url) {
    {
      ItemHandle f(Item(db, url, "NEW FOLDER", true));
      f->SetName(String("../../escaped"), kUs);
    }
    {
      ItemHandle f(Item(db, url, "NEW FOLDER 2", true));
      f->SetName(String(".."), kUs);
    }
    Preset(db, url, "NEW FOLDER/In", 1018107, 0, "in");
    Preset(db, url, "Red", 1018108, 0, "first");
    Preset(db, url, "Red.orx", 1018108, 0, "second");
    Preset(db, url, "error_log.txt", 1018031, 1018021, "not a log");
    Preset(db, url, "X.cbinfo", 1018031, 1018021, "not a description");
    {
      ItemHandle x(Item(db, url, "X", true));
      x->SetName(String("X"), kUs);
    }
  });
  const Filename d = dir_ + String("deep/D");
  fs::create_directories(P(dir_) + "/deep");
  const Outcome run = Export(root, d);
  EXPECT_TRUE(run.success);
  // Nothing beside the destination but its description.
  std::vector<std::string> outside;
  for (const auto& [rel, bytes] : Tree(P(dir_)))
    if (rel.rfind("/deep/D", 0) != 0 && rel != "/deep" && rel.find(".libqz") == std::string::npos)
      outside.push_back(rel);
  EXPECT_TRUE(outside.empty()) << outside.front();
  // The shown names that are no single names are not used.
  EXPECT_TRUE(fs::is_directory(P(d) + "/NEW FOLDER"));
  EXPECT_EQ(Read(d + String("NEW FOLDER/In.orx")), "in");
  EXPECT_TRUE(fs::is_directory(P(d) + "/NEW FOLDER 2"));
  // Both presets are there, the second under a name of its own, and the clash is an error.
  EXPECT_EQ(Read(d + String("Red.orx")), "first");
  EXPECT_EQ(Read(d + String("Red_2.orx")), "second");
  EXPECT_NE(run.errorLog.find("is taken"), std::string::npos) << run.errorLog;
  EXPECT_GE(run.errors, 3);
  // The log stays the log; the preset named like it is written beside it.
  EXPECT_EQ(Read(d + String("error_log_2.txt")), "not a log");
  EXPECT_NE(Read(d + String("error_log.txt")).find(" errors\n"), std::string::npos);
  // A file named like a description is not one.
  EXPECT_EQ(Read(d + String("X.cbinfo_2")), "not a description");
  EXPECT_NE(Read(d + String("X.cbinfo")).find("type=folder"), std::string::npos);
}

// An older export in the destination: its files are replaced whole, and links there are replaced
// as links, never written through.
TEST_F(ExportTest, FilesReplaceWithoutFollowingLinks)
{
  NodeRef root = Library("links", [&](BrowserDatabase* db, const String& url) {
    Preset(db, url, "A", 1018107, 0, "new data");
    ItemHandle f(Item(db, url, "F", true));
  });
  const Filename d = dir_ + String("D");
  fs::create_directories(P(d));
  ASSERT_TRUE(orxtest::WriteFile(dir_ + String("victim"), "keep me"));
  fs::create_directory(P(dir_) + "/elsewhere");
  fs::create_symlink(P(dir_) + "/victim", P(d) + "/A.orx");
  fs::create_symlink(P(dir_) + "/victim", P(d) + "/A.orx.cbinfo");
  fs::create_directory_symlink(P(dir_) + "/elsewhere", P(d) + "/F");
  const Outcome run = Export(root, d);
  EXPECT_EQ(Read(dir_ + String("victim")), "keep me");
  EXPECT_FALSE(fs::is_symlink(P(d) + "/A.orx"));
  EXPECT_EQ(Read(d + String("A.orx")), "new data");
  EXPECT_TRUE(fs::is_empty(P(dir_) + "/elsewhere"));
  EXPECT_NE(run.errorLog.find("There already is a file named " + P(d) + "/F"), std::string::npos) << run.errorLog;
}

// Every write and rename that fails leaves no part-written file and shows in the result.
TEST_F(ExportTest, InjectedWriteAndRenameFailuresLeaveNoPartialFile)
{
  const std::string jpeg = Picture(SAVEBITMAP_JPEG);
  NodeRef root = Library("faults", [&](BrowserDatabase* db, const String& url) { CubesAndRed(db, url, jpeg); });
  const Filename clean = dir_ + String("clean");
  ASSERT_TRUE(Export(root, clean).success);
  std::map<std::string, std::string> good;
  for (const auto& [rel, bytes] : Tree(P(clean)))
    good[rel] = bytes;
  good[".cbinfo"] = Read(Filename(String(P(clean) + ".cbinfo")));
  for (orxhost::FileOp op : {orxhost::FileOp::Write, orxhost::FileOp::Rename, orxhost::FileOp::Open}) {
    for (int nth = 1; nth <= 12; ++nth) {
      const Filename d = dir_ + String(("run" + std::to_string(int(op)) + "_" + std::to_string(nth)).c_str());
      orxhost::FailNth(op, nth);
      const Outcome run = Export(root, d);
      const bool fired = [&] {
        // The fault is used up when it fired.
        orxhost::ClearFaults();
        return true;
      }();
      (void)fired;
      bool incomplete = false;
      for (const auto& [rel, bytes] : Tree(P(d))) {
        if (rel == "/error_log.txt" || rel == "/operation_log.txt" || bytes == "/")
          continue;
        EXPECT_EQ(rel.find(".tmp-"), std::string::npos) << rel << " left behind";
        ASSERT_TRUE(good.count(rel)) << rel;
        EXPECT_EQ(bytes, good[rel]) << rel << " with fault " << int(op) << "/" << nth;
      }
      const Filename desc(String(P(d) + ".cbinfo"));
      if (Exists(P(desc)))
        EXPECT_EQ(Read(desc), good[".cbinfo"]);
      // A file of the clean tree missing means a failed write: the run must not look clean.
      for (const auto& [rel, bytes] : good)
        if (rel != ".cbinfo" && bytes != "/" && rel != "/error_log.txt" && rel != "/operation_log.txt" &&
            !Exists(P(d) + rel))
          incomplete = true;
      if (incomplete || !Exists(P(desc)))
        EXPECT_TRUE(!run.success || run.errors > 0) << "fault " << int(op) << "/" << nth << ": " << run.message;
    }
  }
}

// Frames are numbered without gaps from the stored images alone; the result takes every frame.
TEST_F(ExportTest, AnimatedPreviewFramesAreDense)
{
  const std::string jpeg = Picture(SAVEBITMAP_JPEG);
  const std::string png = Picture(SAVEBITMAP_PNG, 90);
  NodeRef root = Library("anim", [&](BrowserDatabase* db, const String& url) {
    ItemHandle p(Item(db, url, "Spin"));
    p->SetType(1018107);
    p->SetData("x", 1);
    // A range far wider than what is stored: only the stored ids are walked.
    p->SetAnimation(3, 2000000000, 12.5);
    p->AddPreview(3, jpeg.data(), Int64(jpeg.size()), 4, DateTime());
    p->AddPreview(5, png.data(), Int64(png.size()), 4, DateTime());
    p->AddPreview(9, jpeg.data(), Int64(jpeg.size()), 4, DateTime());
  });
  const Filename d = dir_ + String("D");
  // An older export had more frames.
  ASSERT_TRUE(orxtest::WriteFile(d + String("Spin.orx.preview/preview_00003.jpg"), "old frame"));
  const Outcome run = Export(root, d);
  ASSERT_TRUE(run.success) << run.errorLog;
  EXPECT_EQ(run.errors, 0) << run.errorLog;
  const std::string frames = P(d) + "/Spin.orx.preview/";
  EXPECT_EQ(Read(Filename(String(frames + "preview_00000.jpg"))), jpeg);
  const std::string second = Read(Filename(String(frames + "preview_00001.jpg")));
  ASSERT_GE(second.size(), 3u);
  EXPECT_EQ(second.substr(0, 3), "\xFF\xD8\xFF") << "a PNG frame is re-encoded as JPEG";
  EXPECT_EQ(Read(Filename(String(frames + "preview_00002.jpg"))), jpeg);
  EXPECT_FALSE(Exists(frames + "preview_00003.jpg"));
  EXPECT_NE(Read(d + String("Spin.orx.cbinfo"))
                .find("\t<preview type=animated>\r\n\t\t<fps>12.500000</fps>\r\n\t\t<media>Spin.orx.preview</media>\r\n"),
            std::string::npos)
      << Read(d + String("Spin.orx.cbinfo"));
}

TEST_F(ExportTest, StillPreviewsAreJpegAndAFailedFrameFailsThePreview)
{
  const std::string png = Picture(SAVEBITMAP_PNG);
  NodeRef root = Library("still", [&](BrowserDatabase* db, const String& url) {
    {
      ItemHandle p(Item(db, url, "P"));
      p->SetType(1018107);
      p->AddPreview(7, png.data(), Int64(png.size()), 2, DateTime());
    }
    ItemHandle q(Item(db, url, "Q"));
    q->SetType(1018107);
    q->SetAnimation(0, 1, 25);
    q->AddPreview(0, "not a picture", 13, 4, DateTime());
    const std::string jpeg = Picture(SAVEBITMAP_JPEG);
    q->AddPreview(1, jpeg.data(), Int64(jpeg.size()), 4, DateTime());
  });
  const Filename d = dir_ + String("D");
  const Outcome run = Export(root, d);
  const std::string still = Read(d + String("P.orx.preview_00007.jpg"));
  ASSERT_GE(still.size(), 3u);
  EXPECT_EQ(still.substr(0, 3), "\xFF\xD8\xFF");
  EXPECT_NE(Read(d + String("P.orx.cbinfo")).find("<preview type=mediumquality>"), std::string::npos);
  // The bad first frame fails the preview, though the last frame was written.
  EXPECT_NE(run.errorLog.find("Writing previews for " + P(d) + "/Q.orx.cbinfo failed"), std::string::npos)
      << run.errorLog;
}

TEST_F(ExportTest, FpsIsWrittenTheSameInEveryLocale)
{
  const std::string locales = P(orxtest::TempDir());
  const std::string make = "localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0)
    GTEST_SKIP() << "no German locale can be made here";
  ::setenv("LOCPATH", locales.c_str(), 1);
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
  char probe[32];
  std::snprintf(probe, sizeof probe, "%f", 1.5);
  const std::string written = FormatFps(12.5).ToUtf8();
  const std::string whole = FormatFps(25).ToUtf8();
  std::setlocale(LC_NUMERIC, "C");
  ::unsetenv("LOCPATH");
  EXPECT_EQ(std::string(probe), "1,500000") << "the locale is in effect";
  EXPECT_EQ(written, "12.500000");
  EXPECT_EQ(whole, "25.000000");
}

// Every type comes back as itself; what cannot is an error, and a generic preset stays one.
TEST_F(ExportTest, TypesThatCannotBuildBackAreErrors)
{
  NodeRef root = Library("types", [&](BrowserDatabase* db, const String& url) {
    Preset(db, url, "generic", PRESETTYPE_GENERIC, 0, "g");
    Preset(db, url, "picture", PRESETTYPE_GENERIC, 1018021, "i");
    Preset(db, url, "odd", 777, 0, "o");
  });
  const Filename d = dir_ + String("D");
  const Outcome run = Export(root, d);
  EXPECT_NE(Read(d + String("generic.cbinfo")).find("<item type=genericpreset>"), std::string::npos);
  EXPECT_NE(Read(d + String("picture.cbinfo")).find("<item type=image>"), std::string::npos);
  EXPECT_NE(Read(d + String("odd.cbinfo")).find("<item type=notsupported>"), std::string::npos);
  EXPECT_EQ(Read(d + String("odd")), "o") << "its data is kept all the same";
  EXPECT_EQ(run.errors, 1) << run.errorLog;
  EXPECT_NE(run.errorLog.find("preset://types.libqz/odd is not supported"), std::string::npos) << run.errorLog;
}

// Object and material presets go through the host as scenes: their textures in the library's tex
// folder become bare names.
TEST_F(ExportTest, MaterialSceneWithTexturesBesideTheLibrary)
{
  std::string sceneBytes;
  const std::string tex = P(dir_) + "/tex/wood.jpg";
  {
    BaseDocument* doc = NewDocument();
    ASSERT_TRUE(doc);
    BaseList2D* m = ElemNew(Mbase);
    ASSERT_TRUE(m && DocInsert(doc, m, nullptr, nullptr));
    ElemData(m)->SetFilename(MATERIAL_TEXTURE, Filename(String(tex.c_str())));
    BaseList2D* other = ElemNew(Mbase);
    ASSERT_TRUE(other && DocInsert(doc, other, nullptr, nullptr));
    ElemData(other)->SetFilename(MATERIAL_TEXTURE, Filename("/elsewhere/stone.jpg"));
    void* block = nullptr;
    Int64 size = 0;
    ASSERT_TRUE(SaveDocumentToMemory(doc, &block, &size));
    sceneBytes.assign(static_cast<const char*>(block), std::size_t(size));
    OrxMemFree(block);
    FreeDocument(doc);
  }
  NodeRef root = Library("scene", [&](BrowserDatabase* db, const String& url) {
    Preset(db, url, "Wood", 1018108, 0, sceneBytes);
  });
  const Filename d = dir_ + String("D");
  ASSERT_TRUE(Export(root, d).success);
  const std::string written = Read(d + String("Wood.orx"));
  BaseDocument* back = LoadDocumentFromMemory(written.data(), Int64(written.size()), 0);
  ASSERT_TRUE(back);
  std::vector<std::string> textures;
  for (BaseList2D* e = DocFirst(back, SCENELIST_MATERIALS); e; e = ElemNext(e))
    textures.push_back(ElemData(e)->GetFilename(MATERIAL_TEXTURE).ToUtf8());
  FreeDocument(back);
  std::sort(textures.begin(), textures.end());
  EXPECT_EQ(textures, (std::vector<std::string>{"/elsewhere/stone.jpg", "wood.jpg"}));
}

} // namespace
