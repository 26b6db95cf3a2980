// Scene objects of the stand-in host: names of elements, and free objects for tests.
#include <string>

#include "scene/scenedoc.h"
#include "services/host.h"
#include "services/internal.h"

namespace {
void ObjectName(const BaseList2D* obj, String* out) { *out = obj ? obj->name : String(); }
} // namespace

namespace orxhost {
namespace detail {
const OrxSceneTable kSceneTable = {1, sizeof(OrxSceneTable), ObjectName};
}
BaseList2D* NewObject(const String& name)
{
  auto* o = new BaseList2D(Obase);
  o->name = name;
  return o;
}
void FreeObject(BaseList2D* obj) { delete obj; }
} // namespace orxhost
