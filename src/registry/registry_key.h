// One open registry key and the few things the port fix-up does with it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Owns one registry key handle and closes it with RegCloseKey; nothing is flushed.
// Keys are only ever opened, always with KEY_ALL_ACCESS, and never created: a key
// that is not there stays absent.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey();
  RegistryKey(RegistryKey&& other) noexcept;
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens `name` below `parent`. The result is not open when the key is missing or
  // refuses full access.
  static RegistryKey Open(HKEY parent, const char* name);

  // Opens `name` below this key; an empty name opens this key once more.
  RegistryKey OpenSubKey(const char* name) const { return Open(handle_, name); }

  bool IsOpen() const { return handle_ != nullptr; }

  // True when the key can describe itself and has at least one subkey.
  bool HasSubKeys() const;

  // The subkeys' names in enumeration order. A failure part-way ends the list with
  // the names read so far.
  std::vector<std::string> SubKeyNames() const;

  // A REG_SZ or REG_EXPAND_SZ value (unexpanded) up to its first NUL, read through a
  // second handle opened on this key. Empty when that handle does not open or the
  // value is missing, empty, of another type or unreadable.
  std::string ReadString(const char* name) const;

  // Writes a REG_BINARY value: ERROR_SUCCESS or the registry's code.
  LONG WriteBinary(const char* name, const BYTE* data, DWORD size) const;

 private:
  explicit RegistryKey(HKEY handle) : handle_(handle) {}
  void Close();

  HKEY handle_ = nullptr;
};
