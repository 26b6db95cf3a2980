// Network places on fixtures (ORXHOST_HOME/network/<server>/<share>): the root fill and its flags,
// share listings by mark and sweep, refused edits, names, shares that do not answer, and files in
// shares that find their handlers.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>

#include "contenttest.h"
#include "handlertest.h"
#include "nodes/directorynode.h"
#include "nodes/networknode.h"
#include "watchdog.h"

using namespace contenttest;
namespace fs = std::filesystem;

namespace {

constexpr time_t kLongAgo = 1577836800; // 2020-01-01, far from any racy listing
constexpr Int32 kGenerous = 120000;     // ms: a share that answers always answers within this

std::string P(const Filename& f) { return f.ToUtf8(); }

void SetMTime(const std::string& path, time_t sec)
{
  struct timespec t[2] = {{0, UTIME_OMIT}, {sec, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
}

std::map<std::string, NodeRef> Children(const NodeRef& n)
{
  std::map<std::string, NodeRef> out;
  for (NodeRef c = n->GetDownNode(); c; c = c->GetNextNode())
    out[c->GetName().ToUtf8()] = c;
  return out;
}

NetworkNode* Net(const NodeRef& n) { return dynamic_cast<NetworkNode*>(n.Get()); }

std::atomic<int> g_entriesGiven{0};
void CountEntry(void*) { g_entriesGiven.fetch_add(1); }

class Network : public ContentTest
{
protected:
  void SetUp() override
  {
    base_ = P(orxtest::HomeDir()) + "/network";
    std::error_code ec;
    fs::remove_all(base_, ec);
    ContentTest::SetUp();
    NetworkNode::SetTimeLimit(kGenerous);
    orxhost::ClearUnansweredNetworkFolders();
  }
  void TearDown() override
  {
    orxhost::ReleaseListings();
    orxhost::SetListingHook(nullptr, nullptr);
    orxhost::ClearFaults();
    EXPECT_TRUE(orxhost::WaitNetworkJobs(kGenerous)) << "a network job did not end";
    NetworkNode::SetTimeLimit(NETWORK_TIME_LIMIT_MS);
    std::error_code ec;
    fs::remove_all(base_, ec);
    ContentTest::TearDown();
  }
  std::string Share(const std::string& server, const std::string& share)
  {
    const std::string p = base_ + "/" + server + "/" + share;
    fs::create_directories(p);
    return p;
  }
  void File(const std::string& path, const std::string& bytes)
  {
    ASSERT_TRUE(orxtest::WriteFile(Filename(String(path.c_str())), bytes));
  }
  NodeRef Root() { return GetRootNode(ROOT_NETWORK); }

  std::string base_;
};

// The root lists servers (0x40000 + 0x20001, no path); below them their shares (0x40001, a path
// that the share's network URL carries as its file form).
TEST_F(Network, RootFillMakesServersWithTheirShares)
{
  const std::string a = Share("alpha", "media");
  Share("alpha", "projects");
  Share("beta", "archive");
  SetMTime(a, kLongAgo);
  Start();
  auto servers = Children(Root());
  ASSERT_EQ(servers.size(), 2u);
  for (auto& [name, server] : servers) {
    EXPECT_EQ(server->GetNodeType(), NODETYPE_NETWORK);
    EXPECT_EQ(server->GetInfo(nullptr), NODESTATUS_RELIST | NODESTATUS_KIND_20000 | NODESTATUS_FOLDER) << name;
    EXPECT_EQ(URLOf(server.Get()), "network://" + name);
    BrowserURL u;
    ASSERT_TRUE(server->GetURL(&u, 0));
    EXPECT_FALSE(u.IsFile()) << "a server has no path";
  }
  auto shares = Children(servers["alpha"]);
  ASSERT_EQ(shares.size(), 2u);
  NodeRef media = shares["media"];
  ASSERT_TRUE(media);
  EXPECT_EQ(media->GetInfo(nullptr) & (NODESTATUS_RELIST | NODESTATUS_FOLDER), NODESTATUS_RELIST | NODESTATUS_FOLDER);
  EXPECT_EQ(URLOf(media.Get()), "network://alpha/media");
  BrowserURL u(String("network://alpha/media"));
  EXPECT_EQ(P(u.GetFilename()), a) << "a share's network URL resolves to its folder";
  DateTime t;
  ASSERT_TRUE(media->GetFileTime(FILETIME_MODIFIED, &t));
  EXPECT_EQ(t.year, 2020) << "the share's own time, read when the root was filled";
  EXPECT_EQ(Children(servers["beta"]).size(), 1u);
  EXPECT_EQ(Find("network://beta/archive"), Children(servers["beta"])["archive"]);
}

// A share is listed with the host's folder enumeration; files and folders below it are network
// nodes with paths; server and share ignore letter case in URLs, names in the share do not.
TEST_F(Network, ShareListsItsFoldersAndFiles)
{
  const std::string s = Share("srv", "data");
  File(s + "/Readme.txt", "hello");
  File(s + "/.hidden", "x");
  fs::create_directories(s + "/sub");
  File(s + "/sub/deep.bin", "12345678");
  Start();
  NodeRef share = Find("network://srv/data");
  ASSERT_TRUE(share);
  auto entries = Children(share);
  ASSERT_EQ(entries.size(), 2u) << "dot names are hidden";
  NodeRef readme = entries["Readme.txt"];
  ASSERT_TRUE(readme);
  Int64 size = -1;
  EXPECT_EQ(readme->GetInfo(&size), 0u);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(URLOf(readme.Get()), "network://srv/data/Readme.txt");
  EXPECT_EQ(Net(readme)->GetIconId(0), ICON_FILE);
  NodeRef sub = entries["sub"];
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->GetInfo(&size) & (NODESTATUS_RELIST | NODESTATUS_FOLDER), NODESTATUS_RELIST | NODESTATUS_FOLDER);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(Net(sub)->GetIconId(ICONREQUEST_OPEN), ICON_DIR_OPEN);
  EXPECT_EQ(Find("network://srv/data/sub/deep.bin"), Children(sub)["deep.bin"]);
  EXPECT_EQ(Find("network://SRV/Data/Readme.txt"), readme) << "server and share ignore case";
  EXPECT_FALSE(Find("network://srv/data/README.TXT")) << "file names are exact";
  String type;
  readme->GetTypeName(&type, 0);
  EXPECT_EQ(type, GeLoadString(IDS_DIRECTORY_NO_TYPE));
}

// A share whose time did not change is not listed again; once it changes it is, and entries that
// stay keep their nodes.
TEST_F(Network, UnchangedShareIsNotListedAgain)
{
  const std::string s = Share("srv", "data");
  File(s + "/one", "1");
  SetMTime(s, kLongAgo);
  Start();
  NodeRef share = Find("network://srv/data");
  ASSERT_TRUE(share);
  NodeRef one = Children(share)["one"];
  ASSERT_TRUE(one);
  EXPECT_FALSE(share->GetInfo(nullptr) & NODESTATUS_RELIST);
  g_entriesGiven = 0;
  orxhost::SetListingHook(CountEntry, nullptr);
  EXPECT_EQ(Children(share).size(), 1u);
  EXPECT_EQ(g_entriesGiven.load(), 0) << "an unchanged share was read again";
  File(s + "/two", "22");
  SetMTime(s, kLongAgo + 60);
  auto now = Children(share);
  EXPECT_GT(g_entriesGiven.load(), 0);
  ASSERT_EQ(now.size(), 2u);
  EXPECT_EQ(now["one"], one) << "same node for an entry that stayed";
}

// A share that goes from the places is marked deleted and leaves the tree at the next fill of the
// root; an entry that goes from a share leaves at the next listing of the share.
TEST_F(Network, VanishedShareAndEntryAreRemoved)
{
  const std::string keep = Share("srv", "keep");
  const std::string gone = Share("srv", "gone");
  File(keep + "/a", "a");
  File(keep + "/b", "b");
  SetMTime(keep, kLongAgo);
  Start();
  NodeRef server = Find("network://srv");
  ASSERT_TRUE(server);
  NodeRef goneNode = Children(server)["gone"];
  NodeRef keepNode = Children(server)["keep"];
  ASSERT_TRUE(goneNode && keepNode);
  NodeRef b = Children(keepNode)["b"];
  ASSERT_TRUE(b);

  fs::remove_all(gone);
  Children(Root());
  EXPECT_TRUE(goneNode->IsDeleted());
  EXPECT_EQ(Children(server).count("gone"), 0u);
  EXPECT_EQ(Children(server)["keep"], keepNode);

  fs::remove(keep + "/b");
  SetMTime(keep, kLongAgo + 60);
  auto left = Children(keepNode);
  EXPECT_EQ(left.size(), 1u);
  EXPECT_TRUE(b->IsDeleted());
}

// Servers, shares, folders and files in shares refuse every edit in every phase, and nothing on
// disk changes; nodes handed to move and copy are released.
TEST_F(Network, EveryEditIsRefusedInEveryPhase)
{
  const std::string s = Share("srv", "data");
  File(s + "/file", "x");
  fs::create_directories(s + "/folder");
  const std::string local = P(orxtest::TempDir()) + "/local";
  File(local, "local");
  Start();
  NodeRef share = Find("network://srv/data");
  ASSERT_TRUE(share);
  const std::vector<NodeRef> nodes = {Find("network://srv"), share, Find("network://srv/data/file"),
                                      Find("network://srv/data/folder")};
  for (const NodeRef& n : nodes) {
    ASSERT_TRUE(n);
    for (Int32 phase : {EDITPHASE_ASK, EDITPHASE_PREPARE, EDITPHASE_DO}) {
      SCOPED_TRACE(URLOf(n.Get()) + " phase " + std::to_string(phase));
      EXPECT_EQ(n->Rename(phase, String("renamed")), EDIT_RENAME_REFUSED);
      NodeRef made;
      EXPECT_EQ(n->NewFolder(phase, String("new"), &made), EDIT_NEWFOLDER_REFUSED);
      EXPECT_FALSE(made);
      EXPECT_EQ(n->Delete(phase, nullptr, nullptr), EDIT_DELETE_REFUSED);
      Ref<DirectoryNode> moved = DirectoryNode::MakeForPath(Filename(String(local.c_str())));
      ASSERT_TRUE(moved);
      EXPECT_EQ(n->MoveHere(NodeRef(moved.Get()), phase, nullptr, nullptr), EDIT_MOVE_REFUSED);
      EXPECT_EQ(n->CopyHere(NodeRef(moved.Get()), phase, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
      EXPECT_EQ(moved->GetReferenceCount(), 1u) << "the node given to move and copy was released";
    }
  }
  std::set<std::string> onDisk;
  for (const auto& e : fs::directory_iterator(s))
    onDisk.insert(e.path().filename().string());
  EXPECT_EQ(onDisk, (std::set<std::string>{"file", "folder"}));
  EXPECT_TRUE(fs::exists(local));
}

// A listing that fails half way keeps every child it did not reach: no sweep after an error.
TEST_F(Network, EnumerationErrorSkipsTheSweep)
{
  const std::string s = Share("srv", "data");
  for (const char* n : {"a", "b", "c", "d"})
    File(s + "/" + n, n);
  SetMTime(s, kLongAgo);
  Start();
  NodeRef share = Find("network://srv/data");
  ASSERT_TRUE(share);
  auto before = Children(share);
  ASSERT_EQ(before.size(), 4u);
  File(s + "/e", "e");
  SetMTime(s, kLongAgo + 60);
  orxhost::FailNth(orxhost::FileOp::List, 2);
  auto during = Children(share);
  for (auto& [name, node] : before) {
    EXPECT_FALSE(node->IsDeleted()) << name << " was swept after a failed listing";
    EXPECT_EQ(during[name], node) << name;
  }
  EXPECT_TRUE(share->GetInfo(nullptr) & NODESTATUS_RELIST) << "a failed listing is tried again";
  auto after = Children(share);
  EXPECT_EQ(after.size(), 5u);
}

// The root is filled again when the places change: new servers appear, vanished ones go, the
// others stay the same objects.
TEST_F(Network, RootFollowsThePlaces)
{
  Share("one", "s");
  Start();
  NodeRef one = Find("network://one");
  ASSERT_TRUE(one);
  Share("two", "s");
  auto servers = Children(Root());
  EXPECT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers["one"], one);
  ASSERT_TRUE(servers.count("two"));
  Share("one", "t");
  EXPECT_EQ(Children(one).size(), 2u) << "opening a server shows a share that came since";
  fs::remove_all(base_ + "/one");
  servers = Children(Root());
  EXPECT_EQ(servers.size(), 1u);
  EXPECT_TRUE(one->IsDeleted());
}

// Names of servers and shares are URL parts: unique (letter case ignored, as URLs find them),
// without "/", and kept by a node for as long as its place stays.
TEST_F(Network, NamesAreValidAndUnique)
{
  // Places of the host's mount table, not of the fixtures: the fixtures stay empty and unchanged.
  const std::string dir = P(orxtest::TempDir());
  const std::string p1 = dir + "/1", p2 = dir + "/2", p3 = dir + "/3", p4 = dir + "/4";
  for (const std::string& p : {p1, p2, p3, p4})
    fs::create_directories(p);
  auto place = [](const char* serverKey, const char* server, const std::string& path, const char* share) {
    NetworkPlace p;
    p.serverKey = String(serverKey);
    p.server = String(server);
    p.shareKey = String(path.c_str());
    p.share = String(share);
    p.path = Filename(String(path.c_str()));
    p.kind = String("nfs4");
    return p;
  };
  std::vector<NetworkPlace> places = {place("10.0.0.1", "fs", p1, "export/media"),
                                      place("10.0.0.2", "FS", p2, "media"), place("10.0.0.2", "FS", p3, "Media"),
                                      place("10.0.0.2", "FS", p4, "..")};
  Start();
  NodeRef root = Root();
  EXPECT_TRUE(Children(root).empty());
  NetworkNode::SyncPlaces(root.Get(), places);
  auto servers = Children(root);
  ASSERT_EQ(servers.size(), 2u);
  ASSERT_TRUE(servers.count("fs") && servers.count("FS (2)"));
  auto first = Children(servers["fs"]);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first.begin()->first, "export_media");
  EXPECT_EQ(Find("network://fs/export_media"), first.begin()->second);
  EXPECT_EQ(P(BrowserURL(String("network://fs/export_media")).GetFilename()), p1);
  auto second = Children(servers["FS (2)"]);
  EXPECT_EQ(second.size(), 3u) << [&] {
    std::string all;
    for (auto& [n, c] : second)
      all += n + ";";
    return all;
  }();
  EXPECT_TRUE(second.count("media") && second.count("Media (2)") && second.count("_.."));
  EXPECT_EQ(P(BrowserURL(String("network://FS (2)/Media (2)")).GetFilename()), p3);

  // The same places in another order: every node keeps its name.
  NodeRef kept = servers["FS (2)"];
  std::vector<NetworkPlace> reversed(places.rbegin(), places.rend());
  NetworkNode::SyncPlaces(root.Get(), reversed);
  EXPECT_EQ(Children(root)["FS (2)"], kept);
  EXPECT_EQ(Children(kept).count("Media (2)"), 1u);
}

// A share whose reads block answers within the time limit; its children stay as they were and it
// is read again next time. The root fill with such a share answers too and says which one it was.
TEST_F(Network, BlockingShareDoesNotFreezeTheCaller)
{
  const std::string slow = Share("srv", "slow");
  Share("srv", "fine");
  File(slow + "/old", "o");
  SetMTime(slow, kLongAgo);
  Start();
  NodeRef share = Find("network://srv/slow");
  ASSERT_TRUE(share);
  NodeRef old = Children(share)["old"];
  ASSERT_TRUE(old);
  File(slow + "/new", "n");
  SetMTime(slow, kLongAgo + 60);

  orxhost::HoldListings(slow);
  NetworkNode::SetTimeLimit(200);
  std::map<std::string, NodeRef> during;
  ASSERT_TRUE(orxtest::FinishesWithin([&] { during = Children(share); }, std::chrono::seconds(60),
                                      [] { orxhost::ReleaseListings(); }))
      << "listing a share that does not answer froze the caller";
  EXPECT_EQ(during.size(), 1u);
  EXPECT_EQ(during["old"], old);
  EXPECT_FALSE(Net(share)->Answered());
  EXPECT_TRUE(share->GetInfo(nullptr) & NODESTATUS_RELIST);
  const auto unanswered = orxhost::UnansweredNetworkFolders();
  EXPECT_NE(std::find(unanswered.begin(), unanswered.end(), slow), unanswered.end());

  orxhost::ReleaseListings();
  NetworkNode::SetTimeLimit(kGenerous);
  auto after = Children(share);
  EXPECT_EQ(after.size(), 2u) << "read again once it answers";
  EXPECT_TRUE(Net(share)->Answered());
}

// The same share reached as a folder under file:/ (a mounted network file system is also a
// volume) is read within the same time limit.
TEST_F(Network, BlockingShareAsAFolderDoesNotFreezeTheCaller)
{
  const std::string slow = Share("srv", "slow");
  File(slow + "/old", "o");
  SetMTime(slow, kLongAgo);
  Start();
  Ref<DirectoryNode> dir = DirectoryNode::MakeForPath(Filename(String(slow.c_str())));
  ASSERT_TRUE(dir);
  NodeRef folder(dir.Get());
  ASSERT_EQ(Children(folder).size(), 1u);
  File(slow + "/new", "n");
  SetMTime(slow, kLongAgo + 60);
  orxhost::HoldListings(slow);
  NetworkNode::SetTimeLimit(200);
  std::map<std::string, NodeRef> during;
  const bool finished = orxtest::FinishesWithin([&] { during = Children(folder); }, std::chrono::seconds(60),
                                                [] { orxhost::ReleaseListings(); });
  EXPECT_TRUE(finished) << "listing a network folder that does not answer froze the caller";
  if (finished) {
    EXPECT_EQ(during.size(), 1u);
    EXPECT_TRUE(folder->GetInfo(nullptr) & NODESTATUS_RELIST);
  }
  orxhost::ReleaseListings();
  NetworkNode::SetTimeLimit(kGenerous);
  EXPECT_EQ(Children(folder).size(), 2u);
  folder->Remove();
}

TEST_F(Network, RootFillWithABlockingShareAnswers)
{
  const std::string slow = Share("srv", "slow");
  Share("srv", "fine");
  orxhost::HoldListings(slow);
  NetworkNode::SetTimeLimit(200);
  Start();
  std::map<std::string, NodeRef> servers;
  ASSERT_TRUE(orxtest::FinishesWithin([&] { servers = Children(Root()); }, std::chrono::seconds(60),
                                      [] { orxhost::ReleaseListings(); }));
  ASSERT_EQ(servers.size(), 1u);
  // Opening the server right after does not wait for that share once more.
  NetworkNode::SetTimeLimit(kGenerous);
  std::map<std::string, NodeRef> shares;
  ASSERT_TRUE(orxtest::FinishesWithin([&] { shares = Children(servers["srv"]); }, std::chrono::seconds(60),
                                      [] { orxhost::ReleaseListings(); }));
  ASSERT_EQ(shares.size(), 2u);
  EXPECT_FALSE(Net(shares["slow"])->Answered());
  bool said = false;
  for (const std::string& line : orxhost::ConsoleLines())
    said = said || line.find("network://srv/slow") != std::string::npos;
  EXPECT_TRUE(said) << "the share that did not answer is named on the console";
}

// A file in a share finds its handler by content like a file under file:/, and its network URL
// resolves to the file for whoever reads it (previews).
TEST_F(Network, FileInShareFindsItsHandler)
{
  const std::string s = Share("srv", "pics");
  File(s + "/picture.bin", "MAGIC and pixels");
  File(s + "/other.bin", "plain");
  Start();
  handlertest::TestHandler handler(4242101, "", "MAGIC");
  ASSERT_TRUE(RegisterPlugin(&handler, 1));
  {
    NodeRef pic = Find("network://srv/pics/picture.bin", GETNODE_EXACT | GETNODE_LOAD);
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->GetPluginInterface(0), &handler);
    EXPECT_EQ(Children(Find("network://srv/pics"))["other.bin"]->GetPluginInterface(0), nullptr);
    BrowserURL url(String("network://srv/pics/picture.bin"));
    Filename file;
    ASSERT_TRUE(url.GetFilename(&file)) << "a network URL of a file in a share resolves";
    EXPECT_EQ(P(file), s + "/picture.bin");
    BrowserPluginInterface* found = nullptr;
    EXPECT_TRUE(FindPluginForURL(url, true, &found));
    EXPECT_EQ(found, &handler) << "found by content for the URL, as for a file URL";
    BrowserURL server(String("network://srv"));
    EXPECT_FALSE(server.IsFile()) << "a server is no file";
  }
  EXPECT_TRUE(UnregisterPlugin(&handler));
}

} // namespace
