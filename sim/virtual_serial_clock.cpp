// The clock thread of the virtual serial driver: the one thread that runs the
// ports' time-outs, paced and deferred writes, forced completions and the
// characters a far end sent with a delay. It sleeps until the nearest deadline,
// a wake-up from a driver call, or the end of a thread with operations pending.
#include <algorithm>
#include <vector>

#include "virtual_port.h"
#include "virtual_serial.h"

namespace sim {

namespace {

// WaitForMultipleObjects takes at most this many handles: the wake-up event and
// the issuing threads watched.
constexpr size_t kMostWaitHandles = MAXIMUM_WAIT_OBJECTS;

}  // namespace

DWORD WINAPI VirtualSerialDriver::ClockMain(LPVOID driver) {
  static_cast<VirtualSerialDriver*>(driver)->RunClock();
  return 0;
}

std::chrono::steady_clock::duration VirtualSerialDriver::Scaled(double microseconds) const {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::micro>(microseconds * timeScale_));
}

void VirtualSerialDriver::WakeClock() {
  if (clockThread_ == nullptr && !clockStop_ && clockWake_ != nullptr) {
    clockThread_ = CreateThread(nullptr, 0, &ClockMain, this, 0, nullptr);
  }
  SetEvent(clockWake_);
}

void VirtualSerialDriver::StopClock(DWORD timeoutMs) {
  HANDLE thread = nullptr;
  {
    std::lock_guard<SrwLock> lock(mutex_);
    clockStop_ = true;
    thread = clockThread_;
    clockThread_ = nullptr;
  }
  if (thread != nullptr) {
    SetEvent(clockWake_);
    WaitForSingleObject(thread, timeoutMs);
    ::CloseHandle(thread);
  }
}

void VirtualSerialDriver::RunClock() {
  bool threadEnded = false;
  for (;;) {
    std::vector<std::shared_ptr<Port>> toDrain;
    std::vector<std::shared_ptr<Issuer>> watched;
    TimePoint next = kNever;
    TimePoint now;
    {
      StepLock step(mutex_, changed_);
      if (clockStop_) {
        return;
      }
      if (threadEnded) {
        SweepEndedThreads();
      }
      now = Clock::now();
      for (auto& entry : ports_) {
        Port& port = *entry.second;
        while (!port.arriving.empty() && port.arriving.front().at <= now) {
          const Arrival arrival = port.arriving.front();
          port.arriving.pop_front();
          Receive(port, arrival.value, arrival.parity);
        }
        AdvanceForced(port);
        AdvanceWrites(port);
        AdvanceReads(port);
        if (!port.toFarEnd.empty()) {
          toDrain.push_back(entry.second);
        }

        // When this port needs the clock again.
        if (!port.arriving.empty()) {
          next = std::min(next, port.arriving.front().at);
        }
        for (const auto& operation : port.operations) {
          if (operation->forced || !operation->started) {
            // Due at once; only the current read or write starts, and it has.
            if (operation->forced) {
              next = now;
            }
            continue;
          }
          next = std::min(next, operation->totalDeadline);
          if (operation->kind == IoKind::Read) {
            next = std::min(next, operation->intervalDeadline);
          } else if (operation->kind == IoKind::Write && !TransmitterHeld(port) &&
                     port.writeCompletion == WriteCompletion::Paced) {
            next = std::min(next, operation->nextCharacterDone);
          }
        }
      }
      for (const auto& entry : issuers_) {
        if (entry.second->pending > 0 && entry.second->thread != nullptr && !entry.second->ended &&
            watched.size() + 1 < kMostWaitHandles) {
          watched.push_back(entry.second);
        }
      }
    }

    for (const auto& port : toDrain) {
      Drain(port);
    }

    DWORD timeout = INFINITE;
    if (next != kNever) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
      timeout = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, 0x7FFFFFFF));
    }
    std::vector<HANDLE> handles{clockWake_};
    for (const auto& issuer : watched) {
      handles.push_back(issuer->thread);
    }
    const DWORD woke =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
    threadEnded = woke > WAIT_OBJECT_0 && woke < WAIT_OBJECT_0 + handles.size();
  }
}

}  // namespace sim
