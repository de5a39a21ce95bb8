// A USB-serial adapter on the virtual port: the far end's characters reach the
// receiver in the adapter's packets, and the library's transactions still work
// through it, each reply waiting for the timer.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <ostream>

#include "reliability/zrv_line_fixture.h"
#include "serial_line_fixture.h"

namespace {

using reliability::Exchange;
using sim::WireParity;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class VirtualSerialAdapterTest : public SerialLineTest {
 protected:
  bool ReceivedWithin(DWORD count, DWORD timeoutMs = kPatienceMs) {
    return driver().WaitForState(
        kPort, [count](const sim::PortState& state) { return state.inQueued == count; }, timeoutMs);
  }
};

TEST_F(VirtualSerialAdapterTest, ByteWaitsInTheAdapterUntilItsTimerFires) {
  driver().SetAdapterLatency(kPort, milliseconds(200));
  const Clock::time_point sent = Clock::now();
  PeerSends(6, WireParity::Odd);
  sim::PortState state = driver().State(kPort);
  EXPECT_EQ(state.adapterHeld, 1u);
  EXPECT_EQ(state.inQueued, 0u);

  ASSERT_TRUE(ReceivedWithin(1));
  EXPECT_GE(Clock::now() - sent, milliseconds(200));
  EXPECT_EQ(driver().State(kPort).adapterHeld, 0u);
  char in = 0;
  DWORD count = 0;
  PortRequest read(handle);
  ASSERT_TRUE(serial_io::ReadFile(handle, &in, 1, &count, &read.record));
  EXPECT_EQ(in, 6);
}

TEST_F(VirtualSerialAdapterTest, FullPacketGoesAtOnceAndTheNextByteWaits) {
  // A timer far longer than the test's patience: only the 62-byte rule can let
  // anything through.
  driver().SetAdapterLatency(kPort, std::chrono::seconds(600));
  for (int i = 0; i < 63; ++i) {
    PeerSends(static_cast<uint8_t>(i));
  }
  ASSERT_TRUE(ReceivedWithin(62));
  EXPECT_EQ(driver().State(kPort).adapterHeld, 1u);

  // Taken out, the adapter lets its last byte go rather than keep it.
  driver().SetAdapterLatency(kPort, microseconds(0));
  ASSERT_TRUE(ReceivedWithin(63));
}

TEST_F(VirtualSerialAdapterTest, ZeroIsANativePortTheByteIsThereWhenSendReturns) {
  driver().SetAdapterLatency(kPort, milliseconds(16));
  driver().SetAdapterLatency(kPort, microseconds(0));
  PeerSends(6, WireParity::Odd);
  const sim::PortState state = driver().State(kPort);
  EXPECT_EQ(state.inQueued, 1u);
  EXPECT_EQ(state.adapterHeld, 0u);
}

TEST_F(VirtualSerialAdapterTest, UnpluggingLosesWhatTheAdapterHeld) {
  driver().SetAdapterLatency(kPort, milliseconds(50));
  PeerSends(6);
  driver().AttachFarEnd(kPort, nullptr);
  EXPECT_EQ(driver().State(kPort).adapterHeld, 0u);
  EXPECT_FALSE(ReceivedWithin(1, 200));
}

TEST_F(VirtualSerialAdapterTest, TimerFollowsTheTimeScale) {
  driver().SetAdapterLatency(kPort, std::chrono::seconds(600));
  driver().SetTimeScale(0.0001);  // 60 ms
  PeerSends(6);
  EXPECT_TRUE(ReceivedWithin(1));
}

// The library's three transactions through an adapter, against the device model
// answering at once: each of the device's replies (or reply pairs: ACK and record
// byte) waits for the timer, but the first may go with the packet of the line change
// a parity switch makes (it drops RTS and DTR); each of the presence check's four
// line changes comes a USB frame later, within the check's 1 ms pause.
struct AdapterTransaction {
  const char* story;
  Exchange exchange;
  unsigned replies;
};

void PrintTo(const AdapterTransaction& c, std::ostream* out) { *out << c.story; }

class AdapterTransactionTest : public reliability::ZrvLineTest,
                               public ::testing::WithParamInterface<AdapterTransaction> {};

TEST_P(AdapterTransactionTest, SucceedsAndEveryReplyWaitsForTheTimer) {
  constexpr milliseconds kTimer{8};
  const reliability::Record stored = reliability::Pattern(5);
  const reliability::Record written = reliability::Pattern(6);
  device.WriteRecord(17, stored);
  device.SetStatus(0x5A);
  driver().SetAdapterLatency(kPort, kTimer);
  Open();

  const Clock::time_point start = Clock::now();
  const reliability::Transaction done = Run(GetParam().exchange, 17, written);
  const Clock::duration took = Clock::now() - start;

  EXPECT_EQ(done.code, KWELMORA_OK);
  EXPECT_GE(took, kTimer * (GetParam().replies - 1) + milliseconds(4));
  const Exchange exchange = GetParam().exchange;
  EXPECT_EQ(done.status, exchange == Exchange::Status ? 0x5A : 0);
  EXPECT_EQ(done.buffer, exchange == Exchange::Read ? stored : reliability::Record{});
  EXPECT_EQ(device.ReadRecord(17), exchange == Exchange::Write ? written : stored);
}

INSTANTIATE_TEST_SUITE_P(
    Adapter, AdapterTransactionTest,
    ::testing::Values(AdapterTransaction{"StatusReadWaitsOnce", Exchange::Status, 1},
                      AdapterTransaction{"RecordReadWaitsThirtyTwoTimes", Exchange::Read, 32},
                      AdapterTransaction{"RecordWriteWaitsThreeTimes", Exchange::Write, 3}),
    [](const ::testing::TestParamInfo<AdapterTransaction>& info) {
      return std::string(info.param.story);
    });

}  // namespace
