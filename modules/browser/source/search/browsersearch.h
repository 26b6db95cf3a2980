// Search: the filters (CompareObject and its kinds), the list of criteria rows and their stored
// form, the worker that walks the tree (SearchThread), and the results catalogs below "search:/".
#pragma once

#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "contenttree/rtreenode.h"
#include "orx/container.h"
#include "orx/memory.h"
#include "orx/string.h"
#include "orx/threads.h"

// Row kinds.
constexpr Int32 SEARCHROW_NAME = 0;
constexpr Int32 SEARCHROW_MODIFIED = 1;
constexpr Int32 SEARCHROW_CREATED = 2;
constexpr Int32 SEARCHROW_SIZE = 3;
constexpr Int32 SEARCHROW_TYPE = 4;
constexpr Int32 SEARCHROW_KEYWORDS = 5;
constexpr Int32 SEARCHROW_ANNOTATION = 6;
constexpr Int32 SEARCHROW_LAST_KIND = SEARCHROW_ANNOTATION;

// Modes: text rows.
constexpr Int32 SEARCHTEXT_CONTAINS = 0;
constexpr Int32 SEARCHTEXT_BEGINS = 1;
constexpr Int32 SEARCHTEXT_ENDS = 2;
constexpr Int32 SEARCHTEXT_EQUALS = 3;
// Date rows.
constexpr Int32 SEARCHDATE_AFTER = 0;
constexpr Int32 SEARCHDATE_BEFORE = 1;
constexpr Int32 SEARCHDATE_SAME_DAY = 2;
// Size rows.
constexpr Int32 SEARCHSIZE_ATLEAST = 0;
constexpr Int32 SEARCHSIZE_ATMOST = 1;

// Entries of a row's value container.
constexpr Int32 SEARCHVALUE_MODE = 0;
constexpr Int32 SEARCHVALUE_VALUE = 1; // text, type name, day, or size in kilobytes
constexpr Int32 SEARCHVALUE_MONTH = 2;
constexpr Int32 SEARCHVALUE_YEAR = 3;

constexpr Int32 SEARCH_MAX_ROWS = 20;
// A search ends with a console line once it has found this many nodes.
constexpr Int32 SEARCH_MAX_HITS = 100000;
constexpr Int32 SEARCH_MAX_SIZE_KB = 9999999;

// The stored form of the rows (the preferences and orxhost search use it alike): id 0 the row
// count, id 1 one sub-container per row under its index (the sub-container's own id is the row's
// kind, its entry 0 the row's value container), id 2 the sub-folder switch.
constexpr Int32 SEARCHSTORE_COUNT = 0;
constexpr Int32 SEARCHSTORE_ROWS = 1;
constexpr Int32 SEARCHSTORE_SUBFOLDERS = 2;
// The rows are kept in the browser preferences (container 1019747) under this id: the ids below it
// are the browser's own settings (32 is the unsorted-results switch).
constexpr Int32 BROWSER_PREF_SEARCH_ROWS = 1000;

// Resource strings of the query description.
constexpr Int32 IDS_SEARCH_KIND_NAME = 10382;
constexpr Int32 IDS_SEARCH_KIND_KEYWORDS = 10383;
constexpr Int32 IDS_SEARCH_KIND_ANNOTATION = 10384;
constexpr Int32 IDS_SEARCH_KIND_SIZE = 10385;
constexpr Int32 IDS_SEARCH_KIND_MODIFIED = 10386;
constexpr Int32 IDS_SEARCH_KIND_CREATED = 10387;
constexpr Int32 IDS_SEARCH_KIND_TYPE = 10388;
constexpr Int32 IDS_SEARCH_TEXT_MODE = 10392;  // to 10395
constexpr Int32 IDS_SEARCH_DATE_MODE = 10396;  // to 10398
constexpr Int32 IDS_SEARCH_SIZE_MODE = 10399;  // and 10400
constexpr Int32 IDS_SEARCH_SIZE_UNIT = 10406;
constexpr Int32 IDS_SEARCH_IN = 10415;
constexpr Int32 IDS_SEARCH_IS = 10418;

// A filter; the list owns it.
class CompareObject
{
public:
  ORX_HOST_ALLOCATED
  static void* operator new(std::size_t n, const std::nothrow_t&) noexcept
  {
    return OrxMemAlloc(Int64(n), __LINE__, __FILE__, false);
  }
  static void operator delete(void* p, const std::nothrow_t&) noexcept { OrxMemFree(p); }
  virtual ~CompareObject() = default;
  // Takes the reference and releases it before it answers.
  virtual Bool Matches(NodeRef node) = 0;
  // What the test costs, as a rank: the list tries the cheapest first. 0 the name alone, 1 the
  // node's own fields, 2 its handler (which may read the file), 3 a library record.
  virtual Int32 Cost() const { return 1; }
  // True for a filter that judges by the name alone: it answers MatchesName for an entry on disk
  // before the entry is read in full and given a node.
  virtual Bool JudgesName() const { return false; }
  virtual Bool MatchesName(const String& name) const
  {
    (void)name;
    return true;
  }
};

// The text test of name, keyword and annotation rows; both texts went through the case conversion.
Bool SearchTextMatches(const String& subjectUpper, const String& patternUpper, Int32 mode);

class CompareName : public CompareObject
{
public:
  CompareName(const String& pattern, Int32 mode) : pattern_(pattern.ToUpper()), mode_(mode) {}
  Bool Matches(NodeRef node) override;
  Int32 Cost() const override { return 0; }
  Bool JudgesName() const override { return true; }
  Bool MatchesName(const String& name) const override;

private:
  String pattern_;
  Int32 mode_;
};

class CompareFileTime : public CompareObject
{
public:
  CompareFileTime(Int32 which, const DateTime& date, Int32 mode) : which_(which), date_(date), mode_(mode) {}
  Bool Matches(NodeRef node) override;

private:
  Int32 which_;
  DateTime date_;
  Int32 mode_;
};

class CompareFileModTime : public CompareFileTime
{
public:
  CompareFileModTime(const DateTime& date, Int32 mode) : CompareFileTime(FILETIME_MODIFIED, date, mode) {}
};

class CompareFileCreateTime : public CompareFileTime
{
public:
  CompareFileCreateTime(const DateTime& date, Int32 mode) : CompareFileTime(FILETIME_CREATED, date, mode) {}
};

class CompareFileSize : public CompareObject
{
public:
  // kilobytes: the row's value; the limit is kept in bytes, in 64 bits.
  CompareFileSize(Int64 kilobytes, Int32 mode) : limit_(kilobytes * 1024), mode_(mode) {}
  Bool Matches(NodeRef node) override;
  Int64 Limit() const { return limit_; }

private:
  Int64 limit_;
  Int32 mode_;
};

class CompareFileType : public CompareObject
{
public:
  explicit CompareFileType(const String& typeName) : type_(typeName) {}
  Bool Matches(NodeRef node) override;
  Int32 Cost() const override { return 2; }

private:
  String type_;
};

// Keywords live in the item's string list (record id 2): each string entry is one keyword.
class CompareQuery : public CompareObject
{
public:
  CompareQuery(const String& pattern, Int32 mode) : pattern_(pattern.ToUpper()), mode_(mode) {}
  Bool Matches(NodeRef node) override;
  Int32 Cost() const override { return 3; }

private:
  String pattern_;
  Int32 mode_;
};

class CompareAnnotation : public CompareObject
{
public:
  CompareAnnotation(const String& pattern, Int32 mode) : pattern_(pattern.ToUpper()), mode_(mode) {}
  Bool Matches(NodeRef node) override;
  Int32 Cost() const override { return 3; }

private:
  String pattern_;
  Int32 mode_;
};

// Up to 20 filters, all of which must hold; they are tried cheapest first (in the order added
// among equals). Owns its filters.
class SearchFilterList
{
public:
  SearchFilterList() = default;
  ~SearchFilterList() { Clear(); }
  SearchFilterList(const SearchFilterList&) = delete;
  SearchFilterList& operator=(const SearchFilterList&) = delete;

  // Takes the filter over; false (and the filter destroyed) when 20 are there already.
  Bool Add(CompareObject* filter);
  void Clear();
  Int32 GetCount() const { return count_; }
  Bool Matches(const NodeRef& node) const;
  // The filters that judge by the name alone, for an entry that has no node yet (true without any).
  Bool MatchesName(const String& name) const;
  // The other filters, for a node whose name passed MatchesName.
  Bool MatchesBeyondName(const NodeRef& node) const;
  // True when every filter judges by the name alone: a hit needs no node to be judged.
  Bool JudgesByNameAlone() const;

private:
  CompareObject* filters_[SEARCH_MAX_ROWS] = {};
  Int32 count_ = 0;
};

// One criteria row: its kind and its value container.
struct SearchRow
{
  Int32 kind = SEARCHROW_NAME;
  BaseContainer values;
};

struct SearchQuery
{
  std::vector<SearchRow> rows;
  Bool subFolders = false;
};

// Adds a row; false when 20 rows exist.
Bool AddSearchRow(SearchQuery* query, Int32 kind, const BaseContainer& values);
// The stored form of the rows.
BaseContainer StoreSearchRows(const SearchQuery& query);
// Reads the stored form back (outside input): the count is clamped to 1..20, rows of an unknown
// kind, with a mode out of range or with a value of the wrong type are left out, dates and sizes
// are clamped to their fields' ranges. False when no usable row is left.
Bool ReadSearchRows(const BaseContainer& stored, SearchQuery* out);
// The rows in the browser preferences: false when none are stored or none is usable.
Bool LoadSearchPrefs(SearchQuery* out);
void SaveSearchPrefs(const SearchQuery& query);

// Builds one filter per row into list (cleared first). False, with a reason in error, for a row
// that would match everything (an empty pattern or type name) or that cannot be built.
Bool BuildSearchFilters(const SearchQuery& query, SearchFilterList* list, String* error);

// The query in words: short (", " before each row) or long (a line per row with its kind's label).
String DescribeSearch(const SearchQuery& query, Bool longForm);

// The worker: walks the start node's children (the whole subtree with sub-folders), tests each
// node and adds each match as a link to the results catalog.
class SearchThread : public OrxThread
{
public:
  SearchThread() = default;
  ~SearchThread() override;
  // Only while the thread does not run. filters stays the caller's and must outlive the run.
  void Set(const NodeRef& start, const NodeRef& results, const SearchFilterList* filters, Bool subFolders);
  void Main() override;
  const char* GetThreadName() override { return "Content Browser: SearchThread"; }
  Int32 Hits() const { return hits_.load(std::memory_order_acquire); }
  Bool Capped() const { return capped_.load(std::memory_order_acquire); }
  // Folders entered so far.
  Int64 Folders() const { return folders_.load(std::memory_order_acquire); }
  // Tests only: the hit cap (SEARCH_MAX_HITS by default).
  void SetHitCap(Int32 cap) { cap_ = cap; }

private:
  void Walk();
  NodeRef start_;
  NodeRef results_;
  const SearchFilterList* filters_ = nullptr;
  Bool subFolders_ = false;
  Int32 cap_ = SEARCH_MAX_HITS;
  std::atomic<Int32> hits_{0};
  std::atomic<Int64> folders_{0};
  std::atomic<Bool> capped_{false};
};

// Makes the results catalog of a search of start below searchRoot (the "search:/" category): named
// by the date and time and the query, a valid URL part that no other child has. Its record in the
// main database carries the long description and goes when the catalog is deleted.
NodeRef MakeSearchResults(const NodeRef& searchRoot, const NodeRef& start, const SearchQuery& query);

// A running search as a caller of the module sees it: the filters, the thread and the results.
class SearchSession
{
public:
  ORX_HOST_ALLOCATED
  static void* operator new(std::size_t n, const std::nothrow_t&) noexcept
  {
    return OrxMemAlloc(Int64(n), __LINE__, __FILE__, false);
  }
  static void operator delete(void* p, const std::nothrow_t&) noexcept { OrxMemFree(p); }
  SearchSession() = default;
  ~SearchSession();
  SearchSession(const SearchSession&) = delete;
  SearchSession& operator=(const SearchSession&) = delete;
  // Builds the filters, makes the results catalog and starts the thread. False with a reason.
  Bool Start(const NodeRef& searchRoot, const NodeRef& start, const SearchQuery& query, String* error);
  // Main thread: passes the queued changes on to the views; true while the thread runs.
  Bool Poll();
  // Asks the thread to end and waits for it.
  void Stop();
  NodeRef Results() const { return results_; }
  const SearchThread& Thread() const { return thread_; }

private:
  SearchFilterList filters_;
  SearchThread thread_;
  NodeRef results_;
};

// Installs the search requests on the "search:/" category (orxhost search reaches the search
// through them); Release forgets them.
void InstallSearch();
void ReleaseSearch();
// Results catalogs live for one session: the records at and below "search:/" leave the main
// database when the session ends (before the libraries are saved at the end of the program, and in
// ReleaseSearch) and, for a session that did not end as it should, when the next one has opened the
// main database.
void DropSearchRecords();
