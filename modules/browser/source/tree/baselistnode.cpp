#include "tree/baselistnode.h"

#include "orx/services.h"

namespace {
const String& Scheme()
{
  static const String scheme("baselist://");
  return scheme;
}
} // namespace

BrowserBaseListNode::BrowserBaseListNode(BaseList2D* object) : object_(object)
{
  if (object_)
    name_ = GeGetObjectName(object_);
}

Bool BrowserBaseListNode::GetURL(BrowserURL* out, UInt32)
{
  if (!out)
    return false;
  out->SetString(Scheme() + name_);
  return true;
}
