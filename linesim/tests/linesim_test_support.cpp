#include "linesim_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "control_server.h"

namespace linesim_test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "linesim-test.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

zrvline::RealCalls LibcCalls() {
  zrvline::RealCalls calls{};
  calls.ioctl = [](int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
  };
  calls.tcsetattr = ::tcsetattr;
  calls.tcgetattr = ::tcgetattr;
  calls.tcflush = ::tcflush;
  calls.write = ::write;
  return calls;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

ServedLine::ServedLine(linesim::LineSimOptions options, bool dropParity) {
  options.cableSocket = dir_.File("cable");
  options.controlSocket = dir_.File("control");
  sim_ = std::make_unique<linesim::LineSim>(options);
  slavePath_ = sim_->SlavePath();
  loop_ = std::thread([this] { sim_->Run(); });
  port_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port_ < 0) throw std::runtime_error("cannot open " + slavePath_);
  client_ = std::make_unique<zrvline::LineClient>(LibcCalls(), slavePath_.c_str(),
                                                  options.cableSocket.c_str(), -1, dropParity);
}

ServedLine::~ServedLine() {
  client_.reset();
  close(port_);
  sim_->Stop();
  loop_.join();
}

std::string ServedLine::Control(const std::string& command) {
  std::string answer;
  if (!linesim::SendControlCommand(dir_.File("control"), command, answer, 5000)) {
    return "no answer";
  }
  const std::string ok = "ok\n";
  if (answer.size() >= ok.size() && answer.compare(answer.size() - ok.size(), ok.size(), ok) == 0) {
    answer.resize(answer.size() - ok.size());
  }
  return answer;
}

std::string ServedLine::Log() {
  std::string log = Control("log");
  for (char& c : log) {
    if (c == '\n') c = ',';
  }
  return log;
}

void ServedLine::SetParity(unsigned flags) {
  termios settings{};
  if (client_->GetAttributes(port_, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(linesim::kParityFlags)) | flags;
  if (client_->SetAttributes(port_, TCSANOW, &settings) != 0) {
    throw std::runtime_error("tcsetattr failed");
  }
}

void ServedLine::WriteBytes(std::initializer_list<uint8_t> bytes) {
  for (uint8_t byte : bytes) {
    if (client_->Write(port_, &byte, 1) != 1) throw std::runtime_error("write failed");
  }
}

std::optional<uint8_t> ServedLine::ReadByte(std::chrono::milliseconds bound) {
  pollfd readable{port_, POLLIN, 0};
  if (poll(&readable, 1, static_cast<int>(bound.count())) != 1) return std::nullopt;
  uint8_t byte = 0;
  if (read(port_, &byte, 1) != 1) return std::nullopt;
  return byte;
}

}  // namespace linesim_test
