// Meshes of simple shapes for scene elements: what `scene add-object --shape` and the demo presets
// put on their objects, and what the renderer's tests and benchmarks draw.
#pragma once

#include <vector>

#include "orx/types.h"

class BaseList2D;

namespace orxhost::scene {

// The byte order of OBJECT_POINTS (big-endian doubles) and OBJECT_POLYGONS (big-endian Int32).
void PutDouble(std::vector<UChar>* out, double v);
void PutInt(std::vector<UChar>* out, Int32 v);

// A cube with its corners at -1 and 1 on each axis: 8 points, 6 quads.
void SetCubeMesh(BaseList2D* o);
// A sphere of radius 1 of rings x segs quads. bump ripples the radius by up to that share, which
// gives a large mesh many distinct normals.
void SetSphereMesh(BaseList2D* o, int rings = 12, int segs = 24, double bump = 0);

} // namespace orxhost::scene
