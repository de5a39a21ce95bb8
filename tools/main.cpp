// zrvtool.exe: loads Kwelmora.dll from the program's own folder, looks up its five
// exports by name and hands them to the command runner of zrvtool_lib; for --version
// it reads the loaded DLL's version resource (version.dll).
#include <windows.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "zrvtool_lib.h"

namespace {

std::atomic<bool> g_stop_requested{false};
// Signalled once the port is closed, so that a console being closed waits for it.
HANDLE g_port_closed = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  g_stop_requested = true;
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return TRUE;
  // Closing the console, log-off, shut-down: the process ends when this handler
  // returns, so give the current record a few seconds to finish and the port to close.
  if (g_port_closed != nullptr) WaitForSingleObject(g_port_closed, 4000);
  return FALSE;
}

// The full path of a loaded module (nullptr: this program).
std::wstring ModulePath(HMODULE module) {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return L"";
    if (length < path.size()) return std::wstring(path.data(), length);
    path.resize(path.size() * 2);  // truncated
  }
}

// The folder of this program, with a trailing backslash.
std::wstring ProgramFolder() {
  const std::wstring full = ModulePath(nullptr);
  return full.substr(0, full.find_last_of(L"\\/") + 1);
}

std::string Narrow(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string result(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
  result.resize(static_cast<std::size_t>(size) - 1);
  return result;
}

// GetProcAddress answers a generic function pointer; going through void(*)() tells
// the compiler the signature change is deliberate.
template <typename Function>
void Bind(FARPROC proc, Function* target) {
  *target = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

// Kwelmora.dll is loaded by its full path so that the one beside the program is used,
// never another found on the search path. For a command it stays loaded until the
// process ends; the port is closed before that.
HMODULE LoadKwelmora() {
  const std::wstring path = ProgramFolder() + L"Kwelmora.dll";
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    const DWORD error = GetLastError();
    std::cerr << "zrvtool: cannot load '" << Narrow(path) << "' (Windows error " << error
              << "); Kwelmora.dll must be in the folder of zrvtool.exe\n";
  }
  return module;
}

bool LoadDevice(zrvtool::DeviceApi* device) {
  HMODULE module = LoadKwelmora();
  if (module == nullptr) return false;
  FARPROC procs[5];
  bool complete = true;
  for (int i = 0; i < 5; ++i) {
    procs[i] = GetProcAddress(module, zrvtool::kExportNames[i]);
    if (procs[i] == nullptr) {
      std::cerr << "zrvtool: '" << Narrow(ModulePath(module)) << "' does not export "
                << zrvtool::kExportNames[i] << "\n";
      complete = false;
    }
  }
  if (!complete) {
    FreeLibrary(module);
    return false;
  }
  Bind(procs[0], &device->open_port);
  Bind(procs[1], &device->close_port);
  Bind(procs[2], &device->read_status);
  Bind(procs[3], &device->read_record);
  Bind(procs[4], &device->write_record);
  return true;
}

// "x.y.z" from a file's fixed version information (".w" added when the fourth number
// is not 0); empty when the file carries no version resource. `simulator` when its
// description, in the block its first translation names, says it is the simulator.
std::string FileVersion(const std::wstring& path, bool* simulator) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return "";
  std::vector<unsigned char> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return "";
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    return "";
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  std::string text = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                     std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                     std::to_string(HIWORD(fixed->dwFileVersionLS));
  if (LOWORD(fixed->dwFileVersionLS) != 0)
    text += "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
  if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length) &&
      length >= 2 * sizeof(WORD)) {
    const auto* translation = static_cast<const WORD*>(value);
    wchar_t block[64];
    swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\FileDescription", translation[0],
             translation[1]);
    const std::wstring prefix = L"Kwelmora simulator";
    *simulator =
        VerQueryValueW(data.data(), block, &value, &length) &&
        std::wstring(static_cast<const wchar_t*>(value)).compare(0, prefix.size(), prefix) == 0;
  }
  return text;
}

// The DLL that a command would use, as loaded: its path and its version resource.
bool DescribeLibrary(zrvtool::LibraryVersion* library) {
  HMODULE module = LoadKwelmora();
  if (module == nullptr) return false;
  const std::wstring path = ModulePath(module);
  library->path = Narrow(path);
  library->version = FileVersion(path, &library->simulator);
  FreeLibrary(module);
  return true;
}

bool StderrIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  g_port_closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  zrvtool::RunContext context;
  context.out = &std::cout;
  context.err = &std::cerr;
  context.err_is_console = StderrIsConsole();
  context.stop = &g_stop_requested;

  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status = zrvtool::Main(args, context, LoadDevice, DescribeLibrary);
  std::cout.flush();
  if (g_port_closed != nullptr) SetEvent(g_port_closed);
  return status;
}
