// CategoryNode: the fixed top-level nodes of the content tree (files, network, presets, catalogs,
// favorites, recent, search), each filled on demand by the part of the system that owns its
// content; and BrowserCategoryPlugin, the handler that serves them.
#pragma once

#include <atomic>

#include "contenttree/browserinterface.h"
#include "orx/threads.h"
#include "contenttree/rtreenode.h"

// Category kinds, from the URL text.
constexpr Int32 CATEGORY_OTHER = 0;
constexpr Int32 CATEGORY_FILE = 1;
constexpr Int32 CATEGORY_PRESET = 2;
constexpr Int32 CATEGORY_CATALOG = 3;
constexpr Int32 CATEGORY_NETWORK = 4;

constexpr Int32 CATEGORY_DEFAULT_ICON = 3;
constexpr Int32 CATEGORY_DEFAULT_ICON_OPEN = 4;
constexpr Int32 CATEGORY_OWN_ICON = -1;

class CategoryNode;
class BrowserDatabase;
class BrowserDatabaseItem;

// What fills a category and what the favorites make. Each is installed by the part that owns the
// content; until then the category stays empty and the favorites refuse.
struct CategoryServices
{
  void (*buildVolumes)(CategoryNode* fileRoot) = nullptr;     // once per process
  void (*buildNetwork)(CategoryNode* networkRoot) = nullptr;  // every time it is opened
  void (*loadCatalogs)() = nullptr;                           // every time; default: the registry's scan
  // A catalog folder below a category (with its item in the main database).
  NodeRef (*makeCatalogFolder)(CategoryNode* parent, const String& name) = nullptr;
  // A link to target at the end of a category's children (favorites, recent); name may be null.
  NodeRef (*makeLink)(CategoryNode* parent, const NodeRef& target, const String* name) = nullptr;
  // The node a link stands for; null for a node that is not a link.
  NodeRef (*linkTarget)(const NodeRef& link) = nullptr;
  // The node of a favorite item of the main database (as LibraryNodeFactory).
  NodeRef (*makeFavoriteNode)(const NodeRef& parent, const NodeRef& existing, BrowserURL& url,
                              BrowserDatabase* db, Bool folder, BrowserDatabaseItem* item, void* data) = nullptr;
};
// How the preset and catalog categories are filled by default: the library registry's scans. The
// registry sits above the nodes, so the content layer installs these at start.
struct CategoryLibraryLoaders
{
  void (*loadLibraries)() = nullptr;
  void (*loadCatalogs)() = nullptr;
};
void SetCategoryLibraryLoaders(const CategoryLibraryLoaders& loaders);

// The services installed now.
CategoryServices GetCategoryServices();
void SetCategoryServices(const CategoryServices& services);
// Requests sent to category nodes (Message) that the part owning their content answers; installed
// by it at start, null forgets it.
using CategoryMessageHook = Int32 (*)(CategoryNode* node, Int32 id, Int32 kind, Int32 op, void* data);
void SetCategoryMessageHook(CategoryMessageHook hook);

// Forgets that the volume list was built (tests only).
void ResetCategoryOnceFlagsForTests();

class CategoryNode : public BrowserContentNode
{
public:
  // parent: the tree for a top-level category. The node is in the tree when this answers it.
  static Ref<CategoryNode> Make(RTreeNode* parent, const String& name, const String& urlText, Int32 iconId);
  // With an icon file: its bitmap when it exists and loads, else icon 3.
  static Ref<CategoryNode> MakeWithIconFile(RTreeNode* parent, const String& name, const String& urlText,
                                            const Filename& iconFile);

  Int32 GetCategoryKind() const { return kind_; }
  const String& GetURLText() const { return urlText_; }
  // The icon id GetIcon looks up; -1 when the node has its own bitmap.
  Int32 GetIconId(UInt32 flags) const;
  // Called when a catalog node directly below comes, moves or goes.
  void Touch();
  Bool IsFavorites() const;

  /* 4 */ Int32 GetNodeType() override { return NODETYPE_CATEGORY; }
  /* 5 */ BrowserPluginInterface* GetPluginInterface(UInt32 flags) override;
  /* 6 */ String GetName() override { return name_; }
  /* 7 */ const String* GetNameRef() override { return &name_; }
  /* 9 */ Bool GetURL(BrowserURL* out, UInt32 flags) override;
  Int32 MatchUpperURLPrefix(const String& upper) override;
  /* 10 */ Bool GetFileTime(Int32 which, DateTime* out) override;
  /* 11 */ UInt32 GetInfo(Int64* size) override;
  /* 12 */ BaseBitmap* GetIcon(UInt32 flags, Int32 size) override;
  /* 13 */ Bool LoadChildren() override;
  /* 14 */ Int32 Message(Int32 id, Int32 kind, Int32 op, void* data) override;
  /* 16 */ Int32 NewFolder(Int32 phase, const String& name, NodeRef* out) override;
  /* 18 */ Int32 CopyHere(NodeRef node, Int32 phase, const String* newName, EditCallback callback,
                          void* data) override;

protected:
  CategoryNode(const String& name, const String& urlText, Int32 iconId);
  ~CategoryNode() override;

private:
  mutable SpinLock timeLock_;
  DateTime time_;
  String name_;
  String urlText_;
  BaseBitmap* icon_ = nullptr;
  Int32 iconId_;
  Int32 kind_;
};

class BrowserCategoryPlugin : public BrowserPluginInterface
{
public:
  Int32 GetPluginID(String* name) override;
  Bool Identify(BrowserURL& url, const void* header, Int32 headerSize, Int32 reserved) override { return false; }
  String* GetTypeName(String* out, NodeRef node, BrowserURL* url, Int32 mode) override;
  BaseBitmap* GetIcon(NodeRef node, BrowserURL* url, Int32 size) override;
  PreviewDialog* CreatePreviewDialog(NodeRef node, Int32 page) override;
  String* GetTypeNames(Int32 mode, Int32* count) override;
};

// The module-wide instance.
BrowserCategoryPlugin* GetCategoryPlugin();

constexpr Int32 IDS_CATEGORY_HANDLER = 10351;
constexpr Int32 IDS_CATEGORY_TYPE = 10352;
