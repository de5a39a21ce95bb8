#include "zrvtool_lib.h"

#include <windows.h>

#include "adapter_command.h"
#include "fault_command.h"
#include "kwelmora_version.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>

namespace zrvtool {

const char* const kExportNames[5] = {
    "ZainicjowanoPortSzeregowyDlaZRV",
    "OdinicjowanoPortSzeregowyDlaZRV",
    "OdczytanieBajtuStatusuZRV",
    "OdczytanieBajtowZZRV",
    "ZapisanieBajtowDoZRV",
};

const char* ResultCodeMeaning(unsigned code) {
  switch (code) {
    case KWELMORA_OK:
      return "the transaction completed";
    case KWELMORA_NOT_INITIALIZED:
      return "the port has not been opened successfully";
    case KWELMORA_NO_DEVICE:
      return "no device: the presence check failed (device absent, cable unplugged or port "
             "closed)";
    case KWELMORA_SEND_FAILED:
      return "a byte could not be sent";
    case KWELMORA_RECEIVE_FAILED:
      return "a byte did not arrive within the one-second read time-out";
    case KWELMORA_COMMAND_REFUSED:
      return "the device refused the command or a request for the next byte";
    case KWELMORA_LOCATION_REFUSED:
      return "the device refused the location block";
    case KWELMORA_RECORD_REFUSED:
      return "the device refused the 30 bytes written";
    case KWELMORA_BAD_REPLY:
      return "the device answered something other than ACK or NAK";
    case KWELMORA_INVALID_ARGUMENT:
      return "invalid argument: address outside 1..931 or a null pointer";
    default:
      return "unknown result code";
  }
}

std::string DescribeFailure(const std::string& operation, unsigned code) {
  return operation + ": error " + std::to_string(code) + " (" + ResultCodeMeaning(code) + ")";
}

// ---- Arguments -------------------------------------------------------------

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Digits only (decimal, or hex after 0x when allow_hex); at most `max`.
bool ParseNumber(const std::string& text, bool allow_hex, long max, long* value) {
  std::size_t pos = 0;
  int base = 10;
  if (allow_hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    pos = 2;
    base = 16;
  }
  if (pos >= text.size()) return false;
  long result = 0;
  for (; pos < text.size(); ++pos) {
    int digit = base == 16
                    ? HexDigitValue(text[pos])
                    : (std::isdigit(static_cast<unsigned char>(text[pos])) ? text[pos] - '0' : -1);
    if (digit < 0) return false;
    result = result * base + digit;
    if (result > max) return false;
  }
  *value = result;
  return true;
}

bool IsHelpFlag(const std::string& arg) {
  return arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?";
}

ParseResult Fail(std::string error) {
  ParseResult result;
  result.error = std::move(error);
  return result;
}

}  // namespace

bool ParsePort(const std::string& text, int* port) {
  std::string digits = text;
  if (digits.size() > 3 && Lower(digits.substr(0, 3)) == "com") digits = digits.substr(3);
  long value = 0;
  if (!ParseNumber(digits, false, 255, &value)) return false;
  *port = static_cast<int>(value);
  return true;
}

bool ParseAddress(const std::string& text, int* address) {
  long value = 0;
  if (!ParseNumber(text, true, kLastAddress, &value) || value < kFirstAddress) return false;
  *address = static_cast<int>(value);
  return true;
}

namespace {

ParseResult ParseCommand(const std::vector<std::string>& args) {
  if (std::any_of(args.begin(), args.end(), IsHelpFlag)) {
    ParseResult help;
    help.ok = true;
    help.options.command = Command::kHelp;
    return help;
  }
  if (std::find(args.begin(), args.end(), "--version") != args.end()) {
    ParseResult version;
    version.ok = true;
    version.options.command = Command::kVersion;
    return version;
  }
  if (args.empty()) return Fail("no port and command given");
  if (args.size() < 2) return Fail("no command given after the port");

  ParseResult result;
  Options& options = result.options;
  if (!ParsePort(args[0], &options.port)) {
    return Fail("bad port '" + args[0] + "' (COMn or a number, 0..255)");
  }
  const std::string command = Lower(args[1]);
  const std::vector<std::string> rest(args.begin() + 2, args.end());
  auto address_at = [&rest](std::size_t index, int* address, const char* what) -> std::string {
    if (!ParseAddress(rest[index], address)) {
      return std::string("bad ") + what + " '" + rest[index] + "' (1..931, decimal or 0x hex)";
    }
    return "";
  };
  std::string error;

  if (command == "status") {
    options.command = Command::kStatus;
    if (!rest.empty()) return Fail("status takes no arguments");
  } else if (command == "read") {
    options.command = Command::kRead;
    if (rest.size() != 1) return Fail("read takes one address");
    error = address_at(0, &options.address, "address");
  } else if (command == "write") {
    options.command = Command::kWrite;
    if (rest.size() < 2) return Fail("write takes an address and 60 hex digits or --file F");
    error = address_at(0, &options.address, "address");
    if (error.empty() && rest[1] == "--file") {
      if (rest.size() != 3) return Fail("--file takes one file name");
      options.data_file = rest[2];
    } else if (error.empty()) {
      std::string hex;
      for (std::size_t i = 1; i < rest.size(); ++i) hex += rest[i] + " ";
      if (!ParseHexRecord(hex, &options.data, &error)) error = "bad record data: " + error;
    }
  } else if (command == "dump") {
    options.command = Command::kDump;
    if (rest.empty() || rest.size() > 3) return Fail("dump takes FILE [FIRST [LAST]]");
    options.image_file = rest[0];
    if (rest.size() > 1) error = address_at(1, &options.first, "first address");
    if (error.empty() && rest.size() > 2) error = address_at(2, &options.last, "last address");
    if (error.empty() && options.first > options.last) {
      error = "first address " + std::to_string(options.first) + " is above last address " +
              std::to_string(options.last);
    }
  } else if (command == "restore") {
    options.command = Command::kRestore;
    if (rest.size() != 1) return Fail("restore takes one image file");
    options.image_file = rest[0];
  } else if (command == "adapter") {
    options.command = Command::kAdapter;
    if (rest.empty()) {
      // Reports what is behind the port.
    } else if (rest.size() == 2 && rest[0] == "--set-latency") {
      long latency = 0;
      if (!ParseNumber(rest[1], false, 255, &latency) || latency < 1) {
        return Fail("bad latency '" + rest[1] + "' (1..255 ms)");
      }
      options.set_latency = static_cast<int>(latency);
    } else {
      return Fail("adapter takes nothing, or --set-latency N (1..255 ms)");
    }
  } else if (command == "fault") {
    options.command = Command::kFault;
    if (rest.size() > 2 || (rest.size() == 2 && rest[1] != "always") ||
        (!rest.empty() && !simfaults::ParseFaultName(rest[0], &options.fault.fault))) {
      return Fail("fault takes nothing, or a fault's name and then 'always' (see --help)");
    }
    options.set_fault = !rest.empty();
    options.fault.always = rest.size() == 2 && options.fault.fault != simfaults::Fault::None;
  } else if (command == "verify") {
    options.command = Command::kVerify;
    if (rest.empty() || rest.size() > 2) return Fail("verify takes FILE [FIRST]");
    options.image_file = rest[0];
    if (rest.size() > 1) error = address_at(1, &options.first, "first address");
  } else {
    return Fail("unknown command '" + args[1] + "'");
  }
  if (!error.empty()) return Fail(error);
  result.ok = true;
  return result;
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& given) {
  // --trace FILE may stand anywhere; the rest is parsed without it.
  std::vector<std::string> args;
  bool trace = false;
  std::string trace_file;
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (given[i] != "--trace") {
      args.push_back(given[i]);
    } else if (i + 1 < given.size()) {
      trace = true;
      trace_file = given[++i];
    } else {
      return Fail("--trace takes a file name");
    }
  }
  ParseResult result = ParseCommand(args);
  result.options.trace = trace;
  result.options.trace_file = trace_file;
  return result;
}

std::string HelpText() {
  return "Usage: zrvtool PORT COMMAND [ARGUMENTS] [--trace FILE]\n"
         "       zrvtool --help | --version\n"
         "Talks to a ZRV device on a serial port through Kwelmora.dll, which must be in\n"
         "the same folder as zrvtool.exe. --version prints the tool's version and that\n"
         "of the Kwelmora.dll it loads, with the DLL's path.\n"
         "\n"
         "PORT is COMn or a bare number n, 0..255. ADDR is a record address 1..931,\n"
         "decimal or hex with a 0x prefix. A record is 30 bytes.\n"
         "\n"
         "Commands:\n"
         "  status                    print the device's status byte\n"
         "  read ADDR                 print record ADDR as hex and as text ('.' for\n"
         "                            bytes that are not printable)\n"
         "  write ADDR HEX            write 60 hex digits to record ADDR; blanks may\n"
         "                            separate the bytes (the hex line of 'read' fits)\n"
         "  write ADDR --file F       write the 30 bytes of file F to record ADDR\n"
         "  dump FILE [FIRST [LAST]]  read records FIRST..LAST (default 1..931) into an\n"
         "                            image file; LAST defaults to 931\n"
         "  restore FILE              write every record of a full image, read each one\n"
         "                            back and compare\n"
         "  verify FILE [FIRST]       read the records an image holds and report those\n"
         "                            that differ; FIRST is the address of the file's\n"
         "                            first record (default 1)\n"
         "  adapter                   show what is behind the port (a native port, a\n"
         "                            USB-serial adapter) and, for an FTDI adapter, its\n"
         "                            latency timer and what it costs a record read and\n"
         "                            a dump; needs no device and no Kwelmora.dll\n"
         "  adapter --set-latency N   set an FTDI adapter's latency timer to N ms\n"
         "                            (1..255; 1 or 2 suits this device); run as\n"
         "                            administrator, then unplug and replug the adapter\n"
         "                            or re-open the port\n"
         "  fault                     show the fault set for the simulator DLL's device\n"
         "                            on the port; the simulator reads it at the start\n"
         "                            of every transaction; needs no device and no\n"
         "                            Kwelmora.dll\n"
         "  fault NAME [always]       set it, for the next transaction it can spoil or\n"
         "                            with 'always' for every one: unplugged, silent,\n"
         "                            nak-command, nak-location, nak-record,\n"
         "                            wrong-reply, late-reply, line-error,\n"
         "                            transmitter-stop, vanish; 'none' clears it\n"
         "\n"
         "Image files: raw records of 30 bytes in address order, nothing else. A full\n"
         "image holds records 1..931: 27930 bytes, record n at offset (n-1)*30. A dump of\n"
         "FIRST..LAST holds just those records (record n at offset (n-FIRST)*30); it is\n"
         "written only when every record was read. restore takes full images only.\n"
         "\n"
         "dump, restore and verify show their progress on stderr. Ctrl+C stops after the\n"
         "current record; the port is closed in every case.\n"
         "\n"
         "--trace FILE makes Kwelmora.dll append a diagnostic trace to FILE: every call,\n"
         "every byte on the line with its parity, every failure (it sets KWELMORA_TRACE;\n"
         "an empty FILE switches a trace set elsewhere off).\n"
         "\n"
         "Exit status: 0 when everything asked was done, 1 when the port could not be\n"
         "opened, a device operation failed, verification found differences, the\n"
         "command was interrupted, or the registry had no node for the port or refused\n"
         "a value, 2 for usage errors (bad arguments, unusable file, Kwelmora.dll or one\n"
         "of its exports missing).\n"
         "\n"
         "Device result codes:\n" +
         [] {
           std::string table;
           for (unsigned code = 1; code <= 9; ++code) {
             table += "  " + std::to_string(code) + "  " + ResultCodeMeaning(code) + "\n";
           }
           return table;
         }();
}

// ---- Records as text -------------------------------------------------------

bool ParseHexRecord(const std::string& text, Record* record, std::string* error) {
  std::vector<std::uint8_t> bytes;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (std::isspace(static_cast<unsigned char>(text[pos]))) {
      ++pos;
      continue;
    }
    std::size_t end = pos;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    const std::string group = text.substr(pos, end - pos);
    for (char c : group) {
      if (HexDigitValue(c) < 0) {
        *error = "'" + group + "' is not hex";
        return false;
      }
    }
    if (group.size() % 2 != 0) {
      *error = "'" + group + "' has an odd number of hex digits";
      return false;
    }
    for (std::size_t i = 0; i < group.size(); i += 2) {
      bytes.push_back(
          static_cast<std::uint8_t>(HexDigitValue(group[i]) * 16 + HexDigitValue(group[i + 1])));
    }
    pos = end;
  }
  if (bytes.size() != static_cast<std::size_t>(kRecordSize)) {
    *error = std::to_string(bytes.size()) + " bytes given, a record is 30 (60 hex digits)";
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), record->begin());
  return true;
}

std::string FormatHex(const Record& record) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < record.size(); ++i) {
    if (i > 0) text += ' ';
    text += kDigits[record[i] >> 4];
    text += kDigits[record[i] & 0x0F];
  }
  return text;
}

std::string FormatText(const Record& record) {
  std::string text;
  for (std::uint8_t byte : record) {
    text += (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
  }
  return text;
}

// ---- Files -----------------------------------------------------------------

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot open '" + path + "'";
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  return true;
}

bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes,
                    std::string* error) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) {
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
  }
  if (!file) {
    *error = "cannot write '" + path + "'";
    return false;
  }
  return true;
}

// ---- Progress --------------------------------------------------------------

std::string FormatDuration(double seconds) {
  long total = seconds > 0 ? static_cast<long>(seconds + 0.5) : 0;
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

std::string FormatProgressLine(const std::string& label, int done, int total,
                               double elapsed_seconds) {
  constexpr int kBarWidth = 24;
  const int filled = total > 0 ? done * kBarWidth / total : kBarWidth;
  const int percent = total > 0 ? done * 100 / total : 100;
  const int width = static_cast<int>(std::to_string(total).size());
  const bool rate_known = done > 0 && elapsed_seconds > 0;
  const double rate = rate_known ? done / elapsed_seconds : 0;

  char counts[64];
  std::snprintf(counts, sizeof counts, "  %*d/%d  %3d%%  ", width, done, total, percent);
  char rate_text[32];
  if (rate_known) {
    std::snprintf(rate_text, sizeof rate_text, "%.1f rec/s  ", rate);
  } else {
    std::snprintf(rate_text, sizeof rate_text, "-- rec/s  ");
  }
  std::string line = label + " [" + std::string(filled, '#') +
                     std::string(kBarWidth - filled, '-') + "]" + counts + rate_text;
  if (done >= total) {
    line += "done in " + FormatDuration(elapsed_seconds);
  } else if (rate_known) {
    line += FormatDuration((total - done) / rate) + " left";
  } else {
    line += "--:-- left";
  }
  return line;
}

Progress::Progress(std::ostream& err, bool redraw, std::function<double()> clock, std::string label,
                   int total)
    : err_(err),
      redraw_(redraw),
      clock_(std::move(clock)),
      label_(std::move(label)),
      total_(total),
      start_(clock_()) {}

void Progress::Update(int done) {
  const std::string line = FormatProgressLine(label_, done, total_, clock_() - start_);
  if (redraw_) {
    err_ << '\r' << line;
    if (line.size() < last_length_) err_ << std::string(last_length_ - line.size(), ' ');
    last_length_ = line.size();
    line_open_ = done < total_;
    if (!line_open_) err_ << '\n';
  } else if (done >= total_ ||
             static_cast<long>(done) * 10 >= static_cast<long>(next_tenth_) * total_) {
    err_ << line << '\n';
    next_tenth_ = static_cast<int>(static_cast<long>(done) * 10 / total_) + 1;
  }
  err_.flush();
}

void Progress::Break() {
  if (line_open_) {
    err_ << '\n';
    line_open_ = false;
    last_length_ = 0;
  }
}

// ---- Running a command -----------------------------------------------------

void PumpSentMessages() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

double SteadyClockSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

namespace {

// The port, open for one command. Every export call goes through here so that sent
// messages (the DLL's line events) are retrieved after each one.
class Session {
 public:
  explicit Session(const RunContext& context) : context_(context) {}
  ~Session() {
    if (opened_) {
      context_.device.close_port();
      context_.after_call();
    }
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool Open(int port) {
    // Opened or not, the port is closed at the end: a refused opening may leave the
    // DLL's port object behind.
    opened_ = true;
    const bool ok = context_.device.open_port(static_cast<unsigned char>(port)) != 0;
    context_.after_call();
    return ok;
  }
  unsigned Status(unsigned char* status) { return Done(context_.device.read_status(status)); }
  unsigned Read(int address, Record* record) {
    return Done(context_.device.read_record(static_cast<unsigned short>(address), record->data()));
  }
  unsigned Write(int address, const Record& record) {
    return Done(context_.device.write_record(static_cast<unsigned short>(address), record.data()));
  }

 private:
  unsigned Done(unsigned char code) {
    context_.after_call();
    return code;
  }
  const RunContext& context_;
  bool opened_ = false;
};

Record RecordAt(const std::vector<std::uint8_t>& image, int index) {
  Record record;
  std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(index) * kRecordSize, kRecordSize,
              record.begin());
  return record;
}

std::string Differences(const Record& device, const Record& file) {
  int count = 0;
  int first = -1;
  for (int i = 0; i < kRecordSize; ++i) {
    if (device[i] != file[i]) {
      if (first < 0) first = i;
      ++count;
    }
  }
  return std::to_string(count) + " of 30 bytes, first at byte " + std::to_string(first) +
         ": device " + FormatHex(device) + ", file " + FormatHex(file);
}

class Runner {
 public:
  Runner(const Options& options, const RunContext& context)
      : options_(options), context_(context), out_(*context.out), err_(*context.err) {}

  int Run() {
    // Files first: a file problem is a usage error and the port stays untouched.
    if (!PrepareFiles()) return kExitUsage;
    const int status = RunOnDevice();
    if (options_.command == Command::kDump && status != kExitOk) {
      // Only complete images are left behind. An older file of that name stays as it
      // was, unless writing the new image over it was what failed.
      if (!dump_file_existed_) std::remove(options_.image_file.c_str());
      err_ << "dump: '" << options_.image_file << "' not written\n";
    }
    return status;
  }

 private:
  int RunOnDevice() {
    Session session(context_);
    if (!session.Open(options_.port)) {
      err_ << "COM" << options_.port << ": the port could not be opened\n";
      return kExitFailed;
    }
    switch (options_.command) {
      case Command::kStatus:
        return Status(session);
      case Command::kRead:
        return Read(session);
      case Command::kWrite:
        return Write(session);
      case Command::kDump:
        return Dump(session);
      case Command::kRestore:
        return Restore(session);
      case Command::kVerify:
        return Verify(session);
      case Command::kAdapter:
      case Command::kFault:
      case Command::kHelp:
      case Command::kVersion:
        break;
    }
    return kExitUsage;
  }

  bool PrepareFiles() {
    std::string error;
    switch (options_.command) {
      case Command::kWrite:
        if (options_.data_file.empty()) return true;
        if (!ReadFileBytes(options_.data_file, &image_, &error)) return UsageError(error);
        if (image_.size() != static_cast<std::size_t>(kRecordSize)) {
          return UsageError("'" + options_.data_file + "' holds " + std::to_string(image_.size()) +
                            " bytes, a record is exactly 30");
        }
        return true;
      case Command::kRestore:
        if (!ReadFileBytes(options_.image_file, &image_, &error)) return UsageError(error);
        if (image_.size() != static_cast<std::size_t>(kFullImageSize)) {
          return UsageError("'" + options_.image_file + "' holds " + std::to_string(image_.size()) +
                            " bytes; restore takes a full image of 27930 bytes");
        }
        return true;
      case Command::kVerify: {
        if (!ReadFileBytes(options_.image_file, &image_, &error)) return UsageError(error);
        const std::size_t records = image_.size() / kRecordSize;
        if (image_.empty() || image_.size() % kRecordSize != 0 ||
            options_.first + static_cast<long>(records) - 1 > kLastAddress) {
          return UsageError("'" + options_.image_file + "' holds " + std::to_string(image_.size()) +
                            " bytes: not whole 30-byte records that fit from address " +
                            std::to_string(options_.first) + " to 931");
        }
        return true;
      }
      case Command::kDump: {
        // Opened now, without truncating, so that an unwritable path fails before the
        // device is touched; the image itself is written once every record was read.
        dump_file_existed_ = std::ifstream(options_.image_file, std::ios::binary).good();
        std::ofstream probe(options_.image_file, std::ios::binary | std::ios::app);
        if (!probe) return UsageError("cannot write '" + options_.image_file + "'");
        return true;
      }
      default:
        return true;
    }
  }

  bool UsageError(const std::string& message) {
    err_ << "zrvtool: " << message << "\n";
    return false;
  }

  int DeviceFailure(const std::string& operation, unsigned code) {
    err_ << DescribeFailure(operation, code) << "\n";
    return kExitFailed;
  }

  // One record read for dump, restore or verify: kExitOk, or the failure reported
  // below the progress line.
  int ReadRecord(Session& session, Progress& progress, int address, Record* record) {
    const unsigned code = session.Read(address, record);
    if (code == KWELMORA_OK) return kExitOk;
    progress.Break();
    return DeviceFailure("read " + std::to_string(address), code);
  }

  // Reports a record the device holds differently from the image; true if it does.
  bool Differs(Progress& progress, int address, const Record& device, const Record& image,
               const char* how) {
    if (device == image) return false;
    progress.Break();
    out_ << "record " << address << " " << how << " (" << Differences(device, image) << ")\n";
    return true;
  }

  bool Interrupted(Progress& progress, int done, int total) {
    if (context_.stop == nullptr || !context_.stop->load()) return false;
    progress.Break();
    err_ << "interrupted after " << done << " of " << total << " records\n";
    return true;
  }

  int Status(Session& session) {
    unsigned char status = 0;
    const unsigned code = session.Status(&status);
    if (code != KWELMORA_OK) return DeviceFailure("status", code);
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", status);
    out_ << "status " << text << " (" << static_cast<unsigned>(status) << ")\n";
    return kExitOk;
  }

  int Read(Session& session) {
    Record record{};
    const unsigned code = session.Read(options_.address, &record);
    if (code != KWELMORA_OK) return DeviceFailure("read " + std::to_string(options_.address), code);
    out_ << "record " << options_.address << "\n"
         << "hex  " << FormatHex(record) << "\n"
         << "text " << FormatText(record) << "\n";
    return kExitOk;
  }

  int Write(Session& session) {
    const Record record = options_.data_file.empty() ? options_.data : RecordAt(image_, 0);
    const unsigned code = session.Write(options_.address, record);
    if (code != KWELMORA_OK) {
      return DeviceFailure("write " + std::to_string(options_.address), code);
    }
    out_ << "record " << options_.address << " written\n";
    return kExitOk;
  }

  int Dump(Session& session) {
    const int total = options_.last - options_.first + 1;
    std::vector<std::uint8_t> image;
    image.reserve(static_cast<std::size_t>(total) * kRecordSize);
    Progress progress(err_, context_.err_is_console, context_.clock, "dump", total);
    for (int done = 0; done < total; ++done) {
      if (Interrupted(progress, done, total)) return kExitFailed;
      const int address = options_.first + done;
      Record record{};
      if (const int failed = ReadRecord(session, progress, address, &record)) return failed;
      image.insert(image.end(), record.begin(), record.end());
      progress.Update(done + 1);
    }
    std::string error;
    if (!WriteFileBytes(options_.image_file, image, &error)) {
      err_ << "zrvtool: " << error << "\n";
      return kExitFailed;
    }
    out_ << "dump: records " << options_.first << ".." << options_.last << " (" << image.size()
         << " bytes) written to '" << options_.image_file << "'\n";
    return kExitOk;
  }

  int Restore(Session& session) {
    Progress progress(err_, context_.err_is_console, context_.clock, "restore", kRecordCount);
    int differing = 0;
    for (int done = 0; done < kRecordCount; ++done) {
      if (Interrupted(progress, done, kRecordCount)) return kExitFailed;
      const int address = kFirstAddress + done;
      const Record wanted = RecordAt(image_, done);
      const unsigned code = session.Write(address, wanted);
      if (code != KWELMORA_OK) {
        progress.Break();
        return DeviceFailure("write " + std::to_string(address), code);
      }
      Record back{};
      if (const int failed = ReadRecord(session, progress, address, &back)) return failed;
      if (Differs(progress, address, back, wanted, "reads back differently")) ++differing;
      progress.Update(done + 1);
    }
    if (differing > 0) {
      out_ << "restore: " << differing << " of " << kRecordCount
           << " records read back differently\n";
      return kExitFailed;
    }
    out_ << "restore: " << kRecordCount << " records written and verified\n";
    return kExitOk;
  }

  int Verify(Session& session) {
    const int total = static_cast<int>(image_.size() / kRecordSize);
    const int last = options_.first + total - 1;
    Progress progress(err_, context_.err_is_console, context_.clock, "verify", total);
    int differing = 0;
    for (int done = 0; done < total; ++done) {
      if (Interrupted(progress, done, total)) return kExitFailed;
      const int address = options_.first + done;
      Record record{};
      if (const int failed = ReadRecord(session, progress, address, &record)) return failed;
      if (Differs(progress, address, record, RecordAt(image_, done), "differs")) ++differing;
      progress.Update(done + 1);
    }
    if (differing > 0) {
      out_ << "verify: " << differing << " of " << total << " records (" << options_.first << ".."
           << last << ") differ\n";
      return kExitFailed;
    }
    out_ << "verify: all " << total << " records (" << options_.first << ".." << last
         << ") match\n";
    return kExitOk;
  }

  const Options& options_;
  const RunContext& context_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<std::uint8_t> image_;  // restore, verify; write --file: the one record
  bool dump_file_existed_ = false;
};

}  // namespace

int RunCommand(const Options& options, const RunContext& context) {
  if (options.command == Command::kAdapter) {
    return RunAdapterCommand(options, *context.out, *context.err);
  }
  if (options.command == Command::kFault) {
    return RunFaultCommand(options, *context.out, *context.err);
  }
  return Runner(options, context).Run();
}

std::string VersionText(const LibraryVersion& library) {
  return "zrvtool " KWELMORA_VERSION_STRING "\nKwelmora.dll " +
         (library.version.empty() ? std::string("without a version resource") : library.version) +
         (library.simulator ? " simulator" : "") + " (" + library.path + ")\n";
}

int Main(const std::vector<std::string>& args, RunContext context,
         const std::function<bool(DeviceApi*)>& load_device,
         const std::function<bool(LibraryVersion*)>& describe_library) {
  const ParseResult parsed = ParseArguments(args);
  if (!parsed.ok) {
    *context.err << "zrvtool: " << parsed.error << "\n"
                 << "Run 'zrvtool --help' for usage.\n";
    return kExitUsage;
  }
  if (parsed.options.command == Command::kHelp) {
    *context.out << HelpText();
    return kExitOk;
  }
  if (parsed.options.trace) {
    SetEnvironmentVariableA(kTraceVariable, parsed.options.trace_file.c_str());
  }
  if (parsed.options.command == Command::kVersion) {
    LibraryVersion library;
    if (!describe_library(&library)) {
      *context.out << "zrvtool " KWELMORA_VERSION_STRING "\n";
      return kExitUsage;
    }
    *context.out << VersionText(library);
    return kExitOk;
  }
  // The registry alone: no device, no DLL.
  if (parsed.options.command == Command::kAdapter || parsed.options.command == Command::kFault) {
    return RunCommand(parsed.options, context);
  }
  if (!load_device(&context.device)) return kExitUsage;
  return RunCommand(parsed.options, context);
}

}  // namespace zrvtool
