// A pseudo-terminal pair in raw mode: zrvsim serves the device on the master; the
// slave is what the Wine prefix's COM port points at.
#pragma once

#include <string>

namespace linesim {

class PtyPair {
 public:
  // Opens the pair; throws std::runtime_error when the system refuses.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Non-blocking, raw: bytes pass unchanged in both directions.
  int Master() const { return master_; }
  // Held open by zrvsim for its whole life, so that the master never sees the
  // hang-up of a closed slave between two processes that open the port, and the
  // line settings stay as the last process left them, as on a serial port.
  int Slave() const { return slave_; }
  const std::string& SlavePath() const { return slavePath_; }

  // Closes both ends: whoever still holds the slave finds the line hung up, as a
  // port whose adapter was pulled out. Master() and Slave() are -1 afterwards.
  void Close();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace linesim
