#include "presets/defaultsnode.h"

#include <atomic>
#include <new>

#include "contenttree/browserinterface.h"
#include "contenttree/contentevents.h"
#include "contenttree/nodeconstants.h"
#include "orx/media.h"
#include "orx/memory.h"
#include "orx/services.h"

namespace {
// Added to the status that GetInfo reports: the node stands for a default setting.
constexpr UInt32 kDefaultsInfoFlag = 0x80;
std::atomic<Bool (*)(const String&)> g_deleteEntry{nullptr};
std::atomic<BaseBitmap* (*)(const String&)> g_preview{nullptr};
} // namespace

void SetDefaultsStore(const DefaultsStore& store)
{
  g_deleteEntry.store(store.deleteEntry, std::memory_order_release);
  g_preview.store(store.preview, std::memory_order_release);
}

DefaultsNode::DefaultsNode(const String& key, const String& name, Int64 size, Bool folder)
    : key_(key), name_(name), time_(GeGetCurrentTime()), size_(folder ? 0 : size), folder_(folder)
{
  if (folder)
    SetStatus(NODESTATUS_FOLDER);
}

DefaultsNode::~DefaultsNode()
{
  if (preview_)
    OrxDeleteObj(preview_);
}

Ref<DefaultsNode> DefaultsNode::Make(const NodeRef& parent, const String& key, const String& name, Int64 size,
                                     Bool folder)
{
  Ref<DefaultsNode> n(new (std::nothrow) DefaultsNode(key, name, size, folder));
  if (!n || (parent && !n->InsertUnder(parent.Get())))
    return nullptr;
  return n;
}

Ref<DefaultsNode> DefaultsNode::MakeFolder(const NodeRef& parent, const String& key, const String& name)
{
  return Make(parent, key, name, 0, true);
}

Ref<DefaultsNode> DefaultsNode::MakeEntry(const NodeRef& parent, const String& key, const String& name, Int64 size)
{
  return Make(parent, key, name, size, false);
}

BrowserPluginInterface* DefaultsNode::GetPluginInterface(UInt32)
{
  return FindPluginByID(folder_ ? HANDLER_ID_FOLDER : HANDLER_ID_DEFAULTS);
}

Bool DefaultsNode::GetURL(BrowserURL* out, UInt32 flags)
{
  if (!out)
    return false;
  BrowserURL base;
  NodeRef parent = GetUpNode();
  if (!parent || !parent->GetURL(&base, flags))
    base = BrowserURL();
  base.AppendName(key_);
  *out = base;
  return true;
}

Bool DefaultsNode::GetFileTime(Int32, DateTime* out)
{
  if (!out)
    return false;
  *out = time_;
  return true;
}

UInt32 DefaultsNode::GetInfo(Int64* size)
{
  if (size)
    *size = size_;
  return GetStatus() | kDefaultsInfoFlag;
}

BaseBitmap* DefaultsNode::GetIcon(UInt32, Int32 size)
{
  // Folders and entries without a preview take the icon service's icons.
  if (folder_ || size <= 0)
    return nullptr;
  std::lock_guard l(previewLock_);
  if (!preview_) {
    auto* make = g_preview.load(std::memory_order_acquire);
    BrowserURL url;
    if (!make || !GetURL(&url, 0))
      return nullptr;
    preview_ = make(url.GetString());
    if (!preview_)
      return nullptr;
  }
  return GeScaleBitmap(*preview_, size, size);
}

Int32 DefaultsNode::Delete(Int32 phase, EditCallback callback, void* data)
{
  auto* deleteEntry = g_deleteEntry.load(std::memory_order_acquire);
  if (folder_ || !deleteEntry)
    return EDIT_DELETE_REFUSED;
  const Int32 p = EditPhase(phase);
  if (p == EDITPHASE_ASK)
    return EDIT_OK;
  if (p == EDITPHASE_PREPARE)
    return callback && callback(data, phase, 1, size_, 0) < 0 ? EDIT_CANCELLED : EDIT_OK;
  if (p != EDITPHASE_DO)
    return EDIT_DELETE_REFUSED;
  BrowserURL url;
  GetURL(&url, 0);
  // The stored setting goes first: a node removed over a setting that stays would bring the
  // setting back at the next start, with no node to tell of it meanwhile.
  if (IsDeleted() || !deleteEntry(url.GetString()))
    return EDIT_DELETE_REFUSED;
  SetStatus(NODESTATUS_DELETED);
  NodeRef parent = GetUpNode();
  Remove();
  if (parent)
    NotifyNodeChanged(parent);
  return callback && callback(data, EDITPHASE_DO, 1, size_, 0) < 0 ? EDIT_CANCELLED : EDIT_OK;
}
