#include "port/transfer_thread.h"

#include "library/last_error.h"
#include "library/library_state.h"
#include "port/comm.h"
#include "port/hand_off.h"
#include "port/serial_io.h"
#include "trace/trace.h"

namespace {

constexpr char kAbsentPort[] = "Port nie jest otwarty, niemożliwa operacja.";

// The messages of one direction of transfer.
struct TransferTexts {
  const char* eventNotCreated;
  const char* wrongCountAtOnce;
  const char* callFailed;
  const char* waitFailed;
  const char* aborted;       // the system ended the pending transfer
  const char* resultFailed;  // any other failure of the pending transfer
  const char* timedOut;      // completed later with a count other than requested
  const char* portClosing;
};

constexpr TransferTexts kWriteTexts{
    "Błąd CreateEvent. ", "Niepoprawny zapis.", "Niepoprawny zapis do portu.",
    "Niepoprawny zapis.", "Niepoprawny zapis.", "Niepoprawny zapis.",
    "Timeout zapisu.",    "Zapis przerwany.",
};

constexpr TransferTexts kReadTexts{
    "Błąd CreateEvent.", "Niepoprawny odczyt.", "Niepoprawny odczyt.", "Niepoprawny odczyt.",
    "Odczyt przerwany",  "Niepoprawny odczyt.", "Timeout odczytu.",    "Odczyt przerwany.",
};

// Ends a transfer that stopped before its own end: the waiting caller is released
// with the failure rather than left waiting for the port to close.
void ReleaseCallerAfterFailure() {
  TransferFailed = true;
  SetEvent(TransferIdleEvent);
}

// One overlapped transfer of `count` bytes on `port`, the same steps for both
// directions. The record, its event and the buffer live until the transfer has
// come back: a wait that ends any other way than by the completion cancels the
// transfer and waits for the driver to give it back.
int32_t Transfer(TComm* port, bool write, uint8_t* buffer, int32_t count) {
  const TransferTexts& texts = write ? kWriteTexts : kReadTexts;
  HANDLE request = write ? WriteRequestEvent : ReadRequestEvent;
  try {
    if (!ResetEvent(request)) {
      RecordLastError("Błąd zamknięcia uchwytu.");
      ReleaseCallerAfterFailure();
      return 0;
    }
    SetLastError(ERROR_SUCCESS);
    int32_t result = 0;
    TransferFailed = true;
    DWORD transferred = 0;
    if (port == nullptr) {
      throw std::exception();
    }
    OVERLAPPED& record = write ? port->WriteOverlapped : port->ReadOverlapped;
    record = OVERLAPPED();
    record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (record.hEvent == nullptr) {
      RecordLastError(texts.eventNotCreated);
      ReleaseCallerAfterFailure();
      return 0;
    }
    HANDLE waitList[2] = {record.hEvent, PortClosingEvent};

    const BOOL done = write ? serial_io::WriteFile(port->Handle, buffer, 1, &transferred, &record)
                            : serial_io::ReadFile(port->Handle, buffer, static_cast<DWORD>(count),
                                                  &transferred, &record);
    if (done) {
      if (transferred != static_cast<DWORD>(count)) {
        RecordLastError(texts.wrongCountAtOnce);
      }
    } else if (GetLastError() == ERROR_IO_PENDING) {
      const DWORD woken = WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
      if (woken == WAIT_OBJECT_0) {
        SetLastError(ERROR_SUCCESS);
        if (!serial_io::GetOverlappedResult(port->Handle, &record, &transferred, TRUE)) {
          const DWORD error = GetLastError();
          RecordError(error == ERROR_OPERATION_ABORTED ? texts.aborted : texts.resultFailed,
                      static_cast<int32_t>(error));
          transferred = 0;
        } else if (transferred != static_cast<DWORD>(count)) {
          RecordLastError(texts.timedOut);
        }
      } else {
        if (woken == WAIT_OBJECT_0 + 1) {
          RecordLastError(texts.portClosing);
        } else {
          RecordLastError(texts.waitFailed);
        }
        // The transfer is still with the driver: take it back before its record and
        // event are released, or its completion would land in them later.
        const DWORD error = GetLastError();
        if (serial_io::CancelIoEx(port->Handle, &record) || GetLastError() == ERROR_NOT_FOUND) {
          serial_io::GetOverlappedResult(port->Handle, &record, &transferred, TRUE);
        }
        SetLastError(error);
        transferred = 0;
      }
    } else {
      RecordLastError(texts.callFailed);
      transferred = 0;
    }

    if (!CloseHandle(record.hEvent)) {
      RecordLastError("Błąd zamknięcia uchwytu.");
    }
    record.hEvent = nullptr;
    TransferFailed = transferred == 0;
    TraceTransfer(write, *buffer, transferred);
    result = static_cast<int32_t>(transferred);
    if (!SetEvent(TransferIdleEvent)) {
      RecordLastError("Błąd podczas anulacji zdarzenia.");
      result = 0;
    }
    return result;
  } catch (...) {
    RecordError(kAbsentPort, -1);
    ReleaseCallerAfterFailure();
    return 0;
  }
}

}  // namespace

int32_t PortWriteByte(TComm* port, const uint8_t* data) {
  return Transfer(port, true, const_cast<uint8_t*>(data), 1);
}

int32_t PortReadBytes(TComm* port, uint8_t* buffer, int32_t count) {
  return Transfer(port, false, buffer, count);
}

TZapisOdczytThread::TZapisOdczytThread() : StopEvent(nullptr), ready_(nullptr) {
  SetLastError(ERROR_SUCCESS);
  // The previous worker's hand-off events: nobody can wait on them any more (the
  // port's host thread is here, opening the port), so they go once ours exist.
  HANDLE previous[3] = {TransferIdleEvent, WriteRequestEvent, ReadRequestEvent};
  ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetThreadPriority(ThreadHandle(), THREAD_PRIORITY_TIME_CRITICAL);
  Start();
  const HANDLE thread = ThreadHandle();
  if (thread == nullptr) {
    // No worker: the hand-off events are taken away, so that a caller's wait fails
    // at once instead of waiting on the previous worker's events until the close.
    TransferIdleEvent = nullptr;
    WriteRequestEvent = nullptr;
    ReadRequestEvent = nullptr;
  } else if (ready_ != nullptr) {
    HANDLE readyOrEnded[2] = {ready_, thread};
    WaitForMultipleObjects(2, readyOrEnded, FALSE, INFINITE);
  } else {
    // Without the signal, watch for the run to publish its events (or end).
    while (!Finished() && ReadRequestEvent == previous[2] && TransferIdleEvent == previous[0]) {
      Sleep(1);
    }
  }
  for (HANDLE handle : previous) {
    if (handle != nullptr && handle != TransferIdleEvent && handle != WriteRequestEvent &&
        handle != ReadRequestEvent) {
      CloseHandle(handle);
    }
  }
}

TZapisOdczytThread::~TZapisOdczytThread() {
  SetLastError(ERROR_SUCCESS);
  if (!Finished()) {
    StopTransfers();
    WaitForEnd();
  }
  if (StopEvent != nullptr) {
    CloseHandle(StopEvent);
    StopEvent = nullptr;
  }
  if (ready_ != nullptr) {
    CloseHandle(ready_);
    ready_ = nullptr;
  }
}

void TZapisOdczytThread::StopTransfers() {
  SetLastError(ERROR_SUCCESS);
  SetEvent(StopEvent);
  RequestStop();
}

void TZapisOdczytThread::WriteOne() { PortWriteByte(CommSlots[ActiveSlot], &OutByte); }

void TZapisOdczytThread::ReadOne() { PortReadBytes(CommSlots[ActiveSlot], &InByte, 1); }

void TZapisOdczytThread::Run() {
  SetLastError(ERROR_SUCCESS);
  HANDLE idle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE stop = idle != nullptr ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
  HANDLE writeRequest = stop != nullptr ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
  HANDLE readRequest =
      writeRequest != nullptr ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (readRequest == nullptr) {
    RecordLastError("Błąd CreateEvent. ");
    // Without a worker no request can be served: the hand-off events are taken
    // away, so a caller's wait fails at once instead of waiting for the port's
    // close. Only the opening thread reads them now; it waits for `ready_`.
    for (HANDLE handle : {idle, stop, writeRequest}) {
      if (handle != nullptr) {
        CloseHandle(handle);
      }
    }
    TransferIdleEvent = nullptr;
    WriteRequestEvent = nullptr;
    ReadRequestEvent = nullptr;
    SetEvent(ready_);
    return;
  }
  TransferIdleEvent = idle;
  StopEvent = stop;
  WriteRequestEvent = writeRequest;
  ReadRequestEvent = readRequest;
  SetEvent(ready_);

  // A stop wins over a pending request: the lowest signalled index is reported.
  HANDLE waitList[3] = {stop, writeRequest, readRequest};
  for (;;) {
    const DWORD woken = WaitForMultipleObjects(3, waitList, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) {
      ResetEvent(TransferIdleEvent);
      WriteOne();
    } else if (woken == WAIT_OBJECT_0 + 2) {
      ResetEvent(TransferIdleEvent);
      ReadOne();
    } else {
      return;  // the stop, or a failed wait
    }
    if (StopRequested()) {
      return;
    }
  }
}
