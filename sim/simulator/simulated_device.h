// A ZRV device whose records live in an image file: it sits between the port's
// line and the device model, passes everything through, and writes the image
// back once a record written has been stored (the device's even-parity ACK after
// the 30 bytes), so that the records survive the host's process. On request it
// logs every byte it receives, with the parity it came with.
#pragma once

#include <atomic>
#include <string>

#include "far_end.h"
#include "image/record_image.h"
#include "zrv_device.h"

namespace sim {

class SimulatedDevice final : public FarEnd, private LineSide {
 public:
  // The records from `imagePath`; a missing image is made, all records zero.
  // False, with the reason in `error`, when the image cannot be read or made.
  bool Load(const std::string& imagePath, bool paced, std::string& error);
  // The records from the image again (another process may have written it).
  bool Reload(std::string& error) { return Load(imagePath_, paced_, error); }
  // Appends "value parity" a line for every byte received to the file at `path`
  // (made when missing). False, with the reason, when it cannot be opened.
  bool LogTo(const std::string& path, std::string& error);
  ~SimulatedDevice() override;

  void Attach(LineSide* line) override;
  void ReceiveFromPort(uint8_t value, WireParity parity) override;
  void OutputLinesChanged(bool rts, bool dtr) override;

 private:
  void Send(uint8_t value, WireParity parity, std::chrono::microseconds after) override;
  void RaiseLineError(LineError error) override;
  void SetInputLines(const InputLines& lines) override;
  void SaveIfChanged();

  ZrvDevice device_;
  std::atomic<LineSide*> line_{nullptr};
  std::string imagePath_;
  bool paced_ = true;
  void* log_ = nullptr;  // the log file's handle, or null
  // The far end's callbacks come one at a time: it needs no lock.
  RecordImage image_;
};

}  // namespace sim
