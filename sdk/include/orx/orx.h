// The whole host API for plug-ins.
#pragma once

#include "orx/basefile.h"
#include "orx/bitmap.h"
#include "orx/container.h"
#include "orx/filename.h"
#include "orx/files.h"
#include "orx/hosttable.h"
#include "orx/hyperfile.h"
#include "orx/memory.h"
#include "orx/services.h"
#include "orx/string.h"
#include "orx/threads.h"
#include "orx/types.h"
