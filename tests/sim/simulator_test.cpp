// The simulator DLL's settings (the environment first, an empty variable included,
// else HKEY_CURRENT_USER\Software\Kwelmora\Simulator, redirected for this process
// to a scratch key) and its record image kept with Windows' file calls.
#include <gtest/gtest.h>
#include <windows.h>

#include "image/image_file.h"
#include "registry/scratch_machine.h"
#include "simulator/simulator_settings.h"
#include "trace/trace_scene.h"

namespace {

using sim::ImageLoad;

class SimulatorSettings : public ::testing::Test {
 protected:
  void SetUp() override { user_.Install(HKEY_CURRENT_USER, "User"); }
  void TearDown() override {
    for (const wchar_t* name :
         {L"KWELMORA_SIM_PORTS", L"KWELMORA_SIM_PACE", L"KWELMORA_SIM_IMAGES"})
      SetEnvironmentVariableW(name, nullptr);
    user_.Remove();
  }
  static void Registry(const wchar_t* name, const std::wstring& text) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Kwelmora\\Simulator", name, REG_SZ,
                              text.c_str(), static_cast<DWORD>((text.size() + 1) * 2)),
              ERROR_SUCCESS);
  }
  static std::string Utf8(const std::wstring& text) {
    return std::string(text.begin(), text.end());
  }
  ScratchKey user_;
};

TEST_F(SimulatorSettings, PortsAreNumbersAndRangesTheVariableBeforeTheRegistry) {
  Registry(L"Ports", L"9");
  EXPECT_TRUE(sim::SimulatedPortHasDevice(9));
  EXPECT_FALSE(sim::SimulatedPortHasDevice(3));
  SetEnvironmentVariableW(L"KWELMORA_SIM_PORTS", L"3, 5-7;12");
  for (unsigned port = 1; port <= 13; ++port) {
    EXPECT_EQ(sim::SimulatedPortHasDevice(port),
              port == 3 || (port >= 5 && port <= 7) || port == 12)
        << "COM" << port;
  }
  SetEnvironmentVariableW(L"KWELMORA_SIM_PORTS", L"");
  EXPECT_FALSE(sim::SimulatedPortHasDevice(9)) << "an empty variable: no device at all";
}

TEST_F(SimulatorSettings, PacedUnlessZero) {
  EXPECT_TRUE(sim::SimulatedLinePaced());
  const DWORD zero = 0;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Kwelmora\\Simulator", L"Pace", REG_DWORD,
                            &zero, sizeof zero),
            ERROR_SUCCESS);
  EXPECT_FALSE(sim::SimulatedLinePaced());
  SetEnvironmentVariableW(L"KWELMORA_SIM_PACE", L"1");
  EXPECT_TRUE(sim::SimulatedLinePaced());
}

TEST_F(SimulatorSettings, ImageFolderIsMadeAndTheImageSavedLoadsBackAlone) {
  trace_test::ScratchFolder scratch;
  SetEnvironmentVariableW(L"KWELMORA_SIM_IMAGES", scratch.Path(L"images\\").c_str());
  std::string error;
  const std::string path = sim::SimulatedImagePath(7, error);
  ASSERT_EQ(path, Utf8(scratch.Path(L"images\\ZRV-COM7.img"))) << error;

  std::vector<uint8_t> image(27930), loaded;
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(sim::LoadImageFile(path, image.size(), loaded, error), ImageLoad::Absent) << error;
  ASSERT_TRUE(sim::SaveImageFile(path, image, error)) << error;
  ASSERT_TRUE(sim::SaveImageFile(path, image, error)) << "over the image: " << error;
  EXPECT_EQ(sim::LoadImageFile(path, image.size(), loaded, error), ImageLoad::Loaded) << error;
  EXPECT_EQ(loaded, image);
  EXPECT_EQ(sim::LoadImageFile(path, image.size() - 1, loaded, error), ImageLoad::Failed);
  EXPECT_NE(error.find("27929"), std::string::npos) << error;
  SetEnvironmentVariableW(L"KWELMORA_SIM_IMAGES", scratch.Path(L"images").c_str());
  EXPECT_EQ(sim::SimulatedImagePath(7, error), path);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(scratch.Path(L"images\\*.*").c_str(), &found);
  std::vector<std::wstring> names;
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    if (found.cFileName[0] != L'.') names.push_back(found.cFileName);
  }
  FindClose(search);
  EXPECT_EQ(names, std::vector<std::wstring>{L"ZRV-COM7.img"}) << "no temporary file left";
  EXPECT_FALSE(sim::SaveImageFile(Utf8(scratch.Path(L"none\\x.img")), image, error));
}

}  // namespace
