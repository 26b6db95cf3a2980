#include "presets/browserdatabasechunk.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>
#include <vector>

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

Bool TryResize(ByteArray* b, std::size_t n)
{
  try {
    b->resize(n);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
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
  if (!TryResize(&buf, std::size_t(h->size)) || !f->ReadExact(buf.data(), Int64(h->size)))
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
  if (!TryResize(&buf, std::size_t(size)) || !f->ReadExact(buf.data(), size))
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
  constexpr Int64 kMinBlock = 512, kMaxBlock = 1024 * 1024;
  // Sequential use earns a bigger window; a jump starts small again, since jumps mostly go over
  // data and previews to the next header, and copying what lies between costs more than a read.
  if (pos <= bufPos_ + bufLen_ && pos >= bufPos_)
    block_ = std::min(std::max(block_, Int64(16 * 1024)) * 2, kMaxBlock);
  else
    block_ = kMinBlock;
  Int64 want = std::min(std::max(block_, n), length_ - pos);
  if (Int64(buf_.size()) < want)
    buf_.resize(std::size_t(want));
  if (f_->ReadAt(pos, buf_.data(), want) != want) {
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

// True when a whole chunk of a kind this format writes starts anywhere in [from, len): what a cut
// write leaves has no such chunk behind the cut, a damaged size does. Unreadable bytes count as one.
bool ChunkFollows(ChunkSource* src, Int64 from, Int64 len)
{
  constexpr Int64 kStep = 64 * 1024;
  for (Int64 at = from; at + kHeaderSize <= len;) {
    const Int64 n = std::min(kStep + kHeaderSize - 1, len - at);
    const UChar* p = src->Peek(at, n);
    if (!p)
      return true;
    for (Int64 i = 0; i + kHeaderSize <= n; ++i) {
      const ChunkHeader h = DecodeHeader(p + i);
      if (!IsWriterCode(h.id) && h.id != kHead)
        continue;
      if (h.size > UInt64(len - (at + i) - kHeaderSize))
        continue;
      if ((h.id == kEnd || h.id == kHead) && (h.tag != 0 || h.size != 0))
        continue;
      return true;
    }
    at += n - kHeaderSize + 1;
  }
  return false;
}

// The item path of a record as read, undecoded or not.
String RecordPath(const LibraryImage& img, const BaseContainer& rec)
{
  String path;
  if (const GeData* kept = rec.GetData(dbitem::kLazy)) {
    Int32 hash;
    KeptImageKeys(img.images, kept->GetInt64(), &path, &hash);
    return path;
  }
  if (const BaseContainer* addr = rec.GetContainerInstance(dbitem::kAddress))
    path = addr->GetString(dbitem::kAddrPath);
  return path;
}

// Stores a record read from the file. A later record of the same item replaces the earlier one,
// whose chunk is then stale (a save that stopped before marking it dead). A record of another
// item under a taken id is damage (a flipped tag, say): neither may replace the other.
void StoreItem(LibraryImage* out, Int32 id, BaseContainer&& rec, Int64 chunkStart, Int64 chunkBytes)
{
  rec.SetId(id);
  rec.SetInt64(dbitem::kChunkOffset, chunkStart);
  rec.RemoveData(dbitem::kChanged);
  BaseContainer* old = out->items.GetContainerInstance(id);
  if (old && !(RecordPath(*out, *old) == RecordPath(*out, rec))) {
    out->damaged = true;
    out->displaced.push_back(std::move(rec));
    return;
  }
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

// A cursor over a container image that checks what the container reader checks.
struct ImageCursor
{
  const UChar* in;
  Int64 size;
  Int64 pos = 0;
  bool Skip(Int64 n)
  {
    if (n < 0 || n > size - pos)
      return false;
    pos += n;
    return true;
  }
  bool U8(UChar* v)
  {
    if (size - pos < 1)
      return false;
    *v = in[pos++];
    return true;
  }
  bool U32(UInt32* v)
  {
    if (size - pos < 4)
      return false;
    *v = Load32(in + pos);
    pos += 4;
    return true;
  }
};

constexpr UChar kTagNil = UChar(DataType::Nil), kTagInt32 = UChar(DataType::Int32),
                kTagInt64 = UChar(DataType::Int64), kTagFloat = UChar(DataType::Float),
                kTagBool = UChar(DataType::Bool), kTagString = UChar(DataType::String),
                kTagFilename = UChar(DataType::Filename), kTagContainer = UChar(DataType::Container),
                kTagBytes = UChar(DataType::Bytes);

bool SkipBody(ImageCursor& c, Int32 level);

bool SkipValue(ImageCursor& c, Int32 level, UChar tag)
{
  switch (tag) {
    case kTagNil: return true;
    case kTagInt32: return c.Skip(4);
    case kTagInt64:
    case kTagFloat: return c.Skip(8);
    case kTagBool: {
      UChar b;
      return c.U8(&b) && b <= 1;
    }
    case kTagString:
    case kTagFilename: {
      UInt32 n;
      return c.U32(&n) && c.Skip(Int64(n) * 2);
    }
    case kTagBytes: {
      UInt32 hi, lo;
      if (!c.U32(&hi) || !c.U32(&lo))
        return false;
      const UInt64 n = (UInt64(hi) << 32) | lo;
      return n <= UInt64(INT64_MAX) && c.Skip(Int64(n));
    }
    case kTagContainer: return SkipBody(c, level);
    default: return false;
  }
}

// The id, the count and the entries of a container at nesting level `level` (the record is 0).
bool ReadBodyHead(ImageCursor& c, Int32 level, UInt32* id, UInt32* count)
{
  if (level >= HyperFile::kMaxDepth || !c.U32(id) || !c.U32(count))
    return false;
  return Int64(*count) * 5 <= c.size - c.pos;
}

bool SkipBody(ImageCursor& c, Int32 level)
{
  UInt32 id, count;
  if (!ReadBodyHead(c, level, &id, &count))
    return false;
  for (UInt32 i = 0; i < count; ++i) {
    UInt32 eid;
    UChar tag;
    if (!c.U32(&eid) || !c.U8(&tag) || !SkipValue(c, level + 1, tag))
      return false;
  }
  return true;
}

bool ReadImage(ChunkSource* src, Int64 pos, Int64 size, BaseContainer* out)
{
  const UChar* p = src->Peek(pos, size);
  return p && HyperFile::ImageToContainer(p, size, kImageIdent, out);
}

// A record of the plain shape becomes a stub that keeps its image for later; false when it has to
// be decoded now.
bool KeepImage(ChunkSource* src, Int64 pos, Int64 size, LibraryImage* out, BaseContainer* stub)
{
  const UChar* p = src->Peek(pos, size);
  RecordKeys keys;
  if (!p || size > Int64(UINT32_MAX) || !ScanRecordImage(p, size, &keys))
    return false;
  const Int64 at = out->images.Add(p, UInt32(size), keys);
  stub->FlushAll();
  stub->SetId(keys.id);
  // Room for the chunk offset and the owner as well: nothing else is added before decoding.
  stub->Reserve(3);
  stub->SetInt64(dbitem::kLazy, at);
  ++out->lazyCount;
  return true;
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

Bool ScanRecordImage(const UChar* p, Int64 size, RecordKeys* out)
{
  ImageCursor c{p, size};
  UInt32 magic, ident, id, count;
  UChar tag;
  if (!c.U32(&magic) || !c.U32(&ident) || magic != HyperFile::kMagic || ident != kImageIdent || !c.U8(&tag) ||
      tag != kTagContainer || !ReadBodyHead(c, 0, &id, &count))
    return false;
  bool address = false, path = false, hash = false;
  for (UInt32 i = 0; i < count; ++i) {
    UInt32 eid;
    if (!c.U32(&eid) || !c.U8(&tag))
      return false;
    const Int32 e = Int32(eid);
    if (e == dbitem::kOwner || e == dbitem::kChanged || e == dbitem::kChunkOffset || e == dbitem::kLazy)
      return false;
    if (e != dbitem::kAddress) {
      if (!SkipValue(c, 1, tag))
        return false;
      continue;
    }
    if (address || tag != kTagContainer)
      return false;
    address = true;
    UInt32 aid, acount;
    if (!ReadBodyHead(c, 1, &aid, &acount))
      return false;
    for (UInt32 k = 0; k < acount; ++k) {
      UInt32 sub;
      UChar st;
      if (!c.U32(&sub) || !c.U8(&st))
        return false;
      if (Int32(sub) == dbitem::kAddrPath) {
        UInt32 n;
        if (path || st != kTagString || !c.U32(&n))
          return false;
        out->path = c.in + c.pos;
        out->pathUnits = n;
        if (!c.Skip(Int64(n) * 2))
          return false;
        path = true;
      } else if (Int32(sub) == dbitem::kAddrHash) {
        UInt32 h;
        if (hash || st != kTagInt32 || !c.U32(&h))
          return false;
        out->hash = Int32(h);
        hash = true;
      } else if (!SkipValue(c, 2, st)) {
        return false;
      }
    }
  }
  out->id = Int32(id);
  return address && path && hash;
}

Int64 KeptImages::Add(const UChar* p, UInt32 size, const RecordKeys& keys)
{
  constexpr std::size_t kBlock = std::size_t(1) << 20;
  const std::size_t need = kPrefix + std::size_t(size);
  if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < need) {
    blocks_.emplace_back();
    blocks_.back().reserve(std::max(kBlock, need));
  }
  ByteArray& b = blocks_.back();
  const std::size_t off = b.size();
  b.resize(off + need);
  // What the index needs rides in front, so that indexing does not scan the image again.
  const UInt32 head[4] = {size, UInt32(keys.path - p), keys.pathUnits, UInt32(keys.hash)};
  std::memcpy(b.data() + off, head, kPrefix);
  std::memcpy(b.data() + off + kPrefix, p, size);
  return (Int64(blocks_.size() - 1) << 32) | Int64(off);
}

Bool KeptImages::Get(Int64 at, const UChar** p, Int64* size, RecordKeys* keys) const
{
  const UInt64 block = UInt64(at) >> 32, off = UInt64(at) & 0xffffffffu;
  if (at < 0 || block >= blocks_.size() || off + kPrefix > blocks_[block].size())
    return false;
  const ByteArray& b = blocks_[block];
  UInt32 head[4];
  std::memcpy(head, b.data() + off, kPrefix);
  if (head[0] > b.size() - off - kPrefix || head[1] > head[0] || UInt64(head[2]) * 2 > head[0] - head[1])
    return false;
  *p = b.data() + off + kPrefix;
  *size = Int64(head[0]);
  if (keys) {
    keys->path = *p + head[1];
    keys->pathUnits = head[2];
    keys->hash = Int32(head[3]);
  }
  return true;
}

Bool KeptImageKeys(const KeptImages& images, Int64 at, String* path, Int32* hash)
{
  const UChar* p;
  Int64 n;
  RecordKeys keys;
  if (!images.Get(at, &p, &n, &keys))
    return false;
  Utf16Char small[512];
  std::vector<Utf16Char> large;
  Utf16Char* units = small;
  if (keys.pathUnits > std::size(small)) {
    large.resize(keys.pathUnits);
    units = large.data();
  }
  for (UInt32 i = 0; i < keys.pathUnits; ++i)
    units[i] = Utf16Char((UInt32(keys.path[2 * i]) << 8) | keys.path[2 * i + 1]);
  *path = String(units, Int32(keys.pathUnits));
  *hash = keys.hash;
  return true;
}

Bool DecodeKeptImage(const KeptImages& images, Int64 at, BaseContainer* out)
{
  const UChar* p;
  Int64 n;
  return images.Get(at, &p, &n, nullptr) && HyperFile::ImageToContainer(p, n, kImageIdent, out);
}

void ReadLibrary(ChunkSource* src, LibraryImage* out, Bool keepImages)
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
  if (first.tag != 0)
    out->damaged = true;
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
      // A chunk that runs past the end of the file: a write that was cut short only when it is
      // one this format writes and nothing whole follows; a damaged size has chunks behind it.
      if (IsWriterCode(h.id) && !ChunkFollows(src, start + 1, len))
        out->tornTail = true;
      else
        out->failed = true;
      break;
    }
    const Int64 next = start + kHeaderSize + size;
    const Int64 body = start + kHeaderSize;
    const Int32 tag = Int32(h.tag);
    // Only item, data and image chunks carry a tag, and only item ids.
    if (h.id != kItem && h.id != kData && h.id != kImage && h.id != kDead && tag != 0)
      out->damaged = true;
    if (h.id == kEnd) {
      if (size != 0)
        out->damaged = true;
      out->endOffset = start;
      sawEnd = true;
      pos = next;
      break;
    }
    pos = next;
    switch (h.id) {
      case kItem: {
        // A record the reader skips is one the next compaction would drop: the Part's skips
        // (negative tag, no usable id) are damage, as is a tag that disagrees with the record.
        if (tag < 0) {
          out->damaged = true;
          break;
        }
        BaseContainer rec;
        if (!(keepImages && KeepImage(src, body, size, out, &rec)) && !ReadImage(src, body, size, &rec)) {
          out->failed = true;
          break;
        }
        const Int32 own = rec.GetId();
        const Int32 id = tag > 0 ? tag : own;
        if (id < 1) {
          out->damaged = true;
          break;
        }
        if (own != id)
          out->damaged = true;
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
      case kData:
      case kImage:
        if (tag < 0)
          out->damaged = true;
        out->endOffset = pos;
        break;
      default:
        // No save writes it: a damaged code, maybe of a live chunk. Kept, and the file is not
        // written, so that nothing drops it.
        out->damaged = true;
        out->endOffset = pos;
        break;
    }
    // Every complete chunk, also info, catalog and dead ones, lies before the next append.
    if (!sawEnd)
      out->endOffset = pos;
  }
  out->scanned = pos;

  // Records that met a taken id get ids of their own, so that both stay readable.
  for (BaseContainer& rec : out->displaced) {
    const Int32 id = ++out->maxItemId;
    rec.SetId(id);
    out->items.SetContainer(id, std::move(rec));
    ++out->itemCount;
  }
  out->displaced.clear();
  if (out->failed || out->damaged)
    out->unreadBytes = true;
}

} // namespace dbchunk
