#include "image/record_image.h"

#include "image/image_file.h"

namespace sim {

bool RecordImage::Load(const std::string& path, ZrvDevice& device, std::string& error) {
  path_ = path;
  stored_ = false;
  std::vector<uint8_t> image;
  switch (LoadImageFile(path_, ZrvDevice::kImageSize, image, error)) {
    case ImageLoad::Loaded:
      if (!device.RestoreImage(image)) {
        error = path_ + ": not an image";
        return false;
      }
      saved_ = std::move(image);
      return true;
    case ImageLoad::Absent:
      // A new device: all records zero, and a file that says so from the start.
      device.RestoreImage(std::vector<uint8_t>(ZrvDevice::kImageSize));
      saved_ = device.SaveImage();
      return SaveImageFile(path_, saved_, error);
    case ImageLoad::Failed:
      break;
  }
  return false;
}

bool RecordImage::Save(const ZrvDevice& device, std::string& error) {
  stored_ = false;
  std::vector<uint8_t> image = device.SaveImage();
  if (image == saved_) return true;
  if (!SaveImageFile(path_, image, error)) return false;
  saved_ = std::move(image);
  return true;
}

}  // namespace sim
