// The six orders in which views show the children of a node.
#pragma once

#include "orx/types.h"
#include "contenttree/rtreenode.h"

constexpr UInt32 SORTBY_NAME = 1; // also every value that is not 2 to 6
constexpr UInt32 SORTBY_MODIFIED = 2;
constexpr UInt32 SORTBY_CREATED = 3;
constexpr UInt32 SORTBY_SIZE = 4;
constexpr UInt32 SORTBY_TYPE = 5;
constexpr UInt32 SORTBY_NONE = 6; // the order of the tree

// The browser's settings in the host preferences, and the folders-first setting in them.
constexpr Int32 BROWSER_PREFS_ID = 1019747;
constexpr Int32 BROWSER_PREF_FOLDERS_FIRST = 10;

// The folders-first setting: the stored value, on when none is stored.
Bool BrowserFoldersFirst();

// The siblings from first on (first's reference is taken over), as a counted array of references in
// the order of mode: folders first when the setting is on (name and date orders), always in the type
// order, never in the size order. Null and count 0 for a null first node or when memory runs out.
// The caller owns the array and its references: free it with FreeSortedChildren.
NodeRef* SortChildren(UInt32 mode, NodeRef first, Int32* count);
// The number of references in an array of SortChildren (0 for null).
Int32 SortedChildCount(const NodeRef* array);
// Releases every reference and frees the array; clears the pointer.
void FreeSortedChildren(NodeRef*& array);

// Where a single node goes in a sorted list: negative when a comes before b. Does not look at the
// folders-first setting; the name order (modes 1, 6 and others) compares names only. A missing node
// compares equal to everything.
Int32 CompareNodes(UInt32 mode, BrowserContentNode* a, BrowserContentNode* b);
