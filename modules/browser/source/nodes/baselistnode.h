// BrowserBaseListNode: a host object shown in the tree under "baselist://" + its name.
#pragma once

#include "contenttree/rtreenode.h"

class BaseList2D;

class BrowserBaseListNode : public BrowserContentNode
{
public:
  // The object is not owned; its name is read once, here.
  explicit BrowserBaseListNode(BaseList2D* object);

  BaseList2D* GetObject() const { return object_; }

  Int32 GetNodeType() override { return NODETYPE_BASELIST; }
  BrowserPluginInterface* GetPluginInterface(UInt32) override { return nullptr; }
  String GetName() override { return name_; }
  const String* GetNameRef() override { return &name_; }
  Bool GetURL(BrowserURL* out, UInt32 flags) override;
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }
  Int32 Message(Int32, Int32 kind, Int32, void* data) override
  {
    if (kind != MESSAGE_KIND_HOST_OBJECT || !data)
      return MESSAGE_NOT_HANDLED;
    *static_cast<BaseList2D**>(data) = object_;
    return 0;
  }

protected:
  ~BrowserBaseListNode() override = default;

private:
  BaseList2D* object_;
  String name_;
};
