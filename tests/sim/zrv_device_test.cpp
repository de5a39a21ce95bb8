// The ZRV device model answers its byte protocol as the host's side of the line
// sees it: bytes with their parities, line errors, and the cable's modem lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "zrv_device.h"

namespace {

using sim::LineError;
using sim::Reply;
using sim::WireParity;
using sim::ZrvDevice;
using sim::ZrvFault;
using Record = ZrvDevice::Record;
using Byte = std::pair<uint8_t, WireParity>;

constexpr uint8_t kAck = 6;
constexpr uint8_t kNak = 21;
constexpr WireParity kOdd = WireParity::Odd;
constexpr WireParity kEven = WireParity::Even;

// The port's end of the line: everything the device put on it, in order.
struct LineEvent {
  bool error = false;
  uint8_t value = 0;
  WireParity parity = WireParity::None;
  std::chrono::microseconds after{0};
  LineError lineError = LineError::Framing;
  bool operator==(const LineEvent& o) const {
    return error == o.error && value == o.value && parity == o.parity && after == o.after &&
           lineError == o.lineError;
  }
};

class FakeLine : public sim::LineSide {
 public:
  void Send(uint8_t value, WireParity parity, std::chrono::microseconds after) override {
    events.push_back({false, value, parity, after});
  }
  void RaiseLineError(LineError error) override {
    events.push_back({true, 0, WireParity::None, {}, error});
  }
  void SetInputLines(const sim::InputLines& set) override { lines = set; }

  std::vector<Byte> Sent() const {
    std::vector<Byte> sent;
    for (const LineEvent& e : events)
      if (!e.error) sent.push_back({e.value, e.parity});
    return sent;
  }

  std::vector<LineEvent> events;
  sim::InputLines lines;
};

// The host's side of the exchanges, played the way the library plays them: the
// presence check on the modem lines, a purge before every command byte, a reply
// lost to a line error (the port aborts reads after one), and the same result codes.
class Host {
 public:
  Host(ZrvDevice& device, FakeLine& line) : device_(device), line_(line) {}

  int Status(uint8_t* status) {
    if (!Present()) return 2;
    Command(ZrvDevice::kStatusRequest);
    return Receive(status) ? 0 : 4;
  }

  int Read(unsigned address, Record* record) {
    if (int r = Header(ZrvDevice::kReadCommand, address)) return r;
    for (uint8_t& byte : *record) {
      Command(ZrvDevice::kNextByteRequest);
      if (int r = Reply(5, 8)) return r;
      if (!Receive(&byte)) return 4;
    }
    return 0;
  }

  int Write(unsigned address, const Record& record) {
    if (int r = Header(ZrvDevice::kWriteCommand, address)) return r;
    for (uint8_t byte : record) device_.ReceiveFromPort(byte, kEven);
    return Reply(7, 8);
  }

 private:
  bool Present() {
    device_.OutputLinesChanged(false, true);
    if (line_.lines.cts) return false;
    device_.OutputLinesChanged(true, true);
    if (!line_.lines.cts) return false;
    device_.OutputLinesChanged(true, false);
    if (line_.lines.ring) return false;
    device_.OutputLinesChanged(true, true);
    return line_.lines.ring;
  }

  int Header(uint8_t command, unsigned address) {
    if (!Present()) return 2;
    Command(command);
    if (int r = Reply(5, 8)) return r;
    const unsigned location = address + 60;
    for (unsigned byte : {location & 0xFF, location >> 8, 30u}) {
      device_.ReceiveFromPort(static_cast<uint8_t>(byte), kEven);
    }
    return Reply(6, 8);
  }

  void Command(uint8_t value) {
    next_ = line_.events.size();  // the purge
    device_.ReceiveFromPort(value, kOdd);
  }

  bool Receive(uint8_t* value) {
    if (next_ >= line_.events.size() || line_.events[next_].error) return false;
    *value = line_.events[next_++].value;
    return true;
  }

  // 0 on ACK, `onNak` on NAK, `onOther` on anything else, 4 when nothing came.
  int Reply(int onNak, int onOther) {
    uint8_t reply = 0;
    if (!Receive(&reply)) return 4;
    return reply == kAck ? 0 : reply == kNak ? onNak : onOther;
  }

  ZrvDevice& device_;
  FakeLine& line_;
  size_t next_ = 0;
};

Record Pattern(uint8_t seed) {
  Record record{};
  for (unsigned i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(seed + 37 * i);
  return record;
}

std::vector<Byte> Received(const ZrvDevice& device) {
  std::vector<Byte> bytes;
  for (const auto& b : device.Received()) bytes.push_back({b.value, b.parity});
  return bytes;
}

class ZrvDeviceTest : public ::testing::Test {
 protected:
  ZrvDeviceTest() { device.Attach(&line); }
  ~ZrvDeviceTest() override { device.Attach(nullptr); }

  void Feed(const std::vector<Byte>& bytes) {
    for (const Byte& b : bytes) device.ReceiveFromPort(b.first, b.second);
  }

  FakeLine line;
  ZrvDevice device;
  Host host{device, line};
};

TEST_F(ZrvDeviceTest, StatusRequestIsAnsweredByTheStatusByteWhateverItIs) {
  for (uint8_t status : {0x00, 0x5A, 6, 21, 0xFF}) {
    device.SetStatus(status);
    line.events.clear();
    uint8_t got = 0;
    EXPECT_EQ(host.Status(&got), 0);
    EXPECT_EQ(got, status);
    EXPECT_EQ(line.Sent(), (std::vector<Byte>{{status, kOdd}}));
  }
  EXPECT_EQ(Received(device), std::vector<Byte>(5, {1, kOdd}));
}

TEST_F(ZrvDeviceTest, ReadOfAddressOneSeesLocation61And0AndAnswersEveryRequest) {
  const Record stored = Pattern(6);  // holds 6 and 21 among its bytes
  device.WriteRecord(1, stored);
  Record got{};
  ASSERT_EQ(host.Read(1, &got), 0);
  EXPECT_EQ(got, stored);

  std::vector<Byte> seen{{4, kOdd}, {61, kEven}, {0, kEven}, {30, kEven}};
  std::vector<Byte> sent{{kAck, kOdd}, {kAck, kEven}};
  for (uint8_t byte : stored) {
    seen.push_back({5, kOdd});
    sent.insert(sent.end(), {{kAck, kOdd}, {byte, kOdd}});
  }
  EXPECT_EQ(Received(device), seen);
  EXPECT_EQ(line.Sent(), sent);
  EXPECT_TRUE(device.ParityViolations().empty());
}

TEST_F(ZrvDeviceTest, WriteOfAddress931StoresCommandValuesAckAndNakVerbatim) {
  Record record = Pattern(100);
  for (uint8_t v : {1, 2, 4, 5, 6, 21}) record[v] = v;
  ASSERT_EQ(host.Write(931, record), 0);

  std::vector<Byte> seen{{2, kOdd}, {223, kEven}, {3, kEven}, {30, kEven}};
  for (uint8_t byte : record) seen.push_back({byte, kEven});
  EXPECT_EQ(Received(device), seen);
  EXPECT_EQ(line.Sent(), (std::vector<Byte>{{kAck, kOdd}, {kAck, kEven}, {kAck, kEven}}));
  EXPECT_EQ(device.ReadRecord(931), record);
  Record back{};
  EXPECT_EQ(host.Read(931, &back), 0);
  EXPECT_EQ(back, record);
}

TEST_F(ZrvDeviceTest, LocationBlockOutsideTheRecordsOrOfAnotherLengthIsRefused) {
  struct Case {
    uint8_t low, high, length, reply;
  } cases[] = {
      {61, 0, 30, kAck}, {223, 3, 30, kAck},   {60, 0, 30, kNak}, {224, 3, 30, kNak},
      {0, 0, 30, kNak},  {255, 255, 30, kNak}, {61, 0, 29, kNak}, {61, 0, 31, kNak},
  };
  for (uint8_t command : {ZrvDevice::kReadCommand, ZrvDevice::kWriteCommand}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(command) + ": " + std::to_string(c.low) + " " +
                   std::to_string(c.high) + " " + std::to_string(c.length));
      line.events.clear();
      Feed({{command, kOdd}, {c.low, kEven}, {c.high, kEven}, {c.length, kEven}});
      EXPECT_EQ(line.Sent(), (std::vector<Byte>{{kAck, kOdd}, {c.reply, kEven}}));
      // Refused, the device waits for a command: a request finds no read under way.
      if (c.reply == kNak) {
        Feed({{5, kOdd}});
        EXPECT_EQ(line.Sent().back(), Byte(kNak, kOdd));
      }
      Feed({{1, kOdd}});  // ends whatever was accepted
    }
  }
  EXPECT_TRUE(device.ParityViolations().empty());
}

TEST_F(ZrvDeviceTest, BytesWithTheWrongParityForTheirPlaceAreLoggedAsViolations) {
  struct Case {
    const char* scene;
    std::vector<Byte> before;
    Byte byte;
    std::vector<Byte> replies;
  } cases[] = {
      {"read command with even parity", {}, {4, kEven}, {}},
      {"status request framed without parity", {}, {1, WireParity::None}, {}},
      {"status request with mark parity", {}, {1, WireParity::Mark}, {}},
      {"request with even parity",
       {{4, kOdd}, {61, kEven}, {0, kEven}, {30, kEven}},
       {5, kEven},
       {}},
      // Looks like an unknown command: the exchange ends with a NAK.
      {"location byte with odd parity", {{2, kOdd}}, {61, kOdd}, {{kNak, kOdd}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scene);
    Feed({{1, kOdd}});
    Feed(c.before);
    device.ClearLogs();
    line.events.clear();
    Feed({c.byte});
    EXPECT_EQ(device.ParityViolations(),
              (std::vector<ZrvDevice::ReceivedByte>{{c.byte.first, c.byte.second, true}}));
    EXPECT_EQ(line.Sent(), c.replies);
  }
}

// A device left running keeps the first entries of its logs and no more; the
// count of parity violations goes on past the limit, and ClearLogs starts afresh.
TEST_F(ZrvDeviceTest, LogsStopGrowingAtTheirLimitAndViolationsAreStillCounted) {
  device.SetLogLimit(3);
  for (int i = 0; i < 5; ++i) Feed({{1, kOdd}, {1, WireParity::Mark}});
  EXPECT_EQ(device.Received().size(), 3u);
  EXPECT_EQ(device.Replies().size(), 3u);
  EXPECT_EQ(device.ParityViolations().size(), 1u) << "the one kept in the first three bytes";
  EXPECT_EQ(device.ParityViolationCount(), 5u);
  EXPECT_EQ(line.Sent().size(), 5u) << "every status request still answered";

  device.ClearLogs();
  EXPECT_EQ(device.ParityViolationCount(), 0u);
  Feed({{1, WireParity::Mark}});
  EXPECT_EQ(device.Received(), (std::vector<ZrvDevice::ReceivedByte>{{1, WireParity::Mark, true}}));
  EXPECT_EQ(device.ParityViolationCount(), 1u);
}

TEST_F(ZrvDeviceTest, UnknownCommandsAndStrayRequestsAreRefused) {
  Feed({{0x33, kOdd}, {5, kOdd}});
  EXPECT_EQ(line.Sent(), (std::vector<Byte>{{kNak, kOdd}, {kNak, kOdd}}));
  EXPECT_TRUE(device.ParityViolations().empty());
}

// Each fault at a reply point gives the host the code the library gives (a line
// error of the chosen kind reaches the port); a one-shot fault then leaves the
// device in step for the same exchange again.
TEST_F(ZrvDeviceTest, FaultAtAReplyGivesTheHostItsResultCode) {
  enum Exchange { kStatus, kRead, kWrite };
  struct Case {
    Exchange exchange;
    sim::ReplyPoint point;
    ZrvFault fault;
    int code;
  } cases[] = {
      {kStatus, {Reply::StatusByte}, ZrvFault::Silence(), 4},
      {kStatus, {Reply::StatusByte}, ZrvFault::Error(LineError::Framing), 4},
      {kRead, {Reply::ReadCommandAck}, ZrvFault::Nak(), 5},
      {kRead, {Reply::ReadCommandAck}, ZrvFault::Byte(0), 8},
      {kRead, {Reply::ReadCommandAck}, ZrvFault::Silence(), 4},
      {kRead, {Reply::ReadLocationAck}, ZrvFault::Nak(), 6},
      {kRead, {Reply::ReadLocationAck}, ZrvFault::Error(LineError::Parity), 4},
      {kRead, {Reply::ReadRequestAck, 2}, ZrvFault::Nak(), 5},
      {kRead, {Reply::ReadRequestAck, 29}, ZrvFault::Byte(0x80), 8},
      {kRead, {Reply::ReadRequestAck, 0}, ZrvFault::Unplug(), 4},
      {kRead, {Reply::ReadDataByte, 7}, ZrvFault::Silence(), 4},
      {kRead, {Reply::ReadDataByte, 7}, ZrvFault::ErrorThenReply(LineError::Overrun), 4},
      {kWrite, {Reply::WriteCommandAck}, ZrvFault::Nak(), 5},
      {kWrite, {Reply::WriteCommandAck}, ZrvFault::ErrorThenReply(LineError::Break), 4},
      {kWrite, {Reply::WriteLocationAck}, ZrvFault::Nak(), 6},
      {kWrite, {Reply::WriteLocationAck}, ZrvFault::Byte(0), 8},
      {kWrite, {Reply::WriteRecordAck}, ZrvFault::Nak(), 7},
      {kWrite, {Reply::WriteRecordAck}, ZrvFault::Byte(kNak + 1), 8},
      {kWrite, {Reply::WriteRecordAck}, ZrvFault::Silence(), 4},
      {kWrite, {Reply::WriteRecordAck}, ZrvFault::Unplug(), 4},
  };
  const Record old = Pattern(1), fresh = Pattern(2);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases));
    device.WriteRecord(500, old);
    line.events.clear();
    device.InjectFault(c.point, c.fault);
    uint8_t status = 0;
    Record got{};
    auto run = [&] {
      switch (c.exchange) {
        case kStatus:
          return host.Status(&status);
        case kRead:
          return host.Read(500, &got);
        case kWrite:
          return host.Write(500, fresh);
      }
      return -1;
    };
    EXPECT_EQ(run(), c.code);
    const bool lineError = c.fault.action == sim::ReplyAction::LineError ||
                           c.fault.action == sim::ReplyAction::LineErrorThenReply;
    EXPECT_EQ(lineError, std::any_of(line.events.begin(), line.events.end(), [&](auto& e) {
                return e.error && e.lineError == c.fault.error;
              }));
    EXPECT_EQ(device.ReadRecord(500), old) << "a refused or garbled write was stored";
    const bool pulled = c.fault.action == sim::ReplyAction::Unplug;
    EXPECT_EQ(device.Unplugged(), pulled);
    EXPECT_EQ(line.lines.cts, !pulled);
    device.Unplug(false);
    EXPECT_EQ(run(), 0);
  }
  EXPECT_TRUE(device.ParityViolations().empty());
}

TEST_F(ZrvDeviceTest, WrongRecordByteIsTakenByTheHostAsItComes) {
  device.WriteRecord(9, Pattern(0));
  device.InjectFault({Reply::ReadDataByte, 3}, ZrvFault::Byte(0xEE));
  Record got{};
  EXPECT_EQ(host.Read(9, &got), 0);
  Record expected = Pattern(0);
  expected[3] = 0xEE;
  EXPECT_EQ(got, expected);
}

TEST_F(ZrvDeviceTest, LateStaleAndExtraRepliesLeaveTheDeviceWhenTheySay) {
  using std::chrono::microseconds;
  device.WriteRecord(3, Pattern(9));
  Feed({{4, kOdd}});
  line.events.clear();

  // Late: the reply, and what follows it in the same answer, after the delay.
  device.InjectFault({Reply::ReadRequestAck, 0}, ZrvFault::Late(microseconds(1500000)));
  Feed({{61 + 2, kEven}, {0, kEven}, {30, kEven}, {5, kOdd}});
  ASSERT_EQ(line.events.size(), 3u);
  EXPECT_EQ(line.events[1], (LineEvent{false, kAck, kOdd, microseconds(1500000)}));
  EXPECT_EQ(line.events[2], (LineEvent{false, Pattern(9)[0], kOdd, microseconds(0)}))
      << "the record byte comes after the late ACK";
  line.events.clear();

  // Stale: held back with the record byte after it, then sent ahead of the answer
  // to the next byte received; the exchange went on meanwhile.
  device.InjectFault({Reply::ReadRequestAck, 1}, ZrvFault::Stale());
  Feed({{5, kOdd}});
  EXPECT_TRUE(line.events.empty());
  Feed({{5, kOdd}});
  EXPECT_EQ(line.Sent(),
            (std::vector<Byte>{
                {kAck, kOdd}, {Pattern(9)[1], kOdd}, {kAck, kOdd}, {Pattern(9)[2], kOdd}}));
  line.events.clear();

  // Held back, then sent by the test at a moment of its choosing.
  device.InjectFault({Reply::StatusByte}, ZrvFault::Stale());
  device.SetStatus(0x33);
  Feed({{1, kOdd}});
  EXPECT_TRUE(line.events.empty());
  device.SendHeldBack();
  EXPECT_EQ(line.Sent(), (std::vector<Byte>{{0x33, kOdd}}));
  line.events.clear();
  device.SendHeldBack();
  EXPECT_TRUE(line.events.empty()) << "nothing held back twice";

  // Noise after the reply: the exchange goes on.
  device.InjectFault({Reply::WriteCommandAck}, ZrvFault::Extra(0x41));
  Feed({{2, kOdd}});
  EXPECT_EQ(line.Sent(), (std::vector<Byte>{{kAck, kOdd}, {0x41, kOdd}}));
  const auto replies = device.Replies();
  EXPECT_EQ(replies.back().action, sim::ReplyAction::ExtraByte);
}

TEST_F(ZrvDeviceTest, OneShotFaultsFireOnceInOrderPersistentOnesUntilCleared) {
  Record got{};
  device.InjectFault({Reply::ReadRequestAck}, ZrvFault::Nak());  // every index: the first
  device.InjectFault({Reply::ReadRequestAck, 4}, ZrvFault::Byte(0));
  EXPECT_EQ(host.Read(1, &got), 5);
  EXPECT_EQ(host.Read(1, &got), 8);
  EXPECT_EQ(host.Read(1, &got), 0);

  device.InjectFault({Reply::WriteCommandAck}, ZrvFault::Nak().Persistent());
  EXPECT_EQ(host.Write(1, got), 5);
  EXPECT_EQ(host.Write(1, got), 5);
  device.ClearFaults();
  EXPECT_EQ(host.Write(1, got), 0);
}

// The host abandons an exchange after a failure and opens the next one with a new
// command byte, which the device takes wherever it was.
TEST_F(ZrvDeviceTest, NewCommandEndsAnAbandonedExchangeWithoutStoringHalfARecord) {
  const std::vector<Byte> writeTo7{{2, kOdd}, {67, kEven}, {0, kEven}, {30, kEven}};
  std::vector<Byte> writeHalf = writeTo7, writeMissingLast = writeTo7;
  writeHalf.insert(writeHalf.end(), 15, {0xAA, kEven});
  writeMissingLast.insert(writeMissingLast.end(), 29, {0xAA, kEven});
  const std::vector<Byte> abandoned[] = {
      {{2, kOdd}},
      {{2, kOdd}, {67, kEven}},
      writeHalf,
      writeMissingLast,
      {{4, kOdd}, {67, kEven}, {0, kEven}, {30, kEven}, {5, kOdd}, {5, kOdd}},
  };
  const Record old = Pattern(3), fresh = Pattern(4);
  for (const auto& prefix : abandoned) {
    SCOPED_TRACE(prefix.size());
    device.WriteRecord(7, old);
    Feed(prefix);
    Record got{};
    EXPECT_EQ(host.Read(7, &got), 0);
    EXPECT_EQ(got, old);
    Feed(prefix);
    EXPECT_EQ(host.Write(7, fresh), 0);
    EXPECT_EQ(device.ReadRecord(7), fresh);
    Feed(prefix);
    uint8_t status = 1;
    EXPECT_EQ(host.Status(&status), 0);
    EXPECT_EQ(status, 0);
  }
  EXPECT_TRUE(device.ParityViolations().empty());
}

TEST_F(ZrvDeviceTest, CableMakesCtsFollowRtsAndRingFollowDtr) {
  for (bool rts : {false, true}) {
    for (bool dtr : {false, true}) {
      device.OutputLinesChanged(rts, dtr);
      EXPECT_EQ(line.lines.cts, rts);
      EXPECT_EQ(line.lines.ring, dtr);
      EXPECT_TRUE(line.lines.dsr);
      EXPECT_FALSE(line.lines.rlsd);
    }
  }
}

TEST_F(ZrvDeviceTest, UnpluggedDeviceDropsItsLinesAndHearsNothing) {
  device.OutputLinesChanged(true, true);
  device.Unplug(true);
  EXPECT_FALSE(line.lines.cts || line.lines.ring || line.lines.dsr || line.lines.rlsd);
  uint8_t status = 0;
  EXPECT_EQ(host.Status(&status), 2);
  Feed({{1, kOdd}, {4, kOdd}});
  EXPECT_TRUE(line.events.empty());
  EXPECT_TRUE(device.Received().empty());
  EXPECT_FALSE(line.lines.cts || line.lines.ring);

  device.Unplug(false);  // the lines come back as the port left them
  EXPECT_TRUE(line.lines.cts && line.lines.ring && line.lines.dsr);
  EXPECT_EQ(host.Status(&status), 0);
}

TEST_F(ZrvDeviceTest, PacedDeviceSendsEachByteACharacterTimeAfterThePrevious) {
  uint8_t status = 0;
  ASSERT_EQ(host.Status(&status), 0);
  EXPECT_EQ(line.events.back().after, std::chrono::microseconds(0));

  device.SetPacing(sim::CharacterTime(19200));
  line.events.clear();
  Record got{};
  ASSERT_EQ(host.Read(1, &got), 0);
  ASSERT_EQ(line.events.size(), 62u);
  for (const LineEvent& e : line.events) EXPECT_EQ(e.after, std::chrono::microseconds(573));
}

TEST_F(ZrvDeviceTest, RandomFarEndIsTheSameForTheSameSeed) {
  const sim::RandomReplies random{42, 0.05, 0.05, 0.05, 0.05};
  auto play = [](const sim::RandomReplies& r, std::vector<int>* codes) {
    FakeLine line;
    ZrvDevice device;
    device.Attach(&line);
    device.SetRandomReplies(r);
    Host host(device, line);
    uint8_t status = 0;
    Record record{};
    for (unsigned n = 1; n <= 600; ++n) {
      codes->push_back(n % 3 == 0   ? host.Status(&status)
                       : n % 3 == 1 ? host.Write(n, Pattern(static_cast<uint8_t>(n)))
                                    : host.Read(n - 1, &record));
    }
    for (const auto& reply : device.Replies()) {
      if (reply.action == sim::ReplyAction::OtherByte && reply.point.reply != Reply::StatusByte &&
          reply.point.reply != Reply::ReadDataByte) {
        EXPECT_TRUE(reply.value != kAck && reply.value != kNak);
      }
    }
    device.Attach(nullptr);
    return line.events;
  };
  std::vector<int> codes, again, other;
  const auto events = play(random, &codes);
  EXPECT_EQ(play(random, &again), events);
  EXPECT_EQ(again, codes);
  for (int code : {0, 4, 5, 6, 7, 8}) {
    EXPECT_NE(std::count(codes.begin(), codes.end(), code), 0) << code;
  }
  sim::RandomReplies reseeded = random;
  reseeded.seed = 43;
  EXPECT_NE(play(reseeded, &other), events);
}

TEST_F(ZrvDeviceTest, CorrectFaultShieldsAReplyFromTheRandomFarEnd) {
  device.SetRandomReplies({7, 1.0});
  device.InjectFault({Reply::StatusByte}, ZrvFault::Correct().Persistent());
  uint8_t status = 1;
  Record got{};
  EXPECT_EQ(host.Status(&status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(host.Read(1, &got), 5);
  device.StopRandomReplies();
  EXPECT_EQ(host.Read(1, &got), 0);
}

TEST_F(ZrvDeviceTest, ImageHoldsTheRecordsInAddressOrderAndRestoresThem) {
  for (unsigned address : {1u, 500u, 931u}) device.WriteRecord(address, Pattern(address % 256));
  const std::vector<uint8_t> image = device.SaveImage();
  ASSERT_EQ(image.size(), ZrvDevice::kImageSize);
  EXPECT_EQ(image[499 * 30 + 5], Pattern(500 % 256)[5]);
  EXPECT_EQ(image.back(), Pattern(931 % 256)[29]);

  ZrvDevice restored;
  EXPECT_FALSE(restored.RestoreImage(std::vector<uint8_t>(ZrvDevice::kImageSize - 1, 0xFF)));
  EXPECT_EQ(restored.ReadRecord(1), Record{});
  ASSERT_TRUE(restored.RestoreImage(image));
  EXPECT_EQ(restored.SaveImage(), image);
}

}  // namespace
