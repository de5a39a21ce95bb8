// A virtual serial port driver for tests and demos: COM ports that exist only in
// this process, reached through the same calls as the Windows serial driver and
// answering them the way it does (errors through SetLastError, exclusive opens,
// settings kept by the port between opens, DTR and RTS following the DCB's control
// modes, overlapped reads, writes and comm-event waits completed through the
// caller's OVERLAPPED and event, the port's time-outs, fAbortOnError, purges,
// modem lines). A far end (a device model, a test's scripted peer) plugs into a
// port and exchanges characters and modem lines with it.
//
// Tests create ports by number, make any call fail with a chosen error, force the
// outcome of a read, write or wait, and read back what the library left on the port.
// Those controls (call failures, forced outcomes, spoilers, call logs, the abort
// scope, the time scale, Reset and PauseClock) are built only with
// KWELMORA_SIM_TEST_HOOKS set: the driver the simulator DLL ships has none of them,
// runs at real time and keeps the Windows serial driver's abort rule.
//
// Thread-safe: the library calls it from the host's thread and its own threads.
// Far-end callbacks are made without the driver's lock held. One internal clock
// thread runs the time-outs and the delays of the line; it holds a reference to
// the module it runs in, so that the code stays loaded under it. With test hooks
// it runs until Reset() or the end of the process; without, it ends when the last
// handle of a port is closed, before CloseHandle returns.
//
// Reads, writes and comm-event waits are served on handles opened for overlapped
// I/O: a request without an OVERLAPPED fails with ERROR_INVALID_PARAMETER.
//
// Overlapped operations and the memory they point to: the driver keeps the
// caller's OVERLAPPED, event, buffer and event-mask address until the operation
// completes, and writes them only then. A completion that would land after the
// thread that issued the operation has ended is not delivered at all (nothing is
// written, no event is signalled) and is counted in StrayCompletions(): on Windows
// the I/O of an ending thread is cancelled and its completion written into memory
// that may be gone. The thread's end itself cancels the operation.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "far_end.h"
#include "srw_lock.h"

namespace sim {

// True while the calling thread is inside a port call of the sim binding of
// serial_io.h (defined there), and on the driver's clock thread. A test that makes
// the program's allocations fail leaves the driver's own alone: the Windows serial
// driver allocates nothing of the program's.
bool InsidePortCall();
bool OnClockThread();  // the driver's own thread of time-outs and delays

// The driver calls a test can make fail.
enum class Call : unsigned {
  CreateFileA,
  GetFileType,
  CloseHandle,
  GetCommConfig,
  GetCommState,
  SetCommState,
  SetupComm,
  GetCommTimeouts,
  SetCommTimeouts,
  ReadFile,
  WriteFile,
  GetOverlappedResult,
  CancelIoEx,
  SetCommMask,
  WaitCommEvent,
  ClearCommError,
  PurgeComm,
  EscapeCommFunction,
  GetCommModemStatus,
  Count
};

const char* CallName(Call call);

// The overlapped operations a port runs.
enum class IoKind : unsigned { Read, Write, CommWait, Count };

// How the port's transmitter finishes a write (while nothing holds the output).
enum class WriteCompletion {
  Immediate,  // the bytes leave at once; WriteFile completes at once (the default)
  Pending,    // WriteFile answers ERROR_IO_PENDING; the bytes leave and the write
              // completes right afterwards, on the driver's clock thread
  Paced,      // every byte takes its character time at the port's baud rate (11 bits)
};

// What a port with fAbortOnError refuses after a line error, until ClearCommError.
enum class AbortScope {
  AllRequests,  // every request but ClearCommError, as the Windows serial driver does
                // (the default): comm state, time-outs, masks, waits, purges, modem
                // lines included; CloseHandle, CancelIoEx and GetOverlappedResult are
                // no requests to the driver and still work
  Transfers,    // reads and writes only: gentler than Windows; a test that chooses it
                // says why
};

// When a character from the far end reaches the port's input queue.
enum class ArrivalTiming {
  AsSent,  // as soon as it has crossed the line (the default)
  // The receiver takes it as it crosses the line (parity, framing and the events
  // they raise are judged then), but hands it to the input queue only once a read
  // waits for it, one character to each read: every reply takes the path a real
  // line gives it, a read pending first and then its byte. A purge of the receive
  // queue drops the characters still held back.
  AfterReadPends,
};

// What befalls a port at a chosen call of the library's (SpoilAtCall).
enum class CallSpoil {
  Vanish,     // the port vanishes, as RemovePort does (a USB adapter pulled)
  LineError,  // a framing error lands on the line (CE_FRAME, EV_ERR), as noise does
  StrayByte,  // kStrayByte arrives from the line, framed with the port's parity (a
              // late reply, or noise that looks like a character)
  Refuse,     // that call alone fails with ERROR_GEN_FAILURE and changes nothing
};

constexpr uint8_t kStrayByte = 0x55;

// Where, around that call.
enum class CallPoint {
  Before,  // the call meets it
  After,   // the call is served first (a read or write may be left pending)
};

// An outcome a test forces on the next read, write or comm-event wait of a port.
struct ForcedOutcome {
  // True: the call answers ERROR_IO_PENDING and the operation completes right
  // afterwards on the driver's clock thread. False: the call itself answers.
  bool pends = true;
  // Win32 error of the completion (ERROR_SUCCESS for success). A call that
  // answers itself fails with it (its OVERLAPPED was already marked in flight, as
  // every issued call marks it); a pending
  // operation completes with the matching NTSTATUS, which GetOverlappedResult
  // turns back into this error.
  DWORD error = ERROR_SUCCESS;
  // Count the completion reports: bytes for a read or write (a read copies at most
  // what it asked for and what is queued, a write sends at most what it was
  // given), the event mask for a comm-event wait.
  DWORD count = 0;
};

// What the port holds, as a test reads it back.
struct PortState {
  bool exists = false;
  bool open = false;
  unsigned opens = 0;  // successful CreateFileA calls so far
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  DWORD inQueue = 0;  // queue sizes of the last SetupComm; 0 before any
  DWORD outQueue = 0;
  bool dtr = false;  // output lines as the driver drives them
  bool rts = false;
  DWORD lastOpenAccess = 0;  // the arguments of the last successful CreateFileA
  DWORD lastOpenShareMode = 0;
  DWORD lastOpenFlags = 0;

  DWORD commMask = 0;       // the mask of the last SetCommMask of this open
  DWORD errors = 0;         // CE_* flags gathered since the last ClearCommError
  DWORD inQueued = 0;       // bytes received and not yet read (cbInQue)
  DWORD heldBack = 0;       // bytes received, held back until a read waits for them
  DWORD outQueued = 0;      // bytes of pending writes not yet on the wire (cbOutQue)
  InputLines lines;         // the input lines as the far end drives them
  bool breakSet = false;    // SETBREAK in force
  bool xoffHold = false;    // SETXOFF in force
  bool outputHeld = false;  // HoldOutput in force
  bool farEndAttached = false;
  DWORD adapterHeld = 0;  // characters the USB-serial adapter holds back
  unsigned pendingReads = 0;
  unsigned pendingWrites = 0;
  bool waitPending = false;  // a WaitCommEvent is pending
  // Totals since the port was added: bytes that left the transmitter, bytes that
  // completed reads took, modem status reads answered, reads and writes their
  // time-outs ended.
  unsigned bytesWritten = 0, bytesRead = 0, statusReads = 0, timedOut = 0;
};

class VirtualSerialDriver {
 public:
  // The one driver of the process; the sim binding of the port calls uses it.
  static VirtualSerialDriver& Instance();
  ~VirtualSerialDriver();

  VirtualSerialDriver(const VirtualSerialDriver&) = delete;
  VirtualSerialDriver& operator=(const VirtualSerialDriver&) = delete;

#if KWELMORA_SIM_TEST_HOOKS
  // Forgets every port, device, far end, pending operation, injected failure,
  // forced outcome, counter and recorded path; the time scale goes back to 1 and
  // the abort scope to AllRequests. Waits until no far-end callback is running and
  // stops the clock thread. Far ends are not told: after Reset() returns none is
  // called again, so a test may destroy them. Never call it from a far-end callback.
  void Reset();
#endif

  // Asked at the start of every CreateFileA of "\\.\COM<number>", before the
  // driver looks for the port: the simulator DLL makes the port and plugs its
  // device in there on first use. Answers ERROR_SUCCESS to go on (an absent port
  // stays absent), or the error the open fails with. One for the process, kept
  // across Reset(); set it before the first port call.
  // `closed` hears of every opening it went on with that did not leave a handle
  // open (the driver refused it), and of every handle of the port closed.
  using PortSupplier = DWORD (*)(unsigned number);
  using PortClosed = void (*)(unsigned number);
  static void SetPortSupplier(PortSupplier supplier, PortClosed closed);
  static bool SuppliesPorts();

  // Creates COM<number>, reachable as "\\.\COM<number>" (any letter case), with
  // the driver's default settings.
  void AddPort(unsigned number);
  // Removes a port; a handle still open on it fails every request from then on
  // with ERROR_ACCESS_DENIED (CancelIoEx finds nothing: ERROR_NOT_FOUND) until
  // CloseHandle, which succeeds, and its pending operations complete with
  // ERROR_OPERATION_ABORTED.
  void RemovePort(unsigned number);
#if KWELMORA_SIM_TEST_HOOKS
  // The spoil befalls the port at the library's (skip+1)-th call of a
  // transaction's kinds on it from now on: EscapeCommFunction, GetCommModemStatus,
  // PurgeComm, GetCommState, SetCommState, WriteFile, ReadFile (the calls of the
  // presence check, the purge, the parity switch and the byte transfers; the
  // line-event watcher's calls are not counted, so that a transaction makes the
  // same calls on every run). The sim binding of the port calls reports each call
  // (NoteCall).
  void SpoilAtCall(unsigned number, unsigned skip, CallPoint point, CallSpoil spoil);
  // The calls of a transaction's kinds made on the port's handles since the last
  // time this was asked, in order (the first time: none; they are logged from
  // then on).
  std::vector<Call> TakeTransactionCalls(unsigned number);
  // Called by the sim binding before (served false) and after (served true) each
  // port call: spoils the port when SpoilAtCall says so.
  void NoteCall(Call call, HANDLE file, bool served);
#endif
  // A device at an exact path that opens but is not a character device
  // (FILE_TYPE_DISK, FILE_TYPE_PIPE, FILE_TYPE_UNKNOWN ...).
  void AddOtherDevice(const std::string& path, DWORD fileType);

#if KWELMORA_SIM_TEST_HOOKS
  // The next call of this kind, after `skip` successful ones, fails with `error`
  // (and, for CreateFileA, returns INVALID_HANDLE_VALUE). `times` calls fail in a
  // row. The failing call changes nothing. A failing GetOverlappedResult still
  // waits for the completion when asked to wait, then answers the error with a
  // count of 0.
  void FailCall(Call call, DWORD error, unsigned skip = 0, unsigned times = 1);
  // Number of calls of this kind made so far (failed ones included).
  unsigned CallCount(Call call) const;

  // The next ReadFile, WriteFile or WaitCommEvent on the port that the driver
  // accepts (after `skip` of them) ends with `outcome` instead of its own; `times`
  // in a row.
  void ForceOutcome(unsigned number, IoKind kind, const ForcedOutcome& outcome, unsigned skip = 0,
                    unsigned times = 1);
#endif

  // Presets what the driver reports before the library changes anything.
  void SetDriverDcb(unsigned number, const DCB& dcb);
  void SetDriverTimeouts(unsigned number, const COMMTIMEOUTS& timeouts);

#if KWELMORA_SIM_TEST_HOOKS
  // Every time-out of the ports and every delay of the line (a far end's `after`, a
  // paced character) takes `scale` times its nominal length: at 0.01 a one-second
  // read time-out expires after 10 ms. 1 by default; must be above 0.
  void SetTimeScale(double scale);
  double TimeScale() const;
#endif

  // Plugs a far end into the port (null unplugs it). The previous far end, if any,
  // is detached first (Attach(nullptr)); the new one gets Attach(line) and then
  // OutputLinesChanged with the port's current RTS and DTR. Returns once those
  // callbacks have run; from then on the old far end is called no more (called
  // from inside a callback of the same port, it returns first and they follow
  // that callback). Unplugging drops the port's input lines and loses what was
  // still travelling on the line.
  void AttachFarEnd(unsigned number, FarEnd* farEnd);

  // Puts a USB-serial adapter with this latency timer between the far end and the
  // port (usb_serial_adapter.h): the far end's characters reach the receiver in
  // packets, when the timer fires or 62 bytes are held. Zero (the default) takes
  // it out again: a native port. The latency follows the time scale.
  void SetAdapterLatency(unsigned number, std::chrono::microseconds latency);

  // Returns once everything the port has sent has reached its far end (a write
  // may complete before its bytes have crossed the line).
  void WaitForFarEnd(unsigned number);

  // How writes on the port complete (WriteCompletion::Immediate by default).
  void SetWriteCompletion(unsigned number, WriteCompletion mode);
  // Holds the port's transmitter (as a flow-control stop would): writes pend until
  // released or until their write time-out, which completes them with the bytes
  // sent so far.
  void HoldOutput(unsigned number, bool held);
#if KWELMORA_SIM_TEST_HOOKS
  // What fAbortOnError refuses after a line error (all ports).
  void SetAbortScope(AbortScope scope);
#endif
  // When the far end's characters reach the port's input queue
  // (ArrivalTiming::AsSent by default).
  void SetArrivalTiming(unsigned number, ArrivalTiming timing);

  // Makes the port see comm events (EV_* bits; only those in its comm mask count)
  // and adds `ceErrors` (CE_* bits) to its error flags as line errors would,
  // aborting reads and writes when fAbortOnError is set.
  void RaiseCommEvents(unsigned number, DWORD events, DWORD ceErrors = 0);

  // Completions the driver did not deliver because the thread that issued the
  // operation had ended (see the top of this file). Checks the issuing threads now,
  // and returns once the clock thread has let go of the ended ones it watched: the
  // driver then holds a handle only for threads that are still alive.
  unsigned StrayCompletions();

#if KWELMORA_SIM_TEST_HOOKS
  // Ends the clock thread and returns once it has ended, with everything it held;
  // the next call that needs the clock starts a new one. For measuring what the
  // process holds while nothing is pending: no deadline is kept meanwhile.
  void PauseClock();
#endif
  // Operations still pending on a port when their handle was closed (completed
  // then with ERROR_OPERATION_ABORTED).
  unsigned AbortedByClose() const;
  // Reads, writes and comm-event waits pending on the port now (issuing threads
  // checked first).
  unsigned PendingOperations(unsigned number);

  // Waits until `done` holds for the port's state, at most `timeoutMs` real
  // milliseconds; true when it held. `done` runs under the driver's lock and must
  // not call the driver.
  bool WaitForState(unsigned number, const std::function<bool(const PortState&)>& done,
                    DWORD timeoutMs);

  PortState State(unsigned number) const;
#if KWELMORA_SIM_TEST_HOOKS
  // The port's state when the last SpoilAtCall struck, before the spoil.
  PortState StateAtSpoil() const;
#endif
  // The path of the last CreateFileA call, whether it succeeded or not.
  std::string LastOpenedPath() const;
  // True when `handle` is a handle this driver gave out and has not closed.
  bool IsLiveHandle(HANDLE handle) const;
  // Handles of ports, removed ones included, that are not closed yet.
  unsigned OpenPortHandles() const;

  // The Win32 calls, as the sim binding forwards them. Besides what the top of
  // this file says:
  // - WriteFile: a byte travels with the parity of the port's DCB when it was
  //   written; with WriteCompletion::Immediate it reaches the far end before the
  //   call returns. With no far end it vanishes.
  // - A character from the far end is checked against the port's parity when
  //   fParity is set (CE_RXPARITY, EV_ERR); a full input queue (SetupComm's size,
  //   4096 before any) loses it (CE_RXOVER, EV_ERR). Line errors from the far end
  //   give CE_FRAME, CE_RXPARITY or CE_OVERRUN with EV_ERR, a break CE_BREAK with
  //   EV_BREAK; with fAbortOnError each ends the reads and writes under way.
  // - EscapeCommFunction: the far end hears of an RTS or DTR change before the call
  //   returns (SetCommState's DTR/RTS control, CreateFileA and CloseHandle too).
  //   SETBREAK and SETXOFF hold the transmitter until CLRBREAK and SETXON;
  //   RESETDEV is accepted and does nothing.
  // - Comm events: EV_RXCHAR, EV_RXFLAG (EvtChar), EV_RX80FULL, EV_TXEMPTY when the
  //   last pending write has left, EV_CTS, EV_DSR and EV_RLSD on any change of the
  //   line, EV_RING when a ring ends (RI on to off, as a 16550 flags it).
  // - PurgeComm: PURGE_TXCLEAR finds nothing to clear (a 16550 port buffers no
  //   output beyond the pending writes); PURGE_RXCLEAR leaves characters still on
  //   the line, which arrive afterwards.
  // - GetOverlappedResult reads the record alone, like kernel32: it does not check
  //   the handle, and on a record that never completes (a stray one) it waits
  //   forever.
  HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                     DWORD creationDisposition, DWORD flagsAndAttributes);
  DWORD GetFileType(HANDLE file);
  BOOL CloseHandle(HANDLE file);
  BOOL GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size);
  BOOL GetCommState(HANDLE file, LPDCB dcb);
  BOOL SetCommState(HANDLE file, LPDCB dcb);
  BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
  BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
  BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
  BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                LPOVERLAPPED overlapped);
  BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                 LPOVERLAPPED overlapped);
  BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                           BOOL wait);
  BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);
  BOOL SetCommMask(HANDLE file, DWORD eventMask);
  BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped);
  BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status);
  BOOL PurgeComm(HANDLE file, DWORD flags);
  BOOL EscapeCommFunction(HANDLE file, DWORD function);
  BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus);

  // The driver's settings of a new port.
  static DCB DefaultDcb();

 private:
  struct Port;
  struct Operation;
  struct Issuer;
  class PortLine;
#if KWELMORA_SIM_TEST_HOOKS
  struct Failure {  // FailCall's
    DWORD error = 0;
    unsigned skip = 0;
    unsigned times = 0;
  };
#endif

  VirtualSerialDriver();

  // The test hooks (virtual_serial_hooks.cpp). Without them nothing is injected,
  // forced or spoilt, time runs at its nominal pace and fAbortOnError refuses
  // every request, as on Windows.
#if KWELMORA_SIM_TEST_HOOKS
  // Counts the call and answers whether an injected failure applies to it; if so
  // the error is stored for SetLastError.
  bool Injected(Call call, DWORD* error);
  bool TakeForced(Port& port, IoKind kind, ForcedOutcome* outcome);
  // SpoilAtCall's check at one call of the port, before (served false) or after
  // it; spoils the port when it is due. Reads and writes are checked after they
  // were served under the same lock, so that nothing completes them in between.
  void SpoilAt(Port& port, Call call, bool served, std::unique_lock<SrwLock>& lock);
  double TimeScaleLocked() const { return timeScale_; }
  bool AbortsAllRequests() const { return abortScope_ == AbortScope::AllRequests; }
#else
  bool Injected(Call, DWORD*) { return false; }
  bool TakeForced(Port&, IoKind, ForcedOutcome*) { return false; }
  void SpoilAt(Port&, Call, bool, std::unique_lock<SrwLock>&) {}
  double TimeScaleLocked() const { return 1.0; }
  bool AbortsAllRequests() const { return true; }
#endif

  // Calls and state (virtual_serial.cpp).
  // The checks every call on a port handle makes first: an injected failure, the
  // open port behind the handle, fAbortOnError after a line error. Null with the
  // error chosen when the call is refused.
  Port* Admit(Call call, HANDLE file, bool transfer, DWORD* error);
  // The open port behind a handle, or null (error already chosen); a removed one
  // only when the call is no request to the driver.
  Port* PortOf(HANDLE file, DWORD* error, bool request = true);
  Port* FindPort(unsigned number) const;
  // Runs `change` on the port under the lock, if it exists.
  void ChangePort(unsigned number, const std::function<void(Port&)>& change);
  // Ends a port's life in the driver (RemovePort, or AddPort of the same number).
  void Forget(Port& port, std::unique_lock<SrwLock>& lock);
  // True when fAbortOnError and a line error make the port refuse the request.
  bool Refuses(const Port& port, bool transfer) const;
  PortState StateOf(const Port& port) const;
  // Sets DTR and RTS as the DCB's control modes say and tells the far end.
  void ApplyLineControl(Port& port);
  // Puts the port back to what a fresh open finds (queues, errors, masks, holds).
  static void ResetOpenState(Port& port);

  // Overlapped operations (virtual_serial_io.cpp).
  BOOL IssueRead(Port& port, HANDLE file, LPVOID buffer, DWORD length, LPDWORD done,
                 LPOVERLAPPED overlapped, DWORD* error);
  BOOL IssueWrite(Port& port, HANDLE file, LPCVOID buffer, DWORD length, LPDWORD done,
                  LPOVERLAPPED overlapped, DWORD* error);
  BOOL IssueWait(Port& port, HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped, DWORD* error);
  Operation& AddOperation(Port& port, IoKind kind, HANDLE file, LPOVERLAPPED overlapped);
  // Completes an operation: stores the outcome in the caller's memory and signals
  // its event, unless the issuing thread has ended (a stray completion).
  // A comm-event wait that succeeds writes `mask` where its caller asked.
  void Complete(Port& port, Operation* operation, LONG status, DWORD count, DWORD mask = 0);
  void CompleteAll(Port& port, IoKind kind, LONG status);
  // Aborts reads and writes when fAbortOnError is set and a line error is pending.
  void AbortOnError(Port& port);
  void AdvanceReads(Port& port);
  void AdvanceWrites(Port& port);
  void AdvanceForced(Port& port);
  // Sends the next bytes of a write towards the far end.
  void Transmit(Port& port, Operation& write, size_t count);
  bool TransmitterHeld(const Port& port) const;
  DWORD OutQueued(const Port& port) const;
  // Cancels the operations of threads that have ended (stray completions).
  void SweepEndedThreads();
  std::shared_ptr<Issuer> IssuerOfThisThread();

  // The line and its events (virtual_serial_line.cpp).
  void Signal(Port& port, DWORD events);
  void AddLineErrors(Port& port, DWORD ceErrors);
  void Receive(Port& port, uint8_t value, WireParity parity);
  // A character that has crossed the line: received at once, or held back until a
  // read waits for it (ArrivalTiming::AfterReadPends).
  void Arrive(Port& port, uint8_t value, WireParity parity);
  // Hands one held-back character to the read that waits for it, if one does.
  void ReleaseHeld(Port& port);
  // The line errors a character brings with it as the receiver samples it.
  DWORD SampleErrors(const Port& port, uint8_t value, WireParity parity) const;
  void SetLines(Port& port, const InputLines& lines);
  // Hands on what the port's adapter has let go by `now`: characters and lines.
  void ReleaseFromAdapter(Port& port, std::chrono::steady_clock::time_point now);
  void TellLines(Port& port, bool oldRts, bool oldDtr);
  void LineSend(unsigned number, uint64_t attachment, uint8_t value, WireParity parity,
                std::chrono::microseconds after);
  void LineError(unsigned number, uint64_t attachment, LineError error);
  void LineInputs(unsigned number, uint64_t attachment, const InputLines& lines);
  // Delivers what the port has queued for its far end, in order, without the lock;
  // returns when the queue is empty (or at once inside a callback of the port).
  void Drain(const std::shared_ptr<Port>& port);
  std::shared_ptr<Port> Shared(const Port& port) const;

  // The clock thread (virtual_serial_clock.cpp).
  static DWORD WINAPI ClockMain(LPVOID driver);
  void RunClock();
  // Starts the clock thread if needed and makes it look at the deadlines again.
  void WakeClock();
  // In the simulator DLL, once the last port handle is closed: asks the clock
  // thread to end, and answers a handle to wait on for its end (to close after);
  // null when no thread is to end.
  HANDLE EndClockWithLastPort();
#if KWELMORA_SIM_TEST_HOOKS
  void StopClock(DWORD timeoutMs);
#endif
  std::chrono::steady_clock::duration Scaled(double microseconds) const;

  mutable SrwLock mutex_;
  // Notified on every change a waiter may look for: completions, state changes.
  mutable Condition changed_;
  std::map<unsigned, std::shared_ptr<Port>> ports_;
  std::map<std::string, DWORD> devices_;  // file type by upper-cased path
  // A handle holds its port until it is closed, a removed one too.
  std::map<uintptr_t, std::shared_ptr<Port>> portHandles_;
  std::map<uintptr_t, DWORD> deviceHandles_;  // file type by handle
  std::string lastOpenedPath_;
  uintptr_t nextHandle_;

  // Threads that issued operations, by thread id; each holds a handle of its thread.
  std::map<DWORD, std::shared_ptr<Issuer>> issuers_;
  // Every line side handed to a far end. A far end may keep its pointer after it
  // was detached, so they live as long as the driver; a stale one does nothing.
  std::vector<std::unique_ptr<PortLine>> lines_;
  uint64_t nextAttachment_ = 1;
#if KWELMORA_SIM_TEST_HOOKS
  Failure failures_[static_cast<unsigned>(Call::Count)];
  unsigned counts_[static_cast<unsigned>(Call::Count)] = {};
  double timeScale_ = 1.0;
  AbortScope abortScope_ = AbortScope::AllRequests;
  // SpoilAtCall: the port, the calls still to let pass, where and what.
  struct CallSpoilPlan {
    bool armed = false;
    unsigned number = 0;
    unsigned skip = 0;
    CallPoint point = CallPoint::Before;
    CallSpoil spoil = CallSpoil::Vanish;
    PortState struck;
  } callSpoil_;
  std::map<unsigned, std::vector<Call>> transactionCalls_;  // by port number
#endif
  unsigned strays_ = 0;
  unsigned abortedByClose_ = 0;

  // The clock thread: created on demand, woken through clockWake_ (auto-reset),
  // stopped through clockStop_. The driver owns and closes both handles.
  HANDLE clockThread_ = nullptr;
  HANDLE clockWake_ = nullptr;
  bool clockStop_ = false;
  bool clockEnd_ = false;  // EndClockWithLastPort asked the thread to end
  // Passes the clock thread has begun. It watches threads only within a pass, so a
  // pass begun after a sweep holds no thread that the sweep let go.
  uint64_t clockPasses_ = 0;
};

}  // namespace sim
