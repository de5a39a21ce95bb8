// The diagnostic trace: an opt-in record, one UTF-8 line per event, of every export
// call, every byte on the line with its parity, every parity switch, purge and
// presence-check step, every recorded failure, every line event the watcher hands
// over, and the port's opening and closing with its settings. Whether it is on and
// where it goes is read at each initialisation of the port (trace_settings.h).
//
// The hooks below are the library's only contact with the trace: one line each
// where the event happens. Each asks TraceOn() and does nothing else while tracing
// is off; when it is on, the line is made on the calling thread and handed to the
// writer. A hook changes no result, no byte, no recorded failure and no thread's
// last-error value, and throws nothing.
#pragma once

#include <windows.h>

#include <cstdint>

#include "trace/trace_writer.h"

class TComm;

// Whether tracing is on: the one question on the library's hot paths.
inline bool TraceOn() { return TraceWriter.On(); }

// The exports, as the trace names them.
enum class TraceExport { Initialize, Close, Status, ReadRecord, WriteRecord };

namespace trace {

// The hooks' bodies, called only while tracing is on.
LONGLONG ExportCalled(TraceExport which, unsigned argument, const uint8_t* data) noexcept;
void ExportReturned(TraceExport which, uint8_t result, const uint8_t* data,
                    LONGLONG start) noexcept;
void PortOpened(const TComm& port, int32_t result) noexcept;
void PortClosed(const TComm& port, int32_t result) noexcept;
void PresenceStep(DWORD function, DWORD input, bool on, DWORD modemStatus) noexcept;
void Purge(BOOL done) noexcept;
void ParitySwitch(DWORD parity, int32_t result) noexcept;
void Transfer(bool write, uint8_t value, DWORD count) noexcept;
void Reply(uint8_t reply, uint8_t onNak) noexcept;
void RecordByte(unsigned index) noexcept;
void Failure(const char* text, int32_t code) noexcept;
void FailureCode(int32_t code) noexcept;
void CommEvent(DWORD eventMask) noexcept;
void LineEvents(DWORD eventMask, DWORD errors) noexcept;

}  // namespace trace

// At the start of every initialisation of the port, whatever its outcome: reads
// the setting, opens (or closes) the trace file and writes the header line: date
// and time, process, the library's path, bitness and version, and the port.
void TraceOpening(uint8_t portNumber) noexcept;

// When the library is unloaded: closes the file.
void TraceUnload() noexcept;

// One export call: the call line with the arguments when made, then the result
// line with what the call gave back and the time it took.
class TraceExportCall {
 public:
  explicit TraceExportCall(TraceExport which, unsigned argument = 0,
                           const uint8_t* data = nullptr) noexcept
      : which_(which), start_(TraceOn() ? trace::ExportCalled(which, argument, data) : 0) {}
  TraceExportCall(const TraceExportCall&) = delete;
  TraceExportCall& operator=(const TraceExportCall&) = delete;

  // Writes the result line and answers `result`. `data`: the status byte or the
  // record the call filled in.
  uint8_t Returns(uint8_t result, const uint8_t* data = nullptr) const noexcept {
    if (start_ != 0) {
      trace::ExportReturned(which_, result, data, start_);
    }
    return result;
  }

 private:
  TraceExport which_;
  LONGLONG start_;  // performance counter at the call; 0 when not traced
};

// The serial port object opened (the settings applied) or closed.
inline void TracePortOpened(const TComm& port, int32_t result) {
  if (TraceOn()) trace::PortOpened(port, result);
}
inline void TracePortClosed(const TComm& port, int32_t result) {
  if (TraceOn()) trace::PortClosed(port, result);
}
// One step of the presence check: an output line set or cleared and the modem
// lines seen after it.
inline void TracePresenceStep(DWORD function, DWORD input, bool on, DWORD modemStatus) {
  if (TraceOn()) trace::PresenceStep(function, input, on, modemStatus);
}
// The purge before a command byte; `done` is PurgeComm's answer.
inline BOOL TracePurge(BOOL done) {
  if (TraceOn()) trace::Purge(done);
  return done;
}
// A parity switch; `result` is ApplyDcb's.
inline int32_t TraceParitySwitch(DWORD parity, int32_t result) {
  if (TraceOn()) trace::ParitySwitch(parity, result);
  return result;
}
// A single-byte transfer of the worker: `count` bytes moved.
inline void TraceTransfer(bool write, uint8_t value, DWORD count) {
  if (TraceOn()) trace::Transfer(write, value, count);
}
// The device's reply to a command or a block.
inline void TraceReply(uint8_t reply, uint8_t onNak) {
  if (TraceOn()) trace::Reply(reply, onNak);
}
// Record byte `index` of a read stored in the host's buffer.
inline void TraceRecordByte(unsigned index) {
  if (TraceOn()) trace::RecordByte(index);
}
// A failure stored in the last-error record (text in Windows-1250).
inline void TraceFailure(const char* text, int32_t code) {
  if (TraceOn()) trace::Failure(text, code);
}
inline void TraceFailureCode(int32_t code) {
  if (TraceOn()) trace::FailureCode(code);
}
// The watcher saw comm events and hands them over.
inline void TraceCommEvent(DWORD eventMask) {
  if (TraceOn()) trace::CommEvent(eventMask);
}
// The hand-over thread handles them; `errors` as ClearCommError reported.
inline void TraceLineEvents(DWORD eventMask, DWORD errors) {
  if (TraceOn()) trace::LineEvents(eventMask, errors);
}
