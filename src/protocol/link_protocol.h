// The device link protocol: the ZRV device's half-duplex, byte-at-a-time exchange.
// Command bytes go with odd parity, location and data bytes with even parity; the
// device answers ACK or NAK. Every byte travels through the hand-off to the byte
// transfer worker; its outcome is judged by TransferFailed alone.
#pragma once

#include <windows.h>

#include <cstdint>

namespace zrv {

// Bytes of the protocol.
constexpr uint8_t kStatusCommand = 1;
constexpr uint8_t kWriteCommand = 2;
constexpr uint8_t kReadCommand = 4;
constexpr uint8_t kNextByteRequest = 5;
constexpr uint8_t kAck = 6;
constexpr uint8_t kNak = 21;
constexpr uint8_t kRecordLength = 30;
constexpr uint16_t kLocationOffset = 60;
constexpr uint16_t kFirstAddress = 1;
constexpr uint16_t kLastAddress = 931;

// Result codes of the transfer exports.
enum Result : uint8_t {
  kOk = 0,
  kNotInitialized = 1,
  kNoDevice = 2,
  kNotSent = 3,
  kNotReceived = 4,
  kCommandRefused = 5,
  kLocationRefused = 6,
  kRecordRefused = 7,
  kUnexpectedReply = 8,
  kInvalidArgument = 9,
};

}  // namespace zrv

// The presence check: the device (or its cable) makes CTS follow RTS and RI follow
// DTR. True when all four steps saw the line follow.
bool DevicePresent();
// Sends one byte with the given parity, switching the port's parity first when it
// differs. When the port refuses the switch nothing is sent and TransferFailed is
// set; the next byte that needs the parity tries the switch again.
void SendWithParity(uint8_t value, DWORD parity);
// Switches the port to odd parity, purges it, then sends the byte.
void SendCommandByte(uint8_t value);
// Sends the byte with even parity.
void SendDataByte(uint8_t value);
// The opening exchange of a record read or write: command, location block. 0 when
// the device accepted both, otherwise the result code.
uint8_t SendRecordHeader(uint16_t address, bool write);

// The bodies of the three transfer exports.
uint8_t ReadStatus(uint8_t* status);
uint8_t ReadRecord(uint16_t address, uint8_t* buffer);
uint8_t WriteRecord(uint16_t address, const uint8_t* data);
