#include "test_support.h"

#include "library/last_error.h"
#include "library/library_state.h"
#include "port/comm.h"
#include "port/hand_off.h"

namespace {

struct Letter {
  const char* utf8;
  unsigned char cp1250;
};

constexpr Letter kPolishLetters[] = {
    {"ą", 0xB9}, {"ć", 0xE6}, {"ę", 0xEA}, {"ł", 0xB3}, {"ń", 0xF1}, {"ó", 0xF3},
    {"ś", 0x9C}, {"ź", 0x9F}, {"ż", 0xBF}, {"Ą", 0xA5}, {"Ć", 0xC6}, {"Ę", 0xCA},
    {"Ł", 0xA3}, {"Ń", 0xD1}, {"Ó", 0xD3}, {"Ś", 0x8C}, {"Ź", 0x8F}, {"Ż", 0xAF},
};

}  // namespace

std::string Cp1250(const char* utf8) {
  std::string out;
  const std::string text = utf8;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    bool matched = false;
    for (const Letter& letter : kPolishLetters) {
      const std::string pattern = letter.utf8;
      if (text.compare(i, pattern.size(), pattern) == 0) {
        out.push_back(static_cast<char>(letter.cp1250));
        i += pattern.size();
        matched = true;
        break;
      }
    }
    if (!matched) {
      ADD_FAILURE() << "no Windows-1250 byte for the text at offset " << i << " of " << text;
      return out;
    }
  }
  return out;
}

bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

bool IsKernelHandleOpen(HANDLE handle) {
  DWORD flags = 0;
  return handle != nullptr && GetHandleInformation(handle, &flags) != FALSE;
}

void ResetLibrary() {
  delete CommSlots[ActiveSlot];
  CommSlots[ActiveSlot] = nullptr;
  PortSetUpBefore = false;
  PortInitialized = false;
  TransferFailed = false;
  if (PortClosingEvent != nullptr) {
    CloseHandle(PortClosingEvent);
    PortClosingEvent = nullptr;
  }
  RecordError("", 0);
  sim::VirtualSerialDriver::Instance().Reset();
}

void LibraryTest::SetUp() { ResetLibrary(); }

void LibraryTest::TearDown() { ResetLibrary(); }
