// ReferenceObject: the root of every reference-counted object of the module, and Ref<T>, the
// counted reference that every kept pointer to such an object is.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "orx/memory.h"
#include "orx/types.h"

class ReferenceObject
{
public:
  ORX_HOST_ALLOCATED
  // MakeRef allocates without throwing: out of memory gives an empty reference.
  static void* operator new(std::size_t n, const std::nothrow_t&) noexcept
  {
    return OrxMemAlloc(Int64(n), __LINE__, __FILE__, false);
  }
  static void operator delete(void* p, const std::nothrow_t&) noexcept { OrxMemFree(p); }

  ReferenceObject() = default;
  ReferenceObject(const ReferenceObject&) = delete;
  ReferenceObject& operator=(const ReferenceObject&) = delete;

  // Returns the new count.
  UInt32 AddReference() const noexcept { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  // Destroys the object when the count reaches 0.
  void RemoveReference() const noexcept
  {
    if (watchReleases_.load(std::memory_order_acquire) && ReleaseWatched())
      return;
    const UInt32 before = count_.fetch_sub(1, std::memory_order_acq_rel);
    assert(before != 0 && "reference released more often than taken");
    if (before == 1)
      delete this;
  }
  // Decrements without destroying; true when the count reached 0. For temporary self-references
  // that must not destroy the object a second time.
  Bool RemoveReferenceNoDestroy() const noexcept
  {
    const UInt32 before = count_.fetch_sub(1, std::memory_order_acq_rel);
    assert(before != 0 && "reference released more often than taken");
    return before == 1;
  }
  UInt32 GetReferenceCount() const noexcept { return count_.load(std::memory_order_relaxed); }

protected:
  virtual ~ReferenceObject() = default;
  // While set, every release first asks ReleaseWatched, which may take the release over (true)
  // because the object must go although references to it remain (a cycle only it can see).
  void WatchReleases(Bool on) const noexcept { watchReleases_.store(on, std::memory_order_release); }
  virtual Bool ReleaseWatched() const noexcept { return false; }

private:
  mutable std::atomic<UInt32> count_{0};
  mutable std::atomic<Bool> watchReleases_{false};
};

// A counted reference. Copying adds a reference, destruction and reassignment release one, so a
// function that takes a Ref by value releases it on every path without saying so.
// Adopt() takes over a reference that someone else already counted.
template <typename T>
class Ref
{
public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {} // NOLINT
  // Adds a reference to p.
  explicit Ref(T* p) noexcept : p_(p)
  {
    if (p_)
      p_->AddReference();
  }
  [[nodiscard]] static Ref Adopt(T* p) noexcept
  {
    Ref r;
    r.p_ = p;
    return r;
  }
  Ref(const Ref& o) noexcept : Ref(o.p_) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  // Only towards a base class; going down is RefCast's explicit business.
  template <typename U>
    requires std::is_convertible_v<U*, T*>
  Ref(const Ref<U>& o) noexcept : Ref(static_cast<T*>(o.Get())) // NOLINT
  {
  }
  template <typename U>
    requires std::is_convertible_v<U*, T*>
  Ref(Ref<U>&& o) noexcept : p_(static_cast<T*>(o.Release())) // NOLINT
  {
  }
  ~Ref() { Reset(); }
  Ref& operator=(const Ref& o) noexcept
  {
    Ref(o).Swap(*this);
    return *this;
  }
  Ref& operator=(Ref&& o) noexcept
  {
    Ref(std::move(o)).Swap(*this);
    return *this;
  }
  Ref& operator=(std::nullptr_t) noexcept
  {
    Reset();
    return *this;
  }

  void Reset() noexcept
  {
    if (T* p = std::exchange(p_, nullptr))
      p->RemoveReference();
  }
  // Gives up ownership of the reference without releasing it.
  [[nodiscard]] T* Release() noexcept { return std::exchange(p_, nullptr); }
  void Swap(Ref& o) noexcept { std::swap(p_, o.p_); }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(const Ref& a, const Ref& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const Ref& a, const T* b) noexcept { return a.p_ == b; }
  friend bool operator==(const Ref& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
  T* p_ = nullptr;
};

// Moves a reference to a derived type that the caller knows; no check.
template <typename T, typename U>
Ref<T> RefCast(Ref<U> r) noexcept
{
  return Ref<T>::Adopt(static_cast<T*>(r.Release()));
}

// Makes a new object and takes its first reference; empty when memory runs out.
template <typename T, typename... A>
Ref<T> MakeRef(A&&... args)
{
  return Ref<T>(new (std::nothrow) T(std::forward<A>(args)...));
}
