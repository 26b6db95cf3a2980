// Network places on Linux: the servers and shares of network file systems in the mount table
// (nfs, cifs, sshfs and other FUSE network file systems) and the user's GVfs mounts, each share
// with the folder its files are in. Under ORXHOST_HOME the places are its folders
// network/<server>/<share>, so that tests need no network.
//
// Reads of a share run on host threads: a hard NFS mount or a server that went away blocks the
// system call for as long as it likes, so the caller waits only as long as it chooses and the
// thread is left to end on its own. It runs only host code, so the plug-in may be unloaded
// meanwhile.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "internal.h"
#include "orx/network.h"
#include "services/host.h"

namespace {
using orxhost::detail::MountEntry;
using orxhost::detail::SystemText;

// --- listings held by tests ---
std::mutex g_holdLock;
std::condition_variable g_holdChanged;
std::vector<std::string> g_held;
std::atomic<bool> g_anyHeld{false};

bool AtOrBelow(const std::string& path, const std::string& folder)
{
  if (path.size() < folder.size() || path.compare(0, folder.size(), folder) != 0)
    return false;
  return path.size() == folder.size() || path[folder.size()] == '/' || (!folder.empty() && folder.back() == '/');
}

// --- places ---
bool IsNetworkType(const std::string& type)
{
  static const std::set<std::string> kKernel = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs",
                                                "ceph", "glusterfs", "davfs", "coda"};
  static const std::set<std::string> kFuse = {"sshfs",  "rclone",  "s3fs",      "curlftpfs", "davfs2",
                                              "gcsfuse", "smbnetfs", "httpdirfs", "glusterfs", "ceph",
                                              "afpfs",  "goofys",  "ossfs",     "webdav"};
  if (kKernel.count(type))
    return true;
  return type.starts_with("fuse.") && kFuse.count(type.substr(5));
}

std::string Lower(std::string s)
{
  for (char& c : s)
    if (c >= 'A' && c <= 'Z')
      c = char(c + 32);
  return s;
}

std::string LastPart(std::string path)
{
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Remote
{
  std::string server, share;
};

// "user@host" and "host:port" name the host.
std::string HostOf(std::string authority)
{
  if (const std::size_t at = authority.rfind('@'); at != std::string::npos)
    authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    return close == std::string::npos ? authority : authority.substr(1, close - 1);
  }
  if (const std::size_t colon = authority.find(':'); colon != std::string::npos)
    authority.erase(colon);
  return authority;
}

// Server and share from the device field of a mount: "//server/share" (SMB), "scheme://host/path"
// (web folders), "[user@]server:/path" (NFS, sshfs and most others).
Remote RemoteOf(const MountEntry& m)
{
  Remote r;
  std::string dev = m.device;
  std::replace(dev.begin(), dev.end(), '\\', '/');
  std::string path;
  if (dev.starts_with("//")) {
    const std::size_t slash = dev.find('/', 2);
    r.server = HostOf(dev.substr(2, slash == std::string::npos ? std::string::npos : slash - 2));
    path = slash == std::string::npos ? "" : dev.substr(slash);
  } else if (const std::size_t scheme = dev.find("://"); scheme != std::string::npos) {
    const std::size_t start = scheme + 3;
    const std::size_t slash = dev.find('/', start);
    r.server = HostOf(dev.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    path = slash == std::string::npos ? "" : dev.substr(slash);
  } else {
    // An address in brackets may hold colons of its own.
    std::size_t from = 0;
    if (const std::size_t at = dev.find('@'); at != std::string::npos && at < dev.find(':'))
      from = at + 1;
    if (from < dev.size() && dev[from] == '[')
      from = dev.find(']', from);
    const std::size_t colon = from == std::string::npos ? std::string::npos : dev.find(':', from);
    if (colon != std::string::npos) {
      r.server = HostOf(dev.substr(0, colon));
      path = dev.substr(colon + 1);
    }
  }
  if (r.server.empty())
    r.server = m.type; // nothing names the server: the file system stands for it
  std::size_t lead = 0;
  while (lead < path.size() && path[lead] == '/')
    ++lead;
  r.share = path.substr(lead);
  while (!r.share.empty() && r.share.back() == '/')
    r.share.pop_back();
  if (r.share.empty())
    r.share = LastPart(m.dir);
  if (r.share.empty() || r.share == "/")
    r.share = r.server;
  return r;
}

std::string Unpercent(const std::string& s)
{
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      const char hex[3] = {s[i + 1], s[i + 2], 0};
      const char c = char(std::strtol(hex, nullptr, 16));
      out.push_back(c ? c : '_'); // a NUL would cut the name short
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// A GVfs mount's folder name: "smb-share:server=fs1,share=media", "sftp:host=fs1,user=bob".
bool RemoteOfGvfs(const std::string& name, Remote* r)
{
  const std::size_t colon = name.find(':');
  if (colon == std::string::npos || colon == 0)
    return false;
  const std::string kind = name.substr(0, colon);
  std::map<std::string, std::string> params;
  std::size_t pos = colon + 1;
  while (pos <= name.size()) {
    std::size_t comma = name.find(',', pos);
    if (comma == std::string::npos)
      comma = name.size();
    const std::string part = name.substr(pos, comma - pos);
    if (const std::size_t eq = part.find('='); eq != std::string::npos)
      params[part.substr(0, eq)] = Unpercent(part.substr(eq + 1));
    pos = comma + 1;
  }
  std::string server = params.count("server") ? params["server"] : params.count("host") ? params["host"] : "";
  if (server.empty())
    return false;
  r->server = HostOf(server);
  std::string share = params.count("share") ? params["share"] : params.count("prefix") ? params["prefix"] : "";
  while (!share.empty() && share.front() == '/')
    share.erase(0, 1);
  r->share = share.empty() ? kind : share;
  return !r->server.empty();
}

NetworkPlace PlaceOf(const Remote& r, const std::string& path, const std::string& kind)
{
  NetworkPlace p;
  p.serverKey = SystemText(Lower(r.server));
  p.server = SystemText(r.server);
  p.shareKey = SystemText(path);
  p.share = SystemText(r.share);
  p.path = Filename(SystemText(path));
  p.kind = SystemText(kind);
  return p;
}

std::vector<std::string> FolderNames(const std::string& dir)
{
  std::vector<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.')
        out.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

const char* TestHome()
{
  const char* h = std::getenv("ORXHOST_HOME");
  return h && *h ? h : nullptr;
}

std::string GvfsDir() { return "/run/user/" + std::to_string(::getuid()) + "/gvfs"; }

std::vector<NetworkPlace> CurrentPlaces()
{
  std::vector<NetworkPlace> out;
  if (const char* home = TestHome()) {
    const std::string base = std::string(home) + "/network";
    for (const std::string& server : FolderNames(base))
      for (const std::string& share : FolderNames(base + "/" + server))
        out.push_back(PlaceOf(Remote{server, share}, base + "/" + server + "/" + share, "fixture"));
    return out;
  }
  return orxhost::detail::PlacesFromMounts(orxhost::detail::ParseMountTable(orxhost::detail::ReadMountTable()),
                                           GvfsDir(), FolderNames(GvfsDir()));
}

UInt64 Fnv(UInt64 h, const std::string& s)
{
  for (unsigned char c : s)
    h = (h ^ c) * 1099511628211ull;
  return (h ^ 0xff) * 1099511628211ull; // a separator, so "ab","c" differs from "a","bc"
}

UInt64 PlacesStamp()
{
  UInt64 h = 1469598103934665603ull;
  if (const char* home = TestHome()) {
    const std::string base = std::string(home) + "/network";
    for (const std::string& server : FolderNames(base)) {
      h = Fnv(h, server);
      for (const std::string& share : FolderNames(base + "/" + server))
        h = Fnv(h, share);
      h = Fnv(h, "/");
    }
  } else {
    h = Fnv(h, orxhost::detail::ReadMountTable());
    for (const std::string& name : FolderNames(GvfsDir()))
      h = Fnv(h, name);
  }
  return h ? h : 1;
}

struct Places
{
  std::vector<NetworkPlace> list;
  std::size_t next = 0;
};

void* PlacesInit()
{
  try {
    return new Places{CurrentPlaces()};
  } catch (...) {
    return nullptr;
  }
}

Bool PlacesNext(void* h, NetworkPlace* out)
{
  auto* p = static_cast<Places*>(h);
  if (p->next >= p->list.size())
    return false;
  *out = p->list[p->next++];
  return true;
}

void PlacesFree(void* h) { delete static_cast<Places*>(h); }

// --- jobs ---
struct Work
{
  std::string path;
  Filename folder;
  bool list = false;
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  bool reached = false;
  FileStatus status;
  std::vector<FolderEntry> entries;
  int error = 0;
};
using WorkRef = std::shared_ptr<Work>;

std::mutex g_jobsLock;
std::condition_variable g_jobsIdle;
std::map<std::pair<std::string, bool>, std::weak_ptr<Work>> g_running; // one job per folder at a time
int g_runningCount = 0;
std::vector<std::string> g_unanswered;

void Run(const WorkRef& w)
{
  const OrxFolderTable& f = orxhost::detail::kFolderTable;
  FileStatus st;
  bool reached = false;
  int error = 0;
  std::vector<FolderEntry> entries;
  try {
    reached = f.fileStatus(&w->folder, &st);
    if (!reached)
      error = errno ? errno : ENOENT;
    else if (w->list) {
      if (void* h = f.browseInit(&w->folder, 0)) {
        FolderEntry e;
        while (f.browseNext(h, &e))
          entries.push_back(e);
        error = f.browseError(h);
        f.browseFree(h);
      } else {
        error = errno ? errno : EIO;
      }
    }
  } catch (...) {
    error = ENOMEM;
  }
  // Out of the registry first: a caller that starts a job from now on gets a fresh read, never
  // this one's result.
  {
    std::lock_guard l(g_jobsLock);
    auto it = g_running.find({w->path, w->list});
    if (it != g_running.end() && it->second.lock() == w)
      g_running.erase(it);
  }
  {
    std::lock_guard l(w->lock);
    w->reached = reached;
    w->status = st;
    w->entries.swap(entries);
    w->error = error;
    w->done = true;
  }
  w->ended.notify_all();
}

// After the thread's own reference is gone: whoever waits for idle jobs sees their memory freed.
void Finished()
{
  std::lock_guard l(g_jobsLock);
  --g_runningCount;
  g_jobsIdle.notify_all();
}

void* JobStart(const Filename* folder, Bool list)
{
  try {
    const std::string path = orxhost::detail::SystemPath(folder);
    if (path.empty())
      return nullptr;
    std::lock_guard l(g_jobsLock);
    auto key = std::make_pair(path, bool(list));
    if (auto it = g_running.find(key); it != g_running.end())
      if (WorkRef running = it->second.lock())
        return new WorkRef(running); // a server that does not answer gets no second thread
    auto w = std::make_shared<Work>();
    w->path = path;
    w->folder = *folder;
    w->list = list;
    auto* handle = new WorkRef(w);
    try {
      std::thread([w]() mutable {
        Run(w);
        w.reset();
        Finished();
      }).detach();
    } catch (...) {
      delete handle;
      return nullptr;
    }
    g_running[key] = w;
    ++g_runningCount;
    return handle;
  } catch (...) {
    return nullptr;
  }
}

Bool JobWait(void* job, Int32 timeoutMs)
{
  Work& w = **static_cast<WorkRef*>(job);
  bool done;
  {
    std::unique_lock l(w.lock);
    done = w.ended.wait_for(l, std::chrono::milliseconds(std::max<Int32>(timeoutMs, 0)), [&] { return w.done; });
  }
  if (!done) {
    std::lock_guard l(g_jobsLock);
    try {
      g_unanswered.push_back(w.path);
    } catch (...) {
    }
  }
  return done;
}

Bool JobStatus(void* job, FileStatus* out)
{
  Work& w = **static_cast<WorkRef*>(job);
  std::lock_guard l(w.lock);
  if (!w.done || !w.reached)
    return false;
  *out = w.status;
  return true;
}

Int32 JobCount(void* job)
{
  Work& w = **static_cast<WorkRef*>(job);
  std::lock_guard l(w.lock);
  return w.done ? Int32(w.entries.size()) : 0;
}

Bool JobEntry(void* job, Int32 index, FolderEntry* out)
{
  Work& w = **static_cast<WorkRef*>(job);
  std::lock_guard l(w.lock);
  if (!w.done || index < 0 || std::size_t(index) >= w.entries.size())
    return false;
  *out = w.entries[std::size_t(index)];
  return true;
}

Int32 JobError(void* job)
{
  Work& w = **static_cast<WorkRef*>(job);
  std::lock_guard l(w.lock);
  return w.done ? w.error : -1;
}

void JobFree(void* job) { delete static_cast<WorkRef*>(job); }

// The folders of the network places, read again at most once a second (the mount table is kept by
// the kernel in memory: reading it never waits for a server).
std::mutex g_placeFoldersLock;
std::vector<std::string> g_placeFolders;
std::chrono::steady_clock::time_point g_placeFoldersRead{};
bool g_placeFoldersValid = false;

Bool OnNetwork(const Filename* path)
{
  try {
    const std::string p = orxhost::detail::SystemPath(path);
    if (p.empty())
      return false;
    if (const char* home = TestHome())
      return AtOrBelow(p, std::string(home) + "/network");
    std::lock_guard l(g_placeFoldersLock);
    const auto now = std::chrono::steady_clock::now();
    if (!g_placeFoldersValid || now - g_placeFoldersRead > std::chrono::seconds(1)) {
      // Everything of GVfs lies below its own folder, which is not listed here: that would ask it.
      std::vector<std::string> folders{GvfsDir()};
      for (const NetworkPlace& place : orxhost::detail::PlacesFromMounts(
               orxhost::detail::ParseMountTable(orxhost::detail::ReadMountTable()), GvfsDir(), {}))
        folders.push_back(orxhost::detail::SystemPath(&place.path));
      g_placeFolders.swap(folders);
      g_placeFoldersRead = now;
      g_placeFoldersValid = true;
    }
    return std::any_of(g_placeFolders.begin(), g_placeFolders.end(),
                       [&](const std::string& f) { return !f.empty() && AtOrBelow(p, f); });
  } catch (...) {
    return false;
  }
}

} // namespace

namespace orxhost::detail {
const OrxNetworkTable kNetworkTable = {1,         sizeof(OrxNetworkTable), PlacesStamp, PlacesInit, PlacesNext,
                                       PlacesFree, JobStart,               JobWait,     JobStatus,  JobCount,
                                       JobEntry,  JobError,                JobFree,     OnNetwork};

std::vector<NetworkPlace> PlacesFromMounts(const std::vector<MountEntry>& mounts, const std::string& gvfsDir,
                                           const std::vector<std::string>& gvfsNames)
{
  // A later mount on the same folder hides the earlier one.
  std::map<std::string, NetworkPlace> byFolder;
  std::vector<std::string> order;
  for (const MountEntry& m : mounts) {
    if (!IsNetworkType(m.type) || m.dir.empty() || m.dir[0] != '/')
      continue;
    if (!byFolder.count(m.dir))
      order.push_back(m.dir);
    byFolder[m.dir] = PlaceOf(RemoteOf(m), m.dir, m.type);
  }
  std::vector<NetworkPlace> out;
  for (const std::string& dir : order)
    out.push_back(byFolder[dir]);
  for (const std::string& name : gvfsNames) {
    // Each folder is one place, whatever lists it twice.
    if (byFolder.count(gvfsDir + "/" + name))
      continue;
    Remote r;
    // A folder's name holds neither "/" nor NUL: anything else would name another folder.
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos || !RemoteOfGvfs(name, &r))
      continue;
    const std::string folder = gvfsDir + "/" + name;
    byFolder[folder] = PlaceOf(r, folder, "gvfs");
    out.push_back(byFolder[folder]);
  }
  return out;
}

void WaitIfHeld(const std::string& path)
{
  if (!g_anyHeld.load(std::memory_order_acquire))
    return;
  std::unique_lock l(g_holdLock);
  g_holdChanged.wait(l, [&] {
    return std::none_of(g_held.begin(), g_held.end(), [&](const std::string& h) { return AtOrBelow(path, h); });
  });
}
} // namespace orxhost::detail

namespace orxhost {
void HoldListings(const std::string& folder)
{
  std::lock_guard l(g_holdLock);
  g_held.push_back(folder);
  g_anyHeld.store(true, std::memory_order_release);
}

void ReleaseListings()
{
  {
    std::lock_guard l(g_holdLock);
    g_held.clear();
    g_anyHeld.store(false, std::memory_order_release);
  }
  g_holdChanged.notify_all();
}

bool WaitNetworkJobs(int ms)
{
  std::unique_lock l(g_jobsLock);
  return g_jobsIdle.wait_for(l, std::chrono::milliseconds(ms), [] { return g_runningCount == 0; });
}

std::vector<std::string> UnansweredNetworkFolders()
{
  std::lock_guard l(g_jobsLock);
  return g_unanswered;
}

void ClearUnansweredNetworkFolders()
{
  std::lock_guard l(g_jobsLock);
  g_unanswered.clear();
}
} // namespace orxhost
