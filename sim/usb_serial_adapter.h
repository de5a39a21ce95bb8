// A USB-serial adapter between the device and the host, as the host's side of the
// line sees it: characters from the device do not reach the port as they arrive
// but in USB packets. The adapter holds what it receives until its latency timer
// fires or until it holds a full packet's payload (62 bytes: a 64-byte packet less
// the two modem status bytes), and then hands all of it over at once. The timer is
// settable from 1 to 255 ms on the common adapters (16 ms out of the box); 0 here
// stands for a native port, which hands every character over as it arrives.
//
// The model's timer starts when a character reaches an empty adapter and fires one
// period later; whatever has arrived by then goes with it. A real adapter's timer
// runs from the last packet it sent, so a reply may wait anything from nothing to a
// whole period: the model's figures are the upper end. The device's modem lines (CTS,
// DSR, RI, DCD) reach the host only in the status bytes of a packet, but a change
// of them makes the adapter send one at the next USB frame (1 ms; the timer when
// that is shorter), with whatever it holds by then. Bytes from the host and the
// host's own lines pass at once.
//
// Clock-free and not thread-safe: its owner (the virtual serial driver, zrvsim's
// loop) tells it when each character arrived, asks when the next packet is due,
// and takes what has been released, under its own lock. Portable C++.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "far_end.h"

namespace sim {

class UsbSerialAdapter {
 public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;

  // The payload of one full USB packet from the adapter.
  static constexpr size_t kPacketPayload = 62;
  // Nothing held: no packet is due.
  static constexpr TimePoint kNothingDue = TimePoint::max();
  // A full-speed USB frame: the soonest a line change reaches the host.
  static constexpr Clock::duration kUsbFrame = std::chrono::milliseconds(1);

  struct Character {
    uint8_t value = 0;
    WireParity parity = WireParity::None;
    TimePoint arrived{};  // when it reached the adapter from the device
  };

  // The latency timer; zero makes a native port. A new value applies to what is
  // held already as well.
  void SetLatency(Clock::duration latency);
  Clock::duration Latency() const { return latency_; }

  // True when a character or line change handed over would come out at its arrival,
  // as on a native port: no timer, and nothing held that it would have to follow.
  bool PassesThrough() const {
    return latency_ <= Clock::duration::zero() && held_.empty() && lines_.empty();
  }

  // A character from the device reached the adapter at `arrived`. Characters come
  // in the order they arrive; one dated before its predecessor counts as arriving
  // with it.
  void Take(uint8_t value, WireParity parity, TimePoint arrived);
  // The device set its lines at `changed`, no earlier than the change before.
  void TakeLines(const InputLines& lines, TimePoint changed) {
    lines_.emplace_back(changed, lines);
  }
  // The last lines taken and not yet sent; null when none wait.
  const InputLines* LastLines() const { return lines_.empty() ? nullptr : &lines_.back().second; }

  // When the next packet goes to the host, as far as what was taken so far tells: a
  // character still to come may make a full packet earlier. kNothingDue: none held.
  TimePoint NextRelease() const;

  // The characters whose packets have gone to the host by `now`, in order, and the
  // lines the last packet showed if they changed. The caller must have handed over
  // every character and line change that came before `now`.
  std::vector<Character> Release(TimePoint now, std::optional<InputLines>* lines = nullptr);

  // Forgets what is held (the device cable pulled with bytes in the adapter).
  void Clear() { held_.clear(), lines_.clear(); }

  size_t Held() const { return held_.size(); }

 private:
  // The first packet of what is held: its size and when it goes.
  struct Packet {
    size_t size = 0;
    TimePoint due = kNothingDue;
  };
  Packet FirstPacket() const;
  // When the packet the first line change not yet sent makes goes.
  TimePoint LinesDue() const;

  Clock::duration latency_{0};
  std::deque<Character> held_;
  std::deque<std::pair<TimePoint, InputLines>> lines_;  // changes not yet sent, in order
};

}  // namespace sim
