// The port's device entries in the registry, put right before the port is opened.
// The tests use Wine's real registry with HKEY_LOCAL_MACHINE redirected, for this
// process only, to a scratch key under HKEY_CURRENT_USER.
#include <gtest/gtest.h>
#include <windows.h>

#include <iterator>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kwelmora.h"
#include "library/last_error.h"
#include "registry/port_settings_fixup.h"
#include "registry/scratch_machine.h"
#include "test_support.h"

namespace {

constexpr char kWritten[] = "type 3: 02 01 00 00";  // REG_BINARY, the four bytes

// Wine writes any value into a key opened with full access, so a refused write is
// staged in this program's import table: the n-th RegSetValueExA answers
// ERROR_ACCESS_DENIED, the others reach the registry.
using SetValueCall = LSTATUS(WINAPI*)(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD);
// The import table's slot, by the name the linker gives it: 32-bit Windows
// decorates a stdcall import with a leading underscore and its argument bytes.
#ifdef _WIN64
extern "C" SetValueCall importedRegSetValueExA __asm__("__imp_RegSetValueExA");
#else
extern "C" SetValueCall importedRegSetValueExA __asm__("__imp__RegSetValueExA@24");
#endif

class SettingsWriteRefusal {
 public:
  explicit SettingsWriteRefusal(int refused) {
    refused_ = refused;
    writes_ = 0;
    original_ = Swap(&Write);
  }
  ~SettingsWriteRefusal() { Swap(original_); }
  SettingsWriteRefusal(const SettingsWriteRefusal&) = delete;
  SettingsWriteRefusal& operator=(const SettingsWriteRefusal&) = delete;

  int writes() const { return writes_; }

 private:
  static LSTATUS WINAPI Write(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD size) {
    if (++writes_ == refused_) {
      return ERROR_ACCESS_DENIED;
    }
    return original_(key, name, reserved, type, data, size);
  }

  static SetValueCall Swap(SetValueCall with) {
    DWORD protection = 0;
    VirtualProtect(&importedRegSetValueExA, sizeof with, PAGE_READWRITE, &protection);
    const SetValueCall previous = importedRegSetValueExA;
    importedRegSetValueExA = with;
    VirtualProtect(&importedRegSetValueExA, sizeof with, protection, &protection);
    return previous;
  }

  static inline int refused_ = 0;
  static inline int writes_ = 0;
  static inline SetValueCall original_ = nullptr;
};

class RegistryFixupTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_.Install(); }
  void TearDown() override { machine_.Remove(); }

  std::string SettingsOf(const std::string& instance) {
    return machine_.Describe(instance, "Settings");
  }

  ScratchMachine machine_;
};

// One instance whose PortName is the case, and the port asked for.
struct PortNameCase {
  const char* story;
  unsigned port;
  DWORD type;
  std::string portName;  // the bytes as stored
  bool matches;
};

void PrintTo(const PortNameCase& c, std::ostream* out) { *out << c.story; }

const PortNameCase kPortNameCases[] = {
    {"LowerCaseCom3IsPort3", 3, REG_SZ, Sz("com3"), true},
    {"ExpandableStringIsReadAsItStands", 3, REG_EXPAND_SZ, Sz("COM3"), true},
    {"TextAfterAnEmbeddedNulIsIgnored", 3, REG_SZ, Sz(std::string("COM3\0junk", 9)), true},
    {"NameWithoutItsNulStillMatches", 3, REG_SZ, "COM3", true},
    {"Port0IsCom0", 0, REG_SZ, Sz("COM0"), true},
    {"Port12IsCom12", 12, REG_SZ, Sz("COM12"), true},
    {"Port255IsCom255", 255, REG_SZ, Sz("COM255"), true},
    {"LeadingZeroIsAnotherName", 3, REG_SZ, Sz("COM03"), false},
    {"LeadingBlankIsAnotherName", 3, REG_SZ, Sz(" COM3"), false},
    {"TrailingBlankIsAnotherName", 3, REG_SZ, Sz("COM3 "), false},
    {"LongerNumberIsAnotherPort", 3, REG_SZ, Sz("COM31"), false},
    {"ShorterNumberIsAnotherPort", 12, REG_SZ, Sz("COM1"), false},
    {"EmptyNameIsNoPort", 3, REG_SZ, "", false},
    {"BinaryNameIsNoName", 3, REG_BINARY, "COM3", false},
    {"DwordNameIsNoName", 3, REG_DWORD, std::string("\3\0\0\0", 4), false},
    {"MultiStringNameIsNoName", 3, REG_MULTI_SZ, std::string("COM3\0\0", 6), false},
};

class RegistryPortNameTest : public RegistryFixupTest,
                             public ::testing::WithParamInterface<PortNameCase> {};

TEST_P(RegistryPortNameTest, SettingsAreWrittenOnlyWhenPortNameNamesThePort) {
  const PortNameCase& c = GetParam();
  const std::string instance = "ENUM\\ACPI\\PNP0501\\0";
  machine_.SetValue(instance, "PortName", c.type, c.portName);

  EXPECT_EQ(FixPortSettings(static_cast<uint8_t>(c.port)), c.matches);
  EXPECT_EQ(SettingsOf(instance), c.matches ? kWritten : kMissing);
}

INSTANTIATE_TEST_SUITE_P(Registry, RegistryPortNameTest, ::testing::ValuesIn(kPortNameCases),
                         [](const ::testing::TestParamInfo<PortNameCase>& info) {
                           return std::string(info.param.story);
                         });

TEST_F(RegistryFixupTest, EveryMatchUnderAcpiIsWrittenAndRootIsLeftAlone) {
  machine_.AddPort("ENUM\\ACPI\\PNP0501\\1", "COM3");
  machine_.AddPort("ENUM\\ACPI\\PNP0501\\2", "COM4");
  machine_.AddPort("ENUM\\ACPI\\PNP0502\\0", "COM3");
  machine_.AddPort("ENUM\\Root\\PORTS\\0000", "COM3");

  EXPECT_TRUE(FixPortSettings(3));

  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\1"), kWritten);
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\2"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0502\\0"), kWritten);
  EXPECT_EQ(SettingsOf("ENUM\\Root\\PORTS\\0000"), kMissing);
}

TEST_F(RegistryFixupTest, RootIsSearchedWhenAcpiHasNoMatch) {
  machine_.AddPort("ENUM\\ACPI\\PNP0501\\0", "COM1");
  machine_.AddPort("ENUM\\Root\\PORTS\\0000", "COM3");
  machine_.AddPort("ENUM\\Root\\PORTS\\0001", "COM5");

  EXPECT_TRUE(FixPortSettings(3));

  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\0"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\Root\\PORTS\\0000"), kWritten);
  EXPECT_EQ(SettingsOf("ENUM\\Root\\PORTS\\0001"), kMissing);
}

TEST_F(RegistryFixupTest, RootIsSearchedWhenAcpiIsMissing) {
  machine_.AddPort("ENUM\\Root\\PORTS\\0000", "COM3");

  EXPECT_TRUE(FixPortSettings(3));
  EXPECT_EQ(SettingsOf("ENUM\\Root\\PORTS\\0000"), kWritten);
}

TEST_F(RegistryFixupTest, NoTreesEmptyTreesOrNoMatchWriteNothingAndAnswerFalse) {
  EXPECT_FALSE(FixPortSettings(3));

  machine_.AddKey("ENUM\\ACPI");
  machine_.AddKey("ENUM\\Root");
  EXPECT_FALSE(FixPortSettings(3));

  machine_.AddPort("ENUM\\ACPI\\PNP0501\\0", "COM4");
  machine_.AddPort("ENUM\\Root\\PORTS\\0000", "COM5");
  EXPECT_FALSE(FixPortSettings(3));
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\0"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\Root\\PORTS\\0000"), kMissing);
}

TEST_F(RegistryFixupTest, OnlyInstanceKeysTwoLevelsBelowTheTreeAreLookedAt) {
  machine_.AddPort("ENUM\\ACPI\\AAAA", "COM3");  // device without instances
  machine_.AddPort("ENUM\\ACPI\\PNP0501\\0\\Device Parameters", "COM3");  // below an instance
  machine_.AddPort("ENUM\\ACPI\\PNP0501\\1", "COM3");

  EXPECT_TRUE(FixPortSettings(3));

  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\AAAA"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\0"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\0\\Device Parameters"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\1"), kWritten);
}

TEST_F(RegistryFixupTest, KeysRefusingFullAccessArePassedOver) {
  machine_.AddPort("ENUM\\ACPI\\AAAA\\0", "COM3");
  machine_.DenyAccess("ENUM\\ACPI\\AAAA");
  machine_.AddPort("ENUM\\ACPI\\PNP0501\\0", "COM3");
  machine_.DenyAccess("ENUM\\ACPI\\PNP0501\\0");
  machine_.AddPort("ENUM\\ACPI\\PNP0501\\1", "COM3");

  EXPECT_TRUE(FixPortSettings(3));

  machine_.RestoreAccess();
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\AAAA\\0"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\0"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\1"), kWritten);
}

TEST_F(RegistryFixupTest, AcpiRefusingFullAccessIsPassedOverForRoot) {
  machine_.AddPort("ENUM\\ACPI\\PNP0501\\0", "COM3");
  machine_.DenyAccess("ENUM\\ACPI");
  machine_.AddPort("ENUM\\Root\\PORTS\\0000", "COM3");

  EXPECT_TRUE(FixPortSettings(3));

  machine_.RestoreAccess();
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\0"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\Root\\PORTS\\0000"), kWritten);
}

TEST_F(RegistryFixupTest, EarlierSettingsOfAnyTypeOrLengthAreReplaced) {
  const std::pair<DWORD, std::string> earlier[] = {
      {REG_SZ, Sz("9600,n,8,1")},
      {REG_DWORD, std::string("\1\0\0\0", 4)},
      {REG_BINARY, std::string("\2\1\0\0\0\0\0\0", 8)},
      {REG_BINARY, ""},
  };
  for (std::size_t i = 0; i < std::size(earlier); ++i) {
    const std::string instance = "ENUM\\ACPI\\PNP0501\\" + std::to_string(i);
    machine_.AddPort(instance, "COM3");
    machine_.SetValue(instance, "Settings", earlier[i].first, earlier[i].second);
  }

  EXPECT_TRUE(FixPortSettings(3));

  for (std::size_t i = 0; i < std::size(earlier); ++i) {
    EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\" + std::to_string(i)), kWritten) << i;
  }
}

TEST_F(RegistryFixupTest, RefusedWriteEndsTheFixupWithFalse) {
  for (const char* instance : {"0", "1", "2"}) {
    machine_.AddPort(std::string("ENUM\\ACPI\\PNP0501\\") + instance, "COM3");
  }
  machine_.AddPort("ENUM\\Root\\PORTS\\0000", "COM3");

  {
    SettingsWriteRefusal refusal(2);
    EXPECT_FALSE(FixPortSettings(3));  // although one value was written
    EXPECT_EQ(refusal.writes(), 2);
  }

  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\0"), kWritten);
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\1"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\ACPI\\PNP0501\\2"), kMissing);
  EXPECT_EQ(SettingsOf("ENUM\\Root\\PORTS\\0000"), kMissing);
}

// The fix-up as the first step of the port's initialisation.
class RegistryInitialisationTest : public LibraryTest {
 protected:
  static constexpr char kInstance[] = "ENUM\\ACPI\\PNP0501\\0";

  void SetUp() override {
    LibraryTest::SetUp();
    machine_.Install();
    driver().AddPort(3);
  }
  void TearDown() override {
    machine_.Remove();
    LibraryTest::TearDown();
  }

  ScratchMachine machine_;
};

TEST_F(RegistryInitialisationTest, EveryInitialisationWritesSettingsEvenARefusedOne) {
  machine_.AddPort(kInstance, "COM3");

  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(3), 1);
  EXPECT_EQ(machine_.Describe(kInstance, "Settings"), kWritten);

  machine_.SetValue(kInstance, "Settings", REG_SZ, Sz("stale"));
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(3), 0);
  EXPECT_EQ(LastError().code, 5);
  EXPECT_EQ(machine_.Describe(kInstance, "Settings"), kWritten);
}

TEST_F(RegistryInitialisationTest, FailingFixupLeavesTheLastErrorRecordAlone) {
  RecordError("earlier", 77);

  EXPECT_FALSE(FixPortSettings(3));  // nothing to fix
  machine_.AddPort(kInstance, "COM3");
  {
    SettingsWriteRefusal refusal(1);
    EXPECT_FALSE(FixPortSettings(3));
  }

  EXPECT_EQ(LastError().text, "earlier");
  EXPECT_EQ(LastError().code, 77);
}

}  // namespace
