// Network places through the host: the servers and shares a person can reach, and reads of them on
// a host worker, so that a slow or dead server stalls no caller for longer than it chooses to wait.
// Threads: any.
#pragma once

#include "orx/files.h"

struct NetworkPlace
{
  String serverKey; // tells servers apart (the address as the system names it, in one letter case)
  String server;    // as shown
  String shareKey;  // tells shares apart (where the share's files are)
  String share;     // as the system names it; may hold "/"
  Filename path;    // where the share's files are
  String kind;      // the file system ("nfs4", "cifs", "fuse.sshfs", "gvfs", "fixture")
};

// Changes whenever the list of places may have changed; 0 from a host without network places.
UInt64 GeNetworkPlacesStamp();

// True when path lies in a network place (by the mount table; nothing on the network is asked).
Bool GeIsNetworkPath(const Filename& path);

class BrowseNetworkPlaces
{
public:
  BrowseNetworkPlaces() = default;
  ~BrowseNetworkPlaces();
  BrowseNetworkPlaces(const BrowseNetworkPlaces&) = delete;
  BrowseNetworkPlaces& operator=(const BrowseNetworkPlaces&) = delete;
  // False from a host without network places.
  Bool Init();
  Bool GetNext();
  const NetworkPlace& Entry() const { return entry_; }

private:
  void* handle_ = nullptr;
  NetworkPlace entry_;
};

// The status of a folder, and with list its entries, read on a host worker. The job is started
// once and waited for as often and as long as the caller likes; dropping it never waits.
class NetworkJob
{
public:
  NetworkJob() = default;
  ~NetworkJob();
  NetworkJob(const NetworkJob&) = delete;
  NetworkJob& operator=(const NetworkJob&) = delete;
  Bool Start(const Filename& folder, Bool list);
  Bool Started() const { return handle_ != nullptr; }
  // True once the job has ended; waits at most ms for it.
  Bool Wait(Int32 ms);
  // Of an ended job: false when the folder could not be reached.
  Bool Status(FileStatus* out);
  Int32 Count();
  Bool Entry(Int32 index, FolderEntry* out);
  Int32 Error();

private:
  void* handle_ = nullptr;
};
