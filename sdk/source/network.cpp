// Wrappers of the host's network places.
#include "orx/network.h"

#include "orx/hosttable.h"

namespace {
const OrxNetworkTable* N()
{
  const OrxHostTable* t = OrxGetHostTable();
  if (!t || !ORX_HAS_ENTRY(t, network) || !t->network)
    return nullptr;
  return t->network;
}
} // namespace

UInt64 GeNetworkPlacesStamp()
{
  const OrxNetworkTable* n = N();
  return n ? n->placesStamp() : 0;
}

Bool GeIsNetworkPath(const Filename& path)
{
  const OrxNetworkTable* n = N();
  return n && ORX_HAS_ENTRY(n, onNetwork) && n->onNetwork(&path);
}

BrowseNetworkPlaces::~BrowseNetworkPlaces()
{
  if (handle_)
    N()->placesFree(handle_);
}

Bool BrowseNetworkPlaces::Init()
{
  const OrxNetworkTable* n = N();
  if (!n)
    return false;
  if (handle_)
    n->placesFree(handle_);
  handle_ = n->placesInit();
  return handle_ != nullptr;
}

Bool BrowseNetworkPlaces::GetNext() { return handle_ && N()->placesNext(handle_, &entry_); }

NetworkJob::~NetworkJob()
{
  if (handle_)
    N()->jobFree(handle_);
}

Bool NetworkJob::Start(const Filename& folder, Bool list)
{
  const OrxNetworkTable* n = N();
  if (!n || handle_)
    return false;
  handle_ = n->jobStart(&folder, list);
  return handle_ != nullptr;
}

Bool NetworkJob::Wait(Int32 ms) { return handle_ && N()->jobWait(handle_, ms); }
Bool NetworkJob::Status(FileStatus* out) { return handle_ && N()->jobStatus(handle_, out); }
Int32 NetworkJob::Count() { return handle_ ? N()->jobCount(handle_) : 0; }
Bool NetworkJob::Entry(Int32 index, FolderEntry* out) { return handle_ && N()->jobEntry(handle_, index, out); }
Int32 NetworkJob::Error() { return handle_ ? N()->jobError(handle_) : -1; }
