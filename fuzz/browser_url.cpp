// URLs come back from library and catalog files as text. Any text must give a URL whose
// operations end, agree with each other and never touch memory they should not.
// Input: UTF-8 text; a NUL byte, when there is one, separates a name to append.
#include <cstdlib>
#include <string_view>

#include "base/browserurl.h"
#include "services/host.h"

namespace {
void Check(bool ok)
{
  if (!ok)
    std::abort();
}

bool EmptyFileHost(const String& s)
{
  constexpr std::u16string_view prefix = u"file:///";
  if (s.GetLength() < Int32(prefix.size()))
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const Utf16Char c = s[Int32(i)];
    if ((c >= u'A' && c <= u'Z' ? Utf16Char(c + 32) : c) != prefix[i])
      return false;
  }
  return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = (orxhost::InstallForThisProcess(), true);
  (void)installed;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::size_t nul = bytes.find('\0');
  String text = String::FromBytes(bytes.substr(0, nul), StringEncoding::Utf8);
  String name = nul == std::string_view::npos ? String() : String::FromBytes(bytes.substr(nul + 1), StringEncoding::Utf8);

  BrowserURL url(text);
  // The suffix read in place, before and after the URL resolved, is the suffix.
  {
    BrowserURL copy(url);
    std::u16string_view peeked;
    if (url.PeekSuffix(&peeked))
      Check(String(peeked) == copy.GetSuffix());
  }
  const String normal = url.GetString();
  // Only an empty file host grows, by the "localhost" put in.
  Check(normal.GetLength() <= text.GetLength() + 9);

  // Case never changes the hash, unless upper case makes the scheme of an empty file host out of
  // other letters (a dotless "i", a ligature), which then gets its host.
  const String upperText = text.ToUpper();
  BrowserURL upper(upperText);
  if (EmptyFileHost(text) == EmptyFileHost(upperText))
    Check(url.GetHash() == upper.GetHash());
  Check(url.GetHash() == BrowserPathHash(normal));

  // The parent chain gets shorter at every step and ends at the empty URL.
  BrowserURL parent = url;
  Int32 length = parent.GetString().GetLength();
  for (Int32 steps = 0; parent.Content(); ++steps) {
    Check(steps <= normal.GetLength());
    parent.GetDirectory(&parent);
    Int32 next = parent.GetString().GetLength();
    Check(next < length);
    length = next;
  }

  // A file found for the text leads back to itself.
  Filename file;
  if (url.GetFilename(&file)) {
    Check(url.IsFile());
    const String& p = file.GetString();
    if (p.GetLength() > 0 && p[0] == u'/' && (p.GetLength() == 1 || p[p.GetLength() - 1] != u'/')) {
      BrowserURL again(BrowserURL(file).GetString());
      Check(again.GetFilename() == file);
    }
  } else {
    Check(!url.IsFile());
    Check(url.GetFlags() & URLFLAG_NOT_A_FILE);
  }

  String suffix = url.GetSuffix();
  Check(url.CheckSuffix(suffix));
  std::u16string_view peeked;
  Check(url.PeekSuffix(&peeked) && String(peeked) == suffix);
  BrowserURL fromFile(file);
  Check(fromFile.PeekSuffix(&peeked) && String(peeked) == fromFile.GetSuffix());

  // Appending a plain name and going up again gives the URL back (when its text is in normal form).
  Int32 slash = -1;
  if (name.Content() && !name.FindFirst(u'/', &slash) && BrowserURL(normal).GetString() == normal) {
    BrowserURL child(normal);
    child.AppendName(name);
    Check(child.GetFileString() == name);
    Check(child.GetDirectory().GetString() == normal);
  }
  return 0;
}
