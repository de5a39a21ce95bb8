// The library's port state and the operations behind the two port exports.
#pragma once

#include <cstdint>

class TComm;

constexpr unsigned kCommSlotCount = 255;

// Set by a successful initialisation, cleared by a failed one; nothing else
// changes it. The transfer exports answer "not initialised" while it is false.
extern bool PortInitialized;

// Set by the first initialisation that gets past the test for an open port.
extern bool PortSetUpBefore;

// Port objects, indexed 1..255 (entry 0 is never used). The library owns them.
extern TComm* CommSlots[kCommSlotCount + 1];

// The one slot every operation uses.
constexpr uint8_t ActiveSlot = 1;

// Opens the port for the device: 0, or the code of the failure (recorded).
int32_t InitializePort(uint8_t portNumber, int32_t baudRate, uint16_t writeTimeoutSeconds,
                       uint16_t readTimeoutSeconds);

// Closes the active port object, if any: 0, or the code of the failure (recorded).
int32_t ClosePort();
