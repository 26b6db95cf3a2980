// Libraries, items and handles: what survives a save and a reload, and the table's rules.
#include "presettest.h"

using namespace libwriter;

TEST_F(LibraryTest, ItemRecordRoundTrip)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  BrowserDatabaseItem* h = Make(db, "preset://a.libqz/folder/red", "Red");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetId(), 1);
  h->SetName("Rot", 0x64650000);
  h->SetType(1018108, 7);
  h->SetAnnotation("a note");
  BaseContainer settings;
  settings.SetFloat(3, 0.5);
  h->SetSettings(settings);
  h->SetOrder(5);
  h->SetItemFlags(dbitem::kFolderFlag);
  h->SetState(9);
  h->SetAnimation(0, 24, 25.0);
  DateTime t{2021, 3, 4, 5, 6, 7};
  h->SetTime(1, t);
  std::string data(4000, 'd');
  ASSERT_TRUE(h->SetData(data.data(), Int64(data.size())));
  ASSERT_TRUE(h->AddPreview(0, "JPEG0", 5, 4, t, 11, 12));
  h->Close();
  ASSERT_TRUE(db->Save());
  db = Reopen(db);

  h = db->OpenItem("preset://a.libqz/folder/red");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetName(0x75730000), String("Red"));
  EXPECT_EQ(h->GetName(0x64650000), String("Rot"));
  EXPECT_TRUE(h->HasSeveralNames());
  Int32 t2 = 0;
  EXPECT_EQ(h->GetType(&t2), 1018108);
  EXPECT_EQ(t2, 7);
  EXPECT_EQ(h->GetAnnotation(), String("a note"));
  BaseContainer s2;
  ASSERT_TRUE(h->GetSettings(&s2));
  EXPECT_EQ(s2.GetFloat(3), 0.5);
  EXPECT_EQ(h->GetOrder(), 5);
  EXPECT_TRUE(h->IsFolder());
  EXPECT_EQ(h->GetState(), 9);
  DateTime t3;
  ASSERT_TRUE(h->GetTime(1, &t3));
  EXPECT_EQ(t3, t);
  ByteArray back;
  ASSERT_TRUE(h->GetData(&back));
  EXPECT_EQ(std::string(back.begin(), back.end()), data);
  EXPECT_EQ(h->GetDataSize(), 4000);
  PreviewInfo pi;
  ASSERT_TRUE(h->GetPreviewInfo(0, &pi));
  EXPECT_EQ(pi.quality, 4);
  EXPECT_EQ(pi.a, 11);
  EXPECT_EQ(pi.time, t);
  ASSERT_TRUE(h->GetPreviewData(0, &back));
  EXPECT_EQ(std::string(back.begin(), back.end()), "JPEG0");
  // Nothing of the memory-only entries reached the file.
  EXPECT_FALSE(h->GetRecord()->Has(dbitem::kChanged));
  h->Close();
}

TEST_F(LibraryTest, DataEncodings)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  BrowserDatabaseItem* h = Make(db, "preset://a.libqz/x");
  std::string text(10000, 'a');
  ASSERT_TRUE(h->SetData(text.data(), Int64(text.size()), dbitem::kStoreCompressed));
  EXPECT_EQ(h->GetRecord()->GetContainer(dbitem::kData).GetInt32(dbitem::kDataEncoding), 2);
  // Incompressible data is kept as given.
  std::string noise;
  UInt32 x = 12345;
  for (int i = 0; i < 4000; ++i) {
    x = x * 1664525u + 1013904223u;
    noise += char(x >> 24);
  }
  ASSERT_TRUE(h->SetData(noise.data(), Int64(noise.size()), dbitem::kStoreCompressed));
  EXPECT_EQ(h->GetRecord()->GetContainer(dbitem::kData).GetInt32(dbitem::kDataEncoding), 0);
  ByteArray out;
  ASSERT_TRUE(h->GetData(&out));
  EXPECT_EQ(std::string(out.begin(), out.end()), noise);
  // The older compressed form has other bytes in place of the length.
  void* packed = nullptr;
  Int64 packedSize = 0;
  ASSERT_TRUE(GeCompress(text.data(), Int64(text.size()), 9, &packed, &packedSize));
  std::string old(static_cast<char*>(packed), std::size_t(packedSize));
  OrxMemFree(packed);
  old[0] = old[1] = old[2] = old[3] = 'Z';
  ASSERT_TRUE(h->SetDataEncoded(old.data(), Int64(old.size()), 1, Int64(text.size())));
  ASSERT_TRUE(h->GetData(&out));
  EXPECT_EQ(std::string(out.begin(), out.end()), text);
  // A claimed length far beyond what the bytes can hold is refused, not allocated.
  ASSERT_TRUE(h->SetDataEncoded(old.data(), Int64(old.size()), 2, Int64(1) << 40));
  EXPECT_FALSE(h->GetData(&out));
  ASSERT_TRUE(h->RemoveData());
  EXPECT_FALSE(h->HasData());
  h->Close();
}

// The first chunk of a library that has no file yet goes behind the new file's head, not over it.
TEST_F(LibraryTest, DataOfANewLibraryBeforeItsFirstSave)
{
  BrowserDatabase* db = BrowserDatabase::Create(Path("n.libqz"), String(), 0);
  db->SetName("preset://n.libqz");
  BrowserDatabaseItem* h = Make(db, "preset://n.libqz/x");
  const std::string data(3000, 'd');
  ASSERT_TRUE(h->SetData(data.data(), Int64(data.size()), dbitem::kStoreAsGiven));
  h->Close();
  ASSERT_TRUE(db->Save());
  EXPECT_EQ(Bytes(Path("n.libqz")).substr(0, 4), "dbfh");
  db = Reopen(db);
  EXPECT_FALSE(db->IsInfoDamaged());
  h = db->OpenItem("preset://n.libqz/x");
  ASSERT_NE(h, nullptr);
  ByteArray out;
  ASSERT_TRUE(h->GetData(&out));
  EXPECT_EQ(std::string(out.begin(), out.end()), data);
  h->Close();
}

TEST_F(LibraryTest, DeletedItemChunkIsDeadAfterSaveAndStaysGone)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  Make(db, "preset://a.libqz/x", "x")->Close();
  Make(db, "preset://a.libqz/y", "y")->Close();
  ASSERT_TRUE(db->Save());
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/x");
  const Int64 chunk = h->GetRecord()->GetInt64(dbitem::kChunkOffset);
  h->Close();
  ASSERT_TRUE(db->DeleteItem("preset://a.libqz/x"));
  EXPECT_EQ(db->OpenItem("preset://a.libqz/x"), nullptr);
  ASSERT_TRUE(db->Save());
  EXPECT_EQ(Bytes(Path("a.libqz")).substr(std::size_t(chunk), 4), "ivld");
  db = Reopen(db);
  EXPECT_EQ(db->GetItemCount(), 1);
  EXPECT_EQ(db->OpenItem("preset://a.libqz/x"), nullptr);
}

TEST_F(LibraryTest, DeleteWhileOpenKeepsTheItemReadableUntilClosed)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  Make(db, "preset://a.libqz/x", "x")->Close();
  ASSERT_TRUE(db->Save());
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/x");
  ASSERT_TRUE(db->DeleteItem("preset://a.libqz/x"));
  EXPECT_EQ(h->GetId(), -2);
  EXPECT_EQ(h->GetName(0x75730000), String("x"));
  EXPECT_EQ(db->OpenItem("preset://a.libqz/x"), nullptr);
  ASSERT_TRUE(db->Save()); // skipped while open
  EXPECT_EQ(db->GetItemCount(), 0);
  h->Close();
  // Gone for the user once the last handle closed, and after a reload too.
  EXPECT_EQ(db->OpenItem("preset://a.libqz/x"), nullptr);
  ASSERT_TRUE(db->Save());
  EXPECT_EQ(Bytes(Path("a.libqz")).find("ditm"), std::string::npos);
  db = Reopen(db);
  EXPECT_EQ(db->GetItemCount(), 0);
  EXPECT_EQ(db->OpenItem("preset://a.libqz/x"), nullptr);
}

TEST_F(LibraryTest, UnsavedItemIsErasedAtOnce)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  Make(db, "preset://a.libqz/x")->Close();
  ASSERT_TRUE(db->DeleteItem("preset://a.libqz/x"));
  std::vector<BrowserDatabase::ItemInfo> items;
  db->ListItems(&items);
  EXPECT_TRUE(items.empty());
  // Ids are never reused.
  BrowserDatabaseItem* h = Make(db, "preset://a.libqz/y");
  EXPECT_EQ(h->GetId(), 2);
  h->Close();
}

TEST_F(LibraryTest, CreateItemRefusesAPathThatIsTaken)
{
  BrowserDatabase* a = NewLibrary("a.libqz", "preset://a.libqz");
  BrowserDatabase* b = NewLibrary("b.libqz", "preset://b.libqz");
  Make(a, "preset://a.libqz/x", "first")->Close();
  EXPECT_EQ(a->CreateItem("preset://a.libqz/x"), nullptr);
  // The index is shared: a path another library holds is taken too.
  EXPECT_EQ(b->CreateItem("preset://a.libqz/x"), nullptr);
  BrowserDatabaseItem* h = a->CreateItem("preset://a.libqz/y");
  ASSERT_NE(h, nullptr);
  h->Close();
  EXPECT_EQ(a->GetItemCount(), 2);
  h = a->OpenItem("preset://a.libqz/x");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetName(0x75730000), String("first"));
  h->Close();
}

TEST_F(LibraryTest, ReadOnlyLibrariesAndForce)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  Make(db, "preset://a.libqz/x")->Close();
  db->SetLocked();
  EXPECT_EQ(db->OpenOrCreateItem("preset://a.libqz/x"), nullptr);
  EXPECT_EQ(db->OpenOrCreateItem("preset://a.libqz/new"), nullptr);
  EXPECT_EQ(db->OpenItemForChange("preset://a.libqz/x", hashindex::PathHash("preset://a.libqz/x")), nullptr);
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/x");
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(h->IsWritable());
  EXPECT_FALSE(h->SetName("no"));
  h->Close();
  EXPECT_FALSE(db->DeleteItem("preset://a.libqz/x"));
  db->Unprotect(); // locked: stays read-only
  EXPECT_TRUE(db->IsReadOnly());
  h = db->OpenOrCreateItem("preset://a.libqz/x", true);
  ASSERT_NE(h, nullptr);
  h->Close();
  h = db->OpenOrCreateItem("preset://a.libqz/new", true);
  ASSERT_NE(h, nullptr);
  h->Close();
}

TEST_F(LibraryTest, ProtectSavesTheFlag)
{
  BrowserDatabase* db = BrowserDatabase::Create(Path("p.libqz"), String(), 0);
  db->SetName("preset://p.libqz");
  ASSERT_TRUE(db->Protect()); // creates the file first
  db = Reopen(db);
  EXPECT_TRUE(db->IsReadOnly());
  db->Unprotect();
  EXPECT_FALSE(db->IsReadOnly());
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  EXPECT_FALSE(db->IsReadOnly());
}

TEST_F(LibraryTest, DuplicateNamesAreRenamed)
{
  NewLibrary("sys.libqz", "preset://a.libqz");
  BrowserDatabase* user = NewLibrary("user.libqz", "preset://a.libqz");
  Make(user, "preset://a.libqz/x")->Close();
  ASSERT_TRUE(user->Save());
  BrowserDatabase::Destroy(user);
  BrowserDatabase* sys = BrowserDatabase::FindLibraryForFile(Path("sys.libqz"));
  sys->SetSystemLibrary();

  user = Open(Path("user.libqz"));
  EXPECT_EQ(user->GetName(), String("preset://a.local.libqz"));
  EXPECT_TRUE(user->IsReadOnly());
  BrowserDatabaseItem* h = user->OpenItem("preset://a.local.libqz/x");
  ASSERT_NE(h, nullptr);
  h->Close();
  BrowserDatabase* third = Open(Path("user.libqz"));
  EXPECT_EQ(third->GetName(), String("preset://a.2.libqz"));
  // ".local" is tried first and only once.
  BrowserDatabase* fourth = Open(Path("sys.libqz"));
  EXPECT_EQ(fourth->GetName(), String("preset://a.3.libqz"));
  // Between two libraries that are not system libraries the count starts at 1.
  BrowserDatabase::Destroy(NewLibrary("b1.libqz", "preset://b.libqz"));
  NewLibrary("b2.libqz", "preset://b.libqz");
  EXPECT_EQ(Open(Path("b1.libqz"))->GetName(), String("preset://b.1.libqz"));
}

TEST_F(LibraryTest, FindLibraryForURL)
{
  BrowserDatabase* main = BrowserDatabase::Create(Path("BrowserDB"), String(), DBFLAG_MAIN);
  BrowserDatabase* a = NewLibrary("a.libqz", "preset://a.libqz");
  EXPECT_EQ(BrowserDatabase::FindLibraryForURL("preset://a.libqz/x"), a);
  EXPECT_EQ(BrowserDatabase::FindLibraryForURL("preset://a.libqz"), a);
  EXPECT_EQ(BrowserDatabase::FindLibraryForURL("preset://a.libqzz"), nullptr);
  EXPECT_EQ(BrowserDatabase::FindLibraryForURL("preset://a.libqzz", true), main);
  EXPECT_EQ(BrowserDatabase::FindLibraryForURL("file:///tmp/x"), main);
  a->SetDisplayName("Alpha");
  EXPECT_EQ(BrowserDatabase::DisplayNameForURL("preset://a.libqz/x"), String("Alpha"));
}

TEST_F(LibraryTest, SlotTable)
{
  Int32 slot = 0;
  BrowserDatabase::Create(Path("u.libqz"), String(), DBFLAG_USER, &slot);
  EXPECT_EQ(slot, 1);
  BrowserDatabase* again = BrowserDatabase::Create(Path("u2.libqz"), String(), DBFLAG_USER, &slot);
  EXPECT_EQ(slot, -1);
  BrowserDatabase::Destroy(again);
  std::vector<BrowserDatabase*> libs;
  for (int i = 0; i < 20; ++i) {
    libs.push_back(BrowserDatabase::Create(Path("x.libqz"), String(), 0, &slot));
    EXPECT_EQ(slot, 2 + i);
  }
  EXPECT_EQ(BrowserDatabase::GetTableCapacity(), 32);
  BrowserDatabase::Destroy(libs[3]);
  EXPECT_EQ(BrowserDatabase::GetLibrary(5), nullptr);
  BrowserDatabase::Create(Path("y.libqz"), String(), 0, &slot);
  EXPECT_EQ(slot, 5); // the first free slot
  EXPECT_EQ(BrowserDatabase::GetLibrary(0), nullptr);
  EXPECT_EQ(BrowserDatabase::GetLibrary(99), nullptr);
}

// A thread that pinned a library keeps it in memory past its Destroy, with the records its open
// handles read, and can no longer write it: the file may be gone or another library's by then.
TEST_F(LibraryTest, APinnedLibraryOutlivesDestroyAndNeverWritesAgain)
{
  BrowserDatabase* db = NewLibrary("p.libqz", "preset://p.libqz");
  for (int i = 0; i < 5; ++i)
    Make(db, String("preset://p.libqz/i") + String::FromInt(i), "x")->Close();
  ASSERT_TRUE(db->Save());
  const std::string before = Bytes(Path("p.libqz"));
  const Int32 count = db->GetItemCount();
  Int32 slot = db->GetSlot();
  LibraryPin pin = BrowserDatabase::PinLibrary(slot);
  ASSERT_EQ(pin.Get(), db);
  EXPECT_FALSE(BrowserDatabase::PinLibrary(slot + 1));
  EXPECT_EQ(BrowserDatabase::PinLibraryForURL("preset://p.libqz/i2").Get(), db);
  BrowserDatabaseItem* open = pin->OpenItem("preset://p.libqz/i2");
  ASSERT_NE(open, nullptr);

  BrowserDatabase::Destroy(db);
  EXPECT_FALSE(BrowserDatabase::PinLibraryForURL("preset://p.libqz/i2"));
  EXPECT_EQ(open->GetName(0x75730000), String("x")) << "an open handle still reads its record";
  EXPECT_FALSE(open->SetName("y", 0x75730000));
  EXPECT_FALSE(open->SetData("abc", 3, dbitem::kStoreAsGiven));
  open->Close();
  EXPECT_EQ(BrowserDatabase::GetLibrary(slot), nullptr);
  EXPECT_FALSE(BrowserDatabase::PinLibrary(slot)) << "no pin is taken after Destroy";
  EXPECT_EQ(pin->GetFilename(), Path("p.libqz"));
  EXPECT_FALSE(pin->Save(true, true));
  EXPECT_FALSE(pin->SaveIfChanged());
  EXPECT_FALSE(pin->Compact());
  // Nor does it make records: one would stay in the shared index after the library is freed.
  EXPECT_EQ(pin->OpenOrCreateItem("preset://p.libqz/new"), nullptr);
  EXPECT_EQ(pin->CreateItem("preset://p.libqz/new2"), nullptr);
  EXPECT_EQ(Bytes(Path("p.libqz")), before);
  pin.Reset(); // frees it; the fixture counts what is left
  BrowserDatabase* again = Open(Path("p.libqz"));
  EXPECT_EQ(again->GetItemCount(), count);
  EXPECT_EQ(again->OpenItem("preset://p.libqz/new"), nullptr);
  EXPECT_EQ(again->OpenItem("preset://p.libqz/new2"), nullptr);
}

// The index may hand a caller a record of a library it did not pin (another library with the same
// path): the open handle keeps that library in memory, readable and no longer written, until it
// is closed.
TEST_F(LibraryTest, AnOpenHandleKeepsItsLibraryUntilItIsClosed)
{
  BrowserDatabase* db = NewLibrary("h.libqz", "preset://h.libqz");
  Make(db, "preset://h.libqz/x", "kept")->Close();
  ASSERT_TRUE(db->Save());
  BrowserDatabase* other = NewLibrary("o.libqz", "preset://o.libqz");
  BrowserDatabaseItem* h = other->OpenItem("preset://h.libqz/x");
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(h->GetDatabase(), db);
  const Int64 live = orxhost::LiveBlockCount();
  BrowserDatabase::Destroy(db);
  EXPECT_EQ(orxhost::LiveBlockCount(), live) << "freed while a handle is open";
  EXPECT_EQ(other->OpenItem("preset://h.libqz/x"), nullptr);
  EXPECT_EQ(h->GetName(0x75730000), String("kept"));
  EXPECT_FALSE(h->SetName("changed", 0x75730000));
  h->Close();
  EXPECT_LT(orxhost::LiveBlockCount(), live) << "the last close frees it";
  BrowserDatabase* again = Open(Path("h.libqz"));
  h = again->OpenItem("preset://h.libqz/x");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetName(0x75730000), String("kept"));
  h->Close();
}

TEST_F(LibraryTest, RenameAndMoveFollowTheIndex)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  Make(db, "preset://a.libqz/f/x")->Close();
  Make(db, "preset://a.libqz/g")->Close();
  EXPECT_FALSE(db->MoveItem("preset://a.libqz/f/x", "preset://a.libqz/g"));
  ASSERT_TRUE(db->MoveItem("preset://a.libqz/f/x", "preset://a.libqz/h/x"));
  EXPECT_EQ(db->OpenItem("preset://a.libqz/f/x"), nullptr);
  NewLibrary("b.libqz", "preset://b.libqz");
  EXPECT_FALSE(db->Rename("preset://b.libqz"));
  ASSERT_TRUE(db->Rename("preset://c.libqz"));
  BrowserDatabaseItem* h = db->OpenItem("preset://c.libqz/h/x");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->GetHash(), hashindex::PathHash("preset://c.libqz/h/x"));
  h->Close();
  ASSERT_TRUE(db->Save());
  db = Reopen(db);
  EXPECT_EQ(db->GetName(), String("preset://c.libqz"));
  h = db->OpenItem("preset://c.libqz/h/x");
  ASSERT_NE(h, nullptr);
  h->Close();
}

TEST_F(LibraryTest, OuterStorage)
{
  BrowserDatabase* db = BrowserDatabase::Create(Path("BrowserDB"), String(), DBFLAG_MAIN | DBFLAG_OUTER_STORAGE);
  EXPECT_TRUE(GeFolderExists(Path("image")));
  BrowserDatabaseItem* h = Make(db, "file:///x/y.png");
  ASSERT_TRUE(h->SetData("plain", 5, dbitem::kStoreAsGiven));
  ASSERT_TRUE(h->AddPreview(3, "JPG", 3, 1, DateTime()));
  EXPECT_EQ(Bytes(Path("image/1_data")), "plain");
  EXPECT_EQ(Bytes(Path("image/1_3.jpg")), "JPG");
  h->Close();
  ASSERT_TRUE(db->Save());
  BrowserDatabase::Destroy(db);
  db = BrowserDatabase::Create(Path("BrowserDB"), String(), DBFLAG_MAIN | DBFLAG_OUTER_STORAGE);
  ASSERT_TRUE(db->Load());
  h = db->OpenItem("file:///x/y.png");
  ByteArray out;
  ASSERT_TRUE(h->GetPreviewData(3, &out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "JPG");
  ASSERT_TRUE(h->RemovePreview(3));
  EXPECT_FALSE(GeFileExists(Path("image/1_3.jpg")));
  h->Close();
}

TEST_F(LibraryTest, CompactionKeepsTheOldFileAsBackup)
{
  BrowserDatabase* db = NewLibrary("a.libqz", "preset://a.libqz");
  for (int i = 0; i < 6; ++i) {
    BrowserDatabaseItem* h = Make(db, String("preset://a.libqz/p") + String::FromInt(i), "p");
    std::string d(1000, char('a' + i));
    h->SetData(d.data(), Int64(d.size()), dbitem::kStoreAsGiven);
    h->AddPreview(0, "jpegbytes", 9, 4, DateTime());
    h->Close();
  }
  ASSERT_TRUE(db->Save());
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(db->DeleteItem(String("preset://a.libqz/p") + String::FromInt(i)));
  const std::string before = Bytes(Path("a.libqz"));
  ASSERT_TRUE(db->Save(false, false));
  EXPECT_TRUE(db->WantsCompaction());
  const std::string saved = Bytes(Path("a.libqz"));
  ASSERT_TRUE(db->Save(true, true));
  EXPECT_FALSE(db->WantsCompaction());
  EXPECT_FALSE(GeFileExists(Path("a.libqz.new")));
  EXPECT_GE(Bytes(Path("a.libqz.bak")).size(), saved.size());
  const std::string compacted = Bytes(Path("a.libqz"));
  EXPECT_LT(compacted.size(), before.size() / 3);
  EXPECT_EQ(compacted.find("ivld"), std::string::npos);
  db = Reopen(db);
  EXPECT_EQ(db->GetItemCount(), 1);
  BrowserDatabaseItem* h = db->OpenItem("preset://a.libqz/p5");
  ByteArray out;
  ASSERT_TRUE(h->GetData(&out));
  EXPECT_EQ(std::string(out.begin(), out.end()), std::string(1000, 'f'));
  ASSERT_TRUE(h->GetPreviewData(0, &out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "jpegbytes");
  h->Close();
}

TEST_F(LibraryTest, OldVersionsAreBroughtUpToDate)
{
  for (Int32 version : {2, 4, 6}) {
    SCOPED_TRACE(version);
    Filename f = Path((std::string("v") + std::to_string(version) + ".libqz").c_str());
    String name = String("preset://v") + String::FromInt(version) + ".libqz";
    ASSERT_TRUE(orxtest::WriteFile(f, OldLibrary(version, name, "the data", "the jpeg")));
    const std::string original = Bytes(f);
    BrowserDatabase* db = Open(f);
    EXPECT_EQ(db->GetVersion(), 7);
    // Brought up to date in memory; the file waits for the next save.
    EXPECT_FALSE(db->IsChanged());
    BrowserDatabaseItem* h = db->OpenItem(name + "/folder/red");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->GetHash(), hashindex::PathHash(name + "/folder/red"));
    ByteArray out;
    ASSERT_TRUE(h->GetPreviewData(0, &out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "the jpeg");
    ASSERT_TRUE(h->GetData(&out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "the data");
    h->Close();
    EXPECT_EQ(Bytes(f), original);
    ASSERT_TRUE(db->Save(true));
    BrowserDatabase::Destroy(db);
    std::string bytes = Bytes(f);
    if (version < 3) {
      // The tag words now name the item.
      std::size_t at = bytes.find("bina");
      ASSERT_NE(at, std::string::npos);
      EXPECT_EQ(bytes.substr(at + 4, 4), U32(1));
    }
    dbchunk::MemoryChunkSource src2(bytes.data(), Int64(bytes.size()));
    dbchunk::LibraryImage img;
    dbchunk::ReadLibrary(&src2, &img);
    EXPECT_EQ(img.version, 7);
    EXPECT_EQ(img.itemCount, 1);
    EXPECT_TRUE(img.items.GetContainer(1).GetContainerInstance(dbitem::kImages));
  }
}
