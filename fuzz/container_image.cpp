// Reads arbitrary bytes as a container image; a write of what was read must read back equal.
#include <cstdlib>

#include "orx/hyperfile.h"
#include "services/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = (orxhost::InstallForThisProcess(), true);
  (void)installed;
  BaseContainer bc;
  if (!HyperFile::ImageToContainer(data, Int64(size), FourCC("brow"), &bc))
    return 0;
  ByteArray again;
  if (!HyperFile::ContainerToImage(bc, FourCC("brow"), &again))
    std::abort();
  BaseContainer back;
  if (!HyperFile::ImageToContainer(again.data(), Int64(again.size()), FourCC("brow"), &back) || !(back == bc))
    std::abort();
  return 0;
}
