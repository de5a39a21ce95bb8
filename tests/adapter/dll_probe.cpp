// A DLL built like Kwelmora.dll around the adapter lookup, so that its imports can be
// checked: the library may call the lookup only if it needs nothing the library may
// not import.
#include <windows.h>

#include "adapter/port_adapter.h"

extern "C" __attribute__((dllexport)) unsigned long ProbePortAdapter(const char* portName) {
  const adapter::PortLookup lookup = adapter::FindPortNodes(portName);
  if (lookup.nodes.empty()) return static_cast<unsigned long>(lookup.error);
  return static_cast<unsigned long>(adapter::WriteLatencyTimer(lookup.nodes.front(), 1));
}
