// Reads arbitrary bytes as a foreign scene file through the importer: the first byte chooses the
// kind by suffix (obj, stl, 3ds, fbx, lwo, lws), the rest is the file. A file is either refused
// with a reason or gives a document that saves in the native format.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "scene/scenedoc.h"
#include "services/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = (orxhost::InstallForThisProcess(), true);
  (void)installed;
  if (size < 1)
    return 0;
  static const char* kinds[] = {"obj", "stl", "3ds", "fbx", "lwo", "lws"};
  const std::string path = "/tmp/orxfuzz-import-" + std::to_string(::getpid()) + "." + kinds[data[0] % 6];
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f)
    return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  std::string error;
  auto doc = orxhost::scene::ImportFile(path, Int64(1) << 20, 2000, &error);
  ::unlink(path.c_str());
  if (!doc) {
    if (error.empty())
      std::abort();
    return 0;
  }
  std::vector<UChar> bytes;
  if (!orxhost::scene::SaveToMemory(*doc, &bytes))
    std::abort();
  return 0;
}
