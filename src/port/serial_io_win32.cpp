// Release binding of the port calls: straight to kernel32.
#include "port/serial_io.h"

namespace serial_io {

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
  return ::CreateFileA(fileName, desiredAccess, shareMode, securityAttributes, creationDisposition,
                       flagsAndAttributes, templateFile);
}

DWORD GetFileType(HANDLE file) { return ::GetFileType(file); }

BOOL CloseHandle(HANDLE file) { return ::CloseHandle(file); }

BOOL GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size) {
  return ::GetCommConfig(file, config, size);
}

BOOL GetCommState(HANDLE file, LPDCB dcb) { return ::GetCommState(file, dcb); }

BOOL SetCommState(HANDLE file, LPDCB dcb) { return ::SetCommState(file, dcb); }

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return ::SetupComm(file, inQueue, outQueue);
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  return ::GetCommTimeouts(file, timeouts);
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  return ::SetCommTimeouts(file, timeouts);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
  return ::ReadFile(file, buffer, bytesToRead, bytesRead, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
  return ::WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                         BOOL wait) {
  return ::GetOverlappedResult(file, overlapped, bytesTransferred, wait);
}

BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) { return ::CancelIoEx(file, overlapped); }

BOOL SetCommMask(HANDLE file, DWORD eventMask) { return ::SetCommMask(file, eventMask); }

BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped) {
  return ::WaitCommEvent(file, eventMask, overlapped);
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
  return ::ClearCommError(file, errors, status);
}

BOOL PurgeComm(HANDLE file, DWORD flags) { return ::PurgeComm(file, flags); }

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  return ::EscapeCommFunction(file, function);
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
  return ::GetCommModemStatus(file, modemStatus);
}

const char* Binding() { return nullptr; }

}  // namespace serial_io
