// Threads, locks and the millisecond timer.
#pragma once

#include <atomic>
#include <thread>

#include "orx/string.h"

// Host thread priorities.
constexpr Int32 THREADPRIORITY_NORMAL = 0;
constexpr Int32 THREADPRIORITY_ABOVE = 1000;
constexpr Int32 THREADPRIORITY_BELOW = 1001;
constexpr Int32 THREADPRIORITY_LOWEST = 1002;

// A worker thread. Derive, override Main and GetThreadName; Start runs Main on a host thread.
// Threads: Start/End/Wait from the owning thread; TestBreak from Main.
class OrxThread
{
public:
  OrxThread() = default;
  virtual ~OrxThread();
  OrxThread(const OrxThread&) = delete;
  OrxThread& operator=(const OrxThread&) = delete;

  // Starts Main on a new thread (async) or runs it on the caller's thread (not async).
  Bool Start(Bool async = true, Int32 priority = THREADPRIORITY_NORMAL);
  // Asks Main to stop (TestBreak turns true); with wait, waits until it has returned.
  void End(Bool wait = true);
  void Wait();
  Bool IsRunning() const;
  // True once End was called; Main polls it.
  virtual Bool TestBreak() { return TestBaseBreak(); }
  Bool TestBaseBreak() const;

  virtual void Main() = 0;
  virtual const char* GetThreadName() = 0;

  // Called by the host on the new thread.
  void RunFromHost();

private:
  void* handle_ = nullptr;
  std::atomic<bool> break_{false};
  std::atomic<bool> running_{false};
};

// Mutual exclusion (host lock).
class Lock
{
public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock();
  void unlock();
  Bool try_lock();

private:
  void* handle_;
};

// Read-write lock (host).
class RWLock
{
public:
  RWLock();
  ~RWLock();
  RWLock(const RWLock&) = delete;
  RWLock& operator=(const RWLock&) = delete;
  void lock();
  void unlock();
  void lock_shared();
  void unlock_shared();

private:
  void* handle_;
};

// A 32-bit spin lock for short critical sections (a few link changes).
class SpinLock
{
public:
  void lock() noexcept
  {
    for (Int32 spins = 0;; ++spins) {
      if (!word_.exchange(1, std::memory_order_acquire))
        return;
      while (word_.load(std::memory_order_relaxed)) {
        if (++spins > 64)
          std::this_thread::yield();
      }
    }
  }
  Bool try_lock() noexcept { return !word_.exchange(1, std::memory_order_acquire); }
  void unlock() noexcept { word_.store(0, std::memory_order_release); }

private:
  std::atomic<UInt32> word_{0};
};

// Host millisecond timer.
Int32 GeGetTimer();
