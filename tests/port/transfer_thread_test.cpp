// The byte transfer worker and the hand-off, on the virtual line: single bytes out
// and in, and every way a transfer can end.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "kwelmora.h"
#include "library/last_error.h"
#include "library/library_state.h"
#include "port/comm.h"
#include "port/hand_off.h"
#include "port/transfer_thread.h"
#include "reliability/process_resources.h"
#include "srw_lock.h"
#include "test_support.h"

namespace {

constexpr unsigned kPort = 3;

// The far end: a loopback cable for the modem lines; every byte it receives is
// noted and, when `answer` is set, answered with that byte.
class Peer : public sim::FarEnd {
 public:
  void Attach(sim::LineSide* line) override {
    std::lock_guard<sim::SrwLock> lock(mutex_);
    line_ = line;
  }
  void ReceiveFromPort(uint8_t value, sim::WireParity parity) override {
    sim::LineSide* line = nullptr;
    {
      std::lock_guard<sim::SrwLock> lock(mutex_);
      received_.push_back(value);
      line = answer_ >= 0 ? line_ : nullptr;
    }
    if (line != nullptr) {
      line->Send(static_cast<uint8_t>(answer_), parity);
    }
  }
  void OutputLinesChanged(bool rts, bool dtr) override {
    sim::LineSide* line = nullptr;
    {
      std::lock_guard<sim::SrwLock> lock(mutex_);
      line = line_;
    }
    if (line != nullptr) {
      sim::InputLines lines;
      lines.cts = rts;
      lines.ring = dtr;
      line->SetInputLines(lines);
    }
  }
  void AnswerWith(int value) { answer_ = value; }  // -1: silent
  // Puts a byte on the line towards the port now.
  void Send(uint8_t value) {
    sim::LineSide* line = nullptr;
    {
      std::lock_guard<sim::SrwLock> lock(mutex_);
      line = line_;
    }
    if (line != nullptr) {
      line->Send(value, sim::WireParity::None);
    }
  }
  std::vector<uint8_t> Received() {
    std::lock_guard<sim::SrwLock> lock(mutex_);
    return received_;
  }

 private:
  sim::SrwLock mutex_;  // creates no event when the port's thread and the test meet on it
  sim::LineSide* line_ = nullptr;
  std::atomic<int> answer_{-1};
  std::vector<uint8_t> received_;
};

// Runs `action` on another thread once the port's state satisfies `ready`.
class WhenState {
 public:
  WhenState(std::function<bool(const sim::PortState&)> ready, std::function<void()> action)
      : ready_(std::move(ready)), action_(std::move(action)) {
    thread_ = CreateThread(nullptr, 0, &WhenState::Run, this, 0, nullptr);
  }
  ~WhenState() {
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
  }
  bool fired() const { return fired_; }

 private:
  static DWORD WINAPI Run(LPVOID self) {
    auto* when = static_cast<WhenState*>(self);
    if (sim::VirtualSerialDriver::Instance().WaitForState(kPort, when->ready_, 10000)) {
      when->fired_ = true;  // before the action: its effect may end the wait at once
      when->action_();
    }
    return 0;
  }
  std::function<bool(const sim::PortState&)> ready_;
  std::function<void()> action_;
  std::atomic<bool> fired_{false};
  HANDLE thread_;
};

bool ReadPending(const sim::PortState& state) { return state.pendingReads > 0; }
bool WritePending(const sim::PortState& state) { return state.pendingWrites > 0; }

// The port's time-outs stretched so far that a transfer ends only by what the
// test does: the helper that acts on a pending transfer may take its time.
constexpr double kNoTimeoutScale = 1000;

class TransferTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    driver().AddPort(kPort);
    driver().AttachFarEnd(kPort, &peer);
    ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  }
  void TearDown() override {
    OdinicjowanoPortSzeregowyDlaZRV();
    driver().AttachFarEnd(kPort, nullptr);
    LibraryTest::TearDown();
  }

  TComm* Port() { return CommSlots[ActiveSlot]; }
  void ExpectRecord(const char* utf8Text, int32_t code) {
    EXPECT_EQ(LastError().text, Cp1250(utf8Text));
    EXPECT_EQ(LastError().code, code);
  }

  Peer peer;
};

TEST_F(TransferTest, ByteSentAndByteReceived) {
  peer.AnswerWith(0x42);
  EXPECT_TRUE(SendByte(0x41));
  EXPECT_FALSE(TransferFailed);
  EXPECT_TRUE(IsSignalled(TransferIdleEvent));
  EXPECT_FALSE(IsSignalled(WriteRequestEvent));
  EXPECT_EQ(peer.Received(), std::vector<uint8_t>{0x41});

  uint8_t byte = 0;
  EXPECT_TRUE(ReceiveByte(byte));
  EXPECT_EQ(byte, 0x42);
  EXPECT_EQ(InByte, 0x42);
  EXPECT_FALSE(TransferFailed);
  EXPECT_FALSE(IsSignalled(ReadRequestEvent));
}

TEST_F(TransferTest, WriteThatPendsSucceedsLikeOneThatCompletesAtOnce) {
  for (auto mode : {sim::WriteCompletion::Immediate, sim::WriteCompletion::Pending,
                    sim::WriteCompletion::Paced}) {
    driver().SetWriteCompletion(kPort, mode);
    EXPECT_TRUE(SendByte(0x10));
    EXPECT_FALSE(TransferFailed);
  }
  // A pending or paced write completes before its byte has crossed the line.
  driver().WaitForFarEnd(kPort);
  EXPECT_EQ(peer.Received().size(), 3u);
}

TEST_F(TransferTest, SilentFarEndTimesOutAndLeavesTheCallersByte) {
  driver().SetTimeScale(0.05);
  uint8_t byte = 0x77;
  EXPECT_FALSE(ReceiveByte(byte));
  EXPECT_TRUE(TransferFailed);
  EXPECT_EQ(byte, 0x77);
  EXPECT_EQ(LastError().text, Cp1250("Timeout odczytu."));
  EXPECT_TRUE(IsSignalled(TransferIdleEvent));
}

TEST_F(TransferTest, ClosedPortEndsBothHandOffsAtOnceWithoutTheWorker) {
  ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  const unsigned writes = driver().CallCount(sim::Call::WriteFile);
  const unsigned reads = driver().CallCount(sim::Call::ReadFile);
  uint8_t byte = 0x77;
  EXPECT_FALSE(SendByte(1));
  EXPECT_TRUE(TransferFailed);
  EXPECT_EQ(LastError().text, Cp1250("Błąd funkcji WaitForMultipleObjects."));
  EXPECT_FALSE(ReceiveByte(byte));
  EXPECT_TRUE(TransferFailed);
  EXPECT_EQ(LastError().text, Cp1250("Błąd funkcji WaitForMultipleObjects."));
  EXPECT_EQ(byte, 0x77);
  EXPECT_TRUE(IsSignalled(TransferIdleEvent));
  EXPECT_EQ(driver().CallCount(sim::Call::WriteFile), writes);
  EXPECT_EQ(driver().CallCount(sim::Call::ReadFile), reads);
}

TEST_F(TransferTest, ClosingEventWhileAReadPendsEndsItAndGivesTheReadBack) {
  driver().SetTimeScale(kNoTimeoutScale);
  Watchdog bound(10000, "a read that only the closing event ends");
  WhenState closing(ReadPending, [] { SetEvent(PortClosingEvent); });
  uint8_t byte = 0x77;
  EXPECT_FALSE(ReceiveByte(byte));
  EXPECT_TRUE(closing.fired());
  EXPECT_TRUE(TransferFailed);
  EXPECT_TRUE(IsSignalled(TransferIdleEvent));
  EXPECT_EQ(byte, 0x77);
  // The worker takes its read back from the driver before it lets go of the record.
  EXPECT_TRUE(driver().WaitForState(
      kPort, [](const sim::PortState& state) { return state.pendingReads == 0; }, 5000))
      << "the read was not taken back";
  ResetEvent(PortClosingEvent);
}

TEST_F(TransferTest, ClosingEventWhileAWritePendsEndsIt) {
  driver().SetTimeScale(kNoTimeoutScale);
  Watchdog bound(10000, "a write that only the closing event ends");
  driver().HoldOutput(kPort, true);
  WhenState closing(WritePending, [] { SetEvent(PortClosingEvent); });
  EXPECT_FALSE(SendByte(1));
  EXPECT_TRUE(closing.fired());
  EXPECT_TRUE(TransferFailed);
  EXPECT_TRUE(IsSignalled(TransferIdleEvent));
  EXPECT_TRUE(driver().WaitForState(
      kPort, [](const sim::PortState& state) { return state.pendingWrites == 0; }, 5000))
      << "the write was not taken back";
  ResetEvent(PortClosingEvent);
  driver().HoldOutput(kPort, false);
}

// The worker's own record of a transfer that went wrong, seen without the
// caller's later steps: the worker's transfer operations called directly.
struct WorkerFailureCase {
  const char* name;
  bool write;
  std::function<void(sim::VirtualSerialDriver&)> inject;
  const char* message;
  int32_t code;  // -2: whatever the system left
};

class WorkerFailure : public TransferTest,
                      public ::testing::WithParamInterface<WorkerFailureCase> {};

TEST_P(WorkerFailure, IsRecordedAndReportedAsNoByte) {
  const WorkerFailureCase& c = GetParam();
  peer.AnswerWith(0x33);
  c.inject(driver());
  uint8_t byte = 0x55;
  const int32_t count = c.write ? PortWriteByte(Port(), &byte) : PortReadBytes(Port(), &byte, 1);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(TransferFailed);
  EXPECT_TRUE(IsSignalled(TransferIdleEvent));
  EXPECT_EQ(LastError().text, Cp1250(c.message));
  if (c.code != -2) {
    EXPECT_EQ(LastError().code, c.code);
  }
  EXPECT_EQ(driver().State(kPort).pendingReads + driver().State(kPort).pendingWrites, 0u);
}

sim::ForcedOutcome Outcome(bool pends, DWORD error, DWORD count) {
  sim::ForcedOutcome outcome;
  outcome.pends = pends;
  outcome.error = error;
  outcome.count = count;
  return outcome;
}

std::function<void(sim::VirtualSerialDriver&)> Force(sim::IoKind kind, bool pends, DWORD error,
                                                     DWORD count) {
  return [=](sim::VirtualSerialDriver& d) {
    d.ForceOutcome(kPort, kind, Outcome(pends, error, count));
  };
}

std::function<void(sim::VirtualSerialDriver&)> Fail(sim::Call call, DWORD error) {
  return [=](sim::VirtualSerialDriver& d) { d.FailCall(call, error); };
}

const WorkerFailureCase kWorkerFailures[] = {
    {"WriteRefused", true, Fail(sim::Call::WriteFile, ERROR_GEN_FAILURE),
     "Niepoprawny zapis do portu.", ERROR_GEN_FAILURE},
    {"ReadRefused", false, Fail(sim::Call::ReadFile, ERROR_GEN_FAILURE), "Niepoprawny odczyt.",
     ERROR_GEN_FAILURE},
    {"WriteAtOnceNothingWritten", true, Force(sim::IoKind::Write, false, ERROR_SUCCESS, 0),
     "Niepoprawny zapis.", -2},
    {"ReadAtOnceNothingRead", false, Force(sim::IoKind::Read, false, ERROR_SUCCESS, 0),
     "Niepoprawny odczyt.", -2},
    {"WriteResultFails", true,
     [](sim::VirtualSerialDriver& d) {
       d.SetWriteCompletion(kPort, sim::WriteCompletion::Pending);
       d.FailCall(sim::Call::GetOverlappedResult, ERROR_GEN_FAILURE);
     },
     "Niepoprawny zapis.", ERROR_GEN_FAILURE},
    {"ReadResultFails", false,
     [](sim::VirtualSerialDriver& d) {
       d.ForceOutcome(kPort, sim::IoKind::Read, Outcome(true, ERROR_SUCCESS, 1));
       d.FailCall(sim::Call::GetOverlappedResult, ERROR_GEN_FAILURE);
     },
     "Niepoprawny odczyt.", ERROR_GEN_FAILURE},
    {"WriteAbortedBySystem", true, Force(sim::IoKind::Write, true, ERROR_OPERATION_ABORTED, 0),
     "Niepoprawny zapis.", ERROR_OPERATION_ABORTED},
    {"ReadAbortedBySystem", false, Force(sim::IoKind::Read, true, ERROR_OPERATION_ABORTED, 0),
     "Odczyt przerwany", ERROR_OPERATION_ABORTED},
    {"ReadFailsLater", false, Force(sim::IoKind::Read, true, ERROR_GEN_FAILURE, 0),
     "Niepoprawny odczyt.", ERROR_GEN_FAILURE},
    {"WriteTimedOut", true, Force(sim::IoKind::Write, true, ERROR_SUCCESS, 0), "Timeout zapisu.",
     -2},
    {"ReadTimedOut", false, Force(sim::IoKind::Read, true, ERROR_SUCCESS, 0), "Timeout odczytu.",
     -2},
};

INSTANTIATE_TEST_SUITE_P(Transfers, WorkerFailure, ::testing::ValuesIn(kWorkerFailures),
                         [](const ::testing::TestParamInfo<WorkerFailureCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(TransferTest, ReadAbortedBySystemReachesTheCallerAsNoByte) {
  driver().ForceOutcome(kPort, sim::IoKind::Read, Outcome(true, ERROR_OPERATION_ABORTED, 0));
  uint8_t byte = 0x77;
  EXPECT_FALSE(ReceiveByte(byte));
  EXPECT_TRUE(TransferFailed);
  ExpectRecord("Odczyt przerwany", ERROR_OPERATION_ABORTED);
  EXPECT_EQ(byte, 0x77);
}

TEST_F(TransferTest, AbsentPortObjectIsMinusOneAndReleasesTheCaller) {
  uint8_t byte = 1;
  ResetEvent(TransferIdleEvent);
  EXPECT_EQ(PortWriteByte(nullptr, &byte), 0);
  ExpectRecord("Port nie jest otwarty, niemożliwa operacja.", -1);
  EXPECT_TRUE(TransferFailed);
  EXPECT_TRUE(IsSignalled(TransferIdleEvent));
  ResetEvent(TransferIdleEvent);
  EXPECT_EQ(PortReadBytes(nullptr, &byte, 1), 0);
  ExpectRecord("Port nie jest otwarty, niemożliwa operacja.", -1);
  EXPECT_TRUE(IsSignalled(TransferIdleEvent));
}

TEST_F(TransferTest, StopDuringATransferGivesTheCallerItsOutcomeThenEndsTheWorker) {
  driver().SetTimeScale(kNoTimeoutScale);
  TZapisOdczytThread* worker = Port()->Worker;
  Watchdog bound(10000, "a read that only its byte ends");
  // The stop comes while the read pends; the byte after it completes the read.
  WhenState stop(ReadPending, [this, worker] {
    worker->StopTransfers();
    peer.Send(0x5C);
  });
  uint8_t byte = 0x77;
  EXPECT_TRUE(ReceiveByte(byte));
  EXPECT_TRUE(stop.fired());
  EXPECT_EQ(byte, 0x5C) << "the caller got the outcome of the transfer under way";
  EXPECT_TRUE(WaitFor(worker->ThreadHandle()));
}

TEST_F(TransferTest, StopWinsOverARequestSignalledWithIt) {
  TZapisOdczytThread* worker = Port()->Worker;
  const unsigned writes = driver().CallCount(sim::Call::WriteFile);
  ASSERT_NE(SuspendThread(worker->ThreadHandle()), static_cast<DWORD>(-1));
  SetEvent(WriteRequestEvent);
  worker->StopTransfers();
  ResumeThread(worker->ThreadHandle());
  EXPECT_TRUE(WaitFor(worker->ThreadHandle()));
  EXPECT_EQ(driver().CallCount(sim::Call::WriteFile), writes);
  EXPECT_TRUE(IsSignalled(WriteRequestEvent));
}

TEST_F(TransferTest, LineErrorFailsTransfersUntilTheOpeningThreadHasHandledIt) {
  peer.AnswerWith(0x42);
  driver().RaiseCommEvents(kPort, EV_ERR, CE_FRAME);
  uint8_t byte = 0;
  EXPECT_FALSE(SendByte(1));
  EXPECT_FALSE(ReceiveByte(byte));
  EXPECT_TRUE(peer.Received().empty());
  // The line event is handled when this thread delivers sent messages.
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return driver().State(kPort).errors == 0; }));
  EXPECT_TRUE(SendByte(1));
  EXPECT_TRUE(ReceiveByte(byte));
  EXPECT_EQ(byte, 0x42);
}

TEST_F(TransferTest, HandOffEventsOutliveTheirWorkerUntilTheNextOpening) {
  const HANDLE old[3] = {TransferIdleEvent, WriteRequestEvent, ReadRequestEvent};
  ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  for (HANDLE handle : old) {
    EXPECT_TRUE(IsKernelHandleOpen(handle)) << "a hand-off on the closed port needs them";
  }
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  // A new set; the old one is closed (the cycles below show nothing piles up).
  for (HANDLE handle : {TransferIdleEvent, WriteRequestEvent, ReadRequestEvent}) {
    EXPECT_TRUE(IsKernelHandleOpen(handle));
  }
  EXPECT_NE(TransferIdleEvent, old[0]);
  EXPECT_TRUE(SendByte(1));
}

// Handle values step by 4. The handles the cycles open and close may leave the
// holes among the open handles a little rearranged; a leak fills them and goes on.
constexpr uintptr_t kHandleValueStep = 4;
constexpr uintptr_t kWatermarkSlack = 16 * kHandleValueStep;

TEST_F(TransferTest, TwoHundredOpenCloseCyclesLeaveNoHandlesBehind) {
  ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  // The driver keeps a handle of each thread that issued I/O until it has seen the
  // thread end: the counts are taken once it has let go of the ended ones.
  EXPECT_EQ(driver().StrayCompletions(), 0u);
  const unsigned openBefore = reliability::CountOpenHandles();
  const uintptr_t watermarkBefore = reliability::HandleWatermark();
  for (int cycle = 0; cycle < 200; ++cycle) {
    ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1) << cycle;
    ASSERT_TRUE(SendByte(static_cast<uint8_t>(cycle)));
    ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1) << cycle;
  }
  EXPECT_EQ(driver().StrayCompletions(), 0u);
  EXPECT_EQ(reliability::CountOpenHandles(), openBefore) << "handles leaked";
  const uintptr_t watermarkAfter = reliability::HandleWatermark();
  EXPECT_LE(watermarkAfter, watermarkBefore + kWatermarkSlack)
      << "handles leaked: new handles up to " << watermarkBefore << " -> " << watermarkAfter;
}

}  // namespace
