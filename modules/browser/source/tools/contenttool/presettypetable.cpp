#include "tools/contenttool/presettypetable.h"

namespace {

constexpr PresetTypeRow kRows[] = {
  {"image", 1018021, true},
  {"sound", 1018114, true},
  {"movie", 1018022, true},
  {"scene", 1018023, true},
  {"layout", 1018116, true},
  {"script", 1018762, true},
  {"korvex", 1018115, true},
  {"unknown", 1018026, false},
  {"folder", 1018027, false},
  {"defaultsetting", 1018030, false},
  {"genericpreset", PRESETTYPE_GENERIC, false},
  {"baseobject", 1018107, false},
  {"basematerial", 1018108, false},
  {"basetag", 1018109, false},
  {"renderdata", 1018110, false},
  {"shader", 1018111, false},
  {"videopost", 1018112, false},
  {"plexion", 1018113, false},
  {"filter", 465001756, false},
  {"motionsource", 465001530, false},
  {"dune", 450000048, false},
  {"duneweather", 450000056, false},
  {"dunecloudlayer", 450000061, false},
  {"zkbrush", 1952739959, false},
  {"zkcolor", 1668506996, false},
  {"zkgradient", 1735549284, false},
  {"sculptbrush", 1024848, false},
  {"sculptstamp", 1027444, false},
  {"sculptstencil", 1027445, false},
};

} // namespace

std::span<const PresetTypeRow> PresetTypeRows() { return kRows; }

String PresetTypeName(Int32 type, Int32 subType)
{
  // Only names that build back to the same pair: a file kind is a generic preset's sub-type, every
  // other kind is a type of its own with no sub-type.
  if (type == PRESETTYPE_GENERIC && subType == 0)
    return String("genericpreset");
  const Bool generic = type == PRESETTYPE_GENERIC;
  const Int32 id = generic ? subType : type;
  for (const PresetTypeRow& r : kRows)
    if (r.id == id)
      return String(r.fileKind == generic && id != PRESETTYPE_GENERIC ? r.name : "notsupported");
  // No type builds back from a name the table does not hold, the empty one included; "unknown" is
  // a type of its own (1018026).
  return String(type == 0 && subType == 0 ? "" : "notsupported");
}

const PresetTypeRow* FindPresetType(const String& name)
{
  for (const PresetTypeRow& r : kRows)
    if (name == String(r.name))
      return &r;
  return nullptr;
}
