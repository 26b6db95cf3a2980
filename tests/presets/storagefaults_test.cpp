// Storage under read errors and with data that is hard to store: a save or a compaction that
// cannot read what it needs fails and loses nothing; what was written reads back.
#include <string>

#include "presettest.h"

namespace {
std::string DataOf(BrowserDatabase* db, const char* path)
{
  BrowserDatabaseItem* h = db->OpenItem(path);
  if (!h)
    return "<none>";
  ByteArray b;
  std::string out = h->GetData(&b) ? std::string(b.begin(), b.end()) : "<unreadable>";
  h->Close();
  return out;
}
} // namespace

TEST_F(LibraryTest, ReadErrorWhileMarkingDeadFailsTheSaveAndIsRetried)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  Make(db, "preset://a.libqz/gone", "g")->Close();
  Make(db, "preset://a.libqz/keep", "k")->Close();
  ASSERT_TRUE(db->Save());
  ASSERT_TRUE(db->DeleteItem("preset://a.libqz/gone"));
  orxhost::FailNth(orxhost::FileOp::Read, 1); // the check of the chunk to mark dead
  EXPECT_FALSE(db->Save());
  orxhost::ClearFaults();
  EXPECT_TRUE(db->IsChanged());
  // The next save marks what the failed one could not.
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/gone");
  EXPECT_EQ(h, nullptr);
  if (h)
    h->Close();
  EXPECT_EQ(db->GetItemCount(), 1);
}
