// Brings a folder node's children in line with a fresh listing of the folder: a child that matches
// an entry by key is refreshed in place (its node, references and previews stay), an entry without
// one gets a new node, and after a whole listing the children no entry matched are removed.
#pragma once

#include <string>
#include <unordered_map>

#include "contenttree/rtreenode.h"

// cast(BrowserContentNode*) -> NodeT* (null for children the listing does not own);
// nodeKey(NodeT*) and entryKey(const Entry&) -> std::u16string; refresh(NodeT*, Entry&);
// make(Entry&) -> Ref<NodeT>; stop() -> Bool, asked between two entries.
// Answers false when stop cut the merge short: nothing is swept then, since a listing cut short
// proves nothing about what it did not reach.
template <class NodeT, class Entries, class Cast, class NodeKey, class EntryKey, class Refresh, class Make, class Stop>
Bool MergeListedChildren(BrowserContentNode* parent, Entries& entries, Bool sweep, Cast cast, NodeKey nodeKey,
                         EntryKey entryKey, Refresh refresh, Make make, Stop stop)
{
  struct Child
  {
    Ref<NodeT> node;
    Bool seen = false;
  };
  std::unordered_map<std::u16string, Child> existing;
  for (NodeRef c = BrowserContentNode::FromTree(parent->GetFirstChild()); c; c = c->GetNextNode()) {
    NodeT* n = cast(c.Get());
    if (!n)
      continue;
    n->SetStatus(NODESTATUS_NOT_SEEN);
    // A second node of one key is left unseen, so the sweep takes it.
    existing.emplace(nodeKey(n), Child{Ref<NodeT>(n)});
  }
  Bool cut = false;
  for (auto& e : entries) {
    if (stop()) {
      cut = true;
      break;
    }
    auto it = existing.find(entryKey(e));
    if (it != existing.end() && !it->second.seen) {
      NodeT* child = it->second.node.Get();
      refresh(child, e);
      child->ClearStatus(NODESTATUS_NOT_SEEN);
      it->second.seen = true;
      continue;
    }
    if (Ref<NodeT> made = make(e))
      made->InsertUnder(parent);
  }
  for (auto& [key, child] : existing) {
    if (child.seen)
      continue;
    if (sweep && !cut)
      child.node->Remove();
    else
      child.node->ClearStatus(NODESTATUS_NOT_SEEN);
  }
  return !cut;
}
