#include "adapter/port_adapter.h"

#include <utility>

namespace adapter {

namespace {

constexpr char kPortNameValue[] = "PortName";

// One registry key, opened for reading (or for setting values) and never created;
// closed with RegCloseKey. Everything Windows' device enumeration keeps is readable
// by every user, and writable by administrators only.
class Key {
 public:
  Key(HKEY parent, const std::string& name, REGSAM access = KEY_READ) {
    error_ = RegOpenKeyExA(parent, name.c_str(), 0, access, &handle_);
    if (error_ != ERROR_SUCCESS) handle_ = nullptr;
  }
  ~Key() {
    if (handle_ != nullptr) RegCloseKey(handle_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  bool IsOpen() const { return handle_ != nullptr; }
  LONG Error() const { return error_; }
  HKEY Handle() const { return handle_; }

  // The subkeys' names in enumeration order; a failure part-way ends the list.
  std::vector<std::string> SubKeyNames() const {
    std::vector<std::string> names;
    DWORD count = 0;
    DWORD longest = 0;
    if (RegQueryInfoKeyA(handle_, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return names;
    }
    std::vector<char> buffer(static_cast<size_t>(longest) + 1);
    for (DWORD index = 0; index < count; ++index) {
      DWORD length = static_cast<DWORD>(buffer.size());
      if (RegEnumKeyExA(handle_, index, buffer.data(), &length, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS) {
        break;
      }
      names.emplace_back(buffer.data(), length);
    }
    return names;
  }

  // A REG_SZ or REG_EXPAND_SZ value up to its first NUL; empty when missing, of
  // another type or unreadable.
  std::string String(const char* name) const {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(handle_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        size == 0 || (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return std::string();
    }
    std::string text(size, '\0');
    if (RegQueryValueExA(handle_, name, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return std::string();
    }
    // The value changed size between the two reads, or holds more after a NUL.
    text.resize(size < text.size() ? size : text.size());
    const size_t end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    return text;
  }

 private:
  HKEY handle_ = nullptr;
  LONG error_ = ERROR_SUCCESS;
};

std::string UpperCaseAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

void ReadLatencyTimer(const Key& parameters, PortNode& node) {
  DWORD type = REG_NONE;
  DWORD value = 0;
  DWORD size = sizeof value;
  const LONG read = RegQueryValueExA(parameters.Handle(), kLatencyTimerValue, nullptr, &type,
                                     reinterpret_cast<BYTE*>(&value), &size);
  if (read == ERROR_FILE_NOT_FOUND) {
    node.latency = LatencyState::Absent;
  } else if (read != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) {
    node.latency = LatencyState::Unreadable;
  } else {
    node.latencyMs = value;
    node.latency = value >= kLatencyMinMs && value <= kLatencyMaxMs ? LatencyState::Set
                                                                    : LatencyState::OutOfRange;
  }
}

std::string ParametersPath(const std::string& deviceId) {
  return std::string(kEnumPath) + "\\" + deviceId + "\\" + kParametersKey;
}

}  // namespace

PortKind KindOfBus(const std::string& bus) noexcept {
  const std::string name = UpperCaseAscii(bus);
  if (name == "FTDIBUS") return PortKind::Ftdi;
  if (name == "USB") return PortKind::Usb;
  if (name == "ACPI" || name == "PCI") return PortKind::Native;
  return PortKind::Other;
}

PortLookup FindPortNodes(const std::string& portName) noexcept {
  PortLookup lookup;
  try {
    const std::string wanted = UpperCaseAscii(portName);
    const Key enumeration(HKEY_LOCAL_MACHINE, kEnumPath);
    if (!enumeration.IsOpen()) {
      lookup.error = enumeration.Error();
      return lookup;
    }
    // Three levels below Enum: bus, device, instance; each instance's PortName is
    // in its Device Parameters key. A key that refuses reading is passed over.
    for (const std::string& bus : enumeration.SubKeyNames()) {
      const Key busKey(enumeration.Handle(), bus);
      if (!busKey.IsOpen()) continue;
      for (const std::string& device : busKey.SubKeyNames()) {
        const Key deviceKey(busKey.Handle(), device);
        if (!deviceKey.IsOpen()) continue;
        for (const std::string& instance : deviceKey.SubKeyNames()) {
          const Key parameters(deviceKey.Handle(), instance + "\\" + kParametersKey);
          if (!parameters.IsOpen() || UpperCaseAscii(parameters.String(kPortNameValue)) != wanted) {
            continue;
          }
          PortNode node;
          node.bus = bus;
          node.deviceId = bus + "\\" + device + "\\" + instance;
          node.kind = KindOfBus(bus);
          if (node.kind == PortKind::Ftdi) ReadLatencyTimer(parameters, node);
          lookup.nodes.push_back(std::move(node));
        }
      }
    }
  } catch (...) {
    // Out of memory for a name: what was found so far is not the whole answer.
    lookup.nodes.clear();
    lookup.error = ERROR_NOT_ENOUGH_MEMORY;
  }
  return lookup;
}

LONG WriteLatencyTimer(const PortNode& node, uint32_t milliseconds) noexcept {
  if (node.kind != PortKind::Ftdi) return ERROR_NOT_SUPPORTED;
  if (milliseconds < kLatencyMinMs || milliseconds > kLatencyMaxMs) return ERROR_INVALID_PARAMETER;
  try {
    const Key parameters(HKEY_LOCAL_MACHINE, ParametersPath(node.deviceId), KEY_SET_VALUE);
    if (!parameters.IsOpen()) return parameters.Error();
    const DWORD value = milliseconds;
    return RegSetValueExA(parameters.Handle(), kLatencyTimerValue, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof value);
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;  // for the key's path
  }
}

}  // namespace adapter
