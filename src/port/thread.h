// TThread: the base of the library's two threads (the byte transfer worker and the
// line-event watcher). The thread is created suspended and let run by Start; its
// body is Run. An operation can be handed over to run on the hand-over thread, the
// thread that owns the library's hidden message-only window: the thread that
// opened the port first. A hand-over runs only when that thread retrieves sent
// messages (a message loop, a peek, a message-aware wait).
#pragma once

#include <windows.h>

#include <exception>
#include <functional>

class TThread {
 public:
  virtual ~TThread();

  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Lets the suspended thread run.
  void Start();
  // Asks the body to end; wakes nothing by itself.
  void RequestStop();
  bool StopRequested() const;
  // True once the body has returned.
  bool Finished() const;
  // Waits until the thread has ended and returns its exit code. On the hand-over
  // thread the wait keeps delivering sent messages, so a hand-over under way can
  // finish and let the thread end.
  DWORD WaitForEnd();

  HANDLE ThreadHandle() const { return handle_; }

  // The thread that runs hand-overs, or 0 while there is no hand-over window.
  static DWORD HandOverThreadId();

  // When the library is unloaded: the hand-over window must not outlive the code
  // of its window procedure.
  static void ReleaseHandOverWindow();

 protected:
  TThread();

  // The thread body.
  virtual void Run() = 0;

  // Runs `operation` on the hand-over thread and returns when it has run. A failure
  // the operation raises is carried back and raised again here. When there is no
  // hand-over thread any more (it has ended), the hand-over fails the same way.
  void HandOver(const std::function<void()>& operation);

 private:
  friend struct HandOverWindowAccess;

  static DWORD WINAPI ThreadStart(LPVOID self);
  // Runs the pending hand-over on the window's thread.
  void RunHandedOver();

  HANDLE handle_;
  // The library stays loaded while one of its threads runs: each thread holds a
  // reference and gives it back as it exits.
  HMODULE module_;
  volatile LONG stopRequested_;
  volatile LONG finished_;
  volatile LONG started_;
  volatile LONG skipRun_;  // destroyed without ever being started
  std::function<void()> pendingOperation_;
  std::exception_ptr handOverFailure_;
};

// The failure raised when no hand-over thread is there to run an operation.
class HandOverUnavailable : public std::exception {
 public:
  const char* what() const noexcept override { return "no hand-over thread"; }
};
