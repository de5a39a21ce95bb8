// The scene of the virtual serial line tests: COM1 open for overlapped I/O through
// the port calls the library uses, with a scripted far end plugged in.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include "port/serial_io.h"
#include "scripted_far_end.h"
#include "test_support.h"

// Bound of every wait for something that is expected to happen.
constexpr DWORD kPatienceMs = 5000;

// STATUS_PENDING and STATUS_TIMEOUT as OVERLAPPED.Internal holds them.
constexpr ULONG_PTR kInternalPending = 0x103;
constexpr ULONG_PTR kInternalTimeout = 0x102;

// One overlapped request with its own manual-reset event. A request still pending
// when the test leaves is cancelled first, so nothing completes into a gone record.
class PortRequest {
 public:
  explicit PortRequest(HANDLE port) : port_(port) {
    record.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~PortRequest() {
    if (record.Internal == kInternalPending) {
      serial_io::CancelIoEx(port_, &record);
    }
    CloseHandle(record.hEvent);
  }
  PortRequest(const PortRequest&) = delete;
  PortRequest& operator=(const PortRequest&) = delete;

  bool Completes(DWORD timeoutMs = kPatienceMs) const {
    return WaitForSingleObject(record.hEvent, timeoutMs) == WAIT_OBJECT_0;
  }

  OVERLAPPED record{};

 private:
  HANDLE port_;
};

// What GetOverlappedResult answers.
struct Result {
  BOOL ok;
  DWORD error;  // GetLastError when !ok
  DWORD count;
};

class SerialLineTest : public LibraryTest {
 protected:
  static constexpr unsigned kPort = 1;

  void SetUp() override {
    LibraryTest::SetUp();
    opensPortsItself = true;
    driver().AddPort(kPort);
    handle = serial_io::CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    driver().AttachFarEnd(kPort, &peer);
    SetTimeouts({0, 0, 0, 0, 0});
  }

  void SetTimeouts(COMMTIMEOUTS timeouts) {
    ASSERT_TRUE(serial_io::SetCommTimeouts(handle, &timeouts));
  }

  // The port's parity, whether its receiver checks it, and fAbortOnError.
  void SetLine(BYTE parity, bool checkParity, bool abortOnError) {
    DCB dcb{};
    ASSERT_TRUE(serial_io::GetCommState(handle, &dcb));
    dcb.Parity = parity;
    dcb.fParity = checkParity;
    dcb.fAbortOnError = abortOnError;
    ASSERT_TRUE(serial_io::SetCommState(handle, &dcb));
  }

  // GetOverlappedResult's answer; with `wait`, once the completion has come (a
  // completion that never comes fails the test instead of hanging it).
  Result ResultOf(PortRequest& request, BOOL wait = TRUE) {
    Result result{FALSE, WAIT_TIMEOUT, 0};
    if (wait && !request.Completes()) {
      ADD_FAILURE() << "the request did not complete";
      return result;
    }
    result.ok = serial_io::GetOverlappedResult(handle, &request.record, &result.count, wait);
    result.error = result.ok ? 0 : GetLastError();
    return result;
  }

  // The far end puts one character on the line towards the port.
  void PeerSends(uint8_t value, sim::WireParity parity = sim::WireParity::None,
                 std::chrono::microseconds after = std::chrono::microseconds(0)) {
    peer.line()->Send(value, parity, after);
  }

  // The events a comm-event wait issued now reports at once (0: it would wait).
  DWORD EventsSeen() {
    PortRequest wait(handle);
    DWORD mask = 0;
    return serial_io::WaitCommEvent(handle, &mask, &wait.record) ? mask : 0;
  }

  ScriptedFarEnd peer;
  HANDLE handle = INVALID_HANDLE_VALUE;
};
