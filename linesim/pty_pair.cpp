#include "pty_pair.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace linesim {

namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// No echo, no line editing, no translation of any byte, 8 data bits: the line
// carries binary bytes. 19200 baud only as the setting a port reads back; a pty
// moves bytes at memory speed.
void MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) Fail("tcgetattr on the pty");
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  cfsetispeed(&settings, B19200);
  cfsetospeed(&settings, B19200);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) Fail("tcsetattr on the pty");
}

}  // namespace

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) Fail("posix_openpt");
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name)) {
    const int error = errno;
    close(master_);
    errno = error;
    Fail("preparing the pty slave");
  }
  slavePath_ = name;
  // O_NOCTTY: the pty never becomes anybody's controlling terminal, so closing it
  // sends no hang-up signal to a session.
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    const int error = errno;
    close(master_);
    errno = error;
    Fail("opening the pty slave");
  }
  try {
    MakeRaw(slave_);
    MakeRaw(master_);
  } catch (...) {
    close(slave_);
    close(master_);
    throw;
  }
  const int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    const int error = errno;
    close(slave_);
    close(master_);
    errno = error;
    Fail("making the pty master non-blocking");
  }
}

PtyPair::~PtyPair() { Close(); }

void PtyPair::Close() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = -1;
  master_ = -1;
}

}  // namespace linesim
