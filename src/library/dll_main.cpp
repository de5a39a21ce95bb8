// Loading the library runs none of its own code. Unloading empties the text of the
// last-error record and takes the hand-over window out of reach of the messages
// that would otherwise call into unloaded code. While the port is open the worker
// and the watcher hold the library loaded, so a host that unloads it without
// closing the port first does not pull the code from under them.
#include <windows.h>

#include "library/last_error.h"
#include "port/thread.h"
#include "trace/trace.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    ClearLastErrorText();
    // At process exit (reserved not null) the windows go with the process.
    if (reserved == nullptr) {
      TThread::ReleaseHandOverWindow();
      TraceUnload();
    }
  }
  return TRUE;
}
