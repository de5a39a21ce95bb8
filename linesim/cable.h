// The cable between a pseudo-terminal and the program that serves a device on it.
//
// A pty carries bytes and nothing else: no modem lines, no parity. The preload
// library (libzrvline.so, in the process that owns the pty slave) and zrvsim (on
// the master) fill in the rest between them:
//
// - Shared memory (a memfd zrvsim hands over when the preload connects) holds the
//   state both sides read at any time: the input modem lines the device drives,
//   the output lines and the parity the port last set, and the count of bytes the
//   port has written to the line.
// - A SOCK_SEQPACKET Unix socket carries the changes the port makes, one request
//   and one reply each: the preload's call returns only after zrvsim has applied
//   the change (and the device has answered a line change with its own lines), so
//   a GetCommModemStatus after an EscapeCommFunction sees the device's answer.
// - Bytes and parity changes travel on different paths (the pty and the socket),
//   so a parity change carries the number of bytes written before it: zrvsim
//   numbers the bytes it reads from the master and frames byte n with the parity
//   of the last change made at or before n. No race between the two paths can
//   give a byte the wrong parity.
//
// Used by C++ code built without exceptions (the preload): keep it plain.
#pragma once

#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <cstdint>

#include "far_end.h"

namespace linesim {

constexpr uint32_t kCableMagic = 0x5A52564Cu;  // "ZRVL"
constexpr uint32_t kCableVersion = 1;

// Parity bits of c_cflag that the pty cannot keep.
constexpr unsigned kParityFlags = PARENB | PARODD | CMSPAR;
// The modem lines the port drives, as TIOCMGET reports them.
constexpr uint32_t kOutputLineBits = TIOCM_RTS | TIOCM_DTR;

// The shared memory. zrvsim creates and owns it; the preload maps it.
struct CableState {
  uint32_t magic;
  uint32_t version;
  std::atomic<uint32_t> serving;      // 1 while zrvsim serves the line, 0 once it has gone
  std::atomic<uint32_t> inputLines;   // TIOCM_CTS/DSR/RNG/CAR, as the device drives them
  std::atomic<uint32_t> outputLines;  // TIOCM_RTS/DTR, as the port last set them
  std::atomic<uint32_t> parityFlags;  // PARENB/PARODD/CMSPAR, as the port last asked
  std::atomic<uint64_t> written;      // bytes the port has written to the pty slave
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared between processes");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared between processes");

enum class CableRequestKind : uint32_t {
  Hello = 1,        // first request of a connection: the reply brings the shared memory
  Parity = 2,       // value: parity flags; written: bytes written before the change
  OutputLines = 3,  // value: TIOCM_RTS/DTR bits
};

struct CableRequest {
  CableRequestKind kind;
  uint32_t value;
  uint64_t written;
};

struct CableReply {
  uint32_t ok;          // 1: applied
  uint32_t inputLines;  // the device's lines after the change
};

inline sim::WireParity ParityFromFlags(unsigned flags) {
  if ((flags & PARENB) == 0) return sim::WireParity::None;
  const bool odd = (flags & PARODD) != 0;
  if ((flags & CMSPAR) != 0) return odd ? sim::WireParity::Mark : sim::WireParity::Space;
  return odd ? sim::WireParity::Odd : sim::WireParity::Even;
}

inline uint32_t LineBits(const sim::InputLines& lines) {
  return (lines.cts ? TIOCM_CTS : 0u) | (lines.dsr ? TIOCM_DSR : 0u) |
         (lines.ring ? TIOCM_RNG : 0u) | (lines.rlsd ? TIOCM_CAR : 0u);
}

// The name of a parity as the logs print it.
using sim::ParityName;

}  // namespace linesim
