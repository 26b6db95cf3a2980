// The front door to content: the content tree with its fixed top-level nodes, the resolution of a
// URL to a node, the nodes of a library's items, the recent list, and the operation table that
// other plug-ins use.
#pragma once

#include "base/browserurl.h"
#include "contenttree/contentevents.h"
#include "contenttree/rtreenode.h"

class BrowserDatabase;
class BrowserDatabaseItem;

// GetNode modes: 1 exact; bit 2 answers the deepest node on the way when there is no exact one;
// bit 4 lists the children of every node passed on the way down.
constexpr Int32 GETNODE_EXACT = 1;
constexpr Int32 GETNODE_DEEPEST = 2;
constexpr Int32 GETNODE_LOAD = 4;

// GetRootNode numbers.
constexpr Int32 ROOT_PRESET = 0;
constexpr Int32 ROOT_CATALOG = 1;
constexpr Int32 ROOT_FILE = 2;
constexpr Int32 ROOT_RECENT = 3;
constexpr Int32 ROOT_SEARCH = 4;
constexpr Int32 ROOT_FAVORITES = 5;
// Not published: the network root.
constexpr Int32 ROOT_NETWORK = 100;

// The recent list keeps this many entries and one more.
constexpr Int32 RECENT_LIMIT = 10;

// Makes or updates the node of one library item. parent: the folder node the item goes into;
// existing: the item's node when there is one; folder: the item's folder flag; item: the item,
// opened by the caller, or null (a folder without a record): what the node needs is read from it
// rather than looked up again. Answers the node.
using LibraryNodeFactory = NodeRef (*)(const NodeRef& parent, const NodeRef& existing, BrowserURL& url,
                                       BrowserDatabase* db, Bool folder, BrowserDatabaseItem* item, void* data);

// Registration step 1: handlers that exist, "BrowserDB", the tree and its top-level nodes, the
// favorites and the default-object library. True when the main database, the tree and the
// default-object library exist.
Bool InitContent();
// Releases the tree and the top-level nodes (libraries are closed separately).
void ReleaseContent();
// End of program: every library saved and closed, compaction only when allowed.
void ShutdownContent(Bool allowCompaction);
Bool ContentExists();

Ref<BrowserContentTree> GetContentTree();
// 0 to 5 as published, ROOT_NETWORK, anything else null.
NodeRef GetRootNode(Int32 which);
class BaseContainer;
NodeRef GetDefaultObjectNode();

// The default settings of an element kind, kept in the default-object library. Setting one makes
// its node under the default-object node. False without that library, or for a kind with none.
Bool GetDefaultSetting(Int32 kind, BaseContainer* out);
Bool SetDefaultSetting(Int32 kind, const BaseContainer& settings);

// Resolves a URL to a node of the tree, ignoring letter case. start (taken over) is the first node
// of the first row to search; without one the top level.
NodeRef GetNode(BrowserURL& url, Int32 mode, NodeRef start = nullptr);

// Adds a node for every item of the library whose path begins with prefix, below parent (taken
// over). Without a factory, file preset nodes are made.
Bool AddLibraryNodes(Int32 libraryIndex, const String& prefix, NodeRef parent, LibraryNodeFactory factory,
                     void* data);
// The factory of file preset nodes (libraries) and of favorites.
NodeRef FilePresetNodeFactory(const NodeRef& parent, const NodeRef& existing, BrowserURL& url, BrowserDatabase* db,
                              Bool folder, BrowserDatabaseItem* item, void* data);

// Adds a node to the recent list; false when it is there already.
Bool AddRecent(NodeRef node);

// Tells whoever shows the tree that a node changed: open windows always, the browser command
// (command set) when the node is of the preset tree and the libraries are loaded.
using ContentChangeListener = void (*)(const NodeRef& node, Bool command);
// NotifyNodeChanged (contentevents.h) reaches the listener set here.
void SetContentChangeListener(ContentChangeListener listener);
// After an item of a library changed: updates or makes its node when the library is shown.
void UpdateItemNode(BrowserDatabase* db, BrowserURL& itemURL);
// Makes the folder nodes of url (and url itself as a folder) below its library's root node.
NodeRef MakeFolderNodes(BrowserURL& url);

// Registration step 4: fills the operation table and publishes it (library 1017645, version 1000).
Bool InstallCallTable();
