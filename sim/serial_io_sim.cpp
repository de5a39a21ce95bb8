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

}  // namespace serial_io
