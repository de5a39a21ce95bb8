// libzrvline.so: preloaded into wine64 (LD_PRELOAD) so that a pty served by
// zrvsim behaves like a serial port with a device cable (see line_client.h).
//
// Environment:
//   ZRVLINE_PTY    the pty slave that is the line (e.g. /dev/pts/3)
//   ZRVLINE_CABLE  zrvsim's cable socket
//   ZRVLINE_DEBUG  when set: each call on the line is reported on stderr, or
//                  appended to the file it names (a path starting with '/')
//   ZRVLINE_DROP_PARITY=1  the parity is lost as on a bare pty (zrvsim then
//                  counts every byte that should have had one as a violation)
// Without ZRVLINE_PTY every call goes straight to libc.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <new>

#include "line_client.h"

namespace {

zrvline::RealCalls real;
// 32-bit glibc built with a 64-bit time_t (Debian's i386) sends the ioctl calls of
// programs built against it, Wine's own among them, to __ioctl_time64 instead of
// ioctl. Null where libc has none (64-bit).
int (*realIoctlTime64)(int fd, unsigned long request, void* argument) = nullptr;
pthread_once_t once = PTHREAD_ONCE_INIT;
alignas(zrvline::LineClient) unsigned char clientStorage[sizeof(zrvline::LineClient)];
zrvline::LineClient* client = nullptr;  // null: no line configured

template <typename Function>
void Find(Function& function, const char* name) {
  function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void Initialise() {
  Find(real.ioctl, "ioctl");
  Find(realIoctlTime64, "__ioctl_time64");
  Find(real.tcsetattr, "tcsetattr");
  Find(real.tcgetattr, "tcgetattr");
  Find(real.tcflush, "tcflush");
  Find(real.write, "write");
  const char* pty = std::getenv("ZRVLINE_PTY");
  if (pty == nullptr || pty[0] == '\0') return;
  int debugFd = -1;
  if (const char* debug = std::getenv("ZRVLINE_DEBUG")) {
    debugFd = debug[0] == '/' ? open(debug, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
                              : STDERR_FILENO;
  }
  // Never destroyed: calls may come until the very end of the process.
  const char* drop = std::getenv("ZRVLINE_DROP_PARITY");
  client = new (clientStorage) zrvline::LineClient(real, pty, std::getenv("ZRVLINE_CABLE"), debugFd,
                                                   drop != nullptr && drop[0] == '1');
}

zrvline::LineClient* Client() {
  pthread_once(&once, Initialise);
  return client;
}

}  // namespace

#define ZRVLINE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// `time64`: the call came in as __ioctl_time64, and is passed on as it came.
int LineIoctl(bool time64, int fd, unsigned long request, void* argument) {
  zrvline::LineClient* line = Client();  // finds the real calls too
  const auto passOn = time64 && realIoctlTime64 != nullptr ? realIoctlTime64 : real.ioctl;
  if (line != nullptr && (zrvline::LineClient::AnswersIoctl(request) || line->Debugging()) &&
      line->IsLine(fd)) {
    if (zrvline::LineClient::AnswersIoctl(request)) return line->Ioctl(fd, request, argument);
    const int result = passOn(fd, request, argument);
    line->NotePassedOn("ioctl", request, result);
    return result;
  }
  return passOn(fd, request, argument);
}

}  // namespace

ZRVLINE_EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  return LineIoctl(false, fd, request, argument);
}

ZRVLINE_EXPORT int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  return LineIoctl(true, fd, request, argument);
}

ZRVLINE_EXPORT int tcsetattr(int fd, int action, const struct termios* settings) {
  zrvline::LineClient* line = Client();
  if (line != nullptr && line->IsLine(fd)) return line->SetAttributes(fd, action, settings);
  return real.tcsetattr(fd, action, settings);
}

ZRVLINE_EXPORT int tcgetattr(int fd, struct termios* settings) {
  zrvline::LineClient* line = Client();
  if (line != nullptr && line->IsLine(fd)) return line->GetAttributes(fd, settings);
  return real.tcgetattr(fd, settings);
}

ZRVLINE_EXPORT int tcflush(int fd, int queue) {
  zrvline::LineClient* line = Client();
  if (line != nullptr && line->IsLine(fd)) return line->Flush(fd, queue);
  return real.tcflush(fd, queue);
}

ZRVLINE_EXPORT ssize_t write(int fd, const void* data, size_t size) {
  zrvline::LineClient* line = Client();
  if (line != nullptr && line->IsLine(fd)) return line->Write(fd, data, size);
  return real.write(fd, data, size);
}
