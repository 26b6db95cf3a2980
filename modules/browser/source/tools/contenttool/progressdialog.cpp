#include "tools/contenttool/progressdialog.h"

#include <chrono>

#include "orx/services.h"

ProgressThread::~ProgressThread() { OrxThread::End(true); }

void ProgressThread::Main()
{
  // Nothing may leave the worker; an exception is a failed run.
  try {
    dialog_->Run(this);
  } catch (...) {
  }
  dialog_->finished_.store(true, std::memory_order_release);
  {
    // Under the lock, so that a waiter between its test and its wait is not missed.
    std::lock_guard g(dialog_->requestLock_);
  }
  dialog_->requestCv_.notify_all();
  if (const Int32 h = dialog_->handle_.load())
    GePostCoreMessage(h, PROGRESS_EVENT_DONE);
}

Bool ProgressThread::TestBreak() { return dialog_->TestBreak(); }

ProgressDialog::ProgressDialog() : thread_(this) {}

ProgressDialog::~ProgressDialog() { StopWork(); }

void ProgressDialog::StopWork()
{
  cancelled_.store(true, std::memory_order_release);
  thread_.End(true);
}

Bool ProgressDialog::TestBreak() const
{
  return cancelled_.load(std::memory_order_acquire) || thread_.TestBaseBreak();
}

void ProgressDialog::Cancel()
{
  cancelled_.store(true, std::memory_order_release);
  // The worker does not wait for this thread while it is cancelled: ending it cannot deadlock.
  thread_.End(true);
}

Bool ProgressDialog::CallOnMainThread(std::function<void()> fn)
{
  if (!fn)
    return false;
  if (std::this_thread::get_id() == waiter_ || !thread_.IsRunning()) {
    fn();
    return true;
  }
  std::unique_lock l(requestLock_);
  request_ = &fn;
  requestTaken_ = false;
  requestDone_ = false;
  if (const Int32 h = handle_.load())
    GePostCoreMessage(h, PROGRESS_EVENT_REQUEST);
  requestCv_.notify_all();
  while (!requestDone_) {
    // Once taken the request runs to its end on the other thread; before that, a cancel takes it
    // back, since the other thread may be waiting for this one to end.
    if (!requestTaken_ && TestBreak()) {
      request_ = nullptr;
      return false;
    }
    requestCv_.wait_for(l, std::chrono::milliseconds(10));
  }
  request_ = nullptr;
  return true;
}

void ProgressDialog::ServeRequests()
{
  std::function<void()>* fn = nullptr;
  {
    std::lock_guard g(requestLock_);
    if (!request_ || requestTaken_)
      return;
    fn = request_;
    requestTaken_ = true;
  }
  try {
    (*fn)();
  } catch (...) {
  }
  {
    std::lock_guard g(requestLock_);
    requestDone_ = true;
  }
  requestCv_.notify_all();
}

Bool ProgressDialog::Execute(std::function<void(double)> onProgress)
{
  waiter_ = std::this_thread::get_id();
  onProgress_ = std::move(onProgress);
  progress_.store(0.0);
  finished_.store(false);
  started_ = false;
  startFailed_ = false;
  // The caller may stop the run before it starts.
  if (onProgress_)
    onProgress_(0.0);
  if (!Open(400, 0)) {
    // No user interface: the caller's thread waits and serves.
    if (!started_) {
      started_ = true;
      if (!thread_.Start(true))
        return false;
    }
    for (;;) {
      ServeRequests();
      if (onProgress_)
        onProgress_(GetProgress());
      if (finished_.load(std::memory_order_acquire) || !thread_.IsRunning())
        break;
      std::unique_lock l(requestLock_);
      requestCv_.wait_for(l, std::chrono::milliseconds(100), [&] {
        return (request_ && !requestTaken_) || finished_.load(std::memory_order_acquire);
      });
    }
  }
  // Closed another way while running: the work stops with it.
  if (started_ && !finished_.load(std::memory_order_acquire))
    Cancel();
  thread_.Wait();
  handle_.store(0);
  if (onProgress_)
    onProgress_(GetProgress());
  return started_ && !startFailed_;
}

Bool ProgressDialog::CreateLayout()
{
  String title;
  GetTitle(title);
  SetTitle(title);
  GroupBegin(0, 0, 1, 0);
  AddProgressBar(IDC_PROGRESS_BAR, 0, 360);
  AddButton(IDC_CANCEL, 0, GeLoadString(10164));
  GroupEnd();
  return true;
}

Bool ProgressDialog::InitValues()
{
  handle_.store(GetHandle());
  if (!started_) {
    started_ = true;
    if (!thread_.Start(true)) {
      startFailed_ = true;
      finished_.store(true);
      Close(false);
      return true;
    }
  }
  SetTimer(100);
  return true;
}

void ProgressDialog::Tick()
{
  ServeRequests();
  const double p = GetProgress();
  SetFloat(IDC_PROGRESS_BAR, Float(p < 0 ? 0 : p > 1 ? 1 : p));
  if (onProgress_)
    onProgress_(p);
  if (finished_.load(std::memory_order_acquire))
    WorkEnded();
}

void ProgressDialog::WorkEnded()
{
  SetTimer(0);
  thread_.Wait();
  Close(!cancelled_.load());
}

void ProgressDialog::Timer() { Tick(); }

void ProgressDialog::CoreMessage(Int32 id, Int64, Int64)
{
  if (id == PROGRESS_EVENT_DONE || id == PROGRESS_EVENT_REQUEST)
    Tick();
}

Bool ProgressDialog::Command(Int32 id)
{
  if (id == IDC_CANCEL) {
    Cancel();
    WorkEnded();
    return true;
  }
  return GeModalDialog::Command(id);
}

Bool ProgressDialog::AskClose()
{
  if (!finished_.load(std::memory_order_acquire))
    Cancel();
  return false;
}

Bool StepProgress(Int32& done, Int32 total, ProgressDialog* dialog)
{
  ++done;
  if (!dialog)
    return true;
  dialog->SetProgress(total > 0 ? (done >= total ? 1.0 : double(done) / double(total)) : 1.0);
  return !dialog->TestBreak();
}
