// The operation table published for other plug-ins (library 1017645, version 1000).
// Entries whose parts do not exist yet (windows, icons, preview dialogs, defaults, the bridge for
// other plug-ins' handlers and nodes) answer false, 0 or null and change nothing.
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "contenttree/browserinterface.h"
#include "core/calltable.h"
#include "core/contentaccess.h"
#include "core/libraryregistry.h"
#include "core/toolhooks.h"
#include "orx/browserlib.h"
#include "orx/browsercontenttool.h"
#include "orx/browserpreviews.h"
#include "orx/itemprogresslib.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/filepresetnode.h"
#include "previews/previewsession.h"
#include "progress/itemprogressdialog.h"

namespace {

// The callers of the table are other plug-ins, possibly not C++ at all: no exception may cross it.
// Safe<F> answers false, 0 or null when F throws (a container out of memory, a handler or node of
// another plug-in that throws); Safe<F, code> answers the entry's own failure code.
template <auto F, auto... Failure>
struct Guarded;
template <typename R, typename... A, R (*F)(A...), auto... Failure>
struct Guarded<F, Failure...>
{
  static R Entry(A... args) noexcept
  {
    try {
      return F(args...);
    } catch (...) {
      if constexpr (!std::is_void_v<R>)
        return R{Failure...};
    }
  }
};
template <auto F, auto... Failure>
constexpr auto Safe = &Guarded<F, Failure...>::Entry;

BrowserURL* U(OrxBrowserURL* u) { return reinterpret_cast<BrowserURL*>(u); }
const BrowserURL* U(const OrxBrowserURL* u) { return reinterpret_cast<const BrowserURL*>(u); }
BrowserContentNode* N(OrxBrowserNode* n) { return reinterpret_cast<BrowserContentNode*>(n); }
OrxBrowserNode* Out(NodeRef n) { return reinterpret_cast<OrxBrowserNode*>(n.Release()); }
BrowserPluginInterface* H(OrxBrowserHandler* h) { return reinterpret_cast<BrowserPluginInterface*>(h); }
OrxBrowserHandler* Out(BrowserPluginInterface* h) { return reinterpret_cast<OrxBrowserHandler*>(h); }
NodeRef Borrow(OrxBrowserNode* n) { return NodeRef(N(n)); }
NodeRef Take(OrxBrowserNode* n) { return NodeRef::Adopt(N(n)); }

struct Icon
{
  BaseBitmap* bitmap;
  Bool owned;
};

struct ItemIterator
{
  BrowserDatabase* db;
  Int32 slot;
  std::vector<BrowserDatabase::ItemInfo> items;
  std::size_t pos = 0;
};

// The library of a published index: none below 1.
BrowserDatabase* Library(Int32 index) { return index < 1 ? nullptr : BrowserDatabase::GetLibrary(index); }

// The library at index, when it is the one responsible for the item's path.
BrowserDatabase* LibraryFor(Int32 index, BrowserURL* url)
{
  BrowserDatabase* db = Library(index);
  if (!db || !url)
    return nullptr;
  return BrowserDatabase::FindLibraryForURL(url->GetStringRef()) == db ? db : nullptr;
}

struct Item
{
  BrowserDatabaseItem* p = nullptr;
  Item(BrowserDatabaseItem* item) : p(item) {} // NOLINT
  ~Item()
  {
    if (p)
      p->Close();
  }
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  BrowserDatabaseItem* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

BrowserDatabaseItem* OpenRead(BrowserDatabase* db, BrowserURL* url)
{
  return db ? db->OpenItem(url->GetStringRef(), url->GetHash()) : nullptr;
}
BrowserDatabaseItem* OpenWrite(BrowserDatabase* db, BrowserURL* url)
{
  if (!db || db->IsReadOnly())
    return nullptr;
  BrowserDatabaseItem* item = db->OpenOrCreateItem(url->GetStringRef(), url->GetHash());
  if (item && item->GetDatabase() != db) {
    item->Close();
    return nullptr;
  }
  return item;
}

// --- main table ---

Bool OpenBrowser(OrxBrowserURL*, const String*) { return false; }
OrxBrowserNode* GetRootNodeEntry(Int32 which) { return Out(GetRootNode(which == ROOT_NETWORK ? -1 : which)); }
OrxBrowserIcon* GetIconByNumber(Int32, Int32) { return nullptr; }
OrxBrowserIcon* GetIconForURL(OrxBrowserURL*, OrxBrowserHandler*, Int32, Int32) { return nullptr; }
OrxBrowserIcon* GetNodeIcon(OrxBrowserNode*, Int32, UInt32) { return nullptr; }

OrxBrowserIcon* WrapBitmap(BaseBitmap* bitmap, Bool owned)
{
  if (!bitmap)
    return nullptr;
  return reinterpret_cast<OrxBrowserIcon*>(OrxNewObj(Icon, Icon{bitmap, owned}));
}

void FreeIcon(OrxBrowserIcon* icon)
{
  Icon* i = reinterpret_cast<Icon*>(icon);
  if (!i)
    return;
  if (i->owned && i->bitmap)
    OrxDeleteObj(i->bitmap);
  OrxDeleteObj(i);
}

BaseBitmap* GetIconBitmap(OrxBrowserIcon* icon)
{
  Icon* i = reinterpret_cast<Icon*>(icon);
  return i ? i->bitmap : nullptr;
}

Int32 CreateLibraryEntry(OrxBrowserURL* url, const String* name, const Filename* file)
{
  if (!url || !file || file->IsEmpty())
    return -1;
  return CreateLibrary(*U(url), name ? *name : String(), *file);
}

Bool GetItem(Int32 library, OrxBrowserURL* url, Int32* type, BaseContainer* settings, void** data, Int64* size)
{
  if (data)
    *data = nullptr;
  if (size)
    *size = 0;
  if (!url)
    return false;
  Item item(OpenRead(Library(library), U(url)));
  if (!item)
    return false;
  if (type)
    *type = item->GetType();
  if (settings && !item->GetSettings(settings))
    settings->FlushAll();
  if (data && item->HasData()) {
    ByteArray bytes;
    if (!item->GetData(&bytes))
      return false;
    void* block = OrxMemAlloc(Int64(bytes.size()), __LINE__, __FILE__, false);
    if (!block)
      return false;
    if (!bytes.empty())
      std::memcpy(block, bytes.data(), bytes.size());
    *data = block;
    if (size)
      *size = Int64(bytes.size());
  }
  return true;
}

Bool SetItem(Int32 library, OrxBrowserURL* url, Int32 type, const BaseContainer* settings, const void* data,
             Int64 size)
{
  if (!url || size < 0 || (size > 0 && !data))
    return false;
  // Only an item of the user library may create it.
  if (library == LIBRARY_USER && !BrowserDatabase::GetLibrary(LIBRARY_USER) &&
      (!IsUserLibraryURL(*U(url)) || EnsureUserLibrary() < 0))
    return false;
  BrowserDatabase* db = LibraryFor(library, U(url));
  Bool ok;
  {
    Item item(OpenWrite(db, U(url)));
    if (!item)
      return false;
    ok = item->SetType(type);
    if (settings)
      ok = item->SetSettings(*settings) && ok;
    if (data)
      ok = item->SetData(data, size) && ok;
  }
  UpdateItemNode(db, *U(url));
  return ok;
}

Bool DeleteItemEntry(Int32 library, OrxBrowserURL* url)
{
  BrowserDatabase* db = LibraryFor(library, U(url));
  if (!db)
    return false;
  if (db->GetRegistrationCount() > 0) {
    if (NodeRef node = GetNode(*U(url), GETNODE_EXACT)) {
      if (node->Delete(EDITPHASE_ASK, nullptr, nullptr) != EDIT_OK)
        return false;
      return node->Delete(EDITPHASE_DO, nullptr, nullptr) == EDIT_OK;
    }
  }
  return db->DeleteItem(U(url)->GetStringRef());
}

OrxBrowserItemIterator* CreateItemIterator(Int32 library)
{
  BrowserDatabase* db = Library(library);
  if (!db)
    return nullptr;
  ItemIterator* it = OrxNewObj(ItemIterator);
  if (!it)
    return nullptr;
  it->db = db;
  it->slot = library;
  db->ListItems(&it->items);
  return reinterpret_cast<OrxBrowserItemIterator*>(it);
}

void FreeItemIterator(OrxBrowserItemIterator* iterator)
{
  ItemIterator* it = reinterpret_cast<ItemIterator*>(iterator);
  if (it)
    OrxDeleteObj(it);
}

Bool NextItem(OrxBrowserItemIterator* iterator, OrxBrowserURL* url, Bool* folder)
{
  ItemIterator* it = reinterpret_cast<ItemIterator*>(iterator);
  if (!it || !url)
    return false;
  // A library closed meanwhile has no more items.
  if (BrowserDatabase::GetLibrary(it->slot) != it->db)
    return false;
  while (it->pos < it->items.size()) {
    const BrowserDatabase::ItemInfo& info = it->items[it->pos++];
    if (info.id < 1)
      continue;
    U(url)->SetString(info.path);
    U(url)->SetHash(info.hash);
    if (folder) {
      Item item(it->db->OpenItem(info.path, info.hash));
      *folder = item && item->IsFolder();
    }
    return true;
  }
  return false;
}

void NotifyNodeChangedEntry(OrxBrowserNode* node) { NotifyNodeChanged(Borrow(node)); }
Int32 PreviewDialogCall(OrxBrowserPreviewDialog* d, void* pointer, Int32 code, Int32)
{
  auto* dialog = reinterpret_cast<PreviewDialog*>(d);
  const PreviewDialogOps* ops = GetPreviewDialogOps();
  if (code == BROWSER_PREVIEWDIALOG_MULTI) {
    auto* r = static_cast<OrxPreviewMultiRequest*>(pointer);
    if (!r || !r->nodes || r->count < 1 || !ops || !ops->makeMulti)
      return 0;
    std::vector<NodeRef> nodes;
    for (Int32 i = 0; i < r->count; ++i)
      nodes.push_back(Borrow(r->nodes[i]));
    void* multi = ops->makeMulti(nodes.data(), Int32(nodes.size()), &r->handle);
    r->dialog = static_cast<OrxBrowserPreviewDialog*>(multi);
    return multi ? 1 : 0;
  }
  if (!dialog)
    return 0;
  switch (code) {
    case BROWSER_PREVIEWDIALOG_MULTI_FREE:
      if (ops && ops->freeMulti)
        ops->freeMulti(d);
      return 1;
    case BROWSER_PREVIEWDIALOG_DELETE:
    case BROWSER_PREVIEWDIALOG_CLOSE: {
      NodeRef node = Borrow(static_cast<OrxBrowserNode*>(pointer));
      BrowserPluginInterface* h = node ? node->GetPluginInterface(0) : nullptr;
      if (!h)
        return 0;
      return code == BROWSER_PREVIEWDIALOG_DELETE ? h->DestroyPreviewDialog(node, dialog)
                                                  : h->ClosePreviewDialog(node, dialog);
    }
    case BROWSER_PREVIEWDIALOG_HANDLE: return ops && ops->handle ? ops->handle(dialog) : 0;
    case BROWSER_PREVIEWDIALOG_PAGE: return ops && ops->page ? ops->page(dialog) : 0;
    default: return 0;
  }
}

OrxBrowserNode* GetNodeEntry(OrxBrowserURL* url, Int32 mode, OrxBrowserNode* start)
{
  if (!url)
    return nullptr;
  return Out(GetNode(*U(url), mode, Borrow(start)));
}

Bool RegisterPluginEntry(OrxBrowserHandler* handler, Int32 identifiesFiles)
{
  return RegisterPlugin(H(handler), identifiesFiles, false);
}
Bool UnregisterPluginEntry(OrxBrowserHandler* handler) { return handler && UnregisterPlugin(H(handler)); }

Bool FindPluginForURLEntry(OrxBrowserURL* url, Bool checkContents, OrxBrowserHandler** out)
{
  if (out)
    *out = nullptr;
  if (!url)
    return false;
  BrowserPluginInterface* h = nullptr;
  Bool ok = FindPluginForURL(*U(url), checkContents, &h);
  if (out)
    *out = Out(h);
  return ok;
}

Bool GetDefaultObject(Int32 kind, BaseContainer* out) { return out && GetDefaultSetting(kind, out); }
Bool SetDefaultObject(Int32 kind, const BaseContainer* settings) { return settings && SetDefaultSetting(kind, *settings); }

struct OutsideFactory
{
  OrxBrowserNodeFactory factory;
  void* data;
};

NodeRef CallOutsideFactory(const NodeRef& parent, const NodeRef& existing, BrowserURL& url, BrowserDatabase* db,
                           Bool folder, BrowserDatabaseItem*, void* data)
{
  auto* f = static_cast<OutsideFactory*>(data);
  OrxBrowserNode* made = f->factory(reinterpret_cast<OrxBrowserNode*>(parent.Get()),
                                    reinterpret_cast<OrxBrowserNode*>(existing.Get()),
                                    reinterpret_cast<OrxBrowserURL*>(&url), db->GetSlot(), folder, f->data);
  return Take(made);
}

Bool AddLibraryNodesEntry(Int32 library, const String* prefix, OrxBrowserNode* parent, OrxBrowserNodeFactory factory,
                          void* data)
{
  if (!prefix || !parent || library < 0)
    return false;
  if (!factory)
    return AddLibraryNodes(library, *prefix, Borrow(parent), FilePresetNodeFactory, nullptr);
  OutsideFactory f{factory, data};
  return AddLibraryNodes(library, *prefix, Borrow(parent), CallOutsideFactory, &f);
}

Bool GetItemName(Int32 library, OrxBrowserURL* url, Int32 language, String* out)
{
  if (!url || !out)
    return false;
  Item item(OpenRead(Library(library), U(url)));
  if (!item)
    return false;
  *out = item->GetName(language);
  return true;
}

Bool SetItemName(Int32 library, OrxBrowserURL* url, Int32 language, const String* name)
{
  if (!url || !name)
    return false;
  BrowserDatabase* db = LibraryFor(library, U(url));
  Bool ok;
  {
    Item item(OpenWrite(db, U(url)));
    if (!item)
      return false;
    ok = item->SetName(*name, language);
  }
  UpdateItemNode(db, *U(url));
  return ok;
}

Bool GetItemAnnotation(Int32 library, OrxBrowserURL* url, String* out)
{
  if (!url || !out)
    return false;
  Item item(OpenRead(Library(library), U(url)));
  if (!item)
    return false;
  *out = item->GetAnnotation();
  return true;
}

Bool SetItemAnnotation(Int32 library, OrxBrowserURL* url, const String* text)
{
  if (!url || !text)
    return false;
  BrowserDatabase* db = LibraryFor(library, U(url));
  Bool ok;
  {
    Item item(OpenWrite(db, U(url)));
    if (!item)
      return false;
    ok = item->SetAnnotation(*text);
  }
  UpdateItemNode(db, *U(url));
  return ok;
}

Bool CreateUserLibraryFolder(OrxBrowserURL* url)
{
  if (!url || !IsUserLibraryURL(*U(url)))
    return false;
  if (EnsureUserLibrary() < 0)
    return false;
  return bool(MakeFolderNodes(*U(url)));
}

Bool CreateFolderItem(Int32 library, OrxBrowserURL* parent, OrxBrowserURL* item)
{
  if (!parent || !item)
    return false;
  BrowserDatabase* db = LibraryFor(library, U(item));
  if (!db || db->GetRegistrationCount() <= 0 || !MakeFolderNodes(*U(parent)))
    return false;
  UpdateItemNode(db, *U(item));
  return bool(GetNode(*U(item), GETNODE_EXACT));
}

Int32 GetLibraryIndexEntry(OrxBrowserURL* url) { return url ? GetLibraryIndex(*U(url)) : -1; }

Bool SetItemFlag(Int32 library, OrxBrowserURL* url, Int32 flags)
{
  BrowserDatabase* db = LibraryFor(library, U(url));
  Bool ok;
  {
    Item item(OpenWrite(db, U(url)));
    if (!item)
      return false;
    ok = item->SetItemFlags(flags);
  }
  UpdateItemNode(db, *U(url));
  return ok;
}

Bool SetItemPreview(Int32 library, OrxBrowserURL* url, Int32 imageId, const void* jpeg, Int64 size, Int32 quality)
{
  if (!jpeg || size <= 0)
    return false;
  BrowserDatabase* db = LibraryFor(library, U(url));
  Bool ok;
  {
    Item item(OpenWrite(db, U(url)));
    if (!item)
      return false;
    ok = item->AddPreview(imageId, jpeg, size, quality, GeGetCurrentTime());
    // A decoded copy of the old preview must not be shown any more.
    db->CacheRemove(UInt32(item->GetId()), UInt32(imageId));
  }
  UpdateItemNode(db, *U(url));
  return ok;
}

Bool RegisterLibraryEntry(const Filename* file, UInt32 flags, OrxBrowserURL* out)
{
  if (!file)
    return false;
  return RegisterLibrary(*file, flags, out ? U(out) : nullptr);
}

Bool CopyItem(OrxBrowserURL* source, OrxBrowserURL* destination)
{
  if (!source || !destination)
    return false;
  BrowserURL& src = *U(source);
  BrowserURL& dst = *U(destination);
  BrowserDatabase* dstDb = BrowserDatabase::FindLibraryForURL(dst.GetStringRef(), true);
  BrowserDatabase* srcDb = BrowserDatabase::FindLibraryForURL(src.GetStringRef(), true);
  Bool ok;
  {
    Item from(OpenRead(srcDb, &src));
    if (!from) {
      NodeRef node = GetNode(src, GETNODE_EXACT);
      if (!node || !(node->GetInfo(nullptr) & NODEMASK_BROWSABLE))
        return false;
    }
    Item to(OpenWrite(dstDb, &dst));
    if (!to)
      return false;
    if (from)
      ok = CopyItemRecord(from.p, to.p);
    else
      ok = to->SetItemFlags(to->GetItemFlags() | dbitem::kFolderFlag);
  }
  UpdateItemNode(dstDb, dst);
  return ok;
}

Bool MoveNodes(Int32 count, OrxBrowserNode** nodes, OrxBrowserNode* newParent)
{
  NodeRef parent = Borrow(newParent);
  if (!parent || count < 0 || (count > 0 && !nodes))
    return false;
  std::vector<NodeRef> sources;
  for (Int32 i = 0; i < count; ++i) {
    NodeRef n = Borrow(nodes[i]);
    if (!n)
      return false;
    sources.push_back(std::move(n));
  }
  if (sources.empty())
    return true;
  // Through the item progress worker: every node is asked before any moves, a taken name is asked
  // about, and the views hear of the moves on this thread.
  ItemProgressDialog dialog(ITEMOP_MOVE, std::move(sources), parent);
  return dialog.Execute() == ITEMSTATUS_DONE;
}

Bool LibraryItemExistsEntry(OrxBrowserURL* url) { return url && LibraryItemExists(*U(url)); }

Int32 GetItemValue(Int32 library, OrxBrowserURL* url, Int32 which)
{
  if (!url)
    return 0;
  Item item(OpenRead(Library(library), U(url)));
  if (!item)
    return 0;
  Int32 type2 = 0;
  switch (which) {
    case 0: return item->GetItemFlags();
    case 1: return item->GetOrder();
    case 2: return item->GetType();
    case 3: item->GetType(&type2); return type2;
    case 4: return item->GetState();
    default: return 0;
  }
}

Bool GetAnimatedPreview(Int32 library, OrxBrowserURL* url, Int32* first, Int32* last, Float* rate)
{
  if (!url)
    return false;
  Item item(OpenRead(Library(library), U(url)));
  Int32 f = 0, l = 0;
  Float r = 0;
  if (!item || !item->GetAnimation(&f, &l, &r))
    return false;
  if (first)
    *first = f;
  if (last)
    *last = l;
  if (rate)
    *rate = r;
  return true;
}

Bool SetAnimatedPreview(Int32 library, OrxBrowserURL* url, Int32 first, Int32 last, Float rate)
{
  Item item(OpenWrite(LibraryFor(library, U(url)), U(url)));
  return item && item->SetAnimation(first, last, rate);
}

Bool OpenBrowserWithOptions(OrxBrowserURL*, const String*, Int32) { return false; }

// --- URL table ---

void UrlInit(OrxBrowserURL* u)
{
  if (u)
    new (u) BrowserURL();
}
void UrlFree(OrxBrowserURL* u)
{
  if (u)
    U(u)->~BrowserURL();
}
void UrlCopyFrom(OrxBrowserURL* d, const OrxBrowserURL* s)
{
  if (d && s)
    U(d)->CopyFrom(*U(s));
}
void UrlAppendName(OrxBrowserURL* u, const String* name)
{
  if (u && name)
    U(u)->AppendName(*name);
}
void UrlSetFilename(OrxBrowserURL* u, const Filename* f)
{
  if (u && f)
    U(u)->SetFilename(*f);
}
void UrlSetString(OrxBrowserURL* u, const String* s)
{
  if (u && s)
    U(u)->SetString(*s);
}
Bool UrlGetFilename(OrxBrowserURL* u, Filename* out) { return u && out && U(u)->GetFilename(out); }
void UrlGetString(OrxBrowserURL* u, String* out)
{
  if (u && out)
    U(u)->GetString(out);
}
void UrlGetDirectory(OrxBrowserURL* u, OrxBrowserURL* out)
{
  if (u && out)
    U(u)->GetDirectory(U(out));
}
void UrlGetFileString(OrxBrowserURL* u, String* out)
{
  if (u && out)
    U(u)->GetFileString(out);
}
Bool UrlIsFile(OrxBrowserURL* u) { return u && U(u)->IsFile(); }
Bool UrlCheckSuffix(OrxBrowserURL* u, const String* s) { return u && s && U(u)->CheckSuffix(*s); }
void UrlGetSuffix(OrxBrowserURL* u, String* out)
{
  if (u && out)
    U(u)->GetSuffix(out);
}
Bool UrlContent(const OrxBrowserURL* u) { return u && U(u)->Content(); }

// --- tree-node table ---

OrxBrowserNode* TreeGetUp(OrxBrowserNode* n) { return n ? Out(N(n)->GetUpNode()) : nullptr; }
OrxBrowserNode* TreeGetDown(OrxBrowserNode* n) { return n ? Out(N(n)->GetDownNode()) : nullptr; }
OrxBrowserNode* TreeGetNext(OrxBrowserNode* n) { return n ? Out(N(n)->GetNextNode()) : nullptr; }
OrxBrowserNode* TreeGetPrev(OrxBrowserNode* n) { return n ? Out(N(n)->GetPrevNode()) : nullptr; }
Bool TreeInsertUnder(OrxBrowserNode* n, OrxBrowserNode* parent)
{
  NodeRef p = Take(parent);
  return n && N(n)->InsertUnder(p.Get());
}
void TreeRemove(OrxBrowserNode* n)
{
  if (n)
    N(n)->Remove();
}

// --- content-node table ---

OrxBrowserNode* CreateSDKNode(void*, const void*, OrxBrowserNode*) { return nullptr; }
OrxBrowserNode* CreateCategoryNode(const String*, const String*, Int32, OrxBrowserNode*) { return nullptr; }
void RemoveSDKNodes(void*) {}
void* GetSDKNodeData(OrxBrowserNode*) { return nullptr; }
Int32 NodeGetNodeType(OrxBrowserNode* n) { return n ? N(n)->GetNodeType() : 0; }
OrxBrowserHandler* NodeGetPluginInterface(OrxBrowserNode* n, UInt32 flags)
{
  return n ? Out(N(n)->GetPluginInterface(flags)) : nullptr;
}
Bool NodeGetName(OrxBrowserNode* n, String* out)
{
  if (!n || !out)
    return false;
  *out = N(n)->GetName();
  return true;
}
Bool NodeGetURL(OrxBrowserNode* n, OrxBrowserURL* out, UInt32 flags) { return n && out && N(n)->GetURL(U(out), flags); }
Bool NodeGetFileTime(OrxBrowserNode* n, Int32 which, DateTime* out) { return n && out && N(n)->GetFileTime(which, out); }
UInt32 NodeGetInfo(OrxBrowserNode* n, Int64* size)
{
  if (!n) {
    if (size)
      *size = 0;
    return 0;
  }
  return N(n)->GetInfo(size);
}
BaseBitmap* NodeGetIcon(OrxBrowserNode* n, UInt32 flags, Int32 size) { return n ? N(n)->GetIcon(flags, size) : nullptr; }
Bool NodeLoadChildren(OrxBrowserNode* n) { return n && N(n)->LoadChildren(); }
Int32 NodeMessage(OrxBrowserNode* n, Int32 id, Int32 kind, Int32 op, void* data)
{
  if (n && id == BROWSERPREVIEWS_ID && kind == BROWSERPREVIEWS_KIND)
    return PreviewsMessage(N(n), op, data);
  // The build has no node yet.
  if (id == BROWSERCONTENTTOOL_ID && kind == BROWSERCONTENTTOOL_KIND)
    return CallContentToolHandler(n ? N(n) : nullptr, op, data);
  return n ? N(n)->Message(id, kind, op, data) : MESSAGE_NOT_HANDLED;
}
Int32 NodeRename(OrxBrowserNode* n, Int32 phase, const String* name)
{
  return n && name ? N(n)->Rename(phase, *name) : EDIT_RENAME_REFUSED;
}
Int32 NodeNewFolder(OrxBrowserNode* n, Int32 phase, const String* name, OrxBrowserNode** out)
{
  if (out)
    *out = nullptr;
  if (!n || !name)
    return EDIT_NEWFOLDER_REFUSED;
  NodeRef made;
  Int32 r = N(n)->NewFolder(phase, *name, &made);
  if (out)
    *out = Out(std::move(made));
  return r;
}
Int32 NodeMoveHere(OrxBrowserNode* n, OrxBrowserNode* moved, Int32 phase, OrxBrowserEditCallback cb, void* data)
{
  NodeRef m = Take(moved);
  return n ? N(n)->MoveHere(std::move(m), phase, cb, data) : EDIT_MOVE_REFUSED;
}
Int32 NodeCopyHere(OrxBrowserNode* n, OrxBrowserNode* source, Int32 phase, const String* name,
                   OrxBrowserEditCallback cb, void* data)
{
  NodeRef s = Take(source);
  return n ? N(n)->CopyHere(std::move(s), phase, name, cb, data) : EDIT_COPY_REFUSED;
}
Int32 NodeDelete(OrxBrowserNode* n, Int32 phase, OrxBrowserEditCallback cb, void* data)
{
  return n ? N(n)->Delete(phase, cb, data) : EDIT_DELETE_REFUSED;
}
Bool NodeGetTypeName(OrxBrowserNode* n, String* out, Int32 mode)
{
  if (!n || !out)
    return false;
  N(n)->GetTypeName(out, mode);
  return true;
}

// --- handler table ---

OrxBrowserHandler* CreateBridge(void*, const void*) { return nullptr; }
// Only bridge handlers may be deleted from outside; there are none yet.
void DeleteHandler(OrxBrowserHandler*) {}
Int32 HGetPluginID(OrxBrowserHandler* h, String* name) { return h ? H(h)->GetPluginID(name) : 0; }
Bool HIdentify(OrxBrowserHandler* h, OrxBrowserURL* url, const void* header, Int32 size, Int32 reserved)
{
  return h && url && H(h)->Identify(*U(url), header, size, reserved);
}
Bool HGetTypeName(OrxBrowserHandler* h, String* out, OrxBrowserNode* node, OrxBrowserURL* url, Int32 mode)
{
  if (!h || !out)
    return false;
  H(h)->GetTypeName(out, Borrow(node), url ? U(url) : nullptr, mode);
  return true;
}
String* HGetTypeNames(OrxBrowserHandler* h, Int32 mode, Int32* count)
{
  if (count)
    *count = 0;
  return h ? H(h)->GetTypeNames(mode, count) : nullptr;
}
void* HOpenPreviewData(OrxBrowserHandler* h, Int32 flags, OrxBrowserNode* node, OrxBrowserURL* url, Int32* q)
{
  return h ? H(h)->OpenPreviewData(flags, Borrow(node), url ? U(url) : nullptr, q) : nullptr;
}
void HFreePreviewData(OrxBrowserHandler* h, void* data)
{
  if (h)
    H(h)->FreePreviewData(data);
}
BaseBitmap* HGetPreviewBitmap(OrxBrowserHandler* h, void* data, Int32 w, Int32 ht, Int32 flags)
{
  return h ? H(h)->GetPreviewBitmap(data, w, ht, flags) : nullptr;
}
BaseBitmap* HGetIcon(OrxBrowserHandler* h, OrxBrowserNode* node, OrxBrowserURL* url, Int32 size)
{
  return h ? H(h)->GetIcon(Borrow(node), url ? U(url) : nullptr, size) : nullptr;
}
OrxBrowserPreviewDialog* HCreatePreviewDialog(OrxBrowserHandler* h, OrxBrowserNode* node, Int32 page)
{
  return h ? reinterpret_cast<OrxBrowserPreviewDialog*>(H(h)->CreatePreviewDialog(Borrow(node), page)) : nullptr;
}
Int32 HDestroyPreviewDialog(OrxBrowserHandler* h, OrxBrowserNode* node, OrxBrowserPreviewDialog* d)
{
  return h ? H(h)->DestroyPreviewDialog(Borrow(node), reinterpret_cast<PreviewDialog*>(d)) : 0;
}
Bool HExecute(OrxBrowserHandler* h, OrxBrowserNode* node, OrxBrowserURL* url, Int32 flags)
{
  return h && H(h)->Execute(Borrow(node), url ? U(url) : nullptr, flags);
}

// --- header ---

void AddNodeReference(OrxBrowserNode* n)
{
  if (n)
    N(n)->AddReference();
}
void ReleaseNode(OrxBrowserNode* n)
{
  if (n)
    N(n)->RemoveReference();
}
void FreeTypeNamesEntry(String* names) { FreeTypeNames(names); }

const OrxBrowserMainTable kMain = {
    Safe<OpenBrowser>,
    Safe<GetRootNodeEntry>,
    Safe<GetIconByNumber>,
    Safe<GetIconForURL>,
    Safe<GetNodeIcon>,
    Safe<WrapBitmap>,
    Safe<FreeIcon>,
    Safe<CreateLibraryEntry, -1>,
    Safe<UnregisterLibrary>,
    Safe<GetItem>,
    Safe<SetItem>,
    Safe<DeleteItemEntry>,
    Safe<CreateItemIterator>,
    Safe<FreeItemIterator>,
    Safe<NextItem>,
    Safe<NotifyNodeChangedEntry>,
    Safe<PreviewDialogCall>,
    Safe<GetNodeEntry>,
    Safe<RegisterPluginEntry>,
    Safe<UnregisterPluginEntry>,
    Safe<FindPluginForURLEntry>,
    Safe<GetDefaultObject>,
    Safe<SetDefaultObject>,
    Safe<AddLibraryNodesEntry>,
    Safe<GetItemName>,
    Safe<SetItemName>,
    Safe<GetItemAnnotation>,
    Safe<SetItemAnnotation>,
    Safe<CreateUserLibraryFolder>,
    Safe<CreateFolderItem>,
    Safe<GetLibraryIndexEntry, -1>,
    Safe<SetItemFlag>,
    Safe<GetIconBitmap>,
    Safe<SetItemPreview>,
    Safe<RegisterLibraryEntry>,
    Safe<CopyItem>,
    Safe<MoveNodes>,
    Safe<LibraryItemExistsEntry>,
    Safe<GetItemValue>,
    Safe<GetAnimatedPreview>,
    Safe<SetAnimatedPreview>,
    Safe<OpenBrowserWithOptions>,
};

const OrxBrowserURLTable kURL = {
    Safe<UrlInit>,
    Safe<UrlFree>,
    Safe<UrlCopyFrom>,
    Safe<UrlAppendName>,
    Safe<UrlSetFilename>,
    Safe<UrlSetString>,
    Safe<UrlGetFilename>,
    Safe<UrlGetString>,
    Safe<UrlGetDirectory>,
    Safe<UrlGetFileString>,
    Safe<UrlIsFile>,
    Safe<UrlCheckSuffix>,
    Safe<UrlGetSuffix>,
    Safe<UrlContent>,
};

const OrxBrowserTreeTable kTree = {
    Safe<TreeGetUp>, Safe<TreeGetDown>, Safe<TreeGetNext>, Safe<TreeGetPrev>, Safe<TreeInsertUnder>, Safe<TreeRemove>,
};

const OrxBrowserContentTable kContent = {
    Safe<CreateSDKNode>,
    Safe<CreateCategoryNode>,
    Safe<RemoveSDKNodes>,
    Safe<GetSDKNodeData>,
    Safe<NodeGetNodeType>,
    Safe<NodeGetPluginInterface>,
    Safe<NodeGetName>,
    Safe<NodeGetURL>,
    Safe<NodeGetFileTime>,
    Safe<NodeGetInfo>,
    Safe<NodeGetIcon>,
    Safe<NodeLoadChildren>,
    Safe<NodeMessage, MESSAGE_NOT_HANDLED>,
    Safe<NodeRename, EDIT_RENAME_REFUSED>,
    Safe<NodeNewFolder, EDIT_NEWFOLDER_REFUSED>,
    Safe<NodeMoveHere, EDIT_MOVE_FAILED>,
    Safe<NodeCopyHere, EDIT_COPY_FAILED>,
    Safe<NodeDelete, EDIT_DELETE_REFUSED>,
    Safe<NodeGetTypeName>,
};

const OrxBrowserHandlerTable kHandler = {
    Safe<CreateBridge>,
    Safe<DeleteHandler>,
    Safe<HGetPluginID>,
    Safe<HIdentify>,
    Safe<HGetTypeName>,
    Safe<HGetTypeNames>,
    Safe<HOpenPreviewData>,
    Safe<HFreePreviewData>,
    Safe<HGetPreviewBitmap>,
    Safe<HGetIcon>,
    Safe<HCreatePreviewDialog>,
    Safe<HDestroyPreviewDialog>,
    Safe<HExecute>,
};

OrxBrowserLibrary g_library = {
    {Int32(sizeof(OrxBrowserLibrary)), BROWSERLIB_VERSION, Int32(sizeof(BrowserURL)), Int32(alignof(BrowserURL)),
     Safe<AddNodeReference>, Safe<ReleaseNode>, Safe<FreeTypeNamesEntry>, {}},
    &kMain, &kURL, &kTree, &kContent, &kHandler,
};

// Copy, move, delete and link of many nodes, published for other plug-ins and the host's commands.
Int32 RunItemProgress(Int32 operation, Int32 count, OrxBrowserNode** nodes, OrxBrowserNode* destination,
                      UInt32 options, OrxItemProgressOutcome* out, String* item)
{
  if (out)
    *out = OrxItemProgressOutcome{ITEMSTATUS_FAILED, 0, 0, 0, 0, 0, 0};
  if (operation < ITEMOP_COPY || operation > ITEMOP_LINK || count < 0 || (count > 0 && !nodes) ||
      ((operation != ITEMOP_DELETE) != (destination != nullptr)))
    return ITEMSTATUS_FAILED;
  std::vector<NodeRef> sources;
  for (Int32 i = 0; i < count; ++i) {
    NodeRef n = Borrow(nodes[i]);
    if (!n)
      return ITEMSTATUS_FAILED;
    sources.push_back(std::move(n));
  }
  ItemProgressDialog dialog(operation, std::move(sources), Borrow(destination), options);
  const Int32 status = dialog.Execute();
  ItemProgressThread& t = dialog.Thread();
  if (out)
    *out = OrxItemProgressOutcome{status,           t.GetResult(),     t.GetSkipped(),   t.GetTotalFiles(),
                                  t.GetDoneFiles(), t.GetTotalBytes(), t.GetDoneBytes()};
  if (item)
    *item = t.GetItemName();
  return status;
}

OrxItemProgressLibrary g_itemProgress{Int32(sizeof(OrxItemProgressLibrary)), Safe<RunItemProgress, ITEMSTATUS_FAILED>};

} // namespace

const OrxBrowserLibrary* GetBrowserLibrary() { return &g_library; }

Bool InstallCallTable()
{
  return GeInstallLibrary(BROWSERLIB_ID, BROWSERLIB_VERSION, &g_library, Int32(sizeof(g_library))) &&
         GeInstallLibrary(ITEMPROGRESSLIB_ID, ITEMPROGRESSLIB_VERSION, &g_itemProgress, Int32(sizeof(g_itemProgress)));
}
