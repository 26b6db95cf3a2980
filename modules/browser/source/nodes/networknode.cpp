#include "nodes/networknode.h"

#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/browserutils.h"
#include "contenttree/childmerge.h"
#include "nodes/categorynode.h"
#include "nodes/directorynode.h"
#include "orx/services.h"

namespace {

constexpr std::u16string_view kRootText = u"network:/";
// A folder read this soon after its last change is read again next time: a second change in the
// same clock tick would leave the time that the read saw.
constexpr Int64 kRacyNs = 2'000'000'000;

std::atomic<Int32> g_timeLimit{NETWORK_TIME_LIMIT_MS};
std::atomic<UInt64> g_placesStamp{0};

NetworkNode* AsNetwork(BrowserContentNode* n)
{
  return n && n->GetNodeType() == NODETYPE_NETWORK ? dynamic_cast<NetworkNode*>(n) : nullptr;
}

std::u16string Upper(const String& s)
{
  const String u = s.ToUpper();
  return std::u16string(u.View());
}

// A name that can be one part of a URL: no "/" (nor the other characters names may not hold), not
// empty, not "." or "..".
String URLPart(const String& shown)
{
  String name = MakeValidName(shown);
  for (Int32 i = 0; i < name.GetLength(); ++i)
    if (name[i] == u'/' || name[i] == 0)
      name.SetChar(i, u'_');
  if (name.IsEmpty() || name == String(".") || name == String(".."))
    name = String("_") + name;
  return name;
}

// name, or "name (2)", "name (3)" ... whichever is not taken yet (letter case ignored: URLs find
// nodes that way).
String UniqueName(const String& name, std::unordered_set<std::u16string>& taken)
{
  String candidate = name;
  for (Int64 n = 2; !taken.insert(Upper(candidate)).second; ++n)
    candidate = name + String(" (") + String::FromInt(n) + String(")");
  return candidate;
}

Int32 Remaining(Int32 deadline)
{
  const Int32 left = deadline - GeGetTimer();
  return left > 0 ? left : 0;
}

} // namespace

NetworkNode::NetworkNode(Role role, UInt32 status, const String& urlText, const String& name, const String& key,
                         const Filename& path, Int32 exactFrom)
    : BrowserContentNode(status), urlText_(urlText), name_(name), key_(key), path_(path), exactFrom_(exactFrom),
      role_(role), created_(GeGetCurrentTime()), modified_(created_)
{
}

void NetworkNode::SetTimeLimit(Int32 ms) { g_timeLimit.store(ms > 0 ? ms : 1); }
Int32 NetworkNode::GetTimeLimit() { return g_timeLimit.load(); }

Filename NetworkNode::GetPath() const { return path_; }

Ref<NetworkNode> NetworkNode::MakeServer(const String& urlParent, const String& name, const String& key)
{
  const String url = urlParent + String("/") + name;
  return Ref<NetworkNode>(new (std::nothrow)
                              NetworkNode(Role::Server, NETSTATUS_NEW_SERVER, url, name, key, Filename(), url.GetLength()));
}

Ref<NetworkNode> NetworkNode::MakeShare(const NetworkNode& server, const String& name, const NetworkPlace& place)
{
  const String url = server.urlText_ + String("/") + name;
  return Ref<NetworkNode>(new (std::nothrow) NetworkNode(Role::Share, NETSTATUS_NEW_FOLDER, url, name,
                                                         place.shareKey, place.path, url.GetLength()));
}

Ref<NetworkNode> NetworkNode::MakeEntry(const FolderEntry& e) const
{
  const Bool folder = e.IsFolder();
  String key = e.name;
  key = key + String(folder ? "/d" : "/f");
  UInt32 status = folder ? NETSTATUS_NEW_FOLDER : 0;
  if (e.IsReadOnly())
    status |= NODESTATUS_READONLY;
  Ref<NetworkNode> n(new (std::nothrow) NetworkNode(Role::Entry, status, urlText_ + String("/") + e.name, e.name, key,
                                                    path_ + e.name, exactFrom_));
  if (n)
    n->Refresh(e);
  return n;
}

void NetworkNode::BuildNetwork(CategoryNode* root) { Poll(root); }

void NetworkNode::Poll(BrowserContentNode* root)
{
  if (!root)
    return;
  // The host's places are polled: a stamp that did not change means nothing came or went, unless
  // the root is new.
  const UInt64 stamp = GeNetworkPlacesStamp();
  if (stamp == g_placesStamp.load() && root->GetFirstChild())
    return;
  std::vector<NetworkPlace> places;
  BrowseNetworkPlaces browse;
  if (!browse.Init())
    return;
  while (browse.GetNext())
    places.push_back(browse.Entry());
  g_placesStamp.store(stamp);
  SyncPlaces(root, places);
}

void NetworkNode::SyncPlaces(BrowserContentNode* root, const std::vector<NetworkPlace>& places)
{
  if (!root)
    return;
  struct Server
  {
    String shown;
    std::vector<const NetworkPlace*> places;
  };
  std::vector<std::u16string> order;
  std::unordered_map<std::u16string, Server> servers;
  for (const NetworkPlace& p : places) {
    std::u16string key(p.serverKey.View());
    auto [it, added] = servers.try_emplace(key);
    if (added) {
      it->second.shown = p.server;
      order.push_back(key);
    }
    it->second.places.push_back(&p);
  }

  std::vector<Ref<NetworkNode>> toSync;
  {
    BrowserURL u;
    const String rootURL = root->GetURL(&u, 0) ? u.GetString() : String(kRootText);
    std::lock_guard content(root->ContentLock());
    std::unordered_map<std::u16string, Ref<NetworkNode>> existing;
    for (NodeRef c = BrowserContentNode::FromTree(root->GetFirstChild()); c; c = c->GetNextNode())
      if (NetworkNode* n = AsNetwork(c.Get()); n && n->role_ == Role::Server)
        existing.emplace(std::u16string(n->key_.View()), Ref<NetworkNode>(n));
    // Servers that stay keep their names; new ones take names not taken by those.
    std::unordered_set<std::u16string> taken;
    for (auto& [key, node] : existing)
      if (servers.count(key))
        taken.insert(Upper(node->name_));
    for (const std::u16string& key : order) {
      Ref<NetworkNode> server;
      if (auto it = existing.find(key); it != existing.end()) {
        server = it->second;
        existing.erase(it);
      } else {
        const String name = UniqueName(URLPart(servers[key].shown), taken);
        server = MakeServer(rootURL, name, String(key));
        if (!server || !server->InsertUnder(root))
          continue;
      }
      toSync.push_back(server);
    }
    for (auto& [key, node] : existing)
      node->Remove();
  }
  std::vector<Ref<NetworkNode>> probe;
  for (const Ref<NetworkNode>& server : toSync)
    SyncShares(server.Get(), servers[std::u16string(server->key_.View())].places, probe);
  // New shares get their times now, so the servers' rows show them and a share that does not answer
  // is known at once.
  ProbeShares(probe);
}

void NetworkNode::SyncShares(NetworkNode* server, const std::vector<const NetworkPlace*>& places,
                             std::vector<Ref<NetworkNode>>& made)
{
  std::lock_guard content(server->ContentLock());
  std::unordered_map<std::u16string, Ref<NetworkNode>> existing;
  for (NodeRef c = BrowserContentNode::FromTree(server->GetFirstChild()); c; c = c->GetNextNode())
    if (NetworkNode* n = AsNetwork(c.Get()); n && n->role_ == Role::Share)
      existing.emplace(std::u16string(n->key_.View()), Ref<NetworkNode>(n));
  std::unordered_set<std::u16string> wanted;
  for (const NetworkPlace* p : places)
    wanted.insert(std::u16string(p->shareKey.View()));
  std::unordered_set<std::u16string> taken;
  for (auto& [key, node] : existing)
    if (wanted.count(key))
      taken.insert(Upper(node->name_));
  Bool changed = false;
  for (const NetworkPlace* p : places) {
    const std::u16string key(p->shareKey.View());
    if (auto it = existing.find(key); it != existing.end()) {
      existing.erase(it);
      continue;
    }
    if (Ref<NetworkNode> share = MakeShare(*server, UniqueName(URLPart(p->share), taken), *p))
      if (share->InsertUnder(server)) {
        made.push_back(share);
        changed = true;
      }
  }
  for (auto& [key, node] : existing) {
    node->Remove();
    changed = true;
  }
  if (changed) {
    server->SetStatus(NODESTATUS_RELIST);
    std::lock_guard l(server->fieldLock_);
    ++server->size_;
  }
}

void NetworkNode::ProbeShares(const std::vector<Ref<NetworkNode>>& shares)
{
  if (shares.empty())
    return;
  std::vector<std::unique_ptr<NetworkJob>> jobs;
  for (const Ref<NetworkNode>& s : shares) {
    auto job = std::unique_ptr<NetworkJob>(new (std::nothrow) NetworkJob);
    if (job && !job->Start(s->path_, false))
      job.reset();
    jobs.push_back(std::move(job));
  }
  const Int32 start = GeGetTimer();
  const Int32 deadline = start + GetTimeLimit();
  for (std::size_t i = 0; i < shares.size(); ++i) {
    NetworkNode* s = shares[i].Get();
    // A share that gave no answer within the last time limit is not waited for again by the rows
    // around it: opening the root and then a server would add up the waits. Its own listing waits.
    const Bool recent = !s->Answered() && start - s->noAnswerAt_.load() < GetTimeLimit();
    if (!jobs[i] || !jobs[i]->Wait(recent ? 0 : Remaining(deadline))) {
      s->NotAnswered();
      continue;
    }
    s->answered_.store(true, std::memory_order_release);
    FileStatus st;
    if (jobs[i]->Status(&st))
      s->ApplyStatus(st);
  }
}

// Times of the folder itself; a change means its children are to be listed again.
void NetworkNode::ApplyStatus(const FileStatus& st)
{
  std::lock_guard l(fieldLock_);
  created_ = st.created;
  const Stamp now{st.modifiedNs, st.changedNs};
  if (now != stamp_) {
    stamp_ = now;
    modified_ = st.modified;
    SetStatus(NODESTATUS_RELIST);
  }
}

void NetworkNode::NotAnswered()
{
  noAnswerAt_.store(GeGetTimer());
  SetStatus(NODESTATUS_RELIST);
  if (answered_.exchange(false, std::memory_order_acq_rel))
    GePrint(String("CB: Network share did not answer: ") + urlText_);
}

void NetworkNode::Refresh(const FolderEntry& e)
{
  Bool fileChanged = false;
  {
    std::lock_guard l(fieldLock_);
    created_ = e.created;
    const Stamp s{e.modifiedNs, e.changedNs};
    if (e.IsFolder()) {
      if (s != stamp_) {
        stamp_ = s;
        modified_ = e.modified;
        ++size_;
        SetStatus(NETSTATUS_NEW_FOLDER);
      }
    } else if (s != stamp_ || size_ != e.size) {
      fileChanged = stamp_ != Stamp{} || size_ != 0;
      stamp_ = s;
      modified_ = e.modified;
      size_ = e.size;
    }
  }
  if (e.IsReadOnly())
    SetStatus(NODESTATUS_READONLY);
  else
    ClearStatus(NODESTATUS_READONLY);
  // Whatever handler the old content had may not fit the new one.
  if (fileChanged)
    handler_.Clear(this);
}

void NetworkNode::Merge(const std::vector<FolderEntry>& entries, Bool sweep)
{
  MergeListedChildren<NetworkNode>(
      this, entries, sweep, [](BrowserContentNode* c) { return AsNetwork(c); },
      [](NetworkNode* n) { return std::u16string(n->key_.View()); },
      [](const FolderEntry& e) {
        std::u16string key(e.name.View());
        key += e.IsFolder() ? u"/d" : u"/f";
        return key;
      },
      [](NetworkNode* n, const FolderEntry& e) { n->Refresh(e); }, [&](const FolderEntry& e) { return MakeEntry(e); },
      // A share's listing is already bounded by the network time limit; it is merged whole.
      [] { return false; });
}

Bool NetworkNode::LoadChildren()
{
  const UInt32 status = GetStatus();
  if (!(status & NODESTATUS_FOLDER) || (status & NODESTATUS_DELETED))
    return false;
  return role_ == Role::Server ? ListServer() : ListFolder();
}

// A server has no path: its shares come with the places. Opening it reads the shares' times again
// when the places changed since it was last opened.
Bool NetworkNode::ListServer()
{
  // The places are polled here too: a share that came or went since the root was opened shows.
  if (NodeRef up = GetUpNode(); up && up->GetNodeType() == NODETYPE_CATEGORY)
    Poll(up.Get());
  if (!(ClearStatus(NODESTATUS_RELIST) & NODESTATUS_RELIST))
    return true;
  std::vector<Ref<NetworkNode>> shares;
  for (NodeRef c = BrowserContentNode::FromTree(GetFirstChild()); c; c = c->GetNextNode())
    if (NetworkNode* n = AsNetwork(c.Get()))
      shares.push_back(Ref<NetworkNode>(n));
  ProbeShares(shares);
  std::lock_guard l(fieldLock_);
  ++size_;
  return true;
}

Bool NetworkNode::ListFolder()
{
  const Int32 deadline = GeGetTimer() + GetTimeLimit();
  // The status first: a folder whose time did not change is not read again.
  FileStatus self;
  {
    NetworkJob probe;
    if (!probe.Start(path_, false) || !probe.Wait(Remaining(deadline))) {
      NotAnswered();
      return true;
    }
    answered_.store(true, std::memory_order_release);
    if (!probe.Status(&self) || !(self.attributes & FILEATTR_FOLDER))
      return false; // gone: the parent's listing decides
  }
  Stamp listedAgainst;
  {
    std::lock_guard content(ContentLock());
    ApplyStatus(self);
    std::lock_guard l(fieldLock_);
    if (size_ != 0 && !(GetStatus() & NODESTATUS_RELIST))
      return true;
    listedAgainst = stamp_;
  }

  std::vector<FolderEntry> entries;
  Int32 error = 0;
  {
    NetworkJob list;
    if (!list.Start(path_, true) || !list.Wait(Remaining(deadline))) {
      NotAnswered();
      return true;
    }
    const Int32 count = list.Count();
    entries.reserve(std::size_t(count));
    FolderEntry e;
    for (Int32 i = 0; i < count; ++i)
      if (list.Entry(i, &e) && !e.IsHidden())
        entries.push_back(e);
    error = list.Error();
  }

  std::lock_guard content(ContentLock());
  if (GetStatus() & NODESTATUS_DELETED)
    return false;
  Merge(entries, error == 0);
  const Bool racy = self.readNs - self.modifiedNs < kRacyNs;
  std::lock_guard l(fieldLock_);
  ++size_;
  if (error == 0 && !racy && stamp_ == listedAgainst)
    ClearStatus(NODESTATUS_RELIST);
  else
    SetStatus(NODESTATUS_RELIST);
  return true;
}

BrowserPluginInterface* NetworkNode::GetPluginInterface(UInt32 flags)
{
  if (GetStatus() & NODESTATUS_FOLDER)
    return FindPluginByID(HANDLER_ID_FOLDER);
  BrowserURL url;
  GetURL(&url, 0);
  // Only regular files are read for their first bytes.
  return handler_.Get(this, url, flags);
}

String* NetworkNode::GetTypeName(String* out, Int32 mode)
{
  if (!out)
    return nullptr;
  if (BrowserPluginInterface* h = GetPluginInterface(PLUGINREQUEST_QUICK)) {
    h->GetTypeName(out, NodeRef(this), nullptr, mode);
    return out;
  }
  *out = GeLoadString(IDS_DIRECTORY_NO_TYPE);
  return out;
}

Bool NetworkNode::GetURL(BrowserURL* out, UInt32)
{
  if (!out)
    return false;
  // A node with a path carries it as the URL's file form: handlers read the file through it.
  if (path_.Content())
    out->SetFilenameAndString(path_, urlText_);
  else
    out->SetString(urlText_);
  return true;
}

Int32 NetworkNode::MatchUpperURLPrefix(const String& upper)
{
  // File names keep their letter case: without the URL as given they cannot be told apart.
  if (exactFrom_ < urlText_.GetLength())
    return -1;
  return MatchUpperPrefix(urlText_, upper);
}

Int32 NetworkNode::MatchURLPrefix(const String& upper, const String& text)
{
  const Int32 len = urlText_.GetLength();
  if (len == 0 || len > text.GetLength() || MatchUpperPrefix(urlText_, upper) != len)
    return -1;
  // Servers and shares ignore case as URLs do; names inside a share are compared exactly.
  const std::size_t from = std::size_t(exactFrom_);
  if (urlText_.View().substr(from) != text.View().substr(from, std::size_t(len) - from))
    return -1;
  return len;
}

Bool NetworkNode::GetFileTime(Int32 which, DateTime* out)
{
  if (!out)
    return false;
  std::lock_guard l(fieldLock_);
  *out = which == FILETIME_CREATED ? created_ : modified_;
  return true;
}

UInt32 NetworkNode::GetInfo(Int64* size)
{
  const UInt32 status = GetStatus();
  if (size) {
    std::lock_guard l(fieldLock_);
    *size = (status & NODEMASK_NO_SIZE) ? 0 : size_;
  }
  return status;
}

Int32 NetworkNode::GetIconId(UInt32 flags)
{
  const UInt32 status = GetStatus();
  const Bool open = flags & ICONREQUEST_OPEN;
  if (status & NODESTATUS_FOLDER) {
    if (status & NODESTATUS_READONLY)
      return open ? ICON_DIR_READONLY_OPEN : ICON_DIR_READONLY;
    return open ? ICON_DIR_OPEN : ICON_DIR;
  }
  return ICON_FILE;
}

BaseBitmap* NetworkNode::GetIcon(UInt32 flags, Int32 size)
{
  // Icons by id are the icon service's; a file's own icon comes from its handler.
  if (!(GetStatus() & NODESTATUS_FOLDER))
    if (BrowserPluginInterface* h = GetPluginInterface(PLUGINREQUEST_QUICK))
      return h->GetIcon(NodeRef(this), nullptr, size);
  (void)flags;
  return nullptr;
}
