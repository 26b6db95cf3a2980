#include "presets/browserdatabase.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "orx/files.h"
#include "orx/services.h"
#include "presets/browserhashnode.h"

namespace {
struct Table
{
  BrowserDatabase** slots = nullptr;
  Int32 capacity = 0;
  Int32 count = 0;
};
Table g_table;

RWLock& TableLock()
{
  static RWLock* l = new RWLock(); // process lifetime: libraries may be destroyed late
  return *l;
}

const String kLibSuffix = ".LIBQZ";

// Inserts the suffix in front of ".LIBQZ" (letter case ignored), else at the end.
String InsertSuffix(const String& name, const String& suffix)
{
  String out = name;
  Int32 pos = 0;
  if (out.FindFirstIgnoreCase(kLibSuffix, &pos))
    out.Insert(pos, suffix);
  else
    out += suffix;
  return out;
}

std::atomic<UInt32> g_recordsGeneration{1};
// Libraries made and not freed yet, in the table or held only by pins.
std::atomic<Int32> g_alive{0};

} // namespace

UInt32 BrowserDatabase::GetRecordsGeneration() { return g_recordsGeneration.load(std::memory_order_acquire); }

void BrowserDatabase::NoteRecordsChanged() { g_recordsGeneration.fetch_add(1, std::memory_order_acq_rel); }

String PickLanguageText(const BaseContainer& texts, Int32 language)
{
  if (language == 0)
    language = GeGetLanguageId();
  if (texts.Has(language))
    return texts.GetString(language);
  if (texts.Has(LANGUAGE_ENGLISH))
    return texts.GetString(LANGUAGE_ENGLISH);
  if (texts.Has(LANGUAGE_GERMAN))
    return texts.GetString(LANGUAGE_GERMAN);
  for (const BaseContainer::Entry& e : texts)
    if (e.data.GetType() == DataType::String)
      return e.data.GetString();
  return String();
}

// ---------------------------------------------------------------------------------------------
// table

BrowserDatabase* BrowserDatabase::Create(const Filename& file, const String& dataSubFolder, Int32 flags, Int32* slot)
{
  BrowserDatabase* db = OrxNewObj(BrowserDatabase);
  if (!db)
    return nullptr;
  g_alive.fetch_add(1, std::memory_order_acq_rel);
  db->file_ = file;
  db->unindexed_ = (flags & DBFLAG_UNINDEXED) != 0;
  if (flags & DBFLAG_OUTER_STORAGE) {
    db->inner_ = false;
    db->dataFolder_ = file.GetDirectory() + (dataSubFolder.Content() ? dataSubFolder : String("image"));
    if (!GeFolderExists(db->dataFolder_))
      GeCreateFolderTree(db->dataFolder_);
  }
  Int32 s = -1;
  {
    std::lock_guard<RWLock> g(TableLock());
    Table& t = g_table;
    if (!t.slots) {
      t.slots = OrxNewMemClear(BrowserDatabase*, 16);
      if (t.slots) {
        t.capacity = 16;
        t.count = 2;
      }
    }
    if (t.slots) {
      if (flags & DBFLAG_MAIN) {
        s = t.slots[0] ? -1 : 0;
      } else if (flags & DBFLAG_USER) {
        s = t.slots[1] ? -1 : 1;
      } else {
        for (Int32 i = 2; i < t.count; ++i)
          if (!t.slots[i]) {
            s = i;
            break;
          }
        if (s < 0) {
          if (t.count == t.capacity) {
            Int32 cap = t.capacity < 16 ? 16 : t.capacity * 2;
            BrowserDatabase** grown = OrxNewMemClear(BrowserDatabase*, cap);
            if (grown) {
              for (Int32 i = 0; i < t.capacity; ++i)
                grown[i] = t.slots[i];
              OrxMemFree(t.slots);
              t.slots = grown;
              t.capacity = cap;
            }
          }
          if (t.count < t.capacity)
            s = t.count++;
        }
      }
      if (s >= 0)
        t.slots[s] = db;
    }
  }
  db->slot_.store(s, std::memory_order_release);
  NoteRecordsChanged();
  if (slot)
    *slot = s;
  return db;
}

void BrowserDatabase::Destroy(BrowserDatabase* db)
{
  if (!db)
    return;
  {
    // Waits for a save or compaction that a pinning thread runs, and stops every later write.
    std::lock_guard<Lock> g(db->lock_);
    db->destroyed_ = true;
  }
  db->slot_.store(-1, std::memory_order_release);
  hashindex::RemoveLibrary(db);
  NoteRecordsChanged();
  {
    std::lock_guard<RWLock> g(TableLock());
    Table& t = g_table;
    if (t.slots) {
      Bool empty = true;
      for (Int32 i = 0; i < t.count; ++i) {
        if (t.slots[i] == db)
          t.slots[i] = nullptr;
        if (t.slots[i])
          empty = false;
      }
      if (empty) {
        OrxMemFree(t.slots);
        t = Table();
      }
    }
  }
  Release(db);
}

void BrowserDatabase::Release(BrowserDatabase* db)
{
  if (db->refs_.fetch_sub(1, std::memory_order_acq_rel) != 1)
    return;
  // The last holder: a pinning thread's item handles are closed by now, so the records go.
  {
    std::lock_guard<Lock> g(db->lock_);
    std::lock_guard<RWLock> rw(db->records_);
    db->items_.FlushAll();
    db->dirty_.clear();
    db->lazyLeft_.store(0);
    db->lazyImages_.Clear();
    if (db->fileObj_) {
      db->fileObj_->Close();
      OrxDeleteObj(db->fileObj_);
    }
  }
  db->cache_.Clear();
  OrxDeleteObj(db);
  // The index goes with the last library, once no pin holds one either: a pinning thread may
  // still give back handles through its nodes until then.
  Bool unused = false;
  {
    std::lock_guard<RWLock> g(TableLock());
    const Int32 left = g_alive.fetch_sub(1, std::memory_order_acq_rel) - 1;
    unused = left == 0 && !g_table.slots;
  }
  if (unused)
    hashindex::FreeTree();
}

LibraryPin BrowserDatabase::PinLocked(BrowserDatabase* db)
{
  if (!db)
    return LibraryPin();
  db->refs_.fetch_add(1, std::memory_order_relaxed);
  return LibraryPin(db);
}

LibraryPin BrowserDatabase::PinLibrary(Int32 slot)
{
  std::shared_lock<RWLock> g(TableLock());
  return PinLocked(GetLibraryLocked(slot));
}

std::vector<LibraryPin> BrowserDatabase::PinAll()
{
  std::vector<LibraryPin> out;
  std::shared_lock<RWLock> g(TableLock());
  for (Int32 i = 0; g_table.slots && i < g_table.count; ++i)
    if (g_table.slots[i])
      out.push_back(PinLocked(g_table.slots[i]));
  return out;
}

BrowserDatabase::~BrowserDatabase()
{
  if (fileObj_) {
    fileObj_->Close();
    OrxDeleteObj(fileObj_);
  }
}

BrowserDatabase* BrowserDatabase::GetLibrary(Int32 slot)
{
  std::shared_lock<RWLock> g(TableLock());
  return GetLibraryLocked(slot);
}

BrowserDatabase* BrowserDatabase::GetLibraryLocked(Int32 slot)
{
  const Table& t = g_table;
  if (slot < 0 || slot >= t.count || !t.slots)
    return nullptr;
  BrowserDatabase* db = t.slots[slot];
  return db && db->slot_.load(std::memory_order_acquire) >= 0 ? db : nullptr;
}

Int32 BrowserDatabase::GetTableCapacity()
{
  std::shared_lock<RWLock> g(TableLock());
  return g_table.capacity;
}

BrowserDatabase* BrowserDatabase::FindLibraryForURL(const String& text, Bool fallBack)
{
  std::shared_lock<RWLock> g(TableLock());
  return FindLibraryForURLLocked(text, fallBack);
}

LibraryPin BrowserDatabase::PinLibraryForURL(const String& text, Bool fallBack)
{
  std::shared_lock<RWLock> g(TableLock());
  return PinLocked(FindLibraryForURLLocked(text, fallBack));
}

BrowserDatabase* BrowserDatabase::FindLibraryForURLLocked(const String& text, Bool fallBack)
{
  const Table& t = g_table;
  if (!t.slots)
    return nullptr;
  if (text.StartsWith("file:/"))
    return t.slots[0];
  for (Int32 i = 0; i < t.count; ++i) {
    BrowserDatabase* db = t.slots[i];
    if (!db || db->slot_.load(std::memory_order_acquire) < 0)
      continue;
    const String& name = db->name_;
    const Int32 n = name.GetLength();
    if (n == 0 || text.GetLength() < n || text.ComparePart(name, n, 0) != 0)
      continue;
    if (text.GetLength() == n || text[n] == u'/')
      return db;
  }
  return fallBack ? t.slots[0] : nullptr;
}

BrowserDatabase* BrowserDatabase::FindLibraryForFile(const Filename& file)
{
  std::shared_lock<RWLock> g(TableLock());
  const Table& t = g_table;
  for (Int32 i = 0; t.slots && i < t.count; ++i)
    if (t.slots[i] && t.slots[i]->slot_.load() >= 0 && t.slots[i]->file_ == file)
      return t.slots[i];
  return nullptr;
}

String BrowserDatabase::DisplayNameForURL(const String& text)
{
  BrowserDatabase* db = FindLibraryForURL(text, true);
  return db ? db->GetDisplayName() : String();
}

void BrowserDatabase::SaveAllAndClose(Bool save, Bool allowCompaction)
{
  for (LibraryPin& pin : PinAll()) {
    if (save)
      pin->Save(false, allowCompaction, false);
    Destroy(pin.Get());
  }
  GeFreeCompressionContext();
}

void BrowserDatabase::CompactAll()
{
  for (LibraryPin& pin : PinAll()) {
    BrowserDatabase* db = pin.Get();
    {
      std::lock_guard<Lock> g(db->lock_);
      db->wantsCompaction_ = true;
    }
    if (!db->IsReadOnly())
      db->Save(true, true, false);
  }
}

Bool BrowserDatabase::ListDamaged(String* out, Bool clear)
{
  String text;
  Bool any = false;
  for (LibraryPin& pin : PinAll()) {
    BrowserDatabase* db = pin.Get();
    if (!db->infoDamaged_.load() && !db->noWrite_.load())
      continue;
    String name = db->GetDisplayName();
    if (text.Content())
      text += ", ";
    text += name;
    any = true;
    if (clear)
      db->infoDamaged_.store(false);
  }
  if (out)
    *out = text;
  return any;
}

// ---------------------------------------------------------------------------------------------
// library state

Bool BrowserDatabase::IsChanged() const
{
  std::lock_guard<Lock> g(lock_);
  return changed_;
}

Bool BrowserDatabase::WantsCompaction() const
{
  std::lock_guard<Lock> g(lock_);
  return wantsCompaction_ && forgotten_ == 0;
}

Int32 BrowserDatabase::GetItemCount() const
{
  std::lock_guard<Lock> g(lock_);
  return itemCount_;
}

Int32 BrowserDatabase::GetVersion() const
{
  std::lock_guard<Lock> g(lock_);
  return version_;
}

Int64 BrowserDatabase::GetEndOffset() const
{
  std::lock_guard<Lock> g(lock_);
  return endOffset_;
}

Int64 BrowserDatabase::GetDeadBytes() const
{
  std::lock_guard<Lock> g(lock_);
  return deadBytes_;
}

void BrowserDatabase::ClearChanged()
{
  std::lock_guard<Lock> g(lock_);
  changed_ = false;
}

Bool BrowserDatabase::Protect(Bool compact)
{
  if (IsReadOnly())
    return true;
  std::lock_guard<Lock> g(lock_);
  readOnly_.store(true);
  changed_ = infoChanged_ = true;
  if (!SaveLocked(true, false, true))
    return false;
  // Asked for, compaction runs whether or not dead chunks outweigh live ones.
  if (compact && CompactLocked())
    wantsCompaction_ = false;
  return true;
}

void BrowserDatabase::Unprotect()
{
  std::lock_guard<Lock> g(lock_);
  if (locked_.load() || noWrite_.load())
    return;
  readOnly_.store(false);
  infoChanged_ = changed_ = true;
}

void BrowserDatabase::SetLocked()
{
  locked_.store(true);
  readOnly_.store(true);
}

void BrowserDatabase::SetSystemLibrary()
{
  system_.store(true);
  SetLocked();
}

String BrowserDatabase::GetName() const
{
  std::shared_lock<RWLock> g(TableLock());
  return name_;
}

void BrowserDatabase::SetName(const String& name)
{
  std::lock_guard<Lock> g(lock_);
  std::lock_guard<RWLock> t(TableLock());
  if (name_ == name)
    return;
  name_ = name;
  changed_ = infoChanged_ = true;
}

Bool BrowserDatabase::GetCatalogString(String* out) const
{
  std::lock_guard<Lock> g(lock_);
  if (catalogString_.IsEmpty())
    return false;
  if (out)
    *out = catalogString_;
  return true;
}

void BrowserDatabase::SetCatalogString(const String& s)
{
  std::lock_guard<Lock> g(lock_);
  catalogString_ = s;
  hasCatalog_ = true;
  catalogChanged_ = changed_ = true;
}

void BrowserDatabase::SetDisplayName(const String& text)
{
  std::lock_guard<Lock> g(lock_);
  const Int32 lang = GeGetLanguageId();
  if (displayNames_.Has(lang) && displayNames_.GetString(lang) == text)
    return;
  displayNames_.SetString(lang, text);
  infoChanged_ = changed_ = true;
}

String BrowserDatabase::GetDisplayName() const
{
  std::lock_guard<Lock> g(lock_);
  String n = PickLanguageText(displayNames_, 0);
  return n.Content() ? n : file_.GetFileString();
}

BaseContainer BrowserDatabase::GetDisplayNames() const
{
  std::lock_guard<Lock> g(lock_);
  return displayNames_;
}

void BrowserDatabase::ListItems(std::vector<ItemInfo>* out) const
{
  out->clear();
  std::lock_guard<Lock> g(lock_);
  std::lock_guard<RWLock> rw(records_);
  out->reserve(std::size_t(items_.GetCount()));
  BrowserDatabase* self = const_cast<BrowserDatabase*>(this);
  for (const BaseContainer::Entry& e : items_) {
    const BaseContainer* rec = e.data.GetContainer();
    if (!rec)
      continue;
    // The kept image holds the path and the hash: decoding every record would cost the listing
    // of a big library more than its load.
    if (const GeData* kept = rec->GetData(dbitem::kLazy)) {
      ItemInfo info{rec->GetId(), String(), 0};
      const Int64 mark = kept->GetInt64();
      if (dbitem::IsInFileMark(mark)) {
        // Written out: the index holds its path.
        info.hash = dbitem::HashOfInFileMark(mark);
        if (BrowserHashNode* node = hashindex::FindNode(UInt32(info.hash))) {
          std::shared_lock<RWLock> r(node->GetLock());
          const Int32 i = node->FindIndexLocked(rec);
          if (i >= 0) {
            info.path = node->GetEntries()[i].path;
            out->push_back(std::move(info));
            continue;
          }
        }
      } else if (dbchunk::KeptImageKeys(lazyImages_, mark, &info.path, &info.hash)) {
        out->push_back(std::move(info));
        continue;
      }
      rec = self->DecodedLocked(self->items_.Mutable(e).GetContainer());
    }
    const BaseContainer* addr = rec->GetContainerInstance(dbitem::kAddress);
    out->push_back({rec->GetId(), addr ? addr->GetString(dbitem::kAddrPath) : String(),
                    addr ? addr->GetInt32(dbitem::kAddrHash) : 0});
  }
}

void BrowserDatabase::ResolveDuplicateNameLocked(const String& loadedName)
{
  std::lock_guard<RWLock> t(TableLock());
  name_ = loadedName;
  if (name_.IsEmpty())
    return;
  auto owner = [&](const String& n) -> BrowserDatabase* {
    for (Int32 i = 0; g_table.slots && i < g_table.count; ++i) {
      BrowserDatabase* o = g_table.slots[i];
      if (o && o != this && o->slot_.load() >= 0 && o->name_ == n)
        return o;
    }
    return nullptr;
  };
  BrowserDatabase* other = owner(name_);
  if (!other)
    return;
  readOnly_.store(true);
  const Bool local = other->IsSystemLibrary() && !IsSystemLibrary();
  String suffix, candidate;
  for (Int32 attempt = 1;; ++attempt) {
    suffix = (attempt == 1 && local) ? String(".local") : String(".") + String::FromInt(attempt);
    candidate = InsertSuffix(name_, suffix);
    if (!owner(candidate))
      break;
  }
  String shown = PickLanguageText(displayNames_, 0);
  if (shown.IsEmpty())
    shown = file_.GetFileString();
  displayNames_.SetString(GeGetLanguageId(), InsertSuffix(shown, suffix));
  const String old = name_;
  name_ = candidate;
  // The index is not built yet: only the records follow.
  for (const BaseContainer::Entry& e : items_) {
    BaseContainer* rec = DecodedLocked(items_.Mutable(e).GetContainer());
    BaseContainer* addr = rec ? rec->GetContainerInstance(dbitem::kAddress) : nullptr;
    if (!addr)
      continue;
    String path = addr->GetString(dbitem::kAddrPath);
    const Int32 n = old.GetLength();
    if (path.GetLength() >= n && path.ComparePart(old, n, 0) == 0 && (path.GetLength() == n || path[n] == u'/')) {
      String np = candidate + path.SubStr(n, path.GetLength() - n);
      addr->SetString(dbitem::kAddrPath, np);
      addr->SetInt32(dbitem::kAddrHash, hashindex::PathHash(np));
      MarkChangedLocked(rec);
    }
  }
  changed_ = infoChanged_ = true;
}

Bool BrowserDatabase::RenameFile(const Filename& newFile)
{
  std::lock_guard<Lock> g(lock_);
  std::lock_guard<RWLock> rw(records_);
  if (noWrite_.load() || fileOpen_.load() > 0)
    return false;
  if (!GeRenameNoReplace(file_, newFile))
    return false;
  std::lock_guard<RWLock> t(TableLock());
  file_ = newFile;
  return true;
}

Bool BrowserDatabase::Rename(const String& newName)
{
  std::lock_guard<Lock> g(lock_);
  std::lock_guard<RWLock> rw(records_);
  if (noWrite_.load())
    return false;
  String old;
  {
    std::shared_lock<RWLock> t(TableLock());
    for (Int32 i = 0; g_table.slots && i < g_table.count; ++i) {
      BrowserDatabase* o = g_table.slots[i];
      if (o && o != this && o->slot_.load() >= 0 && o->name_ == newName)
        return false;
    }
    old = name_;
  }
  if (old == newName)
    return true;
  const Int32 n = old.GetLength();
  for (const BaseContainer::Entry& e : items_) {
    BaseContainer* rec = DecodedLocked(items_.Mutable(e).GetContainer());
    if (!rec || rec->GetId() == -1)
      continue;
    const BaseContainer* addr = rec->GetContainerInstance(dbitem::kAddress);
    if (!addr)
      continue;
    String path = addr->GetString(dbitem::kAddrPath);
    if (n > 0 && path.GetLength() >= n && path.ComparePart(old, n, 0) == 0 &&
        (path.GetLength() == n || path[n] == u'/')) {
      String np = newName + path.SubStr(n, path.GetLength() - n);
      MoveEntryLocked(rec, np, hashindex::PathHash(np));
    }
  }
  {
    std::lock_guard<RWLock> t(TableLock());
    name_ = newName;
  }
  changed_ = infoChanged_ = true;
  return true;
}

// ---------------------------------------------------------------------------------------------
// items

namespace {
thread_local Int32 t_quiet = 0;
} // namespace

BrowserDatabase::QuietChanges::QuietChanges() { ++t_quiet; }
BrowserDatabase::QuietChanges::~QuietChanges() { --t_quiet; }

void BrowserDatabase::MarkChangedLocked(BaseContainer* item)
{
  DecodedLocked(item);
  item->SetBool(dbitem::kChanged, true);
  NoteRecordsChanged();
  if (t_quiet == 0)
    changed_ = true;
  // A record deleted while open keeps the key it was queued under at deletion.
  if (item->GetId() >= 1)
    dirty_.push_back(item->GetId());
}

BrowserDatabaseItem* BrowserDatabase::NewHandle() { return OrxNewObj(BrowserDatabaseItem); }

BaseContainer* BrowserDatabase::FindAndHold(BrowserHashNode* node, const String& path, Int32 caseFlag,
                                            BrowserDatabase** owner)
{
  if (!node)
    return nullptr;
  std::shared_lock<RWLock> g(node->GetLock());
  BaseContainer* item = hashindex::FindEntryLocked(node, path, caseFlag, owner, true);
  if (item)
    HoldForOpenCount(*owner);
  return item;
}

void BrowserDatabase::GiveBack(BrowserHashNode* node, BaseContainer* item, BrowserDatabase* owner)
{
  // An unindexed record has no open count: it stays until the save writes it.
  if (!node && owner->unindexed_)
    return;
  // Most give-backs leave the item where it is: no library lock for those.
  if (!hashindex::CloseIfStays(node, item)) {
    std::lock_guard<Lock> g(owner->lock_);
    std::lock_guard<RWLock> rw(owner->records_);
    owner->GiveBackLocked(node, item);
  }
  Release(owner);
}

void BrowserDatabase::GiveBackLocked(BrowserHashNode* node, BaseContainer* item)
{
  DecodedLocked(item);
  // An item is in one node: the one it was found in unless it moved since, then the node of its
  // current hash.
  Int32 closed = hashindex::CloseEntryIfThere(node, item);
  if (closed < 0) {
    const BaseContainer* addr = item->GetContainerInstance(dbitem::kAddress);
    BrowserHashNode* now = addr ? hashindex::FindNode(UInt32(addr->GetInt32(dbitem::kAddrHash))) : nullptr;
    closed = now != node ? hashindex::CloseEntryIfThere(now, item) : -1;
  }
  // Its key was queued at deletion; the next save marks its chunks dead.
  if (closed == 1)
    changed_ = true;
}

Bool BrowserDatabase::OpenFound(BaseContainer* item, BrowserDatabase* owner, BrowserHashNode* node,
                                BrowserDatabaseItem* out, Bool owned)
{
  out->Attach(owner, item, node, owned);
  return true;
}

Bool BrowserDatabase::OpenItemInto(const String& path, Int32 hash, BrowserDatabaseItem* out)
{
  return OpenItemInto(path, hash, nullptr, out);
}

void BrowserDatabase::FindHashNodes(const std::vector<ItemInfo>& items, std::vector<BrowserHashNode*>* out)
{
  std::vector<std::pair<UInt32, std::size_t>> order;
  order.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i)
    order.push_back({UInt32(items[i].hash), i});
  std::sort(order.begin(), order.end());
  out->assign(items.size(), nullptr);
  BrowserHashNode* last = nullptr;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i == 0 || order[i].first != order[i - 1].first)
      last = hashindex::FindNode(order[i].first);
    (*out)[order[i].second] = last;
  }
}

Bool BrowserDatabase::OpenItemInto(const String& path, Int32 hash, BrowserHashNode* node, BrowserDatabaseItem* out)
{
  out->Close();
  if (!node)
    node = hashindex::FindNode(UInt32(hash));
  BrowserDatabase* owner = nullptr;
  BaseContainer* item = FindAndHold(node, path, caseFlag_, &owner);
  if (!item)
    return false;
  return OpenFound(item, owner, node, out, false);
}

BrowserDatabaseItem* BrowserDatabase::OpenItem(const String& path, Int32 hash)
{
  BrowserHashNode* node = hashindex::FindNode(UInt32(hash));
  BrowserDatabase* owner = nullptr;
  BaseContainer* item = FindAndHold(node, path, caseFlag_, &owner);
  if (!item)
    return nullptr;
  BrowserDatabaseItem* h = NewHandle();
  if (!h) {
    GiveBack(node, item, owner);
    return nullptr;
  }
  OpenFound(item, owner, node, h, true);
  return h;
}

BrowserDatabaseItem* BrowserDatabase::OpenItem(const String& path) { return OpenItem(path, hashindex::PathHash(path)); }

BrowserDatabaseItem* BrowserDatabase::OpenItemForChange(const String& path, Int32 hash)
{
  BrowserDatabaseItem* h = OpenItem(path, hash);
  if (h && !h->IsWritable()) {
    h->Close();
    return nullptr;
  }
  return h;
}

BrowserDatabaseItem* BrowserDatabase::OpenOrCreateItem(const String& path, Bool force)
{
  return OpenOrCreateItem(path, hashindex::PathHash(path), force);
}

BrowserDatabaseItem* BrowserDatabase::OpenOrCreateItem(const String& path, Int32 hash, Bool force)
{
  if (unindexed_)
    return nullptr; // nothing is found by path there: CreateItem
  return MakeItem(path, hash, force, false);
}

BrowserDatabaseItem* BrowserDatabase::CreateItem(const String& path)
{
  return MakeItem(path, hashindex::PathHash(path), false, true);
}

BrowserDatabaseItem* BrowserDatabase::MakeItem(const String& path, Int32 hash, Bool force, Bool mustBeNew)
{
  struct Found
  {
    BrowserHashNode* node = nullptr;
    BaseContainer* item = nullptr;
    BrowserDatabase* owner = nullptr;
  };
  auto find = [&]() -> Found {
    Found f;
    if (unindexed_)
      return f;
    f.node = hashindex::FindNode(UInt32(hash));
    f.item = FindAndHold(f.node, path, caseFlag_, &f.owner);
    return f;
  };
  // Gives a handle on what was found, or nothing when it may not be opened. Called without any
  // library lock: the give-back may take the owner's.
  auto openFound = [&](const Found& f) -> BrowserDatabaseItem* {
    BrowserDatabaseItem* h = (mustBeNew || (f.owner->IsReadOnly() && !force)) ? nullptr : NewHandle();
    if (!h) {
      GiveBack(f.node, f.item, f.owner);
      return nullptr;
    }
    OpenFound(f.item, f.owner, f.node, h, true);
    return h;
  };
  if (Found f = find(); f.item)
    return openFound(f);
  if ((IsReadOnly() && !force) || noWrite_.load())
    return nullptr;
  BaseContainer* stored = nullptr;
  BrowserHashNode* node = nullptr;
  Found made;
  {
    std::lock_guard<Lock> g(lock_);
    std::lock_guard<RWLock> rw(records_);
    // Destroy has taken this library's entries out of the index: one made now would stay there
    // after the library is freed.
    if (!destroyed_) {
      // Another thread may have made it while we waited.
      made = find();
      if (!made.item)
        stored = NewRecordLocked(path, hash);
    }
    if (stored && !unindexed_) {
      node = hashindex::AddNode(stored, this, path, UInt32(hash));
      if (node) {
        HoldForOpenCount(this);
      } else {
        items_.RemoveData(stored->GetId());
        --nextId_;
        --itemCount_;
        stored = nullptr;
      }
    }
  }
  if (!stored)
    return made.item ? openFound(made) : nullptr;
  BrowserDatabaseItem* h = NewHandle();
  if (!h) {
    if (node) {
      GiveBack(node, stored, this);
    } else {
      // Nobody could reach an unindexed record without the handle: it goes, lest the save write it empty.
      std::lock_guard<Lock> g(lock_);
      std::lock_guard<RWLock> rw(records_);
      items_.RemoveData(stored->GetId());
      --itemCount_;
    }
    return nullptr;
  }
  OpenFound(stored, this, node, h, true);
  return h;
}

BaseContainer* BrowserDatabase::NewRecordLocked(const String& path, Int32 hash)
{
  const Int32 id = nextId_;
  BaseContainer rec(id);
  rec.SetPointer(dbitem::kOwner, this);
  BaseContainer addr;
  addr.SetString(dbitem::kAddrPath, path);
  addr.SetInt32(dbitem::kAddrHash, hash);
  rec.SetContainer(dbitem::kAddress, std::move(addr));
  BaseContainer* stored = items_.SetContainer(id, std::move(rec));
  if (!stored)
    return nullptr;
  MarkChangedLocked(stored);
  ++nextId_;
  ++itemCount_;
  return stored;
}

void BrowserDatabase::RemoveItemStorageLocked(BaseContainer* item, Int32 itemKey, Bool)
{
  DecodedLocked(item);
  if (BaseContainer* data = item->GetContainerInstance(dbitem::kData)) {
    Int64 off = data->GetInt64(dbitem::kDataOffset, 0);
    if (inner_ && off > 0)
      pendingDead_.push_back(off);
    if (!inner_ && data->GetInt64(dbitem::kDataLength, 0) > 0)
      GeDelete(DataFile(itemKey));
  }
  if (const BaseContainer* imgs = item->GetContainerInstance(dbitem::kImages)) {
    for (const BaseContainer::Entry& e : *imgs) {
      const BaseContainer* rec = e.data.GetContainer();
      if (!rec)
        continue;
      Int64 off = rec->GetInt64(dbitem::kImgOffset, 0);
      if (inner_ && off > 0)
        pendingDead_.push_back(off);
      if (!inner_)
        GeDelete(ImageFile(itemKey, e.id));
      cache_.Remove(UInt32(itemKey), UInt32(e.id));
    }
  }
}

Bool BrowserDatabase::DeleteItem(const String& path)
{
  const Int32 hash = hashindex::PathHash(path);
  BrowserHashNode* node = hashindex::FindNode(UInt32(hash));
  BrowserDatabase* owner = nullptr;
  BaseContainer* item = FindAndHold(node, path, caseFlag_, &owner);
  if (!item)
    return false;
  if (owner->IsReadOnly() || owner->noWrite_.load()) {
    GiveBack(node, item, owner);
    return false;
  }
  const Bool deleted = owner->DeleteFound(node, item);
  // The reference of the open count the lookup took, which the deletion used up or gave back.
  Release(owner);
  return deleted;
}

Bool BrowserDatabase::DeleteFound(BrowserHashNode* node, BaseContainer* item)
{
  std::lock_guard<Lock> g(lock_);
  std::lock_guard<RWLock> rw(records_);
  DecodedLocked(item);
  const Int32 key = item->GetId();
  if (key < 1) {
    // Deleted by another caller since we found it.
    GiveBackLocked(node, item);
    return false;
  }
  // A move since the lookup took the item, and the open count we hold, to another node.
  if (const BaseContainer* addr = item->GetContainerInstance(dbitem::kAddress))
    if (BrowserHashNode* now = hashindex::FindNode(UInt32(addr->GetInt32(dbitem::kAddrHash))))
      node = now;
  Bool erase = false;
  {
    std::lock_guard<RWLock> n(node->GetLock());
    // Whatever happens below, the next save has to look at this key.
    MarkDirtyKeyLocked(key);
    UInt32 open = hashindex::GetOpenCountLocked(node, item);
    if (open > 1) {
      item->SetId(-2);
      HashEntry& e = node->GetEntries()[node->FindIndexLocked(item)];
      e.open.fetch_sub(1, std::memory_order_relaxed);
    } else {
      hashindex::RemoveEntryLocked(node, item);
      if (item->GetInt64(dbitem::kChunkOffset, 0) > 0)
        item->SetId(-1);
      else
        erase = true;
    }
  }
  if (erase) {
    RemoveItemStorageLocked(item, key, false);
    items_.RemoveData(key);
  }
  --itemCount_;
  changed_ = true;
  NoteRecordsChanged();
  return true;
}

void BrowserDatabase::MoveEntryLocked(BaseContainer* item, const String& newPath, Int32 newHash)
{
  DecodedLocked(item);
  BaseContainer* addr = item->GetContainerInstance(dbitem::kAddress);
  if (!addr)
    addr = item->SetContainer(dbitem::kAddress, BaseContainer());
  const Int32 oldHash = addr->Has(dbitem::kAddrHash) ? addr->GetInt32(dbitem::kAddrHash)
                                                      : hashindex::PathHash(addr->GetString(dbitem::kAddrPath));
  BrowserHashNode* oldNode = hashindex::FindNode(UInt32(oldHash));
  Bool indexed = false;
  if (oldNode) {
    std::shared_lock<RWLock> r(oldNode->GetLock());
    indexed = oldNode->FindIndexLocked(item) >= 0;
  }
  if (indexed) {
    BrowserHashNode* newNode = hashindex::EnsureNode(UInt32(newHash));
    if (!newNode)
      return;
    Bool moved = false;
    std::lock_guard<Lock> m(hashindex::MoveLock());
    std::lock_guard<RWLock> a(oldNode->GetLock());
    Int32 i = oldNode->FindIndexLocked(item);
    if (i >= 0) {
      if (newNode == oldNode) {
        oldNode->GetEntries()[i].path = newPath;
        moved = true;
      } else {
        std::lock_guard<RWLock> b(newNode->GetLock());
        UInt32 open = oldNode->GetEntries()[i].open.load(std::memory_order_relaxed);
        if (newNode->AppendLocked(item, oldNode->GetEntries()[i].db, newPath, open)) {
          oldNode->RemoveAtLocked(i);
          moved = true;
        }
      }
    }
    if (!moved)
      return; // the item stays under its old path
  }
  addr->SetString(dbitem::kAddrPath, newPath);
  addr->SetInt32(dbitem::kAddrHash, newHash);
  MarkChangedLocked(item);
}

Bool BrowserDatabase::MoveItem(const String& oldPath, const String& newPath)
{
  const Int32 hash = hashindex::PathHash(oldPath);
  BrowserHashNode* node = hashindex::FindNode(UInt32(hash));
  BrowserDatabase* owner = nullptr;
  BaseContainer* item = FindAndHold(node, oldPath, caseFlag_, &owner);
  if (!item)
    return false;
  Bool ok = false;
  {
    std::lock_guard<Lock> g(owner->lock_);
    std::lock_guard<RWLock> rw(owner->records_);
    owner->DecodedLocked(item);
    const Int32 newHash = hashindex::PathHash(newPath);
    BrowserHashNode* target = hashindex::FindNode(UInt32(newHash));
    Bool exists = false;
    if (target) {
      std::shared_lock<RWLock> r(target->GetLock());
      exists = hashindex::FindEntryLocked(target, newPath, caseFlag_, nullptr, false) != nullptr;
    }
    if (!exists && !owner->IsReadOnly() && !owner->noWrite_.load() && item->GetId() >= 1) {
      owner->MoveEntryLocked(item, newPath, newHash);
      const BaseContainer* addr = item->GetContainerInstance(dbitem::kAddress);
      ok = addr && addr->GetString(dbitem::kAddrPath) == newPath;
    }
    owner->GiveBackLocked(node, item);
  }
  Release(owner);
  return ok;
}

Filename BrowserDatabase::DataFile(Int32 itemId) const { return dataFolder_ + (String::FromInt(itemId) + "_data"); }

Filename BrowserDatabase::ImageFile(Int32 itemId, Int32 imageId) const
{
  return dataFolder_ + (String::FromInt(itemId) + "_" + String::FromInt(imageId) + ".jpg");
}
