// The single-byte hand-off between the host's thread and the byte transfer worker.
// The caller hands one byte to the worker (or asks it for one) and blocks until
// the worker reports; every wait also watches PortClosingEvent, so that closing
// the port releases a waiting caller. No lock: the events order every access.
#pragma once

#include <windows.h>

#include <cstdint>

// Outcome of the last single-byte transfer: true means no byte was transferred.
// A successful initialisation clears it.
extern bool TransferFailed;
// The byte SendByte hands over; the worker's write takes it from here.
extern uint8_t OutByte;
// The byte the worker last read; the read lands here.
extern uint8_t InByte;

// Created by each worker when it starts (manual-reset). The request events are
// signalled by the caller and reset by the worker's transfer; TransferIdleEvent is
// signalled while no transfer is in progress. A worker's set stays in place after
// its port has closed (a hand-off on a closed port still finds them) and is closed
// by the next worker's start, when no caller can be waiting on it.
extern HANDLE WriteRequestEvent;
extern HANDLE ReadRequestEvent;
extern HANDLE TransferIdleEvent;

// Hands `value` to the worker for writing. True when the worker wrote it.
bool SendByte(uint8_t value);
// Asks the worker for one byte. True when a byte was read; only then is `value`
// written.
bool ReceiveByte(uint8_t& value);
