// The two port exports and the library's port state, as a host sees them.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <new>
#include <tuple>

#include "allocations/allocations.h"
#include "kwelmora.h"
#include "library/last_error.h"
#include "library/library_state.h"
#include "port/comm.h"
#include "port/comm_event_thread.h"
#include "port/hand_off.h"
#include "registry/scratch_machine.h"
#include "reliability/process_resources.h"
#include "test_support.h"
#include "trace/trace_scene.h"
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

  // Once a host's message loop has taken the hand-over window away and the driver
  // has let go of ended threads and ended its clock thread (which allocates for each
  // pass): strays, blocks alive, their bytes, threads, handles (about 40 at rest, of
  // values up to 0xD8, given out lowest free first: a leak shows far below 0x1000).
  std::tuple<unsigned, size_t, size_t, unsigned, unsigned> Rest() {
    DispatchPostedMessages();
    const unsigned strays = driver().StrayCompletions();
    driver().PauseClock();
    const allocations::Live live = allocations::LiveNow();
    return {strays, live.blocks, live.bytes, reliability::CountThreadsOfThisProcess(),
            reliability::CountOpenHandles(0x1000)};
  }
};

TEST_F(PortSetupTest, JustLoadedDeinitialisationChangesNothingInitialisationLeavesTheLibraryReady) {
  TransferFailed = true;
  RecordError("earlier", 77);
  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  EXPECT_EQ(Slot(), nullptr);
  EXPECT_FALSE(PortSetUpBefore);
  EXPECT_FALSE(PortInitialized);
  EXPECT_EQ(LastError().text, "earlier");
  EXPECT_EQ(LastError().code, 77);

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

TEST_F(PortSetupTest, SecondInitialisationIsRefusedWithFiveAndThePortStaysOpenUntilTheClose) {
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

  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  EXPECT_FALSE(driver().State(kPort).open);
  EXPECT_FALSE(PortInitialized);  // Set-up failed, with the port closed
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  EXPECT_TRUE(PortInitialized);
  EXPECT_TRUE(driver().State(kPort).open);
}

TEST_F(PortSetupTest, DeinitialisationKeepsTheObjectReinitialisationReplacesAndDestroysIt) {
  ASSERT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  TComm* first = Slot();

  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  EXPECT_EQ(Slot(), first);
  EXPECT_FALSE(first->IsOpen());
  EXPECT_TRUE(PortInitialized);  // Closed: transfers will fail the presence check
  EXPECT_TRUE(PortSetUpBefore);
  EXPECT_FALSE(driver().State(kPort).open);

  const size_t before = std::get<1>(Rest());
  EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(kPort), 1);
  EXPECT_NE(Slot(), first);
  EXPECT_TRUE(Slot()->IsOpen());
  EXPECT_EQ(driver().State(kPort).opens, 2u);
  EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  EXPECT_EQ(std::get<1>(Rest()), before) << "the replaced port object was not destroyed";
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

TEST_F(PortSetupTest, DevicePathIsThePrefixAndTheNumberAMissingPortFailsAndIsTriedAgain) {
  for (unsigned number : {0u, 9u, 255u}) {
    ResetLibrary();
    EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(static_cast<unsigned char>(number)), 0) << number;
    EXPECT_EQ(driver().LastOpenedPath(), "\\\\.\\COM" + std::to_string(number));
    EXPECT_EQ(LastError().text, Cp1250("System nie potrafi znależć danego urządzenia."));
    EXPECT_EQ(LastError().code, 2);
    EXPECT_FALSE(PortInitialized);
    EXPECT_TRUE(PortSetUpBefore);
    ASSERT_NE(Slot(), nullptr);
    EXPECT_FALSE(Slot()->IsOpen());

    driver().AddPort(number);
    EXPECT_EQ(ZainicjowanoPortSzeregowyDlaZRV(static_cast<unsigned char>(number)), 1) << number;
    EXPECT_TRUE(PortInitialized);
    EXPECT_EQ(OdinicjowanoPortSzeregowyDlaZRV(), 1);
  }
}

// A host's thread that runs what it is given and otherwise waits without
// retrieving messages (a pool thread, say).
class HostThread {
 public:
  HostThread() : thread_(CreateThread(nullptr, 0, &HostThread::Main, this, 0, nullptr)) {}
  ~HostThread() {
    Do(nullptr);
    WaitForSingleObject(thread_, INFINITE);
    for (HANDLE handle : {thread_, done_, request_}) {
      CloseHandle(handle);
    }
  }
  HostThread(const HostThread&) = delete;
  HostThread& operator=(const HostThread&) = delete;

  // Runs `work` there and returns when it has run; null ends the thread.
  void Do(std::function<void()> work) {
    work_ = std::move(work);
    SignalObjectAndWait(request_, done_, INFINITE, FALSE);
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
    // Its waits deliver no messages.
    while (WaitForSingleObject(host->request_, INFINITE) == WAIT_OBJECT_0 && host->work_) {
      host->work_();
      SetEvent(host->done_);
    }
    SetEvent(host->done_);
    return 0;
  }

  HANDLE request_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE done_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::function<void()> work_;
  HANDLE thread_;  // last: the thread starts once the rest is made
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

// A port's whole life on the line, with a node naming the port where the settings
// fix-up looks and where the trace's header does, so that both allocate.
class PortLifeTest : public PortThreadsTest {
 protected:
  void SetUp() override {
    PortThreadsTest::SetUp();
    machine.Install();
    machine.AddPort("ENUM\\ACPI\\PNP0501\\1", "COM3");
    machine.AddPort("SYSTEM\\CurrentControlSet\\Enum\\ACPI\\PNP0501\\1\\Device Parameters", "COM3");
    device.SetLogLimit(0);  // its logs would grow with every life
  }
  void TearDown() override {
    PortThreadsTest::TearDown();
    machine.Remove();
    SetEnvironmentVariableW(L"KWELMORA_TRACE", nullptr);
    TraceUnload();
  }

  struct Life {
    // The opening's answer, the status read's code and byte, the codes of the record
    // written and read back, the close's answer.
    std::array<unsigned char, 6> codes{};
    sim::ZrvDevice::Record record{};
    bool configured = false;  // a new port object got its device path
    bool portInUse = false;   // after the opening: the port open or an operation pending
    bool settled = false;     // the line events taken
  };

  // Opening, a status read, a record written and read back, the line events they
  // raised, close: the library's calls and its hand-overs to this thread are the
  // caller's allocations (the driver's state, read meanwhile, makes none).
  Life Live() {
    Life life;
    unsigned char* code = life.codes.data();
    DispatchPostedMessages();  // every opening makes its own hand-over window
    const TComm* before = Slot();
    allocations::CountCallerAllocations(true);
    code[0] = ZainicjowanoPortSzeregowyDlaZRV(kPort);
    life.configured = Slot() != before && Slot()->DeviceName == "\\\\.\\COM3";
    life.portInUse = driver().State(kPort).open || driver().PendingOperations(kPort) != 0;
    if (code[0] == 1) {
      code[1] = OdczytanieBajtuStatusuZRV(&code[2]);
      code[3] = ZapisanieBajtowDoZRV(9, reliability::Pattern(9).data());
      code[4] = OdczytanieBajtowZZRV(9, life.record.data());
      // Until the watcher waits for the next event, or has ended its watch.
      life.settled = PumpSentMessagesUntil(
          [this] {
            const sim::PortState state = driver().State(kPort);
            return state.errors == 0 && (state.waitPending || Slot()->Watcher->Finished());
          },
          30000);
    }
    code[5] = OdinicjowanoPortSzeregowyDlaZRV();
    allocations::CountCallerAllocations(false);
    return life;
  }

  static void ExpectWorked(const Life& life, const char* what) {
    EXPECT_EQ(life.codes, (decltype(life.codes){1, KWELMORA_OK, 0x2A, KWELMORA_OK, KWELMORA_OK, 1}))
        << what;
    EXPECT_EQ(life.record, reliability::Pattern(9)) << what;
    EXPECT_TRUE(life.settled) << what << ": the line events were not taken";
    EXPECT_EQ(LastError().text, "") << what;
    EXPECT_EQ(LastError().code, 0) << what;
  }

  ScratchMachine machine;
};

TEST_F(PortLifeTest, EachAllocationOfALifeFailingInTurnIsTakenWhereItFailsAndLeavesNothing) {
  using allocations::Side;
  // What lives as long as the process comes first: the driver's clock thread and
  // the window class with a first life, the runtime's own objects for exceptions
  // (semaphores, a named mutex) with a first failure turned into null.
  allocations::CountCallerAllocations(true);
  allocations::FailAllocationAfter(0);
  delete new (std::nothrow) int(0);
  allocations::CountCallerAllocations(false);
  EXPECT_TRUE(allocations::StopFailingAllocations());
  const trace_test::ScratchFolder folder;
  const std::wstring trace = folder.Path(L"life.log");
  for (const bool traced : {false, true}) {
    SetEnvironmentVariableW(L"KWELMORA_TRACE", traced ? trace.c_str() : nullptr);
    ExpectWorked(Live(), "a first life");
    const auto base = Rest();  // the trace keeps its file open from one opening to the next
    EXPECT_EQ(std::get<0>(base), 0u) << "a completion strayed";
    for (const Side side : {Side::Caller, Side::Library}) {
      long failed = 0;
      for (long pass = 0;; ++pass) {
        char where[64];  // on the stack: a string alive while the blocks are counted is one more
        std::snprintf(where, sizeof where, "%s%s allocation %ld failing", traced ? "traced, " : "",
                      side == Side::Caller ? "caller's" : "library thread's", pass + 1);
        ASSERT_LT(pass, 100) << where << ": a life makes a few dozen allocations, not hundreds";
        allocations::FailAllocationAfter(pass, side);
        const Life life = Live();
        if (!allocations::StopFailingAllocations()) {
          ExpectWorked(life, where);  // none was made
          break;
        }
        ++failed;
        EXPECT_EQ(Rest(), base) << where << ": (strays, blocks, bytes, threads, handles) left";
        if (life.codes[0] == 1) {
          // Taken where it failed: the settings fix-up and the trace's look-up of
          // the node go on without their answers, and a watcher that cannot hand
          // an event over ends its watch; the life goes on as without the failure.
          ExpectWorked(life, where);
        } else {
          // The port object and its device path are refused with their own record;
          // a failure starting the threads goes on to the export, which records it.
          EXPECT_EQ(side, Side::Caller) << where;
          EXPECT_FALSE(life.portInUse) << where << ": the port was left open or in use";
          EXPECT_FALSE(PortInitialized) << where;
          EXPECT_EQ(life.codes[5], 1) << where;
          EXPECT_EQ(LastError().text,
                    Cp1250(life.configured ? "Błąd wewnętrzny biblioteki."
                                           : "Błąd podczas aktualizacji bloku kontroli danych."))
              << where;
          EXPECT_EQ(LastError().code, ERROR_NOT_ENOUGH_MEMORY) << where;
          // A life that goes on shows the library usable after its failure itself.
          ExpectWorked(Live(), where);
        }
        if (HasFailure()) {
          return;  // the framework's record of the failure is a block left too
        }
      }
      EXPECT_GE(failed, side == Side::Caller ? 4 : 1)
          << "the port object, the watcher, its hand-over window and the worker; a hand-over";
    }
  }
}

}  // namespace
