// The process-wide index of all items of all libraries: an unbalanced binary tree of path hashes,
// one node per hash, each with the list of items whose paths have that hash.
//
// Locks: a library's lock is always taken before any node lock; a move takes the old node's lock
// before the new node's. Child links are set once and never change while the tree lives, so a walk
// down the tree reads them without locks; the entry list of a node is guarded by its lock.
#pragma once

#include <atomic>

#include "orx/container.h"
#include "orx/threads.h"
#include "contenttree/referenceobject.h"

class BrowserDatabase;

class BRTreeNode : public ReferenceObject
{
public:
  explicit BRTreeNode(UInt32 key) : key_(key) {}
  ~BRTreeNode() override;

  UInt32 GetKey() const { return key_; }
  RWLock& GetLock() { return lock_; }
  BRTreeNode* GetLeft() const { return left_.load(std::memory_order_acquire); }
  BRTreeNode* GetRight() const { return right_.load(std::memory_order_acquire); }
  BRTreeNode* GetParent() const { return parent_; }

protected:
  friend struct HashTreeAccess;
  UInt32 key_;
  BRTreeNode* parent_ = nullptr; // not counted: a parent outlives its children
  std::atomic<BRTreeNode*> left_{nullptr};  // each holds one reference
  std::atomic<BRTreeNode*> right_{nullptr};
  RWLock lock_;
  void* tree_ = nullptr;
};

// One item of a node. The path is kept here so that lookups never read a record that its
// library may be changing.
struct HashEntry
{
  BaseContainer* item = nullptr;
  BrowserDatabase* db = nullptr;
  String path;
  std::atomic<UInt32> open{0};
};

class BrowserHashNode final : public BRTreeNode
{
public:
  explicit BrowserHashNode(UInt32 key) : BRTreeNode(key) {}
  ~BrowserHashNode() override;

  // For a caller that holds the node's lock.
  Int32 GetEntryCount() const { return count_; }
  HashEntry* GetEntries() { return entries_; }
  Int32 FindIndexLocked(const BaseContainer* item) const;

  // Appends with open count `open`; false when memory runs out.
  Bool AppendLocked(BaseContainer* item, BrowserDatabase* db, String path, UInt32 open);
  void RemoveAtLocked(Int32 index);
  void SwapLocked(Int32 a, Int32 b);

private:
  Int32 count_ = 0;
  HashEntry inline_;
  HashEntry* entries_ = &inline_;
};

namespace hashindex {

Int32 PathHash(const String& path);

// The node with that key, or null; no node is made.
BrowserHashNode* FindNode(UInt32 key);
// The node of the key, made empty when there is none; null when out of memory.
BrowserHashNode* EnsureNode(UInt32 key);
// Adds the item with open count 1 to the node of the key, making the node when there is none.
BrowserHashNode* AddNode(BaseContainer* item, BrowserDatabase* db, String path, UInt32 key);

// Case flag 0 compares paths exactly, anything else ignores letter case.
// The first live entry (item id >= 1) with that path; its open count goes up. Null when none.
BaseContainer* FindEntry(BrowserHashNode* node, const String& path, Int32 caseFlag, BrowserDatabase** db = nullptr);
BaseContainer* FindEntryLocked(BrowserHashNode* node, const String& path, Int32 caseFlag,
                               BrowserDatabase** db = nullptr, Bool raise = true);
Bool AddEntry(BrowserHashNode* node, BaseContainer* item, BrowserDatabase* db, const String& path);
Bool AddEntryLocked(BrowserHashNode* node, BaseContainer* item, BrowserDatabase* db, const String& path,
                    UInt32 open = 1);
void ReleaseEntry(BrowserHashNode* node, const BaseContainer* item);
// Lowers the open count; at 0 an item deleted while open (id -2) leaves the node and gets id -1.
// True when it left.
Bool CloseEntry(BrowserHashNode* node, BaseContainer* item);
// The same, telling apart an item that is not in the node: -1 not there, 1 left, 0 stayed.
Int32 CloseEntryIfThere(BrowserHashNode* node, BaseContainer* item);
// Closing without the library lock: lowers the open count when the item is in the node and
// cannot leave it by this close (not deleted while open, or other handles remain). False when
// nothing was done; the caller then closes the slow way.
Bool CloseIfStays(BrowserHashNode* node, const BaseContainer* item);
Bool RemoveIfUnused(BrowserHashNode* node, const BaseContainer* item);
Bool RemoveEntry(BrowserHashNode* node, const BaseContainer* item);
Bool RemoveEntryLocked(BrowserHashNode* node, const BaseContainer* item);
UInt32 GetOpenCountLocked(BrowserHashNode* node, const BaseContainer* item);
// Removes every entry of the library from every node.
void RemoveLibrary(const BrowserDatabase* db);
// Indexes a loaded item: among equal paths a writable library's item comes before a read-only
// library's item that was indexed earlier.
// node: the node of the key when the caller knows it already, else null.
BrowserHashNode* IndexLoadedItem(BaseContainer* item, BrowserDatabase* db, String path, UInt32 key,
                                 Bool dbReadOnly, Int32 caseFlag, BrowserHashNode* node = nullptr);
// Serialises two-node sections (moves) so that crossing moves of two libraries cannot deadlock.
Lock& MoveLock();

// Frees the tree with all its nodes (when the last library leaves the table).
void FreeTree();
Int64 NodeCount();

} // namespace hashindex
