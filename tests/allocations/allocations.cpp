#include "allocations/allocations.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "virtual_serial.h"

namespace allocations {
namespace {

// The library's threads allocate and free while a test watches, so the watch
// takes a lock; the set's own allocations are not watched. No lock is taken while
// nothing is watched: at the end of the process a thread can be ended anywhere,
// and a lock it held would stop every later free.
SRWLOCK watchLock = SRWLOCK_INIT;
std::atomic<std::set<void*>*> freedPointers{nullptr};  // changed under watchLock

// Set on a thread while it records a free (the set's own frees are not watched):
// a slot of the system's thread storage, which takes no lock. It is taken when
// the program starts, before any thread of a test.
const DWORD insideWatchSlot = TlsAlloc();

// Both keep the thread's error value (TlsGetValue clears it): frees and
// allocations happen between a failing call and the reading of its error.
bool InsideWatch() {
  const DWORD error = GetLastError();
  const bool inside = TlsGetValue(insideWatchSlot) != nullptr;
  SetLastError(error);
  return inside;
}
void SetInsideWatch(bool inside) {
  const DWORD error = GetLastError();
  TlsSetValue(insideWatchSlot, inside ? reinterpret_cast<LPVOID>(1) : nullptr);
  SetLastError(error);
}

std::atomic<DWORD> failingThread{0};
std::atomic<long> allocationsToPass{0};
std::atomic<bool> failureMade{false};

std::atomic<size_t> liveBlocks{0};
std::atomic<size_t> liveBytes{0};

// Each block carries its size in front of what the program gets; the header
// keeps the alignment malloc gives.
constexpr size_t kHeader = 16;

void* Allocate(size_t size) {
  if (size > static_cast<size_t>(-1) - kHeader) {
    return nullptr;
  }
  auto* block = static_cast<unsigned char*>(std::malloc(kHeader + size));
  if (block == nullptr) {
    return nullptr;
  }
  *reinterpret_cast<size_t*>(block) = size;
  liveBlocks.fetch_add(1);
  liveBytes.fetch_add(size);
  return block + kHeader;
}

void Release(void* pointer) {
  if (pointer == nullptr) {
    return;
  }
  if (freedPointers.load() != nullptr && !InsideWatch()) {
    SetInsideWatch(true);
    AcquireSRWLockExclusive(&watchLock);
    if (std::set<void*>* freed = freedPointers.load()) {
      freed->insert(pointer);
    }
    ReleaseSRWLockExclusive(&watchLock);
    SetInsideWatch(false);
  }
  unsigned char* block = static_cast<unsigned char*>(pointer) - kHeader;
  liveBlocks.fetch_sub(1);
  liveBytes.fetch_sub(*reinterpret_cast<size_t*>(block));
  std::free(block);
}

}  // namespace

void WatchFrees(std::set<void*>* freed) {
  AcquireSRWLockExclusive(&watchLock);
  freedPointers.store(freed);
  ReleaseSRWLockExclusive(&watchLock);
}

void FailAllocationAfter(long pass) {
  failureMade = false;
  allocationsToPass = pass;
  failingThread = GetCurrentThreadId();
}

bool StopFailingAllocations() {
  failingThread = 0;
  return failureMade.load();
}

Live LiveNow() { return Live{liveBlocks.load(), liveBytes.load()}; }

}  // namespace allocations

// operator new[] and delete[] come here through the runtime's own.
void* operator new(std::size_t size) {
  using namespace allocations;
  if (failingThread.load() == GetCurrentThreadId() && !InsideWatch() && !sim::InsidePortCall() &&
      allocationsToPass.fetch_sub(1) == 0) {
    failingThread = 0;
    failureMade = true;
    throw std::bad_alloc();
  }
  void* pointer = Allocate(size == 0 ? 1 : size);
  if (pointer == nullptr) {
    throw std::bad_alloc();
  }
  return pointer;
}
void operator delete(void* pointer) noexcept { allocations::Release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { allocations::Release(pointer); }
