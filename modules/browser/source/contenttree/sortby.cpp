#include "contenttree/sortby.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "orx/container.h"
#include "orx/memory.h"
#include "orx/services.h"

Bool BrowserFoldersFirst()
{
  const BaseContainer* prefs = GeGetPrefs();
  const BaseContainer* browser = prefs ? prefs->GetContainerInstance(BROWSER_PREFS_ID) : nullptr;
  return browser ? browser->GetBool(BROWSER_PREF_FOLDERS_FIRST, true) : true;
}

namespace {

UInt32 Normalised(UInt32 mode) { return mode >= SORTBY_MODIFIED && mode <= SORTBY_NONE ? mode : SORTBY_NAME; }

// Every key a comparison may need, read from the node once. Comparing live nodes inside the sort
// would let a node that changes meanwhile answer differently from one comparison to the next, and an
// inconsistent comparison lets a quick sort run past the ends of its array.
struct SortKey
{
  BrowserContentNode* node = nullptr;
  String name;
  UInt32 group = 0; // GetInfo & 3
  Int64 size = 0;
  DateTime time;
  String type;
  String url; // only for breaking ties, so read on first use
  Bool haveURL = false;

  void Fill(UInt32 mode, Bool foldersFirst)
  {
    if (const String* n = node->GetNameRef())
      name = *n;
    else
      name = node->GetName();
    const Bool grouped = (foldersFirst && mode != SORTBY_SIZE) || mode == SORTBY_TYPE;
    if (grouped || mode == SORTBY_SIZE) {
      const UInt32 info = node->GetInfo(mode == SORTBY_SIZE ? &size : nullptr);
      group = info & NODEMASK_BROWSABLE;
    }
    if (mode == SORTBY_MODIFIED || mode == SORTBY_CREATED)
      node->GetFileTime(mode == SORTBY_MODIFIED ? FILETIME_MODIFIED : FILETIME_CREATED, &time);
    // Two containers compare by name alone in the type order.
    if (mode == SORTBY_TYPE && group == 0)
      node->GetTypeName(&type, 0);
  }

  const String& URL()
  {
    if (!haveURL) {
      BrowserURL u;
      if (node->GetURL(&u, 0))
        url = u.GetString();
      haveURL = true;
    }
    return url;
  }
};

Int32 CompareTime(const DateTime& a, const DateTime& b)
{
  if (Int32 r = Int32(a.year) - Int32(b.year))
    return r;
  if (Int32 r = Int32(a.month) - Int32(b.month))
    return r;
  if (Int32 r = Int32(a.day) - Int32(b.day))
    return r;
  if (Int32 r = Int32(a.hour) - Int32(b.hour))
    return r;
  if (Int32 r = Int32(a.minute) - Int32(b.minute))
    return r;
  return Int32(a.second) - Int32(b.second);
}

Int32 NameThenURL(SortKey& a, SortKey& b)
{
  if (Int32 r = a.name.LexCompare(b.name))
    return r;
  return a.URL().LexCompare(b.URL());
}

// Larger GetInfo & 3 first: containers before folders before plain items.
Int32 CompareGroup(const SortKey& a, const SortKey& b) { return Int32(b.group) - Int32(a.group); }

// mode is normalised.
Int32 CompareKeys(UInt32 mode, Bool foldersFirst, SortKey& a, SortKey& b)
{
  switch (mode) {
    case SORTBY_MODIFIED:
    case SORTBY_CREATED:
      if (foldersFirst)
        if (Int32 r = CompareGroup(a, b))
          return r;
      if (Int32 r = CompareTime(a.time, b.time))
        return r;
      return NameThenURL(a, b);
    case SORTBY_SIZE:
      if (a.size != b.size)
        return a.size < b.size ? -1 : 1;
      return NameThenURL(a, b);
    case SORTBY_TYPE:
      if (Int32 r = CompareGroup(a, b))
        return r;
      if (a.group)
        return a.name.LexCompare(b.name);
      if (Int32 r = a.type.LexCompare(b.type))
        return r;
      return NameThenURL(a, b);
    default:
      if (!foldersFirst)
        return a.name.LexCompare(b.name);
      if (Int32 r = CompareGroup(a, b))
        return r;
      return NameThenURL(a, b);
  }
}

static_assert(sizeof(NodeRef) == sizeof(void*), "the sorted array holds one word per reference");
static_assert(sizeof(void*) >= sizeof(Int64), "the count word holds an Int64");

// Releases the references of nodes[0 .. count) and frees the block.
void ReleaseAll(BrowserContentNode** nodes, Int32 count)
{
  for (Int32 i = 0; i < count; ++i)
    nodes[i]->RemoveReference();
  OrxMemFree(nodes);
}

} // namespace

NodeRef* SortChildren(UInt32 mode, NodeRef first, Int32* count)
{
  if (count)
    *count = 0;
  if (!first)
    return nullptr;
  mode = Normalised(mode);

  // The siblings, each holding a reference of its own.
  BrowserContentNode** nodes = nullptr;
  Int32 n = 0, cap = 0;
  for (NodeRef cur = std::move(first); cur;) {
    NodeRef next = cur->GetNextNode();
    if (n == cap) {
      const Int32 bigger = cap ? cap * 2 : 64;
      auto* grown = OrxNewMem(BrowserContentNode*, bigger);
      if (!grown) {
        ReleaseAll(nodes, n);
        return nullptr;
      }
      if (nodes)
        std::memcpy(static_cast<void*>(grown), nodes, sizeof(*nodes) * std::size_t(n));
      OrxMemFree(nodes);
      nodes = grown;
      cap = bigger;
    }
    nodes[n++] = cur.Release();
    cur = std::move(next);
  }

  if (mode != SORTBY_NONE && n > 1) {
    SortKey* keys = OrxNewMem(SortKey, n);
    SortKey** order = OrxNewMem(SortKey*, n);
    if (!keys || !order) {
      OrxMemFree(keys);
      OrxMemFree(order);
      ReleaseAll(nodes, n);
      return nullptr;
    }
    const Bool foldersFirst = BrowserFoldersFirst();
    for (Int32 i = 0; i < n; ++i) {
      SortKey* k = ::new (static_cast<void*>(keys + i)) SortKey();
      k->node = nodes[i];
      k->Fill(mode, foldersFirst);
      order[i] = k;
    }
    std::sort(order, order + n,
              [&](SortKey* a, SortKey* b) { return CompareKeys(mode, foldersFirst, *a, *b) < 0; });
    for (Int32 i = 0; i < n; ++i)
      nodes[i] = order[i]->node;
    for (Int32 i = 0; i < n; ++i)
      keys[i].~SortKey();
    OrxMemFree(keys);
    OrxMemFree(order);
  }

  // One word for the count, then the references.
  void** block = OrxNewMem(void*, n + 1);
  if (!block) {
    ReleaseAll(nodes, n);
    return nullptr;
  }
  *reinterpret_cast<Int64*>(block) = n;
  auto* out = reinterpret_cast<NodeRef*>(block + 1);
  for (Int32 i = 0; i < n; ++i)
    ::new (static_cast<void*>(out + i)) NodeRef(NodeRef::Adopt(nodes[i]));
  OrxMemFree(nodes);
  if (count)
    *count = n;
  return out;
}

Int32 SortedChildCount(const NodeRef* array)
{
  return array ? Int32(*reinterpret_cast<const Int64*>(reinterpret_cast<void* const*>(array) - 1)) : 0;
}

void FreeSortedChildren(NodeRef*& array)
{
  if (!array)
    return;
  const Int32 n = SortedChildCount(array);
  for (Int32 i = 0; i < n; ++i)
    array[i].~NodeRef();
  OrxMemFree(reinterpret_cast<void**>(array) - 1);
  array = nullptr;
}

Int32 CompareNodes(UInt32 mode, BrowserContentNode* a, BrowserContentNode* b)
{
  if (!a || !b)
    return 0;
  mode = Normalised(mode);
  // Modes 2 to 5 compare as the sorted array does without folders first, except that the type order
  // always groups; everything else is names only.
  SortKey ka, kb;
  ka.node = a;
  kb.node = b;
  ka.Fill(mode, false);
  kb.Fill(mode, false);
  return CompareKeys(mode, false, ka, kb);
}
