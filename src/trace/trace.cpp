// What each line of the trace says. Lines are made on the thread of the event and
// handed to TraceWriter whole. Wording is for a support engineer reading the file:
// names of the exports as the host calls them, bytes in hex, parities and line
// events by name, the library's Polish messages in UTF-8.
#include "trace/trace.h"

#include <atomic>
#include <cstdio>

#include "adapter/port_adapter.h"
#include "port/comm.h"
#include "port/comm_event_thread.h"
#include "port/serial_io.h"
#include "port/transfer_thread.h"
#include "trace/keep_last_error.h"
#include "trace/trace_settings.h"
#include "trace/trace_threads.h"

#ifndef KWELMORA_VERSION
#error "KWELMORA_VERSION comes from the project's version in CMake"
#endif

namespace {

// The parity the port was last set to: the parity the next byte goes with and the
// next reply is checked against. Written by the host's thread, read by the worker
// after the hand-off's events have ordered the two.
std::atomic<DWORD> LineParity{NOPARITY};
// Record bytes of the read under way stored in the host's buffer (host's thread).
unsigned RecordBytesReceived = 0;

// The path of the trace file as the setting names it; used on the initialising
// thread only.
wchar_t SettingPath[TTraceWriter::kMaxPath + 1];

const char* ExportName(TraceExport which) {
  switch (which) {
    case TraceExport::Initialize:
      return "ZainicjowanoPortSzeregowyDlaZRV";
    case TraceExport::Close:
      return "OdinicjowanoPortSzeregowyDlaZRV";
    case TraceExport::Status:
      return "OdczytanieBajtuStatusuZRV";
    case TraceExport::ReadRecord:
      return "OdczytanieBajtowZZRV";
    case TraceExport::WriteRecord:
      return "ZapisanieBajtowDoZRV";
  }
  return "?";
}

const char* ResultMeaning(uint8_t result) {
  static constexpr const char* kMeanings[] = {
      "done",
      "the port is not open",
      "no device: CTS or RI did not follow, or the port is closed",
      "a byte could not be sent",
      "no byte within the read time-out",
      "the device refused the command or a request for the next byte",
      "the device refused the location block",
      "the device refused the record written",
      "the device answered neither ACK nor NAK",
      "invalid argument: address outside 1..931 or a null pointer",
  };
  return result < sizeof kMeanings / sizeof kMeanings[0] ? kMeanings[result] : "unknown code";
}

const char* ParityName(DWORD parity) {
  switch (parity) {
    case NOPARITY:
      return "none";
    case ODDPARITY:
      return "odd";
    case EVENPARITY:
      return "even";
    case MARKPARITY:
      return "mark";
    case SPACEPARITY:
      return "space";
  }
  return "unknown";
}

const char* StopBitsName(DWORD stopBits) {
  switch (stopBits) {
    case ONESTOPBIT:
      return "1";
    case ONE5STOPBITS:
      return "1.5";
    case TWOSTOPBITS:
      return "2";
  }
  return "?";
}

const char* PriorityClassName(DWORD priorityClass) {
  switch (priorityClass) {
    case IDLE_PRIORITY_CLASS:
      return "idle";
    case BELOW_NORMAL_PRIORITY_CLASS:
      return "below normal";
    case NORMAL_PRIORITY_CLASS:
      return "normal";
    case ABOVE_NORMAL_PRIORITY_CLASS:
      return "above normal";
    case HIGH_PRIORITY_CLASS:
      return "high";
    case REALTIME_PRIORITY_CLASS:
      return "real-time";
  }
  return "unknown";
}

// Flag names joined by " | ", or `none` when no flag is set.
struct FlagName {
  DWORD flag;
  const char* name;
};

template <std::size_t N>
void Flags(TraceLine& line, DWORD value, const FlagName (&names)[N], const char* none) {
  bool first = true;
  for (const FlagName& entry : names) {
    if ((value & entry.flag) != 0) {
      line.Text(first ? "" : " | ").Text(entry.name);
      first = false;
    }
  }
  if (first) {
    line.Text(none);
  }
}

constexpr FlagName kCommEvents[] = {
    {EV_BREAK, "EV_BREAK"},   {EV_CTS, "EV_CTS"},       {EV_DSR, "EV_DSR"},
    {EV_ERR, "EV_ERR"},       {EV_RING, "EV_RING"},     {EV_RLSD, "EV_RLSD"},
    {EV_RXCHAR, "EV_RXCHAR"}, {EV_RXFLAG, "EV_RXFLAG"}, {EV_TXEMPTY, "EV_TXEMPTY"},
};

constexpr FlagName kLineErrors[] = {
    {CE_BREAK, "CE_BREAK"},   {CE_FRAME, "CE_FRAME"},       {CE_OVERRUN, "CE_OVERRUN"},
    {CE_RXOVER, "CE_RXOVER"}, {CE_RXPARITY, "CE_RXPARITY"}, {CE_TXFULL, "CE_TXFULL"},
};

void ModemLines(TraceLine& line, DWORD status) {
  line.Text("CTS ").Text((status & MS_CTS_ON) != 0 ? "on" : "off");
  line.Text(", DSR ").Text((status & MS_DSR_ON) != 0 ? "on" : "off");
  line.Text(", RI ").Text((status & MS_RING_ON) != 0 ? "on" : "off");
  line.Text(", DCD ").Text((status & MS_RLSD_ON) != 0 ? "on" : "off");
}

double ElapsedMs(LONGLONG start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start) * 1000.0 /
         static_cast<double>(frequency.QuadPart);
}

// What stands behind the port, from the device nodes whose PortName names it: the
// bus and device id of each, and an FTDI adapter's latency timer, which bounds how
// fast this one-byte-at-a-time protocol can go over USB.
void Behind(TraceLine& line, uint8_t portNumber) {
  char port[8];
  std::snprintf(port, sizeof port, "COM%u", static_cast<unsigned>(portNumber));
  const adapter::PortLookup lookup = adapter::FindPortNodes(port);
  if (lookup.nodes.empty()) {
    line.Text("; no device node names ").Text(port);
    return;
  }
  const char* separator = "; behind it: ";
  for (const adapter::PortNode& node : lookup.nodes) {
    line.Text(separator).Text(node.deviceId.c_str());
    separator = " | ";
    switch (node.kind) {
      case adapter::PortKind::Ftdi:
        switch (node.latency) {
          case adapter::LatencyState::Set:
          case adapter::LatencyState::OutOfRange:
            line.Text(" (FTDI adapter, latency timer ").Number(node.latencyMs).Text(" ms)");
            break;
          case adapter::LatencyState::Absent:
            line.Text(" (FTDI adapter, latency timer not set: the driver's ")
                .Number(adapter::kDefaultLatencyMs)
                .Text(" ms)");
            break;
          case adapter::LatencyState::Unreadable:
            line.Text(" (FTDI adapter, latency timer unreadable)");
            break;
        }
        break;
      case adapter::PortKind::Usb:
        line.Text(" (USB-serial adapter)");
        break;
      case adapter::PortKind::Native:
        line.Text(" (native port)");
        break;
      case adapter::PortKind::Other:
        break;
    }
  }
}

void Header(TraceLine& line, uint8_t portNumber) {
  SYSTEMTIME local, utc;
  GetLocalTime(&local);
  GetSystemTime(&utc);
  FILETIME localFile, utcFile;
  SystemTimeToFileTime(&local, &localFile);
  SystemTimeToFileTime(&utc, &utcFile);
  const LONGLONG minutes =
      ((static_cast<LONGLONG>(localFile.dwHighDateTime) << 32 | localFile.dwLowDateTime) -
       (static_cast<LONGLONG>(utcFile.dwHighDateTime) << 32 | utcFile.dwLowDateTime) +
       300000000LL) /
      600000000LL;  // 100 ns units, rounded to the minute
  char when[64];
  std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u.%03u (UTC%c%02lld:%02lld)",
                local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                local.wMilliseconds, minutes < 0 ? '-' : '+',
                (minutes < 0 ? -minutes : minutes) / 60, (minutes < 0 ? -minutes : minutes) % 60);

  static wchar_t modulePath[TTraceWriter::kMaxPath + 1];
  HMODULE module = nullptr;
  modulePath[0] = L'\0';
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&TraceOpening), &module)) {
    const DWORD length = GetModuleFileNameW(module, modulePath, TTraceWriter::kMaxPath);
    modulePath[length < TTraceWriter::kMaxPath ? length : 0] = L'\0';
  }
  line.Text("==== Kwelmora ").Text(KWELMORA_VERSION);
  if (const char* binding = serial_io::Binding()) line.Text(" ").Text(binding);
  line.Text(sizeof(void*) == 8 ? ", 64-bit, " : ", 32-bit, ")
      .Wide(modulePath)
      .Text("; process ")
      .Number(GetCurrentProcessId())
      .Text("; ")
      .Text(when)
      .Text("; initialising COM")
      .Number(portNumber);
  Behind(line, portNumber);
}

}  // namespace

void TraceOpening(uint8_t portNumber) noexcept {
  KeepLastError keep;
  // The worker's and the watcher's ids come with the opening of the port.
  SetTraceThread(TraceThread::Host, GetCurrentThreadId());
  if (!ReadTraceFileSetting(SettingPath, TTraceWriter::kMaxPath + 1) ||
      !TraceWriter.Open(SettingPath)) {
    TraceWriter.Close();
    return;
  }
  TraceLine header;
  Header(header, portNumber);
  TraceWriter.Begin(header);
}

void TraceUnload() noexcept { TraceWriter.Close(); }

namespace trace {

LONGLONG ExportCalled(TraceExport which, unsigned argument, const uint8_t* data) noexcept {
  KeepLastError keep;
  TraceLine line;
  line.Text("call ").Text(ExportName(which)).Text("(");
  switch (which) {
    case TraceExport::Initialize:
      line.Text("port ").Number(argument);
      break;
    case TraceExport::Close:
      break;
    case TraceExport::Status:
      line.Text(data == nullptr ? "null" : "status buffer");
      break;
    case TraceExport::ReadRecord:
      RecordBytesReceived = 0;
      line.Text("address ").Number(argument).Text(data == nullptr ? ", null buffer" : "");
      break;
    case TraceExport::WriteRecord:
      line.Text("address ").Number(argument);
      if (data == nullptr) {
        line.Text(", null data");
      } else {
        line.Text(", data ").HexBytes(data, 30);
      }
      break;
  }
  line.Text(")");
  TraceWriter.Write(line);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart != 0 ? now.QuadPart : 1;
}

void ExportReturned(TraceExport which, uint8_t result, const uint8_t* data,
                    LONGLONG start) noexcept {
  KeepLastError keep;
  TraceLine line;
  line.Text("return ").Text(ExportName(which)).Text(" = ").Number(result);
  const bool port = which == TraceExport::Initialize || which == TraceExport::Close;
  if (port) {
    line.Text(result != 0 ? " (true)" : " (false)");
  } else {
    line.Text(" (").Text(ResultMeaning(result)).Text(")");
  }
  line.Text(" after ").Milliseconds(ElapsedMs(start));
  if (which == TraceExport::Status && result == 0 && data != nullptr) {
    line.Text("; status byte ").HexByte(*data);
  }
  if (which == TraceExport::ReadRecord && data != nullptr) {
    const unsigned count = result == 0 ? 30 : RecordBytesReceived;
    line.Text("; bytes received: ");
    if (count == 0) {
      line.Text("none");
    } else {
      line.HexBytes(data, count);
      if (count < 30) {
        line.Text(" (").Number(count).Text(" of 30)");
      }
    }
  }
  TraceWriter.Write(line);
}

void PortOpened(const TComm& port, int32_t result) noexcept {
  KeepLastError keep;
  const HANDLE worker = port.Worker != nullptr ? port.Worker->ThreadHandle() : nullptr;
  const HANDLE watcher = port.Watcher != nullptr ? port.Watcher->ThreadHandle() : nullptr;
  const DWORD workerId = worker != nullptr ? GetThreadId(worker) : 0;
  const DWORD watcherId = watcher != nullptr ? GetThreadId(watcher) : 0;
  SetTraceThread(TraceThread::Worker, workerId);
  SetTraceThread(TraceThread::Watcher, watcherId);
  LineParity.store(port.Dcb.Parity, std::memory_order_relaxed);

  const DCB& dcb = port.Dcb;
  const COMMTIMEOUTS& timeouts = port.Timeouts;
  TraceLine line;
  line.Text("port ").Text(port.DeviceName.c_str());
  if (result == 0) {
    line.Text(" opened: ");
  } else {
    line.Text(" opened with failure code ").Number(result).Text(": ");
  }
  line.Number(dcb.BaudRate)
      .Text(" baud, ")
      .Number(dcb.ByteSize)
      .Text(" data bits, parity ")
      .Text(ParityName(dcb.Parity))
      .Text(", stop bits ")
      .Text(StopBitsName(dcb.StopBits))
      .Text("; parity check ")
      .Text(dcb.fParity ? "on" : "off")
      .Text(", abort on error ")
      .Text(dcb.fAbortOnError ? "on" : "off")
      .Text(", CTS flow ")
      .Text(dcb.fOutxCtsFlow ? "on" : "off")
      .Text(", DTR/RTS control ")
      .Text(dcb.fDtrControl == DTR_CONTROL_DISABLE && dcb.fRtsControl == RTS_CONTROL_DISABLE
                ? "disabled"
                : "enabled")
      .Text("; queues ")
      .Number(port.InQueueSize)
      .Text(" in, ")
      .Number(port.OutQueueSize)
      .Text(" out; read time-out ")
      .Number(timeouts.ReadTotalTimeoutConstant)
      .Text(" ms (interval ")
      .Number(timeouts.ReadIntervalTimeout)
      .Text(" ms), write time-out ")
      .Number(timeouts.WriteTotalTimeoutConstant)
      .Text(" ms; worker thread ")
      .Number(workerId)
      .Text(", watcher thread ")
      .Number(watcherId)
      .Text("; process priority class was ")
      .Text(PriorityClassName(SavedPriorityClass))
      .Text(", now ")
      .Text(PriorityClassName(GetPriorityClass(GetCurrentProcess())));
  TraceWriter.Write(line);
}

void PortClosed(const TComm& port, int32_t result) noexcept {
  KeepLastError keep;
  TraceLine line;
  line.Text("port ").Text(port.DeviceName.c_str()).Text(" closed");
  if (result != 0) {
    line.Text(" with failure code ").Number(result);
  }
  line.Text("; process priority class now ")
      .Text(PriorityClassName(GetPriorityClass(GetCurrentProcess())));
  TraceWriter.Write(line);
}

void PresenceStep(DWORD function, DWORD input, bool on, DWORD modemStatus) noexcept {
  KeepLastError keep;
  const char* output = function == SETRTS || function == CLRRTS ? "RTS" : "DTR";
  const char* watched = input == MS_CTS_ON ? "CTS" : "RI";
  const bool followed = ((modemStatus & input) != 0) == on;
  TraceLine line;
  line.Text("presence check: ").Text(output).Text(on ? " on" : " off").Text(", lines seen: ");
  ModemLines(line, modemStatus);
  line.Text("; ").Text(watched).Text(followed ? " followed" : " did NOT follow: no device");
  TraceWriter.Write(line);
}

void Purge(BOOL done) noexcept {
  KeepLastError keep;
  const DWORD error = GetLastError();
  TraceLine line;
  line.Text("purge of both queues and pending transfers");
  if (done) {
    line.Text(": done");
  } else {
    line.Text(": FAILED, Windows error ").Number(error);
  }
  TraceWriter.Write(line);
}

void ParitySwitch(DWORD parity, int32_t result) noexcept {
  KeepLastError keep;
  TraceLine line;
  line.Text("parity switch to ").Text(ParityName(parity));
  if (result == 0) {
    LineParity.store(parity, std::memory_order_relaxed);
    line.Text(": done");
  } else {
    line.Text(": FAILED, code ")
        .Number(result)
        .Text("; the port keeps parity ")
        .Text(ParityName(LineParity.load(std::memory_order_relaxed)));
  }
  TraceWriter.Write(line);
}

void Transfer(bool write, uint8_t value, DWORD count) noexcept {
  KeepLastError keep;
  SetTraceThread(TraceThread::Worker, GetCurrentThreadId());
  const char* parity = ParityName(LineParity.load(std::memory_order_relaxed));
  TraceLine line;
  if (write) {
    line.Text(count != 0 ? "sent " : "NOT sent ").HexByte(value).Text(" parity ").Text(parity);
  } else if (count != 0) {
    line.Text("received ").HexByte(value).Text(" parity ").Text(parity);
  } else {
    line.Text("received nothing (port parity ").Text(parity).Text(")");
  }
  TraceWriter.Write(line);
}

void Reply(uint8_t reply, uint8_t onNak) noexcept {
  KeepLastError keep;
  TraceLine line;
  line.Text("reply ");
  if (reply == 6) {
    line.Text("ACK");
  } else if (reply == 21) {
    line.Text("NAK: ").Text(ResultMeaning(onNak)).Text(" (").Number(onNak).Text(")");
  } else {
    line.HexByte(reply).Text(": ").Text(ResultMeaning(8)).Text(" (8)");
  }
  TraceWriter.Write(line);
}

void RecordByte(unsigned index) noexcept { RecordBytesReceived = index + 1; }

void Failure(const char* text, int32_t code) noexcept {
  KeepLastError keep;
  if (code == 0 && (text == nullptr || text[0] == '\0')) {
    return;  // the record emptied at an opening: no failure
  }
  TraceLine line;
  line.Text("error recorded: code ").Number(code).Text(" \"");
  line.Cp1250(text != nullptr ? text : "").Text("\"");
  TraceWriter.Write(line);
}

void FailureCode(int32_t code) noexcept {
  KeepLastError keep;
  TraceLine line;
  line.Text("error recorded: code ").Number(code).Text(" (message unchanged)");
  TraceWriter.Write(line);
}

void CommEvent(DWORD eventMask) noexcept {
  KeepLastError keep;
  SetTraceThread(TraceThread::Watcher, GetCurrentThreadId());
  TraceLine line;
  line.Text("line events ");
  Flags(line, eventMask, kCommEvents, "(none)");
  line.Text(": handing over to the host's thread");
  TraceWriter.Write(line);
}

void LineEvents(DWORD eventMask, DWORD errors) noexcept {
  KeepLastError keep;
  TraceLine line;
  line.Text("line events ");
  Flags(line, eventMask, kCommEvents, "(none)");
  line.Text(" handled; port errors cleared: ");
  Flags(line, errors, kLineErrors, "none");
  TraceWriter.Write(line);
}

}  // namespace trace
