// The image's file calls on Linux (zrvsim).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/image_file.h"

namespace sim::image_io {

namespace {

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

ImageLoad ReadUpTo(const std::string& path, std::vector<uint8_t>& data, size_t& got,
                   std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ImageLoad::Absent;
    error = Reason("cannot open", path);
    return ImageLoad::Failed;
  }
  got = 0;
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
  return ImageLoad::Loaded;
}

bool WriteNew(const std::string& path, const std::vector<uint8_t>& data, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = Reason("cannot create", path);
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Reason("cannot write", path);
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    error = Reason("cannot write", path);
    return false;
  }
  return true;
}

bool Replace(const std::string& from, const std::string& to, std::string& error) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  error = Reason("cannot store", to);
  return false;
}

void Remove(const std::string& path) { unlink(path.c_str()); }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

}  // namespace sim::image_io
