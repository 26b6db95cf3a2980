#include "progress/itemprogressdialog.h"

#include "base/browserutils.h"
#include "contenttree/contentevents.h"
#include "orx/services.h"

namespace {

// Every occurrence of key replaced by text, once: what the text holds is never read as a pattern.
String PutIn(String s, const String& key, const String& text)
{
  Int32 at = 0;
  while (s.FindFirst(key, &at, at)) {
    s.Delete(at, key.GetLength());
    s.Insert(at, text);
    at += text.GetLength();
  }
  return s;
}

// Linking takes the copy texts: it makes new entries and moves nothing.
Int32 TitleOf(Int32 operation)
{
  switch (operation) {
    case ITEMOP_MOVE: return IDS_ITEMPROGRESS_MOVE_TITLE;
    case ITEMOP_DELETE: return IDS_ITEMPROGRESS_DELETE_TITLE;
    default: return IDS_ITEMPROGRESS_COPY_TITLE;
  }
}

String Line(Int32 id, UInt32 files, UInt64 bytes, Bool withZeroBytes)
{
  String s = PutIn(GeLoadString(id), String("%d"), String::FromInt(Int64(files)));
  if (bytes != 0 || withZeroBytes) {
    String size;
    FormatFileSize(&size, Int64(bytes), true);
    s = s + String(" (") + size + String(")");
  }
  return s;
}

} // namespace

ItemProgressDialog::ItemProgressDialog(Int32 operation, std::vector<NodeRef> sources, NodeRef destination,
                                       UInt32 options)
    : thread_(std::make_unique<ItemProgressThread>(operation, std::move(sources), std::move(destination), options)),
      operation_(operation)
{
}

ItemProgressDialog::~ItemProgressDialog()
{
  Stop();
}

void ItemProgressDialog::Stop()
{
  if (thread_) {
    thread_->End(true);
    Tell();
  }
}

void ItemProgressDialog::Tell()
{
  for (const NodeRef& n : thread_->TakeChangedNodes())
    NotifyNodeChanged(n);
}

String ItemProgressDialog::MessageFor(Int32 status, Int32 operation, const String& name)
{
  Int32 id = 0;
  if (status == ITEMSTATUS_INSIDE)
    id = IDS_ITEMPROGRESS_INSIDE;
  else if (status == ITEMSTATUS_FAILED)
    id = operation == ITEMOP_MOVE     ? IDS_ITEMPROGRESS_MOVE_FAILED
         : operation == ITEMOP_DELETE ? IDS_ITEMPROGRESS_DELETE_FAILED
         : operation == ITEMOP_LINK   ? IDS_ITEMPROGRESS_LINK_FAILED
                                      : IDS_ITEMPROGRESS_COPY_FAILED;
  if (!id)
    return String();
  return PutIn(GeLoadString(id), String("<name>"), name);
}

String ItemProgressDialog::TotalLine() const
{
  return Line(TitleOf(operation_) + 1, totalFiles_, totalBytes_, false);
}

String ItemProgressDialog::DoneLine() const
{
  return Line(TitleOf(operation_) + 2, doneFiles_, doneBytes_, totalBytes_ != 0);
}

Int32 ItemProgressDialog::Execute()
{
  status_ = ITEMSTATUS_RUNNING;
  message_ = String();
  if (Open(400, 0))
    return status_ == ITEMSTATUS_RUNNING ? ITEMSTATUS_CANCELLED : status_;
  // No user interface: the work runs here, and nobody can be asked about a taken name.
  started_ = true;
  thread_->Run(false);
  Tell();
  status_ = thread_->GetStatus();
  message_ = MessageFor(status_, operation_, thread_->GetItemName());
  return status_;
}

Bool ItemProgressDialog::CreateLayout()
{
  SetTitle(GeLoadString(TitleOf(operation_)));
  GroupBegin(0, 0, 1, 0);
  AddStaticText(IDC_ITEMPROGRESS_TOTAL, 0, TotalLine(), 360);
  AddStaticText(IDC_ITEMPROGRESS_DONE, 0, DoneLine(), 360);
  AddProgressBar(IDC_ITEMPROGRESS_BAR, 0, 360);
  AddButton(IDC_CANCEL, 0, GeLoadString(IDS_ITEMPROGRESS_CANCEL));
  GroupEnd();
  return true;
}

Bool ItemProgressDialog::InitValues()
{
  if (!started_) {
    started_ = true;
    if (!thread_->Run(true)) {
      Finish(ITEMSTATUS_FAILED, GeLoadString(IDS_ITEMPROGRESS_RESTART_FAILED));
      return true;
    }
  }
  SetTimer(100);
  return true;
}

void ItemProgressDialog::Show()
{
  totalFiles_ = thread_->GetTotalFiles();
  totalBytes_ = thread_->GetTotalBytes();
  doneFiles_ = thread_->GetDoneFiles();
  doneBytes_ = thread_->GetDoneBytes();
  SetString(IDC_ITEMPROGRESS_TOTAL, TotalLine());
  SetString(IDC_ITEMPROGRESS_DONE, DoneLine());
  const double part = thread_->IsCounting() ? 0.0
                      : totalBytes_ ? double(doneBytes_) / double(totalBytes_)
                      : totalFiles_ ? double(doneFiles_) / double(totalFiles_)
                                    : 0.0;
  SetFloat(IDC_ITEMPROGRESS_BAR, Float(part > 1 ? 1 : part));
}

void ItemProgressDialog::Finish(Int32 status, const String& message)
{
  SetTimer(0);
  status_ = status;
  message_ = message;
  if (message.Content())
    GeOutString(message, ORX_MB_WARNING);
  Close(status == ITEMSTATUS_DONE);
}

void ItemProgressDialog::Timer()
{
  Tell();
  Show();
  const Int32 status = thread_->GetStatus();
  if (status == ITEMSTATUS_RUNNING || thread_->IsRunning())
    return;
  thread_->Wait();
  Tell();
  Show();
  if (status != ITEMSTATUS_CONFLICT) {
    Finish(status, MessageFor(status, operation_, thread_->GetItemName()));
    return;
  }
  SetTimer(0);
  const String question = PutIn(GeLoadString(IDS_ITEMPROGRESS_QUESTION), String("<name>"), thread_->GetItemName());
  if (!GeQuestionDialog(question)) {
    // Answered no: the item in the way stays, and the status says so.
    Finish(ITEMSTATUS_CONFLICT, String());
    return;
  }
  // The existing item goes only once its replacement is complete: the thread does it.
  thread_->ReplaceConflict();
  if (!thread_->Run(true, THREADPRIORITY_BELOW)) {
    Finish(ITEMSTATUS_FAILED, GeLoadString(IDS_ITEMPROGRESS_RESTART_FAILED));
    return;
  }
  SetTimer(100);
}

Bool ItemProgressDialog::Command(Int32 id)
{
  if (id == IDC_CANCEL) {
    // A cancel is no failure: the dialog closes without a message.
    Stop();
    Finish(thread_->GetStatus() == ITEMSTATUS_DONE ? ITEMSTATUS_DONE : ITEMSTATUS_CANCELLED, String());
    return true;
  }
  return GeModalDialog::Command(id);
}

Bool ItemProgressDialog::AskClose()
{
  if (status_ == ITEMSTATUS_RUNNING) {
    Stop();
    status_ = thread_->GetStatus() == ITEMSTATUS_DONE ? ITEMSTATUS_DONE : ITEMSTATUS_CANCELLED;
    SetTimer(0);
  }
  return false;
}
