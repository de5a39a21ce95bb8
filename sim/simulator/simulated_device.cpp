#include "simulator/simulated_device.h"

#include <windows.h>

#include "image/image_file.h"

namespace sim {

namespace {
constexpr unsigned kLineBaud = 19200;
}  // namespace

bool SimulatedDevice::Load(const std::string& imagePath, bool paced, std::string& error) {
  imagePath_ = imagePath;
  paced_ = paced;
  std::vector<uint8_t> image;
  switch (LoadImageFile(imagePath_, ZrvDevice::kImageSize, image, error)) {
    case ImageLoad::Loaded:
      if (!device_.RestoreImage(image)) {
        error = imagePath_ + ": not an image";
        return false;
      }
      savedImage_ = std::move(image);
      break;
    case ImageLoad::Absent:
      // A new device: all records zero, and a file that says so from the start.
      device_.RestoreImage(std::vector<uint8_t>(ZrvDevice::kImageSize));
      savedImage_ = device_.SaveImage();
      if (!SaveImageFile(imagePath_, savedImage_, error)) return false;
      break;
    case ImageLoad::Failed:
      return false;
  }
  device_.SetPacing(paced ? CharacterTime(kLineBaud) : std::chrono::microseconds(0));
  return true;
}

void SimulatedDevice::Attach(LineSide* line) {
  line_ = line;
  device_.Attach(line != nullptr ? this : nullptr);
}

void SimulatedDevice::ReceiveFromPort(uint8_t value, WireParity parity) {
  device_.ReceiveFromPort(value, parity);
  if (imageMayHaveChanged_) SaveIfChanged();
}

void SimulatedDevice::OutputLinesChanged(bool rts, bool dtr) {
  device_.OutputLinesChanged(rts, dtr);
}

void SimulatedDevice::Send(uint8_t value, WireParity parity, std::chrono::microseconds after) {
  // An even-parity ACK ends a location block or a record written; after the
  // latter the device has stored the record, so the image is worth comparing.
  if (value == ZrvDevice::kAck && parity == WireParity::Even) imageMayHaveChanged_ = true;
  if (LineSide* line = line_) line->Send(value, parity, after);
}

void SimulatedDevice::RaiseLineError(LineError error) {
  if (LineSide* line = line_) line->RaiseLineError(error);
}

void SimulatedDevice::SetInputLines(const InputLines& lines) {
  if (LineSide* line = line_) line->SetInputLines(lines);
}

void SimulatedDevice::SaveIfChanged() {
  imageMayHaveChanged_ = false;
  std::vector<uint8_t> image = device_.SaveImage();
  if (image == savedImage_) return;
  std::string error;
  if (!SaveImageFile(imagePath_, image, error)) {
    // The device keeps the record; the next write tries the file again.
    OutputDebugStringA(("Kwelmora simulator: " + error + "\n").c_str());
    return;
  }
  savedImage_ = std::move(image);
}

}  // namespace sim
