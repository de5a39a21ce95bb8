// A host for the end-to-end tests: the release Kwelmora.dll, linked through its
// import library, driven one command per line on stdin so that the test script
// can change the device (faults, cable) between two calls. Each command is
// answered with one line on stdout:
//
//   init N          -> init B         B: the Boolean result
//   deinit          -> deinit B
//   status          -> status R [S]   R: result code; S: status byte, when R is 0
//   read A          -> read R HEX60   the buffer after the call (zeroed before it)
//   write A HEX60   -> write R
//   pause MS        -> pause MS       waits MS ms, as a host lets a second pass
//                                     after a 4 before its next call
//   quit            -> (exits)
//   anything else   -> error TEXT
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "kwelmora.h"

namespace {

std::string Hex(const unsigned char* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

bool ParseRecord(const std::string& text, unsigned char* record) {
  if (text.size() != 2 * KWELMORA_RECORD_SIZE) return false;
  for (size_t i = 0; i < KWELMORA_RECORD_SIZE; ++i) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) return false;
    record[i] = static_cast<unsigned char>(value);
  }
  return true;
}

std::string Execute(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  unsigned number = 0;
  if (command == "init" && words >> number) {
    return "init " +
           std::to_string(ZainicjowanoPortSzeregowyDlaZRV(static_cast<unsigned char>(number)));
  }
  if (command == "deinit") {
    return "deinit " + std::to_string(OdinicjowanoPortSzeregowyDlaZRV());
  }
  if (command == "status") {
    unsigned char status = 0;
    const unsigned result = OdczytanieBajtuStatusuZRV(&status);
    return "status " + std::to_string(result) +
           (result == KWELMORA_OK ? " " + std::to_string(status) : std::string());
  }
  if (command == "read" && words >> number) {
    unsigned char record[KWELMORA_RECORD_SIZE] = {};
    const unsigned result = OdczytanieBajtowZZRV(static_cast<unsigned short>(number), record);
    return "read " + std::to_string(result) + " " + Hex(record, sizeof record);
  }
  if (command == "pause" && words >> number) {
    Sleep(number);
    return "pause " + std::to_string(number);
  }
  std::string hex;
  if (command == "write" && words >> number >> hex) {
    unsigned char record[KWELMORA_RECORD_SIZE];
    if (!ParseRecord(hex, record)) return "error a record is 60 hex digits";
    return "write " +
           std::to_string(ZapisanieBajtowDoZRV(static_cast<unsigned short>(number), record));
  }
  return "error unknown command: " + line;
}

}  // namespace

int main() {
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line == "quit") break;
    // The port's line events reach this thread as sent messages: let them in
    // between two calls, as a console host should.
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
    std::printf("%s\n", Execute(line).c_str());
    std::fflush(stdout);
  }
  // Whatever the script did, the port is closed before the library goes.
  OdinicjowanoPortSzeregowyDlaZRV();
  return 0;
}
