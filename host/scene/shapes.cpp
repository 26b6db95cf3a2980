#include "shapes.h"

#include <cmath>
#include <cstring>

#include "scenedoc.h"

namespace orxhost::scene {

void PutDouble(std::vector<UChar>* out, double v)
{
  UInt64 bits;
  std::memcpy(&bits, &v, 8);
  for (int s = 56; s >= 0; s -= 8)
    out->push_back(UChar(bits >> s));
}

void PutInt(std::vector<UChar>* out, Int32 v)
{
  for (int s = 24; s >= 0; s -= 8)
    out->push_back(UChar(UInt32(v) >> s));
}

void SetCubeMesh(BaseList2D* o)
{
  std::vector<UChar> pts, polys;
  for (int i = 0; i < 8; ++i)
    for (int axis = 0; axis < 3; ++axis)
      PutDouble(&pts, i & (1 << axis) ? 1 : -1);
  const Int32 q[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  for (const auto& f : q)
    for (Int32 v : f)
      PutInt(&polys, v);
  o->data.SetBytes(OBJECT_POINTS, pts.data(), Int64(pts.size()));
  o->data.SetBytes(OBJECT_POLYGONS, polys.data(), Int64(polys.size()));
}

void SetSphereMesh(BaseList2D* o, int rings, int segs, double bump)
{
  std::vector<UChar> pts, polys;
  for (int r = 0; r <= rings; ++r)
    for (int s = 0; s < segs; ++s) {
      const double th = M_PI * r / rings, ph = 2 * M_PI * s / segs;
      const double radius = 1 + bump * std::sin(7 * th) * std::cos(5 * ph);
      PutDouble(&pts, radius * std::sin(th) * std::cos(ph));
      PutDouble(&pts, radius * std::cos(th));
      PutDouble(&pts, radius * std::sin(th) * std::sin(ph));
    }
  for (int r = 0; r < rings; ++r)
    for (int s = 0; s < segs; ++s) {
      const Int32 a = r * segs + s, b = r * segs + (s + 1) % segs;
      for (Int32 v : {a, b, b + segs, a + segs})
        PutInt(&polys, v);
    }
  o->data.SetBytes(OBJECT_POINTS, pts.data(), Int64(pts.size()));
  o->data.SetBytes(OBJECT_POLYGONS, polys.data(), Int64(polys.size()));
}

} // namespace orxhost::scene
