// String: the host's text type, UTF-16 code units.
#pragma once

#include <string>
#include <string_view>

#include "orx/memory.h"
#include "orx/types.h"

enum class StringEncoding : Int32
{
  Latin1 = 0, // 8-bit text, one byte per code unit
  Utf8 = 2,
  // The encoding of file names and the environment: UTF-8, where each byte that is not part of
  // a valid sequence becomes the lone surrogate U+DC80..U+DCFF (0x80..0xFF), so that any name
  // goes back to the same bytes (ToSystemBytes). As text (ToUtf8) such a byte shows as U+FFFD.
  System = 4,
};

class String
{
public:
  using Storage = std::basic_string<Utf16Char, std::char_traits<Utf16Char>, orx::HostAllocator<Utf16Char>>;

  String() = default;
  String(const char* utf8); // NOLINT: literals convert implicitly on purpose
  String(std::string_view utf8);
  String(const Utf16Char* units, Int32 count);
  explicit String(std::u16string_view units);
  String(const String&) = default;
  String(String&&) noexcept = default;
  String& operator=(const String&) = default;
  String& operator=(String&&) noexcept = default;

  void SetCString(const char* text, Int32 count = -1, StringEncoding enc = StringEncoding::Utf8);
  // Bytes as 8-bit, UTF-8 or system text; in UTF-8 invalid sequences become U+FFFD, in system
  // text each invalid byte becomes its escape (see StringEncoding::System).
  static String FromBytes(std::string_view bytes, StringEncoding enc);
  // FromBytes into this text, keeping its storage: a loop that decodes name after name into one
  // text allocates nothing once the storage is large enough.
  void AssignBytes(std::string_view bytes, StringEncoding enc);
  // UTF-8 text; a lone surrogate (an escaped byte among them) becomes U+FFFD.
  std::string ToUtf8() const;
  // The bytes this text stands for as a file name: escapes go back to their bytes. False when no
  // bytes decode to this text (a zero, a lone surrogate that is not an escape, escapes that would
  // read back as a character), so that two texts never name one file.
  Bool ToSystemBytes(std::string* out) const;
  std::string ToLatin1() const; // code units above 255 become '?'

  Int32 GetLength() const { return Int32(data_.size()); }
  Bool IsEmpty() const { return data_.empty(); }
  Bool Content() const { return !data_.empty(); }
  Utf16Char operator[](Int32 pos) const { return data_[std::size_t(pos)]; }
  void SetChar(Int32 pos, Utf16Char c) { data_[std::size_t(pos)] = c; }
  const Utf16Char* Units() const { return data_.data(); }
  std::u16string_view View() const { return {data_.data(), data_.size()}; }
  const Storage& Raw() const { return data_; }

  // Exact comparison of code units: <0, 0, >0.
  Int32 Compare(const String& other) const;
  // Comparison after the fixed case conversion (ToUpper), the one used for hashes.
  Int32 CaseCompare(const String& other) const;
  Bool IsEqualIgnoreCase(const String& other) const { return CaseCompare(other) == 0; }
  // Compares the first count units of this string, from pos, with the first count units of other.
  Int32 ComparePart(const String& other, Int32 count, Int32 pos = 0) const;
  Bool StartsWith(const String& prefix) const;
  Bool StartsWithIgnoreCase(const String& prefix) const;
  // Lexical comparison for sorting names as people expect (the host's collator).
  Int32 LexCompare(const String& other) const;

  Bool FindFirst(Utf16Char c, Int32* pos, Int32 start = 0) const;
  Bool FindFirst(const String& s, Int32* pos, Int32 start = 0) const;
  Bool FindLast(Utf16Char c, Int32* pos, Int32 start = -1) const; // start -1: from the end
  Bool FindLast(const String& s, Int32* pos, Int32 start = -1) const;
  Bool FindFirstIgnoreCase(const String& s, Int32* pos, Int32 start = 0) const;

  void Insert(Int32 pos, const String& s);
  void Delete(Int32 pos, Int32 count);
  String SubStr(Int32 start, Int32 count) const;
  String Left(Int32 count) const { return SubStr(0, count); }
  String Right(Int32 count) const { return SubStr(GetLength() - count, count); }
  void Replace(Utf16Char from, Utf16Char to);

  // The fixed, length-keeping case conversion (simple per-code-point mapping).
  String ToUpper() const;
  String ToLower() const;

  Int32 ToInt32(Bool* ok = nullptr) const;
  Int64 ToInt64(Bool* ok = nullptr) const;
  Float ToFloat(Bool* ok = nullptr) const;
  static String FromInt(Int64 v);
  static String FromFloat(Float v, Int32 decimals = -1); // -1: shortest exact form

  String& operator+=(const String& s)
  {
    data_ += s.data_;
    return *this;
  }
  String& operator+=(Utf16Char c)
  {
    data_ += c;
    return *this;
  }
  friend String operator+(String a, const String& b) { return a += b; }
  friend Bool operator==(const String& a, const String& b) { return a.data_ == b.data_; }
  friend Bool operator!=(const String& a, const String& b) { return a.data_ != b.data_; }
  friend Bool operator<(const String& a, const String& b) { return a.data_ < b.data_; }

private:
  Storage data_;
};

// For gtest and diagnostics.
std::string ToStdString(const String& s);
