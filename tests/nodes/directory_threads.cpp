// One thread lists and relists a folder while another renames, creates and deletes entries in it.
#include <atomic>
#include <chrono>
#include <functional>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "contenttest.h"
#include "nodes/directorynode.h"
#include "watchdog.h"

using namespace contenttest;
namespace fs = std::filesystem;

namespace {

class DirectoryThreads : public ContentTest
{
protected:
  void SetUp() override
  {
    root_ = orxtest::TempDir().ToUtf8();
    ContentTest::SetUp();
  }
  std::string root_;
};

std::set<std::string> OnDisk(const std::string& dir)
{
  std::set<std::string> out;
  for (const fs::directory_entry& e : fs::directory_iterator(dir))
    if (e.path().filename().string()[0] != '.')
      out.insert(e.path().filename().string());
  return out;
}

TEST_F(DirectoryThreads, ListingWhileEntriesComeAndGo)
{
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(orxtest::WriteFile(Filename(String((root_ + "/base" + std::to_string(i)).c_str())), "b"));
  Ref<DirectoryNode> dir = DirectoryNode::MakeForPath(Filename(String(root_.c_str())));
  ASSERT_TRUE(dir);

  std::atomic<bool> stop{false};
  std::atomic<int> lists{0};
  std::thread lister([&] {
    while (!stop.load()) {
      for (NodeRef c = dir->GetDownNode(); c; c = c->GetNextNode()) {
        Int64 size = 0;
        c->GetInfo(&size);
        BrowserURL u;
        c->GetURL(&u, 0);
        (void)c->GetName();
      }
      lists.fetch_add(1);
    }
  });
  std::thread changer([&] {
    for (int i = 0; i < 300; ++i) {
      const std::string a = root_ + "/new" + std::to_string(i);
      const std::string b = root_ + "/moved" + std::to_string(i);
      orxtest::WriteFile(Filename(String(a.c_str())), std::string(std::size_t(i), 'x'));
      std::error_code ec;
      fs::rename(a, b, ec);
      if (i % 2)
        fs::remove(root_ + "/moved" + std::to_string(i - 1), ec);
      if (i % 10 == 0)
        fs::create_directory(root_ + "/dir" + std::to_string(i), ec);
      if (i % 10 == 5)
        fs::remove(root_ + "/dir" + std::to_string(i - 5), ec);
    }
    // The lister keeps going a little after the last change.
    while (lists.load() < 50)
      std::this_thread::yield();
    stop.store(true);
  });
  changer.join();
  lister.join();

  // What the node shows now is what is on disk, and nothing left in the tree is marked deleted.
  std::set<std::string> shown;
  for (NodeRef c = dir->GetDownNode(); c; c = c->GetNextNode()) {
    EXPECT_FALSE(c->GetInfo(nullptr) & (NODESTATUS_DELETED | NODESTATUS_NOT_SEEN));
    EXPECT_TRUE(shown.insert(c->GetName().ToUtf8()).second) << "shown twice: " << c->GetName().ToUtf8();
  }
  EXPECT_EQ(shown, OnDisk(root_));
  dir->Remove();
}

// Edits through the nodes while the folder is listed: renames, new folders and deletes take the
// folder's and the entry's content locks while the lister merges under the folder's.
TEST_F(DirectoryThreads, NodeEditsWhileListing)
{
  Ref<DirectoryNode> dir = DirectoryNode::MakeForPath(Filename(String(root_.c_str())));
  ASSERT_TRUE(dir);
  std::atomic<bool> stop{false};
  std::thread lister([&] {
    while (!stop.load())
      for (NodeRef c = dir->GetDownNode(); c; c = c->GetNextNode())
        (void)c->GetName();
  });
  int made = 0;
  for (int i = 0; i < 200; ++i) {
    NodeRef folder;
    const String name(("f" + std::to_string(i)).c_str());
    if (dir->NewFolder(EDITPHASE_DO, name, &folder) != EDIT_OK)
      continue;
    ++made;
    const String renamed(("r" + std::to_string(i)).c_str());
    EXPECT_EQ(folder->Rename(EDITPHASE_DO, renamed), EDIT_OK);
    if (i % 2 == 0) {
      EXPECT_EQ(folder->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
    }
  }
  stop.store(true);
  lister.join();
  EXPECT_EQ(made, 200);
  std::set<std::string> shown;
  for (NodeRef c = dir->GetDownNode(); c; c = c->GetNextNode())
    EXPECT_TRUE(shown.insert(c->GetName().ToUtf8()).second) << c->GetName().ToUtf8();
  EXPECT_EQ(shown, OnDisk(root_));
  EXPECT_EQ(shown.size(), 100u);
  dir->Remove();
}

// Moves between two folders in both directions and deletes in both, from two threads: the content
// locks of two nodes are always taken in one order, so neither waits on the other for ever.
TEST_F(DirectoryThreads, MovesAndDeletesInOppositeDirectionsNeverDeadlock)
{
  Ref<DirectoryNode> dir = DirectoryNode::MakeForPath(Filename(String(root_.c_str())));
  ASSERT_TRUE(dir);
  NodeRef a, b;
  ASSERT_EQ(dir->NewFolder(EDITPHASE_DO, String("a"), &a), EDIT_OK);
  ASSERT_EQ(dir->NewFolder(EDITPHASE_DO, String("b"), &b), EDIT_OK);
  auto worker = [&](NodeRef from, NodeRef to, const std::string& tag) {
    NodeRef x;
    if (from->NewFolder(EDITPHASE_DO, String(tag.c_str()), &x) != EDIT_OK)
      return;
    NodeRef y;
    x->NewFolder(EDITPHASE_DO, String("inner"), &y);
    for (int i = 0; i < 2000; ++i) {
      EXPECT_EQ(to->MoveHere(x, EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
      EXPECT_EQ(from->MoveHere(x, EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
      if (i % 100 == 0 && y) {
        y->Delete(EDITPHASE_DO, nullptr, nullptr);
        y = nullptr;
        x->NewFolder(EDITPHASE_DO, String("inner"), &y);
      }
    }
    EXPECT_EQ(x->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  };
  EXPECT_TRUE(orxtest::FinishesWithin([&] {
    std::thread t1(worker, a, b, "x");
    std::thread t2(worker, b, a, "y");
    t1.join();
    t2.join();
  }, std::chrono::seconds(120)));
  EXPECT_TRUE(fs::is_empty(root_ + "/a"));
  EXPECT_TRUE(fs::is_empty(root_ + "/b"));
  dir->Remove();
}

// Two edits that need the same two folders take their locks in one order, whichever folder each
// starts from: while the second lock is held elsewhere, a move must already hold the first one
// (the lower address), not wait for the second while holding nothing (or the other one).
TEST_F(DirectoryThreads, AMoveTakesTheTwoFolderLocksInOneOrder)
{
  Ref<DirectoryNode> dir = DirectoryNode::MakeForPath(Filename(String(root_.c_str())));
  ASSERT_TRUE(dir);
  NodeRef a, b, x;
  ASSERT_EQ(dir->NewFolder(EDITPHASE_DO, String("a"), &a), EDIT_OK);
  ASSERT_EQ(dir->NewFolder(EDITPHASE_DO, String("b"), &b), EDIT_OK);
  ASSERT_EQ(a->NewFolder(EDITPHASE_DO, String("x"), &x), EDIT_OK);
  const bool aLow = std::less<SpinLock*>()(&a->ContentLock(), &b->ContentLock());
  SpinLock& low = aLow ? a->ContentLock() : b->ContentLock();
  SpinLock& high = aLow ? b->ContentLock() : a->ContentLock();

  for (NodeRef target : {b, a}) {
    high.lock();
    std::atomic<Int32> result{1};
    std::thread mover([&] { result = target->MoveHere(x, EDITPHASE_DO, nullptr, nullptr); });
    bool lowHeld = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!lowHeld && std::chrono::steady_clock::now() < until) {
      if (low.try_lock())
        low.unlock();
      else
        lowHeld = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    high.unlock();
    mover.join();
    EXPECT_TRUE(lowHeld) << "the move into " << target->GetName().ToUtf8() << " waited for the wrong lock first";
    EXPECT_EQ(result.load(), EDIT_OK);
  }
  EXPECT_TRUE(fs::is_directory(root_ + "/a/x"));
  dir->Remove();
}

} // namespace

namespace {

// A listing that hangs on the disk (a dead network mount) holds no lock of the node: another
// thread still names it, asks its status and takes its content lock.
struct Held
{
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
};

TEST_F(DirectoryThreads, ASlowListingHoldsNoLock)
{
  ASSERT_TRUE(orxtest::WriteFile(Filename(String((root_ + "/f").c_str())), "f"));
  Ref<DirectoryNode> dir = DirectoryNode::MakeForPath(Filename(String(root_.c_str())));
  ASSERT_TRUE(dir);
  Held held;
  orxhost::SetListingHook(
      [](void* d) {
        auto* h = static_cast<Held*>(d);
        h->entered.store(true);
        while (!h->release.load())
          std::this_thread::yield();
      },
      &held);
  std::thread lister([&] { (void)dir->GetDownNode(); });
  while (!held.entered.load())
    std::this_thread::yield();
  bool free = orxtest::FinishesWithin([&] {
    (void)dir->GetName();
    (void)dir->GetInfo(nullptr);
    std::lock_guard l(dir->ContentLock());
  }, std::chrono::seconds(20));
  held.release.store(true);
  lister.join();
  orxhost::SetListingHook(nullptr, nullptr);
  EXPECT_TRUE(free) << "the content lock was held while the disk was read";
  EXPECT_TRUE(dir->GetFirstChild()) << "the listing still completes";
  dir->Remove();
}

} // namespace
