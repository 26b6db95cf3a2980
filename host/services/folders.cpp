// Folders, volumes, special folders and the environment on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <climits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "internal.h"
#include "orx/files.h"
#include "services/host.h"

namespace {
using orxhost::detail::Op;
using orxhost::detail::ShouldFail;

std::string P(const Filename* f) { return orxhost::detail::SystemPath(f); }
using orxhost::detail::SystemText;

} // namespace

namespace orxhost::detail {
DateTime ToDateTime(const struct timespec& ts)
{
  std::tm tm{};
  time_t t = ts.tv_sec;
  localtime_r(&t, &tm);
  DateTime d;
  d.year = UInt16(tm.tm_year + 1900);
  d.month = UInt16(tm.tm_mon + 1);
  d.day = UInt16(tm.tm_mday);
  d.hour = UInt16(tm.tm_hour);
  d.minute = UInt16(tm.tm_min);
  d.second = UInt16(tm.tm_sec);
  return d;
}
} // namespace orxhost::detail

namespace {
using orxhost::detail::ToDateTime;

// Creation time where the file system keeps one, else the modification time.
struct timespec BirthTime(const std::string& path, const struct stat& st)
{
  struct statx sx;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
    return {sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec};
  return st.st_mtim;
}

Bool Exists(const Filename* name, Bool isFolder)
{
  struct stat st;
  if (::stat(P(name).c_str(), &st) != 0)
    return false;
  return isFolder ? S_ISDIR(st.st_mode) : true;
}

Int32 MakeFolder(const Filename* name, Bool withParents)
{
  std::string p = P(name);
  if (p.empty())
    return MAKEFOLDER_FAILED;
  if (withParents) {
    for (std::size_t i = 1; i < p.size(); ++i)
      if (p[i] == '/')
        ::mkdir(p.substr(0, i).c_str(), 0755);
  }
  if (::mkdir(p.c_str(), 0755) == 0)
    return MAKEFOLDER_CREATED;
  struct stat st;
  if (errno == EEXIST && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return MAKEFOLDER_EXISTED;
  return MAKEFOLDER_FAILED;
}

Bool CreateFolder(const Filename* name, Bool withParents) { return MakeFolder(name, withParents) != MAKEFOLDER_FAILED; }

Bool Rename(const Filename* from, const Filename* to)
{
  if (ShouldFail(Op::Rename))
    return false;
  return ::rename(P(from).c_str(), P(to).c_str()) == 0;
}

std::atomic<bool> g_noReplaceUnsupported{false};

// Where the file system has no no-replace rename: a file is linked under the new name (which
// fails when the name is taken) and the old name removed. A folder cannot be linked; it is renamed
// after a test, which leaves a short window in which another process could take the name.
bool RenameByLink(const std::string& from, const std::string& to)
{
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0)
    return false;
  if (S_ISDIR(st.st_mode)) {
    if (::lstat(to.c_str(), &st) == 0 || errno != ENOENT)
      return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
  }
  if (::link(from.c_str(), to.c_str()) != 0)
    return false;
  if (::unlink(from.c_str()) != 0) {
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

bool RenameNoReplacePath(const std::string& from, const std::string& to)
{
  if (!g_noReplaceUnsupported.load()) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
      return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
      return false;
  }
  return RenameByLink(from, to);
}

Bool RenameNoReplace(const Filename* from, const Filename* to)
{
  if (ShouldFail(Op::Rename))
    return false;
  return RenameNoReplacePath(P(from), P(to));
}

Bool Move(const Filename* from, const Filename* toFolder)
{
  if (ShouldFail(Op::Rename))
    return false;
  Filename target = *toFolder + from->GetFileString();
  return RenameNoReplacePath(P(from), P(&target));
}

// Both names existing and leading to one file: the same device and inode, so a different
// spelling, a symbolic link or a hard link is the same file.
Bool SameFile(const Filename* a, const Filename* b)
{
  struct stat sa, sb;
  return ::stat(P(a).c_str(), &sa) == 0 && ::stat(P(b).c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

Bool CopyFile(const Filename* from, const Filename* to, Bool overwrite)
{
  std::string src = P(from), dst = P(to);
  if (!overwrite && ::access(dst.c_str(), F_OK) == 0)
    return false;
  int in = orxhost::detail::OpenRegularFile(src, O_RDONLY);
  if (in < 0)
    return false;
  // Without overwrite, a target made meanwhile by someone else is not taken over.
  int out = orxhost::detail::OpenRegularFile(dst, O_WRONLY | O_CREAT | (overwrite ? 0 : O_EXCL));
  // A copy onto itself (however the target is named) would empty the source: checked on the two
  // open descriptors, before anything is truncated.
  struct stat si, so;
  if (out < 0 || ::fstat(in, &si) != 0 || ::fstat(out, &so) != 0 || (si.st_dev == so.st_dev && si.st_ino == so.st_ino) ||
      ::ftruncate(out, 0) != 0) {
    if (out >= 0)
      ::close(out);
    ::close(in);
    return false;
  }
  std::vector<char> buf(1 << 20);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (ShouldFail(Op::Write)) {
      ok = false;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf.data() + done, std::size_t(n - done));
      if (w < 0 && errno == EINTR)
        continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok)
      break;
  }
  ok = ::fsync(out) == 0 && ok;
  ::close(in);
  ok = ::close(out) == 0 && ok;
  return ok;
}

Bool HardLink(const Filename* from, const Filename* to) { return ::link(P(from).c_str(), P(to).c_str()) == 0; }

Bool Remove(const Filename* name)
{
  if (ShouldFail(Op::Delete))
    return false;
  std::string p = P(name);
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0)
    return false;
  return (S_ISDIR(st.st_mode) ? ::rmdir(p.c_str()) : ::unlink(p.c_str())) == 0;
}

Bool SyncFolder(const Filename* folder)
{
  if (ShouldFail(Op::Flush))
    return false;
  int fd = ::open(P(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// syncfs on the folder itself: the call reaches the file system the folder lies on, also when a
// file system is mounted below it.
Bool SyncFileSystem(const Filename* folder)
{
  if (ShouldFail(Op::Flush))
    return false;
  int fd = ::open(P(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool ok = ::syncfs(fd) == 0;
  ::close(fd);
  return ok;
}

Bool FileTime(const Filename* name, Int32 which, DateTime* out)
{
  std::string p = P(name);
  struct stat st;
  if (::stat(p.c_str(), &st) != 0)
    return false;
  *out = ToDateTime(which == 0 ? BirthTime(p, st) : st.st_mtim);
  return true;
}

Int64 FileSize(const Filename* name)
{
  struct stat st;
  if (::stat(P(name).c_str(), &st) != 0)
    return -1;
  return Int64(st.st_size);
}

// Who the process is, read once per listing: the identity calls are real system calls, and a
// listing of a big folder would otherwise make three of them per entry.
struct Identity
{
  uid_t uid = ::geteuid();
  gid_t gid = ::getegid();
  // Asked only when an entry's group is not the process's own, which is rare.
  mutable std::vector<gid_t> groups;
  mutable bool groupsRead = false;

  bool InGroup(gid_t g) const
  {
    if (g == gid)
      return true;
    if (!groupsRead) {
      groups.resize(256);
      const int n = ::getgroups(int(groups.size()), groups.data());
      groups.resize(n > 0 ? std::size_t(n) : 0);
      groupsRead = true;
    }
    return std::find(groups.begin(), groups.end(), g) != groups.end();
  }
};

// Who may write what. Permission bits as the system reads them (no ACLs); the superuser writes
// wherever any write bit is set, as the host's file service treats read-only files for everyone.
bool UserMayWrite(const struct statx& sx, bool readOnlyMount, const Identity& who)
{
  if (readOnlyMount)
    return false;
  if (who.uid == 0)
    return (sx.stx_mode & 0222) != 0;
  if (sx.stx_uid == who.uid)
    return (sx.stx_mode & S_IWUSR) != 0;
  if (who.InGroup(sx.stx_gid))
    return (sx.stx_mode & S_IWGRP) != 0;
  return (sx.stx_mode & S_IWOTH) != 0;
}

// Whether entries of a folder may be renamed or deleted by this user: the folder's write and search
// rights; a sticky folder also asks who owns the entry.
struct FolderRights
{
  Identity who;
  bool writable = false;
  bool sticky = false;
  uid_t owner = 0;
  bool readOnlyMount = false;
};

FolderRights RightsOf(int dirfd)
{
  FolderRights r;
  struct statvfs vfs;
  r.readOnlyMount = ::fstatvfs(dirfd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY);
  struct statx sx;
  if (::statx(dirfd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) != 0)
    return r;
  r.writable = UserMayWrite(sx, r.readOnlyMount, r.who) && (r.who.uid == 0 || ::faccessat(dirfd, ".", X_OK, AT_EACCESS) == 0);
  r.sticky = (sx.stx_mode & S_ISVTX) != 0;
  r.owner = sx.stx_uid;
  return r;
}

Int64 Nanos(const struct statx_timestamp& t) { return Int64(t.tv_sec) * 1000000000 + Int64(t.tv_nsec); }
struct timespec TimeSpecOf(const struct statx_timestamp& t) { return {time_t(t.tv_sec), long(t.tv_nsec)}; }

// One status call per entry (statx, links not followed); a second one only for a link, for what it
// points to.
bool StatusAt(int dirfd, const char* name, const FolderRights& rights, FileStatus* out)
{
  struct statx sx;
  const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
  if (::statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, mask, &sx) != 0)
    return false;
  UInt32 attr = 0;
  struct statx target = sx;
  if (S_ISLNK(sx.stx_mode)) {
    attr |= FILEATTR_LINK;
    if (::statx(dirfd, name, AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &target) != 0)
    {
      target.stx_mode = 0; // dangling: neither folder nor file, and no size
      target.stx_size = 0;
    }
  }
  if (S_ISDIR(target.stx_mode))
    attr |= FILEATTR_FOLDER;
  else if (!S_ISREG(target.stx_mode))
    attr |= FILEATTR_SPECIAL;
  if (name[0] == '.')
    attr |= FILEATTR_HIDDEN;
  if (!UserMayWrite(sx, rights.readOnlyMount, rights.who))
    attr |= FILEATTR_READONLY;
  const uid_t uid = rights.who.uid;
  if (!rights.writable || (rights.sticky && uid != 0 && uid != rights.owner && uid != sx.stx_uid))
    attr |= FILEATTR_FIXED;
  out->attributes = attr;
  // A link's own size is its target text's length; a listing shows what the entry is as a file.
  out->size = (attr & FILEATTR_FOLDER) ? 0 : Int64((attr & FILEATTR_LINK) ? target.stx_size : sx.stx_size);
  out->modifiedNs = Nanos(sx.stx_mtime);
  out->changedNs = Nanos(sx.stx_ctime);
  out->modified = ToDateTime(TimeSpecOf(sx.stx_mtime));
  const struct statx_timestamp& born = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
  // Most files were last written in the second they were made: one time conversion serves both.
  out->created = born.tv_sec == sx.stx_mtime.tv_sec ? out->modified : ToDateTime(TimeSpecOf(born));
  out->device = (UInt64(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
  out->inode = sx.stx_ino;
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  out->readNs = Int64(now.tv_sec) * 1000000000 + now.tv_nsec;
  return true;
}

Bool FileStatusOf(const Filename* name, FileStatus* out)
{
  std::string p = P(name);
  if (p.empty() || !out)
    return false;
  orxhost::detail::WaitIfHeld(p);
  // The folder the entry lies in decides who may rename or delete it; "/" lies in itself.
  std::string dir = p, leaf = ".";
  while (dir.size() > 1 && dir.back() == '/')
    dir.pop_back();
  const std::size_t slash = dir.rfind('/');
  if (dir != "/" && slash != std::string::npos) {
    leaf = dir.substr(slash + 1);
    dir = slash == 0 ? "/" : dir.substr(0, slash);
  } else if (dir != "/") {
    leaf = dir;
    dir = ".";
  }
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    // A folder that cannot be opened may still be searched: its entry's status is still known.
    fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
      return false;
  }
  const FolderRights rights = RightsOf(fd);
  const bool ok = StatusAt(fd, leaf.c_str(), rights, out);
  ::close(fd);
  return ok;
}

struct Browse
{
  DIR* dir;
  FolderRights rights;
  int error = 0;
  bool namesOnly = false;
  std::string last; // the entry given last, for browseStatus
};

void* BrowseInit(const Filename* folder, Int32 flags)
{
  std::string p = P(folder);
  orxhost::detail::WaitIfHeld(p);
  // O_NONBLOCK: a folder is never a pipe, but the name may have been swapped for one meanwhile.
  int fd = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return nullptr;
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    return nullptr;
  }
  return new Browse{d, RightsOf(fd), 0, (flags & BROWSEFILES_NAMES) != 0, {}};
}

// What a listing by names says an entry is: the entry's own kind from the folder's listing; a
// file system that does not tell costs one status call (the link itself, not its target).
UInt32 KindByName(int dirfd, const dirent* e)
{
  unsigned char type = e->d_type;
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (::fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      return FILEATTR_SPECIAL;
    type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : S_ISREG(st.st_mode) ? DT_REG : DT_FIFO;
  }
  switch (type) {
  case DT_DIR: return FILEATTR_FOLDER;
  case DT_LNK: return FILEATTR_LINK;
  case DT_REG: return 0;
  default: return FILEATTR_SPECIAL;
  }
}

std::atomic<void (*)(void*)> g_listingHook{nullptr};
std::atomic<void*> g_listingHookData{nullptr};

Bool BrowseNext(void* h, FolderEntry* out)
{
  auto* b = static_cast<Browse*>(h);
  if (b->error)
    return false;
  if (auto hook = g_listingHook.load())
    hook(g_listingHookData.load());
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(b->dir);
    if (!e) {
      b->error = errno;
      return false;
    }
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
      continue;
    if (ShouldFail(Op::List)) {
      b->error = EIO;
      return false;
    }
    if (b->namesOnly) {
      b->last = e->d_name;
      out->name.AssignBytes(e->d_name, StringEncoding::System);
      out->attributes = KindByName(::dirfd(b->dir), e) | FILEATTR_NAME_ONLY | (e->d_name[0] == '.' ? FILEATTR_HIDDEN : 0);
      out->size = 0;
      out->modified = out->created = DateTime{};
      out->modifiedNs = out->changedNs = 0;
      return true;
    }
    FileStatus st;
    if (!StatusAt(::dirfd(b->dir), e->d_name, b->rights, &st)) {
      // Gone between the listing and the status call: it is no longer there to show.
      if (errno == ENOENT)
        continue;
      b->error = errno ? errno : EIO;
      return false;
    }
    b->last = e->d_name;
    out->name.AssignBytes(e->d_name, StringEncoding::System);
    out->attributes = st.attributes;
    out->size = st.size;
    out->modified = st.modified;
    out->created = st.created;
    out->modifiedNs = st.modifiedNs;
    out->changedNs = st.changedNs;
    return true;
  }
}

Bool CopyLink(const Filename* from, const Filename* to)
{
  if (ShouldFail(Op::Write))
    return false;
  std::vector<char> target(4096);
  const ssize_t n = ::readlink(P(from).c_str(), target.data(), target.size());
  if (n < 0 || std::size_t(n) >= target.size())
    return false;
  const std::string dst = P(to);
  return !dst.empty() && ::symlink(std::string(target.data(), std::size_t(n)).c_str(), dst.c_str()) == 0;
}

Int32 BrowseError(void* h) { return h ? static_cast<Browse*>(h)->error : -1; }

Bool BrowseStatus(void* h, FileStatus* out)
{
  auto* b = static_cast<Browse*>(h);
  if (!b || !out || b->last.empty())
    return false;
  return StatusAt(::dirfd(b->dir), b->last.c_str(), b->rights, out);
}

void BrowseFree(void* h)
{
  auto* b = static_cast<Browse*>(h);
  ::closedir(b->dir);
  delete b;
}

struct Volumes
{
  std::vector<VolumeEntry> list;
  std::size_t next = 0;
};

const char* Home()
{
  const char* h = std::getenv("ORXHOST_HOME");
  return h && *h ? h : nullptr;
}

std::string EnvOr(const char* name, const std::string& def)
{
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : def;
}

using orxhost::detail::MountEntry;

// Mount table fields escape blanks, tabs, newlines and backslashes as three octal digits ("\040").
std::string Unescape(const std::string& s)
{
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    // "\000" is kept as text: a NUL would cut the path short and name another folder.
    if (s[i] == '\\' && s.size() - i > 3 && s[i + 1] >= '0' && s[i + 1] <= '3' &&
        s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7' &&
        (s[i + 1] != '0' || s[i + 2] != '0' || s[i + 3] != '0')) {
      out.push_back(char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::vector<MountEntry> ParseMounts(const std::string& table)
{
  std::vector<MountEntry> out;
  std::size_t pos = 0;
  while (pos < table.size()) {
    std::size_t end = table.find('\n', pos);
    if (end == std::string::npos)
      end = table.size();
    const std::string line = table.substr(pos, end - pos);
    pos = end + 1;
    char dev[1024], dir[1024], type[128];
    if (std::sscanf(line.c_str(), "%1023s %1023s %127s", dev, dir, type) == 3)
      out.push_back({Unescape(dev), Unescape(dir), type});
  }
  return out;
}

std::string ReadMountsText()
{
  std::string table;
  if (std::FILE* f = std::fopen("/proc/self/mounts", "re")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
      table.append(buf, n);
    std::fclose(f);
  }
  return table;
}

std::vector<MountEntry> ReadMounts() { return ParseMounts(ReadMountsText()); }

// Device path -> label, from the links the system keeps in /dev/disk/by-label (whose names escape
// bytes as "\x20").
std::map<std::string, std::string> VolumeLabels()
{
  std::map<std::string, std::string> out;
  const std::string base = "/dev/disk/by-label";
  DIR* d = ::opendir(base.c_str());
  if (!d)
    return out;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.')
      continue;
    char resolved[PATH_MAX];
    if (!::realpath((base + "/" + e->d_name).c_str(), resolved))
      continue;
    std::string name, raw = e->d_name;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 3 < raw.size() && raw[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(raw[i + 2])) &&
          std::isxdigit(static_cast<unsigned char>(raw[i + 3]))) {
        name.push_back(char(std::stoi(raw.substr(i + 2, 2), nullptr, 16)));
        i += 3;
      } else {
        name.push_back(raw[i]);
      }
    }
    out[resolved] = name;
  }
  ::closedir(d);
  return out;
}

// A file system of disks, media or the network, mounted where people keep data; not the kernel's
// views (proc, sysfs, cgroup), memory file systems, or the system's own mounts.
bool IsDrive(const MountEntry& m)
{
  static const std::set<std::string> kReal = {"ext2", "ext3", "ext4", "xfs", "btrfs", "vfat", "exfat", "ntfs", "ntfs3",
                                              "fuseblk", "nfs", "nfs4", "cifs", "smb3", "iso9660", "udf", "zfs",
                                              "f2fs", "hfsplus", "jfs", "reiserfs", "fuse.sshfs", "9p", "virtiofs"};
  if (!kReal.count(m.type))
    return false;
  for (const char* system : {"/boot", "/proc", "/sys", "/dev", "/etc", "/var/lib", "/snap", "/usr"})
    if (m.dir == system || m.dir.starts_with(std::string(system) + "/"))
      return false;
  // /run holds the system's state; only removable media mounted by the desktop count there.
  if (m.dir.starts_with("/run/") && !m.dir.starts_with("/run/media/"))
    return false;
  return true;
}

// "/" first, then the user's home folder, then every mounted file system a person would call a
// drive. The mount table lists pseudo file systems too: they are given flag 128 (not shown).
std::vector<VolumeEntry> VolumesFromMounts(const std::vector<MountEntry>& mounts, const std::string& home,
                                           const std::map<std::string, std::string>& labels)
{
  std::vector<VolumeEntry> list;
  auto labelOf = [&](const std::string& device) {
    char resolved[PATH_MAX];
    std::string key = device;
    if (device.starts_with("/dev/") && ::realpath(device.c_str(), resolved))
      key = resolved;
    auto it = labels.find(key);
    if (it == labels.end())
      it = labels.find(device);
    return it == labels.end() ? String() : SystemText(it->second);
  };
  std::set<std::string> seen{"/"};
  std::string rootDevice;
  for (const MountEntry& m : mounts)
    if (m.dir == "/")
      rootDevice = m.device;
  list.push_back(VolumeEntry{Filename(String("/")), labelOf(rootDevice), 0});
  if (!home.empty() && home != "/" && seen.insert(home).second)
    list.push_back(VolumeEntry{Filename(SystemText(home)), String(), 0});
  for (const MountEntry& m : mounts) {
    if (!seen.insert(m.dir).second)
      continue;
    list.push_back(VolumeEntry{Filename(SystemText(m.dir)), labelOf(m.device), IsDrive(m) ? 0u : VOLUMEFLAG_HIDDEN});
  }
  return list;
}
void* VolumesInit()
{
  auto* v = new Volumes;
  if (const char* home = Home()) {
    // Under a test home, the volumes are its "volumes" sub-folders: deterministic for tests.
    std::string base = std::string(home) + "/volumes";
    if (DIR* d = ::opendir(base.c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.')
          continue;
        v->list.push_back(VolumeEntry{Filename(SystemText(base + "/" + e->d_name)), SystemText(e->d_name), 0});
      }
      ::closedir(d);
    }
    return v;
  }
  std::string home = EnvOr("HOME", "");
  struct stat st;
  if (!home.empty() && (::stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
    home.clear();
  *v = Volumes{VolumesFromMounts(ReadMounts(), home, VolumeLabels())};
  return v;
}

Bool VolumesNext(void* h, VolumeEntry* out)
{
  auto* v = static_cast<Volumes*>(h);
  if (v->next >= v->list.size())
    return false;
  *out = v->list[v->next++];
  return true;
}

void VolumesFree(void* h) { delete static_cast<Volumes*>(h); }

std::string ExeFolder()
{
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0)
    return ".";
  std::string p(buf, std::size_t(n));
  return p.substr(0, p.rfind('/'));
}

void SpecialFolder(Int32 which, Filename* out)
{
  std::string r;
  if (const char* home = Home()) {
    std::string h = home;
    switch (which) {
      case FOLDER_PREFS: r = h + "/prefs"; break;
      case FOLDER_LIBRARY: r = h + "/library"; break;
      case FOLDER_USERLIBRARY: r = h + "/userlibrary"; break;
      case FOLDER_DESKTOP: r = h + "/desktop"; break;
      case FOLDER_HOME: r = h + "/home"; break;
      case FOLDER_STARTUP: r = h + "/startup"; break;
      default: break;
    }
  } else {
    std::string h = EnvOr("HOME", "/tmp");
    switch (which) {
      case FOLDER_PREFS: r = EnvOr("XDG_CONFIG_HOME", h + "/.config") + "/orxhost"; break;
      case FOLDER_LIBRARY: {
        std::string dirs = EnvOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
        r = dirs.substr(0, dirs.find(':')) + "/orxhost";
        break;
      }
      case FOLDER_USERLIBRARY: r = EnvOr("XDG_DATA_HOME", h + "/.local/share") + "/orxhost"; break;
      case FOLDER_DESKTOP: r = EnvOr("XDG_DESKTOP_DIR", h + "/Desktop"); break;
      case FOLDER_HOME: r = h; break;
      case FOLDER_STARTUP: r = ExeFolder(); break;
      default: break;
    }
  }
  *out = Filename(SystemText(r));
}

Bool GetEnv(const char* name, String* out)
{
  const char* v = name ? std::getenv(name) : nullptr;
  if (!v)
    return false;
  *out = String::FromBytes(v, StringEncoding::System);
  return true;
}
} // namespace

namespace orxhost::detail {
const OrxFolderTable kFolderTable = {4,          sizeof(OrxFolderTable), Exists,     CreateFolder, Rename,
                                     Move,       CopyFile,               HardLink,   Remove,       SyncFolder,
                                     FileTime,   FileSize,               BrowseInit, BrowseNext,   BrowseFree,
                                     VolumesInit, VolumesNext,           VolumesFree, SpecialFolder, GetEnv,
                                     RenameNoReplace, MakeFolder,        SameFile,
                                     BrowseError,     FileStatusOf,      CopyLink,
                                     SyncFileSystem,
                                     BrowseStatus};
}
namespace orxhost::detail {
std::vector<MountEntry> ParseMountTable(const std::string& table) { return ParseMounts(table); }
std::string ReadMountTable() { return ReadMountsText(); }
std::vector<VolumeEntry> VolumesFromMountTable(const std::string& table, const std::string& home,
                                               const std::map<std::string, std::string>& labels)
{
  return VolumesFromMounts(ParseMounts(table), home, labels);
}
} // namespace orxhost::detail
namespace orxhost {
void SetListingHook(void (*hook)(void* data), void* data)
{
  g_listingHookData.store(data);
  g_listingHook.store(hook);
}
void SimulateNoReplaceRenameUnsupported(bool on) { g_noReplaceUnsupported.store(on); }
}
