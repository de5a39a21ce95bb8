// The serial port object on the virtual driver: what it opens, the settings it
// leaves on the port, and each failure with its message and code.
#include <gtest/gtest.h>

#include "library/last_error.h"
#include "port/comm.h"
#include "test_support.h"

namespace {

constexpr unsigned kPort = 3;

class CommTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    driver().AddPort(kPort);
  }
  void TearDown() override {
    port.Close();  // while the driver still knows the port
    LibraryTest::TearDown();
  }

  // Configured as the initialisation configures it.
  void Configure(uint16_t writeSeconds = 1, uint16_t readSeconds = 1) {
    ASSERT_EQ(port.Configure(kPort, 19200, writeSeconds, readSeconds), 0);
  }

  void ExpectRecord(const char* utf8Text, int32_t code) {
    const LastErrorRecord record = LastError();
    EXPECT_EQ(record.text, Cp1250(utf8Text));
    EXPECT_EQ(record.code, code);
  }

  sim::PortState State() { return driver().State(kPort); }

  TComm port;
};

TEST_F(CommTest, NewObjectHasTheDefaults) {
  EXPECT_EQ(port.DeviceName, "Comm2");
  EXPECT_EQ(port.Handle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Events, 0x01FF);
  EXPECT_EQ(port.Parity, static_cast<DWORD>(NOPARITY));
  EXPECT_EQ(port.StopBits, static_cast<DWORD>(ONESTOPBIT));
  EXPECT_EQ(port.ByteSize, 8u);
  EXPECT_EQ(port.InQueueSize, 4096u);
  EXPECT_EQ(port.OutQueueSize, 2048u);
}

TEST_F(CommTest, OpenWithoutConfigureTriesCommTwoAndFindsNothing) {
  EXPECT_EQ(port.Open(), 2);
  EXPECT_EQ(driver().LastOpenedPath(), "Comm2");
  ExpectRecord("System nie potrafi znależć danego urządzenia.", 2);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(CommTest, ConfigureBuildsTheDevicePathAndTouchesNoDevice) {
  EXPECT_EQ(port.Configure(0, 19200, 1, 1), 0);
  EXPECT_EQ(port.DeviceName, "\\\\.\\COM0");
  EXPECT_EQ(port.Configure(255, 9600, 2, 3), 0);
  EXPECT_EQ(port.DeviceName, "\\\\.\\COM255");
  EXPECT_EQ(port.PortNumber, 255);
  EXPECT_EQ(port.BaudRate, 9600u);
  EXPECT_EQ(port.WriteTimeoutSeconds, 2);
  EXPECT_EQ(port.ReadTimeoutSeconds, 3);
  EXPECT_EQ(driver().CallCount(sim::Call::CreateFileA), 0u);
}

TEST_F(CommTest, OpenAsksForAnExclusiveOverlappedReadWriteHandle) {
  Configure();
  ASSERT_EQ(port.Open(), 0);
  const sim::PortState state = State();
  EXPECT_TRUE(state.open);
  EXPECT_EQ(state.lastOpenAccess, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(state.lastOpenShareMode, 0u);
  EXPECT_EQ(state.lastOpenFlags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED));
}

// CreateFileA failures: the message depends on the error code.
struct CreateFileCase {
  DWORD error;
  const char* message;
};

class CreateFileFailure : public CommTest, public ::testing::WithParamInterface<CreateFileCase> {};

TEST_P(CreateFileFailure, IsRecordedWithItsMessageAndTheSystemCode) {
  Configure();
  driver().FailCall(sim::Call::CreateFileA, GetParam().error);
  EXPECT_EQ(port.Open(), static_cast<int32_t>(GetParam().error));
  ExpectRecord(GetParam().message, static_cast<int32_t>(GetParam().error));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(State().open);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, CreateFileFailure,
    ::testing::Values(
        CreateFileCase{ERROR_FILE_NOT_FOUND, "System nie potrafi znależć danego urządzenia."},
        CreateFileCase{ERROR_ACCESS_DENIED, "Zabroniony dostęp do urządzenia."},
        CreateFileCase{ERROR_INVALID_HANDLE, "Niepoprawny uchwyt do urządzenia, proces przerwany."},
        CreateFileCase{ERROR_SHARING_VIOLATION, "Błędnie określone urządzenie."},
        CreateFileCase{ERROR_GEN_FAILURE, "Błędnie określone urządzenie."}),
    [](const ::testing::TestParamInfo<CreateFileCase>& info) {
      return "Error" + std::to_string(info.param.error);
    });

TEST_F(CommTest, PortAlreadyOpenedElsewhereIsAccessDenied) {
  Configure();
  HANDLE other = driver().CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, OPEN_EXISTING, 0);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(port.Open(), ERROR_ACCESS_DENIED);
  ExpectRecord("Zabroniony dostęp do urządzenia.", ERROR_ACCESS_DENIED);
  driver().CloseHandle(other);
}

TEST_F(CommTest, SomethingThatIsNotACharacterDeviceIsClosedAgainAndRefused) {
  driver().AddOtherDevice("\\\\.\\COM4", FILE_TYPE_DISK);
  ASSERT_EQ(port.Configure(4, 19200, 1, 1), 0);
  const unsigned opensBefore = driver().CallCount(sim::Call::CloseHandle);

  EXPECT_NE(port.Open(), 0);

  ExpectRecord("Niepoprawny uchwyt do urządzenia, proces przerwany.", ERROR_INVALID_HANDLE);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(driver().CallCount(sim::Call::CloseHandle), opensBefore + 1);
}

// Failures after the handle is open leave the port half open: the handle stays.
struct HalfOpenCase {
  sim::Call call;
  const char* message;
};

class HalfOpenFailure : public CommTest, public ::testing::WithParamInterface<HalfOpenCase> {};

TEST_P(HalfOpenFailure, IsRecordedAndLeavesTheHandleOpenWithoutAClosingEvent) {
  Configure();
  driver().FailCall(GetParam().call, ERROR_GEN_FAILURE);
  EXPECT_EQ(port.Open(), ERROR_GEN_FAILURE);
  ExpectRecord(GetParam().message, ERROR_GEN_FAILURE);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(State().open);
  EXPECT_EQ(PortClosingEvent, nullptr);
  EXPECT_EQ(State().timeouts.ReadTotalTimeoutConstant, 0u) << "time-outs were set";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, HalfOpenFailure,
    ::testing::Values(
        HalfOpenCase{sim::Call::GetCommState, "Błąd podczas aktualizacji bloku kontroli danych."},
        HalfOpenCase{sim::Call::SetCommState, "Błąd podczas aktualizacji bloku kontroli danych."},
        HalfOpenCase{sim::Call::SetupComm, "Błędna inicjalizacja buforów Zapisu/Odczytu."}),
    [](const ::testing::TestParamInfo<HalfOpenCase>& info) {
      return std::string(sim::CallName(info.param.call));
    });

// Time-out failures are recorded, and the port still gets its closing event.
struct TimeoutsCase {
  sim::Call call;
  const char* message;
};

class TimeoutsFailure : public CommTest, public ::testing::WithParamInterface<TimeoutsCase> {};

TEST_P(TimeoutsFailure, IsRecordedAndOpenGoesOnToTheClosingEvent) {
  Configure();
  driver().FailCall(GetParam().call, ERROR_GEN_FAILURE);
  EXPECT_EQ(port.Open(), ERROR_GEN_FAILURE);
  ExpectRecord(GetParam().message, ERROR_GEN_FAILURE);
  EXPECT_TRUE(port.IsOpen());
  ASSERT_NE(PortClosingEvent, nullptr);
  EXPECT_FALSE(IsSignalled(PortClosingEvent));
}

INSTANTIATE_TEST_SUITE_P(Steps, TimeoutsFailure,
                         ::testing::Values(TimeoutsCase{sim::Call::GetCommTimeouts,
                                                        " Błąd odczytu aktualnych czasów."},
                                           TimeoutsCase{sim::Call::SetCommTimeouts,
                                                        "Błąd podczas aktualizacji czasów."}),
                         [](const ::testing::TestParamInfo<TimeoutsCase>& info) {
                           return std::string(sim::CallName(info.param.call));
                         });

TEST_F(CommTest, OpenLeavesTheLineSettingsAndKeepsWhatItDoesNotName) {
  // A driver with every flag the library has an opinion on set the other way, and
  // distinctive values in the members it must leave alone.
  DCB driverDcb = sim::VirtualSerialDriver::DefaultDcb();
  driverDcb.BaudRate = 115200;
  driverDcb.ByteSize = 7;
  driverDcb.StopBits = TWOSTOPBITS;
  driverDcb.Parity = MARKPARITY;
  driverDcb.fParity = 0;
  driverDcb.fOutxCtsFlow = 1;
  driverDcb.fOutxDsrFlow = 1;
  driverDcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  driverDcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  driverDcb.fOutX = 1;
  driverDcb.fInX = 1;
  driverDcb.fAbortOnError = 0;
  driverDcb.fBinary = 1;
  driverDcb.fDsrSensitivity = 1;
  driverDcb.fTXContinueOnXoff = 1;
  driverDcb.fErrorChar = 1;
  driverDcb.fNull = 1;
  driverDcb.XonLim = 1234;
  driverDcb.XoffLim = 321;
  driverDcb.XonChar = 0x21;
  driverDcb.XoffChar = 0x22;
  driverDcb.ErrorChar = 0x3F;
  driverDcb.EofChar = 0x1A;
  driverDcb.EvtChar = 0x0D;
  driver().SetDriverDcb(kPort, driverDcb);
  Configure();

  ASSERT_EQ(port.Open(), 0);

  const DCB dcb = State().dcb;
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.fParity, 1u) << "parity is checked even with no parity";
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fAbortOnError, 1u);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fDsrSensitivity, 1u);
  EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
  EXPECT_EQ(dcb.fErrorChar, 1u);
  EXPECT_EQ(dcb.fNull, 1u);
  EXPECT_EQ(dcb.XonLim, 1234);
  EXPECT_EQ(dcb.XoffLim, 321);
  EXPECT_EQ(dcb.XonChar, 0x21);
  EXPECT_EQ(dcb.XoffChar, 0x22);
  EXPECT_EQ(dcb.ErrorChar, 0x3F);
  EXPECT_EQ(dcb.EofChar, 0x1A);
  EXPECT_EQ(dcb.EvtChar, 0x0D);
  // With DTR and RTS control disabled the driver has lowered both lines.
  EXPECT_FALSE(State().dtr);
  EXPECT_FALSE(State().rts);
}

TEST_F(CommTest, ParitySwitchChangesOnlyTheParity) {
  Configure();
  ASSERT_EQ(port.Open(), 0);
  const DCB opened = State().dcb;

  for (DWORD parity : {DWORD{ODDPARITY}, DWORD{EVENPARITY}, DWORD{ODDPARITY}}) {
    port.Parity = parity;
    ASSERT_EQ(port.ApplyDcb(), 0);
    DCB expected = opened;
    expected.Parity = static_cast<BYTE>(parity);
    const DCB now = State().dcb;
    EXPECT_EQ(now.Parity, parity);
    EXPECT_EQ(now.fParity, 1u);
    EXPECT_EQ(0, memcmp(&now, &expected, sizeof(DCB))) << "parity " << parity;
  }
}

TEST_F(CommTest, ApplyDcbOfAClosedPortDoesNothing) {
  EXPECT_EQ(port.ApplyDcb(), 0);
  EXPECT_EQ(driver().CallCount(sim::Call::GetCommState), 0u);
}

TEST_F(CommTest, ParitySwitchFailureIsRecorded) {
  Configure();
  ASSERT_EQ(port.Open(), 0);
  driver().FailCall(sim::Call::SetCommState, ERROR_INVALID_PARAMETER);
  port.Parity = ODDPARITY;
  EXPECT_EQ(port.ApplyDcb(), ERROR_INVALID_PARAMETER);
  ExpectRecord("Błąd podczas aktualizacji bloku kontroli danych.", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(State().dcb.Parity, NOPARITY);
}

TEST_F(CommTest, OneSecondTimeOutsAndQueueSizes) {
  Configure(1, 1);
  ASSERT_EQ(port.Open(), 0);
  const COMMTIMEOUTS timeouts = State().timeouts;
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 1000u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(State().inQueue, 4096u);
  EXPECT_EQ(State().outQueue, 2048u);
}

TEST_F(CommTest, ZeroSecondsMeansReadsReturnAtOnceAndWritesNeverTimeOut) {
  Configure(0, 0);
  ASSERT_EQ(port.Open(), 0);
  const COMMTIMEOUTS timeouts = State().timeouts;
  EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

TEST_F(CommTest, LongestTimeOutFitsTheMembers) {
  Configure(65535, 65535);
  ASSERT_EQ(port.Open(), 0);
  EXPECT_EQ(State().timeouts.ReadTotalTimeoutConstant, 65535000u);
  EXPECT_EQ(State().timeouts.ReadIntervalTimeout, 65535000u);
  EXPECT_EQ(State().timeouts.WriteTotalTimeoutConstant, 65535000u);
}

TEST_F(CommTest, CloseRestoresTheTimeOutsThePortHadAndSignalsTheClosingEvent) {
  const COMMTIMEOUTS before{7, 8, 9, 10, 11};
  driver().SetDriverTimeouts(kPort, before);
  Configure();
  ASSERT_EQ(port.Open(), 0);
  ASSERT_NE(PortClosingEvent, nullptr);
  EXPECT_FALSE(IsSignalled(PortClosingEvent));
  EXPECT_EQ(State().timeouts.ReadTotalTimeoutConstant, 1000u);

  EXPECT_EQ(port.Close(), 0);

  const COMMTIMEOUTS after = State().timeouts;
  EXPECT_EQ(0, memcmp(&after, &before, sizeof(COMMTIMEOUTS)));
  EXPECT_TRUE(IsSignalled(PortClosingEvent));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(State().open);
}

TEST_F(CommTest, CloseOfAClosedPortTouchesNothing) {
  Configure();
  ASSERT_EQ(port.Open(), 0);
  ASSERT_EQ(port.Close(), 0);
  RecordError("earlier", 77);
  ResetEvent(PortClosingEvent);
  const unsigned setTimeouts = driver().CallCount(sim::Call::SetCommTimeouts);

  EXPECT_EQ(port.Close(), 0);

  EXPECT_EQ(LastError().text, "earlier");
  EXPECT_EQ(LastError().code, 77);
  EXPECT_FALSE(IsSignalled(PortClosingEvent));
  EXPECT_EQ(driver().CallCount(sim::Call::SetCommTimeouts), setTimeouts);
}

TEST_F(CommTest, CloseAfterAnOpenThatNeverSetTimeOutsPutsBackAllZero) {
  driver().SetDriverTimeouts(kPort, COMMTIMEOUTS{7, 8, 9, 10, 11});
  driver().FailCall(sim::Call::SetupComm, ERROR_GEN_FAILURE);
  Configure();
  ASSERT_EQ(port.Open(), ERROR_GEN_FAILURE);

  // No closing event was ever made: its signal fails, the port closes all the same.
  EXPECT_EQ(port.Close(), ERROR_INVALID_HANDLE);
  ExpectRecord("Błąd podczas sygnalizacji zdarzenia.", ERROR_INVALID_HANDLE);
  const COMMTIMEOUTS after = State().timeouts;
  const COMMTIMEOUTS zero{};
  EXPECT_EQ(0, memcmp(&after, &zero, sizeof(COMMTIMEOUTS)));
  EXPECT_FALSE(State().open);
}

TEST_F(CommTest, CloseThatCannotRestoreTimeOutsRecordsItAndStillCloses) {
  Configure();
  ASSERT_EQ(port.Open(), 0);
  driver().FailCall(sim::Call::SetCommTimeouts, ERROR_GEN_FAILURE);
  EXPECT_EQ(port.Close(), 0);
  ExpectRecord("Błąd podczas aktualizacji czasów.", ERROR_GEN_FAILURE);
  EXPECT_FALSE(State().open);
  EXPECT_TRUE(IsSignalled(PortClosingEvent));
}

TEST_F(CommTest, OpenOfAnOpenPortClosesItCompletelyFirst) {
  driver().SetDriverTimeouts(kPort, COMMTIMEOUTS{7, 8, 9, 10, 11});
  Configure();
  ASSERT_EQ(port.Open(), 0);
  HANDLE firstEvent = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), PortClosingEvent, GetCurrentProcess(),
                              &firstEvent, 0, FALSE, DUPLICATE_SAME_ACCESS));
  const HANDLE firstHandle = port.Handle;
  RecordError("earlier", 77);

  ASSERT_EQ(port.Open(), 0);

  EXPECT_TRUE(IsSignalled(firstEvent)) << "the first session's close did not signal";
  EXPECT_NE(PortClosingEvent, nullptr);
  EXPECT_FALSE(IsSignalled(PortClosingEvent));
  EXPECT_FALSE(driver().IsLiveHandle(firstHandle));
  EXPECT_NE(port.Handle, firstHandle);
  EXPECT_EQ(State().opens, 2u);
  EXPECT_EQ(LastError().text, "");
  EXPECT_EQ(LastError().code, 0);

  // The time-outs saved by the second open are the original ones, put back by
  // the first close.
  ASSERT_EQ(port.Close(), 0);
  EXPECT_EQ(State().timeouts.ReadTotalTimeoutConstant, 9u);
  CloseHandle(firstEvent);
}

// True when `handle` refers to the same manual-reset event as `ours`: it follows
// every change made through `ours`. A handle value that was closed and given to
// another object since (the library's threads make handles all the time) does not.
bool FollowsEvent(HANDLE handle, HANDLE ours) {
  if (!IsKernelHandleOpen(handle)) {
    return false;
  }
  ResetEvent(ours);
  const bool off = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
  SetEvent(ours);
  const bool on = WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
  return off && on;
}

TEST_F(CommTest, EachOpenReleasesTheClosingEventOfTheOneBefore) {
  Configure();
  ASSERT_EQ(port.Open(), 0);
  const HANDLE firstEvent = PortClosingEvent;
  HANDLE ours = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), firstEvent, GetCurrentProcess(), &ours, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  ASSERT_TRUE(FollowsEvent(firstEvent, ours));
  ASSERT_EQ(port.Close(), 0);
  ASSERT_EQ(port.Open(), 0);
  EXPECT_NE(PortClosingEvent, firstEvent);
  EXPECT_TRUE(IsKernelHandleOpen(PortClosingEvent));
  EXPECT_FALSE(FollowsEvent(firstEvent, ours)) << "the first closing event is still held";
  CloseHandle(ours);
}

TEST_F(CommTest, EachOpenStartsFromAClearRecord) {
  Configure();
  RecordError("earlier", 77);
  ASSERT_EQ(port.Open(), 0);
  ExpectRecord("", 0);
}

TEST_F(CommTest, DestroyingAnOpenObjectClosesThePort) {
  {
    TComm scoped;
    ASSERT_EQ(scoped.Configure(kPort, 19200, 1, 1), 0);
    ASSERT_EQ(scoped.Open(), 0);
    EXPECT_TRUE(State().open);
  }
  EXPECT_FALSE(State().open);
}

}  // namespace
