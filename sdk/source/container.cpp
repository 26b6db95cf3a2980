// GeData and BaseContainer.
#include "orx/container.h"

#include <cstring>
#include <new>
#include <utility>

// --- GeData ---

namespace {
// A value that cannot be held fails as a standard container does, and the GeData keeps what it had:
// a type without its value would be read through a null pointer.
template <typename T, typename... A>
T* NewValue(A&&... args)
{
  T* p = OrxNewObj(T, std::forward<A>(args)...);
  if (!p)
    throw std::bad_alloc();
  return p;
}
} // namespace

GeData::GeData(const BaseContainer& v) { SetContainer(v); }
GeData::GeData(const GeData& o) { CopyFrom(o); }
GeData::GeData(GeData&& o) noexcept : type_(o.type_), v_(o.v_)
{
  o.type_ = DataType::Nil;
  o.v_.i = 0;
}
GeData& GeData::operator=(const GeData& o)
{
  if (this != &o) {
    GeData tmp(o);
    *this = std::move(tmp);
  }
  return *this;
}
GeData& GeData::operator=(GeData&& o) noexcept
{
  if (this != &o) {
    Free();
    type_ = o.type_;
    v_ = o.v_;
    o.type_ = DataType::Nil;
    o.v_.i = 0;
  }
  return *this;
}

void GeData::Free() noexcept
{
  switch (type_) {
    case DataType::String: orx::detail::DeleteObj(v_.s); break;
    case DataType::Filename: orx::detail::DeleteObj(v_.fn); break;
    case DataType::Container: orx::detail::DeleteObj(v_.bc); break;
    case DataType::Bytes: orx::detail::DeleteObj(v_.bytes); break;
    default: break;
  }
  type_ = DataType::Nil;
  v_.i = 0;
}

void GeData::CopyFrom(const GeData& o)
{
  switch (o.type_) {
    case DataType::String: SetString(*o.v_.s); break;
    case DataType::Filename: SetFilename(*o.v_.fn); break;
    case DataType::Container: SetContainer(*o.v_.bc); break;
    case DataType::Bytes: SetBytes(o.v_.bytes->data(), Int64(o.v_.bytes->size())); break;
    default:
      type_ = o.type_;
      v_ = o.v_;
      break;
  }
}

void GeData::SetInt32(Int32 v)
{
  Free();
  type_ = DataType::Int32;
  v_.i = v;
}
void GeData::SetInt64(Int64 v)
{
  Free();
  type_ = DataType::Int64;
  v_.i = v;
}
void GeData::SetFloat(Float v)
{
  Free();
  type_ = DataType::Float;
  v_.f = v;
}
void GeData::SetBool(Bool v)
{
  Free();
  type_ = DataType::Bool;
  v_.i = v ? 1 : 0;
}
void GeData::SetString(const String& v)
{
  String* s = NewValue<String>(v);
  Free();
  type_ = DataType::String;
  v_.s = s;
}
void GeData::SetString(String&& v)
{
  String* s = NewValue<String>(std::move(v));
  Free();
  type_ = DataType::String;
  v_.s = s;
}
void GeData::SetFilename(const Filename& v)
{
  Filename* f = NewValue<Filename>(v);
  Free();
  type_ = DataType::Filename;
  v_.fn = f;
}
void GeData::SetContainer(const BaseContainer& v)
{
  BaseContainer* c = NewValue<BaseContainer>(v);
  Free();
  type_ = DataType::Container;
  v_.bc = c;
}
void GeData::SetContainer(BaseContainer&& v)
{
  BaseContainer* c = NewValue<BaseContainer>(std::move(v));
  Free();
  type_ = DataType::Container;
  v_.bc = c;
}
void GeData::SetBytes(const void* data, Int64 size)
{
  const UChar* from = static_cast<const UChar*>(data);
  ByteArray* b = size > 0 ? NewValue<ByteArray>(from, from + size) : NewValue<ByteArray>();
  Free();
  type_ = DataType::Bytes;
  v_.bytes = b;
}
void GeData::SetPointer(void* p)
{
  Free();
  type_ = DataType::Pointer;
  v_.p = p;
}

Int32 GeData::GetInt32(Int32 def) const
{
  switch (type_) {
    case DataType::Int32:
    case DataType::Bool:
    case DataType::Int64: return Int32(v_.i);
    case DataType::Float: return Int32(v_.f);
    default: return def;
  }
}
Int64 GeData::GetInt64(Int64 def) const
{
  switch (type_) {
    case DataType::Int32:
    case DataType::Bool:
    case DataType::Int64: return v_.i;
    case DataType::Float: return Int64(v_.f);
    default: return def;
  }
}
Float GeData::GetFloat(Float def) const
{
  switch (type_) {
    case DataType::Int32:
    case DataType::Bool:
    case DataType::Int64: return Float(v_.i);
    case DataType::Float: return v_.f;
    default: return def;
  }
}
Bool GeData::GetBool(Bool def) const
{
  switch (type_) {
    case DataType::Int32:
    case DataType::Bool:
    case DataType::Int64: return v_.i != 0;
    case DataType::Float: return v_.f != 0.0;
    default: return def;
  }
}
String GeData::GetString() const
{
  if (type_ == DataType::String)
    return *v_.s;
  if (type_ == DataType::Filename)
    return v_.fn->GetString();
  return String();
}
Filename GeData::GetFilename() const
{
  if (type_ == DataType::Filename)
    return *v_.fn;
  if (type_ == DataType::String)
    return Filename(*v_.s);
  return Filename();
}
const String* GeData::GetStringPtr() const { return type_ == DataType::String ? v_.s : nullptr; }
BaseContainer* GeData::GetContainer() { return type_ == DataType::Container ? v_.bc : nullptr; }
const BaseContainer* GeData::GetContainer() const { return type_ == DataType::Container ? v_.bc : nullptr; }
const ByteArray* GeData::GetBytes() const { return type_ == DataType::Bytes ? v_.bytes : nullptr; }
void* GeData::GetPointer() const { return type_ == DataType::Pointer ? v_.p : nullptr; }

Bool operator==(const GeData& a, const GeData& b)
{
  if (a.type_ != b.type_)
    return false;
  switch (a.type_) {
    case DataType::Nil:
    case DataType::Dead: return true;
    case DataType::Float: return std::memcmp(&a.v_.f, &b.v_.f, sizeof(Float)) == 0;
    case DataType::String: return *a.v_.s == *b.v_.s;
    case DataType::Filename: return *a.v_.fn == *b.v_.fn;
    case DataType::Container: return *a.v_.bc == *b.v_.bc;
    case DataType::Bytes: return *a.v_.bytes == *b.v_.bytes;
    case DataType::Pointer: return a.v_.p == b.v_.p;
    default: return a.v_.i == b.v_.i;
  }
}

// --- BaseContainer ---

namespace {
// Below this many entries a scan of the ids is about as fast as hashing, and records and settings
// (mostly 10 to 20 entries) need no index memory.
constexpr std::size_t kIndexFrom = 24;

inline UInt32 HashId(Int32 id, UInt32 mask) { return (UInt32(id) * 0x9E3779B1u >> 7) & mask; }
} // namespace

BaseContainer::BaseContainer(const BaseContainer& o) : id_(o.id_)
{
  entries_.reserve(std::size_t(o.live_));
  for (const Entry& e : o)
    entries_.push_back(Entry{e.id, e.data});
  live_ = Int32(entries_.size());
}

BaseContainer::BaseContainer(BaseContainer&& o) noexcept
    : id_(o.id_), live_(o.live_), dead_(o.dead_), entries_(std::move(o.entries_)), index_(std::move(o.index_)),
      indexValid_(o.indexValid_)
{
  o.live_ = o.dead_ = 0;
  o.entries_.clear();
  o.index_.clear();
  o.indexValid_ = false;
}

BaseContainer& BaseContainer::operator=(const BaseContainer& o)
{
  if (this != &o) {
    BaseContainer tmp(o);
    *this = std::move(tmp);
  }
  return *this;
}

BaseContainer& BaseContainer::operator=(BaseContainer&& o) noexcept
{
  if (this != &o) {
    id_ = o.id_;
    TakeEntries(std::move(o));
  }
  return *this;
}

void BaseContainer::TakeEntries(BaseContainer&& o) noexcept
{
  if (this == &o)
    return;
  live_ = o.live_;
  dead_ = o.dead_;
  entries_ = std::move(o.entries_);
  index_ = std::move(o.index_);
  indexValid_ = o.indexValid_;
  o.live_ = o.dead_ = 0;
  o.entries_.clear();
  o.index_.clear();
  o.indexValid_ = false;
}

BaseContainer::~BaseContainer() = default;

void BaseContainer::FlushAll()
{
  entries_.clear();
  index_.clear();
  indexValid_ = false;
  live_ = dead_ = 0;
}

void BaseContainer::Reserve(Int32 n)
{
  if (n > 0)
    entries_.reserve(std::size_t(n));
}

void BaseContainer::BuildIndex() const
{
  std::size_t cap = 16;
  while (cap < entries_.size() * 2 + 2)
    cap <<= 1;
  index_.assign(cap, 0);
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].data.GetType() != DataType::Dead)
      IndexInsert(entries_[i].id, Int32(i));
  indexValid_ = true;
}

void BaseContainer::IndexInsert(Int32 id, Int32 pos) const
{
  UInt32 mask = UInt32(index_.size() - 1);
  for (UInt32 h = HashId(id, mask);; h = (h + 1) & mask) {
    if (index_[h] == 0) {
      index_[h] = pos + 1;
      return;
    }
  }
}

Int32 BaseContainer::FindPos(Int32 id) const
{
  if (entries_.size() < kIndexFrom) {
    for (std::size_t i = 0; i < entries_.size(); ++i)
      if (entries_[i].id == id && entries_[i].data.GetType() != DataType::Dead)
        return Int32(i);
    return -1;
  }
  if (!indexValid_)
    BuildIndex();
  UInt32 mask = UInt32(index_.size() - 1);
  for (UInt32 h = HashId(id, mask);; h = (h + 1) & mask) {
    Int32 slot = index_[h];
    if (slot == 0)
      return -1;
    const Entry& e = entries_[std::size_t(slot - 1)];
    if (e.id == id && e.data.GetType() != DataType::Dead)
      return slot - 1;
  }
}

void BaseContainer::Compact()
{
  std::size_t w = 0;
  for (std::size_t r = 0; r < entries_.size(); ++r) {
    if (entries_[r].data.GetType() == DataType::Dead)
      continue;
    if (w != r)
      entries_[w] = std::move(entries_[r]);
    ++w;
  }
  entries_.resize(w);
  dead_ = 0;
  indexValid_ = false;
  index_.clear();
}

const GeData* BaseContainer::GetData(Int32 id) const
{
  Int32 p = FindPos(id);
  return p < 0 ? nullptr : &entries_[std::size_t(p)].data;
}

GeData* BaseContainer::GetDataMutable(Int32 id)
{
  Int32 p = FindPos(id);
  return p < 0 ? nullptr : &entries_[std::size_t(p)].data;
}

GeData& BaseContainer::SetData(Int32 id, const GeData& data)
{
  if (GeData* d = GetDataMutable(id)) {
    *d = data;
    return *d;
  }
  return SetData(id, GeData(data));
}

GeData& BaseContainer::SetData(Int32 id, GeData&& data)
{
  if (GeData* d = GetDataMutable(id)) {
    *d = std::move(data);
    return *d;
  }
  entries_.push_back(Entry{id, std::move(data)});
  ++live_;
  Int32 pos = Int32(entries_.size() - 1);
  if (indexValid_) {
    if (entries_.size() * 2 + 2 > index_.size())
      BuildIndex();
    else
      IndexInsert(id, pos);
  }
  return entries_.back().data;
}

Bool BaseContainer::RemoveData(Int32 id)
{
  Int32 p = FindPos(id);
  if (p < 0)
    return false;
  Entry& e = entries_[std::size_t(p)];
  e.data.Free();
  e.data.type_ = DataType::Dead;
  --live_;
  ++dead_;
  if (std::size_t(p) + 1 == entries_.size() && !indexValid_) {
    entries_.pop_back();
    --dead_;
  } else if (dead_ > 16 && dead_ > live_) {
    Compact();
  }
  return true;
}

Int32 BaseContainer::GetInt32(Int32 id, Int32 def) const
{
  const GeData* d = GetData(id);
  return d ? d->GetInt32(def) : def;
}
Int64 BaseContainer::GetInt64(Int32 id, Int64 def) const
{
  const GeData* d = GetData(id);
  return d ? d->GetInt64(def) : def;
}
Float BaseContainer::GetFloat(Int32 id, Float def) const
{
  const GeData* d = GetData(id);
  return d ? d->GetFloat(def) : def;
}
Bool BaseContainer::GetBool(Int32 id, Bool def) const
{
  const GeData* d = GetData(id);
  return d ? d->GetBool(def) : def;
}
String BaseContainer::GetString(Int32 id, const String& def) const
{
  const GeData* d = GetData(id);
  if (!d || (d->GetType() != DataType::String && d->GetType() != DataType::Filename))
    return def;
  return d->GetString();
}
Filename BaseContainer::GetFilename(Int32 id) const
{
  const GeData* d = GetData(id);
  return d ? d->GetFilename() : Filename();
}
BaseContainer BaseContainer::GetContainer(Int32 id) const
{
  const BaseContainer* c = GetContainerInstance(id);
  return c ? *c : BaseContainer();
}
BaseContainer* BaseContainer::GetContainerInstance(Int32 id)
{
  GeData* d = GetDataMutable(id);
  return d ? d->GetContainer() : nullptr;
}
const BaseContainer* BaseContainer::GetContainerInstance(Int32 id) const
{
  const GeData* d = GetData(id);
  return d ? d->GetContainer() : nullptr;
}
void* BaseContainer::GetPointer(Int32 id) const
{
  const GeData* d = GetData(id);
  return d ? d->GetPointer() : nullptr;
}
BaseContainer* BaseContainer::SetContainer(Int32 id, const BaseContainer& v)
{
  return SetData(id, GeData(v)).GetContainer();
}
BaseContainer* BaseContainer::SetContainer(Int32 id, BaseContainer&& v)
{
  GeData d;
  d.SetContainer(std::move(v));
  return SetData(id, std::move(d)).GetContainer();
}
void BaseContainer::SetBytes(Int32 id, const void* data, Int64 size)
{
  GeData d;
  d.SetBytes(data, size);
  SetData(id, std::move(d));
}
void BaseContainer::SetPointer(Int32 id, void* p)
{
  GeData d;
  d.SetPointer(p);
  SetData(id, std::move(d));
}

Bool operator==(const BaseContainer& a, const BaseContainer& b)
{
  if (a.id_ != b.id_ || a.live_ != b.live_)
    return false;
  auto ib = b.begin();
  for (const BaseContainer::Entry& e : a) {
    if (ib == b.end() || ib->id != e.id || !(ib->data == e.data))
      return false;
    ++ib;
  }
  return true;
}
