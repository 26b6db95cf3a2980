// NetworkNode: the servers and shares under network:/ and the folders and files inside the shares.
// A server is a folder without a path; a share and everything below it has one. Nodes behave as
// read-only directory entries: every edit is refused.
//
// Linux rules chosen here: the places are what the host reports (network file systems in the mount
// table and the user's GVfs mounts), a server's shares come with it, and a share is read with the
// host's folder enumeration. File names inside a share are compared exactly, hidden means a name
// that starts with ".", and server and share names are made unique without regard to case, since
// URLs find them that way.
//
// Every read of a share (its status and its entries) runs on a host worker; the caller waits for
// it at most the time limit and holds no lock meanwhile. A read that does not end in time leaves
// the children as they were, the node marked to be read again next time.
#pragma once

#include <atomic>
#include <vector>

#include "contenttree/browserinterface.h"
#include "contenttree/rtreenode.h"
#include "orx/files.h"
#include "orx/network.h"
#include "orx/threads.h"

class CategoryNode;

// Status of a new server below the network root: listed when first opened.
constexpr UInt32 NETSTATUS_NEW_SERVER = NODESTATUS_RELIST | NODESTATUS_VOLUME | NODESTATUS_FOLDER;
constexpr UInt32 NETSTATUS_NEW_FOLDER = NODESTATUS_RELIST | NODESTATUS_FOLDER;

// How long a caller waits for a share to answer, in milliseconds, unless set otherwise.
constexpr Int32 NETWORK_TIME_LIMIT_MS = 3000;

class NetworkNode : public BrowserContentNode
{
public:
  enum class Role : UChar { Server, Share, Entry };

  // The hook of the network category: when the host's places changed since the last fill (or the
  // root has no servers yet), servers and shares are brought in line with them.
  static void BuildNetwork(CategoryNode* root);
  // Brings the servers below root, and their shares, in line with places by mark and sweep: nodes
  // of places still there stay (same objects, same names), new ones are added, gone ones removed.
  static void SyncPlaces(BrowserContentNode* root, const std::vector<NetworkPlace>& places);
  static void SetTimeLimit(Int32 ms);
  static Int32 GetTimeLimit();

  Role GetRole() const { return role_; }
  // Empty for a server.
  Filename GetPath() const;
  // False while the last read of this share or folder did not end within the time limit.
  Bool Answered() const { return answered_.load(std::memory_order_acquire); }
  Int32 GetIconId(UInt32 flags);

  /* 4 */ Int32 GetNodeType() override { return NODETYPE_NETWORK; }
  /* 5 */ BrowserPluginInterface* GetPluginInterface(UInt32 flags) override;
  /* 6 */ String GetName() override { return name_; }
  /* 7 */ const String* GetNameRef() override { return &name_; }
  /* 8 */ String* GetTypeName(String* out, Int32 mode) override;
  /* 9 */ Bool GetURL(BrowserURL* out, UInt32 flags) override;
  /* 10 */ Bool GetFileTime(Int32 which, DateTime* out) override;
  /* 11 */ UInt32 GetInfo(Int64* size) override;
  /* 12 */ BaseBitmap* GetIcon(UInt32 flags, Int32 size) override;
  /* 13 */ Bool LoadChildren() override;
  Int32 MatchUpperURLPrefix(const String& upper) override;
  Int32 MatchURLPrefix(const String& upper, const String& text) override;
  // A network node's URL never changes.
  Bool NotifiesURLChanges() const override { return true; }

protected:
  NetworkNode(Role role, UInt32 status, const String& urlText, const String& name, const String& key,
              const Filename& path, Int32 exactFrom);
  ~NetworkNode() override = default;

private:
  struct Stamp
  {
    Int64 modifiedNs = 0;
    Int64 changedNs = 0;
    bool operator==(const Stamp&) const = default;
  };
  static void Poll(BrowserContentNode* root);
  static Ref<NetworkNode> MakeServer(const String& urlParent, const String& name, const String& key);
  static Ref<NetworkNode> MakeShare(const NetworkNode& server, const String& name, const NetworkPlace& place);
  Ref<NetworkNode> MakeEntry(const FolderEntry& e) const;
  // New shares are added to made.
  static void SyncShares(NetworkNode* server, const std::vector<const NetworkPlace*>& places,
                         std::vector<Ref<NetworkNode>>& made);
  // Reads the status of each share on host workers, all within one time limit.
  static void ProbeShares(const std::vector<Ref<NetworkNode>>& shares);
  void ApplyStatus(const FileStatus& st);
  void Refresh(const FolderEntry& e);
  void Merge(const std::vector<FolderEntry>& entries, Bool sweep);
  void NotAnswered();
  Bool ListServer();
  Bool ListFolder();

  const String urlText_;
  const String name_;
  const String key_; // tells siblings apart: the place's key, or the entry's name and kind
  const Filename path_;
  const Int32 exactFrom_; // URL units from here on are file names: compared exactly
  const Role role_;
  mutable SpinLock fieldLock_; // size, times, stamp
  CachedPluginLookup handler_;
  Int64 size_ = 0; // folders: goes up each time they are listed or found changed; files: the size
  Stamp stamp_;    // folders: the one the children were listed against
  DateTime created_;
  DateTime modified_;
  std::atomic<Bool> answered_{true};
  std::atomic<Int32> noAnswerAt_{0}; // host timer when a read last gave no answer in time
};
