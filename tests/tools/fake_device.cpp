#include "fake_device.h"

#include <algorithm>

namespace {
FakeDevice* g_device = nullptr;
}

FakeDevice::FakeDevice() { g_device = this; }
FakeDevice::~FakeDevice() { g_device = nullptr; }

zrvtool::DeviceApi FakeDevice::Api() const {
  return {Open, Close, ReadStatus, ReadRecord, WriteRecord};
}

unsigned char KWELMORA_CALL FakeDevice::Open(unsigned char port) {
  g_device->log.push_back("open " + std::to_string(port));
  // Like the DLL: a second opening while the port is open fails.
  if (g_device->port_open || !g_device->open_succeeds) return 0;
  g_device->port_open = true;
  return 1;
}

unsigned char KWELMORA_CALL FakeDevice::Close() {
  g_device->log.push_back("close");
  g_device->port_open = false;
  return 1;
}

// The result of a transfer before any data moves: closed port, bad address, injected code.
unsigned char FakeDevice::Transfer(int address, const std::map<int, unsigned char>& results) {
  if (address < zrvtool::kFirstAddress || address > zrvtool::kLastAddress) {
    return KWELMORA_INVALID_ARGUMENT;
  }
  if (!g_device->port_open) return KWELMORA_NO_DEVICE;
  auto injected = results.find(address);
  return injected == results.end() ? KWELMORA_OK : injected->second;
}

unsigned char KWELMORA_CALL FakeDevice::ReadStatus(unsigned char* status) {
  g_device->log.push_back("status");
  if (!g_device->port_open) return KWELMORA_NO_DEVICE;
  if (g_device->status_result == KWELMORA_OK) *status = g_device->status;
  return g_device->status_result;
}

unsigned char KWELMORA_CALL FakeDevice::ReadRecord(unsigned short address, unsigned char* buffer) {
  g_device->log.push_back("read " + std::to_string(address));
  const unsigned char result = Transfer(address, g_device->read_results);
  if (result == KWELMORA_OK) {
    const zrvtool::Record& record = g_device->record(address);
    std::copy(record.begin(), record.end(), buffer);
  } else {
    std::fill_n(buffer, zrvtool::kRecordSize, 0xEE);  // a read broken off part-way
  }
  if (g_device->on_read) g_device->on_read(address);
  return result;
}

unsigned char KWELMORA_CALL FakeDevice::WriteRecord(unsigned short address,
                                                    const unsigned char* data) {
  g_device->log.push_back("write " + std::to_string(address));
  const unsigned char result = Transfer(address, g_device->write_results);
  if (result == KWELMORA_OK) {
    zrvtool::Record& record = g_device->record(address);
    std::copy_n(data, zrvtool::kRecordSize, record.begin());
    auto stuck = g_device->stuck_bits.find(address);
    if (stuck != g_device->stuck_bits.end()) record[7] ^= stuck->second;
  }
  return result;
}
