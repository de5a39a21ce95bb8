#include "control_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace linesim {

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool SendAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd writable{fd, POLLOUT, 0};
      if (poll(&writable, 1, 5000) <= 0) return false;  // a client that stopped reading
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// An answer is complete with its last line: "ok" or "error ...".
bool AnswerComplete(const std::string& answer) {
  if (answer.empty() || answer.back() != '\n') return false;
  const size_t start = answer.rfind('\n', answer.size() - 2);
  const std::string last = answer.substr(start == std::string::npos ? 0 : start + 1);
  return last == "ok\n" || last.rfind("error", 0) == 0;
}

}  // namespace

ControlServer::ControlServer(const std::string& socketPath, Handler handler)
    : socketPath_(socketPath), handler_(std::move(handler)) {
  sockaddr_un address;
  if (!MakeAddress(socketPath, address)) {
    throw std::runtime_error("control socket path too long: " + socketPath);
  }
  listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_ < 0) throw std::runtime_error(std::string("control socket: ") + strerror(errno));
  unlink(socketPath.c_str());
  if (bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_, 16) != 0) {
    const std::string reason = strerror(errno);
    close(listen_);
    throw std::runtime_error("control socket " + socketPath + ": " + reason);
  }
}

ControlServer::~ControlServer() {
  for (const auto& connection : pending_) close(connection.first);
  close(listen_);
  unlink(socketPath_.c_str());
}

std::vector<int> ControlServer::Connections() const {
  std::vector<int> fds;
  for (const auto& connection : pending_) fds.push_back(connection.first);
  return fds;
}

void ControlServer::Accept() {
  for (;;) {
    const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    pending_[fd];
  }
}

void ControlServer::Drop(int fd) {
  close(fd);
  pending_.erase(fd);
}

void ControlServer::Serve(int fd) {
  char buffer[4096];
  const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    Drop(fd);
    return;
  }
  std::string& text = pending_[fd];
  text.append(buffer, static_cast<size_t>(got));
  for (size_t end; (end = text.find('\n')) != std::string::npos;) {
    std::string line = text.substr(0, end);
    text.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // The handler may end the program (quit): the answer goes out first.
    if (!SendAll(fd, handler_(line))) {
      Drop(fd);
      return;
    }
  }
}

bool SendControlCommand(const std::string& socketPath, const std::string& command,
                        std::string& answer, int timeoutMs) {
  answer.clear();
  sockaddr_un address;
  if (!MakeAddress(socketPath, address)) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool complete = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      SendAll(fd, command + "\n")) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!complete) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd readable{fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      answer.append(buffer, static_cast<size_t>(got));
      complete = AnswerComplete(answer);
    }
  }
  close(fd);
  return complete;
}

}  // namespace linesim
