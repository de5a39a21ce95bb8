// TraceLine: one line of the diagnostic trace, built on the stack of the thread
// whose event it describes. The text is put together before the writer's lock is
// taken; the writer only puts the time offset in front (in room kept free for it)
// and the line end behind, so that the whole line goes to the file in one write.
//
// Nothing here allocates or throws: a trace line is made on the worker and the
// watcher as well as on the host's thread, and whatever does not fit is cut off
// with "..." at the end.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

class TraceLine {
 public:
  // Longest line, time offset and line end included. The longest text the library
  // records (255 Windows-1250 characters) takes at most 765 bytes in UTF-8.
  static constexpr std::size_t kCapacity = 4096;

  // An empty line tagged with the thread it is made on: "host", "worker",
  // "watcher" (see TraceThreads), or the thread's id.
  TraceLine();

  TraceLine(const TraceLine&) = delete;
  TraceLine& operator=(const TraceLine&) = delete;

  TraceLine& Text(const char* text);
  // Windows-1250 text (the library's messages), converted to UTF-8.
  TraceLine& Cp1250(const char* text);
  // UTF-16 text (paths), converted to UTF-8.
  TraceLine& Wide(const wchar_t* text);
  TraceLine& Number(long long value);
  // Two upper-case hex digits.
  TraceLine& HexByte(uint8_t value);
  // Bytes as two hex digits each, separated by blanks.
  TraceLine& HexBytes(const uint8_t* bytes, std::size_t count);
  // Milliseconds with two decimals.
  TraceLine& Milliseconds(double ms);

  // Puts the time offset in front and the line end behind; answers the finished
  // line and its length. Called by the writer, under its lock.
  const char* Finish(double offsetMs, std::size_t* size);

  bool Truncated() const { return truncated_; }

 private:
  // Room in front for the offset: "%10.2f " takes 11 characters until 27 hours,
  // more after that.
  static constexpr std::size_t kOffsetRoom = 24;
  static constexpr std::size_t kEndRoom = 2;  // "\r\n"

  void Append(const char* bytes, std::size_t count);
  void AppendUtf16(const wchar_t* text, std::size_t length);

  char buffer_[kCapacity];
  std::size_t end_;  // end of the text, from the start of buffer_
  bool truncated_;
};
