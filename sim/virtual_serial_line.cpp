// The line of the virtual serial driver: the far end plugged into a port, the
// characters both ways, the modem lines, line errors and the comm events they
// raise.
//
// Calls to a far end are queued per port while the driver's lock is held and
// delivered afterwards, in order, by whichever thread queued them (Drain), one
// thread at a time per port. A far end may therefore call its LineSide, or the
// driver, from inside a callback.
#include <algorithm>
#include <optional>
#include <tuple>

#include "nt_status.h"
#include "virtual_port.h"
#include "virtual_serial.h"

namespace sim {

namespace {

// What the receiver's queue holds when SetupComm has not sized it.
constexpr size_t kDefaultInputQueue = 4096;

bool OddNumberOfOnes(uint8_t value) {
  bool odd = false;
  for (; value != 0; value = static_cast<uint8_t>(value & (value - 1))) {
    odd = !odd;
  }
  return odd;
}

}  // namespace

WireParity WireParityOf(BYTE parity) {
  switch (parity) {
    case ODDPARITY:
      return WireParity::Odd;
    case EVENPARITY:
      return WireParity::Even;
    case MARKPARITY:
      return WireParity::Mark;
    case SPACEPARITY:
      return WireParity::Space;
    default:
      return WireParity::None;
  }
}

bool ParityBitOf(uint8_t value, WireParity parity) {
  switch (parity) {
    case WireParity::Odd:
      return !OddNumberOfOnes(value);
    case WireParity::Even:
      return OddNumberOfOnes(value);
    case WireParity::Space:
      return false;
    case WireParity::Mark:
    case WireParity::None:
      break;
  }
  return true;
}

void VirtualSerialDriver::AttachFarEnd(unsigned number, FarEnd* farEnd) {
  std::shared_ptr<Port> attached;
  {
    StepLock step(mutex_, changed_);
    Port* port = FindPort(number);
    if (port == nullptr) {
      return;
    }
    if (port->farEnd != nullptr) {
      ToFarEnd detach;
      detach.kind = ToFarEnd::Kind::Attach;
      detach.target = port->farEnd;
      port->toFarEnd.push_back(detach);
      port->farEnd = nullptr;
      port->attachment = 0;
      // Unplugged: the input lines fall and what was on the wire, or held in an
      // adapter, is lost.
      port->arriving.clear();
      port->adapter.Clear();
      SetLines(*port, InputLines());
    }
    if (farEnd != nullptr) {
      const uint64_t attachment = nextAttachment_++;
      lines_.push_back(std::make_unique<PortLine>(*this, number, attachment));
      port->farEnd = farEnd;
      port->attachment = attachment;
      ToFarEnd attach;
      attach.kind = ToFarEnd::Kind::Attach;
      attach.target = farEnd;
      attach.line = lines_.back().get();
      port->toFarEnd.push_back(attach);
      ToFarEnd lines;
      lines.kind = ToFarEnd::Kind::Lines;
      lines.target = farEnd;
      lines.rts = port->rts;
      lines.dtr = port->dtr;
      port->toFarEnd.push_back(lines);
    }
    attached = Shared(*port);
  }
  Drain(attached);
}

void VirtualSerialDriver::Drain(const std::shared_ptr<Port>& port) {
  if (port == nullptr) {
    return;
  }
  // Far-end code may change the thread's error value; the caller's call keeps its own.
  LastError answer;
  answer.Set(GetLastError());
  StepLock step(mutex_, changed_);
  const DWORD self = GetCurrentThreadId();
  if (port->drainer == self) {
    return;  // inside a callback of this port: the loop below it delivers the rest
  }
  if (port->toFarEnd.empty()) {
    return;  // nothing to deliver: no need to wait for another thread's callback
  }
  changed_.Wait(step.lock(), [&] { return port->drainer == 0; });
  port->drainer = self;
  while (!port->removed && !port->toFarEnd.empty()) {
    const ToFarEnd item = port->toFarEnd.front();
    port->toFarEnd.pop_front();
    step.lock().unlock();
    switch (item.kind) {
      case ToFarEnd::Kind::Attach:
        item.target->Attach(item.line);
        break;
      case ToFarEnd::Kind::Character:
        item.target->ReceiveFromPort(item.value, item.parity);
        break;
      case ToFarEnd::Kind::Lines:
        item.target->OutputLinesChanged(item.rts, item.dtr);
        break;
    }
    step.lock().lock();
  }
  port->drainer = 0;
}

void VirtualSerialDriver::WaitForFarEnd(unsigned number) {
  StepLock step(mutex_, changed_);
  const Port* found = FindPort(number);
  if (found == nullptr) {
    return;
  }
  const std::shared_ptr<Port> port = Shared(*found);
  const DWORD self = GetCurrentThreadId();
  changed_.Wait(step.lock(), [&] {
    return port->removed ||
           (port->toFarEnd.empty() && (port->drainer == 0 || port->drainer == self));
  });
}

void VirtualSerialDriver::TellLines(Port& port, bool oldRts, bool oldDtr) {
  if ((port.rts == oldRts && port.dtr == oldDtr) || port.farEnd == nullptr || port.removed) {
    return;
  }
  ToFarEnd item;
  item.kind = ToFarEnd::Kind::Lines;
  item.target = port.farEnd;
  item.rts = port.rts;
  item.dtr = port.dtr;
  port.toFarEnd.push_back(item);
}

void VirtualSerialDriver::Signal(Port& port, DWORD events) {
  // Only events in the comm mask count. They complete the pending wait, or wait
  // for the next one.
  events &= port.commMask;
  if (events == 0) {
    return;
  }
  port.history |= events;
  for (auto& operation : port.operations) {
    if (operation->kind == IoKind::CommWait && !operation->forced) {
      const DWORD seen = port.history;
      port.history = 0;
      Complete(port, operation.get(), kStatusSuccess, sizeof(DWORD), seen);
      return;
    }
  }
}

void VirtualSerialDriver::AddLineErrors(Port& port, DWORD ceErrors) {
  if (ceErrors == 0) {
    return;
  }
  port.errors |= ceErrors;
  AbortOnError(port);
}

DWORD VirtualSerialDriver::SampleErrors(const Port& port, uint8_t value, WireParity parity) const {
  // The receiver samples the parity bit the port's settings expect and checks it
  // when parity checking is on.
  const WireParity expected = WireParityOf(port.dcb.Parity);
  if (port.dcb.fParity && expected != WireParity::None &&
      ParityBitOf(value, parity) != ParityBitOf(value, expected)) {
    return CE_RXPARITY;
  }
  return 0;
}

void VirtualSerialDriver::Receive(Port& port, uint8_t value, WireParity parity) {
  // A closed port's receiver is off: the character is lost.
  if (port.handle == 0) {
    return;
  }
  DWORD events = EV_RXCHAR;
  DWORD errors = SampleErrors(port, value, parity);
  if (errors != 0) {
    events |= EV_ERR;
  }
  const size_t capacity = port.inQueue != 0 ? port.inQueue : kDefaultInputQueue;
  const bool overflow = port.input.size() >= capacity;
  if (overflow) {
    errors |= CE_RXOVER;
    events |= EV_ERR;
  }
  // The error ends the reads under way (fAbortOnError) before this character can
  // complete one; the character itself stays in the queue.
  AddLineErrors(port, errors);
  if (!overflow) {
    port.input.push_back(value);
    if (port.input.size() == capacity * 8 / 10) {
      events |= EV_RX80FULL;
    }
  }
  if (value == port.dcb.EvtChar) {
    events |= EV_RXFLAG;
  }
  AdvanceReads(port);
  Signal(port, events);
}

void VirtualSerialDriver::Arrive(Port& port, uint8_t value, WireParity parity) {
  if (port.arrivalTiming == ArrivalTiming::AsSent) {
    Receive(port, value, parity);
    return;
  }
  if (port.handle == 0) {
    return;
  }
  // Judged as it crosses the line, with the parity the port has now; handed to the
  // input queue later, by ReleaseHeld.
  const DWORD errors = SampleErrors(port, value, parity);
  if (errors != 0) {
    AddLineErrors(port, errors);
    Signal(port, EV_ERR);
  }
  port.held.push_back(value);
  WakeClock();
}

void VirtualSerialDriver::ReleaseHeld(Port& port) {
  if (port.held.empty() || !port.input.empty()) {
    return;
  }
  for (const auto& operation : port.operations) {
    if (operation->kind == IoKind::Read && !operation->forced) {
      // Only the current read, once it has started and still waits for its first
      // character: one character to each read.
      if (!operation->started || !operation->data.empty()) {
        return;
      }
      const uint8_t value = port.held.front();
      port.held.pop_front();
      // Its parity was judged when it arrived; here it only enters the queue.
      const WireParity asJudged = WireParityOf(port.dcb.Parity);
      Receive(port, value, asJudged);
      return;
    }
  }
}

void VirtualSerialDriver::SetLines(Port& port, const InputLines& lines) {
  DWORD events = 0;
  if (lines.cts != port.lines.cts) {
    events |= EV_CTS;
  }
  if (lines.dsr != port.lines.dsr) {
    events |= EV_DSR;
  }
  if (lines.rlsd != port.lines.rlsd) {
    events |= EV_RLSD;
  }
  // A 16550 flags the ring indicator on its trailing edge: EV_RING comes when a
  // ring ends, RI going from on to off.
  if (port.lines.ring && !lines.ring) {
    events |= EV_RING;
  }
  port.lines = lines;
  Signal(port, events);
  // CTS or DSR flow control may let the transmitter go on.
  WakeClock();
}

void VirtualSerialDriver::ReleaseFromAdapter(Port& port, TimePoint now) {
  // What an adapter lets go crosses on to the port as if straight off the line.
  std::optional<InputLines> lines;
  for (const auto& released : port.adapter.Release(now, &lines))
    Arrive(port, released.value, released.parity);
  if (lines) SetLines(port, *lines);
}

void VirtualSerialDriver::LineSend(unsigned number, uint64_t attachment, uint8_t value,
                                   WireParity parity, std::chrono::microseconds after) {
  StepLock step(mutex_, changed_);
  Port* port = FindPort(number);
  if (port == nullptr || port->attachment != attachment || port->removed) {
    return;
  }
  // Each character arrives `after` the one sent before it has arrived.
  const TimePoint now = Clock::now();
  const TimePoint at =
      std::max(now, port->lastArrival) + Scaled(static_cast<double>(after.count()));
  port->lastArrival = at;
  if (!port->adapter.PassesThrough()) {
    // It reaches the adapter at `at`; the clock thread hands it on with its packet.
    port->adapter.Take(value, parity, at);
    WakeClock();
    return;
  }
  if (port->arriving.empty() && at <= now) {
    Arrive(*port, value, parity);
    return;
  }
  port->arriving.push_back(Arrival{at, value, parity});
  WakeClock();
}

void VirtualSerialDriver::LineError(unsigned number, uint64_t attachment, sim::LineError error) {
  StepLock step(mutex_, changed_);
  Port* port = FindPort(number);
  if (port == nullptr || port->attachment != attachment || port->removed || port->handle == 0) {
    return;
  }
  switch (error) {
    case sim::LineError::Framing:
      AddLineErrors(*port, CE_FRAME);
      Signal(*port, EV_ERR);
      break;
    case sim::LineError::Parity:
      AddLineErrors(*port, CE_RXPARITY);
      Signal(*port, EV_ERR);
      break;
    case sim::LineError::Overrun:
      AddLineErrors(*port, CE_OVERRUN);
      Signal(*port, EV_ERR);
      break;
    case sim::LineError::Break:
      AddLineErrors(*port, CE_BREAK);
      Signal(*port, EV_BREAK);
      break;
  }
}

void VirtualSerialDriver::LineInputs(unsigned number, uint64_t attachment,
                                     const InputLines& lines) {
  StepLock step(mutex_, changed_);
  Port* port = FindPort(number);
  if (port == nullptr || port->attachment != attachment || port->removed) {
    return;
  }
  if (port->adapter.PassesThrough()) return SetLines(*port, lines);
  // Lines said again are no change: the adapter sends no packet for them.
  const InputLines& last = port->adapter.LastLines() ? *port->adapter.LastLines() : port->lines;
  if (std::tie(last.cts, last.dsr, last.ring, last.rlsd) ==
      std::tie(lines.cts, lines.dsr, lines.ring, lines.rlsd)) {
    return;
  }
  port->adapter.TakeLines(lines, Clock::now());  // the port sees them with a packet
  WakeClock();
}

BOOL VirtualSerialDriver::EscapeCommFunction(HANDLE file, DWORD function) {
  LastError answer;
  std::shared_ptr<Port> changed;
  {
    StepLock step(mutex_, changed_);
    DWORD error = 0;
    Port* port = Admit(Call::EscapeCommFunction, file, false, &error);
    if (port == nullptr) {
      return answer.Fail(error);
    }
    const bool oldRts = port->rts;
    const bool oldDtr = port->dtr;
    switch (function) {
      case SETXOFF:
        port->xoffHold = true;  // transmit as if XOFF had been received
        break;
      case SETXON:
        port->xoffHold = false;
        WakeClock();
        break;
      case SETRTS:
      case CLRRTS:
        // Under RTS handshaking the driver owns the line.
        if (port->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
          return answer.Fail(ERROR_INVALID_PARAMETER);
        }
        port->rts = function == SETRTS;
        break;
      case SETDTR:
      case CLRDTR:
        if (port->dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
          return answer.Fail(ERROR_INVALID_PARAMETER);
        }
        port->dtr = function == SETDTR;
        break;
      case SETBREAK:
        port->breakSet = true;  // the line held in break: nothing is transmitted
        break;
      case CLRBREAK:
        port->breakSet = false;
        WakeClock();
        break;
      case RESETDEV:
        break;  // a printer-port request; a serial port accepts it and does nothing
      default:
        return answer.Fail(ERROR_INVALID_PARAMETER);
    }
    TellLines(*port, oldRts, oldDtr);
    changed = Shared(*port);
  }
  // The far end sees the new lines before the call returns, as a cable would
  // carry them at once.
  Drain(changed);
  return TRUE;
}

BOOL VirtualSerialDriver::GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
  LastError answer;
  StepLock step(mutex_, changed_);
  DWORD error = 0;
  Port* port = Admit(Call::GetCommModemStatus, file, false, &error);
  if (port == nullptr) {
    return answer.Fail(error);
  }
  if (modemStatus == nullptr) {
    return answer.Fail(ERROR_INVALID_PARAMETER);
  }
  // The last status packet due by now has arrived, however late the clock thread is.
  ReleaseFromAdapter(*port, Clock::now());
  const InputLines& lines = port->lines;
  *modemStatus = (lines.cts ? MS_CTS_ON : 0) | (lines.dsr ? MS_DSR_ON : 0) |
                 (lines.ring ? MS_RING_ON : 0) | (lines.rlsd ? MS_RLSD_ON : 0);
  ++port->statusReads;
  return TRUE;
}

}  // namespace sim
