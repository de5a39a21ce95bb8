// The NTSTATUS values the serial driver completes its requests with, and their
// Win32 errors. A completed OVERLAPPED holds the NTSTATUS in Internal; the caller
// sees the Win32 error through GetOverlappedResult.
#pragma once

#include <windows.h>

namespace sim {

// Success codes: GetOverlappedResult answers TRUE for them.
constexpr LONG kStatusSuccess = 0x00000000;
constexpr LONG kStatusTimeout = 0x00000102;  // a read or write ended by its time-out
constexpr LONG kStatusPending = 0x00000103;  // OVERLAPPED.Internal while in flight

// Error codes (the high bit set).
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);  // ERROR_OPERATION_ABORTED

constexpr bool IsNtSuccess(LONG status) { return status >= 0; }

// The NTSTATUS a driver completes with for a Win32 error (a Win32 error with no
// status of its own travels as a "Win32 facility" status, 0xC007xxxx).
LONG NtStatusOf(DWORD win32Error);
// The Win32 error the system reports for an NTSTATUS.
DWORD Win32ErrorOf(LONG status);

}  // namespace sim
