// Files of a tree written whole or not at all: each goes to a new temporary name in its folder and
// is renamed into place, so that an older file of that name (or a link there) is replaced, never
// truncated or written through.
#pragma once

#include <functional>

#include "orx/filename.h"

// write fills the temporary file; on any failure the temporary file is removed and the name keeps
// what it had. A folder at path is not replaced.
Bool ReplaceFileWith(const Filename& path, const std::function<Bool(const Filename& temp)>& write);
Bool ReplaceFileBytes(const Filename& path, const void* data, Int64 size);
// True when path names nothing, or a file or link that ReplaceFileWith may replace.
Bool IsReplaceable(const Filename& path);
