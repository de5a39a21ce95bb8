#include "trace/trace_settings.h"

#include "settings/user_setting.h"

const wchar_t kTraceVariable[] = L"KWELMORA_TRACE";
const wchar_t kTraceRegistryKey[] = L"Software\\Kwelmora";
const wchar_t kTraceRegistryValue[] = L"TraceFile";

bool ReadTraceFileSetting(wchar_t* path, DWORD capacity) {
  return ReadUserSetting(kTraceVariable, kTraceRegistryKey, kTraceRegistryValue, false, path,
                         capacity);
}
