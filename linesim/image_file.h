// The device's records kept in a file: all 931 records, address 1 first, 30 bytes
// each (27930 bytes), so that they survive a restart of zrvsim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace linesim {

enum class ImageLoad { Loaded, Absent, Failed };

// Reads the image at `path`. Absent when there is no file; Failed (with the
// reason in `error`) when it cannot be read or has another size than
// `expectedSize`.
ImageLoad LoadImageFile(const std::string& path, size_t expectedSize, std::vector<uint8_t>& image,
                        std::string& error);

// Writes the image to `path` through a temporary file renamed over it, so that a
// reader (or a crash) never sees half an image.
bool SaveImageFile(const std::string& path, const std::vector<uint8_t>& image, std::string& error);

}  // namespace linesim
