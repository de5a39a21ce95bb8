#include "allocations/allocations.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "virtual_serial.h"

namespace allocations {
namespace {

// Set on the caller's thread while its allocations count: a slot of the system's
// thread storage (no lock, nothing to clean up when a thread ends anywhere at the
// end of the process), taken when the program starts.
const DWORD callerCountsSlot = TlsAlloc();

std::atomic<bool> failing{false};
std::atomic<Side> failingSide{Side::Caller};
std::atomic<DWORD> callerThread{0};
std::atomic<long> allocationsToPass{0};
std::atomic<bool> failureMade{false};

// Whether this allocation counts towards the failure on request. Keeps the
// thread's error value (TlsGetValue clears it): allocations happen between a
// failing call and the reading of its error.
bool Counted() {
  if (!failing.load() || sim::InsidePortCall()) {
    return false;
  }
  const DWORD error = GetLastError();
  const bool caller = GetCurrentThreadId() == callerThread.load();
  const bool counted = failingSide.load() == Side::Library
                           ? !caller
                           : caller && TlsGetValue(callerCountsSlot) != nullptr;
  SetLastError(error);
  return counted;
}

std::atomic<size_t> liveBlocks{0};
std::atomic<size_t> liveBytes{0};

// Each block carries its size in front of what the program gets; the header
// keeps the alignment malloc gives.
constexpr size_t kHeader = 16;

}  // namespace

void FailAllocationAfter(long pass, Side side) {
  failureMade = false;
  allocationsToPass = pass;
  failingSide = side;
  callerThread = GetCurrentThreadId();
  failing = true;
}

bool StopFailingAllocations() {
  failing = false;
  return failureMade.load();
}

void CountCallerAllocations(bool counted) {
  TlsSetValue(callerCountsSlot, counted ? reinterpret_cast<LPVOID>(1) : nullptr);
}

Live LiveNow() { return Live{liveBlocks.load(), liveBytes.load()}; }

}  // namespace allocations

// operator new[] and delete[] come here through the runtime's own.
void* operator new(std::size_t size) {
  using namespace allocations;
  if (Counted() && allocationsToPass.fetch_sub(1) == 0) {
    failing = false;
    failureMade = true;
    throw std::bad_alloc();
  }
  size += size == 0 ? 1 : 0;
  auto* block = size <= static_cast<size_t>(-1) - kHeader
                    ? static_cast<unsigned char*>(std::malloc(kHeader + size))
                    : nullptr;
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  *reinterpret_cast<size_t*>(block) = size;
  liveBlocks.fetch_add(1);
  liveBytes.fetch_add(size);
  return block + kHeader;
}

void operator delete(void* pointer) noexcept {
  using namespace allocations;
  if (pointer != nullptr) {
    unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
    liveBlocks.fetch_sub(1);
    liveBytes.fetch_sub(*reinterpret_cast<size_t*>(block));
    std::free(block);
  }
}
void operator delete(void* pointer, std::size_t) noexcept { operator delete(pointer); }
