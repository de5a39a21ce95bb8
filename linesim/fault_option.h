// Faults of the device model written as text, for zrvsim's command line and
// control channel:
//
//   POINT[#INDEX]:ACTION[:persistent]
//
//   POINT   status-byte, read-command-ack, read-location-ack, read-request-ack,
//           read-data-byte, write-command-ack, write-location-ack, write-record-ack
//   INDEX   0..29, the request of a read (read-request-ack, read-data-byte only);
//           without it every request matches
//   ACTION  correct, nak, byte=N (0..255, decimal or 0x..), silence, unplug,
//           line-error=KIND, line-error-then-reply=KIND, late=MS (the reply and
//           what follows it MS 0..60000 ms later)
//           (KIND: framing, parity, overrun, break)
//
// e.g. read-location-ack:nak, write-record-ack:byte=0, read-request-ack#2:nak,
// status-byte:silence:persistent.
#pragma once

#include <optional>
#include <string>

#include "zrv_device.h"

namespace linesim {

struct FaultOption {
  sim::ReplyPoint point;
  sim::ZrvFault fault;
};

// The fault `text` describes, or nothing with the reason in `error`.
std::optional<FaultOption> ParseFault(const std::string& text, std::string& error);

// A byte value written in decimal or as 0x.. (0..255).
std::optional<unsigned> ParseByte(const std::string& text);

}  // namespace linesim
