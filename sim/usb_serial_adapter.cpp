#include "usb_serial_adapter.h"

#include <algorithm>

namespace sim {

void UsbSerialAdapter::SetLatency(Clock::duration latency) {
  latency_ = std::max(latency, Clock::duration::zero());
}

void UsbSerialAdapter::Take(uint8_t value, WireParity parity, TimePoint arrived) {
  if (!held_.empty()) arrived = std::max(arrived, held_.back().arrived);
  held_.push_back(Character{value, parity, arrived});
}

UsbSerialAdapter::Packet UsbSerialAdapter::FirstPacket() const {
  Packet packet;
  if (held_.empty()) return packet;
  // The timer started with the first character held; everything that reached the
  // adapter until it fires goes along, unless a full payload goes first.
  const TimePoint fires = held_.front().arrived + latency_;
  while (packet.size < held_.size() && packet.size < kPacketPayload &&
         held_[packet.size].arrived <= fires) {
    ++packet.size;
  }
  packet.due = packet.size == kPacketPayload ? held_[kPacketPayload - 1].arrived : fires;
  return packet;
}

UsbSerialAdapter::TimePoint UsbSerialAdapter::LinesDue() const {
  return lines_.empty() ? kNothingDue
                        : lines_.front().first + std::min<Clock::duration>(latency_, kUsbFrame);
}

UsbSerialAdapter::TimePoint UsbSerialAdapter::NextRelease() const {
  return std::min(FirstPacket().due, LinesDue());
}

std::vector<UsbSerialAdapter::Character> UsbSerialAdapter::Release(
    TimePoint now, std::optional<InputLines>* lines) {
  std::vector<Character> released;
  for (;;) {
    Packet packet = FirstPacket();
    const TimePoint linesDue = LinesDue();
    if (std::min(packet.due, linesDue) > now) return released;
    if (linesDue < packet.due) {
      // The packet a line change makes takes along what is held by then.
      packet = Packet{0, linesDue};
      while (packet.size < std::min(held_.size(), kPacketPayload) &&
             held_[packet.size].arrived <= linesDue) {
        ++packet.size;
      }
    }
    released.insert(released.end(), held_.begin(),
                    held_.begin() + static_cast<std::ptrdiff_t>(packet.size));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(packet.size));
    // The packet's status bytes show the lines as they stood when it went.
    for (; !lines_.empty() && lines_.front().first <= packet.due; lines_.pop_front()) {
      if (lines != nullptr) *lines = lines_.front().second;
    }
  }
}

}  // namespace sim
