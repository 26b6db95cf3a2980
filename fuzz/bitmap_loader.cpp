// Loads arbitrary bytes as a picture, whole and reduced: a bitmap of a sane size or a failure.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
  // The size of a file of these bytes, read from its head or from the whole file.
  static const std::string file = "/tmp/fuzz-bitmap-" + std::to_string(::getpid());
  if (std::FILE* f = std::fopen(file.c_str(), "wb")) {
    const bool written = std::fwrite(data, 1, size, f) == size;
    std::fclose(f);
    Int32 w = -1, h = -1;
    if (written && GeGetBitmapInfo(Filename(String(file.c_str())), &w, &h) &&
        (w <= 0 || h <= 0 || Int64(w) * h > (Int64(1) << 22)))
      std::abort();
  }
  return 0;
}
