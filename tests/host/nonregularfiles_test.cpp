// Files that are not regular files (pipes, sockets, devices, kernel views) must never make a
// reader wait: the host refuses them at open, without blocking.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "orxtest.h"
#include "watchdog.h"

namespace {

// Releases a reader blocked in the open of a pipe: a writer comes and goes.
void ReleasePipe(const std::string& path)
{
  int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0)
    ::close(fd);
}

struct Special
{
  std::string what;
  Filename path;
};

std::vector<Special> SpecialFiles(int* socketFd)
{
  Filename dir = orxtest::TempDir();
  Filename fifo = dir + String("pipe.libqz");
  EXPECT_EQ(::mkfifo(fifo.ToUtf8().c_str(), 0644), 0);
  Filename sock = dir + String("socket.libqz");
  *socketFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, sock.ToUtf8().c_str(), sizeof addr.sun_path - 1);
  EXPECT_EQ(::bind(*socketFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(::listen(*socketFd, 1), 0);
  return {{"fifo", fifo},
          {"socket", sock},
          {"character device", Filename("/dev/zero")},
          {"kernel view", Filename("/proc/self/status")}};
}

} // namespace

TEST(HostSpecialFiles, OpenRefusesWhatIsNotARegularFileWithoutWaiting)
{
  int sock = -1;
  for (const Special& s : SpecialFiles(&sock)) {
    for (FileMode mode : {FileMode::Read, FileMode::ReadWrite, FileMode::Write}) {
      bool opened = true;
      const std::string path = s.path.ToUtf8();
      EXPECT_TRUE(orxtest::FinishesWithin(
          [&] {
            BaseFile f;
            opened = f.Open(s.path, mode);
          },
          std::chrono::seconds(30), [&] { ReleasePipe(path); }))
          << s.what << " mode " << int(mode);
      EXPECT_FALSE(opened) << s.what << " mode " << int(mode);
    }
    // A copy reads its source and writes its target through the same kind of open. (An endless
    // device is left out: were it copied, it would fill the disk until the watchdog gives up.)
    if (s.what == "character device")
      continue;
    Filename regular = orxtest::TempDir() + String("regular.bin");
    ASSERT_TRUE(orxtest::WriteFile(regular, "data"));
    bool copied = true;
    EXPECT_TRUE(orxtest::FinishesWithin([&] { copied = GeCopyFile(s.path, regular, true); },
                                        std::chrono::seconds(30), [&] { ReleasePipe(s.path.ToUtf8()); }))
        << s.what;
    EXPECT_FALSE(copied) << s.what;
    EXPECT_EQ(orxtest::ReadFile(regular), "data") << s.what;
  }
  ::close(sock);
}

TEST(HostSpecialFiles, RegularFilesStillOpenAlsoThroughLinksAndReadAsBefore)
{
  Filename dir = orxtest::TempDir();
  Filename f = dir + String("plain.bin");
  ASSERT_TRUE(orxtest::WriteFile(f, "abc"));
  Filename link = dir + String("link.bin");
  ASSERT_EQ(::symlink(f.ToUtf8().c_str(), link.ToUtf8().c_str()), 0);
  BaseFile r;
  ASSERT_TRUE(r.Open(link, FileMode::Read));
  char buf[8];
  EXPECT_EQ(r.ReadBytes(buf, 8), 3) << "reads block again after the open";
  EXPECT_TRUE(r.Close());
  BaseFile w;
  ASSERT_TRUE(w.Open(f, FileMode::Write));
  EXPECT_EQ(w.GetLength(), 0) << "a write open still empties the file";
  EXPECT_TRUE(w.WriteBytes("xy", 2));
  EXPECT_TRUE(w.Close());
  EXPECT_EQ(orxtest::ReadFile(f), "xy");
}

TEST(HostSpecialFiles, ListingMarksEntriesThatAreNotRegularFiles)
{
  Filename dir = orxtest::TempDir();
  ASSERT_EQ(::mkfifo((dir + String("p")).ToUtf8().c_str(), 0644), 0);
  ASSERT_TRUE(orxtest::WriteFile(dir + String("f"), "x"));
  BrowseFiles b;
  ASSERT_TRUE(b.Init(dir));
  int seen = 0;
  while (b.GetNext()) {
    ++seen;
    const bool pipe = b.Entry().name == String("p");
    EXPECT_EQ(b.Entry().IsSpecial(), pipe) << b.Entry().name.ToUtf8();
    EXPECT_FALSE(b.Entry().IsFolder());
  }
  EXPECT_EQ(seen, 2);
}
