// zrvtool.exe: loads Kwelmora.dll from the program's own folder, looks up its five
// exports by name and hands them to the command runner of zrvtool_lib.
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

// The folder of this program, with a trailing backslash.
std::wstring ProgramFolder() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return L"";
    if (length < path.size()) {
      std::wstring full(path.data(), length);
      return full.substr(0, full.find_last_of(L"\\/") + 1);
    }
    path.resize(path.size() * 2);  // truncated
  }
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
// never another found on the search path. It stays loaded until the process ends; the
// port is closed before that.
bool LoadDevice(zrvtool::DeviceApi* device) {
  const std::wstring path = ProgramFolder() + L"Kwelmora.dll";
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    const DWORD error = GetLastError();
    std::cerr << "zrvtool: cannot load '" << Narrow(path) << "' (Windows error " << error
              << "); Kwelmora.dll must be in the folder of zrvtool.exe\n";
    return false;
  }
  FARPROC procs[5];
  bool complete = true;
  for (int i = 0; i < 5; ++i) {
    procs[i] = GetProcAddress(module, zrvtool::kExportNames[i]);
    if (procs[i] == nullptr) {
      std::cerr << "zrvtool: '" << Narrow(path) << "' does not export " << zrvtool::kExportNames[i]
                << "\n";
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
  const int status = zrvtool::Main(args, context, LoadDevice);
  std::cout.flush();
  if (g_port_closed != nullptr) SetEvent(g_port_closed);
  return status;
}
