// The library's costs on the virtual port, printed as one table:
// - one byte through the hand-off to the worker thread, against the same
//   overlapped transfer made on the calling thread, in the same run, against a far
//   end that echoes every byte at once;
// - the status read, the record read and the record write against a ZRV device
//   model that answers at once;
// - the same three with the line at 19200 baud (the device paces its replies, the
//   port paces the library's bytes: 11 bits a character), against the line's own
//   floor: the characters the exchange puts on the line, plus the four 1 ms pauses
//   of the presence check;
// - each transaction also as its bytes alone: the same purges, parity switches
//   and overlapped transfers made on the calling thread, without the hand-off and
//   the presence check, so that the library's share shows beside the line's;
// - the same three at 19200 baud through a USB-serial adapter whose latency timer
//   is 16, 4, 2 and 1 ms (sim/usb_serial_adapter.h), and without one, taking turns
//   round after round, against the line's floor plus one timer period for each
//   reply the exchange waits for, and the dump of all 931 records each mean record
//   read implies;
// - with --full, a dump of all 931 records at 19200 baud against the floor of its
//   characters alone (931 x 96 characters);
// - the hand-off and the record read with the diagnostic trace off and on (into a
//   file in the temporary folder), in alternating blocks with the port opened again
//   before each (KWELMORA_TRACE empty, then set), so that a machine whose load
//   drifts weighs on both alike; each of these rows is the median of its blocks'
//   means, and the floor of a tracing-on row is its tracing-off row.
// Every transaction must succeed; the program fails otherwise.
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "kwelmora.h"
#include "library/library_state.h"
#include "port/comm.h"
#include "port/hand_off.h"
#include "port/serial_io.h"
#include "trace/trace.h"
#include "virtual_serial.h"
#include "zrv_device.h"

namespace {

constexpr unsigned kPort = 3;
constexpr double kCharacterMs = 11.0 * 1000.0 / 19200.0;  // 0.573 ms at 19200 baud
constexpr double kPresencePausesMs = 4.0;                 // four Sleep(1)
// Characters on the line: status 1 + 1; read 4 + 1 + 1 + 30 x (1 + 2); write 4 + 1 + 30 + 1 + 1.
constexpr unsigned kStatusCharacters = 2;
constexpr unsigned kReadCharacters = 96;
constexpr unsigned kWriteCharacters = 37;
// The device's replies the host waits for, each of which an adapter holds back
// until its timer fires: status 1; read the command's ACK, the location's ACK and
// 30 x (ACK and record byte, which travel together); write 3 ACKs.
constexpr unsigned kStatusReplies = 1;
constexpr unsigned kReadReplies = 32;
constexpr unsigned kWriteReplies = 3;
constexpr unsigned kDumpRecords = 931;

// Answers every byte at once with the same byte; a loopback cable for the lines.
class Echo : public sim::FarEnd {
 public:
  void Attach(sim::LineSide* line) override { line_ = line; }
  void ReceiveFromPort(uint8_t value, sim::WireParity parity) override {
    if (line_ != nullptr) {
      line_->Send(value, parity);
    }
  }
  void OutputLinesChanged(bool rts, bool dtr) override {
    if (line_ != nullptr) {
      sim::InputLines lines;
      lines.cts = rts;
      lines.ring = dtr;
      line_->SetInputLines(lines);
    }
  }

 private:
  sim::LineSide* line_ = nullptr;
};

double NowMs() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// One overlapped transfer on this thread, the way the worker makes it.
bool DirectTransfer(HANDLE port, bool write, uint8_t* byte) {
  OVERLAPPED record{};
  record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD count = 0;
  BOOL done = write ? serial_io::WriteFile(port, byte, 1, &count, &record)
                    : serial_io::ReadFile(port, byte, 1, &count, &record);
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    WaitForSingleObject(record.hEvent, INFINITE);
    done = serial_io::GetOverlappedResult(port, &record, &count, TRUE);
  }
  CloseHandle(record.hEvent);
  return done && count == 1;
}

// The bytes of a transaction exchanged on this thread with plain overlapped
// transfers: the same purges and parity switches, no hand-off, no presence check.
// What the line and the virtual port take without the library's own costs.
class DirectExchange {
 public:
  explicit DirectExchange(TComm* port) : port_(port) {}

  uint8_t Status(uint8_t* status) {
    if (!Command(1)) return KWELMORA_SEND_FAILED;
    return Receive(status) ? KWELMORA_OK : KWELMORA_RECEIVE_FAILED;
  }

  uint8_t Read(uint16_t address, uint8_t* buffer) {
    uint8_t result = Header(address, 4);
    for (unsigned i = 0; i < 30 && result == KWELMORA_OK; ++i) {
      uint8_t reply = 0;
      if (!Command(5)) return KWELMORA_SEND_FAILED;
      if (!Receive(&reply) || reply != 6 || !Receive(&buffer[i])) result = KWELMORA_RECEIVE_FAILED;
    }
    return result;
  }

  uint8_t Write(uint16_t address, const uint8_t* data) {
    uint8_t result = Header(address, 2);
    for (unsigned i = 0; i < 30 && result == KWELMORA_OK; ++i) {
      if (!Data(data[i])) return KWELMORA_SEND_FAILED;
    }
    uint8_t reply = 0;
    if (result == KWELMORA_OK && (!Receive(&reply) || reply != 6)) result = KWELMORA_RECORD_REFUSED;
    return result;
  }

 private:
  uint8_t Header(uint16_t address, uint8_t command) {
    uint8_t reply = 0;
    if (!Command(command)) return KWELMORA_SEND_FAILED;
    if (!Receive(&reply) || reply != 6) return KWELMORA_COMMAND_REFUSED;
    const auto location = static_cast<uint16_t>(address + 60);
    if (!Data(static_cast<uint8_t>(location & 0xFF)) ||
        !Data(static_cast<uint8_t>(location >> 8)) || !Data(30)) {
      return KWELMORA_SEND_FAILED;
    }
    if (!Receive(&reply) || reply != 6) return KWELMORA_LOCATION_REFUSED;
    return KWELMORA_OK;
  }
  // The library's port object keeps the parity it last set; it is kept up to date
  // here, so that the library's next transaction switches when it must.
  void Parity(BYTE parity) {
    if (port_->Parity == parity) return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    serial_io::GetCommState(port_->Handle, &dcb);
    dcb.Parity = parity;
    serial_io::SetCommState(port_->Handle, &dcb);
    port_->Parity = parity;
  }
  bool Command(uint8_t value) {
    serial_io::PurgeComm(port_->Handle,
                         PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    Parity(ODDPARITY);
    return DirectTransfer(port_->Handle, true, &value);
  }
  bool Data(uint8_t value) {
    Parity(EVENPARITY);
    return DirectTransfer(port_->Handle, true, &value);
  }
  bool Receive(uint8_t* value) { return DirectTransfer(port_->Handle, false, value); }

  TComm* port_;
};

int failures = 0;

void PrintHeader() {
  std::printf("| %-52s | %6s | %12s | %12s | %10s |\n", "measurement", "runs", "mean", "floor",
              "mean/floor");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(54, '-').c_str(), std::string(8, '-').c_str(),
              std::string(14, '-').c_str(), std::string(14, '-').c_str(),
              std::string(12, '-').c_str());
}

std::string Duration(double ms) {
  char text[32];
  if (ms < 1.0) {
    std::snprintf(text, sizeof text, "%.1f us", ms * 1000.0);
  } else if (ms < 10000.0) {
    std::snprintf(text, sizeof text, "%.2f ms", ms);
  } else {
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  }
  return text;
}

// A row with no runs of its own is worked out from other rows.
void PrintRow(const char* what, int runs, double meanMs, double floorMs) {
  const std::string count = runs > 0 ? std::to_string(runs) : "";
  if (floorMs > 0) {
    std::printf("| %-52s | %6s | %12s | %12s | %10.2f |\n", what, count.c_str(),
                Duration(meanMs).c_str(), Duration(floorMs).c_str(), meanMs / floorMs);
  } else {
    std::printf("| %-52s | %6s | %12s | %12s | %10s |\n", what, count.c_str(),
                Duration(meanMs).c_str(), "", "");
  }
  std::fflush(stdout);
}

// Mean time of `runs` calls of `transaction`, each of which must answer 0.
double Mean(int runs, const std::function<uint8_t(int)>& transaction) {
  const double start = NowMs();
  for (int i = 0; i < runs; ++i) {
    if (transaction(i) != KWELMORA_OK) {
      ++failures;
    }
  }
  return (NowMs() - start) / runs;
}

// The trace file of the traced rows.
std::wstring TracePath() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  return std::wstring(temp, length) + L"kwelmora-bench-trace.log";
}

// Opens the port again, with the trace into `trace` or (null) off whatever the
// machine's setting: an empty KWELMORA_TRACE means off.
void Reopen(const wchar_t* trace) {
  OdinicjowanoPortSzeregowyDlaZRV();
  SetEnvironmentVariableW(L"KWELMORA_TRACE", trace != nullptr ? trace : L"");
  if (!ZainicjowanoPortSzeregowyDlaZRV(kPort)) {
    std::fprintf(stderr, "the virtual port did not open again\n");
    ++failures;
  }
}

// The mean time of a byte sent and one received through the hand-off.
double HandOffMs(int rounds) {
  uint8_t byte = 0;
  const double start = NowMs();
  for (int i = 0; i < rounds; ++i) {
    failures += SendByte(static_cast<uint8_t>(i)) ? 0 : 1;
    failures += ReceiveByte(byte) ? 0 : 1;
  }
  return (NowMs() - start) / rounds / 2;
}

// The mean time of a record read of each address in turn.
double RecordReadMs(int runs) {
  std::array<uint8_t, 30> record{};
  return Mean(runs, [&](int i) {
    return OdczytanieBajtowZZRV(static_cast<uint16_t>(1 + i % 931), record.data());
  });
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// What the trace's hooks of one record read cost with tracing off: each hook is a
// test of one flag. The same calls a record read makes, in the same numbers: the
// call and its result, 4 presence steps, 31 purges, 2 parity switches, 96 bytes,
// 32 replies and 30 record bytes.
double TraceHooksOffMs(int runs) {
  std::array<uint8_t, 30> record{};
  const double start = NowMs();
  for (int run = 0; run < runs; ++run) {
    const TraceExportCall call(TraceExport::ReadRecord, 1, record.data());
    for (int i = 0; i < 4; ++i) TracePresenceStep(SETRTS, MS_CTS_ON, true, MS_CTS_ON);
    for (int i = 0; i < 31; ++i) TracePurge(TRUE);
    for (int i = 0; i < 2; ++i) TraceParitySwitch(ODDPARITY, 0);
    for (int i = 0; i < 96; ++i) TraceTransfer(i % 3 == 0, static_cast<uint8_t>(i), 1);
    for (int i = 0; i < 32; ++i) TraceReply(6, 5);
    for (unsigned i = 0; i < 30; ++i) TraceRecordByte(i);
    call.Returns(0, record.data());
  }
  return (NowMs() - start) / runs;
}

// `measure(runs)` with the trace off and on, in `blocks` alternating blocks.
void TracingRows(const std::string& what, int blocks, int runs, int runsPerCall,
                 const std::function<double(int)>& measure, const std::wstring& trace) {
  std::vector<double> off, on;
  for (int block = 0; block < blocks; ++block) {
    Reopen(nullptr);
    off.push_back(measure(runs));
    Reopen(trace.c_str());
    on.push_back(measure(runs));
  }
  Reopen(nullptr);
  const double offMs = Median(off);
  PrintRow((what + ", tracing off").c_str(), blocks * runs * runsPerCall, offMs, 0);
  PrintRow((what + ", tracing on").c_str(), blocks * runs * runsPerCall, Median(on), offMs);
}

// The three transactions through the library, then the same bytes on this thread.
void Transactions(const char* line, int statusRuns, int recordRuns, double characterMs,
                  double pausesMs) {
  std::array<uint8_t, 30> record{};
  unsigned char status = 0;
  DirectExchange direct(CommSlots[ActiveSlot]);
  const std::string prefix(line);
  struct Kind {
    const char* name;
    int runs;
    unsigned characters;
    std::function<uint8_t(int)> library;
    std::function<uint8_t(int)> bytesOnly;
  };
  auto address = [](int i) { return static_cast<uint16_t>(1 + i % 931); };
  const Kind kinds[] = {
      {"status read", statusRuns, kStatusCharacters,
       [&](int) { return OdczytanieBajtuStatusuZRV(&status); },
       [&](int) { return direct.Status(&status); }},
      {"record read", recordRuns, kReadCharacters,
       [&](int i) { return OdczytanieBajtowZZRV(address(i), record.data()); },
       [&](int i) { return direct.Read(address(i), record.data()); }},
      {"record write", recordRuns, kWriteCharacters,
       [&](int i) { return ZapisanieBajtowDoZRV(address(i), record.data()); },
       [&](int i) { return direct.Write(address(i), record.data()); }},
  };
  for (const Kind& kind : kinds) {
    const double floorMs = characterMs * kind.characters;
    PrintRow((prefix + ": " + kind.name).c_str(), kind.runs, Mean(kind.runs, kind.library),
             floorMs + pausesMs);
    PrintRow((prefix + ": " + kind.name + ", bytes alone").c_str(), kind.runs,
             Mean(kind.runs, kind.bytesOnly), floorMs);
  }
}

// The three transactions at 19200 baud through a USB-serial adapter at each timer
// and, for comparison, without one. The settings take turns, a few transactions
// each, round after round, so that a machine busy with other work slows them all
// alike; then the dump of 931 records that each mean record read implies.
void ThroughAnAdapter(sim::VirtualSerialDriver& driver) {
  struct Setting {
    const char* line;
    double timerMs;
    double totalMs[3] = {};
    int runs[3] = {};
    int failed[3] = {};  // code 2 when the presence check reads the lines too early
  };
  Setting settings[] = {{"19200 baud, no adapter", 0},
                        {"19200 baud, adapter 16 ms", 16},
                        {"19200 baud, adapter 4 ms", 4},
                        {"19200 baud, adapter 2 ms", 2},
                        {"19200 baud, adapter 1 ms", 1}};
  struct Kind {
    const char* name;
    int runsPerRound;
    unsigned characters;
    unsigned replies;
  };
  const Kind kinds[] = {{"status read", 3, kStatusCharacters, kStatusReplies},
                        {"record read", 1, kReadCharacters, kReadReplies},
                        {"record write", 1, kWriteCharacters, kWriteReplies}};
  constexpr int kRounds = 10;
  std::array<uint8_t, 30> record{};
  unsigned char status = 0;
  int call = 0;
  auto run = [&](size_t kind) -> uint8_t {
    const auto address = static_cast<uint16_t>(1 + call++ % 931);
    switch (kind) {
      case 0:
        return OdczytanieBajtuStatusuZRV(&status);
      case 1:
        return OdczytanieBajtowZZRV(address, record.data());
      default:
        return ZapisanieBajtowDoZRV(address, record.data());
    }
  };
  for (int round = 0; round < kRounds; ++round) {
    for (Setting& setting : settings) {
      driver.SetAdapterLatency(
          kPort, std::chrono::microseconds(static_cast<long>(setting.timerMs * 1000)));
      for (size_t kind = 0; kind < std::size(kinds); ++kind) {
        // A row whose transactions fail (the presence check reading the lines
        // before the adapter brings them) says so rather than ending the run.
        const int failedBefore = failures;
        setting.totalMs[kind] += kinds[kind].runsPerRound *
                                 Mean(kinds[kind].runsPerRound, [&](int) { return run(kind); });
        setting.runs[kind] += kinds[kind].runsPerRound;
        setting.failed[kind] += failures - failedBefore;
        failures = failedBefore;
      }
    }
  }
  driver.SetAdapterLatency(kPort, std::chrono::microseconds(0));

  auto floorOf = [](const Kind& kind, double timerMs) {
    // The first reply may go with the packet of the line change a parity switch makes.
    return kCharacterMs * kind.characters + kPresencePausesMs + timerMs * (kind.replies - 1);
  };
  for (const Setting& setting : settings) {
    for (size_t kind = 0; kind < std::size(kinds); ++kind) {
      const std::string failed =
          setting.failed[kind] == 0 ? "" : ", " + std::to_string(setting.failed[kind]) + " failed";
      PrintRow((std::string(setting.line) + ": " + kinds[kind].name + failed).c_str(),
               setting.runs[kind], setting.totalMs[kind] / setting.runs[kind],
               floorOf(kinds[kind], setting.timerMs));
    }
  }
  for (const Setting& setting : settings) {
    PrintRow((std::string(setting.line) + ": dump, 931 x read" +
              (setting.failed[1] == 0 ? "" : ", reads failed"))
                 .c_str(),
             0, kDumpRecords * setting.totalMs[1] / setting.runs[1],
             kDumpRecords * floorOf(kinds[1], setting.timerMs));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool full = argc > 1 && std::strcmp(argv[1], "--full") == 0;
  sim::VirtualSerialDriver& driver = sim::VirtualSerialDriver::Instance();
  Echo echo;
  sim::ZrvDevice device;
  driver.AddPort(kPort);
  driver.AttachFarEnd(kPort, &echo);
  const std::wstring trace = TracePath();
  DeleteFileW(trace.c_str());
  Reopen(nullptr);
  if (failures != 0) {
    std::fprintf(stderr, "the virtual port did not open\n");
    return 1;
  }
  PrintHeader();

  // One byte each way per round: through the worker, then on this thread.
  constexpr int kRounds = 2000;
  const double handOffMs = HandOffMs(kRounds);
  HANDLE port = CommSlots[ActiveSlot]->Handle;
  uint8_t byte = 0;
  const double start = NowMs();
  for (int i = 0; i < kRounds; ++i) {
    byte = static_cast<uint8_t>(i);
    failures += DirectTransfer(port, true, &byte) ? 0 : 1;
    failures += DirectTransfer(port, false, &byte) ? 0 : 1;
  }
  const double directMs = (NowMs() - start) / kRounds / 2;
  PrintRow("byte, overlapped on the calling thread", 2 * kRounds, directMs, 0);
  // The floor of the hand-off is the same transfer without it.
  PrintRow("byte through the hand-off (worker thread)", 2 * kRounds, handOffMs, directMs);
  TracingRows("byte through the hand-off", 6, 300, 2, HandOffMs, trace);
  PrintRow("trace hooks of one record read, tracing off", 100000, TraceHooksOffMs(100000), 0);

  // The device model, answering at once.
  driver.AttachFarEnd(kPort, &device);
  Transactions("immediate device", 500, 100, 0, 0);
  TracingRows("immediate device: record read", 6, 20, 1, RecordReadMs, trace);

  // The line at 19200 baud: the device's replies and the library's bytes each take
  // a character time.
  device.SetPacing(sim::CharacterTime(19200));
  driver.SetWriteCompletion(kPort, sim::WriteCompletion::Paced);
  Transactions("19200 baud", 100, 30, kCharacterMs, kPresencePausesMs);
  TracingRows("19200 baud: record read", 6, 8, 1, RecordReadMs, trace);
  ThroughAnAdapter(driver);

  if (full) {
    std::array<uint8_t, 30> record{};
    const double dumpMs = Mean(1, [&](int) {
      for (unsigned short address = 1; address <= 931; ++address) {
        const uint8_t result = OdczytanieBajtowZZRV(address, record.data());
        if (result != KWELMORA_OK) return result;
      }
      return static_cast<uint8_t>(KWELMORA_OK);
    });
    PrintRow("19200 baud: dump of all 931 records (--full)", 1, dumpMs,
             931.0 * kReadCharacters * kCharacterMs);
  }

  OdinicjowanoPortSzeregowyDlaZRV();
  driver.AttachFarEnd(kPort, nullptr);
  WIN32_FILE_ATTRIBUTE_DATA traced{};
  if (GetFileAttributesExW(trace.c_str(), GetFileExInfoStandard, &traced)) {
    std::printf("trace of the traced rows: %lu bytes\n", traced.nFileSizeLow);
  }
  DeleteFileW(trace.c_str());
  if (failures != 0) {
    std::fprintf(stderr, "%d transfers failed\n", failures);
  }
  return failures == 0 ? 0 : 1;
}
