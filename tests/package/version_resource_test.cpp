// The version resources of Kwelmora.dll and zrvtool.exe, read as installers and
// Explorer's Details tab read them: GetFileVersionInfoA, the fixed numbers, the
// translation the resource names, then its strings. Every number, and the one
// compiled in from kwelmora_version.h, must be the one given on the command line,
// which CMake reads from the text of project() in CMakeLists.txt.
//
//   version_resource_test X.Y.Z     (the files are looked for beside the program)
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kwelmora_version.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what, const std::string& detail = "") {
  if (ok) {
    ++g_passed;
    std::printf("  ok    %s\n", what.c_str());
  } else {
    ++g_failed;
    std::printf("  FAIL  %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
}

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string full(path, length < MAX_PATH ? length : 0);
  return full.substr(0, full.find_last_of("\\/") + 1);
}

std::string FourNumbers(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
         std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

struct Binary {
  const char* file;
  const char* internal_name;
  DWORD file_type;
};

void CheckBinary(const Binary& binary, const std::string& version) {
  const std::string path = ProgramFolder() + binary.file;
  const std::string name = binary.file;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  const DWORD size_error = GetLastError();
  Check(size != 0, name + " carries a version resource",
        "GetFileVersionInfoSizeA failed with " + std::to_string(size_error));
  if (size == 0) return;
  std::vector<unsigned char> data(size);
  const bool read = GetFileVersionInfoA(path.c_str(), 0, size, data.data()) != 0;
  Check(read, name + ": GetFileVersionInfoA reads it");
  if (!read) return;

  // The fixed part: version x.y.z.0, file type.
  void* value = nullptr;
  UINT length = 0;
  const bool has_fixed =
      VerQueryValueA(data.data(), "\\", &value, &length) != 0 && length >= sizeof(VS_FIXEDFILEINFO);
  Check(has_fixed, name + ": fixed file information");
  if (has_fixed) {
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    const std::string wanted = version + ".0";
    Check(fixed->dwSignature == VS_FFI_SIGNATURE, name + ": fixed information signature");
    const std::string file_version = FourNumbers(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    Check(file_version == wanted, name + ": FILEVERSION " + wanted, file_version);
    const std::string product_version =
        FourNumbers(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    Check(product_version == wanted, name + ": PRODUCTVERSION " + wanted, product_version);
    Check(fixed->dwFileType == binary.file_type,
          name + (binary.file_type == VFT_DLL ? ": file type DLL" : ": file type application"),
          std::to_string(fixed->dwFileType));
  }

  // The strings, in the language and code page the Translation entry names.
  struct Translation {
    WORD language;
    WORD code_page;
  };
  const bool has_translation =
      VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &value, &length) != 0 &&
      length >= sizeof(Translation);
  Check(has_translation, name + ": a translation entry");
  if (!has_translation) return;
  const auto* translation = static_cast<const Translation*>(value);
  char block[64];
  std::snprintf(block, sizeof block, "\\StringFileInfo\\%04x%04x\\", translation->language,
                translation->code_page);

  const struct {
    const char* key;
    std::string expected;  // empty: any text but an empty one
  } strings[] = {
      {"FileVersion", version},          {"ProductVersion", version},
      {"ProductName", "Kwelmora"},       {"InternalName", binary.internal_name},
      {"OriginalFilename", binary.file}, {"FileDescription", ""},
  };
  for (const auto& s : strings) {
    const std::string key = std::string(block) + s.key;
    char* text = nullptr;
    const bool found =
        VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&text), &length) != 0 &&
        text != nullptr && length > 0;
    const std::string actual = found ? std::string(text) : std::string("(missing)");
    if (s.expected.empty()) {
      Check(found && !actual.empty(), name + ": " + s.key + " given", actual);
    } else {
      Check(actual == s.expected, name + ": " + s.key + " \"" + s.expected + "\"", actual);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: version_resource_test X.Y.Z\n");
    return 2;
  }
  const std::string version = argv[1];
  const std::string parts = std::to_string(KWELMORA_VERSION_MAJOR) + "." +
                            std::to_string(KWELMORA_VERSION_MINOR) + "." +
                            std::to_string(KWELMORA_VERSION_PATCH);
  Check(version == KWELMORA_VERSION_STRING && parts == version, "compiled in: " + version,
        std::string(KWELMORA_VERSION_STRING) + ", parts " + parts);

  const Binary binaries[] = {
      {"Kwelmora.dll", "Kwelmora", VFT_DLL},
      {"zrvtool.exe", "zrvtool", VFT_APP},
  };
  for (const Binary& binary : binaries) CheckBinary(binary, version);
  std::printf("version resources: %d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
