#include "test_support.h"

#include <algorithm>
#include <cstdio>

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

bool PumpSentMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      return false;
    }
    // Wakes for a sent message or after a short while to look at `done` again.
    MsgWaitForMultipleObjects(0, nullptr, FALSE,
                              static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)),
                              QS_SENDMESSAGE);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  }
  return true;
}

void DispatchPostedMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageA(&message);
  }
}

bool WaitFor(HANDLE event, DWORD timeoutMs) {
  return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

Watchdog::Watchdog(DWORD timeoutMs, const char* what)
    : done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      thread_(nullptr),
      timeoutMs_(timeoutMs),
      what_(what) {
  thread_ = CreateThread(nullptr, 0, &Watchdog::Watch, this, 0, nullptr);
}

Watchdog::~Watchdog() {
  SetEvent(done_);
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  CloseHandle(done_);
}

DWORD WINAPI Watchdog::Watch(LPVOID parameter) {
  Watchdog* self = static_cast<Watchdog*>(parameter);
  if (WaitForSingleObject(self->done_, self->timeoutMs_) == WAIT_TIMEOUT) {
    fprintf(stderr, "FAILED: still waiting after %lu ms: %s\n", self->timeoutMs_, self->what_);
    fflush(stderr);
    ExitProcess(3);
  }
  return 0;
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

void LibraryTest::TearDown() {
  delete CommSlots[ActiveSlot];  // closes the library's port
  CommSlots[ActiveSlot] = nullptr;
  if (!opensPortsItself) {
    EXPECT_EQ(driver().OpenPortHandles(), 0u) << "a port handle left open, a vanished port's too";
  }
  ResetLibrary();
}
