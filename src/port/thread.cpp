#include "port/thread.h"

namespace {

constexpr char kWindowClassName[] = "KwelmoraHandOverWindow";
// Private messages of the hand-over window's own class.
constexpr UINT kHandOverMessage = WM_USER + 0x4B1;
constexpr UINT kRemoveWindowMessage = WM_USER + 0x4B2;

// The hand-over window and the thread objects that use it. The window lives on the
// thread that constructed a thread object while there was none (or while the
// previous window's thread had ended). Its removal is asked for, by a posted
// message, when the last thread object goes; it is removed only if no new thread
// object has come since. Guarded by WindowLock.
SRWLOCK WindowLock = SRWLOCK_INIT;
HWND HandOverWindow = nullptr;
DWORD HandOverWindowThread = 0;
LONG LiveThreadObjects = 0;
bool RemovalPending = false;

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

class WindowLockGuard {
 public:
  WindowLockGuard() { AcquireSRWLockExclusive(&WindowLock); }
  ~WindowLockGuard() { ReleaseSRWLockExclusive(&WindowLock); }
  WindowLockGuard(const WindowLockGuard&) = delete;
  WindowLockGuard& operator=(const WindowLockGuard&) = delete;
};

LRESULT CALLBACK HandOverWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A window whose thread has ended is gone with it.
bool WindowAlive() { return HandOverWindow != nullptr && IsWindow(HandOverWindow) != FALSE; }

void CreateHandOverWindow() {
  const HMODULE module = ThisModule();
  WNDCLASSA windowClass{};
  if (!GetClassInfoA(module, kWindowClassName, &windowClass)) {
    windowClass = WNDCLASSA();
    windowClass.lpfnWndProc = HandOverWindowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassA(&windowClass);
  }
  // Message-only: it needs no desktop, and hosts without a display have none.
  HandOverWindow = CreateWindowExA(0, kWindowClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   module, nullptr);
  HandOverWindowThread = HandOverWindow != nullptr ? GetCurrentThreadId() : 0;
  RemovalPending = false;
}

}  // namespace

// Gives the window procedure access to the thread object's private hand-over.
struct HandOverWindowAccess {
  static void Run(TThread* thread) { thread->RunHandedOver(); }
};

namespace {

LRESULT CALLBACK HandOverWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kHandOverMessage) {
    HandOverWindowAccess::Run(reinterpret_cast<TThread*>(wParam));
    return 1;
  }
  if (message == kRemoveWindowMessage) {
    WindowLockGuard guard;
    RemovalPending = false;
    if (LiveThreadObjects == 0 && window == HandOverWindow) {
      DestroyWindow(window);
      HandOverWindow = nullptr;
      HandOverWindowThread = 0;
    }
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

TThread::TThread()
    : handle_(nullptr),
      module_(nullptr),
      stopRequested_(0),
      finished_(0),
      started_(0),
      skipRun_(0) {
  {
    WindowLockGuard guard;
    if (!WindowAlive()) {
      CreateHandOverWindow();
    }
    ++LiveThreadObjects;
  }
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCSTR>(&TThread::ThreadStart), &module_);
  handle_ = CreateThread(nullptr, 0, &TThread::ThreadStart, this, CREATE_SUSPENDED, nullptr);
  if (handle_ == nullptr && module_ != nullptr) {
    FreeLibrary(module_);
    module_ = nullptr;
  }
}

TThread::~TThread() {
  if (handle_ != nullptr) {
    if (InterlockedCompareExchange(&started_, 0, 0) == 0) {
      // Never let run: release it so that it ends without running the body.
      InterlockedExchange(&skipRun_, 1);
      Start();
    }
    if (!Finished()) {
      RequestStop();
    }
    WaitForEnd();
    CloseHandle(handle_);
    handle_ = nullptr;
  }
  WindowLockGuard guard;
  --LiveThreadObjects;
  if (LiveThreadObjects == 0 && !RemovalPending && WindowAlive()) {
    RemovalPending = PostMessageA(HandOverWindow, kRemoveWindowMessage, 0, 0) != FALSE;
  }
}

void TThread::Start() {
  if (handle_ != nullptr && InterlockedExchange(&started_, 1) == 0) {
    ResumeThread(handle_);
  }
}

void TThread::RequestStop() { InterlockedExchange(&stopRequested_, 1); }

bool TThread::StopRequested() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&stopRequested_), 0, 0) != 0;
}

bool TThread::Finished() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&finished_), 0, 0) != 0;
}

DWORD TThread::HandOverThreadId() {
  WindowLockGuard guard;
  return WindowAlive() ? HandOverWindowThread : 0;
}

DWORD TThread::WaitForEnd() {
  if (handle_ == nullptr) {
    return 0;
  }
  if (GetCurrentThreadId() == HandOverThreadId()) {
    // A hand-over under way waits for this thread: keep delivering sent messages
    // until the thread has ended.
    for (;;) {
      const DWORD woken = MsgWaitForMultipleObjects(1, &handle_, FALSE, INFINITE, QS_SENDMESSAGE);
      if (woken != WAIT_OBJECT_0 + 1) {
        break;
      }
      MSG message;
      PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    }
  } else {
    WaitForSingleObject(handle_, INFINITE);
  }
  DWORD exitCode = 0;
  GetExitCodeThread(handle_, &exitCode);
  return exitCode;
}

void TThread::HandOver(const std::function<void()>& operation) {
  pendingOperation_ = operation;
  handOverFailure_ = nullptr;
  HWND window = nullptr;
  {
    WindowLockGuard guard;
    window = WindowAlive() ? HandOverWindow : nullptr;
  }
  // The send returns once the window's thread has run the operation. If that
  // thread has ended, its window went with it and the send fails at once.
  bool delivered = false;
  if (window != nullptr) {
    delivered = SendMessageA(window, kHandOverMessage, reinterpret_cast<WPARAM>(this), 0) != 0;
  }
  pendingOperation_ = nullptr;
  if (!delivered) {
    throw HandOverUnavailable();
  }
  if (handOverFailure_) {
    std::exception_ptr failure = handOverFailure_;
    handOverFailure_ = nullptr;
    std::rethrow_exception(failure);
  }
}

void TThread::RunHandedOver() {
  // On the hand-over thread: a failure goes back to the thread that handed the
  // operation over, never into the window's message handling.
  try {
    if (pendingOperation_) {
      pendingOperation_();
    }
  } catch (...) {
    handOverFailure_ = std::current_exception();
  }
}

DWORD WINAPI TThread::ThreadStart(LPVOID parameter) {
  TThread* self = static_cast<TThread*>(parameter);
  DWORD exitCode = 0;
  if (InterlockedCompareExchange(&self->skipRun_, 0, 0) == 0) {
    try {
      self->Run();
    } catch (...) {
      // A failure carried back from a hand-over, or raised by the body itself,
      // ends the run; the owner sees it in the exit code.
      exitCode = 1;
    }
  }
  InterlockedExchange(&self->finished_, 1);
  // The object stays until the owner has seen the thread end, which is after this.
  HMODULE module = self->module_;
  if (module != nullptr) {
    FreeLibraryAndExitThread(module, exitCode);
  }
  return exitCode;
}

void TThread::ReleaseHandOverWindow() {
  WindowLockGuard guard;
  if (WindowAlive()) {
    if (HandOverWindowThread == GetCurrentThreadId()) {
      DestroyWindow(HandOverWindow);
    } else {
      // Another thread's window cannot be destroyed from here; it keeps only the
      // system's default handling, which needs none of our code.
      SetWindowLongPtrA(HandOverWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcA));
    }
  }
  HandOverWindow = nullptr;
  HandOverWindowThread = 0;
  // The class goes even when its window went before (removed by the message posted
  // at the port's close, which a host's message loop delivers): its window
  // procedure is in this module's code.
  UnregisterClassA(kWindowClassName, ThisModule());
}
