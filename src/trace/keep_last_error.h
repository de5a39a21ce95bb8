// Keeps the calling thread's last-error value across a trace hook: the library
// reads GetLastError after its own calls, and a trace line may come in between.
#pragma once

#include <windows.h>

class KeepLastError {
 public:
  KeepLastError() : error_(GetLastError()) {}
  ~KeepLastError() { SetLastError(error_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD error_;
};
