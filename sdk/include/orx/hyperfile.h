// HyperFile: typed values with an ident, on a file or on a block of memory.
//
// Image layout (all words big-endian):
//   header  : UInt32 magic "ORXH", UInt32 ident
//   value   : UInt8 type tag (DataType), then
//     Int32 4 bytes | Int64 8 bytes | Float 8 bytes (IEEE 754 double bits) | Bool 1 byte (0 or 1)
//     String / Filename: UInt32 unit count, then count UTF-16 units
//     Bytes : UInt64 length, then the bytes
//     Container: Int32 own id, UInt32 entry count, then per entry Int32 id and a value
//     Nil / Pointer: nothing (a pointer is stored as nil)
// The reader checks every length against the bytes that remain, so a lying length never allocates.
#pragma once

#include <memory>

#include "orx/basefile.h"
#include "orx/container.h"

class HyperFile
{
public:
  static constexpr UInt32 kMagic = FourCC("ORXH");
  static constexpr Int32 kMaxDepth = 200; // nesting of containers accepted by the reader

  HyperFile();
  ~HyperFile();
  HyperFile(const HyperFile&) = delete;
  HyperFile& operator=(const HyperFile&) = delete;

  // Writing to a new block of memory.
  Bool OpenMemoryWrite(UInt32 ident);
  // Reading from memory that the caller keeps alive until Close.
  Bool OpenMemoryRead(UInt32 ident, const void* data, Int64 size);
  // Writing to or reading from a file.
  Bool OpenFileWrite(UInt32 ident, const Filename& name);
  Bool OpenFileRead(UInt32 ident, const Filename& name);
  // Closes; for a file being written, the bytes are written now. False when anything failed.
  Bool Close();

  // The bytes written so far (memory or file mode).
  const UChar* GetMemory() const;
  Int64 GetMemorySize() const;

  Bool WriteInt32(Int32 v);
  Bool WriteInt64(Int64 v);
  Bool WriteFloat(Float v);
  Bool WriteBool(Bool v);
  Bool WriteString(const String& v);
  Bool WriteFilename(const Filename& v);
  Bool WriteBytes(const void* data, Int64 size);
  Bool WriteContainer(const BaseContainer& v);
  Bool WriteData(const GeData& v);

  Bool ReadInt32(Int32* v);
  Bool ReadInt64(Int64* v);
  Bool ReadFloat(Float* v);
  Bool ReadBool(Bool* v);
  Bool ReadString(String* v);
  Bool ReadFilename(Filename* v);
  Bool ReadBytes(ByteArray* v);
  Bool ReadContainer(BaseContainer* v);
  Bool ReadData(GeData* v);

  // False once any read or write failed (wrong type, short data, bad ident).
  Bool IsOk() const { return ok_; }

  // Container image helpers: the container written alone into a memory image with ident.
  static Bool ContainerToImage(const BaseContainer& bc, UInt32 ident, ByteArray* out);
  // The same without the outermost container's entries of the given ids; out's memory is reused.
  static Bool ContainerToImage(const BaseContainer& bc, UInt32 ident, ByteArray* out, const Int32* skipIds,
                               Int32 skipCount);
  static Bool ImageToContainer(const void* data, Int64 size, UInt32 ident, BaseContainer* out);

private:
  // The entries of a container whose type tag was read.
  Bool ReadContainerBody(BaseContainer* c);

  struct Impl;
  std::unique_ptr<Impl> d_;
  Bool ok_ = false;
};
