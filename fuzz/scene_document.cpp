// Reads arbitrary bytes as a scene document in the native format; what loads must save and load
// back to the same bytes.
#include <cstdlib>

#include "scene/scenedoc.h"
#include "services/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = (orxhost::InstallForThisProcess(), true);
  (void)installed;
  std::string error;
  auto doc = orxhost::scene::LoadFromMemory(data, Int64(size), &error);
  if (!doc) {
    if (error.empty())
      std::abort();
    return 0;
  }
  std::vector<UChar> once, twice;
  if (!orxhost::scene::SaveToMemory(*doc, &once))
    std::abort();
  auto back = orxhost::scene::LoadFromMemory(once.data(), Int64(once.size()), &error);
  if (!back || !orxhost::scene::SaveToMemory(*back, &twice) || twice != once)
    std::abort();
  return 0;
}
