// Where the trace goes. Read afresh at every initialisation of the port, so that a
// support engineer can switch it on or off without touching the host:
//   - the environment variable KWELMORA_TRACE names the file;
//   - when the variable is absent, the string value TraceFile under
//     HKEY_CURRENT_USER\Software\Kwelmora does (REG_EXPAND_SZ is expanded);
//   - an empty variable means no trace, whatever the registry says.
// A relative path is relative to the host's current folder.
#pragma once

#include <windows.h>

extern const wchar_t kTraceVariable[];
extern const wchar_t kTraceRegistryKey[];
extern const wchar_t kTraceRegistryValue[];

// Puts the trace file's path into `path` (room for `capacity` characters with the
// NUL); false when tracing is off. Leaves the thread's last-error value as it was.
bool ReadTraceFileSetting(wchar_t* path, DWORD capacity);
