// Threads and locks on the C++ runtime, so the sanitizers see every synchronisation.
#include <pthread.h>

#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "internal.h"
#include "orx/threads.h"

namespace {
struct ThreadHandle
{
  std::thread th;
};

void* ThreadStart(OrxThread* t, Int32)
{
  if (orxhost::detail::ShouldFail(orxhost::detail::Op::ThreadStart))
    return nullptr;
  auto* h = new ThreadHandle;
  try {
    h->th = std::thread([t] {
      if (const char* n = t->GetThreadName()) {
        char name[16] = {};
        for (int i = 0; i < 15 && n[i]; ++i)
          name[i] = n[i];
        pthread_setname_np(pthread_self(), name);
      }
      t->RunFromHost();
    });
  } catch (...) {
    delete h;
    return nullptr;
  }
  return h;
}

void ThreadWait(void* h)
{
  auto* t = static_cast<ThreadHandle*>(h);
  if (t->th.joinable())
    t->th.join();
}

void ThreadFree(void* h)
{
  ThreadWait(h);
  delete static_cast<ThreadHandle*>(h);
}

void* LockNew() { return new std::mutex; }
void LockFree(void* l) { delete static_cast<std::mutex*>(l); }
void LockEnter(void* l) { static_cast<std::mutex*>(l)->lock(); }
Bool LockTry(void* l) { return static_cast<std::mutex*>(l)->try_lock(); }
void LockLeave(void* l) { static_cast<std::mutex*>(l)->unlock(); }

void* RwNew() { return new std::shared_mutex; }
void RwFree(void* l) { delete static_cast<std::shared_mutex*>(l); }
void RwWrite(void* l) { static_cast<std::shared_mutex*>(l)->lock(); }
void RwWriteLeave(void* l) { static_cast<std::shared_mutex*>(l)->unlock(); }
void RwRead(void* l) { static_cast<std::shared_mutex*>(l)->lock_shared(); }
void RwReadLeave(void* l) { static_cast<std::shared_mutex*>(l)->unlock_shared(); }

const auto kStart = std::chrono::steady_clock::now();
Int32 Timer()
{
  return Int32(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - kStart).count());
}
} // namespace

namespace orxhost::detail {
const OrxThreadTable kThreadTable = {1,       sizeof(OrxThreadTable), ThreadStart, ThreadWait, ThreadFree,
                                     LockNew, LockFree,               LockEnter,   LockTry,    LockLeave,
                                     RwNew,   RwFree,                 RwWrite,     RwWriteLeave, RwRead,
                                     RwReadLeave, Timer};
}
