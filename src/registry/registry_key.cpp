#include "registry/registry_key.h"

#include <new>
#include <utility>

RegistryKey::~RegistryKey() { Close(); }

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void RegistryKey::Close() {
  if (handle_ != nullptr) {
    RegCloseKey(handle_);
    handle_ = nullptr;
  }
}

RegistryKey RegistryKey::Open(HKEY parent, const char* name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) {
    return RegistryKey();
  }
  return RegistryKey(handle);
}

bool RegistryKey::HasSubKeys() const {
  DWORD subKeys = 0;
  return RegQueryInfoKeyA(handle_, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
         subKeys > 0;
}

std::vector<std::string> RegistryKey::SubKeyNames() const {
  std::vector<std::string> names;
  DWORD count = 0;
  DWORD longest = 0;
  if (RegQueryInfoKeyA(handle_, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return names;
  }
  try {
    std::vector<char> buffer(static_cast<std::size_t>(longest) + 1);
    for (DWORD index = 0; index < count; ++index) {
      // A key added or removed since the count was taken ends the list here.
      DWORD length = static_cast<DWORD>(buffer.size());
      if (RegEnumKeyExA(handle_, index, buffer.data(), &length, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS) {
        break;
      }
      names.emplace_back(buffer.data(), length);
    }
  } catch (const std::bad_alloc&) {
    // The names read so far stand.
  }
  return names;
}

std::string RegistryKey::ReadString(const char* name) const {
  const RegistryKey reader = OpenSubKey("");
  if (!reader.IsOpen()) {
    return std::string();
  }
  try {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(reader.handle_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        size == 0 || (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return std::string();
    }
    std::string text(size, '\0');
    if (RegQueryValueExA(reader.handle_, name, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]),
                         &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return std::string();
    }
    // The stored bytes need not end in a NUL, and may hold more after one.
    text.resize(size < text.size() ? size : text.size());
    const std::size_t end = text.find('\0');
    if (end != std::string::npos) {
      text.resize(end);
    }
    return text;
  } catch (const std::bad_alloc&) {
    return std::string();
  }
}

LONG RegistryKey::WriteBinary(const char* name, const BYTE* data, DWORD size) const {
  return RegSetValueExA(handle_, name, 0, REG_BINARY, data, size);
}
