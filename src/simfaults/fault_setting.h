// The fault a tester switches on for a simulated port, from outside the host's
// process: the simulator DLL reads it at the start of every transaction (the first
// step of the presence check), zrvtool sets, shows and clears it. It lives in
// HKEY_CURRENT_USER\Software\Kwelmora\Simulator\Faults, one REG_SZ value a port,
// named "COM<n>": the fault's name, followed by " always" when it spoils every
// transaction rather than the first one it can. A fault for once is taken away by
// the simulator as soon as it has spoilt a transaction.
#pragma once

#include <windows.h>

#include <string>

namespace simfaults {

enum class Fault : unsigned {
  None,
  Unplugged,        // the cable out: the presence check fails
  Silent,           // the device does not answer the transaction's first byte
  NakCommand,       // NAK to a read's or a write's command byte
  NakLocation,      // NAK to the location block
  NakRecord,        // NAK to the record written, or to a read's first request
  WrongReply,       // another byte in place of the command's ACK
  LateReply,        // the first answer 1.5 s late, past the one-second time-out
  LineError,        // a framing error on the line in place of the first answer
  TransmitterStop,  // the port's transmitter stops: the first byte never leaves
  Vanish,           // the port vanishes, as a USB adapter pulled out
  Count
};

struct FaultSetting {
  Fault fault = Fault::None;
  bool always = false;

  bool operator==(const FaultSetting& other) const {
    return fault == other.fault && always == other.always;
  }
};

// "unplugged", "silent", "nak-command", ... ("none" for Fault::None).
const char* FaultName(Fault fault);
// A name as FaultName gives it (any letter case); false for anything else.
bool ParseFaultName(const std::string& name, Fault* fault);

// "silent", "silent always"; "none".
std::string FormatSetting(const FaultSetting& setting);
// The registry's text back; false (and Fault::None) for text that names no fault.
bool ParseSetting(const std::string& text, FaultSetting* setting);

// The port's fault as the registry holds it: Fault::None when there is none or
// the value names no fault (then `text`, when given, holds the value's text, or
// "(not a fault's name)" for a value of another type or too long to be one).
FaultSetting ReadFault(unsigned port, std::string* text = nullptr);
// Sets the port's fault (Fault::None removes it). ERROR_SUCCESS or the registry's
// error.
LSTATUS WriteFault(unsigned port, const FaultSetting& setting);
// Removes the port's fault if it is still `used`: a tester may have set another
// one meanwhile.
void RemoveUsedFault(unsigned port, const FaultSetting& used);

}  // namespace simfaults
