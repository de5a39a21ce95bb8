#include "adapter_command.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "adapter/port_adapter.h"

namespace zrvtool {

namespace {

constexpr char kEnumKeyName[] = "HKLM\\SYSTEM\\CurrentControlSet\\Enum";
constexpr char kReplugAdvice[] =
    "Unplug the adapter and plug it in again, or close and re-open the port, before the new "
    "timer takes effect.\n";

std::string PortName(int port) { return "COM" + std::to_string(port); }

std::string WindowsError(LONG error) {
  if (error == ERROR_ACCESS_DENIED) return "error 5, access denied";
  return "Windows error " + std::to_string(error);
}

const char* KindTitle(adapter::PortKind kind) {
  switch (kind) {
    case adapter::PortKind::Ftdi:
      return "FTDI USB-serial adapter";
    case adapter::PortKind::Usb:
      return "USB-serial adapter";
    case adapter::PortKind::Native:
      return "native serial port";
    case adapter::PortKind::Other:
      break;
  }
  return "serial port";
}

std::string Milliseconds(std::uint32_t value) { return std::to_string(value) + " ms"; }

// "16 ms", "not set: the driver's default, 16 ms" ...
std::string DescribeLatency(const adapter::PortNode& node) {
  switch (node.latency) {
    case adapter::LatencyState::Set:
      return Milliseconds(node.latencyMs);
    case adapter::LatencyState::Absent:
      return "not set: the driver's default, " + Milliseconds(adapter::kDefaultLatencyMs);
    case adapter::LatencyState::OutOfRange:
      return Milliseconds(node.latencyMs) + ", outside 1..255 ms";
    case adapter::LatencyState::Unreadable:
      break;
  }
  return std::string("unreadable: ") + adapter::kLatencyTimerValue + " is not a REG_DWORD";
}

void ReportNode(const std::string& port, const adapter::PortNode& node, std::ostream& out) {
  out << port << ": " << KindTitle(node.kind) << "\n"
      << "  bus            " << node.bus << "\n"
      << "  device         " << node.deviceId << "\n";
  switch (node.kind) {
    case adapter::PortKind::Ftdi: {
      out << "  latency timer  " << DescribeLatency(node) << "\n";
      const bool known = node.latency == adapter::LatencyState::Set ||
                         node.latency == adapter::LatencyState::Absent;
      const std::uint32_t timer =
          node.latency == adapter::LatencyState::Set ? node.latencyMs : adapter::kDefaultLatencyMs;
      if (known) out << DescribeTimerCost(timer);
      if (known && timer <= 2) {
        out << "  advice         " << Milliseconds(timer)
            << " suits this device's byte-at-a-time exchanges: nothing to change\n";
      } else {
        out << "  advice         this device's byte-at-a-time exchanges want 1 or 2 ms:\n"
            << "                 zrvtool " << port
            << " adapter --set-latency 1 (run as administrator),\n"
            << "                 or the port's Advanced settings in Device Manager\n";
      }
      break;
    }
    case adapter::PortKind::Usb:
      out << "  latency timer  none that zrvtool knows: not FTDI's driver (the USB class\n"
             "                 driver or another maker's); a latency setting, if its driver\n"
             "                 has one, is on the port's Advanced settings in Device Manager\n";
      break;
    case adapter::PortKind::Native:
      out << "  latency timer  none: no adapter between the device and the computer,\n"
             "                 the device's replies arrive as they come\n";
      break;
    case adapter::PortKind::Other:
      out << "  latency timer  none that zrvtool knows: not a USB-serial adapter it recognises\n";
      break;
  }
}

// The nodes naming the port; false, with the reason on `err`, when there are none.
bool FindNodes(const std::string& port, std::vector<adapter::PortNode>& nodes, std::ostream& err) {
  const adapter::PortLookup lookup = adapter::FindPortNodes(port);
  if (lookup.error != ERROR_SUCCESS) {
    err << "zrvtool: cannot read " << kEnumKeyName << " (" << WindowsError(lookup.error) << ")\n";
    return false;
  }
  if (lookup.nodes.empty()) {
    err << port << ": no device node under " << kEnumKeyName << " names " << port
        << " (is the adapter plugged in, and is that its port?)\n";
    return false;
  }
  nodes = lookup.nodes;
  return true;
}

int Report(const std::string& port, std::ostream& out, std::ostream& err) {
  std::vector<adapter::PortNode> nodes;
  if (!FindNodes(port, nodes, err)) return kExitFailed;
  if (nodes.size() > 1) {
    out << port << ": " << nodes.size() << " device nodes name this port (an adapter plugged in "
        << "earlier may have left one behind)\n";
  }
  for (const adapter::PortNode& node : nodes) ReportNode(port, node, out);
  return kExitOk;
}

int SetLatency(const std::string& port, std::uint32_t latency, std::ostream& out,
               std::ostream& err) {
  std::vector<adapter::PortNode> nodes;
  if (!FindNodes(port, nodes, err)) return kExitFailed;
  bool any = false;
  bool refused = false;
  for (const adapter::PortNode& node : nodes) {
    if (node.kind != adapter::PortKind::Ftdi) continue;
    any = true;
    const LONG written = adapter::WriteLatencyTimer(node, latency);
    if (written == ERROR_SUCCESS) {
      out << port << ": " << adapter::kLatencyTimerValue << " of " << node.deviceId << " set to "
          << Milliseconds(latency) << " (was " << DescribeLatency(node) << ")\n";
    } else {
      refused = true;
      err << port << ": Windows refused to write " << adapter::kLatencyTimerValue << " of "
          << node.deviceId << " (" << WindowsError(written) << ")"
          << (written == ERROR_ACCESS_DENIED
                  ? ": run zrvtool as administrator, or set the timer in Device Manager"
                  : "")
          << "\n";
    }
  }
  if (!any) {
    err << port << ": not an FTDI adapter (bus " << nodes.front().bus
        << "): there is no latency timer to set\n";
    return kExitFailed;
  }
  (refused ? err : out) << kReplugAdvice;
  return refused ? kExitFailed : kExitOk;
}

}  // namespace

TimerCost CostOfTimer(std::uint32_t latency_ms) {
  TimerCost cost;
  cost.record_read_ms = static_cast<double>(kRepliesPerRecordRead) * latency_ms;
  cost.dump_seconds = cost.record_read_ms * kRecordCount / 1000.0;
  return cost;
}

std::string DescribeTimerCost(std::uint32_t latency_ms) {
  const TimerCost cost = CostOfTimer(latency_ms);
  char text[200];
  std::snprintf(text, sizeof text,
                "  cost           up to %.0f ms more per record read (%d replies x %u ms),\n"
                "                 up to %s more per full dump of %d records\n",
                cost.record_read_ms, kRepliesPerRecordRead, static_cast<unsigned>(latency_ms),
                FormatDuration(cost.dump_seconds).c_str(), kRecordCount);
  return text;
}

int RunAdapterCommand(const Options& options, std::ostream& out, std::ostream& err) {
  const std::string port = PortName(options.port);
  if (options.set_latency == 0) return Report(port, out, err);
  return SetLatency(port, static_cast<std::uint32_t>(options.set_latency), out, err);
}

}  // namespace zrvtool
