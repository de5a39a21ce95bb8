#include "registry/port_settings_fixup.h"

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "registry/registry_key.h"

namespace {

// The device enumeration trees that list the machine's serial ports, in the order
// they are searched. Each holds device keys, and those hold one key per instance.
constexpr const char* kEnumTrees[] = {"ENUM\\ACPI", "ENUM\\Root"};

// The instance's COM name, as the serial driver announces it.
constexpr char kPortNameValue[] = "PortName";

// The value the serial driver takes the port's settings from, and what it gets.
constexpr char kSettingsValue[] = "Settings";
constexpr BYTE kSettings[] = {0x02, 0x01, 0x00, 0x00};

// Opens HKEY_LOCAL_MACHINE\<tree>\... afresh, one level at a time, each relative to
// the one before. Not open when any level does not open.
RegistryKey OpenPath(std::initializer_list<const char*> path) {
  RegistryKey key;
  bool first = true;
  for (const char* name : path) {
    key = first ? RegistryKey::Open(HKEY_LOCAL_MACHINE, name) : key.OpenSubKey(name);
    first = false;
    if (!key.IsOpen()) {
      break;
    }
  }
  return key;
}

// Only the ASCII letters: the comparison is byte for byte against "COM<n>".
std::string UpperCaseAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

// Writes Settings into every instance of `tree` whose PortName is `expected`,
// setting `found` for each. Keys that are missing or refuse full access are passed
// over. False when a write was refused: the fix-up stops there.
//
// Every key is reached by opening its whole path again from HKEY_LOCAL_MACHINE,
// and no handle is held across the visit of another key.
bool SearchTree(const char* tree, const std::string& expected, bool& found) {
  std::vector<std::string> devices;
  {
    const RegistryKey treeKey = OpenPath({tree});
    if (!treeKey.IsOpen() || !treeKey.HasSubKeys()) {
      return true;
    }
    devices = treeKey.SubKeyNames();
  }
  for (const std::string& device : devices) {
    std::vector<std::string> instances;
    {
      const RegistryKey deviceKey = OpenPath({tree, device.c_str()});
      if (!deviceKey.IsOpen() || !deviceKey.HasSubKeys()) {
        continue;
      }
      instances = deviceKey.SubKeyNames();
    }
    for (const std::string& instance : instances) {
      const RegistryKey instanceKey = OpenPath({tree, device.c_str(), instance.c_str()});
      if (!instanceKey.IsOpen() ||
          UpperCaseAscii(instanceKey.ReadString(kPortNameValue)) != expected) {
        continue;
      }
      if (instanceKey.WriteBinary(kSettingsValue, kSettings, sizeof kSettings) != ERROR_SUCCESS) {
        return false;
      }
      found = true;
    }
  }
  return true;
}

}  // namespace

bool FixPortSettings(uint8_t portNumber) noexcept {
  try {
    const std::string expected = "COM" + std::to_string(portNumber);
    bool found = false;
    for (const char* tree : kEnumTrees) {
      // ENUM\Root is only looked at when ENUM\ACPI named no instance of the port.
      if (found) {
        break;
      }
      if (!SearchTree(tree, expected, found)) {
        return false;
      }
    }
    return found;
  } catch (...) {
    // Out of memory for a name: the port is opened without the fix-up.
    return false;
  }
}
