// What HeapWalk counts as in use once everything allocated has been freed, under
// the Wine that runs this: no library, only the C runtime's malloc and free.
// Rounds of bursts (a few dozen to two thousand blocks of one small size, all
// freed again) and of threads started and ended, with the process heaps' busy
// bytes before and after, and then each heap's HeapCompatibilityInformation.
// Wine 10 turns the low-fragmentation heap on by itself once a heap has served
// enough blocks of a size (information 2), and HeapWalk then reports the block
// groups it carves from the heap as busy even when every block in them is free,
// so its total grows with no allocation alive; Wine 8 keeps the standard heap
// (0) and the total comes back exactly. See docs/RELIABILITY.md.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

size_t HeapBytesInUse() {
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  size_t used = 0;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) used += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  return used;
}

void Burst(unsigned round) {
  static void* blocks[2000];
  const unsigned count = 50 + round * 37 % 1950;
  const size_t size = 16 + round * 13 % 400;
  for (unsigned i = 0; i < count; ++i) blocks[i] = std::malloc(size);
  for (unsigned i = 0; i < count; ++i) std::free(blocks[i]);
}

DWORD WINAPI Nothing(void*) { return 0; }

void ThreadStartedAndEnded(unsigned) {
  HANDLE thread = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

void Measure(const char* what, void (*step)(unsigned), unsigned rounds) {
  for (unsigned i = 0; i < 5; ++i) step(i);  // what lives as long as the process
  const size_t before = HeapBytesInUse();
  for (unsigned i = 0; i < rounds; ++i) step(i);
  const size_t after = HeapBytesInUse();
  std::printf("%-34s %5u rounds: %9zu -> %9zu busy bytes (%+lld)\n", what, rounds, before, after,
              static_cast<long long>(after) - static_cast<long long>(before));
}

}  // namespace

int main() {
  Measure("malloc bursts, all freed", Burst, 200);
  Measure("threads started and ended", ThreadStartedAndEnded, 400);
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  for (DWORD i = 0; i < count && i < 64; ++i) {
    ULONG compatibility = 0;
    HeapQueryInformation(heaps[i], HeapCompatibilityInformation, &compatibility,
                         sizeof compatibility, nullptr);
    std::printf("heap %lu%s: HeapCompatibilityInformation %lu (%s)\n", i,
                heaps[i] == GetProcessHeap() ? " (the process heap)" : "", compatibility,
                compatibility == 2 ? "low-fragmentation heap" : "standard heap");
  }
  return 0;
}
