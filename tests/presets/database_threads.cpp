// A loader thread loads libraries while other threads open, change, delete and save items.
#include <atomic>
#include <thread>
#include <vector>

#include "presettest.h"

TEST_F(LibraryTest, LoaderAndEditorsTogether)
{
  // Libraries on disk for the loader.
  for (int l = 0; l < 4; ++l) {
    std::string file = "lib" + std::to_string(l) + ".libqz";
    String name = String("preset://lib") + String::FromInt(l) + ".libqz";
    BrowserDatabase* db = BrowserDatabase::Create(Path(file.c_str()), String(), 0);
    db->SetName(name);
    for (int i = 0; i < 50; ++i)
      Make(db, name + "/f/i" + String::FromInt(i), "x")->Close();
    ASSERT_TRUE(db->Save());
    BrowserDatabase::Destroy(db);
  }
  BrowserDatabase* user = NewLibrary("user.libqz", "preset://user.libqz");
  std::atomic<bool> stop{false};
  std::atomic<int> edits{0};
  std::thread loader([&] {
    for (int l = 0; l < 4; ++l) {
      std::string file = "lib" + std::to_string(l) + ".libqz";
      BrowserDatabase* db = BrowserDatabase::Create(Path(file.c_str()), String(), 0);
      db->Load();
    }
  });
  std::vector<std::thread> editors;
  for (int t = 0; t < 3; ++t) {
    editors.emplace_back([&, t] {
      for (int i = 0; i < 200 && !stop; ++i) {
        String p = String("preset://user.libqz/t") + String::FromInt(t) + "/" + String::FromInt(i % 20);
        if (BrowserDatabaseItem* h = user->OpenOrCreateItem(p)) {
          h->SetName(String::FromInt(i));
          h->SetData("abc", 3, dbitem::kStoreAsGiven);
          h->Close();
        }
        if (i % 7 == 0)
          user->DeleteItem(p);
        if (i % 11 == 0)
          user->Save();
        String other = String("preset://lib") + String::FromInt(i % 4) + ".libqz/f/i" + String::FromInt(i % 50);
        if (BrowserDatabaseItem* h = user->OpenItem(other)) {
          h->GetName();
          h->Close();
        }
        edits.fetch_add(1);
      }
    });
  }
  loader.join();
  for (std::thread& e : editors)
    e.join();
  EXPECT_EQ(edits.load(), 600);
  ASSERT_TRUE(user->Save());
  const Int32 count = user->GetItemCount();
  BrowserDatabase* again = Reopen(user);
  EXPECT_EQ(again->GetItemCount(), count);
  for (int l = 0; l < 4; ++l) {
    BrowserDatabaseItem* h = again->OpenItem(String("preset://lib") + String::FromInt(l) + ".libqz/f/i3");
    ASSERT_NE(h, nullptr);
    h->Close();
  }
}
