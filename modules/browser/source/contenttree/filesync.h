// Durability of copied files, paid once per file system instead of once per file. Whoever runs many
// copies on a thread (the item progress worker) opens a scope there: the nodes' copies on that
// thread leave their files unsynced and note the folder they wrote to, and the owner syncs those
// file systems before anything old is deleted or replaced, and once at the end. Without a scope a
// node syncs its own copy before it takes its real name.
//
// Threads: a scope belongs to the thread that made it and is found only by edits on that thread.
#pragma once

#include <vector>

#include "orx/filename.h"

class FileSyncScope
{
public:
  FileSyncScope();
  // Does not sync: the owner calls Sync (a failure must reach the owner, not vanish here).
  ~FileSyncScope();
  FileSyncScope(const FileSyncScope&) = delete;
  FileSyncScope& operator=(const FileSyncScope&) = delete;

  // Syncs the file system of every folder noted since the last call; true when nothing failed.
  Bool Sync();

  // For the nodes: true when a scope on this thread took note of folder and will sync its file
  // system; false when the caller must sync it itself.
  static Bool Defer(const Filename& folder);
  // The innermost scope on this thread syncs what it noted (true when there is no scope).
  static Bool SyncCurrent();

private:
  std::vector<Filename> folders_;
  FileSyncScope* outer_;
};
