// The clock thread of the virtual serial driver: the one thread that runs the
// ports' time-outs, paced and deferred writes, forced completions, the
// characters a far end sent with a delay and the packets of a USB-serial
// adapter. It sleeps until the nearest deadline, a wake-up from a driver call, or
// the end of a thread with operations pending (to a fraction of a millisecond for
// characters on a paced line).
#include <algorithm>
#include <atomic>
#include <vector>

#include "virtual_port.h"
#include "virtual_serial.h"

namespace sim {

namespace {

// WaitForMultipleObjects takes at most this many handles: the wake-up event and
// the issuing threads watched.
constexpr size_t kMostWaitHandles = MAXIMUM_WAIT_OBJECTS;

// A Windows wait counts whole milliseconds, and Wine lengthens it further, while a
// character at 19200 baud lasts 0.573 ms. The last stretch before a character's
// time on the line is therefore not slept but polled: the wake-up event and the
// watched threads are tested without waiting until the time has come. Time-outs
// keep millisecond waits, as the serial driver's own do.
constexpr std::chrono::microseconds kPolledBeforeCharacter{1500};

// The clock thread's id while it runs, 0 when none does.
std::atomic<DWORD> ClockThreadId{0};

}  // namespace

bool OnClockThread() { return ClockThreadId.load() == GetCurrentThreadId(); }

DWORD WINAPI VirtualSerialDriver::ClockMain(LPVOID driver) {
  ClockThreadId = GetCurrentThreadId();
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
    ClockThreadId = 0;
  }
}

void VirtualSerialDriver::RunClock() {
  bool threadEnded = false;
  for (;;) {
    std::vector<std::shared_ptr<Port>> toDrain;
    std::vector<std::shared_ptr<Issuer>> watched;
    TimePoint next = kNever;
    TimePoint nextCharacter = kNever;  // the nearest arrival or paced character
    TimePoint now;
    {
      StepLock step(mutex_, changed_);
      ++clockPasses_;
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
          Arrive(port, arrival.value, arrival.parity);
        }
        ReleaseFromAdapter(port, now);
        ReleaseHeld(port);
        AdvanceForced(port);
        AdvanceWrites(port);
        AdvanceReads(port);
        if (!port.toFarEnd.empty()) {
          toDrain.push_back(entry.second);
        }

        // When this port needs the clock again.
        if (!port.arriving.empty()) {
          nextCharacter = std::min(nextCharacter, port.arriving.front().at);
        }
        nextCharacter = std::min(nextCharacter, port.adapter.NextRelease());
        // A character held back goes to a read that starts later: AddOperation
        // wakes the clock for it.
        for (const auto& operation : port.operations) {
          if (!operation->started) {
            continue;  // only the current read or write starts (forced ones ended above)
          }
          next = std::min(next, operation->totalDeadline);
          if (operation->kind == IoKind::Read) {
            next = std::min(next, operation->intervalDeadline);
          } else if (operation->kind == IoKind::Write && !TransmitterHeld(port) &&
                     port.writeCompletion == WriteCompletion::Paced) {
            nextCharacter = std::min(nextCharacter, operation->nextCharacterDone);
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

    next = std::min(next, nextCharacter);
    bool polled = false;
    DWORD timeout = INFINITE;
    if (next != kNever) {
      auto left = next - Clock::now();
      if (next == nextCharacter) {
        polled = left < kPolledBeforeCharacter;
        left -= kPolledBeforeCharacter;
      }
      const auto whole = std::chrono::ceil<std::chrono::milliseconds>(left);
      timeout =
          polled ? 0 : static_cast<DWORD>(std::clamp<long long>(whole.count(), 0, 0x7FFFFFFF));
    }
    std::vector<HANDLE> handles{clockWake_};
    for (const auto& issuer : watched) {
      handles.push_back(issuer->thread);
    }
    DWORD woke =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
    while (polled && woke == WAIT_TIMEOUT && Clock::now() < next) {
      SwitchToThread();
      woke = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, 0);
    }
    threadEnded = woke > WAIT_OBJECT_0 && woke < WAIT_OBJECT_0 + handles.size();
  }
}

}  // namespace sim
