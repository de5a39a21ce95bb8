// zrvtool's fault command: the fault a tester switches on for the simulator DLL's
// device on a port (simfaults/fault_setting.h), shown, set or cleared from the
// registry while a host holds the port open.
#ifndef KWELMORA_TOOLS_FAULT_COMMAND_H
#define KWELMORA_TOOLS_FAULT_COMMAND_H

#include <ostream>

#include "zrvtool_lib.h"

namespace zrvtool {

// Sets options.fault when options.set_fault says so (Fault::None clears), then
// prints the port's
// fault as the registry holds it: "COM3: silent, once", "COM3: nak-record, every
// transaction", "COM3: no fault". Answers kExitOk, or kExitFailed when the
// registry refused the value.
int RunFaultCommand(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace zrvtool

#endif  // KWELMORA_TOOLS_FAULT_COMMAND_H
