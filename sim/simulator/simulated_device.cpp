#include "simulator/simulated_device.h"

#include <windows.h>

#include "image/image_file.h"
#include "image/record_image.h"

namespace sim {

namespace {
constexpr unsigned kLineBaud = 19200;
// The wrong reply: no ACK, no NAK, no command byte.
constexpr uint8_t kWrongReply = 0x3F;
// A late reply comes this long after it was due: past the host's one-second
// time-out.
constexpr std::chrono::milliseconds kLateBy{1500};
}  // namespace

bool SimulatedDevice::Load(const std::string& imagePath, bool paced, std::string& error) {
  imagePath_ = imagePath;
  paced_ = paced;
  if (!image_.Load(imagePath_, device_, error)) return false;
  device_.SetPacing(paced ? CharacterTime(kLineBaud) : std::chrono::microseconds(0));
  return true;
}

void SimulatedDevice::Attach(LineSide* line) {
  line_ = line;
  device_.Attach(line != nullptr ? this : nullptr);
}

bool SimulatedDevice::LogTo(const std::string& path, std::string& error) {
  // Readable, and removable, while the device writes it.
  const HANDLE file = CreateFileW(image_io::WidePath(path).c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot open the device log " + path + ": error " + std::to_string(GetLastError());
    return false;
  }
  log_ = file;
  return true;
}

SimulatedDevice::~SimulatedDevice() {
  if (log_ != nullptr) CloseHandle(log_);
}

void SimulatedDevice::ReceiveFromPort(uint8_t value, WireParity parity) {
  const bool onceArmed = armed_.fault != simfaults::Fault::None && !armed_.always;
  if (log_ != nullptr) {
    const std::string line = std::to_string(value) + " " + ParityName(parity) + "\n";
    DWORD written = 0;
    WriteFile(log_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  device_.ReceiveFromPort(value, parity);
  if (onceArmed && device_.FaultsApplied() != appliedBefore_) UsedUp();
  if (image_.RecordStored()) SaveIfChanged();
}

void SimulatedDevice::OutputLinesChanged(bool rts, bool dtr) {
  // The presence check moves RTS, then DTR, one line at a time: RTS off and on
  // again, then DTR. Its first change is RTS moving away from DTR: off while DTR
  // is on, or on while DTR is off (where the last transaction's parity switch
  // left both lines off). A parity switch, an opening and a closing move both
  // lines at once.
  const bool starts = rts != rts_ && dtr == dtr_ && rts != dtr;
  rts_ = rts;
  dtr_ = dtr;
  if (starts && TransactionStarts()) return;
  device_.OutputLinesChanged(rts, dtr);
}

void SimulatedDevice::SetPort(unsigned number, PortFaults faults) {
  number_ = number;
  portFaults_ = std::move(faults);
}

bool SimulatedDevice::TransactionStarts() {
  using simfaults::Fault;
  if (number_ == 0) return false;
  const simfaults::FaultSetting setting = simfaults::ReadFault(number_);
  const Fault fault = setting.fault;
  // What the last transaction's fault left goes first.
  device_.ClearFaults();
  device_.Unplug(fault == Fault::Unplugged);
  if (portFaults_.holdOutput) portFaults_.holdOutput(fault == Fault::TransmitterStop);

  // The replies that carry the fault: the transaction's first answer, or the step
  // the fault is named after.
  const ReplyPoint firstAnswers[] = {
      {Reply::StatusByte}, {Reply::ReadCommandAck}, {Reply::WriteCommandAck}};
  const ReplyPoint commands[] = {{Reply::ReadCommandAck}, {Reply::WriteCommandAck}};
  const ReplyPoint locations[] = {{Reply::ReadLocationAck}, {Reply::WriteLocationAck}};
  const ReplyPoint records[] = {{Reply::WriteRecordAck}, {Reply::ReadRequestAck, 0}};
  auto arm = [&](const auto& points, ZrvFault reply) {
    if (setting.always) reply = reply.Persistent();
    for (const ReplyPoint& point : points) device_.InjectFault(point, reply);
  };
  switch (fault) {
    case Fault::Silent:
      arm(firstAnswers, ZrvFault::Silence());
      break;
    case Fault::NakCommand:
      arm(commands, ZrvFault::Nak());
      break;
    case Fault::NakLocation:
      arm(locations, ZrvFault::Nak());
      break;
    case Fault::NakRecord:
      arm(records, ZrvFault::Nak());
      break;
    case Fault::WrongReply:
      arm(commands, ZrvFault::Byte(kWrongReply));
      break;
    case Fault::LateReply:
      arm(firstAnswers, ZrvFault::Late(kLateBy));
      break;
    case Fault::LineError:
      arm(firstAnswers, ZrvFault::Error(LineError::Framing));
      break;
    default:
      break;
  }
  armed_ = setting;
  appliedBefore_ = device_.FaultsApplied();
  // The cable, the transmitter and the port spoil every transaction from its start.
  if ((fault == Fault::Unplugged || fault == Fault::TransmitterStop || fault == Fault::Vanish) &&
      !setting.always) {
    UsedUp();
  }
  if (fault == Fault::Vanish && portFaults_.vanish) {
    portFaults_.vanish();
    return true;
  }
  return false;
}

void SimulatedDevice::UsedUp() {
  simfaults::RemoveUsedFault(number_, armed_);
  armed_ = simfaults::FaultSetting();
}

void SimulatedDevice::Send(uint8_t value, WireParity parity, std::chrono::microseconds after) {
  image_.NoteSent(value, parity);
  if (LineSide* line = line_) line->Send(value, parity, after);
}

void SimulatedDevice::RaiseLineError(LineError error) {
  if (LineSide* line = line_) line->RaiseLineError(error);
}

void SimulatedDevice::SetInputLines(const InputLines& lines) {
  if (LineSide* line = line_) line->SetInputLines(lines);
}

void SimulatedDevice::SaveIfChanged() {
  std::string error;
  if (!image_.Save(device_, error)) {
    OutputDebugStringA(("Kwelmora simulator: " + error + "\n").c_str());
  }
}

}  // namespace sim
