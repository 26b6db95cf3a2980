#include "nodes/baselistnode.h"

#include "orx/services.h"

BrowserBaseListNode::BrowserBaseListNode(BaseList2D* object) : object_(object)
{
  if (object_)
    name_ = GeGetObjectName(object_);
}

Bool BrowserBaseListNode::GetURL(BrowserURL* out, UInt32)
{
  if (!out)
    return false;
  String text("baselist://");
  text += name_;
  out->SetString(text);
  return true;
}
