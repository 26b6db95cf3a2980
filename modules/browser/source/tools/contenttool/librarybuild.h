// The library build: a folder tree of .cbinfo descriptions, item files, settings and previews
// turned into a new preset library file.
//
// The tree is outside input that someone else may have written: every path the build opens is a
// single name joined inside the source folder, links are never entered or read (on Linux a walk
// that follows no symbolic links is what users expect; a link to a folder inside the tree is
// skipped too, so that no entry can be built twice or loop), pipes and devices are never opened,
// and the bytes read per item are bounded.
#pragma once

#include <atomic>
#include <functional>

#include "orx/container.h"
#include "orx/filename.h"
#include "orx/string.h"
#include "tools/contenttool/progressdialog.h"
#include "tools/contenttool/toollogs.h"

class BrowserDatabase;
class BrowserDatabaseItem;
class XMLNode;
class ImportLibraryUI;

// A description larger than this is refused.
constexpr Int64 kMaxDescriptionBytes = Int64(1) << 20;
// What one item may read in all (data, settings, previews, frames) unless the context says less.
constexpr Int64 kDefaultItemByteLimit = Int64(256) << 20;
// Frames read from one movie at most; its header's count is outside input.
constexpr Int32 kMaxMovieFrames = 600;
// Folder levels below the source folder.
constexpr Int32 kMaxTreeDepth = 64;
// Frames per second accepted from a description.
constexpr Float kMaxPreviewFps = 1000.0;

// One run of the build.
struct BuildContext
{
  ContentToolLogs logs;
  Filename sourceFolder;
  Filename targetFile;  // the name the library gets
  Filename workingFile; // where it is built: targetFile + ".new"
  String libraryURL;
  BrowserDatabase* database = nullptr;
  // Progress, cancel and the main thread; null: none of these (tests, tools).
  ProgressDialog* dialog = nullptr;
  // Cancels a run without a dialog (tests).
  std::atomic<Bool>* stop = nullptr;
  Int32 total = 0;
  Int32 done = 0;
  Int32 depth = 0;
  Int64 itemByteLimit = kDefaultItemByteLimit;
  Int64 itemBytesLeft = kDefaultItemByteLimit;
  Bool cancelled = false;

  void LogError(const String& line) { logs.LogError(line); }
  void LogOperation(const String& line) { logs.LogOperation(line); }
  Int32 ErrorCount() const { return logs.ErrorCount(); }
  // Steps the progress; false once the user has cancelled.
  Bool Step();
  Bool TestBreak();
  // A new item's byte budget.
  void BeginItem() { itemBytesLeft = itemByteLimit; }
};

// The outcome of a whole run, for the message at the end.
struct BuildOutcome
{
  Bool success = false;
  Int32 errorCount = 0;
  // Why the run could not start or end, when that was not an item's error (empty otherwise).
  String failure;
  Bool cancelled = false;
  Filename errorLog, operationLog;
};

// --- the parts of the run ---

// The chosen path is the top-level description or the folder beside it. Gives the description, the
// source folder and, on failure, the message to show.
Bool CheckBuildSource(const Filename& chosen, Filename* description, Filename* sourceFolder, String* message);
// A target that exists, is open as a library, or has a leftover working file is refused.
Bool CheckBuildTarget(const Filename& target, String* message);
// The library name from the source folder, and the library URL made from it.
String LibraryNameFor(const Filename& sourceFolder);
String LibraryURLFor(const String& libraryName);
// The database for the working file and the logs in the target's folder; false with *why.
Bool PrepareBuildContext(BuildContext* ctx, const Filename& sourceFolder, const Filename& targetFile, String* why);
// The build proper; true when no error was counted.
Bool BuildLibrary(BuildContext* ctx);
// Writes and releases the database, then puts the library under its name when the run was
// complete (walked to its end, written); otherwise the working file is removed. Closes the logs.
// False with *why when the library could not be written or renamed.
Bool EndBuildContext(BuildContext* ctx, Bool complete, String* why);

Bool BuildFolder(BuildContext* ctx, const Filename& folder, const String& parentURL);
void ReadItemInfo(BuildContext* ctx, const XMLNode* item, BrowserDatabaseItem* entry, const Filename& folder,
                  const String& itemName);
Bool ReadPreview(BuildContext* ctx, const XMLNode* preview, BrowserDatabaseItem* entry, const Filename& folder,
                 const String& itemName);

// --- small readers of description texts ---

// A language code as the library keeps it: lower case, up to four characters packed most
// significant byte first (characters at or above 128 count as 0); 0 for other lengths.
Int32 LanguageIdFromCode(const String& code);
// Frames per second, read the same in every locale; only finite values in (0, 1000].
Bool ParseFps(const String& text, Float* out);
// The text after "key=" in an attribute text; false when there is none.
Bool AttributeValue(const String& attributes, const String& key, String* out);
// A description file read with the build's rules (a regular file that is not a link, at most
// kMaxDescriptionBytes) and parsed; null with *why on failure. The caller frees with FreeXMLTree.
XMLNode* LoadDescription(const Filename& file, String* why);
// The image format of stored bytes: JPEG bytes stay as they are, any other picture the host can
// read is re-encoded to JPEG. Width and height of the picture. False when no picture is there.
Bool PreviewAsJpeg(const void* data, Int64 size, ByteArray* jpeg, Int32* width, Int32* height);

// --- the dialog ---

class ImportLibraryUI : public ProgressDialog
{
public:
  ImportLibraryUI(const Filename& sourceFolder, const Filename& targetFile);
  ~ImportLibraryUI() override { StopWork(); }
  Bool Run(ProgressThread* thread) override;
  void GetTitle(String& out) override;

  const BuildOutcome& Outcome() const { return outcome_; }
  // For tests and tools: a smaller budget per item.
  void SetItemByteLimit(Int64 bytes) { itemByteLimit_ = bytes; }

private:
  Filename source_;
  Filename target_;
  Int64 itemByteLimit_ = kDefaultItemByteLimit;
  BuildOutcome outcome_;
};

// The message box text at the end of a run.
String BuildEndMessage(const BuildOutcome& outcome);

// The whole build without questions: source and target checked, the dialog run (modal, or on the
// caller's thread without a user interface), the outcome given. onProgress is called about every
// 100 ms on the waiting thread; returning false cancels. False when the build did not succeed; a
// check that failed gives its message in out->failure with no run.
Bool RunLibraryBuild(const Filename& chosen, const Filename& target, BuildOutcome* out,
                     const std::function<Bool(double)>& onProgress = {}, Int64 itemByteLimit = kDefaultItemByteLimit);

// The menu command: asks for the description and the target, runs, shows the message.
void BuildPresetLibrary();

// The published build (orx/browsercontenttool.h, CONTENTTOOL_BUILD): r is an
// OrxContentToolRequest. Answers 0 when the request was understood; r->ok tells the result.
Int32 BuildLibraryMessage(void* request);
