// The test program's allocations through operator new, watched on request:
// - every pointer freed, on any thread: shows that the port object an
//   initialisation replaces is destroyed rather than leaked;
// - a failure on request: the n-th allocation of one thread fails, outside the
//   virtual driver's calls (the Windows serial driver allocates nothing of the
//   program's);
// - the blocks alive and their bytes, counted exactly whatever heap lies below
//   (a heap's own figures include its free lists and groups kept for later).
#pragma once

#include <cstddef>
#include <set>

namespace allocations {

// Records every pointer freed into `freed` until called again with null.
void WatchFrees(std::set<void*>* freed);

// The allocation after `pass` more on this thread fails (once).
void FailAllocationAfter(long pass);

// Ends the failure on request; true when it was made.
bool StopFailingAllocations();

struct Live {
  size_t blocks = 0;  // allocated and not yet freed
  size_t bytes = 0;   // as asked for
};

// The blocks alive now, made by any thread.
Live LiveNow();

}  // namespace allocations
