#include "port/hand_off.h"

#include "library/last_error.h"
#include "port/comm.h"

bool TransferFailed = false;
uint8_t OutByte = 0;
uint8_t InByte = 0;
HANDLE WriteRequestEvent = nullptr;
HANDLE ReadRequestEvent = nullptr;
HANDLE TransferIdleEvent = nullptr;

namespace {

enum class Direction { Write, Read };

// Both directions run the same steps; only the request, the byte and a few
// messages differ.
struct DirectionTexts {
  const char* closedWhileWaiting;
  const char* finalSignalFailed;
};

constexpr DirectionTexts kWriteTexts{"Zapis przerwany.", "Błąd podczas sygnalizacji zdarzenia."};
constexpr DirectionTexts kReadTexts{"Przerwany zapis ", "Błąd podczas anulacji zdarzenia."};

// Waits until the port closes or the worker is idle, in that order of preference:
// a closed port wins over an idle worker. Reads both handles afresh.
DWORD WaitForIdleOrClosing() {
  HANDLE waitList[2] = {PortClosingEvent, TransferIdleEvent};
  return WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
}

bool HandOff(Direction direction, uint8_t value, uint8_t* received) {
  const DirectionTexts& texts = direction == Direction::Write ? kWriteTexts : kReadTexts;
  TransferFailed = false;
  bool result = false;

  const DWORD first = WaitForIdleOrClosing();
  if (first == WAIT_OBJECT_0 + 1) {
    if (direction == Direction::Write) {
      OutByte = value;
    }
    // Reset before the request, so the second wait cannot see the idle state that
    // came before it.
    if (!ResetEvent(TransferIdleEvent)) {
      RecordLastError("Błąd podczas anulacji zdarzenia.");
      TransferFailed = true;
      return false;
    }
    HANDLE request = direction == Direction::Write ? WriteRequestEvent : ReadRequestEvent;
    if (!SetEvent(request)) {
      RecordLastError("Błąd podczas sygnalizacji zdarzenia.");
      TransferFailed = true;
      // No transfer was asked for: put the idle state back so that later callers
      // are not left waiting for a transfer that never comes.
      SetEvent(TransferIdleEvent);
      return false;
    }
  } else if (first == WAIT_OBJECT_0) {
    RecordLastError(texts.closedWhileWaiting);
    TransferFailed = true;
  } else {
    RecordLastError("Niepoprawny zapis.");
    TransferFailed = true;
  }

  if (WaitForIdleOrClosing() == WAIT_OBJECT_0 + 1) {
    result = !TransferFailed;
    if (result && received != nullptr) {
      *received = InByte;
    }
  } else {
    RecordLastError("Błąd funkcji WaitForMultipleObjects.");
    TransferFailed = true;
  }

  if (!SetEvent(TransferIdleEvent)) {
    RecordLastError(texts.finalSignalFailed);
    result = false;
  }
  return result;
}

}  // namespace

bool SendByte(uint8_t value) { return HandOff(Direction::Write, value, nullptr); }

bool ReceiveByte(uint8_t& value) {
  uint8_t received = 0;
  const bool result = HandOff(Direction::Read, 0, &received);
  if (result) {
    value = received;
  }
  return result;
}
