// Memory of plug-ins comes from the host with the source file and line of the request, so the host
// can list every block that is still alive when a plug-in unloads.
#pragma once

#include <new>
#include <utility>

#include "orx/types.h"

void* OrxMemAlloc(Int64 size, Int32 line, const char* file, Bool clear);
void OrxMemFree(void* block);
// True once a block was taken from the process heap because the host table was not installed yet.
Bool OrxMemUsedProcessHeap();

#define OrxNewMem(T, count) static_cast<T*>(OrxMemAlloc(Int64(sizeof(T)) * Int64(count), __LINE__, __FILE__, false))
#define OrxNewMemClear(T, count) static_cast<T*>(OrxMemAlloc(Int64(sizeof(T)) * Int64(count), __LINE__, __FILE__, true))
#define OrxDeleteMem(p) \
  do {                  \
    OrxMemFree(p);      \
    (p) = nullptr;      \
  } while (0)

namespace orx::detail {
template <typename T, typename... A>
T* NewObj(Int32 line, const char* file, A&&... args)
{
  void* mem = OrxMemAlloc(Int64(sizeof(T)), line, file, false);
  if (!mem)
    return nullptr;
  // A constructor that throws (a value type out of memory) must not leave the block behind.
  try {
    return ::new (mem) T(std::forward<A>(args)...);
  } catch (...) {
    OrxMemFree(mem);
    throw;
  }
}
template <typename T>
void DeleteObj(T* p)
{
  if (!p)
    return;
  p->~T();
  OrxMemFree(const_cast<void*>(static_cast<const void*>(p)));
}
} // namespace orx::detail

// A polymorphic object must be deleted through OrxDeleteObj on its most derived pointer or via a
// virtual destructor that was declared with ORX_HOST_ALLOCATED (below).
#define OrxNewObj(T, ...) orx::detail::NewObj<T>(__LINE__, __FILE__ __VA_OPT__(, ) __VA_ARGS__)
#define OrxDeleteObj(p)          \
  do {                           \
    orx::detail::DeleteObj((p)); \
    (p) = nullptr;               \
  } while (0)

// Classes whose objects are always made with OrxNewObj and destroyed through a virtual destructor
// use this, so that `delete base` frees the block through the host whatever the dynamic type.
#define ORX_HOST_ALLOCATED                                                                    \
  static void* operator new(std::size_t n) { return OrxMemAlloc(Int64(n), __LINE__, __FILE__, false); } \
  static void* operator new(std::size_t, void* where) noexcept { return where; }              \
  static void operator delete(void* p) { OrxMemFree(p); }                                     \
  static void operator delete(void*, void*) noexcept {}

namespace orx {
// Allocator for standard containers inside the host value types.
template <typename T>
struct HostAllocator
{
  using value_type = T;
  HostAllocator() noexcept = default;
  template <typename U>
  HostAllocator(const HostAllocator<U>&) noexcept
  {
  }
  T* allocate(std::size_t n)
  {
    void* p = OrxMemAlloc(Int64(n * sizeof(T)), 0, "sdk value", false);
    if (!p)
      throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { OrxMemFree(p); }
  template <typename U>
  bool operator==(const HostAllocator<U>&) const noexcept
  {
    return true;
  }
};
} // namespace orx
