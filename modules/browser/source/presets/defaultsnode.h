// DefaultsNode: one stored default setting, or a folder of them, under the default-object node.
// Where the settings are kept is the content layer's business; it installs how an entry is
// deleted and how its preview is made.
#pragma once

#include <mutex>

#include "contenttree/rtreenode.h"
#include "orx/bitmap.h"

struct DefaultsStore
{
  // Deletes the stored setting the URL names; false when it is still stored.
  Bool (*deleteEntry)(const String& url);
  // The entry's preview (the caller's), or null.
  BaseBitmap* (*preview)(const String& url);
};
void SetDefaultsStore(const DefaultsStore& store);

class DefaultsNode : public BrowserContentNode
{
public:
  static Ref<DefaultsNode> MakeFolder(const NodeRef& parent, const String& key, const String& name);
  static Ref<DefaultsNode> MakeEntry(const NodeRef& parent, const String& key, const String& name, Int64 size);

  /* 4 */ Int32 GetNodeType() override { return NODETYPE_PRESET; }
  /* 5 */ BrowserPluginInterface* GetPluginInterface(UInt32 flags) override;
  /* 6 */ String GetName() override { return name_; }
  /* 7 */ const String* GetNameRef() override { return &name_; }
  /* 9 */ Bool GetURL(BrowserURL* out, UInt32 flags) override;
  /* 10 */ Bool GetFileTime(Int32 which, DateTime* out) override;
  /* 11 */ UInt32 GetInfo(Int64* size) override;
  /* 12 */ BaseBitmap* GetIcon(UInt32 flags, Int32 size) override;
  /* 19 */ Int32 Delete(Int32 phase, EditCallback callback, void* data) override;

  const String& GetKey() const { return key_; }

protected:
  DefaultsNode(const String& key, const String& name, Int64 size, Bool folder);
  ~DefaultsNode() override;

private:
  static Ref<DefaultsNode> Make(const NodeRef& parent, const String& key, const String& name, Int64 size, Bool folder);

  String key_, name_;
  DateTime time_;
  Int64 size_;
  Bool folder_;
  std::mutex previewLock_;
  BaseBitmap* preview_ = nullptr; // made on first use and kept
};
