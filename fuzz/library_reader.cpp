// Library reader: any bytes, read in one pass and then loaded, indexed and saved as a library.
#include <cstdio>
#include <string>
#include <unistd.h>

#include "orx/orx.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabasechunk.h"
#include "services/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = [] {
    static char home[] = "/tmp/orxfuzz-XXXXXX";
    if (::mkdtemp(home))
      ::setenv("ORXHOST_HOME", home, 1);
    orxhost::InstallForThisProcess();
    return true;
  }();
  (void)installed;
  dbchunk::MemoryChunkSource src(data, Int64(size));
  dbchunk::LibraryImage img;
  dbchunk::ReadLibrary(&src, &img);

  // The whole road: load, open every item, save, and load again.
  static std::string path = std::string(std::getenv("ORXHOST_HOME")) + "/fuzz.libqz";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  BrowserDatabase* db = BrowserDatabase::Create(Filename(path.c_str()), String(), 0);
  if (db && db->Load()) {
    std::vector<BrowserDatabase::ItemInfo> items;
    db->ListItems(&items);
    for (const auto& it : items)
      if (BrowserDatabaseItem* h = db->OpenItem(it.path, it.hash)) {
        ByteArray bytes;
        h->GetData(&bytes);
        h->Close();
      }
    db->Save(true, true);
  }
  BrowserDatabase::SaveAllAndClose(false, false);
  std::remove((path + ".bak").c_str());
  return 0;
}
