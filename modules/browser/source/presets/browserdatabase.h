// BrowserDatabase: one preset library in memory, tied to its file, and the process-wide table of
// libraries.
//
// Lifetime: the table holds one reference to each library, every LibraryPin one more, and so does
// every open count raised in the index (each item handle): a lookup may hand out a record of a
// library that the caller did not pin (another library with the same path), and the handle keeps
// it readable until it is closed. The last reference frees the library.
//
// Lock order: the table lock is innermost (nothing is locked while it is held); a library's lock
// comes before any hash-node lock; two nodes are locked old before new under the index's move lock.
#pragma once

#include <atomic>
#include <vector>

#include "orx/basefile.h"
#include "orx/bitmap.h"
#include "orx/container.h"
#include "orx/threads.h"
#include "presets/browserdatabasechunk.h"
#include "presets/browserdatabaseitem.h"
#include "presets/dbbitmapcache.h"

class BrowserHashNode;
class LibraryPin;

constexpr Int32 LANGUAGE_ENGLISH = 0x75730000;
constexpr Int32 LANGUAGE_GERMAN = 0x64650000;

// The text of a per-language container for a language (0: the user's): that language's, else the
// English, else the German, else the first text there is.
String PickLanguageText(const BaseContainer& texts, Int32 language);

// Creation flags.
constexpr Int32 DBFLAG_MAIN = 0x1;          // slot 0
constexpr Int32 DBFLAG_USER = 0x2;          // slot 1
constexpr Int32 DBFLAG_OUTER_STORAGE = 0x100;
// For the writer of a new library whose memory must not grow with it (the library build): its
// records are not put in the shared index, so nothing is found by path in it, and each is forgotten
// once CloseAndWriteOut put it in the file. Such a library is never compacted.
constexpr Int32 DBFLAG_UNINDEXED = 0x200;

class BrowserDatabase
{
public:
  // Sets up an empty library and puts it in the table; null when out of memory.
  static BrowserDatabase* Create(const Filename& file, const String& dataSubFolder, Int32 flags, Int32* slot = nullptr);
  // Saves nothing; takes the library out of the table and the index and frees it, or, while
  // another thread pins it, leaves the freeing to the last pin: until then its records and the
  // handles open on them still read, but nothing is written to its file any more.
  static void Destroy(BrowserDatabase* db);

  // False only when the file cannot be opened.
  Bool Load();
  Bool Save(Bool always = false, Bool allowCompaction = false, Bool evenIfReadOnly = false);
  Bool SaveIfChanged();
  // Compacts into ".new", keeps the old file as ".bak" and replaces the library atomically.
  Bool Compact();

  Bool Protect(Bool compact = false);
  void Unprotect();
  Bool IsReadOnly() const { return readOnly_.load(std::memory_order_acquire); }
  Bool IsLocked() const { return locked_.load(std::memory_order_acquire); }
  void SetLocked();
  void SetSystemLibrary();
  Bool IsSystemLibrary() const { return system_.load(std::memory_order_acquire); }
  void ClearChanged();
  Bool IsChanged() const;
  // True when the file could not be read whole or is not a library: it is never written.
  Bool IsWriteProtectedByDamage() const { return noWrite_.load(std::memory_order_acquire); }
  Bool IsInfoDamaged() const { return infoDamaged_.load(std::memory_order_acquire); }
  Bool WantsCompaction() const;

  String GetName() const;
  void SetName(const String& name);
  // False when another library has that name.
  Bool Rename(const String& newName);
  // Moves the library's file to newFile, never over an existing file; false when it did not move.
  Bool RenameFile(const Filename& newFile);
  Bool GetCatalogString(String* out) const;
  void SetCatalogString(const String& s);
  void SetDisplayName(const String& text);
  String GetDisplayName() const;
  BaseContainer GetDisplayNames() const;
  void RaiseRegistrationCount() { regCount_.fetch_add(1, std::memory_order_acq_rel); }
  Int32 GetRegistrationCount() const { return regCount_.load(std::memory_order_acquire); }
  Int32 GetSlot() const { return slot_.load(std::memory_order_acquire); }
  const Filename& GetFilename() const { return file_; }
  const Filename& GetDataFolder() const { return dataFolder_; }
  Bool HasInnerStorage() const { return inner_; }
  Int32 GetCaseFlag() const { return caseFlag_; }
  void SetCaseFlag(Int32 flag) { caseFlag_ = flag; }
  Int32 GetItemCount() const;
  Int32 GetVersion() const;
  Int64 GetEndOffset() const;
  Int64 GetDeadBytes() const;

  // Snapshot of the items (ids below 1 included; callers skip them).
  struct ItemInfo
  {
    Int32 id;
    String path;
    Int32 hash;
  };
  // Takes id, path and hash of a record not decoded yet from its kept image, without decoding it.
  void ListItems(std::vector<ItemInfo>* out) const;
  // Records not decoded: loaded and not used yet, or written out (BrowserDatabaseItem::CloseAndWriteOut).
  Int32 GetUndecodedCount() const { return lazyLeft_.load(std::memory_order_acquire); }

  // The library file positioned for appending or at an offset; every call is paired with
  // ReleaseFile. For a caller that holds the library lock. Only writers open it for writing, so
  // that a library the user cannot write still reads.
  BaseFile* GetFileForAppend();
  BaseFile* GetFileAt(Int64 offset, Bool forWriting = false);
  void ReleaseFile(Int64 newEndOffset = -1);

  // While one lives on a thread, what that thread changes in libraries (records made for folders
  // that have none while the tree is built) waits in memory for the next save of an edit:
  // listing never writes on its own.
  class QuietChanges
  {
  public:
    QuietChanges();
    ~QuietChanges();
    QuietChanges(const QuietChanges&) = delete;
    QuietChanges& operator=(const QuietChanges&) = delete;
  };

  // --- items (path hash as given by BrowserPathHash) ---
  BrowserDatabaseItem* OpenItem(const String& path, Int32 hash);
  BrowserDatabaseItem* OpenItem(const String& path);
  BrowserDatabaseItem* OpenItemForChange(const String& path, Int32 hash);
  BrowserDatabaseItem* OpenOrCreateItem(const String& path, Int32 hash, Bool force = false);
  BrowserDatabaseItem* OpenOrCreateItem(const String& path, Bool force = false);
  // A new record: null when the path is taken or nothing can be written. An unindexed library
  // cannot tell whether a path is taken: its writer keeps the paths unique.
  BrowserDatabaseItem* CreateItem(const String& path);
  Bool IsUnindexed() const { return unindexed_; }
  // Opens into a handle the caller keeps (no allocation).
  Bool OpenItemInto(const String& path, Int32 hash, BrowserDatabaseItem* out);
  // The same with the hash node of the path's hash found beforehand (null: looked up here).
  Bool OpenItemInto(const String& path, Int32 hash, BrowserHashNode* node, BrowserDatabaseItem* out);
  // The hash node of each listed item's hash, null where there is none. Looked up in the order of
  // the hashes, so that the walks share the upper levels of the tree in the caches: in list order
  // each walk of a big library misses them at almost every level. Nodes live as long as the tree.
  static void FindHashNodes(const std::vector<ItemInfo>& items, std::vector<BrowserHashNode*>* out);
  Bool DeleteItem(const String& path);
  Bool MoveItem(const String& oldPath, const String& newPath);

  // --- preview cache ---
  Bool CacheAddCopy(UInt32 itemId, UInt32 imageId, const BaseBitmap* bmp)
  {
    return cache_.AddCopy(itemId, imageId, bmp) != nullptr;
  }
  Bool CacheAddOwned(UInt32 itemId, UInt32 imageId, BaseBitmap* bmp, Bool pin)
  {
    return cache_.AddOwned(itemId, imageId, bmp, pin) != nullptr;
  }
  BaseBitmap* CacheGetCopy(UInt32 itemId, UInt32 imageId) { return cache_.GetCopy(itemId, imageId); }
  BaseBitmap* CacheBorrow(UInt32 itemId, UInt32 imageId) { return cache_.Borrow(itemId, imageId); }
  Bool CacheGiveBack(UInt32 itemId, UInt32 imageId, const BaseBitmap* bmp)
  {
    return cache_.GiveBack(itemId, imageId, bmp);
  }
  Bool CacheRemove(UInt32 itemId, UInt32 imageId) { return cache_.Remove(itemId, imageId); }
  void CacheClear() { cache_.Clear(); }

  // --- the table ---
  static BrowserDatabase* FindLibraryForURL(const String& text, Bool fallBack = false);
  static BrowserDatabase* FindLibraryForFile(const Filename& file);
  static BrowserDatabase* GetLibrary(Int32 slot);
  // For threads that do not own the libraries they walk (the loader's compaction, saves at the
  // end): the library stays in memory while the pin lives, even when another thread destroys it.
  static LibraryPin PinLibrary(Int32 slot);
  static LibraryPin PinLibraryForURL(const String& text, Bool fallBack = false);
  static std::vector<LibraryPin> PinAll();
  static BrowserDatabase* FirstLibrary() { return GetLibrary(0); }
  static Int32 GetTableCapacity();
  static String DisplayNameForURL(const String& text);
  static void SaveAllAndClose(Bool save, Bool allowCompaction);
  static void CompactAll();
  // Changes whenever a record of any library may have changed (a preview, a flag, a time, a record
  // made, moved or deleted) or a library was made, loaded or freed. A caller that found records in
  // a state may rely on that state while this stays the same.
  static UInt32 GetRecordsGeneration();
  static Bool ListDamaged(String* out, Bool clear);

  Lock& GetLock() const { return lock_; }

  // Use Create and Destroy.
  BrowserDatabase() = default;
  ~BrowserDatabase();
  BrowserDatabase(const BrowserDatabase&) = delete;
  BrowserDatabase& operator=(const BrowserDatabase&) = delete;

private:
  friend class BrowserDatabaseItem;
  friend class LibraryPin;

  // Drops one reference (the table's, a pin's or an open count's); the last one frees the library.
  // Never called with a lock of the library held.
  static void Release(BrowserDatabase* db);
  // For a caller that holds the table lock.
  static BrowserDatabase* FindLibraryForURLLocked(const String& text, Bool fallBack);
  static BrowserDatabase* GetLibraryLocked(Int32 slot);
  static LibraryPin PinLocked(BrowserDatabase* db); // an empty pin for null

  // All of these expect lock_ to be held.
  Bool SaveLocked(Bool always, Bool allowCompaction, Bool evenIfReadOnly);
  Bool CompactLocked();
  Bool CreateFileLocked();
  void BuildIndexLocked();
  void UpgradeLocked();
  Bool PatchOldTagsLocked();
  void ResolveDuplicateNameLocked(const String& loadedName);
  void MoveEntryLocked(BaseContainer* item, const String& newPath, Int32 newHash);
  // OpenOrCreateItem and CreateItem: with mustBeNew a path that is taken gives null.
  BrowserDatabaseItem* MakeItem(const String& path, Int32 hash, Bool force, Bool mustBeNew);
  // Puts a new record with the next id in items_ (lock_ and records_ held); null when out of memory.
  BaseContainer* NewRecordLocked(const String& path, Int32 hash);
  // Every access to a record goes through here: a record loaded undecoded (it holds only its
  // address, see dbchunk::LibraryImage) is decoded on first use. Gives rec.
  BaseContainer* DecodedLocked(BaseContainer* rec);
  void DecodeAllLocked();
  // A written-out record from its chunk in the file.
  Bool ReadRecordChunk(const BaseContainer* stub, BaseContainer* out) const;
  // Appends a changed record's chunk; when only the caller's handle holds the record, it becomes a
  // stub that DecodedLocked reads back from the file.
  Bool WriteOutLocked(BaseContainer* item);
  // Drops the keys of dirty_ that a save would pass over, so that it does not grow with every
  // record written out.
  void TrimDirtyLocked();
  // Replaces an undecoded record's stub by its decoded entries.
  void AdoptDecodedLocked(BaseContainer* rec, BaseContainer&& full);
  // The one place where a record's changed flag is set.
  void MarkChangedLocked(BaseContainer* item);
  void MarkDirtyKeyLocked(Int32 key)
  {
    dirty_.push_back(key);
    NoteRecordsChanged();
  }
  static void NoteRecordsChanged();
  void RemoveItemStorageLocked(BaseContainer* item, Int32 itemKey, Bool deferDead);
  Bool WriteDataLocked(BaseContainer* item, const void* stored, Int64 size, Int32 encoding, Int64 originalLength);
  Bool ReadDataLocked(const BaseContainer* item, ByteArray* out);
  Bool AppendChunkLocked(UInt32 id, UInt32 tag, const void* payload, Int64 size, Int64* offset);
  // For a reader that holds records_ (shared) and not lock_: through a file of its own.
  Bool ReadChunkPayloadShared(Int64 offset, UInt32 expectId, ByteArray* out) const;
  Filename DataFile(Int32 itemId) const;
  Filename ImageFile(Int32 itemId, Int32 imageId) const;
  Bool OpenFound(BaseContainer* item, BrowserDatabase* owner, BrowserHashNode* node, BrowserDatabaseItem* out,
                 Bool owned);
  // The index lookup of every handle: raises the found entry's open count and takes a reference
  // to its library, both under the node's lock, where the library is still in the index and so
  // still holds its table reference. GiveBack gives both back.
  static BaseContainer* FindAndHold(BrowserHashNode* node, const String& path, Int32 caseFlag,
                                    BrowserDatabase** owner);
  static void HoldForOpenCount(BrowserDatabase* db) { db->refs_.fetch_add(1, std::memory_order_relaxed); }
  // Deletes an item of this library that a lookup found (and raised the open count of); takes the
  // locks itself and leaves the lookup's library reference to the caller.
  Bool DeleteFound(BrowserHashNode* node, BaseContainer* item);
  // Gives back the open count that a lookup or a handle took, and the library reference that came
  // with it. Ends the way every close does: an item deleted meanwhile leaves the index at its last
  // give-back, so the next save purges it.
  static void GiveBack(BrowserHashNode* node, BaseContainer* item, BrowserDatabase* owner);
  // The same for a caller that holds the library's locks: the reference is the caller's to drop
  // (Release) once it let them go.
  void GiveBackLocked(BrowserHashNode* node, BaseContainer* item);
  BrowserDatabaseItem* NewHandle();
  void UpdateCompactionWishLocked();

  mutable Lock lock_;
  // The contents of the records. Handle reads hold it shared and never take lock_, so they do not
  // wait for a save's syncs or a compaction; every change of a record holds it exclusive, after
  // lock_. Save and compaction hold lock_ throughout, records_ only while they read or update
  // records, never across a sync.
  mutable RWLock records_;
  BaseContainer items_;
  Int32 itemCount_ = 0;
  Int32 nextId_ = 1;
  std::atomic<Int32> slot_{-1};
  // The table's reference, one per pin and one per open count raised in the index. Pins are taken
  // under the table lock while the library is in the table, open counts under a node lock while
  // it is in the index, so none is taken after Destroy has taken it out of both.
  std::atomic<Int32> refs_{1};
  Bool destroyed_ = false; // under lock_
  DBBitmapCache cache_;
  Filename file_;
  Filename dataFolder_;
  BaseFile* fileObj_ = nullptr;
  std::atomic<UInt32> fileOpen_{0};
  Bool fileWritable_ = false; // fileObj_ is open for writing too
  Int64 endOffset_ = 0;
  Int64 deadBytes_ = 0;
  std::vector<Int64, orx::HostAllocator<Int64>> infoOffsets_;
  std::vector<Int64, orx::HostAllocator<Int64>> catalogOffsets_;
  std::vector<Int64, orx::HostAllocator<Int64>> legacyOffsets_;
  // Chunks that no record refers to any more, marked dead once the next save made that durable.
  std::vector<Int64, orx::HostAllocator<Int64>> pendingDead_;
  // Keys of the records that a save has to look at (changed, or deleted); may hold duplicates.
  // Filled only by MarkChangedLocked and the deletions, so that a save need not scan every record.
  std::vector<Int32, orx::HostAllocator<Int32>> dirty_;
  std::size_t dirtyTrimAt_ = 4096;
  // Images of the records not decoded yet, and how many such records there are, written-out ones
  // included (read without the lock: zero means every record is decoded).
  dbchunk::KeptImages lazyImages_;
  std::atomic<Int32> lazyLeft_{0};
  Int32 version_ = 7;
  String name_;
  BaseContainer displayNames_;
  std::atomic<Bool> readOnly_{false};
  std::atomic<Bool> locked_{false};
  std::atomic<Bool> system_{false};
  std::atomic<Bool> noWrite_{false};
  String catalogString_;
  Bool hasCatalog_ = false;
  Bool changed_ = false;
  Bool infoChanged_ = false;
  Bool catalogChanged_ = false;
  Bool rewriteAll_ = false;
  Bool patchTags_ = false; // files before version 3: data and image tags are set at the next save
  Int32 caseFlag_ = 0;
  Bool inner_ = true;
  Bool unindexed_ = false; // set at creation
  // Records of an unindexed library written out and forgotten (under lock_); compaction, which
  // copies the records it holds, would lose them.
  Int32 forgotten_ = 0;
  std::atomic<Bool> infoDamaged_{false};
  Bool wantsCompaction_ = false;
  std::atomic<Int32> regCount_{0};
};

// Keeps a library in memory; see BrowserDatabase::PinLibrary.
class LibraryPin
{
public:
  LibraryPin() = default;
  ~LibraryPin() { Reset(); }
  LibraryPin(LibraryPin&& o) noexcept : db_(o.db_) { o.db_ = nullptr; }
  LibraryPin& operator=(LibraryPin&& o) noexcept
  {
    if (this != &o) {
      Reset();
      db_ = o.db_;
      o.db_ = nullptr;
    }
    return *this;
  }
  LibraryPin(const LibraryPin&) = delete;
  LibraryPin& operator=(const LibraryPin&) = delete;

  BrowserDatabase* Get() const { return db_; }
  BrowserDatabase* operator->() const { return db_; }
  explicit operator bool() const { return db_ != nullptr; }
  void Reset()
  {
    if (db_)
      BrowserDatabase::Release(db_);
    db_ = nullptr;
  }

private:
  friend class BrowserDatabase;
  explicit LibraryPin(BrowserDatabase* db) : db_(db) {}
  BrowserDatabase* db_ = nullptr;
};
