// What one node's previews become: when a render is asked, what is stored where, and what is kept
// when a render fails.
#include "previewtest.h"

using namespace previewtest;

namespace {

class ProcessItemTest : public PreviewTest
{
};

TEST_F(ProcessItemTest, AChangedFileGetsANewPreviewAndAnUnchangedOneIsNotRenderedAgain)
{
  BGThread t;
  Ref<PicNode> n = MakeRef<PicNode>("a.png", FileURL("a.png"), &handler);
  EXPECT_TRUE(Previews(FileURL("a.png")).empty());
  EXPECT_TRUE(Process(t, n));
  EXPECT_EQ(handler.opened.load(), 1);
  EXPECT_EQ(handler.freed.load(), 1);
  auto p = Previews(FileURL("a.png"));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].a, 256); // 300 x 200 fitted into 256 x 256
  EXPECT_EQ(p[0].b, 171);
  EXPECT_EQ(p[0].quality, 1);
  EXPECT_TRUE(t.WasRendered());

  EXPECT_FALSE(Process(t, n));
  EXPECT_EQ(handler.opened.load(), 1);

  n->SetTime(2);
  EXPECT_TRUE(Process(t, n));
  EXPECT_EQ(handler.opened.load(), 2);
  p = Previews(FileURL("a.png"));
  ASSERT_EQ(p.size(), 1u); // the old one went once the new one was stored
  EXPECT_EQ(p[0].time.second, 2);
  // The rendered bitmap is in the preview cache under the stored image id.
  BrowserURL u{String(FileURL("a.png").c_str())};
  ItemHandle item(Main()->OpenItem(u.GetStringRef(), u.GetHash()));
  ASSERT_TRUE(item);
  BaseBitmap* cached = Main()->CacheGetCopy(UInt32(item->GetId()), UInt32(p[0].imageId));
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(cached->GetWidth(), 256);
  delete cached;
}

TEST_F(ProcessItemTest, AStalePreviewStaysWhenTheNewRenderFails)
{
  BGThread t;
  Ref<PicNode> n = MakeRef<PicNode>("b.png", FileURL("b.png"), &handler);
  ASSERT_TRUE(Process(t, n));
  ASSERT_EQ(Previews(FileURL("b.png")).size(), 1u);
  n->SetTime(5);
  handler.failBitmap = true;
  EXPECT_TRUE(Process(t, n));
  auto p = Previews(FileURL("b.png"));
  ASSERT_EQ(p.size(), 1u) << "a failed render took the only preview";
  EXPECT_EQ(p[0].time.second, 1);
}

TEST_F(ProcessItemTest, ContentWithoutPreviewDataIsMarkedAndNoIconIsStored)
{
  BGThread t;
  // A sound preset: its record exists, its handler has nothing to show.
  const std::string url = FileURL("take.wav");
  {
    BrowserURL u{String(url.c_str())};
    ItemHandle made(Main()->OpenOrCreateItem(u.GetStringRef(), u.GetHash()));
    ASSERT_TRUE(made);
  }
  handler.noData = true;
  Ref<PicNode> n = MakeRef<PicNode>("take.wav", url, &handler);
  EXPECT_TRUE(Process(t, n));
  Int32 flags = 0;
  EXPECT_TRUE(Previews(url, &flags).empty());
  EXPECT_NE(flags & dbitem::kNoPictureFlag, 0);
  EXPECT_FALSE(Process(t, n)); // not asked again while the file is unchanged
  EXPECT_EQ(handler.opened.load(), 1);
  n->SetTime(9);
  EXPECT_TRUE(Process(t, n));

  // The 1 x 1 answer means the same.
  handler.noData = false;
  handler.pictureW = 1;
  handler.pictureH = 1;
  n->SetTime(10);
  EXPECT_TRUE(Process(t, n));
  EXPECT_TRUE(Previews(url, &flags).empty());
  EXPECT_NE(flags & dbitem::kNoPictureFlag, 0);
}

TEST_F(ProcessItemTest, AFileGetsARecordOnlyWhenAPreviewIsStored)
{
  BGThread t;
  handler.noData = true;
  Ref<PicNode> n = MakeRef<PicNode>("song.mp3", FileURL("song.mp3"), &handler);
  Process(t, n);
  Int32 flags = 0;
  Previews(FileURL("song.mp3"), &flags);
  EXPECT_EQ(flags, -1) << "a record was made for a file with nothing to store";
}

TEST_F(ProcessItemTest, PreviewsFitTheBoxKeepTheirAspectAndAreNeverEnlarged)
{
  Int32 w = 0, h = 0;
  FitPreviewSize(1000, 500, 256, 256, &w, &h);
  EXPECT_EQ(w, 256);
  EXPECT_EQ(h, 128);
  FitPreviewSize(500, 1000, 256, 128, &w, &h);
  EXPECT_EQ(w, 64);
  EXPECT_EQ(h, 128);
  FitPreviewSize(64, 32, 256, 256, &w, &h);
  EXPECT_EQ(w, 64);
  EXPECT_EQ(h, 32);

  BGThread t;
  handler.pictureW = 64;
  handler.pictureH = 32;
  Ref<PicNode> n = MakeRef<PicNode>("small.png", FileURL("small.png"), &handler);
  ASSERT_TRUE(Process(t, n));
  auto p = Previews(FileURL("small.png"));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].a, 64);
  EXPECT_EQ(p[0].b, 32);
  // Its own size is kept, so the small preview counts as complete.
  EXPECT_FALSE(Process(t, n));
  EXPECT_EQ(handler.opened.load(), 1);

  handler.pictureW = 900;
  handler.pictureH = 300;
  Ref<PicNode> wide = MakeRef<PicNode>("wide.png", FileURL("wide.png"), &handler);
  ASSERT_TRUE(Process(t, wide));
  p = Previews(FileURL("wide.png"));
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].a, 256);
  EXPECT_EQ(p[0].b, 85);
}

TEST_F(ProcessItemTest, TheTypeOfARecordIsSetOnlyWhenItHasNone)
{
  BGThread t;
  const std::string typed = FileURL("typed.png"), untyped = FileURL("untyped.png");
  {
    BrowserURL u{String(typed.c_str())};
    ItemHandle made(Main()->OpenOrCreateItem(u.GetStringRef(), u.GetHash()));
    ASSERT_TRUE(made);
    made->SetType(HANDLER_ID_BASEMATERIAL);
  }
  Ref<PicNode> a = MakeRef<PicNode>("typed.png", typed, &handler);
  Ref<PicNode> b = MakeRef<PicNode>("untyped.png", untyped, &handler);
  ASSERT_TRUE(Process(t, a));
  ASSERT_TRUE(Process(t, b));
  Int32 type = 0;
  ASSERT_EQ(Previews(typed, nullptr, &type).size(), 1u);
  EXPECT_EQ(type, HANDLER_ID_BASEMATERIAL);
  ASSERT_EQ(Previews(untyped, nullptr, &type).size(), 1u);
  EXPECT_EQ(type, kFakeHandlerId);
}

TEST_F(ProcessItemTest, TheTimeLimitIsReadWithinOneSecondAndAnHour)
{
  SetBrowserPref(BROWSER_PREF_TIME_LIMIT, GeData(Float(0)));
  EXPECT_EQ(ReadBackgroundPrefs().limitSeconds, 1);
  SetBrowserPref(BROWSER_PREF_TIME_LIMIT, GeData(Int32(-7)));
  EXPECT_EQ(ReadBackgroundPrefs().limitSeconds, 1);
  SetBrowserPref(BROWSER_PREF_TIME_LIMIT, GeData(Float(1e12)));
  EXPECT_EQ(ReadBackgroundPrefs().limitSeconds, 3600);
  SetBrowserPref(BROWSER_PREF_TIME_LIMIT, GeData(Float(12.9)));
  EXPECT_EQ(ReadBackgroundPrefs().limitSeconds, 12);
  SetBrowserPref(BROWSER_PREF_PREVIEW_WIDTH, GeData(Int32(2000)));
  SetBrowserPref(BROWSER_PREF_PREVIEW_HEIGHT, GeData(Int32(0)));
  EXPECT_EQ(ReadBackgroundPrefs().width, 1024);
  EXPECT_EQ(ReadBackgroundPrefs().height, 128);

  // A limit stored as 0 does not fail a render of a few milliseconds for good.
  SetBrowserPref(BROWSER_PREF_TIME_LIMIT, GeData(Float(0)));
  BGThread t;
  t.Wake(); // reads the settings into the worker; there is nothing to do
  handler.slowMs = 20;
  handler.worker = &t;
  const std::string url = FileURL("quick.png");
  Ref<PicNode> n = MakeRef<PicNode>("quick.png", url, &handler);
  ASSERT_TRUE(Process(t, n));
  Int32 flags = 0;
  EXPECT_EQ(Previews(url, &flags).size(), 1u);
  EXPECT_EQ(flags & dbitem::kRenderFailedFlag, 0);
}

TEST_F(ProcessItemTest, ARenderOverTheLimitFailsForGoodUntilItIsForced)
{
  SetBrowserPref(BROWSER_PREF_TIME_LIMIT, GeData(Float(1)));
  BGThread t;
  t.Wake();
  handler.worker = &t;
  const std::string url = FileURL("slow.png");
  {
    // A record that already holds an old preview.
    BrowserURL u{String(url.c_str())};
    ItemHandle made(Main()->OpenOrCreateItem(u.GetStringRef(), u.GetHash()));
    ASSERT_TRUE(made);
  }
  Ref<PicNode> n = MakeRef<PicNode>("slow.png", url, &handler);
  handler.slowMs = 20000;
  EXPECT_TRUE(Process(t, n));
  EXPECT_EQ(handler.brokeOff.load(), 1) << "TestBreak never answered true";
  Int32 flags = 0;
  EXPECT_TRUE(Previews(url, &flags).empty());
  EXPECT_NE(flags & dbitem::kRenderFailedFlag, 0);

  EXPECT_FALSE(Process(t, n)); // no retry
  EXPECT_EQ(handler.opened.load(), 1);

  handler.slowMs = 0;
  EXPECT_TRUE(Process(t, n, true));
  EXPECT_EQ(handler.opened.load(), 2);
  EXPECT_EQ(Previews(url, &flags).size(), 1u);
  EXPECT_EQ(flags & dbitem::kRenderFailedFlag, 0);
}

TEST_F(ProcessItemTest, AReadOnlyLibraryIsLeftByteForByte)
{
  const Filename file = contenttest::UserFolder() + String("fixed.libqz");
  ASSERT_TRUE(contenttest::MakeLibrary(file, "preset://fixed.libqz", {{"mat"}}));
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  ASSERT_NE(db, nullptr);
  ASSERT_TRUE(db->Load());
  ASSERT_TRUE(db->Protect());
  ASSERT_TRUE(db->IsReadOnly());
  const std::string before = orxtest::ReadFile(file);
  ASSERT_FALSE(before.empty());

  BGThread t;
  Ref<PicNode> n = MakeRef<PicNode>("mat", "preset://fixed.libqz/mat", &handler);
  Process(t, n);
  Process(t, n, true);
  EXPECT_TRUE(Previews("preset://fixed.libqz/mat").empty());
  db->Save();
  BrowserDatabase::Destroy(db);
  EXPECT_EQ(orxtest::ReadFile(file), before);
}

} // namespace

namespace {

TEST_F(ProcessItemTest, RecordsOfVanishedFilesAreDroppedWhenTheDatabaseIsCompacted)
{
  const Filename folder = orxtest::TempDir() + String("vanishing");
  contenttest::EmptyFolder(folder);
  ASSERT_TRUE(orxtest::WriteFile(folder + String("here.png"), "x"));
  auto url = [&](const char* name) { return BrowserURL(folder + String(name)).GetString().ToUtf8(); };
  const std::string here = url("here.png"), gone = url("gone.png"), noted = url("noted.png");
  const std::string unmounted = "file:///no/such/volume/pic.png";
  BGThread t;
  for (const std::string& u : {here, gone, noted, unmounted}) {
    Ref<PicNode> n = MakeRef<PicNode>("p", u, &handler);
    ASSERT_TRUE(Process(t, n));
  }
  {
    BrowserURL u{String(noted.c_str())};
    ItemHandle item(Main()->OpenItem(u.GetStringRef(), u.GetHash()));
    ASSERT_TRUE(item);
    item->SetAnnotation(String("the user's words"));
  }
  // Few dead bytes: nothing is dropped before a compaction.
  EXPECT_EQ(DropVanishedFileRecords(Main(), true), 0);
  EXPECT_EQ(DropVanishedFileRecords(Main(), false), 1);
  Int32 flags = 0;
  Previews(gone, &flags);
  EXPECT_EQ(flags, -1) << "the record of the vanished file stayed";
  EXPECT_EQ(Previews(here).size(), 1u);
  EXPECT_EQ(Previews(noted).size(), 1u);
  EXPECT_EQ(Previews(unmounted).size(), 1u);
  contenttest::EmptyFolder(folder);
}

} // namespace
