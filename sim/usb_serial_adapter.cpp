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

UsbSerialAdapter::TimePoint UsbSerialAdapter::NextRelease() const {
  return lines_.empty() ? FirstPacket().due
                        : std::min(FirstPacket().due, lines_.front().first + latency_);
}

std::vector<UsbSerialAdapter::Character> UsbSerialAdapter::Release(
    TimePoint now, std::optional<InputLines>* lines) {
  std::vector<Character> released;
  // A line change a period old has gone in a status packet of its own at the latest.
  TimePoint statusSent = now - latency_;
  for (Packet packet = FirstPacket(); packet.size > 0 && packet.due <= now;
       packet = FirstPacket()) {
    released.insert(released.end(), held_.begin(),
                    held_.begin() + static_cast<std::ptrdiff_t>(packet.size));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(packet.size));
    statusSent = std::max(statusSent, packet.due);
  }
  for (; !lines_.empty() && lines_.front().first <= statusSent; lines_.pop_front())
    if (lines != nullptr) *lines = lines_.front().second;
  return released;
}

}  // namespace sim
