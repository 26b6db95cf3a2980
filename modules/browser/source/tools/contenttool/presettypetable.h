// The preset types a library tree names in its descriptions, by name and id.
#pragma once

#include <span>

#include "orx/string.h"

struct PresetTypeRow
{
  const char* name;
  Int32 id;
  Bool fileKind; // a file type: the library stores it as a generic preset with this sub-type
};

constexpr Int32 PRESETTYPE_GENERIC = 1018031;

// The rows in table order (image 1018021 ... sculptstencil 1027445).
std::span<const PresetTypeRow> PresetTypeRows();
// The name of a library entry's type: for a generic preset the sub-type is looked up (a file kind),
// a sub-type of 0 names the generic preset itself. A pair that would not build back to itself (a
// file kind as a type of its own, a generic preset with another kind as sub-type, an id not in the
// table, or type 0 with a sub-type) gives "notsupported"; an entry without a type (0/0) gives the empty
// name, which builds back as no type.
String PresetTypeName(Int32 type, Int32 subType);
// Exact name lookup; nullptr when the name is not in the table.
const PresetTypeRow* FindPresetType(const String& name);
