// One thread lists and relists a folder while another renames, creates and deletes entries in it.
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "contenttest.h"
#include "nodes/directorynode.h"

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

} // namespace
