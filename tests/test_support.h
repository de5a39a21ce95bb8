// Shared scenery for the tests: Windows-1250 expectations and a library with
// fresh state on a fresh virtual serial driver.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>

#include "virtual_serial.h"

// The Windows-1250 bytes of a text written in UTF-8. Only ASCII and the Polish
// letters occur in the library's messages; anything else fails the test.
std::string Cp1250(const char* utf8);

// True when the event is signalled right now.
bool IsSignalled(HANDLE event);

// True when `handle` is an open kernel handle of this process.
bool IsKernelHandleOpen(HANDLE handle);

// Delivers sent messages to this thread (as a host's message-aware wait does)
// until `done` answers true; false if that did not happen within `timeoutMs`.
bool PumpSentMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);

// Handles every message waiting for this thread, posted ones too: what a host's
// message loop does.
void DispatchPostedMessages();

// Waits for the event without delivering messages; false on time-out.
bool WaitFor(HANDLE event, DWORD timeoutMs = 5000);

// Ends the test program with a message if the scope is still running after the
// given time: a wait that must not hang fails the test instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(DWORD timeoutMs, const char* what);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static DWORD WINAPI Watch(LPVOID self);
  HANDLE done_;
  HANDLE thread_;
  DWORD timeoutMs_;
  const char* what_;
};

// Puts the library back into its just-loaded state and empties the virtual driver.
// Tests run one to a process under ctest; this keeps them independent when a test
// program is run by hand as well.
void ResetLibrary();

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  sim::VirtualSerialDriver& driver() { return sim::VirtualSerialDriver::Instance(); }
  // Unless a test opens ports itself and leaves them to the reset, it ends with
  // every port handle closed once the library has closed its port.
  bool opensPortsItself = false;
};
