// The content tree: RTreeNode (five counted links), RTree (the root), BrowserContentTree, and the
// abstract node of every kind of content, BrowserContentNode.
#pragma once

#include <atomic>

#include "base/browserurl.h"
#include "orx/string.h"
#include "orx/threads.h"
#include "orx/types.h"
#include "contenttree/nodeconstants.h"
#include "contenttree/referenceobject.h"

class BaseBitmap;
class BrowserPluginInterface;
class BrowserContentNode;
class RTree;

// Locks of the tree, in the only order in which they are taken:
//   1. the structure lock (one for the module; held by every change of links, so that two changes
//      never interleave and a move can be checked against making a cycle);
//   2. the link lock of the moving node (held to the end of the change);
//   3. the new parent (insert under) or the reference node (insert before), or, while the node
//      leaves its old place, one at a time its old parent, previous and next sibling;
//   4. the neighbour whose link changes (old last child, previous sibling, or the parent).
// At most three link locks are held at once. Readers take one link lock for the moment of taking a
// reference and nothing else. No reference is released while any of these locks is held, since a
// release may destroy a node, and destruction changes links. The content lock of a node is a
// separate, outer lock: it may be held while links change, never taken while a link lock is held.
class RTreeNode : public ReferenceObject
{
public:
  RTreeNode() = default;

  // The parent; null for a top-level node (its parent is the tree) and outside any tree.
  Ref<RTreeNode> GetUp() const;
  Ref<RTreeNode> GetNext() const;
  Ref<RTreeNode> GetPrev() const;
  // The child links themselves, without listing anything.
  Ref<RTreeNode> GetFirstChild() const;
  Ref<RTreeNode> GetLastChild() const;

  virtual Ref<RTreeNode> GetDown() { return GetFirstChild(); }
  virtual Ref<RTreeNode> GetDownLast() { return GetLastChild(); }
  // Takes this node and its whole subtree out of the tree. Every node below gets its own Remove,
  // children before parents. The node cannot be linked anywhere again afterwards.
  virtual void Remove();

  // Not counted; null while the node is outside any tree.
  RTree* GetTree() const { return tree_.load(std::memory_order_acquire); }
  // Changes whenever a child joins or leaves, or a child says its URL changed.
  UInt32 GetChildrenVersion() const
  {
    SettleChildren();
    return childrenVersion_.load(std::memory_order_acquire);
  }
  // True once Remove has begun on this node or on a node above it.
  Bool IsRemoved() const;
  // True while the node has a parent (the tree counts) or a sibling.
  Bool IsLinked() const;

  // Moves the node (with its subtree) to the end of parent's children. A null parent means the top
  // level of the tree the node is in. False, and nothing changed, when there is nowhere to go, when
  // parent lies in the node's own subtree, or when either node was removed.
  Bool InsertUnder(RTreeNode* parent);
  // The same, only for a node that has no parent and no siblings yet, and only with a parent.
  Bool InsertUnderFresh(RTreeNode* parent);
  // Moves the node in front of reference, under the same parent.
  Bool InsertBefore(RTreeNode* reference);
  // Takes the node out of its parent's children, keeping its own children and its tree, so it can
  // be inserted elsewhere (InsertUnder(nullptr) puts it back at the top level). False for a node
  // that is not linked or was removed. Link locks are private to this class, so no caller can hold
  // the parent's: it is locked whatever lockParent says.
  // An unlinked node never outlives its tree's pointer: when the tree goes, the node and its subtree
  // are left in no tree. When nothing but its own children holds an unlinked node, it is removed
  // with its subtree, since no one could reach it again.
  Bool Unlink(Bool lockParent = true);
  // Removes the children one at a time until none is left.
  void RemoveChildren();

protected:
  explicit RTreeNode(Bool contentNode) : content_(contentNode) {}
  ~RTreeNode() override;

  // Children that are owed but not made yet: a kind may keep what it is to add in a compact form
  // and make the nodes only once anyone looks. While the mark is set, every way to the children
  // (first, last, the next of the last, the version, an insertion under this node) asks
  // MakeDeferredChildren first, on the thread that looks, holding no lock of the tree.
  void MarkDeferredChildren(Bool owed) { deferred_.store(owed, std::memory_order_release); }
  virtual void MakeDeferredChildren() {}

private:
  friend class RTree;
  friend class BrowserContentNode;

  RTreeNode* LinkParent() const;
  Bool IsTreeRoot() const;
  Bool InSubtreeOf(const RTreeNode* root) const;
  class SelfReference;
  struct Graveyard;
  struct Walk;
  Bool MoveTo(RTreeNode* parent, RTreeNode* before, Bool freshOnly);
  void UnlinkLocked(Graveyard& dead);
  void RemoveDescendants();
  void Detach();
  void Attach();
  Bool ReleaseWatched() const noexcept override;
  void SettleChildren() const
  {
    if (deferred_.load(std::memory_order_acquire))
      const_cast<RTreeNode*>(this)->MakeDeferredChildren();
  }

  // Fields in the order of the design: five counted links, the link lock, the tree.
  Ref<RTreeNode> parent_; // empty for a top-level node: the tree does not count its children's links to it
  Ref<RTreeNode> first_;
  Ref<RTreeNode> last_;
  Ref<RTreeNode> prev_;
  Ref<RTreeNode> next_;
  mutable SpinLock lock_;
  std::atomic<RTree*> tree_{nullptr};
  Bool topLevel_ = false; // linked directly under the tree
  Bool removed_ = false;
  // An unlinked subtree's root, listed in its tree (detachedIn_) so the tree can let go of it at its
  // end. All three only change under the structure lock.
  std::atomic<UInt32> childrenVersion_{0};
  Bool detached_ = false;
  RTree* detachedIn_ = nullptr;
  RTreeNode* detachedPrev_ = nullptr;
  RTreeNode* detachedNext_ = nullptr;
  const Bool content_ = false;
  std::atomic<Bool> deferred_{false};
};

// The root of one tree; its children are the top-level nodes. Its tree pointer is itself.
// It does not reference itself and top-level nodes do not reference it either: otherwise no release
// could ever bring a tree to 0. Releasing the last reference takes the whole tree apart.
class RTree : public RTreeNode
{
public:
  RTree();
  // A tree cannot leave itself: this only removes every node in it.
  void Remove() override { RemoveChildren(); }

protected:
  ~RTree() override;

private:
  friend class RTreeNode;
  RTreeNode* detachedHead_ = nullptr; // unlinked subtrees that still carry this tree
};

class BrowserContentTree : public RTree
{
public:
  BrowserContentTree() = default;

protected:
  ~BrowserContentTree() override = default;
};

// The node of every kind of content. Every link of a content node that leads to a node leads to
// another content node, except links to the tree itself, which read as null.
class BrowserContentNode : public RTreeNode
{
public:
  // The links as content nodes (null when the linked node is not a content node).
  Ref<BrowserContentNode> GetUpNode() const { return FromTree(GetUp()); }
  Ref<BrowserContentNode> GetNextNode() const { return FromTree(GetNext()); }
  Ref<BrowserContentNode> GetPrevNode() const { return FromTree(GetPrev()); }
  // GetDown and GetDownLast: children are listed first.
  Ref<BrowserContentNode> GetDownNode() { return FromTree(GetDown()); }
  Ref<BrowserContentNode> GetDownLastNode() { return FromTree(GetDownLast()); }
  static BrowserContentNode* Cast(RTreeNode* n) { return n && n->content_ ? static_cast<BrowserContentNode*>(n) : nullptr; }
  static Ref<BrowserContentNode> FromTree(Ref<RTreeNode> n)
  {
    if (!Cast(n.Get()))
      return nullptr;
    return RefCast<BrowserContentNode>(std::move(n));
  }

  // The stored status word; kinds report it through GetInfo as they see fit.
  UInt32 GetStatus() const { return status_.load(std::memory_order_acquire); }
  // Both return the word as it was before.
  UInt32 SetStatus(UInt32 bits) { return status_.fetch_or(bits, std::memory_order_acq_rel); }
  UInt32 ClearStatus(UInt32 bits) { return status_.fetch_and(~bits, std::memory_order_acq_rel); }
  void StoreStatus(UInt32 word) { status_.store(word, std::memory_order_release); }
  Bool IsDeleted() const { return (GetStatus() & NODESTATUS_DELETED) != 0; }
  // Serialises work on the node's content: listing children, renaming, moving, deleting.
  SpinLock& ContentLock() const { return contentLock_; }

  // Virtual operations, in slot order after the destructor.
  /* 1 */ Ref<RTreeNode> GetDown() override;
  /* 2 */ Ref<RTreeNode> GetDownLast() override;
  /* 3 */ void Remove() override;
  /* 4 */ virtual Int32 GetNodeType() = 0;
  /* 5 */ virtual BrowserPluginInterface* GetPluginInterface(UInt32 flags);
  /* 6 */ virtual String GetName() = 0;
  /* 7 */ virtual const String* GetNameRef() = 0;
  /* 8 */ virtual String* GetTypeName(String* out, Int32 mode);
  /* 9 */ virtual Bool GetURL(BrowserURL* out, UInt32 flags) = 0;
  /* 10 */ virtual Bool GetFileTime(Int32 which, DateTime* out);
  /* 11 */ virtual UInt32 GetInfo(Int64* size);
  // The caller owns the bitmap.
  /* 12 */ virtual BaseBitmap* GetIcon(UInt32 flags, Int32 size) = 0;
  /* 13 */ virtual Bool LoadChildren();
  /* 14 */ virtual Int32 Message(Int32 id, Int32 kind, Int32 op, void* data);
  /* 15 */ virtual Int32 Rename(Int32 phase, const String& newName);
  /* 16 */ virtual Int32 NewFolder(Int32 phase, const String& name, Ref<BrowserContentNode>* out);
  /* 17 */ virtual Int32 MoveHere(Ref<BrowserContentNode> node, Int32 phase, EditCallback callback, void* data);
  /* 18 */ virtual Int32 CopyHere(Ref<BrowserContentNode> node, Int32 phase, const String* newName,
                                  EditCallback callback, void* data);
  /* 19 */ virtual Int32 Delete(Int32 phase, EditCallback callback, void* data);
  /* 20 */ virtual void ReplaceURLPrefix(const String& oldPrefix, const String& newPrefix, Bool updateLibrary);

  // Outside the slot order. The length of the node's URL when it equals the first units of upper
  // (an upper-cased URL) after case conversion; -1 otherwise.
  virtual Int32 MatchUpperURLPrefix(const String& upper);
  // The same for a lookup that also has the URL as it was given (text, of upper's length): kinds
  // whose names keep their letter case (files) compare text; the others compare upper.
  virtual Int32 MatchURLPrefix(const String& upper, const String& text)
  {
    (void)text;
    return MatchUpperURLPrefix(upper);
  }
  // True for a kind whose URL text changes only where it calls URLChanged: only such children are
  // found through their parent's row index, the others are always compared one by one.
  virtual Bool NotifiesURLChanges() const { return false; }
  // The child that upper (an upper-cased URL; text is the URL as given) leads to: the one whose URL
  // is the longest prefix ending where a part of the URL ends. len gets the prefix length. Wide
  // rows are indexed, so the cost does not grow with the number of children.
  Ref<BrowserContentNode> FindChildForURL(const String& upper, const String& text, Int32* len);

protected:
  explicit BrowserContentNode(UInt32 status = 0) : RTreeNode(true), status_(status) {}
  ~BrowserContentNode() override;
  // Tells the parent's row index that this node's URL text changed.
  void URLChanged();

private:
  struct RowIndex;
  void DropRowIndex();
  std::atomic<UInt32> status_;
  mutable SpinLock contentLock_;
  SpinLock rowLock_;                  // guards rowIndex_
  RowIndex* rowIndex_ = nullptr;      // the index of this node's children, when they are many
};

// The length of text when it equals the first units of upper (upper-cased) after case conversion;
// -1 otherwise.
Int32 MatchUpperPrefix(const String& text, const String& upper);

// Matches one node of a row against upper the way FindChildForURL does: the prefix length, or -1
// when the node's URL is no prefix of upper ending at a part boundary.
Int32 MatchRowNode(BrowserContentNode* n, const String& upper, const String& text);

using NodeRef = Ref<BrowserContentNode>;
