// zrvtool's adapter command: what stands behind the COM port (a native port, a
// USB-serial adapter), an FTDI adapter's latency timer with what it costs this
// device's byte-at-a-time exchanges, and setting that timer.
#ifndef KWELMORA_TOOLS_ADAPTER_COMMAND_H
#define KWELMORA_TOOLS_ADAPTER_COMMAND_H

#include <cstdint>
#include <ostream>
#include <string>

#include "zrvtool_lib.h"

namespace zrvtool {

// The device's replies a record read waits for: the command's ACK, the location's
// ACK and 30 requests answered with ACK and a record byte, which travel together.
// An adapter holds each of them until its latency timer fires.
constexpr int kRepliesPerRecordRead = 32;

// What a latency timer of `latency_ms` adds at most, by the simulated adapter's
// figures (every reply waits one whole period): to one record read, and to a dump
// of all 931 records.
struct TimerCost {
  double record_read_ms = 0;
  double dump_seconds = 0;
};
TimerCost CostOfTimer(std::uint32_t latency_ms);

// The report's two lines of cost: "up to 512 ms more per record read (32 replies x
// 16 ms)", "up to 7:57 more per full dump of 931 records".
std::string DescribeTimerCost(std::uint32_t latency_ms);

// Reports what is behind options.port, or sets the latency timer when
// options.set_latency is 1..255. Answers the exit status: kExitOk, kExitFailed when
// no node names the port, the registry cannot be read or refuses the value, or the
// port has no latency timer to set.
int RunAdapterCommand(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace zrvtool

#endif  // KWELMORA_TOOLS_ADAPTER_COMMAND_H
