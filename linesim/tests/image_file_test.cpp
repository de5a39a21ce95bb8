#include "image/image_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "linesim_test_support.h"

namespace {

using sim::ImageLoad;

constexpr size_t kSize = 27930;

std::vector<uint8_t> Numbered() {
  std::vector<uint8_t> image(kSize);
  for (size_t i = 0; i < kSize; ++i) image[i] = static_cast<uint8_t>(i * 7);
  return image;
}

TEST(ImageFile, SavedImageLoadsBackAndLeavesNoTemporaryFile) {
  linesim_test::TempDir dir;
  std::string error;
  ASSERT_TRUE(sim::SaveImageFile(dir.File("image"), Numbered(), error)) << error;
  std::vector<uint8_t> loaded;
  EXPECT_EQ(sim::LoadImageFile(dir.File("image"), kSize, loaded, error), ImageLoad::Loaded);
  EXPECT_EQ(loaded, Numbered());
  const auto files = std::filesystem::directory_iterator(dir.File("."));
  EXPECT_EQ(std::distance(begin(files), end(files)), 1);  // the image alone
}

TEST(ImageFile, MissingFileIsAbsentNotAFailure) {
  linesim_test::TempDir dir;
  std::string error;
  std::vector<uint8_t> loaded{1, 2, 3};
  EXPECT_EQ(sim::LoadImageFile(dir.File("none"), kSize, loaded, error), ImageLoad::Absent);
  EXPECT_EQ(loaded, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(ImageFile, FileOfAnotherSizeIsRefusedWithTheReason) {
  linesim_test::TempDir dir;
  for (size_t size : {size_t{0}, kSize - 1, kSize + 1}) {
    std::ofstream(dir.File("image"), std::ios::trunc) << std::string(size, 'x');
    std::string error;
    std::vector<uint8_t> loaded;
    EXPECT_EQ(sim::LoadImageFile(dir.File("image"), kSize, loaded, error), ImageLoad::Failed)
        << size;
    EXPECT_NE(error.find("27930"), std::string::npos) << error;
  }
}

TEST(ImageFile, SaveIntoAMissingFolderFails) {
  linesim_test::TempDir dir;
  std::string error;
  EXPECT_FALSE(sim::SaveImageFile(dir.File("no/such/image"), Numbered(), error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
