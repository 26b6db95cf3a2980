// Named values of content nodes: kinds, status bits and masks, request flags, and the edit protocol.
// These values are stored, published to other plug-ins and compared by callers; never change one.
#pragma once

#include "orx/types.h"

// --- node kinds (GetNodeType) ---
constexpr Int32 NODETYPE_NONE = 0; // an outside plug-in's node that names no kind
constexpr Int32 NODETYPE_CATEGORY = 1;
constexpr Int32 NODETYPE_DIRECTORY = 2;
constexpr Int32 NODETYPE_PRESET = 3;
constexpr Int32 NODETYPE_CATALOG = 4;
constexpr Int32 NODETYPE_BASELIST = 6;
constexpr Int32 NODETYPE_NETWORK = 7;

// --- status flags (stored per node, and as GetInfo returns them) ---
constexpr UInt32 NODESTATUS_FOLDER = 0x1;
constexpr UInt32 NODESTATUS_CONTAINER = 0x2;
constexpr UInt32 NODESTATUS_BUNDLE = 0x4; // no size of its own and not browsed into
constexpr UInt32 NODESTATUS_LINK = 0x8;
constexpr UInt32 NODESTATUS_READONLY = 0x10;
constexpr UInt32 NODESTATUS_DELETED = 0x40;
constexpr UInt32 NODESTATUS_NOHANDLER = 0x80;
// Kind-specific bits share values; the alias says which kind means what.
constexpr UInt32 NODESTATUS_KIND_10000 = 0x10000;
constexpr UInt32 NODESTATUS_NOT_SEEN = NODESTATUS_KIND_10000;      // directory: missing from the latest listing
constexpr UInt32 NODESTATUS_RELATIVE_LINK = NODESTATUS_KIND_10000; // catalog: link relative to the base path
constexpr UInt32 NODESTATUS_KIND_20000 = 0x20000;
constexpr UInt32 NODESTATUS_VOLUME = NODESTATUS_KIND_20000;        // directory: root of a volume
constexpr UInt32 NODESTATUS_NO_PARENT_URL = NODESTATUS_KIND_20000; // catalog: own URL completed from the parent later
constexpr UInt32 NODESTATUS_KIND_40000 = 0x40000;
constexpr UInt32 NODESTATUS_RELIST = NODESTATUS_KIND_40000;       // directory: children to be listed (again)
constexpr UInt32 NODESTATUS_CATALOG_ROOT = NODESTATUS_KIND_40000; // catalog: stands for the whole file
constexpr UInt32 NODESTATUS_QUICK_MATCH = 0x80000; // cached handler found by name only
constexpr UInt32 NODESTATUS_VOLUME_HIDDEN = 0x100000; // directory volume: not to be listed
constexpr UInt32 NODESTATUS_BUSY = 0x8000000;      // a link is being made under this node
constexpr UInt32 NODESTATUS_EXTERNAL = 0x10000000; // made by an outside plug-in; such nodes are fixed
constexpr UInt32 NODESTATUS_UNRESOLVED = 0x20000000;
constexpr UInt32 NODESTATUS_VIRTUAL = 0x40000000; // catalog or category node: not a file

// Masks that callers test GetInfo with.
constexpr UInt32 NODEMASK_BROWSABLE = NODESTATUS_FOLDER | NODESTATUS_CONTAINER;
constexpr UInt32 NODEMASK_NO_SIZE = NODESTATUS_FOLDER | NODESTATUS_BUNDLE;
constexpr UInt32 NODEMASK_NO_EDIT = NODESTATUS_READONLY;

// Status words that node kinds are made with.
constexpr UInt32 NODESTATUS_CATEGORY = NODESTATUS_VIRTUAL | NODESTATUS_FOLDER;

// --- request flags of node operations ---
constexpr UInt32 URLREQUEST_TARGET = 0x80000000u;       // GetURL: a link answers its target's URL
constexpr UInt32 PLUGINREQUEST_QUICK = 0x2;             // GetPluginInterface: match by name only
constexpr UInt32 PLUGINREQUEST_TYPENAME = 0x80000000u;  // GetPluginInterface: asked for a type name
constexpr UInt32 ICONREQUEST_OPEN = 0x1;                // GetIcon: open-folder form
constexpr UInt32 ICONREQUEST_FROM_LINK = 0x4000;        // GetIcon: a link asks its handler
constexpr Int32 FILETIME_CREATED = 0;
constexpr Int32 FILETIME_MODIFIED = 1;
constexpr Int32 FILETIME_MODIFIED_ALT = 2;
constexpr Int32 MESSAGE_NOT_HANDLED = ~0;
// Message kind 6: a host object node puts its element (BaseList2D*, not owned) at data.
constexpr Int32 MESSAGE_KIND_HOST_OBJECT = 6;

// --- edit protocol: the phase argument carries the phase in its low bits and flags above ---
constexpr Int32 EDITPHASE_ASK = 0;     // may this be done? nothing changes
constexpr Int32 EDITPHASE_PREPARE = 1; // walk the affected items with the callback
constexpr Int32 EDITPHASE_DO = 2;
constexpr Int32 EDITPHASE_MASK = 0xFFFF;
constexpr Int32 EDITFLAG_FROM_PARENT = 0x1000000; // forwarded by a parent to its children
constexpr Int32 EDITFLAG_MAKE_PRESET = 0x2000000; // passed on when a host object becomes a preset
constexpr Int32 EditPhase(Int32 phase) { return phase & EDITPHASE_MASK; }

// Result codes; every negative result is a failure.
constexpr Int32 EDIT_OK = 0;
constexpr Int32 EDIT_RENAME_REFUSED = Int32(0x80000001u);
constexpr Int32 EDIT_MOVE_REFUSED = Int32(0x80000002u);
constexpr Int32 EDIT_COPY_REFUSED = Int32(0x80000004u);
constexpr Int32 EDIT_DELETE_REFUSED = Int32(0x80000008u);
constexpr Int32 EDIT_NEWFOLDER_REFUSED = Int32(0x80000010u);
constexpr Int32 EDIT_FILE_RENAME_FAILED = Int32(0x80000100u); // library or catalog file not renamed
constexpr Int32 EDIT_MOVE_FAILED = Int32(0x80000200u);
constexpr Int32 EDIT_COPY_FAILED = Int32(0x80000400u);
constexpr Int32 EDIT_WRONG_KIND = Int32(0xA0000000u);
constexpr Int32 EDIT_CANCELLED = Int32(0xC0000000u);

// Size reported to the edit callback for one catalog link.
constexpr Int64 EDIT_LINK_ITEM_SIZE = 336;

// Callback of phases 1 and 2: (caller's data, phase, item count, item size, reserved); a negative
// answer cancels.
using EditCallback = Int32 (*)(void* data, Int32 phase, Int32 count, Int64 size, Int32 reserved);
