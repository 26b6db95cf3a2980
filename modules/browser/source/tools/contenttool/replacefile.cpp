#include "tools/contenttool/replacefile.h"

#include <atomic>

#include "orx/basefile.h"
#include "orx/files.h"

namespace {
std::atomic<UInt32> g_tempCounter{0};

// A name nothing has yet, hidden, beside path.
Bool TempBeside(const Filename& path, Filename* out)
{
  const Filename folder = path.GetDirectory();
  for (Int32 tries = 0; tries < 100; ++tries) {
    const String name = String(".") + path.GetFileString() + String(".tmp-") +
                        String::FromInt(Int64(g_tempCounter.fetch_add(1, std::memory_order_relaxed)));
    const Filename t = folder.IsEmpty() ? Filename(name) : folder + name;
    FileStatus st;
    if (!GeGetFileStatus(t, &st)) {
      *out = t;
      return true;
    }
  }
  return false;
}
} // namespace

Bool IsReplaceable(const Filename& path)
{
  FileStatus st;
  if (!GeGetFileStatus(path, &st))
    return true;
  return (st.attributes & FILEATTR_LINK) || !(st.attributes & (FILEATTR_FOLDER | FILEATTR_SPECIAL));
}

Bool ReplaceFileWith(const Filename& path, const std::function<Bool(const Filename& temp)>& write)
{
  if (!IsReplaceable(path))
    return false;
  Filename temp;
  if (!TempBeside(path, &temp))
    return false;
  Bool ok = false;
  try {
    ok = write(temp);
  } catch (...) {
    ok = false;
  }
  // A rename replaces a link itself, never what it points to.
  if (ok && GeRename(temp, path))
    return true;
  GeDelete(temp);
  return false;
}

Bool ReplaceFileBytes(const Filename& path, const void* data, Int64 size)
{
  return ReplaceFileWith(path, [&](const Filename& temp) {
    BaseFile f;
    if (!f.Open(temp, FileMode::Write))
      return false;
    const Bool wrote = size == 0 || f.WriteBytes(data, size);
    return f.Close() && wrote;
  });
}
