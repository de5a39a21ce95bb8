// The library's last-error record: the message and code of the most recent
// failure anywhere in the library. Nothing in the library reads it back and no
// export returns it; it is there for whoever inspects the library's state.
#pragma once

#include <cstdint>
#include <string>

// Longest text the record keeps; every message of the library is far shorter.
constexpr std::size_t kLastErrorTextCapacity = 255;

// The record itself. Written only through the functions below, which hold a lock
// so that text and code always belong to the same failure: the byte transfer
// worker, the line-event handling and the host's thread all record failures.
extern char LastErrorText[kLastErrorTextCapacity + 1];
extern int32_t LastErrorCode;

// Stores a failure: the text (Windows-1250) and its code, replacing the previous one.
void RecordError(const char* text, int32_t code);

// Stores a failure with the calling thread's system error code (GetLastError).
void RecordLastError(const char* text);

// Stores a bare system error code, leaving the text as it is (a failure that has
// no message of its own, such as the process not opening for a priority query).
void RecordErrorCode(int32_t code);

// Empties the text, keeping the code; done when the library is unloaded.
void ClearLastErrorText();

// A consistent copy of the record.
struct LastErrorRecord {
  std::string text;
  int32_t code;
};
LastErrorRecord LastError();
