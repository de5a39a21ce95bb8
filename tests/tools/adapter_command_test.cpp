// zrvtool PORT adapter [--set-latency N] against a fake device enumeration tree:
// what it prints, what it writes and its exit status, for an FTDI adapter, a USB
// class-driver adapter, a native port, a port with no node, a key that refuses
// changes, and bad arguments. The command needs no device and no DLL.
#include <gtest/gtest.h>
#include <windows.h>

#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "adapter/port_adapter.h"
#include "adapter_command.h"
#include "registry/scratch_machine.h"
#include "zrvtool_lib.h"

namespace {

std::string Parameters(const std::string& deviceId) {
  return std::string(adapter::kEnumPath) + "\\" + deviceId + "\\Device Parameters";
}

// The machine of every case: one port of each kind.
//   COM3  FTDI adapter, timer at the factory's 16 ms
//   COM5  FTDI adapter, timer already at 1 ms
//   COM6  FTDI adapter without a LatencyTimer value
//   COM7  FTDI adapter whose key refuses changes (no administrator's rights)
//   COM4  USB class-driver adapter
//   COM1  the computer's own port
//   COM8  named by two FTDI nodes at 16 and 4 ms: one left by an adapter used before
const char* const kFtdi3 = "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000";
const char* const kFtdi5 = "FTDIBUS\\VID_0403+PID_6015+DN05XYZ\\0000";
const char* const kFtdi6 = "FTDIBUS\\VID_0403+PID_6010+FT1234A\\0000";
const char* const kFtdi7 = "FTDIBUS\\VID_0403+PID_6001+LOCKED\\0000";
const char* const kFtdi8a = "FTDIBUS\\VID_0403+PID_6001+EIGHTA\\0000";
const char* const kFtdi8b = "FTDIBUS\\VID_0403+PID_6001+EIGHTB\\0000";
const char* const kCdc4 = "USB\\VID_2341&PID_0043\\85736323838351F0E1B1";
const char* const kNative1 = "ACPI\\PNP0501\\1";

struct AdapterRun {
  const char* story;
  const char* args;  // separated by blanks
  int exit;
  std::vector<std::string> out;           // each must appear on stdout
  std::vector<std::string> err;           // each must appear on stderr
  std::vector<const char*> changed = {};  // the nodes whose LatencyTimer the run changes
  const char* latencyAfter = nullptr;     // and what each holds afterwards
};

void PrintTo(const AdapterRun& run, std::ostream* out) { *out << run.story; }

const std::string kReplug =
    "Unplug the adapter and plug it in again, or close and re-open the port, before the new "
    "timer takes effect.";

const AdapterRun kRuns[] = {
    {"FtdiAtSixteenShowsItsCostAndTheWayOut",
     "COM3 adapter",
     0,
     {"COM3: FTDI USB-serial adapter\n", "  bus            FTDIBUS\n",
      std::string("  device         ") + kFtdi3 + "\n", "  latency timer  16 ms\n",
      "  cost           up to 512 ms more per record read (32 replies x 16 ms),\n"
      "                 up to 7:57 more per full dump of 931 records\n",
      "want 1 or 2 ms:\n                 zrvtool COM3 adapter --set-latency 1 (run as "
      "administrator),\n",
      "Advanced settings in Device Manager"},
     {}},
    {"FtdiAtOneNeedsNothing",
     "5 ADAPTER",
     0,
     {"  latency timer  1 ms\n", "up to 32 ms more per record read", "up to 0:30 more per full",
      "1 ms suits this device's byte-at-a-time exchanges: nothing to change"},
     {}},
    {"FtdiWithoutAValueRunsAtTheDriversDefault",
     "COM6 adapter",
     0,
     {"  latency timer  not set: the driver's default, 16 ms\n", "up to 512 ms more"},
     {}},
    {"CdcAdapterHasNoTimerToSet",
     "COM4 adapter",
     0,
     {"COM4: USB-serial adapter\n", "  bus            USB\n",
      std::string("  device         ") + kCdc4 + "\n", "none that zrvtool knows"},
     {}},
    {"NativePortHasNoAdapter",
     "com1 adapter",
     0,
     {"COM1: native serial port\n", "  bus            ACPI\n",
      "none: no adapter between the device and the computer"},
     {}},
    {"TwoNodesAreBothShown",
     "COM8 adapter",
     0,
     {"COM8: 2 device nodes name this port", std::string(kFtdi8a) + "\n  latency timer  16 ms\n",
      std::string(kFtdi8b) + "\n  latency timer  4 ms\n"},
     {}},
    {"PortWithoutANodeFails",
     "COM2 adapter",
     1,
     {},
     {"COM2: no device node under HKLM\\SYSTEM\\CurrentControlSet\\Enum names COM2"}},
    {"SetLatencyWritesAndSaysToReplug",
     "COM3 adapter --set-latency 2",
     0,
     {std::string("COM3: LatencyTimer of ") + kFtdi3 + " set to 2 ms (was 16 ms)\n", kReplug},
     {},
     {kFtdi3},
     "type 4: 02 00 00 00"},
    {"SetLatencyOnAFtdiWithoutAValueCreatesIt",
     "COM6 adapter --set-latency 255",
     0,
     {"set to 255 ms (was not set: the driver's default, 16 ms)\n", kReplug},
     {},
     {kFtdi6},
     "type 4: FF 00 00 00"},
    {"SetLatencyWritesEveryFtdiNodeOfThePort",
     "COM8 adapter --set-latency 1",
     0,
     {std::string(kFtdi8a) + " set to 1 ms (was 16 ms)",
      std::string(kFtdi8b) + " set to 1 ms (was 4 ms)", kReplug},
     {},
     {kFtdi8a, kFtdi8b},
     "type 4: 01 00 00 00"},
    {"RefusedWriteSaysRunAsAdministrator",
     "COM7 adapter --set-latency 1",
     1,
     {},
     {std::string("COM7: Windows refused to write LatencyTimer of ") + kFtdi7 +
          " (error 5, access denied): run zrvtool as administrator, or set the timer in Device "
          "Manager\n",
      kReplug},
     {kFtdi7},
     "type 4: 10 00 00 00"},
    {"SetLatencyOnANativePortFails",
     "COM1 adapter --set-latency 1",
     1,
     {},
     {"COM1: not an FTDI adapter (bus ACPI): there is no latency timer to set"}},
    {"SetLatencyOnACdcAdapterFails",
     "COM4 adapter --set-latency 1",
     1,
     {},
     {"COM4: not an FTDI adapter (bus USB)"}},
    {"SetLatencyWithoutANodeFails",
     "COM2 adapter --set-latency 1",
     1,
     {},
     {"COM2: no device node"}},
    {"LatencyZeroIsAUsageError",
     "COM3 adapter --set-latency 0",
     2,
     {},
     {"zrvtool: bad latency '0' (1..255 ms)"},
     {kFtdi3},
     "type 4: 10 00 00 00"},
    {"Latency256IsAUsageError", "COM3 adapter --set-latency 256", 2, {}, {"bad latency"}},
    {"LatencyInHexIsAUsageError", "COM3 adapter --set-latency 0x10", 2, {}, {"bad latency '0x10'"}},
    {"MissingLatencyIsAUsageError",
     "COM3 adapter --set-latency",
     2,
     {},
     {"adapter takes nothing, or --set-latency N (1..255 ms)"}},
    {"UnknownOptionIsAUsageError", "COM3 adapter --fast", 2, {}, {"adapter takes nothing"}},
    {"BadPortIsAUsageError", "COM256 adapter", 2, {}, {"bad port 'COM256'"}},
};

class AdapterCommandTest : public ::testing::TestWithParam<AdapterRun> {
 protected:
  void SetUp() override {
    machine_.Install();
    AddFtdi(kFtdi3, "COM3", 16);
    AddFtdi(kFtdi5, "COM5", 1);
    machine_.AddPort(Parameters(kFtdi6), "COM6");
    AddFtdi(kFtdi7, "COM7", 16);
    machine_.DenyWrites(Parameters(kFtdi7));
    AddFtdi(kFtdi8a, "COM8", 16);
    AddFtdi(kFtdi8b, "COM8", 4);
    machine_.AddPort(Parameters(kCdc4), "COM4");
    machine_.AddPort(Parameters(kNative1), "COM1");
  }
  void TearDown() override { machine_.Remove(); }

  void AddFtdi(const char* deviceId, const char* port, DWORD latency) {
    machine_.AddPort(Parameters(deviceId), port);
    machine_.SetValue(Parameters(deviceId), "LatencyTimer", REG_DWORD, Dword(latency));
  }

  ScratchMachine machine_;
};

TEST_P(AdapterCommandTest, PrintsWritesAndExitsAsItShould) {
  const AdapterRun& run = GetParam();
  std::ostringstream out;
  std::ostringstream err;
  zrvtool::RunContext context;
  context.out = &out;
  context.err = &err;
  bool dllLoaded = false;
  const auto loadDll = [&](auto*) {
    dllLoaded = true;
    return false;
  };
  std::istringstream words(run.args);
  const int status = zrvtool::Main(
      {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()}, context,
      loadDll, loadDll);

  EXPECT_EQ(status, run.exit) << "stdout:\n" << out.str() << "stderr:\n" << err.str();
  EXPECT_FALSE(dllLoaded) << "the adapter command needs no DLL";
  for (const std::string& text : run.out) {
    EXPECT_NE(out.str().find(text), std::string::npos) << "'" << text << "' not in:\n" << out.str();
  }
  for (const std::string& text : run.err) {
    EXPECT_NE(err.str().find(text), std::string::npos) << "'" << text << "' not in:\n" << err.str();
  }
  if (run.exit != 0) {
    EXPECT_EQ(out.str(), "") << "a failure prints to stderr only";
  }
  machine_.RestoreAccess();
  for (const char* node : run.changed) {
    EXPECT_EQ(machine_.Describe(Parameters(node), "LatencyTimer"), run.latencyAfter) << node;
  }
}

INSTANTIATE_TEST_SUITE_P(Zrvtool, AdapterCommandTest, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<AdapterRun>& info) {
                           return std::string(info.param.story);
                         });

TEST(AdapterCost, GrowsWithTheTimerThirtyTwoRepliesARead) {
  const struct {
    uint32_t timer;
    double readMs;
    double dumpSeconds;
  } costs[] = {{16, 512, 476.672}, {4, 128, 119.168}, {2, 64, 59.584}, {1, 32, 29.792}};
  for (const auto& cost : costs) {
    const zrvtool::TimerCost computed = zrvtool::CostOfTimer(cost.timer);
    EXPECT_DOUBLE_EQ(computed.record_read_ms, cost.readMs) << cost.timer;
    EXPECT_DOUBLE_EQ(computed.dump_seconds, cost.dumpSeconds) << cost.timer;
  }
}

}  // namespace
