#include <cstring>
#include <string>
#include <vector>

#include "base/browserurl.h"
#include "orxtest.h"

namespace {

BrowserURL Text(const char* s) { return BrowserURL(String(s)); }
BrowserURL File(const String& path) { return BrowserURL(Filename(path)); }
std::string Str(BrowserURL& u) { return u.GetString().ToUtf8(); }

// Reference: bit by bit, straight from the definition of the reflected IEEE polynomial.
UInt32 ReferenceCrc(const std::vector<UChar>& bytes)
{
  UInt32 c = 0xFFFFFFFFu;
  for (UChar b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k)
      c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}

Int32 ReferenceHash(const String& text)
{
  String upper = text.ToUpper();
  std::vector<UChar> bytes;
  for (Int32 i = 0; i < upper.GetLength(); ++i) {
    bytes.push_back(UChar(UInt16(upper[i]) >> 8));
    bytes.push_back(UChar(UInt16(upper[i]) & 0xFF));
  }
  return Int32(ReferenceCrc(bytes));
}

} // namespace

TEST(BrowserURL, NewAndFreedURLsAreEmptyTextURLs)
{
  BrowserURL u;
  EXPECT_EQ(u.GetFlags(), URLFLAG_TEXT_PRIMARY);
  EXPECT_FALSE(u.Content());
  u.SetString(String("preset:/"));
  u.GetHash();
  u.Free();
  EXPECT_EQ(u.GetFlags(), URLFLAG_TEXT_PRIMARY);
  EXPECT_FALSE(u.Content());
  u.SetFilename(Filename("/a"));
  u.Init();
  EXPECT_EQ(u.GetFlags(), URLFLAG_TEXT_PRIMARY);
  EXPECT_EQ(Str(u), "");
}

TEST(BrowserURL, TrailingSlashRule)
{
  struct Case
  {
    const char* in;
    const char* out;
  } cases[] = {
    {"preset://", "preset:/"},
    {"file:/", "file:/"},
    {"/", "/"},
    {"x/", "x/"},
    {"", ""},
    {"file://localhost/", "file://localhost"},
    {"file://localhost/D:/", "file://localhost/D:"},
    {"preset://user.libqz/", "preset://user.libqz"},
    {"preset:///", "preset://"}, // applied once
  };
  for (const Case& c : cases) {
    BrowserURL u = Text(c.in);
    EXPECT_EQ(Str(u), c.out) << c.in;
    EXPECT_EQ(u.GetFlags(), URLFLAG_TEXT_PRIMARY | URLFLAG_TEXT_VALID) << c.in;
  }
}

TEST(BrowserURL, AppendNameMakesATextURLAndDropsFileAndHash)
{
  BrowserURL u = Text("preset:/");
  u.AppendName(String("user.libqz"));
  EXPECT_EQ(Str(u), "preset://user.libqz");
  u.AppendName(String("Metals"));
  EXPECT_EQ(Str(u), "preset://user.libqz/Metals");

  BrowserURL f = Text("file:/");
  f.AppendName(String("localhost"));
  EXPECT_EQ(Str(f), "file://localhost");

  BrowserURL g = File(String("/a/b"));
  Int32 before = g.GetHash();
  g.AppendName(String("c"));
  EXPECT_EQ(g.GetFlags(), URLFLAG_TEXT_PRIMARY | URLFLAG_TEXT_VALID);
  EXPECT_EQ(Str(g), "file://localhost/a/b/c");
  EXPECT_NE(g.GetHash(), before);
  EXPECT_EQ(g.GetFilename(), Filename("/a/b/c"));
}

TEST(BrowserURL, DirectoryChainOfTextURLs)
{
  BrowserURL u = Text("file://localhost/D:/x");
  const char* chain[] = {"file://localhost/D:", "file://localhost", "file:/", ""};
  for (const char* expected : chain) {
    u.GetDirectory(&u); // the output may be the URL itself
    EXPECT_EQ(Str(u), expected);
    EXPECT_EQ(u.GetFlags() & ~URLFLAG_HASH_VALID, URLFLAG_TEXT_PRIMARY | URLFLAG_TEXT_VALID);
  }
  EXPECT_FALSE(u.Content());

  EXPECT_EQ(Text("preset://user.libqz").GetDirectory().GetString().ToUtf8(), "preset:/");
  EXPECT_EQ(Text("preset://user.libqz/Metals/Steel").GetDirectory().GetString().ToUtf8(),
            "preset://user.libqz/Metals");
  BrowserURL root = Text("preset:/").GetDirectory();
  EXPECT_EQ(Str(root), "");
  EXPECT_FALSE(root.Content());
  EXPECT_EQ(Text("x/").GetDirectory().GetString().ToUtf8(), "");
  EXPECT_EQ(Text("/").GetDirectory().GetString().ToUtf8(), "");
  EXPECT_EQ(Text("noslash").GetDirectory().GetString().ToUtf8(), "");
}

TEST(BrowserURL, DirectoryOfFileURLsEndsAtTheFileRoot)
{
  BrowserURL u = File(String("/a/b"));
  BrowserURL p = u.GetDirectory();
  EXPECT_EQ(p.GetFlags(), URLFLAG_FILE_VALID);
  EXPECT_EQ(p.GetFilename(), Filename("/a"));
  p = p.GetDirectory();
  EXPECT_EQ(p.GetFilename(), Filename("/"));
  p = p.GetDirectory();
  EXPECT_EQ(p.GetFlags(), URLFLAG_TEXT_PRIMARY | URLFLAG_TEXT_VALID);
  EXPECT_EQ(Str(p), "file:/");
  EXPECT_EQ(File(String("relative")).GetDirectory().GetString().ToUtf8(), "file:/");
}

TEST(BrowserURL, NativePathsRoundTripExactly)
{
  const char* paths[] = {"/", "/a/b", "/my folder/file name.txt", "/a.b/.hidden", "/a..b/c.",
                         "/Größe/日本語/ü.tif", "/back\\slash/x", "/tmp/a:b"};
  for (const char* p : paths) {
    const String path(p);
    BrowserURL fromFile = File(path);
    String text = fromFile.GetString();
    std::string expected = std::string(p) == "/" ? "file://localhost" : std::string("file://localhost") + p;
    EXPECT_EQ(text.ToUtf8(), expected);
    EXPECT_EQ(fromFile.GetFlags(), URLFLAG_FILE_VALID | URLFLAG_TEXT_VALID);

    BrowserURL fromText(text);
    Filename back;
    ASSERT_TRUE(fromText.GetFilename(&back)) << p;
    EXPECT_EQ(back.GetString(), path) << p;
    EXPECT_EQ(fromText.GetFlags(), URLFLAG_TEXT_PRIMARY | URLFLAG_TEXT_VALID | URLFLAG_FILE_VALID);
    // The same place hashes the same however the URL was made.
    EXPECT_EQ(fromText.GetHash(), fromFile.GetHash()) << p;
  }
  // Folder paths with a closing separator come out in the parsed normal form.
  EXPECT_EQ(File(String("/a/")).GetString().ToUtf8(), "file://localhost/a");
  EXPECT_EQ(Text("file://localhost/").GetFilename(), Filename("/"));
}

TEST(BrowserURL, ResolvingText)
{
  EXPECT_EQ(Text("FILE://LocalHost/x").GetFilename(), Filename("/x"));
  // Another host name glued to "localhost" is not a local path.
  BrowserURL other = Text("file://localhostile/etc");
  EXPECT_FALSE(other.IsFile());
  EXPECT_TRUE(other.GetFlags() & URLFLAG_NOT_A_FILE);

  BrowserURL preset = Text("preset://user.libqz");
  Filename out("/untouched");
  EXPECT_FALSE(preset.GetFilename(&out));
  EXPECT_EQ(out, Filename("/untouched"));
  EXPECT_TRUE(preset.GetFlags() & URLFLAG_NOT_A_FILE);
  EXPECT_TRUE(preset.GetFilename().IsEmpty());
  // A new text clears the mark.
  preset.SetString(String("file://localhost/tmp"));
  EXPECT_TRUE(preset.IsFile());
  EXPECT_FALSE(preset.GetFlags() & URLFLAG_NOT_A_FILE);

  BrowserURL empty;
  EXPECT_FALSE(empty.IsFile());

  // Both forms set: the file form is the one used, whatever the text says.
  BrowserURL both;
  both.SetFilenameAndString(Filename("/x/y"), String("preset://lib.libqz/"));
  EXPECT_EQ(both.GetFlags(), URLFLAG_TEXT_VALID | URLFLAG_FILE_VALID);
  EXPECT_TRUE(both.IsFile());
  EXPECT_EQ(both.GetFilename(), Filename("/x/y"));
  EXPECT_EQ(Str(both), "preset://lib.libqz");
}

// The form with an empty host ("file:///usr") names the same place as the form the module writes:
// the same text, hash, file and parent, so every lookup by URL finds one node.
TEST(BrowserURL, EmptyHostFileURLsAreTheLocalForm)
{
  const char* pairs[][2] = {
    {"file:///usr/share", "file://localhost/usr/share"},
    {"FILE:///usr/share/", "file://localhost/usr/share"},
    {"file:///", "file://localhost"},
    {"file:///a b/Größe", "file://localhost/a b/Größe"},
    {"File://LocalHost/x", "file://localhost/x"},
    {"file://LOCALHOST", "file://localhost"},
  };
  for (const auto& [given, local] : pairs) {
    BrowserURL a = Text(given), b = Text(local);
    EXPECT_EQ(Str(a), local) << given;
    EXPECT_EQ(a.GetHash(), b.GetHash()) << given;
    ASSERT_TRUE(a.IsFile()) << given;
    EXPECT_EQ(a.GetFilename(), b.GetFilename()) << given;
    EXPECT_EQ(a.GetDirectory().GetString(), b.GetDirectory().GetString()) << given;
    BrowserURL set, both;
    set.SetString(String(given));
    EXPECT_EQ(Str(set), local) << given;
    both.SetFilenameAndString(b.GetFilename(), String(given));
    EXPECT_EQ(Str(both), local) << given;
  }
  // Not the empty host: other hosts, "localhost" glued to more, and the file root stay as given.
  const char* kept[] = {"file:/", "file://server/share", "file://localhostile/etc", "file:/usr", "files:///x",
                        "preset:///x"};
  for (const char* k : kept) {
    BrowserURL u = Text(k);
    EXPECT_EQ(Str(u), k);
  }
  EXPECT_FALSE(Text("file://server/share").IsFile());
}

namespace {
Int32 g_resolverCalls = 0;
Bool ShareResolver(const BrowserURL& url, Filename* out)
{
  ++g_resolverCalls;
  *out = Filename("/net/share");
  return true;
}
Bool SelfResolver(const BrowserURL& url, Filename* out)
{
  ++g_resolverCalls;
  BrowserURL again(String("network://loop"));
  return again.GetFilename(out);
}
struct ResolverReset
{
  ~ResolverReset() { BrowserURL::SetNetworkResolver(nullptr); }
};
} // namespace

TEST(BrowserURL, NetworkURLsResolveThroughTheContentLayer)
{
  ResolverReset reset;
  BrowserURL none = Text("network://host/share");
  EXPECT_FALSE(none.IsFile());

  BrowserURL::SetNetworkResolver(ShareResolver);
  g_resolverCalls = 0;
  BrowserURL u = Text("network://host/share");
  EXPECT_EQ(u.GetFilename(), Filename("/net/share"));
  EXPECT_TRUE(u.IsFile());
  EXPECT_EQ(g_resolverCalls, 1); // the file form is kept

  BrowserURL::SetNetworkResolver(SelfResolver);
  g_resolverCalls = 0;
  BrowserURL loop = Text("network://loop");
  EXPECT_FALSE(loop.IsFile());
  EXPECT_GT(g_resolverCalls, 0);
  EXPECT_LT(g_resolverCalls, 10);
  EXPECT_TRUE(loop.GetFlags() & URLFLAG_NOT_A_FILE);
}

TEST(BrowserURL, LastPartAndSuffix)
{
  EXPECT_EQ(Text("preset:/").GetFileString().ToUtf8(), "");
  EXPECT_EQ(Text("noslash").GetFileString().ToUtf8(), "noslash");
  EXPECT_EQ(Text("preset://user.libqz/Metals/Steel 04").GetFileString().ToUtf8(), "Steel 04");
  EXPECT_EQ(File(String("/a/b.tif")).GetFileString().ToUtf8(), "b.tif");

  EXPECT_EQ(Text("preset://user.libqz").GetSuffix().ToUtf8(), "libqz");
  EXPECT_EQ(Text("file://localhost/D:/a.b/readme").GetSuffix().ToUtf8(), "");
  EXPECT_EQ(Text("preset://a.b/c").GetSuffix().ToUtf8(), "");
  EXPECT_EQ(Text("preset://lib.libqz/name.").GetSuffix().ToUtf8(), "");
  EXPECT_EQ(Text("file://localhost/x/y.TIF").GetSuffix().ToUtf8(), "TIF");
  EXPECT_EQ(File(String("/x/archive.tar.gz")).GetSuffix().ToUtf8(), "gz");

  EXPECT_TRUE(Text("file://localhost/x/y.TIF").CheckSuffix(String("tif")));
  EXPECT_FALSE(Text("file://localhost/x/y.tiff").CheckSuffix(String("tif")));
  EXPECT_TRUE(Text("preset://user.libqz").CheckSuffix(String("LIBQZ")));
  EXPECT_FALSE(Text("preset://user.libqz").CheckSuffix(String("libq")));
  EXPECT_FALSE(Text("preset://user").CheckSuffix(String("libqz")));
}

// The suffix read in place answers what GetSuffix answers, for every form a URL can take.
TEST(BrowserURL, SuffixReadInPlaceIsTheSuffix)
{
  const std::vector<std::string> paths = {
      "", "/", "a", "a.b", ".hidden", "/x/.hidden", "/x/.hidden.png", "/x/y.png", "/x/y.PNG", "/x/y.tar.gz",
      "/x.d/readme", "/x/y.", "/x/y..", "/x/folder.d/", "/x/folder.d//", "//", "/x/y.png/", "rel/y.jpg",
      "/x/\xc3\xa9t\xc3\xa9.jp\xc3\xa9g", "/x/y.a/b", "/x/..", "/x/.", "/x/y.verylongsuffixofmorethanfifteen"};
  std::vector<BrowserURL> urls;
  for (const std::string& p : paths) {
    urls.push_back(File(String(p.c_str())));
    urls.push_back(Text(("file://localhost" + p).c_str()));
    urls.push_back(Text(("FILE:///" + p).c_str()));
    urls.push_back(Text(("file://localhostname" + p).c_str()));
    urls.push_back(Text(("preset://lib.libqz" + p).c_str()));
    urls.push_back(Text(("catalog://c.catqz" + p).c_str()));
    urls.push_back(Text(p.c_str()));
  }
  urls.push_back(Text("file://localhost"));
  urls.push_back(Text("preset://user.libqz"));
  BrowserURL appended = File(String("/x/y.png"));
  appended.AppendName(String("z.tif"));
  urls.push_back(appended);
  for (Int32 resolved = 0; resolved < 2; ++resolved) {
    for (BrowserURL& u : urls) {
      if (resolved)
        u.IsFile(); // the file form or the not-a-file mark is now cached
      std::u16string_view view;
      ASSERT_TRUE(u.PeekSuffix(&view)) << Str(u);
      BrowserURL copy(u);
      EXPECT_EQ(String(view).ToUtf8(), copy.GetSuffix().ToUtf8()) << Str(u) << " resolved " << resolved;
    }
  }
  // Only the network resolver knows where a network URL points.
  std::u16string_view view;
  EXPECT_FALSE(Text("network:/share/y.png").PeekSuffix(&view));
}

TEST(BrowserURL, ContentFollowsThePrimaryForm)
{
  EXPECT_TRUE(Text("x").Content());
  EXPECT_FALSE(Text("").Content());
  EXPECT_TRUE(File(String("/a")).Content());
  EXPECT_FALSE(File(String("")).Content());
  BrowserURL u = File(String(""));
  EXPECT_EQ(Str(u), ""); // an empty file form has an empty text form
  EXPECT_FALSE(u.Content());
}

TEST(BrowserURL, CopiesAreDeepAndKeepState)
{
  BrowserURL a = Text("preset://user.libqz/Metals");
  Int32 h = a.GetHash();
  BrowserURL b;
  b.CopyFrom(a);
  EXPECT_EQ(b.GetFlags(), a.GetFlags());
  EXPECT_TRUE(b.GetFlags() & URLFLAG_HASH_VALID);
  EXPECT_EQ(b.GetHash(), h);
  a.AppendName(String("Gold"));
  EXPECT_EQ(Str(b), "preset://user.libqz/Metals");

  BrowserURL bad = Text("preset:/");
  EXPECT_FALSE(bad.IsFile());
  BrowserURL copy;
  copy.CopyFrom(bad);
  EXPECT_TRUE(copy.GetFlags() & URLFLAG_NOT_A_FILE);
}

TEST(BrowserURL, HashIsTheCrcOfTheUpperCaseBigEndianUnits)
{
  EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);
  const char* data = "The quick brown fox jumps over the lazy dog, twice over";
  for (std::size_t cut = 0; cut < 20; ++cut)
    EXPECT_EQ(Crc32(Crc32(0, data, cut), data + cut, std::strlen(data) - cut), Crc32(0, data, std::strlen(data)));

  EXPECT_EQ(BrowserPathHash(String()), 0);
  const char* texts[] = {"preset://user.libqz/Materials/Metals/Brushed Steel 04", "file://localhost/Größe/ß/日本",
                         "a", "catalog://Meine Sammlung.catqz/Ärger"};
  for (const char* t : texts) {
    BrowserURL u = Text(t);
    EXPECT_EQ(u.GetHash(), ReferenceHash(String(t))) << t;
    EXPECT_TRUE(u.GetFlags() & URLFLAG_HASH_VALID);
  }

  // Long paths: every unit counts, also across the 2048-unit blocks and with a surrogate pair
  // (a letter with an upper case outside the first plane) across the block border.
  const std::u16string pair = u"\U00010428";
  for (Int32 len : {2047, 2048, 2049, 4097, 6000}) {
    std::u16string units(std::size_t(len), u'a');
    units[std::size_t(len) - 1] = u'Ö';
    BrowserURL u{String(std::u16string_view(units))};
    EXPECT_EQ(u.GetHash(), ReferenceHash(String(std::u16string_view(units)))) << len;
    if (len > 2049) {
      std::u16string split = units;
      split.replace(2047, 2, pair);
      String s{std::u16string_view(split)};
      EXPECT_EQ(BrowserPathHash(s), ReferenceHash(s)) << len;
      EXPECT_EQ(BrowserPathHash(s), BrowserPathHash(s.ToUpper())) << len;
    }
    std::u16string changed = units;
    changed[std::size_t(len) - 2] = u'b';
    EXPECT_NE(BrowserPathHash(String(std::u16string_view(changed))), u.GetHash()) << len;
  }
}

TEST(BrowserURL, URLsDifferingOnlyInCaseHashEqual)
{
  EXPECT_EQ(Text("preset://User.libqz/Metals/Gold").GetHash(), Text("PRESET://user.LIBQZ/metals/GOLD").GetHash());
  EXPECT_EQ(Text("file://localhost/größe/ä").GetHash(), Text("file://localhost/GRÖßE/Ä").GetHash());
  EXPECT_NE(Text("preset://user.libqz/a").GetHash(), Text("preset://user.libqz/b").GetHash());
}

TEST(BrowserURL, StoredHashIsKeptUntilTheTextChanges)
{
  BrowserURL u = Text("preset://user.libqz");
  u.SetHash(1234);
  EXPECT_EQ(u.GetHash(), 1234);
  u.SetString(String("preset://user.libqz"));
  EXPECT_FALSE(u.GetFlags() & URLFLAG_HASH_VALID);
  EXPECT_EQ(u.GetHash(), ReferenceHash(String("preset://user.libqz")));
  u.SetHash(99);
  u.SetFilename(Filename("/x"));
  EXPECT_EQ(u.GetHash(), ReferenceHash(String("file://localhost/x")));
}

TEST(BrowserURL, FreeAndInitGiveBackTheMemoryAtOnce)
{
  const Int64 before = orxhost::LiveBlockCount();
  BrowserURL u = Text("preset://user.libqz/a very long name that does not fit a short string buffer");
  u.GetHash();
  EXPECT_GT(orxhost::LiveBlockCount(), before);
  u.Free();
  EXPECT_EQ(orxhost::LiveBlockCount(), before);
  BrowserURL f = File(String("/a/long/path/that/does/not/fit/a/short/string/buffer/at/all.tif"));
  f.GetString();
  f.Init();
  EXPECT_EQ(orxhost::LiveBlockCount(), before);
}
