#include "presets/catalognode.h"

#include <algorithm>
#include <new>
#include <thread>
#include <vector>

#include "base/browserutils.h"
#include "contenttree/contentevents.h"
#include "orx/files.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabaseitem.h"

namespace {

// GetNode mode of target lookups: exact, listing the nodes on the way.
constexpr Int32 kLookupMode = 1 | 4;
constexpr UInt32 kTakenFromTarget = NODESTATUS_FOLDER | NODESTATUS_CONTAINER | NODESTATUS_BUNDLE | NODESTATUS_NOHANDLER;
// Copies of folders into catalogs stop this deep: a link cycle on disk must not recurse forever.
constexpr Int32 kMaxCopyDepth = 256;

std::mutex g_servicesLock;
CatalogServices g_services;
std::atomic<CatalogClock> g_clock{nullptr};

CatalogServices Services()
{
  std::lock_guard l(g_servicesLock);
  return g_services;
}

UInt32 Now()
{
  CatalogClock c = g_clock.load(std::memory_order_acquire);
  return c ? c() : UInt32(GeGetTimer());
}

// --- change notices: only the notifying thread tells the views ---
std::mutex g_queueLock;
std::vector<NodeRef> g_queue;
Bool g_haveNotifier = false;
std::thread::id g_notifier;

void TellViews(const NodeRef& node)
{
  if (!node)
    return;
  {
    std::lock_guard l(g_queueLock);
    if (g_haveNotifier && g_notifier != std::this_thread::get_id()) {
      try {
        g_queue.push_back(node);
      } catch (const std::bad_alloc&) {
        // The view misses one change; the next listing shows it.
      }
      return;
    }
  }
  DeliverCatalogChanges();
  NotifyNodeChanged(node);
}

String LastPart(const String& text)
{
  Int32 pos = 0;
  if (text.FindLast(u'/', &pos))
    return text.SubStr(pos + 1, text.GetLength() - pos - 1);
  return text;
}

String NodeURLText(BrowserContentNode* n)
{
  BrowserURL u;
  if (!n || !n->GetURL(&u, 0))
    return String();
  return u.GetString();
}

CatalogNode* AsCatalog(BrowserContentNode* n) { return dynamic_cast<CatalogNode*>(n); }

// One part of a URL: a "/" would add a level that no item and no node stands for.
Bool AcceptableName(const String& name)
{
  Int32 pos = 0;
  return name.Content() && !name.FindFirst(u'/', &pos) && name != String(".") && name != String("..");
}

// True when node lies in the subtree of root (root included).
Bool InSubtree(RTreeNode* node, RTreeNode* root)
{
  for (Ref<RTreeNode> n(node); n; n = n->GetUp())
    if (n.Get() == root)
      return true;
  return false;
}

// True when a child of parent other than except has the last URL part part (letter case ignored,
// as URL lookups ignore it).
Bool ChildPartTaken(BrowserContentNode* parent, const String& part, BrowserContentNode* except)
{
  for (Ref<RTreeNode> c = parent->GetFirstChild(); c; c = c->GetNext()) {
    BrowserContentNode* cn = BrowserContentNode::Cast(c.Get());
    if (cn && cn != except && LastPart(NodeURLText(cn)).IsEqualIgnoreCase(part))
      return true;
  }
  return false;
}

void RebaseChildren(RTreeNode* node, const String& oldPrefix, const String& newPrefix, Bool update)
{
  for (Ref<RTreeNode> c = node->GetFirstChild(); c; c = c->GetNext()) {
    if (BrowserContentNode* cn = BrowserContentNode::Cast(c.Get())) {
      cn->ReplaceURLPrefix(oldPrefix, newPrefix, update);
      RebaseChildren(cn, oldPrefix, newPrefix, update);
    }
  }
}

Bool EndsWithSlash(const String& s) { return s.GetLength() > 0 && s[s.GetLength() - 1] == u'/'; }

String JoinBase(const String& base, const String& rest)
{
  if (rest.IsEmpty())
    return base;
  if (EndsWithSlash(base))
    return base + rest;
  return base + String("/") + rest;
}

// Walks node and what lies below it for phase 1 of an edit.
Int32 WalkForCallback(const NodeRef& node, Int32 phase, EditCallback callback, void* data, Int32 depth)
{
  if (depth > kMaxCopyDepth)
    return EDIT_COPY_FAILED;
  // A catalog link is walked into only for children of its own, which it has without its target:
  // the count of a catalog does not look up every link's target (a search's results may hold a
  // hundred thousand never asked for).
  CatalogNode* link = AsCatalog(node.Get());
  const UInt32 info = link && link->IsLink() ? link->GetStatus() | (link->GetFirstChild() ? NODESTATUS_FOLDER : 0)
                                             : node->GetInfo(nullptr);
  if (callback && callback(data, phase, 1, EDIT_LINK_ITEM_SIZE, 0) < 0)
    return EDIT_CANCELLED;
  auto barrier = Services().isWalkBarrier;
  if (!(info & NODEMASK_BROWSABLE) || (barrier && barrier(node.Get())))
    return EDIT_OK;
  for (NodeRef c = node->GetDownNode(); c; c = c->GetNextNode()) {
    const Int32 r = WalkForCallback(c, phase, callback, data, depth + 1);
    if (r != EDIT_OK)
      return r;
  }
  return EDIT_OK;
}

thread_local Int32 t_copyDepth = 0;

} // namespace

void SetCatalogServices(const CatalogServices& services)
{
  std::lock_guard l(g_servicesLock);
  g_services = services;
}

void SetCatalogClock(CatalogClock clock) { g_clock.store(clock, std::memory_order_release); }

void SetCatalogNotifyThread()
{
  std::lock_guard l(g_queueLock);
  g_haveNotifier = true;
  g_notifier = std::this_thread::get_id();
}

void DeliverCatalogChanges()
{
  std::vector<NodeRef> queued;
  {
    std::lock_guard l(g_queueLock);
    if (g_haveNotifier && g_notifier != std::this_thread::get_id())
      return;
    queued.swap(g_queue);
  }
  const NodeRef* last = nullptr;
  for (const NodeRef& n : queued) {
    // A run of links added to one catalog is one change of it.
    if (last && *last == n)
      continue;
    NotifyNodeChanged(n);
    last = &n;
  }
}

Int32 QueuedCatalogChanges()
{
  std::lock_guard l(g_queueLock);
  return Int32(g_queue.size());
}

void DropCatalogChanges()
{
  std::vector<NodeRef> dropped;
  std::lock_guard l(g_queueLock);
  dropped.swap(g_queue);
  g_haveNotifier = false;
  g_notifier = std::thread::id();
}

Bool HasParentPart(const String& text)
{
  const Int32 n = text.GetLength();
  Int32 start = 0;
  for (Int32 i = 0; i <= n; ++i) {
    if (i == n || text[i] == u'/' || text[i] == u'\\') {
      if (i - start == 2 && text[start] == u'.' && text[start + 1] == u'.')
        return true;
      start = i + 1;
    }
  }
  return false;
}

Bool StoreCatalogLink(BrowserDatabaseItem* item, const String& url, const String& base, Bool askRelative,
                      Bool* storedRelative)
{
  if (storedRelative)
    *storedRelative = false;
  if (!item)
    return false;
  String stored = url;
  Bool relative = false;
  const Int32 n = base.GetLength();
  // Relative only at a part boundary: with the base ".../lib", ".../library/x" is no part of it.
  if (askRelative && n > 0 && url.GetLength() >= n && url.ComparePart(base, n) == 0) {
    if (url.GetLength() == n) {
      stored = String();
      relative = true;
    } else if (base[n - 1] == u'/') {
      stored = url.SubStr(n, url.GetLength() - n);
      relative = true;
    } else if (url[n] == u'/') {
      stored = url.SubStr(n + 1, url.GetLength() - n - 1);
      relative = true;
    }
  }
  if (!item->SetLink(stored, relative))
    return false;
  if (storedRelative)
    *storedRelative = relative;
  return true;
}

Bool ReadCatalogLink(BrowserDatabaseItem* item, const String& base, String* url, Bool* relative)
{
  if (relative)
    *relative = false;
  String stored;
  Bool rel = false;
  if (!item || !item->GetLink(&stored, &rel))
    return false;
  if (HasParentPart(stored))
    return false;
  String text = rel && base.Content() ? JoinBase(base, stored) : std::move(stored);
  if (text.IsEmpty())
    return false;
  if (url)
    *url = std::move(text);
  if (relative)
    *relative = rel && base.Content();
  return true;
}

// --- the busy mark of make link ---

// Holds a parent's busy mark for one make link and clears it on every path. A thread that holds
// the mark of a parent already (a make link that came back to the same parent) is refused instead
// of waiting for itself.
class CatalogNode::BusyMark
{
public:
  explicit BusyMark(BrowserContentNode* node)
  {
    for (Int32 i = 0; i < t_count; ++i)
      if (t_held[i] == node)
        return;
    if (t_count >= kMaxHeld)
      return;
    while (node->SetStatus(NODESTATUS_BUSY) & NODESTATUS_BUSY)
      std::this_thread::yield();
    node_ = node;
    t_held[t_count++] = node;
  }
  ~BusyMark()
  {
    if (!node_)
      return;
    --t_count;
    node_->ClearStatus(NODESTATUS_BUSY);
  }
  BusyMark(const BusyMark&) = delete;
  BusyMark& operator=(const BusyMark&) = delete;
  Bool Held() const { return node_ != nullptr; }
  static Bool HeldHere(const BrowserContentNode* node)
  {
    for (Int32 i = 0; i < t_count; ++i)
      if (t_held[i] == node)
        return true;
    return false;
  }

private:
  static constexpr Int32 kMaxHeld = 16;
  static thread_local const BrowserContentNode* t_held[kMaxHeld];
  static thread_local Int32 t_count;
  BrowserContentNode* node_ = nullptr;
};

thread_local const BrowserContentNode* CatalogNode::BusyMark::t_held[CatalogNode::BusyMark::kMaxHeld];
thread_local Int32 CatalogNode::BusyMark::t_count = 0;

// --- construction ---

CatalogNode::CatalogNode(UInt32 status, BrowserDatabase* db)
    : BrowserContentNode(status), db_(db), slot_(db ? db->GetSlot() : -1)
{
}

// The owed links go unmade with the node: no one can look at its children any more.
CatalogNode::~CatalogNode() { MarkDeferredChildren(false); }

namespace {
UInt32 StatusFor(UInt32 flags, Bool hasTarget)
{
  UInt32 status;
  if (flags & CATALOGMAKE_FOLDER) {
    if (hasTarget)
      status = CATALOGSTATUS_FOLDER_LINK;
    else if (flags & CATALOGMAKE_ROOT)
      status = CATALOGSTATUS_ROOT;
    else
      status = CATALOGSTATUS_FOLDER;
  } else {
    status = CATALOGSTATUS_LINK;
  }
  return status | (flags & CATALOGMAKE_RELATIVE);
}
} // namespace

Ref<CatalogNode> CatalogNode::Make(const NodeRef& parent, const String& name, const String& lastPart,
                                   const String* target, BrowserDatabase* db, UInt32 flags)
{
  String own = target ? *target : String();
  return MakeNode(parent, name, lastPart, target ? &own : nullptr, db, flags, true);
}

Ref<CatalogNode> CatalogNode::MakeNode(const NodeRef& parent, String name, const String& lastPart, String* target,
                                       BrowserDatabase* db, UInt32 flags, Bool warn, String* ownURL)
{
  const Bool hasTarget = target && target->Content();
  UInt32 status = StatusFor(flags, hasTarget);
  if (!parent)
    status |= NODESTATUS_NO_PARENT_URL;
  Ref<CatalogNode> n(new (std::nothrow) CatalogNode(status, db));
  if (!n)
    return nullptr;
  n->name_ = std::move(name);
  if (ownURL)
    n->url_ = std::move(*ownURL);
  else if (parent) {
    CatalogNode* catalogParent = AsCatalog(parent.Get());
    n->url_ = catalogParent ? catalogParent->ChildURLBase() : NodeURLText(parent.Get());
    n->url_ += u'/';
    n->url_ += lastPart;
  } else {
    n->url_ = lastPart;
  }
  if (hasTarget)
    n->targetURL_ = std::move(*target);
  // Only folders show a date-time of their own; links show their target's or their item's.
  if ((flags & CATALOGMAKE_FOLDER) && !hasTarget)
    n->time_ = GeGetCurrentTime();
  if (warn && !(flags & CATALOGMAKE_FOLDER) && !hasTarget)
    GePrint(String("CatalogNode warning: File link without URL"));
  if (parent) {
    if (!n->InsertUnder(parent.Get()))
      return nullptr;
    if (!ownURL)
      TouchParent(parent);
  }
  return n;
}

BrowserDatabase* CatalogNode::GetLibrary() const
{
  // The node outlives a library that was closed under it; the slot tells.
  if (!db_ || BrowserDatabase::GetLibrary(slot_) != db_)
    return nullptr;
  return db_;
}

void CatalogNode::Touch()
{
  // Links come by the thousand from a search: the date-time (whole seconds) is read anew only when
  // the last stamp is more than a tenth of a second old.
  const UInt32 ms = UInt32(GeGetTimer());
  {
    std::lock_guard l(fieldLock_);
    if (stamped_ && UInt32(ms - stampMs_) < 100)
      return;
  }
  const DateTime now = GeGetCurrentTime();
  std::lock_guard l(fieldLock_);
  time_ = now;
  stampMs_ = ms;
  stamped_ = true;
}

void CatalogNode::TouchParent(const NodeRef& parent)
{
  if (!parent || (parent->GetStatus() & NODESTATUS_EXTERNAL))
    return;
  if (CatalogNode* c = AsCatalog(parent.Get())) {
    c->Touch();
    return;
  }
  if (parent->GetNodeType() == NODETYPE_CATEGORY)
    if (auto touch = Services().touchCategory)
      touch(parent.Get());
}

String CatalogNode::BasePath() const
{
  String base;
  if (BrowserDatabase* db = GetLibrary())
    db->GetCatalogString(&base);
  return base;
}

Bool CatalogNode::ReadOnly() const
{
  BrowserDatabase* db = GetLibrary();
  return db && db->IsReadOnly();
}

String CatalogNode::GetURLText()
{
  BrowserURL u;
  GetURL(&u, 0);
  return u.GetString();
}

void CatalogNode::SetURLText(const String& text)
{
  {
    std::lock_guard l(fieldLock_);
    url_ = text;
    ++urlVersion_;
  }
  URLChanged();
}

String CatalogNode::ChildURLBase()
{
  UInt32 version;
  {
    std::lock_guard l(fieldLock_);
    version = urlVersion_;
    // A URL still below its parent's follows the parent's, which changes without this node knowing.
    if (urlBaseVersion_ == version && !(GetStatus() & NODESTATUS_NO_PARENT_URL))
      return urlBase_;
  }
  String text = GetURLText();
  std::lock_guard l(fieldLock_);
  if (urlVersion_ == version && !(GetStatus() & NODESTATUS_NO_PARENT_URL)) {
    urlBase_ = text;
    urlBaseVersion_ = version;
  }
  return text;
}

String CatalogNode::GetTargetURLText() const
{
  std::lock_guard l(fieldLock_);
  return targetURL_;
}

NodeRef CatalogNode::PeekTarget() const
{
  std::lock_guard l(fieldLock_);
  return target_;
}

NodeRef CatalogNode::GetTarget()
{
  if (!IsLink())
    return nullptr;
  NodeRef t = PeekTarget();
  if (t && (t->IsDeleted() || t->IsRemoved())) {
    NodeRef dropped;
    {
      std::lock_guard l(fieldLock_);
      if (target_ == t)
        dropped.Swap(target_);
    }
    SetStatus(NODESTATUS_UNRESOLVED);
    t = nullptr;
  }
  if (t)
    return t;
  // A lookup that failed is not repeated within the interval; the clock may wrap, so only the
  // difference counts, and a link never looked up is looked up now.
  const UInt32 now = Now();
  String url;
  {
    std::lock_guard l(fieldLock_);
    // The maker of the link may have set its target since it was peeked.
    if (target_ && !target_->IsDeleted() && !target_->IsRemoved())
      return target_;
    if (lookedUp_ && UInt32(now - lastLookup_) <= CATALOG_LOOKUP_INTERVAL_MS)
      return nullptr;
    lookedUp_ = true;
    lastLookup_ = now;
    url = targetURL_;
  }
  if (GetStatus() & NODESTATUS_RELATIVE_LINK) {
    const String base = BasePath();
    // The base path was changed since the URL was read: read it again against the new base.
    const Bool below = url == base || url.StartsWith(EndsWithSlash(base) ? base : base + String("/"));
    if (base.Content() && !below) {
      if (BrowserDatabase* db = GetLibrary()) {
        const String own = GetURLText();
        ItemHandle item(db->OpenItem(own, BrowserPathHash(own)));
        String fresh;
        if (item && ReadCatalogLink(item.p, base, &fresh, nullptr)) {
          url = fresh;
          std::lock_guard l(fieldLock_);
          targetURL_ = fresh;
        }
      }
    }
  }
  auto getNode = Services().getNode;
  NodeRef found;
  if (url.Content() && getNode) {
    BrowserURL u(url);
    found = getNode(u, kLookupMode);
  }
  if (found.Get() == this)
    found = nullptr;
  if (found) {
    {
      std::lock_guard l(fieldLock_);
      target_ = found;
    }
    ClearStatus(NODESTATUS_UNRESOLVED);
  } else {
    SetStatus(NODESTATUS_UNRESOLVED);
  }
  return found;
}

void CatalogNameSet::Clear()
{
  slots_.clear();
  text_.clear();
  used_ = 0;
}

std::size_t CatalogNameSet::Probe(std::u16string_view key, std::size_t hash) const
{
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.at == kEmpty || (s.hash == hash && std::u16string_view(text_).substr(s.at, s.length) == key))
      return i;
  }
}

Bool CatalogNameSet::Contains(std::u16string_view key, std::size_t hash) const
{
  return !slots_.empty() && slots_[Probe(key, hash)].at != kEmpty;
}

Bool CatalogNameSet::Insert(std::u16string_view key, std::size_t hash)
{
  if ((used_ + 1) * 2 > slots_.size()) {
    std::vector<Slot> bigger(std::max<std::size_t>(64, slots_.size() * 2), Slot{0, kEmpty, 0});
    bigger.swap(slots_);
    for (const Slot& s : bigger)
      if (s.at != kEmpty)
        slots_[Probe(std::u16string_view(text_).substr(s.at, s.length), s.hash)] = s;
  }
  Slot& s = slots_[Probe(key, hash)];
  if (s.at != kEmpty)
    return false;
  if (text_.size() + key.size() >= kEmpty)
    throw std::bad_alloc();
  const UInt32 at = UInt32(text_.size());
  text_.append(key);
  s = Slot{hash, at, UInt32(key.size())};
  ++used_;
  return true;
}

namespace {
// The key of a name in the set: the fixed case conversion, done in place for a plain ASCII name
// (the usual one) so that a search's link costs no converted copy.
std::u16string_view UpperKey(const String& part, std::u16string* scratch)
{
  const std::u16string_view v = part.View();
  scratch->assign(v);
  for (char16_t& c : *scratch) {
    if (c >= 0x80) {
      const String upper = part.ToUpper();
      scratch->assign(upper.View());
      break;
    }
    if (c >= u'a' && c <= u'z')
      c = char16_t(c - 32);
  }
  return *scratch;
}
} // namespace

String CatalogNode::ChildPart(const String& candidate, Int32 n)
{
  return n == 0 ? candidate : candidate + String(".") + String::FromInt(n);
}

Int32 CatalogNode::TakeChildPart(const String& candidate)
{
  try {
    thread_local std::u16string scratch;
    const UInt32 version = GetChildrenVersion();
    if (!names_)
      names_ = std::make_unique<CatalogNameSet>();
    if (namesVersion_ != version) {
      names_->Clear();
      for (Ref<RTreeNode> c = GetFirstChild(); c; c = c->GetNext())
        if (BrowserContentNode* cn = BrowserContentNode::Cast(c.Get())) {
          const std::u16string_view k = UpperKey(LastPart(NodeURLText(cn)), &scratch);
          names_->Insert(k, CatalogNameSet::Hash(k));
        }
      namesVersion_ = version;
    }
    for (Int32 n = 0;; ++n) {
      const std::u16string_view k = n == 0 ? UpperKey(candidate, &scratch) : UpperKey(ChildPart(candidate, n), &scratch);
      if (names_->Insert(k, CatalogNameSet::Hash(k)))
        return n;
    }
  } catch (const std::bad_alloc&) {
    namesVersion_ = ~0u;
  }
  Int32 n = 0;
  while (ChildPartTaken(this, ChildPart(candidate, n), nullptr))
    ++n;
  return n;
}

void CatalogNode::ChildPartsCurrent()
{
  if (namesVersion_ != ~0u)
    namesVersion_ = GetChildrenVersion();
}

Ref<CatalogNode> CatalogNode::MakeLink(const NodeRef& parent, const NodeRef& source, const String* newName,
                                       Bool writeItem, Bool foldersAsLinks, Bool notify)
{
  if (!parent || !source || parent == source || (newName && !AcceptableName(*newName)))
    return nullptr;
  CatalogNode* catalogParent = AsCatalog(parent.Get());
  CatalogNode* catalogSource = AsCatalog(source.Get());
  const String sourceURL = NodeURLText(source.Get());
  String name = newName ? *newName : source->GetName();
  const UInt32 sourceInfo = source->GetInfo(nullptr);
  const Bool asLink = !(sourceInfo & NODESTATUS_FOLDER) || foldersAsLinks;

  // No link points at a link: a link's own target is linked.
  NodeRef target;
  String targetURL;
  if (asLink) {
    if (catalogSource && catalogSource->IsLink()) {
      targetURL = catalogSource->GetTargetURLText();
      target = catalogSource->PeekTarget();
      if (target && (target->IsDeleted() || target->IsRemoved()))
        target = nullptr;
      if (!target && targetURL.Content())
        if (auto getNode = Services().getNode) {
          BrowserURL u(targetURL);
          target = getNode(u, kLookupMode);
        }
    } else {
      target = source;
      targetURL = sourceURL;
    }
    if (target && target != source)
      targetURL = NodeURLText(target.Get());
  }
  const Bool folderLink = asLink && ((target ? target->GetInfo(nullptr) : sourceInfo) & NODESTATUS_FOLDER);
  String candidate = newName ? *newName : LastPart(sourceURL);
  if (candidate.IsEmpty())
    candidate = name;
  Int32 invalidAt = 0;
  if (HasInvalidChar(candidate, &invalidAt))
    candidate = MakeValidName(candidate);
  if (!AcceptableName(candidate))
    candidate = String("link");

  BrowserDatabase* db = nullptr;
  if (catalogParent)
    db = catalogParent->GetLibrary();
  else if (writeItem)
    db = BrowserDatabase::FindLibraryForURL(NodeURLText(parent.Get()) + String("/") + candidate, true);
  if (writeItem && db && db->IsReadOnly())
    return nullptr;

  Ref<CatalogNode> made;
  {
    BusyMark mark(parent.Get());
    if (!mark.Held() || parent->IsRemoved())
      return nullptr;
    String part;
    if (catalogParent) {
      // The links owed come first: they were added before this one.
      catalogParent->SettleOwed();
      part = ChildPart(candidate, catalogParent->TakeChildPart(candidate));
    } else {
      part = candidate;
      for (Int32 n = 1; ChildPartTaken(parent.Get(), part, nullptr); ++n)
        part = candidate + String(".") + String::FromInt(n);
    }
    // Fresh flags: nothing of the source's own state (a root's above all) passes to a link.
    const UInt32 flags = asLink ? (folderLink ? CATALOGMAKE_FOLDER : 0) : CATALOGMAKE_FOLDER;
    // Without an item to write, name and target text are not needed again.
    String targetText = writeItem ? targetURL : std::move(targetURL);
    made = MakeNode(parent, writeItem ? String(name) : std::move(name), part, asLink ? &targetText : nullptr, db,
                    flags, asLink);
    if (!made)
      return nullptr;
    if (catalogParent)
      catalogParent->ChildPartsCurrent();
    if (target) {
      {
        std::lock_guard l(made->fieldLock_);
        made->target_ = target;
        made->lookedUp_ = true;
        made->lastLookup_ = Now();
      }
      made->ClearStatus(NODESTATUS_UNRESOLVED);
    }
  }

  if (writeItem && db) {
    const String own = made->GetURLText();
    ItemHandle item(db->OpenOrCreateItem(own, BrowserPathHash(own)));
    if (item) {
      item->SetName(name);
      if (asLink) {
        // The source's own item: a preset's, or a catalog link's in its catalog.
        BrowserDatabase* sourceDb = catalogSource                                   ? catalogSource->GetLibrary()
                                    : source->GetNodeType() == NODETYPE_PRESET ? BrowserDatabase::FindLibraryForURL(sourceURL)
                                                                               : nullptr;
        ItemHandle sourceItem(sourceDb ? sourceDb->OpenItem(sourceURL, BrowserPathHash(sourceURL)) : nullptr);
        if (sourceItem) {
          Int32 type2 = 0;
          if (const Int32 type = sourceItem->GetType(&type2))
            item->SetType(type, type2);
          ByteArray bytes;
          if (sourceItem->HasData() && sourceItem->GetData(&bytes))
            item->SetData(bytes.data(), Int64(bytes.size()));
          const String note = sourceItem->GetAnnotation();
          if (note.Content())
            item->SetAnnotation(note);
        }
        DateTime modified, created;
        if (target) {
          if (!target->GetFileTime(FILETIME_MODIFIED, &modified))
            modified = DateTime();
          if (!target->GetFileTime(FILETIME_CREATED, &created))
            created = DateTime();
        } else if (sourceItem) {
          sourceItem->GetTime(1, &modified);
          sourceItem->GetTime(0, &created);
        }
        item->SetTime(1, modified);
        item->SetTime(0, created);
        Bool relative = false;
        if (StoreCatalogLink(item.p, targetURL, made->BasePath(), true, &relative) && relative)
          made->SetStatus(NODESTATUS_RELATIVE_LINK);
        // A folder link is stored with the folder bit, so it reads back as one before it resolves.
        if (folderLink)
          item->SetItemFlags(item->GetItemFlags() | dbitem::kFolderFlag);
      } else {
        const DateTime now = GeGetCurrentTime();
        item->SetTime(0, now);
        item->SetTime(1, now);
        item->SetItemFlags(item->GetItemFlags() | dbitem::kFolderFlag);
      }
    }
  }
  if (notify)
    TellViews(parent);
  return made;
}

Ref<CatalogNode> CatalogNode::AddLink(const NodeRef& catalog, const NodeRef& source, Bool notify)
{
  return MakeLink(catalog, source, nullptr, false, true, notify);
}

Bool CatalogNode::PrepareLink(const NodeRef& catalog, const NodeRef& source, LinkSource* out)
{
  if (!source || !out || source == catalog)
    return false;
  CatalogNode* catalogSource = AsCatalog(source.Get());
  LinkSource& p = *out;
  const String sourceURL = NodeURLText(source.Get());
  p.name = source->GetName();
  const UInt32 sourceInfo = source->GetInfo(nullptr);
  // No link points at a link: a link's own target is linked.
  if (catalogSource && catalogSource->IsLink()) {
    p.targetURL = catalogSource->GetTargetURLText();
    p.target = catalogSource->PeekTarget();
    if (p.target && (p.target->IsDeleted() || p.target->IsRemoved()))
      p.target = nullptr;
    if (!p.target && p.targetURL.Content())
      if (auto getNode = Services().getNode) {
        BrowserURL u(p.targetURL);
        p.target = getNode(u, kLookupMode);
      }
  } else {
    p.target = source;
    p.targetURL = sourceURL;
  }
  if (p.target && p.target != source)
    p.targetURL = NodeURLText(p.target.Get());
  p.folder = ((p.target ? p.target->GetInfo(nullptr) : sourceInfo) & NODESTATUS_FOLDER) != 0;
  p.candidate = LastPart(sourceURL);
  return true;
}

Int32 CatalogNode::AddLinks(const NodeRef& catalog, const NodeRef* sources, Int32 count, Bool notify)
{
  CatalogNode* parent = AsCatalog(catalog.Get());
  if (!parent || !sources || count <= 0)
    return 0;
  if (count == 1)
    return AddLink(catalog, sources[0], notify) ? 1 : 0;
  std::vector<LinkSource> prepared(static_cast<std::size_t>(count));
  Int32 n = 0;
  for (Int32 i = 0; i < count; ++i)
    if (PrepareLink(catalog, sources[i], &prepared[std::size_t(n)]))
      ++n;
  return AddPreparedLinks(catalog, prepared.data(), n, notify);
}

Bool CatalogNode::MakeChildLink(const String& base, BrowserDatabase* db, UInt32 now, String& name,
                                const String* candidateText, String& targetURL, NodeRef target, Bool folder,
                                std::u16string* scratch)
{
  String valid;
  const String* candidate = candidateText ? candidateText : &name;
  Int32 invalidAt = 0;
  if (HasInvalidChar(*candidate, &invalidAt))
    candidate = &(valid = MakeValidName(*candidate));
  if (!AcceptableName(*candidate))
    candidate = &(valid = String("link"));
  const Int32 suffix = TakeChildPart(*candidate);
  // Joined in a scratch text, so that the URL is allocated once at its size.
  scratch->assign(base.View());
  scratch->append(suffix == 0 ? candidate->View() : ChildPart(*candidate, suffix).View());
  String own(*scratch);
  // Made as a listing makes nodes (its URL given): the catalog's time is stamped by the caller.
  Ref<CatalogNode> link = MakeNode(NodeRef(this), std::move(name), String(), &targetURL, db,
                                   folder ? CATALOGMAKE_FOLDER : 0, true, &own);
  if (!link)
    return false;
  ChildPartsCurrent();
  if (target) {
    {
      std::lock_guard l(link->fieldLock_);
      link->target_ = std::move(target);
      link->lookedUp_ = true;
      link->lastLookup_ = now;
    }
    link->ClearStatus(NODESTATUS_UNRESOLVED);
  }
  return true;
}

Int32 CatalogNode::AddPreparedLinks(const NodeRef& catalog, LinkSource* links, Int32 count, Bool notify)
{
  CatalogNode* parent = AsCatalog(catalog.Get());
  if (!parent || !links || count <= 0)
    return 0;
  BrowserDatabase* db = parent->GetLibrary();
  Int32 made = 0;
  {
    BusyMark mark(parent);
    if (!mark.Held() || parent->IsRemoved())
      return 0;
    parent->SettleOwed();
    const String base = NodeURLText(parent) + String("/");
    // One clock reading for the batch: the lookup time only keeps a failed lookup from repeating.
    const UInt32 now = Now();
    std::u16string scratch;
    for (Int32 i = 0; i < count; ++i) {
      LinkSource& p = links[i];
      if (parent->MakeChildLink(base, db, now, p.name, p.candidate.IsEmpty() ? nullptr : &p.candidate, p.targetURL,
                                std::move(p.target), p.folder, &scratch))
        ++made;
    }
  }
  if (made) {
    TouchParent(catalog);
    if (notify)
      TellViews(catalog);
  }
  return made;
}

// --- links owed: made into nodes when anyone looks ---

void CatalogNode::LinkBatch::Folder(std::u16string_view url)
{
  folder_.assign(url);
  folderInText_ = false;
}

void CatalogNode::LinkBatch::Name(std::u16string_view name)
{
  if (!folderInText_) {
    folders_.push_back(Part{UInt32(text_.size()), UInt32(folder_.size())});
    text_.append(folder_);
    folderInText_ = true;
  }
  entries_.push_back(Entry{UInt32(folders_.size() - 1), UInt32(text_.size()), UInt32(name.size())});
  text_.append(name);
}

void CatalogNode::LinkBatch::Prepared(LinkSource&& link)
{
  entries_.push_back(Entry{kPrepared, UInt32(prepared_.size()), 0});
  prepared_.push_back(std::move(link));
}

void CatalogNode::LinkBatch::Truncate(std::size_t count)
{
  if (count >= entries_.size())
    return;
  entries_.resize(count);
  std::size_t keep = 0;
  for (const Entry& e : entries_)
    if (e.folder == kPrepared)
      keep = e.at + 1;
  prepared_.resize(keep);
}

void CatalogNode::LinkBatch::Clear()
{
  text_.clear();
  folders_.clear();
  entries_.clear();
  prepared_.clear();
  folderInText_ = false;
}

Bool CatalogNode::LinkBatch::Append(LinkBatch& other)
{
  // Positions are 32 bits: a batch this large is made into nodes before more joins it.
  constexpr std::size_t kRoom = 0x7fffffff;
  if (text_.size() + other.text_.size() > kRoom || entries_.size() + other.entries_.size() > kRoom)
    return false;
  // Room first, grown as push_back grows (an exact reserve per batch would copy the whole store
  // each time): once it stands nothing below can fail, so a failure leaves both batches as they were.
  auto room = [](auto& v, std::size_t more) {
    if (v.size() + more > v.capacity())
      v.reserve(std::max(v.size() + more, v.capacity() * 2));
  };
  try {
    room(folders_, other.folders_.size());
    room(entries_, other.entries_.size());
    room(prepared_, other.prepared_.size());
    const UInt32 textAt = UInt32(text_.size()), folderAt = UInt32(folders_.size()),
                 preparedAt = UInt32(prepared_.size());
    text_.append(other.text_);
    for (const Part& f : other.folders_)
      folders_.push_back(Part{f.at + textAt, f.length});
    for (const Entry& e : other.entries_)
      entries_.push_back(e.folder == kPrepared ? Entry{kPrepared, e.at + preparedAt, 0}
                                               : Entry{e.folder + folderAt, e.at + textAt, e.length});
    for (LinkSource& p : other.prepared_)
      prepared_.push_back(std::move(p));
  } catch (const std::bad_alloc&) {
    return false;
  }
  other.Clear();
  return true;
}

Int32 CatalogNode::AddLinkBatch(const NodeRef& catalog, LinkBatch* batch, Bool notify)
{
  CatalogNode* parent = AsCatalog(catalog.Get());
  if (!parent || !batch || batch->Empty() || parent->IsRemoved())
    return 0;
  const Int32 count = Int32(batch->Size());
  Bool taken;
  {
    std::lock_guard l(parent->owedLock_);
    if (!parent->owed_)
      parent->owed_.reset(new (std::nothrow) LinkBatch);
    taken = parent->owed_ && parent->owed_->Append(*batch);
    if (taken)
      parent->MarkDeferredChildren(true);
  }
  if (!taken) {
    // No room to keep them: made now, behind those owed.
    BusyMark mark(parent);
    if (!mark.Held() || parent->IsRemoved())
      return 0;
    parent->SettleOwed();
    parent->MakeBatch(*batch);
    batch->Clear();
  }
  TouchParent(catalog);
  if (notify)
    TellViews(catalog);
  return count;
}

void CatalogNode::MakeDeferredChildren()
{
  // A make link under way settled the owed links itself, and the making of them looks at the
  // children on the way: both hold the mark.
  if (BusyMark::HeldHere(this))
    return;
  BusyMark mark(this);
  if (mark.Held())
    SettleOwed();
}

void CatalogNode::SettleOwed()
{
  std::unique_ptr<LinkBatch> owed;
  {
    std::lock_guard l(owedLock_);
    owed = std::move(owed_);
    if (!owed) {
      MarkDeferredChildren(false);
      return;
    }
  }
  // A removed catalog shows no children: what it owes goes unmade.
  if (!IsRemoved())
    MakeBatch(*owed);
  std::lock_guard l(owedLock_);
  if (!owed_)
    MarkDeferredChildren(false);
}

void CatalogNode::MakeBatch(LinkBatch& batch)
{
  BrowserDatabase* db = GetLibrary();
  const String base = NodeURLText(this) + String("/");
  // One clock reading for the batch: the lookup time only keeps a failed lookup from repeating.
  const UInt32 now = Now();
  std::u16string scratch, target;
  const std::u16string_view text(batch.text_);
  for (const LinkBatch::Entry& e : batch.entries_) {
    if (e.folder == LinkBatch::kPrepared) {
      LinkSource& p = batch.prepared_[e.at];
      MakeChildLink(base, db, now, p.name, p.candidate.IsEmpty() ? nullptr : &p.candidate, p.targetURL,
                    std::move(p.target), p.folder, &scratch);
      continue;
    }
    const LinkBatch::Part& f = batch.folders_[e.folder];
    const std::u16string_view name = text.substr(e.at, e.length);
    target.assign(text.substr(f.at, f.length));
    target.append(name);
    String n(name), t(target);
    MakeChildLink(base, db, now, n, nullptr, t, NodeRef(), false, &scratch);
  }
}

Ref<CatalogNode> CatalogNode::MakeFolderWithItem(const NodeRef& parent, const String& name, BrowserDatabase* db)
{
  if (!parent || !AcceptableName(name) || ChildPartTaken(parent.Get(), name, nullptr))
    return nullptr;
  if (db && db->IsReadOnly())
    return nullptr;
  Ref<CatalogNode> n = Make(parent, name, name, nullptr, db, CATALOGMAKE_FOLDER);
  if (!n || !db)
    return n;
  const String own = n->GetURLText();
  ItemHandle item(db->OpenOrCreateItem(own, BrowserPathHash(own)));
  if (item) {
    const DateTime now = GeGetCurrentTime();
    item->SetName(name);
    item->SetTime(0, now);
    item->SetTime(1, now);
    item->SetItemFlags(item->GetItemFlags() | dbitem::kFolderFlag);
  }
  return n;
}

NodeRef CatalogNode::ItemFactory(const NodeRef& parent, const NodeRef& existing, BrowserURL& url, BrowserDatabase* db,
                                 Bool folder, BrowserDatabaseItem* opened, void*)
{
  if (existing)
    return existing;
  if (!parent)
    return nullptr;
  String path = url.GetString();
  const String last = LastPart(path);
  // The caller's handle, or one of its own, without a host allocation per item of a large catalog.
  BrowserDatabaseItem handle;
  BrowserDatabaseItem* item = opened                                                    ? opened
                              : db && db->OpenItemInto(path, url.GetHash(), &handle) ? &handle
                                                                                     : nullptr;
  String name = item ? item->GetName(0) : String();
  if (name.IsEmpty())
    name = last;
  String base;
  if (db)
    db->GetCatalogString(&base);
  String target;
  Bool relative = false;
  const Bool hasLink = item && ReadCatalogLink(item, base, &target, &relative);
  if (folder && hasLink)
    return MakeNode(parent, std::move(name), last, &target, db,
                    CATALOGMAKE_FOLDER | (relative ? CATALOGMAKE_RELATIVE : 0), false, &path);
  if (folder) {
    Ref<CatalogNode> n = MakeNode(parent, std::move(name), last, nullptr, db, CATALOGMAKE_FOLDER, false, &path);
    DateTime t;
    if (n && item && item->GetTime(1, &t)) {
      std::lock_guard l(n->fieldLock_);
      n->time_ = t;
    }
    return n;
  }
  if (hasLink)
    return MakeNode(parent, std::move(name), last, &target, db, relative ? CATALOGMAKE_RELATIVE : 0, true, &path);
  String stored;
  Bool storedRelative = false;
  if (item && item->GetLink(&stored, &storedRelative) && HasParentPart(stored)) {
    GePrint(String("CatalogNode warning: Link refused, it climbs out of its folder: ") + path);
    return MakeNode(parent, std::move(name), last, nullptr, db, 0, false, &path);
  }
  return MakeNode(parent, std::move(name), last, nullptr, db, 0, true, &path);
}

// --- operations ---

BrowserPluginInterface* CatalogNode::GetPluginInterface(UInt32 flags)
{
  if (IsFolder())
    return FindPluginByID(IsRoot() ? HANDLER_ID_CATALOG_FILE : HANDLER_ID_FOLDER);
  if (!(flags & PLUGINREQUEST_TYPENAME))
    return FindPluginByID(HANDLER_ID_CATALOG);
  if (NodeRef t = GetTarget()) {
    if (t->GetInfo(nullptr) & NODESTATUS_FOLDER)
      return FindPluginByID(HANDLER_ID_FOLDER);
    return t->GetPluginInterface(flags);
  }
  const String url = GetTargetURLText();
  if (url.IsEmpty())
    return nullptr;
  return handler_.Get(this, BrowserURL(url), PLUGINREQUEST_QUICK);
}

String CatalogNode::GetName()
{
  std::lock_guard l(fieldLock_);
  return name_;
}

String* CatalogNode::GetTypeName(String* out, Int32 mode)
{
  if (IsLink())
    if (NodeRef t = GetTarget())
      return t->GetTypeName(out, mode);
  return BrowserContentNode::GetTypeName(out, mode);
}

Bool CatalogNode::GetURL(BrowserURL* out, UInt32 flags)
{
  if (!out)
    return false;
  if ((flags & URLREQUEST_TARGET) && IsLink()) {
    // A link never looked up (a search hit) answers the URL it was made with, which is its
    // target's: listing the way to every hit would cost a full read of each of their folders.
    Bool asked;
    {
      std::lock_guard l(fieldLock_);
      asked = lookedUp_ || target_ || (GetStatus() & NODESTATUS_RELATIVE_LINK);
    }
    if (NodeRef t = asked ? GetTarget() : NodeRef())
      return t->GetURL(out, flags & ~URLREQUEST_TARGET);
    const String url = GetTargetURLText();
    out->SetString(url);
    return url.Content();
  }
  if (GetStatus() & NODESTATUS_NO_PARENT_URL) {
    if (NodeRef parent = GetUpNode()) {
      const String prefix = NodeURLText(parent.Get());
      Bool changed = false;
      {
        std::lock_guard l(fieldLock_);
        if (GetStatus() & NODESTATUS_NO_PARENT_URL) {
          url_ = prefix + String("/") + url_;
          ++urlVersion_;
          changed = true;
        }
      }
      ClearStatus(NODESTATUS_NO_PARENT_URL);
      if (changed)
        URLChanged();
    }
  }
  String text;
  {
    std::lock_guard l(fieldLock_);
    text = url_;
  }
  out->SetString(text);
  return true;
}

Int32 CatalogNode::MatchUpperURLPrefix(const String& upper)
{
  if (GetStatus() & NODESTATUS_NO_PARENT_URL)
    return BrowserContentNode::MatchUpperURLPrefix(upper);
  std::lock_guard l(fieldLock_);
  return MatchUpperPrefix(url_, upper);
}

Bool CatalogNode::GetFileTime(Int32 which, DateTime* out)
{
  if (!out)
    return false;
  if (!IsLink()) {
    std::lock_guard l(fieldLock_);
    *out = time_;
    return false;
  }
  if (NodeRef t = GetTarget())
    return t->GetFileTime(which, out);
  *out = DateTime();
  BrowserDatabase* db = GetLibrary();
  if (!db)
    return false;
  const String own = GetURLText();
  ItemHandle item(db->OpenItem(own, BrowserPathHash(own)));
  if (!item || !item->GetTime(which == FILETIME_CREATED ? 0 : 1, out))
    return false;
  const DateTime zero;
  return !(out->year == zero.year && out->month == zero.month && out->day == zero.day && out->hour == zero.hour &&
           out->minute == zero.minute && out->second == zero.second);
}

UInt32 CatalogNode::GetInfo(Int64* size)
{
  if (size)
    *size = 0;
  // The target first: a lookup now changes the status it answers.
  const NodeRef t = IsLink() ? GetTarget() : NodeRef();
  UInt32 status = GetStatus();
  if (IsLink()) {
    if (t) {
      const UInt32 from = t->GetInfo(size);
      status = (status & ~kTakenFromTarget) | (from & kTakenFromTarget);
    } else if (GetFirstChild()) {
      status |= NODESTATUS_FOLDER | NODESTATUS_LINK;
    }
  }
  if (ReadOnly())
    status |= NODESTATUS_READONLY;
  return status;
}

Int32 CatalogNode::GetIconId(UInt32 flags)
{
  if (!IsFolder())
    return ICON_CATALOG_LINK;
  if (IsLink() && GetURLText().StartsWith(String("favorite:/")))
    return ICON_CATALOG_FAVORITE_FOLDER;
  const Bool open = (flags & ICONREQUEST_OPEN) != 0;
  if (ReadOnly())
    return open ? ICON_CATALOG_READONLY_OPEN : ICON_CATALOG_READONLY;
  return open ? ICON_CATALOG_FOLDER_OPEN : ICON_CATALOG_FOLDER;
}

BaseBitmap* CatalogNode::GetIcon(UInt32 flags, Int32 size)
{
  // Folder icons and the fallbacks come from the icon service by GetIconId.
  if (IsFolder())
    return nullptr;
  NodeRef t = GetTarget();
  if (!t)
    return nullptr;
  (void)flags;
  BrowserPluginInterface* h = t->GetPluginInterface(0);
  return h ? h->GetIcon(t, nullptr, size) : nullptr;
}

Bool CatalogNode::LoadChildren()
{
  NodeRef t = PeekTarget();
  if (t && (t->IsDeleted() || t->IsRemoved())) {
    NodeRef dropped;
    {
      std::lock_guard l(fieldLock_);
      if (target_ == t)
        dropped.Swap(target_);
    }
    SetStatus(NODESTATUS_UNRESOLVED);
  }
  return true;
}

Int32 CatalogNode::Message(Int32 id, Int32 kind, Int32 op, void* data)
{
  if (id != HANDLER_ID_CATALOG || kind != CATALOGMSG_KIND || op != CATALOGMSG_ADD_LINK)
    return MESSAGE_NOT_HANDLED;
  auto* source = static_cast<BrowserContentNode*>(data);
  if (!source || !IsFolder() || IsLink() || ReadOnly())
    return EDIT_COPY_REFUSED;
  return MakeLink(NodeRef(this), NodeRef(source), nullptr, true, true) ? EDIT_OK : EDIT_COPY_FAILED;
}

Int32 CatalogNode::Rename(Int32 phase, const String& newName)
{
  const Int32 p = EditPhase(phase);
  NodeRef parent = GetUpNode();
  if (ReadOnly() || !AcceptableName(newName) || p > EDITPHASE_DO || !parent || (GetStatus() & NODESTATUS_EXTERNAL))
    return EDIT_RENAME_REFUSED;
  if (IsRoot() && !IsOwnCatalogFileRoot())
    return EDIT_RENAME_REFUSED;
  if (!IsRoot() && ChildPartTaken(parent.Get(), newName, this))
    return EDIT_RENAME_REFUSED;
  if (p != EDITPHASE_DO)
    return EDIT_OK;

  std::lock_guard content(ContentLock());
  if (IsRoot()) {
    const Int32 r = RenameRoot(newName);
    if (r != EDIT_OK)
      return r;
  } else {
    const String oldURL = GetURLText();
    const String newURL = NodeURLText(parent.Get()) + String("/") + newName;
    if (BrowserDatabase* db = GetLibrary()) {
      ItemHandle item(db->OpenItemForChange(oldURL, BrowserPathHash(oldURL)));
      if (item && !item->SetName(newName))
        return EDIT_RENAME_REFUSED;
    }
    {
      std::lock_guard l(fieldLock_);
      name_ = newName;
    }
    if (newURL != oldURL) {
      ReplaceURLPrefix(oldURL, newURL, true);
      RebaseChildren(this, oldURL, newURL, true);
    }
  }
  TellViews(NodeRef(this));
  TellViews(parent);
  return EDIT_OK;
}

Bool CatalogNode::IsOwnCatalogFileRoot()
{
  BrowserDatabase* db = GetLibrary();
  return IsRoot() && db && db->GetSlot() > 0 && db->GetFilename().CheckSuffix(String("catqz")) &&
         BrowserPathsEqualIgnoreCase(GetURLText(), db->GetName());
}

Int32 CatalogNode::RenameRoot(const String& newName)
{
  BrowserDatabase* db = GetLibrary();
  if (!db)
    return EDIT_FILE_RENAME_FAILED;
  String fileName = MakeValidName(newName);
  Int32 pos = 0;
  if (!fileName.FindFirstIgnoreCase(String(".CATQZ"), &pos))
    fileName += String(".catqz");
  const Filename oldFile = db->GetFilename();
  const Filename newFile = oldFile.GetDirectory() + fileName;
  const String oldURL = GetURLText();
  const String newURL = String("catalog://") + fileName;
  // Never over another file: a replacing rename could overwrite another catalog.
  const Bool sameFile = oldFile == newFile;
  if (!sameFile && !db->RenameFile(newFile))
    return EDIT_FILE_RENAME_FAILED;
  if (!db->Rename(newURL)) {
    if (!sameFile && !db->RenameFile(oldFile))
      GePrint(String("CB: Catalog file could not be renamed back: ") + newFile.GetString());
    return EDIT_FILE_RENAME_FAILED;
  }
  db->SetDisplayName(newName);
  {
    std::lock_guard l(fieldLock_);
    name_ = newName;
  }
  SetURLText(newURL);
  // The library moved its items itself.
  RebaseChildren(this, oldURL, newURL, false);
  return EDIT_OK;
}

Int32 CatalogNode::NewFolder(Int32 phase, const String& name, NodeRef* out)
{
  if (out)
    *out = nullptr;
  const Int32 p = EditPhase(phase);
  if (ReadOnly() || !IsFolder() || IsLink() || !AcceptableName(name) || p > EDITPHASE_DO ||
      ChildPartTaken(this, name, nullptr))
    return EDIT_NEWFOLDER_REFUSED;
  if (p != EDITPHASE_DO)
    return EDIT_OK;
  Ref<CatalogNode> folder;
  {
    std::lock_guard content(ContentLock());
    folder = MakeFolderWithItem(NodeRef(this), name, GetLibrary());
  }
  if (!folder)
    return EDIT_NEWFOLDER_REFUSED;
  TellViews(NodeRef(this));
  if (out)
    *out = folder;
  return EDIT_OK;
}

Int32 CatalogNode::CountItems(Int32 phase, EditCallback callback, void* data)
{
  return WalkForCallback(NodeRef(this), phase, callback, data, 0);
}

Int32 CatalogNode::MoveHere(NodeRef node, Int32 phase, EditCallback callback, void* data)
{
  const Int32 p = EditPhase(phase);
  CatalogNode* moved = AsCatalog(node.Get());
  if (ReadOnly() || !moved || !IsFolder() || IsLink() || moved->IsRoot() || moved->GetLibrary() != GetLibrary() ||
      (moved->GetStatus() & NODESTATUS_EXTERNAL) || p > EDITPHASE_DO)
    return EDIT_MOVE_REFUSED;
  // Into itself or below itself: the tree would refuse it after the items were re-keyed.
  if (InSubtree(this, moved))
    return EDIT_MOVE_REFUSED;
  NodeRef oldParent = moved->GetUpNode();
  if (!oldParent)
    return EDIT_MOVE_REFUSED;
  const Bool sameParent = oldParent.Get() == this;
  const String part = LastPart(moved->GetURLText());
  if (!sameParent && ChildPartTaken(this, part, nullptr))
    return EDIT_MOVE_REFUSED;
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p == EDITPHASE_PREPARE)
    return moved->CountItems(phase, callback, data);
  if (sameParent)
    return EDIT_OK;

  std::scoped_lock content(ContentLock(), oldParent->ContentLock());
  const String oldPrefix = moved->GetURLText();
  const String newPrefix = GetURLText() + String("/") + part;
  // Items are re-keyed only once the tree took the node.
  if (!moved->InsertUnder(this))
    return EDIT_MOVE_FAILED;
  moved->ReplaceURLPrefix(oldPrefix, newPrefix, true);
  RebaseChildren(moved, oldPrefix, newPrefix, true);
  Touch();
  TouchParent(oldParent);
  TellViews(oldParent);
  TellViews(NodeRef(this));
  return EDIT_OK;
}

Int32 CatalogNode::CopyHere(NodeRef node, Int32 phase, const String* newName, EditCallback callback, void* data)
{
  const Int32 p = EditPhase(phase);
  if (ReadOnly() || !node || !IsFolder() || IsLink() || p > EDITPHASE_DO || node->GetNodeType() == NODETYPE_BASELIST ||
      (newName && !AcceptableName(*newName)))
    return EDIT_COPY_REFUSED;
  // Into itself or below itself: the copy would copy what it makes, without end.
  if (InSubtree(this, node.Get()))
    return EDIT_COPY_REFUSED;
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p == EDITPHASE_PREPARE)
    return WalkForCallback(node, phase, callback, data, 0);

  if (t_copyDepth >= kMaxCopyDepth)
    return EDIT_COPY_FAILED;
  struct Depth
  {
    Depth() { ++t_copyDepth; }
    ~Depth() { --t_copyDepth; }
  } depth;
  // The children as they are before anything is made, so the copy never meets itself. A link on
  // disk is never entered: it becomes a link, so that a link to its own folder cannot recurse.
  const UInt32 info = node->GetInfo(nullptr);
  auto barrier = Services().isWalkBarrier;
  const Bool linkOnDisk = barrier && barrier(node.Get());
  std::vector<NodeRef> children;
  if ((info & NODEMASK_BROWSABLE) && !linkOnDisk) {
    try {
      for (NodeRef c = node->GetDownNode(); c; c = c->GetNextNode())
        children.push_back(c);
    } catch (const std::bad_alloc&) {
      return EDIT_COPY_FAILED;
    }
  }
  Ref<CatalogNode> made = MakeLink(NodeRef(this), node, newName, true, linkOnDisk);
  if (!made)
    return EDIT_COPY_FAILED;
  if (callback && callback(data, EDITPHASE_DO, 1, EDIT_LINK_ITEM_SIZE, 0) < 0)
    return EDIT_COPY_FAILED;
  for (NodeRef& c : children) {
    const Int32 r = made->CopyHere(std::move(c), EDITFLAG_FROM_PARENT | EDITPHASE_DO, nullptr, callback, data);
    if (r < 0)
      return r;
  }
  return EDIT_OK;
}

Int32 CatalogNode::Delete(Int32 phase, EditCallback callback, void* data)
{
  const Int32 p = EditPhase(phase);
  if (ReadOnly() || p > EDITPHASE_DO || (GetStatus() & NODESTATUS_EXTERNAL))
    return EDIT_DELETE_REFUSED;
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p == EDITPHASE_PREPARE)
    return CountItems(phase, callback, data);

  const UInt32 before = SetStatus(NODESTATUS_DELETED);
  for (;;) {
    NodeRef child = BrowserContentNode::FromTree(GetFirstChild());
    if (!child)
      break;
    const Int32 r = child->Delete(EDITPHASE_DO | EDITFLAG_FROM_PARENT, callback, data);
    if (r != EDIT_OK) {
      // Stopped at the first failure: the node keeps its item, its file and its place.
      if (!(before & NODESTATUS_DELETED))
        ClearStatus(NODESTATUS_DELETED);
      return r;
    }
    // A child that answered success but stayed would hold this loop forever.
    if (BrowserContentNode::FromTree(GetFirstChild()) == child)
      child->Remove();
  }
  BrowserDatabase* db = GetLibrary();
  // Only the root of its own catalog file takes the file along; a link never does.
  const Bool ownFile = IsOwnCatalogFileRoot();
  if (db) {
    const String own = GetURLText();
    if (BrowserDatabaseItem* item = db->OpenItem(own, BrowserPathHash(own))) {
      item->Close();
      db->DeleteItem(own);
    }
  }
  if (ownFile) {
    const Filename file = db->GetFilename();
    BrowserDatabase::Destroy(db);
    GeDelete(file);
  }
  NodeRef parent = GetUpNode();
  Remove();
  if (!(phase & EDITFLAG_FROM_PARENT) && parent) {
    TouchParent(parent);
    TellViews(parent);
  }
  return EDIT_OK;
}

void CatalogNode::ReplaceURLPrefix(const String& oldPrefix, const String& newPrefix, Bool updateLibrary)
{
  const String old = GetURLText();
  const Int32 n = oldPrefix.GetLength();
  // Only whole path parts: "a/bc" is not below "a/b".
  if (!old.StartsWith(oldPrefix) || (old.GetLength() > n && old[n] != u'/'))
    return;
  const String text = newPrefix + old.SubStr(n, old.GetLength() - n);
  if (updateLibrary)
    if (BrowserDatabase* db = GetLibrary()) {
      BrowserDatabaseItem* item = db->OpenItem(old, BrowserPathHash(old));
      const Bool hasItem = item != nullptr;
      if (item)
        item->Close();
      if (hasItem && !db->MoveItem(old, text))
        return;
    }
  SetURLText(text);
}

// --- handlers ---

namespace {

NodeRef TargetOf(const NodeRef& node)
{
  CatalogNode* c = node ? AsCatalog(node.Get()) : nullptr;
  return c ? c->GetTarget() : nullptr;
}

// Preview data of a link: the target's handler keeps its own data, so both travel together.
struct LinkPreview
{
  BrowserPluginInterface* handler;
  void* data;
};

std::atomic<BrowserCatalogFilePlugin::Opener> g_opener{nullptr};

} // namespace

Int32 BrowserCatalogPlugin::GetPluginID(String* name)
{
  if (name)
    *name = GeLoadString(IDS_CATALOG_HANDLER);
  return HANDLER_ID_CATALOG;
}

String* BrowserCatalogPlugin::GetTypeName(String* out, NodeRef, BrowserURL*, Int32)
{
  if (out)
    *out = GeLoadString(IDS_CATALOG_TYPE);
  return out;
}

void* BrowserCatalogPlugin::OpenPreviewData(Int32 flags, NodeRef node, BrowserURL*, Int32* qualities)
{
  NodeRef t = TargetOf(node);
  BrowserPluginInterface* h = t ? t->GetPluginInterface(0) : nullptr;
  if (!h || h == this)
    return nullptr;
  void* inner = h->OpenPreviewData(flags, t, nullptr, qualities);
  if (!inner)
    return nullptr;
  auto* wrap = static_cast<LinkPreview*>(OrxMemAlloc(Int64(sizeof(LinkPreview)), __LINE__, __FILE__, false));
  if (!wrap) {
    h->FreePreviewData(inner);
    return nullptr;
  }
  wrap->handler = h;
  wrap->data = inner;
  return wrap;
}

void BrowserCatalogPlugin::FreePreviewData(void* data)
{
  auto* wrap = static_cast<LinkPreview*>(data);
  if (!wrap)
    return;
  wrap->handler->FreePreviewData(wrap->data);
  OrxMemFree(wrap);
}

BaseBitmap* BrowserCatalogPlugin::GetPreviewBitmap(void* data, Int32 width, Int32 height, Int32 flags)
{
  auto* wrap = static_cast<LinkPreview*>(data);
  return wrap ? wrap->handler->GetPreviewBitmap(wrap->data, width, height, flags) : nullptr;
}

BaseBitmap* BrowserCatalogPlugin::GetIcon(NodeRef node, BrowserURL*, Int32 size)
{
  NodeRef t = TargetOf(node);
  BrowserPluginInterface* h = t ? t->GetPluginInterface(0) : nullptr;
  return h && h != this ? h->GetIcon(t, nullptr, size) : nullptr;
}

PreviewDialog* BrowserCatalogPlugin::CreatePreviewDialog(NodeRef node, Int32 page)
{
  NodeRef t = TargetOf(node);
  BrowserPluginInterface* h = t ? t->GetPluginInterface(0) : nullptr;
  if (h && h != this)
    return h->CreatePreviewDialog(t, page);
  // A catalog folder (or a link whose target is gone) gets the plain dialog.
  return MakePreviewDialog(std::move(node), PREVIEWDIALOG_GENERIC, 6, 0, page);
}

Int32 BrowserCatalogPlugin::DestroyPreviewDialog(NodeRef node, PreviewDialog* dialog)
{
  NodeRef t = TargetOf(node);
  BrowserPluginInterface* h = t ? t->GetPluginInterface(0) : nullptr;
  return h && h != this ? h->DestroyPreviewDialog(t, dialog) : BrowserPluginInterface::DestroyPreviewDialog(node, dialog);
}

Int32 BrowserCatalogPlugin::ClosePreviewDialog(NodeRef node, PreviewDialog* dialog)
{
  NodeRef t = TargetOf(node);
  BrowserPluginInterface* h = t ? t->GetPluginInterface(0) : nullptr;
  return h && h != this ? h->ClosePreviewDialog(t, dialog) : BrowserPluginInterface::ClosePreviewDialog(node, dialog);
}

Bool BrowserCatalogPlugin::Execute(NodeRef node, BrowserURL*, Int32 flags)
{
  NodeRef t = TargetOf(node);
  BrowserPluginInterface* h = t ? t->GetPluginInterface(0) : nullptr;
  return h && h != this && h->Execute(t, nullptr, flags);
}

String* BrowserCatalogPlugin::GetTypeNames(Int32, Int32* count)
{
  return MakeTypeNames(GeLoadString(IDS_CATALOG_TYPE), count);
}

void BrowserCatalogFilePlugin::SetOpener(Opener opener) { g_opener.store(opener, std::memory_order_release); }

Int32 BrowserCatalogFilePlugin::GetPluginID(String* name)
{
  if (name)
    *name = GeLoadString(IDS_CATALOG_FILE_HANDLER);
  return HANDLER_ID_CATALOG_FILE;
}

namespace {
constexpr const char* kCatalogSuffix[] = {"catqz"};
} // namespace

const SuffixMatch& BrowserCatalogFilePlugin::ByName()
{
  static const SuffixMatch byName{kCatalogSuffix, 1, true};
  return byName;
}

Bool BrowserCatalogFilePlugin::Identify(BrowserURL& url, const void* header, Int32 headerSize, Int32)
{
  if (!url.GetSuffix().IsEqualIgnoreCase(String(kCatalogSuffix[0])))
    return false;
  if (!header)
    return true;
  if (headerSize < 4)
    return false;
  const auto* b = static_cast<const UChar*>(header);
  return b[0] == 'd' && b[1] == 'b' && b[2] == 'f' && b[3] == 'h';
}

String* BrowserCatalogFilePlugin::GetTypeName(String* out, NodeRef, BrowserURL*, Int32)
{
  if (out)
    *out = GeLoadString(IDS_CATALOG_FILE_TYPE);
  return out;
}

Int32 BrowserCatalogFilePlugin::GetIconId(BrowserURL* url)
{
  return url && url->GetStringRef().StartsWith(String("file:/")) ? 17 : 6;
}

BaseBitmap* BrowserCatalogFilePlugin::GetIcon(NodeRef, BrowserURL*, Int32)
{
  // Icons by id (GetIconId) come from the icon service.
  return nullptr;
}

PreviewDialog* BrowserCatalogFilePlugin::CreatePreviewDialog(NodeRef node, Int32 page)
{
  BrowserURL url;
  const Int32 icon = node && node->GetURL(&url, 0) ? GetIconId(&url) : 17;
  return MakePreviewDialog(std::move(node), PREVIEWDIALOG_CATALOG, icon, PREVIEWDIALOG_ANNOTATION, page);
}

Bool BrowserCatalogFilePlugin::Execute(NodeRef node, BrowserURL* url, Int32)
{
  BrowserURL u;
  if (url)
    u = *url;
  else if (!node || !node->GetURL(&u, 0))
    return false;
  Filename file;
  Opener open = g_opener.load(std::memory_order_acquire);
  return open && u.GetFilename(&file) && open(file);
}

String* BrowserCatalogFilePlugin::GetTypeNames(Int32, Int32* count)
{
  return MakeTypeNames(GeLoadString(IDS_CATALOG_FILE_TYPE), count);
}

BrowserCatalogPlugin* GetCatalogPlugin()
{
  static BrowserCatalogPlugin plugin;
  return &plugin;
}

BrowserCatalogFilePlugin* GetCatalogFilePlugin()
{
  static BrowserCatalogFilePlugin plugin;
  return &plugin;
}
