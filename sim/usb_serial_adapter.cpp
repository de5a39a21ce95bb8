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

UsbSerialAdapter::TimePoint UsbSerialAdapter::NextRelease() const { return FirstPacket().due; }

std::vector<UsbSerialAdapter::Character> UsbSerialAdapter::Release(TimePoint now) {
  std::vector<Character> released;
  for (Packet packet = FirstPacket(); packet.size > 0 && packet.due <= now;
       packet = FirstPacket()) {
    released.insert(released.end(), held_.begin(),
                    held_.begin() + static_cast<std::ptrdiff_t>(packet.size));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(packet.size));
  }
  return released;
}

}  // namespace sim
