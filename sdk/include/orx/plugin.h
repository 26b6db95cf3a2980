// How the host talks to a plug-in: the one exported entry point, its actions and the plug-in
// messages, with the records they carry.
#pragma once

#include "orx/string.h"
#include "orx/types.h"

// The entry point every plug-in exports.
ORX_EXPORT Int32 orx_main(Int32 action, void* p1, void* p2, void* p3);

// Entry actions.
constexpr Int32 ORX_ACTION_INIT = 1;
constexpr Int32 ORX_ACTION_START = 2;
constexpr Int32 ORX_ACTION_END = 3;
constexpr Int32 ORX_ACTION_QUERY = 4;
constexpr Int32 ORX_ACTION_MESSAGE = 6;

// Plug-in messages (action 6).
constexpr Int32 ORX_MSG_VERSION = 0;
constexpr Int32 ORX_MSG_OPEN_RESOURCE = 1;
constexpr Int32 ORX_MSG_STARTUP_ACTIVITY = 1000;
constexpr Int32 ORX_MSG_RUN_START = 1001084;
constexpr Int32 ORX_MSG_VOLUME_CHANGE = 1001190;
constexpr Int32 ORX_MSG_END_OF_PROGRAM = 200000272;

// The host record of message 1; the module clears its one pointer field once the resource is open.
struct OrxPluginStartRecord
{
  void* field;
};

// The record of message 1001190.
struct OrxVolumeChangeRecord
{
  String* drive;
  Int32 removed;
};
