// Puts right the serial port's device entries in the registry before the port is
// opened.
#pragma once

#include <cstdint>

// Writes the fixed REG_BINARY "Settings" (02 01 00 00) into every device instance
// key under HKEY_LOCAL_MACHINE\ENUM\ACPI whose "PortName" names COM<portNumber>,
// and under ENUM\Root only when ENUM\ACPI had none. True when at least one value was
// written; false otherwise, and when a write was refused (that ends the search).
// Records nothing in the library's last-error record and never throws.
bool FixPortSettings(uint8_t portNumber) noexcept;
