// The simulator DLL's settings. Each is read from an environment variable when
// it is set (even empty), else from a value under
// HKEY_CURRENT_USER\Software\Kwelmora\Simulator (REG_SZ, REG_EXPAND_SZ expanded,
// or REG_DWORD), as the trace's setting is:
//   KWELMORA_SIM_PORTS   / Ports        the COM ports with a device: numbers and
//                                       ranges, "3" or "3,5" or "1-4"; none by
//                                       default, and a port without a device is
//                                       absent as a missing COM port is
//   KWELMORA_SIM_IMAGES  / ImageFolder  the folder of the record images, one file
//                                       ZRV-COM<n>.img per port (default
//                                       %LOCALAPPDATA%\Kwelmora\Simulator, made
//                                       on first use)
//   KWELMORA_SIM_PACE    / Pace         0: the device answers at once; otherwise
//                                       (the default) every byte both ways takes
//                                       its time at 19200 baud
//   KWELMORA_SIM_LOG     / DeviceLog    1: the device logs every byte it receives,
//                                       "value parity" a line (as zrvsim's log
//                                       command), to ZRV-COM<n>.log beside its
//                                       image; off by default
// Ports are read at every opening; the image folder, the pacing and the log when
// the port is opened first in the process.
#pragma once

#include <string>

namespace sim {

bool SimulatedPortHasDevice(unsigned number);
bool SimulatedLinePaced();
bool SimulatedDeviceLogged();
// The image file of the port (UTF-8), its folder made if missing; empty with the
// reason in `error` when there is no folder to keep it in.
std::string SimulatedImagePath(unsigned number, std::string& error);

}  // namespace sim
