// What the simulator DLL costs a host that runs at real-time priority: the
// process raises itself to REALTIME_PRIORITY_CLASS (or as high as it is let), its
// thread to THREAD_PRIORITY_TIME_CRITICAL, loads the simulator DLL given on the
// command line, and reads records from its device at 19200 baud. Two rows: the
// wall time against the line's floor (the characters a read puts on the line),
// and the CPU time of the whole process against the wall time, which shows how
// much of a core pacing takes while the host waits for the line.
//
// simulator_cost.exe SIMULATOR_DLL [RECORDS]   (RECORDS 1..931, 200 by default)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kwelmora.h"

namespace {

constexpr unsigned char kPort = 7;
constexpr double kCharacterMs = 11.0 * 1000.0 / 19200.0;
constexpr unsigned kReadCharacters = 96;  // 4 + 1 + 1 + 30 x (1 + 2)

double NowMs() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ms = [](const FILETIME& time) {
    return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime) /
           10000.0;
  };
  return ms(kernel) + ms(user);
}

const char* ClassName(DWORD priorityClass) {
  switch (priorityClass) {
    case REALTIME_PRIORITY_CLASS:
      return "real-time";
    case HIGH_PRIORITY_CLASS:
      return "high";
    case ABOVE_NORMAL_PRIORITY_CLASS:
      return "above normal";
    default:
      return "normal or below";
  }
}

template <typename Function>
Function Export(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

void PrintRow(const std::string& what, unsigned runs, double meanMs, double floorMs) {
  std::printf("| %-52s | %6u | %9.1f ms | %9.1f ms | %10.2f |\n", what.c_str(), runs, meanMs,
              floorMs, meanMs / floorMs);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: simulator_cost SIMULATOR_DLL [RECORDS]\n");
    return 2;
  }
  const unsigned records = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 200;
  if (records < 1 || records > 931) {
    std::fprintf(stderr, "RECORDS: 1 to 931\n");
    return 2;
  }

  // The device's image in a folder of this run's own.
  wchar_t temp[MAX_PATH + 1];
  const std::wstring images = std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)) +
                              L"kwelmora-simulator-cost-" + std::to_wstring(GetCurrentProcessId());
  SetEnvironmentVariableW(L"KWELMORA_SIM_PORTS", std::to_wstring(kPort).c_str());
  SetEnvironmentVariableW(L"KWELMORA_SIM_IMAGES", images.c_str());
  SetEnvironmentVariableW(L"KWELMORA_SIM_PACE", nullptr);

  SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  const DWORD priorityClass = GetPriorityClass(GetCurrentProcess());

  const HMODULE library = LoadLibraryA(argv[1]);
  if (library == nullptr) {
    std::fprintf(stderr, "cannot load %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  const auto open = Export<decltype(&ZainicjowanoPortSzeregowyDlaZRV)>(
      library, "ZainicjowanoPortSzeregowyDlaZRV");
  const auto close = Export<decltype(&OdinicjowanoPortSzeregowyDlaZRV)>(
      library, "OdinicjowanoPortSzeregowyDlaZRV");
  const auto read = Export<decltype(&OdczytanieBajtowZZRV)>(library, "OdczytanieBajtowZZRV");
  if (open == nullptr || close == nullptr || read == nullptr || !open(kPort)) {
    std::fprintf(stderr, "the simulated COM%u did not open\n", kPort);
    return 1;
  }

  unsigned failed = 0;
  unsigned char record[30];
  const double cpuBefore = ProcessCpuMs();
  const double start = NowMs();
  for (unsigned short address = 1; address <= records; ++address) {
    failed += read(address, record) != KWELMORA_OK ? 1 : 0;
  }
  const double wallMs = NowMs() - start;
  const double cpuMs = ProcessCpuMs() - cpuBefore;
  close();
  FreeLibrary(library);
  DeleteFileW((images + L"\\ZRV-COM" + std::to_wstring(kPort) + L".img").c_str());
  RemoveDirectoryW(images.c_str());

  PrintRow("simulator DLL, 19200 baud: dump of " + std::to_string(records) + " records", records,
           wallMs, records * kReadCharacters * kCharacterMs);
  PrintRow(std::string("  its CPU time, against the wall time (") + ClassName(priorityClass) + ")",
           records, cpuMs, wallMs);
  if (failed != 0) {
    std::fprintf(stderr, "%u reads failed\n", failed);
    return 1;
  }
  return 0;
}
