// Thousands of transactions against a device whose every reply may be a NAK,
// another byte, silence or a line error. Each call returns, with a code its export
// can give and the very code the device's replies call for; what the host gets is
// what the device sent; and a record stays as its last acknowledged write left it
// (a write that failed leaves the old record or the new one, nothing else).
//
// The run is seeded: KWELMORA_RANDOM_SEED chooses the seed of the first share (the
// second takes the next number), the clock otherwise; every failure names the
// seed that repeats it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "reliability/zrv_line_fixture.h"

namespace reliability {
namespace {

using sim::Reply;
using sim::ReplyAction;
using ReplyMade = sim::ZrvDevice::ReplyMade;

// 2,000 transactions in all, in two programs that can run side by side, each with
// its own seed.
constexpr int kShares = 2;
constexpr unsigned kTransactions = 2000 / kShares;
constexpr uint8_t kUntouched = 0xEE;

// The codes each export can give with the port open and a valid address.
const std::set<uint8_t> kStatusCodes = {0, 1, 2, 3, 4};
const std::set<uint8_t> kReadCodes = {0, 1, 2, 3, 4, 5, 6, 8};
const std::set<uint8_t> kWriteCodes = {0, 1, 2, 3, 4, 5, 6, 7, 8};

bool IsDataReply(Reply reply) { return reply == Reply::StatusByte || reply == Reply::ReadDataByte; }

uint8_t RefusalCode(Reply reply) {
  switch (reply) {
    case Reply::ReadLocationAck:
    case Reply::WriteLocationAck:
      return KWELMORA_LOCATION_REFUSED;
    case Reply::WriteRecordAck:
      return KWELMORA_RECORD_REFUSED;
    default:
      return KWELMORA_COMMAND_REFUSED;
  }
}

// The code the protocol gives a transaction whose device made these replies: the
// first reply that was not the right one decides, unless it was a data byte that
// still came (a status or record byte is taken as it comes).
uint8_t CodeFor(const std::vector<ReplyMade>& replies) {
  for (const ReplyMade& made : replies) {
    const bool data = IsDataReply(made.point.reply);
    switch (made.action) {
      case ReplyAction::Correct:
        break;
      case ReplyAction::Nak:
        if (!data) return RefusalCode(made.point.reply);
        break;
      case ReplyAction::OtherByte:
        if (!data) return KWELMORA_BAD_REPLY;
        break;
      default:
        return KWELMORA_RECEIVE_FAILED;  // nothing came in time
    }
  }
  return KWELMORA_OK;
}

bool ByteCame(ReplyAction action) {
  return action == ReplyAction::Correct || action == ReplyAction::Nak ||
         action == ReplyAction::OtherByte;
}

// splitmix64, for the test's own choices (the device has its own sequence).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  unsigned Below(unsigned bound) { return static_cast<unsigned>(Next() % bound); }

 private:
  uint64_t state_;
};

uint64_t ChooseSeed(int share) {
  const char* chosen = std::getenv("KWELMORA_RANDOM_SEED");
  if (chosen != nullptr && *chosen != '\0') {
    return std::strtoull(chosen, nullptr, 0) + static_cast<uint64_t>(share);
  }
  return GetTickCount64() ^ (uint64_t{GetCurrentProcessId()} << 32);
}

class RandomFarEndTest : public ZrvLineTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    ZrvLineTest::SetUp();
    driver().SetTimeScale(0.01);  // a silent reply costs 10 ms, not a second
  }
};

TEST_P(RandomFarEndTest, EveryCallEndsWithTheCodeOfTheRepliesAndAcknowledgedRecordsStay) {
  const uint64_t seed = ChooseSeed(GetParam());
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string repeat =
      "KWELMORA_RANDOM_SEED=" + std::to_string(seed - static_cast<uint64_t>(GetParam())) +
      " --gtest_filter=" + test->test_suite_name() + "." + test->name();
  std::printf("seed %llu; repeat with %s\n", static_cast<unsigned long long>(seed), repeat.c_str());
  SCOPED_TRACE("seed " + std::to_string(seed) + "; repeat with " + repeat);
  Random random(seed);

  // A few addresses take most transactions, so that records are read back while
  // the run goes on; the ends of the range among them.
  std::vector<uint16_t> addresses = {1, 931};
  while (addresses.size() < 24) {
    addresses.push_back(static_cast<uint16_t>(1 + random.Below(931)));
  }
  std::map<uint16_t, Record> expected;  // the record each address must hold; zeros before
  auto expectedAt = [&](uint16_t address) {
    auto found = expected.find(address);
    return found != expected.end() ? found->second : Record{};
  };

  Open();
  sim::RandomReplies replies;
  replies.seed = seed;
  replies.nak = 0.004;
  replies.otherByte = 0.004;
  replies.silence = 0.002;
  replies.lineError = 0.002;
  device.SetRandomReplies(replies);

  std::map<std::string, unsigned> tally;
  for (unsigned n = 0; n < kTransactions; ++n) {
    const unsigned draw = random.Below(100);
    const Exchange exchange = draw < 25   ? Exchange::Read
                              : draw < 70 ? Exchange::Write
                                          : Exchange::Status;
    const uint16_t address = random.Below(10) == 0
                                 ? static_cast<uint16_t>(1 + random.Below(931))
                                 : addresses[random.Below(static_cast<unsigned>(addresses.size()))];
    Record data;
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(random.Next());
    const Record old = expectedAt(address);
    const std::string what = "transaction " + std::to_string(n) + ": " + ExchangeName(exchange) +
                             " of " + std::to_string(address);
    SCOPED_TRACE(what);

    Transaction before;
    before.status = kUntouched;
    before.buffer.fill(kUntouched);
    device.ClearLogs();
    Transaction result;
    {
      Watchdog bound(kTransactionBoundMs, what.c_str());
      result = Run(exchange, address, data, before);
    }
    const std::vector<ReplyMade> made = device.Replies();
    ++tally[std::string(ExchangeName(exchange)) + " " + std::to_string(result.code)];

    const std::set<uint8_t>& allowed = exchange == Exchange::Status ? kStatusCodes
                                       : exchange == Exchange::Read ? kReadCodes
                                                                    : kWriteCodes;
    EXPECT_EQ(allowed.count(result.code), 1u) << int{result.code};
    ASSERT_EQ(result.code, CodeFor(made));
    if (result.code == KWELMORA_OK) {
      const size_t all = exchange == Exchange::Status ? 1 : exchange == Exchange::Read ? 62 : 3;
      EXPECT_EQ(made.size(), all) << "every reply of the exchange was asked for";
    }

    switch (exchange) {
      case Exchange::Status:
        EXPECT_EQ(result.status, result.code == KWELMORA_OK ? made.back().value : kUntouched);
        break;
      case Exchange::Read: {
        // Each record byte that came is in the buffer, as the device sent it; the
        // device's own bytes are the record last acknowledged; nothing else moved.
        Record wanted;
        wanted.fill(kUntouched);
        for (const ReplyMade& reply : made) {
          if (reply.point.reply != Reply::ReadDataByte || !ByteCame(reply.action)) continue;
          const auto i = static_cast<unsigned>(reply.point.index);
          wanted[i] = reply.value;
          if (reply.action == ReplyAction::Correct) {
            EXPECT_EQ(reply.value, old[i]) << "record byte " << i;
          }
        }
        EXPECT_EQ(result.buffer, wanted);
        break;
      }
      case Exchange::Write: {
        const Record now = device.ReadRecord(address);
        if (result.code == KWELMORA_OK) {
          EXPECT_EQ(now, data) << "an acknowledged write is stored";
        } else {
          EXPECT_TRUE(now == old || now == data) << "a failed write leaves the old or the new";
        }
        expected[address] = now;
        break;
      }
    }
    ASSERT_TRUE(Settle()) << "the line events were not handled";
  }

  // The line clean again: every record reads back as the last acknowledged write
  // (or the device's choice after a failed one) left it.
  device.StopRandomReplies();
  addresses.push_back(466);  // most likely never written: zeros
  for (const auto& entry : expected) addresses.push_back(entry.first);
  for (uint16_t address : addresses) {
    Transaction back;
    {
      Watchdog bound(kTransactionBoundMs, "read-back");
      back = Run(Exchange::Read, address, Record{});
    }
    ASSERT_EQ(back.code, KWELMORA_OK) << "read-back of " << address;
    EXPECT_EQ(back.buffer, expectedAt(address)) << "read-back of " << address;
  }
  ASSERT_TRUE(Settle());
  EXPECT_EQ(driver().PendingOperations(kPort), 1u) << "only the watcher's comm-event wait";
  EXPECT_EQ(driver().StrayCompletions(), 0u);

  std::printf("%u transactions, %zu records written;", kTransactions, expected.size());
  for (const auto& entry : tally) std::printf(" %s: %u,", entry.first.c_str(), entry.second);
  std::printf("\n");
}

INSTANTIATE_TEST_SUITE_P(Share, RandomFarEndTest, ::testing::Range(0, kShares));

}  // namespace
}  // namespace reliability
