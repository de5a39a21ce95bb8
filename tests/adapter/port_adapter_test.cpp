// What stands behind a COM port, read from fake device enumeration trees: FTDI
// adapters with their latency timer, USB class-driver adapters, native ports, and
// the keys that are missing, stale or refuse access.
#include "adapter/port_adapter.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <string>

#include "registry/scratch_machine.h"

namespace {

using adapter::LatencyState;
using adapter::PortKind;

constexpr char kFtdi[] = "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000";
constexpr char kCdc[] = "USB\\VID_2341&PID_0043\\85736323838351F0E1B1";
constexpr char kNative[] = "ACPI\\PNP0501\\1";

class PortAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_.Install(); }
  void TearDown() override { machine_.Remove(); }

  // The Device Parameters key of a device instance, below the machine.
  static std::string Parameters(const std::string& deviceId) {
    return std::string(adapter::kEnumPath) + "\\" + deviceId + "\\Device Parameters";
  }
  void AddNode(const std::string& deviceId, const char* portName) {
    machine_.AddPort(Parameters(deviceId), portName);
  }
  void SetLatency(const std::string& deviceId, DWORD type, const std::string& bytes) {
    machine_.SetValue(Parameters(deviceId), "LatencyTimer", type, bytes);
  }
  std::string LatencyOf(const std::string& deviceId) {
    return machine_.Describe(Parameters(deviceId), "LatencyTimer");
  }

  ScratchMachine machine_;
};

TEST_F(PortAdapterTest, EachBusIsFoundWithItsKind) {
  AddNode(kFtdi, "COM3");
  SetLatency(kFtdi, REG_DWORD, Dword(16));
  AddNode(kCdc, "COM4");
  SetLatency(kCdc, REG_DWORD, Dword(16));  // not FTDI's driver: means nothing
  AddNode(kNative, "COM1");
  AddNode("BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}\\7&1", "COM9");

  const struct {
    const char* port;
    const char* bus;
    const char* deviceId;
    PortKind kind;
    LatencyState latency;
    uint32_t latencyMs;
  } expected[] = {
      {"COM3", "FTDIBUS", kFtdi, PortKind::Ftdi, LatencyState::Set, 16},
      {"COM4", "USB", kCdc, PortKind::Usb, LatencyState::Absent, 0},
      {"COM1", "ACPI", kNative, PortKind::Native, LatencyState::Absent, 0},
      {"COM9", "BTHENUM", "BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}\\7&1", PortKind::Other,
       LatencyState::Absent, 0},
  };
  for (const auto& port : expected) {
    SCOPED_TRACE(port.port);
    const adapter::PortLookup lookup = adapter::FindPortNodes(port.port);
    EXPECT_EQ(lookup.error, ERROR_SUCCESS);
    ASSERT_EQ(lookup.nodes.size(), 1u);
    EXPECT_EQ(lookup.nodes[0].bus, port.bus);
    EXPECT_EQ(lookup.nodes[0].deviceId, port.deviceId);
    EXPECT_EQ(lookup.nodes[0].kind, port.kind);
    EXPECT_EQ(lookup.nodes[0].latency, port.latency);
    EXPECT_EQ(lookup.nodes[0].latencyMs, port.latencyMs);
  }
}

struct LatencyCase {
  const char* story;
  bool present;
  DWORD type;
  std::string bytes;
  LatencyState state;
  uint32_t ms;
};

void PrintTo(const LatencyCase& c, std::ostream* out) { *out << c.story; }

class LatencyValueTest : public PortAdapterTest,
                         public ::testing::WithParamInterface<LatencyCase> {};

TEST_P(LatencyValueTest, FtdiLatencyTimerIsReadAsStored) {
  AddNode(kFtdi, "COM3");
  if (GetParam().present) SetLatency(kFtdi, GetParam().type, GetParam().bytes);
  const adapter::PortLookup lookup = adapter::FindPortNodes("COM3");
  ASSERT_EQ(lookup.nodes.size(), 1u);
  EXPECT_EQ(lookup.nodes[0].latency, GetParam().state);
  EXPECT_EQ(lookup.nodes[0].latencyMs, GetParam().ms);
}

INSTANTIATE_TEST_SUITE_P(
    Adapter, LatencyValueTest,
    ::testing::Values(
        LatencyCase{"OneMs", true, REG_DWORD, Dword(1), LatencyState::Set, 1},
        LatencyCase{"Most", true, REG_DWORD, Dword(255), LatencyState::Set, 255},
        LatencyCase{"AbsentMeansTheDefault", false, REG_NONE, "", LatencyState::Absent, 0},
        LatencyCase{"ZeroIsOutOfRange", true, REG_DWORD, Dword(0), LatencyState::OutOfRange, 0},
        LatencyCase{"AboveTheRange", true, REG_DWORD, Dword(256), LatencyState::OutOfRange, 256},
        LatencyCase{"TextIsUnreadable", true, REG_SZ, Sz("16"), LatencyState::Unreadable, 0},
        LatencyCase{"ShortBinaryIsUnreadable", true, REG_BINARY, std::string("\x10", 1),
                    LatencyState::Unreadable, 0},
        LatencyCase{"LongerBinaryIsUnreadable", true, REG_BINARY, Dword(16) + Dword(0),
                    LatencyState::Unreadable, 0}),
    [](const ::testing::TestParamInfo<LatencyCase>& info) {
      return std::string(info.param.story);
    });

TEST_F(PortAdapterTest, OnlyThePortNameOfDeviceParametersNamesThePort) {
  AddNode("FTDIBUS\\A\\0000", "com3");  // matches: letters without case
  AddNode("FTDIBUS\\B\\0000", "COM31");
  AddNode("FTDIBUS\\C\\0000", "COM03");
  machine_.AddPort(std::string(adapter::kEnumPath) + "\\FTDIBUS\\D\\0000", "COM3");  // no DP
  machine_.AddPort(Parameters("FTDIBUS\\E"), "COM3");  // a device key, not an instance
  machine_.SetValue(Parameters("FTDIBUS\\F\\0000"), "PortName", REG_BINARY, "COM3");

  const adapter::PortLookup lookup = adapter::FindPortNodes("COM3");
  ASSERT_EQ(lookup.nodes.size(), 1u);
  EXPECT_EQ(lookup.nodes[0].deviceId, "FTDIBUS\\A\\0000");
}

TEST_F(PortAdapterTest, EveryNodeNamingThePortIsFoundInEnumerationOrderWithItsOwnTimer) {
  const char* const old = "FTDIBUS\\VID_0403+PID_6001+OLD\\0000";  // an adapter used before
  for (const char* node : {old, kFtdi}) AddNode(node, "COM3");
  SetLatency(old, REG_DWORD, Dword(16));
  SetLatency(kFtdi, REG_DWORD, Dword(2));
  const adapter::PortLookup lookup = adapter::FindPortNodes("COM3");
  ASSERT_EQ(lookup.nodes.size(), 2u);
  EXPECT_EQ(lookup.nodes[0].deviceId, kFtdi);
  EXPECT_EQ(lookup.nodes[0].latencyMs, 2u) << "each node's own timer";
  EXPECT_EQ(lookup.nodes[1].deviceId, old);
  EXPECT_EQ(lookup.nodes[1].latencyMs, 16u);
}

TEST_F(PortAdapterTest, KeysRefusingReadingArePassedOver) {
  AddNode("ACPI\\PNP0501\\1", "COM3");
  machine_.DenyAccess(std::string(adapter::kEnumPath) + "\\ACPI");
  AddNode("USB\\VID_1\\SERIAL", "COM3");
  machine_.DenyAccess(Parameters("USB\\VID_1\\SERIAL"));
  AddNode(kFtdi, "COM3");

  const adapter::PortLookup lookup = adapter::FindPortNodes("COM3");
  EXPECT_EQ(lookup.error, ERROR_SUCCESS);
  ASSERT_EQ(lookup.nodes.size(), 1u);
  EXPECT_EQ(lookup.nodes[0].deviceId, kFtdi);
}

TEST_F(PortAdapterTest, NoNodeAndNoEnumerationAreTold) {
  adapter::PortLookup lookup = adapter::FindPortNodes("COM3");
  EXPECT_EQ(lookup.error, ERROR_FILE_NOT_FOUND) << "no Enum key at all";
  EXPECT_TRUE(lookup.nodes.empty());

  AddNode(kNative, "COM1");
  lookup = adapter::FindPortNodes("COM3");
  EXPECT_EQ(lookup.error, ERROR_SUCCESS);
  EXPECT_TRUE(lookup.nodes.empty());
}

TEST_F(PortAdapterTest, LatencyTimerIsWrittenIntoTheFtdiNodeOnly) {
  AddNode(kFtdi, "COM3");
  SetLatency(kFtdi, REG_SZ, Sz("16"));
  AddNode(kCdc, "COM4");
  const adapter::PortNode ftdi = adapter::FindPortNodes("COM3").nodes.at(0);
  const adapter::PortNode cdc = adapter::FindPortNodes("COM4").nodes.at(0);

  EXPECT_EQ(adapter::WriteLatencyTimer(ftdi, 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(adapter::WriteLatencyTimer(ftdi, 256), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LatencyOf(kFtdi), "type 1: 31 36 00") << "left alone";
  EXPECT_EQ(adapter::WriteLatencyTimer(cdc, 2), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(LatencyOf(kCdc), kMissing);

  EXPECT_EQ(adapter::WriteLatencyTimer(ftdi, 2), ERROR_SUCCESS);
  EXPECT_EQ(LatencyOf(kFtdi), "type 4: 02 00 00 00");
  EXPECT_EQ(adapter::FindPortNodes("COM3").nodes.at(0).latencyMs, 2u);
}

TEST_F(PortAdapterTest, KeyThatRefusesChangesIsReadButNotWritten) {
  AddNode(kFtdi, "COM3");
  SetLatency(kFtdi, REG_DWORD, Dword(16));
  machine_.DenyWrites(Parameters(kFtdi));

  const adapter::PortLookup lookup = adapter::FindPortNodes("COM3");
  ASSERT_EQ(lookup.nodes.size(), 1u);
  EXPECT_EQ(lookup.nodes[0].latencyMs, 16u);
  EXPECT_EQ(adapter::WriteLatencyTimer(lookup.nodes[0], 1), ERROR_ACCESS_DENIED);
  machine_.RestoreAccess();
  EXPECT_EQ(LatencyOf(kFtdi), "type 4: 10 00 00 00");
}

TEST_F(PortAdapterTest, NodeGoneSinceTheLookupIsNotMadeAgain) {
  AddNode(kFtdi, "COM3");
  const adapter::PortNode node = adapter::FindPortNodes("COM3").nodes.at(0);
  ASSERT_EQ(
      RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(adapter::kEnumPath) + "\\FTDIBUS").c_str()),
      ERROR_SUCCESS);
  EXPECT_EQ(adapter::WriteLatencyTimer(node, 1), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(LatencyOf(kFtdi), kMissing);
}

}  // namespace
