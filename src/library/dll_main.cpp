// Loading the library runs none of its own code; unloading only empties the text
// of the last-error record.
#include <windows.h>

#include "library/last_error.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) {
    ClearLastErrorText();
  }
  return TRUE;
}
