// Loads arbitrary bytes as a picture, whole and reduced: a bitmap of a sane size or a failure.
#include <cstdlib>

#include "orx/media.h"
#include "services/host.h"

// OpenImageIO's PNG reader leaves its error text behind whenever libpng jumps out of a damaged file:
// a leak of the library that full stacks would be needed to tell apart, and full stacks for every
// allocation take more memory than a fuzzing run has. Leak checks are left to the tests of the
// loader under ASan; here the loader must neither crash nor give a bitmap of the wrong size.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options()
{
  return "detect_leaks=0";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  // Pictures up to 4 megapixels: the limit is the same code at any value, and memory stays small.
  static bool installed = (orxhost::InstallForThisProcess(), orxhost::SetPixelLimit(Int64(1) << 22), true);
  (void)installed;
  for (Int32 maxSize : {0, 48}) {
    Int32 result = -1;
    BaseBitmap* b = GeLoadBitmapFromMemory(data, Int64(size), maxSize, &result);
    if (b) {
      const Int64 w = b->GetWidth(), h = b->GetHeight();
      if (result != LOADBITMAP_OK || w <= 0 || h <= 0 || w * h > (Int64(1) << 22) ||
          (maxSize && (w > maxSize || h > maxSize)) || b->GetChannels() < 3 || b->GetChannels() > 4)
        std::abort();
      delete b;
    } else if (result == LOADBITMAP_OK) {
      std::abort();
    }
  }
  return 0;
}
