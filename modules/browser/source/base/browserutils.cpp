#include "base/browserutils.h"

#include <atomic>
#include <charconv>
#include <mutex>
#include <new>
#include <vector>

#include "orx/files.h"
#include "orx/hyperfile.h"
#include "orx/memory.h"
#include "orx/scenedoc.h"
#include "orx/services.h"

namespace {

// The loader thread asks for the library folders while the main thread may do the same.
std::mutex g_folderLock;
bool g_cacheMade = false;
bool g_userLibraryChecked = false;
bool g_systemChecked = false;
bool g_systemExists = false;
bool g_userBrowserExists = false;
// 0 not asked yet, 1 disabled, 2 enabled.
std::atomic<int> g_contentTool{0};

// Host folder 4, created the first time it is asked for. Caller holds g_folderLock.
Filename UserLibraryFolderLocked()
{
  Filename f4 = GeGetSpecialFolder(FOLDER_USERLIBRARY);
  if (!g_userLibraryChecked && f4.Content()) {
    g_userLibraryChecked = true;
    if (!GeFolderExists(f4))
      GeCreateFolderTree(f4);
  }
  return f4;
}

} // namespace

Filename GetCacheFolder(Bool create)
{
  Filename cache = GeGetSpecialFolder(FOLDER_PREFS) + String("cache");
  if (create) {
    std::lock_guard<std::mutex> lock(g_folderLock);
    if (!g_cacheMade) {
      Bool ok = GeCreateFolderTree(cache);
      ok = GeCreateFolder(cache + String("image")) && ok;
      ok = GeCreateFolder(cache + String("tmp")) && ok;
      g_cacheMade = ok;
    }
  }
  return cache;
}

Bool GetSystemBrowserFolder(Filename* out)
{
  std::lock_guard<std::mutex> lock(g_folderLock);
  Filename f4 = UserLibraryFolderLocked();
  Filename f3 = GeGetSpecialFolder(FOLDER_LIBRARY);
  // Compared as folders, not as text: "/d/" and "/d", or a link to it, are one folder.
  if (f3.IsEmpty() || f3 == f4 || GeIsSameFile(f3, f4)) {
    if (out)
      *out = Filename();
    return false;
  }
  Filename sys = f3 + String("browser");
  if (!g_systemChecked) {
    g_systemChecked = true;
    g_systemExists = GeFolderExists(sys);
    if (!g_systemExists)
      GePrint(String("CB: system library/browser directory does not exist"));
  }
  if (!g_systemExists) {
    if (out)
      *out = Filename();
    return false;
  }
  if (out)
    *out = sys;
  return true;
}

Filename GetUserBrowserFolder()
{
  std::unique_lock<std::mutex> lock(g_folderLock);
  Filename user = UserLibraryFolderLocked() + String("browser");
  if (!g_userBrowserExists) {
    g_userBrowserExists = GeFolderExists(user) || GeCreateFolderTree(user);
    if (!g_userBrowserExists) {
      lock.unlock();
      GeMessageBox(String("CB: Creating user library/browser directory failed"));
    }
  }
  return user;
}

Filename GetTempFolder() { return GetCacheFolder(true) + String("tmp"); }

void DeleteTempFolderAtEnd()
{
  Filename tmp = GetCacheFolder(false) + String("tmp");
  if (GeFolderExists(tmp))
    DeleteFolderTree(tmp, true, nullptr, nullptr);
}

Filename GetHostFolder7() { return GeGetSpecialFolder(FOLDER_HOME); }
Filename GetDesktopFolder() { return GeGetSpecialFolder(FOLDER_DESKTOP); }

Bool IsContentToolEnabled()
{
  int state = g_contentTool.load(std::memory_order_acquire);
  if (state == 0) {
    Filename marker = GeGetStartupFolder() + String("orx_enablecontenttool.txt");
    int found = GeFileExists(marker) ? 2 : 1;
    // The first answer wins when two threads ask at once.
    g_contentTool.compare_exchange_strong(state, found, std::memory_order_acq_rel);
    state = g_contentTool.load(std::memory_order_acquire);
  }
  return state == 2;
}

String MakeValidName(const String& name)
{
  String out = name;
  for (Int32 i = 0; i < out.GetLength(); ++i) {
    for (const char16_t* c = kInvalidNameChars; *c; ++c) {
      if (out[i] == *c) {
        out.SetChar(i, u'_');
        break;
      }
    }
  }
  return out;
}

Bool HasInvalidChar(const String& name, Int32* pos)
{
  for (const char16_t* c = kInvalidNameChars; *c; ++c) {
    Int32 p = -1;
    if (name.FindFirst(*c, &p)) {
      if (pos)
        *pos = p;
      return true;
    }
  }
  return false;
}

Bool IsSingleEntryName(const String& name)
{
  if (name.IsEmpty() || name == String(".") || name == String(".."))
    return false;
  for (Int32 i = 0; i < name.GetLength(); ++i)
    if (name[i] == u'/' || name[i] == 0)
      return false;
  return true;
}

void FormatFileSize(String* out, Int64 bytes, Bool shortForm)
{
  Float k = Float(bytes) / 1024.0;
  String text;
  if (k < 1.0) {
    text = String::FromInt(bytes) + String(" ") + GeLoadString(IDS_SIZE_BYTES);
  } else {
    Int32 unit = IDS_SIZE_KB;
    if (k >= 1024.0) {
      k /= 1024.0;
      unit = IDS_SIZE_MB;
      if (k >= 1024.0) {
        k /= 1024.0;
        unit = IDS_SIZE_GB;
      }
    }
    text = String::FromFloat(k, 2) + String(" ") + GeLoadString(unit);
  }
  if (!shortForm)
    text += String(" (") + String::FromInt(bytes) + String(" ") + GeLoadString(IDS_SIZE_BYTES) + String(")");
  if (out)
    *out = text;
}

Int32 GetLanguageId() { return GeGetLanguageId(); }

Bool ReadWholeFile(const Filename& name, void** data, Int64* size)
{
  if (!data || !size)
    return false;
  *data = nullptr;
  *size = 0;
  BaseFile file;
  if (!file.Open(name, FileMode::Read))
    return false;
  Int64 len = file.GetLength();
  if (len < 0)
    return false;
  void* mem = OrxMemAlloc(len, __LINE__, __FILE__, false);
  if (!mem)
    return false;
  if (len > 0 && !file.ReadExact(mem, len)) {
    OrxMemFree(mem);
    return false;
  }
  *data = mem;
  *size = len;
  return true;
}

Bool ReadContainerFile(BaseFile* file, Int64 size, BaseContainer* out)
{
  if (!file || !out || size < 0)
    return false;
  void* mem = OrxMemAlloc(size, __LINE__, __FILE__, false);
  if (!mem)
    return false;
  Bool ok = file->ReadExact(mem, size);
  if (ok) {
    try {
      ok = HyperFile::ImageToContainer(mem, size, BROWSER_CONTAINER_IDENT, out);
    } catch (...) {
      ok = false;
    }
  }
  OrxMemFree(mem);
  return ok;
}

Bool WriteContainerFile(const BaseContainer& bc, BaseFile* file, Int64* size)
{
  if (size)
    *size = 0;
  if (!file)
    return false;
  try {
    ByteArray bytes;
    if (!HyperFile::ContainerToImage(bc, BROWSER_CONTAINER_IDENT, &bytes))
      return false;
    if (!file->WriteBytes(bytes.data(), Int64(bytes.size())))
      return false;
    if (size)
      *size = Int64(bytes.size());
    return true;
  } catch (...) {
    return false;
  }
}

namespace {

struct Listed
{
  Filename path;
  Int64 size;
  Bool folder;
};

// 0 done, 1 something could not be deleted, 2 cancelled by the callback.
int DeleteTree(const Filename& folder, Bool recursive, DeleteFolderCallback callback, void* data)
{
  std::vector<Listed> entries;
  {
    BrowseFiles browse;
    if (browse.Init(folder)) {
      while (browse.GetNext()) {
        const FolderEntry& e = browse.Entry();
        entries.push_back({folder + e.name, e.size, e.IsFolder()});
      }
    }
  }
  auto report = [&](Int64 size) { return !callback || callback(data, 2, 1, size, 0) >= 0; };
  int result = 0;
  for (const Listed& e : entries) {
    Bool gone;
    if (e.folder) {
      // A link to a folder lists as a folder; deleting first removes a link (or an empty folder)
      // without ever walking into what it points to.
      gone = GeDelete(e.path);
      if (!gone && recursive) {
        int sub = DeleteTree(e.path, true, callback, data);
        if (sub == 2)
          return 2;
        gone = sub == 0;
      } else if (gone && !report(0)) {
        return 2;
      }
    } else {
      gone = GeDelete(e.path);
      if (gone && !report(e.size))
        return 2;
    }
    if (!gone)
      result = 1;
  }
  if (!GeDelete(folder))
    return 1;
  if (!report(0))
    return 2;
  return result;
}

} // namespace

Bool DeleteFolderTree(const Filename& folder, Bool recursive, DeleteFolderCallback callback, void* data)
{
  if (folder.IsEmpty())
    return false;
  try {
    return DeleteTree(folder, recursive, callback, data) == 0;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

Int32 DeleteFolderTreeResult(const Filename& folder, Bool recursive, DeleteFolderCallback callback, void* data)
{
  constexpr Int32 kRefused = Int32(0x80000008u), kCancelled = Int32(0xC0000000u);
  if (folder.IsEmpty())
    return kRefused;
  try {
    switch (DeleteTree(folder, recursive, callback, data)) {
      case 0: return 0;
      case 2: return kCancelled;
      default: return kRefused;
    }
  } catch (const std::bad_alloc&) {
    return kRefused;
  }
}

void ResetBrowserUtilsForTests()
{
  std::lock_guard<std::mutex> lock(g_folderLock);
  g_cacheMade = false;
  g_userLibraryChecked = false;
  g_systemChecked = false;
  g_systemExists = false;
  g_userBrowserExists = false;
  g_contentTool.store(0);
}

BaseBitmap* RenderScenePreview(BaseDocument* doc, Int32 width, Int32 height, Int32 flags)
{
  if (!doc || width <= 0 || height <= 0)
    return nullptr;
  return RenderDocumentPreview(doc, nullptr, width, height, flags, nullptr);
}
