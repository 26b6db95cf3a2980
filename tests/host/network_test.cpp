// The host's network places: servers and shares from the mount table and the GVfs mount names, the
// fixtures under ORXHOST_HOME, and reads of shares on host workers that a caller waits for only
// as long as it likes.
#include <filesystem>
#include <map>
#include <string>

#include "orx/network.h"
#include "orxtest.h"
#include "services/internal.h"

namespace fs = std::filesystem;

namespace {

struct Place
{
  std::string server, share, kind;
};

std::map<std::string, Place> ByPath(const std::vector<NetworkPlace>& list)
{
  std::map<std::string, Place> out;
  for (const NetworkPlace& p : list) {
    EXPECT_EQ(p.shareKey, p.path.GetString());
    EXPECT_EQ(p.serverKey, String(p.server.ToUtf8().c_str()).ToLower());
    EXPECT_TRUE(out.emplace(p.path.ToUtf8(), Place{p.server.ToUtf8(), p.share.ToUtf8(), p.kind.ToUtf8()}).second)
        << p.path.ToUtf8() << " is listed twice";
  }
  return out;
}

TEST(HostNetwork, PlacesFromTheMountTable)
{
  const std::string table = "/dev/sda1 / ext4 rw 0 0\n"
                            "proc /proc proc rw 0 0\n"
                            "fs1:/export/media /mnt/media nfs4 rw 0 0\n"
                            "//FS1/Projects /mnt/projects cifs rw 0 0\n"
                            "bob@fs2.example:/data /home/bob/fs2 fuse.sshfs rw 0 0\n"
                            "[fe80::1]:/srv /mnt/v6 nfs rw 0 0\n"
                            "fs3:/ /mnt/fs3\\040root nfs rw 0 0\n"
                            "old:/x /mnt/twice nfs rw 0 0\n"
                            "new:/y /mnt/twice nfs rw 0 0\n"
                            "https://dav.example/remote/files /mnt/dav davfs rw 0 0\n"
                            "portal /run/user/1000/doc fuse.portal rw 0 0\n"
                            "gvfsd-fuse /run/user/1000/gvfs fuse.gvfsd-fuse rw 0 0\n"
                            "torn line\n"
                            "fs4:/half";
  const auto places = ByPath(orxhost::detail::PlacesFromMounts(
      orxhost::detail::ParseMountTable(table), "/run/user/1000/gvfs",
      {"smb-share:server=fs5,share=team%20files", "sftp:host=fs6,user=me", "nonsense", "dav:ssl=true",
       std::string("cut\0:server=fs7", 16), "sftp:host=fs6,user=me"}));
  std::map<std::string, Place> want = {
      {"/mnt/media", {"fs1", "export/media", "nfs4"}},
      {"/mnt/projects", {"FS1", "Projects", "cifs"}},
      {"/home/bob/fs2", {"fs2.example", "data", "fuse.sshfs"}},
      {"/mnt/v6", {"fe80::1", "srv", "nfs"}},
      {"/mnt/fs3 root", {"fs3", "fs3 root", "nfs"}},
      {"/mnt/twice", {"new", "y", "nfs"}},
      {"/mnt/dav", {"dav.example", "remote/files", "davfs"}},
      {"/run/user/1000/gvfs/smb-share:server=fs5,share=team%20files", {"fs5", "team files", "gvfs"}},
      {"/run/user/1000/gvfs/sftp:host=fs6,user=me", {"fs6", "sftp", "gvfs"}},
  };
  ASSERT_EQ(places.size(), want.size());
  for (const auto& [path, p] : want) {
    ASSERT_TRUE(places.count(path)) << path;
    EXPECT_EQ(places.at(path).server, p.server) << path;
    EXPECT_EQ(places.at(path).share, p.share) << path;
    EXPECT_EQ(places.at(path).kind, p.kind) << path;
  }
}

class HostNetworkHome : public ::testing::Test
{
protected:
  void SetUp() override
  {
    base_ = orxtest::HomeDir().ToUtf8() + "/network";
    std::error_code ec;
    fs::remove_all(base_, ec);
    orxhost::ClearUnansweredNetworkFolders();
  }
  void TearDown() override
  {
    orxhost::ReleaseListings();
    EXPECT_TRUE(orxhost::WaitNetworkJobs(120000));
    std::error_code ec;
    fs::remove_all(base_, ec);
  }
  std::string base_;
};

TEST_F(HostNetworkHome, FixturesAreThePlacesAndTheStampFollowsThem)
{
  const UInt64 empty = GeNetworkPlacesStamp();
  fs::create_directories(base_ + "/srv/a");
  fs::create_directories(base_ + "/srv/b");
  const UInt64 two = GeNetworkPlacesStamp();
  EXPECT_NE(two, empty);
  EXPECT_EQ(GeNetworkPlacesStamp(), two) << "unchanged places, same stamp";
  BrowseNetworkPlaces browse;
  ASSERT_TRUE(browse.Init());
  std::map<std::string, Place> got;
  while (browse.GetNext())
    got[browse.Entry().path.ToUtf8()] = {browse.Entry().server.ToUtf8(), browse.Entry().share.ToUtf8(),
                                         browse.Entry().kind.ToUtf8()};
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[base_ + "/srv/a"].server, "srv");
  EXPECT_EQ(got[base_ + "/srv/b"].share, "b");
  fs::remove_all(base_ + "/srv/b");
  EXPECT_NE(GeNetworkPlacesStamp(), two);
  EXPECT_TRUE(GeIsNetworkPath(Filename(String((base_ + "/srv/a/file").c_str()))));
  EXPECT_FALSE(GeIsNetworkPath(Filename(String((base_ + "-not/srv").c_str()))));
  EXPECT_FALSE(GeIsNetworkPath(orxtest::HomeDir()));
}

TEST_F(HostNetworkHome, JobsReadAFolderAndAHeldOneIsWaitedForOnlyAsLongAsAsked)
{
  fs::create_directories(base_ + "/srv/a/sub");
  ASSERT_TRUE(orxtest::WriteFile(Filename(String((base_ + "/srv/a/f").c_str())), "12345"));
  const Filename share(String((base_ + "/srv/a").c_str()));
  {
    NetworkJob job;
    ASSERT_TRUE(job.Start(share, true));
    ASSERT_TRUE(job.Wait(120000));
    FileStatus st;
    ASSERT_TRUE(job.Status(&st));
    EXPECT_TRUE(st.attributes & FILEATTR_FOLDER);
    EXPECT_EQ(job.Count(), 2);
    EXPECT_EQ(job.Error(), 0);
  }
  {
    NetworkJob gone;
    ASSERT_TRUE(gone.Start(Filename(String((base_ + "/srv/none").c_str())), false));
    ASSERT_TRUE(gone.Wait(120000));
    FileStatus st;
    EXPECT_FALSE(gone.Status(&st)) << "a folder that is not there is not reached";
  }
  orxhost::HoldListings(share.ToUtf8());
  NetworkJob first, second;
  ASSERT_TRUE(first.Start(share, true));
  EXPECT_FALSE(first.Wait(50));
  EXPECT_EQ(first.Count(), 0);
  ASSERT_TRUE(second.Start(share, true)) << "a second caller joins the running read";
  EXPECT_FALSE(second.Wait(50));
  EXPECT_EQ(orxhost::UnansweredNetworkFolders(), (std::vector<std::string>{share.ToUtf8(), share.ToUtf8()}));
  EXPECT_FALSE(orxhost::WaitNetworkJobs(50));
  orxhost::ReleaseListings();
  ASSERT_TRUE(first.Wait(120000));
  ASSERT_TRUE(second.Wait(120000));
  EXPECT_EQ(first.Count(), 2);
  EXPECT_EQ(second.Count(), 2);
}

// A job dropped while its read still blocks is left to end on its own.
TEST_F(HostNetworkHome, DroppedJobEndsOnItsOwn)
{
  fs::create_directories(base_ + "/srv/a");
  orxhost::HoldListings(base_ + "/srv");
  {
    NetworkJob job;
    ASSERT_TRUE(job.Start(Filename(String((base_ + "/srv/a").c_str())), true));
    EXPECT_FALSE(job.Wait(10));
  }
  orxhost::ReleaseListings();
  EXPECT_TRUE(orxhost::WaitNetworkJobs(120000));
}

} // namespace
