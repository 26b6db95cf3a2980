// Load, save, compaction and the data and preview chunks of a library.
//
// Crash safety: new chunks are written and synced before any old chunk is marked dead, so a file
// cut anywhere holds, for every item, either its old or its new record. A file that could not be
// read whole, or is not a library at all, is never written.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <shared_mutex>

#include "orx/files.h"
#include "orx/hyperfile.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabasechunk.h"
#include "presets/browserhashnode.h"

using namespace dbchunk;

namespace {

Bool ToImage(const BaseContainer& bc, ByteArray* out) { return HyperFile::ContainerToImage(bc, kImageIdent, out); }

constexpr Int32 kMemoryOnly[] = {dbitem::kOwner, dbitem::kChanged, dbitem::kChunkOffset};

// The image of a record as it goes to disk, written straight from the record.
Bool ToDiskImage(const BaseContainer& rec, ByteArray* out)
{
  // A record that was never decoded holds only its address: writing it would lose the rest.
  if (rec.Has(dbitem::kLazy))
    return false;
  return HyperFile::ContainerToImage(rec, kImageIdent, out, kMemoryOnly, Int32(std::size(kMemoryOnly)));
}

// A record as it goes to disk: without the entries that only mean something in memory.
BaseContainer DiskCopy(const BaseContainer& rec)
{
  BaseContainer c = rec;
  c.RemoveData(dbitem::kOwner);
  c.RemoveData(dbitem::kChanged);
  c.RemoveData(dbitem::kChunkOffset);
  return c;
}

bool IsLiveCode(UInt32 id)
{
  return id == kInfo || id == kCatalog || id == kItem || id == kData || id == kImage || id == kLegacyArray;
}

// Marks the chunk at off dead after checking that a live chunk is there; adds its bytes to dead.
// False when a read or a write failed: the mark is then tried again at the next save.
Bool MarkDeadChecked(BaseFile* f, Int64 off, Int64 fileLength, Int64* dead)
{
  ChunkHeader h;
  if (off <= 0 || off + kHeaderSize > fileLength)
    return true; // nothing there that we could mark
  if (!f->Seek(off) || !ReadChunkHeader(f, &h))
    return false; // the header is there, so this was a read error, not an absent chunk
  if (!IsLiveCode(h.id))
    return true;
  if (!MarkChunkDeadAt(f, off))
    return false;
  *dead += kHeaderSize + Int64(h.size);
  return true;
}

Bool ReadWholeFile(const Filename& name, ByteArray* out)
{
  BaseFile f;
  if (!f.Open(name, FileMode::Read))
    return false;
  Int64 len = f.GetLength();
  if (len < 0)
    return false;
  ByteArray b;
  if (!TryResize(&b, std::size_t(len)))
    return false;
  if (len > 0 && !f.ReadExact(b.data(), len))
    return false;
  *out = std::move(b);
  return true;
}

Bool WriteWholeFile(const Filename& name, const void* data, Int64 size)
{
  // Written beside and renamed over, so that a crash never leaves half a file under the name.
  Filename tmp = name.GetString() + ".tmp";
  BaseFile f;
  if (!f.Open(tmp, FileMode::Write) || !f.WriteBytes(data, size) || !f.Sync() || !f.Close()) {
    f.Close();
    GeDelete(tmp);
    return false;
  }
  return GeRename(tmp, name);
}

// The compressed form carries the original length in a 32-bit word: no stored data is longer.
constexpr Int64 kMaxOriginalLength = Int64(0xFFFFFFFFu);

// Compares a copied chunk with what was read back; never stored. Four independent lanes of 64-bit
// words keep the multiplies overlapping: a byte-wise sum made compaction four times a plain copy.
// Each step is a bijection of its word, so a word that differs always changes the sum.
UInt64 PayloadSum(const UChar* p, Int64 n)
{
  constexpr UInt64 kMul = 0x9E3779B97F4A7C15ull;
  UInt64 lane[4] = {UInt64(n), kMul, ~UInt64(n), 0x94D049BB133111EBull};
  Int64 i = 0;
  for (; i + 32 <= n; i += 32) {
    for (int k = 0; k < 4; ++k) {
      UInt64 w;
      std::memcpy(&w, p + i + 8 * k, 8);
      lane[k] = (lane[k] ^ w) * kMul;
      lane[k] ^= lane[k] >> 29;
    }
  }
  auto rotl = [](UInt64 v, int r) { return (v << r) | (v >> (64 - r)); };
  UInt64 h = lane[0] ^ rotl(lane[1], 17) ^ rotl(lane[2], 31) ^ rotl(lane[3], 47);
  for (; i < n; ++i)
    h = (h ^ p[i]) * 1099511628211ull;
  return h ^ (h >> 32);
}

// A data or preview chunk as compaction wrote it.
struct CopiedChunk
{
  Int64 at;
  UInt32 id;
  UInt32 tag;
  UInt64 size;
  UInt64 sum;
};

// Reads a compacted file back: it must read as a whole library with the given number of records
// and hold every copied chunk with its bytes.
Bool CheckCompactedFile(const Filename& name, Int32 records, Bool catalog, const CopiedChunk* chunks, std::size_t n)
{
  BaseFile f;
  if (!f.Open(name, FileMode::Read))
    return false;
  FileChunkSource src(&f);
  LibraryImage img;
  ReadLibrary(&src, &img, true); // records checked by the validating parser, not decoded
  if (img.failed || img.damaged || img.tornTail || img.itemCount != records || img.infoCount != 1 ||
      Int32(img.catalogOffsets.size()) != (catalog ? 1 : 0) || img.deadBytes != 0)
    return false;
  for (std::size_t i = 0; i < n; ++i) {
    const CopiedChunk& c = chunks[i];
    const UChar* h = src.Peek(c.at, kHeaderSize);
    if (!h)
      return false;
    const ChunkHeader got = DecodeHeader(h);
    if (got.id != c.id || got.tag != c.tag || got.size != c.size)
      return false;
    const UChar* body = c.size > 0 ? src.Peek(c.at + kHeaderSize, Int64(c.size)) : h;
    if (!body || PayloadSum(body, Int64(c.size)) != c.sum)
      return false;
  }
  return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// file access

BaseFile* BrowserDatabase::GetFileAt(Int64 offset, Bool forWriting)
{
  // A destroyed library's file may be gone or belong to another library by now.
  if (forWriting && destroyed_)
    return nullptr;
  if (endOffset_ == 0) {
    // Nothing was ever written: a reader finds nothing, a writer makes the file.
    if (!forWriting || !CreateFileLocked())
      return nullptr;
  }
  if (!fileObj_) {
    fileObj_ = OrxNewObj(BaseFile);
    if (!fileObj_)
      return nullptr;
  }
  if (fileOpen_.fetch_add(1, std::memory_order_acq_rel) == 0 || !fileObj_->IsOpen()) {
    fileObj_->Close();
    fileWritable_ = forWriting;
    if (!fileObj_->Open(file_, forWriting ? FileMode::ReadWrite : FileMode::Read)) {
      ReleaseFile();
      return nullptr;
    }
  } else if (forWriting && !fileWritable_) {
    // Open for reading only so far; every user holds the library lock, so none is mid-read.
    fileObj_->Close();
    fileWritable_ = true;
    if (!fileObj_->Open(file_, FileMode::ReadWrite)) {
      ReleaseFile();
      return nullptr;
    }
  }
  if (!fileObj_->Seek(offset)) {
    ReleaseFile();
    return nullptr;
  }
  return fileObj_;
}

BaseFile* BrowserDatabase::GetFileForAppend()
{
  // Made first: a new file moves the end offset behind its head.
  if (endOffset_ == 0 && !CreateFileLocked())
    return nullptr;
  return GetFileAt(endOffset_, true);
}

void BrowserDatabase::ReleaseFile(Int64 newEndOffset)
{
  if (newEndOffset >= 0)
    endOffset_ = newEndOffset;
  if (fileOpen_.fetch_sub(1, std::memory_order_acq_rel) == 1 && fileObj_) {
    fileObj_->Close();
    OrxDeleteObj(fileObj_);
  }
}

Bool BrowserDatabase::CreateFileLocked()
{
  if (noWrite_.load() || slot_.load() < 0 || fileOpen_.load() > 0)
    return false;
  // Never replace bytes that exist: only a missing or empty file is made anew.
  Int64 size = GeGetFileSize(file_);
  if (size > 0)
    return false;
  ByteArray b;
  AppendChunk(&b, kHead, 0, nullptr, 0);
  AppendChunk(&b, kEnd, 0, nullptr, 0);
  BaseFile f;
  if (!f.Open(file_, FileMode::Write) || !f.WriteBytes(b.data(), Int64(b.size())) || !f.Sync() || !f.Close())
    return false;
  GeSyncFolder(file_.GetDirectory());
  endOffset_ = kHeaderSize;
  infoOffsets_.clear();
  catalogOffsets_.clear();
  changed_ = infoChanged_ = true;
  return true;
}

Bool BrowserDatabase::AppendChunkLocked(UInt32 id, UInt32 tag, const void* payload, Int64 size, Int64* offset)
{
  if (size < 0 || size > kMaxChunkSize)
    return false;
  BaseFile* f = GetFileForAppend();
  if (!f)
    return false;
  const Int64 start = endOffset_;
  // The end marker follows at once, so that nothing behind this chunk is ever read as a chunk.
  ByteArray b;
  b.reserve(std::size_t(size + 2 * kHeaderSize));
  AppendChunk(&b, id, tag, payload, size);
  AppendChunk(&b, kEnd, 0, nullptr, 0);
  if (!f->WriteBytes(b.data(), Int64(b.size()))) {
    ReleaseFile();
    return false;
  }
  ReleaseFile(start + kHeaderSize + size);
  *offset = start;
  return true;
}

Bool BrowserDatabase::ReadChunkPayloadShared(Int64 offset, UInt32 expectId, ByteArray* out) const
{
  if (offset <= 0)
    return false;
  // A file of its own, opened for reading: the library's file object belongs to the writers.
  BaseFile f;
  if (!f.Open(file_, FileMode::Read) || !f.Seek(offset))
    return false;
  ChunkHeader h;
  return ReadChunk(&f, &h, out) && h.id == expectId;
}

// ---------------------------------------------------------------------------------------------
// data and previews

Bool BrowserDatabase::WriteDataLocked(BaseContainer* item, const void* stored, Int64 size, Int32 encoding,
                                      Int64 originalLength)
{
  const Int32 id = item->GetId();
  if (id < 1)
    return false;
  BaseContainer* ref = item->GetContainerInstance(dbitem::kData);
  const Int64 oldOff = ref ? ref->GetInt64(dbitem::kDataOffset, 0) : 0;
  Int64 off = 0;
  if (inner_) {
    if (!AppendChunkLocked(kData, UInt32(id), stored, size, &off))
      return false;
    // The old chunk dies only after the record that no longer names it is on disk.
    if (oldOff > 0)
      pendingDead_.push_back(oldOff);
  } else if (!WriteWholeFile(DataFile(id), stored, size)) {
    return false;
  }
  if (!ref)
    ref = item->SetContainer(dbitem::kData, BaseContainer());
  ref->SetInt64(dbitem::kDataOffset, inner_ ? off : 0);
  ref->SetInt32(dbitem::kDataEncoding, encoding);
  ref->SetInt64(dbitem::kDataLength, originalLength);
  MarkChangedLocked(item);
  return true;
}

Bool BrowserDatabase::ReadDataLocked(const BaseContainer* item, ByteArray* out)
{
  const BaseContainer* ref = item->GetContainerInstance(dbitem::kData);
  if (!ref)
    return false;
  const Int64 len = ref->GetInt64(dbitem::kDataLength, 0);
  const Int32 enc = ref->GetInt32(dbitem::kDataEncoding, 0);
  ByteArray bytes;
  if (inner_) {
    if (!ReadChunkPayloadShared(ref->GetInt64(dbitem::kDataOffset, 0), kData, &bytes))
      return false;
  } else {
    Int32 id = item->GetId();
    if (id < 1 || !ReadWholeFile(DataFile(id), &bytes))
      return false;
  }
  if (enc == dbitem::kEncodingStored) {
    *out = std::move(bytes);
    return true;
  }
  if (enc != dbitem::kEncodingCompressed && enc != dbitem::kEncodingOldCompressed)
    return false;
  // Everything that can be checked is checked before the expanded length is asked for: a ratio
  // would refuse real data (zeros shrink by far more than any fixed ratio), so the checks are the
  // length that the compressed bytes carry, which must agree with the record, and the format's
  // limit; the host's allocator then refuses what it cannot give.
  if (bytes.size() < 4 || len < 0 || len > kMaxOriginalLength)
    return false;
  if (enc == dbitem::kEncodingOldCompressed) {
    UInt32 be = BaseFile::ToFileOrder32(UInt32(len));
    std::memcpy(bytes.data(), &be, 4);
  }
  if (GeCompressedOriginalSize(bytes.data(), Int64(bytes.size())) != len)
    return false;
  // Expanded into a block that is not cleared first, so a length that the bytes do not fill costs
  // neither the time to clear it nor more than the pages the expansion touched.
  UChar* block = static_cast<UChar*>(OrxMemAlloc(len, __LINE__, __FILE__, false));
  if (!block)
    return false;
  ByteArray plain;
  const Bool ok = GeExpand(bytes.data(), Int64(bytes.size()), block, len) && TryResize(&plain, std::size_t(len));
  if (ok && len > 0)
    std::memcpy(plain.data(), block, std::size_t(len));
  OrxMemFree(block);
  if (!ok)
    return false;
  *out = std::move(plain);
  return true;
}

// ---------------------------------------------------------------------------------------------
// load

BaseContainer* BrowserDatabase::DecodedLocked(BaseContainer* rec)
{
  if (!rec || lazyLeft_.load(std::memory_order_relaxed) == 0)
    return rec;
  const GeData* at = rec->GetData(dbitem::kLazy);
  if (!at)
    return rec;
  BaseContainer full;
  const Int64 mark = at->GetInt64();
  if (dbitem::IsInFileMark(mark) ? !ReadRecordChunk(rec, &full) : !DecodeKeptImage(lazyImages_, mark, &full)) {
    // The reader checked a kept image at load, so only memory can have failed; a written-out
    // record was read back by nobody yet, so its file may have been damaged since. The stub keeps
    // its mark, which no save writes; nothing of this library is written any more.
    noWrite_.store(true);
    readOnly_.store(true);
    return rec;
  }
  AdoptDecodedLocked(rec, std::move(full));
  return rec;
}

void BrowserDatabase::AdoptDecodedLocked(BaseContainer* rec, BaseContainer&& full)
{
  // The same steps as for a record decoded by the reader and then indexed.
  full.SetInt64(dbitem::kChunkOffset, rec->GetInt64(dbitem::kChunkOffset, 0));
  full.RemoveData(dbitem::kChanged);
  full.RemoveData(dbitem::kLazy);
  if (void* owner = rec->GetPointer(dbitem::kOwner))
    full.SetPointer(dbitem::kOwner, owner);
  rec->TakeEntries(std::move(full));
  if (lazyLeft_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    lazyImages_.Clear();
}

Bool BrowserDatabase::ReadRecordChunk(const BaseContainer* stub, BaseContainer* out) const
{
  ByteArray bytes;
  BaseContainer rec;
  if (!ReadChunkPayloadShared(stub->GetInt64(dbitem::kChunkOffset, 0), kItem, &bytes) ||
      !HyperFile::ImageToContainer(bytes.data(), Int64(bytes.size()), kImageIdent, &rec) ||
      rec.GetId() != stub->GetId())
    return false;
  *out = std::move(rec);
  return true;
}

Bool BrowserDatabase::WriteOutLocked(BaseContainer* item)
{
  if (IsReadOnly() || noWrite_.load())
    return false;
  ByteArray img;
  Int32 id = 0;
  Int64 oldChunk = 0;
  {
    // Every change of a record holds lock_: the record stays as it is while its image is written.
    std::shared_lock<RWLock> r(records_);
    id = item->GetId();
    // Only what this writes is read back: an unchanged record may stand on a chunk of another
    // form (a legacy array, a damaged file).
    if (id < 1 || item->Has(dbitem::kLazy) || !item->GetBool(dbitem::kChanged))
      return false;
    oldChunk = item->GetInt64(dbitem::kChunkOffset, 0);
    if (!ToDiskImage(*item, &img))
      return false;
  }
  Int64 at = 0;
  if (!AppendChunkLocked(kItem, UInt32(id), img.data(), Int64(img.size()), &at))
    return false;
  std::lock_guard<RWLock> rw(records_);
  // As a save does, but the replaced chunk dies only after the next save's sync.
  if (oldChunk > 0)
    pendingDead_.push_back(oldChunk);
  if (dirty_.size() >= dirtyTrimAt_)
    TrimDirtyLocked();
  if (unindexed_) {
    // Only the writer's handle can hold it: nobody finds it by path.
    items_.RemoveData(id);
    ++forgotten_;
    return true;
  }
  item->RemoveData(dbitem::kChanged);
  item->SetInt64(dbitem::kChunkOffset, at);
  const BaseContainer* addr = item->GetContainerInstance(dbitem::kAddress);
  const Int32 hash = addr ? addr->GetInt32(dbitem::kAddrHash) : 0;
  BrowserHashNode* node = addr ? hashindex::FindNode(UInt32(hash)) : nullptr;
  if (node) {
    // Only the caller's handle may hold it: others may be reading it through theirs.
    std::lock_guard<RWLock> n(node->GetLock());
    if (hashindex::GetOpenCountLocked(node, item) == 1) {
      BaseContainer stub(id);
      stub.Reserve(3);
      stub.SetPointer(dbitem::kOwner, this);
      stub.SetInt64(dbitem::kChunkOffset, at);
      stub.SetInt64(dbitem::kLazy, dbitem::InFileMark(hash));
      item->TakeEntries(std::move(stub));
      lazyLeft_.fetch_add(1, std::memory_order_acq_rel);
    }
  }
  return true;
}

void BrowserDatabase::TrimDirtyLocked()
{
  std::sort(dirty_.begin(), dirty_.end());
  dirty_.erase(std::unique(dirty_.begin(), dirty_.end()), dirty_.end());
  // Deleted records keep their keys; so do changed ones.
  dirty_.erase(std::remove_if(dirty_.begin(), dirty_.end(),
                              [&](Int32 key) {
                                const BaseContainer* rec = items_.GetContainerInstance(key);
                                return !rec || (rec->GetId() >= 1 && !rec->GetBool(dbitem::kChanged));
                              }),
               dirty_.end());
  dirtyTrimAt_ = std::max<std::size_t>(4096, 2 * dirty_.size());
}

void BrowserDatabase::DecodeAllLocked()
{
  if (lazyLeft_.load(std::memory_order_relaxed) == 0)
    return;
  for (const BaseContainer::Entry& e : items_)
    DecodedLocked(items_.Mutable(e).GetContainer());
}

Bool BrowserDatabase::Load()
{
  std::lock_guard<Lock> g(lock_);
  // Nobody reads records while they are replaced.
  std::lock_guard<RWLock> rw(records_);
  LibraryImage img;
  {
    BaseFile f;
    if (!f.Open(file_, FileMode::Read))
      return false;
    FileChunkSource src(&f);
    ReadLibrary(&src, &img, true);
  }
  if (items_.GetCount() > 0) {
    hashindex::RemoveLibrary(this);
    items_.FlushAll();
  }
  items_ = std::move(img.items);
  dirty_.clear();
  NoteRecordsChanged();
  lazyImages_ = std::move(img.images);
  {
    Int32 lazy = 0;
    if (img.lazyCount > 0)
      for (const BaseContainer::Entry& e : items_)
        if (const BaseContainer* rec = e.data.GetContainer(); rec && rec->Has(dbitem::kLazy))
          ++lazy;
    lazyLeft_.store(lazy, std::memory_order_release);
  }
  // Old versions are upgraded record by record, and damaged or legacy files are rare: all of
  // those are decoded now.
  if (img.version < kCurrentVersion || img.failed || img.unreadBytes || img.notLibrary || !img.legacyIds.empty() ||
      !img.legacyOffsets.empty())
    DecodeAllLocked();
  if (lazyLeft_.load(std::memory_order_relaxed) == 0)
    lazyImages_.Clear();
  itemCount_ = img.itemCount;
  nextId_ = img.maxItemId + 1;
  endOffset_ = img.endOffset;
  deadBytes_ = img.deadBytes;
  version_ = img.version;
  displayNames_ = img.displayNames;
  readOnly_.store(img.readOnly || locked_.load());
  hasCatalog_ = img.hasCatalog;
  catalogString_ = img.catalogString;
  infoOffsets_.assign(img.infoOffsets.begin(), img.infoOffsets.end());
  catalogOffsets_.assign(img.catalogOffsets.begin(), img.catalogOffsets.end());
  legacyOffsets_.assign(img.legacyOffsets.begin(), img.legacyOffsets.end());
  pendingDead_.assign(img.staleChunks.begin(), img.staleChunks.end());
  rewriteAll_ = !legacyOffsets_.empty();
  changed_ = infoChanged_ = catalogChanged_ = false;

  if (img.empty) {
    // Nothing was ever written: the next save makes the file.
    endOffset_ = 0;
    infoChanged_ = true;
  } else if (img.notLibrary || img.unreadBytes) {
    // Whatever these bytes are, they are the user's: read what we can, write nothing.
    noWrite_.store(true);
    readOnly_.store(true);
    infoDamaged_.store(true);
    GePrint(String("CB: ") + file_.GetString() +
            (img.notLibrary ? String(" is not a preset library; it is left untouched")
                            : String(" is damaged; it is opened read-only")));
  } else if (img.infoCount != 1) {
    // Two info chunks are what a save cut short leaves; the next save writes one.
    infoDamaged_.store(true);
    infoChanged_ = true;
  }

  // Old files without a library name held item paths of other libraries in their arrays.
  if (version_ < 4 && !img.legacyIds.empty() && img.name.IsEmpty()) {
    for (Int32 id : img.legacyIds) {
      const BaseContainer* rec = items_.GetContainerInstance(id);
      const BaseContainer* addr = rec ? rec->GetContainerInstance(dbitem::kAddress) : nullptr;
      if (addr && addr->GetString(dbitem::kAddrPath).StartsWith("preset:/")) {
        items_.RemoveData(id);
        --itemCount_;
      }
    }
  }

  ResolveDuplicateNameLocked(img.name);
  BuildIndexLocked();

  UpgradeLocked();
  // Loading, listing and reading never write: what loading found to bring up to date (old
  // versions, hashes, the info record) waits for the next save of an edit.
  changed_ = false;
  // More dead bytes than live ones: ask for compaction.
  wantsCompaction_ = img.deadBytes > img.scanned - img.deadBytes;
  return true;
}

// A record that waits to be decoded is indexed from the path and hash in its image.
void BrowserDatabase::BuildIndexLocked()
{
  const Bool ro = IsReadOnly();
  std::vector<UInt32> keys;
  std::vector<BrowserHashNode*> nodes;
  auto knownNode = [&](Int32 hash) -> BrowserHashNode* {
    auto it = std::lower_bound(keys.begin(), keys.end(), UInt32(hash));
    return it != keys.end() && *it == UInt32(hash) ? nodes[std::size_t(it - keys.begin())] : nullptr;
  };
  if (version_ >= kCurrentVersion) {
    // The nodes first, medians before the halves around them: hashes in file order are random,
    // which makes a tree deep enough that every level of every walk misses the cache. The items
    // then enter their nodes in the order of the library as usual.
    keys.reserve(std::size_t(items_.GetCount()));
    for (const BaseContainer::Entry& e : items_) {
      const BaseContainer* rec = e.data.GetContainer();
      if (!rec || e.id < 1 || rec->GetId() < 1)
        continue;
      if (const GeData* kept = rec->GetData(dbitem::kLazy)) {
        const UChar* p;
        Int64 n;
        RecordKeys k;
        if (lazyImages_.Get(kept->GetInt64(), &p, &n, &k))
          keys.push_back(UInt32(k.hash));
      } else if (const BaseContainer* addr = rec->GetContainerInstance(dbitem::kAddress);
                 addr && addr->Has(dbitem::kAddrHash)) {
        keys.push_back(UInt32(addr->GetInt32(dbitem::kAddrHash)));
      }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    nodes.assign(keys.size(), nullptr);
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    ranges.reserve(keys.size() + 1);
    ranges.push_back({0, keys.size()});
    for (std::size_t at = 0; at < ranges.size(); ++at) {
      const auto [lo, hi] = ranges[at];
      if (lo >= hi)
        continue;
      const std::size_t mid = lo + (hi - lo) / 2;
      nodes[mid] = hashindex::EnsureNode(keys[mid]);
      if (mid > lo)
        ranges.push_back({lo, mid});
      if (hi > mid + 1)
        ranges.push_back({mid + 1, hi});
    }
  }
  for (const BaseContainer::Entry& e : items_) {
    BaseContainer* rec = items_.Mutable(e).GetContainer();
    if (!rec || e.id < 1 || rec->GetId() < 1)
      continue;
    rec->SetPointer(dbitem::kOwner, this);
    if (const GeData* kept = rec->GetData(dbitem::kLazy)) {
      String path;
      Int32 hash;
      if (KeptImageKeys(lazyImages_, kept->GetInt64(), &path, &hash)) {
        hashindex::IndexLoadedItem(rec, this, std::move(path), UInt32(hash), ro, caseFlag_, knownNode(hash));
        continue;
      }
      DecodedLocked(rec);
    }
    BaseContainer* addr = rec->GetContainerInstance(dbitem::kAddress);
    if (!addr)
      addr = rec->SetContainer(dbitem::kAddress, BaseContainer());
    const String* pathPtr = nullptr;
    if (const GeData* d = addr->GetData(dbitem::kAddrPath))
      pathPtr = d->GetStringPtr();
    static const String kNoPath;
    if (version_ < 7 || !addr->Has(dbitem::kAddrHash)) {
      const String path = pathPtr ? *pathPtr : kNoPath; // the address changes below
      const Int32 hash = hashindex::PathHash(path);
      addr->SetInt32(dbitem::kAddrHash, hash);
      MarkChangedLocked(rec);
      hashindex::IndexLoadedItem(rec, this, path, UInt32(hash), ro, caseFlag_);
    } else {
      const Int32 hash = addr->GetInt32(dbitem::kAddrHash);
      hashindex::IndexLoadedItem(rec, this, pathPtr ? *pathPtr : kNoPath, UInt32(hash), ro, caseFlag_,
                                 knownNode(hash));
    }
  }
}

void BrowserDatabase::UpgradeLocked()
{
  if (version_ >= kCurrentVersion)
    return;
  DecodeAllLocked(); // done at load already; old records are never left undecoded
  // These files left the tag words of data and image chunks empty; they are set by the next save,
  // since loading never writes.
  patchTags_ = version_ < 3 && inner_ && endOffset_ > 0;
  for (const BaseContainer::Entry& e : items_) {
    BaseContainer* rec = items_.Mutable(e).GetContainer();
    if (!rec || rec->GetId() < 1)
      continue;
    if (version_ < 5) {
      BaseContainer* addr = rec->GetContainerInstance(dbitem::kAddress);
      if (addr && addr->GetContainerInstance(dbitem::kAddrOldImages)) {
        BaseContainer imgs = addr->GetContainer(dbitem::kAddrOldImages);
        addr->RemoveData(dbitem::kAddrOldImages);
        rec->SetContainer(dbitem::kImages, std::move(imgs));
      }
    }
    MarkChangedLocked(rec);
  }
  changed_ = infoChanged_ = true; // the info record carries the version
  version_ = kCurrentVersion;
}

Bool BrowserDatabase::PatchOldTagsLocked()
{
  BaseFile* f = GetFileAt(0, true);
  if (!f)
    return false;
  Bool ok = true;
  auto patch = [&](Int64 off, UInt32 expect, Int32 id) {
    ChunkHeader h;
    if (ok && off > 0 && f->Seek(off) && ReadChunkHeader(f, &h) && h.id == expect && h.tag != UInt32(id))
      ok = f->Seek(off + 4) && f->WriteUInt32(UInt32(id));
  };
  for (const BaseContainer::Entry& e : items_) {
    const BaseContainer* rec = DecodedLocked(items_.Mutable(e).GetContainer());
    if (!rec || rec->GetId() < 1)
      continue;
    if (const BaseContainer* d = rec->GetContainerInstance(dbitem::kData))
      patch(d->GetInt64(dbitem::kDataOffset, 0), kData, rec->GetId());
    if (const BaseContainer* imgs = rec->GetContainerInstance(dbitem::kImages))
      for (const BaseContainer::Entry& ie : *imgs)
        if (const BaseContainer* ir = ie.data.GetContainer())
          patch(ir->GetInt64(dbitem::kImgOffset, 0), kImage, rec->GetId());
  }
  ok = ok && f->Sync();
  ReleaseFile();
  if (ok)
    patchTags_ = false;
  return ok;
}

// ---------------------------------------------------------------------------------------------
// save

Bool BrowserDatabase::Save(Bool always, Bool allowCompaction, Bool evenIfReadOnly)
{
  std::lock_guard<Lock> g(lock_);
  return SaveLocked(always, allowCompaction, evenIfReadOnly);
}

Bool BrowserDatabase::SaveIfChanged()
{
  std::lock_guard<Lock> g(lock_);
  if (destroyed_)
    return false;
  if (!changed_ || IsReadOnly())
    return true;
  return SaveLocked(false, false, false);
}

Bool BrowserDatabase::SaveLocked(Bool always, Bool allowCompaction, Bool evenIfReadOnly)
{
  if (destroyed_)
    return false;
  if (noWrite_.load())
    return !evenIfReadOnly;
  if (IsReadOnly() && !evenIfReadOnly)
    return true;
  if (!always && !changed_)
    return true;
  if (endOffset_ == 0 && !CreateFileLocked())
    return false;

  // Records are read (and decoded) while the new chunks are built; no record lock is held across
  // a write or a sync.
  std::unique_lock<RWLock> rw(records_);
  const Int64 base = endOffset_;
  ByteArray buf;
  std::vector<Int64> toMark;
  Int64 newInfo = -1, newCatalog = -1;
  ByteArray img;

  const Bool writeInfo = infoChanged_ || infoOffsets_.size() != 1;
  if (writeInfo) {
    BaseContainer info;
    info.SetInt32(0, kCurrentVersion);
    info.SetString(3, name_);
    info.SetInt32(5, IsReadOnly() ? 1 : 0);
    info.SetContainer(4, displayNames_);
    if (!ToImage(info, &img))
      return false;
    newInfo = base + Int64(buf.size());
    AppendChunk(&buf, kInfo, 0, img.data(), Int64(img.size()));
    toMark.insert(toMark.end(), infoOffsets_.begin(), infoOffsets_.end());
  }
  const Bool writeCatalog = hasCatalog_ && (catalogChanged_ || catalogOffsets_.size() != 1);
  if (writeCatalog) {
    BaseContainer cat;
    cat.SetString(1, catalogString_);
    if (!ToImage(cat, &img))
      return false;
    newCatalog = base + Int64(buf.size());
    AppendChunk(&buf, kCatalog, 0, img.data(), Int64(img.size()));
    toMark.insert(toMark.end(), catalogOffsets_.begin(), catalogOffsets_.end());
  }

  struct Placed
  {
    BaseContainer* rec;
    Int64 offset;
  };
  std::vector<Placed> placed;
  std::vector<Int32> erase;
  std::vector<Int32> waiting; // deleted while open: looked at again by the next save
  // The records to look at, in the order of the items container (the order they are written in).
  std::vector<std::pair<Int32, Int32>> order; // position, key
  if (rewriteAll_) {
    order.reserve(std::size_t(items_.GetCount()));
    for (const BaseContainer::Entry& e : items_)
      order.push_back({Int32(order.size()), e.id});
  } else {
    order.reserve(dirty_.size());
    for (Int32 key : dirty_) {
      const Int32 at = items_.GetPosition(key);
      if (at >= 0)
        order.push_back({at, key});
    }
    std::sort(order.begin(), order.end());
    order.erase(std::unique(order.begin(), order.end()), order.end());
  }
  for (const auto& [at, key] : order) {
    (void)at;
    BaseContainer* rec = items_.GetContainerInstance(key);
    // A record not decoded is neither changed nor deleted: those are decoded first.
    if (!rec || (!rewriteAll_ && rec->Has(dbitem::kLazy)))
      continue;
    DecodedLocked(rec);
    const Int32 id = rec->GetId();
    if (id == -2) {
      waiting.push_back(key);
      continue; // still open somewhere: purged once its last handle closed
    }
    if (id == -1) {
      const Int64 oldChunk = rec->GetInt64(dbitem::kChunkOffset, 0);
      if (oldChunk > 0)
        toMark.push_back(oldChunk);
      erase.push_back(key);
      continue;
    }
    if (!rewriteAll_ && !rec->GetBool(dbitem::kChanged))
      continue;
    const Int64 oldChunk = rec->GetInt64(dbitem::kChunkOffset, 0);
    if (!ToDiskImage(*rec, &img))
      return false;
    placed.push_back({rec, base + Int64(buf.size())});
    AppendChunk(&buf, kItem, UInt32(id), img.data(), Int64(img.size()));
    if (oldChunk > 0)
      toMark.push_back(oldChunk);
  }
  const Int64 endMarker = base + Int64(buf.size());
  AppendChunk(&buf, kEnd, 0, nullptr, 0);
  toMark.insert(toMark.end(), legacyOffsets_.begin(), legacyOffsets_.end());

  // Patching walks the records, so it runs before the record lock is let go.
  if (patchTags_ && !PatchOldTagsLocked())
    return false;
  rw.unlock();
  BaseFile* f = GetFileAt(base, true);
  if (!f)
    return false;
  if (!f->WriteBytes(buf.data(), Int64(buf.size())) || !f->Sync()) {
    ReleaseFile();
    return false; // still marked changed: the next save writes from the same place
  }

  // The new records are on disk; only now may the old ones die.
  rw.lock();
  for (Int32 key : erase) {
    BaseContainer* rec = items_.GetContainerInstance(key);
    if (rec) {
      rec->SetId(key);
      RemoveItemStorageLocked(rec, key, true);
    }
  }
  rw.unlock();
  toMark.insert(toMark.end(), pendingDead_.begin(), pendingDead_.end());
  pendingDead_.clear();
  // A failed mark stops the marking: the rest are tried again at the next save, and this save
  // answers failure, so that nobody takes a delete as done that a reload would undo.
  Int64 dead = 0;
  Bool marking = true;
  const Int64 fileLength = f->GetLength();
  for (Int64 off : toMark)
    if (!marking || !(marking = MarkDeadChecked(f, off, fileLength, &dead)))
      pendingDead_.push_back(off);
  if (!f->Sync() && marking) {
    // Marks that were not synced may not be on disk: all of them again (marking twice is harmless).
    marking = false;
    pendingDead_.insert(pendingDead_.end(), toMark.begin(), toMark.end());
  }
  ReleaseFile();

  rw.lock();
  for (const Placed& p : placed) {
    p.rec->RemoveData(dbitem::kChanged);
    p.rec->SetInt64(dbitem::kChunkOffset, p.offset);
  }
  for (Int32 key : erase) {
    // Storage was queued above; those offsets were marked in the same pass.
    items_.RemoveData(key);
  }
  if (newInfo >= 0)
    infoOffsets_.assign(1, newInfo);
  if (newCatalog >= 0)
    catalogOffsets_.assign(1, newCatalog);
  legacyOffsets_.clear();
  rewriteAll_ = false;
  dirty_.assign(waiting.begin(), waiting.end());
  changed_ = infoChanged_ = catalogChanged_ = false;
  endOffset_ = endMarker;
  deadBytes_ += dead;
  rw.unlock();
  if (!marking) {
    changed_ = true;
    return false;
  }
  UpdateCompactionWishLocked();
  if (wantsCompaction_ && allowCompaction && CompactLocked())
    wantsCompaction_ = false;
  return true;
}

void BrowserDatabase::UpdateCompactionWishLocked()
{
  const Int64 size = endOffset_ + kHeaderSize;
  if (deadBytes_ > size - deadBytes_)
    wantsCompaction_ = true;
}

// ---------------------------------------------------------------------------------------------
// compaction

Bool BrowserDatabase::Compact()
{
  std::lock_guard<Lock> g(lock_);
  if (IsReadOnly() || noWrite_.load())
    return false;
  if (changed_ && !SaveLocked(true, false, false))
    return false;
  return CompactLocked();
}

Bool BrowserDatabase::CompactLocked()
{
  if (destroyed_ || forgotten_ > 0)
    return false;
  if (noWrite_.load() || endOffset_ == 0 || fileOpen_.load() > 0)
    return false;
  const Filename newName = file_.GetString() + ".new";
  const Filename bakName = file_.GetString() + ".bak";

  // Records are only read until the new file replaces the old one: readers go on meanwhile.
  std::shared_lock<RWLock> reading(records_);
  BaseFile src;
  if (inner_ && !src.Open(file_, FileMode::Read))
    return false;
  const Int64 srcLen = inner_ ? src.GetLength() : 0;
  BaseFile dst;
  if (!dst.Open(newName, FileMode::Write))
    return false;

  ByteArray buf;
  Int64 flushed = 0;
  Bool ok = true;
  auto pos = [&] { return flushed + Int64(buf.size()); };
  auto flush = [&] {
    if (ok && !buf.empty())
      ok = dst.WriteBytes(buf.data(), Int64(buf.size()));
    flushed += Int64(buf.size());
    buf.clear();
  };
  constexpr std::size_t kFlushAt = 4u << 20;
  std::vector<CopiedChunk> copied;
  // Copies the chunk at off (tag set to id) and gives its new offset. A chunk that cannot be read
  // fails the whole compaction: an item written without its data would lose it for good once the
  // backup goes.
  auto copyChunk = [&](Int64 off, UInt32 expect, Int32 id) -> Int64 {
    ChunkHeader h;
    if (!ok || off <= 0 || off > srcLen - kHeaderSize || !src.Seek(off) || !ReadChunkHeader(&src, &h) ||
        h.id != expect || h.size > UInt64(srcLen - off - kHeaderSize)) {
      ok = false;
      return 0;
    }
    const Int64 at = pos();
    UChar head[16];
    EncodeHeader({expect, UInt32(id), h.size}, head);
    buf.insert(buf.end(), head, head + 16);
    const std::size_t from = buf.size();
    if (!TryResize(&buf, from + std::size_t(h.size)) || !src.ReadExact(buf.data() + from, Int64(h.size))) {
      buf.resize(from - 16);
      ok = false;
      return 0;
    }
    copied.push_back({at, expect, UInt32(id), h.size, PayloadSum(buf.data() + from, Int64(h.size))});
    if (buf.size() >= kFlushAt)
      flush();
    return at;
  };

  ByteArray img;
  AppendChunk(&buf, kHead, 0, nullptr, 0);
  BaseContainer info;
  info.SetInt32(0, kCurrentVersion);
  info.SetString(3, name_);
  info.SetInt32(5, IsReadOnly() ? 1 : 0);
  info.SetContainer(4, displayNames_);
  ok = ToImage(info, &img);
  const Int64 infoAt = pos();
  AppendChunk(&buf, kInfo, 0, img.data(), Int64(img.size()));
  Int64 catAt = -1;
  if (hasCatalog_) {
    BaseContainer cat;
    cat.SetString(1, catalogString_);
    ok = ok && ToImage(cat, &img);
    catAt = pos();
    AppendChunk(&buf, kCatalog, 0, img.data(), Int64(img.size()));
  }

  struct Place
  {
    BaseContainer* rec;
    BaseContainer disk;
    Int64 itemAt;
    Bool undecoded; // disk was decoded from the kept image; it becomes the record on success
    Bool inFile;    // written out: stays a stub, of the new chunk
    Bool deletedOpen; // deleted while open: readable until its last handle closes, so its data
                      // and previews are copied, but it gets no record
  };
  std::vector<Place> places;
  places.reserve(std::size_t(items_.GetCount()));
  // Chunks that the library knows: those of the records written, of records deleted while open,
  // and those queued to die.
  std::vector<Int64> claimed(pendingDead_.begin(), pendingDead_.end());
  for (const BaseContainer::Entry& e : items_) {
    const BaseContainer* rec = e.data.GetContainer();
    if (!rec || rec->GetId() >= 1)
      continue;
    claimed.push_back(rec->GetInt64(dbitem::kChunkOffset, 0));
    if (const BaseContainer* d = rec->GetContainerInstance(dbitem::kData))
      claimed.push_back(d->GetInt64(dbitem::kDataOffset, 0));
    if (const BaseContainer* imgs = rec->GetContainerInstance(dbitem::kImages))
      for (const BaseContainer::Entry& ie : *imgs)
        if (const BaseContainer* ir = ie.data.GetContainer())
          claimed.push_back(ir->GetInt64(dbitem::kImgOffset, 0));
  }
  for (const BaseContainer::Entry& e : items_) {
    BaseContainer* rec = items_.Mutable(e).GetContainer();
    const Bool deletedOpen = rec && rec->GetId() == -2;
    if (!ok || !rec || (rec->GetId() < 1 && !deletedOpen))
      continue;
    const Int32 id = deletedOpen ? e.id : rec->GetId();
    Place p{rec, BaseContainer(), 0, false, false, deletedOpen};
    if (const GeData* kept = rec->GetData(dbitem::kLazy)) {
      // Decoding straight into the copy that is written costs what copying a decoded record does.
      // Such images hold none of the memory-only entries.
      p.inFile = dbitem::IsInFileMark(kept->GetInt64());
      ok = p.inFile ? ReadRecordChunk(rec, &p.disk) : DecodeKeptImage(lazyImages_, kept->GetInt64(), &p.disk);
      p.disk.SetId(id);
      p.undecoded = true;
      if (!ok)
        continue;
    } else {
      p.disk = DiskCopy(*rec);
    }
    claimed.push_back(rec->GetInt64(dbitem::kChunkOffset, 0));
    if (inner_) {
      if (BaseContainer* d = p.disk.GetContainerInstance(dbitem::kData)) {
        const Int64 off = d->GetInt64(dbitem::kDataOffset, 0);
        claimed.push_back(off);
        if (off > 0)
          d->SetInt64(dbitem::kDataOffset, copyChunk(off, kData, id));
      }
      if (BaseContainer* imgs = p.disk.GetContainerInstance(dbitem::kImages)) {
        for (const BaseContainer::Entry& ie : *imgs) {
          BaseContainer* ir = imgs->Mutable(ie).GetContainer();
          const Int64 off = ir ? ir->GetInt64(dbitem::kImgOffset, 0) : 0;
          claimed.push_back(off);
          if (off > 0)
            ir->SetInt64(dbitem::kImgOffset, copyChunk(off, kImage, id));
        }
      }
    }
    places.push_back(std::move(p));
  }
  if (ok && inner_) {
    // A live data or preview chunk that no record names may belong to a record that could not be
    // read: it is carried over as it is, never dropped. A live record nobody knows stops the
    // compaction.
    std::sort(claimed.begin(), claimed.end());
    auto known = [&](Int64 off) { return std::binary_search(claimed.begin(), claimed.end(), off); };
    FileChunkSource scan(&src);
    for (Int64 at = kHeaderSize; ok && at + kHeaderSize <= srcLen;) {
      const UChar* hp = scan.Peek(at, kHeaderSize);
      if (!hp) {
        ok = false;
        break;
      }
      const ChunkHeader h = DecodeHeader(hp);
      if (h.id == kEnd || h.size > UInt64(srcLen - at - kHeaderSize))
        break;
      if ((h.id == kData || h.id == kImage) && !known(at))
        ok = copyChunk(at, h.id, Int32(h.tag)) > 0;
      else if (h.id == kItem && !known(at))
        ok = false;
      at += kHeaderSize + Int64(h.size);
    }
  }
  Int32 records = 0;
  for (Place& p : places) {
    if (!ok)
      break;
    if (p.deletedOpen)
      continue;
    ++records;
    ok = ToImage(p.disk, &img);
    p.itemAt = pos();
    AppendChunk(&buf, kItem, UInt32(p.rec->GetId()), img.data(), Int64(img.size()));
    if (buf.size() >= kFlushAt)
      flush();
  }
  const Int64 endAt = pos();
  AppendChunk(&buf, kEnd, 0, nullptr, 0);
  flush();
  ok = ok && dst.Sync();
  ok = dst.Close() && ok;
  src.Close();
  // The previous backup goes only once the new file has been read back and holds every record,
  // data and preview that was written.
  ok = ok && CheckCompactedFile(newName, records, hasCatalog_, copied.data(), copied.size());
  if (!ok) {
    GeDelete(newName);
    return false;
  }
  // The old library stays whole under its own name until the rename replaces it in one step, and
  // the previous backup stays until the new one can take its place: a compaction that fails at
  // any step leaves both as they were.
  // From the rename on, offsets in the records must follow the file at once.
  reading.unlock();
  std::unique_lock<RWLock> updating(records_);
  const Filename bakNext = file_.GetString() + ".bak.new";
  if (GeFileExists(bakNext))
    GeDelete(bakNext);
  if (!GeHardLink(file_, bakNext) && !GeCopyFile(file_, bakNext, true)) {
    GeDelete(newName);
    return false;
  }
  if (!GeRename(newName, file_)) {
    GeDelete(newName);
    GeDelete(bakNext);
    return false;
  }
  if (!GeRename(bakNext, bakName))
    GeDelete(bakNext); // the older backup stays; the library itself is compacted

  for (Place& p : places) {
    BaseContainer* rec = p.rec;
    if (p.inFile) {
      rec->SetInt64(dbitem::kChunkOffset, p.itemAt);
      continue;
    }
    if (p.undecoded) {
      AdoptDecodedLocked(rec, std::move(p.disk));
      rec->SetInt64(dbitem::kChunkOffset, p.itemAt);
      continue;
    }
    if (BaseContainer* d = rec->GetContainerInstance(dbitem::kData))
      if (const BaseContainer* nd = p.disk.GetContainerInstance(dbitem::kData))
        d->SetInt64(dbitem::kDataOffset, nd->GetInt64(dbitem::kDataOffset, 0));
    if (BaseContainer* imgs = rec->GetContainerInstance(dbitem::kImages))
      if (const BaseContainer* nimgs = p.disk.GetContainerInstance(dbitem::kImages))
        for (const BaseContainer::Entry& ie : *imgs)
          if (BaseContainer* ir = imgs->Mutable(ie).GetContainer())
            if (const BaseContainer* nir = nimgs->GetContainerInstance(ie.id))
              ir->SetInt64(dbitem::kImgOffset, nir->GetInt64(dbitem::kImgOffset, 0));
    if (p.deletedOpen)
      rec->RemoveData(dbitem::kChunkOffset);
    else
      rec->SetInt64(dbitem::kChunkOffset, p.itemAt);
  }
  // Other deleted items have no chunks in the new file.
  for (const BaseContainer::Entry& e : items_) {
    // Deleted records are decoded: the live ones are left as they are.
    BaseContainer* rec = items_.Mutable(e).GetContainer();
    if (!rec || rec->GetId() >= 1 || rec->GetId() == -2)
      continue;
    rec->RemoveData(dbitem::kChunkOffset);
    rec->RemoveData(dbitem::kData);
    rec->RemoveData(dbitem::kImages);
  }
  infoOffsets_.assign(1, infoAt);
  catalogOffsets_.clear();
  if (catAt >= 0)
    catalogOffsets_.assign(1, catAt);
  legacyOffsets_.clear();
  pendingDead_.clear();
  endOffset_ = endAt;
  deadBytes_ = 0;
  wantsCompaction_ = false;
  updating.unlock();
  GeSyncFolder(file_.GetDirectory());
  return true;
}
