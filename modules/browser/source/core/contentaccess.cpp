#include "core/contentaccess.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "contenttree/browserinterface.h"
#include "core/catalogs.h"
#include "core/libraryregistry.h"
#include "filetypes/filetypeplugins.h"
#include "orx/media.h"
#include "orx/scenedoc.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabaseitem.h"
#include "presets/defaultsnode.h"
#include "presets/filepresetnode.h"
#include "presets/presettypeplugins.h"
#include "nodes/baselistnode.h"
#include "nodes/categorynode.h"
#include "nodes/directorynode.h"
#include "nodes/networknode.h"
#include "search/browsersearch.h"

namespace {

struct TopLevel
{
  const char* url;
  Int32 parent; // index in this table, -1 for the tree
  Int32 name;   // resource string
  Int32 icon;
};
enum : Int32 { kFile, kNetwork, kPreset, kDefaultObject, kCatalog, kFavorites, kRecent, kSearch, kRootCount };
// The order in which the top-level nodes are made.
constexpr TopLevel kTopLevel[kRootCount] = {
    {"file:/", -1, 10217, 0},          {"network:/", -1, 10218, 15},  {"preset:/", -1, 10219, 5},
    {"defaultobject.libqz", kPreset, 10224, 3}, {"catalog:/", -1, 10220, 6}, {"favorite:/", -1, 10223, 13},
    {"recent:/", -1, 10221, 3},        {"search:/", -1, 10222, 7},
};

struct ContentState
{
  Ref<BrowserContentTree> tree;
  NodeRef roots[kRootCount];
};
std::mutex g_contentLock;
ContentState g_content;

std::mutex g_listenerLock;
ContentChangeListener g_listener = nullptr;

NodeRef Root(Int32 which)
{
  std::lock_guard l(g_contentLock);
  return g_content.roots[which];
}

String URLText(BrowserContentNode* n)
{
  BrowserURL u;
  if (!n || !n->GetURL(&u, 0))
    return String();
  return u.GetString();
}

std::u16string Key(const String& text)
{
  String u = text.ToUpper();
  return std::u16string(u.View());
}

// Answers the node that a network URL stands for as a file.
Bool ResolveNetwork(const BrowserURL& urlIn, Filename* out)
{
  BrowserURL url = urlIn;
  NodeRef node = GetNode(url, GETNODE_EXACT);
  if (!node)
    return false;
  BrowserURL target;
  if (!node->GetURL(&target, URLREQUEST_TARGET))
    return false;
  // A network node that has a path hands it over as the file form of its own network URL.
  if (!(target.GetFlags() & URLFLAG_FILE_VALID) && !target.GetStringRef().StartsWith(String("file:/")))
    return false;
  return target.GetFilename(out);
}

// Nodes found or made during one AddLibraryNodes, by converted URL (Key). A library of n items
// makes n entries: open addressing over keys kept in shared blocks, rather than a heap node and a
// key string of their own per entry.
class NodeIndex
{
public:
  explicit NodeIndex(std::size_t expected)
  {
    std::size_t cap = 64;
    while (cap < expected * 2)
      cap *= 2;
    slots_.resize(cap);
  }
  NodeRef Find(std::u16string_view key) const
  {
    const Slot& s = slots_[SlotOf(key, std::hash<std::u16string_view>()(key))];
    return s.key ? s.node : NodeRef();
  }
  // Replaces the node of an equal key.
  void Add(std::u16string_view key, const NodeRef& n)
  {
    const std::size_t hash = std::hash<std::u16string_view>()(key);
    Slot* s = &slots_[SlotOf(key, hash)];
    if (s->key) {
      s->node = n;
      return;
    }
    if ((used_ + 1) * 2 > slots_.size()) {
      Grow();
      s = &slots_[SlotOf(key, hash)];
    }
    *s = Slot{hash, Keep(key), key.size(), n};
    ++used_;
  }
  void Add(const NodeRef& n) { Add(Key(URLText(n.Get())), n); }
  // Remembers a folder's existing children once, without listing them.
  void IndexChildren(const NodeRef& folder)
  {
    if (!indexed_.emplace(folder.Get(), true).second)
      return;
    for (NodeRef c = BrowserContentNode::FromTree(folder->GetFirstChild()); c; c = c->GetNextNode())
      Add(c);
  }

private:
  struct Slot
  {
    std::size_t hash = 0;
    const char16_t* key = nullptr; // null: empty
    std::size_t length = 0;
    NodeRef node;
  };
  static constexpr std::size_t kBlockUnits = 1 << 16;

  // The slot of the key, or the empty one where it would go.
  std::size_t SlotOf(std::u16string_view key, std::size_t hash) const
  {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (!s.key || (s.hash == hash && std::u16string_view(s.key, s.length) == key))
        return i;
    }
  }
  void Grow()
  {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (Slot& s : old)
      if (s.key)
        slots_[SlotOf(std::u16string_view(s.key, s.length), s.hash)] = std::move(s);
  }
  const char16_t* Keep(std::u16string_view key)
  {
    if (key.size() > blockLeft_) {
      const std::size_t units = std::max(kBlockUnits, key.size());
      blocks_.push_back(std::make_unique<char16_t[]>(units));
      blockAt_ = blocks_.back().get();
      blockLeft_ = units;
    }
    char16_t* at = blockAt_;
    std::copy(key.begin(), key.end(), at);
    blockAt_ += key.size();
    blockLeft_ -= key.size();
    return at;
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::vector<std::unique_ptr<char16_t[]>> blocks_;
  char16_t* blockAt_ = nullptr;
  std::size_t blockLeft_ = 0;
  std::unordered_map<const void*, bool> indexed_;
};

// The text that BrowserURL::GetDirectory reads a text URL's parent from: before the last "/" that
// does not end the text; empty without one.
std::u16string_view DirectoryPart(const String& text)
{
  const std::u16string_view v = text.View();
  std::size_t pos = v.rfind(u'/');
  if (pos != std::u16string_view::npos && pos + 1 == v.size())
    pos = v.size() >= 2 ? v.rfind(u'/', v.size() - 2) : std::u16string_view::npos;
  return pos == std::u16string_view::npos ? std::u16string_view() : v.substr(0, pos);
}

} // namespace

namespace {

// The sink of the nodes' change notices: the browser command only follows the preset tree, and only
// once the libraries are there.
void ContentNodeChanged(const NodeRef& node)
{
  ContentChangeListener listener;
  {
    std::lock_guard l(g_listenerLock);
    listener = g_listener;
  }
  if (!listener)
    return;
  const Bool command = (node->GetNodeType() == NODETYPE_PRESET || node == Root(kPreset)) && LibrariesLoaded();
  listener(node, command);
}

void LoadLibrariesIfNeeded() { LoadLibraries(false); }

// A preset's data and the last part of its URL, for a copy out as a file.
Bool PresetFileOf(const NodeRef& node, ByteArray* data, String* fileName)
{
  auto* preset = dynamic_cast<FilePresetNode*>(node.Get());
  BrowserDatabase* db = preset ? preset->GetLibrary() : nullptr;
  BrowserURL url;
  if (!db || !preset->GetURL(&url, 0))
    return false;
  BrowserDatabaseItem item;
  if (!db->OpenItemInto(url.GetString(), url.GetHash(), &item))
    return false;
  if (!item.HasData() || !item.GetData(data))
    return false;
  *fileName = url.GetFileString();
  return true;
}

// The preview of a file that the main database keeps, when it was taken of the file as it is now:
// the smallest that fills size, else the largest. Decoded once, then kept in the preview cache.
BaseBitmap* StoredFilePreviewOf(BrowserContentNode* file, Int32 size)
{
  BrowserDatabase* db = BrowserDatabase::GetLibrary(GetMainDatabaseIndex());
  BrowserURL url;
  DateTime now;
  if (!db || !file || !file->GetURL(&url, 0) || !file->GetFileTime(FILETIME_MODIFIED, &now))
    return nullptr;
  BrowserDatabaseItem item;
  if (!db->OpenItemInto(url.GetStringRef(), url.GetHash(), &item))
    return nullptr;
  const Int32 date = dbitem::PackDate(now), time = dbitem::PackTime(now);
  PreviewInfo best;
  Bool found = false;
  for (Int32 i = 0; i < item.GetPreviewCount(); ++i) {
    PreviewInfo p;
    if (!item.GetPreviewInfo(i, &p) || dbitem::PackDate(p.time) != date || dbitem::PackTime(p.time) != time)
      continue;
    const Bool fills = std::max(p.a, p.b) >= size, bestFills = found && std::max(best.a, best.b) >= size;
    const Int64 area = Int64(p.a) * p.b, bestArea = Int64(best.a) * best.b;
    if (!found || (fills && (!bestFills || area < bestArea)) || (!fills && !bestFills && area > bestArea)) {
      best = p;
      found = true;
    }
  }
  if (!found)
    return nullptr;
  const UInt32 itemId = UInt32(item.GetId());
  if (BaseBitmap* cached = db->CacheGetCopy(itemId, UInt32(best.imageId)))
    return cached;
  ByteArray jpeg;
  if (!item.GetPreviewData(best.imageId, &jpeg) || jpeg.empty())
    return nullptr;
  BaseBitmap* b = GeLoadBitmapFromMemory(jpeg.data(), Int64(jpeg.size()));
  if (b)
    db->CacheAddCopy(itemId, UInt32(best.imageId), b);
  return b;
}

void LoadCatalogIndex()
{
  BrowserURL catalogs(String("catalog:/"));
  GetLibraryIndex(catalogs);
}

// The first bytes of a main-database item's data, for handlers that match by content.
Int32 ReadMainItemHeader(BrowserURL& url, UChar* buf, Int32 size)
{
  BrowserDatabase* db = BrowserDatabase::GetLibrary(0);
  if (!db)
    return 0;
  const String text = url.GetString();
  if (text.IsEmpty())
    return 0;
  BrowserDatabaseItem item;
  if (!db->OpenItemInto(text, url.GetHash(), &item) || !item.HasData())
    return 0;
  ByteArray data;
  if (!item.GetData(&data))
    return 0;
  const std::size_t n = std::min<std::size_t>(data.size(), std::size_t(size));
  if (n)
    std::memcpy(buf, data.data(), n);
  return Int32(n);
}

// The main database's records of files follow their files (directory nodes call these).
Bool AtOrBelow(const String& text, const String& prefix)
{
  const Int32 n = prefix.GetLength();
  return n > 0 && text.GetLength() >= n && text.ComparePart(prefix, n) == 0 &&
         (text.GetLength() == n || text[n] == u'/');
}

template <typename F>
void ForRecordsBelow(const String& url, F&& f)
{
  BrowserDatabase* db = BrowserDatabase::GetLibrary(0);
  if (!db)
    return;
  std::vector<BrowserDatabase::ItemInfo> items;
  db->ListItems(&items);
  for (const BrowserDatabase::ItemInfo& i : items)
    if (i.id >= 1 && AtOrBelow(i.path, url))
      f(db, i.path);
}

void MoveRecordsBelow(const String& from, const String& to)
{
  ForRecordsBelow(from, [&](BrowserDatabase* db, const String& item) {
    db->MoveItem(item, to + item.SubStr(from.GetLength(), item.GetLength() - from.GetLength()));
  });
}

void MoveRecord(const String& from, const String& to)
{
  if (BrowserDatabase* db = BrowserDatabase::GetLibrary(0))
    db->MoveItem(from, to);
}

void RemoveRecordsBelow(const String& url)
{
  ForRecordsBelow(url, [](BrowserDatabase* db, const String& item) { db->DeleteItem(item); });
}

} // namespace

void SetContentChangeListener(ContentChangeListener listener)
{
  {
    std::lock_guard l(g_listenerLock);
    g_listener = listener;
  }
  SetNodeChangedSink(listener ? ContentNodeChanged : nullptr);
}

namespace {
// Default settings are the items of the default-object library (default.libqz), one per element
// kind, keyed by the kind's number. That library is opened at every start and listed under its own
// node, so a default is there before any preset library is read; the user library would be made
// only to hold settings and would show them among the user's presets.
const char kDefaultsURL[] = "preset://defaultobject.libqz";

BrowserURL DefaultURL(Int32 kind)
{
  BrowserURL url{String(kDefaultsURL)};
  url.AppendName(String::FromInt(kind));
  return url;
}

String KindName(Int32 kind)
{
  switch (kind) {
  case Obase: return String("Object");
  case Tbase: return String("Tag");
  case Tnodes: return String("Node Setup");
  case Mbase: return String("Material");
  case Xbase: return String("Shader");
  case VPbase: return String("Post Effect");
  case RDbase: return String("Render Settings");
  default: return String("Kind ") + String::FromInt(kind);
  }
}

BrowserDatabase* DefaultsLibrary()
{
  const Int32 index = GetDefaultObjectLibraryIndex();
  return index >= 0 ? BrowserDatabase::GetLibrary(index) : nullptr;
}

Bool DeleteDefaultEntry(const String& url)
{
  BrowserDatabase* db = DefaultsLibrary();
  return db && BrowserDatabase::FindLibraryForURL(url) == db && db->DeleteItem(url);
}

NodeRef DefaultsNodeFactory(const NodeRef& parent, const NodeRef& existing, BrowserURL& url, BrowserDatabase* db,
                            Bool folder, BrowserDatabaseItem* item, void*)
{
  if (existing)
    return existing;
  if (!parent)
    return nullptr;
  const String key = url.GetFileString();
  if (folder)
    return NodeRef(DefaultsNode::MakeFolder(parent, key, key).Get());
  String name;
  Int64 size = 0;
  if (item) {
    name = item->GetName(0);
    size = item->GetDataSize();
  } else if (BrowserDatabaseItem* opened = db ? db->OpenItem(url.GetStringRef(), url.GetHash()) : nullptr) {
    name = opened->GetName(0);
    size = opened->GetDataSize();
    opened->Close();
  }
  return NodeRef(DefaultsNode::MakeEntry(parent, key, name.IsEmpty() ? key : name, size).Get());
}
} // namespace

Bool GetDefaultSetting(Int32 kind, BaseContainer* out)
{
  BrowserDatabase* db = DefaultsLibrary();
  if (!db || !out)
    return false;
  BrowserURL url = DefaultURL(kind);
  BrowserDatabaseItem* item = db->OpenItem(url.GetStringRef(), url.GetHash());
  if (!item)
    return false;
  const Bool ok = item->GetType() == HANDLER_ID_DEFAULTS && item->GetSettings(out);
  item->Close();
  return ok;
}

Bool SetDefaultSetting(Int32 kind, const BaseContainer& settings)
{
  BrowserDatabase* db = DefaultsLibrary();
  if (!db || db->IsReadOnly())
    return false;
  BrowserURL url = DefaultURL(kind);
  Bool ok;
  Int64 size = 0;
  {
    BrowserDatabaseItem* item = db->OpenOrCreateItem(url.GetStringRef(), url.GetHash());
    if (!item)
      return false;
    ok = item->SetType(HANDLER_ID_DEFAULTS) && item->SetSettings(settings) && item->SetName(KindName(kind));
    size = item->GetDataSize();
    item->Close();
  }
  if (ok && !GetNode(url, GETNODE_EXACT))
    if (NodeRef root = Root(kDefaultObject))
      if (NodeRef made{DefaultsNode::MakeEntry(root, String::FromInt(kind), KindName(kind), size).Get()})
        NotifyNodeChanged(root);
  return ok;
}

Bool InitContent()
{
  if (ContentExists())
    return true;
  // Handlers that exist so far, in their fixed order; the others join as their parts arrive.
  RegisterFileTypePlugins(0);
  // The preset library and catalog file handlers go here.
  RegisterFileTypePlugins(1);
  RegisterPresetTypePlugins();
  if (!FindPluginByID(HANDLER_ID_CATEGORY))
    RegisterPlugin(GetCategoryPlugin(), 0, false);
  InstallCatalogs();
  InstallSearch();

  const Bool mainOk = OpenMainDatabase();
  if (mainOk)
    DropSearchRecords();
  Ref<BrowserContentTree> tree = MakeRef<BrowserContentTree>();
  if (!tree)
    return false;
  NodeRef roots[kRootCount];
  for (Int32 i = 0; i < kRootCount; ++i) {
    const TopLevel& t = kTopLevel[i];
    RTreeNode* parent = t.parent < 0 ? static_cast<RTreeNode*>(tree.Get()) : roots[t.parent].Get();
    roots[i] = CategoryNode::Make(parent, GeLoadString(t.name), String(t.url), t.icon);
  }
  {
    std::lock_guard l(g_contentLock);
    g_content.tree = tree;
    for (Int32 i = 0; i < kRootCount; ++i)
      g_content.roots[i] = roots[i];
  }
  BrowserURL::SetNetworkResolver(ResolveNetwork);
  SetItemHeaderReader(ReadMainItemHeader);
  SetCategoryLibraryLoaders(CategoryLibraryLoaders{LoadLibrariesIfNeeded, LoadCatalogIndex});
  SetDirectoryRecords(DirectoryRecords{MoveRecordsBelow, MoveRecord, RemoveRecordsBelow});
  SetPresetFileSource(PresetFileOf);
  SetStoredFilePreview(StoredFilePreviewOf);
  SetDefaultsStore(DefaultsStore{DeleteDefaultEntry, nullptr});

  // The file category lists the volumes as directory nodes unless something else was installed.
  CategoryServices services = GetCategoryServices();
  if (!services.buildVolumes) {
    services.buildVolumes = DirectoryNode::BuildVolumes;
    SetCategoryServices(services);
  }
  if (!services.buildNetwork) {
    services.buildNetwork = NetworkNode::BuildNetwork;
    SetCategoryServices(services);
  }
  // Favorites are catalog links; they show once catalogs can make their nodes.
  if (mainOk && services.makeFavoriteNode && roots[kFavorites])
    AddLibraryNodes(GetMainDatabaseIndex(), String("favorite:/"), roots[kFavorites], services.makeFavoriteNode,
                    nullptr);
  // The recent list is kept the same way.
  if (mainOk && services.makeFavoriteNode && roots[kRecent])
    AddLibraryNodes(GetMainDatabaseIndex(), String("recent:/"), roots[kRecent], services.makeFavoriteNode, nullptr);
  const Bool defaultsOk = OpenDefaultObjectLibrary();
  if (defaultsOk && roots[kDefaultObject])
    AddLibraryNodes(GetDefaultObjectLibraryIndex(), String(kDefaultsURL), roots[kDefaultObject],
                    DefaultsNodeFactory, nullptr);
  return mainOk && defaultsOk;
}

Bool ContentExists()
{
  std::lock_guard l(g_contentLock);
  return bool(g_content.tree);
}

void ReleaseContent()
{
  ReleaseSearch();
  ReleaseCatalogs();
  BrowserURL::SetNetworkResolver(nullptr);
  SetItemHeaderReader(nullptr);
  SetCategoryLibraryLoaders(CategoryLibraryLoaders{});
  SetDirectoryRecords(DirectoryRecords{});
  SetPresetFileSource(nullptr);
  SetStoredFilePreview(nullptr);
  SetDefaultsStore(DefaultsStore{});
  ContentState old;
  {
    std::lock_guard l(g_contentLock);
    std::swap(old, g_content);
  }
  for (NodeRef& r : old.roots)
    r = nullptr;
  // The last reference takes the tree apart.
  old.tree = nullptr;
  ReleasePluginRegistry();
}

void ShutdownContent(Bool allowCompaction)
{
  // The end of the program saves the main database here, before the content is released.
  DropSearchRecords();
  CloseAllLibraries(true, allowCompaction);
}

Ref<BrowserContentTree> GetContentTree()
{
  std::lock_guard l(g_contentLock);
  return g_content.tree;
}

NodeRef GetRootNode(Int32 which)
{
  switch (which) {
    case ROOT_PRESET: return Root(kPreset);
    case ROOT_CATALOG: return Root(kCatalog);
    case ROOT_FILE: return Root(kFile);
    case ROOT_RECENT: return Root(kRecent);
    case ROOT_SEARCH: return Root(kSearch);
    case ROOT_FAVORITES: return Root(kFavorites);
    case ROOT_NETWORK: return Root(kNetwork);
    default: return nullptr;
  }
}

NodeRef GetDefaultObjectNode() { return Root(kDefaultObject); }

namespace {
// An element of the host's active document by its names from the top, joined by "/": the objects
// first, then the materials, then the render settings. Names are matched exactly, as the host
// shows them. The node borrows the element, which stays in its document.
NodeRef HostElementNode(const String& path)
{
  BaseDocument* doc = GetActiveDocument();
  if (!doc || path.IsEmpty())
    return nullptr;
  for (Int32 list : {SCENELIST_OBJECTS, SCENELIST_MATERIALS, SCENELIST_RENDER}) {
    BaseList2D* at = nullptr;
    BaseList2D* first = DocFirst(doc, list);
    Int32 start = 0;
    while (start <= path.GetLength()) {
      Int32 slash = path.GetLength();
      path.FindFirst(Utf16Char('/'), &slash, start);
      const String part = path.SubStr(start, slash - start);
      BaseList2D* found = nullptr;
      for (BaseList2D* e = at ? ElemDown(at) : first; e && !found; e = ElemNext(e))
        if (GeGetObjectName(e) == part)
          found = e;
      at = found;
      if (!at)
        break;
      start = slash + 1;
    }
    if (at)
    {
      Ref<BrowserBaseListNode> n = MakeRef<BrowserBaseListNode>(at);
      return NodeRef(n.Get());
    }
  }
  return nullptr;
}
} // namespace

NodeRef GetNode(BrowserURL& url, Int32 mode, NodeRef start)
{
  const String& given = url.GetStringRef();
  const String want = given.ToUpper();
  if (want.IsEmpty())
    return nullptr;
  const String hostElements("BASELIST://");
  if (want.StartsWith(hostElements))
    return HostElementNode(given.SubStr(hostElements.GetLength(), given.GetLength() - hostElements.GetLength()));
  NodeRef row = std::move(start);
  // The node whose children the row is, when it is all of them (the top level has none).
  NodeRef parent;
  if (!row) {
    Ref<BrowserContentTree> tree = GetContentTree();
    if (!tree)
      return nullptr;
    row = BrowserContentNode::FromTree(tree->GetFirstChild());
  } else if (!row->GetPrev()) {
    parent = row->GetUpNode();
  }
  if (want.StartsWith(String("FILE:/")) && url.IsFile()) {
    // Listing the file root checks its volumes when it has none yet.
    if (NodeRef fileRoot = Root(kFile)) {
      row = fileRoot->GetDownNode();
      parent = fileRoot;
    }
  }
  const Int32 wantLen = want.GetLength();
  NodeRef deepest;
  while (row) {
    NodeRef best;
    Int32 bestLen = -1;
    if (parent) {
      best = parent->FindChildForURL(want, given, &bestLen);
    } else {
      for (NodeRef n = row; n && bestLen < wantLen; n = n->GetNextNode()) {
        const Int32 len = MatchRowNode(n.Get(), want, given);
        if (len > bestLen) {
          best = n;
          bestLen = len;
        }
      }
    }
    if (!best)
      return (mode & GETNODE_DEEPEST) ? deepest : nullptr;
    if (bestLen == wantLen)
      return best;
    if (mode & GETNODE_LOAD)
      best->LoadChildren();
    row = best->GetDownNode();
    if (!row)
      return (mode & GETNODE_DEEPEST) ? best : nullptr;
    parent = best;
    deepest = std::move(best);
  }
  return nullptr;
}

NodeRef FilePresetNodeFactory(const NodeRef& parent, const NodeRef& existing, BrowserURL& url, BrowserDatabase* db,
                              Bool folder, BrowserDatabaseItem*, void*)
{
  if (existing)
    return existing;
  if (!parent)
    return nullptr;
  if (folder)
    return FilePresetNode::MakeFolder(parent, url.GetFileString(), db);
  return FilePresetNode::MakePreset(parent, url, db);
}

Bool AddLibraryNodes(Int32 libraryIndex, const String& prefix, NodeRef parent, LibraryNodeFactory factory,
                     void* data)
{
  BrowserDatabase* db = BrowserDatabase::GetLibrary(libraryIndex);
  if (!db || !parent)
    return false;
  if (!factory)
    factory = FilePresetNodeFactory;
  // Folders without records get them in memory; building the tree is no edit.
  BrowserDatabase::QuietChanges quiet;
  std::vector<BrowserDatabase::ItemInfo> items;
  db->ListItems(&items);
  std::vector<BrowserHashNode*> hashNodes;
  BrowserDatabase::FindHashNodes(items, &hashNodes);

  const String parentURL = URLText(parent.Get());
  const std::u16string parentKey = Key(parentURL);
  NodeIndex index(items.size() + 1);
  index.Add(parentKey, parent);
  const Int32 prefixLen = prefix.GetLength();
  // Items come folder by folder: the folder found for one item serves the next ones whose URL text
  // has the same directory part, found with no text made and no index asked. Not kept when the walk
  // failed, so that the next item tries again.
  std::u16string lastDir;
  NodeRef lastFolder;
  Bool haveLast = false;
  for (std::size_t itemAt = 0; itemAt < items.size(); ++itemAt) {
    const BrowserDatabase::ItemInfo& info = items[itemAt];
    if (info.id < 1 || info.path.GetLength() < prefixLen || info.path.ComparePart(prefix, prefixLen) != 0)
      continue;
    BrowserURL url(info.path);
    url.SetHash(info.hash);
    const std::u16string_view dirPart = DirectoryPart(url.GetStringRef());
    NodeRef folder;
    if (haveLast && dirPart == lastDir) {
      if (!lastFolder)
        continue;
      folder = lastFolder;
    } else {
      haveLast = false;
      const String dir = url.GetDirectory().GetString();
      const std::u16string dirKey = Key(dir);
      // Only items at or below the parent's URL have a place there.
      if (dirKey.size() < parentKey.size() || dirKey.compare(0, parentKey.size(), parentKey) != 0 ||
          (dirKey.size() > parentKey.size() && dirKey[parentKey.size()] != u'/')) {
        lastDir.assign(dirPart);
        lastFolder = nullptr;
        haveLast = true;
        continue;
      }
      folder = parent;
      std::u16string curKey = parentKey;
      String curURL = parentURL;
      Int32 pos = parentURL.GetLength();
      while (folder && pos < dir.GetLength()) {
        Int32 next = 0;
        if (!dir.FindFirst(u'/', &next, pos + 1))
          next = dir.GetLength();
        const String part = dir.SubStr(pos + 1, next - pos - 1);
        pos = next;
        curURL = curURL + String("/") + part;
        curKey = Key(curURL);
        index.IndexChildren(folder);
        NodeRef child = index.Find(curKey);
        if (!child) {
          BrowserURL folderURL(curURL);
          child = factory(folder, nullptr, folderURL, db, true, nullptr, data);
          if (child)
            index.Add(curKey, child);
        }
        folder = child;
      }
      if (!folder)
        continue;
      index.IndexChildren(folder);
      lastDir.assign(dirPart);
      lastFolder = folder;
      haveLast = true;
    }
    const String key = info.path.ToUpper();
    NodeRef existing = index.Find(key.View());
    // One lookup of the item: its folder flag, and what the factory reads.
    BrowserDatabaseItem item;
    const Bool opened = db->OpenItemInto(info.path, info.hash, hashNodes[itemAt], &item);
    const Bool isFolder = opened && item.IsFolder();
    // Handed on only when the URL's text is the item's path, the one the factory would look up.
    BrowserDatabaseItem* given = opened && url.GetStringRef() == info.path ? &item : nullptr;
    NodeRef made = factory(folder, existing, url, db, isFolder, given, data);
    item.Close();
    if (made)
      index.Add(key.View(), made);
  }
  return true;
}

NodeRef MakeFolderNodes(BrowserURL& url)
{
  const String text = url.GetString();
  BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(text);
  if (!db)
    return nullptr;
  NodeRef node = GetNode(url, GETNODE_EXACT | GETNODE_DEEPEST);
  if (!node || node->GetNodeType() != NODETYPE_PRESET)
    return nullptr;
  String nodeURL = URLText(node.Get());
  const std::u16string key = Key(text);
  if (Key(nodeURL) == key)
    return node;
  // The deepest node must be the text's ancestor at a path boundary.
  const Int32 n = nodeURL.GetLength();
  if (n >= text.GetLength() || text[n] != u'/' || Key(nodeURL) != key.substr(0, std::size_t(n)))
    return nullptr;
  Int32 pos = n;
  while (node && pos < text.GetLength()) {
    Int32 next = 0;
    if (!text.FindFirst(u'/', &next, pos + 1))
      next = text.GetLength();
    const String part = text.SubStr(pos + 1, next - pos - 1);
    pos = next;
    if (part.IsEmpty())
      continue;
    node = FilePresetNode::MakeFolder(node, part, db);
  }
  return node;
}

void UpdateItemNode(BrowserDatabase* db, BrowserURL& itemURL)
{
  if (!db || db->GetRegistrationCount() <= 0)
    return;
  if (NodeRef node = GetNode(itemURL, GETNODE_EXACT)) {
    if (node->GetNodeType() == NODETYPE_PRESET && !(node->GetStatus() & NODESTATUS_EXTERNAL)) {
      // The node keeps name, handler and date of its item: a setter's change must show.
      if (auto* preset = dynamic_cast<FilePresetNode*>(node.Get()))
        preset->UpdateFromItem();
      NotifyNodeChanged(node);
    }
    return;
  }
  BrowserURL parentURL = itemURL.GetDirectory();
  NodeRef parent = MakeFolderNodes(parentURL);
  if (!parent)
    return;
  Bool folder = false;
  if (BrowserDatabaseItem* item = db->OpenItem(itemURL.GetStringRef(), itemURL.GetHash())) {
    folder = item->IsFolder();
    item->Close();
  }
  NodeRef made = folder ? NodeRef(FilePresetNode::MakeFolder(parent, itemURL.GetFileString(), db))
                        : NodeRef(FilePresetNode::MakePreset(parent, itemURL, db));
  if (made)
    NotifyNodeChanged(parent);
}

Bool AddRecent(NodeRef node)
{
  NodeRef recent = Root(kRecent);
  if (!node || !recent)
    return false;
  CategoryServices services = GetCategoryServices();
  if (node->GetNodeType() == NODETYPE_CATALOG && services.linkTarget)
    if (NodeRef target = services.linkTarget(node))
      node = target;
  Int32 links = 0;
  for (NodeRef c = BrowserContentNode::FromTree(recent->GetFirstChild()); c; c = c->GetNextNode()) {
    if (c->GetNodeType() != NODETYPE_CATALOG)
      continue;
    ++links;
    if (services.linkTarget && services.linkTarget(c) == node)
      return false;
  }
  if (node->GetInfo(nullptr) & NODEMASK_BROWSABLE)
    return true;
  // Links are the catalogs' to make: without them nothing can be remembered.
  if (!services.makeLink)
    return false;
  if (links > RECENT_LIMIT)
    if (NodeRef oldest = BrowserContentNode::FromTree(recent->GetFirstChild()))
      if (oldest->Delete(EDITPHASE_DO, nullptr, nullptr) != EDIT_OK)
        oldest->Remove();
  return bool(services.makeLink(static_cast<CategoryNode*>(recent.Get()), node, nullptr));
}
