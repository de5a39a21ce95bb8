#include "zrv_device.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>

namespace sim {

namespace {

bool IsIndexed(Reply reply) {
  return reply == Reply::ReadRequestAck || reply == Reply::ReadDataByte;
}

// Every reply but the status byte and a record byte is an ACK when all is well.
bool AckDue(Reply reply) { return reply != Reply::StatusByte && reply != Reply::ReadDataByte; }

bool IsCommand(uint8_t value) {
  return value == ZrvDevice::kStatusRequest || value == ZrvDevice::kWriteCommand ||
         value == ZrvDevice::kReadCommand || value == ZrvDevice::kNextByteRequest;
}

// splitmix64: small, and the same sequence on every compiler and platform, which
// the standard library's distributions do not promise.
uint64_t NextRandom(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

void CheckAddress(unsigned address) {
  if (address < 1 || address > ZrvDevice::kRecordCount) {
    throw std::out_of_range("ZRV address " + std::to_string(address) + " is not 1..931");
  }
}

}  // namespace

bool ReplyPoint::Matches(const ReplyPoint& actual) const {
  if (reply != actual.reply) return false;
  return !IsIndexed(reply) || index == kEveryIndex || index == actual.index;
}

ZrvFault ZrvFault::Nak() { return ZrvFault{ReplyAction::Nak}; }

ZrvFault ZrvFault::Byte(uint8_t value) {
  ZrvFault fault{ReplyAction::OtherByte};
  fault.value = value;
  return fault;
}

ZrvFault ZrvFault::Silence() { return ZrvFault{ReplyAction::Silence}; }

ZrvFault ZrvFault::Error(LineError error) {
  ZrvFault fault{ReplyAction::LineError};
  fault.error = error;
  return fault;
}

ZrvFault ZrvFault::ErrorThenReply(LineError error) {
  ZrvFault fault{ReplyAction::LineErrorThenReply};
  fault.error = error;
  return fault;
}

ZrvFault ZrvFault::Unplug() { return ZrvFault{ReplyAction::Unplug}; }

ZrvFault ZrvFault::Late(std::chrono::microseconds delay) {
  ZrvFault fault{ReplyAction::Late};
  fault.delay = delay;
  return fault;
}

ZrvFault ZrvFault::Stale() { return ZrvFault{ReplyAction::Stale}; }

ZrvFault ZrvFault::Extra(uint8_t value) {
  ZrvFault fault{ReplyAction::ExtraByte};
  fault.value = value;
  return fault;
}

ZrvFault ZrvFault::Correct() { return ZrvFault{ReplyAction::Correct}; }

ZrvFault ZrvFault::Persistent() const {
  ZrvFault fault = *this;
  fault.persistent = true;
  return fault;
}

bool ZrvDevice::ReceivedByte::operator==(const ReceivedByte& other) const {
  return value == other.value && parity == other.parity && parityViolation == other.parityViolation;
}

ZrvDevice::LineAction ZrvDevice::LineAction::Send(uint8_t value, WireParity parity) {
  LineAction action;
  action.kind = Kind::Send;
  action.value = value;
  action.parity = parity;
  return action;
}

ZrvDevice::LineAction ZrvDevice::LineAction::Error(LineError error) {
  LineAction action;
  action.kind = Kind::Error;
  action.error = error;
  return action;
}

ZrvDevice::LineAction ZrvDevice::LineAction::Lines(const InputLines& lines) {
  LineAction action;
  action.kind = Kind::Lines;
  action.lines = lines;
  return action;
}

ZrvDevice::ZrvDevice() : records_(kRecordCount) {}

void ZrvDevice::Attach(LineSide* line) {
  std::lock_guard<RecursiveLock> emitting(emitMutex_);
  Outbox out;
  {
    std::lock_guard<Lock> lock(mutex_);
    // A new port: its output lines are unknown until it reports them, and no
    // exchange carries over from the previous one.
    line_ = line;
    rts_ = false;
    dtr_ = false;
    stale_.clear();
    EndExchange();
    out = StartOutbox();
    out.actions.push_back(LineAction::Lines(CableLines()));
  }
  Emit(out);
}

void ZrvDevice::ReceiveFromPort(uint8_t value, WireParity parity) {
  std::lock_guard<RecursiveLock> emitting(emitMutex_);
  Outbox out;
  {
    std::lock_guard<Lock> lock(mutex_);
    if (unplugged_) return;
    out = StartOutbox();
    // What a stale reply held back goes out first, ahead of this byte's answer.
    out.actions.swap(stale_);
    const bool dataDue = phase_ == Phase::ReadLocation || phase_ == Phase::WriteLocation ||
                         phase_ == Phase::WriteData;
    if (parity == WireParity::Odd) {
      // A command is welcome at any point: the host starts its next exchange with
      // one after giving up on the last. An unknown odd byte where a data byte is
      // due is most likely that data byte with the wrong parity.
      LogReceived(value, parity, dataDue && !IsCommand(value));
      TakeCommand(value, out);
    } else if (parity == WireParity::Even && dataDue) {
      LogReceived(value, parity, false);
      TakeDataByte(value, out);
    } else {
      // A data byte where a command is due, or a byte framed without odd or even
      // parity: it means nothing here.
      LogReceived(value, parity, true);
    }
    if (out.holdFrom != Outbox::kNothingHeld) {
      const auto held = out.actions.begin() + static_cast<std::ptrdiff_t>(out.holdFrom);
      stale_.assign(held, out.actions.end());
      out.actions.erase(held, out.actions.end());
    }
  }
  Emit(out);
}

void ZrvDevice::OutputLinesChanged(bool rts, bool dtr) {
  std::lock_guard<RecursiveLock> emitting(emitMutex_);
  Outbox out;
  {
    std::lock_guard<Lock> lock(mutex_);
    rts_ = rts;
    dtr_ = dtr;
    if (unplugged_) return;  // the lines are off and stay off
    out = StartOutbox();
    out.actions.push_back(LineAction::Lines(CableLines()));
  }
  Emit(out);
}

ZrvDevice::Record ZrvDevice::ReadRecord(unsigned address) const {
  CheckAddress(address);
  std::lock_guard<Lock> lock(mutex_);
  return records_[address - 1];
}

void ZrvDevice::WriteRecord(unsigned address, const Record& record) {
  CheckAddress(address);
  std::lock_guard<Lock> lock(mutex_);
  records_[address - 1] = record;
}

uint8_t ZrvDevice::Status() const {
  std::lock_guard<Lock> lock(mutex_);
  return status_;
}

void ZrvDevice::SetStatus(uint8_t status) {
  std::lock_guard<Lock> lock(mutex_);
  status_ = status;
}

std::vector<uint8_t> ZrvDevice::SaveImage() const {
  std::lock_guard<Lock> lock(mutex_);
  std::vector<uint8_t> image;
  image.reserve(kImageSize);
  for (const Record& record : records_) image.insert(image.end(), record.begin(), record.end());
  return image;
}

bool ZrvDevice::RestoreImage(const std::vector<uint8_t>& image) {
  if (image.size() != kImageSize) return false;
  std::lock_guard<Lock> lock(mutex_);
  for (size_t i = 0; i < kRecordCount; ++i) {
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(i * kRecordSize), kRecordSize,
                records_[i].begin());
  }
  return true;
}

void ZrvDevice::Unplug(bool unplugged) {
  std::lock_guard<RecursiveLock> emitting(emitMutex_);
  Outbox out;
  {
    std::lock_guard<Lock> lock(mutex_);
    if (unplugged_ == unplugged) return;
    unplugged_ = unplugged;
    stale_.clear();  // what was held back goes with the cable
    EndExchange();
    out = StartOutbox();
    out.actions.push_back(LineAction::Lines(CableLines()));
  }
  Emit(out);
}

bool ZrvDevice::Unplugged() const {
  std::lock_guard<Lock> lock(mutex_);
  return unplugged_;
}

void ZrvDevice::SetPacing(std::chrono::microseconds perCharacter) {
  std::lock_guard<Lock> lock(mutex_);
  pacing_ = perCharacter;
}

void ZrvDevice::SendHeldBack() {
  std::lock_guard<RecursiveLock> emitting(emitMutex_);
  Outbox out;
  {
    std::lock_guard<Lock> lock(mutex_);
    if (unplugged_) return;
    out = StartOutbox();
    out.actions.swap(stale_);
  }
  Emit(out);
}

void ZrvDevice::InjectFault(const ReplyPoint& point, const ZrvFault& fault) {
  std::lock_guard<Lock> lock(mutex_);
  faults_.push_back({point, fault});
}

void ZrvDevice::ClearFaults() {
  std::lock_guard<Lock> lock(mutex_);
  faults_.clear();
}

uint64_t ZrvDevice::FaultsApplied() const {
  std::lock_guard<Lock> lock(mutex_);
  return faultsApplied_;
}

void ZrvDevice::SetRandomReplies(const RandomReplies& random) {
  std::lock_guard<Lock> lock(mutex_);
  random_ = true;
  randomReplies_ = random;
  randomState_ = random.seed;
}

void ZrvDevice::StopRandomReplies() {
  std::lock_guard<Lock> lock(mutex_);
  random_ = false;
}

std::vector<ZrvDevice::ReceivedByte> ZrvDevice::Received() const {
  std::lock_guard<Lock> lock(mutex_);
  return received_;
}

std::vector<ZrvDevice::ReceivedByte> ZrvDevice::ParityViolations() const {
  std::lock_guard<Lock> lock(mutex_);
  std::vector<ReceivedByte> violations;
  std::copy_if(received_.begin(), received_.end(), std::back_inserter(violations),
               [](const ReceivedByte& byte) { return byte.parityViolation; });
  return violations;
}

uint64_t ZrvDevice::ParityViolationCount() const {
  std::lock_guard<Lock> lock(mutex_);
  return violations_;
}

std::vector<ZrvDevice::ReplyMade> ZrvDevice::Replies() const {
  std::lock_guard<Lock> lock(mutex_);
  return replies_;
}

void ZrvDevice::ClearLogs() {
  std::lock_guard<Lock> lock(mutex_);
  received_.clear();
  replies_.clear();
  violations_ = 0;
}

void ZrvDevice::SetLogLimit(size_t entries) {
  std::lock_guard<Lock> lock(mutex_);
  logLimit_ = entries;
}

void ZrvDevice::TakeCommand(uint8_t value, Outbox& out) {
  if (value == kNextByteRequest && phase_ == Phase::ReadRequests) {
    AnswerRequest(out);
    return;
  }
  // Any other command ends the exchange under way; a record half written is lost.
  EndExchange();
  switch (value) {
    case kStatusRequest:
      MakeReply({Reply::StatusByte}, status_, WireParity::Odd, out);
      break;
    case kReadCommand:
      if (MakeReply({Reply::ReadCommandAck}, kAck, WireParity::Odd, out)) {
        phase_ = Phase::ReadLocation;
      }
      break;
    case kWriteCommand:
      if (MakeReply({Reply::WriteCommandAck}, kAck, WireParity::Odd, out)) {
        phase_ = Phase::WriteLocation;
      }
      break;
    default:
      // An unknown command, or a request with no read under way: refused.
      out.actions.push_back(LineAction::Send(kNak, WireParity::Odd));
      break;
  }
}

void ZrvDevice::TakeDataByte(uint8_t value, Outbox& out) {
  if (phase_ == Phase::WriteData) {
    pending_[count_++] = value;
    if (count_ < kRecordSize) return;
    const unsigned address = address_;
    const Record record = pending_;
    EndExchange();
    // Stored only when the device acknowledges it: a NAK or a garbled reply
    // leaves the old record, so the host's retry starts from a known state.
    if (MakeReply({Reply::WriteRecordAck}, kAck, WireParity::Even, out)) {
      records_[address - 1] = record;
    }
    return;
  }

  locationBlock_[count_++] = value;
  if (count_ < locationBlock_.size()) return;
  const bool read = phase_ == Phase::ReadLocation;
  const unsigned location = locationBlock_[0] | (unsigned{locationBlock_[1]} << 8);
  const bool valid = location > kLocationOffset && location <= kLocationOffset + kRecordCount &&
                     locationBlock_[2] == kRecordSize;
  EndExchange();
  const ReplyPoint point{read ? Reply::ReadLocationAck : Reply::WriteLocationAck};
  if (MakeReply(point, valid ? kAck : kNak, WireParity::Even, out) && valid) {
    phase_ = read ? Phase::ReadRequests : Phase::WriteData;
    address_ = location - kLocationOffset;
  }
}

void ZrvDevice::AnswerRequest(Outbox& out) {
  const unsigned index = count_;
  const ReplyPoint ack{Reply::ReadRequestAck, static_cast<int>(index)};
  const ReplyPoint data{Reply::ReadDataByte, static_cast<int>(index)};
  if (!MakeReply(ack, kAck, WireParity::Odd, out) ||
      !MakeReply(data, records_[address_ - 1][index], WireParity::Odd, out)) {
    EndExchange();
    return;
  }
  if (++count_ == kRecordSize) EndExchange();
}

// Makes one reply, or the fault that replaces it, and answers whether the
// exchange goes on. After an ACK point it goes on only when the correct reply went
// out: the host gives up on anything else, and the next command resynchronises. A
// record byte, right or wrong, is taken by the host as it comes, so the read goes
// on; a pulled cable ends everything.
bool ZrvDevice::MakeReply(const ReplyPoint& point, uint8_t correct, WireParity parity,
                          Outbox& out) {
  const ZrvFault fault = ChooseReply(point, correct);
  uint8_t value = correct;
  bool sent = true;
  bool extra = false;
  bool late = false;
  switch (fault.action) {
    case ReplyAction::Correct:
      break;
    case ReplyAction::Nak:
      value = kNak;
      break;
    case ReplyAction::OtherByte:
      value = fault.value;
      break;
    case ReplyAction::Silence:
      sent = false;
      break;
    case ReplyAction::LineError:
      out.actions.push_back(LineAction::Error(fault.error));
      sent = false;
      break;
    case ReplyAction::LineErrorThenReply:
      out.actions.push_back(LineAction::Error(fault.error));
      break;
    case ReplyAction::Unplug:
      unplugged_ = true;
      stale_.clear();
      EndExchange();
      out.actions.push_back(LineAction::Lines(CableLines()));
      sent = false;
      break;
    case ReplyAction::Late:
      late = true;
      break;
    case ReplyAction::Stale:
      out.holdFrom = std::min(out.holdFrom, out.actions.size());
      break;
    case ReplyAction::ExtraByte:
      extra = true;
      break;
  }
  if (sent) {
    LineAction send = LineAction::Send(value, parity);
    if (late) {
      send.delayed = true;
      send.after = fault.delay;
    }
    out.actions.push_back(send);
  }
  if (extra) out.actions.push_back(LineAction::Send(fault.value, parity));
  if (replies_.size() < logLimit_) replies_.push_back({point, fault.action, value});

  if (fault.action == ReplyAction::Unplug) return false;
  return point.reply == Reply::ReadDataByte || (sent && value == correct);
}

ZrvFault ZrvDevice::ChooseReply(const ReplyPoint& point, uint8_t correct) {
  for (auto placed = faults_.begin(); placed != faults_.end(); ++placed) {
    if (!placed->point.Matches(point)) continue;
    const ZrvFault fault = placed->fault;
    if (!fault.persistent) faults_.erase(placed);
    ++faultsApplied_;
    return fault;
  }
  if (!random_) return ZrvFault::Correct();

  const double draw = NextUniform();
  double edge = randomReplies_.nak;
  if (draw < edge) return ZrvFault::Nak();
  edge += randomReplies_.otherByte;
  if (draw < edge) return ZrvFault::Byte(OtherByteThan(correct, AckDue(point.reply)));
  edge += randomReplies_.silence;
  if (draw < edge) return ZrvFault::Silence();
  edge += randomReplies_.lineError;
  if (draw < edge) return ZrvFault::Error(static_cast<LineError>(NextRandom(randomState_) % 4));
  return ZrvFault::Correct();
}

uint8_t ZrvDevice::OtherByteThan(uint8_t correct, bool ackDue) {
  for (;;) {
    const auto value = static_cast<uint8_t>(NextRandom(randomState_));
    if (value == correct) continue;
    if (ackDue && (value == kAck || value == kNak)) continue;
    return value;
  }
}

double ZrvDevice::NextUniform() {
  return static_cast<double>(NextRandom(randomState_) >> 11) * 0x1.0p-53;
}

InputLines ZrvDevice::CableLines() const {
  InputLines lines;
  if (unplugged_) return lines;
  lines.cts = rts_;
  lines.dsr = true;
  lines.ring = dtr_;
  lines.rlsd = false;
  return lines;
}

void ZrvDevice::LogReceived(uint8_t value, WireParity parity, bool violation) {
  if (violation) ++violations_;
  if (received_.size() < logLimit_) received_.push_back({value, parity, violation});
}

void ZrvDevice::EndExchange() {
  phase_ = Phase::Idle;
  count_ = 0;
  address_ = 0;
}

ZrvDevice::Outbox ZrvDevice::StartOutbox() const {
  Outbox out;
  out.line = line_;
  out.pacing = pacing_;
  return out;
}

void ZrvDevice::Emit(const Outbox& out) {
  if (out.line == nullptr) return;
  for (const LineAction& action : out.actions) {
    switch (action.kind) {
      case LineAction::Kind::Send:
        out.line->Send(action.value, action.parity, action.delayed ? action.after : out.pacing);
        break;
      case LineAction::Kind::Error:
        out.line->RaiseLineError(action.error);
        break;
      case LineAction::Kind::Lines:
        out.line->SetInputLines(action.lines);
        break;
    }
  }
}

}  // namespace sim
