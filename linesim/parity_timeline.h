// Which parity each byte from the port was framed with. The port's parity
// changes reach zrvsim on the cable socket, its bytes on the pty; each change
// names the number of bytes written before it, so byte n (counted from 0 since
// zrvsim started) has the parity of the last change at or before n.
#pragma once

#include <cstdint>
#include <deque>

#include "far_end.h"

namespace linesim {

class ParityTimeline {
 public:
  // The port framed bytes from number `firstByte` on with `parity`. Changes come
  // in the order the port made them; one that names an earlier byte than a change
  // before it applies from that change's byte on.
  void ChangeAt(uint64_t firstByte, sim::WireParity parity);

  // The parity of byte `index`. Asked for the bytes in order: each answer
  // forgets the changes before it.
  sim::WireParity Next(uint64_t index);

 private:
  struct Change {
    uint64_t firstByte;
    sim::WireParity parity;
  };
  std::deque<Change> pending_;
  uint64_t lastChange_ = 0;
  sim::WireParity current_ = sim::WireParity::None;
};

}  // namespace linesim
