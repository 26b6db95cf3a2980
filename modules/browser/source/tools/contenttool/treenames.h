// Safe names in an exported or built tree: single names only, results inside the tree, and no
// two entries of one run under one name.
#pragma once

#include <map>
#include <set>

#include "orx/filename.h"
#include "orx/string.h"

// A valid single name: not "", ".", ".."; no '/', no NUL.
Bool IsSingleName(const String& name);
// folder/name when name is a single name and the lexically normalised result lies inside root
// (Filename::IsInside); false otherwise.
Bool JoinInside(const Filename& root, const Filename& folder, const String& name, Filename* out);

// The names an export writes into each folder of its tree in this run. An item N owns N, N.cbinfo,
// N.bc, N.preview and N.preview_KKKKK.jpg; a folder F owns F and F.cbinfo; the root holds the two
// logs. Names are exact (Linux: "Red" and "red" are two files).
class ExportNames
{
public:
  explicit ExportNames(const Filename& root);

  // The name under which an entry called name is written into folder, claimed with every name it
  // owns: name itself when that is free, else name with "_2", "_3", ... put in front of its suffix
  // (*renamed set). Empty when name is not a single name. A name ending in ".cbinfo" would read
  // as a description and is always renamed.
  String Claim(const Filename& folder, const String& name, Bool isFolder, Bool* renamed = nullptr);
  // Forgets a folder's names once it is done (the export walks depth first).
  void Forget(const Filename& folder);

private:
  using Names = std::set<String>;
  Bool IsFree(const Names& taken, const String& name, Bool isFolder) const;

  Filename root_;
  std::map<String, Names> folders_;
};
