// zrvsim with a USB-serial adapter between the device and the pty: the device's
// replies reach the port when the adapter's latency timer fires.
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>

#include "linesim_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using linesim_test::ServedLine;
using std::chrono::milliseconds;

// The status exchange: the request, and the time its reply took to arrive.
Clock::duration StatusReplyTime(ServedLine& line) {
  line.SetParity(PARENB | PARODD);
  const Clock::time_point asked = Clock::now();
  line.WriteBytes({1});
  EXPECT_EQ(line.ReadByte(), 0x21);
  return Clock::now() - asked;
}

TEST(ZrvsimAdapter, ReplyWaitsForTheTimerSetAtStart) {
  linesim::LineSimOptions options;
  options.status = 0x21;
  options.adapterLatencyMs = 150;
  ServedLine line(options);
  EXPECT_GE(StatusReplyTime(line), milliseconds(150));
}

TEST(ZrvsimAdapter, ControlCommandPutsAnAdapterOnTheLine) {
  linesim::LineSimOptions options;
  options.status = 0x21;
  ServedLine line(options);
  ASSERT_EQ(line.Control("adapter 200"), "");
  EXPECT_GE(StatusReplyTime(line), milliseconds(200));
}

}  // namespace
