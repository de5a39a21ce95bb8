// The preload library's side of the cable (cable.h), for the process that owns
// the pty slave (wine64 and the programs it runs). It answers, for the slave
// only, the calls a pty cannot answer like a serial port:
//
// - ioctl TIOCMGET / TIOCMBIS / TIOCMBIC / TIOCMSET: the modem lines. The port's
//   RTS and DTR go to zrvsim, which gives them to the device and stores the
//   device's answer (CTS, RI, DSR, CD) in the shared memory before it replies;
//   TIOCMGET reads the shared memory.
// - The line settings: the pty drops the parity bits (and refuses a second
//   PARENB|PARODD with EINVAL). The parity is taken out of the settings passed
//   on, reported to zrvsim and given back when the settings are read. Wine 8
//   sets and reads them through libc (tcsetattr / tcgetattr); Wine 10 issues the
//   ioctls itself (TCSETS2 / TCGETS2 with Linux's struct termios2), and other
//   code may use TCSETS / TCGETS with the kernel's struct termios. All of them
//   are caught.
// - write: counts the bytes written, which dates every parity change.
// - The flush (tcflush, or ioctl TCFLSH): the output queue is never purged. A
//   byte written has left on the wire; dropping it between the pty's two ends
//   would shift the byte count that dates the parity changes.
//
// Everything else, and every call on any other descriptor, goes straight to libc.
// Without zrvsim at the other end the line behaves as a cable with no device:
// every input line off.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>

#include "cable.h"

namespace zrvline {

// The libc functions the client passes calls on to.
struct RealCalls {
  int (*ioctl)(int fd, unsigned long request, void* argument);
  int (*tcsetattr)(int fd, int action, const termios* settings);
  int (*tcgetattr)(int fd, termios* settings);
  int (*tcflush)(int fd, int queue);
  ssize_t (*write)(int fd, const void* data, size_t size);
};

class LineClient {
 public:
  // `ptyPath`: the pty slave that is the line; `cablePath`: zrvsim's cable socket;
  // `debugFd`: where to report each call on the line, or -1 for silence.
  // `dropParity`: behave like a bare pty, which loses the parity: zrvsim hears
  // of none and the settings read back without it. Only for proving that the
  // parity checks fail when the parity does not arrive.
  LineClient(const RealCalls& real, const char* ptyPath, const char* cablePath, int debugFd,
             bool dropParity = false);
  ~LineClient();
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  // The ioctl requests this client answers itself: the modem lines, the line
  // settings and the flush.
  static bool AnswersIoctl(unsigned long request);
  bool Debugging() const { return debugFd_ >= 0; }
  // Whether `fd` is the line's pty slave.
  bool IsLine(int fd) const;

  // The calls, for the line's descriptor only. `argument` is the ioctl's third
  // argument as passed (a pointer, or TCFLSH's queue selector).
  int Ioctl(int fd, unsigned long request, void* argument);
  int SetAttributes(int fd, int action, const termios* settings);
  int GetAttributes(int fd, termios* settings);
  int Flush(int fd, int queue);
  ssize_t Write(int fd, const void* data, size_t size);
  // For a call on the line that is passed on untouched: only reported.
  void NotePassedOn(const char* call, unsigned long request, int result);

 private:
  // The settings in any of their layouts (c_cflag sits at the same offset in
  // each); `passOn` makes the real call with the settings given to it.
  template <typename PassOn>
  int SetSettings(const void* settings, size_t size, const char* call, PassOn passOn);
  template <typename PassOn>
  int GetSettings(void* settings, PassOn passOn);
  template <typename PassOn>
  int FlushQueue(int queue, const char* call, PassOn passOn);
  int ModemLines(unsigned long request, void* argument);

  // Under mutex_.
  bool Connected();
  bool Connect();
  void Disconnect();
  bool Request(linesim::CableRequestKind kind, uint32_t value, linesim::CableReply& reply);
  uint32_t OutputLines() const;
  uint32_t ParityFlags() const;
  void Note(const char* format, ...) __attribute__((format(printf, 2, 3)));

  RealCalls real_;
  int debugFd_;
  bool dropParity_;
  bool haveLine_ = false;
  dev_t lineDevice_ = 0;
  char cablePath_[108] = {};

  mutable pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  int socket_ = -1;
  pid_t socketOwner_ = 0;  // a forked child makes its own connection
  linesim::CableState* state_ = nullptr;
  size_t stateSize_ = 0;
  // While zrvsim cannot be reached: the port's own view of its lines and parity.
  uint32_t localOutput_ = 0;
  uint32_t localParity_ = 0;
};

}  // namespace zrvline
