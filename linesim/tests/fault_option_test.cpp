#include "fault_option.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using linesim::ParseFault;
using sim::LineError;
using sim::Reply;
using sim::ReplyAction;
using sim::ReplyPoint;

struct GoodFault {
  std::string text;
  Reply reply;
  int index;
  ReplyAction action;
  uint8_t value;
  LineError error;
  bool persistent;
};

void PrintTo(const GoodFault& fault, std::ostream* out) { *out << fault.text; }

class FaultAccepted : public ::testing::TestWithParam<GoodFault> {};

TEST_P(FaultAccepted, GivesThePointAndTheFault) {
  const GoodFault& want = GetParam();
  std::string error;
  const std::optional<linesim::FaultOption> fault = ParseFault(want.text, error);
  ASSERT_TRUE(fault) << error;
  EXPECT_EQ(fault->point.reply, want.reply);
  EXPECT_EQ(fault->point.index, want.index);
  EXPECT_EQ(fault->fault.action, want.action);
  EXPECT_EQ(fault->fault.value, want.value);
  EXPECT_EQ(fault->fault.error, want.error);
  EXPECT_EQ(fault->fault.persistent, want.persistent);
}

constexpr int kEvery = ReplyPoint::kEveryIndex;
constexpr LineError kFraming = LineError::Framing;

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultAccepted,
    ::testing::Values(GoodFault{"read-location-ack:nak", Reply::ReadLocationAck, kEvery,
                                ReplyAction::Nak, 0, kFraming, false},
                      GoodFault{"write-record-ack:byte=0", Reply::WriteRecordAck, kEvery,
                                ReplyAction::OtherByte, 0, kFraming, false},
                      GoodFault{"status-byte:byte=0x7F:persistent", Reply::StatusByte, kEvery,
                                ReplyAction::OtherByte, 0x7F, kFraming, true},
                      GoodFault{"status-byte:silence", Reply::StatusByte, kEvery,
                                ReplyAction::Silence, 0, kFraming, false},
                      GoodFault{"read-request-ack#2:nak", Reply::ReadRequestAck, 2,
                                ReplyAction::Nak, 0, kFraming, false},
                      GoodFault{"read-data-byte#29:byte=255", Reply::ReadDataByte, 29,
                                ReplyAction::OtherByte, 255, kFraming, false},
                      GoodFault{"read-command-ack:line-error=parity", Reply::ReadCommandAck, kEvery,
                                ReplyAction::LineError, 0, LineError::Parity, false},
                      GoodFault{"write-command-ack:line-error-then-reply=break:persistent",
                                Reply::WriteCommandAck, kEvery, ReplyAction::LineErrorThenReply, 0,
                                LineError::Break, true},
                      GoodFault{"write-location-ack:unplug", Reply::WriteLocationAck, kEvery,
                                ReplyAction::Unplug, 0, kFraming, false},
                      GoodFault{"read-request-ack:correct", Reply::ReadRequestAck, kEvery,
                                ReplyAction::Correct, 0, kFraming, false}));

class FaultRefused : public ::testing::TestWithParam<std::string> {};

TEST_P(FaultRefused, SaysWhy) {
  std::string error;
  EXPECT_FALSE(ParseFault(GetParam(), error));
  EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultRefused,
    ::testing::Values("", "nak", "status-byte", "status-byte:", "reply:nak", "status-byte:nack",
                      "status-byte:byte", "status-byte:byte=256", "status-byte:byte=0x",
                      "status-byte:byte=-1", "status-byte:nak=1", "status-byte#1:nak",
                      "read-request-ack#30:nak", "read-request-ack#x:nak", "status-byte:line-error",
                      "status-byte:line-error=noise", "status-byte:nak:forever",
                      "status-byte:nak:persistent:x"));

TEST(ParseByte, DecimalAndHexWithinAByte) {
  EXPECT_EQ(linesim::ParseByte("0"), 0u);
  EXPECT_EQ(linesim::ParseByte("255"), 255u);
  EXPECT_EQ(linesim::ParseByte("0x5a"), 0x5Au);
  EXPECT_FALSE(linesim::ParseByte("256"));
  EXPECT_FALSE(linesim::ParseByte("0x100"));
  EXPECT_FALSE(linesim::ParseByte("12a"));
  EXPECT_FALSE(linesim::ParseByte(""));
}

}  // namespace
