// The line-event watcher: its comm mask, the priority class, line errors handed
// over to the thread that opened the port, and how it ends.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "library/last_error.h"
#include "port/comm.h"
#include "port/comm_event_thread.h"
#include "test_support.h"

namespace {

constexpr unsigned kPort = 3;

// A port object that also notes every event its handler is given and when, and can
// run a step of the test's right after its handler has handled an event.
class WatchedComm : public TComm {
 public:
  void LineEventHandler(DWORD event) override {
    TComm::LineEventHandler(event);
    std::function<void()> after;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
      times_.push_back(std::chrono::steady_clock::now());
      after.swap(afterEvent_);
    }
    if (after) {
      after();
    }
  }
  // Runs once, on the hand-over thread, after the next event has been handled.
  void AfterNextEvent(std::function<void()> step) {
    std::lock_guard<std::mutex> lock(mutex_);
    afterEvent_ = std::move(step);
  }
  std::vector<DWORD> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t EventCount() { return Events().size(); }
  std::vector<std::chrono::steady_clock::time_point> Times() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
  }

 private:
  std::mutex mutex_;
  std::vector<DWORD> events_;
  std::vector<std::chrono::steady_clock::time_point> times_;
  std::function<void()> afterEvent_;
};

class WatcherTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    SavedPriorityClass = 0;
    driver().AddPort(kPort);
  }
  void TearDown() override {
    port.Close();
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    LibraryTest::TearDown();
  }

  void Open() {
    ASSERT_EQ(port.Configure(kPort, 19200, 1, 1), 0);
    ASSERT_EQ(port.Open(), 0);
  }

  sim::PortState State() { return driver().State(kPort); }

  WatchedComm port;
};

TEST_F(WatcherTest, CommMaskIsBuiltFromTheEventSet) {
  EXPECT_EQ(CommMaskOf(0x01FF), 0x01FFu);
  EXPECT_EQ(CommMaskOf(1u << 3), static_cast<DWORD>(EV_ERR));
  EXPECT_EQ(CommMaskOf(1u << 6 | 1u << 8), static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY));
  Open();
  EXPECT_EQ(State().commMask, 0x01FFu);
}

TEST_F(WatcherTest, ProcessRunsInRealTimeWhileThePortIsOpen) {
  Open();
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(REALTIME_PRIORITY_CLASS));
  EXPECT_EQ(SavedPriorityClass, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(GetThreadPriority(port.Watcher->ThreadHandle()), THREAD_PRIORITY_TIME_CRITICAL);
  ASSERT_EQ(port.Close(), 0);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

TEST_F(WatcherTest, ProcessAlreadyInRealTimeIsLeftThere) {
  ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS));
  Open();
  EXPECT_EQ(SavedPriorityClass, static_cast<DWORD>(REALTIME_PRIORITY_CLASS));
  ASSERT_EQ(port.Close(), 0);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(REALTIME_PRIORITY_CLASS));
}

// Each line error flag of an EV_ERR: its message and its code.
struct LineErrorCase {
  DWORD flag;
  const char* message;
};

class LineError : public WatcherTest, public ::testing::WithParamInterface<LineErrorCase> {};

TEST_P(LineError, IsRecordedWithTheFlagAsItsCode) {
  Open();
  driver().RaiseCommEvents(kPort, EV_ERR, GetParam().flag);
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return port.EventCount() > 0; }));
  EXPECT_EQ(LastError().text, Cp1250(GetParam().message));
  EXPECT_EQ(LastError().code, static_cast<int32_t>(GetParam().flag));
  EXPECT_EQ(port.Errors, GetParam().flag);
  EXPECT_EQ(State().errors, 0u) << "the port's error state was not cleared";
}

INSTANTIATE_TEST_SUITE_P(
    Flags, LineError,
    ::testing::Values(LineErrorCase{CE_BREAK, "Urządzenie wykryło stan BREAK (CE_BREAK)."},
                      LineErrorCase{CE_FRAME, "Urządzenie wykryło błąd ramki (CE_FRAME)."},
                      LineErrorCase{CE_OVERRUN, "Zgubiono znaki (CE_OVERRUN)."},
                      LineErrorCase{CE_RXOVER, "Zapełniony bufor wejściowy (CE_RXOVER)."},
                      LineErrorCase{CE_RXPARITY,
                                    "Urządzenie wykryło błąd parzystości (CE_RXPARITY)."},
                      LineErrorCase{CE_TXFULL, "Zapełniony bufor wyjściowy (CE_TXFULL)."}),
    [](const ::testing::TestParamInfo<LineErrorCase>& info) {
      return "Flag" + std::to_string(info.param.flag);
    });

TEST_F(WatcherTest, SeveralFlagsLeaveTheLastOneInTableOrder) {
  Open();
  driver().RaiseCommEvents(kPort, EV_ERR, CE_FRAME | CE_RXPARITY);
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return port.EventCount() > 0; }));
  EXPECT_EQ(LastError().text, Cp1250("Urządzenie wykryło błąd parzystości (CE_RXPARITY)."));
  EXPECT_EQ(LastError().code, 4);
}

TEST_F(WatcherTest, EachReportedEventReachesTheHandlerInTableOrder) {
  Open();
  driver().RaiseCommEvents(kPort, EV_TXEMPTY | EV_ERR | EV_RXCHAR, CE_BREAK);
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return port.EventCount() >= 3; }));
  EXPECT_EQ(port.Events(), (std::vector<DWORD>{EV_ERR, EV_RXCHAR, EV_TXEMPTY}));
  EXPECT_EQ(LastError().code, CE_BREAK);
}

TEST_F(WatcherTest, ErrorEventWithNoFlagLeavesTheRecordAlone) {
  Open();
  RecordError("earlier", 77);
  driver().RaiseCommEvents(kPort, EV_ERR, 0);
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return port.EventCount() > 0; }));
  EXPECT_EQ(LastError().text, "earlier");
  EXPECT_EQ(LastError().code, 77);
}

TEST_F(WatcherTest, HandOverWithoutAnErrorEventStillClearsTheFlagsGathered) {
  Open();
  RecordError("earlier", 77);
  driver().RaiseCommEvents(kPort, EV_TXEMPTY, CE_FRAME);
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return port.EventCount() > 0; }));
  EXPECT_EQ(port.Errors, static_cast<DWORD>(CE_FRAME));
  EXPECT_EQ(State().errors, 0u);
  EXPECT_EQ(LastError().code, 77);
}

// Raises a line event once the watcher waits for one, and returns when its
// hand-over (a message sent to this thread's window) waits here, not delivered.
void RaiseAndAwaitTheHandOver(sim::VirtualSerialDriver& driver, DWORD ceErrors) {
  ASSERT_TRUE(driver.WaitForState(
      kPort, [](const sim::PortState& state) { return state.waitPending; }, 5000));
  driver.RaiseCommEvents(kPort, EV_ERR, ceErrors);
  ASSERT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 5000, QS_SENDMESSAGE), WAIT_OBJECT_0)
      << "no hand-over was sent to this thread";
}

TEST_F(WatcherTest, LineEventsWaitForTheOpeningThreadToRetrieveSentMessages) {
  Open();
  RaiseAndAwaitTheHandOver(driver(), CE_FRAME);
  ASSERT_FALSE(HasFatalFailure());
  // Without delivering messages here, nothing clears the port's error state.
  EXPECT_NE(State().errors, 0u);
  EXPECT_EQ(port.EventCount(), 0u);
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return port.EventCount() > 0; }));
  EXPECT_EQ(State().errors, 0u);
}

TEST_F(WatcherTest, LineErrorBetweenTheHandlersClearAndTheNextWaitIsHandedOverToo) {
  Open();
  const HANDLE watcher = port.Watcher->ThreadHandle();
  // The watcher is stopped right after the handler has cleared the port's error
  // state, before it waits again; a second line error lands then.
  DWORD suspended = static_cast<DWORD>(-1);
  port.AfterNextEvent([&] { suspended = SuspendThread(watcher); });
  driver().RaiseCommEvents(kPort, EV_ERR, CE_FRAME);
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return port.EventCount() > 0; }));
  ASSERT_NE(suspended, static_cast<DWORD>(-1));
  EXPECT_EQ(State().errors, 0u);
  EXPECT_FALSE(State().waitPending);
  driver().RaiseCommEvents(kPort, EV_ERR, CE_OVERRUN);
  ResumeThread(watcher);
  // The driver refuses the watcher's wait until the error is fetched: the watcher
  // hands the error over instead of ending, and watches on once it is cleared.
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return port.EventCount() > 1; }))
      << "the second line error was never handed over";
  EXPECT_EQ(port.Events().back(), static_cast<DWORD>(EV_ERR));
  EXPECT_EQ(LastError().code, CE_OVERRUN);
  // It watches on: a later error is handed over as ever (the second error's
  // event, kept by the driver while nobody waited, comes first, with no flag left).
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return State().errors == 0 && State().waitPending; }));
  driver().RaiseCommEvents(kPort, EV_ERR, CE_BREAK);
  EXPECT_TRUE(PumpSentMessagesUntil([&] { return LastError().code == CE_BREAK; }));
}

TEST_F(WatcherTest, ErrorNotClearedAtOnceIsHandedOverAgainUntilItIs) {
  Open();
  // The handler's ClearCommError fails, so the driver keeps refusing the watcher's
  // wait: each refusal is handed over again until the error is cleared.
  driver().FailCall(sim::Call::ClearCommError, ERROR_GEN_FAILURE, 0, 4);
  driver().RaiseCommEvents(kPort, EV_ERR, CE_FRAME);
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return State().errors == 0 && State().waitPending; }))
      << "the watcher gave up on a port whose error could not be cleared at once";
  EXPECT_EQ(driver().CallCount(sim::Call::ClearCommError), 5u);
  EXPECT_EQ(LastError().code, CE_FRAME);
  // From the second refusal on, the watcher pauses 50 ms before each hand-over:
  // the hand-overs after it never come sooner, and the shortest gap is within
  // twice that plus 200 ms for the two thread switches of a hand-over.
  const auto times = port.Times();
  ASSERT_EQ(times.size(), 5u);
  auto shortest = times[2] - times[1];
  for (size_t i = 3; i < times.size(); ++i) shortest = std::min(shortest, times[i] - times[i - 1]);
  const auto shortestMs = std::chrono::duration_cast<std::chrono::milliseconds>(shortest).count();
  EXPECT_GE(shortestMs, 50);
  EXPECT_LE(shortestMs, 2 * 50 + 200);
}

TEST_F(WatcherTest, CloseWhileTheWatcherIsBlockedInAHandOverFinishes) {
  Open();
  // The wait completes and the watcher blocks in its hand-over to this thread.
  RaiseAndAwaitTheHandOver(driver(), CE_OVERRUN);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(port.EventCount(), 0u);
  {
    Watchdog watchdog(10000, "close with a hand-over under way");
    EXPECT_EQ(port.Close(), 0);
  }
  EXPECT_EQ(port.EventCount(), 1u) << "the hand-over ran inside the close";
  EXPECT_EQ(LastError().code, CE_OVERRUN);
}

TEST_F(WatcherTest, OutstandingWaitIsGivenBackBeforeItsRecordIsReleased) {
  Open();
  ASSERT_TRUE(driver().WaitForState(
      kPort, [](const sim::PortState& state) { return state.waitPending; }, 5000));
  ASSERT_EQ(port.Close(), 0);
  EXPECT_EQ(driver().PendingOperations(kPort), 0u);
  EXPECT_EQ(driver().AbortedByClose(), 0u) << "the wait was still pending at the close";
  EXPECT_EQ(driver().StrayCompletions(), 0u);
}

TEST_F(WatcherTest, StopAndCommEventTogetherEndTheWatchWithoutAHandOver) {
  Open();
  ASSERT_TRUE(driver().WaitForState(
      kPort, [](const sim::PortState& state) { return state.waitPending; }, 5000));
  TZdarzeniaCommThread* watcher = port.Watcher;
  ASSERT_NE(SuspendThread(watcher->ThreadHandle()), static_cast<DWORD>(-1));
  driver().RaiseCommEvents(kPort, EV_ERR, CE_FRAME);
  watcher->StopWatching();
  ResumeThread(watcher->ThreadHandle());
  // Delivering sent messages while it ends: a hand-over it made would be counted.
  ASSERT_TRUE(PumpSentMessagesUntil([&] { return IsSignalled(watcher->ThreadHandle()); }));
  EXPECT_EQ(port.EventCount(), 0u);
}

TEST_F(WatcherTest, StopBeforeTheWatcherFirstWaitsStillEndsIt) {
  Open();
  HANDLE handle = port.Handle;
  Watchdog watchdog(10000, "a watcher stopped at once");
  for (int i = 0; i < 20; ++i) {
    TZdarzeniaCommThread watcher(handle, 0x01FF);
    watcher.StopWatching();
    watcher.WaitForEnd();
  }
  EXPECT_EQ(driver().StrayCompletions(), 0u);
}

TEST_F(WatcherTest, FailedCompletionEndsTheWatchAndTheCloseStillWorks) {
  Open();
  driver().FailCall(sim::Call::GetOverlappedResult, ERROR_GEN_FAILURE);
  driver().RaiseCommEvents(kPort, EV_RXCHAR);
  ASSERT_TRUE(WaitFor(port.Watcher->ThreadHandle()));
  Watchdog watchdog(10000, "close after the watcher ended");
  EXPECT_EQ(port.Close(), 0);
  EXPECT_EQ(port.EventCount(), 0u);
}

// The thread that opened the port first ends while the port is open: its
// hand-over window goes with it, and nothing may wait for it.
DWORD WINAPI OpenPortAndEnd(LPVOID comm) {
  TComm* port = static_cast<TComm*>(comm);
  port->Configure(kPort, 19200, 1, 1);
  return static_cast<DWORD>(port->Open());
}

TEST_F(WatcherTest, NothingHangsWhenTheOpeningThreadHasEnded) {
  HANDLE opener = CreateThread(nullptr, 0, OpenPortAndEnd, &port, 0, nullptr);
  ASSERT_TRUE(WaitFor(opener));
  DWORD opened = 1;
  GetExitCodeThread(opener, &opened);
  CloseHandle(opener);
  ASSERT_EQ(opened, 0u);

  Watchdog watchdog(10000, "line event and close after the opening thread ended");
  driver().RaiseCommEvents(kPort, EV_ERR, CE_FRAME);
  EXPECT_EQ(port.Close(), 0);

  // The next opening makes this thread the hand-over thread.
  Open();
  driver().RaiseCommEvents(kPort, EV_ERR, CE_FRAME);
  EXPECT_TRUE(PumpSentMessagesUntil([&] { return port.EventCount() > 0; }));
}

}  // namespace
