// A device model's records kept in an image file, for a program that serves the
// model (zrvsim, the simulator DLL): loaded, or made with all records zero, when
// the device starts, and written back once a record written has been stored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "far_end.h"
#include "zrv_device.h"

namespace sim {

class RecordImage {
 public:
  // The records from the image at `path` into `device`; a missing image is made.
  // False, with the reason in `error`, when it cannot be read or made.
  bool Load(const std::string& path, ZrvDevice& device, std::string& error);

  // Every byte the device sends. An even-parity ACK ends a location block or a
  // record written; after the latter the device has stored the record.
  void NoteSent(uint8_t value, WireParity parity) {
    stored_ = stored_ || (value == ZrvDevice::kAck && parity == WireParity::Even);
  }
  // A record may have been stored since the last Save: worth one after the byte
  // the device is taking.
  bool RecordStored() const { return stored_; }

  // Writes the image back when the device's records differ from the file's. False,
  // with the reason in `error`, when the write failed; the device keeps its
  // records, and the next Save tries the file again.
  bool Save(const ZrvDevice& device, std::string& error);

 private:
  std::string path_;
  std::vector<uint8_t> saved_;
  bool stored_ = false;
};

}  // namespace sim
