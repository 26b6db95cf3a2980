// BGStack: the work a window queued for its preview worker, folders to walk and single nodes.
#pragma once

#include <vector>

#include "contenttree/rtreenode.h"
#include "orx/memory.h"
#include "orx/threads.h"

// PushFolder: the folder's children are handed out after the current work, not instead of it.
constexpr Int32 BGFLAG_AFTER_CURRENT = 0x1;
// The node is rendered even when its preview is current or an earlier render failed.
constexpr Int32 BGFLAG_FORCED = 0x4;
// The flags of a single queued node.
constexpr Int32 BGFLAG_ITEM = 0x84;

struct BGWork
{
  NodeRef folder;
  NodeRef node;
  Int32 flags = 0;
};

class BGStack
{
public:
  BGStack();
  ~BGStack() = default;
  BGStack(const BGStack&) = delete;
  BGStack& operator=(const BGStack&) = delete;

  // False only when memory ran out.
  Bool PushFolder(const NodeRef& folder, Int32 flags);
  Bool PushItem(const NodeRef& node);
  // The next work item, or false when the queue is empty.
  Bool Next(BGWork* out);
  Bool IsEmpty() const;
  void Clear();
  // Entries the two lists have room for (they shrink as they empty).
  std::size_t ItemCapacity() const;

private:
  using List = std::vector<BGWork, orx::HostAllocator<BGWork>>;
  static constexpr std::size_t kInitialCapacity = 16;
  // Both expect lock_; references that leave go to dropped, released after the lock.
  void SavePositionLocked(List* dropped);
  static void Shrink(List* list);

  mutable Lock lock_;
  NodeRef current_;
  NodeRef cursor_;
  Int32 flags_ = 0;
  List items_;
  List saved_;
};
