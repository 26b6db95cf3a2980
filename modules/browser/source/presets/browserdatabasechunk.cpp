#include "presets/browserdatabasechunk.h"

#include <algorithm>
#include <cstring>

#include "orx/hyperfile.h"
#include "presets/browserdatabaseitem.h"

namespace dbchunk {

namespace {
inline UInt32 Load32(const UChar* p)
{
  return (UInt32(p[0]) << 24) | (UInt32(p[1]) << 16) | (UInt32(p[2]) << 8) | UInt32(p[3]);
}
inline void Store32(UChar* p, UInt32 v)
{
  p[0] = UChar(v >> 24);
  p[1] = UChar(v >> 16);
  p[2] = UChar(v >> 8);
  p[3] = UChar(v);
}
} // namespace

void EncodeHeader(const ChunkHeader& h, UChar out[16])
{
  Store32(out, h.id);
  Store32(out + 4, h.tag);
  Store32(out + 8, UInt32(h.size >> 32));
  Store32(out + 12, UInt32(h.size));
}

ChunkHeader DecodeHeader(const UChar in[16])
{
  ChunkHeader h;
  h.id = Load32(in);
  h.tag = Load32(in + 4);
  h.size = (UInt64(Load32(in + 8)) << 32) | Load32(in + 12);
  return h;
}

Bool ReadChunkHeader(BaseFile* f, ChunkHeader* h)
{
  UChar b[16];
  if (!f->ReadExact(b, 16))
    return false;
  *h = DecodeHeader(b);
  return true;
}

Bool WriteChunkHeader(BaseFile* f, UInt32 id, UInt32 tag, UInt64 size)
{
  UChar b[16];
  EncodeHeader({id, tag, size}, b);
  return f->WriteBytes(b, 16);
}

Bool ReadChunk(BaseFile* f, ChunkHeader* h, ByteArray* payload)
{
  Int64 start = f->GetPosition();
  Int64 len = f->GetLength();
  if (start < 0 || len < 0 || !ReadChunkHeader(f, h))
    return false;
  if (h->size > UInt64(len - start - kHeaderSize))
    return false;
  ByteArray buf;
  buf.resize(std::size_t(h->size));
  if (!f->ReadExact(buf.data(), Int64(h->size)))
    return false;
  *payload = std::move(buf);
  return true;
}

Bool WriteChunk(BaseFile* f, UInt32 id, UInt32 tag, const void* payload, Int64 size)
{
  ByteArray b;
  AppendChunk(&b, id, tag, payload, size);
  return f->WriteBytes(b.data(), Int64(b.size()));
}

Bool MarkChunkDead(BaseFile* f)
{
  UChar b[4];
  Store32(b, kDead);
  return f->WriteBytes(b, 4);
}

Bool MarkChunkDeadAt(BaseFile* f, Int64 offset) { return offset > 0 && f->Seek(offset) && MarkChunkDead(f); }

Bool ReadContainerImage(BaseFile* f, Int64 size, BaseContainer* out)
{
  Int64 pos = f->GetPosition();
  Int64 len = f->GetLength();
  if (size < 0 || pos < 0 || size > len - pos)
    return false;
  ByteArray buf;
  buf.resize(std::size_t(size));
  if (!f->ReadExact(buf.data(), size))
    return false;
  return HyperFile::ImageToContainer(buf.data(), size, kImageIdent, out);
}

Bool WriteContainerImage(BaseFile* f, const BaseContainer& bc, Int64* bytesWritten)
{
  ByteArray img;
  if (!HyperFile::ContainerToImage(bc, kImageIdent, &img))
    return false;
  if (bytesWritten)
    *bytesWritten = Int64(img.size());
  return f->WriteBytes(img.data(), Int64(img.size()));
}

void AppendChunk(ByteArray* out, UInt32 id, UInt32 tag, const void* payload, Int64 size)
{
  UChar h[16];
  EncodeHeader({id, tag, UInt64(size)}, h);
  out->insert(out->end(), h, h + 16);
  if (size > 0) {
    const UChar* p = static_cast<const UChar*>(payload);
    out->insert(out->end(), p, p + size);
  }
}

const UChar* MemoryChunkSource::Peek(Int64 pos, Int64 n)
{
  if (pos < 0 || n < 0 || pos > size_ || n > size_ - pos)
    return nullptr;
  return data_ + pos;
}

FileChunkSource::FileChunkSource(BaseFile* f) : f_(f), length_(f ? f->GetLength() : -1)
{
  if (length_ < 0)
    length_ = 0;
}

const UChar* FileChunkSource::Peek(Int64 pos, Int64 n)
{
  if (pos < 0 || n < 0 || pos > length_ || n > length_ - pos)
    return nullptr;
  if (pos >= bufPos_ && pos + n <= bufPos_ + bufLen_)
    return buf_.data() + (pos - bufPos_);
  constexpr Int64 kMinBlock = 16 * 1024, kMaxBlock = 1024 * 1024;
  // Sequential use earns a bigger window; a jump starts small again.
  if (pos <= bufPos_ + bufLen_ && pos >= bufPos_)
    block_ = std::min(block_ * 2, kMaxBlock);
  else
    block_ = kMinBlock;
  Int64 want = std::min(std::max(block_, n), length_ - pos);
  if (Int64(buf_.size()) < want)
    buf_.resize(std::size_t(want));
  if (!f_->Seek(pos) || f_->ReadBytes(buf_.data(), want) != want) {
    bufLen_ = 0;
    return nullptr;
  }
  bufPos_ = pos;
  bufLen_ = want;
  return buf_.data();
}

namespace {

bool IsWriterCode(UInt32 id)
{
  return id == kInfo || id == kCatalog || id == kItem || id == kData || id == kImage || id == kDead ||
         id == kLegacyArray || id == kEnd;
}

// Stores a record read from the file; a later record of the same id replaces the earlier one,
// whose chunk is then stale (a save that stopped before marking it dead).
void StoreItem(LibraryImage* out, Int32 id, BaseContainer&& rec, Int64 chunkStart, Int64 chunkBytes)
{
  rec.SetId(id);
  rec.SetInt64(dbitem::kChunkOffset, chunkStart);
  rec.RemoveData(dbitem::kChanged);
  BaseContainer* old = out->items.GetContainerInstance(id);
  if (old) {
    Int64 oldOff = old->GetInt64(dbitem::kChunkOffset, 0);
    if (oldOff > 0) {
      out->staleChunks.push_back(oldOff);
    }
    *old = std::move(rec);
  } else {
    out->items.SetContainer(id, std::move(rec));
    ++out->itemCount;
  }
  (void)chunkBytes;
  out->maxItemId = std::max(out->maxItemId, id);
}

bool ReadImage(ChunkSource* src, Int64 pos, Int64 size, BaseContainer* out)
{
  const UChar* p = src->Peek(pos, size);
  return p && HyperFile::ImageToContainer(p, size, kImageIdent, out);
}

void ReadLegacyArray(ChunkSource* src, Int64 start, Int64 size, LibraryImage* out)
{
  Int64 pos = start, end = start + size;
  while (pos < end) {
    if (end - pos < 4) {
      out->failed = true;
      return;
    }
    const UChar* p = src->Peek(pos, 4);
    if (!p) {
      out->failed = true;
      return;
    }
    Int64 n = Int32(Load32(p));
    pos += 4;
    Int64 body = n < 0 ? -n : n;
    if (body > end - pos) {
      out->failed = true;
      return;
    }
    if (n >= 0) {
      BaseContainer rec;
      if (!ReadImage(src, pos, n, &rec)) {
        out->failed = true;
      } else if (rec.GetId() >= 1) {
        Int32 id = rec.GetId();
        // Legacy records have no chunk of their own: the array is marked dead as a whole.
        StoreItem(out, id, std::move(rec), 0, 0);
        BaseContainer* stored = out->items.GetContainerInstance(id);
        if (stored)
          stored->RemoveData(dbitem::kChunkOffset);
        out->legacyIds.push_back(id);
      }
    }
    pos += body;
  }
}

} // namespace

void ReadLibrary(ChunkSource* src, LibraryImage* out)
{
  *out = LibraryImage();
  const Int64 len = src->Length();
  if (len == 0) {
    out->empty = true;
    return;
  }
  const UChar* p = src->Peek(0, kHeaderSize);
  if (!p || DecodeHeader(p).id != kHead) {
    out->notLibrary = true;
    return;
  }
  ChunkHeader first = DecodeHeader(p);
  Int64 pos;
  if (first.size > UInt64(len - kHeaderSize)) {
    out->failed = true;
    out->unreadBytes = true;
    return;
  }
  pos = kHeaderSize + Int64(first.size);
  out->endOffset = pos;
  bool sawEnd = false;

  for (;;) {
    if (pos == len)
      break; // the file stops at a chunk boundary without an end marker
    if (len - pos < kHeaderSize) {
      out->tornTail = true;
      break;
    }
    p = src->Peek(pos, kHeaderSize);
    if (!p) {
      out->failed = true;
      break;
    }
    const ChunkHeader h = DecodeHeader(p);
    if (h.id == 0 || h.size > UInt64(kMaxChunkSize)) {
      out->failed = true;
      break;
    }
    const Int64 start = pos;
    const Int64 size = Int64(h.size);
    if (size > len - start - kHeaderSize) {
      // A chunk that runs past the end of the file: a write that was cut short, when it is one
      // this format writes; anything else is damage.
      if (IsWriterCode(h.id))
        out->tornTail = true;
      else
        out->failed = true;
      break;
    }
    const Int64 next = start + kHeaderSize + size;
    const Int64 body = start + kHeaderSize;
    if (h.id == kEnd) {
      out->endOffset = start;
      sawEnd = true;
      pos = next;
      break;
    }
    pos = next;
    switch (h.id) {
      case kItem: {
        Int32 tag = Int32(h.tag);
        if (tag < 0)
          break;
        BaseContainer rec;
        if (!ReadImage(src, body, size, &rec)) {
          out->failed = true;
          break;
        }
        Int32 id = tag > 0 ? tag : rec.GetId();
        if (id < 1)
          break;
        StoreItem(out, id, std::move(rec), start, kHeaderSize + size);
        out->endOffset = pos;
        break;
      }
      case kInfo: {
        BaseContainer info;
        out->infoOffsets.push_back(start);
        ++out->infoCount;
        if (!ReadImage(src, body, size, &info)) {
          out->failed = true;
          break;
        }
        out->version = info.GetInt32(0, kCurrentVersion);
        out->name = info.GetString(3);
        out->readOnly = info.GetInt32(5, 0) != 0;
        if (const BaseContainer* dn = info.GetContainerInstance(4))
          out->displayNames = *dn;
        break;
      }
      case kCatalog: {
        BaseContainer cat;
        out->catalogOffsets.push_back(start);
        out->hasCatalog = true;
        if (!ReadImage(src, body, size, &cat)) {
          out->failed = true;
          break;
        }
        out->catalogString = cat.GetString(1);
        if (const BaseContainer* dn = cat.GetContainerInstance(2))
          out->displayNames = *dn;
        break;
      }
      case kDead: out->deadBytes += kHeaderSize + size; break;
      case kLegacyArray:
        out->legacyOffsets.push_back(start);
        ReadLegacyArray(src, body, size, out);
        out->endOffset = pos;
        break;
      default: out->endOffset = pos; break;
    }
    // Every complete chunk, also info, catalog and dead ones, lies before the next append.
    if (!sawEnd)
      out->endOffset = pos;
  }
  out->scanned = pos;

  // A file that ends with an intact end marker which the pass never reached was damaged in the
  // middle, not cut short by a crash.
  if (out->tornTail && !sawEnd && len >= 2 * kHeaderSize) {
    const UChar* t = src->Peek(len - kHeaderSize, kHeaderSize);
    if (t) {
      ChunkHeader th = DecodeHeader(t);
      if (th.id == kEnd && th.tag == 0 && th.size == 0 && len - kHeaderSize > pos)
        out->failed = true;
    }
  }
  if (out->failed)
    out->unreadBytes = true;
}

} // namespace dbchunk
