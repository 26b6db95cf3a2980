// Library reader: any bytes, read in one pass and then loaded, indexed, written out record by
// record, saved and compacted as a library. What loaded must load again afterwards, byte for
// byte, unless the library was reported damaged.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>
#include <unistd.h>

#include "orx/orx.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabasechunk.h"
#include "services/host.h"

namespace {

// Item id -> path, name, data and previews, as a user reads them.
std::map<Int32, std::string> Contents(BrowserDatabase* db)
{
  std::map<Int32, std::string> out;
  std::vector<BrowserDatabase::ItemInfo> items;
  db->ListItems(&items);
  for (const auto& it : items) {
    if (it.id < 1)
      continue;
    BrowserDatabaseItem* h = db->OpenItem(it.path, it.hash);
    if (!h)
      continue;
    if (h->GetId() == it.id) {
      std::string v = it.path.ToUtf8() + "|" + h->GetName(0x75730000).ToUtf8();
      ByteArray bytes;
      if (h->HasData())
        v += "|" + (h->GetData(&bytes) ? std::string(bytes.begin(), bytes.end()) : std::string("(unreadable)"));
      for (Int32 i = 0; i < h->GetPreviewCount(); ++i) {
        PreviewInfo pi;
        if (h->GetPreviewInfo(i, &pi) && h->GetPreviewData(pi.imageId, &bytes))
          v += "|" + std::string(bytes.begin(), bytes.end());
      }
      out[it.id] = v;
    }
    h->Close();
  }
  return out;
}

// Marks every item changed and writes its record out to the file at once, as the build does.
void WriteOutAll(BrowserDatabase* db)
{
  std::vector<BrowserDatabase::ItemInfo> items;
  db->ListItems(&items);
  for (const auto& it : items) {
    if (it.id < 1)
      continue;
    if (BrowserDatabaseItem* h = db->OpenItem(it.path, it.hash)) {
      h->SetState(h->GetState());
      h->CloseAndWriteOut();
    }
  }
}

void Compare(const std::map<Int32, std::string>& before, const std::map<Int32, std::string>& after, const char* what)
{
  for (const auto& [id, v] : before) {
    auto it = after.find(id);
    if (it == after.end() || it->second != v) {
      std::fprintf(stderr, "item %d was lost or changed by %s\n", int(id), what);
      std::abort();
    }
  }
}

} // namespace

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

  // The whole road: load, open every item, save and compact, and load again.
  static std::string path = std::string(std::getenv("ORXHOST_HOME")) + "/fuzz.libqz";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  const Filename file(path.c_str());
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), 0);
  if (db && db->Load()) {
    const Bool damaged = db->IsWriteProtectedByDamage();
    const std::map<Int32, std::string> before = Contents(db);
    // Records written out read back as they were, and are carried by a save and a compaction
    // without being read back.
    WriteOutAll(db);
    if (!damaged)
      Compare(before, Contents(db), "writing it out");
    WriteOutAll(db);
    db->Save(true, true);
    db->Compact();
    BrowserDatabase::Destroy(db);
    db = BrowserDatabase::Create(file, String(), 0);
    if (!damaged && db && db->Load())
      Compare(before, Contents(db), "a save and a compaction");
  }
  BrowserDatabase::SaveAllAndClose(false, false);
  std::remove((path + ".bak").c_str());
  return 0;
}
