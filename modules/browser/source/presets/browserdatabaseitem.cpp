#include "presets/browserdatabaseitem.h"

#include <mutex>
#include <shared_mutex>

#include "orx/files.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabasechunk.h"
#include "presets/browserhashnode.h"

namespace dbitem {
Int32 PackDate(const DateTime& t) { return Int32(t.year) * 65536 + Int32(t.month) * 256 + Int32(t.day); }
Int32 PackTime(const DateTime& t)
{
  return Int32((UInt32(t.hour) << 26) | (UInt32(t.minute) << 20) | (UInt32(t.second) << 14));
}
DateTime Unpack(Int32 date, Int32 time)
{
  DateTime d;
  d.year = UInt16(UInt32(date) >> 16);
  d.month = UInt16((UInt32(date) >> 8) & 0xFF);
  d.day = UInt16(UInt32(date) & 0xFF);
  d.hour = UInt16((UInt32(time) >> 26) & 0x3F);
  d.minute = UInt16((UInt32(time) >> 20) & 0x3F);
  d.second = UInt16((UInt32(time) >> 14) & 0x3F);
  return d;
}
} // namespace dbitem

namespace {
BaseContainer* Sub(BaseContainer* rec, Int32 id)
{
  BaseContainer* c = rec->GetContainerInstance(id);
  return c ? c : rec->SetContainer(id, BaseContainer());
}
} // namespace

void BrowserDatabaseItem::Attach(BrowserDatabase* db, BaseContainer* item, BrowserHashNode* node, Bool owned)
{
  db_ = db;
  item_ = item;
  node_ = node;
  owned_ = owned;
}

void BrowserDatabaseItem::Close()
{
  if (item_) {
    BaseContainer* item = item_;
    item_ = nullptr;
    BrowserDatabase::GiveBack(node_, item, db_);
  }
  if (owned_) {
    owned_ = false;
    BrowserDatabaseItem* self = this;
    OrxDeleteObj(self);
  }
}

Bool BrowserDatabaseItem::CloseAndSave()
{
  BrowserDatabase* db = db_;
  Close();
  return db ? db->SaveIfChanged() : false;
}

Bool BrowserDatabaseItem::CloseAndWriteOut()
{
  Bool ok = false;
  if (item_) {
    std::lock_guard<Lock> g(db_->lock_);
    ok = db_->WriteOutLocked(item_);
    if (ok && db_->unindexed_)
      item_ = nullptr; // forgotten: there is nothing to give back
  }
  Close();
  return ok;
}

template <typename F>
Bool BrowserDatabaseItem::Change(F&& f)
{
  if (!item_)
    return false;
  std::lock_guard<Lock> g(db_->lock_);
  std::lock_guard<RWLock> rw(db_->records_);
  if (db_->IsReadOnly() || db_->noWrite_.load() || db_->destroyed_)
    return false;
  if (!f(*db_->DecodedLocked(item_)))
    return false;
  db_->MarkChangedLocked(item_);
  return true;
}

template <typename F>
auto BrowserDatabaseItem::Read(F&& f) const
{
  // Not the library lock: a read waits for no save and no compaction, only for a change of a
  // record, and for the first decoding of this one.
  std::shared_lock<RWLock> r(db_->records_);
  if (item_->Has(dbitem::kLazy)) {
    r.unlock();
    {
      std::lock_guard<RWLock> w(db_->records_);
      db_->DecodedLocked(item_);
    }
    r.lock();
  }
  return f(*static_cast<const BaseContainer*>(item_));
}

BaseContainer* BrowserDatabaseItem::GetRecord() const { return item_ ? db_->DecodedLocked(item_) : nullptr; }

Bool BrowserDatabaseItem::IsWritable() const { return item_ && !db_->IsReadOnly() && !db_->noWrite_.load(); }

Int32 BrowserDatabaseItem::GetId() const
{
  if (!item_)
    return 0;
  return Read([](const BaseContainer& r) { return r.GetId(); });
}

Bool BrowserDatabaseItem::SetType(Int32 type, Int32 type2)
{
  return Change([&](BaseContainer& r) {
    r.SetInt32(dbitem::kType, type);
    if (type2 != 0)
      r.SetInt32(dbitem::kType2, type2);
    return true;
  });
}

Int32 BrowserDatabaseItem::GetType(Int32* type2) const
{
  if (!item_)
    return 0;
  return Read([&](const BaseContainer& r) {
    if (type2)
      *type2 = r.GetInt32(dbitem::kType2, 0);
    return r.GetInt32(dbitem::kType, 0);
  });
}

String BrowserDatabaseItem::GetPath() const
{
  if (!item_)
    return String();
  return Read([](const BaseContainer& r) {
    const BaseContainer* a = r.GetContainerInstance(dbitem::kAddress);
    return a ? a->GetString(dbitem::kAddrPath) : String();
  });
}

Int32 BrowserDatabaseItem::GetHash() const
{
  if (!item_)
    return 0;
  return Read([](const BaseContainer& r) {
    const BaseContainer* a = r.GetContainerInstance(dbitem::kAddress);
    return a ? a->GetInt32(dbitem::kAddrHash) : 0;
  });
}

Bool BrowserDatabaseItem::SetPath(const String& path)
{
  String old = GetPath();
  return item_ && db_->MoveItem(old, path);
}

Bool BrowserDatabaseItem::SetName(const String& name, Int32 language)
{
  const Int32 lang = language ? language : GeGetLanguageId();
  return Change([&](BaseContainer& r) {
    Sub(&r, dbitem::kName)->SetString(lang, name);
    return true;
  });
}

String BrowserDatabaseItem::GetName(Int32 language) const
{
  if (!item_)
    return String();
  return Read([&](const BaseContainer& r) {
    const BaseContainer* n = r.GetContainerInstance(dbitem::kName);
    return n ? PickLanguageText(*n, language) : String();
  });
}

Bool BrowserDatabaseItem::GetNames(BaseContainer* out) const
{
  if (!item_)
    return false;
  return Read([&](const BaseContainer& r) {
    *out = r.GetContainer(dbitem::kName);
    return true;
  });
}

Bool BrowserDatabaseItem::HasSeveralNames() const
{
  if (!item_)
    return false;
  return Read([](const BaseContainer& r) {
    const BaseContainer* n = r.GetContainerInstance(dbitem::kName);
    return n && n->GetCount() > 1;
  });
}

Bool BrowserDatabaseItem::SetAnnotation(const String& text)
{
  return Change([&](BaseContainer& r) {
    BaseContainer* a = r.GetContainerInstance(dbitem::kAnnotation);
    if (!a && text.IsEmpty())
      return true; // nothing stored for nothing
    if (!a)
      a = r.SetContainer(dbitem::kAnnotation, BaseContainer());
    a->SetString(0, text);
    return true;
  });
}

String BrowserDatabaseItem::GetAnnotation() const
{
  if (!item_)
    return String();
  return Read([](const BaseContainer& r) {
    const BaseContainer* a = r.GetContainerInstance(dbitem::kAnnotation);
    return a ? a->GetString(0) : String();
  });
}

Bool BrowserDatabaseItem::SetStringList(const BaseContainer& list)
{
  return Change([&](BaseContainer& r) {
    r.SetContainer(dbitem::kStrings, list);
    return true;
  });
}

Bool BrowserDatabaseItem::GetStringList(BaseContainer* out) const
{
  if (!item_)
    return false;
  return Read([&](const BaseContainer& r) {
    const BaseContainer* l = r.GetContainerInstance(dbitem::kStrings);
    if (l)
      *out = *l;
    return l != nullptr;
  });
}

Bool BrowserDatabaseItem::SetSettings(const BaseContainer& settings)
{
  return Change([&](BaseContainer& r) {
    r.SetContainer(dbitem::kSettings, settings);
    return true;
  });
}

Bool BrowserDatabaseItem::GetSettings(BaseContainer* out) const
{
  if (!item_)
    return false;
  return Read([&](const BaseContainer& r) {
    const BaseContainer* s = r.GetContainerInstance(dbitem::kSettings);
    if (s)
      *out = *s;
    return s != nullptr;
  });
}

Bool BrowserDatabaseItem::RemoveSettings()
{
  return Change([](BaseContainer& r) { return r.RemoveData(dbitem::kSettings); });
}

Bool BrowserDatabaseItem::SetState(Int32 state)
{
  return Change([&](BaseContainer& r) {
    r.SetInt32(dbitem::kState, state);
    return true;
  });
}

Int32 BrowserDatabaseItem::GetState() const
{
  if (!item_)
    return -1;
  return Read([](const BaseContainer& r) { return r.GetInt32(dbitem::kState, -1); });
}

Bool BrowserDatabaseItem::SetAnimation(Int32 first, Int32 last, Float fps)
{
  return Change([&](BaseContainer& r) {
    BaseContainer a;
    a.SetInt32(0, first);
    a.SetInt32(1, last);
    a.SetFloat(2, fps);
    r.SetContainer(dbitem::kAnimation, std::move(a));
    return true;
  });
}

Bool BrowserDatabaseItem::GetAnimation(Int32* first, Int32* last, Float* fps) const
{
  if (!item_)
    return false;
  return Read([&](const BaseContainer& r) {
    const BaseContainer* a = r.GetContainerInstance(dbitem::kAnimation);
    if (!a)
      return false;
    if (first)
      *first = a->GetInt32(0);
    if (last)
      *last = a->GetInt32(1);
    if (fps)
      *fps = a->GetFloat(2);
    return true;
  });
}

Bool BrowserDatabaseItem::SetPictureInfo(const PictureInfo& info)
{
  return Change([&](BaseContainer& r) {
    BaseContainer p;
    p.SetInt32(0, info.width);
    p.SetInt32(1, info.height);
    p.SetInt32(2, info.depth);
    p.SetBool(3, info.alpha);
    p.SetInt32(4, info.quality);
    r.SetContainer(dbitem::kPicture, std::move(p));
    return true;
  });
}

Bool BrowserDatabaseItem::GetPictureInfo(PictureInfo* out) const
{
  if (!item_ || !out)
    return false;
  return Read([&](const BaseContainer& r) {
    const BaseContainer* p = r.GetContainerInstance(dbitem::kPicture);
    if (!p)
      return false;
    out->width = p->GetInt32(0);
    out->height = p->GetInt32(1);
    out->depth = p->GetInt32(2);
    out->alpha = p->GetBool(3);
    out->quality = p->GetInt32(4);
    return true;
  });
}

Bool BrowserDatabaseItem::SetItemFlags(Int32 flags)
{
  return Change([&](BaseContainer& r) {
    Sub(&r, dbitem::kFlags)->SetInt32(dbitem::kFlagsValue, flags);
    return true;
  });
}

Int32 BrowserDatabaseItem::GetItemFlags() const
{
  if (!item_)
    return 0;
  return Read([](const BaseContainer& r) {
    const BaseContainer* f = r.GetContainerInstance(dbitem::kFlags);
    return f ? f->GetInt32(dbitem::kFlagsValue) : 0;
  });
}

Bool BrowserDatabaseItem::SetOrder(Int32 order)
{
  return Change([&](BaseContainer& r) {
    Sub(&r, dbitem::kFlags)->SetInt32(dbitem::kFlagsOrder, order);
    return true;
  });
}

Int32 BrowserDatabaseItem::GetOrder() const
{
  if (!item_)
    return dbitem::kNoOrder;
  return Read([](const BaseContainer& r) {
    const BaseContainer* f = r.GetContainerInstance(dbitem::kFlags);
    return f ? f->GetInt32(dbitem::kFlagsOrder, dbitem::kNoOrder) : dbitem::kNoOrder;
  });
}

Bool BrowserDatabaseItem::SetTime(Int32 which, const DateTime& t)
{
  return Change([&](BaseContainer& r) {
    BaseContainer c;
    c.SetInt32(0, dbitem::PackDate(t));
    c.SetInt32(1, dbitem::PackTime(t));
    r.SetContainer(which == 0 ? dbitem::kCreated : dbitem::kModified, std::move(c));
    return true;
  });
}

Bool BrowserDatabaseItem::GetTime(Int32 which, DateTime* t) const
{
  if (!item_)
    return false;
  return Read([&](const BaseContainer& r) {
    const BaseContainer* c = r.GetContainerInstance(which == 0 ? dbitem::kCreated : dbitem::kModified);
    if (!c)
      return false;
    *t = dbitem::Unpack(c->GetInt32(0), c->GetInt32(1));
    return true;
  });
}

Bool BrowserDatabaseItem::SetLink(const String& target, Bool relative)
{
  return Change([&](BaseContainer& r) {
    BaseContainer* a = Sub(&r, dbitem::kAddress);
    a->SetString(dbitem::kAddrLink, target);
    a->SetBool(dbitem::kAddrRelative, relative);
    return true;
  });
}

Bool BrowserDatabaseItem::GetLink(String* target, Bool* relative) const
{
  if (!item_)
    return false;
  return Read([&](const BaseContainer& r) {
    const BaseContainer* a = r.GetContainerInstance(dbitem::kAddress);
    if (!a || !a->Has(dbitem::kAddrLink))
      return false;
    if (target)
      *target = a->GetString(dbitem::kAddrLink);
    if (relative)
      *relative = a->GetBool(dbitem::kAddrRelative);
    return true;
  });
}

Bool BrowserDatabaseItem::SetData(const void* data, Int64 size, Int32 mode)
{
  if (!item_ || size < 0 || (size > 0 && !data))
    return false;
  void* packed = nullptr;
  Int64 packedSize = 0;
  Bool compressed = false;
  if (mode == dbitem::kStoreCompressed && size > 0 && GeCompress(data, size, 9, &packed, &packedSize)) {
    compressed = packedSize < size;
    if (!compressed) {
      OrxMemFree(packed);
      packed = nullptr;
    }
  }
  Bool ok = Change([&](BaseContainer& r) {
    return compressed ? db_->WriteDataLocked(&r, packed, packedSize, dbitem::kEncodingCompressed, size)
                      : db_->WriteDataLocked(&r, data, size, dbitem::kEncodingStored, size);
  });
  if (packed)
    OrxMemFree(packed);
  return ok;
}

Bool BrowserDatabaseItem::SetDataEncoded(const void* stored, Int64 size, Int32 encoding, Int64 originalLength)
{
  if (!item_ || size < 0 || (size > 0 && !stored) || encoding < 0 || encoding > 2)
    return false;
  return Change([&](BaseContainer& r) { return db_->WriteDataLocked(&r, stored, size, encoding, originalLength); });
}

Bool BrowserDatabaseItem::GetData(ByteArray* out) const
{
  if (!item_ || !out)
    return false;
  return Read([&](const BaseContainer& r) { return db_->ReadDataLocked(&r, out); });
}

Int64 BrowserDatabaseItem::GetDataSize() const
{
  if (!item_)
    return 0;
  return Read([](const BaseContainer& r) {
    const BaseContainer* d = r.GetContainerInstance(dbitem::kData);
    return d ? d->GetInt64(dbitem::kDataLength, 0) : Int64(0);
  });
}

Bool BrowserDatabaseItem::HasData() const
{
  if (!item_)
    return false;
  return Read([](const BaseContainer& r) { return r.GetContainerInstance(dbitem::kData) != nullptr; });
}

Bool BrowserDatabaseItem::RemoveData()
{
  return Change([&](BaseContainer& r) {
    const BaseContainer* d = r.GetContainerInstance(dbitem::kData);
    if (!d)
      return false;
    const Int64 off = d->GetInt64(dbitem::kDataOffset, 0);
    if (db_->inner_ && off > 0)
      db_->pendingDead_.push_back(off);
    if (!db_->inner_ && r.GetId() >= 1)
      GeDelete(db_->DataFile(r.GetId()));
    r.RemoveData(dbitem::kData);
    return true;
  });
}

Bool BrowserDatabaseItem::AddPreview(Int32 imageId, const void* jpeg, Int64 size, Int32 quality, const DateTime& time,
                                     Int32 a, Int32 b)
{
  if (!item_ || size < 0 || (size > 0 && !jpeg))
    return false;
  Int32 itemId = 0;
  Bool ok = Change([&](BaseContainer& r) {
    itemId = r.GetId();
    if (itemId < 1)
      return false;
    BaseContainer rec(imageId);
    rec.SetInt32(dbitem::kImgA, a);
    rec.SetInt32(dbitem::kImgB, b);
    rec.SetInt32(dbitem::kImgQuality, quality);
    BaseContainer ts;
    ts.SetInt32(0, dbitem::PackDate(time));
    ts.SetInt32(1, dbitem::PackTime(time));
    rec.SetContainer(dbitem::kImgTime, std::move(ts));
    if (db_->inner_) {
      Int64 off = 0;
      if (!db_->AppendChunkLocked(dbchunk::kImage, UInt32(itemId), jpeg, size, &off))
        return false;
      rec.SetInt64(dbitem::kImgOffset, off);
    } else {
      String name = String::FromInt(itemId) + "_" + String::FromInt(imageId) + ".jpg";
      BaseFile f;
      Filename tmp = db_->ImageFile(itemId, imageId).GetString() + ".tmp";
      if (!f.Open(tmp, FileMode::Write) || !f.WriteBytes(jpeg, size) || !f.Sync() || !f.Close() ||
          !GeRename(tmp, db_->ImageFile(itemId, imageId))) {
        f.Close();
        GeDelete(tmp);
        return false;
      }
      rec.SetString(dbitem::kImgFile, name);
    }
    BaseContainer* imgs = Sub(&r, dbitem::kImages);
    if (const BaseContainer* old = imgs->GetContainerInstance(imageId)) {
      const Int64 oldOff = old->GetInt64(dbitem::kImgOffset, 0);
      if (db_->inner_ && oldOff > 0)
        db_->pendingDead_.push_back(oldOff);
    }
    imgs->SetContainer(imageId, std::move(rec));
    return true;
  });
  if (ok)
    db_->CacheRemove(UInt32(itemId), UInt32(imageId));
  return ok;
}

Int32 BrowserDatabaseItem::GetPreviewCount() const
{
  if (!item_)
    return 0;
  return Read([](const BaseContainer& r) {
    const BaseContainer* i = r.GetContainerInstance(dbitem::kImages);
    return i ? i->GetCount() : 0;
  });
}

Bool BrowserDatabaseItem::GetPreviewInfo(Int32 index, PreviewInfo* out) const
{
  if (!item_ || !out)
    return false;
  return Read([&](const BaseContainer& r) {
    const BaseContainer* imgs = r.GetContainerInstance(dbitem::kImages);
    if (!imgs)
      return false;
    Int32 n = 0;
    for (const BaseContainer::Entry& e : *imgs) {
      if (n++ != index)
        continue;
      const BaseContainer* rec = e.data.GetContainer();
      if (!rec)
        return false;
      out->imageId = e.id;
      out->a = rec->GetInt32(dbitem::kImgA);
      out->b = rec->GetInt32(dbitem::kImgB);
      out->quality = rec->GetInt32(dbitem::kImgQuality);
      const BaseContainer* ts = rec->GetContainerInstance(dbitem::kImgTime);
      out->time = ts ? dbitem::Unpack(ts->GetInt32(0), ts->GetInt32(1)) : DateTime();
      return true;
    }
    return false;
  });
}

Bool BrowserDatabaseItem::GetPreviewData(Int32 imageId, ByteArray* out) const
{
  if (!item_ || !out)
    return false;
  return Read([&](const BaseContainer& r) {
    const BaseContainer* imgs = r.GetContainerInstance(dbitem::kImages);
    const BaseContainer* rec = imgs ? imgs->GetContainerInstance(imageId) : nullptr;
    if (!rec)
      return false;
    if (db_->inner_)
      return db_->ReadChunkPayloadShared(rec->GetInt64(dbitem::kImgOffset, 0), dbchunk::kImage, out);
    BaseFile f;
    if (!f.Open(db_->dataFolder_ + rec->GetString(dbitem::kImgFile), FileMode::Read))
      return false;
    Int64 len = f.GetLength();
    if (len < 0)
      return false;
    return dbchunk::TryResize(out, std::size_t(len)) && (len == 0 || f.ReadExact(out->data(), len));
  });
}

Bool BrowserDatabaseItem::RemovePreview(Int32 imageId)
{
  Int32 itemId = 0;
  Bool ok = Change([&](BaseContainer& r) {
    itemId = r.GetId();
    BaseContainer* imgs = r.GetContainerInstance(dbitem::kImages);
    const BaseContainer* rec = imgs ? imgs->GetContainerInstance(imageId) : nullptr;
    if (!rec)
      return false;
    const Int64 off = rec->GetInt64(dbitem::kImgOffset, 0);
    if (db_->inner_ && off > 0)
      db_->pendingDead_.push_back(off);
    if (!db_->inner_ && itemId >= 1)
      GeDelete(db_->ImageFile(itemId, imageId));
    imgs->RemoveData(imageId);
    return true;
  });
  if (ok)
    db_->CacheRemove(UInt32(itemId), UInt32(imageId));
  return ok;
}
