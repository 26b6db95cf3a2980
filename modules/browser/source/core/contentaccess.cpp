#include "core/contentaccess.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "contenttree/browserinterface.h"
#include "core/catalogs.h"
#include "core/libraryregistry.h"
#include "filetypes/filetypeplugins.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/filepresetnode.h"
#include "presets/presettypeplugins.h"
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

// Folder nodes found or made during one AddLibraryNodes, by converted URL.
class NodeIndex
{
public:
  NodeRef Find(const std::u16string& key)
  {
    auto it = nodes_.find(key);
    return it == nodes_.end() ? NodeRef() : it->second;
  }
  void Add(const NodeRef& n) { nodes_[Key(URLText(n.Get()))] = n; }
  void Add(const std::u16string& key, const NodeRef& n) { nodes_[key] = n; }
  // Remembers a folder's existing children once, without listing them.
  void IndexChildren(const NodeRef& folder)
  {
    if (!indexed_.emplace(folder.Get(), true).second)
      return;
    for (NodeRef c = BrowserContentNode::FromTree(folder->GetFirstChild()); c; c = c->GetNextNode())
      Add(c);
  }

private:
  std::unordered_map<std::u16string, NodeRef> nodes_;
  std::unordered_map<const void*, bool> indexed_;
};

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
    AddLibraryNodes(GetDefaultObjectLibraryIndex(), String("preset://defaultobject.libqz"), roots[kDefaultObject],
                    FilePresetNodeFactory, nullptr);
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

NodeRef GetNode(BrowserURL& url, Int32 mode, NodeRef start)
{
  const String& given = url.GetStringRef();
  const String want = given.ToUpper();
  if (want.IsEmpty())
    return nullptr;
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
                              Bool folder, void*)
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

  const String parentURL = URLText(parent.Get());
  const std::u16string parentKey = Key(parentURL);
  NodeIndex index;
  index.Add(parentKey, parent);
  const Int32 prefixLen = prefix.GetLength();
  for (const BrowserDatabase::ItemInfo& info : items) {
    if (info.id < 1 || info.path.GetLength() < prefixLen || info.path.ComparePart(prefix, prefixLen) != 0)
      continue;
    BrowserURL url(info.path);
    url.SetHash(info.hash);
    const String dir = url.GetDirectory().GetString();
    const std::u16string dirKey = Key(dir);
    // Only items at or below the parent's URL have a place there.
    if (dirKey.size() < parentKey.size() || dirKey.compare(0, parentKey.size(), parentKey) != 0 ||
        (dirKey.size() > parentKey.size() && dirKey[parentKey.size()] != u'/'))
      continue;
    NodeRef folder = parent;
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
        child = factory(folder, nullptr, folderURL, db, true, data);
        if (child)
          index.Add(curKey, child);
      }
      folder = child;
    }
    if (!folder)
      continue;
    index.IndexChildren(folder);
    const std::u16string key = Key(info.path);
    NodeRef existing = index.Find(key);
    Bool isFolder = false;
    if (BrowserDatabaseItem* item = db->OpenItem(info.path, info.hash)) {
      isFolder = item->IsFolder();
      item->Close();
    }
    NodeRef made = factory(folder, existing, url, db, isFolder, data);
    if (made)
      index.Add(key, made);
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
