#include "settings/user_setting.h"

bool ReadUserSetting(const wchar_t* variable, const wchar_t* key, const wchar_t* value,
                     bool numbers, wchar_t* text, DWORD capacity) {
  const DWORD callerError = GetLastError();
  text[0] = L'\0';
  // An empty variable answers 0 like an absent one; only the error tells them apart.
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetEnvironmentVariableW(variable, text, capacity);
  const bool absent = length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND;
  bool on = false;
  if (length >= capacity) {
    text[0] = L'\0';  // longer than any setting it can hold
  } else if (!absent) {
    on = length > 0;
  } else {
    DWORD type = 0;
    DWORD bytes = capacity * sizeof(wchar_t);
    // RRF_RT_REG_SZ takes REG_EXPAND_SZ too, expanded.
    on = RegGetValueW(HKEY_CURRENT_USER, key, value,
                      RRF_RT_REG_SZ | (numbers ? RRF_RT_REG_DWORD : 0), &type, text,
                      &bytes) == ERROR_SUCCESS &&
         (type == REG_DWORD || text[0] != L'\0');
    if (on && type == REG_DWORD) {
      DWORD number = 0;
      CopyMemory(&number, text, sizeof number);
      wchar_t digits[10];
      DWORD count = 0;
      do {
        digits[count++] = static_cast<wchar_t>(L'0' + number % 10);
        number /= 10;
      } while (number != 0);
      on = count < capacity;
      for (DWORD i = 0; on && i < count; ++i) text[i] = digits[count - 1 - i];
      text[on ? count : 0] = L'\0';
    }
    if (!on) {
      text[0] = L'\0';
    }
  }
  SetLastError(callerError);
  return on;
}
