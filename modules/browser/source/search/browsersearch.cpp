#include "search/browsersearch.h"

#include <cstdio>
#include <new>
#include <unordered_set>

#include "base/browserutils.h"
#include "contenttree/browserinterface.h"
#include "contenttree/contentevents.h"
#include "contenttree/sortby.h"
#include "nodes/categorynode.h"
#include "nodes/directorynode.h"
#include "orx/browsersearch.h"
#include "orx/files.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabaseitem.h"
#include "presets/catalognode.h"

namespace {

String LastURLPart(const String& text)
{
  Int32 pos = 0;
  if (text.FindLast(u'/', &pos))
    return text.SubStr(pos + 1, text.GetLength() - pos - 1);
  return text;
}

// The library item that holds a node's keywords and annotation: a link is judged by its target.
template <typename F>
Bool WithEntry(BrowserContentNode* node, F use)
{
  BrowserURL url;
  const UInt32 info = node->GetInfo(nullptr);
  if (!node->GetURL(&url, (info & NODESTATUS_LINK) ? URLREQUEST_TARGET : 0))
    return false;
  const String text = url.GetString();
  // Pinned: the main thread may close the library while this thread reads it.
  LibraryPin db = BrowserDatabase::PinLibraryForURL(text, true);
  if (!db)
    return false;
  BrowserDatabaseItem* item = db->OpenItem(text);
  if (!item)
    return false;
  const Bool r = use(*item);
  item->Close();
  return r;
}

Int32 CompareDates(const DateTime& a, const DateTime& b)
{
  const UInt16 x[] = {a.year, a.month, a.day, a.hour, a.minute, a.second};
  const UInt16 y[] = {b.year, b.month, b.day, b.hour, b.minute, b.second};
  for (int i = 0; i < 6; ++i)
    if (x[i] != y[i])
      return x[i] < y[i] ? -1 : 1;
  return 0;
}

Bool IsTextKind(Int32 kind)
{
  return kind == SEARCHROW_NAME || kind == SEARCHROW_KEYWORDS || kind == SEARCHROW_ANNOTATION;
}
Bool IsDateKind(Int32 kind) { return kind == SEARCHROW_MODIFIED || kind == SEARCHROW_CREATED; }

Int32 ModeCount(Int32 kind)
{
  if (IsTextKind(kind))
    return 4;
  if (IsDateKind(kind))
    return 3;
  if (kind == SEARCHROW_SIZE)
    return 2;
  return 1;
}

Int32 KindLabel(Int32 kind)
{
  static const Int32 ids[] = {IDS_SEARCH_KIND_NAME, IDS_SEARCH_KIND_MODIFIED, IDS_SEARCH_KIND_CREATED,
                              IDS_SEARCH_KIND_SIZE, IDS_SEARCH_KIND_TYPE,     IDS_SEARCH_KIND_KEYWORDS,
                              IDS_SEARCH_KIND_ANNOTATION};
  return ids[kind];
}

Int32 Clamp(Int32 v, Int32 lo, Int32 hi) { return v < lo ? lo : v > hi ? hi : v; }

String Two(Int32 v)
{
  char b[16];
  std::snprintf(b, sizeof b, "%02d", int(v));
  return String(b);
}

} // namespace

// --- filters ---

Bool SearchTextMatches(const String& subject, const String& pattern, Int32 mode)
{
  Int32 pos = 0;
  switch (mode) {
  case SEARCHTEXT_CONTAINS:
    return subject.FindFirst(pattern, &pos, 0);
  case SEARCHTEXT_BEGINS:
    return subject.FindFirst(pattern, &pos, 0) && pos == 0;
  case SEARCHTEXT_ENDS: {
    const Int32 d = subject.GetLength() - pattern.GetLength();
    return d >= 0 && subject.FindFirst(pattern, &pos, d) && pos == d;
  }
  case SEARCHTEXT_EQUALS:
    return subject == pattern;
  default:
    return false;
  }
}

Bool CompareName::Matches(NodeRef node)
{
  if (!node)
    return false;
  // An entry on disk is named by the last part of its path, which is its URL's last part: no URL
  // needs to be built (volumes show a label and are asked for their URL).
  if (auto* d = dynamic_cast<DirectoryNode*>(node.Get()); d && !(d->GetStatus() & NODESTATUS_VOLUME))
    return SearchTextMatches(d->GetName().ToUpper(), pattern_, mode_);
  BrowserURL url;
  if (!node->GetURL(&url, 0))
    return false;
  return SearchTextMatches(LastURLPart(url.GetString()).ToUpper(), pattern_, mode_);
}

Bool CompareName::MatchesName(const String& name) const
{
  // A plain ASCII name, the usual one, is folded while it is compared: no converted copy per entry.
  const std::u16string_view s = name.View(), p = pattern_.View();
  for (const char16_t c : s)
    if (c >= 0x80)
      return SearchTextMatches(name.ToUpper(), pattern_, mode_);
  auto at = [&](std::size_t from) {
    for (std::size_t i = 0; i < p.size(); ++i) {
      char16_t c = s[from + i];
      if (c >= u'a' && c <= u'z')
        c = char16_t(c - 32);
      if (c != p[i])
        return false;
    }
    return true;
  };
  if (s.size() < p.size())
    return false;
  switch (mode_) {
  case SEARCHTEXT_CONTAINS:
    for (std::size_t from = 0; from + p.size() <= s.size(); ++from)
      if (at(from))
        return true;
    return false;
  case SEARCHTEXT_BEGINS:
    return at(0);
  case SEARCHTEXT_ENDS:
    return at(s.size() - p.size());
  case SEARCHTEXT_EQUALS:
    return s.size() == p.size() && at(0);
  default:
    return false;
  }
}

Bool CompareFileTime::Matches(NodeRef node)
{
  DateTime t;
  // A node without a date has nothing to compare: it matches no date row.
  if (!node || !node->GetFileTime(which_, &t) || t == DateTime{})
    return false;
  switch (mode_) {
  case SEARCHDATE_AFTER:
    return CompareDates(t, date_) > 0;
  case SEARCHDATE_BEFORE:
    return CompareDates(t, date_) < 0;
  case SEARCHDATE_SAME_DAY:
    return t.year == date_.year && t.month == date_.month && t.day == date_.day;
  default:
    return false;
  }
}

Bool CompareFileSize::Matches(NodeRef node)
{
  if (!node)
    return false;
  Int64 size = 0;
  const UInt32 info = node->GetInfo(&size);
  // Folders report no size of their own.
  if (info & NODEMASK_BROWSABLE)
    size = 0;
  if (mode_ == SEARCHSIZE_ATLEAST)
    return size >= limit_;
  if (mode_ == SEARCHSIZE_ATMOST)
    return size <= limit_;
  return false;
}

Bool CompareFileType::Matches(NodeRef node)
{
  if (!node || type_.IsEmpty())
    return false;
  String type;
  node->GetTypeName(&type, 1);
  Int32 pos = 0;
  return type.FindFirst(type_, &pos, 0);
}

Bool CompareQuery::Matches(NodeRef node)
{
  if (!node)
    return false;
  return WithEntry(node.Get(), [&](BrowserDatabaseItem& item) {
    BaseContainer list;
    if (!item.GetStringList(&list))
      return false;
    for (const auto& e : list)
      if (const String* k = e.data.GetStringPtr())
        if (SearchTextMatches(k->ToUpper(), pattern_, mode_))
          return true;
    return false;
  });
}

Bool CompareAnnotation::Matches(NodeRef node)
{
  if (!node)
    return false;
  return WithEntry(node.Get(), [&](BrowserDatabaseItem& item) {
    return SearchTextMatches(item.GetAnnotation().ToUpper(), pattern_, mode_);
  });
}

Bool SearchFilterList::Add(CompareObject* filter)
{
  if (!filter)
    return false;
  if (count_ >= SEARCH_MAX_ROWS) {
    delete filter;
    return false;
  }
  // Cheapest first: a name test spares reading the file or its record for most nodes.
  Int32 at = count_;
  while (at > 0 && filters_[at - 1]->Cost() > filter->Cost()) {
    filters_[at] = filters_[at - 1];
    --at;
  }
  filters_[at] = filter;
  ++count_;
  return true;
}

void SearchFilterList::Clear()
{
  for (Int32 i = 0; i < count_; ++i) {
    delete filters_[i];
    filters_[i] = nullptr;
  }
  count_ = 0;
}

Bool SearchFilterList::Matches(const NodeRef& node) const
{
  for (Int32 i = 0; i < count_; ++i)
    if (!filters_[i]->Matches(node))
      return false;
  return true;
}

Bool SearchFilterList::MatchesName(const String& name) const
{
  for (Int32 i = 0; i < count_; ++i)
    if (filters_[i]->JudgesName() && !filters_[i]->MatchesName(name))
      return false;
  return true;
}

Bool SearchFilterList::MatchesBeyondName(const NodeRef& node) const
{
  for (Int32 i = 0; i < count_; ++i)
    if (!filters_[i]->JudgesName() && !filters_[i]->Matches(node))
      return false;
  return true;
}

Bool SearchFilterList::JudgesByNameAlone() const
{
  for (Int32 i = 0; i < count_; ++i)
    if (!filters_[i]->JudgesName())
      return false;
  return true;
}

// --- rows ---

Bool AddSearchRow(SearchQuery* query, Int32 kind, const BaseContainer& values)
{
  if (!query || Int32(query->rows.size()) >= SEARCH_MAX_ROWS || kind < 0 || kind > SEARCHROW_LAST_KIND)
    return false;
  query->rows.push_back(SearchRow{kind, values});
  return true;
}

BaseContainer StoreSearchRows(const SearchQuery& query)
{
  BaseContainer out;
  out.SetInt32(SEARCHSTORE_COUNT, Int32(query.rows.size()));
  BaseContainer rows;
  for (std::size_t i = 0; i < query.rows.size(); ++i) {
    BaseContainer row(query.rows[i].kind);
    row.SetContainer(0, query.rows[i].values);
    rows.SetContainer(Int32(i), row);
  }
  out.SetContainer(SEARCHSTORE_ROWS, rows);
  out.SetBool(SEARCHSTORE_SUBFOLDERS, query.subFolders);
  return out;
}

Bool ReadSearchRows(const BaseContainer& stored, SearchQuery* out)
{
  if (!out)
    return false;
  out->rows.clear();
  out->subFolders = stored.GetBool(SEARCHSTORE_SUBFOLDERS, false);
  const Int32 count = Clamp(stored.GetInt32(SEARCHSTORE_COUNT, 1), 1, SEARCH_MAX_ROWS);
  const BaseContainer* rows = stored.GetContainerInstance(SEARCHSTORE_ROWS);
  if (!rows)
    return false;
  for (Int32 i = 0; i < count; ++i) {
    const BaseContainer* row = rows->GetContainerInstance(i);
    if (!row)
      continue;
    const Int32 kind = row->GetId();
    if (kind < 0 || kind > SEARCHROW_LAST_KIND)
      continue;
    const BaseContainer* v = row->GetContainerInstance(0);
    if (!v)
      continue;
    const GeData* mode = v->GetData(SEARCHVALUE_MODE);
    if (!mode || mode->GetType() != DataType::Int32 || mode->GetInt32() < 0 || mode->GetInt32() >= ModeCount(kind))
      continue;
    const GeData* value = v->GetData(SEARCHVALUE_VALUE);
    BaseContainer clean;
    clean.SetInt32(SEARCHVALUE_MODE, mode->GetInt32());
    if (IsTextKind(kind) || kind == SEARCHROW_TYPE) {
      // A type row keeps the type's name: a menu index (an old form) names another type once the
      // handlers change, so such a row is dropped.
      if (!value || value->GetType() != DataType::String)
        continue;
      clean.SetString(SEARCHVALUE_VALUE, value->GetString());
    } else if (IsDateKind(kind)) {
      if (!value || value->GetType() != DataType::Int32)
        continue;
      clean.SetInt32(SEARCHVALUE_VALUE, Clamp(value->GetInt32(), 1, 31));
      clean.SetInt32(SEARCHVALUE_MONTH, Clamp(v->GetInt32(SEARCHVALUE_MONTH, 1), 1, 12));
      clean.SetInt32(SEARCHVALUE_YEAR, Clamp(v->GetInt32(SEARCHVALUE_YEAR, 2005), 1904, 2100));
    } else {
      if (!value || value->GetType() != DataType::Int32)
        continue;
      clean.SetInt32(SEARCHVALUE_VALUE, Clamp(value->GetInt32(), 1, SEARCH_MAX_SIZE_KB));
    }
    out->rows.push_back(SearchRow{kind, std::move(clean)});
  }
  return !out->rows.empty();
}

Bool LoadSearchPrefs(SearchQuery* out)
{
  const BaseContainer* prefs = GeGetPrefs();
  const BaseContainer* browser = prefs ? prefs->GetContainerInstance(BROWSER_PREFS_ID) : nullptr;
  const BaseContainer* stored = browser ? browser->GetContainerInstance(BROWSER_PREF_SEARCH_ROWS) : nullptr;
  return stored && ReadSearchRows(*stored, out);
}

void SaveSearchPrefs(const SearchQuery& query)
{
  BaseContainer* prefs = GeGetPrefs();
  if (!prefs)
    return;
  BaseContainer* browser = prefs->GetContainerInstance(BROWSER_PREFS_ID);
  if (!browser)
    browser = prefs->SetContainer(BROWSER_PREFS_ID, BaseContainer(BROWSER_PREFS_ID));
  if (browser)
    browser->SetContainer(BROWSER_PREF_SEARCH_ROWS, StoreSearchRows(query));
}

Bool BuildSearchFilters(const SearchQuery& query, SearchFilterList* list, String* error)
{
  auto fail = [&](const char* why, std::size_t row) {
    if (error)
      *error = String("row ") + String::FromInt(Int64(row) + 1) + String(": ") + String(why);
    list->Clear();
    return false;
  };
  if (!list)
    return false;
  list->Clear();
  if (query.rows.empty())
    return fail("no criteria", 0);
  if (query.rows.size() > std::size_t(SEARCH_MAX_ROWS))
    return fail("more than 20 criteria", SEARCH_MAX_ROWS);
  for (std::size_t i = 0; i < query.rows.size(); ++i) {
    const SearchRow& r = query.rows[i];
    const Int32 mode = r.values.GetInt32(SEARCHVALUE_MODE, 0);
    if (mode < 0 || mode >= ModeCount(r.kind))
      return fail("unknown mode", i);
    CompareObject* f = nullptr;
    if (IsTextKind(r.kind) || r.kind == SEARCHROW_TYPE) {
      const String text = r.values.GetString(SEARCHVALUE_VALUE);
      // An empty pattern would find everything.
      if (text.IsEmpty())
        return fail(r.kind == SEARCHROW_TYPE ? "empty type name" : "empty pattern", i);
      if (r.kind == SEARCHROW_NAME)
        f = new (std::nothrow) CompareName(text, mode);
      else if (r.kind == SEARCHROW_KEYWORDS)
        f = new (std::nothrow) CompareQuery(text, mode);
      else if (r.kind == SEARCHROW_ANNOTATION)
        f = new (std::nothrow) CompareAnnotation(text, mode);
      else
        f = new (std::nothrow) CompareFileType(text);
    } else if (IsDateKind(r.kind)) {
      DateTime d;
      d.day = UInt16(Clamp(r.values.GetInt32(SEARCHVALUE_VALUE, 1), 1, 31));
      d.month = UInt16(Clamp(r.values.GetInt32(SEARCHVALUE_MONTH, 1), 1, 12));
      d.year = UInt16(Clamp(r.values.GetInt32(SEARCHVALUE_YEAR, 2005), 1904, 2100));
      if (r.kind == SEARCHROW_MODIFIED)
        f = new (std::nothrow) CompareFileModTime(d, mode);
      else
        f = new (std::nothrow) CompareFileCreateTime(d, mode);
    } else if (r.kind == SEARCHROW_SIZE) {
      const Int32 kb = r.values.GetInt32(SEARCHVALUE_VALUE, 1);
      if (kb < 0 || kb > SEARCH_MAX_SIZE_KB)
        return fail("size out of range", i);
      f = new (std::nothrow) CompareFileSize(Int64(kb), mode);
    } else {
      return fail("unknown kind", i);
    }
    if (!f || !list->Add(f))
      return fail("out of memory", i);
  }
  return true;
}

String DescribeSearch(const SearchQuery& query, Bool longForm)
{
  String out;
  for (const SearchRow& r : query.rows) {
    if (r.kind < 0 || r.kind > SEARCHROW_LAST_KIND)
      continue;
    const Int32 mode = r.values.GetInt32(SEARCHVALUE_MODE, 0);
    String row;
    if (IsTextKind(r.kind)) {
      row = GeLoadString(IDS_SEARCH_TEXT_MODE + Clamp(mode, 0, 3)) + String(" '") + r.values.GetString(SEARCHVALUE_VALUE) +
            String("'");
    } else if (IsDateKind(r.kind)) {
      const Int32 day = r.values.GetInt32(SEARCHVALUE_VALUE, 1);
      const Int32 month = r.values.GetInt32(SEARCHVALUE_MONTH, 1);
      const Int32 year = r.values.GetInt32(SEARCHVALUE_YEAR, 2005);
      row = GeLoadString(IDS_SEARCH_IS) + String(" ") + GeLoadString(IDS_SEARCH_DATE_MODE + Clamp(mode, 0, 2)) +
            String(" ") + String::FromInt(year) + String("-") + Two(month) + String("-") + Two(day);
    } else if (r.kind == SEARCHROW_SIZE) {
      row = GeLoadString(IDS_SEARCH_IS) + String(" ") + GeLoadString(IDS_SEARCH_SIZE_MODE + Clamp(mode, 0, 1)) +
            String(" ") + String::FromInt(r.values.GetInt32(SEARCHVALUE_VALUE, 1)) + String(" ") +
            GeLoadString(IDS_SEARCH_SIZE_UNIT);
    } else {
      row = GeLoadString(IDS_SEARCH_KIND_TYPE) + String(" '") + r.values.GetString(SEARCHVALUE_VALUE) + String("'");
    }
    if (longForm)
      out += String("\n") + GeLoadString(KindLabel(r.kind)) + String(" ") + row;
    else
      out += String(", ") + row;
  }
  return out;
}

// --- the worker ---

SearchThread::~SearchThread() { End(true); }

void SearchThread::Set(const NodeRef& start, const NodeRef& results, const SearchFilterList* filters, Bool subFolders)
{
  start_ = start;
  results_ = results;
  filters_ = filters;
  subFolders_ = subFolders;
  hits_.store(0, std::memory_order_release);
  folders_.store(0, std::memory_order_release);
  capped_.store(false, std::memory_order_release);
}

void SearchThread::Main()
{
  SetListingBreakThread(this);
  try {
    Walk();
  } catch (const std::bad_alloc&) {
    // Out of memory: the search ends with what it found.
    GePrint(String("CB: Search stopped, out of memory"));
  }
  SetListingBreakThread(nullptr);
}

namespace {

struct FolderId
{
  UInt64 device, inode;
  bool operator==(const FolderId&) const = default;
};
struct FolderIdHash
{
  std::size_t operator()(const FolderId& f) const noexcept { return std::size_t(f.device * 0x9E3779B97F4A7C15ull ^ f.inode); }
};

// One folder being walked. A folder that was read by names holds the sub-folders still to enter
// (its entries were tested as they were read); any other walks its children in the tree.
struct Frame
{
  NodeRef next;
  std::vector<DirectoryNode::NamedEntry> folders;
  std::size_t at = 0;
  Bool byName = false;
  UInt64 device = 0;
  Bool onDisk = false;
};

Bool NameWanted(void* filters, const String& name)
{
  return static_cast<const SearchFilterList*>(filters)->MatchesName(name);
}

} // namespace

// Linux rules of the walk: links (on disk and in catalogs) are never entered; a folder on disk is
// entered once, by its (device, inode), and only when it lies on the device of the folder it was
// listed in, as find -xdev does: pseudo, network and other mounted file systems below the start
// are not searched (a volume of the file category is its own start).
//
// A folder on disk that is not listed yet is read by names first: only its sub-folders and the
// entries whose names pass the name rows are read in full and get nodes, as find judges names from
// the folder's entries alone. A folder that is listed already is walked through its nodes.
void SearchThread::Walk()
{
  if (TestBreak() || !start_ || !results_ || start_ == results_ || !filters_)
    return;
  std::unordered_set<FolderId, FolderIdHash> visited;
  std::vector<Frame> stack;
  // Links the hits (one catalog change for many); false once the hit cap is reached.
  auto link = [&](CatalogNode::LinkBatch& hits) {
    const Int32 room = cap_ - hits_.load(std::memory_order_relaxed);
    const Bool capped = Int64(hits.Size()) > Int64(room);
    if (capped)
      hits.Truncate(std::size_t(room > 0 ? room : 0));
    if (!hits.Empty())
      hits_.fetch_add(CatalogNode::AddLinkBatch(results_, &hits, true), std::memory_order_acq_rel);
    hits.Clear();
    if (capped) {
      capped_.store(true, std::memory_order_release);
      GePrint(String("CB: Search stopped after ") + String::FromInt(cap_) + String(" hits"));
    }
    return !capped;
  };
  CatalogNode::LinkBatch one;
  auto hit = [&](const NodeRef& node) {
    CatalogNode::LinkSource s;
    if (!CatalogNode::PrepareLink(results_, node, &s))
      return true;
    one.Prepared(std::move(s));
    return link(one);
  };
  // With name rows alone a plain file that passes them is linked by its URL: it is neither read in
  // full nor given a node until its link is first asked for its target.
  const Bool byNameAlone = filters_->JudgesByNameAlone();
  CatalogNode::LinkBatch hits;
  std::u16string names; // the names of a folder's hits
  // Enters a folder (its own status when it is known); false when the walk is to end.
  auto enter = [&](const NodeRef& folder, const FileStatus* known) {
    folders_.fetch_add(1, std::memory_order_acq_rel);
    Frame f;
    auto* d = dynamic_cast<DirectoryNode*>(folder.Get());
    if (d) {
      FileStatus st;
      if (known || GeGetFileStatus(d->GetPath(), &st)) {
        f.device = known ? known->device : st.device;
        f.onDisk = true;
        visited.insert(FolderId{f.device, known ? known->inode : st.inode});
      }
    }
    if (subFolders_ && d && f.onDisk && d->NeedsListing()) {
      std::vector<DirectoryNode::NamedEntry> entries;
      names.clear();
      const DirectoryNode::NamePass pass =
          d->PassByName(NameWanted, const_cast<SearchFilterList*>(filters_), &entries, !byNameAlone, &names);
      if (pass == DirectoryNode::NamePass::Stopped)
        return false;
      if (pass == DirectoryNode::NamePass::Done) {
        f.byName = true;
        // A few hundred links at a time: the first ones show soon, and a stop is not held back.
        constexpr std::size_t kBatch = 256;
        Bool folderKnown = false;
        for (DirectoryNode::NamedEntry& e : entries) {
          if (TestBreak())
            return false;
          if (!e.node) {
            if (!folderKnown) {
              BrowserURL u(d->GetPath());
              String folderURL = u.GetString();
              if (folderURL.IsEmpty() || folderURL[folderURL.GetLength() - 1] != u'/')
                folderURL += u'/';
              hits.Folder(folderURL.View());
              folderKnown = true;
            }
            // The link is made from the folder's URL and the name once anyone looks at it.
            hits.Name(e.name.IsEmpty() ? std::u16string_view(names).substr(e.nameAt, e.nameLength) : e.name.View());
            if (hits.Size() >= kBatch && !link(hits))
              return false;
            continue;
          }
          if (e.wanted && filters_->MatchesBeyondName(NodeRef(e.node.Get()))) {
            CatalogNode::LinkSource s;
            if (CatalogNode::PrepareLink(results_, NodeRef(e.node.Get()), &s))
              hits.Prepared(std::move(s));
            if (hits.Size() >= kBatch && !link(hits))
              return false;
          }
          if (e.node->GetEntryKind() != EntryKind::Folder || e.device != f.device)
            continue;
          if (!visited.insert(FolderId{e.device, e.inode}).second)
            continue;
          f.folders.push_back(std::move(e));
        }
        if (!hits.Empty() && !link(hits))
          return false;
        stack.push_back(std::move(f));
        return true;
      }
      // Not read by names (a network folder, an edit in between): listed in full instead.
    }
    // Without sub-folders only the start's children are listed (GetDown lists them).
    f.next = folder->GetDownNode();
    stack.push_back(std::move(f));
    return true;
  };
  if (!enter(start_, nullptr))
    return;
  BrowserContentNode* const results = results_.Get();
  while (!stack.empty()) {
    // Every child: a huge folder must not hold a stop request back.
    if (TestBreak())
      return;
    if (stack.back().byName) {
      Frame& top = stack.back();
      if (top.at >= top.folders.size()) {
        stack.pop_back();
        continue;
      }
      DirectoryNode::NamedEntry e = std::move(top.folders[top.at++]);
      if (e.node->IsDeleted())
        continue;
      FileStatus st;
      st.device = e.device;
      st.inode = e.inode;
      if (!enter(NodeRef(e.node.Get()), &st))
        return;
      continue;
    }
    NodeRef child = std::move(stack.back().next);
    if (!child) {
      stack.pop_back();
      continue;
    }
    stack.back().next = child->GetNextNode();
    // The running results catalog is never searched into itself.
    if (child.Get() == results || child->IsDeleted())
      continue;
    if (filters_->Matches(child) && !hit(child))
      return;
    if (!subFolders_)
      continue;
    const UInt32 info = child->GetInfo(nullptr);
    if (!(info & NODEMASK_BROWSABLE) || (info & NODESTATUS_LINK))
      continue;
    FileStatus st;
    Bool known = false;
    if (auto* d = dynamic_cast<DirectoryNode*>(child.Get())) {
      if (d->IsLink())
        continue;
      if (!GeGetFileStatus(d->GetPath(), &st) || !(st.attributes & FILEATTR_FOLDER) || (st.attributes & FILEATTR_LINK))
        continue;
      const Frame& up = stack.back();
      if (up.onDisk && st.device != up.device)
        continue;
      if (visited.count(FolderId{st.device, st.inode}))
        continue;
      known = true;
    } else if (auto* c = dynamic_cast<CatalogNode*>(child.Get())) {
      if (c->IsLink())
        continue;
    }
    if (!enter(child, known ? &st : nullptr))
      return;
  }
}

// --- results ---

NodeRef MakeSearchResults(const NodeRef& searchRoot, const NodeRef& start, const SearchQuery& query)
{
  if (!searchRoot)
    return nullptr;
  const DateTime now = GeGetCurrentTime();
  // The date and time without "/" or ":", so the name is one valid URL part.
  const String when = String::FromInt(now.year) + String("-") + Two(now.month) + String("-") + Two(now.day) +
                      String(" ") + Two(now.hour) + String(".") + Two(now.minute) + String(".") + Two(now.second);
  const String name = MakeValidName(when + DescribeSearch(query, false));
  std::unordered_set<std::u16string> taken;
  for (NodeRef c = BrowserContentNode::FromTree(searchRoot->GetFirstChild()); c; c = c->GetNextNode()) {
    BrowserURL u;
    if (c->GetURL(&u, 0))
      taken.insert(std::u16string(LastURLPart(u.GetString()).ToUpper().View()));
  }
  String part = name;
  for (Int32 n = 1; taken.count(std::u16string(part.ToUpper().View())); ++n)
    part = name + String(".") + String::FromInt(n);
  // The main database is the catalog's library, so its record goes with it when it is deleted.
  BrowserDatabase* main = BrowserDatabase::FirstLibrary();
  Ref<CatalogNode> results = CatalogNode::Make(searchRoot, name, part, nullptr, main, CATALOGMAKE_FOLDER | CATALOGMAKE_ROOT);
  if (!results)
    return nullptr;
  if (main) {
    const String own = results->GetURLText();
    if (BrowserDatabaseItem* item = main->OpenOrCreateItem(own, true)) {
      String where;
      BrowserURL u;
      if (start && start->GetURL(&u, 0))
        where = u.GetString();
      item->SetName(name);
      item->SetAnnotation(GeLoadString(IDS_SEARCH_IN) + String(" ") + where + DescribeSearch(query, true));
      item->Close();
    }
  }
  NotifyNodeChanged(searchRoot);
  return results;
}

// --- sessions ---

SearchSession::~SearchSession() { Stop(); }

Bool SearchSession::Start(const NodeRef& searchRoot, const NodeRef& start, const SearchQuery& query, String* error)
{
  if (thread_.IsRunning()) {
    if (error)
      *error = String("a search is running");
    return false;
  }
  if (!start) {
    if (error)
      *error = String("no start");
    return false;
  }
  if (!BuildSearchFilters(query, &filters_, error))
    return false;
  results_ = MakeSearchResults(searchRoot, start, query);
  if (!results_) {
    if (error)
      *error = String("the results catalog cannot be made");
    return false;
  }
  thread_.Set(start, results_, &filters_, query.subFolders);
  if (!thread_.Start(true)) {
    GePrint(String("CB: The search thread cannot be started (" __FILE__ ", line ") + String::FromInt(__LINE__) +
            String(")"));
    return true;
  }
  return true;
}

Bool SearchSession::Poll()
{
  const Bool running = thread_.IsRunning();
  DeliverCatalogChanges();
  return running;
}

void SearchSession::Stop()
{
  thread_.End(true);
  DeliverCatalogChanges();
}

// --- the requests of the "search:/" category ---

namespace {

Int32 SearchMessage(CategoryNode* node, Int32 id, Int32 kind, Int32 op, void* data)
{
  if (id != BROWSERSEARCH_ID || kind != BROWSERSEARCH_KIND || !node || !data)
    return MESSAGE_NOT_HANDLED;
  if (!node->GetURLText().IsEqualIgnoreCase(String("search:/")))
    return MESSAGE_NOT_HANDLED;
  auto* r = static_cast<OrxSearchRequest*>(data);
  if (r->size != Int32(sizeof(OrxSearchRequest)))
    return EDIT_WRONG_KIND;
  auto* session = static_cast<SearchSession*>(r->session);
  switch (op) {
  case BROWSERSEARCH_START: {
    if (session || !r->rows || !r->start)
      return EDIT_WRONG_KIND;
    SearchQuery query;
    if (!ReadSearchRows(*r->rows, &query) || query.rows.size() != std::size_t(r->rows->GetInt32(SEARCHSTORE_COUNT))) {
      r->error = String("the criteria cannot be read");
      return EDIT_WRONG_KIND;
    }
    auto* s = new (std::nothrow) SearchSession;
    if (!s)
      return EDIT_COPY_FAILED;
    NodeRef start(reinterpret_cast<BrowserContentNode*>(r->start));
    if (!s->Start(NodeRef(node), start, query, &r->error)) {
      delete s;
      return EDIT_COPY_REFUSED;
    }
    r->session = s;
    r->results = reinterpret_cast<OrxBrowserNode*>(s->Results().Get());
    return EDIT_OK;
  }
  case BROWSERSEARCH_POLL:
  case BROWSERSEARCH_STOP:
  case BROWSERSEARCH_FREE:
    if (!session)
      return EDIT_WRONG_KIND;
    if (op == BROWSERSEARCH_STOP || op == BROWSERSEARCH_FREE)
      session->Stop();
    r->running = session->Poll() ? 1 : 0;
    r->hits = session->Thread().Hits();
    r->capped = session->Thread().Capped() ? 1 : 0;
    r->folders = session->Thread().Folders();
    if (op == BROWSERSEARCH_FREE) {
      delete session;
      r->session = nullptr;
      r->results = nullptr;
    }
    return EDIT_OK;
  default:
    return MESSAGE_NOT_HANDLED;
  }
}

} // namespace

void InstallSearch() { SetCategoryMessageHook(SearchMessage); }

void ReleaseSearch()
{
  SetCategoryMessageHook(nullptr);
  DropSearchRecords();
}

void DropSearchRecords()
{
  BrowserDatabase* main = BrowserDatabase::FirstLibrary();
  if (!main || main->GetSlot() != 0)
    return;
  const String root("search:/");
  const Int32 n = root.GetLength();
  std::vector<BrowserDatabase::ItemInfo> items;
  main->ListItems(&items);
  for (const BrowserDatabase::ItemInfo& i : items) {
    const String& p = i.path;
    if (i.id < 1 || p.GetLength() < n || !p.SubStr(0, n).IsEqualIgnoreCase(root))
      continue;
    if (p.GetLength() == n || p[n] == u'/')
      main->DeleteItem(p);
  }
}
