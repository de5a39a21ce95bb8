// The three transfer exports against the ZRV device model on the virtual line: the
// bytes and parities the device sees, and every result code from where it arises.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "kwelmora.h"
#include "library/last_error.h"
#include "library/library_state.h"
#include "port/comm.h"
#include "reliability/zrv_line_fixture.h"
#include "test_support.h"
#include "zrv_device.h"

namespace {

using sim::Reply;
using sim::ReplyPoint;
using sim::WireParity;
using sim::ZrvDevice;
using sim::ZrvFault;
using Received = ZrvDevice::ReceivedByte;
using Record = std::array<uint8_t, 30>;

Record Pattern(uint8_t seed) {
  Record record{};
  for (unsigned i = 0; i < record.size(); ++i) {
    record[i] = static_cast<uint8_t>(seed + i * 7);
  }
  return record;
}

std::vector<Received> Bytes(std::initializer_list<std::pair<uint8_t, WireParity>> bytes) {
  std::vector<Received> out;
  for (const auto& byte : bytes) {
    Received received;
    received.value = byte.first;
    received.parity = byte.second;
    out.push_back(received);
  }
  return out;
}

// The library's port open on a virtual COM port with the ZRV device model at its
// far end (the reliability tests' scene).
using LinkProtocolTest = reliability::ZrvLineTest;

TEST_F(LinkProtocolTest, StatusReadSendsOneOddCommandByteAndReturnsTheStatus) {
  Open();
  device.SetStatus(0x5A);
  unsigned char status = 0;
  EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK);
  EXPECT_EQ(status, 0x5A);
  EXPECT_EQ(device.Received(), Bytes({{1, WireParity::Odd}}));
}

TEST_F(LinkProtocolTest, RecordReadOfAddressOneSendsLocationSixtyOneThenThirtyRequests) {
  Open();
  const Record stored = Pattern(3);
  device.WriteRecord(1, stored);
  Record buffer{};
  EXPECT_EQ(OdczytanieBajtowZZRV(1, buffer.data()), KWELMORA_OK);
  EXPECT_EQ(buffer, stored);

  std::vector<Received> expected = Bytes({{4, WireParity::Odd},
                                          {61, WireParity::Even},
                                          {0, WireParity::Even},
                                          {30, WireParity::Even}});
  for (int i = 0; i < 30; ++i) {
    expected.push_back(Bytes({{5, WireParity::Odd}})[0]);
  }
  EXPECT_EQ(device.Received(), expected);
  EXPECT_TRUE(device.ParityViolations().empty());
}

TEST_F(LinkProtocolTest, RecordWriteOfAddress931SendsLocation223And3ThenTheRecord) {
  Open();
  const Record record = Pattern(100);
  EXPECT_EQ(ZapisanieBajtowDoZRV(931, record.data()), KWELMORA_OK);
  EXPECT_EQ(device.ReadRecord(931), record);

  std::vector<Received> expected = Bytes({{2, WireParity::Odd},
                                          {223, WireParity::Even},
                                          {3, WireParity::Even},
                                          {30, WireParity::Even}});
  for (uint8_t byte : record) {
    expected.push_back(Bytes({{byte, WireParity::Even}})[0]);
  }
  EXPECT_EQ(device.Received(), expected);
}

TEST_F(LinkProtocolTest, EveryCommandByteFollowsAPurgeAndParityChangesAtMostThreeTimes) {
  Open();
  Record buffer{};
  struct Step {
    const char* what;
    std::function<uint8_t()> call;
    unsigned purges;
    unsigned maxSwitches;
  };
  unsigned char status = 0;
  const Record record = Pattern(9);
  const Step steps[] = {
      {"status", [&] { return OdczytanieBajtuStatusuZRV(&status); }, 1, 1},
      {"read", [&] { return OdczytanieBajtowZZRV(17, buffer.data()); }, 31, 3},
      {"write", [&] { return ZapisanieBajtowDoZRV(17, record.data()); }, 1, 2},
      {"read again", [&] { return OdczytanieBajtowZZRV(17, buffer.data()); }, 31, 3},
  };
  for (const Step& step : steps) {
    const unsigned purgesBefore = driver().CallCount(sim::Call::PurgeComm);
    const unsigned switchesBefore = driver().CallCount(sim::Call::SetCommState);
    EXPECT_EQ(step.call(), KWELMORA_OK) << step.what;
    EXPECT_EQ(driver().CallCount(sim::Call::PurgeComm) - purgesBefore, step.purges) << step.what;
    EXPECT_LE(driver().CallCount(sim::Call::SetCommState) - switchesBefore, step.maxSwitches)
        << step.what;
  }
  EXPECT_EQ(buffer, record);
}

TEST_F(LinkProtocolTest, WriteThenReadOfTheSameAddressGivesTheSameThirtyBytes) {
  Open();
  for (unsigned address : {1u, 2u, 466u, 930u, 931u}) {
    const Record record = Pattern(static_cast<uint8_t>(address));
    ASSERT_EQ(ZapisanieBajtowDoZRV(static_cast<unsigned short>(address), record.data()),
              KWELMORA_OK);
    Record back{};
    ASSERT_EQ(OdczytanieBajtowZZRV(static_cast<unsigned short>(address), back.data()), KWELMORA_OK);
    EXPECT_EQ(back, record) << address;
  }
}

TEST_F(LinkProtocolTest, AckAndNakValuesInsideARecordGoAsTheyAre) {
  Open();
  Record record{};
  record.fill(6);
  record[5] = 21;
  record[29] = 21;
  ASSERT_EQ(ZapisanieBajtowDoZRV(5, record.data()), KWELMORA_OK);
  EXPECT_EQ(device.ReadRecord(5), record);
  EXPECT_EQ(device.Received().size(), 4u + 30u) << "no escape bytes";
  Record back{};
  ASSERT_EQ(OdczytanieBajtowZZRV(5, back.data()), KWELMORA_OK);
  EXPECT_EQ(back, record);
}

TEST_F(LinkProtocolTest, StatusOfAckOrNakValueIsJustTheStatus) {
  Open();
  for (uint8_t value : {uint8_t{6}, uint8_t{21}, uint8_t{0}, uint8_t{255}}) {
    device.SetStatus(value);
    unsigned char status = 0x77;
    EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK) << int(value);
    EXPECT_EQ(status, value);
  }
}

// Where each result code comes from, through the device's replies.
struct FaultCase {
  const char* name;
  enum Call { Status, Read, Write } call;
  ReplyPoint point;
  ZrvFault fault;
  uint8_t expected;
};

class DeviceFault : public LinkProtocolTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DeviceFault, GivesItsResultCode) {
  Open();
  const FaultCase& c = GetParam();
  device.InjectFault(c.point, c.fault);
  Record buffer{};
  const Record record = Pattern(1);
  unsigned char status = 0;
  uint8_t result = 0xFF;
  switch (c.call) {
    case FaultCase::Status:
      result = OdczytanieBajtuStatusuZRV(&status);
      break;
    case FaultCase::Read:
      result = OdczytanieBajtowZZRV(200, buffer.data());
      break;
    case FaultCase::Write:
      result = ZapisanieBajtowDoZRV(200, record.data());
      break;
  }
  EXPECT_EQ(result, c.expected);
}

const FaultCase kFaultCases[] = {
    {"ReadCommandNak", FaultCase::Read, {Reply::ReadCommandAck}, ZrvFault::Nak(), 5},
    {"WriteCommandNak", FaultCase::Write, {Reply::WriteCommandAck}, ZrvFault::Nak(), 5},
    {"ReadRequestNak", FaultCase::Read, {Reply::ReadRequestAck, 17}, ZrvFault::Nak(), 5},
    {"ReadLocationNak", FaultCase::Read, {Reply::ReadLocationAck}, ZrvFault::Nak(), 6},
    {"WriteLocationNak", FaultCase::Write, {Reply::WriteLocationAck}, ZrvFault::Nak(), 6},
    {"WriteRecordNak", FaultCase::Write, {Reply::WriteRecordAck}, ZrvFault::Nak(), 7},
    {"ReadCommandZero", FaultCase::Read, {Reply::ReadCommandAck}, ZrvFault::Byte(0), 8},
    {"ReadLocationZero", FaultCase::Read, {Reply::ReadLocationAck}, ZrvFault::Byte(0), 8},
    {"ReadRequestZero", FaultCase::Read, {Reply::ReadRequestAck, 0}, ZrvFault::Byte(0), 8},
    {"WriteCommandZero", FaultCase::Write, {Reply::WriteCommandAck}, ZrvFault::Byte(0), 8},
    {"WriteLocationZero", FaultCase::Write, {Reply::WriteLocationAck}, ZrvFault::Byte(0), 8},
    {"WriteRecordZero", FaultCase::Write, {Reply::WriteRecordAck}, ZrvFault::Byte(0), 8},
    {"StatusSilent", FaultCase::Status, {Reply::StatusByte}, ZrvFault::Silence(), 4},
    {"ReadDataSilent", FaultCase::Read, {Reply::ReadDataByte, 29}, ZrvFault::Silence(), 4},
    {"WriteRecordSilent", FaultCase::Write, {Reply::WriteRecordAck}, ZrvFault::Silence(), 4},
    {"StatusUnplugged", FaultCase::Status, {Reply::StatusByte}, ZrvFault::Unplug(), 4},
};

INSTANTIATE_TEST_SUITE_P(Replies, DeviceFault, ::testing::ValuesIn(kFaultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(LinkProtocolTest, ReadRefusedAtTheThirdRequestKeepsTheFirstTwoBytes) {
  Open();
  const Record stored = Pattern(40);
  device.WriteRecord(12, stored);
  device.InjectFault({Reply::ReadRequestAck, 2}, ZrvFault::Nak());
  Record buffer;
  buffer.fill(0xEE);
  EXPECT_EQ(OdczytanieBajtowZZRV(12, buffer.data()), KWELMORA_COMMAND_REFUSED);
  EXPECT_EQ(buffer[0], stored[0]);
  EXPECT_EQ(buffer[1], stored[1]);
  for (unsigned i = 2; i < 30; ++i) {
    EXPECT_EQ(buffer[i], 0xEE) << i;
  }
}

TEST_F(LinkProtocolTest, BeforeInitialisationEveryExportAnswersOneAndTouchesNothing) {
  unsigned char status = 0x77;
  Record buffer;
  buffer.fill(0xEE);
  const Record record = Pattern(0);
  EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_NOT_INITIALIZED);
  EXPECT_EQ(status, 0x77);
  EXPECT_EQ(OdczytanieBajtowZZRV(5, buffer.data()), KWELMORA_NOT_INITIALIZED);
  EXPECT_EQ(ZapisanieBajtowDoZRV(5, record.data()), KWELMORA_NOT_INITIALIZED);
  Record untouched;
  untouched.fill(0xEE);
  EXPECT_EQ(buffer, untouched);
  EXPECT_TRUE(device.Received().empty());
}

TEST_F(LinkProtocolTest, AddressOutsideOneTo931IsNineEvenBeforeInitialisation) {
  Record buffer{};
  for (bool opened : {false, true}) {
    if (opened) {
      Open();
    }
    for (unsigned address : {0u, 932u, 65535u}) {
      const auto wire = static_cast<unsigned short>(address);
      EXPECT_EQ(OdczytanieBajtowZZRV(wire, buffer.data()), KWELMORA_INVALID_ARGUMENT) << address;
      EXPECT_EQ(ZapisanieBajtowDoZRV(wire, buffer.data()), KWELMORA_INVALID_ARGUMENT) << address;
    }
  }
  EXPECT_TRUE(device.Received().empty());
}

TEST_F(LinkProtocolTest, NullPointersFromTheHostAreRefusedWithNineBeforeAnythingIsSent) {
  for (bool opened : {false, true}) {
    if (opened) {
      Open();
    }
    EXPECT_EQ(OdczytanieBajtuStatusuZRV(nullptr), KWELMORA_INVALID_ARGUMENT);
    EXPECT_EQ(OdczytanieBajtowZZRV(1, nullptr), KWELMORA_INVALID_ARGUMENT);
    EXPECT_EQ(ZapisanieBajtowDoZRV(1, nullptr), KWELMORA_INVALID_ARGUMENT);
  }
  EXPECT_TRUE(device.Received().empty());
}

TEST_F(LinkProtocolTest, UnpluggedDeviceFailsThePresenceCheckAndNothingIsSent) {
  Open();
  device.Unplug(true);
  unsigned char status = 0x77;
  Record buffer{};
  EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_NO_DEVICE);
  EXPECT_EQ(OdczytanieBajtowZZRV(1, buffer.data()), KWELMORA_NO_DEVICE);
  EXPECT_EQ(ZapisanieBajtowDoZRV(1, buffer.data()), KWELMORA_NO_DEVICE);
  EXPECT_EQ(status, 0x77);
  device.Unplug(false);
  EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK);
  EXPECT_EQ(driver().CallCount(sim::Call::WriteFile), 1u);
}

// A cable with CTS looped to RTS but RI not following DTR.
class HalfCable : public sim::FarEnd {
 public:
  void Attach(sim::LineSide* line) override { line_ = line; }
  void ReceiveFromPort(uint8_t, WireParity) override { ++received; }
  void OutputLinesChanged(bool rts, bool) override {
    sim::InputLines lines;
    lines.cts = rts;
    lines.ring = false;
    if (line_ != nullptr) {
      line_->SetInputLines(lines);
    }
  }
  int received = 0;

 private:
  sim::LineSide* line_ = nullptr;
};

TEST_F(LinkProtocolTest, RingNotFollowingDtrFailsThePresenceCheck) {
  HalfCable cable;
  driver().AttachFarEnd(kPort, &cable);
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  unsigned char status = 0;
  EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_NO_DEVICE);
  EXPECT_EQ(cable.received, 0);
  ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  driver().AttachFarEnd(kPort, nullptr);
}

TEST_F(LinkProtocolTest, AfterDeinitialisationEveryExportAnswersTwo) {
  Open();
  ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  unsigned char status = 0;
  Record buffer{};
  EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_NO_DEVICE);
  EXPECT_EQ(OdczytanieBajtowZZRV(1, buffer.data()), KWELMORA_NO_DEVICE);
  EXPECT_EQ(ZapisanieBajtowDoZRV(931, buffer.data()), KWELMORA_NO_DEVICE);
  EXPECT_EQ(OdczytanieBajtowZZRV(0, buffer.data()), KWELMORA_INVALID_ARGUMENT);
  EXPECT_TRUE(device.Received().empty());
}

// A byte that cannot be sent: the port refuses the write.
struct NotSentCase {
  const char* name;
  unsigned okWritesBefore;  // writes that go through before the refused one
  int call;                 // 0 status, 1 read, 2 write
};

class ByteNotSent : public LinkProtocolTest, public ::testing::WithParamInterface<NotSentCase> {};

TEST_P(ByteNotSent, GivesThree) {
  Open();
  driver().FailCall(sim::Call::WriteFile, ERROR_GEN_FAILURE, GetParam().okWritesBefore);
  Record buffer{};
  unsigned char status = 0;
  uint8_t result = 0xFF;
  switch (GetParam().call) {
    case 0:
      result = OdczytanieBajtuStatusuZRV(&status);
      break;
    case 1:
      result = OdczytanieBajtowZZRV(1, buffer.data());
      break;
    default:
      result = ZapisanieBajtowDoZRV(1, buffer.data());
      break;
  }
  EXPECT_EQ(result, KWELMORA_SEND_FAILED);
  EXPECT_EQ(LastError().text, Cp1250("Niepoprawny zapis do portu."));
}

INSTANTIATE_TEST_SUITE_P(
    Writes, ByteNotSent,
    ::testing::Values(NotSentCase{"StatusCommand", 0, 0}, NotSentCase{"ReadCommand", 0, 1},
                      NotSentCase{"ReadLocationHigh", 2, 1},
                      NotSentCase{"ReadTenthRequest", 4 + 9, 1}, NotSentCase{"WriteLength", 3, 2},
                      NotSentCase{"WriteLastRecordByte", 4 + 29, 2}),
    [](const ::testing::TestParamInfo<NotSentCase>& info) { return std::string(info.param.name); });

// The port refuses a parity switch: the byte that needed it is not sent (a byte
// with the wrong parity would be a command to the device, or a data byte where
// it expects a command), the transaction ends with 3, and the next byte that
// needs that parity asks for the switch again.
struct ParitySwitchCase {
  const char* name;
  int call;                    // 0 status, 1 read, 2 write
  unsigned switchesBefore;     // switches that go through before the refused one
  std::vector<Received> sent;  // what the device saw
};

void PrintTo(const ParitySwitchCase& c, std::ostream* out) { *out << c.name; }

class ParitySwitchRefused : public LinkProtocolTest,
                            public ::testing::WithParamInterface<ParitySwitchCase> {
 protected:
  uint8_t Call(int call) {
    Record buffer{};
    const Record record = Pattern(7);
    unsigned char status = 0;
    switch (call) {
      case 0:
        return OdczytanieBajtuStatusuZRV(&status);
      case 1:
        return OdczytanieBajtowZZRV(9, buffer.data());
      default:
        return ZapisanieBajtowDoZRV(9, record.data());
    }
  }
};

TEST_P(ParitySwitchRefused, SendsNothingGivesThreeAndTheNextByteTriesAgain) {
  const ParitySwitchCase& c = GetParam();
  Open();  // a new port has no parity: the first command byte switches to odd
  driver().FailCall(sim::Call::SetCommState, ERROR_GEN_FAILURE, c.switchesBefore);
  EXPECT_EQ(Call(c.call), KWELMORA_SEND_FAILED);
  EXPECT_EQ(device.Received(), c.sent);
  EXPECT_EQ(LastError().text, Cp1250("Błąd podczas aktualizacji bloku kontroli danych."));
  EXPECT_EQ(LastError().code, ERROR_GEN_FAILURE);

  const unsigned switches = driver().CallCount(sim::Call::SetCommState);
  ASSERT_EQ(Call(c.call), KWELMORA_OK) << "the next transaction";
  EXPECT_GT(driver().CallCount(sim::Call::SetCommState), switches) << "no new switch was asked for";
  EXPECT_TRUE(device.ParityViolations().empty()) << "a byte went with the wrong parity";
}

INSTANTIATE_TEST_SUITE_P(
    Switches, ParitySwitchRefused,
    ::testing::Values(ParitySwitchCase{"StatusCommandOdd", 0, 0, {}},
                      ParitySwitchCase{"ReadCommandOdd", 1, 0, {}},
                      ParitySwitchCase{"ReadLocationEven", 1, 1, Bytes({{4, WireParity::Odd}})},
                      ParitySwitchCase{"ReadRequestOdd", 1, 2,
                                       Bytes({{4, WireParity::Odd},
                                              {69, WireParity::Even},
                                              {0, WireParity::Even},
                                              {30, WireParity::Even}})},
                      ParitySwitchCase{"WriteCommandOdd", 2, 0, {}},
                      ParitySwitchCase{"WriteLocationEven", 2, 1, Bytes({{2, WireParity::Odd}})}),
    [](const ::testing::TestParamInfo<ParitySwitchCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(LinkProtocolTest, ByteArrivingBeforeTheCommandByteIsNeverTakenForItsReply) {
  Open();
  device.SetStatus(0x3C);
  const Record record = Pattern(12);
  // A write leaves the port at even parity, so the status read that follows makes
  // every step before its command byte: presence check, parity switch, purge.
  ASSERT_EQ(ZapisanieBajtowDoZRV(9, record.data()), KWELMORA_OK);
  driver().TakeTransactionCalls(kPort);
  unsigned char status = 0;
  ASSERT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK);
  const std::vector<sim::Call> calls = driver().TakeTransactionCalls(kPort);
  const auto command = std::find(calls.begin(), calls.end(), sim::Call::WriteFile);
  ASSERT_NE(command, calls.end());
  ASSERT_NE(std::find(calls.begin(), command, sim::Call::SetCommState), command);

  for (unsigned k = 0; k < static_cast<unsigned>(command - calls.begin()); ++k) {
    SCOPED_TRACE(std::string("a byte arrives before ") + sim::CallName(calls[k]));
    ASSERT_EQ(ZapisanieBajtowDoZRV(9, record.data()), KWELMORA_OK);
    driver().SpoilAtCall(kPort, k, sim::CallPoint::Before, sim::CallSpoil::StrayByte);
    status = 0;
    EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK);
    EXPECT_EQ(status, 0x3C) << "the byte that came first was taken for the reply";
  }
}

// The host's 30 bytes are taken before the address is looked at: a guard page
// under the host's buffer shows the access.
LONG CALLBACK CountGuardHits(EXCEPTION_POINTERS* info);
volatile LONG guardHits = 0;
LONG CALLBACK CountGuardHits(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == STATUS_GUARD_PAGE_VIOLATION) {
    InterlockedIncrement(&guardHits);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

TEST_F(LinkProtocolTest, WriteReadsTheHostsThirtyBytesEvenForAnInvalidAddress) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  auto* page = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(page, nullptr);
  uint8_t* data = page + info.dwPageSize - 30;  // the last 30 bytes of the page
  PVOID handler = AddVectoredExceptionHandler(1, CountGuardHits);
  DWORD old = 0;
  for (unsigned short address : {0, 932}) {
    guardHits = 0;
    ASSERT_TRUE(VirtualProtect(page, info.dwPageSize, PAGE_READWRITE | PAGE_GUARD, &old));
    EXPECT_EQ(ZapisanieBajtowDoZRV(address, data), KWELMORA_INVALID_ARGUMENT);
    EXPECT_GT(guardHits, 0) << address;
  }
  RemoveVectoredExceptionHandler(handler);
  VirtualFree(page, 0, MEM_RELEASE);
}

}  // namespace
