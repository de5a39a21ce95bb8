// A host that loads Kwelmora.dll at run time (LoadLibrary, GetProcAddress) and
// unloads it whenever told, with the port open or closed, then goes on with its
// own work: the unload tests of tests/e2e/run-e2e.sh drive it one command per
// line on stdin, the release DLL beside it, against zrvsim through Wine's serial
// stack. Each command is answered with one line on stdout:
//
//   load          -> load B                 B: the library loaded, exports found
//   init N        -> init B
//   deinit        -> deinit B
//   status        -> status R [S]
//   free          -> free B loaded L        L: the library still in the process
//   pump MS       -> pump MS                a message loop (peek, dispatch) for MS ms
//   sent MS       -> sent 1|0               waits up to MS ms for a message sent to
//                                           this thread (a hand-over) and delivers it
//   wait MS       -> wait MS                a wait on an event nothing signals
//   work          -> work ok                a thread started and joined, heap churn
//   window        -> window W class C       the library's hand-over window and its
//                                           class, still there (1) or gone (0)
//   idle MS       -> idle MS cpu C threads N busiest B
//                                           the message loop of `pump` for MS ms, as
//                                           an idle windowed host runs: the CPU time
//                                           the process used meanwhile (ms), its
//                                           threads, and the CPU time of the busiest
//                                           one (for docs/PERFORMANCE.md; no test
//                                           looks at the figures)
//   quit          -> (exits with 0, whatever state the library is in)
#include <windows.h>
// After windows.h, which it builds on.
#include <tlhelp32.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kwelmora.h"

namespace {

// The library's message-only window class: what the library must remove, with its
// window, when it is unloaded.
constexpr char kHandOverClass[] = "KwelmoraHandOverWindow";

using InitFunction = unsigned char(KWELMORA_CALL*)(unsigned char);
using DeinitFunction = unsigned char(KWELMORA_CALL*)();
using StatusFunction = unsigned char(KWELMORA_CALL*)(unsigned char*);

HMODULE library = nullptr;
HMODULE lastLibrary = nullptr;  // the module handle while loaded, for the class look-up
InitFunction init = nullptr;
DeinitFunction deinit = nullptr;
StatusFunction status = nullptr;

std::string LibraryPath() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, length);
  return text.substr(0, text.find_last_of("\\/") + 1) + "Kwelmora.dll";
}

template <typename Function>
Function Export(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

DWORD WINAPI Churn(LPVOID) {
  std::vector<std::string> strings;
  for (int i = 0; i < 1000; ++i) strings.push_back(std::string(static_cast<size_t>(i % 200), 'x'));
  return static_cast<DWORD>(strings.size());
}

// A message loop as a windowed host runs it, for `ms` milliseconds: sent messages
// (the library's hand-overs) and posted ones are all delivered.
void Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
}

ULONGLONG Cpu100ns(const FILETIME& kernel, const FILETIME& user) {
  return ((ULONGLONG{kernel.dwHighDateTime} << 32) | kernel.dwLowDateTime) +
         ((ULONGLONG{user.dwHighDateTime} << 32) | user.dwLowDateTime);
}

// CPU time of every thread of this process, by thread id.
std::map<DWORD, ULONGLONG> ThreadTimes() {
  std::map<DWORD, ULONGLONG> times;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    FILETIME created, exited, kernel, user;
    if (thread != nullptr && GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
      times[entry.th32ThreadID] = Cpu100ns(kernel, user);
    }
    if (thread != nullptr) CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return times;
}

std::string Idle(DWORD ms) {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const ULONGLONG processBefore = Cpu100ns(kernel, user);
  const std::map<DWORD, ULONGLONG> before = ThreadTimes();
  Pump(ms);
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const ULONGLONG process = Cpu100ns(kernel, user) - processBefore;
  const std::map<DWORD, ULONGLONG> after = ThreadTimes();
  ULONGLONG busiest = 0;
  for (const auto& thread : after) {
    const auto found = before.find(thread.first);
    const ULONGLONG used = thread.second - (found != before.end() ? found->second : 0);
    if (used > busiest) busiest = used;
  }
  char text[128];
  std::snprintf(text, sizeof text, "idle %lu cpu %.1f threads %zu busiest %.1f", ms,
                static_cast<double>(process) / 1e4, after.size(),
                static_cast<double>(busiest) / 1e4);
  return text;
}

std::string Execute(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  unsigned number = 0;
  if (command == "load") {
    library = LoadLibraryA(LibraryPath().c_str());
    if (library == nullptr) return "load 0";
    lastLibrary = library;
    init = Export<InitFunction>("ZainicjowanoPortSzeregowyDlaZRV");
    deinit = Export<DeinitFunction>("OdinicjowanoPortSzeregowyDlaZRV");
    status = Export<StatusFunction>("OdczytanieBajtuStatusuZRV");
    return init != nullptr && deinit != nullptr && status != nullptr ? "load 1" : "load 0";
  }
  if (command == "init" && words >> number && init != nullptr) {
    return "init " + std::to_string(init(static_cast<unsigned char>(number)));
  }
  if (command == "deinit" && deinit != nullptr) {
    return "deinit " + std::to_string(deinit());
  }
  if (command == "status" && status != nullptr) {
    unsigned char byte = 0;
    const unsigned result = status(&byte);
    return "status " + std::to_string(result) +
           (result == KWELMORA_OK ? " " + std::to_string(byte) : std::string());
  }
  if (command == "free" && library != nullptr) {
    const BOOL freed = FreeLibrary(library);
    library = nullptr;
    init = nullptr;
    deinit = nullptr;
    status = nullptr;
    HMODULE still = nullptr;
    const BOOL loaded =
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, "Kwelmora.dll", &still);
    return "free " + std::to_string(freed ? 1 : 0) + " loaded " + std::to_string(loaded ? 1 : 0);
  }
  if (command == "pump" && words >> number) {
    Pump(number);
    return "pump " + std::to_string(number);
  }
  if (command == "sent" && words >> number) {
    // Waits up to `number` ms for a message sent to this thread (the library's
    // hand-over of a line event) and delivers what was sent; "sent 1" if one came.
    const DWORD woke = MsgWaitForMultipleObjects(0, nullptr, FALSE, number, QS_SENDMESSAGE);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    return std::string("sent ") + (woke == WAIT_OBJECT_0 ? "1" : "0");
  }
  if (command == "wait" && words >> number) {
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, number);
    CloseHandle(never);
    return "wait " + std::to_string(number);
  }
  if (command == "work") {
    // A new thread reaches every loaded DLL's entry point on its start and end.
    HANDLE thread = CreateThread(nullptr, 0, Churn, nullptr, 0, nullptr);
    DWORD code = 0;
    WaitForSingleObject(thread, INFINITE);
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code == 1000 ? "work ok" : "work failed";
  }
  if (command == "idle" && words >> number) {
    return Idle(number);
  }
  if (command == "window") {
    // Message-only windows of every process are found by class name: only ours count.
    bool window = false;
    for (HWND found = FindWindowExA(HWND_MESSAGE, nullptr, kHandOverClass, nullptr);
         found != nullptr && !window;
         found = FindWindowExA(HWND_MESSAGE, found, kHandOverClass, nullptr)) {
      DWORD process = 0;
      GetWindowThreadProcessId(found, &process);
      window = process == GetCurrentProcessId();
    }
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    const BOOL registered = lastLibrary != nullptr &&
                            GetClassInfoExA(lastLibrary, kHandOverClass, &windowClass) != FALSE;
    return "window " + std::to_string(window ? 1 : 0) + " class " +
           std::to_string(registered ? 1 : 0);
  }
  return "error unknown command: " + line;
}

}  // namespace

int main() {
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line == "quit") break;
    std::printf("%s\n", Execute(line).c_str());
    std::fflush(stdout);
  }
  return 0;
}
