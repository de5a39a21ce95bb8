// Where the trace goes, read at each initialisation: KWELMORA_TRACE, else the
// TraceFile value under HKEY_CURRENT_USER\Software\Kwelmora, an empty variable
// meaning off. The registry is Wine's real one with HKEY_CURRENT_USER redirected,
// for this process only, to a scratch key, as the port fix-up's tests redirect
// HKEY_LOCAL_MACHINE.
#include <gtest/gtest.h>
#include <windows.h>

#include <ctime>
#include <string>
#include <vector>

#include "kwelmora.h"
#include "registry/scratch_machine.h"
#include "trace/trace_scene.h"

namespace trace_test {
namespace {

// HKEY_CURRENT_USER for this process while a test runs: a scratch key of its own.
class ScratchUser {
 public:
  ScratchUser() { scratch_.Install(HKEY_CURRENT_USER, "User"); }
  ~ScratchUser() { scratch_.Remove(); }
  ScratchUser(const ScratchUser&) = delete;
  ScratchUser& operator=(const ScratchUser&) = delete;

  // TraceFile of the given type under (the redirected) Software\Kwelmora; null
  // removes the value.
  void SetTraceFile(const wchar_t* value, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Kwelmora", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (value == nullptr) {
      RegDeleteValueW(key, L"TraceFile");
    } else {
      const std::wstring text = value;
      EXPECT_EQ(
          RegSetValueExW(key, L"TraceFile", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
          ERROR_SUCCESS);
    }
    RegCloseKey(key);
  }

 private:
  ScratchKey scratch_;
};

using TraceSettingsTest = TraceTest;

// What the variable and the registry say, and which file gets the trace.
struct Setting {
  const char* name;
  enum class Variable { Absent, Empty, File, Folder } variable;
  enum class Value { Absent, File, Expanded, Empty } value;
  enum class Written { None, VariableFile, RegistryFile } written;
};

TEST_F(TraceSettingsTest, TheVariableWinsTheRegistryStandsInWhenItIsAbsentEmptyMeansOff) {
  ScratchUser user;
  using V = Setting::Variable;
  using R = Setting::Value;
  using W = Setting::Written;
  const Setting settings[] = {
      {"neither: off", V::Absent, R::Absent, W::None},
      {"variable only", V::File, R::Absent, W::VariableFile},
      {"registry only", V::Absent, R::File, W::RegistryFile},
      {"both: the variable", V::File, R::File, W::VariableFile},
      {"empty variable: off, no registry", V::Empty, R::File, W::None},
      {"registry, expanded", V::Absent, R::Expanded, W::RegistryFile},
      {"empty registry value: off", V::Absent, R::Empty, W::None},
      {"variable names a folder: nothing, no registry", V::Folder, R::File, W::None},
      {"registry again after all that", V::Absent, R::File, W::RegistryFile},
  };
  SetEnvironmentVariableW(L"KWELMORA_TRACE_TEST_FOLDER", folder.path().c_str());
  unsigned run = 0;
  for (const Setting& s : settings) {
    SCOPED_TRACE(s.name);
    ++run;
    // New names for every row, so that each row's files are its own.
    const std::wstring variableFile =
        folder.Path((L"variable" + std::to_wstring(run) + L".log").c_str());
    const std::wstring registryName = L"registry" + std::to_wstring(run) + L".log";
    const std::wstring registryFile = folder.Path(registryName.c_str());
    // Indexed by Setting's Variable and Value, in the order they are declared.
    const wchar_t* variable[] = {nullptr, L"", variableFile.c_str(), folder.path().c_str()};
    SetEnvironmentVariableW(L"KWELMORA_TRACE", variable[static_cast<int>(s.variable)]);
    const std::wstring expanded = L"%KWELMORA_TRACE_TEST_FOLDER%\\" + registryName;
    const wchar_t* value[] = {nullptr, registryFile.c_str(), expanded.c_str(), L""};
    user.SetTraceFile(value[static_cast<int>(s.value)],
                      s.value == R::Expanded ? REG_EXPAND_SZ : REG_SZ);
    const std::vector<std::wstring> before = folder.Names();
    Open();
    unsigned char status = 0;
    EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK);
    EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);

    EXPECT_EQ(Exists(variableFile), s.written == W::VariableFile);
    EXPECT_EQ(Exists(registryFile), s.written == W::RegistryFile);
    const std::vector<std::wstring> after = folder.Names();
    EXPECT_EQ(after.size(), before.size() + (s.written == W::None ? 0 : 1))
        << "off: no file touched";
    if (s.written != W::None) {
      const std::wstring& path = s.written == W::VariableFile ? variableFile : registryFile;
      EXPECT_TRUE(MatchInOrder(ParseAll(ReadLines(path)),
                               {"^host    ==== Kwelmora ", "^host    call Odczytanie",
                                "^host    return OdinicjowanoPortSzeregowyDlaZRV = 1"}));
    }
  }
  SetEnvironmentVariableW(L"KWELMORA_TRACE_TEST_FOLDER", nullptr);
}

TEST_F(TraceSettingsTest, EveryInitialisationFailedOnesIncludedStartsWithAHeader) {
  const std::wstring path = folder.Path(L"trace.log");
  TraceTo(path);
  SYSTEMTIME today;
  GetLocalTime(&today);
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(250), 0);  // no such port
  Open();
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(static_cast<unsigned char>(kPort)), 0);  // open

  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::string module = Utf8(exe);
  std::string escaped;
  for (char c : module) {
    if (std::string("\\.()[]{}+*?^$|").find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
  char date[16];
  std::snprintf(date, sizeof date, "%04u-%02u-%02u", today.wYear, today.wMonth, today.wDay);
  const std::string header =
      std::string("^host    ==== Kwelmora ") + KWELMORA_TEST_VERSION +
      (sizeof(void*) == 8 ? ", 64-bit, " : ", 32-bit, ") + escaped + "; process " +
      std::to_string(GetCurrentProcessId()) + "; " + date +
      " [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} \\(UTC[+-][0-9]{2}:[0-9]{2}\\); "
      "initialising COM";
  const std::vector<TracedLine> lines = ParseAll(ReadLines(path));
  EXPECT_TRUE(MatchInOrder(
      lines, {header + "250; no device node names COM250$",
              "^host    call ZainicjowanoPortSzeregowyDlaZRV\\(port 250\\)$",
              "^host    error recorded: code 2 \"System nie potrafi znależć danego urządzenia.\"$",
              "^host    return ZainicjowanoPortSzeregowyDlaZRV = 0 \\(false\\)", header + "7;",
              "^host    port \\\\\\\\\\.\\\\COM7 opened: 19200 baud, 8 data bits",
              "^host    return ZainicjowanoPortSzeregowyDlaZRV = 1 \\(true\\)", header + "7;",
              "^host    error recorded: code 5 \"Ten port jest już zainicjowany\"$",
              "^host    return ZainicjowanoPortSzeregowyDlaZRV = 0 \\(false\\)"}));
  // Each header restarts the offsets at 0.
  for (const TracedLine& line : lines) {
    if (IsHeader(line)) {
      EXPECT_EQ(line.offsetMs, 0.0);
    }
  }
  EXPECT_TRUE(OffsetsNeverDecrease(lines));
}

// What the header says stands behind the port, from the machine's device
// enumeration (HKEY_LOCAL_MACHINE redirected to a scratch key): the node whose
// Device Parameters name the port, and an FTDI adapter's latency timer, which
// bounds this protocol's speed over USB.
TEST_F(TraceSettingsTest, TheHeaderNamesTheNodeBehindThePortAndAnAdaptersLatencyTimer) {
  const std::string parameters = "\\Device Parameters";
  const struct {
    const char* node;     // below SYSTEM\CurrentControlSet\Enum; null: none names the port
    const char* latency;  // LatencyTimer as a REG_DWORD; null: absent
    const char* says;
  } cases[] = {
      {nullptr, nullptr, "; no device node names COM7$"},
      {"FTDIBUS\\VID_0403+PID_6001+A9X1\\0000", "\x04\0\0\0",
       "; behind it: FTDIBUS\\\\VID_0403\\+PID_6001\\+A9X1\\\\0000 \\(FTDI adapter, latency timer "
       "4 "
       "ms\\)$"},
      {"FTDIBUS\\VID_0403+PID_6001+A9X1\\0000", nullptr,
       "; behind it: FTDIBUS.* \\(FTDI adapter, latency timer not set: the driver's 16 ms\\)$"},
      {"USB\\VID_067B&PID_2303\\5&1", nullptr,
       "; behind it: USB\\\\VID_067B&PID_2303\\\\5&1 \\(USB-serial adapter\\)$"},
      {"ACPI\\PNP0501\\1", nullptr, "; behind it: ACPI\\\\PNP0501\\\\1 \\(native port\\)$"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    ScratchMachine machine;
    machine.Install();
    if (c.node != nullptr) {
      const std::string node = std::string("SYSTEM\\CurrentControlSet\\Enum\\") + c.node;
      machine.AddPort(node + parameters, "COM7");
      if (c.latency != nullptr) {
        machine.SetValue(node + parameters, "LatencyTimer", REG_DWORD, std::string(c.latency, 4));
      }
    }
    const std::wstring path = folder.Path(L"behind.log");
    DeleteFileW(path.c_str());
    TraceTo(path);
    EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(static_cast<unsigned char>(kPort)), 1);
    EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
    machine.Remove();
    const std::vector<TracedLine> lines = ParseAll(ReadLines(path));
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(MatchInOrder(
        lines, {std::string("^host    ==== Kwelmora .*; initialising COM7") + c.says}));
  }
}

}  // namespace
}  // namespace trace_test
