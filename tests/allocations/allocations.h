// The test program's allocations through operator new, watched on request:
// - a failure on request: the n-th allocation of one side fails, never one of the
//   virtual driver's (its calls and its clock thread: the Windows serial driver
//   allocates nothing of the program's);
// - the blocks alive and their bytes, counted exactly whatever heap lies below
//   (a heap's own figures include its free lists and groups kept for later).
#pragma once

#include <cstddef>

namespace allocations {

// Whose allocations a failure on request counts.
enum class Side {
  Caller,   // the thread that asks for the failure, while it counts them (below)
  Library,  // every other thread: the library's worker and watcher
};

// The allocation after `pass` more of `side` fails (once).
void FailAllocationAfter(long pass, Side side = Side::Caller);

// Ends the failure on request; true when it was made.
bool StopFailingAllocations();

// From true to false, the calling thread's allocations count for Side::Caller:
// its calls into the library and what the library hands over to it, not the
// test's own work.
void CountCallerAllocations(bool counted);

struct Live {
  size_t blocks = 0;  // allocated and not yet freed
  size_t bytes = 0;   // as asked for
};

// The blocks alive now, made by any thread.
Live LiveNow();

}  // namespace allocations
