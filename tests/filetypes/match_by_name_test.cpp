// The match by name answered from the registry's suffix table gives what asking every handler in
// registration order gives, for the real handlers' rules mixed with handlers that have to be asked,
// while handlers come and go.
#include <set>
#include <string>
#include <vector>

#include "filetypes/filetypeplugins.h"
#include "handlertest.h"
#include "presets/catalognode.h"

using handlertest::TestHandler;

namespace {

class MatchByName : public ::testing::Test
{
protected:
  void SetUp() override { ReleasePluginRegistry(); }
  void TearDown() override { ReleasePluginRegistry(); }

  // What the registry answered before it had a table: each file-identifying handler asked in turn.
  BrowserPluginInterface* AskEveryHandler(const BrowserURL& url) const
  {
    for (Int32 i = 0; BrowserPluginInterface* h = GetPlugin(i); ++i) {
      if (notFiles_.count(h))
        continue;
      BrowserURL u(url);
      if (h->Identify(u, nullptr, 0, 0))
        return h;
    }
    return nullptr;
  }

  // Every URL: the answer of FindPluginForURL by name against the answer of asking.
  void ExpectSameAnswers(const char* phase) const
  {
    Int32 matched = 0;
    for (const BrowserURL& url : urls_) {
      BrowserPluginInterface* h = reinterpret_cast<BrowserPluginInterface*>(1);
      const Bool found = FindPluginForURL(url, false, &h);
      BrowserPluginInterface* expected = AskEveryHandler(url);
      BrowserURL shown(url);
      ASSERT_EQ(h, expected) << phase << ": " << shown.GetString().ToUtf8() << " found "
                             << (h ? h->GetPluginID(nullptr) : 0) << ", asking finds "
                             << (expected ? expected->GetPluginID(nullptr) : 0);
      ASSERT_EQ(found, expected != nullptr);
      matched += expected != nullptr;
    }
    // The names are chosen so that both outcomes are common.
    EXPECT_GT(matched, Int32(urls_.size()) / 10) << phase;
    EXPECT_LT(matched, Int32(urls_.size()) * 9 / 10) << phase;
  }

  void MakeURLs()
  {
    std::vector<std::u16string> suffixes;
    for (Int32 i = 0; BrowserPluginInterface* h = GetPlugin(i); ++i) {
      auto* f = dynamic_cast<FileTypePlugin*>(h);
      if (!f || !f->Table().suffixes)
        continue;
      for (Int32 k = 0; k < f->Table().suffixCount; ++k) {
        const String s(f->Table().suffixes[k]);
        suffixes.emplace_back(s.View());
        const String upper = s.ToUpper();
        suffixes.emplace_back(upper.View());
        // One letter changed in case: "Jpg".
        std::u16string mixed(s.View());
        mixed[0] = upper[0];
        suffixes.emplace_back(mixed);
      }
    }
    for (const char16_t* s : {u"catqz", u"CATQZ", u"CatQz", u"catq", u"catqzz", u"gz", u"tar.gz", u"txt", u"doc",
                              u"", u"jpé", u"JPÉ", u"jp\u00ff", u"p\u0130ng", u"tgz", u"verylongsuffixofsixteen",
                              u"fifteen_letters", u"sixteen_letters_"})
      suffixes.emplace_back(s);
    // A suffix with a zero unit: the handlers that compare bytes stop there.
    suffixes.push_back(std::u16string(u"jpg") + char16_t(0) + u"x");

    Int32 i = 0;
    for (const std::u16string& s : suffixes) {
      const String name = String("name") + String::FromInt(i++) + (s.empty() ? String() : String(".") + String(s));
      urls_.emplace_back(Filename(String("/srv/some.folder/") + name));
      urls_.emplace_back(String("file:///srv/x/") + name);
      urls_.emplace_back(String("preset://lib.libqz/Folder/") + name);
      urls_.emplace_back(String("catalog://c.catqz/") + name);
    }
    for (const char* text : {"/srv/.png", "/srv/x.png/", "/srv/folder.jpg/", "/srv/a.", "/srv/noext", "/", ""})
      urls_.emplace_back(Filename(String(text)));
    for (const char* text : {"file://localhostname/x.png", "network:/share/x.png", "preset://lib.png", "x.png",
                             "catalog://big.catqz"})
      urls_.emplace_back(String(text));
  }

  std::set<BrowserPluginInterface*> notFiles_;
  std::vector<BrowserURL> urls_;
};

} // namespace

TEST_F(MatchByName, TableAnswersAsAskingEveryHandlerWhileHandlersComeAndGo)
{
  // Asked handlers before, between and after the ones with rules; some claim what a rule claims.
  TestHandler tif(1, "tif", ""), jpgNotFiles(2, "jpg", ""), upperPng(3, "PNG", ""), gz(4, "gz", ""),
      png(5, "png", ""), catqz(6, "CATQZ", ""), empty(7, "", "");
  ASSERT_TRUE(RegisterPlugin(&tif, 1));
  ASSERT_TRUE(RegisterPlugin(&jpgNotFiles, 0));
  notFiles_.insert(&jpgNotFiles);
  RegisterFileTypePlugins(0);
  ASSERT_TRUE(RegisterPlugin(&upperPng, 1));
  ASSERT_TRUE(RegisterPlugin(GetCatalogFilePlugin(), 1, false, &BrowserCatalogFilePlugin::ByName()));
  ASSERT_TRUE(RegisterPlugin(&catqz, 1));
  RegisterFileTypePlugins(1);
  ASSERT_TRUE(RegisterPlugin(&gz, 1));
  ASSERT_TRUE(RegisterPlugin(&png, 1));
  ASSERT_TRUE(RegisterPlugin(&empty, 1));
  for (Int32 id : {HANDLER_ID_UNKNOWN_FILE, HANDLER_ID_FOLDER})
    notFiles_.insert(FindPluginByID(id));
  MakeURLs();
  ASSERT_GT(urls_.size(), 500u);
  ExpectSameAnswers("all registered");

  // A rule of a handler that does not identify files counts for nothing.
  static constexpr const char* kJpg[] = {"jpg", "txt"};
  const SuffixMatch jpgRule{kJpg, 2, false};
  TestHandler ruledNotFiles(8, "jpg", "");
  ASSERT_TRUE(RegisterPlugin(&ruledNotFiles, 0, false, &jpgRule));
  notFiles_.insert(&ruledNotFiles);
  ExpectSameAnswers("a rule without files");

  // The asked handler in front goes: tif names fall to the image handler.
  ASSERT_TRUE(UnregisterPlugin(&tif));
  ExpectSameAnswers("first asked handler gone");

  // The image handler goes: its suffixes fall to later handlers or to none.
  BrowserPluginInterface* image = FindPluginByID(HANDLER_ID_IMAGE);
  ASSERT_TRUE(UnregisterPlugin(image));
  delete image;
  ExpectSameAnswers("image handler gone");

  // The catalog file handler goes: "CATQZ" is the asked handler's, other cases nobody's.
  ASSERT_TRUE(UnregisterPlugin(GetCatalogFilePlugin()));
  ExpectSameAnswers("catalog file handler gone");

  // A new image handler comes last, behind the asked png handler.
  RegisterFileTypePlugins(0);
  ExpectSameAnswers("image handler again, last");

  // The same handler twice: the first entry counts, and once it goes the second does. A file-type
  // handler registered without its rule is asked like any other.
  static constexpr const char* kPng[] = {"png"};
  const SuffixMatch pngRule{kPng, 1, false};
  ASSERT_TRUE(RegisterPlugin(&png, 1, false, &pngRule));
  BrowserPluginInterface* movie = FindPluginByID(HANDLER_ID_MOVIE);
  ASSERT_TRUE(UnregisterPlugin(movie));
  ASSERT_TRUE(RegisterPlugin(movie, 1, true));
  ExpectSameAnswers("handlers registered twice");
  ASSERT_TRUE(UnregisterPlugin(&png));
  ExpectSameAnswers("first of two entries gone");
}

// Handlers with a rule are not called for a match by name, so that names are matched at the cost of
// one table lookup; a handler without one still is.
TEST_F(MatchByName, HandlersWithARuleAreNotCalled)
{
  static constexpr const char* kPng[] = {"png"};
  const SuffixMatch rule{kPng, 1, false};
  TestHandler ruled(1, "png", ""), asked(2, "png", "");
  ASSERT_TRUE(RegisterPlugin(&ruled, 1, false, &rule));
  ASSERT_TRUE(RegisterPlugin(&asked, 1));
  BrowserPluginInterface* h = nullptr;
  EXPECT_TRUE(FindPluginForURL(BrowserURL(Filename(String("/x/a.png"))), false, &h));
  EXPECT_EQ(h, &ruled);
  EXPECT_FALSE(FindPluginForURL(BrowserURL(Filename(String("/x/a.tif"))), false, &h));
  EXPECT_EQ(ruled.nameCalls.load(), 0);
  EXPECT_EQ(asked.nameCalls.load(), 1);
}
