// GeData and BaseContainer: typed values under integer ids, iterated in insertion order.
#pragma once

#include <vector>

#include "orx/filename.h"
#include "orx/string.h"

class BaseContainer;

enum class DataType : Int32
{
  Nil = 0,
  Int32 = 1,
  Int64 = 2,
  Float = 3,
  Bool = 4,
  String = 5,
  Filename = 6,
  Container = 7,
  Bytes = 8,
  Pointer = 9, // run-time only; a container image stores it as nil
  Dead = -1,   // internal: a removed entry waiting for compaction
};

using ByteArray = std::vector<UChar, orx::HostAllocator<UChar>>;

class GeData
{
public:
  GeData() = default;
  GeData(Int32 v) { SetInt32(v); }          // NOLINT
  GeData(Int64 v) { SetInt64(v); }          // NOLINT
  GeData(Float v) { SetFloat(v); }          // NOLINT
  GeData(Bool v) { SetBool(v); }            // NOLINT
  GeData(const String& v) { SetString(v); } // NOLINT
  GeData(const Filename& v) { SetFilename(v); } // NOLINT
  GeData(const BaseContainer& v);           // NOLINT
  GeData(const GeData& o);
  GeData(GeData&& o) noexcept;
  GeData& operator=(const GeData& o);
  GeData& operator=(GeData&& o) noexcept;
  ~GeData() { Free(); }

  DataType GetType() const { return type_; }
  Bool IsNil() const { return type_ == DataType::Nil; }
  void SetNil() { Free(); }

  void SetInt32(Int32 v);
  void SetInt64(Int64 v);
  void SetFloat(Float v);
  void SetBool(Bool v);
  void SetString(const String& v);
  void SetString(String&& v);
  void SetFilename(const Filename& v);
  void SetContainer(const BaseContainer& v);
  void SetContainer(BaseContainer&& v);
  void SetBytes(const void* data, Int64 size);
  void SetPointer(void* p);

  // Numeric getters convert between Int32, Int64, Float and Bool; other types give the default.
  Int32 GetInt32(Int32 def = 0) const;
  Int64 GetInt64(Int64 def = 0) const;
  Float GetFloat(Float def = 0.0) const;
  Bool GetBool(Bool def = false) const;
  String GetString() const;                       // empty unless String or Filename
  Filename GetFilename() const;                   // empty unless Filename or String
  const String* GetStringPtr() const;             // null unless String
  BaseContainer* GetContainer();                  // null unless Container; address is stable
  const BaseContainer* GetContainer() const;
  const ByteArray* GetBytes() const;              // null unless Bytes
  void* GetPointer() const;                       // null unless Pointer

  friend Bool operator==(const GeData& a, const GeData& b);

private:
  friend class BaseContainer;
  void Free() noexcept;
  void CopyFrom(const GeData& o);

  DataType type_ = DataType::Nil;
  union {
    Int64 i;
    Float f;
    void* p;
    String* s;
    Filename* fn;
    BaseContainer* bc;
    ByteArray* bytes;
  } v_{};
};

class BaseContainer
{
public:
  struct Entry
  {
    Int32 id;
    GeData data;
  };

  explicit BaseContainer(Int32 id = 0) : id_(id) {}
  BaseContainer(const BaseContainer& o);
  BaseContainer(BaseContainer&& o) noexcept;
  BaseContainer& operator=(const BaseContainer& o);
  BaseContainer& operator=(BaseContainer&& o) noexcept;
  ~BaseContainer();

  Int32 GetId() const { return id_; }
  void SetId(Int32 id) { id_ = id; }
  Int32 GetCount() const { return live_; }
  void FlushAll();
  // Takes over o's entries in place of its own; its own id stays as it is (readers elsewhere may
  // be looking at the id meanwhile).
  void TakeEntries(BaseContainer&& o) noexcept;
  // Room for n entries in all, so that adding up to that many moves nothing.
  void Reserve(Int32 n);

  // Lookup by id; null when absent.
  const GeData* GetData(Int32 id) const;
  GeData* GetDataMutable(Int32 id);
  // Sets (replacing in place, keeping the position) or appends.
  GeData& SetData(Int32 id, const GeData& data);
  GeData& SetData(Int32 id, GeData&& data);
  Bool RemoveData(Int32 id);
  Bool Has(Int32 id) const { return GetData(id) != nullptr; }
  // Where the entry stands in iteration order (comparable between entries until the next
  // change of the container); -1 when absent.
  Int32 GetPosition(Int32 id) const { return FindPos(id); }

  Int32 GetInt32(Int32 id, Int32 def = 0) const;
  Int64 GetInt64(Int32 id, Int64 def = 0) const;
  Float GetFloat(Int32 id, Float def = 0.0) const;
  Bool GetBool(Int32 id, Bool def = false) const;
  String GetString(Int32 id, const String& def = String()) const;
  Filename GetFilename(Int32 id) const;
  // A copy of the sub-container (an empty one when absent).
  BaseContainer GetContainer(Int32 id) const;
  // The sub-container itself; its address stays valid until it is removed or replaced.
  BaseContainer* GetContainerInstance(Int32 id);
  const BaseContainer* GetContainerInstance(Int32 id) const;
  void* GetPointer(Int32 id) const;

  void SetInt32(Int32 id, Int32 v) { SetData(id, GeData(v)); }
  void SetInt64(Int32 id, Int64 v) { SetData(id, GeData(v)); }
  void SetFloat(Int32 id, Float v) { SetData(id, GeData(v)); }
  void SetBool(Int32 id, Bool v) { SetData(id, GeData(v)); }
  void SetString(Int32 id, const String& v) { SetData(id, GeData(v)); }
  void SetFilename(Int32 id, const Filename& v) { SetData(id, GeData(v)); }
  // Stores a copy and gives the stored sub-container.
  BaseContainer* SetContainer(Int32 id, const BaseContainer& v);
  BaseContainer* SetContainer(Int32 id, BaseContainer&& v);
  void SetBytes(Int32 id, const void* data, Int64 size);
  void SetPointer(Int32 id, void* p);

  // Iteration in insertion order: `for (Int32 i = 0; const Entry* e = bc.GetIndex(i); ++i)` is slow
  // after removals; prefer the iterator below.
  class Iterator
  {
  public:
    Iterator(const BaseContainer* c, std::size_t pos) : c_(c), pos_(pos) { Skip(); }
    const Entry& operator*() const { return c_->entries_[pos_]; }
    const Entry* operator->() const { return &c_->entries_[pos_]; }
    Iterator& operator++()
    {
      ++pos_;
      Skip();
      return *this;
    }
    bool operator!=(const Iterator& o) const { return pos_ != o.pos_; }
    bool operator==(const Iterator& o) const { return pos_ == o.pos_; }

  private:
    void Skip()
    {
      while (pos_ < c_->entries_.size() && c_->entries_[pos_].data.GetType() == DataType::Dead)
        ++pos_;
    }
    const BaseContainer* c_;
    std::size_t pos_;
  };
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, entries_.size()); }
  // Mutable access to an entry's value while iterating (the id is fixed).
  GeData& Mutable(const Entry& e) { return const_cast<Entry&>(e).data; }

  friend Bool operator==(const BaseContainer& a, const BaseContainer& b);

private:
  friend class Iterator;
  Int32 FindPos(Int32 id) const;
  void BuildIndex() const;
  void Compact();
  void IndexInsert(Int32 id, Int32 pos) const;

  Int32 id_ = 0;
  Int32 live_ = 0;
  Int32 dead_ = 0;
  std::vector<Entry, orx::HostAllocator<Entry>> entries_;
  // Open-addressing index id -> position, built once the container grows past a few entries.
  mutable std::vector<Int32, orx::HostAllocator<Int32>> index_;
  mutable Bool indexValid_ = false;
};
