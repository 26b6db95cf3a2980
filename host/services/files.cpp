// Plain files on POSIX, with fault injection for tests of crash and I/O-error paths.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "internal.h"
#include "orx/filename.h"
#include "services/host.h"

namespace {
std::atomic<int> g_countdown[8];

struct FileHandle
{
  int fd;
  bool failed; // a write failed: close reports it
};

// Kernel views: their entries look like regular files, but a read may wait for an event or never
// end, and what they hold is not content.
bool IsKernelView(const struct statfs& fs)
{
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case EFIVARFS_MAGIC:
    case PSTOREFS_MAGIC: return true;
    default: return false;
  }
}

void* Open(const Filename* name, Int32 mode)
{
  if (orxhost::detail::ShouldFail(orxhost::detail::Op::Open))
    return nullptr;
  int access = mode == 0 ? O_RDONLY : mode == 1 ? (O_WRONLY | O_CREAT) : O_RDWR;
  int fd = orxhost::detail::OpenRegularFile(orxhost::detail::SystemPath(name), access);
  if (fd < 0)
    return nullptr;
  // A file without write permission bits is not opened for writing, also for the superuser: the
  // host's read-only attribute binds every user, and tests of read-only libraries run as root.
  struct stat st;
  if (mode != 0 && (::fstat(fd, &st) != 0 || (st.st_mode & 0222) == 0)) {
    ::close(fd);
    errno = EACCES;
    return nullptr;
  }
  // Emptied only now that it is known to be a regular file; a file just made is empty already (a
  // truncation would change its inode once more for nothing).
  if (mode == 1 && st.st_size != 0 && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return nullptr;
  }
  return new FileHandle{fd, false};
}

Bool Close(void* h)
{
  auto* f = static_cast<FileHandle*>(h);
  bool ok = !f->failed && ::close(f->fd) == 0;
  if (f->failed)
    ::close(f->fd);
  delete f;
  return ok;
}

// Reads until size bytes or the end; offset < 0 reads at the file position, else at offset.
Int64 ReadLoop(void* h, Int64 offset, void* data, Int64 size)
{
  if (orxhost::detail::ShouldFail(orxhost::detail::Op::Read))
    return -1;
  auto* f = static_cast<FileHandle*>(h);
  Int64 done = 0;
  while (done < size) {
    char* to = static_cast<char*>(data) + done;
    const std::size_t want = std::size_t(size - done);
    ssize_t n = offset < 0 ? ::read(f->fd, to, want) : ::pread(f->fd, to, want, off_t(offset + done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return done > 0 ? done : -1;
    if (n == 0)
      break;
    done += n;
  }
  return done;
}

Int64 Read(void* h, void* data, Int64 size) { return ReadLoop(h, -1, data, size); }
Int64 ReadAt(void* h, Int64 offset, void* data, Int64 size) { return offset < 0 ? -1 : ReadLoop(h, offset, data, size); }

Bool Write(void* h, const void* data, Int64 size)
{
  auto* f = static_cast<FileHandle*>(h);
  if (orxhost::detail::ShouldFail(orxhost::detail::Op::Write)) {
    f->failed = true;
    return false;
  }
  Int64 done = 0;
  while (done < size) {
    ssize_t n = ::write(f->fd, static_cast<const char*>(data) + done, std::size_t(size - done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      f->failed = true;
      return false;
    }
    done += n;
  }
  return true;
}

Bool Seek(void* h, Int64 pos, Int32 mode)
{
  auto* f = static_cast<FileHandle*>(h);
  int whence = mode == 0 ? SEEK_SET : mode == 1 ? SEEK_CUR : SEEK_END;
  return ::lseek(f->fd, off_t(pos), whence) >= 0;
}

Int64 Tell(void* h) { return Int64(::lseek(static_cast<FileHandle*>(h)->fd, 0, SEEK_CUR)); }

Int64 Length(void* h)
{
  struct stat st;
  if (::fstat(static_cast<FileHandle*>(h)->fd, &st) != 0)
    return -1;
  return Int64(st.st_size);
}

Bool Sync(void* h)
{
  if (orxhost::detail::ShouldFail(orxhost::detail::Op::Flush))
    return false;
  return ::fsync(static_cast<FileHandle*>(h)->fd) == 0;
}
} // namespace

namespace orxhost {
namespace detail {
std::string SystemPath(const Filename* name)
{
  std::string bytes;
  return name && name->ToSystemBytes(&bytes) ? bytes : std::string();
}

String SystemText(const std::string& bytes) { return String::FromBytes(bytes, StringEncoding::System); }

// Only regular files are opened (symbolic links to them are followed, as a Linux program opening
// a path does). A pipe, socket or device could make the caller wait forever, so the open itself is
// non-blocking (a pipe without a writer would block in open) and the kind is checked on the open
// descriptor, which no rename can swap behind our back.
int OpenRegularFile(const std::string& path, int access)
{
  int fd = ::open(path.c_str(), access | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  if (fd < 0)
    return -1;
  struct stat st;
  struct statfs fs;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fstatfs(fd, &fs) != 0 || IsKernelView(fs)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

const OrxFileTable kFileTable = {1, sizeof(OrxFileTable), Open, Close, Read, Write, Seek, Tell, Length, Sync, ReadAt};

bool ShouldFail(Op op)
{
  std::atomic<int>& c = g_countdown[int(op)];
  int v = c.load();
  while (v > 0 && !c.compare_exchange_weak(v, v - 1)) {
  }
  return v == 1;
}
} // namespace detail

void FailNth(FileOp op, int n) { g_countdown[int(op)].store(n); }
void FailNthThreadStart(int n) { g_countdown[int(detail::Op::ThreadStart)].store(n); }
void ClearFaults()
{
  for (auto& c : g_countdown)
    c.store(0);
}
} // namespace orxhost
