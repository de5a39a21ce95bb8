// The virtual serial driver: ports and handles, the port's settings, the state a
// test reads back and the controls a test turns. Overlapped operations are in
// virtual_serial_io.cpp, the line and its events in virtual_serial_line.cpp, the
// clock thread in virtual_serial_clock.cpp.
#include "virtual_serial.h"

#include <algorithm>
#include <atomic>
#include <cctype>

#include "nt_status.h"
#include "virtual_port.h"

namespace sim {

namespace {

constexpr char kPortPrefix[] = "\\\\.\\COM";

// Handles of the virtual driver lie far above the small values Wine and Windows
// give real kernel objects, so a virtual handle passed to kernel32 by mistake fails
// there instead of hitting some other object.
constexpr uintptr_t kFirstHandle = 0x7E570000;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The port number a path names, or -1. Only "\\.\COM" and decimal digits.
long PortNumberOf(const std::string& upperPath) {
  const std::string prefix = kPortPrefix;
  if (upperPath.size() <= prefix.size() || upperPath.compare(0, prefix.size(), prefix) != 0) {
    return -1;
  }
  long number = 0;
  for (std::size_t i = prefix.size(); i < upperPath.size(); ++i) {
    const char c = upperPath[i];
    if (c < '0' || c > '9' || number > 100000) {
      return -1;
    }
    number = number * 10 + (c - '0');
  }
  return number;
}

}  // namespace

const char* CallName(Call call) {
  static constexpr const char* kNames[] = {
      "CreateFileA",     "GetFileType",        "CloseHandle",       "GetCommConfig",
      "GetCommState",    "SetCommState",       "SetupComm",         "GetCommTimeouts",
      "SetCommTimeouts", "ReadFile",           "WriteFile",         "GetOverlappedResult",
      "CancelIoEx",      "SetCommMask",        "WaitCommEvent",     "ClearCommError",
      "PurgeComm",       "EscapeCommFunction", "GetCommModemStatus"};
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<unsigned>(Call::Count),
                "one name for each call, in the order of Call");
  const auto index = static_cast<unsigned>(call);
  return index < static_cast<unsigned>(Call::Count) ? kNames[index] : "?";
}

namespace {
// Set before any port call and read at every open: constant-initialised, so that
// a setter in another file's initialiser finds it ready.
std::atomic<VirtualSerialDriver::PortSupplier> portSupplier{nullptr};
std::atomic<VirtualSerialDriver::PortClosed> portClosed{nullptr};

// Tells the supplier of an opening it went on with that left no handle open.
struct OpeningGuard {
  long number;
  bool opened = false;
  ~OpeningGuard() {
    const VirtualSerialDriver::PortClosed closed = portClosed;
    if (number >= 0 && !opened && closed != nullptr) closed(static_cast<unsigned>(number));
  }
};
}  // namespace

void VirtualSerialDriver::SetPortSupplier(PortSupplier supplier, PortClosed closed) {
  portClosed = closed;
  portSupplier = supplier;
}

bool VirtualSerialDriver::SuppliesPorts() { return portSupplier != nullptr; }

VirtualSerialDriver& VirtualSerialDriver::Instance() {
  static VirtualSerialDriver driver;
  return driver;
}

VirtualSerialDriver::VirtualSerialDriver() : nextHandle_(kFirstHandle) {
  clockWake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

VirtualSerialDriver::~VirtualSerialDriver() {
#if KWELMORA_SIM_TEST_HOOKS
  // At the end of a test program: stop the clock thread without waiting long for
  // it (the process may already have ended it), and call no far end.
  StopClock(2000);
#endif
  // In a DLL this runs inside DllMain and waits for nothing: the clock thread holds
  // the module, so at an unload none runs, and at the end of the process the
  // system has already ended it.
  if (clockThread_ == nullptr && clockWake_ != nullptr) {
    ::CloseHandle(clockWake_);
  }
}

DCB VirtualSerialDriver::DefaultDcb() {
  // What a 16550 port reports after boot: 9600 8N1, binary, DTR and RTS raised
  // while open, flow control off.
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = CBR_9600;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  return dcb;
}

void VirtualSerialDriver::AddPort(unsigned number) {
  StepLock step(mutex_, changed_);
  Port* existing = FindPort(number);
  if (existing != nullptr) {
    Forget(*existing, step.lock());
  }
  auto port = std::make_shared<Port>();
  port->number = number;
  port->dcb = DefaultDcb();
  ports_[number] = std::move(port);
}

void VirtualSerialDriver::RemovePort(unsigned number) {
  StepLock step(mutex_, changed_);
  Port* port = FindPort(number);
  if (port != nullptr) {
    Forget(*port, step.lock());
  }
}

void VirtualSerialDriver::Forget(Port& port, std::unique_lock<SrwLock>& lock) {
  // The port refuses requests first, so that no call adds an operation while a
  // callback under way on another thread finishes (the lock is let go for that);
  // then its pending operations end as a removed device ends them. Its far end is
  // not told. A handle still open on it keeps it until CloseHandle, as a handle
  // keeps a removed device's object on Windows.
  port.removed = true;
  port.toFarEnd.clear();
  const DWORD self = GetCurrentThreadId();
  changed_.Wait(lock, [&] { return port.drainer == 0 || port.drainer == self; });
  while (!port.operations.empty()) {
    Complete(port, port.operations.front().get(), kStatusCancelled, 0);
  }
  ports_.erase(port.number);
}

void VirtualSerialDriver::AddOtherDevice(const std::string& path, DWORD fileType) {
  StepLock step(mutex_, changed_);
  devices_[Upper(path)] = fileType;
}

void VirtualSerialDriver::ChangePort(unsigned number, const std::function<void(Port&)>& change) {
  StepLock step(mutex_, changed_);
  Port* port = FindPort(number);
  if (port != nullptr) {
    change(*port);
  }
}

void VirtualSerialDriver::SetDriverDcb(unsigned number, const DCB& dcb) {
  ChangePort(number, [&](Port& port) { port.dcb = dcb; });
}

void VirtualSerialDriver::SetDriverTimeouts(unsigned number, const COMMTIMEOUTS& timeouts) {
  ChangePort(number, [&](Port& port) { port.timeouts = timeouts; });
}

void VirtualSerialDriver::SetWriteCompletion(unsigned number, WriteCompletion mode) {
  ChangePort(number, [&](Port& port) {
    port.writeCompletion = mode;
    WakeClock();
  });
}

void VirtualSerialDriver::SetAdapterLatency(unsigned number, std::chrono::microseconds latency) {
  ChangePort(number, [&](Port& port) {
    port.adapterLatency = std::max(latency, std::chrono::microseconds(0));
    port.adapter.SetLatency(Scaled(static_cast<double>(port.adapterLatency.count())));
    WakeClock();
  });
}

void VirtualSerialDriver::HoldOutput(unsigned number, bool held) {
  ChangePort(number, [&](Port& port) {
    port.outputHeld = held;
    WakeClock();
  });
}

void VirtualSerialDriver::SetArrivalTiming(unsigned number, ArrivalTiming timing) {
  ChangePort(number, [&](Port& port) {
    port.arrivalTiming = timing;
    WakeClock();
  });
}

void VirtualSerialDriver::RaiseCommEvents(unsigned number, DWORD events, DWORD ceErrors) {
  ChangePort(number, [&](Port& port) {
    AddLineErrors(port, ceErrors);
    Signal(port, events);
  });
}

unsigned VirtualSerialDriver::StrayCompletions() {
  StepLock step(mutex_, changed_);
  SweepEndedThreads();
  if (clockThread_ != nullptr && !clockStop_) {
    // The clock's current pass may still hold a thread the sweep let go, and with
    // it the thread's handle, until it waits again.
    const uint64_t seen = clockPasses_;
    WakeClock();
    changed_.WaitFor(step.lock(), std::chrono::milliseconds(10000),
                     [&] { return clockPasses_ != seen || clockStop_; });
  }
  return strays_;
}

unsigned VirtualSerialDriver::AbortedByClose() const {
  std::lock_guard<SrwLock> lock(mutex_);
  return abortedByClose_;
}

unsigned VirtualSerialDriver::PendingOperations(unsigned number) {
  StepLock step(mutex_, changed_);
  SweepEndedThreads();
  Port* port = FindPort(number);
  return port != nullptr ? static_cast<unsigned>(port->operations.size()) : 0;
}

bool VirtualSerialDriver::WaitForState(unsigned number,
                                       const std::function<bool(const PortState&)>& done,
                                       DWORD timeoutMs) {
  std::unique_lock<SrwLock> lock(mutex_);
  auto holds = [&] {
    Port* port = FindPort(number);
    return done(port != nullptr ? StateOf(*port) : PortState());
  };
  return changed_.WaitFor(lock, std::chrono::milliseconds(timeoutMs), holds);
}

PortState VirtualSerialDriver::State(unsigned number) const {
  std::lock_guard<SrwLock> lock(mutex_);
  Port* port = FindPort(number);
  return port != nullptr ? StateOf(*port) : PortState();
}

PortState VirtualSerialDriver::StateOf(const Port& port) const {
  PortState state;
  state.exists = true;
  state.open = port.handle != 0;
  state.opens = port.opens;
  state.dcb = port.dcb;
  state.timeouts = port.timeouts;
  state.inQueue = port.inQueue;
  state.outQueue = port.outQueue;
  state.dtr = port.dtr;
  state.rts = port.rts;
  state.lastOpenAccess = port.lastOpenAccess;
  state.lastOpenShareMode = port.lastOpenShareMode;
  state.lastOpenFlags = port.lastOpenFlags;
  state.commMask = port.commMask;
  state.errors = port.errors;
  state.inQueued = static_cast<DWORD>(port.input.size());
  state.heldBack = static_cast<DWORD>(port.held.size());
  state.outQueued = OutQueued(port);
  state.lines = port.lines;
  state.breakSet = port.breakSet;
  state.xoffHold = port.xoffHold;
  state.outputHeld = port.outputHeld;
  state.farEndAttached = port.farEnd != nullptr;
  state.adapterHeld = static_cast<DWORD>(port.adapter.Held());
  state.bytesWritten = port.bytesWritten;
  state.bytesRead = port.bytesRead;
  state.statusReads = port.statusReads;
  state.timedOut = port.timedOut;
  for (const auto& operation : port.operations) {
    state.pendingReads += operation->kind == IoKind::Read ? 1 : 0;
    state.pendingWrites += operation->kind == IoKind::Write ? 1 : 0;
    state.waitPending = state.waitPending || operation->kind == IoKind::CommWait;
  }
  return state;
}

std::string VirtualSerialDriver::LastOpenedPath() const {
  std::lock_guard<SrwLock> lock(mutex_);
  return lastOpenedPath_;
}

bool VirtualSerialDriver::IsLiveHandle(HANDLE handle) const {
  std::lock_guard<SrwLock> lock(mutex_);
  const auto key = reinterpret_cast<uintptr_t>(handle);
  return portHandles_.count(key) != 0 || deviceHandles_.count(key) != 0;
}

unsigned VirtualSerialDriver::OpenPortHandles() const {
  std::lock_guard<SrwLock> lock(mutex_);
  return static_cast<unsigned>(portHandles_.size());
}

VirtualSerialDriver::Port* VirtualSerialDriver::Admit(Call call, HANDLE file, bool transfer,
                                                      DWORD* error) {
  if (Injected(call, error)) {
    return nullptr;
  }
  Port* port = PortOf(file, error);
  if (port != nullptr && Refuses(*port, transfer)) {
    *error = ERROR_OPERATION_ABORTED;
    return nullptr;
  }
  return port;
}

VirtualSerialDriver::Port* VirtualSerialDriver::PortOf(HANDLE file, DWORD* error, bool request) {
  auto found = portHandles_.find(reinterpret_cast<uintptr_t>(file));
  if (found == portHandles_.end()) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  // After a surprise removal the serial driver fails every request with
  // STATUS_DELETE_PENDING, which the caller sees as ERROR_ACCESS_DENIED.
  if (request && found->second->removed) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return found->second.get();
}

VirtualSerialDriver::Port* VirtualSerialDriver::FindPort(unsigned number) const {
  auto found = ports_.find(number);
  return found != ports_.end() ? found->second.get() : nullptr;
}

std::shared_ptr<VirtualSerialDriver::Port> VirtualSerialDriver::Shared(const Port& port) const {
  auto found = ports_.find(port.number);
  if (found != ports_.end() && found->second.get() == &port) {
    return found->second;
  }
  return nullptr;
}

bool VirtualSerialDriver::Refuses(const Port& port, bool transfer) const {
  // With fAbortOnError the driver fails requests from the line error until
  // ClearCommError has fetched the error; which requests, the scope says.
  if (!port.dcb.fAbortOnError || port.errors == 0) {
    return false;
  }
  return transfer || AbortsAllRequests();
}

void VirtualSerialDriver::ApplyLineControl(Port& port) {
  // The driver raises or lowers DTR and RTS as the control modes say; "handshake"
  // and "toggle" leave the line to the driver's flow control, not modelled here.
  const bool oldRts = port.rts;
  const bool oldDtr = port.dtr;
  if (port.dcb.fDtrControl == DTR_CONTROL_DISABLE || port.dcb.fDtrControl == DTR_CONTROL_ENABLE) {
    port.dtr = port.dcb.fDtrControl == DTR_CONTROL_ENABLE;
  }
  if (port.dcb.fRtsControl == RTS_CONTROL_DISABLE || port.dcb.fRtsControl == RTS_CONTROL_ENABLE) {
    port.rts = port.dcb.fRtsControl == RTS_CONTROL_ENABLE;
  }
  TellLines(port, oldRts, oldDtr);
}

void VirtualSerialDriver::ResetOpenState(Port& port) {
  // An open finds empty queues, no errors, no comm mask and a transmitter that
  // neither sends a break nor waits for XON.
  port.input.clear();
  port.held.clear();
  port.errors = 0;
  port.commMask = 0;
  port.history = 0;
  port.breakSet = false;
  port.xoffHold = false;
}

HANDLE VirtualSerialDriver::CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                        DWORD creationDisposition, DWORD flagsAndAttributes) {
  LastError answer;
  std::shared_ptr<Port> opened;
  HANDLE result = INVALID_HANDLE_VALUE;
  // Outside the lock: the supplier adds the port and attaches its far end.
  const PortSupplier supplier = portSupplier;
  const long supplied =
      supplier != nullptr && fileName != nullptr ? PortNumberOf(Upper(fileName)) : -1;
  if (supplied >= 0) {
    const DWORD refused = supplier(static_cast<unsigned>(supplied));
    if (refused != ERROR_SUCCESS) {
      answer.Set(refused);
      return INVALID_HANDLE_VALUE;
    }
  }
  OpeningGuard guard{supplied};
  {
    StepLock step(mutex_, changed_);
    lastOpenedPath_ = fileName != nullptr ? fileName : "";
    DWORD error = 0;
    if (Injected(Call::CreateFileA, &error)) {
      answer.Set(error);
      return INVALID_HANDLE_VALUE;
    }
    if (fileName == nullptr) {
      answer.Set(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    const std::string path = Upper(fileName);

    auto device = devices_.find(path);
    if (device != devices_.end()) {
      const uintptr_t handle = nextHandle_;
      nextHandle_ += 4;
      deviceHandles_[handle] = device->second;
      answer.Set(ERROR_SUCCESS);
      return reinterpret_cast<HANDLE>(handle);
    }

    const long number = PortNumberOf(path);
    Port* port = number >= 0 ? FindPort(static_cast<unsigned>(number)) : nullptr;
    if (port == nullptr) {
      answer.Set(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    // Serial ports are opened for exclusive use, whatever share mode is asked for.
    if (port->handle != 0) {
      answer.Set(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (creationDisposition != OPEN_EXISTING) {
      answer.Set(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    port->handle = nextHandle_;
    nextHandle_ += 4;
    ++port->opens;
    port->lastOpenAccess = desiredAccess;
    port->lastOpenShareMode = shareMode;
    port->lastOpenFlags = flagsAndAttributes;
    ResetOpenState(*port);
    // Opening the port applies its settings to the line again.
    ApplyLineControl(*port);
    portHandles_[port->handle] = Shared(*port);
    result = reinterpret_cast<HANDLE>(port->handle);
    opened = Shared(*port);
  }
  Drain(opened);
  guard.opened = true;
  answer.Set(ERROR_SUCCESS);
  return result;
}

DWORD VirtualSerialDriver::GetFileType(HANDLE file) {
  LastError answer;
  std::lock_guard<SrwLock> lock(mutex_);
  DWORD error = 0;
  if (Injected(Call::GetFileType, &error)) {
    answer.Set(error);
    return FILE_TYPE_UNKNOWN;
  }
  const auto key = reinterpret_cast<uintptr_t>(file);
  if (portHandles_.count(key) != 0) {
    answer.Set(ERROR_SUCCESS);
    return FILE_TYPE_CHAR;
  }
  auto device = deviceHandles_.find(key);
  if (device != deviceHandles_.end()) {
    answer.Set(ERROR_SUCCESS);
    return device->second;
  }
  answer.Set(ERROR_INVALID_HANDLE);
  return FILE_TYPE_UNKNOWN;
}

BOOL VirtualSerialDriver::CloseHandle(HANDLE file) {
  LastError answer;
  std::shared_ptr<Port> closed;
  unsigned number = 0;
  HANDLE clockEnding = nullptr;
  {
    StepLock step(mutex_, changed_);
    DWORD error = 0;
    if (Injected(Call::CloseHandle, &error)) {
      return answer.Fail(error);
    }
    const auto key = reinterpret_cast<uintptr_t>(file);
    if (deviceHandles_.erase(key) != 0) {
      return TRUE;
    }
    auto found = portHandles_.find(key);
    if (found == portHandles_.end()) {
      return answer.Fail(ERROR_INVALID_HANDLE);
    }
    const std::shared_ptr<Port> held = found->second;  // a removed port goes with it
    Port& port = *held;
    // Closing the handle cancels what is still pending on it, as the system does
    // at the handle's cleanup. The library should have waited for all of it: a
    // port closed with a wait pending has been left unusable by some drivers.
    SweepEndedThreads();
    for (auto it = port.operations.begin(); it != port.operations.end();) {
      Operation* operation = (it++)->get();
      if (operation->handle == key) {
        ++abortedByClose_;
        Complete(port, operation, kStatusCancelled, 0);
      }
    }
    portHandles_.erase(found);
    port.handle = 0;
    number = port.number;
    clockEnding = EndClockWithLastPort();  // waited for below
    // A closed port drops its output lines.
    const bool oldRts = port.rts;
    const bool oldDtr = port.dtr;
    port.dtr = false;
    port.rts = false;
    TellLines(port, oldRts, oldDtr);
    ResetOpenState(port);
    closed = Shared(port);
  }
  Drain(closed);
  if (clockEnding != nullptr) {
    WaitForSingleObject(clockEnding, INFINITE);  // one pass of the clock at most
    ::CloseHandle(clockEnding);
  }
  if (const PortClosed hook = portClosed) hook(number);
  return TRUE;
}

BOOL VirtualSerialDriver::GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size) {
  LastError answer;
  std::lock_guard<SrwLock> lock(mutex_);
  DWORD error = 0;
  Port* port = Admit(Call::GetCommConfig, file, false, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  if (size == nullptr) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  if (config == nullptr || *size < sizeof(COMMCONFIG)) {
    *size = sizeof(COMMCONFIG);
    return answer.Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  *config = COMMCONFIG();
  config->dwSize = sizeof(COMMCONFIG);
  config->wVersion = 1;
  config->dcb = port->dcb;
  config->dwProviderSubType = PST_RS232;
  *size = sizeof(COMMCONFIG);
  return TRUE;
}

BOOL VirtualSerialDriver::GetCommState(HANDLE file, LPDCB dcb) {
  LastError answer;
  std::lock_guard<SrwLock> lock(mutex_);
  DWORD error = 0;
  Port* port = Admit(Call::GetCommState, file, false, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  if (dcb == nullptr) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  *dcb = port->dcb;
  dcb->DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL VirtualSerialDriver::SetCommState(HANDLE file, LPDCB dcb) {
  LastError answer;
  std::shared_ptr<Port> changed;
  {
    StepLock step(mutex_, changed_);
    DWORD error = 0;
    Port* port = Admit(Call::SetCommState, file, false, &error);
    if (port == nullptr) {
      return answer.Fail(error);
    }
    if (dcb == nullptr) {
      return answer.Fail(ERROR_INVALID_PARAMETER);
    }
    // The checks a 16550 driver makes before it touches the line.
    const bool sizeOk = dcb->ByteSize >= 5 && dcb->ByteSize <= 8;
    const bool parityOk = dcb->Parity <= SPACEPARITY;
    const bool stopOk = dcb->StopBits <= TWOSTOPBITS &&
                        !(dcb->StopBits == ONE5STOPBITS && dcb->ByteSize != 5) &&
                        !(dcb->StopBits == TWOSTOPBITS && dcb->ByteSize == 5);
    const bool xonOk = !((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar);
    if (!sizeOk || !parityOk || !stopOk || !xonOk || dcb->BaudRate == 0) {
      return answer.Fail(ERROR_INVALID_PARAMETER);
    }
    port->dcb = *dcb;
    port->dcb.DCBlength = sizeof(DCB);
    ApplyLineControl(*port);
    // Flow control may have let go of the transmitter, or taken it.
    WakeClock();
    changed = Shared(*port);
  }
  Drain(changed);
  return TRUE;
}

BOOL VirtualSerialDriver::SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  LastError answer;
  StepLock step(mutex_, changed_);
  DWORD error = 0;
  Port* port = Admit(Call::SetupComm, file, false, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  port->inQueue = inQueue;
  port->outQueue = outQueue;
  return TRUE;
}

BOOL VirtualSerialDriver::GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  LastError answer;
  std::lock_guard<SrwLock> lock(mutex_);
  DWORD error = 0;
  Port* port = Admit(Call::GetCommTimeouts, file, false, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  if (timeouts == nullptr) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  *timeouts = port->timeouts;
  return TRUE;
}

BOOL VirtualSerialDriver::SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  LastError answer;
  StepLock step(mutex_, changed_);
  DWORD error = 0;
  Port* port = Admit(Call::SetCommTimeouts, file, false, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  if (timeouts == nullptr) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  // All three read members at MAXDWORD is the one combination the driver refuses.
  if (timeouts->ReadIntervalTimeout == MAXDWORD &&
      timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts->ReadTotalTimeoutConstant == MAXDWORD) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  // The new time-outs apply to reads and writes that start from now on.
  port->timeouts = *timeouts;
  return TRUE;
}

}  // namespace sim
