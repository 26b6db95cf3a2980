#include "nodes/categorynode.h"

#include <mutex>

#include "orx/bitmap.h"
#include "orx/files.h"
#include "orx/services.h"

namespace {

std::mutex g_servicesLock;
CategoryServices g_services;
std::atomic<bool> g_volumesBuilt{false};
CategoryLibraryLoaders g_loaders;

Int32 KindOf(const String& url)
{
  if (url == String("file:/"))
    return CATEGORY_FILE;
  if (url == String("preset:/"))
    return CATEGORY_PRESET;
  if (url == String("catalog:/"))
    return CATEGORY_CATALOG;
  if (url == String("network:/"))
    return CATEGORY_NETWORK;
  return CATEGORY_OTHER;
}

CategoryLibraryLoaders GetLoaders()
{
  std::lock_guard l(g_servicesLock);
  return g_loaders;
}

} // namespace

void SetCategoryLibraryLoaders(const CategoryLibraryLoaders& loaders)
{
  std::lock_guard l(g_servicesLock);
  g_loaders = loaders;
}

void SetCategoryServices(const CategoryServices& services)
{
  std::lock_guard l(g_servicesLock);
  g_services = services;
}

CategoryServices GetCategoryServices()
{
  std::lock_guard l(g_servicesLock);
  return g_services;
}

void ResetCategoryOnceFlagsForTests()
{
  g_volumesBuilt = false;
}

CategoryNode::CategoryNode(const String& name, const String& urlText, Int32 iconId)
    : BrowserContentNode(NODESTATUS_CATEGORY), time_(GeGetCurrentTime()), name_(name), urlText_(urlText),
      iconId_(iconId), kind_(KindOf(urlText))
{
}

CategoryNode::~CategoryNode()
{
  if (icon_)
    OrxDeleteObj(icon_);
}

Ref<CategoryNode> CategoryNode::Make(RTreeNode* parent, const String& name, const String& urlText, Int32 iconId)
{
  if (!parent)
    return nullptr;
  Ref<CategoryNode> n(new (std::nothrow) CategoryNode(name, urlText, iconId));
  if (!n || !n->InsertUnder(parent))
    return nullptr;
  return n;
}

Ref<CategoryNode> CategoryNode::MakeWithIconFile(RTreeNode* parent, const String& name, const String& urlText,
                                                 const Filename& iconFile)
{
  // Images load through the host's image service, which this host does not offer yet: the file
  // counts as not loadable and the standard icon is shown.
  (void)iconFile;
  return Make(parent, name, urlText, CATEGORY_DEFAULT_ICON);
}

Bool CategoryNode::IsFavorites() const { return urlText_ == String("favorite:/"); }

void CategoryNode::Touch()
{
  DateTime now = GeGetCurrentTime();
  std::lock_guard l(timeLock_);
  time_ = now;
}

BrowserPluginInterface* CategoryNode::GetPluginInterface(UInt32) { return GetCategoryPlugin(); }

Int32 CategoryNode::MatchUpperURLPrefix(const String& upper)
{
  // Every URL lookup passes the top-level categories: compare their fixed text without copies.
  if (!GetUp())
    return MatchUpperPrefix(urlText_, upper);
  return BrowserContentNode::MatchUpperURLPrefix(upper);
}

Bool CategoryNode::GetURL(BrowserURL* out, UInt32)
{
  if (!out)
    return false;
  NodeRef parent = GetUpNode();
  BrowserURL parentURL;
  if (parent && parent->GetURL(&parentURL, 0))
    out->SetString(parentURL.GetString() + String("/") + urlText_);
  else
    out->SetString(urlText_);
  return true;
}

Bool CategoryNode::GetFileTime(Int32, DateTime* out)
{
  if (!out)
    return false;
  std::lock_guard l(timeLock_);
  *out = time_;
  return true;
}

UInt32 CategoryNode::GetInfo(Int64* size)
{
  if (size)
    *size = 0;
  return NODESTATUS_CATEGORY;
}

Int32 CategoryNode::GetIconId(UInt32 flags) const
{
  if (icon_)
    return CATEGORY_OWN_ICON;
  if (iconId_ == CATEGORY_DEFAULT_ICON && (flags & ICONREQUEST_OPEN))
    return CATEGORY_DEFAULT_ICON_OPEN;
  return iconId_;
}

BaseBitmap* CategoryNode::GetIcon(UInt32, Int32)
{
  // Icons by id come from the icon service; only an own bitmap is at hand here.
  return icon_ ? icon_->GetClone() : nullptr;
}

Bool CategoryNode::LoadChildren()
{
  CategoryServices s = GetCategoryServices();
  switch (kind_) {
    case CATEGORY_FILE:
      if (s.buildVolumes && !g_volumesBuilt.exchange(true))
        s.buildVolumes(this);
      break;
    case CATEGORY_PRESET: {
      const CategoryLibraryLoaders loaders = GetLoaders();
      if (loaders.loadLibraries)
        loaders.loadLibraries();
      break;
    }
    case CATEGORY_CATALOG:
      if (s.loadCatalogs)
        s.loadCatalogs();
      else if (const CategoryLibraryLoaders loaders = GetLoaders(); loaders.loadCatalogs)
        loaders.loadCatalogs();
      break;
    case CATEGORY_NETWORK:
      // Every time: the builder polls the network places and does nothing while they stay the same.
      if (s.buildNetwork)
        s.buildNetwork(this);
      break;
    default: break;
  }
  return true;
}

Int32 CategoryNode::NewFolder(Int32 phase, const String& name, NodeRef* out)
{
  if (out)
    *out = nullptr;
  if (!IsFavorites() || !(GetInfo(nullptr) & NODESTATUS_FOLDER))
    return EDIT_NEWFOLDER_REFUSED;
  const Int32 p = EditPhase(phase);
  if (p == EDITPHASE_ASK || p == EDITPHASE_PREPARE)
    return EDIT_OK;
  if (p != EDITPHASE_DO)
    return EDIT_NEWFOLDER_REFUSED;
  // Catalog folders are the catalogs' to make; without them nothing can be made.
  CategoryServices s = GetCategoryServices();
  NodeRef folder = s.makeCatalogFolder ? s.makeCatalogFolder(this, name) : nullptr;
  if (!folder)
    return EDIT_NEWFOLDER_REFUSED;
  Touch();
  if (out)
    *out = folder;
  return EDIT_OK;
}

Int32 CategoryNode::CopyHere(NodeRef node, Int32 phase, const String* newName, EditCallback callback, void* data)
{
  if (!IsFavorites() || !node)
    return EDIT_COPY_REFUSED;
  const Int32 kind = node->GetNodeType();
  if (kind != NODETYPE_DIRECTORY && kind != NODETYPE_NETWORK && kind != NODETYPE_PRESET && kind != NODETYPE_CATALOG)
    return EDIT_COPY_REFUSED;
  const Int32 p = EditPhase(phase);
  if (p == EDITPHASE_ASK || p == EDITPHASE_PREPARE)
    return EDIT_OK;
  if (p != EDITPHASE_DO)
    return EDIT_COPY_REFUSED;
  CategoryServices s = GetCategoryServices();
  NodeRef link = s.makeLink ? s.makeLink(this, node, newName) : nullptr;
  if (!link)
    return EDIT_COPY_FAILED;
  Touch();
  if (callback && callback(data, EDITPHASE_DO, 1, EDIT_LINK_ITEM_SIZE, 0) < 0)
    return EDIT_CANCELLED;
  return EDIT_OK;
}

Int32 BrowserCategoryPlugin::GetPluginID(String* name)
{
  if (name)
    *name = GeLoadString(IDS_CATEGORY_HANDLER);
  return HANDLER_ID_CATEGORY;
}

String* BrowserCategoryPlugin::GetTypeName(String* out, NodeRef, BrowserURL*, Int32)
{
  if (out)
    *out = GeLoadString(IDS_CATEGORY_TYPE);
  return out;
}

BaseBitmap* BrowserCategoryPlugin::GetIcon(NodeRef node, BrowserURL* url, Int32 size)
{
  BrowserPluginInterface* folder = FindPluginByID(HANDLER_ID_FOLDER);
  return folder ? folder->GetIcon(std::move(node), url, size) : nullptr;
}

PreviewDialog* BrowserCategoryPlugin::CreatePreviewDialog(NodeRef node, Int32 page)
{
  return MakePreviewDialog(std::move(node), PREVIEWDIALOG_GENERIC, 3, 0, page);
}

String* BrowserCategoryPlugin::GetTypeNames(Int32, Int32* count)
{
  return MakeTypeNames(GeLoadString(IDS_CATEGORY_TYPE), count);
}

BrowserCategoryPlugin* GetCategoryPlugin()
{
  static BrowserCategoryPlugin plugin;
  return &plugin;
}

namespace {
std::atomic<CategoryMessageHook> g_messageHook{nullptr};
} // namespace

void SetCategoryMessageHook(CategoryMessageHook hook) { g_messageHook.store(hook, std::memory_order_release); }

Int32 CategoryNode::Message(Int32 id, Int32 kind, Int32 op, void* data)
{
  if (CategoryMessageHook hook = g_messageHook.load(std::memory_order_acquire))
    return hook(this, id, kind, op, data);
  return MESSAGE_NOT_HANDLED;
}
