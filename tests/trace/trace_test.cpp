// The trace as a support engineer reads it: a faulty transaction leaves the lines
// that say what happened (the bytes with their parities, the refusal, the recorded
// failure, the code); lines of the host's thread, the worker and the watcher come
// whole and in time order; the file stays under its cap.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kwelmora.h"
#include "library/last_error.h"
#include "test_support.h"
#include "trace/trace_scene.h"

namespace trace_test {
namespace {

using reliability::Exchange;
using reliability::Pattern;
using reliability::Record;
using reliability::Transaction;
using sim::LineError;
using sim::Reply;
using sim::ZrvFault;

constexpr uint16_t kAddress = 466;  // location 526: 0E 02

std::string Hex(const Record& record) {
  std::string text;
  char digits[4];
  for (std::size_t i = 0; i < record.size(); ++i) {
    std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", record[i]);
    text += digits;
  }
  return text;
}

// A transaction spoiled in one place, and the lines that must say so, in order
// (regular expressions searched in "thread text").
struct FaultCase {
  const char* name;
  Exchange exchange;
  std::function<void(sim::ZrvDevice&, sim::VirtualSerialDriver&)> arm;
  uint8_t expected;  // 0xFF: whatever the library answers; the trace must give it
  std::vector<std::string> lines;
  std::vector<std::string> anywhere = {};  // lines whose place depends on the threads
};

const std::string kCommandHeader =
    "host    presence check: RTS off, lines seen: CTS off.*; CTS followed";

std::vector<FaultCase> FaultCases() {
  const std::string written = Hex(Pattern(2));
  return {
      {"device NAKs the location block: 6",
       Exchange::Read,
       [](sim::ZrvDevice& device, sim::VirtualSerialDriver&) {
         device.InjectFault({Reply::ReadLocationAck}, ZrvFault::Nak());
       },
       KWELMORA_LOCATION_REFUSED,
       {"^host    call OdczytanieBajtowZZRV\\(address 466\\)$", kCommandHeader,
        "^host    presence check: DTR on, lines seen: CTS on, DSR on, RI on, DCD off; RI followed$",
        "^host    parity switch to odd: done$",
        "^host    purge of both queues and pending transfers: done$",
        "^worker  sent 04 parity odd$", "^worker  received 06 parity odd$", "^host    reply ACK$",
        "^host    parity switch to even: done$", "^worker  sent 0E parity even$",
        "^worker  sent 02 parity even$", "^worker  sent 1E parity even$",
        "^worker  received 15 parity even$",
        "^host    reply NAK: the device refused the location block \\(6\\)$",
        "^host    return OdczytanieBajtowZZRV = 6 \\(the device refused the location block\\) "
        "after [0-9]+\\.[0-9]{2} ms; bytes received: none$"}},
      {"device NAKs the write command: 5",
       Exchange::Write,
       [](sim::ZrvDevice& device, sim::VirtualSerialDriver&) {
         device.InjectFault({Reply::WriteCommandAck}, ZrvFault::Nak());
       },
       KWELMORA_COMMAND_REFUSED,
       {"^host    call ZapisanieBajtowDoZRV\\(address 466, data " + written + "\\)$",
        "^worker  sent 02 parity odd$", "^worker  received 15 parity odd$",
        "^host    reply NAK: the device refused the command or a request for the next byte "
        "\\(5\\)$",
        "^host    return ZapisanieBajtowDoZRV = 5 "}},
      {"device NAKs the third request of a read: 5, two bytes received",
       Exchange::Read,
       [](sim::ZrvDevice& device, sim::VirtualSerialDriver&) {
         device.InjectFault({Reply::ReadRequestAck, 2}, ZrvFault::Nak());
       },
       KWELMORA_COMMAND_REFUSED,
       {"^worker  sent 05 parity odd$", "^worker  received 06 parity odd$",
        "^worker  received " + Hex(Pattern(1)).substr(0, 2) + " parity odd$",
        "^worker  sent 05 parity odd$", "^worker  received " + Hex(Pattern(1)).substr(3, 2),
        "^worker  sent 05 parity odd$", "^worker  received 15 parity odd$",
        "^host    reply NAK: the device refused the command",
        "^host    return OdczytanieBajtowZZRV = 5 .*; bytes received: " +
            Hex(Pattern(1)).substr(0, 5) + " \\(2 of 30\\)$"}},
      {"device answers 41 to the read command: 8",
       Exchange::Read,
       [](sim::ZrvDevice& device, sim::VirtualSerialDriver&) {
         device.InjectFault({Reply::ReadCommandAck}, ZrvFault::Byte(0x41));
       },
       KWELMORA_BAD_REPLY,
       {"^worker  sent 04 parity odd$", "^worker  received 41 parity odd$",
        "^host    reply 41: the device answered neither ACK nor NAK \\(8\\)$",
        "^host    return OdczytanieBajtowZZRV = 8 "}},
      {"device silent after the status request: 4, the time-out recorded by the worker",
       Exchange::Status,
       [](sim::ZrvDevice& device, sim::VirtualSerialDriver&) {
         device.InjectFault({Reply::StatusByte}, ZrvFault::Silence());
       },
       KWELMORA_RECEIVE_FAILED,
       {"^host    call OdczytanieBajtuStatusuZRV\\(status buffer\\)$",
        "^worker  sent 01 parity odd$",
        "^worker  error recorded: code -?[0-9]+ \"Timeout odczytu.\"$",
        "^worker  received nothing \\(port parity odd\\)$",
        "^host    return OdczytanieBajtuStatusuZRV = 4 \\(no byte within the read time-out\\)"}},
      {"parity error instead of the location ACK: 4, the error cleared on the host's thread",
       Exchange::Read,
       [](sim::ZrvDevice& device, sim::VirtualSerialDriver&) {
         device.InjectFault({Reply::ReadLocationAck}, ZrvFault::Error(LineError::Parity));
       },
       KWELMORA_RECEIVE_FAILED,
       {"^worker  sent 1E parity even$", "^worker  error recorded: code 995 ",
        "^worker  received nothing \\(port parity even\\)$",
        "^host    return OdczytanieBajtowZZRV = 4 ",
        "^host    line events .* handled; port errors cleared: CE_RXPARITY$"},
       // The watcher's hand-over may come before the result or after it.
       {"^watcher line events .*EV_ERR.*: handing over to the host's thread$"}},
      {"the port refuses the first record byte: 3",
       Exchange::Write,
       [](sim::ZrvDevice&, sim::VirtualSerialDriver& driver) {
         driver.FailCall(sim::Call::WriteFile, ERROR_GEN_FAILURE, 4);
       },
       KWELMORA_SEND_FAILED,
       {"^worker  sent 1E parity even$", "^worker  received 06 parity even$", "^host    reply ACK$",
        "^worker  error recorded: code 31 \"Niepoprawny zapis do portu.\"$",
        "^worker  NOT sent " + written.substr(0, 2) + " parity even$",
        "^host    return ZapisanieBajtowDoZRV = 3 \\(a byte could not be sent\\)"}},
      {"the parity switch to even fails: the failure and the parity kept",
       Exchange::Read,
       [](sim::ZrvDevice&, sim::VirtualSerialDriver& driver) {
         driver.FailCall(sim::Call::SetCommState, ERROR_GEN_FAILURE, 1);
       },
       KWELMORA_SEND_FAILED,
       {"^worker  sent 04 parity odd$",
        "^host    error recorded: code 31 \"Błąd podczas aktualizacji bloku kontroli danych.\"$",
        "^host    parity switch to even: FAILED, code 31; the port keeps parity odd$",
        "^host    return OdczytanieBajtowZZRV = 3 \\(a byte could not be sent\\)"}},
      {"cable unplugged: 2, the presence step that failed",
       Exchange::Status,
       [](sim::ZrvDevice& device, sim::VirtualSerialDriver&) { device.Unplug(true); },
       KWELMORA_NO_DEVICE,
       {"^host    presence check: RTS off, lines seen: CTS off, DSR off, RI off, DCD off; CTS "
        "followed$",
        "^host    presence check: RTS on, lines seen: CTS off, DSR off, RI off, DCD off; CTS did "
        "NOT follow: no device$",
        "^host    return OdczytanieBajtuStatusuZRV = 2 \\(no device"}},
  };
}

TEST_F(TraceTest, FaultyTransactionsLeaveTheirBytesParitiesRefusalFailureAndCode) {
  driver().SetTimeScale(0.01);  // a silent device costs 10 ms
  const std::wstring path = folder.Path(L"trace.log");
  TraceTo(path);
  for (const FaultCase& c : FaultCases()) {
    SCOPED_TRACE(c.name);
    // Each case in an opening of its own: the parity starts from the port's.
    Open();
    device.WriteRecord(kAddress, Pattern(1));
    c.arm(device, driver());
    const Transaction result = Run(c.exchange, kAddress, Pattern(2));
    if (c.expected != 0xFF) {
      EXPECT_EQ(result.code, c.expected);
    }
    ASSERT_TRUE(Settle());  // the line events handled on this thread
    ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
    device.Unplug(false);
    device.ClearFaults();

    const std::vector<TracedLine> lines = LastOpening(ParseAll(ReadLines(path)));
    EXPECT_TRUE(MatchInOrder(lines, c.lines));
    for (const std::string& pattern : c.anywhere) {
      EXPECT_TRUE(MatchInOrder(lines, {pattern}));
    }
    // Whatever the code, the result line gives it, and the close follows.
    const char* name = c.exchange == Exchange::Status ? "OdczytanieBajtuStatusuZRV"
                       : c.exchange == Exchange::Read ? "OdczytanieBajtowZZRV"
                                                      : "ZapisanieBajtowDoZRV";
    EXPECT_TRUE(MatchInOrder(
        lines, {std::string("^host    return ") + name + " = " + std::to_string(result.code) + " ",
                "^host    port \\\\\\\\\\.\\\\COM7 closed",
                "^host    return OdinicjowanoPortSzeregowyDlaZRV = 1 \\(true\\)"}));
    EXPECT_TRUE(OffsetsNeverDecrease(lines));
  }
}

// The file's first line, or "".
std::string FirstLine(const std::wstring& path) {
  const std::vector<std::string> lines = ReadLines(path);
  return lines.empty() ? std::string() : lines.front();
}

TEST_F(TraceTest, AtTheCapTheFileIsRenamedWithDotOneAndANewOneStartsLosingNoLine) {
  constexpr uint64_t kCap = 32 * 1024;
  TraceWriter.SetCap(kCap);
  const std::wstring path = folder.Path(L"trace.log");
  const std::wstring older = path + L".1";
  TraceTo(path);
  Open();
  // Until the second rotation has replaced the first .1 (which starts with the
  // header) with one that starts where the trace continued.
  unsigned reads = 0;
  while (FirstLine(older).find("trace continues") == std::string::npos) {
    ASSERT_LT(++reads, 200u) << "no second rotation";
    Record buffer{};
    ASSERT_EQ(OdczytanieBajtowZZRV(static_cast<uint16_t>(reads), buffer.data()), KWELMORA_OK);
  }
  EXPECT_LE(SizeOf(path), kCap);
  EXPECT_LE(SizeOf(older), kCap);
  EXPECT_GT(SizeOf(older), kCap - 4096) << "filled up to the cap before it was rotated";
  const std::string continued = "^host    trace continues; the lines before are in " +
                                std::regex_replace(Utf8(older), std::regex(R"([\\.])"), R"(\$&)") +
                                "$";
  EXPECT_TRUE(MatchInOrder(ParseAll(ReadLines(path)), {continued}));
  EXPECT_TRUE(std::regex_search(ReadLines(path).front(), std::regex(continued.substr(1))));

  // The two files read as one: whole lines in time order, every call with its
  // result, none lost at the seam.
  std::vector<std::string> both = ReadLines(older);
  for (const std::string& line : ReadLines(path)) both.push_back(line);
  const std::vector<TracedLine> lines = ParseAll(both);
  EXPECT_TRUE(OffsetsNeverDecrease(lines));
  int open = 0;
  unsigned calls = 0;
  for (const TracedLine& line : lines) {
    if (line.text.rfind("call OdczytanieBajtowZZRV(address ", 0) == 0) {
      EXPECT_EQ(open, 0) << "a call before the previous one's result";
      open = 1;
      ++calls;
    } else if (line.text.rfind("return OdczytanieBajtowZZRV = 0 ", 0) == 0) {
      EXPECT_LE(open, 1);
      open = 0;
    }
  }
  EXPECT_GT(calls, 2u);
}

TEST_F(TraceTest, AFileLeftAtTheCapByAnEarlierRunIsRotatedBeforeTheFirstLine) {
  const std::wstring path = folder.Path(L"trace.log");
  // An earlier run's file, 100 bytes short of the cap: the header does not fit.
  HANDLE earlier = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(earlier, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(earlier, "earlier run\r\n", 13, &written, nullptr));
  LARGE_INTEGER size;
  size.QuadPart = static_cast<LONGLONG>(TTraceWriter::kDefaultCap - 100);
  ASSERT_TRUE(SetFilePointerEx(earlier, size, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(earlier));
  CloseHandle(earlier);

  TraceTo(path);
  Open();
  EXPECT_EQ(SizeOf(path + L".1"), TTraceWriter::kDefaultCap - 100);
  EXPECT_EQ(ReadBytes(path + L".1").substr(0, 13), "earlier run\r\n");
  std::vector<TracedLine> lines = ParseAll(ReadLines(path));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].text.rfind("trace continues; the lines before are in ", 0), 0u);
  EXPECT_TRUE(IsHeader(lines[1]));

  // A file below the cap is appended to: the next opening keeps the lines before.
  ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  Open();
  lines = ParseAll(ReadLines(path));
  EXPECT_TRUE(
      MatchInOrder(lines, {"trace continues", "==== Kwelmora ",
                           "return OdinicjowanoPortSzeregowyDlaZRV = 1", "==== Kwelmora "}));
}

TEST_F(TraceTest, ARenameThatFailsStopsTheTraceAtTheCapWithALastLineSayingSo) {
  constexpr uint64_t kCap = 32 * 1024;
  TraceWriter.SetCap(kCap);
  const std::wstring path = folder.Path(L"trace.log");
  const std::wstring older = path + L".1";
  ASSERT_TRUE(CreateDirectoryW(older.c_str(), nullptr));  // in the way of the rename
  TraceTo(path);
  Open();
  unsigned reads = 0;
  while (TraceOn()) {
    ASSERT_LT(++reads, 200u) << "tracing did not stop";
    Record buffer{};
    ASSERT_EQ(OdczytanieBajtowZZRV(static_cast<uint16_t>(reads), buffer.data()), KWELMORA_OK);
  }
  const uint64_t size = SizeOf(path);
  EXPECT_LE(size, kCap);
  std::vector<TracedLine> lines = ParseAll(ReadLines(path));
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(std::regex_match(
      lines.back().text,
      std::regex("trace stopped: the file reached its cap of 32768 bytes and could not be "
                 "renamed with \\.1 appended \\(Windows error [0-9]+\\); tracing resumes at the "
                 "next opening of the port")));
  // The transfers go on as before, untraced.
  Record buffer{};
  EXPECT_EQ(OdczytanieBajtowZZRV(1, buffer.data()), KWELMORA_OK);
  EXPECT_EQ(SizeOf(path), size);

  // The next opening tries again; with the way clear the full file is rotated.
  ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  ASSERT_TRUE(RemoveDirectoryW(older.c_str()));
  Open();
  EXPECT_TRUE(TraceOn());
  EXPECT_EQ(SizeOf(older), size);
  lines = ParseAll(ReadLines(path));
  EXPECT_TRUE(MatchInOrder(lines, {"^host    trace continues", "^host    ==== Kwelmora "}));
}

TEST_F(TraceTest, HostWorkerWatcherAndOtherThreadsAtOnceLeaveWholeLinesInTimeOrder) {
  const std::wstring path = folder.Path(L"trace.log");
  TraceTo(path);
  Open();

  // Long lines straight to the writer from two more threads, all the while.
  constexpr unsigned kLongLines = 150;
  constexpr std::size_t kLongLength = 3000;
  const auto payload = [](unsigned writer, unsigned i) {
    return std::string(kLongLength, static_cast<char>('a' + (i + writer) % 26));
  };
  std::vector<std::thread> writers;
  for (unsigned writer = 0; writer < 2; ++writer) {
    writers.emplace_back([writer, &payload] {
      for (unsigned i = 0; i < kLongLines; ++i) {
        TraceLine line;
        line.Text("long ").Number(writer).Text(" ").Number(i).Text(" ");
        line.Text(payload(writer, i).c_str());
        TraceWriter.Write(line);
      }
    });
  }
  // The host's thread: records written and read back, with long call and result
  // lines; the worker moves the bytes; the watcher hands over the line changes of
  // each presence check as they happen, taken here between two transactions.
  for (unsigned i = 0; i < 25; ++i) {
    const uint16_t address = static_cast<uint16_t>(100 + i);
    EXPECT_EQ(Run(Exchange::Write, address, Pattern(i)).code, KWELMORA_OK);
    EXPECT_EQ(Run(Exchange::Read, address, Pattern(i)).code, KWELMORA_OK);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  }
  for (std::thread& writer : writers) writer.join();
  ASSERT_TRUE(Settle());

  const std::vector<TracedLine> lines = ParseAll(ReadLines(path));
  EXPECT_TRUE(OffsetsNeverDecrease(lines));
  unsigned longLines[2] = {0, 0};
  unsigned host = 0, worker = 0, watcher = 0;
  const std::regex longLine(R"(^long ([01]) ([0-9]+) ([a-z]+)$)");
  for (const TracedLine& line : lines) {
    std::smatch match;
    if (std::regex_match(line.text, match, longLine)) {
      const unsigned writer = static_cast<unsigned>(std::stoul(match[1].str()));
      const unsigned i = static_cast<unsigned>(std::stoul(match[2].str()));
      EXPECT_EQ(match[3].str(), payload(writer, i));
      EXPECT_EQ(i, longLines[writer]) << "in the order written";
      ++longLines[writer];
      EXPECT_EQ(line.thread[0], 't');
    }
    host += line.thread == "host";
    worker += line.thread == "worker";
    watcher += line.thread == "watcher";
  }
  EXPECT_EQ(longLines[0], kLongLines);
  EXPECT_EQ(longLines[1], kLongLines);
  EXPECT_GT(host, 100u);
  EXPECT_GT(worker, 100u);
  EXPECT_GT(watcher, 10u);
  std::printf("%zu lines: host %u, worker %u, watcher %u\n", lines.size(), host, worker, watcher);
}

// What a run of transactions gives the host and the device: for each transaction
// its code, the host's bytes and the last-error record once the line events are
// handled; every byte the device received, with its parity.
struct RunOutcome {
  std::vector<std::string> steps;
  std::vector<sim::ZrvDevice::ReceivedByte> received;
};

class TraceSafetyTest : public TraceTest {
 protected:
  // A fresh library, driver and device, as at the start of a test.
  void Restart() {
    OdinicjowanoPortSzeregowyDlaZRV();
    driver().AttachFarEnd(kPort, nullptr);
    ResetLibrary();
    driver().AddPort(kPort);
    driver().AttachFarEnd(kPort, &device);
    driver().SetTimeScale(0.01);
    device.ClearFaults();
    device.ClearLogs();
    device.Unplug(false);
    device.SetStatus(0x3C);
    for (unsigned address : {1u, 466u, 931u}) {
      device.WriteRecord(address, Pattern(address));
    }
  }

  // The same transactions, good and spoiled, whatever the trace does.
  RunOutcome RunScript() {
    Restart();
    RunOutcome outcome;
    struct Step {
      Exchange exchange;
      uint16_t address;
      std::function<void()> arm;
    };
    const std::vector<Step> script = {
        {Exchange::Status, 0, [] {}},
        {Exchange::Read, 466, [] {}},
        {Exchange::Write, 1, [] {}},
        {Exchange::Read, 1,
         [this] { device.InjectFault({Reply::ReadLocationAck}, ZrvFault::Nak()); }},
        {Exchange::Read, 931,
         [this] {
           device.InjectFault({Reply::ReadDataByte, 7}, ZrvFault::Silence());
         }},
        {Exchange::Status, 0,
         [this] { device.InjectFault({Reply::StatusByte}, ZrvFault::Silence()); }},
        {Exchange::Write, 931,
         [this] { driver().FailCall(sim::Call::WriteFile, ERROR_GEN_FAILURE, 9); }},
        {Exchange::Write, 466,
         [this] {
           sim::ForcedOutcome failure;
           failure.error = ERROR_GEN_FAILURE;
           driver().ForceOutcome(kPort, sim::IoKind::Write, failure, 2);
         }},
        {Exchange::Read, 466,
         [this] { driver().FailCall(sim::Call::SetCommState, ERROR_GEN_FAILURE, 1); }},
        {Exchange::Write, 2,
         [this] { device.InjectFault({Reply::WriteRecordAck}, ZrvFault::Byte(0x41)); }},
        {Exchange::Status, 0, [this] { device.Unplug(true); }},
        {Exchange::Read, 466, [this] { device.Unplug(false); }},
        {Exchange::Read, 0, [] {}},
    };
    const auto describe = [](const Transaction& t, const LastErrorRecord& record) {
      std::string text = "code " + std::to_string(t.code) + " status " + std::to_string(t.status) +
                         " buffer " + Hex(t.buffer) + " record " + std::to_string(record.code) +
                         " '" + record.text + "'";
      return text;
    };
    if (ZainicjowanoPortSzeregowyDlaZRV(static_cast<unsigned char>(kPort)) != 1 || !Settle()) {
      ADD_FAILURE() << "the port did not open";
      return outcome;
    }
    outcome.steps.push_back("opened, record '" + LastError().text + "'");
    for (const Step& step : script) {
      step.arm();
      Transaction before;
      before.buffer.fill(0xEE);
      const Transaction result =
          Run(step.exchange, step.address, Pattern(step.address + 7), before);
      EXPECT_TRUE(Settle());
      outcome.steps.push_back(describe(result, LastError()));
    }
    outcome.steps.push_back("closed " + std::to_string(OdinicjowanoPortSzeregowyDlaZRV()) +
                            ", record '" + LastError().text + "' " +
                            std::to_string(LastError().code));
    // A failed opening too.
    outcome.steps.push_back("COM250 " + std::to_string(ZainicjowanoPortSzeregowyDlaZRV(250)) +
                            ", record '" + LastError().text + "' " +
                            std::to_string(LastError().code));
    outcome.received = device.Received();
    return outcome;
  }
};

TEST_F(TraceSafetyTest, AnUnwritablePathOrAWrittenTraceChangesNoCodeByteOrRecord) {
  TraceTo(L"");
  const RunOutcome off = RunScript();
  ASSERT_GT(off.received.size(), 100u);

  const std::wstring unwritable[] = {
      folder.Path(L"no such folder\\trace.log"),  // the folder is missing
      folder.path(),                              // a folder, not a file
      L"NUL",                                     // a device, never written to
      L"COM7",                                    // the port itself, never opened
  };
  for (const std::wstring& path : unwritable) {
    SCOPED_TRACE(Utf8(path));
    TraceTo(path);
    const RunOutcome traced = RunScript();
    EXPECT_EQ(traced.steps, off.steps);
    EXPECT_EQ(traced.received, off.received);
    EXPECT_FALSE(TraceOn());
  }
  EXPECT_TRUE(folder.Names().empty()) << "nothing was created";

  // A file that fills up mid-run and cannot be rotated: tracing stops part-way.
  const std::wstring full = folder.Path(L"full.log");
  ASSERT_TRUE(CreateDirectoryW((full + L".1").c_str(), nullptr));
  TraceWriter.SetCap(16 * 1024);
  TraceTo(full);
  const RunOutcome stopped = RunScript();
  EXPECT_EQ(stopped.steps, off.steps);
  EXPECT_EQ(stopped.received, off.received);
  EXPECT_TRUE(
      MatchInOrder(ParseAll(ReadLines(full)), {"^host    ==== Kwelmora ", "trace stopped"}));
  TraceWriter.SetCap(TTraceWriter::kDefaultCap);

  const std::wstring path = folder.Path(L"trace.log");
  TraceTo(path);
  const RunOutcome traced = RunScript();
  EXPECT_EQ(traced.steps, off.steps);
  EXPECT_EQ(traced.received, off.received);
  // The trace was written all along: a header for each opening, the failed one too.
  const std::vector<TracedLine> lines = ParseAll(ReadLines(path));
  EXPECT_TRUE(MatchInOrder(
      lines, {"==== Kwelmora .*; initialising COM7; ", "return OdinicjowanoPortSzeregowyDlaZRV = 1",
              "==== Kwelmora .*; initialising COM250; ",
              "return ZainicjowanoPortSzeregowyDlaZRV = 0 \\(false\\)"}));
}

}  // namespace
}  // namespace trace_test
