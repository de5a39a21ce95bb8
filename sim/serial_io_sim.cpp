// The port calls bound to the virtual serial driver: every call lands there (the
// tests' driver and the simulator DLL's).
#include "port/serial_io.h"
#include "virtual_serial.h"

namespace serial_io {

namespace {
sim::VirtualSerialDriver& Driver() { return sim::VirtualSerialDriver::Instance(); }

// Port calls under way on the calling thread, in a slot of the system's thread
// storage: it takes no lock and has nothing to clean up when a thread ends, so a
// thread ended anywhere at the end of the process leaves nothing held.
// Taken when the program starts, so that no first call has to make it.
const DWORD kPortCallSlot = TlsAlloc();
DWORD PortCallSlot() { return kPortCallSlot; }

// TlsGetValue clears the thread's error value: the call's own is kept.
uintptr_t PortCallDepth() {
  const DWORD error = GetLastError();
  const auto depth = reinterpret_cast<uintptr_t>(TlsGetValue(PortCallSlot()));
  SetLastError(error);
  return depth;
}

void SetPortCallDepth(uintptr_t depth) {
  const DWORD error = GetLastError();
  TlsSetValue(PortCallSlot(), reinterpret_cast<LPVOID>(depth));
  SetLastError(error);
}

class PortCallScope {
 public:
  PortCallScope() { SetPortCallDepth(PortCallDepth() + 1); }
  ~PortCallScope() { SetPortCallDepth(PortCallDepth() - 1); }
  PortCallScope(const PortCallScope&) = delete;
  PortCallScope& operator=(const PortCallScope&) = delete;
};

// A call the driver counts for SpoilAtCall: told before and after it is served,
// with the thread's error value the call left kept as it was.
template <typename Serve>
auto Noted([[maybe_unused]] sim::Call call, [[maybe_unused]] HANDLE file, Serve serve) {
  PortCallScope scope;
#if KWELMORA_SIM_TEST_HOOKS
  Driver().NoteCall(call, file, false);
  const auto result = serve();
  const DWORD error = GetLastError();
  Driver().NoteCall(call, file, true);
  SetLastError(error);
  return result;
#else
  return serve();  // the shipped driver spoils nothing
#endif
}

template <typename Serve>
auto Plain(Serve serve) {
  PortCallScope scope;
  return serve();
}
}  // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  return Plain([&] {
    return Driver().CreateFileA(fileName, desiredAccess, shareMode, creationDisposition,
                                flagsAndAttributes);
  });
}

DWORD GetFileType(HANDLE file) {
  return Plain([&] { return Driver().GetFileType(file); });
}

BOOL CloseHandle(HANDLE file) {
  return Plain([&] { return Driver().CloseHandle(file); });
}

BOOL GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size) {
  return Plain([&] { return Driver().GetCommConfig(file, config, size); });
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
  return Noted(sim::Call::GetCommState, file, [&] { return Driver().GetCommState(file, dcb); });
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
  return Noted(sim::Call::SetCommState, file, [&] { return Driver().SetCommState(file, dcb); });
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return Plain([&] { return Driver().SetupComm(file, inQueue, outQueue); });
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  return Plain([&] { return Driver().GetCommTimeouts(file, timeouts); });
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  return Plain([&] { return Driver().SetCommTimeouts(file, timeouts); });
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
  return Noted(sim::Call::ReadFile, file,
               [&] { return Driver().ReadFile(file, buffer, bytesToRead, bytesRead, overlapped); });
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
  return Noted(sim::Call::WriteFile, file, [&] {
    return Driver().WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
  });
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                         BOOL wait) {
  return Plain(
      [&] { return Driver().GetOverlappedResult(file, overlapped, bytesTransferred, wait); });
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
  return Plain([&] { return Driver().CancelIoEx(file, overlapped); });
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
  return Plain([&] { return Driver().SetCommMask(file, eventMask); });
}

BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped) {
  return Plain([&] { return Driver().WaitCommEvent(file, eventMask, overlapped); });
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
  return Plain([&] { return Driver().ClearCommError(file, errors, status); });
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  return Noted(sim::Call::PurgeComm, file, [&] { return Driver().PurgeComm(file, flags); });
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  return Noted(sim::Call::EscapeCommFunction, file,
               [&] { return Driver().EscapeCommFunction(file, function); });
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
  return Noted(sim::Call::GetCommModemStatus, file,
               [&] { return Driver().GetCommModemStatus(file, modemStatus); });
}

// The simulator DLL gives the driver its ports; the tests make their own and
// trace as the release DLL does.
const char* Binding() { return sim::VirtualSerialDriver::SuppliesPorts() ? "simulator" : nullptr; }

}  // namespace serial_io

bool sim::InsidePortCall() { return serial_io::PortCallDepth() != 0 || sim::OnClockThread(); }
