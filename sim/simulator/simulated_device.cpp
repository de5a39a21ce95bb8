#include "simulator/simulated_device.h"

#include <windows.h>

#include "image/record_image.h"

namespace sim {

namespace {
constexpr unsigned kLineBaud = 19200;
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

void SimulatedDevice::ReceiveFromPort(uint8_t value, WireParity parity) {
  device_.ReceiveFromPort(value, parity);
  if (image_.RecordStored()) SaveIfChanged();
}

void SimulatedDevice::OutputLinesChanged(bool rts, bool dtr) {
  device_.OutputLinesChanged(rts, dtr);
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
