// Fixture of the export tests: a library made item by item, registered, exported headless.
#pragma once

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "contenttest.h"
#include "orx/bitmap.h"
#include "orx/media.h"
#include "services/host.h"
#include "tools/contenttool/exportlibrary.h"
#include "ui/uimodel.h"

namespace exporttest {

namespace fs = std::filesystem;
namespace ui = orxhost::ui;

constexpr Int32 kUs = 0x75730000;
constexpr Int32 kDe = 0x64650000;
constexpr Int32 kFr = 0x66720000;

inline std::string P(const Filename& f) { return f.ToUtf8(); }

// A small picture in a format.
inline std::string Picture(Int32 format, UChar shade = 200)
{
  BaseBitmap bmp;
  EXPECT_TRUE(bmp.Init(8, 8));
  for (Int32 y = 0; y < 8; ++y)
    for (Int32 x = 0; x < 8; ++x)
      bmp.SetPixel(x, y, shade, UChar(x * 30), UChar(y * 30));
  const Filename f = orxtest::TempDir() + String(format == SAVEBITMAP_JPEG ? "p.jpg" : "p.png");
  EXPECT_TRUE(GeSaveBitmap(bmp, f, format, 90));
  return orxtest::ReadFile(f);
}

// Every entry below root: relative path to its bytes ("/" for a folder, "->" for a link).
inline std::vector<std::pair<std::string, std::string>> Tree(const std::string& root)
{
  std::vector<std::pair<std::string, std::string>> out;
  std::error_code ec;
  if (!fs::exists(root, ec))
    return out;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = it->path().string().substr(root.size());
    const std::string what = it->is_symlink()        ? "->"
                             : it->is_regular_file() ? orxtest::ReadFile(Filename(String(it->path().string())))
                                                     : "/";
    out.emplace_back(rel, what);
  }
  std::sort(out.begin(), out.end());
  return out;
}

struct Outcome
{
  bool ran = false;
  bool success = false;
  int errors = 0;
  std::string message;
  std::string errorLog;
};

class ExportTest : public contenttest::ContentTest
{
protected:
  void SetUp() override
  {
    // Made before the count of live blocks starts.
    dir_ = orxtest::TempDir();
    ContentTest::SetUp();
    ui::BindMainThread();
    ui::Reset();
  }
  void TearDown() override
  {
    orxhost::ClearFaults();
    ui::HeadlessScript() = ui::Script();
    ui::Reset();
    root_ = nullptr;
    ContentTest::TearDown();
  }

  // A library preset://NAME.libqz filled by fill (db, the library's URL), registered; its root.
  NodeRef Library(const std::string& name, const std::function<void(BrowserDatabase*, const String&)>& fill)
  {
    Start();
    const Filename f = dir_ + String((name + ".libqz").c_str());
    const std::string url = "preset://" + name + ".libqz";
    EXPECT_TRUE(contenttest::MakeLibrary(f, url, {}));
    BrowserDatabase* db = BrowserDatabase::Create(f, String(), 0);
    EXPECT_TRUE(db && db->Load());
    fill(db, String(url.c_str()));
    EXPECT_TRUE(db->Save(true));
    BrowserDatabase::Destroy(db);
    EXPECT_TRUE(RegisterLibrary(f, 0u, nullptr));
    root_ = contenttest::Find(url);
    EXPECT_TRUE(root_);
    return root_;
  }

public:
  static BrowserDatabaseItem* Item(BrowserDatabase* db, const String& url, const std::string& rel, bool folder = false)
  {
    BrowserDatabaseItem* h = db->OpenOrCreateItem(rel.empty() ? url : url + String("/") + String(rel.c_str()), true);
    EXPECT_TRUE(h) << rel;
    if (h && folder)
      h->SetItemFlags(dbitem::kFolderFlag);
    return h;
  }
  // A preset of a type with data, named in English.
  static void Preset(BrowserDatabase* db, const String& url, const std::string& rel, Int32 type, Int32 sub,
                     const std::string& data, const std::string& shown = "")
  {
    ItemHandle h(Item(db, url, rel));
    ASSERT_TRUE(h);
    h->SetType(type, sub);
    if (!data.empty())
      h->SetData(data.data(), Int64(data.size()));
    if (!shown.empty())
      h->SetName(String(shown.c_str()), kUs);
  }

protected:
  Outcome Export(const NodeRef& root, const Filename& destination, std::function<void(ExportLibraryUI&)> prepare = {})
  {
    Outcome r;
    ExportLibraryUI d(destination, root);
    if (prepare)
      prepare(d);
    r.ran = d.Execute();
    r.success = d.GetSuccess();
    r.errors = d.GetErrorCount();
    r.message = d.ResultMessage().ToUtf8();
    if (!d.GetErrorLogPath().IsEmpty())
      r.errorLog = orxtest::ReadFile(d.GetErrorLogPath());
    return r;
  }

  Filename dir_;
  NodeRef root_;
};

} // namespace exporttest
