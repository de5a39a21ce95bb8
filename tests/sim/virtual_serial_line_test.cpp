// The line of the virtual serial port: comm events and their waits, parity and
// line errors on reception, the modem lines both ways, and the far end's timing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>

#include "serial_line_fixture.h"

namespace {

using sim::WireParity;

class VirtualSerialLineTest : public SerialLineTest {};

TEST_F(VirtualSerialLineTest, WaitCompletesWithTheEventMaskWritten) {
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_RXCHAR | EV_ERR));
  PortRequest wait(handle);
  DWORD mask = 0xABCD;
  ASSERT_FALSE(serial_io::WaitCommEvent(handle, &mask, &wait.record));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(mask, 0xABCDu) << "the mask is written at completion only";
  PeerSends('k', WireParity::None, std::chrono::microseconds(10000));
  ASSERT_TRUE(wait.Completes());
  EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
  EXPECT_TRUE(ResultOf(wait).ok);
}

TEST_F(VirtualSerialLineTest, NewMaskReleasesAPendingWaitWithNoEvent) {
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_RXCHAR));
  PortRequest wait(handle);
  DWORD mask = 0xABCD;
  ASSERT_FALSE(serial_io::WaitCommEvent(handle, &mask, &wait.record));
  PortRequest second(handle);
  DWORD other = 0;
  EXPECT_FALSE(serial_io::WaitCommEvent(handle, &other, &second.record));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "one waiter only";
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_RXCHAR));
  ASSERT_TRUE(wait.Completes(0));
  EXPECT_EQ(mask, 0u);
  EXPECT_TRUE(ResultOf(wait).ok);
}

TEST_F(VirtualSerialLineTest, EventsBeforeTheWaitCompleteItAtOnceAndOnlyOnce) {
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_RXCHAR | EV_TXEMPTY));
  PeerSends('a');
  PortRequest write(handle);
  ASSERT_TRUE(serial_io::WriteFile(handle, "w", 1, nullptr, &write.record));
  EXPECT_EQ(EventsSeen(), static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY));
  EXPECT_EQ(EventsSeen(), 0u);

  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_CTS));
  PeerSends('b');
  EXPECT_EQ(EventsSeen(), 0u) << "events outside the mask do not count";
  driver().RaiseCommEvents(kPort, EV_CTS);
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_CTS));
  EXPECT_EQ(EventsSeen(), 0u) << "a new mask forgets the events seen so far";
}

struct ParityCase {
  const char* name;
  BYTE portParity;
  bool checked;  // fParity
  uint8_t value;
  WireParity sent;
  bool error;
};

void PrintTo(const ParityCase& c, std::ostream* os) { *os << c.name; }

class ReceivedParityTest : public VirtualSerialLineTest,
                           public ::testing::WithParamInterface<ParityCase> {};

TEST_P(ReceivedParityTest, ReceiverChecksTheParityBitItSamples) {
  const ParityCase& c = GetParam();
  SetLine(c.portParity, c.checked, false);
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_ERR | EV_RXCHAR));
  PeerSends(c.value, c.sent);
  EXPECT_EQ(EventsSeen(), c.error ? EV_ERR | EV_RXCHAR : static_cast<DWORD>(EV_RXCHAR));
  DWORD errors = 0;
  COMSTAT status{};
  ASSERT_TRUE(serial_io::ClearCommError(handle, &errors, &status));
  EXPECT_EQ(errors, c.error ? static_cast<DWORD>(CE_RXPARITY) : 0u);
  EXPECT_EQ(status.cbInQue, 1u) << "the character is received either way";
}

INSTANTIATE_TEST_SUITE_P(
    Parities, ReceivedParityTest,
    ::testing::Values(
        ParityCase{"OddByteAtAnEvenPort", EVENPARITY, true, 0x41, WireParity::Odd, true},
        ParityCase{"EvenByteAtAnEvenPort", EVENPARITY, true, 0x41, WireParity::Even, false},
        ParityCase{"EvenByteAtAnOddPort", ODDPARITY, true, 0x06, WireParity::Even, true},
        ParityCase{"UnframedByteLooksMarked", MARKPARITY, true, 0x15, WireParity::None, false},
        ParityCase{"EvenParityBitZeroPassesSpace", SPACEPARITY, true, 0x03, WireParity::Even,
                   false},
        ParityCase{"UncheckedPortTakesAnything", EVENPARITY, false, 0x41, WireParity::Odd, false}),
    [](const ::testing::TestParamInfo<ParityCase>& info) { return info.param.name; });

TEST_F(VirtualSerialLineTest, FullInputQueueLosesTheCharacterWithRxOver) {
  ASSERT_TRUE(serial_io::SetupComm(handle, 4, 4));
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_ERR));
  for (uint8_t value = 1; value <= 5; ++value) {
    PeerSends(value);
  }
  EXPECT_EQ(EventsSeen(), static_cast<DWORD>(EV_ERR));
  const sim::PortState state = driver().State(kPort);
  EXPECT_EQ(state.errors, static_cast<DWORD>(CE_RXOVER));
  EXPECT_EQ(state.inQueued, 4u);
}

TEST_F(VirtualSerialLineTest, EachFarEndDelayRunsFromTheArrivalOfTheCharacterBefore) {
  PeerSends('1', WireParity::None, std::chrono::microseconds(100000));
  PeerSends('2', WireParity::None, std::chrono::microseconds(100000));
  PeerSends('3');
  PortRequest read(handle);
  char in[3] = {};
  EXPECT_FALSE(serial_io::ReadFile(handle, in, 1, nullptr, &read.record))
      << "nothing has arrived yet: the first character is 100 ms away";
  ASSERT_TRUE(read.Completes());
  EXPECT_EQ(in[0], '1');
  EXPECT_EQ(driver().State(kPort).inQueued, 0u) << "the second is still 100 ms away";
  PortRequest rest(handle);
  serial_io::ReadFile(handle, in + 1, 2, nullptr, &rest.record);
  EXPECT_EQ(std::string(in, 1 + ResultOf(rest).count), "123");
}

TEST_F(VirtualSerialLineTest, ModemLinesFollowEscapeCommFunctionThroughALoopbackCable) {
  peer.SetLoopback(true);
  DCB dcb{};
  ASSERT_TRUE(serial_io::GetCommState(handle, &dcb));
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  ASSERT_TRUE(serial_io::SetCommState(handle, &dcb));
  EXPECT_FALSE(peer.rtsSeen().back());
  EXPECT_FALSE(peer.dtrSeen().back());

  // The presence check: each answer must be there as soon as the call returns.
  struct Step {
    DWORD function;
    DWORD line;
    bool on;
  };
  for (const Step& step : {Step{CLRRTS, MS_CTS_ON, false}, Step{SETRTS, MS_CTS_ON, true},
                           Step{CLRDTR, MS_RING_ON, false}, Step{SETDTR, MS_RING_ON, true}}) {
    ASSERT_TRUE(serial_io::EscapeCommFunction(handle, step.function));
    DWORD status = 0;
    ASSERT_TRUE(serial_io::GetCommModemStatus(handle, &status));
    EXPECT_EQ((status & step.line) != 0, step.on) << "after function " << step.function;
  }
  // Attachment, SetCommState, SETRTS, SETDTR: CLRRTS and CLRDTR found their line
  // already low and changed nothing.
  EXPECT_EQ(peer.rtsSeen().size(), 4u);
  ASSERT_TRUE(serial_io::CloseHandle(handle));
  EXPECT_FALSE(peer.rtsSeen().back()) << "a closed port drops its lines";
}

TEST_F(VirtualSerialLineTest, UnpluggedPortReportsNoLinesAndIgnoresItsOldFarEnd) {
  peer.SetLoopback(true);
  ASSERT_TRUE(serial_io::EscapeCommFunction(handle, SETRTS));
  sim::LineSide* oldLine = peer.line();
  driver().AttachFarEnd(kPort, nullptr);
  EXPECT_EQ(peer.line(), nullptr) << "the far end was told it is detached";
  DWORD status = 0xFF;
  ASSERT_TRUE(serial_io::GetCommModemStatus(handle, &status));
  EXPECT_EQ(status, 0u);
  oldLine->Send('x', WireParity::None);
  EXPECT_EQ(driver().State(kPort).inQueued, 0u);
}

struct InputLineCase {
  const char* name;
  sim::InputLines from;
  sim::InputLines to;
  DWORD events;
};

void PrintTo(const InputLineCase& c, std::ostream* os) { *os << c.name; }

class InputLineEventTest : public VirtualSerialLineTest,
                           public ::testing::WithParamInterface<InputLineCase> {};

TEST_P(InputLineEventTest, LineChangeRaisesItsEvent) {
  peer.line()->SetInputLines(GetParam().from);
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_CTS | EV_DSR | EV_RING | EV_RLSD));
  peer.line()->SetInputLines(GetParam().to);
  EXPECT_EQ(EventsSeen(), GetParam().events);
}

// Lines in the order CTS, DSR, RI, RLSD.
INSTANTIATE_TEST_SUITE_P(
    InputLines, InputLineEventTest,
    ::testing::Values(InputLineCase{"CtsFalls", {1, 0, 0, 0}, {0, 0, 0, 0}, EV_CTS},
                      InputLineCase{"DsrAndRlsdRise", {0, 0, 0, 0}, {0, 1, 0, 1}, EV_DSR | EV_RLSD},
                      InputLineCase{"RingStartsQuietly", {0, 0, 0, 0}, {0, 0, 1, 0}, 0},
                      InputLineCase{"RingEndsWithEvRing", {0, 0, 1, 0}, {0, 0, 0, 0}, EV_RING}),
    [](const ::testing::TestParamInfo<InputLineCase>& info) { return info.param.name; });

// A thread's start: the stdcall function CreateThread calls (a lambda would be
// cdecl, which 32-bit Windows does not take).
DWORD WINAPI RunBody(LPVOID context) {
  (*static_cast<std::function<void()>*>(context))();
  return 0;
}

// Runs `body` on a thread of its own; returns the thread's handle.
HANDLE Start(std::function<void()>& body) {
  return CreateThread(nullptr, 0, RunBody, &body, 0, nullptr);
}

// The library's three threads at once: a worker writing and reading through an
// echoing far end, a watcher in WaitCommEvent, the host toggling the modem lines.
// Every echo comes back; a deadlock ends the program rather than hanging it.
TEST_F(VirtualSerialLineTest, ThreeThreadsShareThePortWithoutDeadlock) {
  peer.SetReply(&ScriptedFarEnd::Echo);
  peer.SetLoopback(true);
  SetTimeouts({0, 0, 2000, 0, 0});
  ASSERT_TRUE(serial_io::SetCommMask(handle, EV_RXCHAR | EV_TXEMPTY | EV_CTS));
  std::atomic<bool> workerDone{false};
  std::atomic<int> echoed{0};
  std::atomic<int> waits{0};
  HANDLE stopWatching = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  std::function<void()> worker = [&] {
    for (int i = 0; i < 200; ++i) {
      PortRequest write(handle);
      PortRequest read(handle);
      const uint8_t out = static_cast<uint8_t>(i);
      uint8_t in = 0;
      DWORD count = 0;
      serial_io::WriteFile(handle, &out, 1, nullptr, &write.record);
      serial_io::ReadFile(handle, &in, 1, nullptr, &read.record);
      if (!write.Completes() || !read.Completes() ||
          !serial_io::GetOverlappedResult(handle, &read.record, &count, FALSE) || count != 1) {
        break;
      }
      echoed += in == out;
    }
    workerDone = true;
  };
  // The watcher ends as a watcher must: it cancels its wait and waits for the
  // cancellation to come back before its record goes.
  std::function<void()> watcher = [&] {
    PortRequest wait(handle);
    DWORD mask = 0;
    DWORD count = 0;
    for (;;) {
      serial_io::WaitCommEvent(handle, &mask, &wait.record);
      const HANDLE events[] = {stopWatching, wait.record.hEvent};
      if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        serial_io::CancelIoEx(handle, &wait.record);
        serial_io::GetOverlappedResult(handle, &wait.record, &count, TRUE);
        return;
      }
      if (!serial_io::GetOverlappedResult(handle, &wait.record, &count, FALSE)) {
        return;
      }
      ++waits;
    }
  };
  std::function<void()> host = [&] {
    DWORD status = 0;
    while (!workerDone) {
      serial_io::EscapeCommFunction(handle, CLRRTS);
      serial_io::EscapeCommFunction(handle, SETRTS);
      serial_io::GetCommModemStatus(handle, &status);
    }
    SetEvent(stopWatching);
  };
  HANDLE threads[] = {Start(worker), Start(watcher), Start(host)};
  if (WaitForMultipleObjects(3, threads, TRUE, 30000) != WAIT_OBJECT_0) {
    std::fputs("the port's three users deadlocked\n", stderr);
    std::abort();
  }
  for (HANDLE thread : threads) {
    CloseHandle(thread);
  }
  CloseHandle(stopWatching);
  EXPECT_EQ(echoed, 200);
  EXPECT_GT(waits.load(), 0);
  EXPECT_EQ(driver().StrayCompletions(), 0u);
}

}  // namespace
