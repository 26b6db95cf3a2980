#include "tree/nodehandler.h"

#include "tree/rtreenode.h"

Bool NodeTypeNameFromHandler(BrowserContentNode*, String*, Int32)
{
  // No handler registry yet.
  return false;
}
