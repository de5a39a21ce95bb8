#include "port/comm_event_thread.h"

#include "library/last_error.h"
#include "port/comm.h"
#include "port/serial_io.h"
#include "trace/trace.h"

namespace {

// How long a close waits for the opening thread to take a hand-over under way
// before it drops it: a thread that retrieves its messages takes it at once.
constexpr DWORD kHandOverGraceMs = 2000;
// The pause before handing a line error over again when the port still refuses
// the watcher's wait right after the last one was handled.
constexpr DWORD kRefusedAgainPauseMs = 50;

// Raises the process to the real-time class for as long as the port is open, so
// that the worker and the watcher answer the line at once. The class it had is
// saved for the port's close.
void RaiseProcessPriority() {
  const DWORD processId = GetCurrentProcessId();
  HANDLE query = OpenProcess(PROCESS_QUERY_INFORMATION, TRUE, processId);
  if (query == nullptr) {
    RecordErrorCode(static_cast<int32_t>(GetLastError()));
  }
  SavedPriorityClass = query != nullptr ? GetPriorityClass(query) : 0;
  if (query != nullptr) {
    CloseHandle(query);
  }
  if (SavedPriorityClass != REALTIME_PRIORITY_CLASS) {
    HANDLE set = OpenProcess(PROCESS_SET_INFORMATION, TRUE, processId);
    if (set != nullptr) {
      SetPriorityClass(set, REALTIME_PRIORITY_CLASS);
      CloseHandle(set);
    }
  }
}

}  // namespace

DWORD CommMaskOf(uint16_t events) {
  DWORD mask = 0;
  for (unsigned i = 0; i < 9; ++i) {
    if ((events & (1u << i)) != 0) {
      mask |= CommEventMasks[i];
    }
  }
  return mask;
}

TZdarzeniaCommThread::TZdarzeniaCommThread(HANDLE portHandle, uint16_t events)
    : PortHandle(nullptr), EventMask(0), StopEvent(nullptr), handlerLock_(SRWLOCK_INIT) {
  SetLastError(ERROR_SUCCESS);
  RaiseProcessPriority();
  PortHandle = portHandle;
  // The stop event exists before the thread runs, so a stop that comes before the
  // first wait still ends the watcher.
  StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetThreadPriority(ThreadHandle(), THREAD_PRIORITY_TIME_CRITICAL);
  serial_io::SetCommMask(PortHandle, CommMaskOf(events));
  Start();
}

TZdarzeniaCommThread::~TZdarzeniaCommThread() {
  SetLastError(ERROR_SUCCESS);
  // The owner has waited for the thread's end; make sure of it before the stop
  // event goes, should it not have.
  if (!Finished()) {
    StopWatching();
    WaitForEnd();
  }
  if (StopEvent != nullptr) {
    CloseHandle(StopEvent);
    StopEvent = nullptr;
  }
}

void TZdarzeniaCommThread::StopWatching() {
  SetLastError(ERROR_SUCCESS);
  // The event wakes the wait; the flag is read after a wait or a hand-over.
  SetEvent(StopEvent);
  RequestStop();
}

void TZdarzeniaCommThread::SetOnCommEvent(CommEventHandler handler) {
  AcquireSRWLockExclusive(&handlerLock_);
  onCommEvent_ = std::move(handler);
  ReleaseSRWLockExclusive(&handlerLock_);
}

void TZdarzeniaCommThread::CallEventHandler() {
  AcquireSRWLockShared(&handlerLock_);
  CommEventHandler handler = onCommEvent_;
  ReleaseSRWLockShared(&handlerLock_);
  if (handler) {
    handler(this, EventMask);
  }
}

bool TZdarzeniaCommThread::HandOverEvent() {
  TraceCommEvent(EventMask);
  // A close while the opening thread does not retrieve its messages (it may be
  // alive and busy elsewhere, or waiting for something else) gives up on the
  // hand-over after a grace period, so that the close returns.
  bool dropped = false;
  try {
    dropped = HandOver([this] { CallEventHandler(); }, StopEvent, kHandOverGraceMs) ==
              HandOverOutcome::Dropped;
  } catch (...) {
    return false;  // a failure carried back, or no hand-over thread: the watch ends
  }
  if (dropped) {
    RecordError("Nie przekazano zdarzenia portu.", ERROR_TIMEOUT);
    return false;
  }
  return !StopRequested();
}

void TZdarzeniaCommThread::Run() {
  SetLastError(ERROR_SUCCESS);
  // The wait's record and the mask it completes into live until the driver has
  // given the wait back: a wait still pending when they are released would write
  // into freed memory. See the end of this function.
  OVERLAPPED record{};
  record.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (record.hEvent == nullptr || StopEvent == nullptr) {
    if (record.hEvent != nullptr) {
      CloseHandle(record.hEvent);
    }
    return;
  }
  HANDLE waitList[2] = {StopEvent, record.hEvent};  // a stop wins over an event
  bool waitOutstanding = false;
  bool refusedLastTime = false;

  for (;;) {
    if (serial_io::WaitCommEvent(PortHandle, &EventMask, &record)) {
      waitOutstanding = true;  // completed at once: the record's event is set
    } else if (GetLastError() == ERROR_IO_PENDING) {
      waitOutstanding = true;
    } else if (GetLastError() == ERROR_OPERATION_ABORTED) {
      // A line error landed after the handler last cleared the port's error state
      // (between its ClearCommError and this wait, say): with fAbortOnError the
      // driver refuses every request until ClearCommError. Only the handler clears
      // it, on the opening thread, so the error goes there as the EV_ERR it is.
      // Refused again right after such a hand-over (the error cannot be cleared),
      // the watcher pauses before the next one instead of spinning.
      if (refusedLastTime && WaitForSingleObject(StopEvent, kRefusedAgainPauseMs) != WAIT_TIMEOUT) {
        break;
      }
      refusedLastTime = true;
      EventMask = EV_ERR;
      if (!HandOverEvent()) {
        break;
      }
      continue;
    } else {
      // The port refuses to wait (closed under us, or it cannot watch its lines):
      // the record's event would never tell us anything, so the watch ends here
      // rather than spinning on a stale completion.
      break;
    }
    refusedLastTime = false;

    const DWORD woken = WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) {
      break;
    }
    if (woken != WAIT_OBJECT_0 + 1) {
      break;  // a failed wait would fail again at once
    }
    DWORD count = 0;
    const BOOL completed = serial_io::GetOverlappedResult(PortHandle, &record, &count, FALSE);
    waitOutstanding = false;
    if (!completed) {
      break;
    }
    // The next wait is armed only after the hand-over has returned, so EventMask
    // holds still while the handler reads it.
    if (!HandOverEvent()) {
      break;
    }
  }

  if (waitOutstanding) {
    // Cancel the wait and let the driver give it back before the record and the
    // mask are released. "Not found" means it completed meanwhile; its completion
    // is then already on its way and the wait below returns with it. Any other
    // refusal means the handle no longer has the wait (it was closed, which gives
    // back everything pending on it).
    // A new comm mask completes a pending wait on every driver; some (Wine's)
    // do not cancel a comm-event wait any other way. After a line error the
    // driver refuses the new mask, but CancelIoEx is no request to it and works.
    DWORD count = 0;
    serial_io::SetCommMask(PortHandle, 0);
    if (serial_io::CancelIoEx(PortHandle, &record) || GetLastError() == ERROR_NOT_FOUND) {
      serial_io::GetOverlappedResult(PortHandle, &record, &count, TRUE);
    }
  }
  serial_io::PurgeComm(PortHandle, serial_io::kPurgeAll);
  CloseHandle(record.hEvent);
}
