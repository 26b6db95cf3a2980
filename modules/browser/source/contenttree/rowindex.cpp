// Finding the child that a URL leads to, and the index of wide rows that makes it independent of
// the number of siblings.
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "contenttree/rtreenode.h"

namespace {

// Rows this wide are indexed once they stayed unchanged for one lookup: a row that changes between
// every two lookups (a folder being filled) is walked instead of being indexed again each time.
constexpr Int32 kIndexedRowWidth = 32;

struct KeyHash
{
  using is_transparent = void;
  std::size_t operator()(std::u16string_view v) const noexcept { return std::hash<std::u16string_view>{}(v); }
};

// The first count units of text equal those of upper (already converted) after conversion.
Bool EqualUpperPrefix(const String& text, const String& upper, Int32 count)
{
  const Utf16Char* a = text.Units();
  const Utf16Char* b = upper.Units();
  for (Int32 i = 0; i < count; ++i) {
    Utf16Char c = a[i];
    if (c >= 0x80)
      return text.Left(count).ToUpper().ComparePart(upper, count) == 0;
    if (c >= u'a' && c <= u'z')
      c = Utf16Char(c - 32);
    if (c != b[i])
      return false;
  }
  return true;
}

String UpperURL(BrowserContentNode* n)
{
  BrowserURL u;
  if (!n->GetURL(&u, 0))
    return String();
  return u.GetStringRef().ToUpper();
}

} // namespace

struct BrowserContentNode::RowIndex
{
  UInt32 version = 0;   // of the children when built
  Bool built = false;
  UInt32 seenVersion = 0; // of the children at the last walk, while not built
  // The parent's upper-cased URL and "/": a child listed by part has that URL and one part more.
  std::u16string parentPrefix;
  std::unordered_map<std::u16string, NodeRef, KeyHash, std::equal_to<>> byPart;
  std::vector<NodeRef> others; // kinds that do not report URL changes, and parts taken twice
};

Int32 MatchUpperPrefix(const String& text, const String& upper)
{
  const Int32 len = text.GetLength();
  if (len == 0 || len > upper.GetLength())
    return -1;
  // Siblings share their parent's path: the last unit tells most of them apart.
  const Utf16Char last = text[len - 1];
  if (last < 0x80 && Utf16Char(last >= u'a' && last <= u'z' ? last - 32 : last) != upper[len - 1])
    return -1;
  return EqualUpperPrefix(text, upper, len) ? len : -1;
}

Int32 BrowserContentNode::MatchUpperURLPrefix(const String& upper)
{
  BrowserURL u;
  if (!GetURL(&u, 0))
    return -1;
  return MatchUpperPrefix(u.GetStringRef(), upper);
}

Int32 MatchRowNode(BrowserContentNode* n, const String& upper, const String& text)
{
  const Int32 len = n->MatchURLPrefix(upper, text);
  if (len <= 0)
    return -1;
  // A match ends where a part of the URL ends: "Fold" is no prefix of "Fold/x" in "Folder".
  if (len < upper.GetLength() && upper[len] != u'/' && upper[len - 1] != u'/')
    return -1;
  return len;
}

BrowserContentNode::~BrowserContentNode()
{
  delete rowIndex_;
}

void BrowserContentNode::DropRowIndex()
{
  RowIndex* old;
  {
    std::lock_guard l(rowLock_);
    old = std::exchange(rowIndex_, nullptr);
  }
  delete old;
}

void BrowserContentNode::URLChanged()
{
  if (Ref<RTreeNode> up = GetUp())
    up->childrenVersion_.fetch_add(1, std::memory_order_acq_rel);
}

NodeRef BrowserContentNode::FindChildForURL(const String& upper, const String& text, Int32* lenOut)
{
  NodeRef best;
  Int32 bestLen = -1;
  // Every way out reports the length of what it answers.
  struct ReportLength
  {
    Int32* out;
    const Int32& len;
    ~ReportLength()
    {
      if (out)
        *out = len;
    }
  } report{lenOut, bestLen};
  const Int32 whole = upper.GetLength();
  // True once the whole URL matched: nothing can match longer.
  auto consider = [&](BrowserContentNode* n) {
    const Int32 len = MatchRowNode(n, upper, text);
    if (len > bestLen) {
      bestLen = len;
      best = NodeRef(n);
    }
    return bestLen == whole;
  };

  const UInt32 version = GetChildrenVersion();
  Bool build = false;
  {
    std::lock_guard l(rowLock_);
    if (RowIndex* index = rowIndex_; index && index->built && index->version == version) {
      const std::u16string_view want = upper.View();
      const std::size_t p = index->parentPrefix.size();
      if (want.size() > p && want.compare(0, p, index->parentPrefix) == 0) {
        std::size_t end = want.find(u'/', p);
        if (end == std::u16string_view::npos)
          end = want.size();
        auto it = index->byPart.find(want.substr(p, end - p));
        if (it != index->byPart.end())
          consider(it->second.Get());
      }
      for (const NodeRef& n : index->others)
        if (bestLen == whole || consider(n.Get()))
          break;
      return best;
    } else if (index) {
      build = index->seenVersion == version;
      index->seenVersion = version;
    }
  }

  // A hit ends the walk, but a row found wide on the way is indexed all the same: lookups that
  // always hit would otherwise walk it every time.
  Int32 width = 0;
  for (NodeRef n = BrowserContentNode::FromTree(GetFirstChild()); n; n = n->GetNextNode()) {
    ++width;
    if (consider(n.Get()))
      break;
  }
  if (width < kIndexedRowWidth)
    return best;

  if (!build) {
    std::lock_guard l(rowLock_);
    if (!rowIndex_) {
      rowIndex_ = new (std::nothrow) RowIndex;
      if (rowIndex_)
        rowIndex_->seenVersion = version;
    }
    return best;
  }

  // The row stayed as it was since the last lookup: index it.
  RowIndex* fresh = new (std::nothrow) RowIndex;
  if (!fresh)
    return best;
  fresh->version = version;
  fresh->built = true;
  fresh->parentPrefix = std::u16string(UpperURL(this).View()) + u'/';
  const std::size_t p = fresh->parentPrefix.size();
  for (NodeRef n = BrowserContentNode::FromTree(GetFirstChild()); n; n = n->GetNextNode()) {
    if (!n->NotifiesURLChanges()) {
      fresh->others.push_back(n);
      continue;
    }
    const String text = UpperURL(n.Get());
    const std::u16string_view key = text.View();
    if (key.size() <= p || key.compare(0, p, fresh->parentPrefix) != 0 ||
        key.find(u'/', p) != std::u16string_view::npos ||
        !fresh->byPart.emplace(std::u16string(key.substr(p)), n).second)
      fresh->others.push_back(n);
  }
  RowIndex* old = nullptr;
  {
    std::lock_guard l(rowLock_);
    // Changed while it was built: the next lookup walks and decides again.
    if (GetChildrenVersion() == version) {
      old = rowIndex_;
      rowIndex_ = fresh;
      fresh = nullptr;
    }
  }
  // Released outside the row lock: releasing nodes may destroy them.
  delete old;
  delete fresh;
  return best;
}
