// BaseFile: a plain file through the host's file service.
// Threads: any. Ownership: the object owns its open file and closes it when destroyed.
#pragma once

#include "orx/filename.h"

enum class FileMode : Int32
{
  Read = 0,      // existing file, read only
  Write = 1,     // new or truncated file, write only
  ReadWrite = 2, // existing file, read and write, never truncated
};

enum class SeekMode : Int32
{
  Start = 0,
  Relative = 1,
  End = 2,
};

class BaseFile
{
public:
  BaseFile() = default;
  ~BaseFile() { Close(); }
  BaseFile(const BaseFile&) = delete;
  BaseFile& operator=(const BaseFile&) = delete;

  Bool Open(const Filename& name, FileMode mode);
  // Closes the file; false when the close (or an earlier write) failed.
  Bool Close();
  Bool IsOpen() const { return handle_ != nullptr; }

  // Reads up to size bytes; returns the number read, -1 on error.
  Int64 ReadBytes(void* data, Int64 size);
  // Reads up to size bytes at offset, leaving the position where it was (one system call where a
  // seek and a read would take two); the number read, -1 on error.
  Int64 ReadAt(Int64 offset, void* data, Int64 size);
  // Reads exactly size bytes; false when fewer could be read.
  Bool ReadExact(void* data, Int64 size) { return ReadBytes(data, size) == size; }
  Bool WriteBytes(const void* data, Int64 size);
  Bool Seek(Int64 pos, SeekMode mode = SeekMode::Start);
  Int64 GetPosition() const;
  Int64 GetLength() const;
  // Flushes the file's data to the device.
  Bool Sync();

  Bool ReadUInt32(UInt32* v); // file order (big-endian)
  Bool WriteUInt32(UInt32 v);

  // Word-order conversion between memory order and file order (big-endian).
  static UInt16 ToFileOrder16(UInt16 v);
  static UInt32 ToFileOrder32(UInt32 v);
  static UInt64 ToFileOrder64(UInt64 v);
  static UInt16 FromFileOrder16(UInt16 v) { return ToFileOrder16(v); }
  static UInt32 FromFileOrder32(UInt32 v) { return ToFileOrder32(v); }
  static UInt64 FromFileOrder64(UInt64 v) { return ToFileOrder64(v); }
  static void ToFileOrder16(UInt16* v, Int64 count);

private:
  void* handle_ = nullptr;
};
