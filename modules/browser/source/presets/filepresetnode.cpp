#include "presets/filepresetnode.h"

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "contenttree/browserinterface.h"
#include "base/browserutils.h"
#include "contenttree/contentevents.h"
#include "orx/files.h"
#include "orx/memory.h"
#include "orx/scenedoc.h"
#include "orx/services.h"
#include "presets/presettypeplugins.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabaseitem.h"

namespace {

FilePresetNode* AsPreset(BrowserContentNode* n) { return dynamic_cast<FilePresetNode*>(n); }
FilePresetNode* AsPreset(RTreeNode* n) { return AsPreset(BrowserContentNode::Cast(n)); }

String LastPart(const String& text)
{
  Int32 pos = 0;
  if (text.FindLast(u'/', &pos))
    return text.SubStr(pos + 1, text.GetLength() - pos - 1);
  return text;
}

String NodeURLText(BrowserContentNode* n)
{
  BrowserURL u;
  if (!n || !n->GetURL(&u, 0))
    return String();
  return u.GetString();
}

// A name the host can store as one path part.
Bool AcceptableName(const String& name)
{
  Int32 pos = 0;
  return name.Content() && !HasInvalidChar(name, &pos) && name != String(".") && name != String("..");
}

// True when node lies in the subtree of root (root included).
Bool InSubtree(RTreeNode* node, RTreeNode* root)
{
  for (Ref<RTreeNode> n(node); n; n = n->GetUp())
    if (n.Get() == root)
      return true;
  return false;
}

void RebaseChildren(RTreeNode* node, const String& oldPrefix, const String& newPrefix, Bool update)
{
  for (Ref<RTreeNode> c = node->GetFirstChild(); c; c = c->GetNext()) {
    if (BrowserContentNode* cn = BrowserContentNode::Cast(c.Get())) {
      cn->ReplaceURLPrefix(oldPrefix, newPrefix, update);
      RebaseChildren(cn, oldPrefix, newPrefix, update);
    }
  }
}

} // namespace

Bool CopyItemRecord(BrowserDatabaseItem* src, BrowserDatabaseItem* dst)
{
  Bool ok = true;
  Int32 type2 = 0;
  const Int32 type = src->GetType(&type2);
  if (type)
    ok = dst->SetType(type, type2) && ok;
  BaseContainer names;
  if (src->GetNames(&names))
    for (const BaseContainer::Entry& e : names)
      if (e.data.GetType() == DataType::String)
        ok = dst->SetName(e.data.GetString(), e.id) && ok;
  DateTime t;
  if (src->GetTime(1, &t))
    ok = dst->SetTime(1, t) && ok;
  if (src->GetTime(0, &t))
    ok = dst->SetTime(0, t) && ok;
  BaseContainer settings;
  if (src->GetSettings(&settings))
    ok = dst->SetSettings(settings) && ok;
  if (src->HasData()) {
    ByteArray bytes;
    ok = src->GetData(&bytes) && dst->SetData(bytes.data(), Int64(bytes.size())) && ok;
  }
  for (Int32 i = 0, n = src->GetPreviewCount(); i < n; ++i) {
    PreviewInfo info;
    ByteArray jpeg;
    if (src->GetPreviewInfo(i, &info) && src->GetPreviewData(info.imageId, &jpeg))
      ok = dst->AddPreview(info.imageId, jpeg.data(), Int64(jpeg.size()), info.quality, info.time, info.a, info.b) &&
           ok;
  }
  String annotation = src->GetAnnotation();
  if (annotation.Content())
    ok = dst->SetAnnotation(annotation) && ok;
  return ok;
}



FilePresetNode::FilePresetNode(UInt32 status, BrowserDatabase* db)
    : BrowserContentNode(status), db_(db), slot_(db ? db->GetSlot() : -1)
{
}

BrowserDatabase* FilePresetNode::GetLibrary() const
{
  // The node outlives a library that was closed under it; the slot tells.
  if (!db_ || BrowserDatabase::GetLibrary(slot_) != db_)
    return nullptr;
  return db_;
}

String FilePresetNode::GetURLText() const
{
  std::lock_guard l(fieldLock_);
  return url_;
}


void FilePresetNode::SetURLText(const String& text, Int32 hash)
{
  {
    std::lock_guard l(fieldLock_);
    url_ = text;
    hash_ = hash;
  }
  URLChanged();
}

Int32 FilePresetNode::MatchUpperURLPrefix(const String& upper)
{
  std::lock_guard l(fieldLock_);
  return MatchUpperPrefix(url_, upper);
}

void FilePresetNode::Touch()
{
  if (keepTime_)
    return;
  DateTime now = GeGetCurrentTime();
  std::lock_guard l(fieldLock_);
  time_ = now;
}

void FilePresetNode::TouchParent(const NodeRef& parent)
{
  if (FilePresetNode* p = AsPreset(parent.Get()))
    p->Touch();
}

Bool FilePresetNode::InsertByOrder(const NodeRef& parent)
{
  // Equal positions keep the order of creation, so the common case appends.
  FilePresetNode* last = AsPreset(parent->GetLastChild().Get());
  if (!last || last->order_ <= order_)
    return InsertUnder(parent.Get());
  // Falling positions go in front: without this every one of them walked all its siblings.
  Ref<RTreeNode> first = parent->GetFirstChild();
  if (FilePresetNode* f = AsPreset(first.Get()); f && f != this && f->order_ > order_)
    return InsertBefore(first.Get());
  for (Ref<RTreeNode> c = first; c; c = c->GetNext()) {
    FilePresetNode* s = AsPreset(c.Get());
    if (s && s != this && s->order_ > order_)
      return InsertBefore(c.Get());
  }
  return InsertUnder(parent.Get());
}

Ref<FilePresetNode> FilePresetNode::MakeAt(const NodeRef& parent, UInt32 status, BrowserDatabase* db, BrowserURL url)
{
  if (!parent)
    return nullptr;
  Ref<FilePresetNode> n(new (std::nothrow) FilePresetNode(status, db));
  if (!n)
    return nullptr;
  n->url_ = url.GetString();
  n->hash_ = url.GetHash();
  n->time_ = GeGetCurrentTime();
  return n;
}

Ref<FilePresetNode> FilePresetNode::MakePreset(const NodeRef& parent, const BrowserURL& url, BrowserDatabase* db)
{
  Ref<FilePresetNode> n = MakeAt(parent, 0, db, url);
  if (!n)
    return nullptr;
  if (db) {
    ItemHandle item(db->OpenItem(n->url_, n->hash_));
    if (item) {
      n->handler_.Set(nullptr, FindPluginByID(item->GetType()));
      n->name_ = item->GetName(0);
      DateTime t;
      if (item->GetTime(1, &t))
        n->time_ = t;
      n->order_ = item->GetOrder();
    }
  }
  if (n->name_.IsEmpty())
    n->name_ = LastPart(n->url_);
  if (!n->InsertByOrder(parent))
    return nullptr;
  TouchParent(parent);
  return n;
}

namespace {
// Opens or makes the folder item with the name and the folder flag, changing only what differs.
void PrepareFolderItem(BrowserDatabase* db, const String& path, Int32 hash, const String& name)
{
  if (!db)
    return;
  ItemHandle item(db->OpenOrCreateItem(path, hash));
  if (!item || !item->IsWritable())
    return;
  if (item->GetName(0).IsEmpty())
    item->SetName(name);
  const Int32 flags = item->GetItemFlags();
  if (!(flags & dbitem::kFolderFlag))
    item->SetItemFlags(flags | dbitem::kFolderFlag);
}
} // namespace

Ref<FilePresetNode> FilePresetNode::MakeFolder(const NodeRef& parent, const String& name, BrowserDatabase* db)
{
  if (!parent)
    return nullptr;
  Ref<FilePresetNode> n = MakeAt(parent, NODESTATUS_FOLDER, db, BrowserURL(NodeURLText(parent.Get()) + String("/") + name));
  if (!n)
    return nullptr;
  n->name_ = name;
  if (db) {
    ItemHandle item(db->OpenItem(n->url_, n->hash_));
    if (item) {
      String shown = item->GetName(0);
      if (shown.Content())
        n->name_ = shown;
      n->order_ = item->GetOrder();
    }
  }
  if (!n->InsertUnder(parent.Get()))
    return nullptr;
  TouchParent(parent);
  PrepareFolderItem(db, n->url_, n->hash_, name);
  return n;
}

Ref<FilePresetNode> FilePresetNode::MakeLibraryRoot(const NodeRef& parent, const String& urlName, const String& shown,
                                                    BrowserDatabase* db)
{
  if (!parent)
    return nullptr;
  Ref<FilePresetNode> n = MakeAt(parent, NODESTATUS_FOLDER | NODESTATUS_LIBRARY_ROOT, db,
                                 BrowserURL(NodeURLText(parent.Get()) + String("/") + urlName));
  if (!n)
    return nullptr;
  n->name_ = shown.Content() ? shown : urlName;
  // Libraries are listed by name after the categories of the preset root.
  Ref<RTreeNode> before;
  for (Ref<RTreeNode> c = parent->GetFirstChild(); c; c = c->GetNext()) {
    FilePresetNode* s = AsPreset(c.Get());
    if (s && s->IsLibraryRoot() && s->GetName().LexCompare(n->name_) > 0) {
      before = c;
      break;
    }
  }
  if (!(before ? n->InsertBefore(before.Get()) : n->InsertUnder(parent.Get())))
    return nullptr;
  TouchParent(parent);
  PrepareFolderItem(db, n->url_, n->hash_, n->name_);
  return n;
}

BrowserPluginInterface* FilePresetNode::GetPluginInterface(UInt32)
{
  if (IsLibraryRoot())
    return FindPluginByID(HANDLER_ID_PRESET_LIBRARY);
  if (IsFolder())
    return FindPluginByID(HANDLER_ID_FOLDER);
  if (BrowserPluginInterface* h = handler_.Peek())
    return h;
  BrowserDatabase* db = GetLibrary();
  if (!db)
    return nullptr;
  BrowserURL url;
  GetURL(&url, 0);
  ItemHandle item(db->OpenItem(url.GetStringRef(), url.GetHash()));
  if (!item)
    return nullptr;
  BrowserPluginInterface* h = FindPluginByID(item->GetType());
  if (h)
    handler_.Set(nullptr, h);
  return h;
}

void FilePresetNode::UpdateFromItem()
{
  BrowserDatabase* db = GetLibrary();
  // A library's root shows the library's name, not its item's.
  if (!db || IsLibraryRoot())
    return;
  const String url = GetURLText();
  String shown;
  BrowserPluginInterface* handler = nullptr;
  DateTime time;
  Bool haveTime = false;
  Int32 order = 0x7fffffff;
  {
    ItemHandle item(db->OpenItem(url, BrowserPathHash(url)));
    if (!item)
      return;
    shown = item->GetName(0);
    if (!IsFolder())
      handler = FindPluginByID(item->GetType());
    haveTime = item->GetTime(1, &time);
    order = item->GetOrder();
  }
  if (handler)
    handler_.Set(nullptr, handler);
  std::lock_guard l(fieldLock_);
  name_ = shown.Content() ? shown : LastPart(url_);
  if (haveTime)
    time_ = time;
  order_ = order;
}

String FilePresetNode::GetName()
{
  std::lock_guard l(fieldLock_);
  return name_;
}

Bool FilePresetNode::GetURL(BrowserURL* out, UInt32)
{
  if (!out)
    return false;
  String text;
  Int32 hash;
  {
    std::lock_guard l(fieldLock_);
    text = url_;
    hash = hash_;
  }
  out->SetString(text);
  out->SetHash(hash);
  return true;
}

Bool FilePresetNode::GetFileTime(Int32, DateTime* out)
{
  if (!out)
    return false;
  std::lock_guard l(fieldLock_);
  *out = time_;
  return true;
}

UInt32 FilePresetNode::GetInfo(Int64* size)
{
  BrowserDatabase* db = GetLibrary();
  UInt32 status = GetStatus();
  if (db && db->IsReadOnly())
    status |= NODESTATUS_READONLY;
  if (size) {
    *size = 0;
    if (!IsFolder() && db) {
      BrowserURL url;
      GetURL(&url, 0);
      ItemHandle item(db->OpenItem(url.GetStringRef(), url.GetHash()));
      if (item)
        *size = item->GetDataSize();
    }
  }
  return status;
}

Int32 FilePresetNode::GetIconId(UInt32 flags)
{
  if (!IsFolder())
    return ICON_PRESET;
  BrowserDatabase* db = GetLibrary();
  const Bool open = (flags & ICONREQUEST_OPEN) != 0;
  if (db && db->IsReadOnly())
    return open ? ICON_FOLDER_READONLY_OPEN : ICON_FOLDER_READONLY;
  return open ? ICON_FOLDER_OPEN : ICON_FOLDER;
}

BaseBitmap* FilePresetNode::GetIcon(UInt32, Int32)
{
  if (IsFolder())
    return nullptr; // folder icons come from the icon service by GetIconId
  BrowserDatabase* db = GetLibrary();
  if (!db)
    return nullptr;
  BrowserURL url;
  GetURL(&url, 0);
  ItemHandle item(db->OpenItem(url.GetStringRef(), url.GetHash()));
  PreviewInfo info;
  if (!item || item->GetPreviewCount() == 0 || !item->GetPreviewInfo(0, &info))
    return nullptr;
  return db->CacheGetCopy(UInt32(item->GetId()), UInt32(info.imageId));
}

Int32 FilePresetNode::Message(Int32 id, Int32 kind, Int32 op, void* data)
{
  if (kind != PRESETMSG_KIND)
    return MESSAGE_NOT_HANDLED;
  if (op == PRESETMSG_SECOND_TYPE && id == HANDLER_ID_FILE_PRESET && data) {
    Int32* out = static_cast<Int32*>(data);
    *out = 0;
    if (BrowserDatabase* db = GetLibrary()) {
      BrowserURL url;
      GetURL(&url, 0);
      ItemHandle item(db->OpenItem(url.GetStringRef(), url.GetHash()));
      if (item) {
        Int32 type2 = 0;
        item->GetType(&type2);
        *out = type2;
      }
    }
    return 0;
  }
  if (op != PRESETMSG_LOAD || id < HANDLER_ID_BASEOBJECT || id > HANDLER_ID_PLEXION || !data)
    return MESSAGE_NOT_HANDLED;
  *static_cast<void**>(data) = nullptr;
  BrowserDatabase* db = GetLibrary();
  if (!db)
    return MESSAGE_NOT_HANDLED;
  ByteArray bytes;
  {
    BrowserURL url;
    GetURL(&url, 0);
    ItemHandle item(db->OpenItem(url.GetStringRef(), url.GetHash()));
    if (!item || !item->GetData(&bytes) || bytes.empty())
      return MESSAGE_NOT_HANDLED;
  }
  if (id == HANDLER_ID_BASEOBJECT) {
    BaseDocument* doc = LoadDocumentFromMemory(bytes.data(), Int64(bytes.size()), 3);
    *static_cast<BaseDocument**>(data) = doc;
    return doc ? 0 : MESSAGE_NOT_HANDLED;
  }
  // Every type answers success only when an element was made (shaders included).
  BaseList2D* e = nullptr;
  if (!TakePresetElement(id, bytes.data(), Int64(bytes.size()), &e))
    return MESSAGE_NOT_HANDLED;
  *static_cast<BaseList2D**>(data) = e;
  return 0;
}

namespace {
std::u16string NameKey(const String& name)
{
  const String up = name.ToUpper();
  return std::u16string(up.Units(), std::size_t(up.GetLength()));
}
} // namespace

Bool FilePresetNode::HasChildNamed(const String& name)
{
  if (copiedNames_) {
    try {
      return copiedNames_->count(NameKey(name)) > 0;
    } catch (const std::bad_alloc&) {
      copiedNames_ = nullptr; // the walk below answers the same
    }
  }
  for (Ref<RTreeNode> c = GetFirstChild(); c; c = c->GetNext()) {
    BrowserContentNode* cn = BrowserContentNode::Cast(c.Get());
    if (!cn)
      continue;
    if (cn->GetName().IsEqualIgnoreCase(name))
      return true;
    FilePresetNode* p = AsPreset(cn);
    if (p && LastPart(p->GetURLText()).IsEqualIgnoreCase(name))
      return true;
  }
  return false;
}

Int32 FilePresetNode::Rename(Int32 phase, const String& newName)
{
  BrowserDatabase* db = GetLibrary();
  if (!db || db->IsReadOnly() || !AcceptableName(newName))
    return EDIT_RENAME_REFUSED;
  const String oldURL = GetURLText();
  const Bool userRoot = IsLibraryRoot() && oldURL == String("preset://user.libqz");
  NodeRef parent = GetUpNode();
  String newURL;
  if (!userRoot) {
    if (!parent)
      return EDIT_RENAME_REFUSED;
    newURL = NodeURLText(parent.Get()) + String("/") + newName;
    Int32 pos = 0;
    if (IsLibraryRoot() && !newName.FindFirstIgnoreCase(String(".LIBQZ"), &pos))
      newURL += String(".libqz");
    // Another node already has that path: the item could not move there.
    FilePresetNode* p = AsPreset(parent.Get());
    if (!IsLibraryRoot() && p && !LastPart(oldURL).IsEqualIgnoreCase(newName) && p->HasChildNamed(newName))
      return EDIT_RENAME_REFUSED;
  }
  if (EditPhase(phase) != EDITPHASE_DO)
    return EditPhase(phase) <= EDITPHASE_PREPARE ? EDIT_OK : EDIT_RENAME_REFUSED;

  std::lock_guard content(ContentLock());
  if (userRoot) {
    std::lock_guard l(fieldLock_);
    name_ = newName;
  } else if (IsLibraryRoot()) {
    if (!db->Rename(newURL))
      return EDIT_FILE_RENAME_FAILED;
    db->SetDisplayName(newName);
    {
      std::lock_guard l(fieldLock_);
      name_ = newName;
    }
    // The library moved its items itself.
    BrowserURL u(newURL);
    SetURLText(u.GetString(), u.GetHash());
    RebaseChildren(this, oldURL, newURL, false);
  } else {
    {
      ItemHandle item(db->OpenItemForChange(oldURL, BrowserPathHash(oldURL)));
      if (!item || !item->SetName(newName))
        return EDIT_RENAME_REFUSED;
    }
    if (newURL != oldURL) {
      if (!db->MoveItem(oldURL, newURL))
        return EDIT_RENAME_REFUSED;
      BrowserURL u(newURL);
      SetURLText(u.GetString(), u.GetHash());
      RebaseChildren(this, oldURL, newURL, true);
    }
    std::lock_guard l(fieldLock_);
    name_ = newName;
  }
  NotifyNodeChanged(NodeRef(this));
  return EDIT_OK;
}

Int32 FilePresetNode::NewFolder(Int32 phase, const String& name, NodeRef* out)
{
  if (out)
    *out = nullptr;
  BrowserDatabase* db = GetLibrary();
  if (!db || db->IsReadOnly() || !IsFolder() || !AcceptableName(name) || HasChildNamed(name))
    return EDIT_NEWFOLDER_REFUSED;
  if (EditPhase(phase) != EDITPHASE_DO)
    return EditPhase(phase) <= EDITPHASE_PREPARE ? EDIT_OK : EDIT_NEWFOLDER_REFUSED;
  Ref<FilePresetNode> folder;
  {
    std::lock_guard content(ContentLock());
    folder = MakeFolder(NodeRef(this), name, db);
  }
  if (!folder)
    return EDIT_NEWFOLDER_REFUSED;
  NotifyNodeChanged(NodeRef(this));
  if (out)
    *out = folder;
  return EDIT_OK;
}

Int32 FilePresetNode::WalkItems(Int32 phase, EditCallback callback, void* data)
{
  Int64 size = 0;
  GetInfo(&size);
  if (callback && callback(data, phase, 1, size, 0) < 0)
    return EDIT_CANCELLED;
  for (Ref<BrowserContentNode> c = GetDownNode(); c; c = c->GetNextNode()) {
    FilePresetNode* p = AsPreset(c.Get());
    if (p) {
      if (p->WalkItems(phase, callback, data) != EDIT_OK)
        return EDIT_CANCELLED;
    } else if (callback) {
      Int64 s = 0;
      c->GetInfo(&s);
      if (callback(data, phase, 1, s, 0) < 0)
        return EDIT_CANCELLED;
    }
  }
  return EDIT_OK;
}

Int32 FilePresetNode::MoveHere(NodeRef node, Int32 phase, EditCallback callback, void* data)
{
  BrowserDatabase* db = GetLibrary();
  FilePresetNode* moved = AsPreset(node.Get());
  const Int32 p = EditPhase(phase);
  if (!db || db->IsReadOnly() || !moved || moved->GetLibrary() != db ||
      (moved->GetStatus() & NODESTATUS_EXTERNAL) || HasChildNamed(LastPart(moved->GetURLText())) ||
      InSubtree(this, moved) || p > EDITPHASE_DO)
    return EDIT_MOVE_REFUSED;
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p == EDITPHASE_PREPARE)
    return moved->WalkItems(phase, callback, data);

  NodeRef oldParent = moved->GetUpNode();
  if (!oldParent)
    return EDIT_MOVE_FAILED;
  std::scoped_lock content(ContentLock(), oldParent->ContentLock());
  const String oldPrefix = moved->GetURLText();
  const String newPrefix = GetURLText() + String("/") + LastPart(oldPrefix);
  moved->ReplaceURLPrefix(oldPrefix, newPrefix, true);
  if (moved->GetURLText() != newPrefix)
    return EDIT_MOVE_FAILED;
  RebaseChildren(moved, oldPrefix, newPrefix, true);
  if (!moved->InsertByOrder(NodeRef(this)))
    return EDIT_MOVE_FAILED;
  Touch();
  TouchParent(oldParent);
  NotifyNodeChanged(oldParent);
  NotifyNodeChanged(NodeRef(this));
  return EDIT_OK;
}

Ref<FilePresetNode> FilePresetNode::CopyOneItem(FilePresetNode* source, const String& name)
{
  BrowserDatabase* db = GetLibrary();
  BrowserURL url(GetURLText() + String("/") + name);
  const String path = url.GetString();
  const Int32 hash = url.GetHash();
  {
    ItemHandle item(db->OpenOrCreateItem(path, hash));
    if (!item)
      return nullptr;
    if (source->IsFolder()) {
      item->SetName(name);
      item->SetItemFlags(item->GetItemFlags() | dbitem::kFolderFlag);
    } else {
      BrowserDatabase* srcDb = source->GetLibrary();
      const String srcPath = source->GetURLText();
      ItemHandle src(srcDb ? srcDb->OpenItem(srcPath, BrowserPathHash(srcPath)) : nullptr);
      if (!src)
        return nullptr;
      CopyItemRecord(src.p, item.p);
      item->SetName(name);
    }
  }
  Ref<FilePresetNode> n =
      source->IsFolder() ? MakeFolder(NodeRef(this), name, db) : MakePreset(NodeRef(this), url, db);
  if (n)
    NotifyNodeChanged(NodeRef(n.Get()));
  return n;
}

Bool FilePresetNode::AddUniqueItem(const String& wanted, FillItem fill, void* context, BrowserURL* url)
{
  BrowserDatabase* db = GetLibrary();
  if (!db)
    return false;
  // A name that is one valid path part; a taken one gets " 2", " 3", ... as in a file manager, so
  // that no existing item is written over.
  String base = wanted;
  for (Int32 pos = 0; HasInvalidChar(base, &pos);)
    base.SetChar(pos, Utf16Char('_'));
  if (!AcceptableName(base))
    base = String("Preset");
  std::lock_guard content(ContentLock());
  for (Int32 n = 1; n < 10000; ++n) {
    const String name = n == 1 ? base : base + String(" ") + String::FromInt(n);
    BrowserURL at(GetURLText() + String("/") + name);
    if (HasChildNamed(name))
      continue;
    ItemHandle item(db->OpenOrCreateItem(at.GetString(), at.GetHash()));
    if (!item)
      return false;
    Int32 type2 = 0;
    // An item that another caller made meanwhile, or one without a node, is left as it is.
    if (item->GetType(&type2) != 0 || item->GetDataSize() != 0 || (item->GetItemFlags() & dbitem::kFolderFlag))
      continue;
    if (!fill(item.p, name, context))
      return false;
    *url = at;
    return true;
  }
  return false;
}

namespace {
struct PresetFill
{
  const ByteArray* bytes;
  Int32 type;
  const BaseContainer* settings;
};

Bool FillPreset(BrowserDatabaseItem* item, const String& name, void* context)
{
  const PresetFill& f = *static_cast<PresetFill*>(context);
  if (!item->SetData(f.bytes->data(), Int64(f.bytes->size())) || !item->SetType(f.type, 0) || !item->SetName(name))
    return false;
  if (f.settings && !item->SetSettings(*f.settings))
    return false;
  const DateTime now = GeGetCurrentTime();
  item->SetTime(0, now);
  item->SetTime(1, now);
  return true;
}

struct FileFill
{
  const void* data;
  Int64 size;
  Int32 type2;
  DateTime created, modified;
};

Bool FillFile(BrowserDatabaseItem* item, const String& name, void* context)
{
  const FileFill& f = *static_cast<FileFill*>(context);
  if (!item->SetData(f.data, f.size) || !item->SetType(HANDLER_ID_FILE_PRESET, f.type2) || !item->SetName(name))
    return false;
  item->SetTime(0, f.created);
  item->SetTime(1, f.modified);
  return true;
}

// The path of a file preset of the library that holds these bytes; empty when there is none.
String FindSameData(BrowserDatabase* db, const void* data, Int64 size)
{
  std::vector<BrowserDatabase::ItemInfo> items;
  db->ListItems(&items);
  ByteArray bytes;
  for (const BrowserDatabase::ItemInfo& info : items) {
    ItemHandle item(db->OpenItem(info.path, info.hash));
    if (!item || item->GetType() != HANDLER_ID_FILE_PRESET || item->GetDataSize() != size)
      continue;
    if (item->GetData(&bytes) && Int64(bytes.size()) == size && (size == 0 || std::memcmp(bytes.data(), data, std::size_t(size)) == 0))
      return info.path;
  }
  return String();
}

// The files an element refers to: the texture picture of a material.
std::vector<Filename> ReferencedFiles(BaseList2D* e)
{
  std::vector<Filename> out;
  if (e && ElemKind(e) == Mbase)
    if (const BaseContainer* bc = ElemData(e))
      if (bc->Has(MATERIAL_TEXTURE)) {
        const Filename f = bc->GetFilename(MATERIAL_TEXTURE);
        if (f.Content())
          out.push_back(f);
      }
  return out;
}
} // namespace

Bool FilePresetNode::GatherFile(const Filename& file, String* url)
{
  BrowserDatabase* db = GetLibrary();
  FileStatus st;
  if (!db || !GeGetFileStatus(file, &st) || (st.attributes & (FILEATTR_FOLDER | FILEATTR_SPECIAL)) ||
      st.size > GATHER_MAX_BYTES)
    return false;
  void* data = nullptr;
  Int64 size = 0;
  if (!ReadWholeFile(file, &data, &size))
    return false;
  Bool ok = true;
  *url = FindSameData(db, data, size);
  if (url->IsEmpty()) {
    BrowserURL fileURL(file);
    BrowserPluginInterface* handler = nullptr;
    FindPluginForURL(fileURL, true, &handler);
    FileFill fill{data, size, handler ? handler->GetPluginID(nullptr) : 0, DateTime(), DateTime()};
    GeGetFileTime(file, 0, &fill.created);
    GeGetFileTime(file, 1, &fill.modified);
    BrowserURL made;
    ok = AddUniqueItem(file.GetFileString(), FillFile, &fill, &made);
    if (ok) {
      *url = made.GetString();
      if (Ref<FilePresetNode> n = MakePreset(NodeRef(this), made, db))
        NotifyNodeChanged(NodeRef(n.Get()));
    }
  }
  OrxMemFree(data);
  return ok;
}

Ref<FilePresetNode> FilePresetNode::MakePresetFromElement(BaseList2D* e, Bool gather)
{
  BrowserDatabase* db = GetLibrary();
  ByteArray bytes;
  Int32 type = 0;
  if (!db || db->IsReadOnly() || !IsFolder() || !MakePresetData(e, &bytes, &type))
    return nullptr;
  // A file that cannot be read is not kept; the preset is made all the same.
  BaseContainer settings;
  if (gather) {
    BaseContainer files(PRESETSETTINGS_FILES);
    Int32 n = 0;
    for (const Filename& f : ReferencedFiles(e)) {
      String url;
      if (GatherFile(f, &url))
        files.SetString(++n, url);
    }
    if (n > 0)
      settings.SetContainer(PRESETSETTINGS_FILES, files);
  }
  PresetFill fill{&bytes, type, gather ? &settings : nullptr};
  BrowserURL url;
  if (!AddUniqueItem(GeGetObjectName(e), FillPreset, &fill, &url))
    return nullptr;
  Ref<FilePresetNode> n = MakePreset(NodeRef(this), url, db);
  if (n)
    NotifyNodeChanged(NodeRef(n.Get()));
  return n;
}

Int32 FilePresetNode::CopyHere(NodeRef node, Int32 phase, const String* newName, EditCallback callback, void* data)
{
  BrowserDatabase* db = GetLibrary();
  if (!db || db->IsReadOnly() || !node || (node->GetStatus() & NODESTATUS_EXTERNAL))
    return EDIT_COPY_REFUSED;
  if (node->GetNodeType() == NODETYPE_BASELIST) {
    BaseList2D* e = nullptr;
    if (node->Message(0, MESSAGE_KIND_HOST_OBJECT, 0, &e) != 0 || !PresetTypeOfElement(e))
      return EDIT_COPY_REFUSED;
    const Int32 p = EditPhase(phase);
    if (p == EDITPHASE_ASK)
      return EDIT_OK;
    if (p == EDITPHASE_PREPARE)
      return callback && callback(data, phase, 1, 0, 0) < 0 ? EDIT_CANCELLED : EDIT_OK;
    if (p != EDITPHASE_DO)
      return EDIT_COPY_REFUSED;
    if (!MakePresetFromElement(e, (phase & EDITFLAG_MAKE_PRESET) != 0))
      return EDIT_COPY_FAILED;
    return callback && callback(data, EDITPHASE_DO, 1, 0, 0) < 0 ? EDIT_CANCELLED : EDIT_OK;
  }
  // Directory entries need the file handlers: refused until they exist.
  FilePresetNode* source = node->GetNodeType() == NODETYPE_PRESET ? AsPreset(node.Get()) : nullptr;
  if (!source || !source->GetLibrary() || InSubtree(this, source))
    return EDIT_COPY_REFUSED;
  const Int32 p = EditPhase(phase);
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p > EDITPHASE_DO)
    return EDIT_COPY_REFUSED;
  String name = newName && newName->Content() ? *newName : source->GetName();
  // A shown name that cannot be a path part gives way to the source's own path part.
  if (!newName && !AcceptableName(name))
    name = LastPart(source->GetURLText());
  if (!AcceptableName(name) || HasChildNamed(name))
    return EDIT_COPY_REFUSED;
  if (p == EDITPHASE_PREPARE)
    return source->WalkItems(phase, callback, data);

  Ref<FilePresetNode> copy;
  {
    std::lock_guard content(ContentLock());
    copy = CopyOneItem(source, name);
  }
  if (!copy)
    return EDIT_COPY_FAILED;
  if (copiedNames_) {
    try {
      copiedNames_->insert(NameKey(copy->GetName()));
      copiedNames_->insert(NameKey(LastPart(copy->GetURLText())));
    } catch (const std::bad_alloc&) {
      copiedNames_ = nullptr;
    }
  }
  Int64 size = 0;
  copy->GetInfo(&size);
  if (callback && callback(data, EDITPHASE_DO, 1, size, 0) < 0)
    return EDIT_CANCELLED;
  if (!copy->IsFolder())
    return EDIT_OK;
  // The children as they were before the copy began.
  std::vector<NodeRef> children;
  for (NodeRef c = source->GetDownNode(); c; c = c->GetNextNode())
    children.push_back(c);
  // The new folder holds only what this walk puts there, so its names are known as they come.
  std::unordered_set<std::u16string> names;
  copy->copiedNames_ = &names;
  Int32 r = EDIT_OK;
  for (NodeRef& c : children) {
    r = copy->CopyHere(std::move(c), EDITFLAG_FROM_PARENT | EDITPHASE_DO, nullptr, callback, data);
    if (r < 0)
      break;
  }
  copy->copiedNames_ = nullptr;
  return r < 0 ? r : EDIT_OK;
}

Int32 FilePresetNode::Delete(Int32 phase, EditCallback callback, void* data)
{
  BrowserDatabase* db = GetLibrary();
  if (!db || db->IsReadOnly())
    return EDIT_DELETE_REFUSED;
  const Int32 p = EditPhase(phase);
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p == EDITPHASE_PREPARE)
    return WalkItems(phase, callback, data);
  if (p != EDITPHASE_DO)
    return EDIT_DELETE_REFUSED;

  SetStatus(NODESTATUS_DELETED);
  for (;;) {
    NodeRef child = BrowserContentNode::FromTree(GetFirstChild());
    if (!child)
      break;
    Int32 r = child->Delete(EDITPHASE_DO | EDITFLAG_FROM_PARENT, callback, data);
    if (r != EDIT_OK)
      return r;
    // A child that answered success but stayed would hold this loop forever.
    if (BrowserContentNode::FromTree(GetFirstChild()) == child)
      child->Remove();
  }
  const String path = GetURLText();
  db->DeleteItem(path);
  if (IsLibraryRoot()) {
    Filename file = db->GetFilename();
    BrowserDatabase::Destroy(db);
    GeDelete(file);
  }
  NodeRef parent = GetUpNode();
  Remove();
  if (!(phase & EDITFLAG_FROM_PARENT) && parent) {
    TouchParent(parent);
    NotifyNodeChanged(parent);
  }
  return EDIT_OK;
}

void FilePresetNode::ReplaceURLPrefix(const String& oldPrefix, const String& newPrefix, Bool updateLibrary)
{
  const String old = GetURLText();
  if (!old.StartsWith(oldPrefix))
    return;
  const Int32 n = oldPrefix.GetLength();
  // Only whole path parts: "a/bc" is not below "a/b".
  if (old.GetLength() > n && old[n] != u'/')
    return;
  BrowserURL u(newPrefix + old.SubStr(n, old.GetLength() - n));
  const String text = u.GetString();
  if (updateLibrary) {
    BrowserDatabase* db = GetLibrary();
    if (!db || !db->MoveItem(old, text))
      return;
  }
  SetURLText(text, u.GetHash());
}
