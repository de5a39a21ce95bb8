#include "line_client.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kernel_termios.h"

namespace zrvline {

namespace {

using linesim::CableReply;
using linesim::CableRequest;
using linesim::CableRequestKind;
using linesim::CableState;

// A zrvsim that does not answer within this time is taken as gone: the port's
// call goes on as if no device were attached, rather than hang.
constexpr int kReplyTimeoutSeconds = 2;

class Lock {
 public:
  explicit Lock(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ~Lock() { pthread_mutex_unlock(&mutex_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  pthread_mutex_t& mutex_;
};

// A line-settings request: which layout it carries, and whether it sets them.
struct SettingsRequest {
  unsigned long request;
  const char* name;
  size_t size;
  bool sets;
};
constexpr SettingsRequest kSettingsRequests[] = {
    {TCGETS, "TCGETS", sizeof(KernelTermios), false},
    {TCSETS, "TCSETS", sizeof(KernelTermios), true},
    {TCSETSW, "TCSETSW", sizeof(KernelTermios), true},
    {TCSETSF, "TCSETSF", sizeof(KernelTermios), true},
    {kGetSettings2, "TCGETS2", sizeof(KernelTermios2), false},
    {kSetSettings2, "TCSETS2", sizeof(KernelTermios2), true},
    {kSetSettingsWait2, "TCSETSW2", sizeof(KernelTermios2), true},
    {kSetSettingsFlush2, "TCSETSF2", sizeof(KernelTermios2), true},
};

const SettingsRequest* FindSettingsRequest(unsigned long request) {
  for (const SettingsRequest& known : kSettingsRequests) {
    if (known.request == request) return &known;
  }
  return nullptr;
}

tcflag_t ControlFlags(const void* settings) {
  tcflag_t flags;
  std::memcpy(&flags, static_cast<const unsigned char*>(settings) + offsetof(termios, c_cflag),
              sizeof flags);
  return flags;
}

void SetControlFlags(void* settings, tcflag_t flags) {
  std::memcpy(static_cast<unsigned char*>(settings) + offsetof(termios, c_cflag), &flags,
              sizeof flags);
}

const char* IoctlName(unsigned long request) {
  switch (request) {
    case TIOCMGET:
      return "TIOCMGET";
    case TIOCMBIS:
      return "TIOCMBIS";
    case TIOCMBIC:
      return "TIOCMBIC";
    case TIOCMSET:
      return "TIOCMSET";
    default:
      return "ioctl";
  }
}

}  // namespace

LineClient::LineClient(const RealCalls& real, const char* ptyPath, const char* cablePath,
                       int debugFd, bool dropParity)
    : real_(real), debugFd_(debugFd), dropParity_(dropParity) {
  struct stat line {};
  if (ptyPath != nullptr && stat(ptyPath, &line) == 0 && S_ISCHR(line.st_mode)) {
    haveLine_ = true;
    lineDevice_ = line.st_rdev;
  }
  if (cablePath != nullptr && std::strlen(cablePath) < sizeof cablePath_) {
    std::memcpy(cablePath_, cablePath, std::strlen(cablePath) + 1);
  }
  Note("line %s %s, cable %s%s", ptyPath != nullptr ? ptyPath : "(none)",
       haveLine_ ? "found" : "not found", cablePath_, dropParity_ ? ", parity dropped" : "");
}

LineClient::~LineClient() {
  Lock lock(mutex_);
  Disconnect();
}

bool LineClient::AnswersIoctl(unsigned long request) {
  return request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET ||
         request == TCFLSH || FindSettingsRequest(request) != nullptr;
}

bool LineClient::IsLine(int fd) const {
  if (!haveLine_) return false;
  struct stat target {};
  return fstat(fd, &target) == 0 && S_ISCHR(target.st_mode) && target.st_rdev == lineDevice_;
}

void LineClient::Note(const char* format, ...) {
  if (debugFd_ < 0) return;
  char text[256];
  int length = std::snprintf(text, sizeof text, "zrvline[%d]: ", static_cast<int>(getpid()));
  va_list arguments;
  va_start(arguments, format);
  length += std::vsnprintf(text + length, sizeof text - static_cast<size_t>(length) - 1, format,
                           arguments);
  va_end(arguments);
  if (length > static_cast<int>(sizeof text) - 2) length = static_cast<int>(sizeof text) - 2;
  text[length++] = '\n';
  [[maybe_unused]] const ssize_t written = real_.write(debugFd_, text, static_cast<size_t>(length));
}

void LineClient::NotePassedOn(const char* call, unsigned long request, int result) {
  Lock lock(mutex_);
  Note("%s 0x%lx passed on: %d", call, request, result);
}

void LineClient::Disconnect() {
  if (state_ != nullptr) munmap(state_, stateSize_);
  state_ = nullptr;
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}

bool LineClient::Connected() {
  if (socket_ >= 0 && socketOwner_ == getpid() && state_ != nullptr &&
      state_->serving.load() != 0) {
    return true;
  }
  Disconnect();
  return Connect();
}

bool LineClient::Connect() {
  if (cablePath_[0] == '\0') return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, cablePath_, std::strlen(cablePath_) + 1);
  socket_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (socket_ < 0) return false;
  socketOwner_ = getpid();
  const timeval timeout{kReplyTimeoutSeconds, 0};
  setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  int result;
  do {
    result = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    Note("cannot reach zrvsim at %s: %s", cablePath_, std::strerror(errno));
    Disconnect();
    return false;
  }

  const CableRequest hello{CableRequestKind::Hello, 0, 0};
  CableReply reply{};
  iovec data{&reply, sizeof reply};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t got = -1;
  if (send(socket_, &hello, sizeof hello, MSG_NOSIGNAL) == sizeof hello) {
    do {
      got = recvmsg(socket_, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
  }
  const cmsghdr* header = got == sizeof reply ? CMSG_FIRSTHDR(&message) : nullptr;
  if (header == nullptr || header->cmsg_type != SCM_RIGHTS ||
      header->cmsg_len != CMSG_LEN(sizeof(int))) {
    Note("zrvsim did not hand over the line's memory");
    Disconnect();
    return false;
  }
  int memory;
  std::memcpy(&memory, CMSG_DATA(header), sizeof memory);
  stateSize_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* mapped = mmap(nullptr, stateSize_, PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
  close(memory);
  if (mapped == MAP_FAILED) {
    Disconnect();
    return false;
  }
  state_ = static_cast<CableState*>(mapped);
  if (state_->magic != linesim::kCableMagic || state_->version != linesim::kCableVersion) {
    Note("zrvsim's line memory is of another version");
    Disconnect();
    return false;
  }
  Note("connected to zrvsim");
  return true;
}

bool LineClient::Request(CableRequestKind kind, uint32_t value, CableReply& reply) {
  // One retry on a fresh connection: zrvsim may have been restarted since.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!Connected()) return false;
    const CableRequest request{kind, value, state_->written.load()};
    ssize_t got = -1;
    if (send(socket_, &request, sizeof request, MSG_NOSIGNAL) == sizeof request) {
      do {
        got = recv(socket_, &reply, sizeof reply, 0);
      } while (got < 0 && errno == EINTR);
    }
    if (got == sizeof reply && reply.ok == 1) return true;
    Note("zrvsim did not answer request %u: %s", static_cast<unsigned>(kind),
         got < 0 ? std::strerror(errno) : "connection closed");
    Disconnect();
  }
  return false;
}

uint32_t LineClient::OutputLines() const {
  return state_ != nullptr ? state_->outputLines.load() : localOutput_;
}

uint32_t LineClient::ParityFlags() const {
  return state_ != nullptr ? state_->parityFlags.load() : localParity_;
}

int LineClient::Ioctl(int fd, unsigned long request, void* argument) {
  if (request == TCFLSH) {
    // The queue selector travels by value in the pointer's place.
    const int queue = static_cast<int>(reinterpret_cast<intptr_t>(argument));
    return FlushQueue(queue, "ioctl TCFLSH", [&](int passed) {
      return real_.ioctl(fd, TCFLSH, reinterpret_cast<void*>(static_cast<intptr_t>(passed)));
    });
  }
  if (const SettingsRequest* settings = FindSettingsRequest(request)) {
    if (argument == nullptr) return real_.ioctl(fd, request, argument);  // EFAULT, as it comes
    const auto passOn = [&](void* passed) { return real_.ioctl(fd, request, passed); };
    if (settings->sets) return SetSettings(argument, settings->size, settings->name, passOn);
    return GetSettings(argument, passOn);
  }
  return ModemLines(request, argument);
}

int LineClient::ModemLines(unsigned long request, void* argument) {
  if (argument == nullptr) {
    errno = EFAULT;
    return -1;
  }
  Lock lock(mutex_);
  const bool connected = Connected();
  uint32_t bits = 0;
  std::memcpy(&bits, argument, sizeof bits);
  uint32_t output = OutputLines();
  switch (request) {
    case TIOCMGET: {
      const uint32_t input = connected ? state_->inputLines.load() : 0;
      const uint32_t lines = input | output;
      std::memcpy(argument, &lines, sizeof lines);
      Note("TIOCMGET -> 0x%x", lines);
      return 0;
    }
    case TIOCMBIS:
      output |= bits;
      break;
    case TIOCMBIC:
      output &= ~bits;
      break;
    case TIOCMSET:
      output = bits;
      break;
    default:
      errno = EINVAL;
      return -1;
  }
  output &= linesim::kOutputLineBits;
  localOutput_ = output;
  CableReply reply{};
  const bool delivered = Request(CableRequestKind::OutputLines, output, reply);
  Note("%s 0x%x: rts %d dtr %d -> %s, input 0x%x", IoctlName(request), bits,
       (output & TIOCM_RTS) != 0, (output & TIOCM_DTR) != 0, delivered ? "delivered" : "no zrvsim",
       delivered ? reply.inputLines : 0);
  return 0;
}

int LineClient::SetAttributes(int fd, int action, const termios* settings) {
  if (settings == nullptr) return real_.tcsetattr(fd, action, settings);
  return SetSettings(settings, sizeof *settings, "tcsetattr", [&](void* passed) {
    return real_.tcsetattr(fd, action, static_cast<const termios*>(passed));
  });
}

int LineClient::GetAttributes(int fd, termios* settings) {
  if (settings == nullptr) return real_.tcgetattr(fd, settings);
  return GetSettings(
      settings, [&](void* passed) { return real_.tcgetattr(fd, static_cast<termios*>(passed)); });
}

int LineClient::Flush(int fd, int queue) {
  return FlushQueue(queue, "tcflush", [&](int passed) { return real_.tcflush(fd, passed); });
}

template <typename PassOn>
int LineClient::SetSettings(const void* settings, size_t size, const char* call, PassOn passOn) {
  alignas(termios) unsigned char passed[sizeof(termios)];
  std::memcpy(passed, settings, size);
  const tcflag_t flags = ControlFlags(settings);
  const uint32_t parity = dropParity_ ? 0 : flags & linesim::kParityFlags;
  SetControlFlags(passed, flags & ~static_cast<tcflag_t>(linesim::kParityFlags));
  const int result = passOn(passed);
  if (result != 0) return result;
  const int savedErrno = errno;
  Lock lock(mutex_);
  const bool connected = Connected();
  if (!connected || parity != ParityFlags()) {
    localParity_ = parity;
    CableReply reply{};
    const bool delivered = Request(CableRequestKind::Parity, parity, reply);
    Note("%s: parity %s -> %s", call, linesim::ParityName(linesim::ParityFromFlags(parity)),
         delivered ? "delivered" : "no zrvsim");
  }
  errno = savedErrno;
  return 0;
}

template <typename PassOn>
int LineClient::GetSettings(void* settings, PassOn passOn) {
  const int result = passOn(settings);
  if (result != 0) return result;
  const int savedErrno = errno;
  Lock lock(mutex_);
  Connected();
  const tcflag_t flags = ControlFlags(settings) & ~static_cast<tcflag_t>(linesim::kParityFlags);
  SetControlFlags(settings, flags | static_cast<tcflag_t>(ParityFlags()));
  errno = savedErrno;
  return 0;
}

template <typename PassOn>
int LineClient::FlushQueue(int queue, const char* call, PassOn passOn) {
  int passed = queue;
  if (queue == TCOFLUSH) {
    passed = -1;
  } else if (queue == TCIOFLUSH) {
    passed = TCIFLUSH;
  }
  const int result = passed < 0 ? 0 : passOn(passed);
  if (Debugging()) {
    const int savedErrno = errno;
    Lock lock(mutex_);
    Note("%s %d (%s) -> %d", call, queue, passed < 0 ? "output kept" : "passed on", result);
    errno = savedErrno;
  }
  return result;
}

ssize_t LineClient::Write(int fd, const void* data, size_t size) {
  {
    // Connected before the bytes go out, so that they are counted.
    Lock lock(mutex_);
    Connected();
  }
  const ssize_t result = real_.write(fd, data, size);
  if (result <= 0) return result;
  const int savedErrno = errno;
  Lock lock(mutex_);
  if (state_ != nullptr) state_->written.fetch_add(static_cast<uint64_t>(result));
  Note("write %zd byte(s), first %u", result, static_cast<const uint8_t*>(data)[0]);
  errno = savedErrno;
  return result;
}

}  // namespace zrvline
