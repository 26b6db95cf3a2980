// The library export: one preset library written as a tree of data files, settings, preview
// pictures and .cbinfo descriptions that the library build reads back.
#pragma once

#include <functional>

#include "contenttree/rtreenode.h"
#include "orx/filename.h"
#include "orx/string.h"
#include "tools/contenttool/progressdialog.h"
#include "tools/contenttool/toollogs.h"
#include "tools/contenttool/treenames.h"

class BrowserDatabase;
class ExportLibraryUI;

// Resource string of the destination question.
constexpr Int32 IDS_EXPORT_DESTINATION = 30017;

// One run of the export, owned by ExportLibraryUI::Run.
struct ExportContext
{
  ExportContext(const Filename& destination, ExportLibraryUI* ui) : destinationFolder(destination), dialog(ui),
                                                                    names(destination) {}
  ContentToolLogs logs;
  Filename destinationFolder;
  ExportLibraryUI* dialog; // progress and cancel; may be null
  BrowserDatabase* db = nullptr;
  Int32 total = 0;
  Int32 done = 0;
  ExportNames names;

  void LogError(const String& text) { logs.LogError(text); }
  void LogOperation(const String& text) { logs.LogOperation(text); }
  // Steps the progress; false once the run is cancelled.
  Bool Step();
  Bool Cancelled() const;
};

class ExportLibraryUI : public ProgressDialog
{
public:
  ExportLibraryUI(const Filename& destination, NodeRef library);
  ~ExportLibraryUI() override;

  Bool Run(ProgressThread* thread) override;
  void GetTitle(String& out) override { out = String("Export Preset Library"); }

  // After Execute.
  Bool GetSuccess() const { return success_; }
  Int32 GetErrorCount() const { return errorCount_; }
  // The folder written (the destination without ".libqz").
  const Filename& GetFolder() const { return folder_; }
  Filename GetErrorLogPath() const { return errorLog_; }
  Filename GetOperationLogPath() const { return operationLog_; }
  // The message box text of the run's end.
  String ResultMessage() const;
  // Called in the worker after each step with the steps done (tests).
  void SetStepHook(std::function<void(Int32 done)> hook) { stepHook_ = std::move(hook); }
  void StepHook(Int32 done)
  {
    if (stepHook_)
      stepHook_(done);
  }

private:
  Filename destination_;
  NodeRef library_;
  Filename folder_;
  Filename errorLog_, operationLog_;
  Bool success_ = false;
  Int32 errorCount_ = 0;
  std::function<void(Int32)> stepHook_;
  String failure_; // why the export could not start, when it could not
};

// The command: asks for the destination, runs the dialog and tells the result. Main thread; node is
// a library's root node.
Bool ExportLibrary(const NodeRef& node);
// Exports one node and, for a folder, its subtree into parentFolder; true on success.
Bool ExportNode(ExportContext& context, const NodeRef& node, const Filename& parentFolder);
// Exports the library below root into context.destinationFolder (the logs open); the result.
Bool ExportWholeLibrary(ExportContext& context, const NodeRef& root);

// Numbers of the descriptions, written the same in every locale.
String FormatFps(Float fps);
// Language id to its code: up to four characters, most significant byte first, ending at the first
// zero byte; false for a code that cannot be written as an attribute value.
Bool LanguageCode(Int32 language, String* out);

// The content tool's message handler (orx/browsercontenttool.h).
Int32 ContentToolMessage(BrowserContentNode* node, Int32 op, void* data);
