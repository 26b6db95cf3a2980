// The content browser's operation table for other plug-ins: host library 1017645, version 1000.
// Find it with GeGetLibrary(BROWSERLIB_ID, BROWSERLIB_VERSION, sizeof(OrxBrowserLibrary)).
//
// The browser's own objects are opaque here:
// - a URL lives in storage of header.urlSize bytes (aligned to header.urlAlign) that the caller
//   provides; url->Init makes it, url->Free ends it;
// - a node is a counted reference: every node a function answers is the caller's to release with
//   header.releaseNode; nodes given as arguments are only borrowed, except where "taken" is said;
// - strings, file names, containers and bitmaps are the sdk's own value types.
// Every entry is safe to call with null arguments and answers false, 0 or null then.
#pragma once

#include "orx/bitmap.h"
#include "orx/container.h"
#include "orx/filename.h"

constexpr Int32 BROWSERLIB_ID = 1017645;
constexpr Int32 BROWSERLIB_VERSION = 1000;

struct OrxBrowserURL;
struct OrxBrowserNode;
struct OrxBrowserHandler;
struct OrxBrowserIcon;
struct OrxBrowserItemIterator;
struct OrxBrowserPreviewDialog;

// Node kinds, GetNode modes, root numbers and result codes as the browser answers them.
constexpr Int32 BROWSER_GETNODE_EXACT = 1;
constexpr Int32 BROWSER_GETNODE_DEEPEST = 2;
constexpr Int32 BROWSER_GETNODE_LOAD = 4;

// PreviewDialogCall codes. For 1 and 2, pointer is the node whose handler made the dialog
// (borrowed); the answers of 1 to 4 are pages (0, 1, 2 or 0x10000 + n) or the handle, 0 on failure.
constexpr Int32 BROWSER_PREVIEWDIALOG_DELETE = 1; // the handler deletes it (its slot 9)
constexpr Int32 BROWSER_PREVIEWDIALOG_CLOSE = 2;  // the handler ends it without deleting it (slot 10)
constexpr Int32 BROWSER_PREVIEWDIALOG_HANDLE = 3; // the host's handle of the sub-dialog, to lay it out
constexpr Int32 BROWSER_PREVIEWDIALOG_PAGE = 4;   // the page it is at
// The summary of several nodes: dialog null, pointer an OrxPreviewMultiRequest; answers 1 when made.
constexpr Int32 BROWSER_PREVIEWDIALOG_MULTI = 5;
// Deletes a summary made by code 5.
constexpr Int32 BROWSER_PREVIEWDIALOG_MULTI_FREE = 6;

using OrxBrowserEditCallback = Int32 (*)(void* data, Int32 phase, Int32 count, Int64 size, Int32 reserved);
// Makes or updates the node of one library item (AddLibraryNodes); answers it (caller's reference).
using OrxBrowserNodeFactory = OrxBrowserNode* (*)(OrxBrowserNode* parent, OrxBrowserNode* existing,
                                                  OrxBrowserURL* url, Int32 library, Bool folder, void* data);

extern "C" {

struct OrxPreviewMultiRequest
{
  OrxBrowserNode* const* nodes; // borrowed
  Int32 count;
  OrxBrowserPreviewDialog* dialog; // out: the summary, deleted with code 6
  Int32 handle;                    // out: the host's handle of its sub-dialog
};

struct OrxBrowserMainTable
{
  Bool (*OpenBrowser)(OrxBrowserURL* url, const String* text);
  OrxBrowserNode* (*GetRootNode)(Int32 which);
  OrxBrowserIcon* (*GetIconByNumber)(Int32 number, Int32 size);
  OrxBrowserIcon* (*GetIconForURL)(OrxBrowserURL* url, OrxBrowserHandler* handler, Int32 size, Int32 flags);
  OrxBrowserIcon* (*GetNodeIcon)(OrxBrowserNode* node, Int32 size, UInt32 flags);
  OrxBrowserIcon* (*WrapBitmap)(BaseBitmap* bitmap, Bool owned);
  void (*FreeIcon)(OrxBrowserIcon* icon);
  Int32 (*CreateLibrary)(OrxBrowserURL* url, const String* name, const Filename* file);
  Bool (*UnregisterLibrary)(Int32 library);
  // data: host memory that the caller frees with OrxMemFree.
  Bool (*GetItem)(Int32 library, OrxBrowserURL* item, Int32* type, BaseContainer* settings, void** data,
                  Int64* size);
  Bool (*SetItem)(Int32 library, OrxBrowserURL* item, Int32 type, const BaseContainer* settings, const void* data,
                  Int64 size);
  Bool (*DeleteItem)(Int32 library, OrxBrowserURL* item);
  OrxBrowserItemIterator* (*CreateItemIterator)(Int32 library);
  void (*FreeItemIterator)(OrxBrowserItemIterator* it);
  // url: an Init'ed URL that gets the item's path and hash; folder may be null.
  Bool (*NextItem)(OrxBrowserItemIterator* it, OrxBrowserURL* url, Bool* folder);
  void (*NotifyNodeChanged)(OrxBrowserNode* node);
  Int32 (*PreviewDialogCall)(OrxBrowserPreviewDialog* dialog, void* pointer, Int32 code, Int32 value);
  OrxBrowserNode* (*GetNode)(OrxBrowserURL* url, Int32 mode, OrxBrowserNode* start);
  Bool (*RegisterPlugin)(OrxBrowserHandler* handler, Int32 identifiesFiles);
  Bool (*UnregisterPlugin)(OrxBrowserHandler* handler);
  Bool (*FindPluginForURL)(OrxBrowserURL* url, Bool checkContents, OrxBrowserHandler** out);
  Bool (*GetDefaultObject)(Int32 kind, BaseContainer* out);
  Bool (*SetDefaultObject)(Int32 kind, const BaseContainer* settings);
  // factory null: the browser's own preset nodes.
  Bool (*AddLibraryNodes)(Int32 library, const String* prefix, OrxBrowserNode* parent, OrxBrowserNodeFactory factory,
                          void* data);
  Bool (*GetItemName)(Int32 library, OrxBrowserURL* item, Int32 language, String* out);
  Bool (*SetItemName)(Int32 library, OrxBrowserURL* item, Int32 language, const String* name);
  Bool (*GetItemAnnotation)(Int32 library, OrxBrowserURL* item, String* out);
  Bool (*SetItemAnnotation)(Int32 library, OrxBrowserURL* item, const String* text);
  Bool (*CreateUserLibraryFolder)(OrxBrowserURL* folder);
  Bool (*CreateFolderItem)(Int32 library, OrxBrowserURL* parent, OrxBrowserURL* item);
  Int32 (*GetLibraryIndex)(OrxBrowserURL* url);
  Bool (*SetItemFlag)(Int32 library, OrxBrowserURL* item, Int32 flags);
  BaseBitmap* (*GetIconBitmap)(OrxBrowserIcon* icon);
  // jpeg: the preview's bytes, stored as given under imageId.
  Bool (*SetItemPreview)(Int32 library, OrxBrowserURL* item, Int32 imageId, const void* jpeg, Int64 size,
                         Int32 quality);
  Bool (*RegisterLibrary)(const Filename* file, UInt32 flags, OrxBrowserURL* out);
  Bool (*CopyItem)(OrxBrowserURL* source, OrxBrowserURL* destination);
  Bool (*MoveNodes)(Int32 count, OrxBrowserNode** nodes, OrxBrowserNode* newParent);
  Bool (*LibraryItemExists)(OrxBrowserURL* url);
  // which: 0 item flags, 1 order position, 2 type, 3 second type, 4 state; 0 without an item.
  Int32 (*GetItemValue)(Int32 library, OrxBrowserURL* item, Int32 which);
  Bool (*GetAnimatedPreview)(Int32 library, OrxBrowserURL* item, Int32* first, Int32* last, Float* rate);
  Bool (*SetAnimatedPreview)(Int32 library, OrxBrowserURL* item, Int32 first, Int32 last, Float rate);
  Bool (*OpenBrowserWithOptions)(OrxBrowserURL* url, const String* text, Int32 options);
};

struct OrxBrowserURLTable
{
  void (*Init)(OrxBrowserURL* url);
  void (*Free)(OrxBrowserURL* url);
  void (*CopyFrom)(OrxBrowserURL* dst, const OrxBrowserURL* src);
  void (*AppendName)(OrxBrowserURL* url, const String* name);
  void (*SetFilename)(OrxBrowserURL* url, const Filename* file);
  void (*SetString)(OrxBrowserURL* url, const String* text);
  Bool (*GetFilename)(OrxBrowserURL* url, Filename* out);
  void (*GetString)(OrxBrowserURL* url, String* out);
  void (*GetDirectory)(OrxBrowserURL* url, OrxBrowserURL* out);
  void (*GetFileString)(OrxBrowserURL* url, String* out);
  Bool (*IsFile)(OrxBrowserURL* url);
  Bool (*CheckSuffix)(OrxBrowserURL* url, const String* suffix);
  void (*GetSuffix)(OrxBrowserURL* url, String* out);
  Bool (*Content)(const OrxBrowserURL* url);
};

struct OrxBrowserTreeTable
{
  OrxBrowserNode* (*GetUp)(OrxBrowserNode* node);
  OrxBrowserNode* (*GetDown)(OrxBrowserNode* node);
  OrxBrowserNode* (*GetNext)(OrxBrowserNode* node);
  OrxBrowserNode* (*GetPrev)(OrxBrowserNode* node);
  // parent: taken.
  Bool (*InsertUnder)(OrxBrowserNode* node, OrxBrowserNode* parent);
  void (*Remove)(OrxBrowserNode* node);
};

struct OrxBrowserContentTable
{
  OrxBrowserNode* (*CreateSDKNode)(void* data, const void* functions, OrxBrowserNode* parent);
  OrxBrowserNode* (*CreateCategoryNode)(const String* name, const String* url, Int32 icon, OrxBrowserNode* parent);
  void (*RemoveSDKNodes)(void* data);
  void* (*GetSDKNodeData)(OrxBrowserNode* node);
  Int32 (*GetNodeType)(OrxBrowserNode* node);
  OrxBrowserHandler* (*GetPluginInterface)(OrxBrowserNode* node, UInt32 flags);
  Bool (*GetName)(OrxBrowserNode* node, String* out);
  Bool (*GetURL)(OrxBrowserNode* node, OrxBrowserURL* out, UInt32 flags);
  Bool (*GetFileTime)(OrxBrowserNode* node, Int32 which, DateTime* out);
  UInt32 (*GetInfo)(OrxBrowserNode* node, Int64* size);
  // The caller owns the bitmap.
  BaseBitmap* (*GetIcon)(OrxBrowserNode* node, UInt32 flags, Int32 size);
  Bool (*LoadChildren)(OrxBrowserNode* node);
  Int32 (*Message)(OrxBrowserNode* node, Int32 id, Int32 kind, Int32 op, void* data);
  Int32 (*Rename)(OrxBrowserNode* node, Int32 phase, const String* name);
  Int32 (*NewFolder)(OrxBrowserNode* node, Int32 phase, const String* name, OrxBrowserNode** out);
  // moved / source: taken.
  Int32 (*MoveHere)(OrxBrowserNode* node, OrxBrowserNode* moved, Int32 phase, OrxBrowserEditCallback callback,
                    void* data);
  Int32 (*CopyHere)(OrxBrowserNode* node, OrxBrowserNode* source, Int32 phase, const String* name,
                    OrxBrowserEditCallback callback, void* data);
  Int32 (*Delete)(OrxBrowserNode* node, Int32 phase, OrxBrowserEditCallback callback, void* data);
  Bool (*GetTypeName)(OrxBrowserNode* node, String* out, Int32 mode);
};

struct OrxBrowserHandlerTable
{
  OrxBrowserHandler* (*CreateBridge)(void* data, const void* functions);
  void (*DeleteHandler)(OrxBrowserHandler* handler);
  Int32 (*GetPluginID)(OrxBrowserHandler* handler, String* name);
  Bool (*Identify)(OrxBrowserHandler* handler, OrxBrowserURL* url, const void* header, Int32 size, Int32 reserved);
  Bool (*GetTypeName)(OrxBrowserHandler* handler, String* out, OrxBrowserNode* node, OrxBrowserURL* url, Int32 mode);
  // Frees with header.freeTypeNames.
  String* (*GetTypeNames)(OrxBrowserHandler* handler, Int32 mode, Int32* count);
  void* (*OpenPreviewData)(OrxBrowserHandler* handler, Int32 flags, OrxBrowserNode* node, OrxBrowserURL* url,
                           Int32* qualities);
  void (*FreePreviewData)(OrxBrowserHandler* handler, void* data);
  BaseBitmap* (*GetPreviewBitmap)(OrxBrowserHandler* handler, void* data, Int32 width, Int32 height, Int32 flags);
  BaseBitmap* (*GetIcon)(OrxBrowserHandler* handler, OrxBrowserNode* node, OrxBrowserURL* url, Int32 size);
  OrxBrowserPreviewDialog* (*CreatePreviewDialog)(OrxBrowserHandler* handler, OrxBrowserNode* node, Int32 page);
  Int32 (*DestroyPreviewDialog)(OrxBrowserHandler* handler, OrxBrowserNode* node, OrxBrowserPreviewDialog* dialog);
  Bool (*Execute)(OrxBrowserHandler* handler, OrxBrowserNode* node, OrxBrowserURL* url, Int32 flags);
};

// The library header: what a caller needs to handle the opaque objects.
struct OrxBrowserLibraryHeader
{
  Int32 size;    // of the whole record
  Int32 version; // BROWSERLIB_VERSION
  Int32 urlSize;
  Int32 urlAlign;
  void (*addNodeReference)(OrxBrowserNode* node);
  void (*releaseNode)(OrxBrowserNode* node);
  void (*freeTypeNames)(String* names);
  void* reserved[4];
};

struct OrxBrowserLibrary
{
  OrxBrowserLibraryHeader header;
  const OrxBrowserMainTable* main;
  const OrxBrowserURLTable* url;
  const OrxBrowserTreeTable* tree;
  const OrxBrowserContentTable* content;
  const OrxBrowserHandlerTable* handler;
};

} // extern "C"

static_assert(sizeof(OrxBrowserMainTable) == 42 * sizeof(void*));
static_assert(sizeof(OrxBrowserURLTable) == 14 * sizeof(void*));
static_assert(sizeof(OrxBrowserTreeTable) == 6 * sizeof(void*));
static_assert(sizeof(OrxBrowserContentTable) == 19 * sizeof(void*));
static_assert(sizeof(OrxBrowserHandlerTable) == 13 * sizeof(void*));
static_assert(sizeof(OrxBrowserLibrary) == 112);
