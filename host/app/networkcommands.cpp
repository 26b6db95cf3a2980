#include "networkcommands.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "orx/network.h"
#include "services/host.h"

void StartNetworkFaults()
{
  const char* home = std::getenv("ORXHOST_HOME");
  const char* hold = std::getenv("ORXHOST_HOLD_LISTING");
  if (home && *home && hold && *hold)
    orxhost::HoldListings(hold);
}

void EndNetworkFaults()
{
  orxhost::ReleaseListings();
  // A real server may block for good: its read is left behind after a while.
  if (!orxhost::WaitNetworkJobs(5000))
    std::fprintf(stderr, "orxhost: a network read still blocks at the end\n");
}

int ReportUnansweredShares(const std::string& command)
{
  const std::vector<std::string> folders = orxhost::UnansweredNetworkFolders();
  if (folders.empty())
    return 0;
  std::set<std::string> said;
  for (const std::string& folder : folders) {
    if (!said.insert(folder).second)
      continue;
    std::string name = folder;
    BrowseNetworkPlaces places;
    if (places.Init())
      while (places.GetNext())
        if (places.Entry().path.ToUtf8() == folder) {
          name = places.Entry().server.ToUtf8() + "/" + places.Entry().share.ToUtf8() + " (" + folder + ")";
          break;
        }
    std::fprintf(stderr, "orxhost %s: network share %s did not answer in time; what is shown of it may be old\n",
                 command.c_str(), name.c_str());
  }
  return int(said.size());
}
