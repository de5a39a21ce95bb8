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

bool SimulatedDevice::LogTo(const std::string& path, std::string& error) {
  std::wstring wide(path.size(), L'\0');
  wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, path.data(),
                                                      static_cast<int>(path.size()), wide.data(),
                                                      static_cast<int>(wide.size()))));
  // Readable, and removable, while the device writes it.
  const HANDLE file = CreateFileW(wide.c_str(), FILE_APPEND_DATA,
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
  if (log_ != nullptr) {
    const std::string line = std::to_string(value) + " " + ParityName(parity) + "\n";
    DWORD written = 0;
    WriteFile(log_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
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
