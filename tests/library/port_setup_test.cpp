// The two port exports and the library's port state, as a host sees them.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <new>
#include <set>

#include "allocations/allocations.h"
#include "kwelmora.h"
#include "library/last_error.h"
#include "library/library_state.h"
#include "port/comm.h"
#include "port/hand_off.h"
#include "reliability/process_resources.h"
#include "test_support.h"
#include "virtual_serial.h"
#include "zrv_device.h"

namespace {

constexpr unsigned kPort = 3;

class PortSetupTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    driver().AddPort(kPort);
  }

  TComm* Slot() const { return CommSlots[ActiveSlot]; }
};

TEST_F(PortSetupTest, JustLoadedDeinitialisationAnswersTrueAndChangesNothing) {
  RecordError("earlier", 77);
  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  EXPECT_EQ(Slot(), nullptr);
  EXPECT_FALSE(PortSetUpBefore);
  EXPECT_FALSE(PortInitialized);
  EXPECT_EQ(LastError().text, "earlier");
  EXPECT_EQ(LastError().code, 77);
}

TEST_F(PortSetupTest, InitialisationOpensThePortAndLeavesTheLibraryReady) {
  TransferFailed = true;
  RecordError("earlier", 77);

  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);

  ASSERT_NE(Slot(), nullptr);
  EXPECT_TRUE(Slot()->IsOpen());
  EXPECT_TRUE(PortInitialized);
  EXPECT_TRUE(PortSetUpBefore);
  EXPECT_FALSE(TransferFailed);
  EXPECT_EQ(LastError().text, "");
  EXPECT_EQ(LastError().code, 0);
  EXPECT_TRUE(driver().State(kPort).open);
  EXPECT_EQ(driver().LastOpenedPath(), "\\\\.\\COM3");
  for (unsigned other = 2; other <= kCommSlotCount; ++other) {
    EXPECT_EQ(CommSlots[other], nullptr) << other;
  }
}

TEST_F(PortSetupTest, SecondInitialisationIsRefusedWithFiveAndThePortStaysOpen) {
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  TComm* first = Slot();
  const HANDLE handle = first->Handle;

  // Any port number: the test looks only at the active slot.
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(7), 0);

  EXPECT_EQ(LastError().text, Cp1250("Ten port jest już zainicjowany"));
  EXPECT_EQ(LastError().code, 5);
  EXPECT_FALSE(PortInitialized);
  EXPECT_TRUE(PortSetUpBefore);
  EXPECT_EQ(Slot(), first);
  EXPECT_EQ(first->Handle, handle);
  EXPECT_TRUE(driver().State(kPort).open);
  EXPECT_EQ(driver().State(kPort).opens, 1u);
}

TEST_F(PortSetupTest, RefusedThenDeinitialisedThenInitialisedAgainSucceeds) {
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 0);

  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  EXPECT_FALSE(driver().State(kPort).open);
  EXPECT_FALSE(PortInitialized);  // Set-up failed, with the port closed

  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  EXPECT_TRUE(PortInitialized);
  EXPECT_TRUE(driver().State(kPort).open);
}

TEST_F(PortSetupTest, DeinitialisationClosesThePortButKeepsTheObjectAndTheFlag) {
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  TComm* port = Slot();

  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);

  EXPECT_EQ(Slot(), port);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_TRUE(PortInitialized);  // Closed: transfers will fail the presence check
  EXPECT_TRUE(PortSetUpBefore);
  EXPECT_FALSE(driver().State(kPort).open);
}

TEST_F(PortSetupTest, ReinitialisationPutsANewObjectInSlotOneAndDestroysTheOldOne) {
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  TComm* first = Slot();
  ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);

  std::set<void*> freed;
  allocations::WatchFrees(&freed);
  const unsigned char reopened = ZainicjowanoPortSzeregowyDlaZRV(kPort);
  allocations::WatchFrees(nullptr);

  EXPECT_EQ(reopened, 1);
  EXPECT_NE(Slot(), nullptr);
  EXPECT_TRUE(Slot()->IsOpen());
  EXPECT_EQ(freed.count(first), 1u) << "the replaced port object was not destroyed";
  EXPECT_EQ(driver().State(kPort).opens, 2u);
}

TEST_F(PortSetupTest, PortWithoutDeviceFailsAndTheNextInitialisationTriesAgain) {
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(9), 0);

  EXPECT_EQ(LastError().text, Cp1250("System nie potrafi znależć danego urządzenia."));
  EXPECT_EQ(LastError().code, 2);
  EXPECT_FALSE(PortInitialized);
  EXPECT_TRUE(PortSetUpBefore);
  ASSERT_NE(Slot(), nullptr);
  EXPECT_FALSE(Slot()->IsOpen());

  driver().AddPort(9);
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(9), 1);
  EXPECT_TRUE(PortInitialized);
}

TEST_F(PortSetupTest, SetUpFailingAfterTheHandleLeavesThePortOpenUntilDeinitialised) {
  driver().FailCall(sim::Call::SetupComm, ERROR_GEN_FAILURE);

  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 0);
  EXPECT_FALSE(PortInitialized);
  EXPECT_TRUE(driver().State(kPort).open);

  // Set-up failed with the port left open: refused until it is closed.
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 0);
  EXPECT_EQ(LastError().code, 5);

  // The closing event was never made, so its signal fails, but the port closes.
  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 0);
  EXPECT_EQ(LastError().text, Cp1250("Błąd podczas sygnalizacji zdarzenia."));
  EXPECT_FALSE(driver().State(kPort).open);

  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  EXPECT_TRUE(PortInitialized);
}

TEST_F(PortSetupTest, DevicePathIsThePrefixAndTheDecimalPortNumber) {
  for (unsigned number : {0u, 3u, 255u}) {
    ResetLibrary();
    driver().AddPort(number);
    EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(static_cast<unsigned char>(number)), 1) << number;
    EXPECT_EQ(driver().LastOpenedPath(), "\\\\.\\COM" + std::to_string(number));
    EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  }
}

// Handles posted messages too: what a host's message loop does.
void DispatchPostedMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageA(&message);
  }
}

TEST_F(PortSetupTest, EachAllocationOfTheOpeningFailingInTurnGivesFalseAndLeavesNothing) {
  // What lives as long as the process comes first: the driver's clock thread and
  // the window class with a first opening, the test framework's watcher of the
  // thread-local trace with a first trace, and the runtime's own objects for
  // exceptions (semaphores, a named mutex) with a first failure thrown, caught,
  // thrown again and turned into null.
  {
    SCOPED_TRACE("first opening");
    ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
    ASSERT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
    try {
      try {
        allocations::FailAllocationAfter(0);
        delete new int(0);
      } catch (const std::bad_alloc&) {
        throw;
      }
    } catch (const std::bad_alloc&) {
    }
    allocations::FailAllocationAfter(0);
    delete new (std::nothrow) int(0);
    EXPECT_TRUE(allocations::StopFailingAllocations());
  }
  DispatchPostedMessages();
  driver().StrayCompletions();
  const reliability::ProcessResources base = reliability::MeasureResources();

  long failed = 0;
  for (long pass = 0;; ++pass) {
    ASSERT_LT(pass, 200) << "an opening makes a few allocations, not hundreds";
    SCOPED_TRACE("allocation " + std::to_string(pass + 1) + " fails");
    // The hand-over window goes too, so that every opening makes its own again.
    DispatchPostedMessages();
    allocations::FailAllocationAfter(pass);
    const unsigned char opened = ZainicjowanoPortSzeregowyDlaZRV(kPort);
    if (!allocations::StopFailingAllocations()) {
      EXPECT_EQ(opened, 1) << "the opening with no failure";
      EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
      break;
    }
    ++failed;
    EXPECT_EQ(opened, 0);
    EXPECT_FALSE(PortInitialized);
    EXPECT_EQ(LastError().code, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(driver().State(kPort).open) << "the port was left open";
    EXPECT_EQ(driver().PendingOperations(kPort), 0u);
    EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
    DispatchPostedMessages();
    driver().StrayCompletions();
    const reliability::ProcessResources now = reliability::MeasureResources();
    EXPECT_EQ(now.threads, base.threads) << "a thread was left running";
    EXPECT_EQ(now.handles, base.handles) << "a handle was left open";
  }
  EXPECT_GE(failed, 3) << "the object, the watcher and the worker at least";
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
}

// A host's thread that runs what it is given and otherwise waits without
// retrieving messages (a pool thread, say).
class HostThread {
 public:
  HostThread()
      : request_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
        done_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
        thread_(CreateThread(nullptr, 0, &HostThread::Main, this, 0, nullptr)) {}
  ~HostThread() {
    Do(nullptr);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(done_);
    CloseHandle(request_);
  }
  HostThread(const HostThread&) = delete;
  HostThread& operator=(const HostThread&) = delete;

  // Runs `work` there and returns when it has run; null ends the thread.
  void Do(std::function<void()> work) {
    work_ = std::move(work);
    SetEvent(request_);
    WaitForSingleObject(done_, INFINITE);
  }

  // True when a sent message (a hand-over) waits in the thread's queue.
  bool SentMessageWaiting() {
    DWORD status = 0;
    Do([&] { status = GetQueueStatus(QS_SENDMESSAGE); });
    return (HIWORD(status) & QS_SENDMESSAGE) != 0;
  }

 private:
  static DWORD WINAPI Main(LPVOID self) {
    auto* host = static_cast<HostThread*>(self);
    for (;;) {
      WaitForSingleObject(host->request_, INFINITE);  // delivers no messages
      const bool last = !host->work_;
      if (!last) {
        host->work_();
      }
      SetEvent(host->done_);
      if (last) {
        return 0;
      }
    }
  }

  HANDLE request_;
  HANDLE done_;
  HANDLE thread_;
  std::function<void()> work_;
};

class PortThreadsTest : public PortSetupTest {
 protected:
  void SetUp() override {
    PortSetupTest::SetUp();
    driver().AttachFarEnd(kPort, &device);
    device.SetStatus(0x2A);
  }
  void TearDown() override {
    OdinicjowanoPortSzeregowyDlaZRV();
    driver().AttachFarEnd(kPort, nullptr);
    PortSetupTest::TearDown();
  }
  sim::ZrvDevice device;
};

TEST_F(PortThreadsTest, EachOpeningsThreadTakesItsLineEventsAndEveryCallReturns) {
  Watchdog bound(20000, "openings on two threads");
  HostThread first;
  unsigned char opened = 0, status = 0, code = 0xFF, closed = 0;
  first.Do([&] {
    opened = ZainicjowanoPortSzeregowyDlaZRV(kPort);
    code = OdczytanieBajtuStatusuZRV(&status);
    closed = OdinicjowanoPortSzeregowyDlaZRV();
  });
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(code, KWELMORA_OK);
  EXPECT_EQ(status, 0x2A);
  EXPECT_EQ(closed, 1);

  // The first thread lives on and retrieves no messages; this one opens the port.
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK);
  unsigned char record[30] = {};
  EXPECT_EQ(OdczytanieBajtowZZRV(5, record), KWELMORA_OK);
  // The events of the transactions so far, then a line error: all handled here.
  const auto settled = [&] {
    const sim::PortState state = driver().State(kPort);
    return state.errors == 0 && state.waitPending;
  };
  ASSERT_TRUE(PumpSentMessagesUntil(settled)) << "this opening's line events did not come here";
  driver().RaiseCommEvents(kPort, EV_ERR, CE_FRAME);
  EXPECT_TRUE(PumpSentMessagesUntil([&] { return LastError().code == CE_FRAME; }));
  EXPECT_TRUE(PumpSentMessagesUntil(settled));
  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  EXPECT_FALSE(first.SentMessageWaiting()) << "something was handed to the first thread";
}

TEST_F(PortThreadsTest, CloseFromAnotherThreadReturnsWhileTheOpeningThreadTakesNoMessages) {
  HostThread opener;
  unsigned char opened = 0;
  opener.Do([&] { opened = ZainicjowanoPortSzeregowyDlaZRV(kPort); });
  ASSERT_EQ(opened, 1);
  // The opening's line events (the modem lines set up as it opened) are handed
  // over to the opening thread, which does not take them; a line error lands too.
  const ULONGLONG patience = GetTickCount64() + 5000;
  while (!opener.SentMessageWaiting()) {
    ASSERT_LT(GetTickCount64(), patience) << "no hand-over reached the opening thread";
  }
  driver().RaiseCommEvents(kPort, EV_ERR, CE_FRAME);
  const auto closing = std::chrono::steady_clock::now();
  {
    Watchdog bound(10000, "a close while the opening thread takes no messages");
    EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  }
  // The hand-over has its grace of 2 s before the close drops it; the rest of the
  // close (two threads to end, a few port calls) gets 1 s of slack.
  const auto closedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - closing)
                            .count();
  EXPECT_GE(closedMs, 2000);
  EXPECT_LE(closedMs, 2 * 2000 + 1000);
  EXPECT_FALSE(driver().State(kPort).open);
  EXPECT_EQ(LastError().text, Cp1250("Nie przekazano zdarzenia portu."));
  EXPECT_EQ(LastError().code, ERROR_TIMEOUT);
  // The dropped hand-over never runs, even when the thread takes its messages.
  opener.Do([] {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  });
  EXPECT_FALSE(opener.SentMessageWaiting());
  EXPECT_EQ(LastError().text, Cp1250("Nie przekazano zdarzenia portu."));

  // The port opens again, here, and works.
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  unsigned char status = 0;
  EXPECT_EQ(OdczytanieBajtuStatusuZRV(&status), KWELMORA_OK);
}

}  // namespace
