// The steps that start and end the module. The entry point (startplugin) fixes their order and
// conditions; each subsystem fills in its own step here. Main thread unless noted.
#pragma once

#include "orx/orx.h"

class BrowserURL;

// --- start (action 2), in this order; the answers of 1 to 4 are not looked at ---
void RegInitContent();              // 1: main database, content tree and its top-level nodes
void RegInitViewSettings();         // 2: view setting defaults, then the stored preferences over them
void RegInitBackgroundTasks();      // 3: background task list head cleared, its lock created
void RegInstallCallTable();         // 4: fills and publishes the operation table for other plug-ins
Bool RegRegisterCommands();         // 5: every command under its id, results ANDed
Bool RegRegisterManagerInfo();      // 6: manager information of the browser command (kind 21)
Bool RegRegisterViewFilterCommands(); // 7: the view-filter commands
Bool RegRegisterPrefPage();         // 8: the preference page

// --- end of module (action 3), in this order ---
void RegFreeBackgroundTasks();      // frees the background task lock
void RegReleaseContent();           // tree root, built-in handlers and the handler registry
void RegCloseAllLibraries();        // closes every library, forgets the main and default databases

// --- messages ---
// 1000: writes the console line naming the libraries marked damaged while reading, clearing the marks.
void RegReportDamagedLibraries();
// Loader thread: the library scan with force set; may poll thread.TestBreak(). Worker thread.
void RegRunLibraryLoader(OrxThread& thread);
// 1001190: takes a vanished volume's node out of the tree, or marks an arrived one for re-listing.
void RegVolumeChanged(const BrowserURL& volume, Bool removed);
// 1001190: the file root checks its volumes again and windows follow a change.
void RegRefreshFileRoot();
// 200000272, in this order:
void RegCloseBrowserWindows();      // every window held by the browser command
void RegShutdownContent(Bool allowCompaction); // save and close every library; compact only if allowed
void RegFreeIconCache();

// The console line for damaged libraries ("" when names is empty). names: joined by ", ".
String DamagedLibrariesLine(const String& names);
