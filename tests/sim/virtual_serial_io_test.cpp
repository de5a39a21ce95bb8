// Reads and writes on the virtual serial port: overlapped completion, the port's
// time-outs, fAbortOnError, purges, cancellation, and the outcomes a test forces.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "serial_line_fixture.h"

namespace {

using std::chrono::microseconds;

class VirtualSerialIoTest : public SerialLineTest {};

TEST_F(VirtualSerialIoTest, EchoedByteComesBackWithThePortsParity) {
  SetLine(EVENPARITY, true, true);
  peer.SetReply(&ScriptedFarEnd::Echo);
  PortRequest write(handle);
  const uint8_t out = 0x41;
  DWORD written = 0;
  ASSERT_TRUE(serial_io::WriteFile(handle, &out, 1, &written, &write.record));
  EXPECT_EQ(written, 1u);
  EXPECT_TRUE(write.Completes(0)) << "a write that completes at once still signals its event";
  EXPECT_EQ(write.record.InternalHigh, 1u);
  ASSERT_EQ(peer.received().size(), 1u) << "the byte reaches the far end before WriteFile returns";
  EXPECT_EQ(peer.received()[0].parity, sim::WireParity::Even);

  PortRequest read(handle);
  uint8_t in = 0;
  DWORD got = 0;
  ASSERT_TRUE(serial_io::ReadFile(handle, &in, 1, &got, &read.record));
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(in, out);
  EXPECT_EQ(driver().State(kPort).errors, 0u);
}

TEST_F(VirtualSerialIoTest, PendingReadIsCompletedByALaterByte) {
  PortRequest read(handle);
  SetEvent(read.record.hEvent);  // a new request resets it
  uint8_t in = 0;
  EXPECT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &read.record));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(read.record.Internal, kInternalPending);
  EXPECT_FALSE(read.Completes(0));
  EXPECT_EQ(ResultOf(read, FALSE).error, static_cast<DWORD>(ERROR_IO_INCOMPLETE));

  PeerSends(0x5A, sim::WireParity::None, microseconds(20000));
  ASSERT_TRUE(read.Completes());
  const Result done = ResultOf(read);
  EXPECT_TRUE(done.ok);
  EXPECT_EQ(done.count, 1u);
  EXPECT_EQ(in, 0x5A);
}

struct ReadTimeoutCase {
  const char* name;
  COMMTIMEOUTS timeouts;
  std::string queued;  // in the input queue when ReadFile is called
  std::string later;   // sent by the far end once the read pends
  DWORD asked;
  bool atOnce;  // ReadFile completes in the call
  DWORD count;
  ULONG_PTR status;
};

void PrintTo(const ReadTimeoutCase& c, std::ostream* os) { *os << c.name; }

class ReadTimeoutTest : public VirtualSerialIoTest,
                        public ::testing::WithParamInterface<ReadTimeoutCase> {};

TEST_P(ReadTimeoutTest, ReadEndsAsTheTimeoutsSay) {
  const ReadTimeoutCase& c = GetParam();
  SetTimeouts(c.timeouts);
  for (char value : c.queued) {
    PeerSends(static_cast<uint8_t>(value));
  }
  PortRequest read(handle);
  char buffer[8] = {};
  ASSERT_EQ(serial_io::ReadFile(handle, buffer, c.asked, nullptr, &read.record) != FALSE, c.atOnce);
  for (char value : c.later) {
    PeerSends(static_cast<uint8_t>(value));
  }
  ASSERT_TRUE(read.Completes());
  const Result result = ResultOf(read);
  EXPECT_TRUE(result.ok) << "a read ended by its time-out succeeds";
  EXPECT_EQ(result.count, c.count);
  EXPECT_EQ(read.record.Internal, c.status);
  EXPECT_EQ(std::string(buffer, result.count), (c.queued + c.later).substr(0, c.count));
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, ReadTimeoutTest,
    ::testing::Values(
        ReadTimeoutCase{
            "MaxIntervalAnswersAtOnce", {MAXDWORD, 0, 0, 0, 0}, "ab", "", 5, true, 2, 0},
        ReadTimeoutCase{"SilenceEndsInSuccessWithNoBytes",
                        {50, 0, 50, 0, 0},
                        "",
                        "",
                        1,
                        false,
                        0,
                        kInternalTimeout},
        ReadTimeoutCase{"TotalTimeoutKeepsAPartialRead",
                        {0, 10, 20, 0, 0},
                        "",
                        "xy",
                        5,
                        false,
                        2,
                        kInternalTimeout},
        ReadTimeoutCase{"IntervalRunsFromTheLastByte",
                        {30, 0, 0, 0, 0},
                        "",
                        "q",
                        4,
                        false,
                        1,
                        kInternalTimeout},
        ReadTimeoutCase{"MaxIntervalAndMultiplierEndOnAnyByte",
                        {MAXDWORD, MAXDWORD, 60000, 0, 0},
                        "",
                        "z",
                        4,
                        false,
                        1,
                        0}),
    [](const ::testing::TestParamInfo<ReadTimeoutCase>& info) { return info.param.name; });

TEST_F(VirtualSerialIoTest, ByteArrivingAtAnIdleClockStartsTheIntervalTimeout) {
  SetTimeouts({30, 0, 0, 0, 10});
  PortRequest read(handle);
  char in[4] = {};
  ASSERT_FALSE(serial_io::ReadFile(handle, in, 4, nullptr, &read.record));
  // The held write ending at its time-out is the clock's last deadline: it then
  // sleeps with nothing to wait for.
  driver().HoldOutput(kPort, true);
  PortRequest write(handle);
  ASSERT_FALSE(serial_io::WriteFile(handle, "w", 1, nullptr, &write.record));
  ASSERT_TRUE(write.Completes());
  PeerSends('q');
  EXPECT_EQ(ResultOf(read).count, 1u);
}

TEST_F(VirtualSerialIoTest, TimeScaleCompressesThePortsTimeouts) {
  driver().SetTimeScale(0.001);
  SetTimeouts({0, 0, 60000, 0, 0});  // one minute, 60 ms on the compressed clock
  PortRequest read(handle);
  uint8_t in = 0;
  ASSERT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &read.record));
  EXPECT_TRUE(read.Completes());
}

TEST_F(VirtualSerialIoTest, HeldOutputEndsTheWriteAtItsTimeoutWithAShortCount) {
  SetTimeouts({0, 0, 0, 0, 40});
  driver().HoldOutput(kPort, true);
  PortRequest write(handle);
  ASSERT_FALSE(serial_io::WriteFile(handle, "abc", 3, nullptr, &write.record));
  EXPECT_EQ(driver().State(kPort).outQueued, 3u);
  ASSERT_TRUE(write.Completes());
  const Result result = ResultOf(write);
  EXPECT_TRUE(result.ok) << "a write ended by its time-out succeeds";
  EXPECT_EQ(result.count, 0u);
  EXPECT_EQ(write.record.Internal, kInternalTimeout);
  EXPECT_TRUE(peer.received().empty());
}

class WriteModeTest : public VirtualSerialIoTest,
                      public ::testing::WithParamInterface<sim::WriteCompletion> {};

TEST_P(WriteModeTest, BytesReachTheFarEndInOrderWithTheParityOfTheirWrite) {
  driver().SetTimeScale(0.05);
  driver().SetWriteCompletion(kPort, GetParam());
  SetLine(ODDPARITY, true, false);
  PortRequest write(handle);
  const BOOL atOnce = serial_io::WriteFile(handle, "hello", 5, nullptr, &write.record);
  EXPECT_EQ(atOnce != FALSE, GetParam() == sim::WriteCompletion::Immediate);
  SetLine(EVENPARITY, true, false);
  ASSERT_TRUE(write.Completes());
  EXPECT_EQ(ResultOf(write).count, 5u);
  ASSERT_TRUE(peer.WaitForReceived(5, kPatienceMs));
  std::string seen;
  for (const auto& character : peer.received()) {
    seen.push_back(static_cast<char>(character.value));
    EXPECT_EQ(character.parity, sim::WireParity::Odd);
  }
  EXPECT_EQ(seen, "hello");
}

INSTANTIATE_TEST_SUITE_P(Modes, WriteModeTest,
                         ::testing::Values(sim::WriteCompletion::Immediate,
                                           sim::WriteCompletion::Pending,
                                           sim::WriteCompletion::Paced));

TEST_F(VirtualSerialIoTest, LenientScopeRefusesOnlyTransfersUntilClearCommError) {
  // The lenient scope, kept for drivers gentler than Windows: it must still refuse
  // the transfers and end those under way.
  driver().SetAbortScope(sim::AbortScope::Transfers);
  SetLine(NOPARITY, true, true);
  PortRequest read(handle);
  uint8_t in = 0;
  ASSERT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &read.record));
  peer.line()->RaiseLineError(sim::LineError::Framing);
  ASSERT_TRUE(read.Completes(0));
  EXPECT_EQ(ResultOf(read).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

  PortRequest refused(handle);
  EXPECT_FALSE(serial_io::WriteFile(handle, "w", 1, nullptr, &refused.record));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &refused.record));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(refused.Completes(0)) << "a refused request does not complete";
  EXPECT_TRUE(peer.received().empty());
  DWORD status = 0;
  EXPECT_TRUE(serial_io::GetCommModemStatus(handle, &status)) << "only transfers are refused";

  DWORD errors = 0;
  ASSERT_TRUE(serial_io::ClearCommError(handle, &errors, nullptr));
  EXPECT_EQ(errors, static_cast<DWORD>(CE_FRAME));
  PortRequest write(handle);
  EXPECT_TRUE(serial_io::WriteFile(handle, "w", 1, nullptr, &write.record));
}

TEST_F(VirtualSerialIoTest, WholeAbortScopeRefusesEverythingButClearCommError) {
  driver().SetAbortScope(sim::AbortScope::AllRequests);
  SetLine(NOPARITY, true, true);
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_BREAK));
  peer.line()->RaiseLineError(sim::LineError::Break);
  DWORD status = 0;
  EXPECT_FALSE(serial_io::GetCommModemStatus(handle, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(serial_io::PurgeComm(handle, PURGE_RXCLEAR));
  DWORD errors = 0;
  ASSERT_TRUE(serial_io::ClearCommError(handle, &errors, nullptr));
  EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK));
  EXPECT_EQ(EventsSeen(), static_cast<DWORD>(EV_BREAK));
}

// One request to the driver, as the library or a host makes it.
struct Request {
  const char* name;
  std::function<BOOL(HANDLE port, OVERLAPPED* record)> call;
};

const Request kRequests[] = {
    {"ReadFile",
     [](HANDLE port, OVERLAPPED* record) {
       static uint8_t in;
       return serial_io::ReadFile(port, &in, 1, nullptr, record);
     }},
    {"WriteFile",
     [](HANDLE port, OVERLAPPED* record) {
       return serial_io::WriteFile(port, "w", 1, nullptr, record);
     }},
    {"WaitCommEvent",
     [](HANDLE port, OVERLAPPED* record) {
       static DWORD mask;
       return serial_io::WaitCommEvent(port, &mask, record);
     }},
    {"SetCommMask", [](HANDLE port, OVERLAPPED*) { return serial_io::SetCommMask(port, EV_ERR); }},
    {"GetCommState",
     [](HANDLE port, OVERLAPPED*) {
       DCB dcb{};
       return serial_io::GetCommState(port, &dcb);
     }},
    {"SetCommState",
     [](HANDLE port, OVERLAPPED*) {
       DCB dcb = sim::VirtualSerialDriver::DefaultDcb();
       dcb.fAbortOnError = 1;
       return serial_io::SetCommState(port, &dcb);
     }},
    {"GetCommTimeouts",
     [](HANDLE port, OVERLAPPED*) {
       COMMTIMEOUTS timeouts{};
       return serial_io::GetCommTimeouts(port, &timeouts);
     }},
    {"SetCommTimeouts",
     [](HANDLE port, OVERLAPPED*) {
       COMMTIMEOUTS timeouts{};
       return serial_io::SetCommTimeouts(port, &timeouts);
     }},
    {"SetupComm", [](HANDLE port, OVERLAPPED*) { return serial_io::SetupComm(port, 4096, 2048); }},
    {"GetCommConfig",
     [](HANDLE port, OVERLAPPED*) {
       COMMCONFIG config{};
       DWORD size = sizeof config;
       return serial_io::GetCommConfig(port, &config, &size);
     }},
    {"PurgeComm",
     [](HANDLE port, OVERLAPPED*) { return serial_io::PurgeComm(port, PURGE_RXCLEAR); }},
    {"EscapeCommFunction",
     [](HANDLE port, OVERLAPPED*) { return serial_io::EscapeCommFunction(port, SETRTS); }},
    {"GetCommModemStatus",
     [](HANDLE port, OVERLAPPED*) {
       DWORD status = 0;
       return serial_io::GetCommModemStatus(port, &status);
     }},
};

TEST_F(VirtualSerialIoTest, AfterALineErrorEveryRequestButClearCommErrorIsRefusedAsOnWindows) {
  // The driver's rule by default: fAbortOnError ends the reads and writes under
  // way, completes a pending comm-event wait with EV_ERR, and refuses every new
  // request but ClearCommError; the handle's own calls still work.
  SetLine(NOPARITY, true, true);
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_ERR | EV_RXCHAR));
  PortRequest read(handle);
  PortRequest wait(handle);
  uint8_t in = 0;
  DWORD mask = 0;
  ASSERT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &read.record));
  ASSERT_FALSE(serial_io::WaitCommEvent(handle, &mask, &wait.record));
  peer.line()->RaiseLineError(sim::LineError::Parity);
  ASSERT_TRUE(read.Completes(0));
  EXPECT_EQ(ResultOf(read).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  ASSERT_TRUE(wait.Completes(0));
  EXPECT_TRUE(ResultOf(wait).ok) << "a pending wait completes normally";
  EXPECT_EQ(mask, static_cast<DWORD>(EV_ERR));

  for (const Request& request : kRequests) {
    SCOPED_TRACE(request.name);
    PortRequest refused(handle);
    EXPECT_FALSE(request.call(handle, &refused.record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }
  EXPECT_TRUE(peer.received().empty()) << "nothing reached the line";
  PortRequest notFound(handle);
  EXPECT_FALSE(serial_io::CancelIoEx(handle, &notFound.record));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND)) << "CancelIoEx is no request";
  DWORD count = 0;
  EXPECT_TRUE(serial_io::GetOverlappedResult(handle, &wait.record, &count, FALSE));

  DWORD errors = 0;
  ASSERT_TRUE(serial_io::ClearCommError(handle, &errors, nullptr));
  EXPECT_EQ(errors, static_cast<DWORD>(CE_RXPARITY));
  for (const Request& request : kRequests) {
    SCOPED_TRACE(request.name);
    PortRequest served(handle);
    if (!request.call(handle, &served.record)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING)) << "served once cleared";
    }
  }
  EXPECT_TRUE(serial_io::CloseHandle(handle));
  handle = INVALID_HANDLE_VALUE;
}

TEST_F(VirtualSerialIoTest, HeldBackBytesReachOnlyAReadThatWaitsOneEach) {
  driver().SetArrivalTiming(kPort, sim::ArrivalTiming::AfterReadPends);
  SetLine(ODDPARITY, true, true);
  PeerSends('a', sim::WireParity::Odd);
  PeerSends('b', sim::WireParity::Odd);
  EXPECT_EQ(driver().State(kPort).inQueued, 0u);
  EXPECT_EQ(driver().State(kPort).heldBack, 2u);
  for (char expected : {'a', 'b'}) {
    PortRequest read(handle);
    uint8_t in = 0;
    ASSERT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &read.record))
        << "the read waits first, then its byte comes";
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(read.Completes());
    EXPECT_EQ(ResultOf(read).count, 1u);
    EXPECT_EQ(in, static_cast<uint8_t>(expected));
  }
  // The parity is judged as the byte crosses the line, with the port's parity then.
  PeerSends('c', sim::WireParity::Even);
  EXPECT_EQ(driver().State(kPort).errors, static_cast<DWORD>(CE_RXPARITY));
  DWORD errors = 0;
  ASSERT_TRUE(serial_io::ClearCommError(handle, &errors, nullptr));
  PeerSends('d', sim::WireParity::Odd);
  EXPECT_EQ(driver().State(kPort).heldBack, 2u);
  ASSERT_TRUE(serial_io::PurgeComm(handle, PURGE_RXCLEAR));
  EXPECT_EQ(driver().State(kPort).heldBack, 0u) << "a purge drops what is held back";
}

TEST_F(VirtualSerialIoTest, PortVanishesOrTakesALineErrorAtAChosenCall) {
  SetLine(NOPARITY, true, true);
  driver().TakeTransactionCalls(kPort);
  DWORD status = 0;
  ASSERT_TRUE(serial_io::EscapeCommFunction(handle, SETRTS));
  ASSERT_TRUE(serial_io::GetCommModemStatus(handle, &status));
  EXPECT_EQ(driver().TakeTransactionCalls(kPort),
            (std::vector<sim::Call>{sim::Call::EscapeCommFunction, sim::Call::GetCommModemStatus}));

  // A line error after the first call: the second is refused.
  driver().SpoilAtCall(kPort, 0, sim::CallPoint::After, sim::CallSpoil::LineError);
  EXPECT_TRUE(serial_io::EscapeCommFunction(handle, SETRTS));
  EXPECT_FALSE(serial_io::GetCommModemStatus(handle, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  DWORD errors = 0;
  ASSERT_TRUE(serial_io::ClearCommError(handle, &errors, nullptr));
  EXPECT_EQ(errors, static_cast<DWORD>(CE_FRAME));

  // The port vanishes under a pending read: it ends, and the port is gone.
  PortRequest read(handle);
  uint8_t in = 0;
  driver().SpoilAtCall(kPort, 1, sim::CallPoint::After, sim::CallSpoil::Vanish);
  ASSERT_TRUE(serial_io::EscapeCommFunction(handle, SETRTS));
  EXPECT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &read.record));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING)) << "served before it vanished";
  ASSERT_TRUE(read.Completes());
  EXPECT_EQ(ResultOf(read).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(driver().State(kPort).exists);
  EXPECT_FALSE(serial_io::GetCommModemStatus(handle, &status));
  handle = INVALID_HANDLE_VALUE;
}

TEST_F(VirtualSerialIoTest, PurgeAbortsPendingTransfersAndClearsOnlyWhatHasArrived) {
  driver().HoldOutput(kPort, true);
  PortRequest read(handle);
  PortRequest write(handle);
  uint8_t in = 0;
  ASSERT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &read.record));
  ASSERT_FALSE(serial_io::WriteFile(handle, "w", 1, nullptr, &write.record));
  PeerSends('a');  // completes the read
  PeerSends('b');
  PeerSends('c', sim::WireParity::None, microseconds(100000));
  ASSERT_TRUE(serial_io::PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(ResultOf(write).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(in, 'a');
  EXPECT_EQ(driver().State(kPort).inQueued, 0u);
  EXPECT_TRUE(driver().WaitForState(
      kPort, [](const sim::PortState& state) { return state.inQueued == 1; }, kPatienceMs))
      << "the byte still on the wire arrives after the purge";
}

TEST_F(VirtualSerialIoTest, CancelIoExEndsTheMatchingRequestsOnly) {
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_RXCHAR));
  PortRequest read(handle);
  PortRequest wait(handle);
  uint8_t in = 0;
  DWORD mask = 0xABCD;
  ASSERT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &read.record));
  ASSERT_FALSE(serial_io::WaitCommEvent(handle, &mask, &wait.record));

  ASSERT_TRUE(serial_io::CancelIoEx(handle, &read.record));
  EXPECT_EQ(ResultOf(read).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(wait.Completes(0));
  ASSERT_TRUE(serial_io::CancelIoEx(handle, nullptr));
  EXPECT_EQ(ResultOf(wait).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(mask, 0xABCDu) << "a cancelled wait writes no mask";
  EXPECT_FALSE(serial_io::CancelIoEx(handle, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}

TEST_F(VirtualSerialIoTest, ClosingTheHandleAbortsWhatIsStillPendingAndCountsIt) {
  PortRequest read(handle);
  uint8_t in = 0;
  ASSERT_FALSE(serial_io::ReadFile(handle, &in, 1, nullptr, &read.record));
  ASSERT_TRUE(serial_io::CloseHandle(handle));
  EXPECT_EQ(ResultOf(read).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(driver().AbortedByClose(), 1u);
}

// A thread that issues a comm-event wait and ends without cancelling it, as a
// watcher that forgets its wait would.
struct AbandonedWait {
  HANDLE port;
  OVERLAPPED record;
  DWORD mask;
  DWORD error;
};

DWORD WINAPI IssueWaitAndEnd(LPVOID context) {
  auto* wait = static_cast<AbandonedWait*>(context);
  serial_io::WaitCommEvent(wait->port, &wait->mask, &wait->record);
  wait->error = GetLastError();
  return 0;
}

TEST_F(VirtualSerialIoTest, WaitLeftPendingByAnEndedThreadIsCountedAndNeverWritten) {
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_RXCHAR));
  AbandonedWait wait{handle, {}, 0xDEADBEEF, 0};
  wait.record.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, &IssueWaitAndEnd, &wait, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, kPatienceMs), WAIT_OBJECT_0);
  CloseHandle(thread);
  ASSERT_EQ(wait.error, static_cast<DWORD>(ERROR_IO_PENDING));

  EXPECT_EQ(driver().StrayCompletions(), 1u);
  EXPECT_EQ(driver().PendingOperations(kPort), 0u) << "the thread's end cancelled the wait";
  PeerSends('x');
  EXPECT_EQ(wait.mask, 0xDEADBEEFu);
  EXPECT_EQ(wait.record.Internal, kInternalPending);
  EXPECT_FALSE(IsSignalled(wait.record.hEvent));
  CloseHandle(wait.record.hEvent);
}

struct ForcedCase {
  const char* name;
  sim::IoKind kind;
  sim::ForcedOutcome outcome;
  BOOL ok;      // GetOverlappedResult's answer, or the call's when it does not pend
  DWORD error;  // GetLastError when !ok
  DWORD count;
  size_t bytesSent;  // that reached the far end
};

void PrintTo(const ForcedCase& c, std::ostream* os) { *os << c.name; }

class ForcedOutcomeTest : public VirtualSerialIoTest,
                          public ::testing::WithParamInterface<ForcedCase> {};

TEST_P(ForcedOutcomeTest, CallerSeesTheForcedOutcome) {
  const ForcedCase& c = GetParam();
  driver().ForceOutcome(kPort, c.kind, c.outcome);
  PortRequest request(handle);
  uint8_t byte = 0x11;
  Result result{};
  result.ok = c.kind == sim::IoKind::Read
                  ? serial_io::ReadFile(handle, &byte, 1, &result.count, &request.record)
                  : serial_io::WriteFile(handle, &byte, 1, &result.count, &request.record);
  result.error = result.ok ? 0 : GetLastError();
  if (c.outcome.pends) {
    ASSERT_EQ(result.error, static_cast<DWORD>(ERROR_IO_PENDING));
    result = ResultOf(request);
  } else if (!result.ok) {
    EXPECT_FALSE(request.Completes(0)) << "a refused call completes nothing";
  }
  EXPECT_EQ(result.ok, c.ok);
  EXPECT_EQ(result.error, c.error);
  EXPECT_EQ(result.count, c.count);
  if (c.bytesSent > 0) {
    EXPECT_TRUE(peer.WaitForReceived(c.bytesSent, kPatienceMs));
  }
  EXPECT_EQ(peer.received().size(), c.bytesSent);
  if (c.kind == sim::IoKind::Read) {
    EXPECT_EQ(byte, 0x11) << "nothing was queued to read";
  }
}

constexpr DWORD kUnmappedError = 0x2A7B;  // travels as a Win32-facility status

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ForcedOutcomeTest,
    ::testing::Values(
        ForcedCase{"ReadAbortedBySystem",
                   sim::IoKind::Read,
                   {true, ERROR_OPERATION_ABORTED, 0},
                   FALSE,
                   ERROR_OPERATION_ABORTED,
                   0,
                   0},
        ForcedCase{
            "ReadPendsThenReportsOne", sim::IoKind::Read, {true, ERROR_SUCCESS, 1}, TRUE, 0, 1, 0},
        ForcedCase{"WriteCompletesAtOnceWithAWrongCount",
                   sim::IoKind::Write,
                   {false, ERROR_SUCCESS, 0},
                   TRUE,
                   0,
                   0,
                   0},
        ForcedCase{"WritePendsThenReportsTwo",
                   sim::IoKind::Write,
                   {true, ERROR_SUCCESS, 2},
                   TRUE,
                   0,
                   2,
                   1},
        ForcedCase{"UnmappedErrorSurvivesTheStatus",
                   sim::IoKind::Write,
                   {true, kUnmappedError, 0},
                   FALSE,
                   kUnmappedError,
                   0,
                   0}),
    [](const ::testing::TestParamInfo<ForcedCase>& info) { return info.param.name; });

TEST_F(VirtualSerialIoTest, FailedGetOverlappedResultStillWaitsForTheCompletion) {
  driver().SetWriteCompletion(kPort, sim::WriteCompletion::Pending);
  driver().FailCall(sim::Call::GetOverlappedResult, ERROR_IO_DEVICE);
  PortRequest write(handle);
  ASSERT_FALSE(serial_io::WriteFile(handle, "w", 1, nullptr, &write.record));
  DWORD count = 0xFF;
  EXPECT_FALSE(serial_io::GetOverlappedResult(handle, &write.record, &count, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
  EXPECT_EQ(count, 0u);
  EXPECT_NE(write.record.Internal, kInternalPending) << "the write itself had completed";
  EXPECT_TRUE(ResultOf(write).ok) << "only one call fails";
}

}  // namespace
