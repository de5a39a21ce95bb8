#include "line_sim.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "image/record_image.h"

namespace linesim {

namespace {

constexpr unsigned kLineBaud = 19200;
constexpr size_t kLogLimit = size_t{1} << 20;  // bytes kept for the control channel's log

const char* LineErrorName(sim::LineError error) {
  switch (error) {
    case sim::LineError::Framing:
      return "framing";
    case sim::LineError::Parity:
      return "parity";
    case sim::LineError::Overrun:
      return "overrun";
    case sim::LineError::Break:
      return "break";
  }
  return "unknown";
}

std::string Hex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

bool ParseHex(const std::string& text, uint8_t* data, size_t size) {
  if (text.size() != 2 * size) return false;
  for (size_t i = 0; i < size; ++i) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1 ||
        !std::isxdigit(static_cast<unsigned char>(text[2 * i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[2 * i + 1]))) {
      return false;
    }
    data[i] = static_cast<uint8_t>(value);
  }
  return true;
}

std::string Error(const std::string& reason) { return "error " + reason + "\n"; }

}  // namespace

LineSim::LineSim(const LineSimOptions& options)
    : cable_(options.cableSocket, *this), imageFile_(options.imageFile), pace_(options.pace) {
  if (!options.controlSocket.empty()) {
    control_ = std::make_unique<ControlServer>(
        options.controlSocket, [this](const std::string& line) { return HandleControl(line); });
  }
  stopEvent_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopEvent_ < 0) throw std::runtime_error(std::string("eventfd: ") + strerror(errno));

  std::string error;
  if (!imageFile_.empty() && !image_.Load(imageFile_, device_, error)) {
    throw std::runtime_error(error);
  }
  if (options.status) device_.SetStatus(*options.status);
  for (const FaultOption& fault : options.faults) device_.InjectFault(fault.point, fault.fault);
  device_.SetPacing(pace_ ? sim::CharacterTime(kLineBaud) : std::chrono::microseconds(0));
  adapter_.SetLatency(std::chrono::milliseconds(options.adapterLatencyMs));
  device_.Unplug(options.unplugged);
  device_.Attach(this);
}

LineSim::~LineSim() {
  device_.Attach(nullptr);
  SaveIfChanged();
  close(stopEvent_);
}

void LineSim::Stop() {
  const uint64_t one = 1;
  // Nothing to do when it fails: the counter is already non-zero, the loop wakes.
  [[maybe_unused]] const ssize_t written = write(stopEvent_, &one, sizeof one);
}

void LineSim::Run(int signalFd) {
  quit_ = false;
  while (!quit_) {
    std::vector<pollfd> fds;
    fds.push_back({stopEvent_, POLLIN, 0});
    fds.push_back({signalFd, POLLIN, 0});  // poll ignores a negative fd
    fds.push_back({pty_.Master(), static_cast<short>(POLLIN | (masterFull_ ? POLLOUT : 0)), 0});
    fds.push_back({cable_.ListenFd(), POLLIN, 0});
    fds.push_back({control_ ? control_->ListenFd() : -1, POLLIN, 0});
    const std::vector<int> cableConnections = cable_.Connections();
    for (int fd : cableConnections) fds.push_back({fd, POLLIN, 0});
    const std::vector<int> controlConnections =
        control_ ? control_->Connections() : std::vector<int>();
    for (int fd : controlConnections) fds.push_back({fd, POLLIN, 0});

    timespec wait{};
    timespec* timeout = nullptr;
    if (const std::optional<Clock::time_point> due = NextDue()) {
      const auto left = std::max(Clock::duration::zero(), *due - Clock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      wait.tv_sec = static_cast<time_t>(ns / 1000000000);
      wait.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &wait;
    }
    if (ppoll(fds.data(), fds.size(), timeout, nullptr) < 0 && errno != EINTR) {
      throw std::runtime_error(std::string("poll: ") + strerror(errno));
    }
    if (fds[0].revents != 0 || fds[1].revents != 0) break;
    if ((fds[2].revents & POLLOUT) != 0) masterFull_ = false;
    if ((fds[2].revents & POLLIN) != 0) ReadMaster();
    if (fds[3].revents != 0) cable_.Accept();
    if (fds[4].revents != 0) control_->Accept();
    size_t next = 5;
    for (int fd : cableConnections) {
      if (fds[next++].revents != 0) cable_.Serve(fd);
    }
    for (int fd : controlConnections) {
      if (fds[next++].revents != 0) control_->Serve(fd);
    }
    const Clock::time_point now = Clock::now();
    DeliverDue(now);
    WriteDue(now);
  }
  SaveIfChanged();
}

void LineSim::ReadMaster() {
  const Clock::time_point now = Clock::now();
  const auto characterTime = pace_ ? sim::CharacterTime(kLineBaud) : std::chrono::microseconds(0);
  uint8_t buffer[512];
  for (;;) {
    const ssize_t got = read(pty_.Master(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    for (ssize_t i = 0; i < got; ++i) {
      // The parity is the one in force when the port wrote this byte, whenever
      // it is read; the byte reaches the device once it has crossed the wire.
      const sim::WireParity parity = timeline_.Next(bytesRead_++);
      lastIncoming_ = std::max(now, lastIncoming_) + characterTime;
      incoming_.push_back({buffer[i], parity, lastIncoming_});
    }
  }
}

void LineSim::Deliver(const Timed& byte) {
  if (log_.size() < kLogLimit) log_.push_back({byte.value, byte.parity});
  device_.ReceiveFromPort(byte.value, byte.parity);
  if (image_.RecordStored()) SaveIfChanged();
}

void LineSim::DeliverDue(Clock::time_point now) {
  while (!incoming_.empty() && incoming_.front().due <= now) {
    const Timed byte = incoming_.front();
    incoming_.pop_front();
    Deliver(byte);
    WriteDue(now);
  }
}

void LineSim::Vanish() {
  // The device is cut off with its port: its lines read off through the cable,
  // and nothing travels any more in either direction.
  device_.Unplug(true);
  cable_.State().inputLines.store(0);
  incoming_.clear();
  outgoing_.clear();
  adapter_.Clear();
  masterFull_ = false;
  pty_.Close();
}

void LineSim::WriteDue(Clock::time_point now) {
  // The adapter's packets that have gone by now join the bytes arriving at the port.
  for (const sim::UsbSerialAdapter::Character& released : adapter_.Release(now)) {
    outgoing_.push_back({released.value, released.parity, now});
  }
  if (pty_.Master() < 0) {
    outgoing_.clear();  // the port has gone: nothing reaches it
    return;
  }
  while (!masterFull_ && !outgoing_.empty() && outgoing_.front().due <= now) {
    const ssize_t done = write(pty_.Master(), &outgoing_.front().value, 1);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0 && errno == EAGAIN) {
      masterFull_ = true;  // the port is not reading: wait until there is room
      return;
    }
    if (done == 1) ++bytesSent_;
    outgoing_.pop_front();
  }
}

std::optional<LineSim::Clock::time_point> LineSim::NextDue() const {
  std::optional<Clock::time_point> due;
  if (!incoming_.empty()) due = incoming_.front().due;
  if (!outgoing_.empty() && !masterFull_) {
    due = due ? std::min(*due, outgoing_.front().due) : outgoing_.front().due;
  }
  const Clock::time_point packet = adapter_.NextRelease();
  if (packet != sim::UsbSerialAdapter::kNothingDue) due = due ? std::min(*due, packet) : packet;
  return due;
}

void LineSim::SaveIfChanged() {
  std::string error;
  if (!imageFile_.empty() && !image_.Save(device_, error)) {
    std::fprintf(stderr, "zrvsim: %s\n", error.c_str());
  }
}

void LineSim::Send(uint8_t value, sim::WireParity parity, std::chrono::microseconds after) {
  // The port's parity check cannot be done on a pty; the device answers with the
  // parity of the byte it took, which is the port's parity at that moment.
  lastOutgoing_ = std::max(Clock::now(), lastOutgoing_) + after;
  if (adapter_.PassesThrough()) {
    outgoing_.push_back({value, parity, lastOutgoing_});
  } else {
    adapter_.Take(value, parity, lastOutgoing_);  // reaches the port with its packet
  }
  image_.NoteSent(value, parity);
}

void LineSim::RaiseLineError(sim::LineError error) {
  // A pty has no receiver that could see a framing or parity error or a break.
  ++lineErrors_;
  std::fprintf(stderr, "zrvsim: the device raised a %s error; a pty cannot carry it\n",
               LineErrorName(error));
}

void LineSim::SetInputLines(const sim::InputLines& lines) {
  cable_.State().inputLines.store(LineBits(lines));
}

void LineSim::ParityChanged(uint64_t firstByte, sim::WireParity parity) {
  timeline_.ChangeAt(firstByte, parity);
}

void LineSim::OutputLinesChanged(bool rts, bool dtr) { device_.OutputLinesChanged(rts, dtr); }

std::string LineSim::HandleControl(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  std::vector<std::string> arguments;
  for (std::string word; words >> word;) arguments.push_back(word);
  const auto argumentCount = [&](size_t count) { return arguments.size() == count; };

  std::string answer;
  if (command == "fault" && argumentCount(1)) {
    std::string error;
    const std::optional<FaultOption> fault = ParseFault(arguments[0], error);
    if (!fault) return Error(error);
    device_.InjectFault(fault->point, fault->fault);
  } else if (command == "clear" && argumentCount(0)) {
    device_.ClearFaults();
  } else if (command == "unplug" && argumentCount(1) &&
             (arguments[0] == "0" || arguments[0] == "1")) {
    device_.Unplug(arguments[0] == "1");
  } else if (command == "pace" && argumentCount(1) &&
             (arguments[0] == "0" || arguments[0] == "1")) {
    pace_ = arguments[0] == "1";
    device_.SetPacing(pace_ ? sim::CharacterTime(kLineBaud) : std::chrono::microseconds(0));
  } else if (command == "adapter" && argumentCount(1)) {
    const std::optional<unsigned> value = ParseByte(arguments[0]);
    if (!value) return Error("the adapter's latency timer is 0..255 ms (0: a native port)");
    adapter_.SetLatency(std::chrono::milliseconds(*value));
  } else if (command == "status" && argumentCount(1)) {
    const std::optional<unsigned> value = ParseByte(arguments[0]);
    if (!value) return Error("the status is a byte 0..255");
    device_.SetStatus(static_cast<uint8_t>(*value));
  } else if (command == "log" && argumentCount(0)) {
    for (const Logged& byte : log_) {
      answer += std::to_string(byte.value) + " " + ParityName(byte.parity) + "\n";
    }
  } else if (command == "clearlog" && argumentCount(0)) {
    log_.clear();
    // The byte counts run from zrvsim's start, and so does this one: a check of
    // the parity over several exchanges must not be reset by clearing the log.
    violationsCleared_ += device_.ParityViolationCount();
    device_.ClearLogs();
  } else if (command == "stats" && argumentCount(0)) {
    answer += "received " + std::to_string(bytesRead_) + "\n";
    answer += "sent " + std::to_string(bytesSent_) + "\n";
    answer +=
        "violations " + std::to_string(violationsCleared_ + device_.ParityViolationCount()) + "\n";
    answer += "line-errors " + std::to_string(lineErrors_) + "\n";
  } else if (command == "lines" && argumentCount(0)) {
    const CableState& state = cable_.State();
    const uint32_t output = state.outputLines.load();
    const uint32_t input = state.inputLines.load();
    answer += "rts " + std::to_string((output & TIOCM_RTS) != 0) + "\n";
    answer += "dtr " + std::to_string((output & TIOCM_DTR) != 0) + "\n";
    answer += "cts " + std::to_string((input & TIOCM_CTS) != 0) + "\n";
    answer += "dsr " + std::to_string((input & TIOCM_DSR) != 0) + "\n";
    answer += "ri " + std::to_string((input & TIOCM_RNG) != 0) + "\n";
    answer += "cd " + std::to_string((input & TIOCM_CAR) != 0) + "\n";
    answer += std::string("parity ") + ParityName(ParityFromFlags(state.parityFlags.load())) + "\n";
  } else if (command == "record" && (argumentCount(1) || argumentCount(2))) {
    unsigned number = 0;
    char rest = 0;
    if (std::sscanf(arguments[0].c_str(), "%u%c", &number, &rest) != 1 || number < 1 ||
        number > sim::ZrvDevice::kRecordCount) {
      return Error("the address is 1..931");
    }
    if (arguments.size() == 2) {
      sim::ZrvDevice::Record record{};
      if (!ParseHex(arguments[1], record.data(), record.size())) {
        return Error("a record is 60 hex digits");
      }
      device_.WriteRecord(number, record);
      SaveIfChanged();
    } else {
      const sim::ZrvDevice::Record record = device_.ReadRecord(number);
      answer += Hex(record.data(), record.size()) + "\n";
    }
  } else if (command == "vanish" && argumentCount(0)) {
    Vanish();
  } else if (command == "quit" && argumentCount(0)) {
    quit_ = true;
  } else {
    return Error(
        "unknown command or arguments: '" + line +
        "' (fault POINT:ACTION, clear, unplug 0|1, pace 0|1, adapter MS, status BYTE, log, "
        "clearlog, stats, lines, record ADDR [HEX], vanish, quit)");
  }
  return answer + "ok\n";
}

}  // namespace linesim
