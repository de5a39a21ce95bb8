#include "trace/trace_writer.h"

#include <cwchar>

#include "trace/keep_last_error.h"

TTraceWriter TraceWriter;

namespace {

// Room kept free below the cap for the line that says tracing has stopped.
constexpr uint64_t kStopLineRoom = 256;

class LockGuard {
 public:
  explicit LockGuard(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
  ~LockGuard() { ReleaseSRWLockExclusive(lock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  SRWLOCK* lock_;
};

LONGLONG Now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

}  // namespace

HANDLE TTraceWriter::OpenForAppending(const wchar_t* path) {
  // Append access only: every write lands at the end of the file, whoever else
  // appends to it meanwhile. Reading the size needs the attributes.
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return nullptr;
  }
  return file;
}

bool TTraceWriter::Open(const wchar_t* path) {
  KeepLastError keep;
  LockGuard guard(&lock_);
  CloseLocked();
  // The full path: a rotation later finds the same file even if the host has
  // changed its current folder meanwhile. A name the system takes for a device
  // ("COM3", "NUL", "\\.\...") is refused before anything opens it: the
  // trace must never touch a port.
  const DWORD length = path[0] != L'\0' ? GetFullPathNameW(path, kMaxPath + 1, path_, nullptr) : 0;
  if (length == 0 || length > kMaxPath || wcsncmp(path_, L"\\\\.\\", 4) == 0) {
    path_[0] = L'\0';
    return false;
  }
  wmemcpy(rotated_, path_, length);
  wmemcpy(rotated_ + length, L".1", 3);
  file_ = OpenForAppending(path_);
  if (file_ == nullptr) {
    return false;
  }
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  frequency_ = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
  origin_ = Now();
  on_.store(true, std::memory_order_relaxed);
  return true;
}

void TTraceWriter::Close() {
  KeepLastError keep;
  LockGuard guard(&lock_);
  CloseLocked();
}

void TTraceWriter::CloseLocked() {
  on_.store(false, std::memory_order_relaxed);
  if (file_ != nullptr) {
    CloseHandle(file_);
    file_ = nullptr;
  }
}

void TTraceWriter::SetCap(uint64_t bytes) {
  LockGuard guard(&lock_);
  // A line must always fit into a new file.
  cap_ = bytes < 2 * TraceLine::kCapacity ? 2 * TraceLine::kCapacity : bytes;
}

void TTraceWriter::Begin(TraceLine& line) {
  KeepLastError keep;
  LockGuard guard(&lock_);
  // The clock is read under the lock, so the order of the lines in the file is the
  // order of their offsets.
  origin_ = Now();
  WriteLocked(line, origin_);
}

void TTraceWriter::Write(TraceLine& line) {
  KeepLastError keep;
  LockGuard guard(&lock_);
  WriteLocked(line, Now());
}

void TTraceWriter::WriteLocked(TraceLine& line, LONGLONG now) {
  if (file_ == nullptr) {
    return;
  }
  std::size_t size = 0;
  const char* text = line.Finish(
      static_cast<double>(now - origin_) * 1000.0 / static_cast<double>(frequency_), &size);
  if (!MakeRoom(size, now)) {
    return;
  }
  DWORD written = 0;
  if (!WriteFile(file_, text, static_cast<DWORD>(size), &written, nullptr) || written != size) {
    // A file that cannot be written (a full disk, a vanished share) is given up.
    CloseLocked();
  }
}

bool TTraceWriter::MakeRoom(std::size_t size, LONGLONG now) {
  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(file_, &fileSize)) {
    CloseLocked();  // a size that cannot be read cannot be kept under the cap
    return false;
  }
  const uint64_t cap = cap_ != 0 ? cap_ : kDefaultCap;
  const uint64_t current = static_cast<uint64_t>(fileSize.QuadPart);
  if (current + size + kStopLineRoom <= cap) {
    return true;
  }
  const double offset =
      static_cast<double>(now - origin_) * 1000.0 / static_cast<double>(frequency_);
  // Renamed while still open: every handle on it shares delete access, so the
  // lines of this run stay in the renamed file and the next starts a new one.
  if (MoveFileExW(path_, rotated_, MOVEFILE_REPLACE_EXISTING)) {
    CloseHandle(file_);
    file_ = OpenForAppending(path_);
    if (file_ == nullptr) {
      CloseLocked();
      return false;
    }
    TraceLine continued;
    continued.Text("trace continues; the lines before are in ").Wide(rotated_);
    std::size_t continuedSize = 0;
    const char* text = continued.Finish(offset, &continuedSize);
    DWORD written = 0;
    WriteFile(file_, text, static_cast<DWORD>(continuedSize), &written, nullptr);
    return true;
  }
  const DWORD error = GetLastError();
  TraceLine stopped;
  stopped.Text("trace stopped: the file reached its cap of ")
      .Number(static_cast<long long>(cap))
      .Text(" bytes and could not be renamed with .1 appended (Windows error ")
      .Number(error)
      .Text("); tracing resumes at the next opening of the port");
  std::size_t stoppedSize = 0;
  const char* text = stopped.Finish(offset, &stoppedSize);
  if (current + stoppedSize <= cap) {
    DWORD written = 0;
    WriteFile(file_, text, static_cast<DWORD>(stoppedSize), &written, nullptr);
  }
  CloseLocked();
  return false;
}
