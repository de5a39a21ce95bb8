// Overlapped reads, writes and comm-event waits of the virtual serial driver, and
// the calls that end them early (purge, cancel, ClearCommError's abort state).
//
// As on Windows: a request that completes at once answers TRUE and still fills the
// OVERLAPPED and signals its event; one that cannot answers ERROR_IO_PENDING with
// OVERLAPPED.Internal at STATUS_PENDING; its completion stores the NTSTATUS in
// Internal and the count in InternalHigh, then signals the event (SetEvent on the
// caller's real event). A request the driver refuses at once leaves the OVERLAPPED
// as the system marked it before passing it on: Internal at STATUS_PENDING, event
// reset.
#include <algorithm>
#include <cstring>

#include "nt_status.h"
#include "virtual_port.h"
#include "virtual_serial.h"

namespace sim {

namespace {

// Every event bit a serial port knows (EV_RXCHAR up to EV_EVENT2).
constexpr DWORD kValidEvents = 0x1FFF;
constexpr DWORD kValidPurge = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Time-outs beyond this many milliseconds (a MAXDWORD multiplier, say) never expire.
constexpr double kLongestTimeoutMs = 1e11;

// kernel32 marks the record in flight before the request reaches the driver, and
// the I/O manager resets the event.
void MarkInFlight(OVERLAPPED* overlapped) {
  overlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
  HANDLE event = EventOf(overlapped);
  if (event != nullptr) {
    ResetEvent(event);
  }
}

LONG StatusIn(const OVERLAPPED* overlapped) {
  return static_cast<LONG>(static_cast<DWORD>(overlapped->Internal));
}

// What the system does when a request completes: status and count into the
// caller's record, then its event.
void StoreOutcome(OVERLAPPED* overlapped, LONG status, DWORD count) {
  overlapped->InternalHigh = count;
  overlapped->Internal = static_cast<ULONG_PTR>(static_cast<DWORD>(status));
  HANDLE event = EventOf(overlapped);
  if (event != nullptr) {
    SetEvent(event);
  }
}

}  // namespace

VirtualSerialDriver::Issuer::Issuer(DWORD id) : threadId(id) {
  // Only the thread itself can name its pseudo-handle, so the issuing thread
  // builds its own record.
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                       SYNCHRONIZE, FALSE, 0)) {
    thread = nullptr;
  }
}

VirtualSerialDriver::Issuer::~Issuer() {
  if (thread != nullptr) {
    ::CloseHandle(thread);
  }
}

bool VirtualSerialDriver::Issuer::Ended() {
  if (!ended && thread != nullptr) {
    ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
  }
  return ended;
}

std::shared_ptr<VirtualSerialDriver::Issuer> VirtualSerialDriver::IssuerOfThisThread() {
  const DWORD id = GetCurrentThreadId();
  auto found = issuers_.find(id);
  if (found != issuers_.end()) {
    return found->second;
  }
  auto issuer = std::make_shared<Issuer>(id);
  issuers_[id] = issuer;
  return issuer;
}

VirtualSerialDriver::Operation& VirtualSerialDriver::AddOperation(Port& port, IoKind kind,
                                                                  HANDLE file,
                                                                  LPOVERLAPPED overlapped) {
  auto operation = std::make_unique<Operation>();
  operation->kind = kind;
  operation->handle = reinterpret_cast<uintptr_t>(file);
  operation->overlapped = overlapped;
  operation->issuer = IssuerOfThisThread();
  ++operation->issuer->pending;
  port.operations.push_back(std::move(operation));
  // The clock thread watches the issuing threads; a new one joins its wait.
  WakeClock();
  return *port.operations.back();
}

namespace {

// The current read or write of a port: the first one issued and still pending.
// Forced completions stand outside the queue.
template <typename Operations>
auto CurrentOf(Operations& operations, IoKind kind) -> decltype(operations.front().get()) {
  for (auto& operation : operations) {
    if (operation->kind == kind && !operation->forced) {
      return operation.get();
    }
  }
  return nullptr;
}

}  // namespace

void VirtualSerialDriver::Complete(Port& port, Operation* operation, LONG status, DWORD count,
                                   DWORD mask) {
  auto found = std::find_if(port.operations.begin(), port.operations.end(),
                            [&](const auto& entry) { return entry.get() == operation; });
  if (found == port.operations.end()) {
    return;
  }
  std::unique_ptr<Operation> done = std::move(*found);
  port.operations.erase(found);
  --done->issuer->pending;
  // The next read or write in the queue becomes the current one; the clock thread
  // starts it and its time-outs.
  if (done->kind != IoKind::CommWait) {
    WakeClock();
  }
  // The thread that issued the request has ended: Windows cancels such I/O and
  // writes the cancellation into a record that may no longer exist. Here nothing
  // is written and nothing signalled; the completion is only counted.
  if (done->issuer->Ended()) {
    ++strays_;
    return;
  }
  OVERLAPPED* overlapped = done->overlapped;
  const bool success = IsNtSuccess(status);
  port.timedOut += status == kStatusTimeout ? 1 : 0;
  switch (done->kind) {
    case IoKind::Read:
      // Buffered I/O: the caller's buffer receives the bytes at completion, and
      // only when the read succeeded.
      if (success) {
        const size_t copied = std::min<size_t>({count, done->data.size(), done->length});
        if (copied > 0) {
          std::memcpy(done->buffer, done->data.data(), copied);
        }
        port.bytesRead += static_cast<unsigned>(copied);
      }
      break;
    case IoKind::CommWait:
      if (success) {
        *done->mask = mask;
        count = sizeof(DWORD);
      } else {
        count = 0;
      }
      break;
    case IoKind::Write:
    case IoKind::Count:
      break;
  }
  StoreOutcome(overlapped, status, count);
}

void VirtualSerialDriver::CompleteAll(Port& port, IoKind kind, LONG status) {
  for (auto it = port.operations.begin(); it != port.operations.end();) {
    Operation* operation = (it++)->get();
    if (operation->kind == kind) {
      Complete(port, operation, status, 0);
    }
  }
}

void VirtualSerialDriver::AbortOnError(Port& port) {
  // fAbortOnError: a line error ends every read and write under way.
  if (port.dcb.fAbortOnError && port.errors != 0) {
    CompleteAll(port, IoKind::Read, kStatusCancelled);
    CompleteAll(port, IoKind::Write, kStatusCancelled);
  }
}

void VirtualSerialDriver::SweepEndedThreads() {
  for (auto& entry : ports_) {
    Port& port = *entry.second;
    for (auto it = port.operations.begin(); it != port.operations.end();) {
      Operation* operation = (it++)->get();
      if (operation->issuer->Ended()) {
        Complete(port, operation, kStatusCancelled, 0);
      }
    }
  }
  for (auto it = issuers_.begin(); it != issuers_.end();) {
    it = it->second->pending == 0 && it->second->Ended() ? issuers_.erase(it) : std::next(it);
  }
}

void VirtualSerialDriver::AdvanceReads(Port& port) {
  const TimePoint now = Clock::now();
  for (;;) {
    Operation* read = CurrentOf(port.operations, IoKind::Read);
    if (read == nullptr) {
      return;
    }
    if (!read->started) {
      // The time-outs in force when the read becomes the current one apply to it.
      const COMMTIMEOUTS& timeouts = port.timeouts;
      read->started = true;
      const bool returnsAtOnce = timeouts.ReadIntervalTimeout == MAXDWORD &&
                                 timeouts.ReadTotalTimeoutMultiplier == 0 &&
                                 timeouts.ReadTotalTimeoutConstant == 0;
      read->endsOnAnyByte = timeouts.ReadIntervalTimeout == MAXDWORD &&
                            timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
                            timeouts.ReadTotalTimeoutConstant > 0 &&
                            timeouts.ReadTotalTimeoutConstant < MAXDWORD;
      read->intervalUsed =
          timeouts.ReadIntervalTimeout != 0 && timeouts.ReadIntervalTimeout != MAXDWORD;
      read->interval = Scaled(timeouts.ReadIntervalTimeout * 1000.0);
      const double totalMs =
          read->endsOnAnyByte
              ? timeouts.ReadTotalTimeoutConstant
              : static_cast<double>(timeouts.ReadTotalTimeoutMultiplier) * read->length +
                    timeouts.ReadTotalTimeoutConstant;
      if (totalMs > 0 && totalMs < kLongestTimeoutMs) {
        read->totalDeadline = now + Scaled(totalMs * 1000.0);
        WakeClock();
      }
      if (returnsAtOnce) {
        while (read->data.size() < read->length && !port.input.empty()) {
          read->data.push_back(port.input.front());
          port.input.pop_front();
        }
        Complete(port, read, kStatusSuccess, static_cast<DWORD>(read->data.size()));
        continue;
      }
    }
    bool took = false;
    while (read->data.size() < read->length && !port.input.empty()) {
      read->data.push_back(port.input.front());
      port.input.pop_front();
      took = true;
    }
    const DWORD count = static_cast<DWORD>(read->data.size());
    if (count == read->length || (took && read->endsOnAnyByte)) {
      Complete(port, read, kStatusSuccess, count);
      continue;
    }
    // The interval time-out runs from the last character received.
    if (took && read->intervalUsed) {
      read->intervalDeadline = now + read->interval;
      WakeClock();
    }
    if (now >= read->totalDeadline || now >= read->intervalDeadline) {
      // A read ended by its time-out succeeds, with the bytes it got.
      Complete(port, read, kStatusTimeout, count);
      continue;
    }
    return;
  }
}

bool VirtualSerialDriver::TransmitterHeld(const Port& port) const {
  return port.outputHeld || port.breakSet || port.xoffHold ||
         (port.dcb.fOutxCtsFlow && !port.lines.cts) || (port.dcb.fOutxDsrFlow && !port.lines.dsr);
}

DWORD VirtualSerialDriver::OutQueued(const Port& port) const {
  DWORD queued = 0;
  for (const auto& operation : port.operations) {
    if (operation->kind == IoKind::Write && !operation->forced) {
      queued += static_cast<DWORD>(operation->length - operation->sent);
    }
  }
  return queued;
}

void VirtualSerialDriver::Transmit(Port& port, Operation& write, size_t count) {
  // A character leaves framed with the parity the port had when it was written;
  // with nothing plugged in it goes nowhere.
  for (size_t i = 0; i < count && write.sent < write.data.size(); ++i) {
    const uint8_t value = write.data[write.sent++];
    ++port.bytesWritten;
    if (port.farEnd != nullptr && !port.removed) {
      ToFarEnd item;
      item.kind = ToFarEnd::Kind::Character;
      item.target = port.farEnd;
      item.value = value;
      item.parity = write.parity;
      port.toFarEnd.push_back(item);
    }
  }
}

void VirtualSerialDriver::AdvanceWrites(Port& port) {
  const TimePoint now = Clock::now();
  for (;;) {
    Operation* write = CurrentOf(port.operations, IoKind::Write);
    if (write == nullptr) {
      return;
    }
    if (!write->started) {
      // The write time-out runs from the moment the write becomes the current one.
      write->started = true;
      const double totalMs =
          static_cast<double>(port.timeouts.WriteTotalTimeoutMultiplier) * write->length +
          port.timeouts.WriteTotalTimeoutConstant;
      if (totalMs > 0 && totalMs < kLongestTimeoutMs) {
        write->totalDeadline = now + Scaled(totalMs * 1000.0);
      }
    }
    if (TransmitterHeld(port)) {
      // A held line starts the next character afresh when it is let go.
      write->nextCharacterDone = kNever;
    } else if (port.writeCompletion == WriteCompletion::Paced) {
      const Clock::duration character =
          Scaled(static_cast<double>(CharacterTime(port.dcb.BaudRate).count()));
      if (write->nextCharacterDone == kNever) {
        write->nextCharacterDone = now + character;
      }
      while (write->sent < write->length && write->nextCharacterDone <= now) {
        Transmit(port, *write, 1);
        write->nextCharacterDone += character;
      }
    } else {
      Transmit(port, *write, write->length - write->sent);
    }
    const DWORD sent = static_cast<DWORD>(write->sent);
    if (sent == write->length) {
      Complete(port, write, kStatusSuccess, sent);
    } else if (now >= write->totalDeadline) {
      // A write ended by its time-out succeeds with the bytes that left; the rest
      // never go.
      Complete(port, write, kStatusTimeout, sent);
    } else {
      return;
    }
    if (CurrentOf(port.operations, IoKind::Write) == nullptr) {
      Signal(port, EV_TXEMPTY);
    }
  }
}

void VirtualSerialDriver::AdvanceForced(Port& port) {
  for (auto it = port.operations.begin(); it != port.operations.end();) {
    Operation* operation = (it++)->get();
    if (!operation->forced) {
      continue;
    }
    const DWORD count = operation->forcedCount;
    if (IsNtSuccess(operation->forcedStatus)) {
      if (operation->kind == IoKind::Read) {
        while (operation->data.size() < std::min(count, operation->length) && !port.input.empty()) {
          operation->data.push_back(port.input.front());
          port.input.pop_front();
        }
      } else if (operation->kind == IoKind::Write) {
        Transmit(port, *operation, std::min(count, operation->length));
      }
    }
    Complete(port, operation, operation->forcedStatus, count, count);
  }
}

BOOL VirtualSerialDriver::IssueRead(Port& port, HANDLE file, LPVOID buffer, DWORD length,
                                    LPDWORD done, LPOVERLAPPED overlapped, DWORD* error) {
  if (done != nullptr) {
    *done = 0;
  }
  MarkInFlight(overlapped);
  if (Refuses(port, true)) {
    *error = ERROR_OPERATION_ABORTED;
    return FALSE;
  }
  if (buffer == nullptr && length > 0) {
    *error = ERROR_NOACCESS;
    return FALSE;
  }
  ForcedOutcome forced;
  if (TakeForced(port, IoKind::Read, &forced)) {
    if (!forced.pends) {
      if (forced.error != ERROR_SUCCESS) {
        *error = forced.error;
        return FALSE;
      }
      DWORD copied = 0;
      while (copied < std::min(forced.count, length) && !port.input.empty()) {
        static_cast<uint8_t*>(buffer)[copied++] = port.input.front();
        port.input.pop_front();
      }
      port.bytesRead += copied;
      StoreOutcome(overlapped, kStatusSuccess, forced.count);
      if (done != nullptr) {
        *done = forced.count;
      }
      return TRUE;
    }
    Operation& read = AddOperation(port, IoKind::Read, file, overlapped);
    read.buffer = static_cast<uint8_t*>(buffer);
    read.length = length;
    read.forced = true;
    read.forcedStatus = NtStatusOf(forced.error);
    read.forcedCount = forced.count;
    *error = ERROR_IO_PENDING;
    return FALSE;
  }
  Operation& read = AddOperation(port, IoKind::Read, file, overlapped);
  read.buffer = static_cast<uint8_t*>(buffer);
  read.length = length;
  // With the bytes already queued (or time-outs that say "return at once") the
  // read completes in the call.
  AdvanceReads(port);
  if (StatusIn(overlapped) != kStatusPending) {
    if (done != nullptr) {
      *done = static_cast<DWORD>(overlapped->InternalHigh);
    }
    return TRUE;
  }
  *error = ERROR_IO_PENDING;
  return FALSE;
}

BOOL VirtualSerialDriver::IssueWrite(Port& port, HANDLE file, LPCVOID buffer, DWORD length,
                                     LPDWORD done, LPOVERLAPPED overlapped, DWORD* error) {
  if (done != nullptr) {
    *done = 0;
  }
  MarkInFlight(overlapped);
  if (Refuses(port, true)) {
    *error = ERROR_OPERATION_ABORTED;
    return FALSE;
  }
  if (buffer == nullptr && length > 0) {
    *error = ERROR_NOACCESS;
    return FALSE;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  Operation write;
  write.kind = IoKind::Write;
  write.data.assign(bytes, bytes + length);
  write.length = length;
  write.parity = WireParityOf(port.dcb.Parity);

  ForcedOutcome forced;
  if (TakeForced(port, IoKind::Write, &forced)) {
    if (!forced.pends) {
      if (forced.error != ERROR_SUCCESS) {
        *error = forced.error;
        return FALSE;
      }
      Transmit(port, write, std::min(forced.count, length));
      StoreOutcome(overlapped, kStatusSuccess, forced.count);
      if (done != nullptr) {
        *done = forced.count;
      }
      return TRUE;
    }
    Operation& pending = AddOperation(port, IoKind::Write, file, overlapped);
    pending.data = std::move(write.data);
    pending.length = length;
    pending.parity = write.parity;
    pending.forced = true;
    pending.forcedStatus = NtStatusOf(forced.error);
    pending.forcedCount = forced.count;
    *error = ERROR_IO_PENDING;
    return FALSE;
  }

  const bool idle = CurrentOf(port.operations, IoKind::Write) == nullptr;
  if (port.writeCompletion == WriteCompletion::Immediate && idle && !TransmitterHeld(port)) {
    // The UART takes the bytes at once: the write completes in the call.
    Transmit(port, write, length);
    StoreOutcome(overlapped, kStatusSuccess, length);
    if (done != nullptr) {
      *done = length;
    }
    if (length > 0) {
      Signal(port, EV_TXEMPTY);
    }
    return TRUE;
  }
  // Queued behind earlier writes, held, paced or completing later by choice: the
  // clock thread sends and completes it.
  Operation& pending = AddOperation(port, IoKind::Write, file, overlapped);
  pending.data = std::move(write.data);
  pending.length = length;
  pending.parity = write.parity;
  *error = ERROR_IO_PENDING;
  return FALSE;
}

BOOL VirtualSerialDriver::IssueWait(Port& port, HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped,
                                    DWORD* error) {
  MarkInFlight(overlapped);
  if (Refuses(port, false)) {
    *error = ERROR_OPERATION_ABORTED;
    return FALSE;
  }
  if (mask == nullptr) {
    *error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  ForcedOutcome forced;
  if (TakeForced(port, IoKind::CommWait, &forced)) {
    if (!forced.pends) {
      if (forced.error != ERROR_SUCCESS) {
        *error = forced.error;
        return FALSE;
      }
      *mask = forced.count;
      StoreOutcome(overlapped, kStatusSuccess, sizeof(DWORD));
      return TRUE;
    }
    Operation& wait = AddOperation(port, IoKind::CommWait, file, overlapped);
    wait.mask = mask;
    wait.forced = true;
    wait.forcedStatus = NtStatusOf(forced.error);
    wait.forcedCount = forced.count;
    *error = ERROR_IO_PENDING;
    return FALSE;
  }
  // The driver waits only for events it was asked to watch, and for one waiter.
  if (port.commMask == 0 || CurrentOf(port.operations, IoKind::CommWait) != nullptr) {
    *error = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  // Events seen since the last wait or SetCommMask complete the wait at once.
  if (port.history != 0) {
    *mask = port.history;
    port.history = 0;
    StoreOutcome(overlapped, kStatusSuccess, sizeof(DWORD));
    return TRUE;
  }
  Operation& wait = AddOperation(port, IoKind::CommWait, file, overlapped);
  wait.mask = mask;
  *error = ERROR_IO_PENDING;
  return FALSE;
}

// The driver serves requests on handles opened for overlapped I/O: a request
// without an OVERLAPPED has nowhere to complete and is refused.
BOOL VirtualSerialDriver::ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                                   LPOVERLAPPED overlapped) {
  LastError answer;
  StepLock step(mutex_, changed_);
  DWORD error = 0;
  if (Injected(Call::ReadFile, &error)) {
    return answer.Fail(error);
  }
  Port* port = PortOf(file, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  if (overlapped == nullptr) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  const BOOL ok = IssueRead(*port, file, buffer, bytesToRead, bytesRead, overlapped, &error);
  SpoilAt(*port, Call::ReadFile, true, step.lock());  // may end the port: not touched after this
  return ok ? TRUE : answer.Fail(error);
}

BOOL VirtualSerialDriver::WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite,
                                    LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
  LastError answer;
  std::shared_ptr<Port> sending;
  BOOL ok = FALSE;
  DWORD error = 0;
  {
    StepLock step(mutex_, changed_);
    if (Injected(Call::WriteFile, &error)) {
      return answer.Fail(error);
    }
    Port* port = PortOf(file, &error);
    if (port == nullptr) {
      return answer.Fail(error);
    }
    if (overlapped == nullptr) {
      return answer.Fail(ERROR_INVALID_PARAMETER);
    }
    ok = IssueWrite(*port, file, buffer, bytesToWrite, bytesWritten, overlapped, &error);
    sending = Shared(*port);
    SpoilAt(*port, Call::WriteFile, true, step.lock());  // may end the port: not touched after this
  }
  // Bytes that left at once reach the far end before the call returns.
  Drain(sending);
  return ok ? TRUE : answer.Fail(error);
}

BOOL VirtualSerialDriver::WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped) {
  LastError answer;
  StepLock step(mutex_, changed_);
  DWORD error = 0;
  if (Injected(Call::WaitCommEvent, &error)) {
    return answer.Fail(error);
  }
  Port* port = PortOf(file, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  if (overlapped == nullptr) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  const BOOL ok = IssueWait(*port, file, eventMask, overlapped, &error);
  return ok ? TRUE : answer.Fail(error);
}

BOOL VirtualSerialDriver::GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped,
                                              LPDWORD bytesTransferred, BOOL wait) {
  // Like kernel32: the answer comes from the record alone (the handle is only
  // waited on when the record has no event; here the driver's own notice of
  // completions stands in for it).
  LastError answer;
  std::unique_lock<SrwLock> lock(mutex_);
  DWORD injected = 0;
  const bool fails = Injected(Call::GetOverlappedResult, &injected);
  if (overlapped == nullptr) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  while (StatusIn(overlapped) == kStatusPending) {
    if (!wait) {
      return answer.Fail(fails ? injected : ERROR_IO_INCOMPLETE);
    }
    HANDLE event = EventOf(overlapped);
    if (event != nullptr) {
      lock.unlock();
      const DWORD waited = WaitForSingleObject(event, INFINITE);
      const DWORD waitError = GetLastError();
      lock.lock();
      if (waited == WAIT_FAILED) {
        return answer.Fail(waitError);
      }
      if (StatusIn(overlapped) == kStatusPending) {
        // Someone else signalled the event; wait for the completion itself.
        changed_.Wait(lock, [&] { return StatusIn(overlapped) != kStatusPending; });
      }
    } else {
      changed_.Wait(lock, [&] { return StatusIn(overlapped) != kStatusPending; });
    }
  }
  const LONG status = StatusIn(overlapped);
  if (bytesTransferred != nullptr) {
    *bytesTransferred = fails ? 0 : static_cast<DWORD>(overlapped->InternalHigh);
  }
  if (fails) {
    return answer.Fail(injected);
  }
  if (!IsNtSuccess(status)) {
    return answer.Fail(Win32ErrorOf(status));
  }
  return TRUE;
}

BOOL VirtualSerialDriver::CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
  LastError answer;
  StepLock step(mutex_, changed_);
  DWORD error = 0;
  if (Injected(Call::CancelIoEx, &error)) {
    return answer.Fail(error);
  }
  Port* port = PortOf(file, &error, false);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  // Every request of this handle, from any thread, that uses the record (all of
  // them for a null record). The driver completes cancelled requests at once.
  const auto key = reinterpret_cast<uintptr_t>(file);
  unsigned cancelled = 0;
  for (auto it = port->operations.begin(); it != port->operations.end();) {
    Operation* operation = (it++)->get();
    if (operation->handle == key &&
        (overlapped == nullptr || operation->overlapped == overlapped)) {
      Complete(*port, operation, kStatusCancelled, 0);
      ++cancelled;
    }
  }
  if (cancelled == 0) {
    return answer.Fail(ERROR_NOT_FOUND);
  }
  return TRUE;
}

BOOL VirtualSerialDriver::SetCommMask(HANDLE file, DWORD eventMask) {
  LastError answer;
  StepLock step(mutex_, changed_);
  DWORD error = 0;
  Port* port = Admit(Call::SetCommMask, file, false, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  if ((eventMask & ~kValidEvents) != 0) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  // A new mask forgets the events seen so far and lets a pending wait go with no
  // event: this is how a waiter is released without cancelling its request.
  port->commMask = eventMask;
  port->history = 0;
  Operation* wait = CurrentOf(port->operations, IoKind::CommWait);
  if (wait != nullptr) {
    Complete(*port, wait, kStatusSuccess, sizeof(DWORD), 0);
  }
  return TRUE;
}

BOOL VirtualSerialDriver::ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
  LastError answer;
  StepLock step(mutex_, changed_);
  DWORD error = 0;
  if (Injected(Call::ClearCommError, &error)) {
    return answer.Fail(error);
  }
  Port* port = PortOf(file, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  // The one request the abort state lets through: it hands over the errors and
  // so ends that state.
  if (errors != nullptr) {
    *errors = port->errors;
  }
  port->errors = 0;
  if (status != nullptr) {
    *status = COMSTAT();
    status->fCtsHold = port->dcb.fOutxCtsFlow && !port->lines.cts;
    status->fDsrHold = port->dcb.fOutxDsrFlow && !port->lines.dsr;
    status->fRlsdHold = 0;
    status->fXoffHold = port->xoffHold;
    status->fXoffSent = 0;
    status->fEof = 0;
    status->fTxim = 0;
    status->cbInQue = static_cast<DWORD>(port->input.size());
    status->cbOutQue = OutQueued(*port);
  }
  return TRUE;
}

BOOL VirtualSerialDriver::PurgeComm(HANDLE file, DWORD flags) {
  LastError answer;
  StepLock step(mutex_, changed_);
  DWORD error = 0;
  Port* port = Admit(Call::PurgeComm, file, false, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  if ((flags & ~kValidPurge) != 0) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  if (flags & PURGE_TXABORT) {
    CompleteAll(*port, IoKind::Write, kStatusCancelled);
  }
  if (flags & PURGE_RXABORT) {
    CompleteAll(*port, IoKind::Read, kStatusCancelled);
  }
  // The receive queue is emptied; characters still travelling from the far end
  // are on the wire, not in the port, and arrive afterwards.
  if (flags & PURGE_RXCLEAR) {
    port->input.clear();
    port->held.clear();
  }
  // PURGE_TXCLEAR: a 16550 port keeps no output buffer apart from the pending
  // writes themselves, which only PURGE_TXABORT ends; there is nothing to clear.
  return TRUE;
}

}  // namespace sim
