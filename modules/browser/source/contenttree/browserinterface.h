// BrowserPluginInterface: the handler of one kind of content, and the registry through which nodes
// and views find handlers.
#pragma once

#include <atomic>

#include "base/browserurl.h"
#include "orx/memory.h"
#include "orx/string.h"
#include "orx/threads.h"
#include "orx/types.h"
#include "contenttree/rtreenode.h"

class BaseBitmap;
class PreviewDialog;

// Plug-in ids of the built-in handlers (host plug-in id space).
constexpr Int32 HANDLER_ID_IMAGE = 1018021;
constexpr Int32 HANDLER_ID_MOVIE = 1018022;
constexpr Int32 HANDLER_ID_SCENE = 1018023;
constexpr Int32 HANDLER_ID_CATEGORY = 1018024;
constexpr Int32 HANDLER_ID_CATALOG = 1018025;
constexpr Int32 HANDLER_ID_UNKNOWN_FILE = 1018026;
constexpr Int32 HANDLER_ID_FOLDER = 1018027;
constexpr Int32 HANDLER_ID_DUMMY = 1018029;
constexpr Int32 HANDLER_ID_DEFAULTS = 1018030;
constexpr Int32 HANDLER_ID_FILE_PRESET = 1018031;
constexpr Int32 HANDLER_ID_BASEOBJECT = 1018107;
constexpr Int32 HANDLER_ID_BASEMATERIAL = 1018108;
constexpr Int32 HANDLER_ID_BASETAG = 1018109;
constexpr Int32 HANDLER_ID_RENDERDATA = 1018110;
constexpr Int32 HANDLER_ID_SHADER = 1018111;
constexpr Int32 HANDLER_ID_VIDEOPOST = 1018112;
constexpr Int32 HANDLER_ID_PLEXION = 1018113;
constexpr Int32 HANDLER_ID_SOUND = 1018114;
constexpr Int32 HANDLER_ID_KORVEX = 1018115;
constexpr Int32 HANDLER_ID_LAYOUT = 1018116;
constexpr Int32 HANDLER_ID_PRESET_LIBRARY = 1018760;
constexpr Int32 HANDLER_ID_CATALOG_FILE = 1018761;
constexpr Int32 HANDLER_ID_SCRIPT = 1018762;

// GetTypeName / GetTypeNames: the detailed name of the particular format; any other mode gives the
// handler's general name.
constexpr Int32 TYPENAME_DETAILED = 2;
// Execute: merge into the active document where the kind allows it.
constexpr Int32 EXECUTE_MERGE = 0x2;
// OpenPreviewData qualities: bit 31 says the rendered bitmap's own size is kept with the item.
constexpr Int32 PREVIEWQUALITY_OWN_SIZE = Int32(0x80000000u);
// Pages answered by Destroy/ClosePreviewDialog beyond the three fixed ones.
constexpr Int32 PREVIEWPAGE_EXTRA = 0x10000;
// Number of content bytes that the full match looks at.
constexpr Int32 HANDLER_HEADER_SIZE = 512;

// The handler of one kind of content. Every operation that is given a node reference takes it by
// value and so releases it on every path. Handlers are called from any thread without a lock, so
// they keep no state that their operations change.
class BrowserPluginInterface
{
public:
  // Heap-made handlers are freed by the registry through the virtual destructor.
  ORX_HOST_ALLOCATED

  BrowserPluginInterface() = default;
  BrowserPluginInterface(const BrowserPluginInterface&) = delete;
  BrowserPluginInterface& operator=(const BrowserPluginInterface&) = delete;

  /* 0 */ virtual ~BrowserPluginInterface() = default;
  // The unique id; writes the display name when name is given.
  /* 1 */ virtual Int32 GetPluginID(String* name) = 0;
  // Without header bytes judges by the URL alone (its suffix); with them by the content.
  /* 2 */ virtual Bool Identify(BrowserURL& url, const void* header, Int32 headerSize, Int32 reserved) = 0;
  // Text of the type column; url may be null (then the node's URL counts). Answers out.
  /* 3 */ virtual String* GetTypeName(String* out, NodeRef node, BrowserURL* url, Int32 mode) = 0;
  // What a preview needs; may be slow, runs off the main thread. qualities may be null.
  /* 4 */ virtual void* OpenPreviewData(Int32 flags, NodeRef node, BrowserURL* url, Int32* qualities);
  /* 5 */ virtual void FreePreviewData(void* data);
  // The caller owns the bitmap.
  /* 6 */ virtual BaseBitmap* GetPreviewBitmap(void* data, Int32 width, Int32 height, Int32 flags);
  // The item asked about is a node or a URL (either may be empty). The caller owns the bitmap.
  /* 7 */ virtual BaseBitmap* GetIcon(NodeRef node, BrowserURL* url, Int32 size) = 0;
  /* 8 */ virtual PreviewDialog* CreatePreviewDialog(NodeRef node, Int32 page) = 0;
  // Deletes the dialog; answers the page it showed.
  /* 9 */ virtual Int32 DestroyPreviewDialog(NodeRef node, PreviewDialog* dialog);
  // Ends the dialog without deleting it; the default drops its edits.
  /* 10 */ virtual Int32 ClosePreviewDialog(NodeRef node, PreviewDialog* dialog);
  // Double click or drop; url may be null.
  /* 11 */ virtual Bool Execute(NodeRef node, BrowserURL* url, Int32 flags);
  // A counted array (AllocTypeNames) that the caller frees with FreeTypeNames; null when none.
  /* 12 */ virtual String* GetTypeNames(Int32 mode, Int32* count) = 0;

protected:
  // The dialog of a kind (PREVIEWDIALOG_*) for node, made by the user interface; null until it is
  // installed. flags: PREVIEWDIALOG_ANNOTATION when the kind keeps annotations.
  static PreviewDialog* MakePreviewDialog(NodeRef node, Int32 kind, Int32 icon, Int32 flags, Int32 page);
  // For handlers whose ClosePreviewDialog keeps the user's edits.
  static Int32 EndPreviewDialog(PreviewDialog* dialog, Bool storeEdits);
  static Int32 DeletePreviewDialog(PreviewDialog* dialog);
};

// The preview dialogs are the user interface's; it installs how one is ended and deleted.
// Until then the defaults leave dialogs alone and answer page 0.
struct PreviewDialogOps
{
  Int32 (*destroy)(PreviewDialog* dialog);               // deletes, answers the page
  Int32 (*close)(PreviewDialog* dialog, Bool storeEdits); // ends without deleting, answers the page
  Int32 (*handle)(PreviewDialog* dialog);                  // the host's handle of the sub-dialog
  Int32 (*page)(PreviewDialog* dialog);                    // the page it is at
  // The summary of several nodes and its host handle; freed by freeMulti.
  void* (*makeMulti)(const NodeRef* nodes, Int32 count, Int32* handle);
  void (*freeMulti)(void* dialog);
};
// The installed operations, or null.
const PreviewDialogOps* GetPreviewDialogOps();
void SetPreviewDialogOps(const PreviewDialogOps* ops);

// The kinds of preview dialog a handler asks the user interface for.
enum PreviewDialogKind : Int32
{
  PREVIEWDIALOG_GENERIC = 0,
  PREVIEWDIALOG_IMAGE,
  PREVIEWDIALOG_MOVIE,
  PREVIEWDIALOG_SOUND,
  PREVIEWDIALOG_SCRIPT,
  PREVIEWDIALOG_KORVEX,
  PREVIEWDIALOG_LAYOUT,
  PREVIEWDIALOG_CATALOG,
  PREVIEWDIALOG_PRESET_LIBRARY,
  PREVIEWDIALOG_PRESET,
  PREVIEWDIALOG_RENDERDATA,
};
// The handler's flag that its content keeps an annotation (the dialog shows it for editing).
constexpr Int32 PREVIEWDIALOG_ANNOTATION = 0x4;
struct PreviewDialogRequest
{
  Int32 kind;  // PreviewDialogKind
  Int32 icon;  // the handler's icon number, drawn when the content gives no picture
  Int32 flags; // PREVIEWDIALOG_ANNOTATION
  Int32 page;  // 0, 1, 2 or PREVIEWPAGE_EXTRA + n
};
// Makes the dialog (main thread); null when it cannot. Installed by the user interface.
using PreviewDialogFactory = PreviewDialog* (*)(NodeRef node, const PreviewDialogRequest& request);
void SetPreviewDialogFactory(PreviewDialogFactory factory);
PreviewDialogFactory GetPreviewDialogFactory();

// --- counted arrays of type names: the element count lies in front of the first element ---
// count default-constructed strings in host memory; null for count <= 0 or out of memory.
String* AllocTypeNames(Int32 count);
Int32 TypeNamesCount(const String* names);
// Frees an array of AllocTypeNames (null is fine) and clears the pointer.
void FreeTypeNames(String*& names);
// One-element array holding name; count may be null.
String* MakeTypeNames(const String& name, Int32* count);

// --- the registry ---
// Handlers are kept in registration order. The registry lock is taken for each access and never held
// while a handler runs, so handlers may use the registry themselves.

// What a handler's match by name (Identify without header bytes) amounts to when it is nothing but
// the URL's suffix compared with a list: then the registry answers matches by name from a table made
// at registration, without calling the handler. Suffixes are ASCII, at most 15 characters, and
// compared code unit for code unit, or after String::ToUpper on both sides when ignoreCase.
struct SuffixMatch
{
  const char* const* suffixes;
  Int32 count; // 0: the handler matches nothing by name
  Bool ignoreCase;
};

// Appends an entry. identifiesFiles: the handler takes part in matching files (FindPluginForURL).
// ownedByRegistry: ReleasePluginRegistry deletes it. byName (may be null, then the handler is asked)
// must answer exactly as the handler's Identify without header bytes does; it is copied. False for
// null or when memory runs out.
Bool RegisterPlugin(BrowserPluginInterface* handler, Int32 identifiesFiles, Bool ownedByRegistry = false,
                    const SuffixMatch* byName = nullptr);
// Removes the handler's entry and waits until lookups running on other threads are done calling it,
// so that its owner may delete it afterwards (a handler that unregisters itself from inside a call
// does not wait for that call). The registry no longer owns it. False when not found. Pointers
// handed out by GetPlugin and FindPluginForURL are not covered: their users must not outlive it.
Bool UnregisterPlugin(BrowserPluginInterface* handler);
// The entry at index; null outside 0 .. count-1. Walk 0, 1, 2 ... until null to visit every handler.
BrowserPluginInterface* GetPlugin(Int32 index);
Int32 GetPluginCount();
// The first registered handler with that id, or null.
BrowserPluginInterface* FindPluginByID(Int32 id);
// Matches url to a handler: by name (quick match); with checkContents the first 512 bytes of the file,
// or of the main database's item data for a URL that is not a file, confirm or choose the handler.
// out (may be null) gets the handler or null.
Bool FindPluginForURL(const BrowserURL& url, Bool checkContents, BrowserPluginInterface** out);
// The first bytes of content that is not a file (an item of the main database), for matching by
// content. The storage layer sits above the handlers, so the content layer installs the reader.
// Answers the number of bytes read into buf (at most size).
using ItemHeaderReader = Int32 (*)(BrowserURL& url, UChar* buf, Int32 size);
void SetItemHeaderReader(ItemHeaderReader reader);
// At the end: deletes the handlers that the registry owns and frees every entry.
void ReleasePluginRegistry();

// The handler cache of a node that shows a file (directory entries). flags as given to the node's
// GetPluginInterface: PLUGINREQUEST_QUICK asks for the match by name only, otherwise the content is
// read as well. A handler found by name is marked on the node (NODESTATUS_QUICK_MATCH) and looked up
// again when a full match is asked for; a failed full match is remembered (NODESTATUS_NOHANDLER), so a
// file without a handler is not read again. Clear() forgets both, e.g. when the file changed.
// Unregistering any handler empties every cache: its owner may free it right after.
class CachedPluginLookup
{
public:
  BrowserPluginInterface* Get(BrowserContentNode* node, const BrowserURL& url, UInt32 flags);
  void Clear(BrowserContentNode* node);
  // Sets the handler directly (folders use the folder handler without matching).
  void Set(BrowserContentNode* node, BrowserPluginInterface* handler);
  // The cached handler without looking anything up; null when empty or none.
  BrowserPluginInterface* Peek() const;

private:
  // Under lock_: the handler with the registry generation it was found in.
  BrowserPluginInterface* Load() const;
  void Store(BrowserPluginInterface* handler, UInt32 generation);

  mutable SpinLock lock_;
  mutable UInt32 generation_ = 0;
  mutable BrowserPluginInterface* handler_ = nullptr;
};
