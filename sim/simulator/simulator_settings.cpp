#include "simulator/simulator_settings.h"

#include <windows.h>

#include "settings/user_setting.h"

namespace sim {

namespace {

const wchar_t kRegistryKey[] = L"Software\\Kwelmora\\Simulator";
// The longest a setting can be: a folder's path, at the length Windows allows.
constexpr DWORD kLongestSetting = 32768;

std::string Utf8(const std::wstring& text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length,
                      nullptr, nullptr);
  return narrow;
}

// An environment variable, empty when it is not set.
std::wstring Variable(const wchar_t* name) {
  std::wstring value(kLongestSetting, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), kLongestSetting);
  value.resize(length < kLongestSetting ? length : 0);
  return value;
}

// The setting, or empty when it is off, absent or empty.
std::wstring Setting(const wchar_t* variable, const wchar_t* value) {
  std::wstring text(kLongestSetting, L'\0');
  ReadUserSetting(variable, kRegistryKey, value, true, text.data(), kLongestSetting);
  text.resize(wcslen(text.c_str()));
  return text;
}

}  // namespace

bool SimulatedPortHasDevice(unsigned number) {
  const std::wstring ports = Setting(L"KWELMORA_SIM_PORTS", L"Ports");
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

bool SimulatedLinePaced() { return Setting(L"KWELMORA_SIM_PACE", L"Pace") != L"0"; }

bool SimulatedDeviceLogged() { return Setting(L"KWELMORA_SIM_LOG", L"DeviceLog") == L"1"; }

std::string SimulatedImagePath(unsigned number, std::string& error) {
  std::wstring folder = Setting(L"KWELMORA_SIM_IMAGES", L"ImageFolder");
  if (folder.empty()) {
    const std::wstring base = Variable(L"LOCALAPPDATA");
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
