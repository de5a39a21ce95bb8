// zrvsim's control channel, command by command.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "linesim_test_support.h"

namespace {

using linesim_test::ServedLine;

const std::string kRecord = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d";

struct Exchange {
  std::string command;
  std::string answer;  // "error" stands for any refusal
};

void PrintTo(const Exchange& exchange, std::ostream* out) { *out << exchange.command; }

class ControlCommand : public ::testing::TestWithParam<Exchange> {};

TEST_P(ControlCommand, IsAnsweredOrRefused) {
  ServedLine line;
  const std::string answer = line.Control(GetParam().command);
  if (GetParam().answer == "error") {
    EXPECT_EQ(answer.rfind("error ", 0), 0u) << answer;
  } else {
    EXPECT_EQ(answer, GetParam().answer);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ControlCommand,
    ::testing::Values(
        Exchange{"fault read-location-ack:nak", ""}, Exchange{"fault", "error"},
        Exchange{"fault status-byte:frob", "error"}, Exchange{"clear", ""},
        Exchange{"unplug 1", ""}, Exchange{"unplug yes", "error"}, Exchange{"pace 1", ""},
        Exchange{"pace", "error"}, Exchange{"adapter 16", ""}, Exchange{"adapter 0", ""},
        Exchange{"adapter 256", "error"}, Exchange{"adapter", "error"}, Exchange{"status 0x41", ""},
        Exchange{"status 256", "error"}, Exchange{"log", ""}, Exchange{"clearlog", ""},
        Exchange{"stats", "received 0\nsent 0\nviolations 0\nline-errors 0\n"},
        Exchange{"lines", "rts 0\ndtr 0\ncts 0\ndsr 1\nri 0\ncd 0\nparity none\n"},
        Exchange{"record 1", std::string(60, '0') + "\n"}, Exchange{"record 931 " + kRecord, ""},
        Exchange{"record 0", "error"}, Exchange{"record 932", "error"},
        Exchange{"record 1x", "error"}, Exchange{"record 1 00", "error"},
        Exchange{"record 1 " + std::string(58, '0') + "zz", "error"}, Exchange{"", "error"},
        Exchange{"frobnicate", "error"}));

TEST(ControlChannel, RecordWrittenIsReadBackAndLeavesItsNeighbours) {
  ServedLine line;
  ASSERT_EQ(line.Control("record 931 " + kRecord), "");
  EXPECT_EQ(line.Control("record 931"), kRecord + "\n");
  EXPECT_EQ(line.Control("record 930"), std::string(60, '0') + "\n");
}

TEST(ControlChannel, UnplugTurnsTheDevicesLinesOffAndBack) {
  ServedLine line;
  ASSERT_EQ(line.Control("unplug 1"), "");
  EXPECT_NE(line.Control("lines").find("dsr 0\n"), std::string::npos);
  ASSERT_EQ(line.Control("unplug 0"), "");
  EXPECT_NE(line.Control("lines").find("dsr 1\n"), std::string::npos);
}

TEST(ControlChannel, VanishClosesThePtyUnderThePortAndItsLinesFall) {
  ServedLine line;
  ASSERT_EQ(line.Control("status 0x41"), "");
  line.SetParity(PARENB | PARODD);
  line.WriteBytes({1});
  ASSERT_EQ(line.ReadByte(), std::optional<uint8_t>(0x41)) << "the line works before";

  ASSERT_EQ(line.Control("vanish"), "");
  // The port's descriptor finds the line hung up: nothing comes, writes fail.
  char byte = 0;
  EXPECT_LE(read(line.Port(), &byte, 1), 0);
  EXPECT_LT(write(line.Port(), "\x01", 1), 0);
  unsigned lines = 0;
  ASSERT_EQ(line.Client().Ioctl(line.Port(), TIOCMGET, &lines), 0);
  EXPECT_EQ(lines & (TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR), 0u);
  EXPECT_NE(line.Control("lines").find("dsr 0\n"), std::string::npos);
}

}  // namespace
