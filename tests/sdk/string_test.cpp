#include <set>
#include <string>
#include <vector>

#include "orxtest.h"

TEST(String, Utf8RoundTripAndInvalidBytes)
{
  const char* text = "Grüße 東京 \xF0\x9F\x98\x80 end";
  String s(text);
  EXPECT_EQ(s.ToUtf8(), text);
  EXPECT_EQ(s.GetLength(), 15); // the emoji takes two units
  // Invalid, overlong and truncated sequences never crash and become U+FFFD.
  String bad = String::FromBytes(std::string("a\xC0\xAF" "b\xE2\x82" "c\xFF", 8), StringEncoding::Utf8);
  EXPECT_EQ(bad.ToUtf8(), "a\xEF\xBF\xBD\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD");
  String latin = String::FromBytes("\xE9t\xE9", StringEncoding::Latin1);
  EXPECT_EQ(latin.ToUtf8(), "été");
  EXPECT_EQ(latin.ToLatin1(), "\xE9t\xE9");
}

TEST(String, CaseConversionKeepsLengthAndIgnoringCaseCompares)
{
  String s("straße ǅ ﬁ Ä");
  String up = s.ToUpper();
  EXPECT_EQ(up.GetLength(), s.GetLength());
  EXPECT_EQ(up.ToUtf8(), "STRAßE Ǆ ﬁ Ä"); // ß and the ligature have no one-unit upper form
  // The letters' neighbours in the ASCII table stay as they are.
  EXPECT_EQ(String("@AZ[`az{ Äé").ToUpper().ToUtf8(), "@AZ[`AZ{ ÄÉ");
  EXPECT_EQ(String("@AZ[`az{ Äé").ToLower().ToUtf8(), "@az[`az{ äé");
  EXPECT_TRUE(String("Preset://User.LIBQZ").IsEqualIgnoreCase(String("preset://user.libqz")));
  EXPECT_EQ(String("b").CaseCompare(String("A")), 1);
  EXPECT_TRUE(String("preset://x").StartsWithIgnoreCase(String("PRESET:/")));
  EXPECT_FALSE(String("pre").StartsWithIgnoreCase(String("preset")));
}

TEST(String, ComparisonsFindAndEdit)
{
  String s("a/b/c.libqz");
  Int32 pos = -1;
  EXPECT_TRUE(s.FindFirst(u'/', &pos));
  EXPECT_EQ(pos, 1);
  EXPECT_TRUE(s.FindLast(u'/', &pos));
  EXPECT_EQ(pos, 3);
  EXPECT_TRUE(s.FindLast(u'/', &pos, 2));
  EXPECT_EQ(pos, 1);
  EXPECT_FALSE(s.FindFirst(u'/', &pos, 4));
  EXPECT_TRUE(s.FindFirstIgnoreCase(String(".LIBQZ"), &pos));
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(s.ComparePart(String("a/bX"), 3), 0);
  EXPECT_NE(s.ComparePart(String("a/bX"), 4), 0);
  EXPECT_EQ(s.ComparePart(String("b/c"), 3, 2), 0);
  String t = s;
  t.Insert(5, String(".local"));
  EXPECT_EQ(t.ToUtf8(), "a/b/c.local.libqz");
  t.Delete(0, 4);
  EXPECT_EQ(t.ToUtf8(), "c.local.libqz");
  EXPECT_EQ(s.SubStr(2, 100).ToUtf8(), "b/c.libqz");
  EXPECT_TRUE(s.SubStr(50, 2).IsEmpty());
  EXPECT_LT(String("a").Compare(String("b")), 0);
}

TEST(String, LexicalOrderIsNatural)
{
  EXPECT_LT(String("apple").LexCompare(String("Banana")), 0);
  EXPECT_LT(String("file2").LexCompare(String("file10")), 0);
  EXPECT_LT(String("Äpfel").LexCompare(String("Birne")), 0);
  EXPECT_EQ(String("same").LexCompare(String("same")), 0);
  // Total order: names equal to the collator still compare by their units.
  EXPECT_NE(String("a").LexCompare(String("A")), 0);
  EXPECT_EQ(String("a").LexCompare(String("A")), -String("A").LexCompare(String("a")));
}

TEST(String, Numbers)
{
  Bool ok = false;
  EXPECT_EQ(String(" 42 ").ToInt32(&ok), 42);
  EXPECT_TRUE(ok);
  EXPECT_EQ(String("12x").ToInt32(&ok), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(String("99999999999").ToInt32(&ok), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(String("-9000000000").ToInt64(&ok), -9000000000LL);
  EXPECT_TRUE(ok);
  EXPECT_DOUBLE_EQ(String("2.5").ToFloat(&ok), 2.5);
  EXPECT_EQ(String::FromFloat(1.0 / 3.0, 2).ToUtf8(), "0.33");
  EXPECT_EQ(String::FromInt(-17).ToUtf8(), "-17");
}

TEST(Filename, PathParts)
{
  Filename f(String("/home/u/lib/user.libqz"));
  EXPECT_EQ(f.GetSuffix().ToUtf8(), "libqz");
  EXPECT_TRUE(f.CheckSuffix(String("LIBQZ")));
  EXPECT_EQ(f.GetDirectory().ToUtf8(), "/home/u/lib");
  EXPECT_EQ(f.GetFileString().ToUtf8(), "user.libqz");
  EXPECT_EQ((Filename(String("/a/")) + String("b")).ToUtf8(), "/a/b");
  EXPECT_EQ((Filename(String("/a")) + String("/b")).ToUtf8(), "/a/b");
  EXPECT_EQ(Filename(String("/x")).GetDirectory().ToUtf8(), "/");
  EXPECT_TRUE(Filename(String("/")).GetDirectory().IsEmpty() ||
              Filename(String("/")).GetDirectory().ToUtf8() == "/");
  EXPECT_EQ(Filename(String(".hidden")).GetSuffix().ToUtf8(), "");
  Filename g(String("/a.b/readme"));
  EXPECT_EQ(g.GetSuffix().ToUtf8(), "");
  g.SetSuffix(String("txt"));
  EXPECT_EQ(g.ToUtf8(), "/a.b/readme.txt");
  EXPECT_TRUE(Filename(String("/a/b/c")).IsInside(Filename(String("/a/b"))));
  EXPECT_FALSE(Filename(String("/a/bc")).IsInside(Filename(String("/a/b"))));
}

// "Inside" is judged on the paths as they read once "." and ".." parts are taken out, so that a name
// from outside that climbs out of a folder is never taken for one of its files.
TEST(String, PathsThatClimbOutOfAFolderAreNotInsideIt)
{
  auto inside = [](const char* path, const char* parent) {
    return bool(Filename(String(path)).IsInside(Filename(String(parent))));
  };
  EXPECT_FALSE(inside("/tmp/D/../../etc/x", "/tmp/D"));
  EXPECT_FALSE(inside("/tmp/D/..", "/tmp/D"));
  EXPECT_FALSE(inside("/tmp/D/a/../../E/x", "/tmp/D"));
  EXPECT_FALSE(inside("/tmp/D/../Dx", "/tmp/D"));
  EXPECT_FALSE(inside("/tmp/Dx/../E", "/tmp/D"));
  EXPECT_FALSE(inside("a/../../b", "a"));
  EXPECT_FALSE(inside("../a/b", "a"));
  EXPECT_FALSE(inside("/tmp/D/x", ""));

  EXPECT_TRUE(inside("/tmp/D/a/../b", "/tmp/D"));
  EXPECT_TRUE(inside("/tmp/D/./a", "/tmp/D"));
  EXPECT_TRUE(inside("/tmp/D//a/", "/tmp/D/"));
  EXPECT_TRUE(inside("/tmp/D", "/tmp/D"));
  EXPECT_TRUE(inside("/tmp/E/../D/x", "/tmp/D"));
  EXPECT_TRUE(inside("/x/../../etc", "/"));
  EXPECT_TRUE(inside("a/./b", "a"));
  EXPECT_TRUE(inside("/tmp/D/...", "/tmp/D"));
}

TEST(String, SystemBytesGoBackToTheSameBytes)
{
  const std::vector<std::string> names = {
      "caf\xE9", "caf\xC3\xA9", "\xFF\xFE", "cut\xE2\x82", "\xED\xA0\x80", "\xED\xB2\x80", "\xC0\xAF", "\xF4\x90\x80\x80",
      "\xF0\x9F\x98\x80", "a\x80" "b\xBF", std::string(1, '\xC3') + "(", "plain ascii", ""};
  std::set<String> texts;
  for (const std::string& bytes : names) {
    String s = String::FromBytes(bytes, StringEncoding::System);
    std::string back;
    EXPECT_TRUE(s.ToSystemBytes(&back)) << bytes;
    EXPECT_EQ(back, bytes);
    texts.insert(s);
    // Shown as text, each byte that is not UTF-8 is one U+FFFD.
    EXPECT_EQ(s.ToUtf8().find('\xFF'), std::string::npos);
  }
  EXPECT_EQ(texts.size(), names.size()) << "different bytes, different texts";
  EXPECT_EQ(String::FromBytes("caf\xE9", StringEncoding::System).ToUtf8(), "caf\xEF\xBF\xBD");
  // Valid UTF-8 decodes to its characters, not to escapes.
  EXPECT_EQ(String::FromBytes("caf\xC3\xA9 \xF0\x9F\x98\x80", StringEncoding::System), String("café 😀"));

  // Text that no bytes decode to cannot be a name: a zero, a surrogate that is not an escaped byte,
  // escaped bytes that together would read as a character.
  std::string out = "unchanged";
  for (const std::u16string& bad : {std::u16string(u"a\0b", 3), std::u16string(u"x\xD800"), std::u16string(u"\xDC41"),
                                    std::u16string(u"\xDCC3\xDCA9"), std::u16string(u"\xDE00\xD83D")}) {
    EXPECT_FALSE(String(std::u16string_view(bad)).ToSystemBytes(&out));
  }
  // A pair of surrogates is one character, not two escapes.
  EXPECT_TRUE(String(u"\U0001F600").ToSystemBytes(&out));
  EXPECT_EQ(out, "\xF0\x9F\x98\x80");
}

// A listing decodes every entry's name into the same text: each name comes out alone, as FromBytes
// gives it, whatever the text held before (longer, shorter, with runs of ASCII around bad bytes).
TEST(String, NamesDecodedIntoOneTextComeOutAlone)
{
  const std::vector<std::string> names = {"a rather long plain ascii name.txt", "caf\xC3\xA9", "x", "ascii then \xFF bad",
                                          "\xE2\x82", "", "\xF0\x9F\x98\x80 tail", "short"};
  for (StringEncoding enc : {StringEncoding::System, StringEncoding::Utf8, StringEncoding::Latin1}) {
    String one("left over from before");
    for (const std::string& bytes : names) {
      one.AssignBytes(bytes, enc);
      EXPECT_EQ(one, String::FromBytes(bytes, enc)) << bytes;
    }
  }
}
