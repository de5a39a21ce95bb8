#include "parity_timeline.h"

#include <algorithm>

namespace linesim {

void ParityTimeline::ChangeAt(uint64_t firstByte, sim::WireParity parity) {
  lastChange_ = std::max(lastChange_, firstByte);
  pending_.push_back({lastChange_, parity});
}

sim::WireParity ParityTimeline::Next(uint64_t index) {
  while (!pending_.empty() && pending_.front().firstByte <= index) {
    current_ = pending_.front().parity;
    pending_.pop_front();
  }
  return current_;
}

}  // namespace linesim
