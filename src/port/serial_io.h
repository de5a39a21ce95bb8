// The port's handle is touched only through these calls. The release DLL binds
// them to kernel32 (serial_io_win32.cpp); the tests bind them to the virtual serial
// port in sim/. Signatures and error reporting (return value, SetLastError) are
// exactly those of the Win32 functions of the same names.
//
// Events, threads, windows, priorities and the registry are not port calls: the
// library uses kernel32 and user32 for them directly, in every build.
#pragma once

#include <windows.h>

namespace serial_io {

// PurgeComm's flags for dropping everything: pending reads and writes and both queues.
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
DWORD GetFileType(HANDLE file);
BOOL CloseHandle(HANDLE file);

BOOL GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size);
BOOL GetCommState(HANDLE file, LPDCB dcb);
BOOL SetCommState(HANDLE file, LPDCB dcb);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped);
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus);

// What the port calls reach, for the trace's first line: null for the serial
// driver of the machine; otherwise a word that says the port is no real one
// ("simulator").
const char* Binding();

}  // namespace serial_io
