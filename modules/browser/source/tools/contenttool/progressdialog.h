// ProgressDialog: a modal dialog with a progress bar and a cancel button whose work runs in a
// ProgressThread. Threads: Execute, Cancel and the dialog's own operations belong to the thread that
// opens it (the main thread); Run, SetProgress, TestBreak and CallOnMainThread to the worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "orx/dialogs.h"
#include "orx/threads.h"

// The event the thread posts to the dialog when its work has returned.
constexpr Int32 PROGRESS_EVENT_DONE = 100004837;
// Posted when the worker waits for CallOnMainThread.
constexpr Int32 PROGRESS_EVENT_REQUEST = 100004838;

// Gadgets of the layout.
constexpr Int32 IDC_PROGRESS_BAR = 10300;
constexpr Int32 IDC_PROGRESS_TEXT = 10301;

class ProgressDialog;

class ProgressThread : public OrxThread
{
public:
  explicit ProgressThread(ProgressDialog* dialog) : dialog_(dialog) {}
  ~ProgressThread() override;
  // Calls dialog->Run(this), then posts PROGRESS_EVENT_DONE to the dialog.
  void Main() override;
  const char* GetThreadName() override { return "Progress Thread"; }
  Bool TestBreak() override;

private:
  ProgressDialog* dialog_;
};

class ProgressDialog : public GeModalDialog
{
public:
  ProgressDialog();
  // Stops the worker and waits for it: Run never outlives the dialog.
  ~ProgressDialog() override;

  // The work, in the ProgressThread.
  virtual Bool Run(ProgressThread* thread) = 0;
  virtual void GetTitle(String& out) = 0;

  // Opens modally when the host has a user interface; without one, starts the thread and waits
  // for it on the caller's thread. Either way the waiting thread serves CallOnMainThread requests
  // and calls onProgress (may be null) about every 100 ms with the progress 0..1. False when the
  // worker could not be started; whether the work succeeded is the derived class's to say.
  Bool Execute(std::function<void(double)> onProgress = {});
  // Any thread.
  void SetProgress(double value) { progress_.store(value, std::memory_order_relaxed); }
  double GetProgress() const { return progress_.load(std::memory_order_relaxed); }
  // The user cancelled (or Cancel() was called).
  Bool TestBreak() const;
  Bool WasCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  // Asks the work to stop without waiting for it; any thread (a signal's flag, a test).
  void RequestCancel() { cancelled_.store(true, std::memory_order_release); }
  // Asks the thread to stop, then waits for it (the cancel button, gadget 2). On the waiting thread.
  void Cancel();
  // Runs fn on the thread that waits in Execute and waits for it; while waiting the worker tests
  // its break, and gives up (false) when cancelled. Called on the waiting thread itself (or with no
  // worker running) it runs fn at once.
  Bool CallOnMainThread(std::function<void()> fn);

  Bool CreateLayout() override;
  Bool InitValues() override;
  void Timer() override;
  Bool Command(Int32 id) override;
  Bool AskClose() override;
  void CoreMessage(Int32 id, Int64 p1, Int64 p2) override;

protected:
  // Stops and waits for the worker; derived destructors call it first, since Run uses their members.
  void StopWork();

private:
  friend class ProgressThread;
  void ServeRequests();
  void Tick();
  void WorkEnded();

  std::atomic<double> progress_{0.0};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> finished_{false};
  std::atomic<Int32> handle_{0};
  std::function<void(double)> onProgress_;
  std::thread::id waiter_;
  Bool started_ = false;
  Bool startFailed_ = false;

  std::mutex requestLock_;
  std::condition_variable requestCv_;
  std::function<void()>* request_ = nullptr; // waiting to be served
  Bool requestTaken_ = false;
  Bool requestDone_ = false;

  ProgressThread thread_;
};

// ++done, progress done/total; false when cancelled.
Bool StepProgress(Int32& done, Int32 total, ProgressDialog* dialog);
