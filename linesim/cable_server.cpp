#include "cable_server.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

namespace linesim {

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

CableServer::CableServer(const std::string& socketPath, Listener& listener)
    : listener_(listener), socketPath_(socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    Fail("cable socket " + socketPath);
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

  memory_ = memfd_create("zrvline-cable", MFD_CLOEXEC);
  if (memory_ < 0) Fail("memfd_create");
  memorySize_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (ftruncate(memory_, static_cast<off_t>(memorySize_)) != 0) Fail("sizing the cable memory");
  void* mapped = mmap(nullptr, memorySize_, PROT_READ | PROT_WRITE, MAP_SHARED, memory_, 0);
  if (mapped == MAP_FAILED) Fail("mapping the cable memory");
  state_ = new (mapped) CableState{};
  state_->magic = kCableMagic;
  state_->version = kCableVersion;
  state_->serving.store(1);

  listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_ < 0) Fail("cable socket");
  unlink(socketPath.c_str());
  if (bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_, 16) != 0) {
    Fail("cable socket " + socketPath);
  }
}

CableServer::~CableServer() {
  if (state_ != nullptr) state_->serving.store(0);
  for (int fd : connections_) close(fd);
  if (listen_ >= 0) {
    close(listen_);
    unlink(socketPath_.c_str());
  }
  if (state_ != nullptr) munmap(state_, memorySize_);
  if (memory_ >= 0) close(memory_);
}

void CableServer::Accept() {
  for (;;) {
    const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // EAGAIN: no more waiting; anything else: try at the next poll
    connections_.push_back(fd);
  }
}

void CableServer::Drop(int fd) {
  close(fd);
  connections_.erase(std::remove(connections_.begin(), connections_.end(), fd), connections_.end());
}

bool CableServer::Reply(int fd, const CableReply& reply, bool withMemory) {
  iovec data{const_cast<CableReply*>(&reply), sizeof reply};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (withMemory) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &memory_, sizeof(int));
  }
  // The preload waits for this reply, so there is room for it in the socket.
  return sendmsg(fd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof reply);
}

void CableServer::Serve(int fd) {
  CableRequest request{};
  const ssize_t got = recv(fd, &request, sizeof request, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got != static_cast<ssize_t>(sizeof request)) {
    Drop(fd);  // the process went away (0), or spoke something else
    return;
  }
  bool withMemory = false;
  switch (request.kind) {
    case CableRequestKind::Hello:
      withMemory = true;
      break;
    case CableRequestKind::Parity:
      state_->parityFlags.store(request.value & kParityFlags);
      listener_.ParityChanged(request.written, ParityFromFlags(request.value));
      break;
    case CableRequestKind::OutputLines:
      state_->outputLines.store(request.value & kOutputLineBits);
      listener_.OutputLinesChanged((request.value & TIOCM_RTS) != 0,
                                   (request.value & TIOCM_DTR) != 0);
      break;
    default:
      Drop(fd);
      return;
  }
  const CableReply reply{1, state_->inputLines.load()};
  if (!Reply(fd, reply, withMemory)) Drop(fd);
}

}  // namespace linesim
