// ItemProgressDialog: shows the counts of an ItemProgressThread while it works, asks about an item
// whose name is taken, and tells what failed. Main thread only.
#pragma once

#include <memory>
#include <vector>

#include "orx/dialogs.h"
#include "progress/itemprogressthread.h"

// Resource strings of the dialog: titles and the two lines per operation, the question about a
// taken name, and the messages of the end statuses. "%d" stands for a number, "<name>" for the
// name of an item (put in literally, never formatted).
constexpr Int32 IDS_ITEMPROGRESS_CANCEL = 10164;
constexpr Int32 IDS_ITEMPROGRESS_QUESTION = 10165;
constexpr Int32 IDS_ITEMPROGRESS_COPY_TITLE = 10197;
constexpr Int32 IDS_ITEMPROGRESS_MOVE_TITLE = 10200;
constexpr Int32 IDS_ITEMPROGRESS_DELETE_TITLE = 10203;
constexpr Int32 IDS_ITEMPROGRESS_COPY_FAILED = 10206;
constexpr Int32 IDS_ITEMPROGRESS_INSIDE = 10207;
constexpr Int32 IDS_ITEMPROGRESS_DELETE_FAILED = 10208;
constexpr Int32 IDS_ITEMPROGRESS_LINK_FAILED = 10209;
constexpr Int32 IDS_ITEMPROGRESS_MOVE_FAILED = 10210;
constexpr Int32 IDS_ITEMPROGRESS_RESTART_FAILED = 10211;

// Gadgets of the layout.
constexpr Int32 IDC_ITEMPROGRESS_TOTAL = 10161;
constexpr Int32 IDC_ITEMPROGRESS_DONE = 10162;
constexpr Int32 IDC_ITEMPROGRESS_BAR = 10163;

class ItemProgressDialog : public GeModalDialog
{
public:
  ItemProgressDialog(Int32 operation, std::vector<NodeRef> sources, NodeRef destination, UInt32 options = 0);
  // Stops the worker and waits for it: nothing of the dialog is used after it is gone.
  ~ItemProgressDialog() override;

  // Runs the work with the dialog open until it ends; without a user interface the work runs on
  // the caller's thread and a taken name ends it. The final status.
  Int32 Execute();

  Bool CreateLayout() override;
  Bool InitValues() override;
  void Timer() override;
  Bool Command(Int32 id) override;
  Bool AskClose() override;

  ItemProgressThread& Thread() { return *thread_; }
  // The status the dialog closed with (ITEMSTATUS_RUNNING while open), and the message it showed.
  Int32 GetStatus() const { return status_; }
  const String& GetMessage() const { return message_; }
  // The two lines as shown now.
  String TotalLine() const;
  String DoneLine() const;
  // The message of an end status for an operation, with the item's name put in.
  static String MessageFor(Int32 status, Int32 operation, const String& name);

private:
  void Stop();
  void Tell();
  void Show();
  void Finish(Int32 status, const String& message);

  std::unique_ptr<ItemProgressThread> thread_;
  const Int32 operation_;
  UInt32 totalFiles_ = 0, doneFiles_ = 0;
  UInt64 totalBytes_ = 0, doneBytes_ = 0;
  Int32 status_ = ITEMSTATUS_RUNNING;
  String message_;
  Bool started_ = false;
};
