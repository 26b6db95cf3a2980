// Scene objects of the stand-in host (names only, until documents arrive).
#include <string>

#include "services/host.h"
#include "services/internal.h"

class BaseList2D
{
public:
  std::u16string name;
};

namespace {
void ObjectName(const BaseList2D* obj, String* out) { *out = obj ? String(std::u16string_view(obj->name)) : String(); }
} // namespace

namespace orxhost {
namespace detail {
const OrxSceneTable kSceneTable = {1, sizeof(OrxSceneTable), ObjectName};
}
BaseList2D* NewObject(const String& name)
{
  auto* o = new BaseList2D;
  o->name = std::u16string(name.View());
  return o;
}
void FreeObject(BaseList2D* obj) { delete obj; }
} // namespace orxhost
