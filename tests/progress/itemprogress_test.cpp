// Copy, move, delete and link of many items through ItemProgressThread and its dialog.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "progresstest.h"

using namespace progresstest;

namespace {

class ItemProgress : public ProgressTest
{
};

Int32 RunHere(ItemProgressThread& t)
{
  EXPECT_TRUE(t.Run(false));
  return t.GetStatus();
}

TEST_F(ItemProgress, CopiesFoldersAndFilesWithCountsThatMatchTheWork)
{
  Write("src/a.txt", "hello");
  Write("src/sub/b.bin", std::string(3 << 20, 'b'));
  Write("src/.hidden/h", "hid"); // never listed as a node, but copied with its folder
  Write("one.txt", "12345678");
  NodeRef top = Folder("");
  NodeRef dst = Folder("dst");
  ItemProgressThread t(ITEMOP_COPY, {ChildNamed(top, "src"), ChildNamed(top, "one.txt")}, dst);
  ASSERT_EQ(RunHere(t), ITEMSTATUS_DONE);
  EXPECT_EQ(Tree(Path("dst/src")), Tree(Path("src")));
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/one.txt").c_str()))), "12345678");
  // src, a.txt, sub, b.bin, .hidden, h and one.txt
  EXPECT_EQ(t.GetTotalFiles(), 7u);
  EXPECT_EQ(t.GetTotalBytes(), UInt64(5 + (3 << 20) + 3 + 8));
  EXPECT_EQ(t.GetDoneFiles(), t.GetTotalFiles());
  EXPECT_EQ(t.GetDoneBytes(), t.GetTotalBytes());
  EXPECT_EQ(t.GetNext(), 2);
}

// Links and pipes count by one rule in both passes: one item each, no bytes of their own (a link's
// target is neither copied nor deleted); a copy leaves pipes out, a delete takes them.
TEST_F(ItemProgress, LinksAndPipesCountTheSameInBothPasses)
{
  Write("src/data.bin", std::string(5000, 'd'));
  Write("src/.hid/data2.bin", std::string(700, 'e'));
  NodeRef top = Folder("");
  ASSERT_EQ(::symlink("data.bin", Path("src/link").c_str()), 0);
  ASSERT_EQ(::symlink("../data.bin", Path("src/.hid/.link").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", Path("src/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(Path("src/pipe").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(Path("src/.hid/.pipe").c_str(), 0644), 0);
  NodeRef dst = Folder("dst");
  ItemProgressThread copy(ITEMOP_COPY, {ChildNamed(top, "src")}, dst);
  ASSERT_EQ(RunHere(copy), ITEMSTATUS_DONE);
  // src, data.bin, link, dangling, .hid, data2.bin and .link
  EXPECT_EQ(copy.GetTotalFiles(), 7u);
  EXPECT_EQ(copy.GetTotalBytes(), 5700u);
  EXPECT_EQ(copy.GetDoneFiles(), copy.GetTotalFiles());
  EXPECT_EQ(copy.GetDoneBytes(), copy.GetTotalBytes());
  EXPECT_TRUE(fs::is_symlink(Path("dst/src/link")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("dst/src/pipe"))));

  ItemProgressThread del(ITEMOP_DELETE, {ChildNamed(top, "src")}, nullptr);
  ASSERT_EQ(RunHere(del), ITEMSTATUS_DONE);
  EXPECT_EQ(del.GetTotalFiles(), 9u) << "the pipes are deleted with the rest";
  EXPECT_EQ(del.GetTotalBytes(), 5700u);
  EXPECT_EQ(del.GetDoneFiles(), del.GetTotalFiles());
  EXPECT_EQ(del.GetDoneBytes(), del.GetTotalBytes());
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("src"))));
}

TEST_F(ItemProgress, MovesAndDeletesManyItems)
{
  Write("a/x.txt", "x");
  Write("b.txt", "bb");
  Write("c/d/e.txt", "eee");
  NodeRef top = Folder("");
  NodeRef dst = Folder("dst");
  ItemProgressThread move(ITEMOP_MOVE, {ChildNamed(top, "a"), ChildNamed(top, "b.txt")}, dst);
  ASSERT_EQ(RunHere(move), ITEMSTATUS_DONE);
  EXPECT_TRUE(fs::exists(Path("dst/a/x.txt")));
  EXPECT_TRUE(fs::exists(Path("dst/b.txt")));
  EXPECT_FALSE(fs::exists(Path("a")));
  EXPECT_EQ(move.GetDoneFiles(), move.GetTotalFiles());
  EXPECT_EQ(move.GetDoneBytes(), move.GetTotalBytes());

  ItemProgressThread del(ITEMOP_DELETE, {ChildNamed(top, "c"), ChildNamed(dst, "b.txt")}, nullptr);
  ASSERT_EQ(RunHere(del), ITEMSTATUS_DONE);
  EXPECT_FALSE(fs::exists(Path("c")));
  EXPECT_FALSE(fs::exists(Path("dst/b.txt")));
  EXPECT_TRUE(fs::exists(Path("dst/a/x.txt")));
  EXPECT_EQ(del.GetTotalFiles(), 4u); // c, d, e.txt, b.txt
  EXPECT_EQ(del.GetDoneFiles(), del.GetTotalFiles());
  EXPECT_EQ(del.GetDoneBytes(), del.GetTotalBytes());
}

// A folder copied into itself, into its own sub-folder, or into a second spelling of either ends at
// once with status 3, and nothing on disk changes.
TEST_F(ItemProgress, CopyIntoItselfOrItsSubfolderEndsAtOnce)
{
  Write("src/sub/f.txt", "f");
  ASSERT_EQ(::symlink(Path("src/sub").c_str(), Path("alias").c_str()), 0);
  NodeRef top = Folder("");
  NodeRef src = ChildNamed(top, "src");
  const auto before = Tree(P(root_));
  for (NodeRef dst : {src, ChildNamed(src, "sub"), Folder("src/sub"), Folder("alias"), Folder("src/sub/../sub")}) {
    ASSERT_TRUE(dst);
    for (Int32 op : {ITEMOP_COPY, ITEMOP_MOVE}) {
      ItemProgressThread t(op, {src}, dst);
      EXPECT_EQ(RunHere(t), ITEMSTATUS_INSIDE) << contenttest::URLOf(dst.Get()) << " operation " << op;
      EXPECT_EQ(t.GetTotalFiles(), 0u) << "ended before counting";
    }
  }
  EXPECT_EQ(Tree(P(root_)), before);
}

// Every source is asked before anything is counted or changed: a volume among them stops the whole
// delete before the first item goes.
TEST_F(ItemProgress, AsksEverySourceFirstAndNeverDeletesAVolume)
{
  Write("first.txt", "1");
  Write("vol/inside.txt", "keep");
  NodeRef top = Folder("");
  Ref<DirectoryNode> vol = DirectoryNode::MakeVolume(root_ + String("vol"), String("Disk"));
  ASSERT_TRUE(vol);
  made_.push_back(NodeRef(vol.Get()));
  ItemProgressThread t(ITEMOP_DELETE, {ChildNamed(top, "first.txt"), NodeRef(vol.Get())}, nullptr);
  EXPECT_EQ(RunHere(t), ITEMSTATUS_FAILED);
  EXPECT_EQ(t.GetResult(), EDIT_DELETE_REFUSED);
  EXPECT_TRUE(fs::exists(Path("first.txt"))) << "nothing is done before every source was asked";
  EXPECT_TRUE(fs::exists(Path("vol/inside.txt")));
  EXPECT_EQ(t.GetTotalFiles(), 0u);
}

TEST_F(ItemProgress, ConflictStopsAndSkipCountsTheSourceAsDone)
{
  Write("src/a.txt", "new");
  Write("src/b.txt", "bb");
  Write("dst/a.txt", "old");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ItemProgressThread t(ITEMOP_COPY, {ChildNamed(src, "a.txt"), ChildNamed(src, "b.txt")}, dst);
  ASSERT_EQ(RunHere(t), ITEMSTATUS_CONFLICT);
  ASSERT_TRUE(t.GetConflict());
  EXPECT_EQ(t.GetConflict()->GetName(), String("a.txt"));
  EXPECT_EQ(t.GetNext(), 0);
  EXPECT_FALSE(fs::exists(Path("dst/b.txt"))) << "a conflict ends before the work";

  t.SetOptions(ITEMOPTION_SKIP);
  ASSERT_EQ(RunHere(t), ITEMSTATUS_DONE);
  EXPECT_EQ(t.GetSkipped(), 1);
  EXPECT_EQ(t.GetNext(), 2);
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/a.txt").c_str()))), "old");
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/b.txt").c_str()))), "bb");
}

// "A.txt" and "a.txt" are two files on Linux: no conflict, and both are there afterwards.
TEST_F(ItemProgress, NamesThatDifferOnlyInCaseAreNoConflict)
{
  Write("src/A.txt", "upper");
  Write("dst/a.txt", "lower");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ItemProgressThread t(ITEMOP_COPY, {ChildNamed(src, "A.txt")}, dst);
  ASSERT_EQ(RunHere(t), ITEMSTATUS_DONE);
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/A.txt").c_str()))), "upper");
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/a.txt").c_str()))), "lower");
}

TEST_F(ItemProgress, ReplaceWritesTheNewItemBeforeTheOldOneGoes)
{
  Write("src/a.txt", "new");
  Write("src/f/in.txt", "inner");
  Write("dst/a.txt", "old");
  Write("dst/f/old.txt", "o");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ItemProgressThread t(ITEMOP_COPY, {ChildNamed(src, "a.txt"), ChildNamed(src, "f")}, dst, ITEMOPTION_REPLACE);
  ASSERT_EQ(RunHere(t), ITEMSTATUS_DONE) << std::hex << t.GetResult() << " " << t.GetItemName().ToUtf8();
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/a.txt").c_str()))), "new");
  EXPECT_EQ(Tree(Path("dst/f")), Tree(Path("src/f")));
  EXPECT_EQ(Tree(Path("dst")).size(), 3u) << "no temporary names left behind";
  EXPECT_EQ(t.GetDoneFiles(), t.GetTotalFiles());
  EXPECT_EQ(t.GetDoneBytes(), t.GetTotalBytes());

  // A move replaces as well, and the source leaves its folder.
  Write("src2/a.txt", "moved");
  NodeRef src2 = Folder("src2");
  ItemProgressThread m(ITEMOP_MOVE, {ChildNamed(src2, "a.txt")}, dst, ITEMOPTION_REPLACE);
  ASSERT_EQ(RunHere(m), ITEMSTATUS_DONE);
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/a.txt").c_str()))), "moved");
  EXPECT_FALSE(fs::exists(Path("src2/a.txt")));
}

// The write of the new copy fails: the old item is still there, whole, under its name.
TEST_F(ItemProgress, ReplaceKeepsTheOldItemWhenTheCopyFails)
{
  Write("src/a.txt", std::string(3 << 20, 'n'));
  Write("dst/a.txt", "old");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ItemProgressThread t(ITEMOP_COPY, {ChildNamed(src, "a.txt")}, dst, ITEMOPTION_REPLACE);
  orxhost::FailNth(orxhost::FileOp::Write, 2);
  EXPECT_EQ(RunHere(t), ITEMSTATUS_FAILED);
  orxhost::ClearFaults();
  EXPECT_EQ(t.GetResult(), EDIT_COPY_FAILED);
  EXPECT_EQ(t.GetItemName(), String("a.txt"));
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/a.txt").c_str()))), "old");
  EXPECT_EQ(Tree(Path("dst")).size(), 1u) << "nothing half-written left";
}

// Copying an item into its own folder finds the source itself under that name: replacing it would
// lose it, so that is a refusal, whatever the options say.
// A run's copies are synced once per file system, before an old item goes and at the end: a sync
// that fails ends the run failed, never with the old item gone.
TEST_F(ItemProgress, FailedSyncEndsFailedAndKeepsTheOldItem)
{
  Write("src/a.txt", "new");
  Write("src/b.txt", "bb");
  Write("dst/a.txt", "old");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ItemProgressThread t(ITEMOP_COPY, {ChildNamed(src, "b.txt"), ChildNamed(src, "a.txt")}, dst, ITEMOPTION_REPLACE);
  orxhost::FailNth(orxhost::FileOp::Flush, 1);
  EXPECT_EQ(RunHere(t), ITEMSTATUS_FAILED);
  orxhost::ClearFaults();
  EXPECT_EQ(t.GetItemName(), String("a.txt"));
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/a.txt").c_str()))), "old");
  EXPECT_EQ(Tree(Path("dst")).size(), 2u) << "b.txt, and the old a.txt with nothing half-made beside it";

  // The one sync at the end fails: the copy is not reported done.
  ItemProgressThread c(ITEMOP_COPY, {ChildNamed(src, "b.txt")}, Folder("dst2"));
  orxhost::FailNth(orxhost::FileOp::Flush, 1);
  EXPECT_EQ(RunHere(c), ITEMSTATUS_FAILED);
  EXPECT_EQ(c.GetResult(), EDIT_COPY_FAILED);

  // A move that replaces deletes the old item only after the sync: it is still on the disk.
  Write("src3/c.txt", "moved");
  Write("dst/c.txt", "old c");
  ItemProgressThread m(ITEMOP_MOVE, {ChildNamed(Folder("src3"), "c.txt")}, dst, ITEMOPTION_REPLACE);
  orxhost::FailNth(orxhost::FileOp::Flush, 1);
  EXPECT_EQ(RunHere(m), ITEMSTATUS_FAILED);
  const auto after = Tree(Path("dst"));
  EXPECT_EQ(std::count_if(after.begin(), after.end(), [](const auto& e) { return e.second == "old c"; }), 1);
}

TEST_F(ItemProgress, ConflictWithTheSourceItselfIsARefusal)
{
  Write("dir/a.txt", "only copy");
  Write("dir/f/x.txt", "x");
  NodeRef dir = Folder("dir");
  for (UInt32 options : {0u, UInt32(ITEMOPTION_REPLACE)}) {
    ItemProgressThread t(ITEMOP_COPY, {ChildNamed(dir, "a.txt")}, dir, options);
    EXPECT_EQ(RunHere(t), ITEMSTATUS_FAILED) << options;
    EXPECT_FALSE(t.GetConflict()) << "no question to answer";
    // The same folder by another spelling.
    ItemProgressThread u(ITEMOP_COPY, {ChildNamed(dir, "a.txt")}, Folder("dir/f/.."), options | ITEMOPTION_REPLACE);
    EXPECT_EQ(RunHere(u), ITEMSTATUS_FAILED) << options;
  }
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dir/a.txt").c_str()))), "only copy");
  EXPECT_EQ(Tree(Path("dir")).size(), 3u);
}

// After a conflict the run goes on at the first source not done; the totals are counted anew and
// still equal what the work did.
TEST_F(ItemProgress, RestartAfterConflictDoesNotCountTwice)
{
  Write("src/1.txt", "11");
  Write("src/2.txt", "222");
  Write("dst/2.txt", "old");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ItemProgressThread t(ITEMOP_COPY, {ChildNamed(src, "1.txt"), ChildNamed(src, "2.txt")}, dst);
  ASSERT_EQ(RunHere(t), ITEMSTATUS_CONFLICT);
  EXPECT_EQ(t.GetNext(), 0);
  EXPECT_EQ(t.GetTotalFiles(), 1u) << "counted up to the conflict";
  ASSERT_EQ(RunHere(t), ITEMSTATUS_CONFLICT) << "asked again: nothing was answered";
  EXPECT_EQ(t.GetTotalFiles(), 1u);
  t.ReplaceConflict();
  ASSERT_EQ(RunHere(t), ITEMSTATUS_DONE);
  EXPECT_EQ(t.GetTotalFiles(), 2u);
  EXPECT_EQ(t.GetTotalBytes(), 5u);
  EXPECT_EQ(t.GetDoneFiles(), 2u);
  EXPECT_EQ(t.GetDoneBytes(), 5u);
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/2.txt").c_str()))), "222");
}

// One file of the tree cannot be deleted: status 4 with the item, what was deleted is gone and
// the rest is still there.
TEST_F(ItemProgress, DeleteThatFailsOnOneFileEndsFailedNamingTheItem)
{
  for (int i = 0; i < 5; ++i)
    Write("tree/f" + std::to_string(i), "x");
  Write("other.txt", "o");
  NodeRef top = Folder("");
  ItemProgressThread t(ITEMOP_DELETE, {ChildNamed(top, "tree"), ChildNamed(top, "other.txt")}, nullptr);
  orxhost::FailNth(orxhost::FileOp::Delete, 3);
  EXPECT_EQ(RunHere(t), ITEMSTATUS_FAILED);
  orxhost::ClearFaults();
  EXPECT_EQ(t.GetResult(), EDIT_DELETE_REFUSED);
  EXPECT_EQ(t.GetItemName(), String("tree"));
  EXPECT_EQ(t.GetDoneFiles(), 2u);
  EXPECT_EQ(Tree(Path("tree")).size(), 3u);
  EXPECT_TRUE(fs::exists(Path("other.txt"))) << "the sources after the failed one are untouched";
}

// --- the dialog ---

class ItemProgressDialogs : public ProgressTest
{
};

TEST_F(ItemProgressDialogs, MessageByStatusAndOperation)
{
  const String name("it%s%d<x>");
  std::vector<std::string> seen;
  for (Int32 op : {ITEMOP_COPY, ITEMOP_MOVE, ITEMOP_DELETE, ITEMOP_LINK}) {
    EXPECT_TRUE(ItemProgressDialog::MessageFor(ITEMSTATUS_DONE, op, name).IsEmpty());
    EXPECT_TRUE(ItemProgressDialog::MessageFor(ITEMSTATUS_CANCELLED, op, name).IsEmpty());
    const std::string inside = ItemProgressDialog::MessageFor(ITEMSTATUS_INSIDE, op, name).ToUtf8();
    const std::string failed = ItemProgressDialog::MessageFor(ITEMSTATUS_FAILED, op, name).ToUtf8();
    EXPECT_NE(inside.find("inside \"it%s%d<x>\""), std::string::npos) << inside;
    EXPECT_NE(failed.find("\"it%s%d<x>\""), std::string::npos) << failed;
    EXPECT_NE(inside, failed);
    seen.push_back(failed);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end()) << "each operation fails in its own words";
}

// The dialog runs the thread, shows the counts, asks about the taken name with the name put in as
// it is, and replaces on yes.
TEST_F(ItemProgressDialogs, AsksAboutATakenNameAndReplacesOnYes)
{
  Write("src/50%s %d.txt", "new");
  Write("dst/50%s %d.txt", "old");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ui::HeadlessScript().messageAnswers = {ORX_MB_YES};
  ItemProgressDialog d(ITEMOP_COPY, {ChildNamed(src, "50%s %d.txt")}, dst);
  EXPECT_EQ(d.Execute(), ITEMSTATUS_DONE);
  const auto shown = ui::ShownMessages();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].style, ORX_MB_YESNO);
  EXPECT_EQ(shown[0].text.rfind("\"50%s %d.txt\" already exists", 0), 0u) << shown[0].text;
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/50%s %d.txt").c_str()))), "new");
  EXPECT_EQ(d.TotalLine(), String("Files to copy: 1 (3 Bytes)"));
  EXPECT_EQ(d.DoneLine(), String("Copied so far: 1 (3 Bytes)"));
}

TEST_F(ItemProgressDialogs, NoLeavesEverythingAsItWas)
{
  Write("src/a.txt", "new");
  Write("dst/a.txt", "old");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ui::HeadlessScript().messageAnswers = {ORX_MB_NO};
  ItemProgressDialog d(ITEMOP_COPY, {ChildNamed(src, "a.txt")}, dst);
  EXPECT_EQ(d.Execute(), ITEMSTATUS_CONFLICT);
  EXPECT_EQ(ui::ShownMessages().size(), 1u);
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/a.txt").c_str()))), "old");
}

// The replacement after yes fails: the dialog closes with the failure message and asks no more.
TEST_F(ItemProgressDialogs, FailedRestartClosesWithItsMessage)
{
  Write("src/a.txt", std::string(3 << 20, 'n'));
  Write("dst/a.txt", "old");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ui::HeadlessScript().messageAnswers = {ORX_MB_YES, ORX_MB_YES, ORX_MB_YES};
  ItemProgressDialog d(ITEMOP_COPY, {ChildNamed(src, "a.txt")}, dst);
  // Nothing is written before the question, so the second write is the replacement copy's. Armed
  // here, not once the question was seen: the restarted worker may write before the next tick.
  orxhost::FailNth(orxhost::FileOp::Write, 2);
  EXPECT_EQ(d.Execute(), ITEMSTATUS_FAILED);
  const auto shown = ui::ShownMessages();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].style, ORX_MB_WARNING);
  EXPECT_EQ(shown[1].text, "\"a.txt\" could not be copied. What was copied before it is in place; nothing "
                           "half-written was left behind.");
  EXPECT_EQ(d.GetMessage().ToUtf8(), shown[1].text);
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/a.txt").c_str()))), "old");
}

// After yes the worker cannot be started again: the dialog ends failed with that message at once,
// asks no more and claims nothing; the old item stays as it was.
TEST_F(ItemProgressDialogs, RestartThatCannotStartEndsFailedWithItsMessage)
{
  Write("src/a.txt", "new");
  Write("dst/a.txt", "old");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  ui::HeadlessScript().messageAnswers = {ORX_MB_YES, ORX_MB_YES, ORX_MB_YES};
  // A dialog still open after a minute waits for ever: cancelled there, the test fails instead of
  // hanging.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  ui::HeadlessScript().modalDriver = [limit](Int32 dialog) {
    if (std::chrono::steady_clock::now() > limit)
      ui::Click(dialog, IDC_CANCEL);
  };
  ItemProgressDialog d(ITEMOP_COPY, {ChildNamed(src, "a.txt")}, dst);
  // The first start runs into the taken name; the second is the restart after yes.
  orxhost::FailNthThreadStart(2);
  EXPECT_EQ(d.Execute(), ITEMSTATUS_FAILED);
  const auto shown = ui::ShownMessages();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].style, ORX_MB_YESNO);
  EXPECT_EQ(shown[1].style, ORX_MB_WARNING);
  EXPECT_EQ(shown[1].text, "The work could not be started again; nothing more was changed.");
  EXPECT_EQ(d.GetMessage().ToUtf8(), shown[1].text);
  EXPECT_EQ(d.Thread().GetStatus(), ITEMSTATUS_FAILED);
  EXPECT_EQ(d.Thread().GetDoneFiles(), 0u);
  EXPECT_EQ(orxtest::ReadFile(Filename(String(Path("dst/a.txt").c_str()))), "old");
  EXPECT_EQ(Tree(Path("dst")).size(), 1u) << "nothing half-made beside it";
}

TEST_F(ItemProgressDialogs, InsideEndsWithItsMessage)
{
  Write("src/sub/f.txt", "f");
  NodeRef src = Folder("src");
  ItemProgressDialog d(ITEMOP_COPY, {src}, ChildNamed(src, "sub"));
  EXPECT_EQ(d.Execute(), ITEMSTATUS_INSIDE);
  ASSERT_EQ(ui::ShownMessages().size(), 1u);
  EXPECT_NE(ui::ShownMessages()[0].text.find("lies inside \"src\""), std::string::npos);
  EXPECT_EQ(Tree(Path("src")).size(), 2u);
}

// The views hear of the changes on the main thread only: the worker collects them.
std::thread::id g_mainThread;
std::atomic<int> g_toldOnMain{0}, g_toldElsewhere{0};
void CountNotice(const NodeRef&)
{
  (std::this_thread::get_id() == g_mainThread ? g_toldOnMain : g_toldElsewhere).fetch_add(1);
}

TEST_F(ItemProgressDialogs, ViewsAreToldOnTheMainThread)
{
  for (int i = 0; i < 20; ++i)
    Write("src/f" + std::to_string(i), "x");
  NodeRef src = Folder("src");
  NodeRef dst = Folder("dst");
  std::vector<NodeRef> items;
  for (NodeRef c = src->GetDownNode(); c; c = c->GetNextNode())
    items.push_back(c);
  g_mainThread = std::this_thread::get_id();
  g_toldOnMain = 0;
  g_toldElsewhere = 0;
  SetNodeChangedSink(CountNotice);
  {
    ItemProgressDialog d(ITEMOP_MOVE, items, dst);
    EXPECT_EQ(d.Execute(), ITEMSTATUS_DONE);
  }
  SetNodeChangedSink(nullptr);
  EXPECT_GT(g_toldOnMain.load(), 0);
  EXPECT_EQ(g_toldElsewhere.load(), 0);
  EXPECT_EQ(Tree(Path("dst")).size(), 20u);
}

} // namespace

namespace {

// Linking into a catalog: the catalog makes links to the items and nothing on disk changes; a link
// moved to another catalog is refused before anything moves.
TEST_F(ItemProgress, LinksIntoACatalogAndRefusesMovesBetweenCatalogs)
{
  const Filename files = orxtest::HomeDir() + String("volumes") + String("linked");
  std::error_code ec;
  fs::remove_all(P(files), ec);
  ASSERT_TRUE(orxtest::WriteFile(files + String("a.txt"), "a"));
  ASSERT_TRUE(orxtest::WriteFile(files + String("b.txt"), "b"));
  Start();
  auto catalog = [](const std::string& name) {
    const Filename file = contenttest::UserFolder() + String((name + ".catqz").c_str());
    EXPECT_GE(CreateLibrary(BrowserURL(String(("catalog://" + name + ".catqz").c_str())), String(name.c_str()), file), 0);
    GetRootNode(ROOT_CATALOG)->LoadChildren();
    return contenttest::Find("catalog://" + name + ".catqz");
  };
  NodeRef one = catalog("One");
  NodeRef two = catalog("Two");
  ASSERT_TRUE(one && two);
  NodeRef a = contenttest::Find(BrowserURL(files + String("a.txt")).GetString().ToUtf8());
  NodeRef b = contenttest::Find(BrowserURL(files + String("b.txt")).GetString().ToUtf8());
  ASSERT_TRUE(a && b);
  {
    ItemProgressThread t(ITEMOP_LINK, {a, b}, one);
    ASSERT_EQ(RunHere(t), ITEMSTATUS_DONE) << std::hex << t.GetResult();
    EXPECT_EQ(t.GetDoneFiles(), t.GetTotalFiles());
  }
  NodeRef linkA = contenttest::Find("catalog://One.catqz/a.txt");
  NodeRef linkB = contenttest::Find("catalog://One.catqz/b.txt");
  ASSERT_TRUE(linkA && linkB);
  EXPECT_EQ(orxtest::ReadFile(files + String("a.txt")), "a");
  ItemProgressThread m(ITEMOP_MOVE, {linkA, linkB}, two);
  EXPECT_EQ(RunHere(m), ITEMSTATUS_FAILED);
  EXPECT_TRUE(contenttest::Find("catalog://One.catqz/a.txt"));
  EXPECT_TRUE(contenttest::Find("catalog://One.catqz/b.txt"));
  EXPECT_FALSE(contenttest::Find("catalog://Two.catqz/a.txt"));
  fs::remove_all(P(files), ec);
}

} // namespace
