// A ZRV device whose records live in an image file: it sits between the port's
// line and the device model, passes everything through, and writes the image
// back once a record written has been stored (the device's even-parity ACK after
// the 30 bytes), so that the records survive the host's process. On request it
// logs every byte it receives, with the parity it came with.
//
// Faults on demand: every transaction begins with the presence check, whose first
// line change is the device's cue. There the device reads the port's fault
// (simfaults/fault_setting.h) and arms it: on the device's replies, on its cable,
// or on the port itself through PortFaults. A fault for once is removed from the
// registry as soon as it has spoilt a transaction; the next transaction that
// finds none puts everything back.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "far_end.h"
#include "image/record_image.h"
#include "simfaults/fault_setting.h"
#include "zrv_device.h"

namespace sim {

class SimulatedDevice final : public FarEnd, private LineSide {
 public:
  // What the device's faults do to the port it is on.
  struct PortFaults {
    std::function<void(bool)> holdOutput;  // the transmitter stops (true) or goes again
    std::function<void()> vanish;          // the port vanishes
  };
  // The port the device is on, for the faults switched from outside (none: 0).
  void SetPort(unsigned number, PortFaults faults);

  // The records from `imagePath`; a missing image is made, all records zero.
  // False, with the reason in `error`, when the image cannot be read or made.
  bool Load(const std::string& imagePath, bool paced, std::string& error);
  // The records from the image again (another process may have written it).
  bool Reload(std::string& error) { return Load(imagePath_, paced_, error); }
  bool Paced() const { return paced_; }
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
  // Arms the port's fault; true when the port has vanished.
  bool TransactionStarts();
  // The armed fault for once has spoilt its transaction.
  void UsedUp();

  ZrvDevice device_;
  std::atomic<LineSide*> line_{nullptr};
  std::string imagePath_;
  bool paced_ = true;
  void* log_ = nullptr;  // the log file's handle, or null
  unsigned number_ = 0;
  PortFaults portFaults_;
  bool rts_ = false, dtr_ = false;
  simfaults::FaultSetting armed_;  // this transaction's fault, until it is used
  uint64_t appliedBefore_ = 0;     // the device's FaultsApplied() when it was armed
  // The far end's callbacks come one at a time: it needs no lock.
  RecordImage image_;
};

}  // namespace sim
