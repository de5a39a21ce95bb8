#include "protocol/link_protocol.h"

#include <cstring>

#include "library/library_state.h"
#include "port/comm.h"
#include "port/hand_off.h"
#include "port/serial_io.h"
#include "trace/trace.h"

namespace {

TComm* ActivePort() { return CommSlots[ActiveSlot]; }

HANDLE ActiveHandle() {
  TComm* port = ActivePort();
  return port != nullptr ? port->Handle : INVALID_HANDLE_VALUE;
}

struct PresenceStep {
  DWORD function;  // EscapeCommFunction
  DWORD input;     // modem status bit that must follow
  bool on;
};

// RTS low then high, watching CTS; DTR low then high, watching RI. A port whose
// status cannot be read keeps the word at 0 and fails at the second step.
constexpr PresenceStep kPresenceSteps[] = {
    {CLRRTS, MS_CTS_ON, false},
    {SETRTS, MS_CTS_ON, true},
    {CLRDTR, MS_RING_ON, false},
    {SETDTR, MS_RING_ON, true},
};

// Receives the device's reply to a command or a block: 0 for ACK, `onNak` for
// NAK, 4 when no byte came and 8 for anything else.
uint8_t ReceiveReply(uint8_t onNak) {
  uint8_t reply = 0;
  ReceiveByte(reply);
  if (TransferFailed) {
    return zrv::kNotReceived;
  }
  TraceReply(reply, onNak);
  if (reply == zrv::kAck) {
    return zrv::kOk;
  }
  return reply == zrv::kNak ? onNak : static_cast<uint8_t>(zrv::kUnexpectedReply);
}

}  // namespace

bool DevicePresent() {
  const HANDLE handle = ActiveHandle();
  for (const PresenceStep& step : kPresenceSteps) {
    DWORD status = 0;
    serial_io::EscapeCommFunction(handle, step.function);
    Sleep(1);  // the device's cable answers within a character time
    serial_io::GetCommModemStatus(handle, &status);
    TracePresenceStep(step.function, step.input, step.on, status);
    if (((status & step.input) != 0) != step.on) {
      return false;
    }
  }
  return true;
}

namespace {

// Sets the port's parity for the next byte when it differs. False when the port
// refused the switch: the port keeps its previous parity and Parity says so, so
// the next byte that needs this parity asks for the switch again. A byte must not
// go with the wrong parity: the device tells commands from data by it, so a
// location byte framed odd would be a command to it.
bool SwitchParity(DWORD parity) {
  TComm* port = ActivePort();
  if (port == nullptr || port->Parity == parity) {
    return true;
  }
  const DWORD previous = port->Parity;
  port->Parity = parity;
  if (TraceParitySwitch(parity, port->ApplyDcb()) != 0) {
    port->Parity = previous;
    return false;
  }
  return true;
}

}  // namespace

void SendWithParity(uint8_t value, DWORD parity) {
  if (!SwitchParity(parity)) {
    TransferFailed = true;  // nothing sent: the transaction ends with "not sent"
    return;
  }
  SendByte(value);
}

void SendCommandByte(uint8_t value) {
  if (!SwitchParity(ODDPARITY)) {
    TransferFailed = true;
    return;
  }
  // Only bytes that arrive after the command byte can be its reply: whatever an
  // earlier, abandoned exchange left in the queues goes first, as late as it can,
  // right before the byte (after the parity switch, so that a late byte landing
  // during the switch goes too). The purge runs between hand-offs, so it aborts no
  // transfer of the worker's.
  TracePurge(serial_io::PurgeComm(ActiveHandle(), serial_io::kPurgeAll));
  SendByte(value);
}

void SendDataByte(uint8_t value) { SendWithParity(value, EVENPARITY); }

uint8_t SendRecordHeader(uint16_t address, bool write) {
  if (address < zrv::kFirstAddress || address > zrv::kLastAddress) {
    return zrv::kInvalidArgument;
  }
  if (!PortInitialized) {
    return zrv::kNotInitialized;
  }
  if (!DevicePresent()) {
    return zrv::kNoDevice;
  }
  SendCommandByte(write ? zrv::kWriteCommand : zrv::kReadCommand);
  if (TransferFailed) {
    return zrv::kNotSent;
  }
  const uint8_t result = ReceiveReply(zrv::kCommandRefused);
  if (result != zrv::kOk) {
    return result;
  }

  const uint16_t location = static_cast<uint16_t>(address + zrv::kLocationOffset);
  const uint8_t block[3] = {static_cast<uint8_t>(location & 0xFF),
                            static_cast<uint8_t>(location >> 8), zrv::kRecordLength};
  for (uint8_t byte : block) {
    SendDataByte(byte);
    if (TransferFailed) {
      return zrv::kNotSent;
    }
  }
  return ReceiveReply(zrv::kLocationRefused);
}

uint8_t ReadStatus(uint8_t* status) {
  // Nowhere to put the reply: refused before anything else, as a bad address is.
  if (status == nullptr) {
    return zrv::kInvalidArgument;
  }
  if (!PortInitialized) {
    return zrv::kNotInitialized;
  }
  if (!DevicePresent()) {
    return zrv::kNoDevice;
  }
  SendCommandByte(zrv::kStatusCommand);
  if (TransferFailed) {
    return zrv::kNotSent;
  }
  ReceiveByte(*status);
  if (TransferFailed) {
    return zrv::kNotReceived;
  }
  return zrv::kOk;
}

uint8_t ReadRecord(uint16_t address, uint8_t* buffer) {
  if (buffer == nullptr) {
    return zrv::kInvalidArgument;
  }
  uint8_t result = SendRecordHeader(address, false);
  // The device hands the record over byte by byte, each on request; bytes already
  // received stay in the host's buffer when a later one fails.
  for (unsigned i = 0; i < zrv::kRecordLength && result == zrv::kOk; ++i) {
    SendCommandByte(zrv::kNextByteRequest);
    if (TransferFailed) {
      result = zrv::kNotSent;
      break;
    }
    result = ReceiveReply(zrv::kCommandRefused);
    if (result != zrv::kOk) {
      break;
    }
    uint8_t byte = 0;
    ReceiveByte(byte);
    if (TransferFailed) {
      result = zrv::kNotReceived;
      break;
    }
    buffer[i] = byte;
    TraceRecordByte(i);
  }
  return result;
}

uint8_t WriteRecord(uint16_t address, const uint8_t* data) {
  if (data == nullptr) {
    return zrv::kInvalidArgument;
  }
  // The host's bytes are taken once, before anything else; they are not read
  // again whatever the host does with its buffer meanwhile.
  uint8_t record[zrv::kRecordLength];
  std::memcpy(record, data, sizeof(record));

  uint8_t result = SendRecordHeader(address, true);
  if (result != zrv::kOk) {
    return result;
  }
  // No escaping: ACK and NAK values inside a record go as they are.
  for (uint8_t byte : record) {
    SendDataByte(byte);
    if (TransferFailed) {
      return zrv::kNotSent;
    }
  }
  return ReceiveReply(zrv::kRecordRefused);
}
