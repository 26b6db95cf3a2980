// The volume list and the network places are read from the mount table, text the system writes
// from what any user may mount (names with blanks, escapes, odd types). Any text must give a
// volume list that starts with "/", names each mount point once and only uses the flags the list
// knows; and places that each have a server, a share and a folder, every folder once.
// Input: the text of a mount table; its lines are also taken as names of GVfs mounts.
#include <cstdlib>
#include <set>
#include <string>

#include "orx/files.h"
#include "orx/network.h"
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

  std::vector<std::string> gvfs;
  for (std::size_t pos = 0; pos < table.size();) {
    std::size_t end = table.find('\n', pos);
    if (end == std::string::npos)
      end = table.size();
    gvfs.push_back(table.substr(pos, end - pos));
    pos = end + 1;
  }
  const auto places = orxhost::detail::PlacesFromMounts(orxhost::detail::ParseMountTable(table), "/run/gvfs", gvfs);
  std::set<std::string> folders;
  for (const NetworkPlace& p : places) {
    Check(p.server.Content() && p.share.Content() && p.kind.Content());
    std::string bytes;
    Check(p.path.ToSystemBytes(&bytes));
    Check(!bytes.empty() && bytes[0] == '/' && bytes.find('\0') == std::string::npos);
    Check(folders.insert(bytes).second);
  }
  return 0;
}
