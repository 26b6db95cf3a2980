#include "contenttree/nodehandler.h"

#include "contenttree/browserinterface.h"
#include "contenttree/rtreenode.h"

Bool NodeTypeNameFromHandler(BrowserContentNode* node, String* out, Int32 mode)
{
  if (!node || !out)
    return false;
  BrowserPluginInterface* handler = node->GetPluginInterface(PLUGINREQUEST_TYPENAME);
  if (!handler) {
    BrowserURL url;
    if (!node->GetURL(&url, 0) || !FindPluginForURL(url, false, &handler) || !handler)
      return false;
  }
  handler->GetTypeName(out, NodeRef(node), nullptr, mode);
  return true;
}
