// Documents and the system's programs: what the host is asked to load, merge and open. Scene
// documents have no reader yet: the host records each request, and a load answers no document.
// Under ORXHOST_HOME (every test and scripted run) nothing is started; the call is only recorded.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "orx/media.h"
#include "services/host.h"

extern char** environ;

namespace {
std::mutex g_lock;
std::vector<orxhost::HostRequest> g_requests;

void Record(const char* kind, const std::string& path, Int32 value, bool done = true)
{
  std::lock_guard g(g_lock);
  g_requests.push_back(orxhost::HostRequest{kind, path, value, done});
}

std::string PathText(const Filename* name) { return name ? name->ToUtf8() : std::string(); }

// An absolute path of an existing file or folder; "" otherwise.
std::string ExistingPath(const Filename* name, struct stat* st)
{
  const std::string path = name ? orxhost::detail::SystemPath(name) : std::string();
  if (path.empty() || path[0] != '/' || ::stat(path.c_str(), st) != 0)
    return std::string();
  return path;
}

Bool LoadFile(const Filename* name)
{
  struct stat st;
  const std::string path = ExistingPath(name, &st);
  if (path.empty() || !S_ISREG(st.st_mode)) {
    Record("load", PathText(name), 0, false);
    return false;
  }
  Record("load", path, 0);
  return true;
}

Bool MergeFile(const Filename* name, Int32 filter)
{
  struct stat st;
  const std::string path = ExistingPath(name, &st);
  if (path.empty() || !S_ISREG(st.st_mode)) {
    Record("merge", PathText(name), filter, false);
    return false;
  }
  Record("merge", path, filter);
  return true;
}

bool EndsWithDesktop(const std::string& path)
{
  constexpr char kSuffix[] = ".desktop";
  const std::size_t n = sizeof kSuffix - 1;
  if (path.size() < n)
    return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) != kSuffix[i])
      return false;
  return true;
}

Bool OpenWithSystem(const Filename* name)
{
  struct stat st;
  const std::string path = ExistingPath(name, &st);
  // The system's program for an executable or a launcher file would run it.
  if (path.empty() || EndsWithDesktop(path) || (S_ISREG(st.st_mode) && (st.st_mode & 0111)) ||
      (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
    Record("open", PathText(name), 0, false);
    return false;
  }
  if (std::getenv("ORXHOST_HOME")) {
    Record("open", path, 0);
    return true;
  }
  // The path is one argument and no shell sees it; an absolute path never reads as an option.
  char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) {
    Record("open", path, 0, false);
    return false;
  }
  Record("open", path, 0);
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

void* LoadScene(const Filename* name, Int32 flags, Int64 maxBytes, Int32 maxMillis)
{
  const std::string path = name ? orxhost::detail::SystemPath(name) : std::string();
  if (path.empty()) {
    Record("scene", PathText(name), flags, false);
    return nullptr;
  }
  const int fd = orxhost::detail::OpenRegularFile(path, O_RDONLY);
  struct stat st;
  const bool fits = fd >= 0 && ::fstat(fd, &st) == 0 && (maxBytes <= 0 || st.st_size <= maxBytes);
  if (fd >= 0)
    ::close(fd);
  Record("scene", path, flags, fits);
  if (!fits)
    return nullptr;
  (void)maxMillis;
  return nullptr;
}

void FreeScene(void*) {}
} // namespace

namespace orxhost {
std::vector<HostRequest> HostRequests()
{
  std::lock_guard g(g_lock);
  return g_requests;
}
void ClearHostRequests()
{
  std::lock_guard g(g_lock);
  g_requests.clear();
}
} // namespace orxhost

namespace orxhost::detail {
const OrxDocumentTable kDocumentTable = {1, sizeof(OrxDocumentTable), LoadFile, MergeFile, OpenWithSystem, LoadScene,
                                         FreeScene};
} // namespace orxhost::detail
