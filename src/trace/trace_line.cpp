#include "trace/trace_line.h"

#include <cstdio>
#include <cstring>

#include "trace/trace_threads.h"

namespace {

constexpr char kCut[] = "...";
constexpr std::size_t kTagWidth = 8;  // "watcher" and a blank

}  // namespace

TraceLine::TraceLine() : end_(kOffsetRoom), truncated_(false) {
  char tag[16];
  TraceThreadTag(GetCurrentThreadId(), tag, sizeof tag);
  const std::size_t length = std::strlen(tag);
  Append(tag, length);
  for (std::size_t i = length; i < kTagWidth; ++i) {
    Append(" ", 1);
  }
}

void TraceLine::Append(const char* bytes, std::size_t count) {
  if (truncated_) {
    return;
  }
  const std::size_t limit = kCapacity - kEndRoom - (sizeof kCut - 1);
  if (end_ + count > limit) {
    // Cut at a character boundary: never in the middle of a UTF-8 sequence.
    std::size_t fits = limit - end_;
    while (fits > 0 && (static_cast<unsigned char>(bytes[fits]) & 0xC0) == 0x80) {
      --fits;
    }
    std::memcpy(buffer_ + end_, bytes, fits);
    end_ += fits;
    std::memcpy(buffer_ + end_, kCut, sizeof kCut - 1);
    end_ += sizeof kCut - 1;
    truncated_ = true;
    return;
  }
  std::memcpy(buffer_ + end_, bytes, count);
  end_ += count;
}

TraceLine& TraceLine::Text(const char* text) {
  Append(text, std::strlen(text));
  return *this;
}

void TraceLine::AppendUtf16(const wchar_t* text, std::size_t length) {
  // Converted in pieces that end on a whole character.
  constexpr int kPiece = 512;
  while (length > 0 && !truncated_) {
    int count = length > kPiece ? kPiece : static_cast<int>(length);
    if (count == kPiece && IS_HIGH_SURROGATE(text[count - 1])) {
      --count;
    }
    char utf8[kPiece * 3];
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text, count, utf8, sizeof utf8, nullptr, nullptr);
    Append(utf8, bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
    text += count;
    length -= static_cast<std::size_t>(count);
  }
}

TraceLine& TraceLine::Cp1250(const char* text) {
  constexpr int kPiece = 256;
  std::size_t length = std::strlen(text);
  while (length > 0 && !truncated_) {
    const int count = length > kPiece ? kPiece : static_cast<int>(length);
    wchar_t wide[kPiece];
    // Every byte of Windows-1250 is one UTF-16 unit; none is invalid.
    const int units = MultiByteToWideChar(1250, 0, text, count, wide, kPiece);
    AppendUtf16(wide, units > 0 ? static_cast<std::size_t>(units) : 0);
    text += count;
    length -= static_cast<std::size_t>(count);
  }
  return *this;
}

TraceLine& TraceLine::Wide(const wchar_t* text) {
  AppendUtf16(text, wcslen(text));
  return *this;
}

TraceLine& TraceLine::Number(long long value) {
  char digits[24];
  const int length = std::snprintf(digits, sizeof digits, "%lld", value);
  Append(digits, static_cast<std::size_t>(length));
  return *this;
}

TraceLine& TraceLine::HexByte(uint8_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const char digits[2] = {kDigits[value >> 4], kDigits[value & 0x0F]};
  Append(digits, 2);
  return *this;
}

TraceLine& TraceLine::HexBytes(const uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      Append(" ", 1);
    }
    HexByte(bytes[i]);
  }
  return *this;
}

TraceLine& TraceLine::Milliseconds(double ms) {
  char digits[32];
  const int length = std::snprintf(digits, sizeof digits, "%.2f ms", ms);
  Append(digits, static_cast<std::size_t>(length));
  return *this;
}

const char* TraceLine::Finish(double offsetMs, std::size_t* size) {
  char offset[kOffsetRoom + 1];
  int length = std::snprintf(offset, sizeof offset, "%10.2f ", offsetMs);
  if (length < 0 || static_cast<std::size_t>(length) > kOffsetRoom) {
    length = std::snprintf(offset, sizeof offset, "%s ", "?");
  }
  const std::size_t start = kOffsetRoom - static_cast<std::size_t>(length);
  std::memcpy(buffer_ + start, offset, static_cast<std::size_t>(length));
  buffer_[end_] = '\r';
  buffer_[end_ + 1] = '\n';
  *size = end_ + kEndRoom - start;
  return buffer_ + start;
}
