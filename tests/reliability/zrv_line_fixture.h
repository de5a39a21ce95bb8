// The scene of the reliability tests: the library with its port open on a virtual
// COM port, a ZRV device model on the far end of the line, and the three transfer
// exports behind one call so that a table or a random run can pick among them.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstdint>

#include "kwelmora.h"
#include "test_support.h"
#include "zrv_device.h"

namespace reliability {

using Record = sim::ZrvDevice::Record;

// The three transactions a host can make.
enum class Exchange { Status, Read, Write };

inline const char* ExchangeName(Exchange exchange) {
  static constexpr const char* kNames[] = {"status", "read", "write"};
  return kNames[static_cast<int>(exchange)];
}

// A record whose bytes differ from each other and from the records of other seeds.
inline Record Pattern(unsigned seed) {
  Record record{};
  for (unsigned i = 0; i < record.size(); ++i) {
    record[i] = static_cast<uint8_t>(seed * 31 + i * 7 + 1);
  }
  return record;
}

// What one transaction gave back to the host.
struct Transaction {
  uint8_t code = 0xFF;
  uint8_t status = 0;  // the host's status byte after a status read
  Record buffer{};     // the host's buffer after a record read
};

class ZrvLineTest : public LibraryTest {
 protected:
  static constexpr unsigned kPort = 7;
  // Every bound of a single transaction: far above what one takes, even with the
  // port's time-outs at full length.
  static constexpr DWORD kTransactionBoundMs = 10000;

  void SetUp() override {
    LibraryTest::SetUp();
    driver().AddPort(kPort);
    driver().AttachFarEnd(kPort, &device);
  }

  void TearDown() override {
    OdinicjowanoPortSzeregowyDlaZRV();
    driver().AttachFarEnd(kPort, nullptr);
    LibraryTest::TearDown();
  }

  // Opens the port; the device's logs start empty.
  void Open() {
    ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(static_cast<unsigned char>(kPort)), 1);
    ASSERT_TRUE(Settle());
    device.ClearLogs();
  }

  // One transaction through the exports. A status read and a record read start
  // from the host's bytes in `before`, which show what the call left untouched.
  Transaction Run(Exchange exchange, uint16_t address, const Record& data,
                  const Transaction& before = Transaction()) {
    Transaction after = before;
    after.code = exchange == Exchange::Status ? OdczytanieBajtuStatusuZRV(&after.status)
                 : exchange == Exchange::Read ? OdczytanieBajtowZZRV(address, after.buffer.data())
                                              : ZapisanieBajtowDoZRV(address, data.data());
    return after;
  }

  // Lets the opening thread handle what the watcher has handed over: delivers sent
  // messages until the port's error state is clear and the watcher waits for the
  // next comm event again. False when that did not happen within the bound.
  // The bound only catches a hang: once, in a 32-bit test program under qemu on a
  // busy machine, the port had not settled 5 s after an opening.
  bool Settle(DWORD timeoutMs = 30000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
      MSG message;
      PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // runs the hand-overs sent so far
      const sim::PortState state = driver().State(kPort);
      if (state.errors == 0 && state.waitPending) {
        return true;
      }
      if (GetTickCount64() >= deadline) {
        return false;
      }
      // A hand-over wakes this wait at once; the watcher arming its next wait does
      // not, hence the short bound before the state is looked at again.
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_SENDMESSAGE);
    }
  }

  sim::ZrvDevice device;
};

}  // namespace reliability
