#include "tools/contenttool/treenames.h"

#include "base/browserutils.h"

namespace {

const String kDescription(".cbinfo");
const String kSettings(".bc");
const String kPreview(".preview");
const String kStillPrefix(".preview_");

Bool EndsWith(const String& s, const String& end)
{
  return s.GetLength() >= end.GetLength() && s.Right(end.GetLength()) == end;
}

// "N.preview_KKKKK.jpg": the N, or empty when name is not of that form.
String StillPreviewOwner(const String& name)
{
  const Int32 tail = kStillPrefix.GetLength() + 5 + 4;
  if (name.GetLength() <= tail || !EndsWith(name, String(".jpg")))
    return String();
  const Int32 at = name.GetLength() - tail;
  if (name.SubStr(at, kStillPrefix.GetLength()) != kStillPrefix)
    return String();
  for (Int32 i = 0; i < 5; ++i) {
    const Utf16Char c = name[at + kStillPrefix.GetLength() + i];
    if (c < u'0' || c > u'9')
      return String();
  }
  return name.Left(at);
}

String Variant(const String& name, Int32 n)
{
  const String tag = String("_") + String::FromInt(n);
  Int32 dot = -1;
  // In front of the suffix, so that the kind of file stays what it was; not for a reserved suffix
  // or a name that is all suffix (".hidden").
  if (name.FindLast(u'.', &dot) && dot > 0 && !EndsWith(name, kDescription))
    return name.Left(dot) + tag + name.SubStr(dot, name.GetLength() - dot);
  return name + tag;
}

} // namespace

Bool IsSingleName(const String& name) { return IsSingleEntryName(name); }

Bool JoinInside(const Filename& root, const Filename& folder, const String& name, Filename* out)
{
  if (!IsSingleName(name))
    return false;
  const Filename joined = folder + name;
  if (!joined.IsInside(root) || joined == root)
    return false;
  if (out)
    *out = joined;
  return true;
}

ExportNames::ExportNames(const Filename& root) : root_(root)
{
  Names& top = folders_[root.GetString()];
  for (const char* log : {"error_log.txt", "operation_log.txt", "error_log.txt.bak", "operation_log.txt.bak"})
    top.insert(String(log));
}

Bool ExportNames::IsFree(const Names& taken, const String& name, Bool isFolder) const
{
  if (EndsWith(name, kDescription))
    return false;
  if (taken.count(name) || taken.count(name + kDescription))
    return false;
  // Another item's still preview, and names that this one's files would take.
  const String owner = StillPreviewOwner(name);
  if (owner.Content() && taken.count(owner))
    return false;
  if (isFolder)
    return true;
  if (taken.count(name + kSettings) || taken.count(name + kPreview))
    return false;
  // Anything already written under N.preview_ (a name that looks like one of this item's previews).
  const String prefix = name + kStillPrefix;
  auto it = taken.lower_bound(prefix);
  return it == taken.end() || !it->StartsWith(prefix);
}

String ExportNames::Claim(const Filename& folder, const String& name, Bool isFolder, Bool* renamed)
{
  if (renamed)
    *renamed = false;
  if (!IsSingleName(name))
    return String();
  Names& taken = folders_[folder.GetString()];
  String pick = name;
  for (Int32 n = 2; !IsFree(taken, pick, isFolder); ++n)
    pick = Variant(name, n);
  taken.insert(pick);
  taken.insert(pick + kDescription);
  if (!isFolder) {
    taken.insert(pick + kSettings);
    taken.insert(pick + kPreview);
  }
  if (renamed)
    *renamed = pick != name;
  return pick;
}

void ExportNames::Forget(const Filename& folder) { folders_.erase(folder.GetString()); }
