// Plain files on POSIX, with fault injection for tests of crash and I/O-error paths.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "internal.h"
#include "orx/filename.h"
#include "services/host.h"

namespace {
std::atomic<int> g_countdown[6];

struct FileHandle
{
  int fd;
  bool failed; // a write failed: close reports it
};

void* Open(const Filename* name, Int32 mode)
{
  if (orxhost::detail::ShouldFail(orxhost::detail::Op::Open))
    return nullptr;
  std::string path = name->ToUtf8();
  // A file without write permission bits is not opened for writing, also for the superuser: the
  // host's read-only attribute binds every user, and tests of read-only libraries run as root.
  struct stat pre;
  if (mode != 0 && ::stat(path.c_str(), &pre) == 0 && (pre.st_mode & 0222) == 0) {
    errno = EACCES;
    return nullptr;
  }
  int flags = mode == 0 ? O_RDONLY : mode == 1 ? (O_WRONLY | O_CREAT | O_TRUNC) : O_RDWR;
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0)
    return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
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
void ClearFaults()
{
  for (auto& c : g_countdown)
    c.store(0);
}
} // namespace orxhost
