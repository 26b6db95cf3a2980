// The chunk layer of preset library files: 16-byte big-endian headers, payloads, dead marks, and
// the one-pass reader that turns a file's bytes into item records.
#pragma once

#include <vector>

#include "orx/basefile.h"
#include "orx/container.h"

namespace dbchunk {

constexpr UInt32 kHead = FourCC("dbfh");
constexpr UInt32 kInfo = FourCC("difm");
constexpr UInt32 kCatalog = FourCC("cati");
constexpr UInt32 kItem = FourCC("ditm");
constexpr UInt32 kData = FourCC("bina");
constexpr UInt32 kImage = FourCC("imag");
constexpr UInt32 kDead = FourCC("ivld");
constexpr UInt32 kLegacyArray = FourCC("dbas");
constexpr UInt32 kEnd = FourCC("dbfe");
constexpr UInt32 kImageIdent = FourCC("brow");
constexpr Int64 kHeaderSize = 16;
constexpr Int64 kMaxChunkSize = 0x7fffffff;
constexpr Int32 kCurrentVersion = 7;

struct ChunkHeader
{
  UInt32 id = 0;
  UInt32 tag = 0;
  UInt64 size = 0;
};

void EncodeHeader(const ChunkHeader& h, UChar out[16]);
ChunkHeader DecodeHeader(const UChar in[16]);

Bool ReadChunkHeader(BaseFile* f, ChunkHeader* h);
// Room for n bytes from the host, or false when it has none: never an exception.
Bool TryResize(ByteArray* b, std::size_t n);
Bool WriteChunkHeader(BaseFile* f, UInt32 id, UInt32 tag, UInt64 size);
// Reads a header and its payload; nothing is allocated unless the whole payload is in the file.
Bool ReadChunk(BaseFile* f, ChunkHeader* h, ByteArray* payload);
Bool WriteChunk(BaseFile* f, UInt32 id, UInt32 tag, const void* payload, Int64 size);
// At the current position (the first byte of a chunk): one 4-byte write of "ivld".
Bool MarkChunkDead(BaseFile* f);
Bool MarkChunkDeadAt(BaseFile* f, Int64 offset);

Bool ReadContainerImage(BaseFile* f, Int64 size, BaseContainer* out);
// Writes the image at the current position; bytesWritten gets its length.
Bool WriteContainerImage(BaseFile* f, const BaseContainer& bc, Int64* bytesWritten);

// Appends a whole chunk (header and payload) to a memory buffer.
void AppendChunk(ByteArray* out, UInt32 id, UInt32 tag, const void* payload, Int64 size);

// Random access to the bytes of a library, for the reader.
class ChunkSource
{
public:
  virtual ~ChunkSource() = default;
  virtual Int64 Length() const = 0;
  // A pointer to bytes [pos, pos + n), valid until the next call; null when they cannot be read.
  virtual const UChar* Peek(Int64 pos, Int64 n) = 0;
};

class MemoryChunkSource final : public ChunkSource
{
public:
  MemoryChunkSource(const void* data, Int64 size) : data_(static_cast<const UChar*>(data)), size_(size) {}
  Int64 Length() const override { return size_; }
  const UChar* Peek(Int64 pos, Int64 n) override;

private:
  const UChar* data_;
  Int64 size_;
};

// Reads through a window that grows while reading is sequential and shrinks after long skips, so
// that a pass over headers does not read the data and preview payloads it jumps over.
class FileChunkSource final : public ChunkSource
{
public:
  explicit FileChunkSource(BaseFile* f);
  Int64 Length() const override { return length_; }
  const UChar* Peek(Int64 pos, Int64 n) override;

private:
  BaseFile* f_;
  Int64 length_;
  ByteArray buf_;
  Int64 bufPos_ = 0;
  Int64 bufLen_ = 0;
  Int64 block_ = 16 * 1024;
};

// What the index needs of a record image, found without decoding it.
struct RecordKeys
{
  Int32 id = 0;
  const UChar* path = nullptr; // big-endian UTF-16 units inside the image
  UInt32 pathUnits = 0;
  Int32 hash = 0;
};
// True only when the container reader would accept the image and the record has the plain shape:
// exactly one address container holding exactly one String path (id 0) and one Int32 hash (id 2),
// and none of the entries that exist in memory only. Allocates nothing.
// Record images kept for later, in blocks that never move once filled (a growing single buffer
// would copy them again and again, and leave its old copies in the heap). A position is the block
// number in the high word and the offset in the low word.
class KeptImages
{
public:
  // Gives the position of the copy; keys are those found in p.
  Int64 Add(const UChar* p, UInt32 size, const RecordKeys& keys);
  // The image at a position and, when asked, its keys (the path points into the image; the id is
  // not kept); false when there is none.
  Bool Get(Int64 at, const UChar** p, Int64* size, RecordKeys* keys) const;
  Bool IsEmpty() const { return blocks_.empty(); }
  void Clear() { std::vector<ByteArray>().swap(blocks_); }

private:
  static constexpr std::size_t kPrefix = 16; // size, path offset, path units, hash
  std::vector<ByteArray> blocks_;
};

// What one pass over a library file found.
struct LibraryImage
{
  BaseContainer items;   // item id -> record (id 19 set to its chunk's offset)
  Int32 itemCount = 0;
  Int32 maxItemId = 0;
  Int64 endOffset = 0;   // where the next chunk goes
  Int64 deadBytes = 0;
  Int64 scanned = 0;     // the running position when the pass ended
  Int32 version = kCurrentVersion;
  String name;
  BaseContainer displayNames;
  Bool readOnly = false;
  Bool hasCatalog = false;
  String catalogString;
  Int32 infoCount = 0;
  std::vector<Int64> infoOffsets;     // every "difm" seen
  std::vector<Int64> catalogOffsets;  // every "cati" seen
  std::vector<Int64> legacyOffsets;   // every "dbas" seen
  std::vector<Int64> staleChunks;     // live "ditm" chunks superseded by a later one
  std::vector<Int32> legacyIds;       // items that came from a "dbas" chunk
  Bool empty = false;      // no bytes at all: a file that was never written
  Bool notLibrary = false; // does not start with "dbfh"
  Bool failed = false;     // the pass met a chunk it could not read
  Bool unreadBytes = false; // bytes were left that the pass could not account for
  Bool tornTail = false;   // the file ends inside a chunk (a write that was cut short)
  // The pass met what no save writes: an unknown code, a record it had to skip, two records of
  // different items under one id, a torn tail with chunks behind it. Such a file is never written.
  Bool damaged = false;
  // Records of another item found under an id that was taken; kept under new ids at the end.
  std::vector<BaseContainer> displaced;
  // With keepImages: the images of records that wait to be decoded, each a 4-byte length in
  // memory order and the bytes; such a record holds only its chunk offset and kLazy, the
  // position of its image here (the index takes path and hash from the image).
  KeptImages images;
  Int32 lazyCount = 0;
};

// The pass of the reader. Never allocates more than the source holds. With keepImages, records of
// the plain current shape are not decoded (see LibraryImage::images); DecodeKeptImage decodes one.
void ReadLibrary(ChunkSource* src, LibraryImage* out, Bool keepImages = false);
Bool DecodeKeptImage(const KeptImages& images, Int64 at, BaseContainer* out);
// The path and the hash of a kept image.
Bool KeptImageKeys(const KeptImages& images, Int64 at, String* path, Int32* hash);

Bool ScanRecordImage(const UChar* p, Int64 size, RecordKeys* out);

} // namespace dbchunk
