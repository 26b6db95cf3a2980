// BrowserDatabaseItem: a handle on one record of a library. While open it keeps the record alive,
// even when the item is deleted meanwhile.
#pragma once

#include "orx/container.h"
#include "orx/filename.h"

class BrowserDatabase;
class BrowserHashNode;

// Ids of the item record and its sub-containers, as they are stored in library files.
namespace dbitem {
constexpr Int32 kOwner = 0; // run-time pointer to the library, never meaningful on disk
constexpr Int32 kType = 1;
constexpr Int32 kStrings = 2;
constexpr Int32 kAnnotation = 3;
constexpr Int32 kImages = 5;
constexpr Int32 kAddress = 6;
constexpr Int32 kFlags = 10;
constexpr Int32 kModified = 11;
constexpr Int32 kCreated = 13;
constexpr Int32 kData = 14;
constexpr Int32 kSettings = 15;
constexpr Int32 kName = 16;
constexpr Int32 kType2 = 17;
constexpr Int32 kChanged = 18;     // memory only
constexpr Int32 kChunkOffset = 19; // memory only
constexpr Int32 kLazy = 20;        // memory only: where the undecoded image waits (never written)
// kLazy of a record written out to the file (read back from its chunk): below 0, with the path
// hash folded in, so that a listing finds the path in the index without reading the file. Kept
// images have positions from 0 up.
constexpr Int64 InFileMark(Int32 hash) { return -1 - Int64(UInt32(hash)); }
constexpr Bool IsInFileMark(Int64 mark) { return mark < 0; }
constexpr Int32 HashOfInFileMark(Int64 mark) { return Int32(UInt32(-1 - mark)); }
constexpr Int32 kState = 21;
constexpr Int32 kAnimation = 22;
constexpr Int32 kPicture = 23; // the rendered picture's own size, when it is smaller than a preview

constexpr Int32 kAddrPath = 0;
constexpr Int32 kAddrOldImages = 1; // files before version 5
constexpr Int32 kAddrHash = 2;
constexpr Int32 kAddrLink = 3;
constexpr Int32 kAddrRelative = 4;

constexpr Int32 kDataOffset = 0;
constexpr Int32 kDataEncoding = 1;
constexpr Int32 kDataLength = 2;

constexpr Int32 kImgFile = 0;
constexpr Int32 kImgA = 1;
constexpr Int32 kImgB = 2;
constexpr Int32 kImgQuality = 3;
constexpr Int32 kImgTime = 4;
constexpr Int32 kImgOffset = 5;

constexpr Int32 kFlagsValue = 0;
constexpr Int32 kFlagsOrder = 10;
constexpr Int32 kFolderFlag = 0x8;
// Preview states kept in the item flags.
constexpr Int32 kRenderFailedFlag = 0x1; // a render ran over the time limit: not retried unless asked
constexpr Int32 kNoPictureFlag = 0x2;    // the content has no picture (as of the item's modification time)
constexpr Int32 kRenderPendingFlag = 0x4;
constexpr Int32 kNoOrder = 0x7fffffff;

constexpr Int32 kEncodingStored = 0;
constexpr Int32 kEncodingOldCompressed = 1;
constexpr Int32 kEncodingCompressed = 2;
// Storage modes of SetData.
constexpr Int32 kStoreAsGiven = 0;
constexpr Int32 kStoreCompressed = 2;

Int32 PackDate(const DateTime& t);
Int32 PackTime(const DateTime& t);
DateTime Unpack(Int32 date, Int32 time);
} // namespace dbitem

// The picture a preview was made from, when the previews are not to be larger than it.
struct PictureInfo
{
  Int32 width = 0, height = 0;
  Int32 depth = 0;   // bits per channel
  Bool alpha = false;
  Int32 quality = 0; // 0: none of its own
};

struct PreviewInfo
{
  Int32 imageId = 0;
  Int32 a = 0, b = 0;
  Int32 quality = 0;
  DateTime time;
};

class BrowserDatabaseItem
{
public:
  BrowserDatabaseItem() = default;
  ~BrowserDatabaseItem() { Close(); }
  BrowserDatabaseItem(const BrowserDatabaseItem&) = delete;
  BrowserDatabaseItem& operator=(const BrowserDatabaseItem&) = delete;

  Bool IsOpen() const { return item_ != nullptr; }
  // Lowers the item's open count. A handle made by OpenItem and friends frees itself.
  void Close();
  // Closes and saves the owning library when it changed.
  Bool CloseAndSave();
  // Closes after appending the record to the library file at once, so that a writer of many
  // records (the library build) does not keep them all until the save at the end. When no other
  // handle holds the record, memory keeps only where its chunk is, and the record is read back
  // from the file on first use. Not synced: the next save makes it durable. False when the record
  // could not be written; it then waits for the next save as usual.
  Bool CloseAndWriteOut();

  BrowserDatabase* GetDatabase() const { return db_; }
  Bool IsWritable() const;
  Int32 GetId() const;

  Bool SetType(Int32 type, Int32 type2 = 0);
  Int32 GetType(Int32* type2 = nullptr) const;
  String GetPath() const;
  Int32 GetHash() const;
  // Moves the item to another path of its library.
  Bool SetPath(const String& path);

  // Names per language id; language 0 means the user's current language.
  Bool SetName(const String& name, Int32 language = 0);
  // The name in that language (0: current, then English, German, the first one).
  String GetName(Int32 language = 0) const;
  Bool GetNames(BaseContainer* out) const;
  Bool HasSeveralNames() const;

  Bool SetAnnotation(const String& text);
  String GetAnnotation() const;
  Bool SetStringList(const BaseContainer& list);
  Bool GetStringList(BaseContainer* out) const;
  Bool SetSettings(const BaseContainer& settings);
  Bool GetSettings(BaseContainer* out) const;
  Bool RemoveSettings();
  Bool SetState(Int32 state);
  Int32 GetState() const;
  Bool SetAnimation(Int32 first, Int32 last, Float fps);
  Bool GetAnimation(Int32* first, Int32* last, Float* fps) const;
  Bool SetPictureInfo(const PictureInfo& info);
  Bool GetPictureInfo(PictureInfo* out) const;
  Bool SetItemFlags(Int32 flags);
  Int32 GetItemFlags() const;
  Bool IsFolder() const { return (GetItemFlags() & dbitem::kFolderFlag) != 0; }
  Bool SetOrder(Int32 order);
  Int32 GetOrder() const;
  Bool SetTime(Int32 which, const DateTime& t); // 0 creation, 1 modification
  Bool GetTime(Int32 which, DateTime* t) const;
  // Link entries of catalog records (address ids 3 and 4).
  Bool SetLink(const String& target, Bool relative);
  Bool GetLink(String* target, Bool* relative) const;

  // Data: mode kStoreCompressed compresses at level 9 and keeps the result only when shorter.
  Bool SetData(const void* data, Int64 size, Int32 mode = dbitem::kStoreCompressed);
  Bool SetDataEncoded(const void* stored, Int64 size, Int32 encoding, Int64 originalLength);
  Bool GetData(ByteArray* out) const;
  Int64 GetDataSize() const; // before compression; 0 without data
  Bool HasData() const;
  Bool RemoveData();

  // Previews: JPEG bytes as given, keyed by image id.
  Bool AddPreview(Int32 imageId, const void* jpeg, Int64 size, Int32 quality, const DateTime& time, Int32 a = 0,
                  Int32 b = 0);
  Int32 GetPreviewCount() const;
  Bool GetPreviewInfo(Int32 index, PreviewInfo* out) const;
  Bool GetPreviewData(Int32 imageId, ByteArray* out) const;
  Bool RemovePreview(Int32 imageId);

  // The record itself, for a caller that holds the library's lock.
  BaseContainer* GetRecord() const;

private:
  friend class BrowserDatabase;
  void Attach(BrowserDatabase* db, BaseContainer* item, BrowserHashNode* node, Bool owned);
  template <typename F>
  Bool Change(F&& f);
  template <typename F>
  auto Read(F&& f) const;

  BrowserDatabase* db_ = nullptr;
  BaseContainer* item_ = nullptr;
  BrowserHashNode* node_ = nullptr;
  Bool owned_ = false;
};

// Closes an item handle on every path.
struct ItemHandle
{
  BrowserDatabaseItem* p;
  explicit ItemHandle(BrowserDatabaseItem* item) : p(item) {}
  ~ItemHandle()
  {
    if (p)
      p->Close();
  }
  ItemHandle(const ItemHandle&) = delete;
  ItemHandle& operator=(const ItemHandle&) = delete;
  BrowserDatabaseItem* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};
