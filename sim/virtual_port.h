// Inside the virtual serial driver: what a port holds while it runs, its pending
// operations and the threads that issued them. Only the driver's own sources
// include this; everything here is guarded by the driver's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "far_end.h"
#include "usb_serial_adapter.h"
#include "virtual_serial.h"

namespace sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
constexpr TimePoint kNever = TimePoint::max();

// The parity a character travels with when the port's DCB says `parity`.
WireParity WireParityOf(BYTE parity);

// The level of the parity bit a receiver samples for `value` framed with `parity`.
// A character framed without parity has its stop bit (a 1) where the receiver
// expects the parity bit.
bool ParityBitOf(uint8_t value, WireParity parity);

// The event of an OVERLAPPED. Its low bit only tells the system not to post the
// completion to a completion port; it is not part of the handle.
inline HANDLE EventOf(const OVERLAPPED* overlapped) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) &
                                  ~static_cast<ULONG_PTR>(1));
}

// A thread that issued overlapped operations. The driver keeps a handle of it so
// that it can tell when the thread has ended (and so that its id is not reused).
struct VirtualSerialDriver::Issuer {
  explicit Issuer(DWORD id);
  ~Issuer();
  Issuer(const Issuer&) = delete;
  Issuer& operator=(const Issuer&) = delete;

  // True once the thread has ended; checks the thread now.
  bool Ended();

  DWORD threadId;
  HANDLE thread = nullptr;  // SYNCHRONIZE access; closed by the destructor
  unsigned pending = 0;     // operations of this thread still pending
  bool ended = false;
};

// One pending ReadFile, WriteFile or WaitCommEvent.
struct VirtualSerialDriver::Operation {
  IoKind kind = IoKind::Read;
  uintptr_t handle = 0;  // the handle it was issued on
  OVERLAPPED* overlapped = nullptr;
  std::shared_ptr<Issuer> issuer;

  // Read: the caller's buffer (written at completion only) and the bytes taken
  // from the input queue so far. Write: the bytes to send, copied at the call.
  uint8_t* buffer = nullptr;
  DWORD length = 0;
  std::vector<uint8_t> data;

  // Reads and writes run one at a time in issue order; the current one has
  // `started` set and its timers running.
  bool started = false;
  TimePoint totalDeadline = kNever;
  // Read: the interval time-out between characters, when in use, and when it
  // expires next (it starts running with the first character).
  Clock::duration interval{};
  bool intervalUsed = false;
  TimePoint intervalDeadline = kNever;
  // Read with ReadIntervalTimeout and ReadTotalTimeoutMultiplier both MAXDWORD:
  // any character ends it.
  bool endsOnAnyByte = false;

  // Write: the parity of the port when the write was issued, how many bytes have
  // left, and when the next one has fully left a paced line (kNever: not timed yet).
  WireParity parity = WireParity::None;
  size_t sent = 0;
  TimePoint nextCharacterDone = kNever;

  // Comm-event wait: where the caller wants the event mask.
  DWORD* mask = nullptr;

  // A completion a test forced: due on the clock thread at once.
  bool forced = false;
  LONG forcedStatus = 0;
  DWORD forcedCount = 0;
};

// A character on its way from the far end to the port.
struct Arrival {
  TimePoint at;
  uint8_t value;
  WireParity parity;
};

// A call the port owes its far end, delivered in order without the driver's lock.
struct ToFarEnd {
  enum class Kind { Attach, Character, Lines };
  Kind kind = Kind::Character;
  FarEnd* target = nullptr;
  LineSide* line = nullptr;  // Attach: the line side, or null to detach
  uint8_t value = 0;
  WireParity parity = WireParity::None;
  bool rts = false;
  bool dtr = false;
};

// The port side of the line as one far end sees it, for one attachment. After
// the far end is detached its calls do nothing.
class VirtualSerialDriver::PortLine : public LineSide {
 public:
  PortLine(VirtualSerialDriver& driver, unsigned number, uint64_t attachment)
      : driver_(driver), number_(number), attachment_(attachment) {}

  void Send(uint8_t value, WireParity parity, std::chrono::microseconds after) override {
    driver_.LineSend(number_, attachment_, value, parity, after);
  }
  void RaiseLineError(sim::LineError error) override {
    driver_.LineError(number_, attachment_, error);
  }
  void SetInputLines(const InputLines& lines) override {
    driver_.LineInputs(number_, attachment_, lines);
  }

 private:
  VirtualSerialDriver& driver_;
  unsigned number_;
  uint64_t attachment_;
};

#if KWELMORA_SIM_TEST_HOOKS
struct ForcedSlot {
  ForcedOutcome outcome;
  unsigned skip = 0;
  unsigned times = 0;
};
#endif

struct VirtualSerialDriver::Port {
  unsigned number = 0;
  uintptr_t handle = 0;  // 0 while closed
  unsigned opens = 0;
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  DWORD inQueue = 0;
  DWORD outQueue = 0;
  bool dtr = false;
  bool rts = false;
  DWORD lastOpenAccess = 0;
  DWORD lastOpenShareMode = 0;
  DWORD lastOpenFlags = 0;
  bool removed = false;  // RemovePort or Reset: no far-end call any more
  unsigned bytesWritten = 0, bytesRead = 0, statusReads = 0, timedOut = 0;  // see PortState

  // Receiver.
  std::deque<uint8_t> input;
  std::deque<Arrival> arriving;  // in arrival order
  TimePoint lastArrival{};
  // A USB-serial adapter between the far end and the receiver: what the far end
  // sends reaches it at its arrival time and the receiver when the adapter lets
  // it go. Its latency is kept before the time scale too, so that a new scale
  // can be applied to it.
  UsbSerialAdapter adapter;
  std::chrono::microseconds adapterLatency{0};
  ArrivalTiming arrivalTiming = ArrivalTiming::AsSent;
  std::deque<uint8_t> held;  // received, held back until a read waits (AfterReadPends)
  DWORD errors = 0;          // CE_* flags until ClearCommError

  // Transmitter.
  WriteCompletion writeCompletion = WriteCompletion::Immediate;
  bool outputHeld = false;
  bool breakSet = false;
  bool xoffHold = false;

  // Pending operations in issue order.
  std::list<std::unique_ptr<Operation>> operations;
#if KWELMORA_SIM_TEST_HOOKS
  ForcedSlot forced[static_cast<unsigned>(IoKind::Count)];  // ForceOutcome
#endif

  // Comm events: the mask, and the events seen while no wait was pending.
  DWORD commMask = 0;
  DWORD history = 0;

  // The far end and the lines it drives.
  InputLines lines;
  FarEnd* farEnd = nullptr;
  uint64_t attachment = 0;  // of the line side the current far end holds
  std::deque<ToFarEnd> toFarEnd;
  DWORD drainer = 0;  // thread delivering toFarEnd now, 0 when none
};

}  // namespace sim

namespace sim {

// The driver's lock for one step of work. Whoever waits for a change of the
// driver's state (GetOverlappedResult without an event, WaitForState, Reset) is
// woken when the step ends.
class StepLock {
 public:
  StepLock(SrwLock& mutex, Condition& changed) : lock_(mutex), changed_(changed) {}
  ~StepLock() { changed_.NotifyAll(); }
  StepLock(const StepLock&) = delete;
  StepLock& operator=(const StepLock&) = delete;

  std::unique_lock<SrwLock>& lock() { return lock_; }

 private:
  std::unique_lock<SrwLock> lock_;
  Condition& changed_;
};

// The thread's error value a call leaves. Declared first in a call, it is set when
// the call returns: after the driver's lock is let go and far-end callbacks have
// run, so that neither can change it.
class LastError {
 public:
  LastError() = default;
  ~LastError() {
    if (set_) {
      SetLastError(value_);
    }
  }
  LastError(const LastError&) = delete;
  LastError& operator=(const LastError&) = delete;

  BOOL Fail(DWORD error) {
    Set(error);
    return FALSE;
  }
  void Set(DWORD error) {
    set_ = true;
    value_ = error;
  }

 private:
  bool set_ = false;
  DWORD value_ = 0;
};

}  // namespace sim
