// A long session: hundreds of openings and closings of the port and thousands of
// transactions, the device misbehaving now and then, leave the process holding
// what it held before: no handle, thread or allocated block left behind, and
// nothing of the library's left pending with the driver.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "allocations/allocations.h"
#include "reliability/process_resources.h"
#include "reliability/zrv_line_fixture.h"

namespace reliability {
namespace {

using sim::LineError;
using sim::Reply;
using sim::ReplyPoint;
using sim::ZrvFault;

constexpr unsigned kCycles = 200;
constexpr unsigned kTransactionsPerCycle = 25;  // 5,000 in all
// What the C++ code of the program (library, driver, device model, test
// framework) has alive is counted exactly: a session leaves every count where it
// was. The heaps' own figures are printed, not compared: a heap keeps freed
// memory for later in ways of its own (Wine 10's low-fragmentation heap reports
// whole groups of freed blocks as in use).

class SoakTest : public ZrvLineTest {
 protected:
  void SetUp() override {
    ZrvLineTest::SetUp();
    driver().SetTimeScale(0.01);  // a silent device costs 10 ms
  }

  // One opening of the port: a record written (and, every fourth cycle, read
  // back), one transaction the device or the port spoils (a different spoil each
  // cycle), status reads for the rest, then the close.
  void Cycle(unsigned cycle) {
    const std::string what = "cycle " + std::to_string(cycle);
    SCOPED_TRACE(what);
    Watchdog bound(60000, what.c_str());
    ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(static_cast<unsigned char>(kPort)), 1);
    ASSERT_TRUE(Settle());

    const auto address = static_cast<uint16_t>(1 + cycle * 37 % 931);
    const Record record = Pattern(cycle);
    EXPECT_EQ(Run(Exchange::Write, address, record).code, KWELMORA_OK);
    if (cycle % 4 == 0) {
      const Transaction back = Run(Exchange::Read, address, Record{});
      EXPECT_EQ(back.code, KWELMORA_OK);
      EXPECT_EQ(back.buffer, record);
    } else {
      // A record read costs ten status reads: most cycles read the status instead.
      EXPECT_EQ(Run(Exchange::Status, 0, Record{}).code, KWELMORA_OK);
      EXPECT_EQ(device.ReadRecord(address), record);
    }

    EXPECT_TRUE(Spoiled(cycle % 6, address, record)) << "spoil " << cycle % 6;
    device.Unplug(false);
    device.ClearFaults();
    EXPECT_TRUE(Settle());

    for (unsigned i = 3; i < kTransactionsPerCycle; ++i) {
      const Transaction status = Run(Exchange::Status, 0, Record{});
      EXPECT_EQ(status.code, KWELMORA_OK);
      EXPECT_EQ(status.status, static_cast<uint8_t>(cycle));
    }
    EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
    device.ClearLogs();
  }

  // A transaction spoiled one of six ways; true when it gave the code for it.
  bool Spoiled(unsigned kind, uint16_t address, const Record& record) {
    switch (kind) {
      case 0:
        device.InjectFault({Reply::ReadLocationAck}, ZrvFault::Nak());
        return Run(Exchange::Read, address, Record{}).code == KWELMORA_LOCATION_REFUSED;
      case 1:
        device.InjectFault({Reply::StatusByte}, ZrvFault::Silence());
        return Run(Exchange::Status, 0, Record{}).code == KWELMORA_RECEIVE_FAILED;
      case 2:
        device.InjectFault({Reply::WriteRecordAck}, ZrvFault::Error(LineError::Framing));
        return Run(Exchange::Write, address, record).code == KWELMORA_RECEIVE_FAILED;
      case 3:
        device.InjectFault({Reply::ReadRequestAck, 9}, ZrvFault::Unplug());
        return Run(Exchange::Read, address, Record{}).code == KWELMORA_RECEIVE_FAILED;
      case 4:
        driver().FailCall(sim::Call::WriteFile, ERROR_GEN_FAILURE, 5);
        return Run(Exchange::Write, address, record).code == KWELMORA_SEND_FAILED;
      default:
        device.InjectFault({Reply::WriteCommandAck}, ZrvFault::Byte(0x41));
        return Run(Exchange::Write, address, record).code == KWELMORA_BAD_REPLY;
    }
  }
};

void Print(const char* when, const ProcessResources& r, const allocations::Live& live) {
  std::printf(
      "%s: %u handles open (64 new ones up to %#llx), %u threads, %zu blocks of %zu bytes "
      "allocated; heaps: %zu bytes in use; GetProcessHandleCount %lu, GetProcessMemoryInfo "
      "private %zu, working set %zu\n",
      when, r.handles, static_cast<unsigned long long>(r.handleWatermark), r.threads, live.blocks,
      live.bytes, r.heapBytes, r.systemHandleCount, r.systemPagefileUsage, r.systemWorkingSet);
}

TEST_F(SoakTest, TwoHundredOpeningsAndFiveThousandTransactionsLeaveNothingBehind) {
  // The first session makes what lives as long as the process: the hand-over
  // window and its class, the driver's clock thread, the first hand-off events.
  for (unsigned cycle = 0; cycle < 2; ++cycle) {
    device.SetStatus(static_cast<uint8_t>(cycle));
    Cycle(cycle);
  }
  ASSERT_FALSE(HasFailure());
  // Threads the driver remembers as issuers of operations are let go once ended.
  EXPECT_EQ(driver().StrayCompletions(), 0u);
  // The driver's clock thread allocates for each of its passes: it is measured
  // away, both times.
  driver().PauseClock();
  const allocations::Live liveBefore = allocations::LiveNow();
  const ProcessResources before = MeasureResources();

  for (unsigned cycle = 2; cycle < kCycles + 2; ++cycle) {
    device.SetStatus(static_cast<uint8_t>(cycle));
    Cycle(cycle);
    ASSERT_FALSE(HasFailure());
  }

  EXPECT_EQ(driver().StrayCompletions(), 0u);
  EXPECT_EQ(driver().PendingOperations(kPort), 0u);
  EXPECT_EQ(driver().State(kPort).open, false);
  driver().PauseClock();
  const ProcessResources after = MeasureResources();
  const allocations::Live liveAfter = allocations::LiveNow();
  Print("before", before, liveBefore);
  Print("after ", after, liveAfter);
  EXPECT_EQ(after.handles, before.handles);
  EXPECT_LE(after.handleWatermark, before.handleWatermark);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_EQ(liveAfter.blocks, liveBefore.blocks);
  EXPECT_EQ(liveAfter.bytes, liveBefore.bytes);
}

}  // namespace
}  // namespace reliability
