#include "core/libraryregistry.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <set>

#include "base/browserutils.h"
#include "core/catalogs.h"
#include "core/contentaccess.h"
#include "core/startplugin.h"
#include "orx/files.h"
#include "orx/services.h"
#include "orx/threads.h"
#include "presets/browserdatabase.h"
#include "presets/filepresetnode.h"

namespace {

std::atomic<bool> g_scanDone{false};
// Set when a scan has run to its end (or stopped): until then a preset request waits for it.
std::atomic<bool> g_scanFinished{false};
std::atomic<bool> g_librariesLoaded{false};
std::atomic<bool> g_catalogsDone{false};
std::atomic<Int32> g_mainIndex{-1};
std::atomic<Int32> g_defaultIndex{-1};

// Stands in for the loader lock before message 1000 made it; taken after it.
std::mutex g_scanMutex;
// One registration at a time: two threads must not open two databases for one file.
std::recursive_mutex g_registryMutex;
std::mutex g_catalogMutex;
// The thread loading the catalogs, under g_catalogMutex; requests wait for it to finish.
std::thread::id g_catalogsLoader;
std::condition_variable g_catalogsLoaded;

// A scan or registration on this thread: the tree must not start another scan from inside it.
thread_local Int32 t_busy = 0;

struct BusyScope
{
  BusyScope() { ++t_busy; }
  ~BusyScope() { --t_busy; }
};

// The loader lock (when it exists) and the scan mutex, in that order.
class ScanLock
{
public:
  ScanLock() : loader_(BrowserLoaderLock())
  {
    if (loader_)
      loader_->lock();
    g_scanMutex.lock();
  }
  ~ScanLock()
  {
    g_scanMutex.unlock();
    if (loader_)
      loader_->unlock();
  }
  ScanLock(const ScanLock&) = delete;
  ScanLock& operator=(const ScanLock&) = delete;

private:
  Lock* loader_;
};

const String kDefaultLibraryFile("default.libqz");
const String kUserLibraryFile("user.libqz");
const String kPresetPrefix("preset://");

// Entries of a folder that are regular files, sorted by name so that slots do not depend on the
// order in which the file system lists them. Pipes, sockets and devices are passed over.
std::vector<FolderEntry> ListFiles(const Filename& folder)
{
  std::vector<FolderEntry> out;
  BrowseFiles b;
  if (!b.Init(folder))
    return out;
  while (b.GetNext())
    if (!b.Entry().IsFolder() && !b.Entry().IsSpecial())
      out.push_back(b.Entry());
  std::sort(out.begin(), out.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return out;
}

Bool ScanFolder(const Filename& folder, Bool system, OrxThread* thread)
{
  for (const FolderEntry& e : ListFiles(folder)) {
    if (thread && thread->TestBreak())
      return false;
    RegisterLibrary(folder + e.name, system, e.IsReadOnly(), false, nullptr);
  }
  return true;
}

// Steps 2 to 6 of the scan; the caller holds the scan lock.
void ScanLocked(OrxThread* thread)
{
  BusyScope busy;
  struct Finish
  {
    ~Finish() { g_scanFinished = true; }
  } finish;
  g_scanDone = true;
  Filename sys;
  if (GetSystemBrowserFolder(&sys) && !ScanFolder(sys, true, thread))
    return;
  if (!ScanFolder(GetUserBrowserFolder(), false, thread))
    return;
  for (const String& folder : ExpandLibraryPaths()) {
    if (!GeFolderExists(Filename(folder)))
      continue;
    if (!ScanFolder(Filename(folder), false, thread))
      return;
  }
  g_librariesLoaded = true;
  NotifyNodeChanged(GetRootNode(ROOT_PRESET));
}

Bool IsDelimiter(Utf16Char c) { return c == u'/' || c == u'\\' || c == u';' || c == u'$'; }

// Expansion stops growing here: "$A$A" with A="$A$A" would double every pass.
constexpr Int32 kMaxEntryLength = 32768;
constexpr std::size_t kMaxEntries = 1024;

Bool Substitute(String* entry, const EnvLookup& lookup)
{
  Bool changed = false;
  String out;
  const String& in = *entry;
  Int32 i = 0;
  const Int32 n = in.GetLength();
  while (i < n) {
    if (in[i] != u'$') {
      out += in[i++];
      continue;
    }
    Int32 end = i + 1;
    while (end < n && !IsDelimiter(in[end]))
      ++end;
    String name = in.SubStr(i + 1, end - i - 1);
    String value;
    if (name.Content() && lookup(name, &value)) {
      out += value;
      changed = true;
    } else {
      out += in.SubStr(i, end - i);
    }
    i = end;
  }
  if (changed)
    *entry = out;
  return changed;
}

BrowserDatabase* DefaultObjectLibrary()
{
  Int32 idx = g_defaultIndex.load();
  return idx >= 0 ? BrowserDatabase::GetLibrary(idx) : nullptr;
}

// A file of the user's browser folder by its name: the built-in libraries are these files, not
// any file that shares their name. The folder is compared as a file (a new library file may not
// exist yet).
Bool IsUserFolderFile(const Filename& file, const String& name)
{
  return file.GetFileString() == name && GeIsSameFile(file.GetDirectory(), GetUserBrowserFolder());
}

Bool IsUserLibraryFile(const Filename& file) { return IsUserFolderFile(file, kUserLibraryFile); }

String ParentURLText(const NodeRef& parent)
{
  BrowserURL u;
  return parent->GetURL(&u, 0) ? u.GetString() : String();
}

// A library URL from a name the user gave: the name stays one part of the URL.
String LibraryURLFromName(const String& prefix, const String& name, const Filename& file)
{
  const String part = MakeValidName(name.Content() ? name : file.GetFileString());
  return prefix + part;
}

// Shows a newly registered library: its root node below the URL's parent and its items.
void ShowLibrary(BrowserDatabase* db, BrowserURL& url)
{
  // A root without a record gets one in memory; showing a library is no edit.
  BrowserDatabase::QuietChanges quiet;
  NodeRef node = GetNode(url, GETNODE_EXACT);
  if (!node) {
    BrowserURL parentURL = url.GetDirectory();
    NodeRef parent = GetNode(parentURL, GETNODE_EXACT | GETNODE_DEEPEST);
    if (!parent)
      parent = GetRootNode(ROOT_PRESET);
    if (!parent)
      return;
    // The node's URL must be the library's own, even for a stored name of several parts.
    const String parentText = ParentURLText(parent);
    const String& text = url.GetStringRef();
    const Int32 skip = parentText.GetLength() + 1;
    const String urlName = text.GetLength() > skip && text.StartsWith(parentText + String("/"))
                               ? text.SubStr(skip, text.GetLength() - skip)
                               : url.GetFileString();
    node = FilePresetNode::MakeLibraryRoot(parent, urlName, db->GetDisplayName(), db);
    if (!node)
      return;
    NotifyNodeChanged(parent);
  }
  AddLibraryNodes(db->GetSlot(), url.GetStringRef(), node, FilePresetNodeFactory, nullptr);
}

} // namespace

std::vector<String> ExpandLibraryPaths(const EnvLookup& lookupIn, Int32* passes)
{
  EnvLookup lookup = lookupIn;
  if (!lookup)
    lookup = [](const String& name, String* value) { return GeGetEnv(name.ToLatin1().c_str(), value); };
  std::vector<String> list{String("$ORX_BROWSERLIBS")};
  Int32 pass = 0;
  for (; pass < LIBRARY_PATH_MAX_PASSES; ++pass) {
    std::vector<String> split;
    std::vector<String> added;
    for (String& e : list) {
      Int32 pos = 0;
      if (!e.FindFirst(u';', &pos)) {
        split.push_back(std::move(e));
        continue;
      }
      Int32 start = 0;
      const Int32 n = e.GetLength();
      for (Int32 i = 0; i <= n; ++i) {
        if (i == n || e[i] == u';') {
          if (i > start)
            added.push_back(e.SubStr(start, i - start));
          start = i + 1;
        }
      }
    }
    for (String& a : added)
      split.push_back(std::move(a));
    list = std::move(split);
    Bool changed = false;
    for (String& e : list)
      if (e.GetLength() < kMaxEntryLength && Substitute(&e, lookup))
        changed = true;
    if (list.size() > kMaxEntries)
      list.resize(kMaxEntries);
    if (!changed) {
      ++pass;
      break;
    }
  }
  if (passes)
    *passes = pass;
  // The same folder twice would only raise registration counts.
  std::vector<String> out;
  std::set<String> seen;
  for (String& e : list) {
    Int32 pos = 0;
    if (e.FindFirst(u';', &pos) || e.IsEmpty() || !seen.insert(e).second)
      continue;
    out.push_back(std::move(e));
  }
  return out;
}

Bool LoadLibraries(Bool force, OrxThread* thread)
{
  // The tree lists the preset root while a registration of this thread runs: nothing to wait for.
  if (t_busy)
    return false;
  ScanLock lock;
  if (!force && g_scanDone)
    return false;
  ScanLocked(thread);
  return true;
}

Int32 CompactLibrariesThatAskIt(OrxThread* thread)
{
  // Not every library is freed under the registry lock (a build frees its own): the pin keeps
  // each one in memory while it is looked at, and a library destroyed meanwhile does not compact.
  std::lock_guard<std::recursive_mutex> reg(g_registryMutex);
  Int32 n = 0;
  for (Int32 i = 0; i < BrowserDatabase::GetTableCapacity(); ++i) {
    if (thread && thread->TestBreak())
      break;
    LibraryPin db = BrowserDatabase::PinLibrary(i);
    if (db && db->WantsCompaction() && !db->IsReadOnly() && db->Compact())
      ++n;
  }
  return n;
}

Bool RegisterLibrary(const Filename& file, Bool system, Bool readOnly, Bool writable, BrowserURL* url)
{
  // The default-object library is opened at start and never shown as a library.
  if (IsUserFolderFile(file, kDefaultLibraryFile))
    return true;
  if (readOnly && writable)
    return false;
  if (!file.CheckSuffix(String("libqz")))
    return false;

  BusyScope busy;
  std::lock_guard<std::recursive_mutex> reg(g_registryMutex);
  BrowserDatabase* db = BrowserDatabase::FindLibraryForFile(file);
  Bool created = false;
  if (!db) {
    const Int32 flags = (!system && IsUserLibraryFile(file)) ? DBFLAG_USER : 0;
    db = BrowserDatabase::Create(file, String(), flags);
    if (!db)
      return false;
    if (db->GetSlot() < 0 || !db->Load()) {
      BrowserDatabase::Destroy(db);
      return false;
    }
    created = true;
  }
  if (db->GetRegistrationCount() == 0) {
    if (readOnly)
      db->SetLocked();
    if (writable && !db->IsLocked())
      db->Unprotect();
    if (system)
      db->SetSystemLibrary();
    String display = db->GetDisplayName();
    String name = db->GetName();
    if (name.GetLength() <= kPresetPrefix.GetLength()) {
      name = LibraryURLFromName(kPresetPrefix, display, file);
      if (!db->Rename(name))
        name = db->GetName();
    }
    if (name.IsEmpty()) {
      if (created)
        BrowserDatabase::Destroy(db);
      return false;
    }
    BrowserURL libURL(name);
    ShowLibrary(db, libURL);
  }
  db->RaiseRegistrationCount();
  if (url)
    url->SetString(db->GetName());
  return true;
}

Bool RegisterLibrary(const Filename& file, UInt32 flags, BrowserURL* url)
{
  return RegisterLibrary(file, (flags & REGISTERFLAG_SYSTEM) != 0, (flags & REGISTERFLAG_READONLY) != 0,
                         (flags & REGISTERFLAG_WRITABLE) != 0, url);
}

Bool UnregisterLibrary(Int32 index)
{
  if (index == LIBRARY_MAIN) {
    GeMessageBox(String("Unregistering the main database is not allowed!"));
    return false;
  }
  std::lock_guard<std::recursive_mutex> reg(g_registryMutex);
  BrowserDatabase* db = BrowserDatabase::GetLibrary(index);
  if (!db)
    return false;
  Bool written = db->IsReadOnly() || !db->IsChanged() || db->Save();
  // Nodes of the default-object library point at it for the whole run: it stays open.
  if (db->GetRegistrationCount() > 0 || index == g_defaultIndex.load())
    return false;
  BrowserDatabase::Destroy(db);
  return written;
}

Int32 CreateLibrary(const BrowserURL& urlIn, const String& name, const Filename& file)
{
  BrowserURL url = urlIn;
  std::lock_guard<std::recursive_mutex> reg(g_registryMutex);
  if (BrowserDatabase* open = BrowserDatabase::FindLibraryForFile(file))
    return open->GetSlot();
  const Bool user = IsUserLibraryFile(file);
  Int32 slot = -1;
  BrowserDatabase* db =
      BrowserDatabase::Create(file, String("data ") + file.GetFileString(), user ? DBFLAG_USER : 0, &slot);
  if (!db)
    return -1;
  if (slot < 0) {
    BrowserDatabase::Destroy(db);
    return -1;
  }
  if (GeFileExists(file) && db->Load()) {
    if (db->GetDisplayNames().GetCount() == 0)
      db->SetDisplayName(name);
    if (!db->GetName().StartsWith(String("preset:/")))
      db->SetName(url.GetStringRef());
  } else {
    db->SetDisplayName(name);
    db->SetName(url.GetStringRef());
    if (!db->Save(true)) {
      BrowserDatabase::Destroy(db);
      return -1;
    }
  }
  Filename sys;
  if (GetSystemBrowserFolder(&sys) && file.IsInside(sys))
    db->SetLocked();
  return db->GetSlot();
}

Int32 EnsureUserLibrary()
{
  if (BrowserDatabase* db = BrowserDatabase::GetLibrary(LIBRARY_USER)) {
    if (db->GetRegistrationCount() > 0)
      return LIBRARY_USER;
  }
  Filename file = GetUserBrowserFolder() + kUserLibraryFile;
  Int32 idx = CreateLibrary(BrowserURL(String("preset://user.libqz")), String("User"), file);
  if (idx < 0)
    return -1;
  // A library made for an item must show, or the item would be invisible until the next run.
  if (!RegisterLibrary(file, false, false, false, nullptr))
    return -1;
  return idx;
}

Bool IsUserLibraryURL(BrowserURL& url)
{
  const String kUserURL("preset://user.libqz");
  const String& text = url.GetStringRef();
  const Int32 n = kUserURL.GetLength();
  return text.GetLength() >= n && text.Left(n).ToUpper() == kUserURL.ToUpper() &&
         (text.GetLength() == n || text[n] == u'/');
}

Bool LibraryItemExists(BrowserURL& url)
{
  const String& text = url.GetStringRef();
  if (BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(text)) {
    if (BrowserDatabaseItem* item = db->OpenItem(text, url.GetHash())) {
      const Bool exact = item->GetPath() == text;
      item->Close();
      if (exact)
        return true;
    }
  }
  if (GetNode(url, GETNODE_EXACT)) {
    GePrint(String("CB: Case sensitivity issue!"));
    return true;
  }
  return false;
}

Int32 GetLibraryIndex(BrowserURL& url)
{
  const String& text = url.GetStringRef();
  if (text.ComparePart(String("catalog:/"), 9) == 0 && text.GetLength() >= 9) {
    std::unique_lock<std::mutex> l(g_catalogMutex);
    if (!g_catalogsDone.exchange(true)) {
      g_catalogsLoader = std::this_thread::get_id();
      l.unlock();
      LoadCatalogs(false);
      LoadCatalogs(true);
      l.lock();
      g_catalogsLoader = std::thread::id();
      l.unlock();
      g_catalogsLoaded.notify_all();
    } else {
      // Another caller is loading them: its catalogs are the ones asked for. The loader itself
      // (a request from inside the load) must not wait for itself.
      g_catalogsLoaded.wait(l, [] {
        return g_catalogsLoader == std::thread::id() || g_catalogsLoader == std::this_thread::get_id();
      });
    }
  } else if (text.StartsWith(String("preset:/")) && !g_scanFinished && !t_busy) {
    ScanLock lock;
    if (!g_scanDone)
      ScanLocked(nullptr);
  }
  if (BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(text))
    return db->GetSlot();
  if (text.StartsWith(String("preset://user.libqz")))
    return LIBRARY_USER;
  return -1;
}

Bool LoadCatalogs(Bool userFolder)
{
  Filename folder;
  if (userFolder)
    folder = GetUserBrowserFolder();
  else if (!GetSystemBrowserFolder(&folder))
    return false;
  BusyScope busy;
  std::lock_guard<std::recursive_mutex> reg(g_registryMutex);
  Bool last = false;
  for (const FolderEntry& e : ListFiles(folder)) {
    Filename file = folder + e.name;
    if (!file.CheckSuffix(String("catqz")))
      continue;
    BrowserDatabase* db = BrowserDatabase::FindLibraryForFile(file);
    if (!db) {
      db = BrowserDatabase::Create(file, String(), 0);
      if (!db)
        continue;
      if (db->GetSlot() < 0 || !db->Load()) {
        BrowserDatabase::Destroy(db);
        last = false;
        continue;
      }
    }
    if (!userFolder || e.IsReadOnly())
      db->SetLocked();
    // The stored name is outside input: a "/" in it would add a level to the tree.
    if (!IsValidCatalogURL(db->GetName()))
      NameCatalog(db, file);
    // Catalog nodes come with the catalogs themselves; until then the database is open and found.
    last = true;
  }
  return last;
}

Bool OpenMainDatabase()
{
  if (BrowserDatabase::GetLibrary(LIBRARY_MAIN))
    return true;
  Filename file = GetCacheFolder(true) + String("BrowserDB");
  Int32 slot = -1;
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), DBFLAG_MAIN | DBFLAG_OUTER_STORAGE, &slot);
  if (!db)
    return false;
  if (slot != LIBRARY_MAIN) {
    BrowserDatabase::Destroy(db);
    return false;
  }
  // A missing file is a first run: the database starts empty and is written at the end.
  if (GeFileExists(file))
    db->Load();
  g_mainIndex = slot;
  return true;
}

Bool OpenDefaultObjectLibrary()
{
  if (DefaultObjectLibrary())
    return true;
  Filename file = GetUserBrowserFolder() + kDefaultLibraryFile;
  const String url("preset://defaultobject.libqz");
  BrowserDatabase* db = BrowserDatabase::FindLibraryForFile(file);
  if (!db) {
    Int32 slot = -1;
    db = BrowserDatabase::Create(file, String(), 0, &slot);
    if (!db)
      return false;
    if (slot < 0) {
      BrowserDatabase::Destroy(db);
      return false;
    }
    db->SetName(url);
    if (GeFileExists(file))
      db->Load();
    if (db->GetName() != url)
      db->Rename(url);
  }
  g_defaultIndex = db->GetSlot();
  return true;
}

Int32 GetMainDatabaseIndex() { return g_mainIndex.load(); }
Int32 GetDefaultObjectLibraryIndex() { return g_defaultIndex.load(); }
Bool LibrariesLoaded() { return g_librariesLoaded.load(); }
Bool LibraryScanDone() { return g_scanDone.load(); }

void CloseAllLibraries(Bool save, Bool allowCompaction)
{
  std::lock_guard<std::recursive_mutex> reg(g_registryMutex);
  BrowserDatabase::SaveAllAndClose(save, allowCompaction);
  g_mainIndex = -1;
  g_defaultIndex = -1;
}

void ResetLibraryRegistryForTests()
{
  g_scanDone = false;
  g_scanFinished = false;
  g_librariesLoaded = false;
  g_catalogsDone = false;
}
