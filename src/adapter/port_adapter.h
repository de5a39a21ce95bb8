// What stands behind a COM port: the device node that Windows' device enumeration
// keeps for it in the registry, found by the "PortName" in its Device Parameters
// key under HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\<bus>\<device>\<instance>.
// The bus tells a native port (ACPI, PCI) from a USB-serial adapter: FTDI's driver
// enumerates its ports on a bus of its own, FTDIBUS, and keeps the adapter's
// latency timer in the same Device Parameters key as "LatencyTimer" (REG_DWORD,
// 1..255 ms); USB-serial adapters on the USB class driver or other makers' drivers
// appear on the USB bus without such a value.
//
// Only advapi32's registry calls and the standard library: the library can call it
// as readily as zrvtool. Nothing here throws; nothing is recorded anywhere.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace adapter {

// Below HKEY_LOCAL_MACHINE: one key per bus.
constexpr char kEnumPath[] = "SYSTEM\\CurrentControlSet\\Enum";
// The key of a device instance that holds "PortName" and, for FTDI, "LatencyTimer".
constexpr char kParametersKey[] = "Device Parameters";
constexpr char kLatencyTimerValue[] = "LatencyTimer";
// FTDI's driver uses this timer when the value is absent.
constexpr uint32_t kDefaultLatencyMs = 16;
constexpr uint32_t kLatencyMinMs = 1;
constexpr uint32_t kLatencyMaxMs = 255;

// What the bus says about the port.
enum class PortKind {
  Ftdi,    // FTDIBUS: an FTDI USB-serial adapter, with a latency timer
  Usb,     // USB: a USB-serial adapter on the class driver or another maker's driver
  Native,  // ACPI, PCI: a serial port of the computer itself
  Other,   // any other bus (Root, Bluetooth, a virtual port's driver ...)
};

// The "LatencyTimer" value of an FTDI node, as found.
enum class LatencyState {
  Absent,      // no value: the driver's default applies
  Set,         // a REG_DWORD of 1..255
  OutOfRange,  // a REG_DWORD outside 1..255 (its value is kept)
  Unreadable,  // another type or size, or not readable
};

struct PortNode {
  std::string bus;       // the first key below Enum, as stored: "FTDIBUS"
  std::string deviceId;  // bus\device\instance, as stored
  PortKind kind = PortKind::Other;
  // Looked at for FTDI nodes only; Absent for the others.
  LatencyState latency = LatencyState::Absent;
  uint32_t latencyMs = 0;  // Set, OutOfRange
};

struct PortLookup {
  // ERROR_SUCCESS, or why the Enum key itself could not be read (then no nodes).
  LONG error = ERROR_SUCCESS;
  // Every node whose PortName names the port, in enumeration order. Usually one;
  // a node that an adapter plugged in earlier left behind may name it too.
  std::vector<PortNode> nodes;
};

// The nodes whose Device Parameters carry "PortName" equal to `portName` ("COM3"),
// ASCII letters compared without case. Keys that are missing or refuse reading
// are passed over. Reads only.
PortLookup FindPortNodes(const std::string& portName) noexcept;

// The kind of port a bus stands for, the bus name compared without case.
PortKind KindOfBus(const std::string& bus) noexcept;

// Writes "LatencyTimer" (REG_DWORD) into an FTDI node's Device Parameters, which
// must exist already: ERROR_SUCCESS, the registry's refusal (ERROR_ACCESS_DENIED
// without administrator's rights), ERROR_NOT_SUPPORTED for a node of another kind,
// ERROR_INVALID_PARAMETER for a value outside 1..255. FTDI's driver reads the value
// when the adapter is plugged in or its port opened.
LONG WriteLatencyTimer(const PortNode& node, uint32_t milliseconds) noexcept;

}  // namespace adapter
