#include "fault_option.h"

#include <cctype>
#include <cstdlib>
#include <vector>

namespace linesim {

namespace {

struct NamedReply {
  const char* name;
  sim::Reply reply;
  bool indexed;
};

constexpr NamedReply kReplies[] = {
    {"status-byte", sim::Reply::StatusByte, false},
    {"read-command-ack", sim::Reply::ReadCommandAck, false},
    {"read-location-ack", sim::Reply::ReadLocationAck, false},
    {"read-request-ack", sim::Reply::ReadRequestAck, true},
    {"read-data-byte", sim::Reply::ReadDataByte, true},
    {"write-command-ack", sim::Reply::WriteCommandAck, false},
    {"write-location-ack", sim::Reply::WriteLocationAck, false},
    {"write-record-ack", sim::Reply::WriteRecordAck, false},
};

struct NamedError {
  const char* name;
  sim::LineError error;
};

constexpr NamedError kErrors[] = {
    {"framing", sim::LineError::Framing},
    {"parity", sim::LineError::Parity},
    {"overrun", sim::LineError::Overrun},
    {"break", sim::LineError::Break},
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::optional<unsigned> ParseNumber(const std::string& text, unsigned limit) {
  if (text.empty()) return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    const bool ok = hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                        : std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (!ok) return std::nullopt;
  }
  if (digits.size() > 8) return std::nullopt;
  const unsigned long value = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
  if (value > limit) return std::nullopt;
  return static_cast<unsigned>(value);
}

std::optional<sim::LineError> ParseLineError(const std::string& name) {
  for (const NamedError& named : kErrors) {
    if (name == named.name) return named.error;
  }
  return std::nullopt;
}

std::optional<sim::ZrvFault> ParseAction(const std::string& text, std::string& error) {
  const size_t equals = text.find('=');
  const std::string name = text.substr(0, equals);
  const std::string argument = equals == std::string::npos ? "" : text.substr(equals + 1);
  const bool hasArgument = equals != std::string::npos;

  if (name == "byte") {
    const std::optional<unsigned> value = hasArgument ? ParseByte(argument) : std::nullopt;
    if (!value) {
      error = "byte needs a value 0..255: byte=N";
      return std::nullopt;
    }
    return sim::ZrvFault::Byte(static_cast<uint8_t>(*value));
  }
  if (name == "late") {
    const std::optional<unsigned> ms = hasArgument ? ParseNumber(argument, 60000) : std::nullopt;
    if (!ms) {
      error = "late needs a delay of 0..60000 ms: late=MS";
      return std::nullopt;
    }
    return sim::ZrvFault::Late(std::chrono::milliseconds(*ms));
  }
  if (name == "line-error" || name == "line-error-then-reply") {
    const std::optional<sim::LineError> kind =
        hasArgument ? ParseLineError(argument) : std::nullopt;
    if (!kind) {
      error = name + " needs a kind: framing, parity, overrun or break";
      return std::nullopt;
    }
    return name == "line-error" ? sim::ZrvFault::Error(*kind)
                                : sim::ZrvFault::ErrorThenReply(*kind);
  }
  if (hasArgument) {
    error = "action " + name + " takes no value";
    return std::nullopt;
  }
  if (name == "correct") return sim::ZrvFault::Correct();
  if (name == "nak") return sim::ZrvFault::Nak();
  if (name == "silence") return sim::ZrvFault::Silence();
  if (name == "unplug") return sim::ZrvFault::Unplug();
  error = "unknown action '" + name + "'";
  return std::nullopt;
}

std::optional<sim::ReplyPoint> ParsePoint(const std::string& text, std::string& error) {
  const size_t hash = text.find('#');
  const std::string name = text.substr(0, hash);
  for (const NamedReply& named : kReplies) {
    if (name != named.name) continue;
    sim::ReplyPoint point{named.reply, sim::ReplyPoint::kEveryIndex};
    if (hash == std::string::npos) return point;
    const std::optional<unsigned> index =
        ParseNumber(text.substr(hash + 1), sim::ZrvDevice::kRecordSize - 1);
    if (!named.indexed || !index) {
      error = named.indexed ? "the request index is 0..29" : name + " takes no request index";
      return std::nullopt;
    }
    point.index = static_cast<int>(*index);
    return point;
  }
  error = "unknown reply point '" + name + "'";
  return std::nullopt;
}

}  // namespace

std::optional<unsigned> ParseByte(const std::string& text) { return ParseNumber(text, 255); }

std::optional<FaultOption> ParseFault(const std::string& text, std::string& error) {
  const std::vector<std::string> parts = Split(text, ':');
  if (parts.size() < 2 || parts.size() > 3) {
    error = "a fault is POINT[#INDEX]:ACTION[:persistent]";
    return std::nullopt;
  }
  const std::optional<sim::ReplyPoint> point = ParsePoint(parts[0], error);
  if (!point) return std::nullopt;
  std::optional<sim::ZrvFault> fault = ParseAction(parts[1], error);
  if (!fault) return std::nullopt;
  if (parts.size() == 3) {
    if (parts[2] != "persistent") {
      error = "unknown option '" + parts[2] + "' (only persistent)";
      return std::nullopt;
    }
    fault = fault->Persistent();
  }
  return FaultOption{*point, *fault};
}

}  // namespace linesim
