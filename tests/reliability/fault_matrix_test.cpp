// Every reply of the device and every byte of the library, in each of the three
// transactions, spoiled in every way the device model and the virtual driver can
// spoil it: the transaction ends with the code the protocol gives that place,
// within the port's time-outs, leaves the host's bytes and the device's record as
// the protocol says, and the next transaction succeeds once the opening thread has
// handled the line events (and the cable is back in).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "reliability/zrv_line_fixture.h"

namespace reliability {
namespace {

using sim::LineError;
using sim::Reply;
using sim::ReplyAction;
using sim::ReplyPoint;
using sim::ZrvFault;

constexpr uint16_t kAddress = 466;
constexpr uint8_t kStatus = 0x3C;
constexpr uint8_t kUntouched = 0xEE;  // the host's bytes before a call

// How a case spoils its place.
enum class Spoil {
  // A reply of the device (the ZRV device model's faults).
  Nak,
  OtherByte,
  Silence,
  LineError,           // a line error at the port instead of the reply
  LineErrorThenReply,  // a line error, then the right reply
  Unplug,              // the cable pulled instead of the reply
  ReadRefused,         // the port refuses the library's read of the reply
  // A byte of the library's (the virtual driver's faults).
  WriteRefused,     // WriteFile fails at once
  WriteFailsLater,  // WriteFile pends, then completes with an error
  WriteTimesOut,    // WriteFile pends, then completes with nothing sent
};

const char* SpoilName(Spoil spoil) {
  switch (spoil) {
    case Spoil::Nak:
      return "Nak";
    case Spoil::OtherByte:
      return "OtherByte";
    case Spoil::Silence:
      return "Silence";
    case Spoil::LineError:
      return "LineError";
    case Spoil::LineErrorThenReply:
      return "LineErrorThenReply";
    case Spoil::Unplug:
      return "Unplug";
    case Spoil::ReadRefused:
      return "ReadRefused";
    case Spoil::WriteRefused:
      return "WriteRefused";
    case Spoil::WriteFailsLater:
      return "WriteFailsLater";
    case Spoil::WriteTimesOut:
      return "WriteTimesOut";
  }
  return "?";
}

const char* ReplyName(Reply reply) {
  switch (reply) {
    case Reply::StatusByte:
      return "StatusByte";
    case Reply::ReadCommandAck:
      return "ReadCommandAck";
    case Reply::ReadLocationAck:
      return "ReadLocationAck";
    case Reply::ReadRequestAck:
      return "ReadRequestAck";
    case Reply::ReadDataByte:
      return "ReadDataByte";
    case Reply::WriteCommandAck:
      return "WriteCommandAck";
    case Reply::WriteLocationAck:
      return "WriteLocationAck";
    case Reply::WriteRecordAck:
      return "WriteRecordAck";
  }
  return "?";
}

// One place of a transaction: a reply of the device, or a byte of the library.
struct Place {
  Exchange exchange;
  bool reply;        // true: a reply of the device; false: a byte the library sends
  ReplyPoint point;  // the reply
  unsigned index;    // the reply's place among the library's reads, or the byte's
                     // place among its writes (both from 0)
  // The bytes of the record a read has taken before this place.
  unsigned bytesBefore;
};

// The code the protocol gives a NAK at an acknowledgement.
uint8_t RefusalCode(Reply reply) {
  switch (reply) {
    case Reply::ReadCommandAck:
    case Reply::WriteCommandAck:
    case Reply::ReadRequestAck:
      return KWELMORA_COMMAND_REFUSED;
    case Reply::ReadLocationAck:
    case Reply::WriteLocationAck:
      return KWELMORA_LOCATION_REFUSED;
    case Reply::WriteRecordAck:
      return KWELMORA_RECORD_REFUSED;
    default:
      return KWELMORA_OK;  // a data byte: a NAK's value is just data
  }
}

bool IsDataReply(Reply reply) { return reply == Reply::StatusByte || reply == Reply::ReadDataByte; }

// Every place of the three transactions, in the order they happen.
std::vector<Place> AllPlaces() {
  std::vector<Place> places;
  auto reply = [&](Exchange exchange, Reply which, int index, unsigned read, unsigned before) {
    places.push_back(Place{exchange, true, ReplyPoint{which, index}, read, before});
  };
  // A request of a read is sent after the bytes of the record before it.
  auto sent = [&](Exchange exchange, unsigned write) {
    const unsigned before = exchange == Exchange::Read && write > 4 ? write - 4 : 0;
    places.push_back(Place{exchange, false, ReplyPoint{}, write, before});
  };

  sent(Exchange::Status, 0);
  reply(Exchange::Status, Reply::StatusByte, ReplyPoint::kEveryIndex, 0, 0);

  // Read: 4, ACK, location low, high, 30, ACK, then 30 times 5, ACK, byte.
  sent(Exchange::Read, 0);
  reply(Exchange::Read, Reply::ReadCommandAck, ReplyPoint::kEveryIndex, 0, 0);
  for (unsigned i = 1; i <= 3; ++i) sent(Exchange::Read, i);
  reply(Exchange::Read, Reply::ReadLocationAck, ReplyPoint::kEveryIndex, 1, 0);
  for (unsigned i = 0; i < 30; ++i) {
    sent(Exchange::Read, 4 + i);
    reply(Exchange::Read, Reply::ReadRequestAck, static_cast<int>(i), 2 + 2 * i, i);
    reply(Exchange::Read, Reply::ReadDataByte, static_cast<int>(i), 3 + 2 * i, i);
  }

  // Write: 2, ACK, location low, high, 30, ACK, 30 record bytes, ACK.
  sent(Exchange::Write, 0);
  reply(Exchange::Write, Reply::WriteCommandAck, ReplyPoint::kEveryIndex, 0, 0);
  for (unsigned i = 1; i <= 3; ++i) sent(Exchange::Write, i);
  reply(Exchange::Write, Reply::WriteLocationAck, ReplyPoint::kEveryIndex, 1, 0);
  for (unsigned i = 0; i < 30; ++i) sent(Exchange::Write, 4 + i);
  reply(Exchange::Write, Reply::WriteRecordAck, ReplyPoint::kEveryIndex, 2, 0);
  return places;
}

struct MatrixCase {
  std::string name;
  Place place;
  Spoil spoil;
  ZrvFault fault;  // for a reply spoiled by the device
  uint8_t expected;
};

// The line error kinds and the other bytes take turns along the table, so that
// each occurs at commands, blocks and data of every transaction.
constexpr LineError kLineErrors[] = {LineError::Framing, LineError::Parity, LineError::Overrun,
                                     LineError::Break};
constexpr uint8_t kOtherBytes[] = {0x00, 0x41, 0xFF, 0x05, 0x02, 0x80, 0x07, 0x14};

std::vector<MatrixCase> BuildMatrix() {
  std::vector<MatrixCase> cases;
  unsigned turn = 0;
  for (const Place& place : AllPlaces()) {
    std::string where = std::string(ExchangeName(place.exchange)) + "/";
    if (place.reply) {
      where += ReplyName(place.point.reply);
      if (place.point.index != ReplyPoint::kEveryIndex) {
        where += "#" + std::to_string(place.point.index);
      }
      const Spoil spoils[] = {Spoil::Nak,        Spoil::OtherByte,          Spoil::Silence,
                              Spoil::LineError,  Spoil::LineErrorThenReply, Spoil::Unplug,
                              Spoil::ReadRefused};
      for (Spoil spoil : spoils) {
        ++turn;
        MatrixCase c{where + "/" + SpoilName(spoil), place, spoil, ZrvFault::Correct(),
                     KWELMORA_RECEIVE_FAILED};
        const LineError lineError = kLineErrors[turn % 4];
        switch (spoil) {
          case Spoil::Nak:
            c.fault = ZrvFault::Nak();
            c.expected = RefusalCode(place.point.reply);
            break;
          case Spoil::OtherByte:
            c.fault = ZrvFault::Byte(kOtherBytes[turn % 8]);
            c.expected = IsDataReply(place.point.reply) ? KWELMORA_OK : KWELMORA_BAD_REPLY;
            break;
          case Spoil::Silence:
            c.fault = ZrvFault::Silence();
            break;
          case Spoil::LineError:
            c.fault = ZrvFault::Error(lineError);
            c.name += "(" + std::to_string(static_cast<int>(lineError)) + ")";
            break;
          case Spoil::LineErrorThenReply:
            c.fault = ZrvFault::ErrorThenReply(lineError);
            c.name += "(" + std::to_string(static_cast<int>(lineError)) + ")";
            break;
          case Spoil::Unplug:
            c.fault = ZrvFault::Unplug();
            break;
          default:
            break;  // ReadRefused: the port's doing, the device answers correctly
        }
        cases.push_back(c);
      }
    } else {
      where += "byte" + std::to_string(place.index);
      for (Spoil spoil : {Spoil::WriteRefused, Spoil::WriteFailsLater, Spoil::WriteTimesOut}) {
        cases.push_back(MatrixCase{where + "/" + SpoilName(spoil), place, spoil,
                                   ZrvFault::Correct(), KWELMORA_SEND_FAILED});
      }
    }
  }
  return cases;
}

// The table is shared out among a few test programs that can run side by side;
// each runs every kShares-th case.
constexpr int kShares = 3;

class FaultMatrixTest : public ZrvLineTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    ZrvLineTest::SetUp();
    // The port's one-second time-outs take 10 ms: a silent device costs little.
    driver().SetTimeScale(0.01);
  }

  // Arms the case's fault for the next transaction.
  void Arm(const MatrixCase& c) {
    const unsigned k = c.place.index;
    sim::ForcedOutcome outcome;
    switch (c.spoil) {
      case Spoil::ReadRefused:
        driver().FailCall(sim::Call::ReadFile, ERROR_GEN_FAILURE, k);
        break;
      case Spoil::WriteRefused:
        driver().FailCall(sim::Call::WriteFile, ERROR_GEN_FAILURE, k);
        break;
      case Spoil::WriteFailsLater:
        outcome.error = ERROR_GEN_FAILURE;
        driver().ForceOutcome(kPort, sim::IoKind::Write, outcome, k);
        break;
      case Spoil::WriteTimesOut:
        outcome.count = 0;  // completes successfully with nothing sent
        driver().ForceOutcome(kPort, sim::IoKind::Write, outcome, k);
        break;
      default:
        device.InjectFault(c.place.point, c.fault);
        break;
    }
  }

  // What the host's bytes and the device's record must be after the spoiled call.
  void CheckAftermath(const MatrixCase& c, const Transaction& result, const Record& stored,
                      const Record& written) {
    const Place& place = c.place;
    switch (place.exchange) {
      case Exchange::Status: {
        // Written only on success: the device's byte, or the byte that replaced it.
        uint8_t expected = kUntouched;
        if (result.code == KWELMORA_OK) {
          expected = c.spoil == Spoil::Nak ? uint8_t{21} : c.fault.value;
        }
        EXPECT_EQ(result.status, expected);
        break;
      }
      case Exchange::Read: {
        // The bytes received before the failing place are in the buffer, the others
        // untouched; a replaced record byte is taken as data.
        Record expected;
        expected.fill(kUntouched);
        const unsigned filled = result.code == KWELMORA_OK ? 30 : place.bytesBefore;
        for (unsigned i = 0; i < filled; ++i) expected[i] = stored[i];
        if (result.code == KWELMORA_OK && place.reply && place.point.reply == Reply::ReadDataByte) {
          expected[static_cast<unsigned>(place.point.index)] =
              c.spoil == Spoil::Nak ? uint8_t{21} : c.fault.value;
        }
        EXPECT_EQ(result.buffer, expected);
        break;
      }
      case Exchange::Write: {
        // The device keeps the record it acknowledged, whether or not the host got
        // the ACK (a line error before it, or the port refusing the read of it).
        const bool storedNew =
            place.reply && place.point.reply == Reply::WriteRecordAck &&
            (c.spoil == Spoil::LineErrorThenReply || c.spoil == Spoil::ReadRefused);
        EXPECT_EQ(device.ReadRecord(kAddress), storedNew ? written : stored);
        break;
      }
    }
    if (!place.reply) {
      // The bytes after the one that was not sent are not sent either.
      EXPECT_EQ(device.Received().size(), place.index);
    }
  }
};

TEST_P(FaultMatrixTest, EveryPlaceEverySpoilGivesItsCodeAndTheNextTransactionSucceeds) {
  Open();
  const std::vector<MatrixCase> cases = BuildMatrix();
  unsigned run = 0;
  for (size_t i = static_cast<size_t>(GetParam()); i < cases.size(); i += kShares) {
    const MatrixCase& c = cases[i];
    SCOPED_TRACE(c.name);
    // Fresh contents for each case, so that a stale byte cannot pass for a right one.
    const Record stored = Pattern(static_cast<unsigned>(i));
    const Record written = Pattern(static_cast<unsigned>(i) + 1000);
    ++run;
    device.WriteRecord(kAddress, stored);
    device.SetStatus(kStatus);
    device.ClearLogs();
    Transaction before;
    before.status = kUntouched;
    before.buffer.fill(kUntouched);

    Arm(c);
    Transaction result;
    {
      Watchdog bound(kTransactionBoundMs, c.name.c_str());
      result = Run(c.place.exchange, kAddress, written, before);
    }
    EXPECT_EQ(result.code, c.expected);
    CheckAftermath(c, result, stored, written);
    if (c.spoil == Spoil::LineError || c.spoil == Spoil::LineErrorThenReply) {
      // The error reached the library's port, which refuses transfers until the
      // opening thread has handled the event.
      EXPECT_NE(driver().State(kPort).errors, 0u);
    }

    // Back to a working line: the cable in, the line events handled, no fault left.
    device.Unplug(false);
    device.ClearFaults();
    ASSERT_TRUE(Settle()) << "the line events were not handled";
    device.WriteRecord(kAddress, stored);
    Transaction next;
    {
      Watchdog bound(kTransactionBoundMs, c.name.c_str());
      next = Run(c.place.exchange, kAddress, written, before);
    }
    ASSERT_EQ(next.code, KWELMORA_OK) << "the transaction after the fault failed";
    switch (c.place.exchange) {
      case Exchange::Status:
        EXPECT_EQ(next.status, kStatus);
        break;
      case Exchange::Read:
        EXPECT_EQ(next.buffer, stored);
        break;
      case Exchange::Write:
        EXPECT_EQ(device.ReadRecord(kAddress), written);
        break;
    }
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(device.ParityViolations().empty()) << "every byte with the parity of its place";
  }
  // Nothing of the library's is left with the driver between transactions.
  EXPECT_EQ(driver().PendingOperations(kPort), 1u) << "only the watcher's comm-event wait";
  EXPECT_EQ(driver().StrayCompletions(), 0u);
  std::printf("share %d of %d: %u of %zu cases\n", GetParam() + 1, kShares, run, cases.size());
}

INSTANTIATE_TEST_SUITE_P(Share, FaultMatrixTest, ::testing::Range(0, kShares));

}  // namespace
}  // namespace reliability
