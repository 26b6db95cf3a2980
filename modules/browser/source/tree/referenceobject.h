// ReferenceObject: the root of every reference-counted object of the module, and Ref<T>, the
// counted reference that every kept pointer to such an object is.
#pragma once

#include <atomic>
#include <utility>

#include "orx/memory.h"
#include "orx/types.h"

class ReferenceObject
{
public:
  ORX_HOST_ALLOCATED

  ReferenceObject() = default;
  ReferenceObject(const ReferenceObject&) = delete;
  ReferenceObject& operator=(const ReferenceObject&) = delete;

  // Returns the new count.
  UInt32 AddReference() const noexcept { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  // Destroys the object when the count reaches 0.
  void RemoveReference() const noexcept
  {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1)
      delete this;
  }
  // Decrements without destroying; true when the count reached 0. For temporary self-references
  // that must not destroy the object a second time.
  Bool RemoveReferenceNoDestroy() const noexcept
  {
    return count_.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }
  UInt32 GetReferenceCount() const noexcept { return count_.load(std::memory_order_relaxed); }

protected:
  virtual ~ReferenceObject() = default;

private:
  mutable std::atomic<UInt32> count_{0};
};

// A counted reference. Copying adds a reference, destruction and reassignment release one.
// Adopt() takes over a reference that someone else already counted (for example one handed out
// by a function that "fills a reference the caller owns").
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
  static Ref Adopt(T* p) noexcept
  {
    Ref r;
    r.p_ = p;
    return r;
  }
  Ref(const Ref& o) noexcept : Ref(o.p_) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <typename U>
  Ref(const Ref<U>& o) noexcept : Ref(static_cast<T*>(o.Get())) // NOLINT
  {
  }
  template <typename U>
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

private:
  T* p_ = nullptr;
};

// Makes a new object and takes its first reference.
template <typename T, typename... A>
Ref<T> MakeRef(A&&... args)
{
  return Ref<T>(new T(std::forward<A>(args)...));
}
