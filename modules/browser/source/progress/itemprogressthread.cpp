#include "progress/itemprogressthread.h"

#include "base/browserurl.h"
#include "contenttree/filesync.h"
#include "contenttree/nodeconstants.h"
#include "orx/files.h"

namespace {

std::atomic<UInt32> g_tempCounter{0};

Bool FileOf(const NodeRef& node, Filename* out)
{
  BrowserURL u;
  return node && node->GetURL(&u, 0) && u.IsFile() && u.GetFilename(out) && !out->IsEmpty();
}

String URLText(const NodeRef& node)
{
  BrowserURL u;
  if (!node || !node->GetURL(&u, 0))
    return String();
  return u.GetString();
}

// True when folder is the entry at source or lies inside it, by what the paths lead to on disk: a
// second spelling of the same folder, or a link on the way, makes no difference.
Bool FolderInside(const Filename& folder, const FileStatus& source)
{
  Filename cur = folder;
  for (Int32 depth = 0; depth < 4096; ++depth) {
    FileStatus st, up;
    if (!GeGetFileStatus(cur + String("."), &st))
      return true; // unknown: refuse rather than risk a copy into itself
    if (st.device == source.device && st.inode == source.inode)
      return true;
    cur = cur + String("..");
    if (!GeGetFileStatus(cur + String("."), &up))
      return true;
    if (up.device == st.device && up.inode == st.inode)
      return false;
  }
  return true;
}

Int32 RefusalOf(Int32 operation)
{
  switch (operation) {
    case ITEMOP_MOVE: return EDIT_MOVE_REFUSED;
    case ITEMOP_DELETE: return EDIT_DELETE_REFUSED;
    default: return EDIT_COPY_REFUSED;
  }
}

} // namespace

ItemProgressThread::ItemProgressThread(Int32 operation, std::vector<NodeRef> sources, NodeRef destination,
                                       UInt32 options)
    : operation_(operation), sources_(std::move(sources)), destination_(std::move(destination)), options_(options)
{
}

ItemProgressThread::~ItemProgressThread()
{
  // Main uses the members: it must have returned before any of them goes.
  OrxThread::End(true);
}

Bool ItemProgressThread::Run(Bool async, Int32 priority)
{
  if (IsRunning())
    return false;
  OrxThread::Wait();
  status_.store(ITEMSTATUS_RUNNING, std::memory_order_release);
  if (!Start(async, priority)) {
    status_.store(ITEMSTATUS_FAILED, std::memory_order_release);
    return false;
  }
  return true;
}

void ItemProgressThread::ReplaceConflict()
{
  std::lock_guard g(lock_);
  replaceOnce_ = conflict_;
}

NodeRef ItemProgressThread::GetConflict()
{
  std::lock_guard g(lock_);
  return conflict_;
}

String ItemProgressThread::GetItemName()
{
  std::lock_guard g(lock_);
  return itemName_;
}

Int32 ItemProgressThread::Progress(void* data, Int32, Int32 count, Int64 size, Int32)
{
  auto* t = static_cast<ItemProgressThread*>(data);
  if (!t)
    return 0;
  const UInt32 files = count > 0 ? UInt32(count) : 0;
  const UInt64 bytes = size > 0 ? UInt64(size) : 0;
  if (t->counting_.load(std::memory_order_relaxed)) {
    t->totalFiles_.fetch_add(files, std::memory_order_relaxed);
    t->totalBytes_.fetch_add(bytes, std::memory_order_relaxed);
  } else {
    t->doneFiles_.fetch_add(files, std::memory_order_relaxed);
    t->doneBytes_.fetch_add(bytes, std::memory_order_relaxed);
  }
  return t->TestBreak() ? EDIT_CANCELLED : EDIT_OK;
}

void ItemProgressThread::Main()
{
  NodeChangeScope scope(&changed_);
  // The copies leave their files to one sync of each file system written to (Replace syncs before
  // an old item goes), at the end of the run whatever its status: what was copied is on the disk
  // before the run reports it.
  FileSyncScope sync;
  Int32 status;
  // Nodes of other plug-ins may throw; nothing may leave the worker.
  try {
    status = Work();
  } catch (...) {
    status = Finish(ITEMSTATUS_FAILED, nullptr, RefusalOf(operation_));
  }
  if (!sync.Sync() && status != ITEMSTATUS_FAILED)
    status = Finish(ITEMSTATUS_FAILED, nullptr, EDIT_COPY_FAILED);
  if (status == ITEMSTATUS_DONE) {
    sources_.clear();
    destination_ = nullptr;
  }
  status_.store(status, std::memory_order_release);
}

Int32 ItemProgressThread::Finish(Int32 status, const NodeRef& item, Int32 result)
{
  std::lock_guard g(lock_);
  conflict_ = status == ITEMSTATUS_CONFLICT ? item : NodeRef();
  itemName_ = item ? item->GetName() : String();
  result_.store(result);
  return status;
}

Int32 ItemProgressThread::Call(const NodeRef& source, Int32 phase, const String* name)
{
  switch (operation_) {
    case ITEMOP_COPY:
    case ITEMOP_LINK:
      return destination_ ? destination_->CopyHere(source, phase, name, Progress, this) : EDIT_COPY_REFUSED;
    case ITEMOP_MOVE: return destination_ ? destination_->MoveHere(source, phase, Progress, this) : EDIT_MOVE_REFUSED;
    case ITEMOP_DELETE: return source->Delete(phase, Progress, this);
    default: return EDIT_WRONG_KIND;
  }
}

Int32 ItemProgressThread::Ask(const NodeRef& source, const String& name)
{
  (void)name;
  return Call(source, EDITPHASE_ASK, nullptr);
}

NodeRef ItemProgressThread::FindTaken(const String& name, Bool list)
{
  if (!destination_ || name.IsEmpty())
    return nullptr;
  Filename folder;
  const Bool onDisk = FileOf(destination_, &folder);
  if (onDisk) {
    // Names on disk are exact: "A.txt" and "a.txt" are two files here.
    FileStatus st;
    if (!GeGetFileStatus(folder + name, &st))
      return nullptr;
  }
  if (list)
    destination_->LoadChildren();
  // Without listing again: a listing leaves hidden names out.
  for (NodeRef c = BrowserContentNode::FromTree(destination_->GetFirstChild()); c; c = c->GetNextNode()) {
    if (c->IsDeleted())
      continue;
    const String n = c->GetName();
    if (onDisk || c->GetNodeType() == NODETYPE_DIRECTORY ? n == name : n.IsEqualIgnoreCase(name))
      return c;
  }
  return nullptr;
}

Bool ItemProgressThread::DestinationInside(const NodeRef& source)
{
  if (!destination_)
    return false;
  // The destination itself counts: a folder copied into itself is inside itself.
  const String sourceURL = URLText(source);
  for (NodeRef n = destination_; n; n = n->GetUpNode()) {
    if (n.Get() == source.Get())
      return true;
    if (!sourceURL.IsEmpty() && URLText(n) == sourceURL)
      return true;
  }
  Filename from, to;
  FileStatus st;
  // Only folders hold anything; links are copied as links and never entered.
  if (FileOf(source, &from) && FileOf(destination_, &to) && GeGetFileStatus(from, &st) &&
      (st.attributes & FILEATTR_FOLDER) && !(st.attributes & FILEATTR_LINK))
    return FolderInside(to, st);
  return false;
}

Int32 ItemProgressThread::Work()
{
  const size_t count = sources_.size();
  plan_.assign(count, 0);
  taken_.assign(count, nullptr);
  temp_.assign(count, String());
  NodeRef replaceOnce;
  {
    std::lock_guard g(lock_);
    replaceOnce = std::move(replaceOnce_);
    replaceOnce_ = nullptr;
    conflict_ = nullptr;
    itemName_ = String();
  }
  result_.store(0);

  // The totals are counted anew at every run, on top of what earlier runs did.
  counting_.store(true);
  totalFiles_.store(doneFiles_.load());
  totalBytes_.store(doneBytes_.load());

  const size_t first = size_t(next_.load());
  // Everything is asked before anything is counted or changed.
  for (size_t i = first; i < count; ++i) {
    const NodeRef& s = sources_[i];
    if (!s)
      return Finish(ITEMSTATUS_FAILED, nullptr, RefusalOf(operation_));
    if (operation_ != ITEMOP_DELETE && DestinationInside(s))
      return Finish(ITEMSTATUS_INSIDE, s, RefusalOf(operation_));
    const Int32 rc = Ask(s, s->GetName());
    // A taken name is a conflict that is asked below, not a refusal of the node.
    if (rc != EDIT_OK && (operation_ == ITEMOP_DELETE || !FindTaken(s->GetName())))
      return Finish(ITEMSTATUS_FAILED, s, rc);
  }

  for (size_t i = first; i < count; ++i) {
    if (TestBreak())
      return Finish(ITEMSTATUS_CANCELLED, nullptr, EDIT_CANCELLED);
    const NodeRef& s = sources_[i];
    const String name = s->GetName();
    if (operation_ != ITEMOP_DELETE) {
      if (NodeRef taken = FindTaken(name)) {
        Filename a, b;
        FileStatus sa, sb;
        const Bool same = taken.Get() == s.Get() || URLText(taken) == URLText(s) ||
                          (FileOf(taken, &a) && FileOf(s, &b) && GeGetFileStatus(a, &sa) && GeGetFileStatus(b, &sb) &&
                           sa.device == sb.device && sa.inode == sb.inode);
        // Replacing an item by itself would only lose it.
        if (same)
          return Finish(ITEMSTATUS_FAILED, s, RefusalOf(operation_));
        const UInt32 options = options_.load();
        if (options & ITEMOPTION_SKIP) {
          plan_[i] = 1;
          continue;
        }
        if (!(options & ITEMOPTION_REPLACE) && taken.Get() != replaceOnce.Get())
          return Finish(ITEMSTATUS_CONFLICT, taken, RefusalOf(operation_));
        plan_[i] = 2;
        taken_[i] = taken;
        temp_[i] = String(".orx-new-") + String::FromInt(Int64(g_tempCounter.fetch_add(1))) + String("-") + name;
      }
    }
    Int32 rc;
    if (plan_[i] == 2 && operation_ == ITEMOP_MOVE)
      rc = s->Delete(EDITPHASE_PREPARE, Progress, this); // the walk of what the move takes along
    else
      rc = Call(s, EDITPHASE_PREPARE, plan_[i] == 2 ? &temp_[i] : nullptr);
    if (rc != EDIT_OK)
      return Finish(rc == EDIT_CANCELLED || TestBreak() ? ITEMSTATUS_CANCELLED : ITEMSTATUS_FAILED, s, rc);
  }

  counting_.store(false);
  for (size_t i = first; i < count; ++i) {
    const NodeRef& s = sources_[i];
    if (plan_[i] == 1) {
      skipped_.fetch_add(1);
      next_.store(Int32(i + 1), std::memory_order_release);
      continue;
    }
    const Int32 rc = plan_[i] == 2 ? Replace(i, s) : Call(s, EDITPHASE_DO, nullptr);
    if (rc != EDIT_OK)
      return Finish(rc == EDIT_CANCELLED || TestBreak() ? ITEMSTATUS_CANCELLED : ITEMSTATUS_FAILED, s, rc);
    next_.store(Int32(i + 1), std::memory_order_release);
  }
  return Finish(ITEMSTATUS_DONE, nullptr, 0);
}

// The existing item goes only once the new one is complete: a failure or a cancel on the way
// leaves it as it was.
Int32 ItemProgressThread::Replace(size_t i, const NodeRef& source)
{
  const NodeRef old = taken_[i];
  const String name = source->GetName();
  const String aside = String(".orx-old-") + String::FromInt(Int64(g_tempCounter.fetch_add(1))) + String("-") + name;
  if (operation_ == ITEMOP_MOVE) {
    // A move cannot be written under another name: the old item steps aside first and comes back
    // when the move fails.
    if (Int32 rc = old->Rename(EDITPHASE_DO, aside); rc != EDIT_OK)
      return rc;
    const Int32 rc = Call(source, EDITPHASE_DO, nullptr);
    if (rc != EDIT_OK) {
      old->Rename(EDITPHASE_DO, name);
      return rc;
    }
    // What was moved in may have been written just before: the old item (aside, under a hidden
    // name) goes only once the file system holds the new one.
    Filename folder;
    if (FileOf(destination_, &folder) && GeCanSyncFileSystem() && !GeSyncFileSystem(folder))
      return EDIT_MOVE_FAILED;
    old->Delete(EDITPHASE_DO, nullptr, nullptr);
    return EDIT_OK;
  }
  const String& temp = temp_[i];
  const Int32 rc = Call(source, EDITPHASE_DO, &temp);
  if (rc != EDIT_OK)
    return rc;
  // Hidden names are not listed: the node the copy put in is looked up as it is.
  NodeRef made = FindTaken(temp, false);
  if (!made)
    return EDIT_COPY_FAILED;
  // The new item is on the disk before the old one steps aside: after a crash the name holds one
  // of them whole.
  if (!FileSyncScope::SyncCurrent()) {
    made->Delete(EDITPHASE_DO, nullptr, nullptr);
    return EDIT_COPY_FAILED;
  }
  if (Int32 r = old->Rename(EDITPHASE_DO, aside); r != EDIT_OK) {
    made->Delete(EDITPHASE_DO, nullptr, nullptr);
    return r;
  }
  if (Int32 r = made->Rename(EDITPHASE_DO, name); r != EDIT_OK) {
    old->Rename(EDITPHASE_DO, name);
    made->Delete(EDITPHASE_DO, nullptr, nullptr);
    return r;
  }
  old->Delete(EDITPHASE_DO, nullptr, nullptr);
  return EDIT_OK;
}
