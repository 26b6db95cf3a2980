// A .cbinfo description on arbitrary bytes, applied to a library entry as the build does, in a small
// tree with a settings file, still and animated previews and a file outside the tree: no crash, no
// leak of host blocks, nothing read from outside the tree, and only what the build allows stored.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/browserutils.h"
#include "orx/bitmap.h"
#include "orx/files.h"
#include "orx/media.h"
#include "orx/orx.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabaseitem.h"
#include "services/host.h"
#include "tools/contenttool/librarybuild.h"
#include "tools/contenttool/presettypetable.h"
#include "tools/xml/xml_parser.h"

namespace {

namespace fs = std::filesystem;

Filename g_tree;
BuildContext* g_ctx = nullptr;
Int64 g_counter = 0;
const char kSecret[] = "OUTSIDE-THE-TREE";

void Write(const fs::path& p, const std::string& bytes)
{
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

bool Picture(const fs::path& p, Int32 format)
{
  BaseBitmap bmp;
  if (!bmp.Init(4, 3))
    return false;
  fs::create_directories(p.parent_path());
  return GeSaveBitmap(bmp, Filename(String(p.string().c_str())), format, 80);
}

void Abort(const char* why)
{
  std::fprintf(stderr, "%s\n", why);
  std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  orxhost::InstallForThisProcess();
  const char* tmp = std::getenv("TMPDIR");
  const fs::path base = fs::path(tmp && *tmp ? tmp : "/tmp") / ("fuzz_cbinfo_" + std::to_string(::getpid()));
  fs::remove_all(base);
  const fs::path tree = base / "Tree";
  Write(base / "secret", kSecret);
  Write(base / "Tree.cbinfo", "<?xml version=\"1.0\"?>\r\n<item type=library>\r\n</item>\r\n");
  Write(tree / "item", "data");
  Write(tree / "notes.txt", kSecret);
  {
    BaseContainer bc;
    bc.SetInt32(1, 7);
    BaseFile f;
    Int64 n = 0;
    if (!f.Open(Filename(String((tree / "item.bc").string().c_str())), FileMode::Write) || !WriteContainerFile(bc, &f, &n))
      Abort("cannot write the settings file");
  }
  if (!Picture(tree / "item.preview_00000.jpg", SAVEBITMAP_JPEG) ||
      !Picture(tree / "item.preview_00001.png", SAVEBITMAP_PNG) ||
      !Picture(tree / "item.preview" / "preview_00000.jpg", SAVEBITMAP_JPEG) ||
      !Picture(tree / "item.preview" / "preview_00004.png", SAVEBITMAP_PNG))
    Abort("cannot write the pictures");
  fs::create_symlink("../secret", tree / "link");
  g_tree = Filename(String(tree.string().c_str()));

  g_ctx = new BuildContext;
  g_ctx->sourceFolder = g_tree;
  g_ctx->libraryURL = "preset://fuzz.libqz";
  g_ctx->itemByteLimit = 1 << 20;
  g_ctx->database = BrowserDatabase::Create(Filename(String((base / "fuzz.libqz").string().c_str())), String(), 0);
  if (!g_ctx->database)
    Abort("no database");
  g_ctx->database->SetName(g_ctx->libraryURL);
  if (!g_ctx->database->Save(true))
    Abort("cannot write the database");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
  Int32 code = 0;
  XMLNode* root = ParseXML(reinterpret_cast<const char*>(data), Int64(size), &code);
  if (!root)
    return 0;

  // The small readers of attribute and element texts.
  String typeName;
  if (AttributeValue(root->attributes, "type", &typeName)) {
    const PresetTypeRow* row = FindPresetType(typeName);
    if (row && typeName != String(row->name))
      Abort("a type found under another name");
  }
  for (const XMLNode* c = root->firstChild; c; c = c->next) {
    Float fps = 0;
    if (ParseFps(c->text, &fps) && !(std::isfinite(fps) && fps > 0 && fps <= kMaxPreviewFps))
      Abort("an fps out of range accepted");
    String code2;
    if (AttributeValue(c->attributes, "language", &code2)) {
      const UInt32 id = UInt32(LanguageIdFromCode(code2));
      for (int i = 0; i < 4; ++i) {
        const UInt32 ch = (id >> (24 - 8 * i)) & 0xff;
        if (ch >= 'A' && ch <= 'Z')
          Abort("an upper-case language code");
      }
    }
  }

  const String url = g_ctx->libraryURL + "/e" + String::FromInt(++g_counter);
  BrowserDatabaseItem* entry = g_ctx->database->OpenOrCreateItem(url);
  if (!entry)
    Abort("no entry");
  g_ctx->BeginItem();
  ReadItemInfo(g_ctx, root, entry, g_tree, "item");

  BaseContainer settings;
  if (entry->GetSettings(&settings) && settings.GetCount() > 0 && settings.GetInt32(1) != 7)
    Abort("settings from somewhere else");
  for (Int32 i = 0; i < entry->GetPreviewCount(); ++i) {
    PreviewInfo info;
    ByteArray bytes;
    if (!entry->GetPreviewInfo(i, &info) || !entry->GetPreviewData(info.imageId, &bytes))
      continue;
    if (bytes.size() < 3 || bytes[0] != 0xFF || bytes[1] != 0xD8 || bytes[2] != 0xFF)
      Abort("a preview that is not JPEG");
  }
  Int32 first = 0, last = 0;
  Float fps = 0;
  if (entry->GetAnimation(&first, &last, &fps) && (first != 0 || last < 0 || !(fps > 0 && fps <= kMaxPreviewFps)))
    Abort("an animation out of range");
  entry->Close();
  g_ctx->database->DeleteItem(url);
  FreeXMLTree(root);
  return 0;
}
