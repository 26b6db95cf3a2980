#include "core/catalogs.h"

#include <mutex>

#include "base/browserutils.h"
#include "contenttree/browserinterface.h"
#include "core/contentaccess.h"
#include "core/libraryregistry.h"
#include "nodes/categorynode.h"
#include "nodes/directorynode.h"
#include "orx/files.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/catalognode.h"

namespace {

const String kCatalogPrefix("catalog://");
// Two threads listing "catalog:/" at once must not give one catalog two roots.
std::recursive_mutex g_showLock;
// Listing "catalog:/" while catalogs are shown on this thread (a lookup from inside) shows nothing.
thread_local Int32 t_showing = 0;

NodeRef LookUp(BrowserURL& url, Int32 mode) { return GetNode(url, mode); }

void TouchCategory(BrowserContentNode* node)
{
  if (auto* category = dynamic_cast<CategoryNode*>(node))
    category->Touch();
}

Bool IsLinkOnDisk(BrowserContentNode* node)
{
  auto* entry = dynamic_cast<DirectoryNode*>(node);
  return entry && entry->IsLink();
}

NodeRef MakeFavoriteFolder(CategoryNode* parent, const String& name)
{
  return CatalogNode::MakeFolderWithItem(NodeRef(parent), name, BrowserDatabase::GetLibrary(LIBRARY_MAIN));
}

NodeRef MakeCategoryLink(CategoryNode* parent, const NodeRef& target, const String* name)
{
  return CatalogNode::MakeLink(NodeRef(parent), target, name, true, true);
}

NodeRef LinkTarget(const NodeRef& link)
{
  auto* c = dynamic_cast<CatalogNode*>(link.Get());
  return c && c->IsLink() ? c->GetTarget() : nullptr;
}

void LoadCatalogNodes()
{
  if (t_showing)
    return;
  ++t_showing;
  // The registry's scan runs once; catalogs opened since (a new one, one opened by a double click)
  // are shown as well.
  BrowserURL catalogs(String("catalog:/"));
  GetLibraryIndex(catalogs);
  ShowOpenCatalogs();
  --t_showing;
}

Bool OpenCatalogFileHook(const Filename& file) { return OpenCatalogFile(file, nullptr); }

} // namespace

void InstallCatalogs()
{
  if (!FindPluginByID(HANDLER_ID_CATALOG))
    RegisterPlugin(GetCatalogPlugin(), 0, false);
  if (!FindPluginByID(HANDLER_ID_CATALOG_FILE))
    RegisterPlugin(GetCatalogFilePlugin(), 1, false, &BrowserCatalogFilePlugin::ByName());
  SetCatalogServices(CatalogServices{LookUp, TouchCategory, IsLinkOnDisk});
  SetCatalogNotifyThread();
  BrowserCatalogFilePlugin::SetOpener(OpenCatalogFileHook);
  CategoryServices s = GetCategoryServices();
  s.loadCatalogs = LoadCatalogNodes;
  s.makeCatalogFolder = MakeFavoriteFolder;
  s.makeLink = MakeCategoryLink;
  s.linkTarget = LinkTarget;
  s.makeFavoriteNode = CatalogNode::ItemFactory;
  SetCategoryServices(s);
}

void ReleaseCatalogs()
{
  DropCatalogChanges();
  SetCatalogServices(CatalogServices{});
  BrowserCatalogFilePlugin::SetOpener(nullptr);
  CategoryServices s = GetCategoryServices();
  if (s.makeLink == MakeCategoryLink) {
    s.loadCatalogs = nullptr;
    s.makeCatalogFolder = nullptr;
    s.makeLink = nullptr;
    s.linkTarget = nullptr;
    s.makeFavoriteNode = nullptr;
    SetCategoryServices(s);
  }
}

Bool IsValidCatalogURL(const String& text)
{
  const Int32 n = kCatalogPrefix.GetLength();
  if (text.GetLength() <= n || !text.StartsWith(kCatalogPrefix))
    return false;
  const String part = text.SubStr(n, text.GetLength() - n);
  return part == MakeValidName(part) && part != String(".") && part != String("..");
}

Bool NameCatalog(BrowserDatabase* db, const Filename& file)
{
  if (!db)
    return false;
  const String shown = db->GetDisplayName();
  String base = MakeValidName(shown.Content() ? shown : file.GetFileString());
  if (base.IsEmpty() || base == String(".") || base == String(".."))
    base = String("catalog");
  // Another catalog may have the name already: the next free "name.n".
  for (Int32 n = 0; n < 1000; ++n) {
    const String url = kCatalogPrefix + base + (n ? String(".") + String::FromInt(n) : String());
    if (db->Rename(url))
      return true;
  }
  return false;
}

NodeRef ShowCatalog(BrowserDatabase* db)
{
  NodeRef category = GetRootNode(ROOT_CATALOG);
  if (!db || !category)
    return nullptr;
  const String name = db->GetName();
  if (!IsValidCatalogURL(name))
    return nullptr;
  std::lock_guard l(g_showLock);
  for (NodeRef c = BrowserContentNode::FromTree(category->GetFirstChild()); c; c = c->GetNextNode()) {
    auto* root = dynamic_cast<CatalogNode*>(c.Get());
    if (root && root->IsRoot() && root->GetLibrary() == db)
      return c;
  }
  ++t_showing;
  // Building the tree is no edit: records made for folders without one wait for the next save.
  BrowserDatabase::QuietChanges quiet;
  const Int32 n = kCatalogPrefix.GetLength();
  Ref<CatalogNode> root = CatalogNode::Make(category, db->GetDisplayName(), name.SubStr(n, name.GetLength() - n),
                                            nullptr, db, CATALOGMAKE_FOLDER | CATALOGMAKE_ROOT);
  if (root)
    AddLibraryNodes(db->GetSlot(), name, root, CatalogNode::ItemFactory, nullptr);
  --t_showing;
  return root;
}

void ShowOpenCatalogs()
{
  const Int32 capacity = BrowserDatabase::GetTableCapacity();
  for (Int32 slot = 1; slot < capacity; ++slot) {
    BrowserDatabase* db = BrowserDatabase::GetLibrary(slot);
    if (db && db->GetName().StartsWith(kCatalogPrefix))
      ShowCatalog(db);
  }
}

Bool OpenCatalogFile(const Filename& file, BrowserURL* url)
{
  if (!file.CheckSuffix(String("catqz")))
    return false;
  BrowserDatabase* db = BrowserDatabase::FindLibraryForFile(file);
  if (!db) {
    db = BrowserDatabase::Create(file, String(), 0);
    if (!db)
      return false;
    if (db->GetSlot() < 0 || !db->Load()) {
      BrowserDatabase::Destroy(db);
      return false;
    }
    Filename system;
    if (GetSystemBrowserFolder(&system) && file.IsInside(system))
      db->SetLocked();
  }
  if (!IsValidCatalogURL(db->GetName()) && !NameCatalog(db, file))
    return false;
  NodeRef root = ShowCatalog(db);
  if (url)
    url->SetString(db->GetName());
  return bool(root);
}
