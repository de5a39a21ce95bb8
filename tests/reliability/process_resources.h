// What a process holds, measured in ways that also work under Wine, where
// GetProcessHandleCount answers 0:
// - handles: every handle value probed with GetHandleInformation, and the highest
//   value a batch of new handles takes (handles are given out lowest free first, so
//   a leak pushes it up once the holes below are filled; a batch rather than one
//   handle, because a hole that some handle leaves and takes again on every round,
//   below any leak, would hide the leak from a single probe);
// - threads: a Toolhelp snapshot of the system's threads, those of this process;
// - memory: the bytes in use in every heap of the process (HeapWalk), which hold
//   what the C++ runtime allocates. GetProcessMemoryInfo answers too under Wine
//   (K32GetProcessMemoryInfo), but in whole pages and with Wine's own mappings in
//   them: it is reported, not compared.
#pragma once

#include <windows.h>
// After windows.h, which they build on.
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace reliability {

struct ProcessResources {
  unsigned handles = 0;            // open handles of this process
  uintptr_t handleWatermark = 0;   // the highest value of kProbeHandles new handles
  unsigned threads = 0;            // threads of this process
  size_t heapBytes = 0;            // bytes in use in the process's heaps
  DWORD systemHandleCount = 0;     // GetProcessHandleCount (0 under Wine)
  size_t systemPagefileUsage = 0;  // GetProcessMemoryInfo: private bytes
  size_t systemWorkingSet = 0;     // GetProcessMemoryInfo: working set
};

// Handle values are multiples of 4; a process of the tests holds a few hundred.
constexpr uintptr_t kHighestHandleProbed = 0x10000;

inline unsigned CountOpenHandles(uintptr_t highest = kHighestHandleProbed) {
  unsigned open = 0;
  for (uintptr_t value = 4; value <= highest; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++open;
    }
  }
  return open;
}

constexpr unsigned kProbeHandles = 64;

inline uintptr_t HandleWatermark() {
  HANDLE probes[kProbeHandles];
  uintptr_t highest = 0;
  for (HANDLE& probe : probes) {
    probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    highest = std::max(highest, reinterpret_cast<uintptr_t>(probe));
  }
  for (HANDLE probe : probes) {
    CloseHandle(probe);
  }
  return highest;
}

inline unsigned CountThreadsOfThisProcess() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return 0;
  }
  unsigned threads = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
      ++threads;
    }
  }
  CloseHandle(snapshot);
  return threads;
}

inline size_t HeapBytesInUse() {
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  size_t used = 0;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    if (!HeapLock(heaps[i])) {
      continue;
    }
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
        used += entry.cbData;
      }
    }
    HeapUnlock(heaps[i]);
  }
  return used;
}

inline ProcessResources MeasureResources() {
  ProcessResources resources;
  resources.handles = CountOpenHandles();
  resources.handleWatermark = HandleWatermark();
  resources.threads = CountThreadsOfThisProcess();
  resources.heapBytes = HeapBytesInUse();
  GetProcessHandleCount(GetCurrentProcess(), &resources.systemHandleCount);
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    resources.systemPagefileUsage = counters.PagefileUsage;
    resources.systemWorkingSet = counters.WorkingSetSize;
  }
  return resources;
}

}  // namespace reliability
