// The content tool's shared parts: the type table, the logs, tree names and the progress dialog.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "orxtest.h"
#include "orx/files.h"
#include "tools/contenttool/presettypetable.h"
#include "tools/contenttool/progressdialog.h"
#include "tools/contenttool/toollogs.h"
#include "tools/contenttool/treenames.h"
#include "ui/uimodel.h"

namespace {

namespace fs = std::filesystem;

TEST(PresetTypeTable, EveryNameBuildsBackToItsPair)
{
  std::set<std::string> names;
  for (const PresetTypeRow& r : PresetTypeRows()) {
    EXPECT_TRUE(names.insert(r.name).second) << r.name;
    const PresetTypeRow* back = FindPresetType(String(r.name));
    ASSERT_EQ(back, &r);
    // How a library stores this kind, and the name the export gives that pair.
    const Int32 type = r.fileKind ? PRESETTYPE_GENERIC : r.id;
    const Int32 sub = r.fileKind ? r.id : 0;
    EXPECT_EQ(PresetTypeName(type, sub).ToUtf8(), r.name);
  }
  EXPECT_EQ(PresetTypeRows().size(), 29u);
  EXPECT_EQ(PresetTypeRows().front().id, 1018021);
  EXPECT_EQ(PresetTypeRows().back().id, 1027445);
}

TEST(PresetTypeTable, PairsThatCannotBuildBackAreNotSupported)
{
  EXPECT_EQ(PresetTypeName(PRESETTYPE_GENERIC, 0).ToUtf8(), "genericpreset");
  // No type is the empty name, which the build maps to no type; "unknown" is a type of its own.
  EXPECT_EQ(PresetTypeName(0, 0).ToUtf8(), "");
  EXPECT_EQ(PresetTypeName(0, 7).ToUtf8(), "notsupported");
  EXPECT_EQ(PresetTypeName(1018026, 0).ToUtf8(), "unknown");
  EXPECT_EQ(FindPresetType(String("unknown"))->id, 1018026);
  EXPECT_EQ(PresetTypeName(42, 0).ToUtf8(), "notsupported");
  EXPECT_EQ(PresetTypeName(PRESETTYPE_GENERIC, 42).ToUtf8(), "notsupported");
  // A file kind as a type of its own, and a generic preset whose sub-type is no file kind.
  EXPECT_EQ(PresetTypeName(1018021, 0).ToUtf8(), "notsupported");
  EXPECT_EQ(PresetTypeName(PRESETTYPE_GENERIC, 1018108).ToUtf8(), "notsupported");
  EXPECT_EQ(FindPresetType(String("Image")), nullptr);
  EXPECT_EQ(FindPresetType(String("")), nullptr);
}

TEST(TreeNames, OnlySingleNamesInsideTheRoot)
{
  EXPECT_FALSE(IsSingleName(String("")));
  EXPECT_FALSE(IsSingleName(String(".")));
  EXPECT_FALSE(IsSingleName(String("..")));
  EXPECT_FALSE(IsSingleName(String("a/b")));
  EXPECT_FALSE(IsSingleName(String(u"a\0b", 3)));
  EXPECT_TRUE(IsSingleName(String("...")));
  EXPECT_TRUE(IsSingleName(String(".hidden")));
  const Filename root("/tmp/D");
  Filename out;
  EXPECT_TRUE(JoinInside(root, root + String("Cubes"), String("Red.orx"), &out));
  EXPECT_EQ(out.ToUtf8(), "/tmp/D/Cubes/Red.orx");
  EXPECT_FALSE(JoinInside(root, root, String(".."), &out));
  EXPECT_FALSE(JoinInside(root, root, String("../x"), &out));
  // A folder that already climbed out does not become inside by a good name.
  EXPECT_FALSE(JoinInside(root, Filename("/tmp/D/../../etc"), String("x"), &out));
  EXPECT_FALSE(Filename("/tmp/D/../../etc/x").IsInside(root));
}

TEST(TreeNames, ClashesGetASuffixAndReservedNamesAreKept)
{
  const Filename root("/tmp/D");
  ExportNames names(root);
  Bool renamed = false;
  EXPECT_EQ(names.Claim(root, String("Red.orx"), false, &renamed).ToUtf8(), "Red.orx");
  EXPECT_FALSE(renamed);
  EXPECT_EQ(names.Claim(root, String("Red.orx"), false, &renamed).ToUtf8(), "Red_2.orx");
  EXPECT_TRUE(renamed);
  // The logs of the run, and another entry's description, settings and previews.
  EXPECT_EQ(names.Claim(root, String("error_log.txt"), false).ToUtf8(), "error_log_2.txt");
  EXPECT_EQ(names.Claim(root, String("Red.orx.cbinfo"), false).ToUtf8(), "Red.orx.cbinfo_2");
  EXPECT_EQ(names.Claim(root, String("Red.orx.bc"), false).ToUtf8(), "Red.orx_2.bc");
  EXPECT_EQ(names.Claim(root, String("Red.orx.preview_00003.jpg"), true).ToUtf8(), "Red.orx.preview_00003_2.jpg");
  // A name that would read as a description of something else.
  EXPECT_EQ(names.Claim(root, String("X.cbinfo"), false).ToUtf8(), "X.cbinfo_2");
  // A folder and an item of one name.
  EXPECT_EQ(names.Claim(root, String("Cubes"), true).ToUtf8(), "Cubes");
  EXPECT_EQ(names.Claim(root, String("Cubes"), false).ToUtf8(), "Cubes_2");
  // An item whose previews would take a name already written.
  EXPECT_EQ(names.Claim(root, String("P.preview_00000.jpg"), false).ToUtf8(), "P.preview_00000.jpg");
  EXPECT_EQ(names.Claim(root, String("P"), false).ToUtf8(), "P_2");
  // Other folders are their own; the logs belong to the root only.
  EXPECT_EQ(names.Claim(root + String("Cubes"), String("Red.orx"), false).ToUtf8(), "Red.orx");
  EXPECT_EQ(names.Claim(root + String("Cubes"), String("error_log.txt"), false).ToUtf8(), "error_log.txt");
  EXPECT_TRUE(names.Claim(root, String(".."), false).IsEmpty());
  EXPECT_TRUE(names.Claim(root, String(""), true).IsEmpty());
}

TEST(ContentToolLogs, ExistingLogsAreKeptAndLinesCutOnACharacter)
{
  const Filename dir = orxtest::TempDir();
  const std::string d = dir.ToUtf8();
  ASSERT_TRUE(orxtest::WriteFile(dir + String("error_log.txt"), "old errors"));
  ASSERT_TRUE(orxtest::WriteFile(dir + String("elsewhere"), "not mine"));
  fs::create_symlink(d + "/elsewhere", d + "/operation_log.txt");
  {
    ContentToolLogs logs;
    String why;
    ASSERT_TRUE(logs.Open(dir, &why)) << why.ToUtf8();
    // 1022 ASCII bytes, then a three-byte character that does not fit.
    logs.LogError(String(std::string(1022, 'a') + "\xE2\x82\xAC" + "tail"));
    logs.LogError(String("two\nlines"));
    logs.LogOperation(String("done"));
    EXPECT_EQ(logs.ErrorCount(), 2);
    logs.Close();
    logs.Close();
  }
  EXPECT_EQ(orxtest::ReadFile(dir + String("error_log.txt.bak")), "old errors");
  EXPECT_EQ(orxtest::ReadFile(dir + String("elsewhere")), "not mine");
  EXPECT_TRUE(fs::is_symlink(d + "/operation_log.txt.bak"));
  EXPECT_FALSE(fs::is_symlink(d + "/operation_log.txt"));
  EXPECT_EQ(orxtest::ReadFile(dir + String("error_log.txt")),
            std::string(1022, 'a') + "\n" + "two lines\n" + "2 errors\n");
  EXPECT_EQ(orxtest::ReadFile(dir + String("operation_log.txt")), "done\n");
  EXPECT_EQ(ContentToolLogs::LineBytes(String(std::string(2000, 'b'))).size(), 1024u);
}

TEST(ContentToolLogs, OpenFailureSaysWhy)
{
  const Filename dir = orxtest::TempDir();
  fs::create_directory(dir.ToUtf8() + "/error_log.txt");
  ContentToolLogs logs;
  String why;
  EXPECT_FALSE(logs.Open(dir, &why));
  EXPECT_NE(why.ToUtf8().find("error_log.txt"), std::string::npos) << why.ToUtf8();
  EXPECT_FALSE(logs.Open(dir + String("missing"), &why));
  EXPECT_NE(why.ToUtf8().find("missing"), std::string::npos) << why.ToUtf8();
}

class Counting : public ProgressDialog
{
public:
  ~Counting() override { StopWork(); }
  Bool Run(ProgressThread*) override
  {
    Int32 done = 0;
    for (Int32 i = 0; i < 4; ++i)
      if (!StepProgress(done, 4, this))
        return false;
    ranOnMain = CallOnMainThread([this] { mainId = std::this_thread::get_id(); });
    steps = done;
    return true;
  }
  void GetTitle(String& out) override { out = String("Counting"); }
  Int32 steps = 0;
  Bool ranOnMain = false;
  std::thread::id mainId;
};

TEST(ProgressDialog, RunsTheWorkAndServesTheWaitingThread)
{
  orxhost::ui::BindMainThread();
  orxhost::ui::Reset();
  Counting d;
  double last = -1;
  ASSERT_TRUE(d.Execute([&](double p) { last = p; }));
  EXPECT_EQ(d.steps, 4);
  EXPECT_TRUE(d.ranOnMain);
  EXPECT_EQ(d.mainId, std::this_thread::get_id());
  EXPECT_DOUBLE_EQ(last, 1.0);
  EXPECT_FALSE(d.WasCancelled());
  orxhost::ui::Reset();
}

} // namespace
