// The service table that the host hands to a plug-in with action 1.
//
// Layout: Int32 interface version (at least 14000), Int32 size in bytes, then one pointer per
// service family. Each family is a versioned sub-table that starts with its own version and size,
// so that entries can be appended without breaking older plug-ins. Each entry says which threads
// may call it and who owns what it returns. No entry lets an exception out: failures are answered.
#pragma once

#include <cstddef>
#include <type_traits>

#include "orx/types.h"

class String;
class Filename;
class BaseContainer;
class OrxThread;
class BaseList2D;
class BaseDocument;
class BaseBitmap;
struct DateTime;
struct MovieInfo;
struct FolderEntry;
struct FileStatus;
struct VolumeEntry;
struct OrxUiTable;
struct NetworkPlace;

extern "C" {

constexpr Int32 ORX_HOST_VERSION = 14000;

struct OrxMemoryTable
{
  Int32 version, size;
  // any thread; size 0 counts as 1; the block is the caller's until freed
  void* (*alloc)(Int64 size, Int32 line, const char* file, Bool clear);
  void (*free)(void* block);
};

struct OrxTextTable
{
  Int32 version, size;
  // any thread; simple length-keeping case mapping of one UTF-16 string in place
  void (*toUpper)(Utf16Char* units, Int32 count);
  void (*toLower)(Utf16Char* units, Int32 count);
  // any thread; collation order of two strings (<0, 0, >0)
  Int32 (*lexCompare)(const Utf16Char* a, Int32 na, const Utf16Char* b, Int32 nb);
  Int32 (*languageId)();
};

struct OrxFileTable
{
  Int32 version, size;
  // any thread; the handle is the caller's until closed; null on failure
  void* (*open)(const Filename* name, Int32 mode);
  Bool (*close)(void* handle);
  Int64 (*read)(void* handle, void* data, Int64 size);
  Bool (*write)(void* handle, const void* data, Int64 size);
  Bool (*seek)(void* handle, Int64 pos, Int32 mode);
  Int64 (*tell)(void* handle);
  Int64 (*length)(void* handle);
  Bool (*sync)(void* handle);
  // reads at an absolute offset without moving the position; the number read, -1 on error
  Int64 (*readAt)(void* handle, Int64 offset, void* data, Int64 size);
};

struct OrxFolderTable
{
  Int32 version, size;
  // any thread
  Bool (*exists)(const Filename* name, Bool isFolder);
  Bool (*createFolder)(const Filename* name, Bool withParents);
  Bool (*rename)(const Filename* from, const Filename* to);
  Bool (*move)(const Filename* from, const Filename* toFolder);
  Bool (*copy)(const Filename* from, const Filename* to, Bool overwrite);
  Bool (*hardLink)(const Filename* from, const Filename* to);
  Bool (*remove)(const Filename* name);
  Bool (*syncFolder)(const Filename* folder);
  Bool (*fileTime)(const Filename* name, Int32 which, DateTime* out);
  Int64 (*fileSize)(const Filename* name);
  // enumeration handles are the caller's until browseFree
  void* (*browseInit)(const Filename* folder, Int32 flags);
  Bool (*browseNext)(void* handle, FolderEntry* out);
  void (*browseFree)(void* handle);
  void* (*volumesInit)();
  Bool (*volumesNext)(void* handle, VolumeEntry* out);
  void (*volumesFree)(void* handle);
  // special folder by number; writes into out
  void (*specialFolder)(Int32 which, Filename* out);
  Bool (*getEnv)(const char* name, String* out);
  // --- version 2 ---
  // a rename that never replaces: false when something already has the name to
  Bool (*renameNoReplace)(const Filename* from, const Filename* to);
  // MAKEFOLDER_CREATED, MAKEFOLDER_EXISTED (a folder had the name) or MAKEFOLDER_FAILED
  Int32 (*makeFolder)(const Filename* name, Bool withParents);
  // true when both names lead to one existing file or folder (device and inode)
  Bool (*sameFile)(const Filename* a, const Filename* b);
  // --- version 3 ---
  // 0 when the enumeration ended because every entry was given, else the system's error number
  Int32 (*browseError)(void* handle);
  // the entry itself, a symbolic link not followed (its target's kind is reported with the link bit)
  Bool (*fileStatus)(const Filename* name, FileStatus* out);
  // makes to a symbolic link with the same target text as the link from; never replaces
  Bool (*copyLink)(const Filename* from, const Filename* to);
  // --- version 4 ---
  // any thread; blocks until everything written to the file system that holds folder (file data,
  // new names, renames) is on its device; false when that failed. One call costs about what one
  // file's sync does, however many files were written, so many files are synced with one call.
  Bool (*syncFileSystem)(const Filename* folder);
  // the status of the entry that browseNext gave last, read relative to the open folder
  Bool (*browseStatus)(void* handle, FileStatus* out);
};

struct OrxThreadTable
{
  Int32 version, size;
  // main thread for start/wait/free; the handle is the caller's until threadFree
  void* (*threadStart)(OrxThread* thread, Int32 priority);
  void (*threadWait)(void* handle);
  void (*threadFree)(void* handle);
  // any thread
  void* (*lockNew)();
  void (*lockFree)(void* lock);
  void (*lockEnter)(void* lock);
  Bool (*lockTry)(void* lock);
  void (*lockLeave)(void* lock);
  void* (*rwNew)();
  void (*rwFree)(void* lock);
  void (*rwWrite)(void* lock);
  void (*rwWriteLeave)(void* lock);
  void (*rwRead)(void* lock);
  void (*rwReadLeave)(void* lock);
  Int32 (*timer)();
};

struct OrxCompressTable
{
  Int32 version, size;
  // any thread; *out is host memory owned by the caller
  Bool (*compress)(const void* src, Int64 size, Int32 level, void** out, Int64* outSize);
  Bool (*expand)(const void* src, Int64 size, void* dst, Int64 dstSize);
  void (*freeContext)();
};

struct OrxSystemTable
{
  Int32 version, size;
  // any thread
  void (*print)(const String* line);
  void (*fatalError)(const char* file, Int32 line);
  // main thread
  void (*messageBox)(const String* text);
  Bool (*openResource)(const Filename* file);
  void (*closeResource)();
  void (*loadString)(Int32 id, String* out);
  Bool (*registerIcon)(Int32 id, const Filename* file);
  BaseContainer* (*prefs)();
  Bool (*savePrefs)();
  Bool (*registerCommand)(Int32 id, const String* name, Int32 info, void* data);
  Bool (*registerManagerInfo)(Int32 id, const String* name, Int32 kind);
  Bool (*registerPrefPage)(Int32 id, const String* name, const String* description, Int32 place);
  Bool (*installLibrary)(Int32 id, Int32 version, void* record, Int32 size);
  void* (*getLibrary)(Int32 id, Int32 version, Int32 minSize);
  // any thread; the local date and time now
  void (*currentTime)(DateTime* out);
};

struct OrxSceneTable
{
  Int32 version, size;
  // main thread
  void (*objectName)(const BaseList2D* obj, String* out);
};

struct OrxNetworkTable
{
  Int32 version, size;
  // any thread; changes whenever the list of places may have changed
  UInt64 (*placesStamp)();
  // any thread; the handle is the caller's until placesFree
  void* (*placesInit)();
  Bool (*placesNext)(void* handle, NetworkPlace* out);
  void (*placesFree)(void* handle);
  // any thread; the status of a folder, and its entries when list is set, read on a host worker.
  // The job is the caller's until jobFree, which never waits for the worker.
  void* (*jobStart)(const Filename* folder, Bool list);
  // true once the job has ended; waits at most timeoutMs for it
  Bool (*jobWait)(void* job, Int32 timeoutMs);
  // of an ended job: false when the folder could not be reached
  Bool (*jobStatus)(void* job, FileStatus* out);
  Int32 (*jobCount)(void* job);
  Bool (*jobEntry)(void* job, Int32 index, FolderEntry* out);
  // 0 after a listing that gave every entry, else the system's error number
  Int32 (*jobError)(void* job);
  void (*jobFree)(void* job);
  // any thread, never waits for the network: true when path lies on a network place
  Bool (*onNetwork)(const Filename* path);
};

struct OrxImageTable
{
  Int32 version, size;
  // any thread; the bitmap is the caller's (host memory); null on failure, with *result (may be
  // null) a LOADBITMAP_ code. maxSize > 0 gives a bitmap whose sides are at most maxSize (never
  // enlarged); 0 the whole image. Movies give their representative frame.
  BaseBitmap* (*load)(const Filename* name, Int32 maxSize, Int32* result);
  BaseBitmap* (*loadMemory)(const void* data, Int64 size, Int32 maxSize, Int32* result);
  // any thread; the size of the picture from its header, without decoding it
  Bool (*info)(const Filename* name, Int32* width, Int32* height);
  // any thread; the new bitmap is the caller's
  BaseBitmap* (*scale)(const BaseBitmap* bitmap, Int32 width, Int32 height);
  // any thread; format SAVEBITMAP_JPEG or SAVEBITMAP_PNG; quality 1..100 for JPEG
  Bool (*save)(const BaseBitmap* bitmap, const Filename* name, Int32 format, Int32 quality);
};

struct OrxMovieTable
{
  Int32 version, size;
  // any thread; the handle is the caller's until close; null when no movie can be read
  void* (*open)(const Filename* name);
  void (*close)(void* movie);
  Bool (*info)(void* movie, MovieInfo* out);
  // frame -1: a representative frame; the bitmap is the caller's
  BaseBitmap* (*frame)(void* movie, Int64 frame, Int32 maxSize);
};

struct OrxDetectTable
{
  Int32 version, size;
  // any thread; the DETECT_ kind of the content within mask, or 0. header: the first bytes.
  Int32 (*identify)(const Filename* name, const void* header, Int32 size, Int32 mask);
};

struct OrxDocumentTable
{
  Int32 version, size;
  // main thread; the host's file loader opens the file according to its kind
  Bool (*loadFile)(const Filename* name);
  // main thread; merges a scene file into the active document with a filter of scene parts
  Bool (*mergeFile)(const Filename* name, Int32 filter);
  // main thread; starts the system's program for the file, never a program itself
  Bool (*openWithSystem)(const Filename* name);
  // any thread; a scene document of the file (opaque, freed with freeScene); reading stops after
  // maxBytes and maxMillis. Null when it cannot be read within them.
  void* (*loadScene)(const Filename* name, Int32 flags, Int64 maxBytes, Int32 maxMillis);
  void (*freeScene)(void* scene);
};

// Scene documents (codes in orx/scenedoc.h). Main thread, except where said. Elements that an
// entry gives are borrowed: valid while they stay in their document. A document or element that
// is "the caller's" is freed with docFree or elemFree.
struct OrxSceneDocumentTable
{
  Int32 version, size;
  BaseDocument* (*docNew)(); // the caller's
  void (*docFree)(BaseDocument* doc);
  // the document the host has open; null when none
  BaseDocument* (*activeDocument)();
  // any thread: the native format from or to memory or a file. A loaded document is the caller's;
  // *out is host memory, the caller's. Null or false on failure.
  BaseDocument* (*loadMemory)(const void* data, Int64 size, Int32 flags);
  Bool (*saveMemory)(const BaseDocument* doc, void** out, Int64* size);
  BaseDocument* (*loadFile)(const Filename* name, Int32 flags);
  Bool (*saveFile)(const BaseDocument* doc, const Filename* name);
  // navigation: list SCENELIST_; down gives the first child (objects and tags, shaders, effects)
  BaseList2D* (*first)(const BaseDocument* doc, Int32 list);
  BaseList2D* (*next)(const BaseList2D* e);
  BaseList2D* (*down)(const BaseList2D* e);
  BaseList2D* (*up)(const BaseList2D* e);
  Int32 (*kind)(const BaseList2D* e);
  BaseContainer* (*data)(BaseList2D* e);
  void (*setName)(BaseList2D* e, const String* name);
  BaseDocument* (*documentOf)(const BaseList2D* e);
  // a new or copied free element, the caller's
  BaseList2D* (*elemNew)(Int32 kind);
  BaseList2D* (*elemClone)(const BaseList2D* e);
  void (*elemFree)(BaseList2D* e); // a free element only
  // takes e out of its document: true when the caller owns it now, false when the open undo step
  // keeps it (its removal was recorded) or it was in no document
  Bool (*remove)(BaseList2D* e);
  // the document takes over a free element: under parent (the list's root when null), after pred
  // (first when null); false (the caller keeps it) when it cannot lie there
  Bool (*insert)(BaseDocument* doc, BaseList2D* e, BaseList2D* parent, BaseList2D* pred);
  BaseList2D* (*getActive)(const BaseDocument* doc, Int32 which); // ACTIVE_
  void (*setActive)(BaseDocument* doc, Int32 which, BaseList2D* e);
  // undo steps: entries of UNDOTYPE_NEW after an insertion, UNDOTYPE_DELETE before a removal
  Bool (*startUndo)(BaseDocument* doc);
  Bool (*addUndo)(BaseDocument* doc, Int32 kind, BaseList2D* e);
  Bool (*endUndo)(BaseDocument* doc);
  Bool (*undo)(BaseDocument* doc);
  Bool (*redo)(BaseDocument* doc);
  // adds the parts (SCENEFILTER_) of a native image to doc; recorded in the open undo step
  Bool (*mergeMemory)(BaseDocument* doc, const void* data, Int64 size, Int32 filter);
  // the "document changed" event
  void (*changed)(BaseDocument* doc);
  // the document's settings (sub-containers DOCUMENT_SETTINGS_), borrowed
  BaseContainer* (*settings)(BaseDocument* doc);
  // Version 2. Any thread, for a document that no thread changes meanwhile: a preview of element
  // (a material: a lit ball; an object: it with its children, framed by their bounds) or, when
  // element is null, of doc (flags SCENEPREVIEW_MATERIAL: its first material; otherwise its
  // objects). A new 24-bit bitmap of width x height (1 to 4096 each), the caller's. Null when there
  // is nothing to show or the renderer cannot start, with the reason in *reason (may be null).
  BaseBitmap* (*renderPreview)(const BaseDocument* doc, const BaseList2D* element, Int32 width, Int32 height,
                               Int32 flags, String* reason);
};

struct OrxHostTable
{
  Int32 version; // host interface version, first 32-bit word
  Int32 size;    // size of this struct in bytes
  const OrxMemoryTable* memory;
  const OrxTextTable* text;
  const OrxFileTable* file;
  const OrxFolderTable* folder;
  const OrxThreadTable* thread;
  const OrxCompressTable* compress;
  const OrxSystemTable* system;
  const OrxSceneTable* scene;
  const OrxUiTable* ui; // orx/uitable.h
  const OrxNetworkTable* network;
  const OrxImageTable* image;
  const OrxMovieTable* movie;
  const OrxDetectTable* detect;
  const OrxDocumentTable* document;
  const OrxSceneDocumentTable* sceneDocument;
};

} // extern "C"

// True when a family table of the host has the entry (tables grow at their end; an older host's
// table is shorter).
#define ORX_HAS_ENTRY(family, entry)                                                                                   \
  ((family)->size >= Int32(offsetof(std::remove_cvref_t<decltype(*(family))>, entry) + sizeof((family)->entry)))

// The table this binary's copy of the sdk calls through. Installed by the plug-in with action 1,
// or by the host for its own use. Null before that.
void OrxInstallHostTable(const OrxHostTable* table);
const OrxHostTable* OrxGetHostTable();
