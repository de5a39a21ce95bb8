// The trace as a support engineer reads it: a faulty transaction leaves the lines
// that say what happened (the bytes with their parities, the refusal, the recorded
// failure, the code); lines of the host's thread, the worker and the watcher come
// whole and in time order; the file stays under its cap.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "kwelmora.h"
#include "library/last_error.h"
#include "trace/trace_scene.h"

namespace trace_test {
namespace {

using reliability::Exchange;
using reliability::Pattern;
using reliability::Record;
using reliability::Transaction;
using sim::LineError;
using sim::Reply;
using sim::ReplyPoint;
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
        "^host    purge of both queues and pending transfers: done$",
        "^host    parity switch to odd: done$", "^worker  sent 04 parity odd$",
        "^worker  received 06 parity odd$", "^host    reply ACK$",
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
       0xFF,
       {"^worker  sent 04 parity odd$",
        "^host    error recorded: code 31 \"Błąd podczas aktualizacji bloku kontroli danych.\"$",
        "^host    parity switch to even: FAILED, code 31; the port keeps parity odd$"}},
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

}  // namespace
}  // namespace trace_test
