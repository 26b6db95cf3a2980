// Growable arrays of plain values in host memory.
#pragma once

#include <cstring>
#include <type_traits>

#include "orx/memory.h"
#include "orx/types.h"

template <typename T>
class CDynamicArray
{
  static_assert(std::is_trivially_copyable_v<T>, "elements are moved with memcpy and zero-filled");

public:
  static constexpr Int32 kMaxCount = Int32(0x7fffffff / sizeof(T));

  CDynamicArray() = default;
  ~CDynamicArray() { Free(); }
  CDynamicArray(const CDynamicArray&) = delete;
  CDynamicArray& operator=(const CDynamicArray&) = delete;

  Int32 GetCount() const { return count_; }
  Int32 GetCapacity() const { return capacity_; }
  Bool IsEmpty() const { return count_ == 0; }
  T* GetArray() { return data_; }
  const T* GetArray() const { return data_; }
  T& operator[](Int32 i) { return data_[i]; }
  const T& operator[](Int32 i) const { return data_[i]; }

  // Makes room for exactly capacity elements (never shrinks); gained elements are zero-filled.
  Bool Reserve(Int32 capacity)
  {
    if (capacity <= capacity_)
      return true;
    if (capacity > kMaxCount)
      return false;
    T* mem = static_cast<T*>(OrxMemAlloc(Int64(capacity) * Int64(sizeof(T)), __LINE__, __FILE__, true));
    if (!mem)
      return false;
    if (data_) {
      std::memcpy(static_cast<void*>(mem), data_, std::size_t(count_) * sizeof(T));
      OrxMemFree(data_);
    }
    data_ = mem;
    capacity_ = capacity;
    return true;
  }

  // Sets the count, growing to exactly what is needed; new elements are zero.
  Bool SetCount(Int32 count)
  {
    if (count < 0 || !Reserve(count))
      return false;
    if (count > count_)
      std::memset(static_cast<void*>(data_ + count_), 0, std::size_t(count - count_) * sizeof(T));
    count_ = count;
    return true;
  }

  // Appends, growing a full array by max(20, count / 100) elements.
  Bool Append(const T& v)
  {
    if (count_ == capacity_) {
      Int32 step = count_ / 100 > 20 ? count_ / 100 : 20;
      Int32 want = count_ > kMaxCount - step ? kMaxCount : count_ + step;
      if (want <= count_ || !Reserve(want))
        return false;
    }
    data_[count_++] = v;
    return true;
  }

  Bool Append(const T* values, Int32 n)
  {
    if (n < 0 || count_ > kMaxCount - n)
      return false;
    if (count_ + n > capacity_) {
      // Bulk appends grow geometrically so that a long run of them stays linear.
      Int64 want = Int64(capacity_) + Int64(capacity_) / 2;
      if (want < Int64(count_) + n)
        want = Int64(count_) + n;
      if (want > kMaxCount)
        want = kMaxCount;
      if (!Reserve(Int32(want)))
        return false;
    }
    if (n > 0)
      std::memcpy(static_cast<void*>(data_ + count_), values, std::size_t(n) * sizeof(T));
    count_ += n;
    return true;
  }

  void Clear() { count_ = 0; }
  void Free()
  {
    if (data_)
      OrxMemFree(data_);
    data_ = nullptr;
    count_ = capacity_ = 0;
  }

protected:
  T* data_ = nullptr;
  Int32 count_ = 0;
  Int32 capacity_ = 0;
};

template <typename T>
class CStack : public CDynamicArray<T>
{
public:
  Bool Push(const T& v) { return this->Append(v); }
  // False when empty.
  Bool Pop(T* out = nullptr)
  {
    if (this->count_ == 0)
      return false;
    --this->count_;
    if (out)
      *out = this->data_[this->count_];
    return true;
  }
  T& Top() { return this->data_[this->count_ - 1]; }
};
