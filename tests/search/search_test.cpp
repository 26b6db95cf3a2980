// The search: filters and their edge cases, the rows and their stored form, the walk of the search
// thread over real folders, and the results catalogs below "search:/".
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "contenttest.h"
#include "contenttree/sortby.h"
#include "nodes/directorynode.h"
#include "orx/browserlib.h"
#include "orx/browsersearch.h"
#include "presets/browserdatabaseitem.h"
#include "presets/catalognode.h"
#include "search/browsersearch.h"

using namespace contenttest;
namespace fs = std::filesystem;

namespace {

std::string FileURL(const Filename& f) { return BrowserURL(f).GetString().ToUtf8(); }

// A node whose answers the test sets.
class FakeNode : public BrowserContentNode
{
public:
  explicit FakeNode(std::string url) : url_(url.c_str()) {}
  Int32 GetNodeType() override { return NODETYPE_CATALOG; }
  String GetName() override { return url_; }
  const String* GetNameRef() override { return &url_; }
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    if (!urlOk)
      return false;
    out->SetString(url_);
    return true;
  }
  Bool GetFileTime(Int32 which, DateTime* out) override
  {
    *out = which == FILETIME_CREATED ? created : modified;
    return hasTime;
  }
  UInt32 GetInfo(Int64* size) override
  {
    if (size)
      *size = this->size;
    return info;
  }
  String* GetTypeName(String* out, Int32) override
  {
    *out = type;
    return out;
  }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }

  Bool urlOk = true;
  Bool hasTime = true;
  DateTime created, modified;
  Int64 size = 0;
  UInt32 info = 0;
  String type;

private:
  String url_;
};

Ref<FakeNode> Fake(const std::string& url) { return MakeRef<FakeNode>(url); }

BaseContainer TextValues(Int32 mode, const std::string& text)
{
  BaseContainer v;
  v.SetInt32(SEARCHVALUE_MODE, mode);
  v.SetString(SEARCHVALUE_VALUE, String(text.c_str()));
  return v;
}
BaseContainer NumberValues(Int32 mode, Int32 value, Int32 month = 1, Int32 year = 2005)
{
  BaseContainer v;
  v.SetInt32(SEARCHVALUE_MODE, mode);
  v.SetInt32(SEARCHVALUE_VALUE, value);
  v.SetInt32(SEARCHVALUE_MONTH, month);
  v.SetInt32(SEARCHVALUE_YEAR, year);
  return v;
}

SearchQuery NameQuery(Int32 mode, const std::string& text, Bool sub = true)
{
  SearchQuery q;
  AddSearchRow(&q, SEARCHROW_NAME, TextValues(mode, text));
  q.subFolders = sub;
  return q;
}

std::set<std::string> TargetsOf(const NodeRef& results)
{
  std::set<std::string> out;
  for (NodeRef c = BrowserContentNode::FromTree(results->GetFirstChild()); c; c = c->GetNextNode()) {
    BrowserURL u;
    if (c->GetURL(&u, URLREQUEST_TARGET))
      out.insert(u.GetString().ToUtf8());
  }
  return out;
}

class Search : public ContentTest
{
protected:
  void SetUp() override
  {
    files_ = orxtest::HomeDir() + String("volumes") + String("search");
    std::error_code ec;
    fs::remove_all(files_.ToUtf8(), ec);
    fs::create_directories(files_.ToUtf8(), ec);
    GeGetPrefs(); // made on first use: not the test's block
    ContentTest::SetUp();
    Start();
  }
  void TearDown() override
  {
    for (NodeRef& n : made_)
      n->Remove();
    made_.clear();
    ContentTest::TearDown();
    std::error_code ec;
    fs::remove_all(files_.ToUtf8(), ec);
  }
  Filename Path(const std::string& rel) { return files_ + String(rel.c_str()); }
  void File(const std::string& rel, std::size_t bytes = 4)
  {
    fs::create_directories(Path(rel).GetDirectory().ToUtf8());
    ASSERT_TRUE(orxtest::WriteFile(Path(rel), std::string(bytes, 'x')));
  }
  NodeRef Node(const std::string& rel = "") { return Find(FileURL(rel.empty() ? files_ : Path(rel))); }
  NodeRef SearchRoot() { return GetRootNode(ROOT_SEARCH); }
  // Runs a search to its end on this thread; answers the results catalog.
  NodeRef Run(const NodeRef& start, const SearchQuery& q, SearchThread* thread = nullptr)
  {
    SearchFilterList filters;
    String error;
    EXPECT_TRUE(BuildSearchFilters(q, &filters, &error)) << error.ToUtf8();
    NodeRef results = MakeSearchResults(SearchRoot(), start, q);
    EXPECT_TRUE(results);
    SearchThread own;
    SearchThread* t = thread ? thread : &own;
    t->Set(start, results, &filters, q.subFolders);
    // In a thread, so that a walk that runs away (a loop of links) is stopped instead of filling
    // the memory.
    if (!t->Start(true))
      return results;
    while (t->IsRunning()) {
      if (t->Folders() > kMaxFolders) {
        t->End(true);
        ADD_FAILURE() << "the walk entered more than " << kMaxFolders << " folders";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    t->Wait();
    DeliverCatalogChanges();
    return results;
  }
  static constexpr Int64 kMaxFolders = 20000;
  Filename files_;
  std::vector<NodeRef> made_;
};

// --- filters ---

TEST(SearchFilters, TextModesAndTheirEdges)
{
  const String s("README.TXT");
  EXPECT_TRUE(SearchTextMatches(s, String("ME.T"), SEARCHTEXT_CONTAINS));
  EXPECT_FALSE(SearchTextMatches(s, String("XX"), SEARCHTEXT_CONTAINS));
  EXPECT_TRUE(SearchTextMatches(s, String("READ"), SEARCHTEXT_BEGINS));
  EXPECT_FALSE(SearchTextMatches(s, String("EAD"), SEARCHTEXT_BEGINS));
  EXPECT_TRUE(SearchTextMatches(s, String(".TXT"), SEARCHTEXT_ENDS));
  EXPECT_FALSE(SearchTextMatches(s, String("README"), SEARCHTEXT_ENDS));
  EXPECT_FALSE(SearchTextMatches(String("TXT"), String("A.TXT"), SEARCHTEXT_ENDS)) << "longer pattern";
  EXPECT_FALSE(SearchTextMatches(String("AB"), String("XAB"), SEARCHTEXT_ENDS)) << "longer pattern";
  EXPECT_TRUE(SearchTextMatches(String("ABAB"), String("AB"), SEARCHTEXT_ENDS)) << "a later occurrence counts";
  EXPECT_TRUE(SearchTextMatches(s, String("README.TXT"), SEARCHTEXT_EQUALS));
  EXPECT_FALSE(SearchTextMatches(s, String("README"), SEARCHTEXT_EQUALS));
  EXPECT_FALSE(SearchTextMatches(s, String("R"), 4)) << "an unknown mode never matches";
  EXPECT_FALSE(SearchTextMatches(s, String("R"), -1));
}

TEST(SearchFilters, TheNameIsTheLastURLPartInAnyLetterCase)
{
  CompareName contains(String("abc"), SEARCHTEXT_CONTAINS);
  EXPECT_FALSE(contains.Matches(Fake("file:///abc/def.txt"))) << "only the text after the last /";
  EXPECT_TRUE(contains.Matches(Fake("file:///x/xAbCx.txt")));
  CompareName equals(String("Plain"), SEARCHTEXT_EQUALS);
  EXPECT_TRUE(equals.Matches(Fake("plain"))) << "a URL without / is its own subject";
  auto broken = Fake("file:///x/abc");
  broken->urlOk = false;
  EXPECT_FALSE(contains.Matches(broken)) << "no URL, no match";
}

// An entry read by names is judged by its name alone, by a fold of plain ASCII while comparing:
// the answers are those of the converted text in every mode.
TEST(SearchFilters, TheNameAloneGivesWhatTheNodeGives)
{
  const std::vector<std::string> names = {"readme.txt", "README.TXT", "ReadMe", "a", "", "ab", "abab", "x-pat.TXT",
                                          "\xC3\xA9t\xC3\xA9.txt", "\xC3\x89T\xC3\x89", "[{@`~", "txt.TXT"};
  const std::vector<std::string> patterns = {"readme", "ME.t", "txt", "ab", "a", "pat", "\xC3\xA9t", "\xC3\x89T\xC3\x89",
                                             "[{@`~", "@", "`", "{"};
  for (Int32 mode = 0; mode < 4; ++mode)
    for (const std::string& p : patterns) {
      CompareName f(String(p.c_str()), mode);
      for (const std::string& n : names) {
        const String name = String(n.c_str());
        EXPECT_EQ(f.MatchesName(name), SearchTextMatches(name.ToUpper(), String(p.c_str()).ToUpper(), mode))
            << "mode " << mode << ", pattern " << p << ", name " << n;
      }
    }
  CompareName pat(String("PAT"), SEARCHTEXT_CONTAINS);
  EXPECT_TRUE(pat.MatchesName(String("x-pat.txt")));
  EXPECT_FALSE(pat.MatchesName(String("x-pa")));
  SearchFilterList list;
  list.Add(new CompareFileSize(1, SEARCHSIZE_ATLEAST));
  list.Add(new CompareName(String("pat"), SEARCHTEXT_CONTAINS));
  EXPECT_TRUE(list.MatchesName(String("Pattern"))) << "only name rows judge a name";
  EXPECT_FALSE(list.MatchesName(String("other")));
}

TEST(SearchFilters, SizesAreKilobytesIn64Bits)
{
  auto file = [](Int64 size) {
    auto n = Fake("f");
    n->size = size;
    return n;
  };
  CompareFileSize least(1, SEARCHSIZE_ATLEAST);
  EXPECT_FALSE(least.Matches(file(1023)));
  EXPECT_TRUE(least.Matches(file(1024)));
  EXPECT_TRUE(least.Matches(file(1025)));
  auto folder = Fake("d");
  folder->info = NODESTATUS_FOLDER;
  folder->size = 5000; // whatever a kind keeps there, a folder has no size of its own
  EXPECT_FALSE(least.Matches(folder)) << "folders only with at-most";
  EXPECT_TRUE(CompareFileSize(1, SEARCHSIZE_ATMOST).Matches(folder));
  EXPECT_FALSE(CompareFileSize(1, 2).Matches(file(5000))) << "unknown mode";
  // Above 2 097 151 KB a 32-bit limit turns negative and every file passes at-least.
  CompareFileSize big(2097152, SEARCHSIZE_ATLEAST);
  EXPECT_EQ(big.Limit(), Int64(2097152) * 1024);
  EXPECT_FALSE(big.Matches(file(4096)));
  EXPECT_TRUE(big.Matches(file(Int64(3) << 30)));
  EXPECT_TRUE(CompareFileSize(SEARCH_MAX_SIZE_KB, SEARCHSIZE_ATMOST).Matches(file(Int64(9) << 30)));
}

TEST(SearchFilters, DatesNeedADateAndSameDayIgnoresTheTime)
{
  const DateTime day{2020, 6, 15, 0, 0, 0};
  auto at = [](DateTime t) {
    auto n = Fake("f");
    n->modified = t;
    n->created = t;
    return n;
  };
  EXPECT_TRUE(CompareFileModTime(day, SEARCHDATE_BEFORE).Matches(at({2020, 6, 14, 23, 59, 59})));
  EXPECT_FALSE(CompareFileModTime(day, SEARCHDATE_BEFORE).Matches(at({2020, 6, 15, 0, 0, 1})));
  EXPECT_TRUE(CompareFileModTime(day, SEARCHDATE_AFTER).Matches(at({2021, 1, 1, 0, 0, 0})));
  EXPECT_FALSE(CompareFileModTime(day, SEARCHDATE_AFTER).Matches(at({2019, 12, 31, 23, 0, 0})));
  EXPECT_TRUE(CompareFileCreateTime(day, SEARCHDATE_SAME_DAY).Matches(at({2020, 6, 15, 13, 45, 10})))
      << "a file of that day, stamped in the afternoon";
  EXPECT_FALSE(CompareFileCreateTime(day, SEARCHDATE_SAME_DAY).Matches(at({2020, 6, 16, 0, 0, 0})));
  EXPECT_FALSE(CompareFileCreateTime(day, 3).Matches(at(day)));
  auto none = at({});
  none->hasTime = false;
  EXPECT_FALSE(CompareFileModTime(day, SEARCHDATE_BEFORE).Matches(none)) << "a node without a date";
  auto zero = at({});
  EXPECT_FALSE(CompareFileModTime(day, SEARCHDATE_BEFORE).Matches(zero)) << "an all-zero date is none";
  // The created row asks for the creation date.
  auto both = Fake("f");
  both->created = {2001, 1, 1, 0, 0, 0};
  both->modified = {2030, 1, 1, 0, 0, 0};
  EXPECT_TRUE(CompareFileCreateTime(day, SEARCHDATE_BEFORE).Matches(both));
  EXPECT_FALSE(CompareFileModTime(day, SEARCHDATE_BEFORE).Matches(both));
}

TEST(SearchFilters, TypeNamesAreFoundCaseSensitively)
{
  auto n = Fake("f");
  n->type = String("JPEG Image");
  EXPECT_TRUE(CompareFileType(String("JPEG")).Matches(n));
  EXPECT_FALSE(CompareFileType(String("jpeg")).Matches(n));
  EXPECT_FALSE(CompareFileType(String()).Matches(n)) << "an empty type name would match everything";
}

// A filter that counts its calls and answers as told.
class CountingFilter : public CompareObject
{
public:
  CountingFilter(std::atomic<int>* calls, Bool answer) : calls_(calls), answer_(answer) {}
  Bool Matches(NodeRef) override
  {
    ++*calls_;
    return answer_;
  }

private:
  std::atomic<int>* calls_;
  Bool answer_;
};

TEST(SearchFilters, TheListHoldsTwentyAllOfWhichMustHold)
{
  SearchFilterList list;
  auto n = Fake("f");
  EXPECT_TRUE(list.Matches(n)) << "an empty list passes every node";
  std::atomic<int> calls{0};
  for (int i = 0; i < SEARCH_MAX_ROWS; ++i)
    ASSERT_TRUE(list.Add(new CountingFilter(&calls, true)));
  EXPECT_FALSE(list.Add(new CountingFilter(&calls, true))) << "a 21st filter is refused";
  EXPECT_EQ(list.GetCount(), SEARCH_MAX_ROWS);
  EXPECT_TRUE(list.Matches(n));
  EXPECT_EQ(calls.load(), 20);
  list.Clear();
  EXPECT_EQ(list.GetCount(), 0);
  calls = 0;
  list.Add(new CountingFilter(&calls, true));
  list.Add(new CountingFilter(&calls, false));
  list.Add(new CountingFilter(&calls, true));
  EXPECT_FALSE(list.Matches(n));
  EXPECT_EQ(calls.load(), 2) << "the first failing row ends the test";
}

// --- rows ---

TEST(SearchRows, ATwentyFirstRowIsRefusedAndEmptyPatternsAreNoFilters)
{
  SearchQuery q;
  for (int i = 0; i < SEARCH_MAX_ROWS; ++i)
    ASSERT_TRUE(AddSearchRow(&q, SEARCHROW_NAME, TextValues(0, "a")));
  EXPECT_FALSE(AddSearchRow(&q, SEARCHROW_NAME, TextValues(0, "a")));
  EXPECT_EQ(q.rows.size(), 20u);
  SearchFilterList list;
  String error;
  EXPECT_TRUE(BuildSearchFilters(q, &list, &error));
  EXPECT_EQ(list.GetCount(), 20);

  for (Int32 kind : {SEARCHROW_NAME, SEARCHROW_TYPE, SEARCHROW_KEYWORDS, SEARCHROW_ANNOTATION}) {
    SearchQuery e;
    AddSearchRow(&e, SEARCHROW_SIZE, NumberValues(0, 1));
    AddSearchRow(&e, kind, TextValues(0, ""));
    EXPECT_FALSE(BuildSearchFilters(e, &list, &error)) << "kind " << kind;
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_FALSE(error.IsEmpty());
  }
  SearchQuery none;
  EXPECT_FALSE(BuildSearchFilters(none, &list, &error)) << "a search without rows";
}

TEST(SearchRows, StoredRowsReadBackAsTheyWere)
{
  SearchQuery q;
  AddSearchRow(&q, SEARCHROW_NAME, TextValues(SEARCHTEXT_ENDS, ".txt"));
  AddSearchRow(&q, SEARCHROW_MODIFIED, NumberValues(SEARCHDATE_SAME_DAY, 15, 6, 2020));
  AddSearchRow(&q, SEARCHROW_SIZE, NumberValues(SEARCHSIZE_ATMOST, 3000000));
  AddSearchRow(&q, SEARCHROW_TYPE, TextValues(0, "JPEG"));
  q.subFolders = true;
  SearchQuery back;
  ASSERT_TRUE(ReadSearchRows(StoreSearchRows(q), &back));
  ASSERT_EQ(back.rows.size(), 4u);
  EXPECT_TRUE(back.subFolders);
  EXPECT_EQ(back.rows[0].values.GetString(SEARCHVALUE_VALUE), String(".txt"));
  EXPECT_EQ(back.rows[1].values.GetInt32(SEARCHVALUE_YEAR), 2020);
  EXPECT_EQ(back.rows[2].values.GetInt32(SEARCHVALUE_VALUE), 3000000);
  EXPECT_EQ(back.rows[3].kind, SEARCHROW_TYPE);
  EXPECT_EQ(back.rows[3].values.GetString(SEARCHVALUE_VALUE), String("JPEG")) << "the type by name";
  EXPECT_EQ(DescribeSearch(back, false), DescribeSearch(q, false));
}

TEST(SearchRows, DamagedStoredRowsAreClampedOrLeftOut)
{
  auto stored = [](Int32 count, std::vector<std::pair<Int32, BaseContainer>> rows) {
    BaseContainer out;
    out.SetInt32(SEARCHSTORE_COUNT, count);
    BaseContainer list;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      BaseContainer row(rows[i].first);
      row.SetContainer(0, rows[i].second);
      list.SetContainer(Int32(i), row);
    }
    out.SetContainer(SEARCHSTORE_ROWS, list);
    return out;
  };
  SearchQuery q;
  std::vector<std::pair<Int32, BaseContainer>> many;
  for (int i = 0; i < 30; ++i)
    many.emplace_back(SEARCHROW_NAME, TextValues(0, "x"));
  EXPECT_TRUE(ReadSearchRows(stored(1000000, many), &q));
  EXPECT_EQ(q.rows.size(), 20u) << "the count is clamped to 20";
  EXPECT_TRUE(ReadSearchRows(stored(-5, many), &q));
  EXPECT_EQ(q.rows.size(), 1u) << "and to 1";
  EXPECT_TRUE(ReadSearchRows(stored(0, many), &q));
  EXPECT_EQ(q.rows.size(), 1u);

  EXPECT_FALSE(ReadSearchRows(stored(3, {{7, TextValues(0, "x")}, {-1, TextValues(0, "x")}, {1000, TextValues(0, "x")}}), &q))
      << "unknown kinds";
  EXPECT_FALSE(ReadSearchRows(stored(3, {{SEARCHROW_NAME, TextValues(4, "x")},
                                         {SEARCHROW_MODIFIED, NumberValues(3, 1)},
                                         {SEARCHROW_SIZE, NumberValues(2, 1)}}),
                              &q))
      << "modes out of range";
  BaseContainer menuIndex;
  menuIndex.SetInt32(SEARCHVALUE_MODE, 0);
  menuIndex.SetInt32(SEARCHVALUE_VALUE, 3);
  EXPECT_FALSE(ReadSearchRows(stored(1, {{SEARCHROW_TYPE, menuIndex}}), &q)) << "a type row keeping a menu index";
  EXPECT_FALSE(ReadSearchRows(stored(1, {{SEARCHROW_NAME, NumberValues(0, 5)}}), &q)) << "a number for a text";
  EXPECT_FALSE(ReadSearchRows(stored(1, {{SEARCHROW_SIZE, TextValues(0, "5")}}), &q)) << "a text for a number";
  BaseContainer noMode;
  noMode.SetString(SEARCHVALUE_VALUE, String("x"));
  EXPECT_FALSE(ReadSearchRows(stored(1, {{SEARCHROW_NAME, noMode}}), &q));

  ASSERT_TRUE(ReadSearchRows(stored(2, {{SEARCHROW_MODIFIED, NumberValues(0, 99, -4, 99999)},
                                        {SEARCHROW_SIZE, NumberValues(0, -7)}}),
                             &q));
  ASSERT_EQ(q.rows.size(), 2u);
  EXPECT_EQ(q.rows[0].values.GetInt32(SEARCHVALUE_VALUE), 31);
  EXPECT_EQ(q.rows[0].values.GetInt32(SEARCHVALUE_MONTH), 1);
  EXPECT_EQ(q.rows[0].values.GetInt32(SEARCHVALUE_YEAR), 2100);
  EXPECT_EQ(q.rows[1].values.GetInt32(SEARCHVALUE_VALUE), 1);

  // Truncated: rows missing, no row list, no value container.
  EXPECT_FALSE(ReadSearchRows(BaseContainer(), &q));
  BaseContainer noList;
  noList.SetInt32(SEARCHSTORE_COUNT, 3);
  EXPECT_FALSE(ReadSearchRows(noList, &q));
  BaseContainer emptyRow = stored(1, {{SEARCHROW_NAME, TextValues(0, "x")}});
  emptyRow.GetContainerInstance(SEARCHSTORE_ROWS)->GetContainerInstance(0)->RemoveData(0);
  EXPECT_FALSE(ReadSearchRows(emptyRow, &q));
  ASSERT_TRUE(ReadSearchRows(stored(5, {{SEARCHROW_NAME, TextValues(0, "x")}}), &q)) << "fewer rows than counted";
  EXPECT_EQ(q.rows.size(), 1u);

  // Random damage never gives a row the filters cannot take.
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::pair<Int32, BaseContainer>> rows;
    const int n = int(rng() % 25);
    for (int i = 0; i < n; ++i) {
      BaseContainer v;
      if (rng() % 4)
        v.SetInt32(SEARCHVALUE_MODE, Int32(rng() % 7) - 1);
      switch (rng() % 4) {
      case 0: v.SetString(SEARCHVALUE_VALUE, String(rng() % 3 ? "a" : "")); break;
      case 1: v.SetInt32(SEARCHVALUE_VALUE, Int32(rng())); break;
      case 2: v.SetBool(SEARCHVALUE_VALUE, true); break;
      default: break;
      }
      if (rng() % 2)
        v.SetInt32(SEARCHVALUE_MONTH, Int32(rng()));
      if (rng() % 2)
        v.SetInt32(SEARCHVALUE_YEAR, Int32(rng()));
      rows.emplace_back(Int32(rng() % 10) - 1, v);
    }
    if (!ReadSearchRows(stored(Int32(rng()), rows), &q))
      continue;
    ASSERT_GE(q.rows.size(), 1u);
    ASSERT_LE(q.rows.size(), 20u);
    SearchFilterList list;
    String error;
    for (const SearchRow& r : q.rows) {
      ASSERT_GE(r.kind, 0);
      ASSERT_LE(r.kind, SEARCHROW_LAST_KIND);
    }
    // Only an empty pattern may be refused.
    if (!BuildSearchFilters(q, &list, &error)) {
      EXPECT_NE(error.ToUtf8().find("empty"), std::string::npos) << error.ToUtf8();
    }
    DescribeSearch(q, true);
  }
}

// The preferences are the host's: not counted as the content's memory.
TEST(SearchPrefs, RowsAreKeptInTheBrowserPreferences)
{
  const Bool hadBrowser = GeGetPrefs()->GetContainerInstance(BROWSER_PREFS_ID) != nullptr;
  SearchQuery q = NameQuery(SEARCHTEXT_BEGINS, "abc");
  AddSearchRow(&q, SEARCHROW_ANNOTATION, TextValues(0, "note"));
  SaveSearchPrefs(q);
  BaseContainer* prefs = GeGetPrefs();
  ASSERT_TRUE(prefs);
  const BaseContainer* browser = prefs->GetContainerInstance(BROWSER_PREFS_ID);
  ASSERT_TRUE(browser && browser->GetContainerInstance(BROWSER_PREF_SEARCH_ROWS));
  SearchQuery back;
  ASSERT_TRUE(LoadSearchPrefs(&back));
  EXPECT_EQ(back.rows.size(), 2u);
  EXPECT_TRUE(back.subFolders);
  // Damaged in place: no usable row is no rows.
  prefs->GetContainerInstance(BROWSER_PREFS_ID)->SetInt32(BROWSER_PREF_SEARCH_ROWS, 5);
  EXPECT_FALSE(LoadSearchPrefs(&back));
  prefs->GetContainerInstance(BROWSER_PREFS_ID)->RemoveData(BROWSER_PREF_SEARCH_ROWS);
  if (!hadBrowser)
    prefs->RemoveData(BROWSER_PREFS_ID);
}

// --- the walk ---

TEST_F(Search, FindsMatchesInTheWholeSubtreeOrOnlyAmongTheChildren)
{
  File("hit1.txt");
  File("miss.dat");
  File("sub/hit2.txt");
  File("sub/deeper/hit3.TXT");
  NodeRef start = Node();
  ASSERT_TRUE(start);
  NodeRef all = Run(start, NameQuery(SEARCHTEXT_ENDS, ".txt", true));
  EXPECT_EQ(TargetsOf(all), (std::set<std::string>{FileURL(Path("hit1.txt")), FileURL(Path("sub/hit2.txt")),
                                                   FileURL(Path("sub/deeper/hit3.TXT"))}));
  for (NodeRef c = BrowserContentNode::FromTree(all->GetFirstChild()); c; c = c->GetNextNode())
    EXPECT_TRUE(c->GetInfo(nullptr) & NODESTATUS_LINK);

  // Without sub-folders only the start's children are tested and none of them is listed.
  File("two/hit1.txt");
  File("two/sub/hit2.txt");
  start = Node("two");
  ASSERT_TRUE(start);
  NodeRef top = Run(start, NameQuery(SEARCHTEXT_CONTAINS, "hit", false));
  EXPECT_EQ(TargetsOf(top), (std::set<std::string>{FileURL(Path("two/hit1.txt"))}));
  NodeRef sub = BrowserContentNode::FromTree(start->GetFirstChild());
  for (; sub && sub->GetName() != String("sub"); sub = sub->GetNextNode()) {
  }
  ASSERT_TRUE(sub);
  EXPECT_FALSE(sub->GetFirstChild()) << "a child folder was listed";
}

// A folder that is not listed yet is read by names: only its sub-folders and its hits become nodes,
// and they are the nodes a later listing keeps.
// A hit linked by its URL alone is found again by that URL, whatever its name holds.
TEST_F(Search, LinksByURLReachNamesWithAnyCharacters)
{
  const std::vector<std::string> names = {"a#b hit", "q?x=1 hit", "per%20cent hit", "dots..hit..", "grüße hit",
                                          "semi;colon:hit", "hit with  two spaces ", "HIT upper"};
  for (const std::string& n : names)
    File("odd/" + n, 7);
  NodeRef start = Node("odd");
  ASSERT_TRUE(start);
  NodeRef results = Run(start, NameQuery(SEARCHTEXT_CONTAINS, "hit"));
  ASSERT_TRUE(results);
  std::set<std::string> found;
  for (NodeRef c = BrowserContentNode::FromTree(results->GetFirstChild()); c; c = c->GetNextNode()) {
    auto* link = static_cast<CatalogNode*>(c.Get());
    Int64 size = 0;
    c->GetInfo(&size);
    NodeRef t = link->PeekTarget();
    ASSERT_TRUE(t) << link->GetTargetURLText().ToUtf8();
    EXPECT_EQ(size, 7);
    found.insert(t->GetName().ToUtf8());
  }
  EXPECT_EQ(found, std::set<std::string>(names.begin(), names.end()));
}

TEST_F(Search, DeletingResultsDoesNotLookUpTheirTargets)
{
  for (int i = 0; i < 30; ++i)
    File("many/in/hit-" + std::to_string(i) + ".txt");
  File("many/in/other");
  NodeRef start = Node("many");
  ASSERT_TRUE(start);
  NodeRef results = Run(start, NameQuery(SEARCHTEXT_CONTAINS, "hit"));
  ASSERT_TRUE(results);
  NodeRef in;
  for (NodeRef c = BrowserContentNode::FromTree(start->GetFirstChild()); c; c = c->GetNextNode())
    if (c->GetName() == String("in"))
      in = c;
  ASSERT_TRUE(in);
  Int32 items = 0;
  auto count = [](void* data, Int32, Int32 items, Int64, Int32) -> Int32 {
    *static_cast<Int32*>(data) += items;
    return 0;
  };
  ASSERT_EQ(results->Delete(1, count, &items), EDIT_OK);
  EXPECT_EQ(items, 31) << "the catalog and its links";
  ASSERT_EQ(results->Delete(2, nullptr, nullptr), EDIT_OK);
  EXPECT_FALSE(in->GetFirstChild()) << "a link's target was looked up";
}

TEST_F(Search, AFolderReadByNamesGetsNodesOnlyForFoldersAndHitsThatNeedThem)
{
  File("deep/a/hit-1.txt");
  for (int i = 0; i < 20; ++i)
    File("deep/a/miss" + std::to_string(i));
  File("deep/a/b/miss.txt");
  File("deep/a/.hit-hidden");
  File("deep/hit-2.txt", 2048);
  NodeRef start = Node("deep");
  ASSERT_TRUE(start);
  auto children = [](const NodeRef& n) {
    std::map<std::string, NodeRef> out;
    for (NodeRef c = BrowserContentNode::FromTree(n->GetFirstChild()); c; c = c->GetNextNode())
      out[c->GetName().ToUtf8()] = c;
    return out;
  };
  auto linkNamed = [](const NodeRef& results, const char* name) {
    for (NodeRef c = BrowserContentNode::FromTree(results->GetFirstChild()); c; c = c->GetNextNode())
      if (c->GetName() == String(name))
        return c;
    return NodeRef();
  };
  auto childNamed = [&](const NodeRef& n, const char* name) {
    std::map<std::string, NodeRef> c = children(n);
    return c.count(name) ? c[name] : NodeRef();
  };

  // Name rows alone: the hits are linked by their URLs, without a node or a status read.
  NodeRef results = Run(start, NameQuery(SEARCHTEXT_CONTAINS, "hit"));
  ASSERT_TRUE(results);
  NodeRef a = childNamed(start, "a");
  ASSERT_TRUE(a);
  // Their URLs are the links' own: telling them reads nothing.
  EXPECT_EQ(TargetsOf(results), (std::set<std::string>{FileURL(Path("deep/a/hit-1.txt")), FileURL(Path("deep/hit-2.txt"))}));
  std::map<std::string, NodeRef> before = children(a);
  EXPECT_EQ(before.size(), 1u) << "entries that only match got nodes before they were asked for";
  EXPECT_TRUE(before.count("b"));
  EXPECT_TRUE(a->GetStatus() & NODESTATUS_RELIST) << "a folder read by names is still to be listed";
  NodeRef link = linkNamed(results, "hit-1.txt");
  ASSERT_TRUE(link);
  auto* catalogLink = static_cast<CatalogNode*>(link.Get());
  EXPECT_TRUE(catalogLink->IsLink());
  EXPECT_FALSE(catalogLink->PeekTarget());
  EXPECT_EQ(catalogLink->GetTargetURLText().ToUtf8(), FileURL(Path("deep/a/hit-1.txt")));
  // First asked: the link leads to the tree's node, read in full.
  Int64 size = 0;
  const UInt32 info = link->GetInfo(&size);
  EXPECT_EQ(size, 4);
  EXPECT_FALSE(info & NODESTATUS_UNRESOLVED);
  NodeRef target = catalogLink->PeekTarget();
  ASSERT_TRUE(target);
  EXPECT_EQ(target, childNamed(a, "hit-1.txt")) << "the link leads to the tree's node";
  EXPECT_EQ(TargetsOf(results), (std::set<std::string>{FileURL(Path("deep/a/hit-1.txt")), FileURL(Path("deep/hit-2.txt"))}));
  // Listed in full when asked: every entry is there.
  EXPECT_EQ(children(a).size(), 22u);

  // A row beyond the name needs the node: only the hits that pass the name get one, read in full.
  SearchQuery q = NameQuery(SEARCHTEXT_CONTAINS, "hit");
  ASSERT_TRUE(AddSearchRow(&q, SEARCHROW_SIZE, NumberValues(SEARCHSIZE_ATLEAST, 1)));
  File("deep2/c/hit-3.txt", 4096);
  File("deep2/c/hit-4.txt", 10);
  for (int i = 0; i < 5; ++i)
    File("deep2/c/miss" + std::to_string(i));
  NodeRef start2 = Node("deep2");
  ASSERT_TRUE(start2);
  NodeRef sized = Run(start2, q);
  ASSERT_TRUE(sized);
  NodeRef c = childNamed(start2, "c");
  ASSERT_TRUE(c);
  std::map<std::string, NodeRef> inC = children(c);
  EXPECT_EQ(inC.size(), 2u) << "only the names that pass got nodes";
  NodeRef link3 = linkNamed(sized, "hit-3.txt");
  ASSERT_TRUE(link3);
  EXPECT_EQ(static_cast<CatalogNode*>(link3.Get())->PeekTarget(), inC["hit-3.txt"]) << "the link leads to the tree's node";
  EXPECT_FALSE(linkNamed(sized, "hit-4.txt")) << "too small";
}

TEST_F(Search, LinksToFoldersAreNeverEnteredAndNoFolderTwice)
{
  File("a/b/x-file");
  // Two links to "." make a tree that doubles at every level when links are followed.
  ASSERT_EQ(::symlink(".", Path("a/loop1").ToUtf8().c_str()), 0);
  ASSERT_EQ(::symlink(".", Path("a/loop2").ToUtf8().c_str()), 0);
  ASSERT_EQ(::symlink("/proc/self/root", Path("a/root").ToUtf8().c_str()), 0);
  ASSERT_EQ(::symlink("b", Path("a/b-link").ToUtf8().c_str()), 0);
  NodeRef results = Run(Node(), NameQuery(SEARCHTEXT_CONTAINS, "x-"));
  EXPECT_EQ(TargetsOf(results), std::set<std::string>{FileURL(Path("a/b/x-file"))});
  NodeRef links = Run(Node(), NameQuery(SEARCHTEXT_CONTAINS, "o"));
  // The links themselves are tested and found like any entry.
  EXPECT_EQ(TargetsOf(links), (std::set<std::string>{FileURL(Path("a/loop1")), FileURL(Path("a/loop2")),
                                                     FileURL(Path("a/root"))}));
}

TEST_F(Search, EmptyPatternsAreRefusedAndHitsAreCapped)
{
  for (int i = 0; i < 10; ++i)
    File("f" + std::to_string(i));
  SearchSession s;
  String error;
  EXPECT_FALSE(s.Start(SearchRoot(), Node(), NameQuery(0, ""), &error));
  EXPECT_FALSE(s.Results()) << "no results catalog for a refused search";

  SearchFilterList filters;
  ASSERT_TRUE(BuildSearchFilters(NameQuery(0, "f"), &filters, &error));
  NodeRef results = MakeSearchResults(SearchRoot(), Node(), NameQuery(0, "f"));
  SearchThread t;
  t.SetHitCap(3);
  orxhost::ClearConsole();
  t.Set(Node(), results, &filters, true);
  t.Start(false);
  EXPECT_EQ(t.Hits(), 3);
  EXPECT_TRUE(t.Capped());
  EXPECT_EQ(TargetsOf(results).size(), 3u);
  bool line = false;
  for (const std::string& l : orxhost::ConsoleLines())
    line = line || l.find("Search stopped after 3 hits") != std::string::npos;
  EXPECT_TRUE(line) << "the cap is told on the console";
}

// A filter that holds the walk at its nth call until the thread is asked to stop.
class HoldingFilter : public CompareObject
{
public:
  HoldingFilter(SearchThread* t, int at) : thread_(t), at_(at) {}
  Bool Matches(NodeRef) override
  {
    if (++calls == at_) {
      reached = true;
      while (!thread_->TestBaseBreak())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  std::atomic<int> calls{0};
  std::atomic<bool> reached{false};

private:
  SearchThread* thread_;
  int at_;
};

TEST_F(Search, AStopIsSeenAtTheNextChildOfAFolder)
{
  for (int i = 0; i < 200; ++i)
    File("f" + std::to_string(i));
  NodeRef start = Node();
  start->LoadChildren();
  NodeRef results = MakeSearchResults(SearchRoot(), start, NameQuery(0, "f"));
  SearchThread t;
  SearchFilterList filters;
  auto* hold = new HoldingFilter(&t, 5);
  filters.Add(hold);
  t.Set(start, results, &filters, true);
  ASSERT_TRUE(t.Start(true));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!hold->reached && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(hold->reached);
  const auto asked = std::chrono::steady_clock::now();
  t.End(true);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
  EXPECT_EQ(hold->calls.load(), 5) << "the walk went on through the folder after the stop request";
}

// A thread that is never started; End marks it as asked to stop.
class IdleThread : public OrxThread
{
public:
  void Main() override {}
  const char* GetThreadName() override { return "idle"; }
};

TEST_F(Search, AListingStopsBetweenEntriesWhenTheSearchIsAskedToEnd)
{
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i)
    File("wide/f" + std::to_string(i));
  NodeRef wide = Node("wide");
  ASSERT_TRUE(wide);
  IdleThread stopped;
  stopped.End(false);
  SetListingBreakThread(&stopped);
  wide->LoadChildren();
  SetListingBreakThread(nullptr);
  auto listed = [&] {
    std::size_t n = 0;
    for (Ref<RTreeNode> c = wide->GetFirstChild(); c; c = c->GetNext())
      ++n;
    return n;
  };
  EXPECT_LT(listed(), std::size_t(kFiles)) << "the listing went on after the stop request";
  EXPECT_TRUE(wide->GetStatus() & NODESTATUS_RELIST) << "a listing cut short is done again";
  wide->LoadChildren();
  EXPECT_EQ(listed(), std::size_t(kFiles));
}

// A thread that is asked to stop once it has been asked a given number of times.
class StopsAfterThread : public OrxThread
{
public:
  explicit StopsAfterThread(int answers) : left_(answers) {}
  void Main() override {}
  const char* GetThreadName() override { return "stops after"; }
  Bool TestBreak() override { return --left_ < 0; }

private:
  int left_;
};

TEST_F(Search, AMergeOfAListedFolderStopsBetweenEntries)
{
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i)
    File("wide/f" + std::to_string(i));
  NodeRef wide = Node("wide");
  ASSERT_TRUE(wide);
  auto listed = [&] {
    std::size_t n = 0;
    for (Ref<RTreeNode> c = wide->GetFirstChild(); c; c = c->GetNext())
      ++n;
    return n;
  };
  // The listing reads every entry (one question each); the stop comes in the merge.
  StopsAfterThread stops(kFiles + 10);
  SetListingBreakThread(&stops);
  wide->LoadChildren();
  SetListingBreakThread(nullptr);
  EXPECT_LT(listed(), std::size_t(kFiles)) << "the merge went on after the stop request";
  EXPECT_GT(listed(), 0u);
  EXPECT_TRUE(wide->GetStatus() & NODESTATUS_RELIST) << "a merge cut short is done again";
  wide->LoadChildren();
  EXPECT_EQ(listed(), std::size_t(kFiles));

  // A merge cut short removes nothing it did not reach.
  File("wide/zz-new");
  wide->SetStatus(NODESTATUS_RELIST);
  StopsAfterThread again(kFiles + 1 + 5);
  SetListingBreakThread(&again);
  wide->LoadChildren();
  SetListingBreakThread(nullptr);
  EXPECT_GE(listed(), std::size_t(kFiles)) << "entries not reached were swept";
  wide->LoadChildren();
  EXPECT_EQ(listed(), std::size_t(kFiles + 1));
}

TEST_F(Search, AReadingByNamesStopsBetweenEntries)
{
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i)
    File("wide/f" + std::to_string(i));
  NodeRef wide = Node("wide");
  auto* d = dynamic_cast<DirectoryNode*>(wide.Get());
  ASSERT_TRUE(d);
  auto all = [](void*, const String&) -> Bool { return true; };
  auto listed = [&] {
    std::size_t n = 0;
    for (Ref<RTreeNode> c = wide->GetFirstChild(); c; c = c->GetNext())
      ++n;
    return n;
  };
  std::vector<DirectoryNode::NamedEntry> got;
  IdleThread stopped;
  stopped.End(false);
  SetListingBreakThread(&stopped);
  EXPECT_EQ(d->PassByName(all, nullptr, &got), DirectoryNode::NamePass::Stopped);
  EXPECT_EQ(listed(), 0u) << "the reading went on after the stop request";
  // Every entry read (one question each), the stop comes while the nodes are made.
  StopsAfterThread late(kFiles + 10);
  SetListingBreakThread(&late);
  EXPECT_EQ(d->PassByName(all, nullptr, &got), DirectoryNode::NamePass::Stopped);
  SetListingBreakThread(nullptr);
  EXPECT_LT(listed(), std::size_t(kFiles)) << "the nodes were all made after the stop request";
  EXPECT_TRUE(d->NeedsListing());
  got.clear();
  EXPECT_EQ(d->PassByName(all, nullptr, &got), DirectoryNode::NamePass::Done);
  EXPECT_EQ(got.size(), std::size_t(kFiles));
  EXPECT_EQ(listed(), std::size_t(kFiles)) << "a node made before was made twice";
}

// --- results ---

TEST_F(Search, ResultsNamesAreOneValidURLPartAndNeverShared)
{
  File("a");
  SearchQuery q = NameQuery(SEARCHTEXT_CONTAINS, "x/y:z");
  NodeRef one = MakeSearchResults(SearchRoot(), Node(), q);
  NodeRef two = MakeSearchResults(SearchRoot(), Node(), q);
  ASSERT_TRUE(one && two);
  const std::string u1 = URLOf(one.Get()), u2 = URLOf(two.Get());
  EXPECT_EQ(u1.rfind("search://", 0), 0u) << u1;
  EXPECT_EQ(u1.find('/', 9), std::string::npos) << "one URL level: " << u1;
  EXPECT_NE(u1, u2);
  if (u1.substr(0, u1.size()) == u2.substr(0, u1.size())) {
    EXPECT_EQ(u2.substr(u1.size()), ".1");
  }
  EXPECT_EQ(Find(u1), one);
  EXPECT_EQ(Find(u2), two);
  EXPECT_NE(one->GetName().ToUtf8().find("x_y_z"), std::string::npos) << one->GetName().ToUtf8();
}

TEST_F(Search, TheResultsRecordGoesWithItsCatalog)
{
  File("a");
  NodeRef results = MakeSearchResults(SearchRoot(), Node(), NameQuery(0, "a"));
  ASSERT_TRUE(results);
  const String url(URLOf(results.Get()).c_str());
  BrowserDatabase* main = BrowserDatabase::FirstLibrary();
  ASSERT_TRUE(main);
  BrowserDatabaseItem* item = main->OpenItem(url);
  ASSERT_TRUE(item);
  const std::string note = item->GetAnnotation().ToUtf8();
  item->Close();
  EXPECT_NE(note.find(FileURL(files_)), std::string::npos) << note;
  for (Int32 p : {0, 1, 2})
    ASSERT_EQ(results->Delete(p, nullptr, nullptr), EDIT_OK);
  EXPECT_FALSE(main->OpenItem(url)) << "the main database keeps the record of a deleted search";
  EXPECT_TRUE(main->GetSlot() == 0 && BrowserDatabase::FirstLibrary() == main) << "the main database stays";
}

// The records of the main database below "search:/" as its file holds them now.
std::set<std::string> SearchRecordsOnDisk()
{
  std::set<std::string> out;
  const Filename file = GetCacheFolder(true) + String("BrowserDB");
  if (!GeFileExists(file))
    return out;
  Int32 slot = -1;
  BrowserDatabase* db = BrowserDatabase::Create(file, String(), DBFLAG_MAIN | DBFLAG_OUTER_STORAGE, &slot);
  if (!db)
    return {"(cannot be read)"};
  db->Load();
  std::vector<BrowserDatabase::ItemInfo> items;
  db->ListItems(&items);
  for (const auto& i : items)
    if (i.id >= 1 && i.path.ToUtf8().rfind("search:/", 0) == 0)
      out.insert(i.path.ToUtf8());
  BrowserDatabase::Destroy(db);
  return out;
}

// A results catalog lives as long as the session: its record does not stay in the main database
// when the module ends with the results still open, nor when a session ended without its end.
TEST_F(Search, ResultsRecordsDoNotOutliveTheSession)
{
  File("a");
  NodeRef results = Run(Node(), NameQuery(0, "a"));
  ASSERT_TRUE(results);
  const String url(URLOf(results.Get()).c_str());
  BrowserDatabaseItem* item = BrowserDatabase::FirstLibrary()->OpenItem(url);
  ASSERT_TRUE(item);
  item->Close();
  results = nullptr;
  Stop();
  EXPECT_EQ(SearchRecordsOnDisk(), std::set<std::string>{}) << "the module ended and left the results' records";

  // A record that a session left behind when it did not end as it should.
  {
    const Filename file = GetCacheFolder(true) + String("BrowserDB");
    Int32 slot = -1;
    BrowserDatabase* db = BrowserDatabase::Create(file, String(), DBFLAG_MAIN | DBFLAG_OUTER_STORAGE, &slot);
    ASSERT_TRUE(db);
    if (GeFileExists(file))
      db->Load();
    BrowserDatabaseItem* left = db->OpenOrCreateItem(String("search://2020-01-01 10.00.00, left"), true);
    ASSERT_TRUE(left);
    left->SetName(String("left"));
    left->Close();
    BrowserDatabaseItem* kept = db->OpenOrCreateItem(String("favorite://kept"), true);
    ASSERT_TRUE(kept);
    kept->SetName(String("kept"));
    kept->Close();
    ASSERT_TRUE(db->Save(true));
    BrowserDatabase::Destroy(db);
  }
  ASSERT_EQ(SearchRecordsOnDisk().size(), 1u);
  ResetLibraryRegistryForTests();
  Start();
  BrowserDatabase* main = BrowserDatabase::FirstLibrary();
  ASSERT_TRUE(main);
  auto has = [&](const String& path) {
    BrowserDatabaseItem* i = main->OpenItem(path);
    if (i)
      i->Close();
    return i != nullptr;
  };
  EXPECT_FALSE(has(url)) << "the record of a results catalog of an earlier session is back";
  EXPECT_FALSE(has(String("search://2020-01-01 10.00.00, left"))) << "a record left behind stays";
  EXPECT_TRUE(has(String("favorite://kept"))) << "a record of another kind went with them";

  // The end of the program closes the libraries before the content is released.
  NodeRef last = Run(Node(), NameQuery(0, "a"));
  ASSERT_TRUE(last);
  last = nullptr;
  ShutdownContent(false);
  EXPECT_EQ(SearchRecordsOnDisk(), std::set<std::string>{}) << "the program ended and left the results' records";
}

TEST_F(Search, ASearchOfSearchResultsSkipsItsOwnResults)
{
  File("a");
  NodeRef earlier = Run(Node(), NameQuery(0, "a"));
  ASSERT_EQ(TargetsOf(earlier).size(), 1u);
  // Every results name holds the year; the running one must not link to itself.
  SearchQuery q = NameQuery(SEARCHTEXT_CONTAINS, "20");
  NodeRef results = Run(SearchRoot(), q);
  EXPECT_EQ(TargetsOf(results), std::set<std::string>{URLOf(earlier.Get())}) << "only the earlier results";
  EXPECT_EQ(ChildNames(results).size(), 1u) << "the search walked into its own results";
}

TEST_F(Search, KeywordAndAnnotationRowsJudgeALinkByItsTarget)
{
  File("notes/plain.txt");
  File("notes/marked.txt");
  // The file's record in the main database carries the keywords and the annotation.
  BrowserDatabase* main = BrowserDatabase::FirstLibrary();
  const String target(FileURL(Path("notes/marked.txt")).c_str());
  BrowserDatabaseItem* item = main->OpenOrCreateItem(target, true);
  ASSERT_TRUE(item);
  item->SetAnnotation(String("Needs Review"));
  BaseContainer keywords;
  keywords.SetString(0, String("wood"));
  keywords.SetString(1, String("Oak planks"));
  item->SetStringList(keywords);
  item->Close();
  // A catalog that links to both files.
  NodeRef earlier = Run(Node("notes"), NameQuery(SEARCHTEXT_ENDS, ".txt"));
  ASSERT_EQ(TargetsOf(earlier).size(), 2u);

  SearchQuery byNote;
  AddSearchRow(&byNote, SEARCHROW_ANNOTATION, TextValues(SEARCHTEXT_CONTAINS, "review"));
  byNote.subFolders = true;
  EXPECT_EQ(TargetsOf(Run(earlier, byNote)), std::set<std::string>{target.ToUtf8()});
  SearchQuery byKeyword;
  AddSearchRow(&byKeyword, SEARCHROW_KEYWORDS, TextValues(SEARCHTEXT_BEGINS, "oak"));
  EXPECT_EQ(TargetsOf(Run(earlier, byKeyword)), std::set<std::string>{target.ToUtf8()});
  SearchQuery none;
  AddSearchRow(&none, SEARCHROW_KEYWORDS, TextValues(SEARCHTEXT_EQUALS, "oak"));
  EXPECT_TRUE(TargetsOf(Run(earlier, none)).empty());
}

// A real tree that nobody here wrote: the same files as find.
TEST_F(Search, FindsWhatFindFindsInARealTree)
{
  const std::string root = "/usr/share/doc";
  if (!fs::is_directory(root))
    GTEST_SKIP() << root << " is missing";
  std::set<std::string> expected;
  const std::string cmd = "find " + root + " -xdev -iname '*license*' -not -path '*/.*' 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_TRUE(p);
  char line[4096];
  while (std::fgets(line, sizeof line, p)) {
    std::string s(line);
    if (!s.empty() && s.back() == '\n')
      s.pop_back();
    // find reports pipes and sockets too; the browser does not list them.
    struct stat st;
    if (::lstat(s.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)))
      expected.insert(FileURL(Filename(String(s.c_str()))));
  }
  ::pclose(p);
  Ref<DirectoryNode> start = DirectoryNode::MakeForPath(Filename(String(root.c_str())));
  ASSERT_TRUE(start);
  made_.push_back(NodeRef(start.Get()));
  NodeRef results = Run(NodeRef(start.Get()), NameQuery(SEARCHTEXT_CONTAINS, "license"));
  EXPECT_EQ(TargetsOf(results), expected);
}

} // namespace
