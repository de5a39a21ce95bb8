#include "nt_status.h"

namespace sim {

namespace {

struct StatusError {
  DWORD status;
  DWORD error;
};

// Statuses a serial driver or the I/O manager completes requests with. Where two
// statuses give the same Win32 error, the first is the one a driver would use.
constexpr StatusError kStatusErrors[] = {
    {0x00000000, ERROR_SUCCESS},
    {0xC0000120, ERROR_OPERATION_ABORTED},     // STATUS_CANCELLED
    {0xC000000D, ERROR_INVALID_PARAMETER},     // STATUS_INVALID_PARAMETER
    {0xC0000008, ERROR_INVALID_HANDLE},        // STATUS_INVALID_HANDLE
    {0xC0000022, ERROR_ACCESS_DENIED},         // STATUS_ACCESS_DENIED
    {0xC0000056, ERROR_ACCESS_DENIED},         // STATUS_DELETE_PENDING
    {0xC0000185, ERROR_IO_DEVICE},             // STATUS_IO_DEVICE_ERROR
    {0xC0000001, ERROR_GEN_FAILURE},           // STATUS_UNSUCCESSFUL
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},   // STATUS_INSUFFICIENT_RESOURCES
    {0xC0000225, ERROR_NOT_FOUND},             // STATUS_NOT_FOUND
    {0xC000009D, ERROR_DEVICE_NOT_CONNECTED},  // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000B5, ERROR_SEM_TIMEOUT},           // STATUS_IO_TIMEOUT
    {0xC0000010, ERROR_INVALID_FUNCTION},      // STATUS_INVALID_DEVICE_REQUEST
    {0xC00000BB, ERROR_NOT_SUPPORTED},         // STATUS_NOT_SUPPORTED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},   // STATUS_BUFFER_TOO_SMALL
    {0x80000005, ERROR_MORE_DATA},             // STATUS_BUFFER_OVERFLOW
    {0xC000000E, ERROR_FILE_NOT_FOUND},        // STATUS_NO_SUCH_DEVICE
};

constexpr DWORD kWin32Facility = 0xC0070000;

}  // namespace

LONG NtStatusOf(DWORD win32Error) {
  for (const StatusError& entry : kStatusErrors) {
    if (entry.error == win32Error) {
      return static_cast<LONG>(entry.status);
    }
  }
  return static_cast<LONG>(kWin32Facility | (win32Error & 0xFFFF));
}

DWORD Win32ErrorOf(LONG status) {
  const DWORD value = static_cast<DWORD>(status);
  for (const StatusError& entry : kStatusErrors) {
    if (entry.status == value) {
      return entry.error;
    }
  }
  if ((value & 0xFFFF0000) == kWin32Facility) {
    return value & 0xFFFF;
  }
  if (IsNtSuccess(status)) {
    return ERROR_SUCCESS;
  }
  return ERROR_MR_MID_NOT_FOUND;  // what the system answers for a status it cannot map
}

}  // namespace sim
