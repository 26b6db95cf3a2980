// Path hashes are stored in library files: they are fixed values, whatever case mapping the host
// has.
#include "presettest.h"

namespace {
struct Known
{
  const char16_t* path;
  Int32 hash;
};
// Worked out from the Unicode 14.0.0 simple upper case and the reflected CRC-32 of the UTF-16
// units in file order, outside this code.
constexpr Known kKnown[] = {
    {u"", 0},
    {u"preset://user.libqz/Materials/Red Plastic", -867515645},
    {u"preset://a.libqz/\u00c4rger/stra\u00dfe", -2059490708}, // sharp s has no single upper case
    {u"preset://a.libqz/\u10d0\u10da", -758925280},             // Georgian: mapped to Mtavruli
    {u"preset://a.libqz/\U00010428", 203275938},                // a surrogate pair
    {u"preset://a.libqz/\u1fb3\u00b5", -719846431},
};

// A host whose case library maps nothing outside ASCII, as an older one maps less.
void NoCaseMapping(Utf16Char*, Int32) {}
} // namespace

TEST(PathHash, FixedValuesWhateverTheHostCaseMapping)
{
  for (const Known& k : kKnown)
    EXPECT_EQ(hashindex::PathHash(String(std::u16string_view(k.path))), k.hash) << String(k.path).ToUtf8();
  const OrxHostTable* real = OrxGetHostTable();
  ASSERT_NE(real, nullptr);
  OrxHostTable other = *real;
  OrxTextTable text = *real->text;
  text.toUpper = NoCaseMapping;
  other.text = &text;
  OrxInstallHostTable(&other);
  for (const Known& k : kKnown)
    EXPECT_EQ(hashindex::PathHash(String(std::u16string_view(k.path))), k.hash) << String(k.path).ToUtf8();
  // Upper and lower case hash alike, and compare alike.
  const String lower = String(u"preset://a.libqz/\u10d0\u00e4\U00010428"), upper = String(u"PRESET://A.LIBQZ/\u1c90\u00c4\U00010400");
  EXPECT_EQ(hashindex::PathHash(lower), hashindex::PathHash(upper));
  OrxInstallHostTable(real);
}
