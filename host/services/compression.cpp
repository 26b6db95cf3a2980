// Compression with zstd; the first four bytes hold the original length, big-endian.
#include <zstd.h>

#include <memory>

#include "internal.h"
#include "orx/memory.h"

namespace {
struct Contexts
{
  ZSTD_CCtx* c = nullptr;
  ZSTD_DCtx* d = nullptr;
  ~Contexts()
  {
    ZSTD_freeCCtx(c);
    ZSTD_freeDCtx(d);
  }
};
thread_local Contexts t_ctx;

Bool Compress(const void* src, Int64 size, Int32 level, void** out, Int64* outSize)
{
  if (!out || !outSize || size < 0 || size > Int64(0xFFFFFFFFu) || (!src && size))
    return false;
  if (!t_ctx.c && !(t_ctx.c = ZSTD_createCCtx()))
    return false;
  std::size_t bound = ZSTD_compressBound(std::size_t(size));
  auto* buf = static_cast<UChar*>(OrxMemAlloc(Int64(bound) + 4, __LINE__, __FILE__, false));
  if (!buf)
    return false;
  std::size_t n = ZSTD_compressCCtx(t_ctx.c, buf + 4, bound, src, std::size_t(size), level);
  if (ZSTD_isError(n)) {
    OrxMemFree(buf);
    return false;
  }
  UInt32 len = UInt32(size);
  buf[0] = UChar(len >> 24);
  buf[1] = UChar(len >> 16);
  buf[2] = UChar(len >> 8);
  buf[3] = UChar(len);
  *out = buf;
  *outSize = Int64(n) + 4;
  return true;
}

Bool Expand(const void* src, Int64 size, void* dst, Int64 dstSize)
{
  if (!src || size < 4 || dstSize < 0)
    return false;
  const UChar* b = static_cast<const UChar*>(src);
  UInt32 len = (UInt32(b[0]) << 24) | (UInt32(b[1]) << 16) | (UInt32(b[2]) << 8) | UInt32(b[3]);
  if (Int64(len) != dstSize)
    return false;
  if (!t_ctx.d && !(t_ctx.d = ZSTD_createDCtx()))
    return false;
  std::size_t n = ZSTD_decompressDCtx(t_ctx.d, dst, std::size_t(dstSize), b + 4, std::size_t(size - 4));
  return !ZSTD_isError(n) && Int64(n) == dstSize;
}

void FreeContext()
{
  ZSTD_freeCCtx(t_ctx.c);
  ZSTD_freeDCtx(t_ctx.d);
  t_ctx.c = nullptr;
  t_ctx.d = nullptr;
}
} // namespace

namespace orxhost::detail {
const OrxCompressTable kCompressTable = {1, sizeof(OrxCompressTable), Compress, Expand, FreeContext};
}
