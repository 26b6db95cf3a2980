#include "presets/browserhashnode.h"

#include <mutex>
#include <shared_mutex>
#include <vector>

#include "base/browserurl.h"
#include "presets/browserdatabase.h"

namespace {
std::atomic<BrowserHashNode*> g_root{nullptr};
std::atomic<Int64> g_nodes{0};

// Nodes recently found or inserted, one per slot by the low bits of the key, in front of the
// tree walk: a 100 000-node tree is about 23 levels deep, a cache miss each. A slot only ever
// names a node of the tree, so a stale slot just means walking; the tree stays the truth.
constexpr UInt32 kCacheSlots = 1u << 17;
std::atomic<std::atomic<BrowserHashNode*>*> g_cache{nullptr};

void Remember(BrowserHashNode* n)
{
  if (std::atomic<BrowserHashNode*>* c = g_cache.load(std::memory_order_acquire))
    c[n->GetKey() & (kCacheSlots - 1)].store(n, std::memory_order_release);
}

Lock& RootLock()
{
  static Lock* l = new Lock(); // lives as long as the process: threads may still be unwinding
  return *l;
}

bool SamePath(const String& a, const String& b, Int32 caseFlag)
{
  if (caseFlag == 0)
    return a == b;
  // The case of the hash, so that paths that compare equal are in the same node.
  return BrowserPathsEqualIgnoreCase(a, b);
}

void ReleaseSubtree(BRTreeNode* n);
} // namespace

struct HashTreeAccess
{
  static std::atomic<BRTreeNode*>& Left(BRTreeNode* n) { return n->left_; }
  static std::atomic<BRTreeNode*>& Right(BRTreeNode* n) { return n->right_; }
  static void SetParent(BRTreeNode* n, BRTreeNode* p) { n->parent_ = p; }
};

BRTreeNode::~BRTreeNode()
{
  // Children are normally detached by FreeTree, which avoids deep recursion.
  if (BRTreeNode* l = left_.exchange(nullptr))
    l->RemoveReference();
  if (BRTreeNode* r = right_.exchange(nullptr))
    r->RemoveReference();
}

BrowserHashNode::~BrowserHashNode()
{
  if (entries_ != &inline_) {
    for (Int32 i = 0; i < count_; ++i)
      entries_[i].~HashEntry();
    OrxMemFree(entries_);
  }
  g_nodes.fetch_sub(1, std::memory_order_relaxed);
}

Int32 BrowserHashNode::FindIndexLocked(const BaseContainer* item) const
{
  for (Int32 i = 0; i < count_; ++i)
    if (entries_[i].item == item)
      return i;
  return -1;
}

Bool BrowserHashNode::AppendLocked(BaseContainer* item, BrowserDatabase* db, String path, UInt32 open)
{
  if (count_ == 0) {
    entries_ = &inline_;
    inline_.item = item;
    inline_.db = db;
    inline_.path = std::move(path);
    inline_.open.store(open, std::memory_order_relaxed);
    count_ = 1;
    return true;
  }
  // Exactly one more slot: most nodes hold one or two items and memory per item counts.
  void* mem = OrxMemAlloc(Int64(sizeof(HashEntry)) * (count_ + 1), __LINE__, __FILE__, false);
  if (!mem)
    return false;
  HashEntry* arr = static_cast<HashEntry*>(mem);
  for (Int32 i = 0; i < count_; ++i) {
    HashEntry* e = ::new (&arr[i]) HashEntry();
    e->item = entries_[i].item;
    e->db = entries_[i].db;
    e->path = std::move(entries_[i].path);
    e->open.store(entries_[i].open.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  HashEntry* e = ::new (&arr[count_]) HashEntry();
  e->item = item;
  e->db = db;
  e->path = std::move(path);
  e->open.store(open, std::memory_order_relaxed);
  if (entries_ != &inline_) {
    for (Int32 i = 0; i < count_; ++i)
      entries_[i].~HashEntry();
    OrxMemFree(entries_);
  } else {
    inline_.path = String();
    inline_.item = nullptr;
  }
  entries_ = arr;
  ++count_;
  return true;
}

void BrowserHashNode::RemoveAtLocked(Int32 index)
{
  if (index < 0 || index >= count_)
    return;
  for (Int32 i = index; i + 1 < count_; ++i) {
    entries_[i].item = entries_[i + 1].item;
    entries_[i].db = entries_[i + 1].db;
    entries_[i].path = std::move(entries_[i + 1].path);
    entries_[i].open.store(entries_[i + 1].open.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  --count_;
  HashEntry& last = entries_[count_];
  last.item = nullptr;
  last.db = nullptr;
  last.path = String();
  last.open.store(0, std::memory_order_relaxed);
  if (count_ == 1 && entries_ != &inline_) {
    // Back to the inline entry.
    inline_.item = entries_[0].item;
    inline_.db = entries_[0].db;
    inline_.path = std::move(entries_[0].path);
    inline_.open.store(entries_[0].open.load(std::memory_order_relaxed), std::memory_order_relaxed);
    for (Int32 i = 0; i < 2; ++i)
      entries_[i].~HashEntry();
    OrxMemFree(entries_);
    entries_ = &inline_;
  } else if (count_ == 0 && entries_ != &inline_) {
    for (Int32 i = 0; i < 1; ++i)
      entries_[i].~HashEntry();
    OrxMemFree(entries_);
    entries_ = &inline_;
  }
}

void BrowserHashNode::SwapLocked(Int32 a, Int32 b)
{
  HashEntry& x = entries_[a];
  HashEntry& y = entries_[b];
  std::swap(x.item, y.item);
  std::swap(x.db, y.db);
  std::swap(x.path, y.path);
  UInt32 ox = x.open.load(std::memory_order_relaxed);
  x.open.store(y.open.load(std::memory_order_relaxed), std::memory_order_relaxed);
  y.open.store(ox, std::memory_order_relaxed);
}

namespace {
void ReleaseSubtree(BRTreeNode* root)
{
  std::vector<BRTreeNode*> stack;
  if (root)
    stack.push_back(root);
  while (!stack.empty()) {
    BRTreeNode* n = stack.back();
    stack.pop_back();
    if (BRTreeNode* l = HashTreeAccess::Left(n).exchange(nullptr))
      stack.push_back(l);
    if (BRTreeNode* r = HashTreeAccess::Right(n).exchange(nullptr))
      stack.push_back(r);
    n->RemoveReference();
  }
}
} // namespace

namespace hashindex {

Int32 PathHash(const String& path) { return BrowserPathHash(path); }

BrowserHashNode* FindNode(UInt32 key)
{
  if (std::atomic<BrowserHashNode*>* c = g_cache.load(std::memory_order_acquire)) {
    BrowserHashNode* hit = c[key & (kCacheSlots - 1)].load(std::memory_order_acquire);
    if (hit && hit->GetKey() == key)
      return hit;
  }
  BRTreeNode* n = g_root.load(std::memory_order_acquire);
  while (n) {
    UInt32 k = n->GetKey();
    if (k == key) {
      Remember(static_cast<BrowserHashNode*>(n));
      return static_cast<BrowserHashNode*>(n);
    }
    n = key > k ? n->GetRight() : n->GetLeft();
  }
  return nullptr;
}

namespace {
// Links a new node or gives the existing node of that key.
BrowserHashNode* InsertNode(BrowserHashNode* fresh)
{
  BrowserHashNode* root = g_root.load(std::memory_order_acquire);
  if (!root) {
    std::lock_guard<Lock> g(RootLock());
    root = g_root.load(std::memory_order_acquire);
    if (!root) {
      // Without memory for the cache every lookup walks the tree.
      if (!g_cache.load(std::memory_order_acquire))
        g_cache.store(static_cast<std::atomic<BrowserHashNode*>*>(OrxMemAlloc(
                        Int64(sizeof(std::atomic<BrowserHashNode*>)) * kCacheSlots, __LINE__, __FILE__, true)),
                      std::memory_order_release);
      fresh->AddReference();
      g_root.store(fresh, std::memory_order_release);
      Remember(fresh);
      return fresh;
    }
  }
  BRTreeNode* n = root;
  for (;;) {
    UInt32 k = n->GetKey();
    if (k == fresh->GetKey())
      return static_cast<BrowserHashNode*>(n);
    std::atomic<BRTreeNode*>& link = fresh->GetKey() > k ? HashTreeAccess::Right(n) : HashTreeAccess::Left(n);
    BRTreeNode* child = link.load(std::memory_order_acquire);
    if (!child) {
      std::lock_guard<RWLock> g(n->GetLock());
      child = link.load(std::memory_order_acquire);
      if (!child) {
        HashTreeAccess::SetParent(fresh, n);
        fresh->AddReference();
        link.store(fresh, std::memory_order_release);
        Remember(fresh);
        return fresh;
      }
    }
    n = child;
  }
}
} // namespace

BrowserHashNode* AddNode(BaseContainer* item, BrowserDatabase* db, String path, UInt32 key)
{
  if (BrowserHashNode* existing = FindNode(key)) {
    std::lock_guard<RWLock> g(existing->GetLock());
    return existing->AppendLocked(item, db, std::move(path), 1) ? existing : nullptr;
  }
  void* mem = OrxMemAlloc(Int64(sizeof(BrowserHashNode)), __LINE__, __FILE__, false);
  if (!mem)
    return nullptr;
  BrowserHashNode* fresh = ::new (mem) BrowserHashNode(key);
  g_nodes.fetch_add(1, std::memory_order_relaxed);
  fresh->AddReference(); // ours while inserting
  BrowserHashNode* node = InsertNode(fresh);
  BrowserHashNode* result = node;
  {
    std::lock_guard<RWLock> g(node->GetLock());
    if (!node->AppendLocked(item, db, std::move(path), 1))
      result = nullptr;
  }
  fresh->RemoveReference(); // drops the node when another one of that key won
  return result;
}

BrowserHashNode* EnsureNode(UInt32 key)
{
  if (BrowserHashNode* existing = FindNode(key))
    return existing;
  void* mem = OrxMemAlloc(Int64(sizeof(BrowserHashNode)), __LINE__, __FILE__, false);
  if (!mem)
    return nullptr;
  BrowserHashNode* fresh = ::new (mem) BrowserHashNode(key);
  g_nodes.fetch_add(1, std::memory_order_relaxed);
  fresh->AddReference();
  BrowserHashNode* node = InsertNode(fresh);
  fresh->RemoveReference();
  return node;
}

BaseContainer* FindEntryLocked(BrowserHashNode* node, const String& path, Int32 caseFlag, BrowserDatabase** db,
                               Bool raise)
{
  if (!node)
    return nullptr;
  HashEntry* e = node->GetEntries();
  for (Int32 i = 0, n = node->GetEntryCount(); i < n; ++i) {
    if (e[i].item && e[i].item->GetId() >= 1 && SamePath(e[i].path, path, caseFlag)) {
      if (raise)
        e[i].open.fetch_add(1, std::memory_order_relaxed);
      if (db)
        *db = e[i].db;
      return e[i].item;
    }
  }
  return nullptr;
}

BaseContainer* FindEntry(BrowserHashNode* node, const String& path, Int32 caseFlag, BrowserDatabase** db)
{
  if (!node)
    return nullptr;
  std::shared_lock<RWLock> g(node->GetLock());
  return FindEntryLocked(node, path, caseFlag, db, true);
}

Bool AddEntryLocked(BrowserHashNode* node, BaseContainer* item, BrowserDatabase* db, const String& path, UInt32 open)
{
  return node && node->AppendLocked(item, db, path, open);
}

Bool AddEntry(BrowserHashNode* node, BaseContainer* item, BrowserDatabase* db, const String& path)
{
  if (!node)
    return false;
  std::lock_guard<RWLock> g(node->GetLock());
  return node->AppendLocked(item, db, path, 1);
}

void ReleaseEntry(BrowserHashNode* node, const BaseContainer* item)
{
  if (!node)
    return;
  std::shared_lock<RWLock> g(node->GetLock());
  Int32 i = node->FindIndexLocked(item);
  if (i >= 0) {
    std::atomic<UInt32>& c = node->GetEntries()[i].open;
    UInt32 v = c.load(std::memory_order_relaxed);
    while (v > 0 && !c.compare_exchange_weak(v, v - 1, std::memory_order_relaxed)) {
    }
  }
}

Int32 CloseEntryIfThere(BrowserHashNode* node, BaseContainer* item)
{
  if (!node)
    return -1;
  std::lock_guard<RWLock> g(node->GetLock());
  Int32 i = node->FindIndexLocked(item);
  if (i < 0)
    return -1;
  HashEntry& e = node->GetEntries()[i];
  UInt32 v = e.open.load(std::memory_order_relaxed);
  if (v > 0)
    e.open.store(--v, std::memory_order_relaxed);
  if (v == 0 && item->GetId() == -2) {
    node->RemoveAtLocked(i);
    item->SetId(-1);
    return 1;
  }
  return 0;
}

Bool CloseEntry(BrowserHashNode* node, BaseContainer* item) { return CloseEntryIfThere(node, item) == 1; }

Bool CloseIfStays(BrowserHashNode* node, const BaseContainer* item)
{
  if (!node)
    return false;
  // Ids become -2 only under the node's write lock, so the id is stable under the read lock.
  std::shared_lock<RWLock> g(node->GetLock());
  Int32 i = node->FindIndexLocked(item);
  if (i < 0)
    return false;
  std::atomic<UInt32>& c = node->GetEntries()[i].open;
  const Bool deleted = item->GetId() == -2;
  UInt32 v = c.load(std::memory_order_relaxed);
  for (;;) {
    if (v == 0 || (deleted && v == 1))
      return false;
    if (c.compare_exchange_weak(v, v - 1, std::memory_order_relaxed))
      return true;
  }
}

UInt32 GetOpenCountLocked(BrowserHashNode* node, const BaseContainer* item)
{
  Int32 i = node ? node->FindIndexLocked(item) : -1;
  return i < 0 ? 0 : node->GetEntries()[i].open.load(std::memory_order_relaxed);
}

Bool RemoveIfUnused(BrowserHashNode* node, const BaseContainer* item)
{
  if (!node)
    return false;
  std::lock_guard<RWLock> g(node->GetLock());
  Int32 i = node->FindIndexLocked(item);
  if (i < 0 || node->GetEntries()[i].open.load(std::memory_order_relaxed) != 0)
    return false;
  node->RemoveAtLocked(i);
  return true;
}

Bool RemoveEntryLocked(BrowserHashNode* node, const BaseContainer* item)
{
  Int32 i = node ? node->FindIndexLocked(item) : -1;
  if (i < 0)
    return false;
  node->RemoveAtLocked(i);
  return true;
}

Bool RemoveEntry(BrowserHashNode* node, const BaseContainer* item)
{
  if (!node)
    return false;
  std::lock_guard<RWLock> g(node->GetLock());
  return RemoveEntryLocked(node, item);
}

void RemoveLibrary(const BrowserDatabase* db)
{
  std::vector<BRTreeNode*> stack;
  if (BRTreeNode* r = g_root.load(std::memory_order_acquire))
    stack.push_back(r);
  while (!stack.empty()) {
    BrowserHashNode* n = static_cast<BrowserHashNode*>(stack.back());
    stack.pop_back();
    {
      std::lock_guard<RWLock> g(n->GetLock());
      for (Int32 i = n->GetEntryCount() - 1; i >= 0; --i)
        if (n->GetEntries()[i].db == db)
          n->RemoveAtLocked(i);
    }
    if (BRTreeNode* l = n->GetLeft())
      stack.push_back(l);
    if (BRTreeNode* r = n->GetRight())
      stack.push_back(r);
  }
}

BrowserHashNode* IndexLoadedItem(BaseContainer* item, BrowserDatabase* db, String path, UInt32 key,
                                 Bool dbReadOnly, Int32 caseFlag, BrowserHashNode* node)
{
  if (!node || node->GetKey() != key)
    node = EnsureNode(key);
  if (!node)
    return nullptr;
  // Entered closed (open count 0) and put in place under one lock.
  std::lock_guard<RWLock> g(node->GetLock());
  if (!node->AppendLocked(item, db, std::move(path), 0))
    return nullptr;
  Int32 i = node->GetEntryCount() - 1;
  if (i >= 1 && !dbReadOnly) {
    HashEntry* e = node->GetEntries();
    const String& own = e[i].path; // the path went into the entry
    for (Int32 j = 0; j < i; ++j) {
      if (e[j].db && e[j].db != db && e[j].db->IsReadOnly() && SamePath(e[j].path, own, caseFlag)) {
        node->SwapLocked(i, j);
        break;
      }
    }
  }
  return node;
}

Lock& MoveLock()
{
  static Lock* l = new Lock();
  return *l;
}

void FreeTree()
{
  BrowserHashNode* root = nullptr;
  std::atomic<BrowserHashNode*>* cache = nullptr;
  {
    std::lock_guard<Lock> g(RootLock());
    root = g_root.exchange(nullptr, std::memory_order_acq_rel);
    cache = g_cache.exchange(nullptr, std::memory_order_acq_rel);
  }
  ReleaseSubtree(root);
  OrxMemFree(cache);
}

Int64 NodeCount() { return g_nodes.load(std::memory_order_relaxed); }

} // namespace hashindex
