#include "contenttree/rtreenode.h"

#include <array>
#include <cassert>
#include <mutex>

#include "contenttree/nodehandler.h"

namespace {
// Lock 1 of the order in rtreenode.h. Per-node locks alone cannot keep two concurrent moves from
// waiting on each other or from hanging a subtree below itself.
SpinLock g_structureLock;
} // namespace

// The temporary reference a node holds on itself during a structural change. A node that nobody
// references yet (one that inserts itself while it is being made) must survive the change even when
// it ends unlinked, so its count goes back to 0 without destroying it.
class RTreeNode::SelfReference
{
public:
  explicit SelfReference(const RTreeNode* node) : node_(node), owned_(node->AddReference() > 1) {}
  ~SelfReference()
  {
    if (owned_)
      node_->RemoveReference();
    else
      node_->RemoveReferenceNoDestroy();
  }
  SelfReference(const SelfReference&) = delete;
  SelfReference& operator=(const SelfReference&) = delete;

private:
  const RTreeNode* node_;
  Bool owned_;
};

// References dropped while locks are held, released when every lock is gone.
struct RTreeNode::Graveyard
{
  std::array<Ref<RTreeNode>, 12> refs;
  std::size_t count = 0;
  void Bury(Ref<RTreeNode> r)
  {
    if (!r)
      return;
    assert(count < refs.size());
    refs[count++] = std::move(r);
  }
};

// Pre-order walk over raw links; only under the structure lock, which keeps the links still.
struct RTreeNode::Walk
{
  template <typename F>
  static void Subtree(RTreeNode* root, F&& visit)
  {
    RTreeNode* n = root;
    for (;;) {
      visit(n);
      if (n->first_) {
        n = n->first_.Get();
        continue;
      }
      while (n != root && !n->next_)
        n = n->parent_.Get();
      if (n == root)
        return;
      n = n->next_.Get();
    }
  }
};

RTreeNode::~RTreeNode()
{
  // Only an isolated node reaches a count of 0; the temporary reference lets Remove take its own.
  AddReference();
  RTreeNode::Remove();
  RemoveReferenceNoDestroy();
}

Ref<RTreeNode> RTreeNode::GetUp() const
{
  std::lock_guard l(lock_);
  return parent_;
}

Ref<RTreeNode> RTreeNode::GetNext() const
{
  Ref<RTreeNode> owing;
  {
    std::lock_guard l(lock_);
    if (next_ || !parent_ || !parent_->deferred_.load(std::memory_order_acquire))
      return next_;
    owing = parent_;
  }
  // The last child of a parent that owes children: they come after it.
  owing->SettleChildren();
  std::lock_guard l(lock_);
  return next_;
}

Ref<RTreeNode> RTreeNode::GetPrev() const
{
  std::lock_guard l(lock_);
  return prev_;
}

Ref<RTreeNode> RTreeNode::GetFirstChild() const
{
  SettleChildren();
  std::lock_guard l(lock_);
  return first_;
}

Ref<RTreeNode> RTreeNode::GetLastChild() const
{
  SettleChildren();
  std::lock_guard l(lock_);
  return last_;
}

Bool RTreeNode::IsRemoved() const
{
  std::lock_guard l(lock_);
  return removed_;
}

Bool RTreeNode::IsLinked() const
{
  std::lock_guard l(lock_);
  return parent_ || topLevel_ || prev_ || next_;
}

Bool RTreeNode::IsTreeRoot() const
{
  const RTreeNode* tree = tree_.load(std::memory_order_relaxed);
  return tree == this;
}

RTreeNode* RTreeNode::LinkParent() const
{
  if (parent_)
    return parent_.Get();
  return topLevel_ ? tree_.load(std::memory_order_relaxed) : nullptr;
}

Bool RTreeNode::InSubtreeOf(const RTreeNode* root) const
{
  for (const RTreeNode* n = this; n; n = n->LinkParent())
    if (n == root)
      return true;
  return false;
}

void RTreeNode::UnlinkLocked(Graveyard& dead)
{
  if (RTreeNode* up = LinkParent()) {
    up->childrenVersion_.fetch_add(1, std::memory_order_acq_rel);
    std::lock_guard l(up->lock_);
    if (up->first_.Get() == this)
      dead.Bury(std::exchange(up->first_, next_));
    if (up->last_.Get() == this)
      dead.Bury(std::exchange(up->last_, prev_));
  }
  if (RTreeNode* prev = prev_.Get()) {
    std::lock_guard l(prev->lock_);
    dead.Bury(std::exchange(prev->next_, next_));
  }
  if (RTreeNode* next = next_.Get()) {
    std::lock_guard l(next->lock_);
    dead.Bury(std::exchange(next->prev_, prev_));
  }
  dead.Bury(std::move(prev_));
  dead.Bury(std::move(next_));
  dead.Bury(std::move(parent_));
  topLevel_ = false;
}

void RTreeNode::Detach()
{
  detached_ = true;
  RTree* tree = tree_.load(std::memory_order_relaxed);
  if (tree && !IsTreeRoot()) {
    detachedIn_ = tree;
    detachedPrev_ = nullptr;
    detachedNext_ = std::exchange(tree->detachedHead_, this);
    if (detachedNext_)
      detachedNext_->detachedPrev_ = this;
  }
  WatchReleases(true);
}

void RTreeNode::Attach()
{
  if (!detached_)
    return;
  if (RTree* tree = std::exchange(detachedIn_, nullptr)) {
    if (detachedPrev_)
      detachedPrev_->detachedNext_ = detachedNext_;
    else
      tree->detachedHead_ = detachedNext_;
    if (detachedNext_)
      detachedNext_->detachedPrev_ = detachedPrev_;
  }
  detachedPrev_ = detachedNext_ = nullptr;
  detached_ = false;
  WatchReleases(false);
}

Bool RTreeNode::ReleaseWatched() const noexcept
{
  RTreeNode* self = const_cast<RTreeNode*>(this);
  {
    std::lock_guard structure(g_structureLock);
    if (!detached_ || removed_)
      return false;
    // Children count their link to the parent; the reference being released is the one more.
    UInt32 children = 0;
    for (const RTreeNode* c = first_.Get(); c; c = c->next_.Get())
      ++children;
    if (children == 0 || GetReferenceCount() != children + 1)
      return false;
  }
  // The released reference keeps the node alive through Remove, which clears the watch, so the
  // release below is an ordinary one and destroys the node.
  self->Remove();
  RemoveReference();
  return true;
}

Bool RTreeNode::MoveTo(RTreeNode* parent, RTreeNode* before, Bool freshOnly)
{
  // A node that joins at the end comes after the children its parent owes.
  if (parent && !before)
    parent->SettleChildren();
  // Declared before the locks so that they go after them.
  SelfReference keep(this);
  Graveyard dead;
  std::lock_guard structure(g_structureLock);
  std::lock_guard self(lock_);

  if (IsTreeRoot() || removed_)
    return false;
  if (freshOnly && (!parent || parent_ || topLevel_ || prev_ || next_))
    return false;
  RTreeNode* target = nullptr;
  if (before) {
    if (before == this || before->removed_)
      return false;
    target = before->LinkParent();
  } else {
    target = parent ? parent : tree_.load(std::memory_order_relaxed);
  }
  // removed_ is only written under the structure lock, so it is stable here.
  if (!target || target->removed_)
    return false;
  // Only a node with children can end up below itself; fresh nodes skip the climb.
  if ((first_ || target == this) && target->InSubtreeOf(this))
    return false;

  Attach();
  UnlinkLocked(dead);

  if (before) {
    std::lock_guard ref(before->lock_);
    if (RTreeNode* prev = before->prev_.Get()) {
      std::lock_guard neighbour(prev->lock_);
      dead.Bury(std::exchange(prev->next_, Ref<RTreeNode>(this)));
    } else {
      std::lock_guard neighbour(target->lock_);
      dead.Bury(std::exchange(target->first_, Ref<RTreeNode>(this)));
    }
    prev_ = std::exchange(before->prev_, Ref<RTreeNode>(this));
    next_ = Ref<RTreeNode>(before);
  } else {
    std::lock_guard up(target->lock_);
    if (RTreeNode* last = target->last_.Get()) {
      std::lock_guard neighbour(last->lock_);
      last->next_ = Ref<RTreeNode>(this);
    } else {
      target->first_ = Ref<RTreeNode>(this);
    }
    prev_ = std::exchange(target->last_, Ref<RTreeNode>(this));
  }
  target->childrenVersion_.fetch_add(1, std::memory_order_acq_rel);
  if (target->IsTreeRoot())
    topLevel_ = true;
  else
    parent_ = Ref<RTreeNode>(target);

  // A linked node always shares its parent's tree, so the walk is needed only when that changes.
  RTree* tree = target->tree_.load(std::memory_order_relaxed);
  if (tree_.load(std::memory_order_relaxed) != tree)
    Walk::Subtree(this, [tree](RTreeNode* n) { n->tree_.store(tree, std::memory_order_release); });
  return true;
}

Bool RTreeNode::InsertUnder(RTreeNode* parent) { return MoveTo(parent, nullptr, false); }

Bool RTreeNode::InsertUnderFresh(RTreeNode* parent) { return MoveTo(parent, nullptr, true); }

Bool RTreeNode::InsertBefore(RTreeNode* reference) { return reference && MoveTo(nullptr, reference, false); }

Bool RTreeNode::Unlink(Bool)
{
  SelfReference keep(this);
  Graveyard dead;
  std::lock_guard structure(g_structureLock);
  std::lock_guard self(lock_);
  if (removed_ || (!LinkParent() && !prev_ && !next_))
    return false;
  UnlinkLocked(dead);
  Detach();
  return true;
}

void RTreeNode::Remove()
{
  SelfReference keep(this);
  {
    // Marking the whole subtree first keeps anything from moving into or out of it while it is
    // taken apart, so the walk below stays inside it.
    std::lock_guard structure(g_structureLock);
    Walk::Subtree(this, [](RTreeNode* n) {
      std::lock_guard l(n->lock_);
      n->removed_ = true;
    });
  }
  RemoveDescendants();
  Graveyard dead;
  std::lock_guard structure(g_structureLock);
  std::lock_guard self(lock_);
  Attach();
  UnlinkLocked(dead);
  tree_.store(nullptr, std::memory_order_release);
}

void RTreeNode::RemoveDescendants()
{
  // Leaves first, climbing back up, so neither depth nor breadth costs stack and each node is
  // visited a bounded number of times.
  Ref<RTreeNode> cur = GetFirstChild();
  while (cur) {
    for (Ref<RTreeNode> down = cur->GetFirstChild(); down; down = cur->GetFirstChild())
      cur = std::move(down);
    Ref<RTreeNode> up = cur->GetUp();
    cur->Remove();
    if (cur->IsLinked()) // an override that forgot the base must not stall the walk
      cur->RTreeNode::Remove();
    if (!up || up.Get() == this)
      cur = GetFirstChild();
    else
      cur = std::move(up);
  }
}

void RTreeNode::RemoveChildren()
{
  for (Ref<RTreeNode> child = GetFirstChild(); child; child = GetFirstChild()) {
    child->Remove();
    if (child->IsLinked())
      child->RTreeNode::Remove();
  }
}

RTree::RTree() { tree_.store(this, std::memory_order_release); }

RTree::~RTree()
{
  AddReference();
  {
    std::lock_guard structure(g_structureLock);
    std::lock_guard self(lock_);
    removed_ = true; // nothing joins the top level while it is taken apart
    // Unlinked subtrees outlive the tree: they are left in no tree, so InsertUnder(nullptr) fails.
    for (RTreeNode* root = std::exchange(detachedHead_, nullptr); root;) {
      RTreeNode* next = std::exchange(root->detachedNext_, nullptr);
      root->detachedPrev_ = nullptr;
      root->detachedIn_ = nullptr;
      Walk::Subtree(root, [](RTreeNode* n) { n->tree_.store(nullptr, std::memory_order_release); });
      root = next;
    }
  }
  RemoveChildren();
  RemoveReferenceNoDestroy();
}

Ref<RTreeNode> BrowserContentNode::GetDown()
{
  LoadChildren();
  return GetFirstChild();
}

Ref<RTreeNode> BrowserContentNode::GetDownLast()
{
  LoadChildren();
  return GetLastChild();
}

void BrowserContentNode::Remove()
{
  {
    std::lock_guard l(lock_);
    SetStatus(NODESTATUS_DELETED);
  }
  RTreeNode::Remove();
  // The index holds the removed children; they go now, not with this node.
  DropRowIndex();
}

BrowserPluginInterface* BrowserContentNode::GetPluginInterface(UInt32) { return nullptr; }

String* BrowserContentNode::GetTypeName(String* out, Int32 mode)
{
  if (!out)
    return nullptr;
  *out = String();
  NodeTypeNameFromHandler(this, out, mode);
  return out;
}

Bool BrowserContentNode::GetFileTime(Int32, DateTime* out)
{
  if (out)
    *out = DateTime{};
  return false;
}

UInt32 BrowserContentNode::GetInfo(Int64* size)
{
  if (size)
    *size = 0;
  return 0;
}

Bool BrowserContentNode::LoadChildren() { return false; }

Int32 BrowserContentNode::Message(Int32, Int32, Int32, void*) { return MESSAGE_NOT_HANDLED; }

Int32 BrowserContentNode::Rename(Int32, const String&) { return EDIT_RENAME_REFUSED; }

Int32 BrowserContentNode::NewFolder(Int32, const String&, Ref<BrowserContentNode>* out)
{
  if (out)
    *out = nullptr;
  return EDIT_NEWFOLDER_REFUSED;
}

Int32 BrowserContentNode::MoveHere(Ref<BrowserContentNode>, Int32, EditCallback, void*) { return EDIT_MOVE_REFUSED; }

Int32 BrowserContentNode::CopyHere(Ref<BrowserContentNode>, Int32, const String*, EditCallback, void*)
{
  return EDIT_COPY_REFUSED;
}

Int32 BrowserContentNode::Delete(Int32, EditCallback, void*) { return EDIT_DELETE_REFUSED; }

void BrowserContentNode::ReplaceURLPrefix(const String&, const String&, Bool) {}
