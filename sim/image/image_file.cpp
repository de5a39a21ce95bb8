#include "image/image_file.h"

namespace sim {

ImageLoad LoadImageFile(const std::string& path, size_t expectedSize, std::vector<uint8_t>& image,
                        std::string& error) {
  // One byte more than an image, so that a longer file shows.
  std::vector<uint8_t> data(expectedSize + 1);
  size_t got = 0;
  const ImageLoad read = image_io::ReadUpTo(path, data, got, error);
  if (read != ImageLoad::Loaded) return read;
  if (got != expectedSize) {
    error = path + " holds " + (got > expectedSize ? "more" : std::to_string(got)) +
            " bytes, an image is " + std::to_string(expectedSize);
    return ImageLoad::Failed;
  }
  data.resize(expectedSize);
  image = std::move(data);
  return ImageLoad::Loaded;
}

bool SaveImageFile(const std::string& path, const std::vector<uint8_t>& image, std::string& error) {
  const std::string temporary = path + "." + std::to_string(image_io::ProcessId()) + ".tmp";
  if (image_io::WriteNew(temporary, image, error) && image_io::Replace(temporary, path, error)) {
    return true;
  }
  image_io::Remove(temporary);
  return false;
}

}  // namespace sim
