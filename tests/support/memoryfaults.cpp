// Host memory that runs out on demand: the process's host table is swapped for a copy whose memory
// service refuses allocations, so that the module meets bad_alloc where it really can.
#include <atomic>

#include "orxtest.h"

namespace orxtest {
namespace {

std::atomic<Int64> g_countdown{0};
std::atomic<Int64> g_refused{0};
std::atomic<bool> g_armed{false};
const OrxHostTable* g_real = nullptr;

void* Alloc(Int64 size, Int32 line, const char* file, Bool clear)
{
  if (g_armed.load() && g_countdown.fetch_sub(1) <= 1) {
    g_refused.fetch_add(1);
    return nullptr;
  }
  return g_real->memory->alloc(size, line, file, clear);
}

void Free(void* block) { g_real->memory->free(block); }

const OrxMemoryTable kFailingMemory = {1, sizeof(OrxMemoryTable), Alloc, Free};
OrxHostTable g_failing;

} // namespace

HostMemoryFails::HostMemoryFails(Int64 fromNth)
{
  g_real = orxhost::Table();
  g_failing = *g_real;
  g_failing.memory = &kFailingMemory;
  g_countdown.store(fromNth);
  g_refused.store(0);
  g_armed.store(true);
  OrxInstallHostTable(&g_failing);
}

HostMemoryFails::~HostMemoryFails()
{
  g_armed.store(false);
  OrxInstallHostTable(g_real);
}

Int64 HostMemoryFails::Refused() const { return g_refused.load(); }

} // namespace orxtest
