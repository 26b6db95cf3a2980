#include "contenttree/filesync.h"

#include "orx/files.h"

namespace {
thread_local FileSyncScope* t_scope = nullptr;
} // namespace

FileSyncScope::FileSyncScope() : outer_(t_scope) { t_scope = this; }

FileSyncScope::~FileSyncScope() { t_scope = outer_; }

Bool FileSyncScope::Sync()
{
  Bool ok = true;
  for (const Filename& f : folders_)
    ok = GeSyncFileSystem(f) && ok;
  folders_.clear();
  return ok;
}

Bool FileSyncScope::Defer(const Filename& folder)
{
  FileSyncScope* s = t_scope;
  if (!s || !GeCanSyncFileSystem())
    return false;
  for (const Filename& f : s->folders_)
    if (f == folder)
      return true;
  s->folders_.push_back(folder);
  return true;
}

Bool FileSyncScope::SyncCurrent() { return t_scope ? t_scope->Sync() : true; }
