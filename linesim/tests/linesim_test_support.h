// Scenes for the native tests: a temporary folder, and a zrvsim core (LineSim)
// serving on its own thread with the preload's logic (LineClient) at the other
// end of its pty, calling libc directly.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "line_client.h"
#include "line_sim.h"

namespace linesim_test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// libc's own functions, as the preload finds them with dlsym(RTLD_NEXT).
zrvline::RealCalls LibcCalls();

// Waits until `done` holds, at most `bound`; false when it never did.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds bound = std::chrono::milliseconds(3000));

// A zrvsim core serving on a thread, a port descriptor on its pty slave, and the
// preload's logic for that descriptor.
class ServedLine {
 public:
  // `dropParity`: the preload's logic loses the parity, as a bare pty does.
  explicit ServedLine(linesim::LineSimOptions options = {}, bool dropParity = false);
  ~ServedLine();

  linesim::LineSim& Sim() { return *sim_; }
  zrvline::LineClient& Client() { return *client_; }
  const TempDir& Dir() const { return dir_; }
  int Port() const { return port_; }
  const std::string& SlavePath() const { return slavePath_; }
  std::string CableSocket() const { return dir_.File("cable"); }

  // A control command through the control socket; the answer without its "ok",
  // or "error ..." as it came.
  std::string Control(const std::string& command);
  // The device's byte log, "value parity" lines joined with blanks.
  std::string Log();

  // What the port side does, through the preload's logic.
  void SetParity(unsigned flags);
  void WriteBytes(std::initializer_list<uint8_t> bytes);
  // The next byte from the device, if one comes within the bound.
  std::optional<uint8_t> ReadByte(
      std::chrono::milliseconds bound = std::chrono::milliseconds(3000));

 private:
  TempDir dir_;
  std::unique_ptr<linesim::LineSim> sim_;
  std::thread loop_;
  std::string slavePath_;
  int port_ = -1;
  std::unique_ptr<zrvline::LineClient> client_;
};

}  // namespace linesim_test
