#include "port/thread.h"

#include <new>

// Hand-overs. Each thread that constructs thread objects (the thread that opens the
// port) owns one message-only window of the library's, its hand-over site; a thread
// object hands its operations over to the site of the thread that constructed it,
// so every opening's line events go to the opening's own thread, whichever thread
// opened the port before.
//
// An operation is handed over with a ticket sent to the site's window as a
// notification (SendNotifyMessage: a sent message that does not block the sender).
// The hand-over thread runs it when it retrieves sent messages; the sender waits
// for that, for the site's thread to end, or for its give-up event. The ticket is
// shared by the sender and the message, and its state decides, by one atomic
// exchange, whether the operation runs or is dropped: a message that arrives after
// its sender gave up finds the ticket dropped and runs nothing.
//
// The sites form a list guarded by WindowLock. A site stays while thread objects
// use it; when the last one goes, the window's removal is asked for by a posted
// message, and it is removed only if no new thread object has come since. A site
// whose thread has ended lost its window with the thread.

struct HandOverSite {
  HWND window = nullptr;
  DWORD threadId = 0;
  HANDLE thread = nullptr;  // SYNCHRONIZE: a hand-over also waits for the thread's end
  LONG users = 0;           // thread objects bound to the site
  bool removalPending = false;
  HandOverSite* next = nullptr;
};

namespace {

constexpr char kWindowClassName[] = "KwelmoraHandOverWindow";
// Private messages of the hand-over window's own class.
constexpr UINT kHandOverMessage = WM_USER + 0x4B1;
constexpr UINT kRemoveWindowMessage = WM_USER + 0x4B2;

SRWLOCK WindowLock = SRWLOCK_INIT;
HandOverSite* Sites = nullptr;

// A hand-over on its way. Two references: the sender's and the message's.
struct HandOverTicket {
  enum : LONG { kWaiting, kRunning, kRan, kDropped };
  volatile LONG references = 2;
  volatile LONG state = kWaiting;
  const std::function<void()>* operation = nullptr;  // the sender's, while it waits
  HANDLE ran = nullptr;                              // the sender's event
  std::exception_ptr failure;
};

void ReleaseTicket(HandOverTicket* ticket) {
  if (InterlockedDecrement(&ticket->references) == 0) {
    delete ticket;
  }
}

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
bool WindowAlive(const HandOverSite* site) {
  return site->window != nullptr && IsWindow(site->window) != FALSE;
}

void Unlink(HandOverSite* site) {
  for (HandOverSite** link = &Sites; *link != nullptr; link = &(*link)->next) {
    if (*link == site) {
      *link = site->next;
      break;
    }
  }
  if (site->thread != nullptr) {
    CloseHandle(site->thread);
  }
  delete site;
}

// Sites nobody uses whose window went with its thread. Under WindowLock.
void ForgetDeadSites() {
  HandOverSite* site = Sites;
  while (site != nullptr) {
    HandOverSite* next = site->next;
    if (site->users == 0 && !WindowAlive(site)) {
      Unlink(site);
    }
    site = next;
  }
}

// The calling thread's site, made when it has none. Under WindowLock. Null when
// the window cannot be made; then hand-overs of the objects bound to it fail.
HandOverSite* SiteOfThisThread() {
  const DWORD self = GetCurrentThreadId();
  for (HandOverSite* site = Sites; site != nullptr; site = site->next) {
    if (site->threadId == self && WindowAlive(site)) {
      return site;
    }
  }
  HandOverSite* site = new HandOverSite();
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
  site->window = CreateWindowExA(0, kWindowClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 module, nullptr);
  site->threadId = self;
  if (site->window == nullptr ||
      !DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &site->thread,
                       SYNCHRONIZE, FALSE, 0)) {
    if (site->window != nullptr) {
      DestroyWindow(site->window);
    }
    delete site;
    return nullptr;
  }
  site->next = Sites;
  Sites = site;
  return site;
}

void RunTicket(HandOverTicket* ticket) {
  // Runs the operation only if its sender still waits for it; a failure goes back
  // to the sender, never into the window's message handling.
  if (InterlockedCompareExchange(&ticket->state, HandOverTicket::kRunning,
                                 HandOverTicket::kWaiting) == HandOverTicket::kWaiting) {
    try {
      (*ticket->operation)();
    } catch (...) {
      ticket->failure = std::current_exception();
    }
    const HANDLE ran = ticket->ran;
    InterlockedExchange(&ticket->state, HandOverTicket::kRan);
    SetEvent(ran);
  }
  ReleaseTicket(ticket);
}

LRESULT CALLBACK HandOverWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kHandOverMessage) {
    RunTicket(reinterpret_cast<HandOverTicket*>(wParam));
    return 1;
  }
  if (message == kRemoveWindowMessage) {
    WindowLockGuard guard;
    for (HandOverSite* site = Sites; site != nullptr; site = site->next) {
      if (site->window == window) {
        site->removalPending = false;
        if (site->users == 0) {
          DestroyWindow(window);
          Unlink(site);
        }
        break;
      }
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
      skipRun_(0),
      site_(nullptr),
      ran_(nullptr) {
  {
    WindowLockGuard guard;
    ForgetDeadSites();
    site_ = SiteOfThisThread();  // may throw std::bad_alloc: nothing made yet
    if (site_ != nullptr) {
      ++site_->users;
    }
  }
  ran_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
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
  if (ran_ != nullptr) {
    CloseHandle(ran_);
    ran_ = nullptr;
  }
  if (site_ == nullptr) {
    return;
  }
  WindowLockGuard guard;
  --site_->users;
  if (site_->users == 0) {
    if (!WindowAlive(site_)) {
      Unlink(site_);
    } else if (!site_->removalPending) {
      site_->removalPending = PostMessageA(site_->window, kRemoveWindowMessage, 0, 0) != FALSE;
    }
  }
  site_ = nullptr;
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

DWORD TThread::HandOverThreadId() const {
  WindowLockGuard guard;
  return site_ != nullptr && WindowAlive(site_) ? site_->threadId : 0;
}

bool TThread::HasHandOverWindow(DWORD threadId) {
  WindowLockGuard guard;
  for (HandOverSite* site = Sites; site != nullptr; site = site->next) {
    if (site->threadId == threadId && WindowAlive(site)) {
      return true;
    }
  }
  return false;
}

DWORD TThread::WaitForEnd() {
  if (handle_ == nullptr) {
    return 0;
  }
  // The site's thread never changes, so it is read without the lock.
  if (site_ != nullptr && GetCurrentThreadId() == site_->threadId) {
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

TThread::HandOverOutcome TThread::HandOver(const std::function<void()>& operation, HANDLE giveUp,
                                           DWORD graceMs) {
  HWND window = nullptr;
  HANDLE siteThread = nullptr;
  {
    WindowLockGuard guard;
    if (site_ != nullptr && WindowAlive(site_)) {
      window = site_->window;
      siteThread = site_->thread;  // closed only when the site goes, after this object
    }
  }
  if (window == nullptr || ran_ == nullptr) {
    throw HandOverUnavailable();
  }
  ResetEvent(ran_);
  HandOverTicket* ticket = new HandOverTicket();
  ticket->operation = &operation;
  ticket->ran = ran_;
  if (!SendNotifyMessageA(window, kHandOverMessage, reinterpret_cast<WPARAM>(ticket), 0)) {
    delete ticket;  // never queued: only this reference is left
    throw HandOverUnavailable();
  }

  // [ran, the hand-over thread's end, give up]: the operation having run wins.
  HANDLE waitList[3] = {ran_, siteThread, giveUp};
  const DWORD count = giveUp != nullptr ? 3 : 2;
  DWORD woken = WaitForMultipleObjects(count, waitList, FALSE, INFINITE);
  if (woken == WAIT_OBJECT_0 + 2) {
    // Giving up: a last chance for the hand-over thread to take it.
    woken = WaitForMultipleObjects(2, waitList, FALSE, graceMs);
  }
  if (woken != WAIT_OBJECT_0) {
    if (InterlockedCompareExchange(&ticket->state, HandOverTicket::kDropped,
                                   HandOverTicket::kWaiting) == HandOverTicket::kWaiting) {
      const bool threadEnded = woken == WAIT_OBJECT_0 + 1 || woken == WAIT_FAILED;
      if (woken == WAIT_OBJECT_0 + 1) {
        // The message went with the thread's queue: nobody else will release it.
        ReleaseTicket(ticket);
      }
      ReleaseTicket(ticket);
      if (threadEnded) {
        throw HandOverUnavailable();
      }
      return HandOverOutcome::Dropped;
    }
    // It is running on the hand-over thread right now: let it finish.
    WaitForSingleObject(ran_, INFINITE);
  }
  std::exception_ptr failure = ticket->failure;
  ReleaseTicket(ticket);
  if (failure) {
    std::rethrow_exception(failure);
  }
  return HandOverOutcome::Ran;
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
  const DWORD self = GetCurrentThreadId();
  HandOverSite* site = Sites;
  while (site != nullptr) {
    HandOverSite* next = site->next;
    if (WindowAlive(site)) {
      if (site->threadId == self) {
        DestroyWindow(site->window);
      } else {
        // Another thread's window cannot be destroyed from here; it keeps only the
        // system's default handling, which needs none of our code.
        SetWindowLongPtrA(site->window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DefWindowProcA));
      }
    }
    site->window = nullptr;
    if (site->users == 0) {
      Unlink(site);
    }
    site = next;
  }
  // The class goes even when its windows went before (removed by the message
  // posted at the port's close, which a host's message loop delivers): its window
  // procedure is in this module's code.
  UnregisterClassA(kWindowClassName, ThisModule());
}
