#include "parity_timeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using linesim::ParityTimeline;
using sim::WireParity;

struct Change {
  uint64_t firstByte;
  WireParity parity;
};

struct TimelineCase {
  std::string name;
  std::vector<Change> changes;           // all known before the bytes are read
  std::vector<WireParity> byteParities;  // of bytes 0, 1, 2, ...
};

class ParityTimelineTest : public ::testing::TestWithParam<TimelineCase> {};

TEST_P(ParityTimelineTest, EachByteHasTheParityInForceWhenItWasWritten) {
  ParityTimeline timeline;
  for (const Change& change : GetParam().changes)
    timeline.ChangeAt(change.firstByte, change.parity);
  for (size_t i = 0; i < GetParam().byteParities.size(); ++i) {
    EXPECT_EQ(timeline.Next(i), GetParam().byteParities[i]) << "byte " << i;
  }
}

const WireParity N = WireParity::None;
const WireParity O = WireParity::Odd;
const WireParity E = WireParity::Even;

INSTANTIATE_TEST_SUITE_P(
    Changes, ParityTimelineTest,
    ::testing::Values(
        TimelineCase{"NoChangeMeansNoParity", {}, {N, N}},
        TimelineCase{"ChangeBeforeTheFirstByte", {{0, O}}, {O, O}},
        // A read header: command odd, three location bytes even, a request odd.
        TimelineCase{"OddEvenOdd", {{0, O}, {1, E}, {4, O}}, {O, E, E, E, O}},
        TimelineCase{"TwoChangesAtOneByteTheLaterWins", {{0, O}, {2, E}, {2, O}}, {O, O, O}},
        // A change reported with a count lower than one before it (not made by a
        // well-behaved port) does not reach back before that one.
        TimelineCase{
            "ChangeNamingAnEarlierByteAppliesFromTheLatest", {{3, E}, {1, O}}, {N, N, N, O}}),
    [](const ::testing::TestParamInfo<TimelineCase>& info) { return info.param.name; });

TEST(ParityTimeline, BytesWrittenBeforeAChangeButReadAfterItKeepTheirParity) {
  ParityTimeline timeline;
  timeline.ChangeAt(0, O);
  EXPECT_EQ(timeline.Next(0), O);
  // Bytes 1 and 2 were written odd, then the port switched to even; zrvsim reads
  // them only after it has heard of the switch.
  timeline.ChangeAt(3, E);
  EXPECT_EQ(timeline.Next(1), O);
  EXPECT_EQ(timeline.Next(2), O);
  EXPECT_EQ(timeline.Next(3), E);
}

}  // namespace
