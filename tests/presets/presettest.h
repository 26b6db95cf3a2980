// Shared fixture of the library tests: every test ends with no library, no index and no host
// memory left.
#pragma once

#include <algorithm>
#include <string>

#include "libwriter.h"
#include "orxtest.h"

class LibraryTest : public ::testing::Test
{
protected:
  static void WarmUp()
  {
    // Process-lifetime locks are made on first use; make them before counting blocks.
    BrowserDatabase::GetLibrary(0);
    hashindex::MoveLock();
    hashindex::FreeTree();
    DBBitmapCache::SharedCount();
  }
  void SetUp() override
  {
    WarmUp();
    dir_ = orxtest::TempDir();
    leaks_ = new orxtest::NoLeaks();
  }
  void TearDown() override
  {
    BrowserDatabase::SaveAllAndClose(false, false);
    orxhost::ClearFaults();
    delete leaks_;
  }
  Filename Path(const char* name) const { return dir_ + String(name); }
  // A library on a file, loaded, in the table.
  BrowserDatabase* Open(const Filename& f, Int32 flags = 0)
  {
    BrowserDatabase* db = BrowserDatabase::Create(f, String(), flags);
    EXPECT_NE(db, nullptr);
    if (db) {
      EXPECT_TRUE(db->Load());
    }
    return db;
  }
  BrowserDatabase* Reopen(BrowserDatabase* db)
  {
    Filename f = db->GetFilename();
    BrowserDatabase::Destroy(db);
    return Open(f);
  }
  // A new library file with a name, saved once.
  BrowserDatabase* NewLibrary(const char* file, const char* name, Int32 flags = 0)
  {
    BrowserDatabase* db = BrowserDatabase::Create(Path(file), String(), flags);
    db->SetName(name);
    EXPECT_TRUE(db->Save(true));
    return db;
  }
  static BrowserDatabaseItem* Make(BrowserDatabase* db, const String& path, const char* name = nullptr)
  {
    BrowserDatabaseItem* h = db->OpenOrCreateItem(path);
    if (h && name)
      h->SetName(name, 0x75730000);
    return h;
  }

  Filename dir_;
  orxtest::NoLeaks* leaks_ = nullptr;
};

inline std::string Bytes(const Filename& f) { return orxtest::ReadFile(f); }

// Every file that a write turning the bytes from into to can leave when it is cut short: the bytes
// that differ are written in order, and the cut may fall before any of them. visit(cut, torn) is
// called for each; it answers false to stop.
template <typename Visit>
void ForEachTornWrite(const std::string& from, const std::string& to, Visit&& visit)
{
  std::size_t lo = 0;
  while (lo < from.size() && lo < to.size() && from[lo] == to[lo])
    ++lo;
  std::size_t hi = std::max(from.size(), to.size());
  while (hi > lo && hi <= from.size() && hi <= to.size() && from[hi - 1] == to[hi - 1])
    --hi;
  for (std::size_t cut = lo; cut <= hi; ++cut) {
    std::string torn = from;
    if (torn.size() < cut)
      torn.resize(cut, '\0');
    torn.replace(lo, cut - lo, to.substr(lo, cut - lo));
    if (torn.size() > std::max(from.size(), cut))
      torn.resize(std::max(from.size(), cut));
    if (!visit(cut, torn))
      return;
  }
}
