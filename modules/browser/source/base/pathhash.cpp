// The path hash: CRC-32 over the big-endian UTF-16 units of the case-converted path. Libraries
// store it, so it must never change.
#include <algorithm>
#include <array>
#include <iterator>

#include "base/browserurl.h"
#include "orx/basefile.h"

namespace {
#include "pathhashupper.inc"

// The fixed upper case of a code point beyond ASCII: the host's case library changes between
// versions, and a hash computed with another mapping would no longer find stored items.
UInt32 UpperOf(UInt32 c)
{
  const auto* end = std::end(kPathUpper);
  const auto* at = std::lower_bound(std::begin(kPathUpper), end, c,
                                    [](const UInt32(&pair)[2], UInt32 key) { return pair[0] < key; });
  return at != end && (*at)[0] == c ? (*at)[1] : c;
}

// Slice-by-8 tables for the reflected polynomial 0xEDB88320.
struct CrcTables
{
  std::array<std::array<UInt32, 256>, 8> t{};
  constexpr CrcTables()
  {
    for (UInt32 i = 0; i < 256; ++i) {
      UInt32 c = i;
      for (int k = 0; k < 8; ++k)
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (UInt32 i = 0; i < 256; ++i)
      for (int s = 1; s < 8; ++s)
        t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
};
constexpr CrcTables kCrc;
} // namespace

UInt32 Crc32(UInt32 crc, const void* data, std::size_t size)
{
  const UChar* p = static_cast<const UChar*>(data);
  UInt32 c = ~crc;
  while (size >= 8) {
    UInt32 lo = c ^ (UInt32(p[0]) | UInt32(p[1]) << 8 | UInt32(p[2]) << 16 | UInt32(p[3]) << 24);
    c = kCrc.t[7][lo & 0xFF] ^ kCrc.t[6][(lo >> 8) & 0xFF] ^ kCrc.t[5][(lo >> 16) & 0xFF] ^ kCrc.t[4][lo >> 24] ^
        kCrc.t[3][p[4]] ^ kCrc.t[2][p[5]] ^ kCrc.t[1][p[6]] ^ kCrc.t[0][p[7]];
    p += 8;
    size -= 8;
  }
  while (size--)
    c = kCrc.t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

void BrowserPathUpper(Utf16Char* u, Int32 n)
{
  for (Int32 i = 0; i < n; ++i) {
    const Utf16Char c = u[i];
    if (c < 0x80) {
      if (c >= u'a' && c <= u'z')
        u[i] = Utf16Char(c - 32);
    } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
      const UInt32 cp = 0x10000 + ((UInt32(c) - 0xD800) << 10) + (UInt32(u[i + 1]) - 0xDC00);
      const UInt32 m = UpperOf(cp) - 0x10000; // the table keeps supplementary code points there
      u[i] = Utf16Char(0xD800 + (m >> 10));
      u[i + 1] = Utf16Char(0xDC00 + (m & 0x3FF));
      ++i;
    } else {
      u[i] = Utf16Char(UpperOf(c));
    }
  }
}

Bool BrowserPathsEqualIgnoreCase(const String& a, const String& b)
{
  const Int32 n = a.GetLength();
  if (n != b.GetLength())
    return false;
  constexpr Int32 kBlockUnits = 256;
  Utf16Char x[kBlockUnits], y[kBlockUnits];
  for (Int32 at = 0; at < n;) {
    Int32 count = std::min(kBlockUnits, n - at);
    if (count > 1 && at + count < n && a.Units()[at + count - 1] >= 0xD800 && a.Units()[at + count - 1] <= 0xDBFF)
      --count;
    std::copy_n(a.Units() + at, count, x);
    std::copy_n(b.Units() + at, count, y);
    BrowserPathUpper(x, count);
    BrowserPathUpper(y, count);
    if (!std::equal(x, x + count, y))
      return false;
    at += count;
  }
  return true;
}

Int32 BrowserPathHash(const String& path)
{
  // Case-converted and byte-swapped a block at a time, so that no path length needs memory.
  constexpr Int32 kBlockUnits = 2048;
  Utf16Char block[kBlockUnits];
  const Utf16Char* src = path.Units();
  const Int32 n = path.GetLength();
  UInt32 crc = 0;
  for (Int32 at = 0; at < n;) {
    Int32 count = std::min(kBlockUnits, n - at);
    // A surrogate pair is mapped as one code point, so a block never ends inside one.
    if (count > 1 && at + count < n && src[at + count - 1] >= 0xD800 && src[at + count - 1] <= 0xDBFF)
      --count;
    std::copy_n(src + at, count, block);
    BrowserPathUpper(block, count);
    for (Int32 i = 0; i < count; ++i)
      block[i] = Utf16Char(BaseFile::ToFileOrder16(UInt16(block[i])));
    crc = Crc32(crc, block, std::size_t(count) * 2);
    at += count;
  }
  return Int32(crc);
}
