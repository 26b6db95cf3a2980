// HyperFile: the typed byte image of values and containers (layout in the header).
#include "orx/hyperfile.h"

#include <algorithm>
#include <cstring>

namespace {
enum class Mode { Closed, MemWrite, MemRead, FileWrite, FileRead };
} // namespace

struct HyperFile::Impl
{
  Mode mode = Mode::Closed;
  ByteArray out;           // bytes being written
  ByteArray fileIn;        // a file's bytes being read
  const UChar* in = nullptr;
  Int64 inSize = 0;
  Int64 pos = 0;
  Filename file;
  Int32 depth = 0;
  String::Storage units; // decoding room for strings, reused

  void Put(const void* p, std::size_t n)
  {
    const UChar* b = static_cast<const UChar*>(p);
    out.insert(out.end(), b, b + n);
  }
  void PutU8(UChar v) { out.push_back(v); }
  void PutU32(UInt32 v)
  {
    UChar b[4] = {UChar(v >> 24), UChar(v >> 16), UChar(v >> 8), UChar(v)};
    Put(b, 4);
  }
  void PutU64(UInt64 v)
  {
    PutU32(UInt32(v >> 32));
    PutU32(UInt32(v));
  }
  bool Has(Int64 n) const { return n >= 0 && n <= inSize - pos; }
  bool GetU8(UChar* v)
  {
    if (!Has(1))
      return false;
    *v = in[pos++];
    return true;
  }
  bool GetU32(UInt32* v)
  {
    if (!Has(4))
      return false;
    const UChar* b = in + pos;
    *v = (UInt32(b[0]) << 24) | (UInt32(b[1]) << 16) | (UInt32(b[2]) << 8) | UInt32(b[3]);
    pos += 4;
    return true;
  }
  bool GetU64(UInt64* v)
  {
    UInt32 hi, lo;
    if (!GetU32(&hi) || !GetU32(&lo))
      return false;
    *v = (UInt64(hi) << 32) | lo;
    return true;
  }
  bool Writing() const { return mode == Mode::MemWrite || mode == Mode::FileWrite; }
  bool Reading() const { return mode == Mode::MemRead || mode == Mode::FileRead; }
};

HyperFile::HyperFile() : d_(std::make_unique<Impl>()) {}
HyperFile::~HyperFile() { Close(); }

Bool HyperFile::OpenMemoryWrite(UInt32 ident)
{
  Close();
  d_ = std::make_unique<Impl>();
  d_->mode = Mode::MemWrite;
  d_->PutU32(kMagic);
  d_->PutU32(ident);
  ok_ = true;
  return true;
}

Bool HyperFile::OpenMemoryRead(UInt32 ident, const void* data, Int64 size)
{
  Close();
  d_ = std::make_unique<Impl>();
  d_->mode = Mode::MemRead;
  d_->in = static_cast<const UChar*>(data);
  d_->inSize = data ? size : 0;
  UInt32 magic = 0, id = 0;
  ok_ = d_->GetU32(&magic) && d_->GetU32(&id) && magic == kMagic && id == ident;
  return ok_;
}

Bool HyperFile::OpenFileWrite(UInt32 ident, const Filename& name)
{
  OpenMemoryWrite(ident);
  d_->mode = Mode::FileWrite;
  d_->file = name;
  return true;
}

Bool HyperFile::OpenFileRead(UInt32 ident, const Filename& name)
{
  Close();
  d_ = std::make_unique<Impl>();
  BaseFile f;
  if (!f.Open(name, FileMode::Read)) {
    ok_ = false;
    return false;
  }
  Int64 len = f.GetLength();
  if (len < 0) {
    ok_ = false;
    return false;
  }
  d_->fileIn.resize(std::size_t(len));
  if (f.ReadBytes(d_->fileIn.data(), len) != len) {
    ok_ = false;
    return false;
  }
  ByteArray bytes = std::move(d_->fileIn);
  Bool r = OpenMemoryRead(ident, bytes.data(), Int64(bytes.size()));
  d_->fileIn = std::move(bytes); // keeps the data alive; the pointer stays valid after a move
  d_->mode = Mode::FileRead;
  return r;
}

Bool HyperFile::Close()
{
  if (!d_ || d_->mode == Mode::Closed)
    return ok_;
  Bool r = ok_;
  if (d_->mode == Mode::FileWrite) {
    BaseFile f;
    r = r && f.Open(d_->file, FileMode::Write) && f.WriteBytes(d_->out.data(), Int64(d_->out.size())) && f.Close();
  }
  d_->mode = Mode::Closed;
  ok_ = r;
  return r;
}

const UChar* HyperFile::GetMemory() const { return d_->out.data(); }
Int64 HyperFile::GetMemorySize() const { return Int64(d_->out.size()); }

Bool HyperFile::WriteInt32(Int32 v) { return WriteData(GeData(v)); }
Bool HyperFile::WriteInt64(Int64 v) { return WriteData(GeData(v)); }
Bool HyperFile::WriteFloat(Float v) { return WriteData(GeData(v)); }
Bool HyperFile::WriteBool(Bool v) { return WriteData(GeData(v)); }
Bool HyperFile::WriteString(const String& v) { return WriteData(GeData(v)); }
Bool HyperFile::WriteFilename(const Filename& v) { return WriteData(GeData(v)); }
Bool HyperFile::WriteBytes(const void* data, Int64 size)
{
  GeData d;
  d.SetBytes(data, size);
  return WriteData(d);
}
Bool HyperFile::WriteContainer(const BaseContainer& v)
{
  if (!ok_ || !d_->Writing())
    return ok_ = false;
  d_->PutU8(UChar(DataType::Container));
  d_->PutU32(UInt32(v.GetId()));
  d_->PutU32(UInt32(v.GetCount()));
  for (const BaseContainer::Entry& e : v) {
    d_->PutU32(UInt32(e.id));
    if (!WriteData(e.data))
      return false;
  }
  return ok_;
}

Bool HyperFile::WriteData(const GeData& v)
{
  if (!ok_ || !d_->Writing())
    return ok_ = false;
  Impl& d = *d_;
  DataType t = v.GetType() == DataType::Pointer ? DataType::Nil : v.GetType();
  if (t == DataType::Container)
    return WriteContainer(*v.GetContainer());
  d.PutU8(UChar(t));
  switch (t) {
    case DataType::Int32: d.PutU32(UInt32(v.GetInt32())); break;
    case DataType::Int64: d.PutU64(UInt64(v.GetInt64())); break;
    case DataType::Float: {
      Float f = v.GetFloat();
      UInt64 bits;
      std::memcpy(&bits, &f, 8);
      d.PutU64(bits);
      break;
    }
    case DataType::Bool: d.PutU8(v.GetBool() ? 1 : 0); break;
    case DataType::String:
    case DataType::Filename: {
      String copy;
      const String* s = v.GetStringPtr();
      if (!s) {
        copy = v.GetString();
        s = &copy;
      }
      const std::size_t n = std::size_t(s->GetLength());
      d.PutU32(UInt32(n));
      const std::size_t at = d.out.size();
      d.out.resize(at + 2 * n);
      UChar* o = d.out.data() + at;
      const Utf16Char* u = s->Units();
      for (std::size_t i = 0; i < n; ++i) {
        o[2 * i] = UChar(u[i] >> 8);
        o[2 * i + 1] = UChar(u[i]);
      }
      break;
    }
    case DataType::Bytes: {
      const ByteArray* b = v.GetBytes();
      d.PutU64(UInt64(b->size()));
      d.Put(b->data(), b->size());
      break;
    }
    default: break;
  }
  return ok_;
}

Bool HyperFile::ReadData(GeData* v)
{
  if (!ok_ || !d_->Reading())
    return ok_ = false;
  Impl& d = *d_;
  UChar tag;
  if (!d.GetU8(&tag))
    return ok_ = false;
  switch (DataType(tag)) {
    case DataType::Nil: v->SetNil(); return true;
    case DataType::Int32: {
      UInt32 x;
      if (!d.GetU32(&x))
        return ok_ = false;
      v->SetInt32(Int32(x));
      return true;
    }
    case DataType::Int64: {
      UInt64 x;
      if (!d.GetU64(&x))
        return ok_ = false;
      v->SetInt64(Int64(x));
      return true;
    }
    case DataType::Float: {
      UInt64 x;
      if (!d.GetU64(&x))
        return ok_ = false;
      Float f;
      std::memcpy(&f, &x, 8);
      v->SetFloat(f);
      return true;
    }
    case DataType::Bool: {
      UChar x;
      if (!d.GetU8(&x) || x > 1)
        return ok_ = false;
      v->SetBool(x != 0);
      return true;
    }
    case DataType::String:
    case DataType::Filename: {
      UInt32 n;
      if (!d.GetU32(&n) || !d.Has(Int64(n) * 2))
        return ok_ = false;
      d.units.resize(n);
      const UChar* b = d.in + d.pos;
      for (UInt32 i = 0; i < n; ++i)
        d.units[i] = Utf16Char((UInt32(b[2 * i]) << 8) | b[2 * i + 1]);
      d.pos += Int64(n) * 2;
      String s(d.units.data(), Int32(n));
      if (DataType(tag) == DataType::String)
        v->SetString(std::move(s));
      else
        v->SetFilename(Filename(s));
      return true;
    }
    case DataType::Bytes: {
      UInt64 n;
      if (!d.GetU64(&n) || n > UInt64(INT64_MAX) || !d.Has(Int64(n)))
        return ok_ = false;
      v->SetBytes(d.in + d.pos, Int64(n));
      d.pos += Int64(n);
      return true;
    }
    case DataType::Container: {
      BaseContainer c;
      if (!ReadContainerBody(&c))
        return false;
      v->SetContainer(std::move(c));
      return true;
    }
    default: return ok_ = false;
  }
}

Bool HyperFile::ReadContainerBody(BaseContainer* c)
{
  Impl& d = *d_;
  if (d.depth >= kMaxDepth)
    return ok_ = false;
  UInt32 id, count;
  if (!d.GetU32(&id) || !d.GetU32(&count))
    return ok_ = false;
  // Every entry takes at least 5 bytes: a count beyond that is a lie.
  if (!d.Has(Int64(count) * 5))
    return ok_ = false;
  c->FlushAll();
  c->SetId(Int32(id));
  // The outermost container gets room for two more: readers often add bookkeeping to a record.
  c->Reserve(Int32(std::min<UInt32>(count, 0x7ffffff0u)) + (d.depth == 0 ? 2 : 0));
  ++d.depth;
  for (UInt32 i = 0; i < count; ++i) {
    UInt32 eid;
    GeData e;
    if (!d.GetU32(&eid) || !ReadData(&e)) {
      --d.depth;
      return ok_ = false;
    }
    c->SetData(Int32(eid), std::move(e));
  }
  --d.depth;
  return true;
}

namespace {
template <typename F>
Bool ReadTyped(HyperFile* hf, DataType want, F take)
{
  GeData d;
  if (!hf->ReadData(&d) || d.GetType() != want)
    return false;
  take(d);
  return true;
}
} // namespace

Bool HyperFile::ReadInt32(Int32* v)
{
  return ReadTyped(this, DataType::Int32, [&](const GeData& d) { *v = d.GetInt32(); }) || (ok_ = false);
}
Bool HyperFile::ReadInt64(Int64* v)
{
  return ReadTyped(this, DataType::Int64, [&](const GeData& d) { *v = d.GetInt64(); }) || (ok_ = false);
}
Bool HyperFile::ReadFloat(Float* v)
{
  return ReadTyped(this, DataType::Float, [&](const GeData& d) { *v = d.GetFloat(); }) || (ok_ = false);
}
Bool HyperFile::ReadBool(Bool* v)
{
  return ReadTyped(this, DataType::Bool, [&](const GeData& d) { *v = d.GetBool(); }) || (ok_ = false);
}
Bool HyperFile::ReadString(String* v)
{
  return ReadTyped(this, DataType::String, [&](const GeData& d) { *v = d.GetString(); }) || (ok_ = false);
}
Bool HyperFile::ReadFilename(Filename* v)
{
  return ReadTyped(this, DataType::Filename, [&](const GeData& d) { *v = d.GetFilename(); }) || (ok_ = false);
}
Bool HyperFile::ReadBytes(ByteArray* v)
{
  return ReadTyped(this, DataType::Bytes, [&](const GeData& d) { *v = *d.GetBytes(); }) || (ok_ = false);
}
Bool HyperFile::ReadContainer(BaseContainer* v)
{
  if (!ok_ || !d_->Reading())
    return ok_ = false;
  UChar tag;
  if (!d_->GetU8(&tag) || DataType(tag) != DataType::Container)
    return ok_ = false;
  BaseContainer c;
  if (!ReadContainerBody(&c))
    return false;
  *v = std::move(c);
  return true;
}

Bool HyperFile::ContainerToImage(const BaseContainer& bc, UInt32 ident, ByteArray* out)
{
  HyperFile hf;
  hf.OpenMemoryWrite(ident);
  if (!hf.WriteContainer(bc))
    return false;
  *out = std::move(hf.d_->out);
  hf.d_->out.clear();
  return true;
}

Bool HyperFile::ContainerToImage(const BaseContainer& bc, UInt32 ident, ByteArray* out, const Int32* skipIds,
                                 Int32 skipCount)
{
  auto skipped = [&](Int32 id) {
    for (Int32 i = 0; i < skipCount; ++i)
      if (skipIds[i] == id)
        return true;
    return false;
  };
  Int32 count = bc.GetCount();
  for (Int32 i = 0; i < skipCount; ++i)
    if (std::find(skipIds, skipIds + i, skipIds[i]) == skipIds + i && bc.Has(skipIds[i]))
      --count;
  HyperFile hf;
  hf.d_->mode = Mode::MemWrite;
  hf.ok_ = true;
  out->clear();
  hf.d_->out.swap(*out);
  Impl& d = *hf.d_;
  d.PutU32(kMagic);
  d.PutU32(ident);
  d.PutU8(UChar(DataType::Container));
  d.PutU32(UInt32(bc.GetId()));
  d.PutU32(UInt32(count));
  for (const BaseContainer::Entry& e : bc) {
    if (skipped(e.id))
      continue;
    d.PutU32(UInt32(e.id));
    if (!hf.WriteData(e.data))
      break;
  }
  hf.d_->out.swap(*out);
  return hf.ok_;
}

Bool HyperFile::ImageToContainer(const void* data, Int64 size, UInt32 ident, BaseContainer* out)
{
  HyperFile hf;
  if (!hf.OpenMemoryRead(ident, data, size))
    return false;
  BaseContainer c;
  if (!hf.ReadContainer(&c))
    return false;
  *out = std::move(c);
  return true;
}
