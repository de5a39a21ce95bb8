// The scene of the trace tests: the reliability tests' line (the library's port on
// a virtual COM port, the ZRV device model at its far end) with the trace switched
// on through KWELMORA_TRACE into a folder of the test's own, and the trace file
// read back line by line.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "reliability/zrv_line_fixture.h"
#include "trace/trace.h"

namespace trace_test {

// One line as the trace writes it: "<offset ms> <thread> <text>".
struct TracedLine {
  double offsetMs = 0;
  std::string thread;
  std::string text;
  std::string whole;  // thread and text as written, as the matchers see them
};

// Parses one line (without its line end); false when it is not a whole trace line.
inline bool ParseLine(const std::string& line, TracedLine* parsed) {
  static const std::regex kLine(
      R"(^ *([0-9]+\.[0-9]{2}) ((host|worker|watcher|t[0-9]+) +(\S.*))$)");
  std::smatch match;
  if (!std::regex_match(line, match, kLine)) {
    return false;
  }
  parsed->offsetMs = std::stod(match[1].str());
  parsed->whole = match[2].str();
  parsed->thread = match[3].str();
  parsed->text = match[4].str();
  return true;
}

// The file's bytes.
inline std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string bytes;
  if (file == INVALID_HANDLE_VALUE) {
    return bytes;
  }
  char buffer[65536];
  DWORD count = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    bytes.append(buffer, count);
  }
  CloseHandle(file);
  return bytes;
}

// The file's lines, each ended by CR LF; a piece after the last line end fails
// the test (a line written in parts).
inline std::vector<std::string> ReadLines(const std::wstring& path) {
  const std::string bytes = ReadBytes(path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, bytes.size()) << "bytes after the last line end";
  return lines;
}

// Every line parsed; a line that does not parse fails the test.
inline std::vector<TracedLine> ParseAll(const std::vector<std::string>& lines) {
  std::vector<TracedLine> parsed;
  for (const std::string& line : lines) {
    TracedLine traced;
    if (ParseLine(line, &traced)) {
      parsed.push_back(traced);
    } else {
      ADD_FAILURE() << "not a whole trace line: " << line.substr(0, 200);
    }
  }
  return parsed;
}

// True for the header line that starts each opening of the port.
inline bool IsHeader(const TracedLine& line) { return line.text.rfind("==== Kwelmora ", 0) == 0; }

// The lines of the last opening: from its header on.
inline std::vector<TracedLine> LastOpening(const std::vector<TracedLine>& lines) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (IsHeader(lines[i])) {
      start = i;
    }
  }
  return std::vector<TracedLine>(lines.begin() + static_cast<std::ptrdiff_t>(start), lines.end());
}

// Each pattern (a regular expression searched in "thread text") matches a line,
// each after the one the pattern before matched.
inline ::testing::AssertionResult MatchInOrder(const std::vector<TracedLine>& lines,
                                               const std::vector<std::string>& patterns) {
  std::size_t next = 0;
  for (const std::string& pattern : patterns) {
    const std::regex expression(pattern);
    bool found = false;
    for (; next < lines.size() && !found; ++next) {
      found = std::regex_search(lines[next].whole, expression);
    }
    if (!found) {
      std::string text;
      for (const TracedLine& line : lines) text += "\n  " + line.whole.substr(0, 220);
      return ::testing::AssertionFailure()
             << "no line matches '" << pattern << "' after the lines before; the lines:" << text;
    }
  }
  return ::testing::AssertionSuccess();
}

// Offsets never decrease within an opening (they start again at each header).
inline ::testing::AssertionResult OffsetsNeverDecrease(const std::vector<TracedLine>& lines) {
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (!IsHeader(lines[i]) && lines[i].offsetMs < lines[i - 1].offsetMs) {
      return ::testing::AssertionFailure() << "offset " << lines[i].offsetMs << " after "
                                           << lines[i - 1].offsetMs << " at line " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

inline std::string Utf8(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline uint64_t SizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    return 0;
  }
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A folder of the test's own under the temporary folder, emptied and removed at
// the end (one level of subfolders included).
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + L"kwelmora-trace-" + std::to_wstring(GetCurrentProcessId()) +
            L"-" + std::to_wstring(GetTickCount64());
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchFolder() { Remove(path_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::wstring Path(const wchar_t* name) const { return path_ + L"\\" + name; }
  const std::wstring& path() const { return path_; }

  // The names in the folder.
  std::vector<std::wstring> Names() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      return names;
    }
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }

 private:
  static void Remove(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          Remove(path);
        } else {
          DeleteFileW(path.c_str());
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
  }

  std::wstring path_;
};

// The reliability scene with the trace: TraceTo(file) before Open().
class TraceTest : public reliability::ZrvLineTest {
 protected:
  void TearDown() override {
    reliability::ZrvLineTest::TearDown();
    SetEnvironmentVariableW(L"KWELMORA_TRACE", nullptr);
    TraceUnload();
    TraceWriter.SetCap(TTraceWriter::kDefaultCap);
  }

  // The next initialisation traces into `path`; an empty path switches it off.
  void TraceTo(const std::wstring& path) {
    SetEnvironmentVariableW(L"KWELMORA_TRACE", path.c_str());
  }

  ScratchFolder folder;
};

}  // namespace trace_test
