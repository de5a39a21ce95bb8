#include "fault_command.h"

#include <string>

#include "simfaults/fault_setting.h"

namespace zrvtool {

int RunFaultCommand(const Options& options, std::ostream& out, std::ostream& err) {
  const std::string port = "COM" + std::to_string(options.port);
  const auto number = static_cast<unsigned>(options.port);
  if (options.set_fault) {
    const LSTATUS status = simfaults::WriteFault(number, options.fault);
    if (status != ERROR_SUCCESS) {
      err << "zrvtool: " << port << ": the registry refused the fault (error " << status << ")\n";
      return kExitFailed;
    }
  }
  std::string unknown;
  const simfaults::FaultSetting setting = simfaults::ReadFault(number, &unknown);
  out << port << ": ";
  if (!unknown.empty()) {
    // Text that names no fault is quoted; a value that is no text at all is described.
    out << (unknown[0] == '(' ? unknown : "'" + unknown + "'")
        << " names no fault: the simulator ignores it\n";
  } else if (setting.fault == simfaults::Fault::None) {
    out << "no fault\n";
  } else {
    out << simfaults::FaultName(setting.fault)
        << (setting.always ? ", every transaction\n" : ", once\n");
  }
  return kExitOk;
}

}  // namespace zrvtool
