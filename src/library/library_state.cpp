#include "library/library_state.h"

#include <windows.h>

#include <new>

#include "library/last_error.h"
#include "port/comm.h"
#include "registry/port_settings_fixup.h"

bool PortInitialized = false;
bool PortSetUpBefore = false;
TComm* CommSlots[kCommSlotCount + 1] = {};

int32_t InitializePort(uint8_t portNumber, int32_t baudRate, uint16_t writeTimeoutSeconds,
                       uint16_t readTimeoutSeconds) {
  // The port's device entries get their Settings before every attempt, even one
  // refused below; whether any were found does not change the opening.
  FixPortSettings(portNumber);
  SetLastError(ERROR_SUCCESS);

  TComm*& slot = CommSlots[ActiveSlot];
  // The test looks at the active slot only, whatever port number is asked for.
  if (PortSetUpBefore && slot != nullptr && slot->IsOpen()) {
    RecordError("Ten port jest już zainicjowany", 5);
    return 5;
  }

  TComm* port = new (std::nothrow) TComm();
  if (port == nullptr) {
    RecordError("Błąd podczas aktualizacji bloku kontroli danych.", ERROR_NOT_ENOUGH_MEMORY);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  // The object of an earlier initialisation is closed (the test above saw to
  // that) and is never used again.
  delete slot;
  slot = port;

  int32_t result = port->Configure(portNumber, baudRate, writeTimeoutSeconds, readTimeoutSeconds);
  if (result == 0) {
    result = port->Open();
  }
  PortSetUpBefore = true;
  return result;
}

int32_t ClosePort() {
  SetLastError(ERROR_SUCCESS);
  TComm* port = CommSlots[ActiveSlot];
  if (port == nullptr) {
    // Nothing was ever opened: only the priority class is put back, as the close
    // of a closed port would.
    RestorePriorityClass();
    return 0;
  }
  return port->Close();
}
