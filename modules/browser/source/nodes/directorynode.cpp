#include "nodes/directorynode.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "base/browserutils.h"
#include "contenttree/childmerge.h"
#include "contenttree/contentevents.h"
#include "contenttree/filesync.h"
#include "orx/basefile.h"
#include "nodes/categorynode.h"
#include "nodes/networknode.h"
#include "orx/network.h"
#include "orx/services.h"

namespace {

// A folder listed this soon after its last change is listed again next time: file systems keep
// times in coarse ticks (up to two seconds on FAT), so a second change in the same tick would
// leave the time that the listing saw.
constexpr Int64 kRacyNs = 2'000'000'000;

constexpr std::u16string_view kFileHost = u"file://localhost";

Bool AsciiEqualIgnoreCase(const Utf16Char* a, const Utf16Char* b, Int32 count)
{
  for (Int32 i = 0; i < count; ++i) {
    Utf16Char x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z')
      x = Utf16Char(x + 32);
    if (y >= u'A' && y <= u'Z')
      y = Utf16Char(y + 32);
    if (x != y)
      return false;
  }
  return true;
}

DirectoryNode* AsDirectory(BrowserContentNode* n)
{
  return n && n->GetNodeType() == NODETYPE_DIRECTORY ? dynamic_cast<DirectoryNode*>(n) : nullptr;
}

// The one order of content locks when an edit needs two (a rename or delete: the folder and the
// entry; a move: the new and the old folder): by address. Moving into the node's own folder names
// one lock twice, which is taken once.
class TwoContentLocks
{
public:
  TwoContentLocks(BrowserContentNode* a, BrowserContentNode* b)
  {
    first_ = a ? &a->ContentLock() : nullptr;
    second_ = b ? &b->ContentLock() : nullptr;
    if (first_ == second_)
      second_ = nullptr;
    else if (!first_ || (second_ && std::less<SpinLock*>()(second_, first_)))
      std::swap(first_, second_);
    if (first_)
      first_->lock();
    if (second_)
      second_->lock();
  }
  ~TwoContentLocks()
  {
    if (second_)
      second_->unlock();
    if (first_)
      first_->unlock();
  }
  TwoContentLocks(const TwoContentLocks&) = delete;
  TwoContentLocks& operator=(const TwoContentLocks&) = delete;

private:
  SpinLock* first_;
  SpinLock* second_;
};

Int32 RemainingMs(Int32 deadline)
{
  const Int32 left = deadline - GeGetTimer();
  return left > 0 ? left : 0;
}

// The folder part of a path ("/" for "/a").
Filename FolderOf(const Filename& path)
{
  Filename dir = path.GetDirectory();
  return dir.IsEmpty() ? Filename(String("/")) : dir;
}

// True when path lies strictly below folder, by text at a part boundary.
Bool IsBelow(const String& path, const String& folder)
{
  const Int32 n = folder.GetLength();
  if (path.GetLength() <= n || path.ComparePart(folder, n) != 0)
    return false;
  return folder == String("/") || path[n] == u'/';
}

// What a node shows as its name: the last part of its path, or the whole path at the top.
String NameOf(const Filename& path)
{
  String name = path.GetFileString();
  return name.IsEmpty() ? path.GetString() : name;
}

// The six fields of a DateTime in one word: the year in 16 bits, the others in 8 (larger values
// are no time and become 255).
UInt64 PackTime(const DateTime& t)
{
  auto b = [](UInt16 v) { return UInt64(v > 255 ? 255 : v); };
  return (UInt64(t.year) << 40) | (b(t.month) << 32) | (b(t.day) << 24) | (b(t.hour) << 16) | (b(t.minute) << 8) |
         b(t.second);
}

DateTime UnpackTime(UInt64 p)
{
  auto f = [p](int shift) { return UInt16((p >> shift) & 0xFF); };
  return DateTime{UInt16(p >> 40), f(32), f(24), f(16), f(8), f(0)};
}

// The bytes an entry adds to the counts of an edit: a regular file's size. A link is one item
// without bytes, as the walk counts it: what it points to is neither copied nor deleted.
Int64 EntryBytes(UInt32 attributes, Int64 size)
{
  return (attributes & (FILEATTR_FOLDER | FILEATTR_LINK | FILEATTR_SPECIAL)) ? 0 : size;
}

struct DeleteProgress
{
  EditCallback callback;
  void* data;
  UInt64 device;
  Bool cancelled = false;
  Bool failed = false;
};

// The delete helper: a folder's entries, then the folder. Links are deleted as links and never
// entered; a folder on another device (a file system mounted inside) is never entered either.
void DeleteTree(const Filename& path, Bool folder, Int64 size, DeleteProgress& p)
{
  if (p.cancelled || p.failed)
    return;
  if (folder) {
    FileStatus st;
    if (!GeGetFileStatus(path, &st) || st.device != p.device) {
      p.failed = true;
      return;
    }
    struct Entry
    {
      Filename path;
      Bool folder;
      Int64 size;
    };
    std::vector<Entry> entries;
    {
      BrowseFiles browse;
      if (browse.Init(path))
        while (browse.GetNext()) {
          const FolderEntry& e = browse.Entry();
          entries.push_back({path + e.name, e.IsFolder() && !e.IsLink(), EntryBytes(e.attributes, e.size)});
        }
      if (browse.Error() != 0) {
        p.failed = true;
        return;
      }
    }
    for (const Entry& e : entries)
      DeleteTree(e.path, e.folder, e.size, p);
    if (p.cancelled || p.failed)
      return;
  }
  if (!GeDelete(path)) {
    p.failed = true;
    return;
  }
  if (p.callback && p.callback(p.data, EDITPHASE_DO, 1, size, 0) < 0)
    p.cancelled = true;
}

struct CopyProgress
{
  EditCallback callback = nullptr;
  void* data = nullptr;
  // Each file synced before it is closed; otherwise a scope of the caller syncs the file system once.
  Bool syncEach = true;
  Bool cancelled = false;
  Bool failed = false;
  // One block for every file of the copy, taken at the first file.
  std::unique_ptr<char[]> block;
  // Between blocks (count 0, the block's bytes) and after each item (count 1): the items and
  // bytes add up to what the walk of phase 1 reported.
  Bool Report(Int32 count, Int64 size)
  {
    if (callback && callback(data, EDITPHASE_DO, count, size, 0) < 0)
      cancelled = true;
    return !cancelled;
  }
};

constexpr Int64 kCopyBlock = 1 << 20;

void CopyFileData(const Filename& from, const Filename& to, CopyProgress& p)
{
  BaseFile in, out;
  if (!in.Open(from, FileMode::Read) || !out.Open(to, FileMode::Write)) {
    p.failed = true;
    return;
  }
  if (!p.block) {
    p.block.reset(new (std::nothrow) char[std::size_t(kCopyBlock)]);
    if (!p.block) {
      p.failed = true;
      return;
    }
  }
  char* block = p.block.get();
  for (;;) {
    const Int64 n = in.ReadBytes(block, kCopyBlock);
    if (n < 0 || (n > 0 && !out.WriteBytes(block, n))) {
      p.failed = true;
      return;
    }
    if (n == 0)
      break;
    if (!p.Report(0, n))
      return;
  }
  if ((p.syncEach && !out.Sync()) || !out.Close())
    p.failed = true;
}

// The copy helper: a file, a link (as a link) or a folder with everything in it, to a path that
// does not exist yet. Links are never entered; pipes, sockets and devices are left out.
void CopyTree(const Filename& from, const Filename& to, UInt32 attributes, CopyProgress& p)
{
  if (p.cancelled || p.failed)
    return;
  if (attributes & FILEATTR_LINK) {
    if (!GeCopyLink(from, to))
      p.failed = true;
  } else if (attributes & FILEATTR_FOLDER) {
    if (GeMakeFolder(to) != MAKEFOLDER_CREATED) {
      p.failed = true;
      return;
    }
    std::vector<FolderEntry> entries;
    {
      BrowseFiles browse;
      if (browse.Init(from))
        while (browse.GetNext())
          entries.push_back(browse.Entry());
      if (browse.Error() != 0) {
        p.failed = true;
        return;
      }
    }
    for (const FolderEntry& e : entries) {
      if ((e.attributes & FILEATTR_SPECIAL) && !(e.attributes & FILEATTR_LINK))
        continue;
      CopyTree(from + e.name, to + e.name, e.attributes, p);
      if (p.cancelled || p.failed)
        return;
    }
  } else if (!(attributes & FILEATTR_SPECIAL)) {
    CopyFileData(from, to, p);
  } else {
    return;
  }
  if (!p.failed && !p.cancelled)
    p.Report(1, 0);
}

// True when folder is entry or lies inside it, by what the paths lead to on disk (so a second
// spelling or a link on the way makes no difference).
Bool InsideOf(const Filename& folder, const FileStatus& entry)
{
  Filename cur = folder;
  for (Int32 depth = 0; depth < 4096; ++depth) {
    FileStatus st, up;
    if (!GeGetFileStatus(cur + String("."), &st))
      return true; // unknown: refuse rather than risk copying a folder into itself
    if (st.device == entry.device && st.inode == entry.inode)
      return true;
    cur = cur + String("..");
    if (!GeGetFileStatus(cur + String("."), &up))
      return true;
    if (up.device == st.device && up.inode == st.inode)
      return false; // the top
  }
  return true;
}

std::atomic<PresetFileSource> g_presetFiles{nullptr};
std::atomic<UInt32> g_copyCounter{0};

// The main database keeps records of files (annotations, keywords, previews) by URL: they follow an
// entry that is renamed or moved, with everything below it, and go with an entry that is deleted.
String FileURLText(const String& path)
{
  BrowserURL u{Filename(path)};
  return u.GetString();
}

std::mutex g_recordsLock;
DirectoryRecords g_records;

DirectoryRecords Records()
{
  std::lock_guard l(g_recordsLock);
  return g_records;
}

void MoveMainRecords(const String& oldPath, const String& newPath)
{
  if (auto move = Records().moveBelow)
    move(FileURLText(oldPath), FileURLText(newPath));
}

void DeleteMainRecords(const String& path)
{
  if (auto remove = Records().removeBelow)
    remove(FileURLText(path));
}

} // namespace

void SetPresetFileSource(PresetFileSource source) { g_presetFiles.store(source, std::memory_order_release); }

namespace {
std::atomic<StoredFilePreview> g_storedPreviews{nullptr};
} // namespace

void SetStoredFilePreview(StoredFilePreview source) { g_storedPreviews.store(source, std::memory_order_release); }

namespace {
thread_local OrxThread* t_listingBreak = nullptr;
} // namespace

void SetListingBreakThread(OrxThread* thread) { t_listingBreak = thread; }

Bool ListingBreakAsked() { return t_listingBreak && t_listingBreak->TestBreak(); }

void SetDirectoryRecords(const DirectoryRecords& records)
{
  std::lock_guard l(g_recordsLock);
  g_records = records;
}

DirectoryNode::DirectoryNode(UInt32 status, const Filename& path, const String& name, EntryKind kind)
    : BrowserContentNode(status), path_(path), kind_(kind)
{
  if (name != NameOf(path))
    shownName_.reset(new (std::nothrow) String(name));
}

EntryKind DirectoryNode::KindOf(UInt32 attributes)
{
  const Bool link = attributes & FILEATTR_LINK;
  if (attributes & FILEATTR_FOLDER)
    return link ? EntryKind::LinkToFolder : EntryKind::Folder;
  if (link)
    return EntryKind::Link;
  return (attributes & FILEATTR_SPECIAL) ? EntryKind::Special : EntryKind::File;
}

UInt32 DirectoryNode::StatusOf(const FolderEntry& e, EntryKind kind)
{
  UInt32 status = (kind == EntryKind::Folder || kind == EntryKind::LinkToFolder) ? DIRSTATUS_NEW_FOLDER : 0;
  if (e.IsReadOnly())
    status |= NODESTATUS_READONLY;
  return status;
}

Ref<DirectoryNode> DirectoryNode::MakeEntry(const Filename& folder, const FolderEntry& e, EntryKind kind)
{
  Ref<DirectoryNode> n(new (std::nothrow) DirectoryNode(StatusOf(e, kind), folder + e.name, e.name, kind));
  if (n)
    n->Refresh(e);
  return n;
}

Ref<DirectoryNode> DirectoryNode::MakeForPath(const Filename& path)
{
  FileStatus st;
  if (path.IsEmpty() || !GeGetFileStatus(path, &st))
    return nullptr;
  FolderEntry e;
  e.name = path.GetFileString();
  e.attributes = st.attributes;
  e.size = st.size;
  e.created = st.created;
  e.modified = st.modified;
  e.modifiedNs = st.modifiedNs;
  e.changedNs = st.changedNs;
  const EntryKind kind = KindOf(st.attributes);
  Ref<DirectoryNode> n(new (std::nothrow)
                           DirectoryNode(StatusOf(e, kind), path, e.name.IsEmpty() ? path.GetString() : e.name, kind));
  if (n)
    n->Refresh(e);
  return n;
}

Ref<DirectoryNode> DirectoryNode::MakeVolume(const Filename& path, const String& label)
{
  String name = path.GetString();
  if (label.Content())
    name = name + String(" [") + label + String("]");
  Ref<DirectoryNode> n(new (std::nothrow) DirectoryNode(DIRSTATUS_NEW_VOLUME, path, name, EntryKind::Folder));
  if (n)
    n->fixed_ = true; // a volume is never renamed or deleted
  return n;
}

void DirectoryNode::SyncVolumes(BrowserContentNode* parent)
{
  if (!parent)
    return;
  struct Volume
  {
    Filename path;
    String label;
  };
  std::vector<Volume> found;
  {
    BrowseVolumes volumes;
    if (!volumes.Init())
      return;
    while (volumes.GetNext()) {
      const VolumeEntry& v = volumes.Entry();
      if (!(v.flags & VOLUMEFLAG_HIDDEN) && v.path.Content())
        found.push_back({v.path, v.name});
    }
  }
  std::lock_guard content(parent->ContentLock());
  std::unordered_map<std::u16string, Ref<DirectoryNode>> existing;
  for (NodeRef c = BrowserContentNode::FromTree(parent->GetFirstChild()); c; c = c->GetNextNode()) {
    DirectoryNode* d = AsDirectory(c.Get());
    if (d && (d->GetStatus() & NODESTATUS_VOLUME))
      existing.emplace(std::u16string(d->GetPath().GetString().View()), Ref<DirectoryNode>(d));
  }
  for (const Volume& v : found) {
    const std::u16string key(v.path.GetString().View());
    auto it = existing.find(key);
    if (it != existing.end()) {
      existing.erase(it);
      continue;
    }
    if (Ref<DirectoryNode> n = MakeVolume(v.path, v.label)) {
      n->InsertUnder(parent);
      existing.emplace(key, nullptr); // a volume listed twice is shown once
    }
  }
  for (auto& [key, node] : existing)
    if (node)
      node->Remove();
}

void DirectoryNode::BuildVolumes(CategoryNode* fileRoot) { SyncVolumes(fileRoot); }

Filename DirectoryNode::GetPath() const
{
  std::lock_guard l(fieldLock_);
  return path_;
}

Int64 DirectoryNode::GetSizeField() const
{
  std::lock_guard l(fieldLock_);
  return size_;
}

String DirectoryNode::GetName()
{
  if (shownName_)
    return *shownName_;
  std::lock_guard l(fieldLock_);
  return NameOf(path_);
}

String DirectoryNode::URLText() const
{
  BrowserURL u(GetPath());
  return u.GetString();
}

Bool DirectoryNode::GetURL(BrowserURL* out, UInt32)
{
  if (!out)
    return false;
  out->SetFilename(GetPath());
  return true;
}

Int32 DirectoryNode::MatchUpperURLPrefix(const String& upper)
{
  // Without the URL as given, letter case cannot be told apart: never a match, rather than the
  // wrong file.
  (void)upper;
  return -1;
}

Int32 DirectoryNode::MatchURLPrefix(const String& upper, const String& text)
{
  (void)upper;
  // Scheme and host ignore case as URLs do; the path is the file's name, byte for byte.
  const String mine = URLText();
  const Int32 len = mine.GetLength();
  const Int32 host = Int32(kFileHost.size());
  if (len == 0 || len > text.GetLength() || len < host)
    return -1;
  if (!AsciiEqualIgnoreCase(mine.Units(), text.Units(), host))
    return -1;
  if (mine.View().substr(std::size_t(host)) != text.View().substr(std::size_t(host), std::size_t(len - host)))
    return -1;
  return len;
}

Bool DirectoryNode::GetFileTime(Int32 which, DateTime* out)
{
  if (!out)
    return false;
  std::lock_guard l(fieldLock_);
  switch (which) {
    case FILETIME_CREATED: *out = UnpackTime(created_); return true;
    case FILETIME_MODIFIED:
    case FILETIME_MODIFIED_ALT: *out = UnpackTime(modified_); return true;
    default: *out = DateTime{}; return false;
  }
}

UInt32 DirectoryNode::GetInfo(Int64* size)
{
  const UInt32 status = GetStatus();
  if (size)
    *size = (status & NODEMASK_NO_SIZE) ? 0 : GetSizeField();
  return status;
}

BrowserPluginInterface* DirectoryNode::GetPluginInterface(UInt32 flags)
{
  if (GetStatus() & NODESTATUS_FOLDER)
    return FindPluginByID(HANDLER_ID_FOLDER);
  BrowserURL url(GetPath());
  // Only regular files are read for their first bytes; a pipe or device is judged by name.
  if (kind_ == EntryKind::Special)
    flags |= PLUGINREQUEST_QUICK;
  return handler_.Get(this, url, flags);
}

String* DirectoryNode::GetTypeName(String* out, Int32 mode)
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

Int32 DirectoryNode::GetIconId(UInt32 flags)
{
  const UInt32 status = GetStatus();
  const Bool open = flags & ICONREQUEST_OPEN;
  if (status & NODESTATUS_VOLUME)
    return ICON_VOLUME;
  if (status & NODESTATUS_FOLDER) {
    if (status & NODESTATUS_READONLY)
      return open ? ICON_DIR_READONLY_OPEN : ICON_DIR_READONLY;
    return open ? ICON_DIR_OPEN : ICON_DIR;
  }
  return ICON_FILE;
}

BaseBitmap* DirectoryNode::GetIcon(UInt32 flags, Int32 size)
{
  // Icons by id are the icon service's; a file shows its stored preview, else its handler's icon.
  if (!(GetStatus() & (NODESTATUS_FOLDER | NODESTATUS_VOLUME))) {
    if (const StoredFilePreview stored = g_storedPreviews.load(std::memory_order_acquire))
      if (BaseBitmap* b = stored(this, size))
        return b;
    if (BrowserPluginInterface* h = GetPluginInterface(PLUGINREQUEST_QUICK))
      return h->GetIcon(NodeRef(this), nullptr, size);
  }
  (void)flags;
  return nullptr;
}

void DirectoryNode::Refresh(const FolderEntry& e)
{
  const Bool folder = kind_ == EntryKind::Folder || kind_ == EntryKind::LinkToFolder;
  const Stamp s{e.modifiedNs, e.changedNs};
  Bool fileChanged = false;
  {
    std::lock_guard l(fieldLock_);
    created_ = PackTime(e.created);
    if (folder) {
      // A link's own times say nothing about what it points to; its listing reads the target's.
      if (kind_ == EntryKind::Folder && s != stamp_) {
        stamp_ = s;
        modified_ = PackTime(e.modified);
        ++size_;
        SetStatus(NODESTATUS_RELIST);
      } else if (kind_ == EntryKind::LinkToFolder) {
        modified_ = PackTime(e.modified);
      }
    } else if (s != stamp_ || size_ != e.size) {
      fileChanged = stamp_ != Stamp{} || size_ != 0;
      stamp_ = s;
      modified_ = PackTime(e.modified);
      size_ = e.size;
    }
  }
  if (e.IsReadOnly())
    SetStatus(NODESTATUS_READONLY);
  else
    ClearStatus(NODESTATUS_READONLY);
  fixed_.store((e.attributes & FILEATTR_FIXED) != 0, std::memory_order_release);
  // Whatever handler the old content had may not fit the new one.
  if (fileChanged)
    handler_.Clear(this);
}

Bool DirectoryNode::Merge(std::vector<Listed>& entries, Bool sweep)
{
  const Filename folder = GetPath();
  auto key = [](const String& name, EntryKind kind) {
    std::u16string k(name.View());
    k.push_back(char16_t(kind));
    return k;
  };
  return MergeListedChildren<DirectoryNode>(
      this, entries, sweep, [](BrowserContentNode* c) { return AsDirectory(c); },
      [&](DirectoryNode* d) { return key(d->GetName(), d->kind_); },
      [&](const Listed& l) { return key(l.entry.name, l.kind); },
      [](DirectoryNode* d, const Listed& l) { d->Refresh(l.entry); },
      [&](const Listed& l) { return MakeEntry(folder, l.entry, l.kind); },
      // A merge of a huge folder ends between two entries when a search is asked to stop.
      [] { return ListingBreakAsked(); });
}

Bool DirectoryNode::LoadChildren()
{
  const UInt32 status = GetStatus();
  if (!(status & NODESTATUS_FOLDER) || (status & NODESTATUS_DELETED))
    return false;
  if ((status & NODESTATUS_VOLUME) && (status & NODESTATUS_VOLUME_HIDDEN))
    return false;
  const Filename path = GetPath();
  // A folder of a network file system is read on a host thread within the time limit of network
  // places: a server that does not answer leaves the children as they were, to be read again.
  const Bool network = GeIsNetworkPath(path);
  const Int32 deadline = GeGetTimer() + NetworkNode::GetTimeLimit();
  // A link's listing is its target's: its times are read through it.
  FileStatus self;
  const Filename statusPath = IsLink() ? path + String(".") : path;
  if (network) {
    NetworkJob probe;
    if (!probe.Start(statusPath, false) || !probe.Wait(RemainingMs(deadline))) {
      SetStatus(NODESTATUS_RELIST);
      return true;
    }
    if (!probe.Status(&self))
      return false;
  } else if (!GeGetFileStatus(statusPath, &self)) {
    return false;
  }
  if (!(self.attributes & FILEATTR_FOLDER))
    return false; // a volume without media, or a folder that went: the parent's listing decides
  const Stamp now{self.modifiedNs, self.changedNs};
  const Bool racy = self.readNs - self.modifiedNs < kRacyNs;
  Stamp listedAgainst;
  UInt32 edits = 0;
  {
    std::lock_guard content(ContentLock());
    std::lock_guard l(fieldLock_);
    if (now != stamp_) {
      stamp_ = now;
      modified_ = PackTime(self.modified);
      SetStatus(NODESTATUS_RELIST);
    }
    if (size_ != 0 && !(GetStatus() & NODESTATUS_RELIST))
      return true;
    listedAgainst = stamp_;
    edits = edits_.load(std::memory_order_acquire);
  }

  // The disk is read with no lock held: a slow or dead mount stalls only this call.
  std::vector<Listed> entries;
  Int32 error = 0;
  if (network) {
    NetworkJob list;
    if (!list.Start(path, true) || !list.Wait(RemainingMs(deadline))) {
      SetStatus(NODESTATUS_RELIST);
      return true;
    }
    FolderEntry e;
    for (Int32 i = 0, n = list.Count(); i < n; ++i)
      if (list.Entry(i, &e) && !e.IsHidden())
        entries.push_back({e, KindOf(e.attributes)});
    error = list.Error();
  } else {
    BrowseFiles browse;
    Bool cut = false;
    if (browse.Init(path)) {
      while (browse.GetNext()) {
        const FolderEntry& e = browse.Entry();
        if (!e.IsHidden())
          entries.push_back({e, KindOf(e.attributes)});
        if (ListingBreakAsked()) {
          cut = true;
          break;
        }
      }
    }
    error = cut ? ECANCELED : browse.Error();
  }
  // Whoever stopped the listing is waiting: what was read is not merged, the next call lists again.
  if (error == ECANCELED) {
    SetStatus(NODESTATUS_RELIST);
    return false;
  }

  std::lock_guard content(ContentLock());
  if (GetStatus() & NODESTATUS_DELETED)
    return false;
  // An edit through the nodes came in between: what was read may show entries as they were before
  // it (a folder just made missing, one just deleted still there). The next call lists again.
  if (edits_.load(std::memory_order_acquire) != edits) {
    SetStatus(NODESTATUS_RELIST);
    return true;
  }
  if (!Merge(entries, error == 0)) {
    SetStatus(NODESTATUS_RELIST);
    return false;
  }
  std::lock_guard l(fieldLock_);
  ++size_;
  // A failed listing, a change seen meanwhile or a time too close to the listing: list again.
  if (error == 0 && !racy && stamp_ == listedAgainst)
    ClearStatus(NODESTATUS_RELIST);
  else
    SetStatus(NODESTATUS_RELIST);
  return true;
}

Bool DirectoryNode::NeedsListing() const
{
  std::lock_guard l(fieldLock_);
  return size_ == 0 || (GetStatus() & NODESTATUS_RELIST);
}

DirectoryNode::NamePass DirectoryNode::PassByName(Bool (*wanted)(void* data, const String& name), void* data,
                                                  std::vector<NamedEntry>* out, Bool fileNodes, std::u16string* names)
{
  const UInt32 status = GetStatus();
  if (!out || !wanted || kind_ != EntryKind::Folder || !(status & NODESTATUS_FOLDER) ||
      (status & (NODESTATUS_DELETED | NODESTATUS_VOLUME)))
    return NamePass::Failed;
  const Filename path = GetPath();
  if (GeIsNetworkPath(path))
    return NamePass::Failed; // read within the time limit of network places by LoadChildren
  const UInt32 edits = edits_.load(std::memory_order_acquire);
  struct Read
  {
    FolderEntry entry;
    FileStatus st;
    Bool wanted;
  };
  std::vector<Read> found;
  // Wanted plain files that get no node, in their place among found (by its size then).
  struct Named
  {
    std::size_t place;
    String name;
    UInt32 at, length; // in names
  };
  std::vector<Named> named;
  {
    // The disk is read with no lock held.
    BrowseFiles browse;
    if (!browse.Init(path, BROWSEFILES_NAMES))
      return NamePass::Failed;
    while (browse.GetNext()) {
      if (ListingBreakAsked())
        return NamePass::Stopped;
      const FolderEntry& e = browse.Entry();
      if (e.IsHidden())
        continue;
      const Bool folder = (e.attributes & FILEATTR_FOLDER) && !(e.attributes & FILEATTR_LINK);
      const Bool take = wanted(data, e.name);
      if (!take && !folder)
        continue;
      if (take && !fileNodes && !(e.attributes & (FILEATTR_FOLDER | FILEATTR_LINK))) {
        if (names && names->size() + std::size_t(e.name.GetLength()) < 0xffffffffu) {
          named.push_back(Named{found.size(), String(), UInt32(names->size()), UInt32(e.name.GetLength())});
          names->append(e.name.View());
        } else {
          named.push_back(Named{found.size(), e.name, 0, 0});
        }
        continue;
      }
      Read r{FolderEntry(), FileStatus(), take};
      r.entry.name = e.name;
      // An older host gave the status with the entry, but not where it lies.
      if (!browse.Status(&r.st) && !GeGetFileStatus(path + e.name, &r.st))
        continue; // gone since it was listed
      if (!take && (!(r.st.attributes & FILEATTR_FOLDER) || (r.st.attributes & FILEATTR_LINK)))
        continue;
      r.entry.attributes = r.st.attributes;
      r.entry.size = r.st.size;
      r.entry.created = r.st.created;
      r.entry.modified = r.st.modified;
      r.entry.modifiedNs = r.st.modifiedNs;
      r.entry.changedNs = r.st.changedNs;
      found.push_back(std::move(r));
    }
    if (browse.Error() != 0)
      return NamePass::Failed;
  }
  std::lock_guard content(ContentLock());
  if ((GetStatus() & NODESTATUS_DELETED) || edits_.load(std::memory_order_acquire) != edits)
    return NamePass::Failed;
  // The nodes a listing made before are kept, as a merge keeps them.
  std::unordered_map<std::u16string, Ref<DirectoryNode>> existing;
  for (NodeRef c = BrowserContentNode::FromTree(GetFirstChild()); c; c = c->GetNextNode())
    if (DirectoryNode* d = AsDirectory(c.Get())) {
      std::u16string key(d->GetName().View());
      key.push_back(char16_t(d->kind_));
      existing.emplace(std::move(key), Ref<DirectoryNode>(d));
    }
  out->reserve(out->size() + found.size() + named.size());
  std::size_t nextNamed = 0;
  auto putNamed = [&](std::size_t upTo) {
    for (; nextNamed < named.size() && named[nextNamed].place <= upTo; ++nextNamed) {
      NamedEntry n;
      n.wanted = true;
      n.name = std::move(named[nextNamed].name);
      n.nameAt = named[nextNamed].at;
      n.nameLength = named[nextNamed].length;
      out->push_back(std::move(n));
    }
  };
  for (std::size_t i = 0; i < found.size(); ++i) {
    Read& r = found[i];
    putNamed(i);
    // A merge of many folders ends between two of them.
    if (ListingBreakAsked())
      return NamePass::Stopped;
    const EntryKind kind = KindOf(r.entry.attributes);
    Ref<DirectoryNode> node;
    if (!existing.empty()) {
      std::u16string key(r.entry.name.View());
      key.push_back(char16_t(kind));
      auto it = existing.find(key);
      if (it != existing.end()) {
        node = it->second;
        node->Refresh(r.entry);
      }
    }
    if (!node) {
      node = MakeEntry(path, r.entry, kind);
      if (!node || !node->InsertUnder(this))
        continue;
    }
    out->push_back(NamedEntry{std::move(node), r.wanted, r.st.device, r.st.inode, String(), 0, 0});
  }
  putNamed(found.size());
  SetStatus(NODESTATUS_RELIST);
  return NamePass::Done;
}

namespace {

// Names that start with "." are never listed as nodes, yet a folder's copy, move and delete take
// them along: the walk counts them from the disk, so that its totals equal what the work reports.
// Everything below a hidden folder is counted too; links are not entered.
Bool WalkHidden(const Filename& folder, Bool all, Int32 phase, EditCallback callback, void* data, Bool special)
{
  std::vector<FolderEntry> entries;
  {
    BrowseFiles browse;
    if (browse.Init(folder))
      while (browse.GetNext())
        if (all || (browse.Entry().name.GetLength() > 0 && browse.Entry().name[0] == u'.'))
          entries.push_back(browse.Entry());
  }
  for (const FolderEntry& e : entries) {
    const Bool link = (e.attributes & FILEATTR_LINK) != 0;
    if ((e.attributes & FILEATTR_SPECIAL) && !link && !special)
      continue; // the copy leaves pipes and devices out
    const Bool isFolder = (e.attributes & FILEATTR_FOLDER) && !link;
    if (callback(data, phase, 1, EntryBytes(e.attributes, e.size), 0) < 0)
      return false;
    if (isFolder && !WalkHidden(folder + e.name, true, phase, callback, data, special))
      return false;
  }
  return true;
}

} // namespace

Int64 DirectoryNode::OwnBytes()
{
  if (kind_ != EntryKind::File)
    return 0;
  Int64 size = 0;
  GetInfo(&size);
  return size;
}

Int32 DirectoryNode::Walk(Int32 phase, EditCallback callback, void* data, Bool special)
{
  if (kind_ == EntryKind::Special && !special)
    return EDIT_OK;
  if (callback && callback(data, phase, 1, OwnBytes(), 0) < 0)
    return EDIT_CANCELLED;
  if (IsLink() || !(GetStatus() & NODESTATUS_FOLDER))
    return EDIT_OK;
  for (NodeRef c = GetDownNode(); c; c = c->GetNextNode()) {
    DirectoryNode* d = AsDirectory(c.Get());
    if (!d || (d->GetStatus() & NODESTATUS_VOLUME))
      continue;
    if (d->Walk(phase, callback, data, special) != EDIT_OK)
      return EDIT_CANCELLED;
  }
  if (callback && !WalkHidden(GetPath(), false, phase, callback, data, special))
    return EDIT_CANCELLED;
  return EDIT_OK;
}

void DirectoryNode::ReplaceURLPrefix(const String& oldPrefix, const String& newPrefix, Bool)
{
  String oldPath, newPath;
  {
    std::lock_guard l(fieldLock_);
    const String text = path_.GetString();
    const Int32 n = oldPrefix.GetLength();
    if (text.GetLength() < n || text.ComparePart(oldPrefix, n) != 0)
      return;
    // Only at a part boundary: "/a/b" is no prefix of "/a/bc".
    if (text.GetLength() > n && text[n] != u'/' && (n == 0 || oldPrefix[n - 1] != u'/'))
      return;
    path_ = Filename(newPrefix + text.SubStr(n, text.GetLength() - n));
    oldPath = text;
    newPath = path_.GetString();
  }
  // The record of this entry follows it, whatever update says.
  if (auto move = Records().moveOne)
    move(FileURLText(oldPath), FileURLText(newPath));
  URLChanged();
}

void DirectoryNode::RebaseSubtree(const String& oldPrefix, const String& newPrefix)
{
  ReplaceURLPrefix(oldPrefix, newPrefix, true);
  // Only nodes that exist: what was never listed takes its path from its folder when it is.
  std::vector<NodeRef> todo;
  for (NodeRef c = BrowserContentNode::FromTree(GetFirstChild()); c; c = c->GetNextNode())
    todo.push_back(c);
  while (!todo.empty()) {
    NodeRef n = std::move(todo.back());
    todo.pop_back();
    n->ReplaceURLPrefix(oldPrefix, newPrefix, true);
    for (NodeRef c = BrowserContentNode::FromTree(n->GetFirstChild()); c; c = c->GetNextNode())
      todo.push_back(c);
  }
}

Bool DirectoryNode::MayRemoveEntry()
{
  // A volume is never renamed, moved or deleted, and neither is an entry whose folder does not let
  // this user (the folder's write and search rights, and its sticky bit).
  const UInt32 status = GetStatus();
  if ((status & (NODESTATUS_VOLUME | NODESTATUS_DELETED)) || IsFixed())
    return false;
  // A folder on another device than the folder it lies in is where a file system is mounted.
  if (kind_ == EntryKind::Folder) {
    const Filename path = GetPath();
    FileStatus self, up;
    if (!GeGetFileStatus(path, &self) || !GeGetFileStatus(FolderOf(path), &up) || self.device != up.device)
      return false;
  }
  return true;
}

Int32 DirectoryNode::Rename(Int32 phase, const String& newName)
{
  const Int32 p = EditPhase(phase);
  if (p > EDITPHASE_DO || !IsSingleEntryName(newName) || !MayRemoveEntry())
    return EDIT_RENAME_REFUSED;
  const Filename oldPath = GetPath();
  const Filename newPath = FolderOf(oldPath) + newName;
  if (newPath == oldPath)
    return EDIT_OK;
  FileStatus taken;
  if (GeGetFileStatus(newPath, &taken))
    return EDIT_RENAME_REFUSED;
  if (p != EDITPHASE_DO)
    return EDIT_OK;

  NodeRef parent = GetUpNode();
  {
    TwoContentLocks locks(parent.Get(), this);
    // Never onto an existing name, even one made since the test above.
    if (!GeRenameNoReplace(oldPath, newPath))
      return EDIT_RENAME_REFUSED;
    RebaseSubtree(oldPath.GetString(), newPath.GetString());
    if (DirectoryNode* up = AsDirectory(parent.Get()))
      up->Edited();
  }
  MoveMainRecords(oldPath.GetString(), newPath.GetString());
  NotifyNodeChanged(NodeRef(this));
  return EDIT_OK;
}

Int32 DirectoryNode::NewFolder(Int32 phase, const String& name, NodeRef* out)
{
  if (out)
    *out = nullptr;
  const Int32 p = EditPhase(phase);
  const UInt32 status = GetStatus();
  if (p > EDITPHASE_DO || !(status & NODESTATUS_FOLDER) || (status & (NODESTATUS_READONLY | NODESTATUS_DELETED)) ||
      !IsSingleEntryName(name))
    return EDIT_NEWFOLDER_REFUSED;
  const Filename path = GetPath() + name;
  FileStatus taken;
  if (p != EDITPHASE_DO && GeGetFileStatus(path, &taken))
    return EDIT_NEWFOLDER_REFUSED;
  if (p != EDITPHASE_DO)
    return EDIT_OK;

  Ref<DirectoryNode> made;
  {
    std::lock_guard content(ContentLock());
    // A folder that was there already is a clash, not a success: no second node for it.
    if (GeMakeFolder(path) != MAKEFOLDER_CREATED)
      return EDIT_NEWFOLDER_REFUSED;
    Edited();
    FileStatus st;
    FolderEntry e;
    e.name = name;
    e.attributes = FILEATTR_FOLDER;
    if (GeGetFileStatus(path, &st)) {
      e.attributes = st.attributes;
      e.created = st.created;
      e.modified = st.modified;
      e.modifiedNs = st.modifiedNs;
      e.changedNs = st.changedNs;
    }
    made = MakeEntry(GetPath(), e, EntryKind::Folder);
    if (!made || !made->InsertUnder(this))
      return EDIT_NEWFOLDER_REFUSED;
  }
  NotifyNodeChanged(NodeRef(this));
  if (out)
    *out = NodeRef(made.Get());
  return EDIT_OK;
}

Int32 DirectoryNode::Delete(Int32 phase, EditCallback callback, void* data)
{
  const Int32 p = EditPhase(phase);
  // Asked again in phase 2: other parts call it directly.
  if (p > EDITPHASE_DO || !MayRemoveEntry())
    return EDIT_DELETE_REFUSED;
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p == EDITPHASE_PREPARE)
    return Walk(phase, callback, data);

  const Filename path = GetPath();
  FileStatus st;
  if (!GeGetFileStatus(path, &st))
    return EDIT_DELETE_REFUSED;
  // The disk is changed with no lock held; the node leaves the tree afterwards.
  DeleteProgress progress{callback, data, st.device};
  DeleteTree(path, kind_ == EntryKind::Folder, OwnBytes(), progress);
  NodeRef parent = GetUpNode();
  DirectoryNode* up = AsDirectory(parent.Get());
  if (progress.cancelled || progress.failed) {
    // Part of a folder may be gone: both are listed again when next opened.
    SetStatus(NODESTATUS_RELIST);
    if (up)
      up->SetStatus(NODESTATUS_RELIST);
    return progress.cancelled ? EDIT_CANCELLED : EDIT_DELETE_REFUSED;
  }
  {
    TwoContentLocks locks(parent.Get(), this);
    if (up)
      up->Edited();
    Remove();
  }
  DeleteMainRecords(path.GetString());
  if (parent)
    NotifyNodeChanged(parent);
  return EDIT_OK;
}

Int32 DirectoryNode::MoveHere(NodeRef node, Int32 phase, EditCallback callback, void* data)
{
  DirectoryNode* moved = AsDirectory(node.Get());
  if (!moved)
    return EDIT_WRONG_KIND;
  const Int32 p = EditPhase(phase);
  const UInt32 status = GetStatus();
  if (p > EDITPHASE_DO || moved == this || !(status & NODESTATUS_FOLDER) ||
      (status & (NODESTATUS_READONLY | NODESTATUS_DELETED)) || !moved->MayRemoveEntry())
    return EDIT_MOVE_REFUSED;
  const Filename from = moved->GetPath();
  const Filename folder = GetPath();
  const Filename to = folder + from.GetFileString();
  // Not where it is already, not onto a name that is taken, not into itself.
  FileStatus here, there, taken;
  if (FolderOf(from) == folder || GeGetFileStatus(to, &taken) || IsBelow(folder.GetString(), from.GetString()))
    return EDIT_MOVE_REFUSED;
  // The same file system, by the devices of both (paths have no volume names here); a move never
  // becomes a copy and a delete. A link's folder is what it points to.
  if (!GeGetFileStatus(IsLink() ? folder + String(".") : folder, &here) || !GeGetFileStatus(from, &there) ||
      here.device != there.device)
    return EDIT_MOVE_REFUSED;
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p == EDITPHASE_PREPARE)
    return callback ? moved->Walk(phase, callback, data) : EDIT_OK;

  NodeRef oldParent = moved->GetUpNode();
  {
    TwoContentLocks locks(this, oldParent.Get());
    if (!GeRenameNoReplace(from, to))
      return EDIT_MOVE_FAILED;
    moved->RebaseSubtree(from.GetString(), to.GetString());
    Edited();
    if (DirectoryNode* up = AsDirectory(oldParent.Get()))
      up->Edited();
    moved->InsertUnder(this);
  }
  MoveMainRecords(from.GetString(), to.GetString());
  if (oldParent)
    NotifyNodeChanged(oldParent);
  NotifyNodeChanged(NodeRef(this));
  if (callback)
    return moved->Walk(EDITPHASE_DO, callback, data);
  return EDIT_OK;
}

NodeRef DirectoryNode::AddMadeEntry(const Filename& path, const String& name)
{
  FileStatus st;
  if (!GeGetFileStatus(path, &st))
    return nullptr;
  FolderEntry e;
  e.name = name;
  e.attributes = st.attributes;
  e.size = st.size;
  e.created = st.created;
  e.modified = st.modified;
  e.modifiedNs = st.modifiedNs;
  e.changedNs = st.changedNs;
  Ref<DirectoryNode> made = MakeEntry(GetPath(), e, KindOf(st.attributes));
  if (!made || !made->InsertUnder(this))
    return nullptr;
  return NodeRef(made.Get());
}

Int32 DirectoryNode::CopyPresetHere(const NodeRef& node, Int32 phase)
{
  const Int32 p = EditPhase(phase);
  const UInt32 status = GetStatus();
  // Asked again in phase 2: other parts call it directly.
  if (p > EDITPHASE_DO || !(status & NODESTATUS_FOLDER) || (status & (NODESTATUS_READONLY | NODESTATUS_DELETED)))
    return EDIT_COPY_REFUSED;
  BrowserPluginInterface* handler = node->GetPluginInterface(0);
  if (!handler || handler->GetPluginID(nullptr) != HANDLER_ID_FILE_PRESET)
    return EDIT_COPY_REFUSED;
  if (p != EDITPHASE_DO)
    return EDIT_OK;
  if (node->GetStatus() & NODESTATUS_FOLDER)
    return EDIT_COPY_FAILED;
  const PresetFileSource source = g_presetFiles.load(std::memory_order_acquire);
  ByteArray bytes;
  String fileName;
  // A preset without data makes no file: that is a failure, not a copy.
  if (!source || !source(node, &bytes, &fileName))
    return EDIT_COPY_FAILED;
  const String name = MakeValidName(fileName);
  if (!IsSingleEntryName(name))
    return EDIT_COPY_FAILED;
  const Filename folder = GetPath();
  const Filename to = folder + name;
  FileStatus taken;
  if (GeGetFileStatus(to, &taken))
    return EDIT_COPY_FAILED; // never over an existing entry
  const Filename temp = folder + (String(".orx-copy-") + String::FromInt(Int64(g_copyCounter.fetch_add(1))) +
                                  String("-") + name);
  BaseFile out;
  Bool written = out.Open(temp, FileMode::Write);
  written = written && (bytes.empty() || out.WriteBytes(bytes.data(), Int64(bytes.size())));
  written = out.Close() && written;
  if (!written || !GeRenameNoReplace(temp, to)) {
    GeDelete(temp);
    return EDIT_COPY_FAILED;
  }
  {
    std::lock_guard content(ContentLock());
    Edited();
    AddMadeEntry(to, name);
  }
  NotifyNodeChanged(NodeRef(this));
  return EDIT_OK;
}

Int32 DirectoryNode::CopyHere(NodeRef node, Int32 phase, const String* newName, EditCallback callback, void* data)
{
  if (!node)
    return EDIT_COPY_REFUSED;
  DirectoryNode* source = AsDirectory(node.Get());
  if (!source)
    return node->GetNodeType() == NODETYPE_PRESET ? CopyPresetHere(node, phase) : EDIT_WRONG_KIND;
  const Int32 p = EditPhase(phase);
  const UInt32 status = GetStatus();
  if (p > EDITPHASE_DO || !(status & NODESTATUS_FOLDER) || (status & (NODESTATUS_READONLY | NODESTATUS_DELETED)) ||
      source->IsDeleted())
    return EDIT_COPY_REFUSED;
  const Filename from = source->GetPath();
  const String name = newName && newName->Content() ? *newName : from.GetFileString();
  const Filename folder = GetPath();
  const Filename to = folder + name;
  FileStatus src, taken;
  // Never onto an existing entry (the source itself included), never a folder into itself.
  if (!IsSingleEntryName(name) || !GeGetFileStatus(from, &src) || GeGetFileStatus(to, &taken))
    return EDIT_COPY_REFUSED;
  // A pipe or device has no content to copy: reading it could wait for ever.
  if ((src.attributes & FILEATTR_SPECIAL) && !(src.attributes & FILEATTR_LINK))
    return EDIT_COPY_REFUSED;
  if ((src.attributes & FILEATTR_FOLDER) && !(src.attributes & FILEATTR_LINK) && InsideOf(folder, src))
    return EDIT_COPY_REFUSED;
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p == EDITPHASE_PREPARE)
    return source->Walk(phase, callback, data, false);

  // Written under a hidden temporary name in the destination and renamed into place, so a failure
  // or a cancel leaves nothing half-made under the real name.
  const Filename temp = folder + (String(".orx-copy-") + String::FromInt(Int64(g_copyCounter.fetch_add(1))) +
                                  String("-") + name);
  CopyProgress progress;
  progress.callback = callback;
  progress.data = data;
  // Under a scope of the caller the file system is synced once for all the files, before anything
  // old goes and at the end; alone, each file is synced before the copy takes its real name.
  progress.syncEach = !FileSyncScope::Defer(folder);
  CopyTree(from, temp, src.attributes, progress);
  Bool placed = !progress.cancelled && !progress.failed && GeRenameNoReplace(temp, to);
  if (!placed) {
    FileStatus t;
    if (GeGetFileStatus(temp, &t)) {
      DeleteProgress cleanup{nullptr, nullptr, t.device};
      DeleteTree(temp, (t.attributes & FILEATTR_FOLDER) && !(t.attributes & FILEATTR_LINK), 0, cleanup);
    }
    return progress.cancelled ? EDIT_CANCELLED : EDIT_COPY_FAILED;
  }
  {
    std::lock_guard content(ContentLock());
    Edited();
    AddMadeEntry(to, name);
  }
  NotifyNodeChanged(NodeRef(this));
  return EDIT_OK;
}
