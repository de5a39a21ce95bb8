// A setting a user makes from outside the host, read afresh where it is needed:
// the environment variable when it is set, else a value under
// HKEY_CURRENT_USER. The trace's file and the simulator DLL's settings are read
// this way.
#pragma once

#include <windows.h>

// Puts the setting into `text` (room for `capacity` characters with the NUL):
//   - the variable `variable` when it is set; set but empty, the setting is off,
//     whatever the registry says;
//   - else the value `value` under HKEY_CURRENT_USER\`key`: REG_SZ, REG_EXPAND_SZ
//     (expanded), and with `numbers` REG_DWORD too, as its decimal digits.
// False, with `text` empty, when the setting is off, absent, empty, or longer
// than `capacity` allows. Leaves the thread's last-error value as it was.
bool ReadUserSetting(const wchar_t* variable, const wchar_t* key, const wchar_t* value,
                     bool numbers, wchar_t* text, DWORD capacity);
