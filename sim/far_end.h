// The far end of a serial line, as the line sees it: whatever is plugged into the
// port (the ZRV device model, a test's scripted peer). Portable C++: no Windows
// calls, so the same device code also serves a real serial line from a Linux
// program.
//
// The line carries bytes framed with a parity, and modem lines in both directions.
// The port side (the virtual serial driver, or a pty server) calls the FarEnd; the
// far end answers through the LineSide it was attached to.
#pragma once

#include <chrono>
#include <cstdint>

namespace sim {

// How a character was framed on the wire.
enum class WireParity : uint8_t { None, Odd, Even, Mark, Space };

// The parity's name as the device logs print it: none, odd, even, mark, space.
inline const char* ParityName(WireParity parity) {
  static constexpr const char* kNames[] = {"none", "odd", "even", "mark", "space"};
  const auto index = static_cast<unsigned>(parity);
  return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "none";
}

// Line errors the port side can be made to detect on its receiver.
enum class LineError : uint8_t { Framing, Parity, Overrun, Break };

// What the far end drives: the port's input modem lines.
struct InputLines {
  bool cts = false;
  bool dsr = false;
  bool ring = false;
  bool rlsd = false;
};

// The port side of the line, used by the far end to answer. Thread-safe; may be
// called from inside a FarEnd callback.
class LineSide {
 public:
  virtual ~LineSide() = default;

  // Puts one character on the line towards the port. It arrives `after` the
  // previous character sent this way has arrived (zero: as soon as possible),
  // which is how a far end paces its bytes at the line speed.
  virtual void Send(uint8_t value, WireParity parity,
                    std::chrono::microseconds after = std::chrono::microseconds(0)) = 0;

  // Makes the port's receiver see a line error now (a framing or parity error, an
  // overrun, a break), as a noisy line or a misbehaving device would cause.
  virtual void RaiseLineError(LineError error) = 0;

  // Sets the port's input modem lines.
  virtual void SetInputLines(const InputLines& lines) = 0;
};

// The far end itself. Callbacks come from the port side's threads, one at a time
// and never with the port side's own lock held.
class FarEnd {
 public:
  virtual ~FarEnd() = default;

  // Attached to a port (or detached, with null). Until attached it sends nothing.
  virtual void Attach(LineSide* line) = 0;

  // A character from the port has fully arrived, framed with `parity` (the parity
  // the port was set to when it sent it).
  virtual void ReceiveFromPort(uint8_t value, WireParity parity) = 0;

  // The port's output modem lines changed (or were set at attachment).
  virtual void OutputLinesChanged(bool rts, bool dtr) = 0;
};

// Time a character takes on the line: start bit, 8 data bits, parity, stop bit.
constexpr std::chrono::microseconds CharacterTime(unsigned baudRate,
                                                  unsigned bitsPerCharacter = 11) {
  return std::chrono::microseconds((1000000ULL * bitsPerCharacter + baudRate - 1) / baudRate);
}

}  // namespace sim
