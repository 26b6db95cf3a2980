// Test-only writer of library files byte by byte: chunks, container images, files of the older
// versions 2, 4 and 6 and legacy record arrays, so that the reader meets what old hosts wrote.
#pragma once

#include <string>
#include <vector>

#include "orx/orx.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabasechunk.h"
#include "presets/browserhashnode.h"

namespace libwriter {

inline std::string U32(UInt32 v)
{
  std::string s(4, '\0');
  s[0] = char(v >> 24);
  s[1] = char(v >> 16);
  s[2] = char(v >> 8);
  s[3] = char(v);
  return s;
}

inline std::string Chunk(UInt32 id, UInt32 tag, const std::string& payload, UInt64 size = UInt64(-1))
{
  if (size == UInt64(-1))
    size = payload.size();
  return U32(id) + U32(tag) + U32(UInt32(size >> 32)) + U32(UInt32(size)) + payload;
}

inline std::string Image(const BaseContainer& bc)
{
  ByteArray b;
  HyperFile::ContainerToImage(bc, dbchunk::kImageIdent, &b);
  return std::string(b.begin(), b.end());
}

inline std::string Head() { return Chunk(dbchunk::kHead, 0, ""); }
inline std::string End() { return Chunk(dbchunk::kEnd, 0, ""); }

inline BaseContainer Info(Int32 version, const String& name, Int32 readOnly = 0)
{
  BaseContainer c;
  c.SetInt32(0, version);
  c.SetString(3, name);
  c.SetInt32(5, readOnly);
  return c;
}

inline BaseContainer Item(Int32 id, const String& path, Int32 type = 1018108)
{
  BaseContainer c(id);
  c.SetInt32(dbitem::kType, type);
  BaseContainer addr;
  addr.SetString(dbitem::kAddrPath, path);
  addr.SetInt32(dbitem::kAddrHash, hashindex::PathHash(path));
  c.SetContainer(dbitem::kAddress, addr);
  BaseContainer names;
  names.SetString(0x75730000, path);
  c.SetContainer(dbitem::kName, names);
  return c;
}

inline std::string InfoChunk(Int32 version, const String& name, Int32 ro = 0)
{
  return Chunk(dbchunk::kInfo, 0, Image(Info(version, name, ro)));
}
inline std::string ItemChunk(const BaseContainer& rec, UInt32 tag)
{
  return Chunk(dbchunk::kItem, tag, Image(rec));
}

// A legacy array: each entry a signed length and its bytes (negative: removed, skipped).
struct LegacyEntry
{
  Int32 length;
  std::string bytes;
};
inline std::string Dbas(const std::vector<LegacyEntry>& entries)
{
  std::string p;
  for (const LegacyEntry& e : entries)
    p += U32(UInt32(e.length)) + e.bytes;
  return Chunk(dbchunk::kLegacyArray, 0, p);
}

// A file as an old host wrote it: one preset with data and one preview. Version 2 leaves the tag
// words of data and image chunks 0; versions below 5 keep image records in the address container.
inline std::string OldLibrary(Int32 version, const String& name, const std::string& data, const std::string& jpeg)
{
  std::string f = Head() + InfoChunk(version, name);
  const UInt32 tag = version < 3 ? 0 : 1;
  const Int64 dataAt = Int64(f.size());
  f += Chunk(dbchunk::kData, tag, data);
  const Int64 imageAt = Int64(f.size());
  f += Chunk(dbchunk::kImage, tag, jpeg);
  BaseContainer rec = Item(1, name + "/folder/red");
  BaseContainer dref;
  dref.SetInt64(dbitem::kDataOffset, dataAt);
  dref.SetInt32(dbitem::kDataEncoding, 0);
  dref.SetInt64(dbitem::kDataLength, Int64(data.size()));
  rec.SetContainer(dbitem::kData, dref);
  BaseContainer img(0);
  img.SetInt32(dbitem::kImgQuality, 4);
  img.SetInt64(dbitem::kImgOffset, imageAt);
  BaseContainer imgs;
  imgs.SetContainer(0, img);
  if (version < 5)
    rec.GetContainerInstance(dbitem::kAddress)->SetContainer(dbitem::kAddrOldImages, imgs);
  else
    rec.SetContainer(dbitem::kImages, imgs);
  if (version < 7)
    rec.GetContainerInstance(dbitem::kAddress)->SetInt32(dbitem::kAddrHash, 12345); // stale
  f += ItemChunk(rec, 1);
  return f + End();
}

} // namespace libwriter
