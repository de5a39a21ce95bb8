// zrvsim's end of the cable (see cable.h): the shared memory and the socket on
// which the preload library in each Wine process reports the port's changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cable.h"

namespace linesim {

class CableServer {
 public:
  // What the port changed, as the preload reports it. Called on the thread that
  // calls Serve, before the preload's call returns.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void ParityChanged(uint64_t firstByte, sim::WireParity parity) = 0;
    virtual void OutputLinesChanged(bool rts, bool dtr) = 0;
  };

  // Creates the shared memory and listens at `socketPath` (replacing a stale
  // socket there). Throws std::runtime_error when the system refuses.
  CableServer(const std::string& socketPath, Listener& listener);
  // Marks the line as no longer served, closes every connection, removes the socket.
  ~CableServer();
  CableServer(const CableServer&) = delete;
  CableServer& operator=(const CableServer&) = delete;

  CableState& State() { return *state_; }

  // For the caller's poll loop: the listening socket, then the connections.
  int ListenFd() const { return listen_; }
  const std::vector<int>& Connections() const { return connections_; }
  void Accept();
  // Answers the request waiting on connection `fd`; closes it at its end.
  void Serve(int fd);

 private:
  void Drop(int fd);
  bool Reply(int fd, const CableReply& reply, bool withMemory);

  Listener& listener_;
  std::string socketPath_;
  int memory_ = -1;
  size_t memorySize_ = 0;
  CableState* state_ = nullptr;
  int listen_ = -1;
  std::vector<int> connections_;
};

}  // namespace linesim
