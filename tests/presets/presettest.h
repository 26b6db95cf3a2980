// Shared fixture of the library tests: every test ends with no library, no index and no host
// memory left.
#pragma once

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
  BrowserDatabase* NewLibrary(const char* file, const char* name)
  {
    BrowserDatabase* db = BrowserDatabase::Create(Path(file), String(), 0);
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
