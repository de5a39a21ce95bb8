#include "simulator/simulator_settings.h"

#include <windows.h>

#include <optional>

namespace sim {

namespace {

const wchar_t kRegistryKey[] = L"Software\\Kwelmora\\Simulator";

std::string Utf8(const std::wstring& text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length,
                      nullptr, nullptr);
  return narrow;
}

std::optional<std::wstring> Variable(const wchar_t* name) {
  // An empty variable answers 0 like an absent one; only the error tells them apart.
  SetLastError(ERROR_SUCCESS);
  DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
  if (length == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::wstring();
  }
  std::wstring value(length, L'\0');
  length = GetEnvironmentVariableW(name, value.data(), length);
  value.resize(length);
  return value;
}

std::optional<std::wstring> Setting(const wchar_t* variable, const wchar_t* value) {
  if (auto set = Variable(variable)) return set;
  DWORD type = 0;
  DWORD bytes = 0;
  // RRF_RT_REG_SZ takes REG_EXPAND_SZ too, expanded.
  const DWORD accepted = RRF_RT_REG_SZ | RRF_RT_REG_DWORD;
  if (RegGetValueW(HKEY_CURRENT_USER, kRegistryKey, value, accepted, &type, nullptr, &bytes) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
  if (RegGetValueW(HKEY_CURRENT_USER, kRegistryKey, value, accepted, &type, data.data(), &bytes) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  if (type == REG_DWORD) {
    DWORD number = 0;
    memcpy(&number, data.data(), sizeof number);
    return std::to_wstring(number);
  }
  data.resize(wcsnlen(data.c_str(), data.size()));
  return data;
}

}  // namespace

bool SimulatedPortHasDevice(unsigned number) {
  const std::wstring ports = Setting(L"KWELMORA_SIM_PORTS", L"Ports").value_or(L"");
  // Numbers and ranges ("1-4"), anything else between them.
  unsigned first = 0, current = 0;
  bool digits = false, range = false;
  for (size_t i = 0; i <= ports.size(); ++i) {
    const wchar_t c = i < ports.size() ? ports[i] : L' ';
    if (c >= L'0' && c <= L'9') {
      current = current < 1000 ? current * 10 + static_cast<unsigned>(c - L'0') : current;
      digits = true;
      continue;
    }
    if (digits && c == L'-' && !range) {
      first = current;
      range = true;
    } else if (digits) {
      if (range ? (first <= number && number <= current) : number == current) return true;
      range = false;
    }
    current = 0;
    digits = false;
  }
  return false;
}

bool SimulatedLinePaced() { return Setting(L"KWELMORA_SIM_PACE", L"Pace").value_or(L"1") != L"0"; }

bool SimulatedDeviceLogged() {
  return Setting(L"KWELMORA_SIM_LOG", L"DeviceLog").value_or(L"0") == L"1";
}

std::string SimulatedImagePath(unsigned number, std::string& error) {
  std::wstring folder = Setting(L"KWELMORA_SIM_IMAGES", L"ImageFolder").value_or(L"");
  if (folder.empty()) {
    const std::wstring base = Variable(L"LOCALAPPDATA").value_or(L"");
    if (base.empty()) {
      error = "no image folder: neither KWELMORA_SIM_IMAGES nor LOCALAPPDATA is set";
      return std::string();
    }
    folder = base + L"\\Kwelmora\\Simulator";
  }
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  // Each missing folder on the way, from the top (one that exists fails harmlessly).
  for (size_t end = folder.find_first_of(L"\\/", 3);; end = folder.find_first_of(L"\\/", end + 1)) {
    CreateDirectoryW(folder.substr(0, end).c_str(), nullptr);
    if (end == std::wstring::npos) break;
  }
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = "cannot make the image folder " + Utf8(folder) + ": error " +
            std::to_string(GetLastError());
    return std::string();
  }
  // Not "COM7.img": Windows takes COM1 to COM9 with any extension for the port.
  return Utf8(folder + L"\\ZRV-COM" + std::to_wstring(number) + L".img");
}

}  // namespace sim
