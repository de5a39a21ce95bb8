// The clock thread of the virtual serial driver: the one thread that runs the
// ports' time-outs, paced and deferred writes, forced completions, the
// characters a far end sent with a delay and the packets of a USB-serial
// adapter. It sleeps until the nearest deadline, a wake-up from a driver call, or
// the end of a thread with operations pending (to a fraction of a millisecond for
// characters on a paced line).
//
// The thread holds a reference to the module its code is in, taken before it is
// made and given back as it exits, so that a DLL unloaded meanwhile stays loaded
// under it. Without test hooks (the simulator DLL) it waits for a character on a
// high-resolution waitable timer rather than polling, so that a host running at
// real-time priority keeps its core, and it ends when the last handle of a port
// is closed: CloseHandle asks it to (EndClockWithLastPort) and waits until it has
// exited, module reference given back, so that a host's FreeLibrary right after
// the close unloads the DLL. What the port still had on the line goes with it, as
// it does on a closed port. The tests' driver keeps its thread until Reset and
// polls, for the sub-millisecond timing its time scale asks.
#include <algorithm>
#include <atomic>
#include <vector>

#include "virtual_port.h"
#include "virtual_serial.h"

namespace sim {

namespace {

// WaitForMultipleObjects takes at most this many handles: the wake-up event, the
// timer and the issuing threads watched.
constexpr size_t kMostWaitHandles = MAXIMUM_WAIT_OBJECTS;

// A Windows wait counts whole milliseconds, and Wine lengthens it further, while a
// character at 19200 baud lasts 0.573 ms. The last stretch before a character's
// time on the line is therefore not slept but polled: the wake-up event and the
// watched threads are tested without waiting until the time has come. Time-outs
// keep millisecond waits, as the serial driver's own do.
#if KWELMORA_SIM_TEST_HOOKS
constexpr std::chrono::microseconds kPolledBeforeCharacter{1500};
constexpr bool kClockEndsWithLastPort = false;
#else
constexpr std::chrono::microseconds kPolledBeforeCharacter{0};
constexpr bool kClockEndsWithLastPort = true;
#endif

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// The clock's timer: high resolution where Windows has it (10 1803 and later),
// else the system timer's; null when none can be made (the wait's own time-out
// then stands in, in whole milliseconds).
HANDLE MakeTimer() {
  if (kPolledBeforeCharacter.count() != 0) return nullptr;
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
  if (timer == nullptr) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  return timer;
}

HMODULE ThisModule(DWORD flags) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// The clock thread's id while it runs, 0 when none does.
std::atomic<DWORD> ClockThreadId{0};

}  // namespace

bool OnClockThread() { return ClockThreadId.load() == GetCurrentThreadId(); }

DWORD WINAPI VirtualSerialDriver::ClockMain(LPVOID driver) {
  ClockThreadId = GetCurrentThreadId();
  static_cast<VirtualSerialDriver*>(driver)->RunClock();
  // The reference WakeClock took for this thread; the module may go with it.
  FreeLibraryAndExitThread(ThisModule(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT), 0);
}

std::chrono::steady_clock::duration VirtualSerialDriver::Scaled(double microseconds) const {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::micro>(microseconds * TimeScaleLocked()));
}

void VirtualSerialDriver::WakeClock() {
  if (clockThread_ == nullptr && !clockStop_ && clockWake_ != nullptr) {
    const HMODULE module = ThisModule(0);
    if (module != nullptr) {
      clockThread_ = CreateThread(nullptr, 0, &ClockMain, this, 0, nullptr);
      if (clockThread_ == nullptr) FreeLibrary(module);
    }
  }
  SetEvent(clockWake_);
}

HANDLE VirtualSerialDriver::EndClockWithLastPort() {
  HANDLE ending = nullptr;
  if (kClockEndsWithLastPort && portHandles_.empty() && clockThread_ != nullptr &&
      DuplicateHandle(GetCurrentProcess(), clockThread_, GetCurrentProcess(), &ending, SYNCHRONIZE,
                      FALSE, 0)) {
    clockEnd_ = true;
    SetEvent(clockWake_);
  }
  return ending;
}

#if KWELMORA_SIM_TEST_HOOKS
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
#endif

void VirtualSerialDriver::RunClock() {
  const HANDLE timer = MakeTimer();
  bool threadEnded = false;
  for (;;) {
    std::vector<std::shared_ptr<Port>> toDrain;
    std::vector<std::shared_ptr<Issuer>> watched;
    TimePoint next = kNever;
    TimePoint nextCharacter = kNever;  // the nearest arrival or paced character
    TimePoint now;
    bool ending = false;  // asked to end once what it has to drain is delivered
    {
      StepLock step(mutex_, changed_);
      ++clockPasses_;
      if (clockStop_) {
        break;
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
            watched.size() + 2 < kMostWaitHandles) {
          watched.push_back(entry.second);
        }
      }
      if (clockEnd_ && toDrain.empty()) {
        clockEnd_ = false;
        ::CloseHandle(clockThread_);
        clockThread_ = nullptr;
        ClockThreadId = 0;
        // A port opened meanwhile gets a thread of its own.
        if (!portHandles_.empty()) WakeClock();
        break;
      }
      ending = clockEnd_;
    }

    for (const auto& port : toDrain) {
      Drain(port);
    }
    if (ending) {
      continue;
    }

    next = std::min(next, nextCharacter);
    bool polled = false;
    DWORD timeout = INFINITE;
    std::vector<HANDLE> handles{clockWake_};
    if (next != kNever && timer != nullptr) {
      // Relative, in units of 100 ns; at least one, as zero would not wait at all.
      LARGE_INTEGER due;
      due.QuadPart = -std::max<long long>(
          1,
          std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now()).count() / 100);
      if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) handles.push_back(timer);
    }
    if (next != kNever && handles.size() == 1) {
      auto left = next - Clock::now();
      if (next == nextCharacter) {
        polled = left < kPolledBeforeCharacter;
        left -= kPolledBeforeCharacter;
      }
      const auto whole = std::chrono::ceil<std::chrono::milliseconds>(left);
      timeout =
          polled ? 0 : static_cast<DWORD>(std::clamp<long long>(whole.count(), 0, 0x7FFFFFFF));
    }
    const size_t firstThread = handles.size();
    for (const auto& issuer : watched) {
      handles.push_back(issuer->thread);
    }
    DWORD woke =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
    while (polled && woke == WAIT_TIMEOUT && Clock::now() < next) {
      SwitchToThread();
      woke = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, 0);
    }
    threadEnded = woke >= WAIT_OBJECT_0 + firstThread && woke < WAIT_OBJECT_0 + handles.size();
  }
  if (timer != nullptr) ::CloseHandle(timer);
}

}  // namespace sim
