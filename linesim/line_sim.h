// zrvsim's core: the ZRV device model served on a pty, with the cable the preload
// library completes (cable.h), a control channel for tests, and the device's
// records kept in an image file.
//
// One thread runs everything (Run): the pty master, the cable and control
// sockets, the paced delivery of bytes in both directions, the packets of a
// simulated USB-serial adapter. Stop may be called
// from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cable_server.h"
#include "control_server.h"
#include "fault_option.h"
#include "image/record_image.h"
#include "parity_timeline.h"
#include "pty_pair.h"
#include "usb_serial_adapter.h"
#include "zrv_device.h"

namespace linesim {

struct LineSimOptions {
  std::string cableSocket;    // required
  std::string controlSocket;  // empty: no control channel
  std::string imageFile;      // empty: the records live in memory only
  std::optional<uint8_t> status;
  std::vector<FaultOption> faults;
  bool unplugged = false;
  bool pace = false;  // 19200 baud, 11 bits a character, in both directions
  // A USB-serial adapter's latency timer between the device and the pty, in ms
  // (usb_serial_adapter.h); 0: a native port.
  unsigned adapterLatencyMs = 0;
};

class LineSim : public sim::LineSide, private CableServer::Listener {
 public:
  using Clock = std::chrono::steady_clock;

  // Opens the pty, the sockets, loads the image and attaches the device. Throws
  // std::runtime_error with the reason when any of it fails.
  explicit LineSim(const LineSimOptions& options);
  ~LineSim() override;

  const std::string& SlavePath() const { return pty_.SlavePath(); }

  // Serves until Stop, a "quit" command, or `signalFd` (e.g. a signalfd; -1 for
  // none) becomes readable. Saves the image before it returns.
  void Run(int signalFd = -1);
  void Stop();

  // One control command: the answer's lines, the last one "ok" or "error ...".
  std::string HandleControl(const std::string& line);

  // sim::LineSide: the device's side of the line.
  void Send(uint8_t value, sim::WireParity parity, std::chrono::microseconds after) override;
  void RaiseLineError(sim::LineError error) override;
  void SetInputLines(const sim::InputLines& lines) override;

 private:
  struct Timed {
    uint8_t value;
    sim::WireParity parity;
    Clock::time_point due;
  };
  struct Logged {
    uint8_t value;
    sim::WireParity parity;
  };

  // CableServer::Listener.
  void ParityChanged(uint64_t firstByte, sim::WireParity parity) override;
  void OutputLinesChanged(bool rts, bool dtr) override;

  // The port goes away under the host: the pty closes, the lines fall.
  void Vanish();
  void ReadMaster();
  void Deliver(const Timed& byte);
  void DeliverDue(Clock::time_point now);
  void WriteDue(Clock::time_point now);
  std::optional<Clock::time_point> NextDue() const;
  void SaveIfChanged();

  sim::ZrvDevice device_;
  PtyPair pty_;
  CableServer cable_;
  std::unique_ptr<ControlServer> control_;
  int stopEvent_ = -1;
  bool quit_ = false;

  std::string imageFile_;
  sim::RecordImage image_;

  bool pace_ = false;
  ParityTimeline timeline_;
  uint64_t bytesRead_ = 0;
  std::deque<Timed> incoming_;  // read from the master, arriving at the device (paced)
  Clock::time_point lastIncoming_{};
  sim::UsbSerialAdapter adapter_;  // between the device and outgoing_
  std::deque<Timed> outgoing_;     // from the device, arriving at the port
  Clock::time_point lastOutgoing_{};
  bool masterFull_ = false;

  std::vector<Logged> log_;
  uint64_t bytesSent_ = 0;
  uint64_t lineErrors_ = 0;
  uint64_t violationsCleared_ = 0;  // parity violations in logs cleared since the start
};

}  // namespace linesim
