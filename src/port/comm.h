// TComm: the serial port object. It holds the port's handle, the line settings and
// time-outs applied to it, and the Win32 records the port is driven through.
// Every failing step is stored in the last-error record and the operation returns
// the system error code (0 for success); nothing is thrown to the caller.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class TZdarzeniaCommThread;
class TZapisOdczytThread;

// Constant library settings.
extern const bool UseCtsFlowControl;     // false: output never waits for CTS
extern const uint8_t DefaultParityMode;  // 0: a new port object starts with no parity

// The process's priority class before the port was opened, put back by Close.
extern DWORD SavedPriorityClass;

// Manual-reset event: created clear by each Open, signalled by the Close of an open
// port. Every wait that concerns a transfer includes it, so closing the port
// releases a caller still waiting for a byte. The port object that created it owns
// it; the next Open that creates a new one closes it.
extern HANDLE PortClosingEvent;

// Device path prefix: "\\.\COM", then the port number in decimal.
extern const char kComDevicePrefix[];

class TComm {
 public:
  TComm();
  virtual ~TComm();

  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  // Opens DeviceName for overlapped I/O; the port must be a character device.
  virtual int32_t OpenHandle();
  // One comm event of a reported mask; records the line errors of EV_ERR. Runs on
  // the hand-over thread.
  virtual void LineEventHandler(DWORD event);

  int32_t Configure(uint8_t portNumber, int32_t baudRate, uint16_t writeTimeoutSeconds,
                    uint16_t readTimeoutSeconds);
  int32_t Open();
  int32_t Close();
  bool IsOpen() const;

  // Reads the port's DCB, puts the line settings and flag rules into it and writes
  // it back; members not named keep what the driver reported.
  int32_t ApplyDcb();
  static void SetDcbFlags(DCB& dcb);
  int32_t ApplyTimeouts(uint16_t writeTimeoutSeconds, uint16_t readTimeoutSeconds);
  void ReleaseHandle();
  // The watcher's handler, on the hand-over thread: fetches and clears the port's
  // error state, then passes each reported event on in table order.
  void HandleCommEvent(TZdarzeniaCommThread* sender, DWORD eventMask);

  HANDLE Handle;
  OVERLAPPED WriteOverlapped;
  OVERLAPPED ReadOverlapped;
  DCB Dcb;
  COMSTAT ComStat;
  std::string DeviceName;
  uint8_t PortNumber;
  COMMCONFIG CommConfig;
  COMMTIMEOUTS SavedTimeouts;
  COMMTIMEOUTS Timeouts;
  TZdarzeniaCommThread* Watcher;  // owned: made by Open, ended and destroyed by Close
  TZapisOdczytThread* Worker;     // owned: made by Open, ended and destroyed by Close
  uint16_t Events;                // bit i: entry i of the nine comm events; all nine
  DWORD Errors;
  DWORD BaudRate;
  DWORD Parity;
  DWORD StopBits;
  DWORD ByteSize;
  DWORD InQueueSize;
  DWORD OutQueueSize;
  uint16_t WriteTimeoutSeconds;
  uint16_t ReadTimeoutSeconds;
};

// Puts SavedPriorityClass back on the process when the class differs from it. The
// first step of every Close; also what closing an empty slot amounts to.
void RestorePriorityClass();
