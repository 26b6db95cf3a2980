// DirectoryNode: one entry of the file system (a volume, a folder or a file) and the volume list
// below the file category, made by the same class.
//
// Linux rules chosen here (the design assumes drive letters and names that ignore case):
// - names are compared exactly: a file URL leads only to the entry with that very name;
// - hidden means a name that starts with ".";
// - a symbolic link is listed as an entry and shown as what it points to, but walks, deletes and
//   copies never enter it;
// - a folder is listed again when its modification or status-change time changed at full
//   resolution, or when the last listing came so soon after a change that a second change may
//   have left the same time behind.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "contenttree/browserinterface.h"
#include "orx/files.h"
#include "orx/filename.h"
#include "orx/threads.h"
#include "contenttree/rtreenode.h"
#include "orx/container.h"

class CategoryNode;

// The main database's records of files (annotations, keywords, previews), kept by URL text. The
// database sits beside the nodes, so the content layer installs these at start; until then
// records stay where they are.
struct DirectoryRecords
{
  // The record at oldURL, and every record below it, to newURL.
  void (*moveBelow)(const String& oldURL, const String& newURL) = nullptr;
  // Only the record at oldURL.
  void (*moveOne)(const String& oldURL, const String& newURL) = nullptr;
  // The record at url and every record below it.
  void (*removeBelow)(const String& url) = nullptr;
};
void SetDirectoryRecords(const DirectoryRecords& records);

// What a preset node gives when it is copied out as a file: its data and the last part of its URL.
// False when the node gives no data. Installed by the content layer, which knows preset nodes.
using PresetFileSource = Bool (*)(const NodeRef& preset, ByteArray* data, String* fileName);
void SetPresetFileSource(PresetFileSource source);

// The preview that the main database keeps for a file, when it was taken of the file as it is now;
// null otherwise (the caller owns the bitmap). Installed by the content layer, as above.
using StoredFilePreview = BaseBitmap* (*)(BrowserContentNode* file, Int32 size);
void SetStoredFilePreview(StoredFilePreview source);

// While a thread is set here for the calling thread, listings on it stop between two entries once
// that thread is asked to end (a search stops at once inside a huge folder); such a listing counts
// as cut short. Null clears it.
void SetListingBreakThread(OrxThread* thread);
// True when the thread set above was asked to stop: a listing or merge ends between two entries.
Bool ListingBreakAsked();

// Icon ids of directory entries (icon service by id).
constexpr Int32 ICON_VOLUME = 1;
constexpr Int32 ICON_DIR = 3;
constexpr Int32 ICON_DIR_OPEN = 4;
constexpr Int32 ICON_DIR_READONLY = 21;
constexpr Int32 ICON_DIR_READONLY_OPEN = 22;
constexpr Int32 ICON_FILE = 8;
// Type name of an entry without a handler.
constexpr Int32 IDS_DIRECTORY_NO_TYPE = 10340;

// Status words of new entries.
constexpr UInt32 DIRSTATUS_NEW_FOLDER = NODESTATUS_RELIST | NODESTATUS_FOLDER;
constexpr UInt32 DIRSTATUS_NEW_VOLUME = NODESTATUS_VOLUME | NODESTATUS_RELIST | NODESTATUS_FOLDER;

// What an entry is, as far as matching a listed entry to its node goes: a name that changes kind
// (a file replaced by a folder or by a link) gets a new node.
enum class EntryKind : UChar { File = 0, Folder = 1, LinkToFolder = 2, Link = 3, Special = 4 };

class DirectoryNode : public BrowserContentNode
{
public:
  // A node for what is at path now, outside the tree; null when nothing is there. For tests and
  // for whoever shows one folder on its own.
  static Ref<DirectoryNode> MakeForPath(const Filename& path);
  // A volume node (status 0x60001) outside the tree: shown as the path, with " [label]" when the
  // volume has a label.
  static Ref<DirectoryNode> MakeVolume(const Filename& path, const String& label);
  // Brings the volume nodes below parent in line with the host's volume list: the nodes of volumes
  // still there stay (same objects), new ones are appended, gone ones are removed. Volumes flagged
  // as not to be shown (pseudo file systems) are left out.
  static void SyncVolumes(BrowserContentNode* parent);
  // The hook of the file category.
  static void BuildVolumes(CategoryNode* fileRoot);

  Filename GetPath() const;
  // Folders: goes up by one each time the folder is listed or found changed. Files: the size.
  Int64 GetSizeField() const;
  EntryKind GetEntryKind() const { return kind_; }
  Bool IsLink() const { return kind_ == EntryKind::LinkToFolder || kind_ == EntryKind::Link; }
  Int32 GetIconId(UInt32 flags);
  // Visits the node and everything below it the way the edit operations walk: folders are listed
  // first, links and volumes below the start are never entered. A negative callback answer stops
  // the walk: EDIT_CANCELLED. The counts follow one rule with the work that reports against them:
  // every entry is one item; a link or a pipe, socket or device has no bytes of its own (its
  // target's are neither copied nor deleted), and special entries are counted only where the work
  // takes them (a delete or a move, not a copy: special false).
  Int32 Walk(Int32 phase, EditCallback callback, void* data, Bool special = true);
  // What the entry adds to the byte count of an edit: a file's size, 0 for everything else.
  Int64 OwnBytes();

  // True while the children are not what the folder held when it was last read in full.
  Bool NeedsListing() const;
  // One entry of a pass by names: a node, or (a wanted plain file when the caller asked for no
  // nodes of files) only the name.
  struct NamedEntry
  {
    Ref<DirectoryNode> node;
    Bool wanted = false; // wanted said yes to its name
    UInt64 device = 0;
    UInt64 inode = 0;
    String name; // entries without node only, when the caller gave no text for the names
    UInt32 nameAt = 0; // else the name's place in that text
    UInt32 nameLength = 0;
  };
  enum class NamePass { Done, Stopped, Failed };
  // A search's way through a folder that is not listed: the entries are read by name and kind
  // alone, and only the folders (not links to them) and the names that wanted takes are read in
  // full and get a node, in the tree below this folder as a listing would make them (a node that
  // is there already is kept). The folder stays to be listed in full. Hidden names are left out.
  // Stopped: the listing break thread was asked to end (seen between two entries); Failed: the
  // folder could not be read, or an edit came in between; the caller lists it instead.
  // Without fileNodes a wanted plain file (the entry's kind says so: no folder, no link) is neither
  // read in full nor given a node: it comes out by name alone, for a caller that needs no more.
  // With names such names are appended to that text (a search's hundred thousand names cost no
  // text of their own each).
  NamePass PassByName(Bool (*wanted)(void* data, const String& name), void* data, std::vector<NamedEntry>* out,
                      Bool fileNodes = true, std::u16string* names = nullptr);

  /* 4 */ Int32 GetNodeType() override { return NODETYPE_DIRECTORY; }
  /* 5 */ BrowserPluginInterface* GetPluginInterface(UInt32 flags) override;
  /* 6 */ String GetName() override;
  // Only a volume keeps a name of its own; an entry's name is the last part of its path, so there
  // is none to point to and callers ask GetName.
  /* 7 */ const String* GetNameRef() override { return shownName_.get(); }
  /* 8 */ String* GetTypeName(String* out, Int32 mode) override;
  /* 9 */ Bool GetURL(BrowserURL* out, UInt32 flags) override;
  /* 10 */ Bool GetFileTime(Int32 which, DateTime* out) override;
  /* 11 */ UInt32 GetInfo(Int64* size) override;
  /* 12 */ BaseBitmap* GetIcon(UInt32 flags, Int32 size) override;
  /* 13 */ Bool LoadChildren() override;
  /* 15 */ Int32 Rename(Int32 phase, const String& newName) override;
  /* 16 */ Int32 NewFolder(Int32 phase, const String& name, NodeRef* out) override;
  /* 17 */ Int32 MoveHere(NodeRef node, Int32 phase, EditCallback callback, void* data) override;
  // A preset written out as a file into this folder.
  Int32 CopyPresetHere(const NodeRef& node, Int32 phase);
  /* 18 */ Int32 CopyHere(NodeRef node, Int32 phase, const String* newName, EditCallback callback,
                          void* data) override;
  /* 19 */ Int32 Delete(Int32 phase, EditCallback callback, void* data) override;
  /* 20 */ void ReplaceURLPrefix(const String& oldPrefix, const String& newPrefix, Bool updateLibrary) override;
  Int32 MatchUpperURLPrefix(const String& upper) override;
  Int32 MatchURLPrefix(const String& upper, const String& text) override;
  Bool NotifiesURLChanges() const override { return true; }

protected:
  DirectoryNode(UInt32 status, const Filename& path, const String& name, EntryKind kind);
  ~DirectoryNode() override = default;

private:
  struct Stamp
  {
    Int64 modifiedNs = 0;
    Int64 changedNs = 0;
    bool operator==(const Stamp&) const = default;
  };
  struct Listed
  {
    FolderEntry entry;
    EntryKind kind;
  };
  static EntryKind KindOf(UInt32 attributes);
  static UInt32 StatusOf(const FolderEntry& e, EntryKind kind);
  static Ref<DirectoryNode> MakeEntry(const Filename& folder, const FolderEntry& e, EntryKind kind);
  void Refresh(const FolderEntry& e);
  // False when the listing break thread was asked to end before every entry was merged: nothing
  // is swept then.
  Bool Merge(std::vector<Listed>& entries, Bool sweep);
  String URLText() const;
  Bool IsFixed() const { return fixed_.load(std::memory_order_acquire); }
  // Refusals that hold in every phase of rename, move and delete of this entry.
  Bool MayRemoveEntry();
  // This node and every node below it that exists now move from oldPrefix to newPrefix.
  void RebaseSubtree(const String& oldPrefix, const String& newPrefix);
  // Puts a node for the entry at path (just made by an edit) below this folder.
  NodeRef AddMadeEntry(const Filename& path, const String& name);
  // Called with the content lock held after an edit changed the folder on disk: a listing begun
  // before it must not be merged.
  void Edited() { edits_.fetch_add(1, std::memory_order_acq_rel); }

  // Ordered so that no padding is left: with its name on the heap a node stays under 256 bytes
  // (bench_directory reports the size).
  mutable SpinLock fieldLock_;     // path, times, size
  std::atomic<UInt32> edits_{0};   // edits of this folder's entries made through the nodes
  CachedPluginLookup handler_;
  Filename path_;
  std::unique_ptr<const String> shownName_; // volumes: the path and the label
  Int64 size_ = 0;
  Stamp stamp_; // of the entry; for folders, the one the children were listed against
  UInt64 created_ = 0;  // DateTime, packed
  UInt64 modified_ = 0; // DateTime, packed
  const EntryKind kind_;
  std::atomic<Bool> fixed_{false}; // this user may not rename or delete the entry
};
