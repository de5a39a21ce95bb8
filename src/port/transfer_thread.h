// TZapisOdczytThread: the byte transfer worker, the only thread that moves data on
// the port. It waits for a write or read request of the hand-off, performs one
// overlapped single-byte transfer on the active port object, reports the outcome
// through TransferFailed and signals TransferIdleEvent.
#pragma once

#include <windows.h>

#include <cstdint>

#include "port/thread.h"

class TComm;

class TZapisOdczytThread : public TThread {
 public:
  // Starts the worker at time-critical priority and returns once it has made the
  // hand-off events and waits for requests (or has failed to make them).
  TZapisOdczytThread();
  ~TZapisOdczytThread() override;

  // Asks the worker to end after the transfer in progress, if any; returns at once.
  void StopTransfers();

  HANDLE StopEvent;  // manual-reset; owned, closed by destruction

 protected:
  void Run() override;
  virtual void WriteOne();
  virtual void ReadOne();

 private:
  HANDLE ready_;  // signalled by Run once its events exist (or could not be made)
};

// One overlapped single-byte write of *data on `port`: the number of bytes written.
int32_t PortWriteByte(TComm* port, const uint8_t* data);
// One overlapped read of up to `count` bytes into `buffer`: the number read.
int32_t PortReadBytes(TComm* port, uint8_t* buffer, int32_t count);
