// BrowserURL. On this platform a native path P ("/a/b") is the text "file://localhost" + P, and
// the text after "file://localhost" is the path again ("" meaning "/"), so the round trip is exact.
#include "base/browserurl.h"

#include <atomic>
#include <string_view>
#include <utility>

namespace {

constexpr std::u16string_view kFileHost = u"file://localhost";
constexpr std::u16string_view kNetworkRoot = u"network:/";

std::atomic<BrowserURL::NetworkResolver> g_networkResolver{nullptr};

// A resolver that hands back another network URL must not recurse without end.
thread_local Int32 t_networkDepth = 0;
constexpr Int32 kMaxNetworkDepth = 4;

// Scheme and host names are ASCII; a full case mapping would let look-alike letters in.
Bool StartsWithAsciiIgnoreCase(const String& s, std::u16string_view prefix)
{
  if (s.GetLength() < Int32(prefix.size()))
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    Utf16Char a = s[Int32(i)];
    Utf16Char b = prefix[i];
    if (a >= u'A' && a <= u'Z')
      a = Utf16Char(a + 32);
    if (b >= u'A' && b <= u'Z')
      b = Utf16Char(b + 32);
    if (a != b)
      return false;
  }
  return true;
}

// "preset://" -> "preset:/", "file://localhost/" -> "file://localhost"; "file:/" and "/" stay.
void ApplyTrailingSlashRule(String& s)
{
  const Int32 n = s.GetLength();
  if (n < 2 || s[n - 1] != u'/')
    return;
  Int32 pos = -1;
  if (s.FindLast(u'/', &pos, n - 2))
    s.Delete(n - 1, 1);
}

// Other programs write local files with an empty host ("file:///usr"), and scheme and host in any
// letter case: all become the one form the module writes, so that texts, hashes and node lookups
// agree. Other hosts stay as they are (and resolve to no file).
void NormalizeFileHost(String& s)
{
  constexpr std::u16string_view kEmptyHost = u"file:///";
  const Int32 hostLen = Int32(kFileHost.size());
  if (StartsWithAsciiIgnoreCase(s, kEmptyHost)) {
    const Int32 pathAt = Int32(kEmptyHost.size()) - 1; // the path keeps its "/"
    s = String(kFileHost) + s.SubStr(pathAt, s.GetLength() - pathAt);
  } else if (StartsWithAsciiIgnoreCase(s, kFileHost) && (s.GetLength() == hostLen || s[hostLen] == u'/')) {
    for (Int32 i = 0; i < hostLen; ++i)
      if (s[i] != kFileHost[std::size_t(i)]) {
        s = String(kFileHost) + s.SubStr(hostLen, s.GetLength() - hostLen);
        break;
      }
  }
}

// The text after the last "/", or the whole text.
String LastPart(const String& s)
{
  Int32 pos = -1;
  if (!s.FindLast(u'/', &pos))
    return s;
  return s.SubStr(pos + 1, s.GetLength() - pos - 1);
}

template <typename T>
void Release(T& value)
{
  T dead(std::move(value)); // moving out frees the storage; assigning an empty value may keep it
}

} // namespace

void BrowserURL::SetNetworkResolver(NetworkResolver resolver) { g_networkResolver.store(resolver); }

void BrowserURL::Init()
{
  Free();
}

void BrowserURL::Free()
{
  Release(file_);
  Release(text_);
  flags_ = URLFLAG_TEXT_PRIMARY;
  hash_ = 0;
}

void BrowserURL::AppendName(const String& name)
{
  MakeText();
  text_ += u'/';
  text_ += name;
  ApplyTrailingSlashRule(text_);
  Release(file_);
  flags_ = URLFLAG_TEXT_PRIMARY | URLFLAG_TEXT_VALID;
  hash_ = 0;
}

void BrowserURL::SetFilename(const Filename& file)
{
  file_ = file;
  Release(text_);
  flags_ = URLFLAG_FILE_VALID;
  hash_ = 0;
}

void BrowserURL::SetString(const String& text)
{
  text_ = text;
  NormalizeFileHost(text_);
  ApplyTrailingSlashRule(text_);
  Release(file_);
  flags_ = URLFLAG_TEXT_PRIMARY | URLFLAG_TEXT_VALID;
  hash_ = 0;
}

void BrowserURL::SetFilenameAndString(const Filename& file, const String& text)
{
  file_ = file;
  text_ = text;
  NormalizeFileHost(text_);
  ApplyTrailingSlashRule(text_);
  flags_ = URLFLAG_TEXT_VALID | URLFLAG_FILE_VALID;
  hash_ = 0;
}

void BrowserURL::MakeText()
{
  if (flags_ & URLFLAG_TEXT_VALID)
    return;
  const String& path = file_.GetString();
  if (path.IsEmpty()) {
    Release(text_);
  } else {
    String text(kFileHost);
    if (path[0] != u'/')
      text += u'/';
    text += path;
    // The same normal form as a parsed URL, so that both hash and compare equal.
    ApplyTrailingSlashRule(text);
    text_ = std::move(text);
  }
  flags_ |= URLFLAG_TEXT_VALID;
}

const String& BrowserURL::GetStringRef()
{
  MakeText();
  return text_;
}

void BrowserURL::GetString(String* out)
{
  MakeText();
  *out = text_;
}

Bool BrowserURL::Resolve()
{
  if (flags_ & URLFLAG_NOT_A_FILE)
    return false;
  if ((flags_ & URLFLAG_FILE_VALID) || !(flags_ & URLFLAG_TEXT_PRIMARY))
    return true;
  if (StartsWithAsciiIgnoreCase(text_, kFileHost)) {
    const Int32 hostLen = Int32(kFileHost.size());
    String path = text_.SubStr(hostLen, text_.GetLength() - hostLen);
    if (path.IsEmpty())
      path = String("/");
    // "file://localhostname/..." names another host, not a local path.
    if (path[0] == u'/') {
      file_.SetString(path);
      flags_ |= URLFLAG_FILE_VALID;
      return true;
    }
  } else if (StartsWithAsciiIgnoreCase(text_, kNetworkRoot)) {
    NetworkResolver resolver = g_networkResolver.load();
    if (resolver && t_networkDepth < kMaxNetworkDepth) {
      Filename file;
      ++t_networkDepth;
      Bool ok = resolver(*this, &file);
      --t_networkDepth;
      if (ok && file.Content()) {
        file_ = std::move(file);
        flags_ |= URLFLAG_FILE_VALID;
        return true;
      }
    }
  }
  flags_ |= URLFLAG_NOT_A_FILE;
  return false;
}

Bool BrowserURL::GetFilename(Filename* out)
{
  if (!Resolve())
    return false;
  *out = file_;
  return true;
}

Filename BrowserURL::GetFilename()
{
  Filename f;
  GetFilename(&f);
  return f;
}

void BrowserURL::GetDirectory(BrowserURL* out)
{
  BrowserURL parent;
  if (flags_ & (URLFLAG_TEXT_PRIMARY | URLFLAG_TEXT_VALID)) {
    const Int32 n = text_.GetLength();
    Int32 pos = -1;
    Bool found = text_.FindLast(u'/', &pos);
    if (found && pos == n - 1)
      found = n >= 2 && text_.FindLast(u'/', &pos, n - 2);
    parent.SetString(found ? text_.Left(pos) : String());
  } else {
    Filename dir = file_.GetDirectory();
    // The top of the file system has the file root above it.
    if (dir.IsEmpty() || dir == file_)
      parent.SetString(String("file:/"));
    else
      parent.SetFilename(dir);
  }
  *out = std::move(parent);
}

void BrowserURL::GetFileString(String* out)
{
  MakeText();
  *out = LastPart(text_);
}

Bool BrowserURL::IsFile() { return Resolve(); }

Bool BrowserURL::CheckSuffix(const String& suffix)
{
  if (Resolve())
    return file_.CheckSuffix(suffix);
  return GetSuffix().IsEqualIgnoreCase(suffix);
}

void BrowserURL::GetSuffix(String* out)
{
  if (Resolve()) {
    *out = file_.GetSuffix();
    return;
  }
  MakeText();
  String last = LastPart(text_);
  Int32 dot = -1;
  *out = last.FindLast(u'.', &dot) ? last.SubStr(dot + 1, last.GetLength() - dot - 1) : String();
}

namespace {
// Filename::GetSuffix on a path: after the last "." of the last part (one trailing separator of a
// folder path ignored), none when the part starts with its only ".".
std::u16string_view FileSuffix(std::u16string_view path)
{
  std::size_t end = path.empty() ? std::u16string_view::npos : path.size() - 1;
  if (end != std::u16string_view::npos && end > 0 && path[end] == Filename::kSeparator)
    --end;
  const std::size_t sep = path.rfind(Filename::kSeparator, end);
  std::u16string_view part = sep == std::u16string_view::npos ? path : path.substr(sep + 1);
  if (part.size() > 1 && part.back() == Filename::kSeparator)
    part.remove_suffix(1);
  const std::size_t dot = part.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0)
    return {};
  return part.substr(dot + 1);
}

// The suffix of a URL text that names no file: after the last "." of the last part.
std::u16string_view TextSuffix(std::u16string_view text)
{
  const std::size_t slash = text.rfind(u'/');
  const std::u16string_view part = slash == std::u16string_view::npos ? text : text.substr(slash + 1);
  const std::size_t dot = part.rfind(u'.');
  return dot == std::u16string_view::npos ? std::u16string_view() : part.substr(dot + 1);
}
} // namespace

// Follows Resolve and GetSuffix step by step, reading only.
Bool BrowserURL::PeekSuffix(std::u16string_view* out) const
{
  if (flags_ & URLFLAG_NOT_A_FILE) {
    *out = TextSuffix(text_.View());
    return true;
  }
  if ((flags_ & URLFLAG_FILE_VALID) || !(flags_ & URLFLAG_TEXT_PRIMARY)) {
    *out = FileSuffix(file_.GetString().View());
    return true;
  }
  if (StartsWithAsciiIgnoreCase(text_, kFileHost)) {
    const std::u16string_view path = text_.View().substr(kFileHost.size());
    if (path.empty()) {
      *out = {}; // the path "/"
      return true;
    }
    if (path[0] == u'/') {
      *out = FileSuffix(path);
      return true;
    }
  } else if (StartsWithAsciiIgnoreCase(text_, kNetworkRoot)) {
    return false;
  }
  *out = TextSuffix(text_.View());
  return true;
}

Bool BrowserURL::Content() const
{
  if (flags_ & URLFLAG_TEXT_PRIMARY)
    return text_.Content();
  if (flags_ & URLFLAG_FILE_VALID)
    return file_.Content();
  return false;
}

Int32 BrowserURL::GetHash()
{
  if (flags_ & URLFLAG_HASH_VALID)
    return hash_;
  MakeText();
  hash_ = BrowserPathHash(text_);
  flags_ |= URLFLAG_HASH_VALID;
  return hash_;
}

void BrowserURL::SetHash(Int32 hash)
{
  hash_ = hash;
  flags_ |= URLFLAG_HASH_VALID;
}
