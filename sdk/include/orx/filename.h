// Filename: a native path. On this platform the separator is "/".
#pragma once

#include "orx/string.h"

class Filename
{
public:
  static constexpr Utf16Char kSeparator = u'/';

  Filename() = default;
  Filename(const String& path) : path_(path) {} // NOLINT: paths convert implicitly
  Filename(const char* utf8) : path_(utf8) {}  // NOLINT

  void SetString(const String& path) { path_ = path; }
  const String& GetString() const { return path_; }
  Bool Content() const { return path_.Content(); }
  Bool IsEmpty() const { return path_.IsEmpty(); }

  // Appends one path part with a separator in between (none doubled).
  Filename operator+(const String& part) const;
  Filename& operator+=(const String& part);

  // The text after the last "." of the file part; empty when there is none.
  String GetSuffix() const;
  // Replaces (or adds) the suffix.
  void SetSuffix(const String& suffix);
  void ClearSuffix();
  // Compares the suffix ignoring letter case.
  Bool CheckSuffix(const String& suffix) const;
  // Everything before the last separator ("" when there is none; "/" for a top-level entry).
  Filename GetDirectory() const;
  // The last path part.
  Filename GetFile() const;
  String GetFileString() const { return GetFile().GetString(); }
  // True when parent is this path or one of its parent folders, judged on the paths with "." and ".."
  // parts taken out (links are not resolved).
  Bool IsInside(const Filename& parent) const;

  friend Bool operator==(const Filename& a, const Filename& b) { return a.path_ == b.path_; }
  friend Bool operator!=(const Filename& a, const Filename& b) { return a.path_ != b.path_; }
  Int32 Compare(const Filename& other) const { return path_.Compare(other.path_); }

  std::string ToUtf8() const { return path_.ToUtf8(); } // as text, for showing
  // The path as the system's bytes; false when the text cannot name a file.
  Bool ToSystemBytes(std::string* out) const { return path_.ToSystemBytes(out); }

private:
  String path_;
};
