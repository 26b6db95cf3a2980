// The registry of preset libraries and catalogs: which files are opened, under which URL below
// "preset:/" each is shown, with which access rights, and the two built-in databases.
//
// Locks, in the only order in which they are taken: the loader lock (a whole scan), the registry
// lock (one registration), then the locks of the libraries and the tree. A thread that holds the
// registry lock never waits for a scan: a scan it would trigger through the tree is skipped.
#pragma once

#include <functional>
#include <vector>

#include "base/browserurl.h"
#include "orx/filename.h"
#include "orx/string.h"

class BrowserDatabase;
class OrxThread;

// Flags of the published form of RegisterLibrary.
constexpr UInt32 REGISTERFLAG_READONLY = 1;
constexpr UInt32 REGISTERFLAG_SYSTEM = 2;
constexpr UInt32 REGISTERFLAG_WRITABLE = 4;

// Slot of the main database and of the user library.
constexpr Int32 LIBRARY_MAIN = 0;
constexpr Int32 LIBRARY_USER = 1;

// Passes of the expansion of the library path list.
constexpr Int32 LIBRARY_PATH_MAX_PASSES = 100;

// The scan of the system, user and ORX_BROWSERLIBS folders. False when it did nothing because a
// scan was done already and force is false, or because the calling thread is inside a scan or a
// registration. A thread, when given, is polled for a break between files.
Bool LoadLibraries(Bool force, OrxThread* thread = nullptr);
// Compacts, one after the other, the open libraries and built-in databases whose dead chunks
// outweigh their live ones. A thread, when given, is polled for a break between two. Answers the
// number compacted.
Int32 CompactLibrariesThatAskIt(OrxThread* thread = nullptr);

Bool RegisterLibrary(const Filename& file, Bool system, Bool readOnly, Bool writable, BrowserURL* url);
Bool RegisterLibrary(const Filename& file, UInt32 flags, BrowserURL* url);
Bool UnregisterLibrary(Int32 index);
// Opens the library file, or creates it with name and url; the database index or -1.
Int32 CreateLibrary(const BrowserURL& url, const String& name, const Filename& file);
// Opens (or creates) "user.libqz" in the user browser folder as the user library "User".
Int32 EnsureUserLibrary();
// The user library's URL or a URL below it.
Bool IsUserLibraryURL(BrowserURL& url);
Bool LibraryItemExists(BrowserURL& url);
Int32 GetLibraryIndex(BrowserURL& url);
Bool LoadCatalogs(Bool userFolder);

// The built-in databases: "BrowserDB" (flags 257) and the default-object library.
Bool OpenMainDatabase();
Bool OpenDefaultObjectLibrary();
Int32 GetMainDatabaseIndex();
Int32 GetDefaultObjectLibraryIndex();

Bool LibrariesLoaded();
Bool LibraryScanDone();
// Saves and closes every library (compacting only when allowed) and forgets the built-ins.
void CloseAllLibraries(Bool save, Bool allowCompaction);

// The folders named by the library path list "$ORX_BROWSERLIBS": split at ";", "$NAME" replaced
// from the environment, at most 100 passes. lookup answers false for an unknown variable; without
// one the process environment is asked. passes, when given, gets the number of passes made.
using EnvLookup = std::function<Bool(const String& name, String* value)>;
std::vector<String> ExpandLibraryPaths(const EnvLookup& lookup = nullptr, Int32* passes = nullptr);

// Forgets the scan and catalog flags (tests only; libraries must be closed first).
void ResetLibraryRegistryForTests();
