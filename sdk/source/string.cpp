// String: UTF-16 text. Case mapping and collation come from the host; the codecs are here.
#include "orx/string.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "orx/hosttable.h"

namespace {

constexpr Utf16Char kEscapeBase = 0xDC00; // escapes of bytes 0x80..0xFF: U+DC80..U+DCFF

// escape false: an ill-formed sequence is replaced by one U+FFFD per maximal subpart, as the Unicode
// standard recommends. escape true: each byte that is not part of a valid sequence becomes its
// escape, so the bytes can be had back.
void AppendUtf8(String::Storage& out, const UChar* s, std::size_t n, bool escape = false)
{
  out.reserve(out.size() + n);
  std::size_t i = 0;
  while (i < n) {
    // A run of plain ASCII (most names are nothing else) is widened in one go.
    std::size_t ascii = i;
    while (ascii < n && s[ascii] < 0x80)
      ++ascii;
    if (ascii > i) {
      const std::size_t at = out.size();
      out.resize(at + (ascii - i));
      for (std::size_t k = i; k < ascii; ++k)
        out[at + (k - i)] = Utf16Char(s[k]);
      i = ascii;
      continue;
    }
    UChar c = s[i];
    if (c < 0x80) {
      out += Utf16Char(c);
      ++i;
      continue;
    }
    // Lead bytes and the allowed range of the second byte (rules out overlong forms, surrogates
    // and values past U+10FFFF).
    Int32 len = 0;
    UChar lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
      len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      lo = c == 0xE0 ? 0xA0 : 0x80;
      hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      lo = c == 0xF0 ? 0x90 : 0x80;
      hi = c == 0xF4 ? 0x8F : 0xBF;
    }
    UInt32 cp = len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    Int32 k = 1;
    for (; k < len && i + std::size_t(k) < n; ++k) {
      UChar cc = s[i + std::size_t(k)];
      if (cc < (k == 1 ? lo : 0x80) || cc > (k == 1 ? hi : 0xBF))
        break;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (len == 0 || k < len) {
      if (escape) {
        out += Utf16Char(kEscapeBase + c);
        ++i;
      } else {
        out += u'\uFFFD';
        i += std::size_t(len == 0 ? 1 : k);
      }
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += Utf16Char(0xD800 + (cp >> 10));
      out += Utf16Char(0xDC00 + (cp & 0x3FF));
    } else {
      out += Utf16Char(cp);
    }
    i += std::size_t(len);
  }
}

void PutUtf8(std::string& out, UInt32 c)
{
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

void AsciiCase(Utf16Char* u, Int32 n, bool upper)
{
  for (Int32 i = 0; i < n; ++i) {
    if (upper && u[i] >= u'a' && u[i] <= u'z')
      u[i] = Utf16Char(u[i] - 32);
    else if (!upper && u[i] >= u'A' && u[i] <= u'Z')
      u[i] = Utf16Char(u[i] + 32);
  }
}

void MapCase(String::Storage& s, bool upper)
{
  if (s.empty())
    return;
  const OrxHostTable* t = OrxGetHostTable();
  if (!t) {
    AsciiCase(s.data(), Int32(s.size()), upper);
    return;
  }
  (upper ? t->text->toUpper : t->text->toLower)(s.data(), Int32(s.size()));
}

Int32 Sign(Int64 v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

} // namespace

String::String(const char* utf8)
{
  if (utf8)
    AppendUtf8(data_, reinterpret_cast<const UChar*>(utf8), std::strlen(utf8));
}
String::String(std::string_view utf8) { AppendUtf8(data_, reinterpret_cast<const UChar*>(utf8.data()), utf8.size()); }
String::String(const Utf16Char* units, Int32 count) : data_(units, std::size_t(std::max(count, 0))) {}
String::String(std::u16string_view units) : data_(units.data(), units.size()) {}

void String::SetCString(const char* text, Int32 count, StringEncoding enc)
{
  data_.clear();
  if (!text)
    return;
  std::size_t n = count < 0 ? std::strlen(text) : std::size_t(count);
  AssignBytes(std::string_view(text, n), enc);
}

void String::AssignBytes(std::string_view bytes, StringEncoding enc)
{
  data_.clear();
  const UChar* b = reinterpret_cast<const UChar*>(bytes.data());
  if (enc == StringEncoding::Latin1) {
    data_.resize(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i)
      data_[i] = b[i];
  } else {
    AppendUtf8(data_, b, bytes.size(), enc == StringEncoding::System);
  }
}

String String::FromBytes(std::string_view bytes, StringEncoding enc)
{
  String s;
  const UChar* b = reinterpret_cast<const UChar*>(bytes.data());
  if (enc == StringEncoding::Latin1) {
    s.data_.resize(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i)
      s.data_[i] = b[i];
  } else {
    AppendUtf8(s.data_, b, bytes.size(), enc == StringEncoding::System);
  }
  return s;
}

std::string String::ToUtf8() const
{
  std::string out;
  out.reserve(data_.size());
  for (std::size_t i = 0; i < data_.size(); ++i) {
    UInt32 c = data_[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < data_.size() && data_[i + 1] >= 0xDC00 && data_[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (UInt32(data_[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD; // lone surrogate, escaped bytes among them
    }
    PutUtf8(out, c);
  }
  return out;
}

Bool String::ToSystemBytes(std::string* out) const
{
  std::string bytes;
  bytes.reserve(data_.size());
  bool escaped = false;
  for (std::size_t i = 0; i < data_.size(); ++i) {
    UInt32 c = data_[i];
    if (c == 0)
      return false;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < data_.size() && data_[i + 1] >= 0xDC00 && data_[i + 1] <= 0xDFFF) {
      PutUtf8(bytes, 0x10000 + ((c - 0xD800) << 10) + (UInt32(data_[i + 1]) - 0xDC00));
      ++i;
    } else if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) {
      bytes += char(c - kEscapeBase);
      escaped = true;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return false;
    } else {
      PutUtf8(bytes, c);
    }
  }
  // Escapes that together form a valid sequence would read back as that character: the same
  // bytes as another text. Only a text that its bytes decode to again may name a file.
  if (escaped) {
    String back = FromBytes(bytes, StringEncoding::System);
    if (back.data_ != data_)
      return false;
  }
  if (out)
    *out = std::move(bytes);
  return true;
}

std::string String::ToLatin1() const
{
  std::string out(data_.size(), '?');
  for (std::size_t i = 0; i < data_.size(); ++i)
    if (data_[i] < 256)
      out[i] = char(data_[i]);
  return out;
}

Int32 String::Compare(const String& other) const { return Sign(data_.compare(other.data_)); }

Int32 String::CaseCompare(const String& other) const
{
  if (data_ == other.data_)
    return 0;
  return ToUpper().Compare(other.ToUpper());
}

Int32 String::ComparePart(const String& other, Int32 count, Int32 pos) const
{
  if (pos < 0)
    pos = 0;
  std::u16string_view a = View().substr(std::min<std::size_t>(std::size_t(pos), data_.size()));
  std::u16string_view b = other.View();
  std::size_t n = std::size_t(std::max(count, 0));
  return Sign(a.substr(0, std::min(n, a.size())).compare(b.substr(0, std::min(n, b.size()))));
}

Bool String::StartsWith(const String& prefix) const { return View().starts_with(prefix.View()); }

Bool String::StartsWithIgnoreCase(const String& prefix) const
{
  if (prefix.GetLength() > GetLength())
    return false;
  return Left(prefix.GetLength()).ToUpper() == prefix.ToUpper();
}

Int32 String::LexCompare(const String& other) const
{
  if (const OrxHostTable* t = OrxGetHostTable())
    return Sign(t->text->lexCompare(data_.data(), GetLength(), other.data_.data(), other.GetLength()));
  return CaseCompare(other);
}

Bool String::FindFirst(Utf16Char c, Int32* pos, Int32 start) const
{
  if (start < 0)
    start = 0;
  std::size_t p = data_.find(c, std::size_t(start));
  if (p == Storage::npos)
    return false;
  if (pos)
    *pos = Int32(p);
  return true;
}

Bool String::FindFirst(const String& s, Int32* pos, Int32 start) const
{
  if (start < 0)
    start = 0;
  std::size_t p = View().find(s.View(), std::size_t(start));
  if (p == Storage::npos)
    return false;
  if (pos)
    *pos = Int32(p);
  return true;
}

Bool String::FindLast(Utf16Char c, Int32* pos, Int32 start) const
{
  std::size_t p = data_.rfind(c, start < 0 ? Storage::npos : std::size_t(start));
  if (p == Storage::npos)
    return false;
  if (pos)
    *pos = Int32(p);
  return true;
}

Bool String::FindLast(const String& s, Int32* pos, Int32 start) const
{
  std::size_t p = View().rfind(s.View(), start < 0 ? Storage::npos : std::size_t(start));
  if (p == Storage::npos)
    return false;
  if (pos)
    *pos = Int32(p);
  return true;
}

Bool String::FindFirstIgnoreCase(const String& s, Int32* pos, Int32 start) const
{
  return ToUpper().FindFirst(s.ToUpper(), pos, start);
}

void String::Insert(Int32 pos, const String& s)
{
  pos = std::clamp(pos, 0, GetLength());
  data_.insert(std::size_t(pos), s.data_);
}

void String::Delete(Int32 pos, Int32 count)
{
  if (pos < 0 || pos >= GetLength() || count <= 0)
    return;
  data_.erase(std::size_t(pos), std::size_t(count));
}

String String::SubStr(Int32 start, Int32 count) const
{
  if (start < 0) {
    count += start;
    start = 0;
  }
  if (start >= GetLength() || count <= 0)
    return String();
  String r;
  r.data_.assign(data_, std::size_t(start), std::size_t(count));
  return r;
}

void String::Replace(Utf16Char from, Utf16Char to) { std::replace(data_.begin(), data_.end(), from, to); }

String String::ToUpper() const
{
  String r(*this);
  MapCase(r.data_, true);
  return r;
}

String String::ToLower() const
{
  String r(*this);
  MapCase(r.data_, false);
  return r;
}

namespace {
template <typename N>
N ParseNumber(const String& s, Bool* ok)
{
  std::string a = s.ToLatin1();
  std::size_t b = a.find_first_not_of(" \t");
  std::size_t e = a.find_last_not_of(" \t");
  N v{};
  bool good = false;
  if (b != std::string::npos) {
    const char* first = a.data() + b;
    const char* last = a.data() + e + 1;
    if (*first == '+')
      ++first;
    auto res = std::from_chars(first, last, v);
    good = res.ec == std::errc() && res.ptr == last;
  }
  if (ok)
    *ok = good;
  return good ? v : N{};
}
} // namespace

Int32 String::ToInt32(Bool* ok) const { return ParseNumber<Int32>(*this, ok); }
Int64 String::ToInt64(Bool* ok) const { return ParseNumber<Int64>(*this, ok); }
Float String::ToFloat(Bool* ok) const { return ParseNumber<Float>(*this, ok); }

String String::FromInt(Int64 v)
{
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return String(std::string_view(buf, std::size_t(res.ptr - buf)));
}

String String::FromFloat(Float v, Int32 decimals)
{
  char buf[64];
  std::to_chars_result res = decimals < 0 ? std::to_chars(buf, buf + sizeof buf, v)
                                          : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  if (res.ec != std::errc())
    return String("0");
  return String(std::string_view(buf, std::size_t(res.ptr - buf)));
}

std::string ToStdString(const String& s) { return s.ToUtf8(); }
