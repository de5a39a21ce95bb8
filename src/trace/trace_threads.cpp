#include "trace/trace_threads.h"

#include <atomic>
#include <cstdio>

namespace {

// Thread ids by role; 0 is no thread. Constant-initialised: loading the library
// runs none of its code.
std::atomic<DWORD> RoleThreads[3] = {};

constexpr const char* kRoleTags[3] = {"host", "worker", "watcher"};

}  // namespace

void SetTraceThread(TraceThread role, DWORD threadId) {
  RoleThreads[static_cast<int>(role)].store(threadId, std::memory_order_relaxed);
}

void TraceThreadTag(DWORD threadId, char* tag, std::size_t size) {
  for (int role = 0; role < 3; ++role) {
    if (threadId != 0 && RoleThreads[role].load(std::memory_order_relaxed) == threadId) {
      std::snprintf(tag, size, "%s", kRoleTags[role]);
      return;
    }
  }
  std::snprintf(tag, size, "t%lu", static_cast<unsigned long>(threadId));
}
