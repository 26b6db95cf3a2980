// The host's volume list from a mount table, and what its folder listing tells about each entry.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "orx/files.h"
#include "orxtest.h"
#include "services/internal.h"

namespace {

struct Shown
{
  std::string label;
  UInt32 flags;
};

std::map<std::string, Shown> ByPath(const std::vector<VolumeEntry>& list)
{
  std::map<std::string, Shown> out;
  for (const VolumeEntry& v : list)
    out[v.path.ToUtf8()] = {v.name.ToUtf8(), v.flags};
  return out;
}

TEST(HostVolumes, DrivesFromTheMountTableAndPseudoFileSystemsLeftOut)
{
  const std::string table = "overlay / overlay rw 0 0\n"
                            "proc /proc proc rw 0 0\n"
                            "sysfs /sys sysfs rw 0 0\n"
                            "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
                            "tmpfs /run tmpfs rw 0 0\n"
                            "tmpfs /run/user/1000 tmpfs rw 0 0\n"
                            "/dev/sda1 /boot/efi vfat rw 0 0\n"
                            "/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n"
                            "/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n"
                            "/dev/sdc1 /run/media/me/DISK ext4 rw 0 0\n"
                            "server:/export /mnt/share nfs4 rw 0 0\n"
                            "/dev/sdd1 /data ext4 rw 0 0\n"
                            "/dev/sde1 /mnt/a\\000b ext4 rw 0 0\n"
                            "garbage\n";
  const auto list = orxhost::detail::VolumesFromMountTable(table, "/home/me", {{"/dev/sdb1", "MY STICK"}});
  ASSERT_GE(list.size(), 2u);
  EXPECT_EQ(list[0].path.ToUtf8(), "/") << "the top first";
  EXPECT_EQ(list[1].path.ToUtf8(), "/home/me") << "then the home folder";
  auto v = ByPath(list);
  EXPECT_EQ(v.size(), list.size()) << "a mount point listed twice is one volume";
  for (const char* shown : {"/", "/home/me", "/media/usb stick", "/run/media/me/DISK", "/mnt/share", "/data"}) {
    ASSERT_TRUE(v.count(shown)) << shown;
    EXPECT_EQ(v[shown].flags, 0u) << shown;
  }
  EXPECT_EQ(v["/media/usb stick"].label, "MY STICK");
  EXPECT_TRUE(v.count("/mnt/a\\000b")) << "no NUL is made from an escape";
  for (const char* hidden : {"/proc", "/sys", "/sys/fs/cgroup", "/run", "/run/user/1000", "/boot/efi"}) {
    ASSERT_TRUE(v.count(hidden)) << hidden;
    EXPECT_EQ(v[hidden].flags, VOLUMEFLAG_HIDDEN) << hidden;
  }
}

TEST(HostListing, ReportsLinksTimesAndErrors)
{
  const Filename dir = orxtest::TempDir();
  const std::string d = dir.ToUtf8();
  ASSERT_TRUE(orxtest::WriteFile(dir + String("f"), "abc"));
  std::filesystem::create_directory_symlink(".", d + "/self");
  std::map<std::string, FolderEntry> seen;
  {
    BrowseFiles b;
    ASSERT_TRUE(b.Init(dir));
    while (b.GetNext())
      seen[b.Entry().name.ToUtf8()] = b.Entry();
    EXPECT_EQ(b.Error(), 0) << "a complete listing";
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen["self"].attributes & (FILEATTR_LINK | FILEATTR_FOLDER), FILEATTR_LINK | FILEATTR_FOLDER);
  EXPECT_EQ(seen["f"].size, 3);
  struct stat st;
  ASSERT_EQ(::stat((d + "/f").c_str(), &st), 0);
  EXPECT_EQ(seen["f"].modifiedNs, Int64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);

  FileStatus fs;
  ASSERT_TRUE(GeGetFileStatus(dir + String("self"), &fs));
  EXPECT_TRUE(fs.attributes & FILEATTR_LINK) << "the link itself, not followed";
  EXPECT_EQ(fs.inode, UInt64(0) + [&] {
    struct stat l;
    ::lstat((d + "/self").c_str(), &l);
    return l.st_ino;
  }());
  EXPECT_FALSE(GeGetFileStatus(dir + String("missing"), &fs));

  // A listing cut short says so.
  orxhost::FailNth(orxhost::FileOp::List, 1);
  BrowseFiles cut;
  ASSERT_TRUE(cut.Init(dir));
  EXPECT_FALSE(cut.GetNext());
  EXPECT_NE(cut.Error(), 0);
  orxhost::ClearFaults();
  BrowseFiles none;
  EXPECT_FALSE(none.Init(dir + String("missing")));
  EXPECT_NE(none.Error(), 0) << "a folder that cannot be opened";
}

} // namespace
