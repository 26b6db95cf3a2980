// Reads arbitrary bytes as a scene document and draws the previews of what loads: its objects,
// each top object alone, and its first material. Every answer is a picture of the asked size or no
// picture with a reason; damaged meshes never reach outside their bytes.
#include <cstdlib>

#include "orx/bitmap.h"
#include "orx/memory.h"
#include "scene/scenedoc.h"
#include "services/host.h"

namespace {
void Check(const BaseDocument* doc, const BaseList2D* e, Int32 flags)
{
  std::string error;
  BaseBitmap* b = orxhost::scene::RenderPreview(doc, e, 12, 10, flags, &error);
  if (!b) {
    if (error.empty())
      std::abort();
    return;
  }
  if (b->GetWidth() != 12 || b->GetHeight() != 10 || b->GetChannels() != 3)
    std::abort();
  OrxDeleteObj(b);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = (orxhost::InstallForThisProcess(), true);
  (void)installed;
  std::string error;
  auto doc = orxhost::scene::LoadFromMemory(data, Int64(size), &error);
  if (!doc)
    return 0;
  Check(doc.get(), nullptr, 0);
  Check(doc.get(), nullptr, SCENEPREVIEW_MATERIAL);
  int n = 0;
  for (const auto& o : doc->roots[SCENELIST_OBJECTS].children)
    if (n++ < 4)
      Check(doc.get(), o.get(), 0);
  return 0;
}
