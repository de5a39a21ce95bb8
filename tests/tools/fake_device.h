// A ZRV device in memory behind the five calls of zrvtool::DeviceApi, with result codes
// that a test can inject per address, a device that stores some bits wrongly, and a log
// of every call.
#ifndef KWELMORA_TESTS_TOOLS_FAKE_DEVICE_H
#define KWELMORA_TESTS_TOOLS_FAKE_DEVICE_H

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "zrvtool_lib.h"

class FakeDevice {
 public:
  FakeDevice();
  ~FakeDevice();
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  // Calls that reach this instance (one fake at a time: the calls are plain functions).
  zrvtool::DeviceApi Api() const;

  zrvtool::Record& record(int address) { return records_[address - 1]; }

  // The scene.
  bool open_succeeds = true;
  unsigned char status = 0x41;
  unsigned char status_result = KWELMORA_OK;
  std::map<int, unsigned char> read_results;   // address -> result code
  std::map<int, unsigned char> write_results;  // address -> result code
  std::map<int, unsigned char> stuck_bits;     // address -> bits a write flips
  std::function<void(int address)> on_read;    // after a read of that address

  // What happened.
  bool port_open = false;
  std::vector<std::string>
      log;  // every export call: "open 3", "read 17", "write 17", "status", "close"

 private:
  static unsigned char KWELMORA_CALL Open(unsigned char port);
  static unsigned char KWELMORA_CALL Close();
  static unsigned char KWELMORA_CALL ReadStatus(unsigned char* status);
  static unsigned char KWELMORA_CALL ReadRecord(unsigned short address, unsigned char* buffer);
  static unsigned char KWELMORA_CALL WriteRecord(unsigned short address, const unsigned char* data);
  static unsigned char Transfer(int address, const std::map<int, unsigned char>& results);

  std::array<zrvtool::Record, zrvtool::kRecordCount> records_{};
};

#endif  // KWELMORA_TESTS_TOOLS_FAKE_DEVICE_H
