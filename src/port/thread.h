// TThread: the base of the library's two threads (the byte transfer worker and the
// line-event watcher). The thread is created suspended and let run by Start; its
// body is Run. An operation can be handed over to run on the hand-over thread of
// the object: the thread that constructed it, which is the thread that opened the
// port. That thread owns a hidden message-only window of the library's, and a
// hand-over runs only when it retrieves sent messages (a message loop, a peek, a
// message-aware wait).
#pragma once

#include <windows.h>

#include <exception>
#include <functional>

struct HandOverSite;

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
  // Waits until the thread has ended and returns its exit code. On this object's
  // hand-over thread the wait keeps delivering sent messages, so a hand-over under
  // way can finish and let the thread end.
  DWORD WaitForEnd();

  HANDLE ThreadHandle() const { return handle_; }

  // The thread that runs this object's hand-overs while its window lives, 0 once
  // the window has gone (with its thread, or at the library's unload).
  DWORD HandOverThreadId() const;

  // True while the thread holds a hand-over window of the library's.
  static bool HasHandOverWindow(DWORD threadId);

  // When the library is unloaded: no hand-over window may outlive the code of its
  // window procedure.
  static void ReleaseHandOverWindow();

 protected:
  TThread();

  // The thread body.
  virtual void Run() = 0;

  enum class HandOverOutcome { Ran, Dropped };

  // Runs `operation` on the hand-over thread and returns once it has run (Ran). A
  // failure the operation raises is carried back and raised again here. When
  // `giveUp` is signalled while the operation still waits for the hand-over thread,
  // the hand-over waits `graceMs` more and then drops it: it will never run
  // (Dropped). When the hand-over thread has ended (or never had a window), raises
  // HandOverUnavailable.
  HandOverOutcome HandOver(const std::function<void()>& operation, HANDLE giveUp = nullptr,
                           DWORD graceMs = 0);

 private:
  static DWORD WINAPI ThreadStart(LPVOID self);

  HANDLE handle_;
  // The library stays loaded while one of its threads runs: each thread holds a
  // reference and gives it back as it exits.
  HMODULE module_;
  volatile LONG stopRequested_;
  volatile LONG finished_;
  volatile LONG started_;
  volatile LONG skipRun_;  // destroyed without ever being started
  // The window of the thread that constructed this object; counted as one of its
  // users until destruction.
  HandOverSite* site_;
  // Signalled by the hand-over thread when an operation handed over has run. Only
  // this object's own thread hands over, one operation at a time.
  HANDLE ran_;
};

// The failure raised when no hand-over thread is there to run an operation.
class HandOverUnavailable : public std::exception {
 public:
  const char* what() const noexcept override { return "no hand-over thread"; }
};
