// The machine's registry for tests: HKEY_LOCAL_MACHINE redirected, for this process
// only, to a scratch key under HKEY_CURRENT_USER of Wine's real registry, with keys
// that refuse access as another account's keys do.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>  // after windows.h, which it needs

#include <cstdio>
#include <string>
#include <vector>

// What ScratchMachine::Describe answers for a value that is not there.
constexpr char kMissing[] = "missing";

// A string value's bytes as stored, with its terminating NUL; a REG_DWORD's.
inline std::string Sz(std::string text) { return text.append(1, '\0'); }
inline std::string Dword(DWORD value) { return std::string(reinterpret_cast<char*>(&value), 4); }

// A scratch key of this process under HKEY_CURRENT_USER of Wine's real registry,
// which a predefined key (HKEY_LOCAL_MACHINE, or HKEY_CURRENT_USER itself) stands
// for in this process from Install to Remove.
class ScratchKey {
 public:
  void Install(HKEY predefined, const char* kind) {
    predefined_ = predefined;
    path_ = std::string("Software\\Kwelmora tests\\") + kind + " " +
            std::to_string(GetCurrentProcessId());
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());  // left by a test that crashed
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &root_, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(predefined_, root_), ERROR_SUCCESS);
  }

  void Remove() {
    if (predefined_ == nullptr) return;
    EXPECT_EQ(RegOverridePredefKey(predefined_, nullptr), ERROR_SUCCESS);
    predefined_ = nullptr;
    if (root_ != nullptr) {
      RegCloseKey(root_);
      root_ = nullptr;
      EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str()), ERROR_SUCCESS);
      // Other test processes may still have their keys here.
      RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Kwelmora tests");
    }
  }

  HKEY Root() const { return root_; }

 private:
  HKEY predefined_ = nullptr;
  std::string path_;
  HKEY root_ = nullptr;
};

// The machine's registry while a test runs: a scratch key of its own that
// HKEY_LOCAL_MACHINE stands for in this process. Paths are relative to it.
class ScratchMachine {
 public:
  void Install() { scratch_.Install(HKEY_LOCAL_MACHINE, "Machine"); }

  void Remove() {
    RestoreAccess();
    scratch_.Remove();
  }

  void AddKey(const std::string& path) { RegCloseKey(Create(path)); }

  void SetValue(const std::string& path, const char* name, DWORD type, const std::string& bytes) {
    const HKEY key = Create(path);
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // An instance key of a serial port, as the serial driver leaves it.
  void AddPort(const std::string& instance, const char* portName) {
    SetValue(instance, "PortName", REG_SZ, Sz(portName));
  }

  // "type T: bytes in hex", or kMissing.
  std::string Describe(const std::string& path, const char* name) {
    DWORD type = 0;
    BYTE data[64] = {};
    DWORD size = sizeof data;
    if (RegGetValueA(scratch_.Root(), path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, data,
                     &size) != ERROR_SUCCESS) {
      return kMissing;
    }
    std::string text = "type " + std::to_string(type) + ":";
    for (DWORD i = 0; i < size; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", data[i]);
      text += hex;
    }
    return text;
  }

  // Sets a DACL that denies everyone every access to the key, as on a key that
  // belongs to another account: opening it with KEY_ALL_ACCESS is refused.
  void DenyAccess(const std::string& path) { Deny(path, "D:(D;;KA;;;WD)"); }

  // Sets a DACL that lets everyone read the key and nobody change it, as Windows
  // guards its device enumeration from users without administrator's rights:
  // opening it to set a value is refused.
  void DenyWrites(const std::string& path) { Deny(path, "D:(A;;KR;;;WD)"); }

  void RestoreAccess() {
    for (HKEY key : denied_) {
      SetDacl(key, "D:(A;;KA;;;WD)");
      RegCloseKey(key);
    }
    denied_.clear();
  }

 private:
  HKEY Create(const std::string& path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(scratch_.Root(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }

  void Deny(const std::string& path, const char* sddl) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(scratch_.Root(), path.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    denied_.push_back(key);  // kept: its WRITE_DAC puts the access back later
    SetDacl(key, sddl);
  }

  static void SetDacl(HKEY key, const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor), ERROR_SUCCESS);
    LocalFree(descriptor);
  }

  ScratchKey scratch_;
  std::vector<HKEY> denied_;
};
