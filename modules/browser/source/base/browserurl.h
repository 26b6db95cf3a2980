// BrowserURL: the address of every piece of content, in text form and file form, with a cached hash.
#pragma once

#include <string_view>

#include "orx/filename.h"
#include "orx/string.h"

// Form flags.
constexpr UInt32 URLFLAG_TEXT_PRIMARY = 1;
constexpr UInt32 URLFLAG_TEXT_VALID = 2;
constexpr UInt32 URLFLAG_FILE_VALID = 4;
constexpr UInt32 URLFLAG_HASH_VALID = 8;
constexpr UInt32 URLFLAG_NOT_A_FILE = 16;

// Case-converted, big-endian UTF-16 CRC-32 of a path: the hash of URLs and of item paths.
Int32 BrowserPathHash(const String& path);
// The fixed upper case that path hashes use (a pinned Unicode version, not the host's), in place.
void BrowserPathUpper(Utf16Char* units, Int32 count);
// Paths equal under that upper case: equal paths hash alike.
Bool BrowserPathsEqualIgnoreCase(const String& a, const String& b);
// The standard reflected CRC-32 (IEEE 802.3), continuing from crc (0 to start).
UInt32 Crc32(UInt32 crc, const void* data, std::size_t size);

class BrowserURL
{
public:
  BrowserURL() = default;
  explicit BrowserURL(const String& text) { SetString(text); }
  explicit BrowserURL(const Filename& file) { SetFilename(file); }

  // Published operations, in the order of the URL table.
  void Init();
  void Free();
  void CopyFrom(const BrowserURL& src) { *this = src; }
  void AppendName(const String& name);
  void SetFilename(const Filename& file);
  void SetString(const String& text);
  Bool GetFilename(Filename* out);
  void GetString(String* out);
  void GetDirectory(BrowserURL* out);
  void GetFileString(String* out);
  Bool IsFile();
  Bool CheckSuffix(const String& suffix);
  void GetSuffix(String* out);
  Bool Content() const;

  // Module-side helpers.
  const String& GetStringRef();
  String GetString()
  {
    String s;
    GetString(&s);
    return s;
  }
  Filename GetFilename(); // empty on failure
  BrowserURL GetDirectory()
  {
    BrowserURL u;
    GetDirectory(&u);
    return u;
  }
  String GetFileString()
  {
    String s;
    GetFileString(&s);
    return s;
  }
  String GetSuffix()
  {
    String s;
    GetSuffix(&s);
    return s;
  }
  // The suffix that GetSuffix answers, as a view into this URL's own text, without copying or
  // resolving: valid while the URL is not changed. False when only resolving through the network
  // resolver can tell; then GetSuffix (on a copy, for a const URL) has to.
  Bool PeekSuffix(std::u16string_view* out) const;
  Int32 GetHash();
  void SetHash(Int32 hash);
  void SetFilenameAndString(const Filename& file, const String& text);
  UInt32 GetFlags() const { return flags_; }

  // Resolves network:/ URLs to a file through the content tree; installed by the content layer.
  using NetworkResolver = Bool (*)(const BrowserURL& url, Filename* out);
  static void SetNetworkResolver(NetworkResolver resolver);

private:
  void MakeText();
  // Gives the URL its file form when it has one; sets URLFLAG_NOT_A_FILE when not.
  Bool Resolve();

  UInt32 flags_ = URLFLAG_TEXT_PRIMARY;
  Int32 hash_ = 0;
  Filename file_;
  String text_;
};
