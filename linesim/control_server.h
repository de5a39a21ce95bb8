// A Unix stream socket that takes commands one line at a time and answers each
// with the handler's text. The answer protocol (the last line "ok" or "error ...")
// is the handler's; this class only moves lines.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace linesim {

class ControlServer {
 public:
  using Handler = std::function<std::string(const std::string& line)>;

  // Listens at `socketPath` (replacing a stale socket there). Throws
  // std::runtime_error when the system refuses.
  ControlServer(const std::string& socketPath, Handler handler);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  int ListenFd() const { return listen_; }
  std::vector<int> Connections() const;
  void Accept();
  // Reads what connection `fd` sent and answers every complete line.
  void Serve(int fd);

 private:
  void Drop(int fd);

  std::string socketPath_;
  Handler handler_;
  int listen_ = -1;
  std::map<int, std::string> pending_;  // connection -> bytes after its last full line
};

// The client side, for zrvsim's `ctl` mode and for tests: sends one command and
// returns the answer (up to and including its "ok" or "error" line). False when
// the socket cannot be reached or closes before the answer is complete.
bool SendControlCommand(const std::string& socketPath, const std::string& command,
                        std::string& answer, int timeoutMs);

}  // namespace linesim
