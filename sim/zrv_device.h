// The ZRV device on the far end of the serial line: 931 records of 30 bytes and a
// status byte, reached through the device's half-duplex ACK/NAK byte protocol.
//
// The device tells command bytes from data bytes by their parity: a command byte
// (status request 1, write 2, read 4, next-byte request 5) is framed with odd
// parity, a location or record byte with even parity. Each reply goes out with
// the parity of the byte just received, because that is the parity the port on
// the other end is set to at that moment.
//
//   status:  1 -> status byte
//   read:    4 -> ACK; location low, high, 30 -> ACK;
//            30 times: 5 -> ACK, record byte
//   write:   2 -> ACK; location low, high, 30 -> ACK;
//            30 record bytes -> ACK after the last (the record is stored then)
//
// The location word is address + 60 (61..991 for addresses 1..931). A location
// outside that range, or a length other than 30, is refused with NAK.
//
// How the device copes with a line that drops bytes mid-exchange: the host gives
// up on an exchange after any failure and begins the next one with a new command
// byte, so a command byte (1, 2, 4, 5, odd parity) is taken at any time; it ends
// whatever exchange was under way, and a record half written is dropped. Other
// odd-parity values are unknown commands: the device ends any exchange and
// answers NAK. A byte with the wrong parity for its place (an even byte where a
// command is due, or any byte framed without odd or even parity) is logged as a
// parity violation and otherwise ignored; an odd byte of unknown value where a
// data byte is due is a violation too (a data byte sent with the wrong parity,
// most likely), treated as the unknown command it looks like. A request 5 with
// no read under way is answered with NAK.
//
// Its cable: CTS follows RTS and RI follows DTR, DSR is on while the cable is
// plugged in (the device is powered and ready), RLSD stays off (there is no
// carrier on a direct line). Unplugged, every input line of the port is off and
// the device neither receives nor answers anything.
//
// Faults for tests: any reply can be replaced by a NAK, another byte, silence, a
// line error at the port, or the cable being pulled, once or every time; it can
// come late (after a delay, beyond the host's read time-out), stale (held back
// until the device answers the next byte it receives, so that it meets the host's
// next exchange after that exchange's purge), or with an extra byte after it
// (noise); and a seeded random mode spoils each reply with given probabilities.
//
// Thread-safe: the port side calls it from its threads (one callback at a time),
// tests use the accessors from theirs. Portable C++ without Windows headers.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "far_end.h"
#ifdef _WIN32
#include "srw_lock.h"
#endif

namespace sim {

// The replies the device makes, by exchange and step.
enum class Reply : uint8_t {
  StatusByte,        // status exchange: the status byte
  ReadCommandAck,    // read: ACK to the command 4
  ReadLocationAck,   // read: ACK (or NAK) to the location block
  ReadRequestAck,    // read: ACK to request number i (0..29)
  ReadDataByte,      // read: record byte i (0..29), after the request's ACK
  WriteCommandAck,   // write: ACK to the command 2
  WriteLocationAck,  // write: ACK (or NAK) to the location block
  WriteRecordAck,    // write: ACK after the 30th record byte
};

// One reply point. `index` counts the requests of a read (ReadRequestAck and
// ReadDataByte, 0..29); kEveryIndex matches all of them. Other replies ignore it.
struct ReplyPoint {
  static constexpr int kEveryIndex = -1;

  Reply reply = Reply::StatusByte;
  int index = kEveryIndex;

  bool Matches(const ReplyPoint& actual) const;
};

// What the device does at a reply point. Where an ACK is due, anything but the
// correct reply ends the exchange: the host gives up on it too, and its next
// command resynchronises the two. So a write whose final ACK is replaced is not
// stored (except by LineErrorThenReply, which still sends the ACK). A record byte
// replaced by NAK or another byte is taken by the host as data, so the read goes
// on; only a pulled cable ends it.
enum class ReplyAction : uint8_t {
  Correct,             // the reply the exchange calls for
  Nak,                 // NAK (21) instead
  OtherByte,           // a chosen byte instead
  Silence,             // nothing
  LineError,           // a line error at the port instead of the reply
  LineErrorThenReply,  // a line error, then the correct reply
  Unplug,              // the cable comes out instead of the reply
  Late,                // the reply, `delay` later (and what follows it after it)
  Stale,               // the reply, and what follows it in the same answer, held back
                       // and sent just ahead of the answer to the next byte received
  ExtraByte,           // the reply, then a chosen byte: noise after the reply
};

// A fault set on a reply point. Made with the factories below, e.g.
//   device.InjectFault({Reply::ReadRequestAck, 2}, ZrvFault::Nak());
//   device.InjectFault({Reply::StatusByte}, ZrvFault::Byte(0x41).Persistent());
struct ZrvFault {
  ReplyAction action = ReplyAction::Correct;
  uint8_t value = 0;                     // OtherByte, ExtraByte
  LineError error = LineError::Framing;  // LineError, LineErrorThenReply
  std::chrono::microseconds delay{0};    // Late: on the line's time scale
  bool persistent = false;               // false: fires once, then is removed

  static ZrvFault Nak();
  static ZrvFault Byte(uint8_t value);
  static ZrvFault Silence();
  static ZrvFault Error(LineError error);
  static ZrvFault ErrorThenReply(LineError error);
  static ZrvFault Unplug();
  static ZrvFault Late(std::chrono::microseconds delay);
  static ZrvFault Stale();
  static ZrvFault Extra(uint8_t value);
  // The correct reply, set explicitly: shields a point from the random mode.
  static ZrvFault Correct();
  ZrvFault Persistent() const;
};

// The random far end: each reply independently is a NAK, another byte, silence or
// a line error with these probabilities, correct otherwise (they add up to at most
// 1). The other byte is never the correct one, nor ACK or NAK where an ACK is due;
// the line error is one of the four kinds, with no reply after it. The same seed
// and the same bytes from the port give the same replies on every platform.
struct RandomReplies {
  uint64_t seed = 1;
  double nak = 0;
  double otherByte = 0;
  double silence = 0;
  double lineError = 0;
};

class ZrvDevice : public FarEnd {
 public:
  static constexpr uint8_t kStatusRequest = 1;
  static constexpr uint8_t kWriteCommand = 2;
  static constexpr uint8_t kReadCommand = 4;
  static constexpr uint8_t kNextByteRequest = 5;
  static constexpr uint8_t kAck = 6;
  static constexpr uint8_t kNak = 21;
  static constexpr unsigned kRecordSize = 30;
  static constexpr unsigned kRecordCount = 931;  // addresses 1..931
  static constexpr unsigned kLocationOffset = 60;
  static constexpr size_t kImageSize = size_t{kRecordSize} * kRecordCount;

  using Record = std::array<uint8_t, kRecordSize>;

  // A byte as it arrived from the port.
  struct ReceivedByte {
    uint8_t value = 0;
    WireParity parity = WireParity::None;
    bool parityViolation = false;  // wrong parity for its place in the exchange

    bool operator==(const ReceivedByte& other) const;
  };

  // A reply the device made (or was made to withhold). `value` is the byte that
  // went out, or the one that was due when nothing went out.
  struct ReplyMade {
    ReplyPoint point;
    ReplyAction action = ReplyAction::Correct;
    uint8_t value = 0;
  };

  ZrvDevice();

  // FarEnd.
  void Attach(LineSide* line) override;
  void ReceiveFromPort(uint8_t value, WireParity parity) override;
  void OutputLinesChanged(bool rts, bool dtr) override;

  // Records by address (1..931; others throw std::out_of_range). All zero at first.
  Record ReadRecord(unsigned address) const;
  void WriteRecord(unsigned address, const Record& record);
  uint8_t Status() const;
  void SetStatus(uint8_t status);

  // All records, address 1 first, 30 bytes each: kImageSize bytes. RestoreImage
  // refuses (false, nothing changed) a buffer of any other size.
  std::vector<uint8_t> SaveImage() const;
  bool RestoreImage(const std::vector<uint8_t>& image);

  // Pulls the cable out (true) or plugs it back in (false). Pulling it drops any
  // exchange under way.
  void Unplug(bool unplugged);
  bool Unplugged() const;

  // Paces every byte the device sends at `perCharacter` after the previous one,
  // e.g. CharacterTime(19200); zero (the default) sends at once.
  void SetPacing(std::chrono::microseconds perCharacter);

  // Sends now what a Stale reply held back (nothing when nothing is held): a reply
  // that comes late, after the host gave up on it but before its next exchange.
  void SendHeldBack();

  // Faults: the first fault whose point matches a reply decides it; a one-shot
  // fault is removed when it fires. Random replies apply where no fault matches.
  void InjectFault(const ReplyPoint& point, const ZrvFault& fault);
  void ClearFaults();
  // Replies an injected fault has decided so far (Correct ones included).
  uint64_t FaultsApplied() const;
  void SetRandomReplies(const RandomReplies& random);
  void StopRandomReplies();

  // What the device has seen and done since construction or ClearLogs: every
  // byte received while plugged in, those of them with the wrong parity, and the
  // replies at reply points (not the NAKs to unknown commands). Each log keeps
  // its first LogLimit entries, so that a device left running for days does not
  // grow without end; the count of parity violations stays exact beyond that.
  std::vector<ReceivedByte> Received() const;
  std::vector<ReceivedByte> ParityViolations() const;
  uint64_t ParityViolationCount() const;
  std::vector<ReplyMade> Replies() const;
  void ClearLogs();
  static constexpr size_t kDefaultLogLimit = size_t{1} << 20;
  void SetLogLimit(size_t entries);

 private:
  enum class Phase : uint8_t { Idle, ReadLocation, ReadRequests, WriteLocation, WriteData };

  // What one call puts on the line, in order; emitted after mutex_ is released.
  struct LineAction {
    enum class Kind : uint8_t { Send, Error, Lines } kind = Kind::Send;
    uint8_t value = 0;
    WireParity parity = WireParity::None;
    bool delayed = false;  // Send: `after` instead of the device's pacing
    std::chrono::microseconds after{0};
    LineError error = LineError::Framing;
    InputLines lines;

    static LineAction Send(uint8_t value, WireParity parity);
    static LineAction Error(LineError error);
    static LineAction Lines(const InputLines& lines);
  };
  struct Outbox {
    static constexpr size_t kNothingHeld = static_cast<size_t>(-1);
    LineSide* line = nullptr;
    std::chrono::microseconds pacing{0};
    std::vector<LineAction> actions;
    // The first action held back by a Stale reply, with everything after it.
    size_t holdFrom = kNothingHeld;
  };
  struct PlacedFault {
    ReplyPoint point;
    ZrvFault fault;
  };

  // Under mutex_.
  void TakeCommand(uint8_t value, Outbox& out);
  void TakeDataByte(uint8_t value, Outbox& out);
  void AnswerRequest(Outbox& out);
  bool MakeReply(const ReplyPoint& point, uint8_t correct, WireParity parity, Outbox& out);
  ZrvFault ChooseReply(const ReplyPoint& point, uint8_t correct);
  uint8_t OtherByteThan(uint8_t correct, bool ackDue);
  double NextUniform();
  InputLines CableLines() const;
  void LogReceived(uint8_t value, WireParity parity, bool violation);
  void EndExchange();
  Outbox StartOutbox() const;

  // Outside mutex_, under emitMutex_.
  static void Emit(const Outbox& out);

  // emitMutex_ keeps the line actions of two calls from interleaving (an unplug
  // from a test thread against a line change from the port's thread); it is held
  // while calling LineSide, and recursive in case the port side calls back in on
  // the same thread. mutex_ guards the state and is never held across LineSide.
  // Under Windows both are slim reader/writer locks: this toolchain's std::mutex
  // makes an event the first time two threads meet on it, a handle that a busy
  // machine brings into being at any moment of a test that counts the process's
  // handles.
#ifdef _WIN32
  using Lock = SrwLock;
  using RecursiveLock = RecursiveSrwLock;
#else
  using Lock = std::mutex;
  using RecursiveLock = std::recursive_mutex;
#endif
  RecursiveLock emitMutex_;
  mutable Lock mutex_;

  LineSide* line_ = nullptr;
  bool rts_ = false;
  bool dtr_ = false;
  bool unplugged_ = false;
  std::chrono::microseconds pacing_{0};

  std::vector<Record> records_;
  uint8_t status_ = 0;

  Phase phase_ = Phase::Idle;
  unsigned count_ = 0;  // bytes of the location block or record taken, requests answered
  std::array<uint8_t, 3> locationBlock_{};
  unsigned address_ = 0;  // of the exchange under way, once its location is accepted
  Record pending_{};      // record bytes of a write under way

  std::vector<PlacedFault> faults_;
  uint64_t faultsApplied_ = 0;
  std::vector<LineAction> stale_;  // held back by Stale, sent ahead of the next answer
  bool random_ = false;
  RandomReplies randomReplies_;
  uint64_t randomState_ = 0;

  std::vector<ReceivedByte> received_;
  std::vector<ReplyMade> replies_;
  uint64_t violations_ = 0;  // since ClearLogs, kept or not
  size_t logLimit_ = kDefaultLogLimit;
};

}  // namespace sim
