// The preload's logic against a zrvsim core on a real pty: the modem lines, the
// byte count that dates parity changes (the settings and the flush: line_settings_test.cpp).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "cable.h"
#include "linesim_test_support.h"
#include "pty_pair.h"

namespace {

using linesim_test::ServedLine;
using linesim_test::WaitUntil;

constexpr uint8_t kAck = 6;

uint32_t ModemLines(zrvline::LineClient& client, int fd) {
  int bits = -1;
  EXPECT_EQ(client.Ioctl(fd, TIOCMGET, &bits), 0);
  return static_cast<uint32_t>(bits);
}

int SetLines(zrvline::LineClient& client, int fd, unsigned long request, uint32_t bits) {
  int value = static_cast<int>(bits);
  return client.Ioctl(fd, request, &value);
}

// One step of the port on its output lines, and what TIOCMGET reads right after.
struct LineStep {
  const char* what;
  unsigned long request;
  uint32_t bits;
  uint32_t expected;  // output lines as set, and the cable's answer
};

TEST(CableLines, TheDeviceAnswersEveryChangeBeforeTheCallReturns) {
  ServedLine line;
  const LineStep steps[] = {
      {"RTS up: CTS follows", TIOCMBIS, TIOCM_RTS, TIOCM_RTS | TIOCM_CTS | TIOCM_DSR},
      {"DTR up: RI follows", TIOCMBIS, TIOCM_DTR,
       TIOCM_RTS | TIOCM_DTR | TIOCM_CTS | TIOCM_RNG | TIOCM_DSR},
      {"RTS down: CTS follows", TIOCMBIC, TIOCM_RTS, TIOCM_DTR | TIOCM_RNG | TIOCM_DSR},
      {"set RTS alone: DTR and RI drop", TIOCMSET, TIOCM_RTS, TIOCM_RTS | TIOCM_CTS | TIOCM_DSR},
      // The port reads its lines and writes them back with input bits in them.
      {"set with input bits: only RTS and DTR are taken", TIOCMSET,
       TIOCM_DTR | TIOCM_CTS | TIOCM_CAR, TIOCM_DTR | TIOCM_RNG | TIOCM_DSR},
      {"clear all", TIOCMSET, 0, TIOCM_DSR},
  };
  EXPECT_EQ(ModemLines(line.Client(), line.Port()), uint32_t{TIOCM_DSR}) << "at the start";
  for (const LineStep& step : steps) {
    EXPECT_EQ(SetLines(line.Client(), line.Port(), step.request, step.bits), 0) << step.what;
    EXPECT_EQ(ModemLines(line.Client(), line.Port()), step.expected) << step.what;
  }
}

TEST(CableLines, PresenceCheckSeesTheAnswerOnEveryToggle) {
  ServedLine line;
  for (int i = 0; i < 200; ++i) {
    const bool up = i % 2 == 0;
    SetLines(line.Client(), line.Port(), up ? TIOCMBIS : TIOCMBIC, TIOCM_RTS | TIOCM_DTR);
    const uint32_t lines = ModemLines(line.Client(), line.Port());
    ASSERT_EQ((lines & TIOCM_CTS) != 0, up) << "toggle " << i;
    ASSERT_EQ((lines & TIOCM_RNG) != 0, up) << "toggle " << i;
  }
}

TEST(CableLines, UnpluggedCableHasEveryInputLineOff) {
  ServedLine line;
  ASSERT_EQ(line.Control("unplug 1"), "");
  SetLines(line.Client(), line.Port(), TIOCMBIS, TIOCM_RTS | TIOCM_DTR);
  EXPECT_EQ(ModemLines(line.Client(), line.Port()), uint32_t{TIOCM_RTS | TIOCM_DTR});
  ASSERT_EQ(line.Control("unplug 0"), "");
  EXPECT_EQ(ModemLines(line.Client(), line.Port()),
            uint32_t{TIOCM_RTS | TIOCM_DTR | TIOCM_CTS | TIOCM_RNG | TIOCM_DSR});
}

TEST(CableBytes, ReadExchangeIsFramedByteByByte) {
  ServedLine line;
  ASSERT_EQ(line.Control("record 1 " + std::string(58, '0') + "7e"), "");
  line.SetParity(PARENB | PARODD);
  line.WriteBytes({4});
  EXPECT_EQ(line.ReadByte(), kAck);
  line.SetParity(PARENB);
  line.WriteBytes({61, 0, 30});
  EXPECT_EQ(line.ReadByte(), kAck);
  line.SetParity(PARENB | PARODD);
  for (int i = 0; i < 30; ++i) {
    line.WriteBytes({5});
    ASSERT_EQ(line.ReadByte(), kAck) << "request " << i;
    ASSERT_EQ(line.ReadByte(), i == 29 ? 0x7e : 0) << "byte " << i;
  }
  std::string expected = "4 odd,61 even,0 even,30 even,";
  for (int i = 0; i < 30; ++i) expected += "5 odd,";
  EXPECT_EQ(line.Log(), expected);
  EXPECT_NE(line.Control("stats").find("violations 0\n"), std::string::npos)
      << line.Control("stats");
}

TEST(CableBytes, BurstAcrossAParityChangeKeepsEachByteItsParity) {
  ServedLine line;
  // No reply is awaited between the bytes: zrvsim may read them before or after
  // it hears of the changes; each still gets the parity it was written with.
  for (int round = 0; round < 20; ++round) {
    line.SetParity(PARENB | PARODD);
    line.WriteBytes({9, 9});
    line.SetParity(PARENB);
    line.WriteBytes({8});
    line.SetParity(0);
    line.WriteBytes({7});
  }
  std::string expected;
  for (int round = 0; round < 20; ++round) expected += "9 odd,9 odd,8 even,7 none,";
  EXPECT_TRUE(WaitUntil([&] { return line.Log().size() >= expected.size(); })) << line.Log();
  EXPECT_EQ(line.Log(), expected);
}

TEST(CableBytes, RecordWrittenThroughTheLineIsInTheImageOnceAcknowledged) {
  linesim::LineSimOptions options;
  linesim_test::TempDir images;
  options.imageFile = images.File("image");
  ServedLine line(options);
  line.SetParity(PARENB | PARODD);
  line.WriteBytes({2});
  ASSERT_EQ(line.ReadByte(), kAck);
  line.SetParity(PARENB);
  line.WriteBytes({0xDF, 3, 30});  // location 991: address 931
  ASSERT_EQ(line.ReadByte(), kAck);
  for (uint8_t i = 0; i < 30; ++i) line.WriteBytes({static_cast<uint8_t>(i + 100)});
  ASSERT_EQ(line.ReadByte(), kAck);

  std::ifstream file(options.imageFile, std::ios::binary);
  const std::vector<char> image((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  ASSERT_EQ(image.size(), 27930u);
  for (size_t i = 0; i < 30; ++i) {
    EXPECT_EQ(static_cast<uint8_t>(image[930 * 30 + i]), i + 100) << "byte " << i;
  }
}

TEST(CableStatus, FaultsFromTheControlChannelShapeTheReplies) {
  ServedLine line;
  ASSERT_EQ(line.Control("status 0x21"), "");
  ASSERT_EQ(line.Control("fault status-byte:byte=0x41"), "");
  line.SetParity(PARENB | PARODD);
  line.WriteBytes({1});
  EXPECT_EQ(line.ReadByte(), 0x41) << "the fault";
  line.WriteBytes({1});
  EXPECT_EQ(line.ReadByte(), 0x21) << "the fault fired once";
  ASSERT_EQ(line.Control("fault status-byte:silence:persistent"), "");
  line.WriteBytes({1});
  EXPECT_EQ(line.ReadByte(std::chrono::milliseconds(100)), std::nullopt);
  ASSERT_EQ(line.Control("clear"), "");
  line.WriteBytes({1});
  EXPECT_EQ(line.ReadByte(), 0x21);
}

TEST(CableWithoutZrvsim, LooksLikeACableWithNoDevice) {
  linesim::PtyPair pty;
  linesim_test::TempDir dir;
  zrvline::LineClient client(linesim_test::LibcCalls(), pty.SlavePath().c_str(),
                             dir.File("nobody").c_str(), -1);
  const int port = pty.Slave();
  EXPECT_EQ(SetLines(client, port, TIOCMBIS, TIOCM_RTS), 0);
  EXPECT_EQ(ModemLines(client, port), uint32_t{TIOCM_RTS});
  termios settings{};
  ASSERT_EQ(client.GetAttributes(port, &settings), 0);
  settings.c_cflag |= PARENB | PARODD;
  EXPECT_EQ(client.SetAttributes(port, TCSANOW, &settings), 0);
  EXPECT_EQ(client.SetAttributes(port, TCSANOW, &settings), 0);
  termios back{};
  ASSERT_EQ(client.GetAttributes(port, &back), 0);
  EXPECT_EQ(back.c_cflag & linesim::kParityFlags, unsigned{PARENB | PARODD});
  const uint8_t byte = 1;
  EXPECT_EQ(client.Write(port, &byte, 1), 1);
}

TEST(CableWithoutZrvsim, OnlyTheNamedPtyIsTheLine) {
  linesim::PtyPair line;
  linesim::PtyPair other;
  zrvline::LineClient client(linesim_test::LibcCalls(), line.SlavePath().c_str(), "", -1);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  EXPECT_TRUE(client.IsLine(line.Slave()));
  EXPECT_FALSE(client.IsLine(line.Master()));
  EXPECT_FALSE(client.IsLine(other.Slave()));
  EXPECT_FALSE(client.IsLine(pipeFds[0]));
  EXPECT_FALSE(client.IsLine(-1));
  close(pipeFds[0]);
  close(pipeFds[1]);
  zrvline::LineClient unnamed(linesim_test::LibcCalls(), "/no/such/pty", "", -1);
  EXPECT_FALSE(unnamed.IsLine(line.Slave()));
}

}  // namespace
