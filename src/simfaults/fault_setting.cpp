#include "simfaults/fault_setting.h"

#include <algorithm>
#include <cctype>

namespace simfaults {

namespace {

constexpr char kFaultsKey[] = "Software\\Kwelmora\\Simulator\\Faults";
constexpr char kAlways[] = " always";

constexpr const char* kNames[] = {"none",         "unplugged",        "silent",      "nak-command",
                                  "nak-location", "nak-record",       "wrong-reply", "late-reply",
                                  "line-error",   "transmitter-stop", "vanish"};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<unsigned>(Fault::Count),
              "a name for each fault, in the order of Fault");

std::string ValueName(unsigned port) { return "COM" + std::to_string(port); }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

const char* FaultName(Fault fault) {
  const auto index = static_cast<unsigned>(fault);
  return index < static_cast<unsigned>(Fault::Count) ? kNames[index] : kNames[0];
}

bool ParseFaultName(const std::string& name, Fault* fault) {
  const std::string lower = Lower(name);
  for (unsigned i = 0; i < static_cast<unsigned>(Fault::Count); ++i) {
    if (lower == kNames[i]) {
      *fault = static_cast<Fault>(i);
      return true;
    }
  }
  return false;
}

std::string FormatSetting(const FaultSetting& setting) {
  std::string text = FaultName(setting.fault);
  if (setting.always && setting.fault != Fault::None) text += kAlways;
  return text;
}

bool ParseSetting(const std::string& text, FaultSetting* setting) {
  std::string name = Lower(text);
  const size_t suffix = sizeof kAlways - 1;
  const bool always =
      name.size() > suffix && name.compare(name.size() - suffix, suffix, kAlways) == 0;
  if (always) name.resize(name.size() - suffix);
  *setting = FaultSetting();
  Fault fault = Fault::None;
  if (!ParseFaultName(name, &fault)) return false;
  *setting = FaultSetting{fault, always && fault != Fault::None};
  return true;
}

FaultSetting ReadFault(unsigned port, std::string* text) {
  char data[64] = {};
  DWORD bytes = sizeof data - 1;
  FaultSetting setting;
  const LSTATUS status = RegGetValueA(HKEY_CURRENT_USER, kFaultsKey, ValueName(port).c_str(),
                                      RRF_RT_REG_SZ, nullptr, data, &bytes);
  if (status != ERROR_SUCCESS) {
    // A value of another type, or too long for any fault's name, names none.
    if (status != ERROR_FILE_NOT_FOUND && text != nullptr) *text = "(not a fault's name)";
    return setting;
  }
  if (!ParseSetting(data, &setting) && text != nullptr) *text = data;
  return setting;
}

LSTATUS WriteFault(unsigned port, const FaultSetting& setting) {
  if (setting.fault == Fault::None) {
    const LSTATUS status =
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kFaultsKey, ValueName(port).c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
  }
  const std::string text = FormatSetting(setting);
  return RegSetKeyValueA(HKEY_CURRENT_USER, kFaultsKey, ValueName(port).c_str(), REG_SZ,
                         text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void RemoveUsedFault(unsigned port, const FaultSetting& used) {
  if (ReadFault(port) == used) WriteFault(port, FaultSetting());
}

}  // namespace simfaults
