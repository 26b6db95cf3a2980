// The stand-in host on Linux: the service table and what tests and orxhost may ask of the host.
// Nothing in modules/ includes this file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "orx/hosttable.h"
#include "orx/string.h"

namespace orxhost {

// The host's service table (made once, valid for the life of the process).
const OrxHostTable* Table();
// Installs the table into this binary's own copy of the sdk (the host's use, and in-process tests).
void InstallForThisProcess();

// --- memory ---
Int64 LiveBlockCount();
// The most bytes live at once since the last reset (the reset starts from what is live now).
Int64 PeakBytes();
void ResetPeakBytes();
// Blocks that would take the live bytes above this many are refused (0: no limit).
void SetMemoryLimit(Int64 bytes);
// Prints every live block with the file and line that took it; returns their number.
Int64 PrintLiveBlocks(std::FILE* out, Int64 maxLines = 50);

// --- console, message boxes, fatal errors ---
std::vector<std::string> ConsoleLines();
void ClearConsole();
void SetConsoleEcho(bool echo); // also write console lines to stdout (orxhost does)
std::vector<std::string> MessageBoxes();
void ClearMessageBoxes();
std::vector<std::string> FatalErrors();

// --- file fault injection: the nth call of an operation from now on fails (1 = the next) ---
// List: the nth entry of a folder listing fails, and the listing reports an error.
enum class FileOp { Open, Read, Write, Flush, Rename, Delete, List };
void FailNth(FileOp op, int n);
// The nth thread start from now on fails (1 = the next), as when the system has no thread to give.
void FailNthThreadStart(int n);
// Clears the file faults and the thread start fault.
void ClearFaults();
// Called (when set) before each entry a folder listing gives, on the listing's thread: tests hold a
// listing there, as a slow mount would.
void SetListingHook(void (*hook)(void* data), void* data);
// The no-replace rename behaves as on a file system that does not support it.
void SimulateNoReplaceRenameUnsupported(bool on);

// --- network places ---
// Listings and status reads of folder and of everything below it wait until released, as on a
// server that does not answer.
void HoldListings(const std::string& folder);
void ReleaseListings();
// Waits at most ms until no network job of the host runs; false when some still do.
bool WaitNetworkJobs(int ms);
// Folders whose network job a caller stopped waiting for, oldest first, since the last clear.
std::vector<std::string> UnansweredNetworkFolders();
void ClearUnansweredNetworkFolders();

// --- registrations that the module made ---
struct Registration
{
  std::string kind; // "command", "manager", "prefpage", "library", "icon"
  Int32 id;
  std::string name;
};
std::vector<Registration> Registrations();
// A registration of this kind fails from now on (tests of start failure).
void FailRegistrations(const std::string& kind, bool fail);
void ClearRegistrations();

// --- preferences: loaded from and saved to the preference folder ---
void ResetPrefs();

// --- scene objects (minimal until documents arrive) ---
BaseList2D* NewObject(const String& name);
void FreeObject(BaseList2D* obj);

// --- pictures: a lower pixel limit than LOADBITMAP_MAX_PIXELS (0: that one again), so that fuzzing
// stays within its memory ---
void SetPixelLimit(Int64 pixels);

// --- what the host was asked to do with files ---
struct HostRequest
{
  std::string kind; // "load", "merge", "open" (with the system's program), "scene" (a scene read)
  std::string path;
  Int32 value;      // merge: the scene filter; scene: the load flags
  bool done;        // false when the host refused (no such file, a program, beyond the bounds)
};
std::vector<HostRequest> HostRequests();
void ClearHostRequests();

// --- the user's language id (default 0x75730000, English) ---
void SetLanguageId(Int32 id);

} // namespace orxhost
