// The two port exports and the library's port state, as a host sees them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <set>

#include "kwelmora.h"
#include "library/last_error.h"
#include "library/library_state.h"
#include "port/comm.h"
#include "port/hand_off.h"
#include "test_support.h"

// Every pointer the program frees, while a test asks for it: shows that the port
// object an initialisation replaces is destroyed rather than leaked.
namespace {
std::set<void*>* freedPointers = nullptr;
}

namespace {
void ReleaseWatched(void* pointer) {
  if (freedPointers != nullptr && pointer != nullptr) {
    std::set<void*>* watching = freedPointers;
    freedPointers = nullptr;  // the set's own allocations are not watched
    watching->insert(pointer);
    freedPointers = watching;
  }
  std::free(pointer);
}
}  // namespace

void* operator new(std::size_t size) {
  void* pointer = std::malloc(size == 0 ? 1 : size);
  if (pointer == nullptr) {
    throw std::bad_alloc();
  }
  return pointer;
}
void operator delete(void* pointer) noexcept { ReleaseWatched(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { ReleaseWatched(pointer); }

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
  freedPointers = &freed;
  const unsigned char reopened = ZainicjowanoPortSzeregowyDlaZRV(kPort);
  freedPointers = nullptr;

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

}  // namespace
