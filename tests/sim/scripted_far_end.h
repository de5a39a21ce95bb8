// A far end for tests of the virtual serial line: it records what the port sends
// and the port's output lines, answers each character as the test scripts it, and
// can wire its input lines to the port's output lines as a loopback cable does
// (CTS following RTS, DSR and RI following DTR).
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "far_end.h"

class ScriptedFarEnd : public sim::FarEnd {
 public:
  struct Character {
    uint8_t value;
    sim::WireParity parity;
  };
  using Reply = std::function<void(sim::LineSide& line, uint8_t value, sim::WireParity parity)>;

  // Sends every character straight back with the parity it came with.
  static void Echo(sim::LineSide& line, uint8_t value, sim::WireParity parity) {
    line.Send(value, parity);
  }

  void Attach(sim::LineSide* line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    line_ = line;
  }

  void ReceiveFromPort(uint8_t value, sim::WireParity parity) override {
    std::unique_lock<std::mutex> lock(mutex_);
    received_.push_back(Character{value, parity});
    changed_.notify_all();
    const Reply reply = reply_;
    sim::LineSide* line = line_;
    lock.unlock();
    if (reply && line != nullptr) {
      reply(*line, value, parity);
    }
  }

  void OutputLinesChanged(bool rts, bool dtr) override {
    std::unique_lock<std::mutex> lock(mutex_);
    rtsSeen_.push_back(rts);
    dtrSeen_.push_back(dtr);
    sim::LineSide* line = loopback_ ? line_ : nullptr;
    lock.unlock();
    if (line != nullptr) {
      sim::InputLines inputs;
      inputs.cts = rts;
      inputs.dsr = dtr;
      inputs.ring = dtr;
      line->SetInputLines(inputs);
    }
  }

  void SetReply(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
  }
  void SetLoopback(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    loopback_ = on;
  }
  // The line side of the current attachment (null while detached).
  sim::LineSide* line() {
    std::lock_guard<std::mutex> lock(mutex_);
    return line_;
  }
  std::vector<Character> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  // RTS and DTR as the far end was told them, one entry a change.
  std::vector<bool> rtsSeen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rtsSeen_;
  }
  std::vector<bool> dtrSeen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dtrSeen_;
  }
  // Waits until `count` characters have come from the port; false after `timeoutMs`.
  bool WaitForReceived(size_t count, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return received_.size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  sim::LineSide* line_ = nullptr;
  Reply reply_;
  bool loopback_ = false;
  std::vector<Character> received_;
  std::vector<bool> rtsSeen_;
  std::vector<bool> dtrSeen_;
};
