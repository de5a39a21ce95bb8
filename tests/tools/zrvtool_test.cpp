// zrvtool's logic against an in-memory device: arguments, hex text, image files, the
// commands with their messages and exit statuses, and the progress line.
#include "zrvtool_lib.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fake_device.h"
#include "fault_command.h"
#include "kwelmora_version.h"
#include "simfaults/fault_setting.h"

using zrvtool::Command;
using zrvtool::Record;

namespace {

using Args = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

Record Pattern(int address) {
  Record record;
  for (int i = 0; i < zrvtool::kRecordSize; ++i) record[i] = (address * 7 + i * 13) & 0xFF;
  return record;
}

Bytes FullImage() {
  Bytes image;
  for (int address = 1; address <= zrvtool::kLastAddress; ++address) {
    const Record record = Pattern(address);
    image.insert(image.end(), record.begin(), record.end());
  }
  return image;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// ---- Arguments and hex text ------------------------------------------------

TEST(ZrvtoolArguments, AcceptedCommandLines) {
  const struct {
    Args args;
    Command command;
    int port, address, first, last;
    const char* file;
  } cases[] = {
      {{"COM3", "status"}, Command::kStatus, 3, 0, 1, 931, ""},
      {{"com12", "READ", "17"}, Command::kRead, 12, 17, 1, 931, ""},
      {{"0", "read", "0x3A3"}, Command::kRead, 0, 931, 1, 931, ""},
      {{"COM255", "dump", "all.img"}, Command::kDump, 255, 0, 1, 931, "all.img"},
      {{"1", "dump", "tail.img", "900"}, Command::kDump, 1, 0, 900, 931, "tail.img"},
      {{"1", "dump", "one.img", "0x10", "16"}, Command::kDump, 1, 0, 16, 16, "one.img"},
      {{"1", "restore", "all.img"}, Command::kRestore, 1, 0, 1, 931, "all.img"},
      {{"1", "verify", "part.img", "40"}, Command::kVerify, 1, 0, 40, 931, "part.img"},
      {{"--help"}, Command::kHelp, 0, 0, 1, 931, ""},
      {{"nonsense", "dump", "-h"}, Command::kHelp, 0, 0, 1, 931, ""},
      {{"--version"}, Command::kVersion, 0, 0, 1, 931, ""},
      {{"COM3", "status", "--version"}, Command::kVersion, 0, 0, 1, 931, ""},
      {{"--version", "--help"}, Command::kHelp, 0, 0, 1, 931, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    const zrvtool::ParseResult parsed = zrvtool::ParseArguments(c.args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.command, c.command);
    EXPECT_EQ(parsed.options.port, c.port);
    EXPECT_EQ(parsed.options.address, c.address);
    EXPECT_EQ(parsed.options.first, c.first);
    EXPECT_EQ(parsed.options.last, c.last);
    EXPECT_EQ(parsed.options.image_file, c.file);
  }
  // Record data: hex in one argument or several, blanks between bytes, or a file.
  const std::string hex = "000102030405060708090a0B0C0D0E0F101112131415161718191A1B1C1D";
  Record counting;
  for (int i = 0; i < 30; ++i) counting[i] = static_cast<std::uint8_t>(i);
  for (const Args& args :
       {Args{"3", "write", "5", hex}, Args{"3", "write", "5", zrvtool::FormatHex(counting)},
        Args{"3", "write", "5", hex.substr(0, 20), hex.substr(20)}}) {
    const zrvtool::ParseResult parsed = zrvtool::ParseArguments(args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.data, counting);
  }
  EXPECT_EQ(zrvtool::ParseArguments({"3", "write", "5", "--file", "r.bin"}).options.data_file,
            "r.bin");
  // --trace FILE anywhere; the command line around it is parsed as without it.
  for (const Args& args : {Args{"--trace", "t.log", "COM3", "read", "17"},
                           Args{"COM3", "read", "--trace", "t.log", "17"},
                           Args{"COM3", "read", "17", "--trace", "t.log"}}) {
    const zrvtool::ParseResult parsed = zrvtool::ParseArguments(args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.command, Command::kRead);
    EXPECT_EQ(parsed.options.address, 17);
    EXPECT_TRUE(parsed.options.trace);
    EXPECT_EQ(parsed.options.trace_file, "t.log");
  }
  EXPECT_FALSE(zrvtool::ParseArguments({"COM3", "status"}).options.trace);
  // fault: shown (nothing set), or the setting as the registry will hold it.
  for (const auto& [args, fault] : {std::pair<Args, std::string>{{"COM3", "fault"}, ""},
                                    {{"3", "fault", "Silent"}, "silent"},
                                    {{"3", "fault", "nak-record", "always"}, "nak-record always"},
                                    {{"3", "fault", "none", "always"}, "none"}}) {
    const zrvtool::ParseResult parsed = zrvtool::ParseArguments(args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.command, Command::kFault);
    EXPECT_EQ(parsed.options.set_fault ? simfaults::FormatSetting(parsed.options.fault) : "",
              fault);
  }
}

TEST(ZrvtoolArguments, RefusedCommandLinesSayWhy) {
  const std::string hex(60, 'a');
  const struct {
    Args args;
    const char* error;
  } cases[] = {
      {{}, "no port"},
      {{"COM3"}, "no command"},
      {{"COM256", "status"}, "bad port 'COM256'"},
      {{"LPT1", "status"}, "bad port"},
      {{"-1", "status"}, "bad port"},
      {{"3", "status", "1"}, "status takes no arguments"},
      {{"3", "read"}, "read takes one address"},
      {{"3", "read", "0"}, "bad address '0'"},
      {{"3", "read", "932"}, "bad address"},
      {{"3", "read", "0x3A4"}, "bad address"},
      {{"3", "read", "0x"}, "bad address"},
      {{"3", "read", "12a"}, "bad address"},
      {{"3", "read", "99999999999999999999"}, "bad address"},
      {{"3", "write", "5", "0102"}, "2 bytes given, a record is 30"},
      {{"3", "write", "5", hex + "00"}, "31 bytes given"},
      {{"3", "write", "5", hex.substr(1) + " 0"}, "odd number"},
      {{"3", "write", "5", hex.substr(2) + "zz"}, "not hex"},
      {{"3", "write", "5", "--file"}, "--file takes one"},
      {{"3", "dump", "f", "9", "5"}, "first address 9 is above last address 5"},
      {{"3", "verify", "f", "1", "2"}, "verify takes"},
      {{"3", "erase", "5"}, "unknown command 'erase'"},
      {{"3", "fault", "loud"}, "fault takes nothing, or a fault's name"},
      {{"3", "fault", "silent", "forever"}, "fault takes"},
      {{"3", "fault", "silent", "always", "x"}, "fault takes"},
      {{"3", "status", "--trace"}, "--trace takes a file name"},
      {{"--trace", "t.log", "3"}, "no command"},
  };
  for (const auto& c : cases) {
    const zrvtool::ParseResult parsed = zrvtool::ParseArguments(c.args);
    EXPECT_FALSE(parsed.ok);
    EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
  }
}

// The fault command against the registry itself, on a port no other test uses.
TEST(ZrvtoolFault, SetShownUsedAndValuesNamingNoFaultAreSaidSo) {
  zrvtool::Options options;
  options.command = Command::kFault;
  options.port = 251;
  auto run = [&](const std::string& fault) {
    options.set_fault = !fault.empty();
    simfaults::ParseSetting(fault, &options.fault);
    std::ostringstream out, err;
    EXPECT_EQ(zrvtool::RunFaultCommand(options, out, err), zrvtool::kExitOk) << err.str();
    return out.str();
  };
  EXPECT_EQ(run("nak-record always"), "COM251: nak-record, every transaction\n");
  EXPECT_EQ(run(""), "COM251: nak-record, every transaction\n");
  // The simulator takes a fault for once away only while it is still the one it used.
  EXPECT_EQ(run("silent"), "COM251: silent, once\n");
  simfaults::RemoveUsedFault(251, {simfaults::Fault::Silent, true});
  EXPECT_EQ(run(""), "COM251: silent, once\n");
  simfaults::RemoveUsedFault(251, {simfaults::Fault::Silent, false});
  EXPECT_EQ(run(""), "COM251: no fault\n");
  const char* key = "Software\\Kwelmora\\Simulator\\Faults";
  RegSetKeyValueA(HKEY_CURRENT_USER, key, "COM251", REG_SZ, "loud", 5);
  EXPECT_EQ(run(""), "COM251: 'loud' names no fault: the simulator ignores it\n");
  EXPECT_EQ(simfaults::ReadFault(251).fault, simfaults::Fault::None);
  const DWORD number = 2;
  RegSetKeyValueA(HKEY_CURRENT_USER, key, "COM251", REG_DWORD, &number, sizeof number);
  EXPECT_EQ(run(""), "COM251: (not a fault's name) names no fault: the simulator ignores it\n");
  EXPECT_EQ(run("none"), "COM251: no fault\n");
}

TEST(ZrvtoolHex, EveryByteValueSurvivesFormatAndParse) {
  for (int start = 0; start < 256; start += 30) {
    Record record, back{};
    for (int i = 0; i < 30; ++i) record[i] = static_cast<std::uint8_t>((start + i) & 0xFF);
    std::string error;
    ASSERT_TRUE(zrvtool::ParseHexRecord(zrvtool::FormatHex(record), &back, &error)) << error;
    EXPECT_EQ(back, record);
  }
  Record record{};
  const std::string text = "Hello ZRV ~ 0123456789";
  std::copy(text.begin(), text.end(), record.begin());
  record[25] = 0x7F;
  record[27] = 0xE6;
  record[28] = ' ';
  EXPECT_EQ(zrvtool::FormatText(record), "Hello ZRV ~ 0123456789...... .");
  EXPECT_EQ(zrvtool::FormatHex(record).substr(0, 14), "48 65 6C 6C 6F");
}

// ---- Commands against the fake device --------------------------------------

int g_after_calls = 0;

class ZrvtoolRun : public ::testing::Test {
 protected:
  ZrvtoolRun() { Fresh(); }
  ~ZrvtoolRun() override {
    for (const std::string& path : files_) std::remove(path.c_str());
  }

  void Fresh() {
    device_.reset();
    device_ = std::make_unique<FakeDevice>();
    g_after_calls = 0;
    stop_ = false;
    out_.str("");
    err_.str("");
  }
  int Run(const Args& args, bool dll_loads = true) {
    zrvtool::RunContext context;
    context.out = &out_;
    context.err = &err_;
    context.clock = [this] { return now_ += 0.05; };
    context.stop = &stop_;
    context.after_call = [] { ++g_after_calls; };
    return zrvtool::Main(
        args, context,
        [&](zrvtool::DeviceApi* api) {
          if (dll_loads) *api = device_->Api();
          return dll_loads;
        },
        [&](zrvtool::LibraryVersion* library) {
          ++describe_calls_;
          if (dll_loads) *library = library_;
          return dll_loads;
        });
  }
  // CTest runs tests side by side, each in its own process, and they share the
  // temporary folder: the process id keeps one test's files from another's.
  std::string Path(const std::string& name) {
    files_.push_back(::testing::TempDir() + "zrvtool_" + std::to_string(GetCurrentProcessId()) +
                     "_" + name);
    return files_.back();
  }
  std::string WriteFile(const std::string& name, const Bytes& bytes) {
    std::string error;
    const std::string path = Path(name);
    EXPECT_TRUE(zrvtool::WriteFileBytes(path, bytes, &error)) << error;
    return path;
  }
  static bool Exists(const std::string& path) {
    Bytes bytes;
    std::string error;
    return zrvtool::ReadFileBytes(path, &bytes, &error);
  }
  int Count(const std::string& call) const {
    return static_cast<int>(std::count(device_->log.begin(), device_->log.end(), call));
  }
  // The port opened was closed last, and sent messages were retrieved after every call.
  void ExpectTidyEnd() {
    ASSERT_FALSE(device_->log.empty()) << "no call reached the device";
    EXPECT_FALSE(device_->port_open);
    EXPECT_EQ(device_->log.back(), "close");
    EXPECT_EQ(Count("close"), 1);
    EXPECT_EQ(g_after_calls, static_cast<int>(device_->log.size()));
  }

  std::unique_ptr<FakeDevice> device_;
  std::ostringstream out_, err_;
  std::atomic<bool> stop_{false};
  double now_ = 0;
  std::vector<std::string> files_;
  zrvtool::LibraryVersion library_{"C:\\tools\\Kwelmora.dll", "0.1.0"};
  int describe_calls_ = 0;
};

TEST_F(ZrvtoolRun, StatusReadAndWriteTalkToTheDevice) {
  device_->status = 0x9C;
  EXPECT_EQ(Run({"COM3", "status"}), zrvtool::kExitOk);
  EXPECT_EQ(out_.str(), "status 0x9C (156)\n");
  EXPECT_EQ(device_->log.front(), "open 3");
  ExpectTidyEnd();

  Fresh();
  device_->record(17) = Pattern(17);
  EXPECT_EQ(Run({"4", "read", "17"}), zrvtool::kExitOk);
  EXPECT_EQ(out_.str(), "record 17\nhex  " + zrvtool::FormatHex(Pattern(17)) + "\ntext " +
                            zrvtool::FormatText(Pattern(17)) + "\n");
  ExpectTidyEnd();

  Fresh();
  EXPECT_EQ(Run({"4", "write", "931", "--file", WriteFile("r.bin", Bytes(30, 0x5A))}), 0);
  Record written;
  written.fill(0x5A);
  EXPECT_EQ(device_->record(931), written);
  ExpectTidyEnd();
  EXPECT_EQ(err_.str(), "");
}

TEST_F(ZrvtoolRun, DumpOfARangeHoldsJustThoseRecordsAndVerifiesFromItsFirstAddress) {
  for (int address = 1; address <= 931; ++address) device_->record(address) = Pattern(address);
  const std::string path = Path("range.img");
  EXPECT_EQ(Run({"COM3", "dump", path, "5", "0x9"}), zrvtool::kExitOk);
  Bytes image;
  std::string error;
  ASSERT_TRUE(zrvtool::ReadFileBytes(path, &image, &error));
  const Bytes full = FullImage();
  EXPECT_EQ(image, Bytes(full.begin() + 4 * 30, full.begin() + 9 * 30));
  EXPECT_EQ(Count("read 4") + Count("read 10"), 0);
  ExpectTidyEnd();

  Fresh();
  for (int address = 5; address <= 9; ++address) device_->record(address) = Pattern(address);
  EXPECT_EQ(Run({"COM3", "verify", path, "5"}), zrvtool::kExitOk);
  EXPECT_NE(out_.str().find("all 5 records (5..9) match"), std::string::npos) << out_.str();
}

TEST_F(ZrvtoolRun, RestoreWritesAFullImageAndReadsEveryRecordBack) {
  EXPECT_EQ(Run({"COM3", "restore", WriteFile("full.img", FullImage())}), zrvtool::kExitOk);
  for (int address = 1; address <= 931; ++address) {
    ASSERT_EQ(device_->record(address), Pattern(address)) << "record " << address;
  }
  EXPECT_EQ(device_->log.size(), 2u + 2u * 931u);
  EXPECT_EQ(Count("write 931") + Count("read 931"), 2);
  EXPECT_NE(out_.str().find("931 records written and verified"), std::string::npos);
  ExpectTidyEnd();
}

TEST_F(ZrvtoolRun, DifferencesAreReportedByAddressAndExitOne) {
  // restore: a device that stores two records wrongly; every record is still written.
  device_->stuck_bits[2] = 0x01;
  device_->stuck_bits[700] = 0x80;
  const std::string full = WriteFile("full.img", FullImage());
  EXPECT_EQ(Run({"COM3", "restore", full}), zrvtool::kExitFailed);
  std::string out = out_.str();
  EXPECT_NE(out.find("record 2 reads back differently (1 of 30 bytes, first at byte 7"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("record 700 reads back differently"), std::string::npos);
  EXPECT_NE(out.find("restore: 2 of 931 records read back differently"), std::string::npos);
  EXPECT_EQ(device_->record(931), Pattern(931));
  ExpectTidyEnd();

  // verify: reads only, and names each differing record.
  Fresh();
  for (int address = 1; address <= 931; ++address) device_->record(address) = Pattern(address);
  device_->record(17)[0] ^= 0xFF;
  device_->record(17)[29] ^= 0xFF;
  device_->record(931)[3] ^= 0x10;
  EXPECT_EQ(Run({"COM3", "verify", full}), zrvtool::kExitFailed);
  out = out_.str();
  EXPECT_NE(out.find("record 17 differs (2 of 30 bytes, first at byte 0"), std::string::npos);
  EXPECT_NE(out.find("record 931 differs (1 of 30 bytes, first at byte 3"), std::string::npos);
  EXPECT_EQ(Lines(out).size(), 3u) << out;
  EXPECT_NE(out.find("verify: 2 of 931 records (1..931) differ"), std::string::npos);
  EXPECT_EQ(Count("read 931"), 1);
  EXPECT_EQ(Count("write 1"), 0);
  ExpectTidyEnd();
}

TEST_F(ZrvtoolRun, EveryResultCodeIsReportedWithItsMeaningAndExitOne) {
  const char* meanings[] = {
      "",
      "the port has not been opened successfully",
      "no device: the presence check failed (device absent, cable unplugged or port closed)",
      "a byte could not be sent",
      "a byte did not arrive within the one-second read time-out",
      "the device refused the command or a request for the next byte",
      "the device refused the location block",
      "the device refused the 30 bytes written",
      "the device answered something other than ACK or NAK",
      "invalid argument: address outside 1..931 or a null pointer",
  };
  const std::string full = WriteFile("full.img", FullImage());
  for (unsigned char code = 1; code <= 9; ++code) {
    const std::string error = ": error " + std::to_string(code) + " (" + meanings[code] + ")\n";
    const struct {
      Args args;
      std::string message;
    } commands[] = {
        {{"COM3", "read", "17"}, "read 17" + error},
        {{"COM3", "write", "17", std::string(60, '0')}, "write 17" + error},
        {{"COM3", "status"}, "status" + error},
        {{"COM3", "dump", Path("failed.img"), "15", "20"}, "read 17" + error},
        {{"COM3", "verify", full}, "read 17" + error},
        {{"COM3", "restore", full}, "write 17" + error},
    };
    for (const auto& command : commands) {
      SCOPED_TRACE(command.args[1] + " answered " + std::to_string(code));
      Fresh();
      device_->read_results[17] = device_->write_results[17] = device_->status_result = code;
      EXPECT_EQ(Run(command.args), zrvtool::kExitFailed);
      EXPECT_NE(err_.str().find(command.message), std::string::npos) << err_.str();
      ExpectTidyEnd();
    }
  }
  EXPECT_EQ(zrvtool::DescribeFailure("status", 200), "status: error 200 (unknown result code)");
}

TEST_F(ZrvtoolRun, APortThatCannotBeOpenedIsSaidSoAndStillClosed) {
  device_->open_succeeds = false;
  EXPECT_EQ(Run({"COM250", "read", "1"}), zrvtool::kExitFailed);
  EXPECT_EQ(err_.str(), "COM250: the port could not be opened\n");
  EXPECT_EQ(device_->log, (Args{"open 250", "close"}));
  EXPECT_EQ(g_after_calls, 2);
}

TEST_F(ZrvtoolRun, UsageErrorsExitTwoWithoutTouchingThePort) {
  const struct {
    Args args;
    const char* error;
  } cases[] = {
      {{"COM3", "read", "932"}, "bad address"},
      {{"COM3", "restore", Path("missing.img")}, "cannot open"},
      {{"COM3", "restore", WriteFile("short.img", Bytes(27900))},
       "holds 27900 bytes; restore takes a full image of 27930 bytes"},
      {{"COM3", "verify", WriteFile("ragged.img", Bytes(45))}, "45 bytes"},
      {{"COM3", "verify", WriteFile("two.img", Bytes(60)), "931"}, "to 931"},
      {{"COM3", "write", "5", "--file", WriteFile("29.bin", Bytes(29))},
       "holds 29 bytes, a record is exactly 30"},
      {{"COM3", "dump", ::testing::TempDir() + "no/such/folder/x.img"}, "cannot write"},
  };
  for (const auto& c : cases) {
    err_.str("");
    EXPECT_EQ(Run(c.args), zrvtool::kExitUsage);
    EXPECT_NE(err_.str().find(c.error), std::string::npos) << err_.str();
  }
  // Kwelmora.dll or an export missing (the loader has said which).
  EXPECT_EQ(Run({"COM3", "status"}, false), zrvtool::kExitUsage);
  EXPECT_TRUE(device_->log.empty());
  EXPECT_EQ(Run({"--help"}, false), zrvtool::kExitOk);
  EXPECT_NE(out_.str().find("27930 bytes"), std::string::npos);
}

TEST_F(ZrvtoolRun, VersionNamesTheToolAndTheLoadedDllWithItsPathWithoutTouchingThePort) {
  const std::string tool = "zrvtool " KWELMORA_VERSION_STRING "\n";
  const struct {
    zrvtool::LibraryVersion library;
    bool loads;
    int exit;
    std::string out;
  } cases[] = {
      {{"C:\\tools\\Kwelmora.dll", "2.3.4"},
       true,
       zrvtool::kExitOk,
       tool + "Kwelmora.dll 2.3.4 (C:\\tools\\Kwelmora.dll)\n"},
      {{"C:\\sim\\Kwelmora.dll", "2.3.4", true},
       true,
       zrvtool::kExitOk,
       tool + "Kwelmora.dll 2.3.4 simulator (C:\\sim\\Kwelmora.dll)\n"},
      {{"Z:\\old\\Kwelmora.dll", ""},
       true,
       zrvtool::kExitOk,
       tool + "Kwelmora.dll without a version resource (Z:\\old\\Kwelmora.dll)\n"},
      // The DLL cannot be loaded (the loader has said why): the tool's own version, exit 2.
      {{}, false, zrvtool::kExitUsage, tool},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    out_.str("");
    library_ = c.library;
    EXPECT_EQ(Run({"--version"}, c.loads), c.exit);
    EXPECT_EQ(out_.str(), c.out);
  }
  EXPECT_EQ(describe_calls_, 4);
  EXPECT_TRUE(device_->log.empty());
  EXPECT_EQ(g_after_calls, 0);
}

TEST_F(ZrvtoolRun, TraceSetsTheVariableBeforeTheDllIsLoadedAndOnlyWhenAsked) {
  SetEnvironmentVariableA(zrvtool::kTraceVariable, nullptr);
  const auto variable_at_load = [this](const Args& args) {
    std::string seen = "(absent)";
    zrvtool::RunContext context;
    context.out = &out_;
    context.err = &err_;
    context.after_call = [] {};
    zrvtool::Main(
        args, context,
        [&](zrvtool::DeviceApi* api) {
          char value[64];
          SetLastError(ERROR_SUCCESS);
          const DWORD length =
              GetEnvironmentVariableA(zrvtool::kTraceVariable, value, sizeof value);
          if (length != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND)
            seen = std::string(value, length);
          *api = device_->Api();
          return true;
        },
        [](zrvtool::LibraryVersion*) { return false; });
    return seen;
  };
  EXPECT_EQ(variable_at_load({"COM3", "status"}), "(absent)");
  EXPECT_EQ(variable_at_load({"COM3", "status", "--trace", "C:\\field\\zrv.log"}),
            "C:\\field\\zrv.log");
  EXPECT_EQ(variable_at_load({"--trace", "", "COM3", "status"}), "");
  // A command line that is refused sets nothing.
  SetEnvironmentVariableA(zrvtool::kTraceVariable, nullptr);
  EXPECT_EQ(Run({"COM3", "read", "932", "--trace", "x.log"}), zrvtool::kExitUsage);
  char value[8];
  EXPECT_EQ(GetEnvironmentVariableA(zrvtool::kTraceVariable, value, sizeof value), 0u);
  SetEnvironmentVariableA(zrvtool::kTraceVariable, nullptr);
}

TEST_F(ZrvtoolRun, CtrlCStopsAfterTheCurrentRecordClosesAndLeavesNoImage) {
  const std::string path = Path("interrupted.img");
  device_->on_read = [this](int address) { stop_ = address == 3; };
  EXPECT_EQ(Run({"COM3", "dump", path}), zrvtool::kExitFailed);
  EXPECT_NE(err_.str().find("interrupted after 3 of 931 records"), std::string::npos);
  EXPECT_EQ(Count("read 4"), 0);
  EXPECT_FALSE(Exists(path));
  ExpectTidyEnd();

  // A failed dump leaves an older file of that name as it was.
  Fresh();
  device_->read_results[400] = KWELMORA_RECEIVE_FAILED;
  const std::string older = WriteFile("older.img", Bytes(60, 0x33));
  EXPECT_EQ(Run({"COM3", "dump", older}), zrvtool::kExitFailed);
  EXPECT_NE(err_.str().find("'" + older + "' not written"), std::string::npos);
  Bytes kept;
  std::string error;
  ASSERT_TRUE(zrvtool::ReadFileBytes(older, &kept, &error));
  EXPECT_EQ(kept, Bytes(60, 0x33));
}

// ---- Progress --------------------------------------------------------------

TEST(ZrvtoolProgress, LineShowsCountsRateAndTimeLeft) {
  const struct {
    int done, total;
    double elapsed;
    const char* line;
  } cases[] = {
      {0, 931, 0.0, "dump [------------------------]    0/931    0%  -- rec/s  --:-- left"},
      {93, 931, 4.65, "dump [##----------------------]   93/931    9%  20.0 rec/s  0:42 left"},
      {466, 931, 10.0, "dump [############------------]  466/931   50%  46.6 rec/s  0:10 left"},
      {931, 931, 75.2, "dump [########################]  931/931  100%  12.4 rec/s  done in 1:15"},
      {1, 3, 0.0, "dump [########----------------]  1/3   33%  -- rec/s  --:-- left"},
      {10, 931, 10.0, "dump [------------------------]   10/931    1%  1.0 rec/s  15:21 left"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zrvtool::FormatProgressLine("dump", c.done, c.total, c.elapsed), c.line);
  }
  EXPECT_EQ(zrvtool::FormatDuration(59.6), "1:00");
  EXPECT_EQ(zrvtool::FormatDuration(3723), "1:02:03");
  EXPECT_EQ(zrvtool::FormatDuration(-4), "0:00");
}

TEST(ZrvtoolProgress, LogsGetALineEveryTenthConsolesARedrawnLine) {
  double now = 0;
  auto clock = [&now] { return now; };
  for (const auto& log : {std::pair<int, std::size_t>{931, 10}, {100, 10}, {5, 5}, {1, 1}}) {
    std::ostringstream err;
    zrvtool::Progress progress(err, false, clock, "verify", log.first);
    for (int done = 1; done <= log.first; ++done) progress.Update(done);
    EXPECT_EQ(Lines(err.str()).size(), log.second) << "total " << log.first;
    EXPECT_EQ(err.str().find('\r'), std::string::npos);
    EXPECT_NE(Lines(err.str()).back().find("done in"), std::string::npos);
  }

  // On a console: one line redrawn in place, padded over a longer line drawn before.
  std::ostringstream err;
  zrvtool::Progress progress(err, true, clock, "dump", 200);
  now = 1000;
  progress.Update(1);  // 0.0 rec/s, 55:16:40 left
  now = 1010;
  progress.Update(100);  // 0.1 rec/s, 16:50 left: three characters shorter
  progress.Break();      // a message between records starts on a line of its own
  err << "record 100 differs\n";
  progress.Update(200);
  const std::vector<std::string> lines = Lines(err.str());
  ASSERT_EQ(lines.size(), 3u);
  const std::size_t second = lines[0].find('\r', 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(second, lines[0].size() - second);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 3), "   ");
  EXPECT_EQ(lines[1], "record 100 differs");
  EXPECT_EQ(lines[2].substr(0, 6), "\rdump ");
  EXPECT_NE(lines[2].find("done in 16:50"), std::string::npos) << lines[2];
}

}  // namespace
