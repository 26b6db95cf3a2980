// Filename: path operations on "/"-separated native paths.
#include "orx/filename.h"

#include <vector>

namespace {
// Position of the last separator, ignoring one trailing separator of a folder path ("a/b/").
Int32 LastSeparator(const String& s)
{
  Int32 end = s.GetLength() - 1;
  if (end > 0 && s[end] == Filename::kSeparator)
    --end;
  Int32 pos = -1;
  return s.FindLast(Filename::kSeparator, &pos, end) ? pos : -1;
}
// The parts of a path as it reads without "." and empty parts, each ".." taking the part before it
// away. Lexical only: links are the caller's to resolve. Above the root ".." stays at the root; a
// relative path keeps the ".." parts that climb above its start, so they never match a folder name.
std::vector<String> NormalParts(const String& s, bool* absolute)
{
  std::vector<String> parts;
  *absolute = s.GetLength() > 0 && s[0] == Filename::kSeparator;
  const Int32 n = s.GetLength();
  for (Int32 start = 0; start <= n;) {
    Int32 end = start;
    while (end < n && s[end] != Filename::kSeparator)
      ++end;
    const String part = s.SubStr(start, end - start);
    if (part.IsEmpty() || part == String(".")) {
      // nothing
    } else if (part == String("..")) {
      if (!parts.empty() && parts.back() != String(".."))
        parts.pop_back();
      else if (!*absolute)
        parts.push_back(part);
    } else {
      parts.push_back(part);
    }
    start = end + 1;
  }
  return parts;
}
} // namespace

Filename Filename::operator+(const String& part) const
{
  Filename r(*this);
  r += part;
  return r;
}

Filename& Filename::operator+=(const String& part)
{
  if (part.IsEmpty())
    return *this;
  if (path_.IsEmpty()) {
    path_ = part;
    return *this;
  }
  bool endSep = path_[path_.GetLength() - 1] == kSeparator;
  bool startSep = part[0] == kSeparator;
  if (endSep && startSep)
    path_ += part.SubStr(1, part.GetLength() - 1);
  else if (endSep || startSep)
    path_ += part;
  else {
    path_ += kSeparator;
    path_ += part;
  }
  return *this;
}

String Filename::GetSuffix() const
{
  String file = GetFileString();
  Int32 dot = -1;
  if (!file.FindLast(u'.', &dot) || dot == 0)
    return String();
  return file.SubStr(dot + 1, file.GetLength() - dot - 1);
}

void Filename::ClearSuffix()
{
  String file = GetFileString();
  Int32 dot = -1;
  if (!file.FindLast(u'.', &dot) || dot == 0)
    return;
  Int32 cut = file.GetLength() - dot;
  path_ = path_.Left(path_.GetLength() - cut);
}

void Filename::SetSuffix(const String& suffix)
{
  ClearSuffix();
  if (suffix.Content()) {
    path_ += u'.';
    path_ += suffix;
  }
}

Bool Filename::CheckSuffix(const String& suffix) const { return GetSuffix().IsEqualIgnoreCase(suffix); }

Filename Filename::GetDirectory() const
{
  Int32 pos = LastSeparator(path_);
  if (pos < 0)
    return Filename();
  if (pos == 0)
    return Filename(String("/"));
  return Filename(path_.Left(pos));
}

Filename Filename::GetFile() const
{
  Int32 pos = LastSeparator(path_);
  String rest = path_.SubStr(pos + 1, path_.GetLength() - pos - 1);
  if (rest.GetLength() > 1 && rest[rest.GetLength() - 1] == kSeparator)
    rest = rest.Left(rest.GetLength() - 1);
  return Filename(rest);
}

Bool Filename::IsInside(const Filename& parent) const
{
  if (parent.IsEmpty() || path_.IsEmpty())
    return false;
  bool childAbsolute = false, parentAbsolute = false;
  const std::vector<String> child = NormalParts(path_, &childAbsolute);
  const std::vector<String> folder = NormalParts(parent.path_, &parentAbsolute);
  if (childAbsolute != parentAbsolute || folder.size() > child.size())
    return false;
  for (std::size_t i = 0; i < folder.size(); ++i)
    if (child[i] != folder[i])
      return false;
  return true;
}
