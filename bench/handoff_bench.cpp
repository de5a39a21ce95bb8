// Cost of one byte through the hand-off to the worker thread, against the same
// overlapped transfer made on the calling thread, on the virtual port with a far
// end that answers at once. Both are measured in the same run.
#include <windows.h>

#include <cstdio>

#include "kwelmora.h"
#include "library/library_state.h"
#include "port/comm.h"
#include "port/hand_off.h"
#include "port/serial_io.h"
#include "virtual_serial.h"

namespace {

constexpr unsigned kPort = 3;
constexpr int kRounds = 2000;

// Answers every byte at once with the same byte; a loopback cable for the lines.
class Echo : public sim::FarEnd {
 public:
  void Attach(sim::LineSide* line) override { line_ = line; }
  void ReceiveFromPort(uint8_t value, sim::WireParity parity) override {
    if (line_ != nullptr) {
      line_->Send(value, parity);
    }
  }
  void OutputLinesChanged(bool rts, bool dtr) override {
    if (line_ != nullptr) {
      sim::InputLines lines;
      lines.cts = rts;
      lines.ring = dtr;
      line_->SetInputLines(lines);
    }
  }

 private:
  sim::LineSide* line_ = nullptr;
};

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// One overlapped transfer on this thread, the way the worker makes it.
bool DirectTransfer(HANDLE port, bool write, uint8_t* byte) {
  OVERLAPPED record{};
  record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD count = 0;
  BOOL done = write ? serial_io::WriteFile(port, byte, 1, &count, &record)
                    : serial_io::ReadFile(port, byte, 1, &count, &record);
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    WaitForSingleObject(record.hEvent, INFINITE);
    done = serial_io::GetOverlappedResult(port, &record, &count, TRUE);
  }
  CloseHandle(record.hEvent);
  return done && count == 1;
}

}  // namespace

int main() {
  sim::VirtualSerialDriver& driver = sim::VirtualSerialDriver::Instance();
  Echo echo;
  driver.AddPort(kPort);
  driver.AttachFarEnd(kPort, &echo);
  if (!ZainicjowanoPortSzeregowyDlaZRV(kPort)) {
    std::fprintf(stderr, "the virtual port did not open\n");
    return 1;
  }
  HANDLE port = CommSlots[ActiveSlot]->Handle;

  LARGE_INTEGER start, end;
  int failures = 0;
  uint8_t byte = 0;

  QueryPerformanceCounter(&start);
  for (int i = 0; i < kRounds; ++i) {
    failures += SendByte(static_cast<uint8_t>(i)) ? 0 : 1;
    failures += ReceiveByte(byte) ? 0 : 1;
  }
  QueryPerformanceCounter(&end);
  const double handOff = Seconds(start, end) / kRounds / 2;

  QueryPerformanceCounter(&start);
  for (int i = 0; i < kRounds; ++i) {
    byte = static_cast<uint8_t>(i);
    failures += DirectTransfer(port, true, &byte) ? 0 : 1;
    failures += DirectTransfer(port, false, &byte) ? 0 : 1;
  }
  QueryPerformanceCounter(&end);
  const double direct = Seconds(start, end) / kRounds / 2;

  OdinicjowanoPortSzeregowyDlaZRV();
  driver.AttachFarEnd(kPort, nullptr);

  std::printf("%d bytes written and %d read each way, %d failed\n", kRounds, kRounds, failures);
  std::printf("%-46s %10.1f us\n", "per byte through the hand-off (worker thread)", handOff * 1e6);
  std::printf("%-46s %10.1f us\n", "per byte, overlapped on the calling thread", direct * 1e6);
  std::printf("%-46s %10.2f\n", "ratio", handOff / direct);
  return failures == 0 ? 0 : 1;
}
