// CatalogNode: the node of a catalog, a collection of links to content anywhere (files, folders,
// presets, other catalog entries) arranged in folders of its own. A catalog file (".catqz") is a
// preset library whose items are the catalog's folders and links; the favorites, the recent list
// and search results are catalogs too, with their items in the main database or none.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "contenttree/browserinterface.h"
#include "contenttree/rtreenode.h"
#include "orx/string.h"
#include "orx/threads.h"

class BrowserDatabase;
class BrowserDatabaseItem;

// Status words of the kinds at creation.
constexpr UInt32 CATALOGSTATUS_LINK = NODESTATUS_VIRTUAL | NODESTATUS_UNRESOLVED | NODESTATUS_LINK;
constexpr UInt32 CATALOGSTATUS_FOLDER_LINK = CATALOGSTATUS_LINK | NODESTATUS_FOLDER;
constexpr UInt32 CATALOGSTATUS_FOLDER = NODESTATUS_VIRTUAL | NODESTATUS_FOLDER;
constexpr UInt32 CATALOGSTATUS_ROOT = CATALOGSTATUS_FOLDER | NODESTATUS_CATALOG_ROOT;

// Creation flags of CatalogNode::Make.
constexpr UInt32 CATALOGMAKE_FOLDER = NODESTATUS_FOLDER;
constexpr UInt32 CATALOGMAKE_ROOT = NODESTATUS_CATALOG_ROOT;
constexpr UInt32 CATALOGMAKE_RELATIVE = NODESTATUS_RELATIVE_LINK;

// A link whose target was not found is looked up again only after this many milliseconds.
constexpr UInt32 CATALOG_LOOKUP_INTERVAL_MS = 1000;

// Icon ids of catalog nodes.
constexpr Int32 ICON_CATALOG_FOLDER = 3;
constexpr Int32 ICON_CATALOG_FOLDER_OPEN = 4;
constexpr Int32 ICON_CATALOG_FAVORITE_FOLDER = 14;
constexpr Int32 ICON_CATALOG_READONLY = 21;
constexpr Int32 ICON_CATALOG_READONLY_OPEN = 22;
constexpr Int32 ICON_CATALOG_LINK = 20;

// Message kind and requests of catalog nodes (Message id HANDLER_ID_CATALOG).
constexpr Int32 CATALOGMSG_KIND = 4;
// data: the node to link to. Makes a link (folders as links) with its item; 0 when made.
constexpr Int32 CATALOGMSG_ADD_LINK = 1;

// What the catalogs need from the layers above them. Installed by the content layer at start.
struct CatalogServices
{
  // GetNode of the content access interface.
  NodeRef (*getNode)(BrowserURL& url, Int32 mode) = nullptr;
  // Stamps a category parent's date-time.
  void (*touchCategory)(BrowserContentNode* category) = nullptr;
  // True for a node that walks never enter (a symbolic link on disk): a copy into a catalog makes
  // it a link instead of copying what lies below it.
  Bool (*isWalkBarrier)(BrowserContentNode* node) = nullptr;
};
void SetCatalogServices(const CatalogServices& services);

// The millisecond clock of target lookups; null restores the host's clock. Tests only.
using CatalogClock = UInt32 (*)();
void SetCatalogClock(CatalogClock clock);

// Views are told of changes only on the thread that calls this (the main thread). Changes made on
// other threads wait in a queue until DeliverCatalogChanges runs there.
void SetCatalogNotifyThread();
// Passes the queued changes on; does nothing on any other thread than the notifying one.
void DeliverCatalogChanges();
Int32 QueuedCatalogChanges();
// Forgets the queue and the notifying thread (end of content).
void DropCatalogChanges();

// The stored form of a link URL. It is stored relative to base (only the rest, without the "/")
// when asked and when url is base itself or continues it with "/"; otherwise whole.
Bool StoreCatalogLink(BrowserDatabaseItem* item, const String& url, const String& base, Bool askRelative,
                      Bool* storedRelative);
// Reads a stored link: base + "/" + rest for a relative one. False for a link without URL and for
// one with ".." parts (catalog files are outside input: a link may not climb out of its base).
Bool ReadCatalogLink(BrowserDatabaseItem* item, const String& base, String* url, Bool* relative);
// True when text has a part "..".
Bool HasParentPart(const String& text);

// A set of texts (the upper-cased last URL parts of a catalog's children): open addressing over
// keys kept in one shared text, so that a name costs one probe and no allocation of its own. Throws
// std::bad_alloc when memory runs out.
class CatalogNameSet
{
public:
  static std::size_t Hash(std::u16string_view key) { return std::hash<std::u16string_view>()(key); }
  void Clear();
  Bool Contains(std::u16string_view key, std::size_t hash) const;
  // False when the key is there already.
  Bool Insert(std::u16string_view key, std::size_t hash);

private:
  struct Slot
  {
    std::size_t hash;
    UInt32 at; // position in text_; kEmpty for an empty slot
    UInt32 length;
  };
  static constexpr UInt32 kEmpty = ~0u;
  // The slot of key, or the empty slot where it would go.
  std::size_t Probe(std::u16string_view key, std::size_t hash) const;

  std::vector<Slot> slots_;
  std::u16string text_;
  std::size_t used_ = 0;
};

class CatalogNode : public BrowserContentNode
{
public:
  // A node below parent with the creation flags (CATALOGMAKE_*); target: the link URL, or null for
  // a folder or a link without URL. The node is in the tree when this answers it.
  static Ref<CatalogNode> Make(const NodeRef& parent, const String& name, const String& lastPart,
                               const String* target, BrowserDatabase* db, UInt32 flags);
  // The rule by which every link is made: below parent, for source, named newName (or after the
  // source). The item is written when asked; a folder becomes a link only when foldersAsLinks.
  static Ref<CatalogNode> MakeLink(const NodeRef& parent, const NodeRef& source, const String* newName,
                                   Bool writeItem, Bool foldersAsLinks, Bool notify = true);
  // Make link without item, folders as links (the search thread's way of collecting results).
  static Ref<CatalogNode> AddLink(const NodeRef& catalog, const NodeRef& source, Bool notify);
  // AddLink for each of count sources below a catalog, under one busy mark of the catalog and with
  // one notice to the views: a search adds thousands. Answers how many links were made.
  static Int32 AddLinks(const NodeRef& catalog, const NodeRef* sources, Int32 count, Bool notify);
  // One link that AddPreparedLinks makes: what make link works out from its source.
  struct LinkSource
  {
    String name;
    String candidate; // the last URL part before it is made unique; empty: the name
    String targetURL;
    NodeRef target; // null: looked up when the link is first asked for it
    Bool folder = false;
  };
  // What AddLink works out from source before it takes the catalog's busy mark; false for a source
  // that cannot be linked into catalog.
  static Bool PrepareLink(const NodeRef& catalog, const NodeRef& source, LinkSource* out);
  // AddLinks for sources prepared already (their texts are taken over). A link without a target
  // node (a search hit that has no node yet) stays unresolved until it is first asked for its
  // target, which is then looked up by its URL as every link's is.
  static Int32 AddPreparedLinks(const NodeRef& catalog, LinkSource* links, Int32 count, Bool notify);
  // Links to add in one go, kept compact: a folder's URL once, then the names of its plain files
  // (each linked by the folder's URL and its name, unresolved), or links worked out by PrepareLink.
  class LinkBatch
  {
  public:
    // The folder of the names that follow: its URL text, ending with "/".
    void Folder(std::u16string_view url);
    void Name(std::u16string_view name);
    void Prepared(LinkSource&& link);
    std::size_t Size() const { return entries_.size(); }
    Bool Empty() const { return entries_.empty(); }
    // Keeps the first count links only.
    void Truncate(std::size_t count);
    // Forgets the links; the current folder stays.
    void Clear();

  private:
    friend class CatalogNode;
    static constexpr UInt32 kPrepared = ~0u;
    struct Entry
    {
      UInt32 folder; // index in folders_, or kPrepared (then at indexes prepared_)
      UInt32 at;     // position in text_
      UInt32 length;
    };
    struct Part
    {
      UInt32 at, length;
    };
    // Appends other's links behind these; false when memory or the positions run out.
    Bool Append(LinkBatch& other);
    std::u16string text_;
    std::vector<Part> folders_;
    std::vector<Entry> entries_;
    std::vector<LinkSource> prepared_;
    std::u16string folder_; // the current folder's URL
    Bool folderInText_ = false;
  };
  // The links of batch (taken over; it is left empty) join the catalog as AddPreparedLinks would
  // add them, but as nodes only once anyone looks at the catalog's children: a search adds a link
  // per hit, by the hundred thousand, for a view that shows a few. Answers how many were taken.
  static Int32 AddLinkBatch(const NodeRef& catalog, LinkBatch* batch, Bool notify);
  // The node of one library item (the factory of AddLibraryNodes for catalogs, favorites, recent).
  static NodeRef ItemFactory(const NodeRef& parent, const NodeRef& existing, BrowserURL& url, BrowserDatabase* db,
                             Bool folder, BrowserDatabaseItem* item, void* data);
  // A catalog folder with its item (the favorites' new folder).
  static Ref<CatalogNode> MakeFolderWithItem(const NodeRef& parent, const String& name, BrowserDatabase* db);

  // The library, or null when there is none or it was closed.
  BrowserDatabase* GetLibrary() const;
  Bool IsLink() const { return (GetStatus() & NODESTATUS_LINK) != 0; }
  Bool IsRoot() const { return (GetStatus() & NODESTATUS_CATALOG_ROOT) != 0; }
  Bool IsFolder() const { return (GetStatus() & NODESTATUS_FOLDER) != 0; }
  // The link's target, looked up as the lookup rule allows; null for folders and when not found.
  NodeRef GetTarget();
  // The cached target only.
  NodeRef PeekTarget() const;
  String GetTargetURLText() const;
  String GetURLText();
  Int32 GetIconId(UInt32 flags);

  /* 4 */ Int32 GetNodeType() override { return NODETYPE_CATALOG; }
  /* 5 */ BrowserPluginInterface* GetPluginInterface(UInt32 flags) override;
  /* 6 */ String GetName() override;
  /* 7 */ const String* GetNameRef() override { return &name_; }
  /* 8 */ String* GetTypeName(String* out, Int32 mode) override;
  /* 9 */ Bool GetURL(BrowserURL* out, UInt32 flags) override;
  /* 10 */ Bool GetFileTime(Int32 which, DateTime* out) override;
  /* 11 */ UInt32 GetInfo(Int64* size) override;
  /* 12 */ BaseBitmap* GetIcon(UInt32 flags, Int32 size) override;
  /* 13 */ Bool LoadChildren() override;
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
  CatalogNode(UInt32 status, BrowserDatabase* db);
  ~CatalogNode() override;
  void MakeDeferredChildren() override;

private:
  class BusyMark;
  // Makes the owed links into nodes; under the busy mark.
  void SettleOwed();
  void MakeBatch(LinkBatch& batch);
  // One link below this node, as make link names it; under the busy mark. base: this node's URL
  // text and "/".
  // name and targetURL are taken over; candidate null: the name.
  Bool MakeChildLink(const String& base, BrowserDatabase* db, UInt32 now, String& name, const String* candidate,
                     String& targetURL, NodeRef target, Bool folder, std::u16string* scratch);
  // ownURL: the node's whole URL when the caller knows it (nodes made while a catalog is read,
  // which stamp no parent's time: reading is no edit). The texts of target and ownURL are taken
  // over (moved from), so that a node of a large catalog copies none of them.
  static Ref<CatalogNode> MakeNode(const NodeRef& parent, String name, const String& lastPart, String* target,
                                   BrowserDatabase* db, UInt32 flags, Bool warn, String* ownURL = nullptr);
  void SetURLText(const String& text);
  // GetURLText, kept while the URL text stays as it is: a folder that links pour into needs it for
  // every link.
  String ChildURLBase();
  void Touch();
  static void TouchParent(const NodeRef& parent);
  String BasePath() const;
  Bool ReadOnly() const;
  // The first sibling-free name for candidate below this node: 0 for candidate itself, else n for
  // "candidate.n". The name is taken at once (one probe of the set): a child that then fails to be
  // made leaves it unused. Called under this node's busy mark.
  Int32 TakeChildPart(const String& candidate);
  static String ChildPart(const String& candidate, Int32 n);
  // After a child was inserted under the busy mark: the set of names still stands for the children.
  void ChildPartsCurrent();
  Int32 CountItems(Int32 phase, EditCallback callback, void* data);
  Bool IsOwnCatalogFileRoot();
  Int32 RenameRoot(const String& newName);

  mutable SpinLock fieldLock_; // name, URLs, target, date-time, lookup time
  BrowserDatabase* db_;
  Int32 slot_;
  String name_;
  String url_;
  UInt32 urlVersion_ = 1; // changes with every change of url_
  String urlBase_;        // GetURLText of url_ at urlBaseVersion_
  UInt32 urlBaseVersion_ = 0;
  String targetURL_;
  NodeRef target_;
  DateTime time_;
  UInt32 stampMs_ = 0; // the millisecond clock when time_ was last stamped
  Bool stamped_ = false;
  UInt32 lastLookup_ = 0;
  Bool lookedUp_ = false; // no lookup yet: lastLookup_ means nothing
  CachedPluginLookup handler_;
  // The upper-cased last URL parts of the children, valid while namesVersion_ is the children
  // version; used under the busy mark only.
  // Made for the first child made by a make link: a link that has none spares it.
  std::unique_ptr<CatalogNameSet> names_;
  UInt32 namesVersion_ = ~0u;
  // Links added but not made yet, in the order added; under owedLock_.
  SpinLock owedLock_;
  std::unique_ptr<LinkBatch> owed_;
};

// The catalog link handler (catalog:// nodes) and the catalog file handler (".catqz" files).
class BrowserCatalogPlugin : public BrowserPluginInterface
{
public:
  Int32 GetPluginID(String* name) override;
  Bool Identify(BrowserURL&, const void*, Int32, Int32) override { return false; }
  String* GetTypeName(String* out, NodeRef node, BrowserURL* url, Int32 mode) override;
  void* OpenPreviewData(Int32 flags, NodeRef node, BrowserURL* url, Int32* qualities) override;
  void FreePreviewData(void* data) override;
  BaseBitmap* GetPreviewBitmap(void* data, Int32 width, Int32 height, Int32 flags) override;
  BaseBitmap* GetIcon(NodeRef node, BrowserURL* url, Int32 size) override;
  PreviewDialog* CreatePreviewDialog(NodeRef node, Int32 page) override;
  Int32 DestroyPreviewDialog(NodeRef node, PreviewDialog* dialog) override;
  Int32 ClosePreviewDialog(NodeRef node, PreviewDialog* dialog) override;
  Bool Execute(NodeRef node, BrowserURL* url, Int32 flags) override;
  String* GetTypeNames(Int32 mode, Int32* count) override;
};

class BrowserCatalogFilePlugin : public BrowserPluginInterface
{
public:
  // Opens a catalog file as a catalog; installed by the content layer.
  using Opener = Bool (*)(const Filename& file);
  static void SetOpener(Opener opener);

  Int32 GetPluginID(String* name) override;
  // Suffix "catqz" in any letter case (as the registry finds catalog files); with header bytes the
  // library header chunk id too.
  Bool Identify(BrowserURL& url, const void* header, Int32 headerSize, Int32 reserved) override;
  // Identify without header bytes, as a rule for the registry's table.
  static const SuffixMatch& ByName();
  String* GetTypeName(String* out, NodeRef node, BrowserURL* url, Int32 mode) override;
  BaseBitmap* GetIcon(NodeRef node, BrowserURL* url, Int32 size) override;
  // 17 for a file URL, else 6.
  static Int32 GetIconId(BrowserURL* url);
  PreviewDialog* CreatePreviewDialog(NodeRef node, Int32 page) override;
  Bool Execute(NodeRef node, BrowserURL* url, Int32 flags) override;
  String* GetTypeNames(Int32 mode, Int32* count) override;
};

BrowserCatalogPlugin* GetCatalogPlugin();
BrowserCatalogFilePlugin* GetCatalogFilePlugin();

constexpr Int32 IDS_CATALOG_HANDLER = 10353;
constexpr Int32 IDS_CATALOG_TYPE = 10354;
constexpr Int32 IDS_CATALOG_FILE_HANDLER = 10360;
constexpr Int32 IDS_CATALOG_FILE_TYPE = 10361;
