#include "library/last_error.h"

#include <windows.h>

#include <cstring>

#include "trace/trace.h"

char LastErrorText[kLastErrorTextCapacity + 1] = {};
int32_t LastErrorCode = 0;

namespace {

// Statically initialised: loading the library runs none of its code.
SRWLOCK RecordLock = SRWLOCK_INIT;

class RecordGuard {
 public:
  explicit RecordGuard(bool exclusive) : exclusive_(exclusive) {
    if (exclusive_) {
      AcquireSRWLockExclusive(&RecordLock);
    } else {
      AcquireSRWLockShared(&RecordLock);
    }
  }
  ~RecordGuard() {
    if (exclusive_) {
      ReleaseSRWLockExclusive(&RecordLock);
    } else {
      ReleaseSRWLockShared(&RecordLock);
    }
  }
  RecordGuard(const RecordGuard&) = delete;
  RecordGuard& operator=(const RecordGuard&) = delete;

 private:
  bool exclusive_;
};

}  // namespace

void RecordError(const char* text, int32_t code) {
  // Callers pass the system error value they read before calling; nothing here
  // changes the thread's last-error value.
  if (text == nullptr) {
    text = "";
  }
  TraceFailure(text, code);
  const std::size_t length = strnlen(text, kLastErrorTextCapacity);
  RecordGuard guard(true);
  std::memcpy(LastErrorText, text, length);
  LastErrorText[length] = '\0';
  LastErrorCode = code;
}

void RecordLastError(const char* text) { RecordError(text, static_cast<int32_t>(GetLastError())); }

void RecordErrorCode(int32_t code) {
  TraceFailureCode(code);
  RecordGuard guard(true);
  LastErrorCode = code;
}

void ClearLastErrorText() {
  RecordGuard guard(true);
  LastErrorText[0] = '\0';
}

LastErrorRecord LastError() {
  RecordGuard guard(false);
  return LastErrorRecord{std::string(LastErrorText), LastErrorCode};
}
