// FilePresetNode: one element of a preset library in the content tree: the library itself (its
// root), a folder inside it, or one preset. Every node is backed by the item at its URL.
#pragma once

#include <string>
#include <unordered_set>

#include "orx/string.h"
#include "orx/threads.h"
#include "contenttree/browserinterface.h"
#include "contenttree/rtreenode.h"

class BrowserDatabase;
class BrowserDatabaseItem;

// Status bit of a library root.
constexpr UInt32 NODESTATUS_LIBRARY_ROOT = 0x10000;

// Icon ids of presets and folders.
constexpr Int32 ICON_PRESET = 8;
constexpr Int32 ICON_FOLDER = 3;
constexpr Int32 ICON_FOLDER_OPEN = 4;
constexpr Int32 ICON_FOLDER_READONLY = 21;
constexpr Int32 ICON_FOLDER_READONLY_OPEN = 22;

// Message request 1 (kind 3): the item's second type id.
constexpr Int32 PRESETMSG_KIND = 3;
constexpr Int32 PRESETMSG_LOAD = 0;
constexpr Int32 PRESETMSG_SECOND_TYPE = 1;

class BaseList2D;

class FilePresetNode : public BrowserContentNode
{
public:
  // A preset: reads name, handler, time and order position from the item and goes in front of the
  // first sibling with a larger order position. The node is in the tree when this answers it.
  static Ref<FilePresetNode> MakePreset(const NodeRef& parent, const BrowserURL& url, BrowserDatabase* db);
  // A folder: appended below parent; its item is opened or made with the folder flag.
  static Ref<FilePresetNode> MakeFolder(const NodeRef& parent, const String& name, BrowserDatabase* db);
  // A new preset under this folder made from a host element (a copy of it); null when the element
  // cannot become a preset or the library refuses. With gather, the files the element refers to
  // (texture pictures of materials) are kept beside it as file presets, unless the library holds
  // their bytes already; the preset's settings list their URLs (PRESETSETTINGS_FILES).
  Ref<FilePresetNode> MakePresetFromElement(BaseList2D* e, Bool gather = false);
  // A library root: urlName is the last part of its URL, shown the name that is shown.
  static Ref<FilePresetNode> MakeLibraryRoot(const NodeRef& parent, const String& urlName, const String& shown,
                                             BrowserDatabase* db);

  // The library, or null when there is none or it was closed meanwhile.
  BrowserDatabase* GetLibrary() const;
  Bool IsLibraryRoot() const { return (GetStatus() & NODESTATUS_LIBRARY_ROOT) != 0; }
  Bool IsFolder() const { return (GetStatus() & NODESTATUS_FOLDER) != 0; }
  Int32 GetOrderPosition() const { return order_; }
  // The icon id that GetIcon looks up: preset 8; folders 3/4, read-only 21/22.
  Int32 GetIconId(UInt32 flags);
  // A node so marked keeps its date-time when children come and go.
  void SetKeepTime(Bool keep) { keepTime_ = keep; }
  // The URL text (the item path).
  String GetURLText() const;
  // Takes over what was written to the node's item from outside the node (the published item
  // setters): shown name, handler, date-time and order.
  void UpdateFromItem();

  /* 4 */ Int32 GetNodeType() override { return NODETYPE_PRESET; }
  /* 5 */ BrowserPluginInterface* GetPluginInterface(UInt32 flags) override;
  /* 6 */ String GetName() override;
  /* 7 */ const String* GetNameRef() override { return &name_; }
  /* 9 */ Bool GetURL(BrowserURL* out, UInt32 flags) override;
  /* 10 */ Bool GetFileTime(Int32 which, DateTime* out) override;
  /* 11 */ UInt32 GetInfo(Int64* size) override;
  /* 12 */ BaseBitmap* GetIcon(UInt32 flags, Int32 size) override;
  /* 14 */ Int32 Message(Int32 id, Int32 kind, Int32 op, void* data) override;
  /* 15 */ Int32 Rename(Int32 phase, const String& newName) override;
  /* 16 */ Int32 NewFolder(Int32 phase, const String& name, NodeRef* out) override;
  /* 17 */ Int32 MoveHere(NodeRef node, Int32 phase, EditCallback callback, void* data) override;
  /* 18 */ Int32 CopyHere(NodeRef node, Int32 phase, const String* newName, EditCallback callback,
                          void* data) override;
  /* 19 */ Int32 Delete(Int32 phase, EditCallback callback, void* data) override;
  /* 20 */ void ReplaceURLPrefix(const String& oldPrefix, const String& newPrefix, Bool updateLibrary) override;
  Int32 MatchUpperURLPrefix(const String& upper) override;
  Bool NotifiesURLChanges() const override { return true; }

protected:
  FilePresetNode(UInt32 status, BrowserDatabase* db);
  // A node not in the tree yet, at url, made now; null without a parent or memory.
  static Ref<FilePresetNode> MakeAt(const NodeRef& parent, UInt32 status, BrowserDatabase* db, BrowserURL url);
  ~FilePresetNode() override = default;

private:
  void SetURLText(const String& text, Int32 hash);
  void Touch();
  static void TouchParent(const NodeRef& parent);
  Bool InsertByOrder(const NodeRef& parent);
  Bool HasChildNamed(const String& name);
  Int32 WalkItems(Int32 phase, EditCallback callback, void* data);
  Ref<FilePresetNode> CopyOneItem(FilePresetNode* source, const String& name);
  // A new item below this folder named base, or base " 2", " 3", ... when that is taken (never an
  // existing item); fill writes it. *url gets its URL. False when none could be made.
  using FillItem = Bool (*)(BrowserDatabaseItem* item, const String& name, void* context);
  Bool AddUniqueItem(const String& base, FillItem fill, void* context, BrowserURL* url);
  // The URL of a file preset holding the file's bytes: one the library has, or a new one here.
  Bool GatherFile(const Filename& file, String* url);

  mutable SpinLock fieldLock_; // name, URL and date-time
  BrowserDatabase* db_;
  Int32 slot_;
  String name_;
  String url_;
  Int32 hash_ = 0;
  DateTime time_;
  Int32 order_ = 0x7fffffff;
  // While a folder copy fills this new folder: the upper-cased names of the children it made, so
  // that each child's name check is one lookup instead of a walk over all siblings.
  std::unordered_set<std::u16string>* copiedNames_ = nullptr;
  // Emptied when its handler is unregistered, as every handler cache is.
  CachedPluginLookup handler_;
  std::atomic<Bool> keepTime_{false};
};

// Settings id of a preset's item: a container of the URLs (strings 1, 2, ...) of its gathered files.
constexpr Int32 PRESETSETTINGS_FILES = 1018031;
// Files larger than this are not gathered into a library.
constexpr Int64 GATHER_MAX_BYTES = Int64(256) << 20;

// Copies type, names, times, settings, data, previews and annotation of one item to another.
Bool CopyItemRecord(BrowserDatabaseItem* src, BrowserDatabaseItem* dst);

