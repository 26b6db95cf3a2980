// The content browser's copy, move, delete and link of many nodes, for other plug-ins and the
// host's commands: host library 1017646, version 1. The work runs in the browser's worker while its
// progress dialog is open (a bar on a terminal); a name that is taken in the destination is asked
// about with a yes/no question. Main thread.
#pragma once

#include "orx/string.h"

constexpr Int32 ITEMPROGRESSLIB_ID = 1017646;
constexpr Int32 ITEMPROGRESSLIB_VERSION = 1;

struct OrxBrowserNode;

// Operations, options and end statuses.
constexpr Int32 ORX_ITEMS_COPY = 1, ORX_ITEMS_MOVE = 2, ORX_ITEMS_DELETE = 3, ORX_ITEMS_LINK = 4;
constexpr UInt32 ORX_ITEMS_SKIP_EXISTING = 0x1, ORX_ITEMS_REPLACE = 0x2;
constexpr Int32 ORX_ITEMS_DONE = 0, ORX_ITEMS_CANCELLED = 1, ORX_ITEMS_CONFLICT = 2, ORX_ITEMS_INSIDE = 3,
                ORX_ITEMS_FAILED = 4;

extern "C" {

struct OrxItemProgressOutcome
{
  Int32 status;
  Int32 result; // the node operation's result code when it failed
  Int32 skipped; // sources left out because their name was taken
  UInt32 totalFiles, doneFiles;
  UInt64 totalBytes, doneBytes;
};

struct OrxItemProgressLibrary
{
  Int32 size; // of the record
  // count nodes (borrowed) into destination (borrowed; null for delete). out and item (the name of
  // the item that failed or was in the way) may be null. Answers the end status; the message of a
  // failure has been shown.
  Int32 (*run)(Int32 operation, Int32 count, OrxBrowserNode** nodes, OrxBrowserNode* destination, UInt32 options,
               OrxItemProgressOutcome* out, String* item);
};

} // extern "C"
