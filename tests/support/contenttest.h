// Fixture and helpers of the content tests: a fresh content tree on empty library folders, and
// library files made to order.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "contenttree/browserinterface.h"
#include "base/browserutils.h"
#include "core/contentaccess.h"
#include "core/libraryregistry.h"
#include "orx/files.h"
#include "orx/services.h"
#include "orxtest.h"
#include "presets/browserdatabase.h"
#include "presets/filepresetnode.h"
#include "nodes/categorynode.h"

namespace contenttest {

struct TestItem
{
  TestItem(std::string p, bool f = false, std::string d = "", Int32 o = 0x7fffffff, std::string n = "",
           Int32 t = 1018031)
      : path(std::move(p)), folder(f), data(std::move(d)), order(o), name(std::move(n)), type(t)
  {
  }
  std::string path; // below the library's URL, "" for the root record
  bool folder;
  std::string data;
  Int32 order;
  std::string name; // shown name, "" for none
  Int32 type;
};

inline Filename UserFolder() { return GetUserBrowserFolder(); }
inline Filename SystemFolder() { return orxtest::HomeDir() + String("library") + String("browser"); }

// Writes a library file named url (e.g. "preset://a.libqz") with the items; display name shown.
inline bool MakeLibrary(const Filename& file, const std::string& url, const std::vector<TestItem>& items,
                        const std::string& shown = "")
{
  std::error_code ec;
  std::filesystem::create_directories(file.GetDirectory().ToUtf8(), ec);
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  if (!db)
    return false;
  db->SetName(String(url.c_str()));
  if (!shown.empty())
    db->SetDisplayName(String(shown.c_str()));
  // Written once before any data: the data chunks then follow the library's information.
  bool ok = db->Save(true);
  for (const TestItem& s : items) {
    String path(String(url.c_str()) + (s.path.empty() ? String() : String("/") + String(s.path.c_str())));
    BrowserDatabaseItem* item = db->OpenOrCreateItem(path, true);
    if (!item) {
      ok = false;
      continue;
    }
    if (s.folder)
      item->SetItemFlags(dbitem::kFolderFlag);
    else
      item->SetType(s.type);
    if (!s.data.empty())
      item->SetData(s.data.data(), Int64(s.data.size()));
    if (s.order != 0x7fffffff)
      item->SetOrder(s.order);
    if (!s.name.empty())
      item->SetName(String(s.name.c_str()));
    item->Close();
  }
  ok = db->Save(true) && ok;
  BrowserDatabase::Destroy(db);
  return ok;
}

inline std::string Text(const String& s) { return s.ToUtf8(); }
inline std::string URLOf(BrowserContentNode* n)
{
  BrowserURL u;
  if (!n || !n->GetURL(&u, 0))
    return "";
  return u.GetString().ToUtf8();
}
inline std::vector<std::string> ChildNames(const NodeRef& n)
{
  std::vector<std::string> out;
  for (NodeRef c = n ? n->GetDownNode() : NodeRef(); c; c = c->GetNextNode())
    out.push_back(c->GetName().ToUtf8());
  return out;
}
inline NodeRef Find(const std::string& url, Int32 mode = GETNODE_EXACT)
{
  BrowserURL u{String(url.c_str())};
  return GetNode(u, mode);
}

inline void EmptyFolder(const Filename& f)
{
  std::error_code ec;
  std::filesystem::remove_all(f.ToUtf8(), ec);
  std::filesystem::create_directories(f.ToUtf8(), ec);
}

// A content tree on empty user, system and cache folders; everything is released afterwards.
class ContentTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ::unsetenv("ORX_BROWSERLIBS");
    std::error_code ec;
    std::filesystem::remove_all(SystemFolder().ToUtf8(), ec);
    std::filesystem::remove_all((GeGetSpecialFolder(FOLDER_PREFS) + String("cache")).ToUtf8(), ec);
    ResetBrowserUtilsForTests();
    EmptyFolder(UserFolder());
    ResetLibraryRegistryForTests();
    ResetCategoryOnceFlagsForTests();
    orxhost::ClearConsole();
    orxhost::ClearMessageBoxes();
    before_ = orxhost::LiveBlockCount();
  }
  void TearDown() override
  {
    Stop();
    ::unsetenv("ORX_BROWSERLIBS");
    EXPECT_EQ(orxhost::LiveBlockCount(), before_) << "host memory left after the content was released";
    if (orxhost::LiveBlockCount() != before_)
      orxhost::PrintLiveBlocks(stderr, 20);
  }
  void Start()
  {
    if (!started_) {
      ASSERT_TRUE(InitContent());
    }
    started_ = true;
  }
  void Stop()
  {
    if (!started_)
      return;
    started_ = false;
    ReleaseContent();
    CloseAllLibraries(true, false);
    ResetLibraryRegistryForTests();
  }

  bool started_ = false;
  Int64 before_ = 0;
};

} // namespace contenttest
