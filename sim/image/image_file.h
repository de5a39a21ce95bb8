// The device's records kept in a file: all 931 records, address 1 first, 30 bytes
// each (27930 bytes), so that they survive a restart of the simulator. zrvsim on
// Linux and the simulator DLL on Windows keep them in this one format, through
// the same code; only the file calls differ (image_file_posix.cpp,
// image_file_win32.cpp). Paths are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class ImageLoad { Loaded, Absent, Failed };

// Reads the image at `path`. Absent when there is no file; Failed (with the
// reason in `error`) when it cannot be read or has another size than
// `expectedSize`.
ImageLoad LoadImageFile(const std::string& path, size_t expectedSize, std::vector<uint8_t>& image,
                        std::string& error);

// Writes the image to `path` through a temporary file of this process's own,
// moved over the image in one step: a reader (or a crash) never sees half an
// image, and two processes saving the same image never write into one file; the
// last move wins, whole.
bool SaveImageFile(const std::string& path, const std::vector<uint8_t>& image, std::string& error);

// The file calls beneath, one file per system.
namespace image_io {
// Reads at most data.size() bytes; how many in `got`. Absent when there is no file.
ImageLoad ReadUpTo(const std::string& path, std::vector<uint8_t>& data, size_t& got,
                   std::string& error);
// Creates (or truncates) the file and writes all of `data` to it.
bool WriteNew(const std::string& path, const std::vector<uint8_t>& data, std::string& error);
// Moves `from` over `to`, replacing it in one step.
bool Replace(const std::string& from, const std::string& to, std::string& error);
void Remove(const std::string& path);
unsigned long ProcessId();
#ifdef _WIN32
// A UTF-8 path as the wide calls take it.
std::wstring WidePath(const std::string& path);
#endif
}  // namespace image_io

}  // namespace sim
