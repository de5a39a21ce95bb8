#include "image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace linesim {

namespace {

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

ImageLoad LoadImageFile(const std::string& path, size_t expectedSize, std::vector<uint8_t>& image,
                        std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ImageLoad::Absent;
    error = Reason("cannot open", path);
    return ImageLoad::Failed;
  }
  std::vector<uint8_t> data(expectedSize + 1);
  size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = read(fd, data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason("cannot read", path);
      close(fd);
      return ImageLoad::Failed;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
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
  const std::string temporary = path + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = Reason("cannot create", temporary);
    return false;
  }
  size_t done = 0;
  while (done < image.size()) {
    const ssize_t n = write(fd, image.data() + done, image.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason("cannot write", temporary);
      close(fd);
      unlink(temporary.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
    error = Reason("cannot store", path);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace linesim
