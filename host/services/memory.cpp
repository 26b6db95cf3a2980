// Host memory: every block carries a header with where it was taken, in one list, so the host can
// report what a plug-in left behind.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "services/host.h"

namespace {
struct alignas(16) BlockHeader
{
  BlockHeader* prev;
  BlockHeader* next;
  const char* file;
  // Right before the block: the size, never all ones (that marks process-heap blocks).
  Int64 sizeAndLine;
};
static_assert(sizeof(BlockHeader) == 32);

std::mutex g_lock;
BlockHeader g_head{&g_head, &g_head, nullptr, 0};
Int64 g_live = 0;
Int64 g_bytes = 0; // bytes in live blocks
Int64 g_peak = 0;
Int64 g_limit = 0; // 0: no limit

constexpr Int64 kLineShift = 40; // size below 1 TB, line number above

void* Alloc(Int64 size, Int32 line, const char* file, Bool clear)
{
  if (size < 0 || size >= (Int64(1) << kLineShift))
    return nullptr;
  if (size == 0)
    size = 1;
  {
    // A memory limit refuses blocks as a host under memory pressure does.
    std::lock_guard<std::mutex> g(g_lock);
    if (g_limit > 0 && g_bytes + size > g_limit)
      return nullptr;
  }
  void* raw = clear ? std::calloc(1, std::size_t(size) + sizeof(BlockHeader))
                    : std::malloc(std::size_t(size) + sizeof(BlockHeader));
  if (!raw)
    return nullptr;
  auto* h = static_cast<BlockHeader*>(raw);
  h->file = file;
  h->sizeAndLine = size | (Int64(line & 0x7FFFFF) << kLineShift);
  {
    std::lock_guard<std::mutex> g(g_lock);
    h->next = &g_head;
    h->prev = g_head.prev;
    g_head.prev->next = h;
    g_head.prev = h;
    ++g_live;
    g_bytes += size;
    if (g_bytes > g_peak)
      g_peak = g_bytes;
  }
  return h + 1;
}

void Free(void* block)
{
  if (!block)
    return;
  auto* h = static_cast<BlockHeader*>(block) - 1;
  {
    std::lock_guard<std::mutex> g(g_lock);
    h->prev->next = h->next;
    h->next->prev = h->prev;
    --g_live;
    g_bytes -= h->sizeAndLine & ((Int64(1) << kLineShift) - 1);
  }
  std::free(h);
}
} // namespace

namespace orxhost {
namespace detail {
const OrxMemoryTable kMemoryTable = {1, sizeof(OrxMemoryTable), Alloc, Free};
}

Int64 LiveBlockCount()
{
  std::lock_guard<std::mutex> g(g_lock);
  return g_live;
}

Int64 PeakBytes()
{
  std::lock_guard<std::mutex> g(g_lock);
  return g_peak;
}

void ResetPeakBytes()
{
  std::lock_guard<std::mutex> g(g_lock);
  g_peak = g_bytes;
}

void SetMemoryLimit(Int64 bytes)
{
  std::lock_guard<std::mutex> g(g_lock);
  g_limit = bytes;
}

Int64 PrintLiveBlocks(std::FILE* out, Int64 maxLines)
{
  std::lock_guard<std::mutex> g(g_lock);
  Int64 n = 0;
  for (BlockHeader* h = g_head.next; h != &g_head; h = h->next, ++n) {
    if (n < maxLines)
      std::fprintf(out, "  live block: %lld bytes from %s:%lld\n", (long long)(h->sizeAndLine & ((Int64(1) << kLineShift) - 1)),
                   h->file ? h->file : "?", (long long)(h->sizeAndLine >> kLineShift));
  }
  return n;
}
} // namespace orxhost
