// Loads arbitrary bytes as a picture, whole and reduced: a bitmap of a sane size or a failure.
#include <cstdlib>

#include "orx/media.h"
#include "services/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = (orxhost::InstallForThisProcess(), true);
  (void)installed;
  for (Int32 maxSize : {0, 48}) {
    Int32 result = -1;
    BaseBitmap* b = GeLoadBitmapFromMemory(data, Int64(size), maxSize, &result);
    if (b) {
      const Int64 w = b->GetWidth(), h = b->GetHeight();
      if (result != LOADBITMAP_OK || w <= 0 || h <= 0 || w * h > LOADBITMAP_MAX_PIXELS ||
          (maxSize && (w > maxSize || h > maxSize)) || b->GetChannels() < 3 || b->GetChannels() > 4)
        std::abort();
      delete b;
    } else if (result == LOADBITMAP_OK) {
      std::abort();
    }
  }
  return 0;
}
