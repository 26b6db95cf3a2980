// A share whose reads block: the thread that lists it waits on a host worker without holding the
// share's content lock, so other threads read, find and list around it; once the share answers the
// waiting listing merges what it read.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "contenttest.h"
#include "nodes/networknode.h"
#include "watchdog.h"

using namespace contenttest;
namespace fs = std::filesystem;

namespace {

constexpr Int32 kGenerous = 120000; // ms

class NetworkThreads : public ContentTest
{
protected:
  void SetUp() override
  {
    base_ = orxtest::HomeDir().ToUtf8() + "/network";
    std::error_code ec;
    fs::remove_all(base_, ec);
    ContentTest::SetUp();
    NetworkNode::SetTimeLimit(kGenerous);
  }
  void TearDown() override
  {
    orxhost::ReleaseListings();
    EXPECT_TRUE(orxhost::WaitNetworkJobs(kGenerous));
    NetworkNode::SetTimeLimit(NETWORK_TIME_LIMIT_MS);
    std::error_code ec;
    fs::remove_all(base_, ec);
    ContentTest::TearDown();
  }
  std::string base_;
};

TEST_F(NetworkThreads, ListingWaitsWithoutTheContentLock)
{
  const std::string slow = base_ + "/srv/slow";
  fs::create_directories(slow);
  fs::create_directories(base_ + "/srv/fine");
  ASSERT_TRUE(orxtest::WriteFile(Filename(String((slow + "/file").c_str())), "x"));
  Start();
  NodeRef share = Find("network://srv/slow");
  ASSERT_TRUE(share);

  orxhost::HoldListings(slow);
  std::atomic<bool> listed{false};
  std::thread lister([&] {
    share->LoadChildren();
    listed = true;
  });
  // While the lister waits for the share, its content lock is free every time it is tried, and the
  // tree around it answers.
  bool lockFree = true;
  ASSERT_TRUE(orxtest::FinishesWithin(
      [&] {
        for (int i = 0; i < 50 && !listed; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          if (!share->ContentLock().try_lock()) {
            lockFree = false;
            break;
          }
          share->ContentLock().unlock();
          EXPECT_EQ(Find("network://srv/fine")->GetNodeType(), NODETYPE_NETWORK);
          EXPECT_EQ(ChildNames(Find("network://srv")).size(), 2u);
        }
      },
      std::chrono::seconds(60), [] { orxhost::ReleaseListings(); }));
  EXPECT_TRUE(lockFree) << "the content lock was held while the share was read";
  EXPECT_FALSE(listed) << "the listing ended while its share was held";
  orxhost::ReleaseListings();
  lister.join();
  EXPECT_EQ(ChildNames(share), std::vector<std::string>{"file"});
}

// Several threads list the same share that does not answer: each gives up after the time limit,
// and the share keeps its children until it answers again.
TEST_F(NetworkThreads, ManyCallersOfADeadShare)
{
  const std::string slow = base_ + "/srv/slow";
  fs::create_directories(slow);
  ASSERT_TRUE(orxtest::WriteFile(Filename(String((slow + "/file").c_str())), "x"));
  Start();
  NodeRef share = Find("network://srv/slow");
  ASSERT_TRUE(share);
  ASSERT_EQ(ChildNames(share).size(), 1u);
  ASSERT_TRUE(orxtest::WriteFile(Filename(String((slow + "/more").c_str())), "y"));
  orxhost::HoldListings(slow);
  NetworkNode::SetTimeLimit(100);
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i)
    callers.emplace_back([&] {
      for (int j = 0; j < 5; ++j)
        EXPECT_EQ(ChildNames(share).size(), 1u);
    });
  for (std::thread& t : callers)
    t.join();
  EXPECT_FALSE(dynamic_cast<NetworkNode*>(share.Get())->Answered());
  orxhost::ReleaseListings();
  NetworkNode::SetTimeLimit(kGenerous);
  EXPECT_EQ(ChildNames(share).size(), 2u);
}

} // namespace
