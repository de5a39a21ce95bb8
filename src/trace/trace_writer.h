// TTraceWriter: the trace file, one for the library. Any thread writes whole lines
// to it: the line is made by the caller (TraceLine), then Write takes the lock,
// reads the clock, puts the time offset in front and hands the line to the file
// with a single WriteFile, with no buffer of our own in between: a host that
// crashes loses nothing already written, and lines of the host's thread, the
// worker and the watcher never interleave and their offsets never decrease.
//
// The writer never reports a failure of its own: a file that cannot be opened or
// written is given up silently and the library runs as it does without a trace.
//
// The file is opened for appending with read, write and delete sharing, so that it
// can be read, copied and rotated while the host runs. Before a line would take it
// past the cap (its size on disk, whatever wrote it), it is renamed with ".1"
// appended, replacing an older one, and a new file is started. If the rename
// fails, tracing stops until the next opening of the port and the file's last line
// says so.
//
// Constant-initialised: loading the library runs none of its code.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "trace/trace_line.h"

class TTraceWriter {
 public:
  static constexpr uint64_t kDefaultCap = uint64_t{16} * 1024 * 1024;
  // Longest path: what the environment or the registry can hold.
  static constexpr DWORD kMaxPath = 32767;

  constexpr TTraceWriter() = default;
  TTraceWriter(const TTraceWriter&) = delete;
  TTraceWriter& operator=(const TTraceWriter&) = delete;

  // The question every hook asks first: is a trace file open?
  bool On() const { return on_.load(std::memory_order_relaxed); }

  // Closes the current file, if any, and opens `path` for appending. False when it
  // cannot be opened or is not a file on a disk (a device such as a COM port is
  // never opened or written to).
  bool Open(const wchar_t* path);
  // Closes the file; nothing is written until the next Open.
  void Close();

  // Writes the first line of an opening of the port: time offsets restart at it.
  void Begin(TraceLine& line);
  void Write(TraceLine& line);

  // The cap on the file's size (kDefaultCap unless a test lowers it).
  void SetCap(uint64_t bytes);

 private:
  // All under lock_.
  void WriteLocked(TraceLine& line, LONGLONG now);
  // Rotates the file when `size` more bytes would take it past the cap. False when
  // the line must not be written (tracing has stopped).
  bool MakeRoom(std::size_t size, LONGLONG now);
  void CloseLocked();
  // The open file, or null.
  static HANDLE OpenForAppending(const wchar_t* path);

  SRWLOCK lock_ = SRWLOCK_INIT;
  std::atomic<bool> on_{false};
  HANDLE file_ = nullptr;  // null while no file is open
  // Every member starts at zero, so the writer takes no room in the DLL's file.
  LONGLONG origin_ = 0;     // performance counter at the opening's first line
  LONGLONG frequency_ = 0;  // performance counter ticks a second, read by Open
  uint64_t cap_ = 0;        // 0: kDefaultCap
  wchar_t path_[kMaxPath + 1] = {};
  wchar_t rotated_[kMaxPath + 3] = {};  // path_ with ".1" appended
};

// The library's trace file.
extern TTraceWriter TraceWriter;
