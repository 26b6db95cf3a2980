// The volume list is read from the mount table, text the system writes from what any user may
// mount (names with blanks, escapes, odd types). Any text must give a list that starts with "/",
// names each mount point once and only uses the flags the list knows.
// Input: the text of a mount table.
#include <cstdlib>
#include <set>
#include <string>

#include "orx/files.h"
#include "services/host.h"
#include "services/internal.h"

namespace {
void Check(bool ok)
{
  if (!ok)
    std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = (orxhost::InstallForThisProcess(), true);
  (void)installed;
  const std::string table(reinterpret_cast<const char*>(data), size);
  const auto list = orxhost::detail::VolumesFromMountTable(table, "/home/fuzz", {{"/dev/sda1", "LABEL"}});
  if (list.empty() || list[0].path.GetString() != String("/"))
    std::abort();
  std::set<std::string> seen;
  for (const VolumeEntry& v : list) {
    Check(v.path.Content());
    std::string bytes;
    Check(v.path.ToSystemBytes(&bytes));
    Check(seen.insert(bytes).second);
    Check(v.flags == 0 || v.flags == VOLUMEFLAG_HIDDEN);
  }
  return 0;
}
