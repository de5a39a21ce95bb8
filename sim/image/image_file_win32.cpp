// The image's file calls on Windows (the simulator DLL): UTF-8 paths turned into
// UTF-16 for the wide calls, so that any path the user's folder has works.
#include <windows.h>

#include "image/image_file.h"

namespace sim::image_io {

namespace {

std::string Reason(const std::string& what, const std::string& path, DWORD code) {
  return what + " " + path + ": error " + std::to_string(code);
}

// Owns one file handle.
class File {
 public:
  explicit File(HANDLE handle) : handle_(handle) {}
  ~File() {
    if (Valid()) ::CloseHandle(handle_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  // Closes the handle now; false when closing failed (data not written).
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return ::CloseHandle(handle) != FALSE;
  }

 private:
  HANDLE handle_;
};

}  // namespace

ImageLoad ReadUpTo(const std::string& path, std::vector<uint8_t>& data, size_t& got,
                   std::string& error) {
  // Shared for writing and deleting too: another process may be moving a new
  // image over this one meanwhile.
  File file(CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return ImageLoad::Absent;
    error = Reason("cannot open", path, code);
    return ImageLoad::Failed;
  }
  got = 0;
  while (got < data.size()) {
    DWORD n = 0;
    if (!::ReadFile(file.Get(), data.data() + got, static_cast<DWORD>(data.size() - got), &n,
                    nullptr)) {
      error = Reason("cannot read", path, GetLastError());
      return ImageLoad::Failed;
    }
    if (n == 0) break;
    got += n;
  }
  return ImageLoad::Loaded;
}

bool WriteNew(const std::string& path, const std::vector<uint8_t>& data, std::string& error) {
  File file(CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    error = Reason("cannot create", path, GetLastError());
    return false;
  }
  size_t done = 0;
  while (done < data.size()) {
    DWORD n = 0;
    if (!::WriteFile(file.Get(), data.data() + done, static_cast<DWORD>(data.size() - done), &n,
                     nullptr)) {
      error = Reason("cannot write", path, GetLastError());
      return false;
    }
    done += n;
  }
  // On the disk before it replaces the image: a crash after the move leaves the
  // new image whole, not an empty file.
  if (!FlushFileBuffers(file.Get()) || !file.Close()) {
    error = Reason("cannot write", path, GetLastError());
    return false;
  }
  return true;
}

bool Replace(const std::string& from, const std::string& to, std::string& error) {
  if (MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  error = Reason("cannot store", to, GetLastError());
  return false;
}

void Remove(const std::string& path) { DeleteFileW(WidePath(path).c_str()); }

unsigned long ProcessId() { return GetCurrentProcessId(); }

std::wstring WidePath(const std::string& path) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return wide;
}

}  // namespace sim::image_io
