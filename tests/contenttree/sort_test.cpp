// The six sort orders: keys, tie-breaks, folders first, the sorted child array and single comparisons.
#include <optional>
#include <string>
#include <vector>

#include "orx/services.h"
#include "orxtest.h"
#include "contenttree/sortby.h"

namespace {

struct NodeShape
{
  std::string name;
  UInt32 status = 0;
  Int64 size = 0;
  DateTime modified, created;
  std::string type;
  std::string url; // defaults to the name under a test scheme
};

class SortNode : public BrowserContentNode
{
public:
  explicit SortNode(NodeShape s) : BrowserContentNode(s.status), s_(std::move(s)), name_(s_.name.c_str()) {}
  Int32 GetNodeType() override { return NODETYPE_CATALOG; }
  String GetName() override { return name_; }
  const String* GetNameRef() override { return &name_; }
  String* GetTypeName(String* out, Int32) override
  {
    ++typeAsked;
    *out = String(s_.type.c_str());
    return out;
  }
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    out->SetString(String((s_.url.empty() ? "catalog://sort/" + s_.name : s_.url).c_str()));
    return true;
  }
  Bool GetFileTime(Int32 which, DateTime* out) override
  {
    *out = which == FILETIME_CREATED ? s_.created : s_.modified;
    return true;
  }
  UInt32 GetInfo(Int64* size) override
  {
    ++infoAsked;
    if (size)
      *size = s_.size;
    return GetStatus();
  }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }

  Int32 typeAsked = 0, infoAsked = 0;

private:
  NodeShape s_;
  String name_;
};

DateTime At(UInt16 y, UInt16 mo, UInt16 d, UInt16 h = 0, UInt16 mi = 0, UInt16 s = 0)
{
  return DateTime{y, mo, d, h, mi, s};
}

class SortTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    SetFoldersFirst(true);
    noLeaks_.emplace();
    tree_ = MakeRef<BrowserContentTree>();
    parent_ = MakeRef<SortNode>(NodeShape{"parent", NODESTATUS_FOLDER});
    ASSERT_TRUE(parent_->InsertUnder(tree_.Get()));
  }
  void TearDown() override
  {
    SetFoldersFirst(true);
    parent_ = nullptr;
    tree_ = nullptr;
    noLeaks_.reset();
  }
  static void SetFoldersFirst(Bool on)
  {
    BaseContainer* prefs = GeGetPrefs();
    ASSERT_NE(prefs, nullptr);
    BaseContainer browser = prefs->GetContainer(BROWSER_PREFS_ID);
    browser.SetBool(BROWSER_PREF_FOLDERS_FIRST, on);
    prefs->SetContainer(BROWSER_PREFS_ID, browser);
  }
  Ref<SortNode> Add(NodeShape s)
  {
    Ref<SortNode> n = MakeRef<SortNode>(std::move(s));
    EXPECT_TRUE(n->InsertUnder(parent_.Get()));
    return n;
  }
  // Names in the order of mode, as "a b c".
  std::string Sorted(UInt32 mode)
  {
    Int32 count = -1;
    NodeRef* arr = SortChildren(mode, parent_->GetDownNode(), &count);
    std::string out;
    EXPECT_EQ(count, SortedChildCount(arr));
    for (Int32 i = 0; i < count; ++i)
      out += (i ? " " : "") + arr[i]->GetName().ToUtf8();
    FreeSortedChildren(arr);
    EXPECT_EQ(arr, nullptr);
    return out;
  }

  // Made after the preference exists, so that only the nodes and arrays count.
  std::optional<orxtest::NoLeaks> noLeaks_;
  Ref<BrowserContentTree> tree_;
  Ref<SortNode> parent_;
};

TEST_F(SortTest, FoldersFirstPreference)
{
  EXPECT_TRUE(BrowserFoldersFirst());
  Add({"apple"});
  Add({"zoo", NODESTATUS_FOLDER});
  Add({"mango"});
  Add({"box", NODESTATUS_CONTAINER});
  Add({"bundle", NODESTATUS_BUNDLE}); // & 3 is 0: a plain item
  Add({"attic", NODESTATUS_FOLDER | NODESTATUS_CONTAINER});
  // Containers with the higher group first, then folders, then items; by name inside each group.
  EXPECT_EQ(Sorted(SORTBY_NAME), "attic box zoo apple bundle mango");
  EXPECT_EQ(Sorted(0), "attic box zoo apple bundle mango");
  EXPECT_EQ(Sorted(99), "attic box zoo apple bundle mango");

  SetFoldersFirst(false);
  EXPECT_FALSE(BrowserFoldersFirst());
  EXPECT_EQ(Sorted(SORTBY_NAME), "apple attic box bundle mango zoo");

  // Nothing stored: on.
  GeGetPrefs()->RemoveData(BROWSER_PREFS_ID);
  EXPECT_TRUE(BrowserFoldersFirst());
}

TEST_F(SortTest, NameTiesBrokenByURLOnlyWithFoldersFirst)
{
  Add({"same", 0, 0, {}, {}, "", "catalog://b"});
  Add({"same", 0, 0, {}, {}, "", "catalog://a"});
  Add({"Other"});
  EXPECT_EQ(Sorted(SORTBY_NAME), "Other same same");
  Int32 count = 0;
  NodeRef* arr = SortChildren(SORTBY_NAME, parent_->GetDownNode(), &count);
  ASSERT_EQ(count, 3);
  BrowserURL u;
  arr[1]->GetURL(&u, 0);
  EXPECT_EQ(u.GetString(), String("catalog://a"));
  FreeSortedChildren(arr);
}

// Names sort as people read them, not by code units: accented letters sit with their base letter and
// letter case does not split the alphabet.
TEST_F(SortTest, NamesFollowTheCollator)
{
  Ref<SortNode> zebra = Add({"Zebra"});
  Ref<SortNode> eclair = Add({"\u00c9clair"});
  Ref<SortNode> apple = Add({"apple"});
  Ref<SortNode> angel = Add({"\u00e4ngel"});
  const std::string expected = "\u00e4ngel apple \u00c9clair Zebra";
  EXPECT_EQ(Sorted(SORTBY_NAME), expected);
  EXPECT_LT(CompareNodes(SORTBY_NAME, eclair.Get(), zebra.Get()), 0);
  EXPECT_LT(CompareNodes(SORTBY_NAME, angel.Get(), apple.Get()), 0);
  SetFoldersFirst(false);
  EXPECT_EQ(Sorted(SORTBY_NAME), expected);
  // Names break the ties of the other orders the same way.
  EXPECT_EQ(Sorted(SORTBY_SIZE), expected);
  EXPECT_EQ(Sorted(SORTBY_TYPE), expected);
}

TEST_F(SortTest, DateOrders)
{
  Add({"late", 0, 0, At(2024, 5, 1, 10, 0, 1), At(2001, 1, 1)});
  Add({"early", 0, 0, At(2024, 5, 1, 10, 0, 0), At(2003, 1, 1)});
  Add({"dir", NODESTATUS_FOLDER, 0, At(2030, 1, 1), At(2030, 1, 1)});
  Add({"old", 0, 0, At(1999, 12, 31, 23, 59, 59), At(2002, 1, 1)});
  Add({"b-tie", 0, 0, At(2010, 1, 1), At(2002, 1, 1)});
  Add({"a-tie", 0, 0, At(2010, 1, 1), At(2002, 1, 1)});
  EXPECT_EQ(Sorted(SORTBY_MODIFIED), "dir old a-tie b-tie early late");
  EXPECT_EQ(Sorted(SORTBY_CREATED), "dir late a-tie b-tie old early");
  SetFoldersFirst(false);
  EXPECT_EQ(Sorted(SORTBY_MODIFIED), "old a-tie b-tie early late dir");
}

TEST_F(SortTest, SizeOrderNeverGroups)
{
  Add({"big", 0, Int64(1) << 40});
  Add({"folder", NODESTATUS_FOLDER, 0});
  Add({"small", 0, 10});
  Add({"b-ten", 0, 10});
  Add({"empty", 0, 0});
  EXPECT_EQ(Sorted(SORTBY_SIZE), "empty folder b-ten small big");
  SetFoldersFirst(false);
  EXPECT_EQ(Sorted(SORTBY_SIZE), "empty folder b-ten small big");
}

TEST_F(SortTest, TypeOrderAlwaysGroups)
{
  SetFoldersFirst(false);
  Ref<SortNode> f1 = Add({"zeta", NODESTATUS_FOLDER, 0, {}, {}, "Alpha folder"});
  Ref<SortNode> f2 = Add({"alpha", NODESTATUS_FOLDER, 0, {}, {}, "Zulu folder"});
  Add({"b.png", 0, 0, {}, {}, "Image"});
  Add({"a.orx", 0, 0, {}, {}, "Scene"});
  Add({"c.jpg", 0, 0, {}, {}, "Image"});
  // Two folders by name, whatever their type names say.
  EXPECT_EQ(Sorted(SORTBY_TYPE), "alpha zeta b.png c.jpg a.orx");
  EXPECT_EQ(f1->typeAsked + f2->typeAsked, 0) << "type names of containers are never needed";
}

TEST_F(SortTest, KeysAreFetchedOncePerNode)
{
  std::vector<Ref<SortNode>> nodes;
  for (Int32 i = 0; i < 200; ++i)
    nodes.push_back(Add({"n" + std::to_string((i * 37) % 200), 0, 0, {}, {}, i % 2 ? "A" : "B"}));
  EXPECT_FALSE(Sorted(SORTBY_TYPE).empty());
  for (auto& n : nodes) {
    EXPECT_EQ(n->typeAsked, 1);
    EXPECT_EQ(n->infoAsked, 1);
  }
}

TEST_F(SortTest, NoneKeepsTreeOrderAndEmptyGivesNothing)
{
  Int32 count = -1;
  EXPECT_EQ(SortChildren(SORTBY_NAME, parent_->GetDownNode(), &count), nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(SortChildren(SORTBY_NONE, nullptr, &count), nullptr);
  EXPECT_EQ(SortedChildCount(nullptr), 0);

  Ref<SortNode> c = Add({"c", NODESTATUS_FOLDER});
  Ref<SortNode> a = Add({"a"});
  Ref<SortNode> b = Add({"b"});
  EXPECT_EQ(Sorted(SORTBY_NONE), "c a b");
  // The array holds references of its own; starting in the middle takes the rest.
  const UInt32 refs = b->GetReferenceCount();
  NodeRef* arr = SortChildren(SORTBY_NAME, a->GetNextNode(), &count);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(arr[0].Get(), b.Get());
  EXPECT_EQ(b->GetReferenceCount(), refs + 1);
  FreeSortedChildren(arr);
  EXPECT_EQ(b->GetReferenceCount(), refs);
}

TEST_F(SortTest, SingleComparisons)
{
  // The folder's type name sorts after the file's: only grouping puts the folder first.
  Ref<SortNode> dir = Add({"b-dir", NODESTATUS_FOLDER, 0, At(2020, 1, 1), {}, "Zip folder"});
  Ref<SortNode> file = Add({"a-file", 0, 5, At(2021, 1, 1), {}, "Image"});
  Ref<SortNode> twin1 = Add({"twin", 0, 5, At(2021, 1, 1), {}, "Image", "catalog://1"});
  Ref<SortNode> twin2 = Add({"twin", 0, 5, At(2021, 1, 1), {}, "Image", "catalog://2"});
  // Names only, whatever the preference says.
  EXPECT_GT(CompareNodes(SORTBY_NAME, dir.Get(), file.Get()), 0);
  EXPECT_GT(CompareNodes(SORTBY_NONE, dir.Get(), file.Get()), 0);
  EXPECT_EQ(CompareNodes(SORTBY_NAME, twin1.Get(), twin2.Get()), 0);
  // Dates and sizes, then name and URL.
  EXPECT_LT(CompareNodes(SORTBY_MODIFIED, dir.Get(), file.Get()), 0);
  EXPECT_LT(CompareNodes(SORTBY_MODIFIED, twin1.Get(), twin2.Get()), 0);
  EXPECT_GT(CompareNodes(SORTBY_CREATED, twin2.Get(), twin1.Get()), 0);
  EXPECT_LT(CompareNodes(SORTBY_SIZE, dir.Get(), file.Get()), 0);
  EXPECT_LT(CompareNodes(SORTBY_SIZE, file.Get(), twin1.Get()), 0);
  // The type order groups.
  EXPECT_LT(CompareNodes(SORTBY_TYPE, dir.Get(), file.Get()), 0);
  EXPECT_GT(CompareNodes(SORTBY_TYPE, file.Get(), dir.Get()), 0);
  EXPECT_EQ(CompareNodes(SORTBY_TYPE, file.Get(), file.Get()), 0);
  // Without the preference nothing changes: single comparisons never look at it.
  SetFoldersFirst(false);
  EXPECT_GT(CompareNodes(SORTBY_NAME, dir.Get(), file.Get()), 0);
  EXPECT_LT(CompareNodes(SORTBY_MODIFIED, dir.Get(), file.Get()), 0);
  EXPECT_LT(CompareNodes(SORTBY_TYPE, dir.Get(), file.Get()), 0);
  SetFoldersFirst(true);
  // A missing node is equal to everything.
  EXPECT_EQ(CompareNodes(SORTBY_SIZE, nullptr, file.Get()), 0);
  EXPECT_EQ(CompareNodes(SORTBY_NAME, file.Get(), nullptr), 0);
}

} // namespace
