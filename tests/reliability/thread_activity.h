// How much a thread ran: its CPU time (GetThreadTimes) and, where the thread is a
// Linux task that can be found, as under Wine, how often it was switched in and
// out. The task is found by the name the thread is given (SetThreadDescription,
// which Wine passes on to the task's comm) among the tasks in /proc, which a
// Windows program under Wine reads through the Z: drive.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace reliability {

struct ThreadActivity {
  ULONGLONG cpu100ns = 0;  // kernel + user time
  bool switchesKnown = false;
  unsigned long long voluntarySwitches = 0;
  unsigned long long involuntarySwitches = 0;
};

inline ULONGLONG FileTimeValue(const FILETIME& time) {
  return (ULONGLONG{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

inline std::string ReadSmallFile(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return std::string();
  }
  char buffer[4096];
  DWORD count = 0;
  const BOOL read = ReadFile(file, buffer, sizeof buffer - 1, &count, nullptr);
  CloseHandle(file);
  return read ? std::string(buffer, count) : std::string();
}

// Names the thread and looks for the Linux task of that name: its /proc
// directory as a Windows path, or "" where there is none (not Wine, no Z: drive,
// no thread names).
inline std::string FindLinuxTask(HANDLE thread, const char* name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernelBase = GetModuleHandleA("kernelbase.dll");
  auto setDescription = kernelBase != nullptr
                            ? reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
                                  GetProcAddress(kernelBase, "SetThreadDescription")))
                            : nullptr;
  if (setDescription == nullptr) {
    return std::string();
  }
  // Another test program may be naming a thread alike at the same time (two runs
  // side by side, each in a prefix of its own, where even the process ids may be
  // the same): the name gets digits of this moment's counter, up to the 15
  // characters a task's name holds.
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const std::string unique = (name + std::to_string(now.QuadPart % 1000000)).substr(0, 15);
  wchar_t wide[16] = {};
  for (size_t i = 0; i < unique.size(); ++i) {
    wide[i] = static_cast<wchar_t>(unique[i]);
  }
  setDescription(thread, wide);

  WIN32_FIND_DATAA process;
  HANDLE processes = FindFirstFileA("Z:\\proc\\*", &process);
  if (processes == INVALID_HANDLE_VALUE) {
    return std::string();
  }
  std::string found;
  do {
    if (process.cFileName[0] < '1' || process.cFileName[0] > '9') {
      continue;
    }
    const std::string tasksDirectory = std::string("Z:\\proc\\") + process.cFileName + "\\task\\";
    WIN32_FIND_DATAA task;
    HANDLE tasks = FindFirstFileA((tasksDirectory + "*").c_str(), &task);
    if (tasks == INVALID_HANDLE_VALUE) {
      continue;
    }
    do {
      if (task.cFileName[0] == '.') {
        continue;
      }
      const std::string directory = tasksDirectory + task.cFileName + "\\";
      std::string comm = ReadSmallFile(directory + "comm");
      while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\r')) comm.pop_back();
      if (comm == unique) {
        found = directory;
      }
    } while (found.empty() && FindNextFileA(tasks, &task));
    FindClose(tasks);
  } while (found.empty() && FindNextFileA(processes, &process));
  FindClose(processes);
  return found;
}

inline unsigned long long StatusField(const std::string& status, const char* field) {
  const size_t at = status.find(field);
  if (at == std::string::npos) {
    return 0;
  }
  return std::strtoull(status.c_str() + at + std::strlen(field), nullptr, 10);
}

// `task` is what FindLinuxTask found for the thread ("" for none).
inline ThreadActivity MeasureThread(HANDLE thread, const std::string& task) {
  ThreadActivity activity;
  FILETIME created, exited, kernel, user;
  if (GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
    activity.cpu100ns = FileTimeValue(kernel) + FileTimeValue(user);
  }
  if (!task.empty()) {
    const std::string status = ReadSmallFile(task + "status");
    if (status.find("voluntary_ctxt_switches:") != std::string::npos) {
      activity.switchesKnown = true;
      activity.voluntarySwitches = StatusField(status, "\nvoluntary_ctxt_switches:");
      activity.involuntarySwitches = StatusField(status, "nonvoluntary_ctxt_switches:");
    }
  }
  return activity;
}

}  // namespace reliability
