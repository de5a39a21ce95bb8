#include "trace/trace_settings.h"

const wchar_t kTraceVariable[] = L"KWELMORA_TRACE";
const wchar_t kTraceRegistryKey[] = L"Software\\Kwelmora";
const wchar_t kTraceRegistryValue[] = L"TraceFile";

bool ReadTraceFileSetting(wchar_t* path, DWORD capacity) {
  const DWORD callerError = GetLastError();
  path[0] = L'\0';
  // An empty variable answers 0 like an absent one; only the error tells them apart.
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetEnvironmentVariableW(kTraceVariable, path, capacity);
  const bool absent = length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND;
  bool on = false;
  if (length >= capacity) {
    path[0] = L'\0';  // longer than any path that could be opened
  } else if (!absent) {
    on = length > 0;
  } else {
    DWORD bytes = capacity * sizeof(wchar_t);
    // RRF_RT_REG_SZ takes REG_EXPAND_SZ too, expanded.
    on = RegGetValueW(HKEY_CURRENT_USER, kTraceRegistryKey, kTraceRegistryValue, RRF_RT_REG_SZ,
                      nullptr, path, &bytes) == ERROR_SUCCESS &&
         path[0] != L'\0';
    if (!on) {
      path[0] = L'\0';
    }
  }
  SetLastError(callerError);
  return on;
}
