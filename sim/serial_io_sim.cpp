// Test binding of the port calls: every call lands in the virtual serial driver.
#include "port/serial_io.h"
#include "virtual_serial.h"

namespace serial_io {

namespace {
sim::VirtualSerialDriver& Driver() { return sim::VirtualSerialDriver::Instance(); }
}  // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  return Driver().CreateFileA(fileName, desiredAccess, shareMode, creationDisposition,
                              flagsAndAttributes);
}

DWORD GetFileType(HANDLE file) { return Driver().GetFileType(file); }

BOOL CloseHandle(HANDLE file) { return Driver().CloseHandle(file); }

BOOL GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size) {
  return Driver().GetCommConfig(file, config, size);
}

BOOL GetCommState(HANDLE file, LPDCB dcb) { return Driver().GetCommState(file, dcb); }

BOOL SetCommState(HANDLE file, LPDCB dcb) { return Driver().SetCommState(file, dcb); }

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return Driver().SetupComm(file, inQueue, outQueue);
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  return Driver().GetCommTimeouts(file, timeouts);
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  return Driver().SetCommTimeouts(file, timeouts);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
  return Driver().ReadFile(file, buffer, bytesToRead, bytesRead, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
  return Driver().WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                         BOOL wait) {
  return Driver().GetOverlappedResult(file, overlapped, bytesTransferred, wait);
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
  return Driver().CancelIoEx(file, overlapped);
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) { return Driver().SetCommMask(file, eventMask); }

BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped) {
  return Driver().WaitCommEvent(file, eventMask, overlapped);
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
  return Driver().ClearCommError(file, errors, status);
}

BOOL PurgeComm(HANDLE file, DWORD flags) { return Driver().PurgeComm(file, flags); }

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  return Driver().EscapeCommFunction(file, function);
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
  return Driver().GetCommModemStatus(file, modemStatus);
}

}  // namespace serial_io
