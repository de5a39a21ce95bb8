// The parity and the flush reach zrvsim whichever way the port's settings are
// made: through libc (Wine 8: tcsetattr, tcgetattr, tcflush) or through the
// ioctls Wine 10 issues itself (TCSETS2, TCGETS2, TCFLSH), and the kernel's
// older TCSETS family as well. Each on a real pty served by a zrvsim core.
#include <sys/ioctl.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cable.h"
#include "kernel_termios.h"
#include "linesim_test_support.h"
#include "pty_pair.h"

namespace {

using linesim_test::ServedLine;
using linesim_test::WaitUntil;
using zrvline::KernelTermios;
using zrvline::KernelTermios2;
using zrvline::LineClient;

// Reads the settings through the client in a layout, changes the parity, sets
// them back with `setRequest` (or tcsetattr when it is 0).
template <typename Layout>
int SetParityWith(LineClient& client, int fd, unsigned long getRequest, unsigned long setRequest,
                  unsigned parity) {
  Layout settings{};
  if (client.Ioctl(fd, getRequest, &settings) != 0) return -1;
  settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(linesim::kParityFlags)) | parity;
  return client.Ioctl(fd, setRequest, &settings);
}

int SetParityWithLibc(LineClient& client, int fd, int action, unsigned parity) {
  termios settings{};
  if (client.GetAttributes(fd, &settings) != 0) return -1;
  settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(linesim::kParityFlags)) | parity;
  return client.SetAttributes(fd, action, &settings);
}

struct SetCall {
  const char* name;
  int (*set)(LineClient& client, int fd, unsigned parity);
};

const SetCall kSetCalls[] = {
    {"tcsetattr",
     [](LineClient& c, int fd, unsigned p) { return SetParityWithLibc(c, fd, TCSANOW, p); }},
    {"tcsetattr_drain",
     [](LineClient& c, int fd, unsigned p) { return SetParityWithLibc(c, fd, TCSADRAIN, p); }},
    {"TCSETS", [](LineClient& c, int fd,
                  unsigned p) { return SetParityWith<KernelTermios>(c, fd, TCGETS, TCSETS, p); }},
    {"TCSETSW", [](LineClient& c, int fd,
                   unsigned p) { return SetParityWith<KernelTermios>(c, fd, TCGETS, TCSETSW, p); }},
    {"TCSETSF", [](LineClient& c, int fd,
                   unsigned p) { return SetParityWith<KernelTermios>(c, fd, TCGETS, TCSETSF, p); }},
    {"TCSETS2",
     [](LineClient& c, int fd, unsigned p) {
       return SetParityWith<KernelTermios2>(c, fd, zrvline::kGetSettings2, zrvline::kSetSettings2,
                                            p);
     }},
    {"TCSETSW2",
     [](LineClient& c, int fd, unsigned p) {
       return SetParityWith<KernelTermios2>(c, fd, zrvline::kGetSettings2,
                                            zrvline::kSetSettingsWait2, p);
     }},
    {"TCSETSF2",
     [](LineClient& c, int fd, unsigned p) {
       return SetParityWith<KernelTermios2>(c, fd, zrvline::kGetSettings2,
                                            zrvline::kSetSettingsFlush2, p);
     }},
};

// The parity as each way of reading the settings gives it back, "tcgetattr odd
// TCGETS odd TCGETS2 odd"; `client` null reads the pty itself.
std::string ParityReadBack(LineClient* client, int fd) {
  const auto name = [](tcflag_t flags) {
    return std::string(
        linesim::ParityName(linesim::ParityFromFlags(flags & linesim::kParityFlags)));
  };
  termios libc{};
  KernelTermios kernel{};
  KernelTermios2 kernel2{};
  const bool read = client != nullptr
                        ? client->GetAttributes(fd, &libc) == 0 &&
                              client->Ioctl(fd, TCGETS, &kernel) == 0 &&
                              client->Ioctl(fd, zrvline::kGetSettings2, &kernel2) == 0
                        : ::tcgetattr(fd, &libc) == 0 && ::ioctl(fd, TCGETS, &kernel) == 0 &&
                              ::ioctl(fd, zrvline::kGetSettings2, &kernel2) == 0;
  if (!read) return "unreadable";
  return "tcgetattr " + name(libc.c_cflag) + " TCGETS " + name(kernel.c_cflag) + " TCGETS2 " +
         name(kernel2.c_cflag);
}

std::string ParityOnTheCable(ServedLine& line) {
  const std::string lines = line.Control("lines");
  const size_t at = lines.find("parity ");
  return at == std::string::npos ? "(none reported)"
                                 : lines.substr(at + 7, lines.find('\n', at) - at - 7);
}

struct ParityCase {
  const char* name;
  unsigned flags;
};

const ParityCase kParities[] = {{"odd", PARENB | PARODD},
                                {"even", PARENB},
                                {"mark", PARENB | PARODD | CMSPAR},
                                {"space", PARENB | CMSPAR},
                                {"none", 0}};

class LineSettings : public ::testing::TestWithParam<SetCall> {};

TEST_P(LineSettings, KeepTheParityOutOfThePtyReportItAndGiveItBack) {
  ServedLine line;
  const SetCall& call = GetParam();
  std::string expectedLog;
  uint8_t value = 10;
  for (const ParityCase& parity : kParities) {
    // Twice: a second PARENB|PARODD is what the pty refuses with EINVAL.
    for (int time = 0; time < 2; ++time) {
      ASSERT_EQ(call.set(line.Client(), line.Port(), parity.flags), 0)
          << parity.name << ", time " << time;
    }
    EXPECT_EQ(ParityOnTheCable(line), parity.name);
    const std::string name = parity.name;
    EXPECT_EQ(ParityReadBack(&line.Client(), line.Port()),
              "tcgetattr " + name + " TCGETS " + name + " TCGETS2 " + name);
    EXPECT_EQ(ParityReadBack(nullptr, line.Port()), "tcgetattr none TCGETS none TCGETS2 none")
        << "the pty itself never holds the parity (" << name << ")";
    line.WriteBytes({value});
    expectedLog += std::to_string(value++) + " " + name + ",";
  }
  EXPECT_TRUE(WaitUntil([&] { return line.Log().size() >= expectedLog.size(); })) << line.Log();
  EXPECT_EQ(line.Log(), expectedLog) << "each byte with the parity set before it";
}

INSTANTIATE_TEST_SUITE_P(EveryWay, LineSettings, ::testing::ValuesIn(kSetCalls),
                         [](const ::testing::TestParamInfo<SetCall>& info) {
                           return std::string(info.param.name);
                         });

TEST(LineSettings, ANullSettingsPointerIsPassedOnAndFailsAsItWould) {
  ServedLine line;
  for (unsigned long request :
       {0UL + TCGETS, 0UL + TCSETS, zrvline::kGetSettings2, zrvline::kSetSettings2}) {
    errno = 0;
    EXPECT_EQ(line.Client().Ioctl(line.Port(), request, nullptr), -1) << std::hex << request;
    EXPECT_EQ(errno, EFAULT) << std::hex << request;
  }
}

TEST(LineSettings, DroppedParityNeverReachesZrvsimWhichCountsTheBytesAsViolations) {
  ServedLine line({}, /*dropParity=*/true);
  ASSERT_EQ(SetParityWithLibc(line.Client(), line.Port(), TCSANOW, PARENB | PARODD), 0);
  ASSERT_EQ(SetParityWith<KernelTermios2>(line.Client(), line.Port(), zrvline::kGetSettings2,
                                          zrvline::kSetSettings2, PARENB | PARODD),
            0);
  EXPECT_EQ(ParityOnTheCable(line), "none");
  EXPECT_EQ(ParityReadBack(&line.Client(), line.Port()), "tcgetattr none TCGETS none TCGETS2 none");
  line.WriteBytes({1});  // the status request, which must come odd
  EXPECT_TRUE(WaitUntil([&] { return line.Log() == "1 none,"; })) << line.Log();
  EXPECT_NE(line.Control("stats").find("violations 1\n"), std::string::npos)
      << line.Control("stats");
  ASSERT_EQ(line.Control("clearlog"), "");
  EXPECT_NE(line.Control("stats").find("violations 1\n"), std::string::npos)
      << "clearing the log keeps the count: " << line.Control("stats");
}

// The bytes waiting to be read on the port, or -1 when FIONREAD fails.
int Queued(const ServedLine& line) {
  int queued = -1;
  return ::ioctl(line.Port(), FIONREAD, &queued) == 0 ? queued : -1;
}

struct FlushCall {
  const char* name;
  int (*flush)(LineClient& client, int fd, int queue);
};

const FlushCall kFlushCalls[] = {
    {"tcflush", [](LineClient& c, int fd, int queue) { return c.Flush(fd, queue); }},
    {"TCFLSH",
     [](LineClient& c, int fd, int queue) {
       return c.Ioctl(fd, TCFLSH, reinterpret_cast<void*>(static_cast<intptr_t>(queue)));
     }},
};

class LineFlush : public ::testing::TestWithParam<FlushCall> {};

TEST_P(LineFlush, DropsTheInputButNeverTheOutput) {
  ServedLine line;
  const FlushCall& call = GetParam();
  ASSERT_EQ(SetParityWithLibc(line.Client(), line.Port(), TCSANOW, PARENB | PARODD), 0);
  for (int queue : {TCIFLUSH, TCIOFLUSH}) {
    line.WriteBytes({1});
    ASSERT_TRUE(WaitUntil([&] { return Queued(line) == 1; }))
        << "the status byte arrives; flush " << queue;
    EXPECT_EQ(call.flush(line.Client(), line.Port(), queue), 0);
    EXPECT_EQ(Queued(line), 0) << "the status byte is gone; flush " << queue;
  }
  // A byte just written still goes out, whatever the queue named.
  for (int queue : {TCOFLUSH, TCIOFLUSH}) {
    line.WriteBytes({1});
    EXPECT_EQ(call.flush(line.Client(), line.Port(), queue), 0);
  }
  EXPECT_TRUE(WaitUntil([&] { return line.Log() == "1 odd,1 odd,1 odd,1 odd,"; })) << line.Log();
}

INSTANTIATE_TEST_SUITE_P(EveryWay, LineFlush, ::testing::ValuesIn(kFlushCalls),
                         [](const ::testing::TestParamInfo<FlushCall>& info) {
                           return std::string(info.param.name);
                         });

// What reaches the real call, for each queue asked: never the output queue.
std::vector<long> passedOn;

TEST(LineFlush, OnlyTheInputQueueIsEverPassedOn) {
  linesim::PtyPair pty;
  zrvline::RealCalls calls = linesim_test::LibcCalls();
  calls.tcflush = [](int, int queue) {
    passedOn.push_back(queue);
    return 0;
  };
  calls.ioctl = [](int, unsigned long request, void* argument) {
    if (request == TCFLSH) passedOn.push_back(reinterpret_cast<intptr_t>(argument));
    return 0;
  };
  LineClient client(calls, pty.SlavePath().c_str(), "", -1);
  const struct {
    int asked;
    std::vector<long> passedOn;
  } cases[] = {{TCIFLUSH, {TCIFLUSH}}, {TCOFLUSH, {}}, {TCIOFLUSH, {TCIFLUSH}}};
  for (const FlushCall& call : kFlushCalls) {
    for (const auto& flush : cases) {
      passedOn.clear();
      EXPECT_EQ(call.flush(client, pty.Slave(), flush.asked), 0);
      EXPECT_EQ(passedOn, flush.passedOn) << call.name << ", asked " << flush.asked;
    }
  }
}

}  // namespace
