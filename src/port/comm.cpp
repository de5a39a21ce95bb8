#include "port/comm.h"

#include <cstring>
#include <new>

#include "library/last_error.h"
#include "port/comm_event_thread.h"
#include "port/serial_io.h"
#include "port/transfer_thread.h"
#include "trace/trace.h"

const bool UseCtsFlowControl = false;
const uint8_t DefaultParityMode = 0;
DWORD SavedPriorityClass = 0;
HANDLE PortClosingEvent = nullptr;
const char kComDevicePrefix[] = "\\\\.\\COM";

namespace {

constexpr DWORD kAllNineEvents = 0x01FF;
constexpr DWORD kOpenPauseMs = 100;

// A pause that delivers no window messages: a wait on our own process handle,
// which is never signalled while we run.
void PauseWithoutMessages() { WaitForSingleObject(GetCurrentProcess(), kOpenPauseMs); }

// A handle that is not a character device (a file, a pipe, a disk) is no serial
// port; it is refused with the code of an invalid handle.
constexpr int32_t kNotACharacterDevice = ERROR_INVALID_HANDLE;

const char* CreateFileMessage(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return "System nie potrafi znależć danego urządzenia.";
    case ERROR_ACCESS_DENIED:
      return "Zabroniony dostęp do urządzenia.";
    case ERROR_INVALID_HANDLE:
      return "Niepoprawny uchwyt do urządzenia, proces przerwany.";
    default:
      return "Błędnie określone urządzenie.";
  }
}

constexpr const char kDcbMessage[] = "Błąd podczas aktualizacji bloku kontroli danych.";
constexpr const char kTimeoutsMessage[] = "Błąd podczas aktualizacji czasów.";

}  // namespace

void RestorePriorityClass() {
  const DWORD processId = GetCurrentProcessId();
  HANDLE query = OpenProcess(PROCESS_QUERY_INFORMATION, TRUE, processId);
  if (query == nullptr) {
    RecordErrorCode(static_cast<int32_t>(GetLastError()));
  }
  const DWORD current = query != nullptr ? GetPriorityClass(query) : 0;
  if (current != SavedPriorityClass) {
    // Before the first open SavedPriorityClass is 0, which is no class: the
    // system refuses it and the process keeps its class.
    HANDLE set = OpenProcess(PROCESS_SET_INFORMATION, TRUE, processId);
    if (set != nullptr) {
      SetPriorityClass(set, SavedPriorityClass);
      CloseHandle(set);
    }
  }
  if (query != nullptr) {
    CloseHandle(query);
  }
}

TComm::TComm()
    : Handle(INVALID_HANDLE_VALUE),
      WriteOverlapped(),
      ReadOverlapped(),
      Dcb(),
      ComStat(),
      DeviceName("Comm2"),
      PortNumber(0),
      CommConfig(),
      SavedTimeouts(),
      Timeouts(),
      Watcher(nullptr),
      Worker(nullptr),
      Events(kAllNineEvents),
      Errors(0),
      BaudRate(0),
      Parity(DefaultParityMode),
      StopBits(ONESTOPBIT),
      ByteSize(8),
      InQueueSize(4096),
      OutQueueSize(2048),
      WriteTimeoutSeconds(0),
      ReadTimeoutSeconds(0) {}

TComm::~TComm() {
  try {
    Close();
  } catch (...) {
    // A destructor lets nothing out; Close records its own failures.
  }
}

int32_t TComm::Configure(uint8_t portNumber, int32_t baudRate, uint16_t writeTimeoutSeconds,
                         uint16_t readTimeoutSeconds) {
  try {
    BaudRate = static_cast<DWORD>(baudRate);
    DeviceName = std::string(kComDevicePrefix) + std::to_string(portNumber);
    PortNumber = portNumber;
    WriteTimeoutSeconds = writeTimeoutSeconds;
    ReadTimeoutSeconds = readTimeoutSeconds;
    return 0;
  } catch (const std::bad_alloc&) {
    // The allocator leaves no system error value of its own; report the lack of
    // memory when the thread's value says nothing.
    DWORD error = GetLastError();
    if (error == ERROR_SUCCESS) {
      error = ERROR_NOT_ENOUGH_MEMORY;
    }
    RecordError(kDcbMessage, static_cast<int32_t>(error));
    return static_cast<int32_t>(error);
  }
}

int32_t TComm::OpenHandle() {
  SetLastError(ERROR_SUCCESS);
  Handle = serial_io::CreateFileA(DeviceName.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  0,  // exclusive: one owner of the line at a time
                                  nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (Handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    RecordError(CreateFileMessage(error), static_cast<int32_t>(error));
    return static_cast<int32_t>(error);
  }
  if (serial_io::GetFileType(Handle) != FILE_TYPE_CHAR) {
    ReleaseHandle();
    RecordError("Niepoprawny uchwyt do urządzenia, proces przerwany.", kNotACharacterDevice);
    return kNotACharacterDevice;
  }
  return 0;
}

void TComm::ReleaseHandle() {
  SetLastError(ERROR_SUCCESS);
  serial_io::CloseHandle(Handle);
  Handle = INVALID_HANDLE_VALUE;
}

bool TComm::IsOpen() const { return Handle != INVALID_HANDLE_VALUE; }

void TComm::SetDcbFlags(DCB& dcb) {
  // Output never waits for a handshake: CTS and RI are the device's answer to the
  // presence check, not flow control.
  dcb.fOutxCtsFlow = UseCtsFlowControl ? 1 : 0;
  dcb.fOutxDsrFlow = 0;
  // The driver must leave DTR and RTS alone; the presence check drives them with
  // EscapeCommFunction.
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  // Binary protocol: XON and XOFF are ordinary byte values.
  dcb.fOutX = 0;
  dcb.fInX = 0;
  // After a line error the driver refuses reads and writes until ClearCommError,
  // so a byte received with a parity or framing error never passes as a reply.
  dcb.fAbortOnError = 1;
  // Parity is checked on reception; the protocol switches between odd and even.
  dcb.fParity = 1;
}

int32_t TComm::ApplyDcb() {
  SetLastError(ERROR_SUCCESS);
  if (!IsOpen()) {
    return 0;
  }
  if (!serial_io::GetCommState(Handle, &Dcb)) {
    const DWORD error = GetLastError();
    RecordError(kDcbMessage, static_cast<int32_t>(error));
    return static_cast<int32_t>(error);
  }
  Dcb.BaudRate = BaudRate;
  Dcb.Parity = static_cast<BYTE>(Parity);
  Dcb.StopBits = static_cast<BYTE>(StopBits);
  Dcb.ByteSize = static_cast<BYTE>(ByteSize);
  SetDcbFlags(Dcb);
  if (!serial_io::SetCommState(Handle, &Dcb)) {
    const DWORD error = GetLastError();
    RecordError(kDcbMessage, static_cast<int32_t>(error));
    return static_cast<int32_t>(error);
  }
  return 0;
}

int32_t TComm::ApplyTimeouts(uint16_t writeTimeoutSeconds, uint16_t readTimeoutSeconds) {
  SetLastError(ERROR_SUCCESS);
  if (!serial_io::GetCommTimeouts(Handle, &SavedTimeouts)) {
    const DWORD error = GetLastError();
    RecordError(" Błąd odczytu aktualnych czasów.", static_cast<int32_t>(error));
    return static_cast<int32_t>(error);
  }
  if (!IsOpen()) {
    return 0;
  }
  Timeouts = COMMTIMEOUTS();
  // A read waits at most the whole time-out for its byte and then completes with
  // nothing; with no time-out it returns at once with whatever is queued.
  Timeouts.ReadIntervalTimeout =
      readTimeoutSeconds == 0 ? MAXDWORD : static_cast<DWORD>(readTimeoutSeconds) * 1000;
  Timeouts.ReadTotalTimeoutMultiplier = 0;
  Timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(readTimeoutSeconds) * 1000;
  Timeouts.WriteTotalTimeoutMultiplier = 0;
  Timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(writeTimeoutSeconds) * 1000;
  if (!serial_io::SetCommTimeouts(Handle, &Timeouts)) {
    const DWORD error = GetLastError();
    RecordError(kTimeoutsMessage, static_cast<int32_t>(error));
    return static_cast<int32_t>(error);
  }
  return 0;
}

void TComm::HandleCommEvent(TZdarzeniaCommThread*, DWORD eventMask) {
  SetLastError(ERROR_SUCCESS);
  // Every hand-over clears the port's error state: the port refuses transfers
  // after a line error until this call.
  serial_io::ClearCommError(Handle, &Errors, &ComStat);
  TraceLineEvents(eventMask, Errors);
  for (DWORD event : CommEventMasks) {
    if ((eventMask & event) != 0) {
      LineEventHandler(event);
    }
  }
}

void TComm::LineEventHandler(DWORD event) {
  if (event != EV_ERR) {
    return;
  }
  struct LineErrorText {
    DWORD flag;
    const char* text;
  };
  // In this order; each record replaces the one before, so the last flag set wins.
  static constexpr LineErrorText kLineErrors[] = {
      {CE_BREAK, "Urządzenie wykryło stan BREAK (CE_BREAK)."},
      {CE_FRAME, "Urządzenie wykryło błąd ramki (CE_FRAME)."},
      {CE_OVERRUN, "Zgubiono znaki (CE_OVERRUN)."},
      {CE_RXOVER, "Zapełniony bufor wejściowy (CE_RXOVER)."},
      {CE_RXPARITY, "Urządzenie wykryło błąd parzystości (CE_RXPARITY)."},
      {CE_TXFULL, "Zapełniony bufor wyjściowy (CE_TXFULL)."},
  };
  for (const LineErrorText& lineError : kLineErrors) {
    if ((Errors & lineError.flag) != 0) {
      RecordError(lineError.text, static_cast<int32_t>(lineError.flag));
    }
  }
}

int32_t TComm::Open() {
  SetLastError(ERROR_SUCCESS);
  try {
    Close();
  } catch (...) {
    // Whatever the close of the previous session met is dropped: the port is
    // opened afresh below.
  }

  SetLastError(ERROR_SUCCESS);
  RecordError("", 0);

  int32_t result = OpenHandle();
  PauseWithoutMessages();
  if (!IsOpen()) {
    return result;
  }

  // The watcher raises the process to the real-time class (saving the class it
  // had) and starts watching; its hand-overs come back to this object.
  try {
    Watcher = new TZdarzeniaCommThread(Handle, Events);
    Watcher->SetOnCommEvent([this](TZdarzeniaCommThread* sender, DWORD eventMask) {
      HandleCommEvent(sender, eventMask);
    });
    Worker = new TZapisOdczytThread();
  } catch (...) {
    // Out of memory half-way through the threads: what has started is stopped
    // and the handle closed again, so that nothing is left behind, and the failure
    // goes on to the export, which records it and answers false.
    Close();
    throw;
  }

  DWORD configSize = sizeof(CommConfig);
  serial_io::GetCommConfig(Handle, &CommConfig, &configSize);

  result = ApplyDcb();
  if (result != 0) {
    return result;
  }

  if (!serial_io::SetupComm(Handle, InQueueSize, OutQueueSize)) {
    const DWORD error = GetLastError();
    RecordError("Błędna inicjalizacja buforów Zapisu/Odczytu.", static_cast<int32_t>(error));
    return static_cast<int32_t>(error);
  }

  // A failure to set the time-outs is recorded and returned, but the port still
  // gets its closing event.
  result = ApplyTimeouts(WriteTimeoutSeconds, ReadTimeoutSeconds);

  HANDLE previousClosingEvent = PortClosingEvent;
  PortClosingEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const DWORD createError = GetLastError();
  // The previous event was set by the close above and nothing waits on it any
  // more: the threads that could have waited on it have ended.
  if (previousClosingEvent != nullptr) {
    CloseHandle(previousClosingEvent);
  }
  PauseWithoutMessages();
  if (PortClosingEvent == nullptr) {
    RecordError("Error CreateEvent. ", static_cast<int32_t>(createError));
    result = static_cast<int32_t>(createError);
  }
  TracePortOpened(*this, result);
  return result;
}

int32_t TComm::Close() {
  SetLastError(ERROR_SUCCESS);
  RestorePriorityClass();

  SetLastError(ERROR_SUCCESS);
  int32_t result = 0;
  if (!IsOpen()) {
    return 0;
  }

  if (!serial_io::SetCommTimeouts(Handle, &SavedTimeouts)) {
    RecordLastError(kTimeoutsMessage);
  }

  // The worker first: a transfer under way completes (at the latest when the
  // port's time-outs expire) and its caller gets the outcome. Then the watcher,
  // whose wait may need this thread to deliver a hand-over under way.
  if (Worker != nullptr) {
    Worker->StopTransfers();
    Worker->WaitForEnd();
    delete Worker;
    Worker = nullptr;
  }
  if (Watcher != nullptr) {
    Watcher->StopWatching();
    Watcher->WaitForEnd();
    delete Watcher;
    Watcher = nullptr;
  }

  ReleaseHandle();

  if (!SetEvent(PortClosingEvent)) {
    const DWORD error = GetLastError();
    RecordError("Błąd podczas sygnalizacji zdarzenia.", static_cast<int32_t>(error));
    result = static_cast<int32_t>(error);
  }
  TracePortClosed(*this, result);
  return result;
}
