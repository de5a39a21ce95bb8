// The USB-serial adapter model on its own: when the characters the device sends,
// and its modem lines, reach the host, given when they reached the adapter and its
// latency timer.
#include "usb_serial_adapter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <vector>

namespace {

using sim::UsbSerialAdapter;
using sim::WireParity;
using std::chrono::microseconds;
using TimePoint = UsbSerialAdapter::TimePoint;

const TimePoint kStart = UsbSerialAdapter::Clock::now();

// Character times at 19200 baud, 11 bits a character: 573 us.
std::vector<long> Paced(size_t count, long first = 0) {
  std::vector<long> times;
  for (size_t i = 0; i < count; ++i) times.push_back(first + static_cast<long>(i) * 573);
  return times;
}

// Runs the adapter as its owners do: characters are handed over as they arrive,
// packets taken when due, whichever comes first (an arrival at the very moment a
// packet is due still goes with it). Answers when each character reached the host,
// in microseconds from the start, in the order they came out.
std::vector<long> Delivered(long latencyUs, const std::vector<long>& arrivals) {
  UsbSerialAdapter adapter;
  adapter.SetLatency(microseconds(latencyUs));
  std::vector<long> delivered;
  size_t next = 0;
  while (next < arrivals.size() || adapter.Held() > 0) {
    const TimePoint arrival =
        next < arrivals.size() ? kStart + microseconds(arrivals[next]) : TimePoint::max();
    const TimePoint due = adapter.NextRelease();
    if (arrival <= due) {
      adapter.Take(static_cast<uint8_t>(next), WireParity::Odd, arrival);
      ++next;
      continue;
    }
    for (const UsbSerialAdapter::Character& character : adapter.Release(due)) {
      EXPECT_EQ(static_cast<size_t>(character.value), delivered.size()) << "out of order";
      delivered.push_back(std::chrono::duration_cast<microseconds>(due - kStart).count());
    }
  }
  return delivered;
}

struct AdapterCase {
  const char* story;
  long latencyUs;
  std::vector<long> arrivals;   // us from the start, in order
  std::vector<long> delivered;  // us from the start, one per character
};

void PrintTo(const AdapterCase& c, std::ostream* out) { *out << c.story; }

std::vector<long> Repeat(long time, size_t count) { return std::vector<long>(count, time); }

std::vector<long> Join(std::vector<long> first, const std::vector<long>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

const AdapterCase kCases[] = {
    {"TimerReleasesALoneByteOnePeriodAfterItArrived", 16000, {0}, {16000}},
    {"BytesArrivingWhileTheTimerRunsGoWithTheFirst",
     16000,
     {0, 573, 5000, 16000},
     Repeat(16000, 4)},
    {"ByteAfterTheTimerFiredStartsTheNextPacket", 4000, {0, 4500, 6000}, {4000, 8500, 8500}},
    {"AckAndRecordBytePacedAt19200LeaveTogether", 1000, {573, 1146}, {1573, 1573}},
    {"TimerShorterThanACharacterSendsEachAlone", 500, {573, 1146}, {1073, 1646}},
    {"SixtyTwoBytesAtOnceGoWithoutWaitingForTheTimer", 16000, Repeat(0, 62), Repeat(0, 62)},
    {"SixtyThirdByteWaitsForTheNextTimer", 16000, Repeat(0, 63), Join(Repeat(0, 62), {16000})},
    {"SixtySecondPacedByteSendsThePacketEarly", 255000, Paced(63),
     Join(Repeat(61 * 573, 62), {62 * 573 + 255000})},
    {"ZeroIsANativePortEveryByteAtItsArrival", 0, {0, 573, 3000, 3000}, {0, 573, 3000, 3000}},
};

class AdapterTimingTest : public ::testing::TestWithParam<AdapterCase> {};

TEST_P(AdapterTimingTest, CharactersReachTheHostWhenTheirPacketGoes) {
  EXPECT_EQ(Delivered(GetParam().latencyUs, GetParam().arrivals), GetParam().delivered);
}

INSTANTIATE_TEST_SUITE_P(Adapter, AdapterTimingTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<AdapterCase>& info) {
                           return std::string(info.param.story);
                         });

// The device's lines go in the status bytes of a packet: a change makes one at
// the next USB frame, which takes along what is held; a data packet carries them too.
TEST(UsbSerialAdapterTest, HoldsNothingBeforeThePacketIsDueAndEverythingAfter) {
  UsbSerialAdapter adapter;
  adapter.SetLatency(microseconds(16000));
  EXPECT_EQ(adapter.NextRelease(), UsbSerialAdapter::kNothingDue);
  adapter.Take(6, WireParity::Odd, kStart);
  adapter.TakeLines({true, false, false, false}, kStart + microseconds(300));
  adapter.Take(0x41, WireParity::Odd, kStart + microseconds(573));
  adapter.Take(0x42, WireParity::Even, kStart + microseconds(1301));
  std::optional<sim::InputLines> lines;
  EXPECT_TRUE(adapter.Release(kStart + microseconds(1299), &lines).empty());
  EXPECT_FALSE(lines || adapter.PassesThrough());
  std::vector<UsbSerialAdapter::Character> out =
      adapter.Release(kStart + microseconds(1300), &lines);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].value, 6);
  EXPECT_EQ(out[1].value, 0x41);
  EXPECT_TRUE(lines && lines->cts) << "a frame after the change, with what was held";
  adapter.TakeLines({}, kStart + microseconds(1400));
  EXPECT_EQ(adapter.NextRelease(), kStart + microseconds(2400));
  out = adapter.Release(kStart + microseconds(2400), &lines);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].parity, WireParity::Even);
  EXPECT_TRUE(lines && !lines->cts);
  EXPECT_EQ(adapter.NextRelease(), UsbSerialAdapter::kNothingDue);
}

TEST(UsbSerialAdapterTest, ANewTimerAppliesToWhatIsHeld) {
  UsbSerialAdapter adapter;
  adapter.SetLatency(microseconds(16000));
  adapter.Take(6, WireParity::Odd, kStart);
  adapter.SetLatency(microseconds(1000));
  EXPECT_EQ(adapter.NextRelease(), kStart + microseconds(1000));
  adapter.SetLatency(microseconds(0));
  EXPECT_FALSE(adapter.PassesThrough()) << "a byte still held must go first";
  EXPECT_EQ(adapter.Release(kStart).size(), 1u);
  EXPECT_TRUE(adapter.PassesThrough());
}

TEST(UsbSerialAdapterTest, ByteDatedBeforeItsPredecessorArrivesWithIt) {
  UsbSerialAdapter adapter;
  adapter.SetLatency(microseconds(2000));
  adapter.Take(1, WireParity::Even, kStart + microseconds(3000));
  adapter.Take(2, WireParity::Even, kStart);
  EXPECT_TRUE(adapter.Release(kStart + microseconds(4999)).empty());
  EXPECT_EQ(adapter.Release(kStart + microseconds(5000)).size(), 2u);
}

TEST(UsbSerialAdapterTest, ClearLosesWhatIsHeld) {
  UsbSerialAdapter adapter;
  adapter.SetLatency(microseconds(16000));
  adapter.Take(6, WireParity::Odd, kStart);
  adapter.Clear();
  EXPECT_EQ(adapter.Held(), 0u);
  EXPECT_TRUE(adapter.Release(kStart + microseconds(20000)).empty());
  EXPECT_FALSE(adapter.PassesThrough()) << "the timer is still set";
}

}  // namespace
