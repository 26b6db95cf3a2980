// Entry point of the plug-in (the lifecycle is filled in by the start-up code).
#include "orx/orx.h"

ORX_EXPORT Int32 orx_main(Int32 action, void* p1, void* p2, void* p3)
{
  switch (action) {
    case 1: {
      auto* t = static_cast<const OrxHostTable*>(p1);
      if (!t || t->version < ORX_HOST_VERSION || !p3)
        return -3;
      OrxInstallHostTable(t);
      return 1;
    }
    case 4: return 5;
    default: return -1;
  }
}
