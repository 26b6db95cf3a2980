// Memory through the host, with the process heap before the host table is installed.
#include "orx/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "orx/hosttable.h"

namespace {
// A process-heap block has a 16-byte prefix (keeps 16-byte alignment) whose last 8 bytes, the ones
// right before the block, are all ones. Host blocks never carry all ones there.
constexpr std::size_t kPrefix = 16;
constexpr UInt64 kProcessHeapMark = ~UInt64(0);
std::atomic<bool> g_usedProcessHeap{false};
} // namespace

void* OrxMemAlloc(Int64 size, Int32 line, const char* file, Bool clear)
{
  if (size < 0)
    return nullptr;
  if (size == 0)
    size = 1;
  if (const OrxHostTable* t = OrxGetHostTable())
    return t->memory->alloc(size, line, file, clear);
  g_usedProcessHeap.store(true, std::memory_order_relaxed);
  UChar* raw = static_cast<UChar*>(clear ? std::calloc(1, std::size_t(size) + kPrefix)
                                         : std::malloc(std::size_t(size) + kPrefix));
  if (!raw)
    return nullptr;
  std::memcpy(raw + kPrefix - 8, &kProcessHeapMark, 8);
  return raw + kPrefix;
}

void OrxMemFree(void* block)
{
  if (!block)
    return;
  UChar* p = static_cast<UChar*>(block);
  UInt64 mark;
  std::memcpy(&mark, p - 8, 8);
  if (mark == kProcessHeapMark) {
    std::free(p - kPrefix);
    return;
  }
  OrxGetHostTable()->memory->free(block);
}

Bool OrxMemUsedProcessHeap() { return g_usedProcessHeap.load(std::memory_order_relaxed); }
