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

}  // namespace serial_io
