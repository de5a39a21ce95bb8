// Linux's own layouts of a terminal's settings, for the ioctls that carry them
// (asm/termbits.h, which cannot be included beside <termios.h>):
//   TCGETS, TCSETS, TCSETSW, TCSETSF       the kernel's struct termios
//   TCGETS2, TCSETS2, TCSETSW2, TCSETSF2   its struct termios2 (with speeds)
// libc's tcgetattr/tcsetattr translate to and from these; Wine 10 issues the
// termios2 ioctls itself. c_cflag sits at the same offset in all of them and
// in libc's struct termios.
#pragma once

#include <sys/ioctl.h>
#include <termios.h>

#include <cstddef>

namespace zrvline {

constexpr size_t kKernelControlCharacters = 19;

struct KernelTermios {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[kKernelControlCharacters];
};

struct KernelTermios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[kKernelControlCharacters];
  speed_t c_ispeed, c_ospeed;
};

static_assert(offsetof(KernelTermios, c_cflag) == offsetof(termios, c_cflag));
static_assert(offsetof(KernelTermios2, c_cflag) == offsetof(termios, c_cflag));
static_assert(sizeof(KernelTermios) <= sizeof(termios) &&
              sizeof(KernelTermios2) <= sizeof(termios));

constexpr unsigned long kGetSettings2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kSetSettings2 = _IOW('T', 0x2B, KernelTermios2);
constexpr unsigned long kSetSettingsWait2 = _IOW('T', 0x2C, KernelTermios2);
constexpr unsigned long kSetSettingsFlush2 = _IOW('T', 0x2D, KernelTermios2);
#ifdef __x86_64__
// The values asm/ioctls.h gives them on this architecture.
static_assert(kGetSettings2 == 0x802C542A && kSetSettings2 == 0x402C542B &&
              kSetSettingsWait2 == 0x402C542C && kSetSettingsFlush2 == 0x402C542D);
#endif

}  // namespace zrvline
