// Small scene documents for the tests and benchmarks of the host's renderer and importer: a
// material, objects with the meshes that `scene add-object --shape` makes, and what an imported
// document must hold.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "scene/scenedoc.h"
#include "scene/shapes.h"

namespace orxtest {

// An object at offsetX on the x axis (unit axes otherwise), with a cube or a sphere of rings x segs
// quads (rippled by bump).
inline std::unique_ptr<BaseList2D> MeshObject(const char* name, bool cube, double offsetX = 0, int rings = 12,
                                              int segs = 24, double bump = 0)
{
  auto o = std::make_unique<BaseList2D>(Obase);
  o->name = name;
  for (Int32 i = 0; i < 12; ++i)
    o->data.SetFloat(OBJECT_MATRIX + i, (i == 3 || i == 7 || i == 11) ? 1.0 : 0.0);
  o->data.SetFloat(OBJECT_MATRIX, offsetX);
  if (cube)
    orxhost::scene::SetCubeMesh(o.get());
  else
    orxhost::scene::SetSphereMesh(o.get(), rings, segs, bump);
  return o;
}

// A document of the one element at the top of its list; null when it cannot go there.
inline std::unique_ptr<BaseDocument> DocumentOf(std::unique_ptr<BaseList2D> element)
{
  auto doc = std::make_unique<BaseDocument>();
  return orxhost::scene::Insert(doc.get(), std::move(element), nullptr, nullptr) ? std::move(doc) : nullptr;
}

inline std::unique_ptr<BaseDocument> MaterialDocument(double r, double g, double b, double reflectance = 0.3)
{
  auto m = std::make_unique<BaseList2D>(Mbase);
  m->name = "M";
  const double rgb[3] = {r, g, b};
  for (Int32 i = 0; i < 3; ++i)
    m->data.SetFloat(MATERIAL_COLOR + i, rgb[i]);
  m->data.SetFloat(MATERIAL_REFLECTANCE, reflectance);
  return DocumentOf(std::move(m));
}

inline std::unique_ptr<BaseDocument> ObjectDocument(bool cube) { return DocumentOf(MeshObject("S", cube)); }

// Whether an object below e carries points and polygons.
inline bool HasMesh(const BaseList2D& e)
{
  for (const auto& c : e.children)
    if ((c->kind == Obase && c->data.Has(OBJECT_POINTS) && c->data.Has(OBJECT_POLYGONS)) || HasMesh(*c))
      return true;
  return false;
}

// One triangle in the text format most importers read.
inline const std::string kTriangleObj = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";

} // namespace orxtest
