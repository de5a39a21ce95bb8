// The virtual serial driver's test hooks: injected call failures, forced
// outcomes, spoilers at a chosen call, the call log, the time scale, the abort
// scope, Reset and PauseClock. Built into the tests' driver alone
// (KWELMORA_SIM_TEST_HOOKS); the simulator DLL's driver has none of them.
#include <algorithm>

#include "virtual_port.h"
#include "virtual_serial.h"

namespace sim {

void VirtualSerialDriver::Reset() {
  StopClock(INFINITE);
  StepLock step(mutex_, changed_);
  const DWORD self = GetCurrentThreadId();
  for (auto& entry : ports_) {
    entry.second->removed = true;
    entry.second->toFarEnd.clear();
  }
  // A far-end callback under way on another thread finishes before anything goes.
  changed_.Wait(step.lock(), [&] {
    return std::none_of(ports_.begin(), ports_.end(), [&](const auto& entry) {
      return entry.second->drainer != 0 && entry.second->drainer != self;
    });
  });
  ports_.clear();
  devices_.clear();
  portHandles_.clear();
  deviceHandles_.clear();
  for (auto& failure : failures_) {
    failure = Failure();
  }
  std::fill(std::begin(counts_), std::end(counts_), 0u);
  lastOpenedPath_.clear();
  issuers_.clear();
  timeScale_ = 1.0;
  abortScope_ = AbortScope::AllRequests;
  callSpoil_ = CallSpoilPlan();
  transactionCalls_.clear();
  strays_ = 0;
  abortedByClose_ = 0;
  clockStop_ = false;
}

void VirtualSerialDriver::SpoilAtCall(unsigned number, unsigned skip, CallPoint point,
                                      CallSpoil spoil) {
  StepLock step(mutex_, changed_);
  callSpoil_.armed = true;
  callSpoil_.number = number;
  callSpoil_.skip = skip;
  callSpoil_.point = point;
  callSpoil_.spoil = spoil;
  callSpoil_.struck = PortState();
}

std::vector<Call> VirtualSerialDriver::TakeTransactionCalls(unsigned number) {
  StepLock step(mutex_, changed_);
  std::vector<Call> calls;
  calls.swap(transactionCalls_[number]);
  return calls;
}

void VirtualSerialDriver::NoteCall(Call call, HANDLE file, bool served) {
  // The calls a transaction is made of (SpoilAtCall counts these alone).
  static constexpr Call kTransactionKinds[] = {
      Call::EscapeCommFunction, Call::GetCommModemStatus, Call::PurgeComm, Call::GetCommState,
      Call::SetCommState,       Call::WriteFile,          Call::ReadFile};
  // A read or write is checked after it was served inside the call itself.
  if (std::find(std::begin(kTransactionKinds), std::end(kTransactionKinds), call) ==
          std::end(kTransactionKinds) ||
      (served && (call == Call::ReadFile || call == Call::WriteFile))) {
    return;
  }
  StepLock step(mutex_, changed_);
  auto found = portHandles_.find(reinterpret_cast<uintptr_t>(file));
  if (found == portHandles_.end() || found->second->removed) {
    return;
  }
  Port& port = *found->second;
  // Logged only for a port whose calls a test takes (a long run takes none).
  auto logged = transactionCalls_.find(port.number);
  if (!served && logged != transactionCalls_.end()) {
    logged->second.push_back(call);
  }
  SpoilAt(port, call, served, step.lock());
}

void VirtualSerialDriver::SpoilAt(Port& port, Call call, bool served,
                                  std::unique_lock<SrwLock>& lock) {
  if (!callSpoil_.armed || callSpoil_.number != port.number ||
      served != (callSpoil_.point == CallPoint::After)) {
    return;
  }
  if (callSpoil_.skip > 0) {
    --callSpoil_.skip;
    return;
  }
  callSpoil_.armed = false;
  callSpoil_.struck = StateOf(port);
  switch (callSpoil_.spoil) {
    case CallSpoil::Vanish:
      Forget(port, lock);
      break;
    case CallSpoil::LineError:
      AddLineErrors(port, CE_FRAME);
      Signal(port, EV_ERR);
      break;
    case CallSpoil::StrayByte:
      Arrive(port, kStrayByte, WireParityOf(port.dcb.Parity));
      break;
    case CallSpoil::Refuse:
      failures_[static_cast<unsigned>(call)] = Failure{ERROR_GEN_FAILURE, 0, 1};
      break;
  }
}

void VirtualSerialDriver::FailCall(Call call, DWORD error, unsigned skip, unsigned times) {
  StepLock step(mutex_, changed_);
  failures_[static_cast<unsigned>(call)] = Failure{error, skip, times};
}

unsigned VirtualSerialDriver::CallCount(Call call) const {
  std::lock_guard<SrwLock> lock(mutex_);
  return counts_[static_cast<unsigned>(call)];
}

void VirtualSerialDriver::ForceOutcome(unsigned number, IoKind kind, const ForcedOutcome& outcome,
                                       unsigned skip, unsigned times) {
  if (kind != IoKind::Count) {
    ChangePort(number, [&](Port& port) {
      port.forced[static_cast<unsigned>(kind)] = ForcedSlot{outcome, skip, times};
    });
  }
}

void VirtualSerialDriver::SetTimeScale(double scale) {
  StepLock step(mutex_, changed_);
  if (scale > 0) {
    timeScale_ = scale;
    for (auto& entry : ports_) {
      entry.second->adapter.SetLatency(
          Scaled(static_cast<double>(entry.second->adapterLatency.count())));
    }
    WakeClock();
  }
}

double VirtualSerialDriver::TimeScale() const {
  std::lock_guard<SrwLock> lock(mutex_);
  return timeScale_;
}

void VirtualSerialDriver::SetAbortScope(AbortScope scope) {
  StepLock step(mutex_, changed_);
  abortScope_ = scope;
}

void VirtualSerialDriver::PauseClock() {
  StopClock(INFINITE);
  std::lock_guard<SrwLock> lock(mutex_);
  clockStop_ = false;
}

PortState VirtualSerialDriver::StateAtSpoil() const {
  std::lock_guard<SrwLock> lock(mutex_);
  return callSpoil_.struck;
}

bool VirtualSerialDriver::Injected(Call call, DWORD* error) {
  const unsigned index = static_cast<unsigned>(call);
  ++counts_[index];
  Failure& failure = failures_[index];
  if (failure.times == 0) {
    return false;
  }
  if (failure.skip > 0) {
    --failure.skip;
    return false;
  }
  --failure.times;
  *error = failure.error;
  return true;
}

bool VirtualSerialDriver::TakeForced(Port& port, IoKind kind, ForcedOutcome* outcome) {
  ForcedSlot& slot = port.forced[static_cast<unsigned>(kind)];
  if (slot.times == 0) {
    return false;
  }
  if (slot.skip > 0) {
    --slot.skip;
    return false;
  }
  --slot.times;
  *outcome = slot.outcome;
  return true;
}

}  // namespace sim
