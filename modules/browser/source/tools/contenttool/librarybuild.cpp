#include "tools/contenttool/librarybuild.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "base/browserutils.h"
#include "orx/browsercontenttool.h"
#include "orx/dialogs.h"
#include "orx/files.h"
#include "orx/hyperfile.h"
#include "orx/media.h"
#include "orx/services.h"
#include "orx/threads.h"
#include "orx/uitable.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabaseitem.h"
#include "tools/contenttool/presettypetable.h"
#include "tools/contenttool/treenames.h"
#include "tools/xml/xml_parser.h"

namespace {

constexpr Int32 kRootType = 1018760;
constexpr Int32 kGenericPreset = 1018031;
constexpr Int32 kStyleWarning = 48;
constexpr Int32 kFrameQuality = 4;
const char* const kDescriptionSuffix = ".cbinfo";

// --- reading files of the tree ---

enum class ReadStatus
{
  Ok,
  Missing,
  Link,
  NotRegular,
  TooLarge,
  Failed,
};

String Path(const Filename& f) { return f.GetString(); }

String Cause(ReadStatus s, Int64 limit)
{
  switch (s) {
    case ReadStatus::Missing: return "it does not exist";
    case ReadStatus::Link: return "it is a link, links are not followed";
    case ReadStatus::NotRegular: return "it is not a regular file";
    case ReadStatus::TooLarge: return "it is larger than " + String::FromInt(limit) + " bytes";
    case ReadStatus::Failed: return "it could not be read";
    case ReadStatus::Ok: break;
  }
  return String();
}

// The kind of an entry without following a link.
ReadStatus FileKind(const Filename& f, Int64* size)
{
  FileStatus st;
  if (!GeGetFileStatus(f, &st))
    return ReadStatus::Missing;
  if (st.attributes & FILEATTR_LINK)
    return ReadStatus::Link;
  if (st.attributes & (FILEATTR_FOLDER | FILEATTR_SPECIAL))
    return ReadStatus::NotRegular;
  if (size)
    *size = st.size;
  return ReadStatus::Ok;
}

Bool IsRealFolder(const Filename& f, Bool* isLink = nullptr)
{
  FileStatus st;
  if (isLink)
    *isLink = false;
  if (!GeGetFileStatus(f, &st))
    return false;
  if (st.attributes & FILEATTR_LINK) {
    if (isLink)
      *isLink = true;
    return false;
  }
  return (st.attributes & FILEATTR_FOLDER) != 0;
}

// Reads a regular file (never a link, pipe or device; the host's open does not wait on either)
// of at most limit bytes whole.
ReadStatus ReadTreeFile(const Filename& f, Int64 limit, ByteArray* out)
{
  out->clear();
  Int64 size = 0;
  const ReadStatus kind = FileKind(f, &size);
  if (kind != ReadStatus::Ok)
    return kind;
  if (size > limit)
    return ReadStatus::TooLarge;
  BaseFile file;
  if (!file.Open(f, FileMode::Read))
    return ReadStatus::Failed;
  const Int64 length = file.GetLength();
  if (length < 0)
    return ReadStatus::Failed;
  if (length > limit)
    return ReadStatus::TooLarge;
  try {
    out->resize(std::size_t(length));
  } catch (...) {
    return ReadStatus::Failed;
  }
  if (length > 0 && !file.ReadExact(out->data(), length)) {
    out->clear();
    return ReadStatus::Failed;
  }
  return ReadStatus::Ok;
}

Bool EndsWith(const String& s, const String& end)
{
  const Int32 n = end.GetLength();
  return s.GetLength() >= n && s.ComparePart(end, n, s.GetLength() - n) == 0;
}

String Unquoted(const String& s)
{
  if (s.GetLength() >= 2 && (s[0] == u'"' || s[0] == u'\'') && s[s.GetLength() - 1] == s[0])
    return s.SubStr(1, s.GetLength() - 2);
  return s;
}

Filename Appended(const Filename& f, const char* text) { return Filename(f.GetString() + String(text)); }

// --- pictures ---

// Width and height from a JPEG's frame header, without decoding it.
Bool JpegSize(const UChar* p, Int64 n, Int32* w, Int32* h)
{
  if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
    return false;
  Int64 i = 2;
  while (i + 4 <= n) {
    if (p[i] != 0xFF)
      return false;
    const UChar m = p[i + 1];
    if (m == 0xFF) {
      ++i;
      continue;
    }
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD8)) {
      i += 2;
      continue;
    }
    if (m == 0xD9 || m == 0xDA)
      return false;
    const Int32 len = (Int32(p[i + 2]) << 8) | p[i + 3];
    if (len < 2)
      return false;
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      if (i + 9 > n)
        return false;
      *h = (Int32(p[i + 5]) << 8) | p[i + 6];
      *w = (Int32(p[i + 7]) << 8) | p[i + 8];
      return *w > 0 && *h > 0;
    }
    i += 2 + len;
  }
  return false;
}

std::atomic<UInt32> g_tempCounter{0};

Bool EncodeJpeg(const BaseBitmap& bmp, ByteArray* out)
{
  const Filename folder = GetTempFolder();
  if (!GeFolderExists(folder) && !GeCreateFolderTree(folder))
    return false;
  const UInt32 n = g_tempCounter.fetch_add(1, std::memory_order_relaxed);
  const Filename file = folder + String(("build-" + std::to_string(GeGetTimer()) + "-" + std::to_string(n) + ".jpg").c_str());
  Bool ok = GeSaveBitmap(bmp, file, SAVEBITMAP_JPEG, 90) && ReadTreeFile(file, Int64(1) << 31, out) == ReadStatus::Ok;
  GeDelete(file);
  return ok && !out->empty();
}

// --- the item budget ---

// Takes bytes from the item's budget; false (with the cut logged) when they do not fit.
Bool TakeBudget(BuildContext* ctx, Int64 bytes, const String& what, const String& itemName)
{
  if (bytes <= ctx->itemBytesLeft) {
    ctx->itemBytesLeft -= bytes;
    return true;
  }
  ctx->LogError("Cut " + what + " of " + itemName + ": the item would read more than " +
                String::FromInt(ctx->itemByteLimit) + " bytes");
  return false;
}

// Reads a file of an item within the item's budget; logs every cause but a missing file.
ReadStatus ReadItemFile(BuildContext* ctx, const Filename& f, ByteArray* out, const String& itemName,
                        const String& what)
{
  const ReadStatus s = ReadTreeFile(f, ctx->itemBytesLeft, out);
  if (s == ReadStatus::TooLarge) {
    ctx->LogError("Cut " + what + " of " + itemName + ": " + Path(f) + " would take the item over " +
                  String::FromInt(ctx->itemByteLimit) + " bytes");
  } else if (s == ReadStatus::Ok) {
    ctx->itemBytesLeft -= Int64(out->size());
  } else if (s != ReadStatus::Missing) {
    ctx->LogError("Skipped " + what + " " + Path(f) + " of " + itemName + ": " + Cause(s, ctx->itemBytesLeft));
  }
  return s;
}

// A setter's result: a failure is an error of the item.
Bool Checked(BuildContext* ctx, Bool ok, const String& what, const String& itemName)
{
  if (!ok)
    ctx->LogError("Could not set " + what + " for " + itemName);
  return ok;
}

// Closes a finished entry on every path. Its record goes to the library file at once: kept until
// the save at the end, the records of a big library would make the build's memory grow with it.
// One that could not be written waits for that save.
struct FinishedEntry
{
  BrowserDatabaseItem* p;
  explicit FinishedEntry(BrowserDatabaseItem* item) : p(item) {}
  ~FinishedEntry()
  {
    if (p)
      p->CloseAndWriteOut();
  }
  FinishedEntry(const FinishedEntry&) = delete;
  FinishedEntry& operator=(const FinishedEntry&) = delete;
};

Int32 CountDescriptions(const Filename& folder, Int32 depth)
{
  if (depth > kMaxTreeDepth)
    return 0;
  BrowseFiles b;
  if (!b.Init(folder))
    return 0;
  Int32 n = 0;
  std::vector<String> subFolders;
  while (b.GetNext()) {
    const FolderEntry& e = b.Entry();
    if (e.IsLink() || e.IsSpecial() || e.IsFolder() || !EndsWith(e.name, kDescriptionSuffix))
      continue;
    ++n;
    const String item = e.name.Left(e.name.GetLength() - 7);
    if (IsSingleName(item))
      subFolders.push_back(item);
  }
  for (const String& s : subFolders)
    if (IsRealFolder(folder + s))
      n += CountDescriptions(folder + s, depth + 1);
  return n;
}

} // namespace

// --- the context ---

Bool BuildContext::TestBreak()
{
  if (stop && stop->load())
    return true;
  return dialog && dialog->TestBreak();
}

Bool BuildContext::Step()
{
  ++done;
  if (dialog)
    dialog->SetProgress(total > 0 ? std::min(1.0, double(done) / double(total)) : 1.0);
  return !TestBreak();
}

// --- small readers ---

Int32 LanguageIdFromCode(const String& code)
{
  const String lower = code.ToLower();
  const Int32 n = lower.GetLength();
  if (n < 1 || n > 4)
    return 0;
  UInt32 id = 0;
  for (Int32 i = 0; i < n; ++i) {
    const Utf16Char c = lower[i];
    id |= UInt32(c < 128 ? c : 0) << (24 - 8 * i);
  }
  return Int32(id);
}

Bool ParseFps(const String& text, Float* out)
{
  const std::string s = text.ToUtf8();
  if (s.empty() || s.size() > 16)
    return false;
  std::size_t start = 0, end = s.size();
  while (start < end && (s[start] == ' ' || s[start] == '\t' || s[start] == '\r' || s[start] == '\n'))
    ++start;
  while (end > start && (s[end - 1] == ' ' || s[end - 1] == '\t' || s[end - 1] == '\r' || s[end - 1] == '\n'))
    --end;
  if (start < end && s[start] == '+')
    ++start;
  double v = 0;
  const auto r = std::from_chars(s.data() + start, s.data() + end, v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != s.data() + end)
    return false;
  if (!std::isfinite(v) || !(v > 0.0) || v > kMaxPreviewFps)
    return false;
  *out = Float(v);
  return true;
}

Bool AttributeValue(const String& attributes, const String& key, String* out)
{
  Int32 pos = 0;
  const String pattern = key + "=";
  if (!attributes.FindFirst(pattern, &pos))
    return false;
  const Int32 from = pos + pattern.GetLength();
  *out = Unquoted(attributes.SubStr(from, attributes.GetLength() - from));
  return true;
}

XMLNode* LoadDescription(const Filename& file, String* why)
{
  ByteArray bytes;
  const ReadStatus s = ReadTreeFile(file, kMaxDescriptionBytes, &bytes);
  if (s != ReadStatus::Ok) {
    if (why)
      *why = Cause(s, kMaxDescriptionBytes);
    return nullptr;
  }
  Int32 code = 0;
  XMLNode* root = ParseXML(reinterpret_cast<const char*>(bytes.data()), Int64(bytes.size()), &code);
  if (!root || code != XML_OK) {
    if (root)
      FreeXMLTree(root);
    if (why)
      *why = code == XML_OUT_OF_MEMORY ? String("out of memory")
                                       : "it is not a description (XML error " + String::FromInt(code) + ")";
    return nullptr;
  }
  return root;
}

Bool PreviewAsJpeg(const void* data, Int64 size, ByteArray* jpeg, Int32* width, Int32* height)
{
  const auto* p = static_cast<const UChar*>(data);
  Int32 w = 0, h = 0;
  if (size > 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF && JpegSize(p, size, &w, &h)) {
    try {
      jpeg->assign(p, p + size);
    } catch (...) {
      return false;
    }
    *width = w;
    *height = h;
    return true;
  }
  if (size <= 0)
    return false;
  BaseBitmap* bmp = GeLoadBitmapFromMemory(data, size, 0, nullptr);
  if (!bmp)
    return false;
  const Bool ok = EncodeJpeg(*bmp, jpeg);
  *width = bmp->GetWidth();
  *height = bmp->GetHeight();
  delete bmp;
  return ok;
}

// --- source, target, name ---

Bool CheckBuildSource(const Filename& chosen, Filename* description, Filename* sourceFolder, String* message)
{
  String path = chosen.GetString();
  while (path.GetLength() > 1 && path[path.GetLength() - 1] == u'/')
    path = path.Left(path.GetLength() - 1);
  Filename source, desc;
  Bool isLink = false;
  if (IsRealFolder(Filename(path), &isLink)) {
    source = Filename(path);
    desc = Filename(path + kDescriptionSuffix);
  } else {
    if (!EndsWith(path, kDescriptionSuffix) || path.GetLength() <= 7 || path[path.GetLength() - 8] == u'/') {
      *message = "Please select the top level cbinfo file of the library.";
      return false;
    }
    desc = Filename(path);
    source = Filename(path.Left(path.GetLength() - 7));
    if (!IsRealFolder(source)) {
      *message = "There is no corresponding folder for the cbinfo file.";
      return false;
    }
  }
  String why;
  XMLNode* root = LoadDescription(desc, &why);
  if (!root) {
    *message = "Could not parse library cbinfo file.";
    return false;
  }
  const String attributes = root->attributes;
  FreeXMLTree(root);
  if (attributes != String("type=library")) {
    *message = "cbinfo file is of " + attributes + ". Must be type=library instead.";
    return false;
  }
  *description = desc;
  *sourceFolder = source;
  return true;
}

Bool CheckBuildTarget(const Filename& target, String* message)
{
  FileStatus st;
  if (target.IsEmpty()) {
    *message = "No target library file was given.";
    return false;
  }
  if (GeGetFileStatus(target, &st)) {
    *message = "The target " + Path(target) + " exists already. Choose a new name.";
    return false;
  }
  if (BrowserDatabase::FindLibraryForFile(target)) {
    *message = "The target " + Path(target) + " is open as a library. Choose a new name.";
    return false;
  }
  const Filename working = Appended(target, ".new");
  if (GeGetFileStatus(working, &st)) {
    *message = "The file " + Path(working) + " is in the way. Remove it or choose a new name.";
    return false;
  }
  if (!IsRealFolder(target.GetDirectory())) {
    *message = "The folder of the target " + Path(target) + " does not exist.";
    return false;
  }
  return true;
}

String LibraryNameFor(const Filename& sourceFolder)
{
  String name = sourceFolder.GetFileString();
  Int32 pos = 0;
  if (name.FindLast(String(".libqz"), &pos) && pos > 0)
    name = name.Left(pos);
  return name;
}

String LibraryURLFor(const String& libraryName) { return "preset://" + libraryName.ToLower() + ".libqz"; }

// --- the run ---

Bool PrepareBuildContext(BuildContext* ctx, const Filename& sourceFolder, const Filename& targetFile, String* why)
{
  ctx->sourceFolder = sourceFolder;
  ctx->targetFile = targetFile;
  ctx->workingFile = Appended(targetFile, ".new");
  const String name = LibraryNameFor(sourceFolder);
  ctx->libraryURL = LibraryURLFor(name);
  if (BrowserDatabase* other = BrowserDatabase::FindLibraryForURL(ctx->libraryURL)) {
    (void)other;
    *why = "A library " + ctx->libraryURL + " is open already; it cannot be built a second time.";
    return false;
  }
  FileStatus st;
  if (GeGetFileStatus(ctx->workingFile, &st)) {
    *why = "The file " + Path(ctx->workingFile) + " is in the way.";
    return false;
  }
  Int32 slot = -1;
  BrowserDatabase* db = BrowserDatabase::Create(ctx->workingFile, String(), DBFLAG_UNINDEXED, &slot);
  if (!db || slot < 0) {
    if (db)
      BrowserDatabase::Destroy(db);
    *why = "Could not make the new library " + ctx->libraryURL + " (out of memory or too many libraries).";
    return false;
  }
  db->SetName(ctx->libraryURL);
  db->SetDisplayName(name);
  // Written once before any data, so that the data chunks follow the library's information.
  if (!db->Save(true)) {
    BrowserDatabase::Destroy(db);
    GeDelete(ctx->workingFile);
    *why = "Could not write the library file " + Path(ctx->workingFile) + ".";
    return false;
  }
  ctx->database = db;
  String logWhy;
  if (!ctx->logs.Open(targetFile.GetDirectory(), &logWhy)) {
    BrowserDatabase::Destroy(db);
    ctx->database = nullptr;
    GeDelete(ctx->workingFile);
    *why = "Could not open the logs in " + Path(targetFile.GetDirectory()) + ": " + logWhy;
    return false;
  }
  ctx->total = 0;
  ctx->done = 0;
  if (FileKind(Appended(sourceFolder, kDescriptionSuffix), nullptr) == ReadStatus::Ok)
    ctx->total = 1 + CountDescriptions(sourceFolder, 0);
  return true;
}

Bool BuildLibrary(BuildContext* ctx)
{
  const Filename rootFile = Appended(ctx->sourceFolder, kDescriptionSuffix);
  String why;
  XMLNode* root = LoadDescription(rootFile, &why);
  if (!root) {
    ctx->LogError("Couldn't parse cbinfo file " + Path(rootFile) + ": " + why);
    return false;
  }
  struct FreeRoot
  {
    XMLNode*& r;
    ~FreeRoot() { FreeXMLTree(r); }
  } freeRoot{root};
  if (root->attributes != String("type=library")) {
    ctx->LogError("Wrong item attribute for preset library, should be type=library but was " + root->attributes);
    return false;
  }
  const String& url = ctx->libraryURL;
  BrowserDatabaseItem* entry = ctx->database->CreateItem(url);
  if (!entry) {
    ctx->LogError("Creating root database entry for " + url + " failed");
    return false;
  }
  {
    FinishedEntry h(entry);
    ctx->LogOperation("Creating root database entry for " + url);
    ctx->BeginItem();
    const String itemName = ctx->sourceFolder.GetFileString();
    const DateTime now = GeGetCurrentTime();
    Checked(ctx, entry->SetTime(0, now) && entry->SetTime(1, now), "the times", itemName);
    Checked(ctx, entry->SetType(kRootType, 0), "the type", itemName);
    Checked(ctx, entry->SetItemFlags(dbitem::kFolderFlag), "the folder flag", itemName);
    ReadItemInfo(ctx, root, entry, ctx->sourceFolder.GetDirectory(), itemName);
  }
  if (!ctx->Step()) {
    ctx->LogError("User cancelled");
    ctx->cancelled = true;
    return false;
  }
  return BuildFolder(ctx, ctx->sourceFolder, url);
}

Bool BuildFolder(BuildContext* ctx, const Filename& folder, const String& parentURL)
{
  Bool isLink = false;
  if (!IsRealFolder(folder, &isLink)) {
    // A folder description without its folder is an empty folder.
    if (isLink)
      ctx->LogError("Skipped folder " + Path(folder) + ": it is a link, links are not followed");
    return ctx->ErrorCount() == 0;
  }
  if (ctx->depth >= kMaxTreeDepth) {
    ctx->LogError("Skipped folder " + Path(folder) + ": more than " + String::FromInt(kMaxTreeDepth) +
                  " folder levels");
    return false;
  }
  BrowseFiles b;
  if (!b.Init(folder)) {
    ctx->LogError("Could not list the folder " + Path(folder));
    return false;
  }
  while (!ctx->cancelled && b.GetNext()) {
    const FolderEntry& e = b.Entry();
    const Filename path = folder + e.name;
    if (e.IsLink()) {
      ctx->LogError("Skipped " + Path(path) + ": it is a link, links are not followed");
      continue;
    }
    if (e.IsSpecial()) {
      ctx->LogError("Skipped " + Path(path) + ": it is not a regular file or folder");
      continue;
    }
    if (e.IsFolder() || !EndsWith(e.name, kDescriptionSuffix))
      continue;
    const String itemName = e.name.Left(e.name.GetLength() - 7);
    Filename itemPath;
    if (!IsSingleName(itemName) || !JoinInside(ctx->sourceFolder, folder, itemName, &itemPath)) {
      ctx->LogError("Skipped " + Path(path) + ": \"" + itemName + "\" is not a valid item name");
      continue;
    }
    if (!ctx->Step()) {
      ctx->LogError("User cancelled");
      ctx->cancelled = true;
      break;
    }
    ctx->BeginItem();
    String why;
    XMLNode* root = LoadDescription(path, &why);
    if (!root) {
      ctx->LogError("Couldn't parse cbinfo file " + Path(path) + ": " + why);
      continue;
    }
    const String attributes = root->attributes;
    String typeName;
    const PresetTypeRow* row = AttributeValue(attributes, "type", &typeName) ? FindPresetType(typeName) : nullptr;
    // The library is unindexed and cannot tell a taken path, but no path comes twice: a folder is
    // walked once, from its parent, a listing gives each name once, names decode one to one, and a
    // single name joined to its folder's URL names nothing else.
    const String url = parentURL + "/" + itemName;
    BrowserDatabaseItem* entry = ctx->database->CreateItem(url);
    if (!entry) {
      ctx->LogError("Creating database entry for " + url + " failed");
      FreeXMLTree(root);
      continue;
    }
    FinishedEntry h(entry);
    ctx->LogOperation("Creating database entry for " + url + " of " + attributes);
    const DateTime now = GeGetCurrentTime();
    Checked(ctx, entry->SetTime(0, now) && entry->SetTime(1, now), "the times", itemName);
    if (row) {
      const Bool ok = row->fileKind ? entry->SetType(kGenericPreset, row->id) : entry->SetType(row->id, 0);
      Checked(ctx, ok, "the type", itemName);
    }
    if (attributes == String("type=folder")) {
      Checked(ctx, entry->SetItemFlags(dbitem::kFolderFlag), "the folder flag", itemName);
      ++ctx->depth;
      BuildFolder(ctx, itemPath, url);
      --ctx->depth;
    } else {
      ByteArray data;
      if (ReadItemFile(ctx, itemPath, &data, itemName, "the data") == ReadStatus::Ok)
        Checked(ctx, entry->SetData(data.data(), Int64(data.size()), dbitem::kStoreCompressed), "the data", itemName);
    }
    ReadItemInfo(ctx, root, entry, folder, itemName);
    FreeXMLTree(root);
  }
  if (!ctx->cancelled && b.Error() != 0)
    ctx->LogError("Could not list the whole folder " + Path(folder));
  return ctx->ErrorCount() == 0;
}

void ReadItemInfo(BuildContext* ctx, const XMLNode* item, BrowserDatabaseItem* entry, const Filename& folder,
                  const String& itemName)
{
  for (const XMLNode* c = item ? item->firstChild : nullptr; c; c = c->next) {
    if (c->name == String("settings")) {
      Filename file;
      if (!JoinInside(ctx->sourceFolder.GetDirectory(), folder, c->text, &file)) {
        ctx->LogError("Could not open settings for " + itemName + ": \"" + c->text +
                      "\" is not a file name inside the tree");
        continue;
      }
      ByteArray bytes;
      const ReadStatus s = ReadItemFile(ctx, file, &bytes, itemName, "the settings");
      if (s != ReadStatus::Ok) {
        ctx->LogError("Could not open settings for " + itemName);
        continue;
      }
      BaseContainer bc;
      Bool ok = false;
      try {
        ok = HyperFile::ImageToContainer(bytes.data(), Int64(bytes.size()), BROWSER_CONTAINER_IDENT, &bc);
      } catch (...) {
        ok = false;
      }
      if (!ok) {
        ctx->LogError("Could not read settings for " + itemName);
        continue;
      }
      Checked(ctx, entry->SetSettings(bc), "the settings", itemName);
    } else if (c->name == String("name")) {
      for (const XMLNode* s = c->firstChild; s; s = s->next) {
        if (s->name != String("string")) {
          ctx->LogError("Could not add name for " + itemName);
          continue;
        }
        String code;
        const Int32 language = AttributeValue(s->attributes, "language", &code) ? LanguageIdFromCode(code) : 0;
        Checked(ctx, entry->SetName(s->text, language), "a name", itemName);
      }
    } else if (c->name == String("annotation")) {
      for (const XMLNode* s = c->firstChild; s; s = s->next) {
        if (s->name != String("string")) {
          ctx->LogError("Could not add annotation for " + itemName);
          continue;
        }
        Checked(ctx, entry->SetAnnotation(s->text), "the annotation", itemName);
      }
    } else if (c->name == String("preview")) {
      if (!ReadPreview(ctx, c, entry, folder, itemName))
        ctx->LogError("Could not find preview for '" + itemName + "' in path: " + Path(folder));
    }
    if (ctx->cancelled)
      return;
  }
}

namespace {

Int32 QualityCode(const String& type)
{
  if (type == String("mediumquality"))
    return 2;
  if (type == String("highquality"))
    return 4;
  if (type == String("maximumquality"))
    return 8;
  return 1;
}

Bool IsFrameSuffix(const String& name)
{
  Int32 dot = 0;
  if (!name.FindLast(u'.', &dot))
    return false;
  const String s = name.SubStr(dot + 1, name.GetLength() - dot - 1).ToLower();
  return s == String("jpg") || s == String("jpeg") || s == String("tif") || s == String("tiff") || s == String("png");
}

// The frame number of "preview_<digits>.<suffix>"; -1 for other names.
Int64 FrameNumber(const String& name)
{
  const String prefix("preview_");
  Int32 dot = 0;
  if (!name.StartsWith(prefix) || !name.FindLast(u'.', &dot) || dot <= prefix.GetLength())
    return -1;
  Int64 v = 0;
  for (Int32 i = prefix.GetLength(); i < dot; ++i) {
    const Utf16Char c = name[i];
    if (c < u'0' || c > u'9' || v > (Int64(1) << 40))
      return -1;
    v = v * 10 + (c - u'0');
  }
  return v;
}

Bool StorePreview(BuildContext* ctx, BrowserDatabaseItem* entry, Int32 index, const ByteArray& jpeg, Int32 quality,
                  Int32 w, Int32 h, const String& itemName)
{
  return Checked(ctx,
                 entry->AddPreview(index, jpeg.data(), Int64(jpeg.size()), quality, GeGetCurrentTime(), w, h),
                 "preview " + String::FromInt(index), itemName);
}

// Runs fn on the main thread when there is a dialog; false when the wait was given up (cancel).
Bool OnMainThread(BuildContext* ctx, const std::function<void()>& fn)
{
  if (!ctx->dialog) {
    fn();
    return true;
  }
  return ctx->dialog->CallOnMainThread(fn);
}

// Frames from the image files of a folder, numbered densely in the order of their numbers.
// Gives the number of frames stored; -1 when nothing fit the pattern.
Int32 ReadFrameFolder(BuildContext* ctx, const Filename& media, BrowserDatabaseItem* entry, const String& itemName,
                      Bool* ok)
{
  struct Frame
  {
    Int64 number;
    String name;
  };
  std::vector<Frame> frames;
  BrowseFiles b;
  if (b.Init(media)) {
    while (b.GetNext()) {
      const FolderEntry& e = b.Entry();
      if (e.IsFolder() || !IsFrameSuffix(e.name))
        continue;
      if (e.IsLink() || e.IsSpecial()) {
        ctx->LogError("Skipped frame " + Path(media + e.name) + " of " + itemName + ": it is not a regular file");
        continue;
      }
      const Int64 n = FrameNumber(e.name);
      if (n < 0) {
        ctx->LogError("Skipped frame " + Path(media + e.name) + " of " + itemName + ": not named preview_<number>");
        continue;
      }
      frames.push_back({n, e.name});
    }
  }
  if (frames.empty())
    return -1;
  std::sort(frames.begin(), frames.end(), [](const Frame& a, const Frame& b) {
    return a.number != b.number ? a.number < b.number : a.name < b.name;
  });
  Int32 count = 0;
  for (const Frame& f : frames) {
    if (ctx->TestBreak()) {
      ctx->LogError("User cancelled");
      ctx->cancelled = true;
      *ok = false;
      break;
    }
    ByteArray bytes, jpeg;
    const Filename path = media + f.name;
    const ReadStatus s = ReadItemFile(ctx, path, &bytes, itemName, "frame");
    if (s == ReadStatus::TooLarge) {
      *ok = false;
      break;
    }
    if (s != ReadStatus::Ok) {
      if (s == ReadStatus::Missing)
        ctx->LogError("Could not read frame " + Path(path) + " of " + itemName);
      *ok = false;
      continue;
    }
    Int32 w = 0, h = 0;
    if (!PreviewAsJpeg(bytes.data(), Int64(bytes.size()), &jpeg, &w, &h)) {
      ctx->LogError("Could not read frame " + Path(path) + " of " + itemName + ": not a picture");
      *ok = false;
      continue;
    }
    if (!StorePreview(ctx, entry, count, jpeg, kFrameQuality, w, h, itemName)) {
      *ok = false;
      break;
    }
    ++count;
  }
  return count;
}

Int32 ReadMovie(BuildContext* ctx, const Filename& media, BrowserDatabaseItem* entry, const String& itemName,
                Float* fps, Bool* ok)
{
  const ReadStatus kind = FileKind(media, nullptr);
  if (kind != ReadStatus::Ok) {
    if (kind != ReadStatus::Missing)
      ctx->LogError("Skipped movie " + Path(media) + " of " + itemName + ": " + Cause(kind, 0));
    *ok = false;
    return 0;
  }
  MovieReader reader;
  Bool opened = false;
  if (!OnMainThread(ctx, [&] { opened = reader.Open(media); })) {
    ctx->LogError("User cancelled");
    ctx->cancelled = true;
    *ok = false;
    return 0;
  }
  MovieInfo info;
  if (!opened || !reader.GetInfo(&info)) {
    OnMainThread(ctx, [&] { reader.Close(); });
    *ok = false;
    return 0;
  }
  Int64 frames = info.frames < 0 ? 0 : info.frames;
  if (frames > kMaxMovieFrames) {
    ctx->LogError("Cut the movie " + Path(media) + " of " + itemName + " to its first " +
                  String::FromInt(kMaxMovieFrames) + " of " + String::FromInt(frames) + " frames");
    frames = kMaxMovieFrames;
  }
  if (std::isfinite(info.rate) && info.rate > 0 && info.rate <= kMaxPreviewFps)
    *fps = info.rate;
  Int32 count = 0;
  for (Int32 k = 0; k < frames; ++k) {
    if (ctx->TestBreak()) {
      ctx->LogError("User cancelled");
      ctx->cancelled = true;
      *ok = false;
      break;
    }
    BaseBitmap* bmp = reader.GetFrame(k, 0);
    ByteArray jpeg;
    const Bool encoded = bmp && EncodeJpeg(*bmp, &jpeg);
    const Int32 w = bmp ? bmp->GetWidth() : 0, h = bmp ? bmp->GetHeight() : 0;
    delete bmp;
    if (!encoded) {
      ctx->LogError("Could not load all frames of " + itemName);
      *ok = false;
      break;
    }
    if (!TakeBudget(ctx, Int64(jpeg.size()), "the movie " + Path(media), itemName)) {
      *ok = false;
      break;
    }
    if (!StorePreview(ctx, entry, k, jpeg, kFrameQuality, w, h, itemName)) {
      *ok = false;
      break;
    }
    ++count;
  }
  // Given up only on a cancel; the host's movie reader may then be closed here.
  if (!OnMainThread(ctx, [&] { reader.Close(); }))
    reader.Close();
  return count;
}

} // namespace

namespace {

// The index KKKKK of a still preview's file name "...preview_KKKKK.<suffix>" (at least five digits, no
// more than nine); *found tells whether the name has that form.
Int32 PreviewIndexOfName(const String& name, Bool* found)
{
  *found = false;
  const String mark("preview_");
  Int32 pos = -1, at = 0;
  while (name.FindFirst(mark, &at, pos + 1))
    pos = at;
  if (pos < 0)
    return 0;
  Int32 i = pos + mark.GetLength(), value = 0, digits = 0;
  for (; i < name.GetLength() && name[i] >= u'0' && name[i] <= u'9'; ++i, ++digits) {
    if (digits == 9)
      return 0;
    value = value * 10 + Int32(name[i] - u'0');
  }
  if (digits < 5 || i >= name.GetLength() || name[i] != u'.')
    return 0;
  for (Int32 j = i + 1; j < name.GetLength(); ++j)
    if (name[j] == u'.')
      return 0;
  *found = true;
  return value;
}

} // namespace

Bool ReadPreview(BuildContext* ctx, const XMLNode* preview, BrowserDatabaseItem* entry, const Filename& folder,
                 const String& itemName)
{
  const Filename treeRoot = ctx->sourceFolder.GetDirectory();
  Filename media;
  // A preview without children keeps the blanks of its layout as text: that is no file name.
  Bool blank = true;
  for (Int32 i = 0; i < preview->text.GetLength() && blank; ++i)
    blank = preview->text[i] == u' ' || preview->text[i] == u'\t' || preview->text[i] == u'\r' || preview->text[i] == u'\n';
  const String own = blank ? itemName + ".preview" : preview->text;
  Bool mediaOk = JoinInside(treeRoot, folder, own, &media);
  if (!mediaOk && !blank)
    ctx->LogError("Refused the preview media location \"" + own + "\" of " + itemName +
                  ": not a file name inside the tree");
  Float fps = 25.0;
  for (const XMLNode* c = preview->firstChild; c; c = c->next) {
    if (c->name == String("fps")) {
      Float v = 0;
      if (!ParseFps(c->text, &v))
        ctx->LogError("Could not read preview fps for " + itemName);
      else
        fps = v;
    } else if (c->name == String("media")) {
      if (c->text.IsEmpty()) {
        ctx->LogError("Could not read preview media location for " + itemName);
      } else if (JoinInside(treeRoot, folder, c->text, &media)) {
        mediaOk = true;
      } else {
        ctx->LogError("Refused the preview media location \"" + c->text + "\" of " + itemName +
                      ": not a file name inside the tree");
        mediaOk = false;
      }
    }
  }
  if (!mediaOk)
    return false;
  String type;
  AttributeValue(preview->attributes, "type", &type);
  if (type != String("animated")) {
    ByteArray bytes, jpeg;
    if (ReadItemFile(ctx, media, &bytes, itemName, "the preview") != ReadStatus::Ok)
      return false;
    Int32 w = 0, h = 0;
    if (!PreviewAsJpeg(bytes.data(), Int64(bytes.size()), &jpeg, &w, &h))
      return false;
    Int32 index = 0;
    Bool named = false;
    const Int32 wanted = PreviewIndexOfName(media.GetFileString(), &named);
    const Int32 n = entry->GetPreviewCount();
    for (Int32 i = 0; i < n; ++i) {
      PreviewInfo info;
      if (!entry->GetPreviewInfo(i, &info))
        continue;
      if (info.imageId >= index)
        index = info.imageId + 1;
      if (info.imageId == wanted)
        named = false;
    }
    // The index in the file name, as the export wrote it, unless another preview holds it.
    if (named)
      index = wanted;
    return StorePreview(ctx, entry, index, jpeg, QualityCode(type), w, h, itemName);
  }
  Bool ok = true;
  Int32 count = -1;
  Bool isLink = false;
  if (IsRealFolder(media, &isLink)) {
    count = ReadFrameFolder(ctx, media, entry, itemName, &ok);
    if (count < 0) {
      Filename movie = media + String("preview.mov");
      if (FileKind(movie, nullptr) == ReadStatus::Missing)
        movie = media + String("preview.avi");
      media = movie;
    }
  } else if (isLink) {
    ctx->LogError("Skipped the preview " + Path(media) + " of " + itemName + ": it is a link, links are not followed");
    return false;
  }
  if (count < 0 && !ctx->cancelled)
    count = ReadMovie(ctx, media, entry, itemName, &fps, &ok);
  if (count > 0)
    ok = Checked(ctx, entry->SetAnimation(0, count - 1, fps), "the animated preview", itemName) && ok;
  return ok && count > 0;
}

Bool EndBuildContext(BuildContext* ctx, Bool complete, String* why)
{
  Bool written = true;
  if (ctx->database) {
    written = ctx->database->Save(true);
    BrowserDatabase::Destroy(ctx->database);
    ctx->database = nullptr;
    if (!written)
      *why = "Writing the library file " + Path(ctx->workingFile) + " failed.";
    if (complete && written) {
      if (!GeRenameNoReplace(ctx->workingFile, ctx->targetFile)) {
        *why = "Could not rename " + Path(ctx->workingFile) + " to " + Path(ctx->targetFile) + ".";
        written = false;
      } else {
        GeSyncFolder(ctx->targetFile.GetDirectory());
      }
    }
    if (!complete || !written)
      GeDelete(ctx->workingFile);
  }
  ctx->logs.Close();
  return written;
}

// --- the dialog ---

ImportLibraryUI::ImportLibraryUI(const Filename& sourceFolder, const Filename& targetFile)
  : source_(sourceFolder), target_(targetFile)
{
}

void ImportLibraryUI::GetTitle(String& out) { out = "Build Preset Library"; }

Bool ImportLibraryUI::Run(ProgressThread*)
{
  outcome_ = BuildOutcome();
  SetProgress(0.0);
  BuildContext ctx;
  ctx.dialog = this;
  ctx.itemByteLimit = itemByteLimit_;
  String why;
  if (!PrepareBuildContext(&ctx, source_, target_, &why)) {
    outcome_.failure = why;
    SetProgress(1.0);
    return false;
  }
  outcome_.errorLog = ctx.logs.ErrorLogPath();
  outcome_.operationLog = ctx.logs.OperationLogPath();
  const Bool built = BuildLibrary(&ctx);
  SetProgress(1.0);
  // Walked to its end with the library's own entry made: what was built is kept, errors or not.
  const Bool complete = !ctx.cancelled && ctx.done > 0;
  outcome_.errorCount = ctx.ErrorCount();
  const Bool written = EndBuildContext(&ctx, complete, &why);
  outcome_.cancelled = ctx.cancelled;
  if (!written)
    outcome_.failure = why;
  outcome_.success = built && complete && written && outcome_.errorCount == 0;
  return outcome_.success;
}

String BuildEndMessage(const BuildOutcome& o)
{
  if (o.success)
    return "Library built successfully (" + String::FromInt(o.errorCount) + " errors)";
  if (o.errorCount < 1)
    return o.failure.Content() ? o.failure : String("Creating the root folder failed.");
  String text = "Build failed with " + String::FromInt(o.errorCount) +
                " errors. Please check error_log.txt in the destination folder for more details.";
  if (o.failure.Content())
    text += " " + o.failure;
  return text;
}

Bool RunLibraryBuild(const Filename& chosen, const Filename& target, BuildOutcome* out,
                     const std::function<Bool(double)>& onProgress, Int64 itemByteLimit)
{
  *out = BuildOutcome();
  Filename description, source;
  String message;
  if (!CheckBuildSource(chosen, &description, &source, &message) || !CheckBuildTarget(target, &message)) {
    out->failure = message;
    return false;
  }
  ImportLibraryUI dialog(source, target);
  dialog.SetItemByteLimit(itemByteLimit);
  Bool cancelling = false;
  dialog.Execute([&](double p) {
    if (!cancelling && onProgress && !onProgress(p)) {
      cancelling = true;
      dialog.Cancel();
    }
  });
  *out = dialog.Outcome();
  return out->success;
}

void BuildPresetLibrary()
{
  Filename chosen;
  if (!GeFileSelect(chosen, ORX_FILESELECT_LOAD, GeLoadString(30018) + " (.cbinfo)"))
    return;
  Filename description, source;
  String message;
  if (!CheckBuildSource(chosen, &description, &source, &message)) {
    GeOutString(message, kStyleWarning);
    return;
  }
  Filename target = Appended(source, ".libqz");
  if (!GeFileSelect(target, ORX_FILESELECT_SAVE, GeLoadString(30019)))
    return;
  if (!CheckBuildTarget(target, &message)) {
    GeOutString(message, kStyleWarning);
    return;
  }
  ImportLibraryUI dialog(source, target);
  dialog.Execute();
  const BuildOutcome& o = dialog.Outcome();
  GeOutString(BuildEndMessage(o), !o.success && o.errorCount < 1 && o.failure.IsEmpty() ? 0 : kStyleWarning);
}

Int32 BuildLibraryMessage(void* request)
{
  auto* r = static_cast<OrxContentToolRequest*>(request);
  BuildOutcome o;
  const Bool ok = RunLibraryBuild(Filename(r->source), Filename(r->destination), &o, [&](double p) {
    return !r->progress || r->progress(r->progressData, p) == 0;
  });
  r->ok = ok;
  r->cancelled = o.cancelled;
  r->errorCount = o.errorCount;
  // A check before the run has its own message; a run ends with the message box's text.
  r->message = o.errorLog.IsEmpty() && o.failure.Content() ? o.failure : BuildEndMessage(o);
  r->folder = String();
  r->errorLog = o.errorLog.GetString();
  r->operationLog = o.operationLog.GetString();
  return 0;
}
