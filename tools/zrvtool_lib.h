// zrvtool's logic: arguments, hex text, image files, the progress line and the
// commands themselves. The device is reached only through DeviceApi, which main.cpp
// fills from Kwelmora.dll and the tests from an in-memory fake.
#ifndef KWELMORA_TOOLS_ZRVTOOL_LIB_H
#define KWELMORA_TOOLS_ZRVTOOL_LIB_H

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "kwelmora.h"
#include "simfaults/fault_setting.h"

namespace zrvtool {

constexpr int kRecordSize = KWELMORA_RECORD_SIZE;
constexpr int kFirstAddress = KWELMORA_FIRST_ADDRESS;
constexpr int kLastAddress = KWELMORA_LAST_ADDRESS;
constexpr int kRecordCount = kLastAddress - kFirstAddress + 1;
constexpr int kFullImageSize = kRecordCount * kRecordSize;

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // port not opened, device operation failed, differences
                                // found, image not written, interrupted, or the registry
                                // had no node for the port or refused a value
constexpr int kExitUsage = 2;   // bad arguments, unusable file, DLL or export missing

using Record = std::array<std::uint8_t, kRecordSize>;

// The five exports of Kwelmora.dll, with their signatures.
struct DeviceApi {
  unsigned char(KWELMORA_CALL* open_port)(unsigned char port_number);
  unsigned char(KWELMORA_CALL* close_port)();
  unsigned char(KWELMORA_CALL* read_status)(unsigned char* status);
  unsigned char(KWELMORA_CALL* read_record)(unsigned short address, unsigned char* buffer);
  unsigned char(KWELMORA_CALL* write_record)(unsigned short address, const unsigned char* data);
};

// The names under which Kwelmora.dll exports them, in DeviceApi's order.
extern const char* const kExportNames[5];

// Meaning of a transfer export's result code, as the README's table words it.
const char* ResultCodeMeaning(unsigned code);

// "read 17: error 6 (the device refused the location block)"
std::string DescribeFailure(const std::string& operation, unsigned code);

// ---- Arguments -------------------------------------------------------------

enum class Command {
  kHelp,
  kVersion,
  kStatus,
  kRead,
  kWrite,
  kDump,
  kRestore,
  kVerify,
  kAdapter,
  kFault
};

struct Options {
  Command command = Command::kHelp;
  int port = 0;
  int address = 0;  // read, write
  Record data{};    // write, unless data_file is set
  std::string data_file;
  std::string image_file;     // dump, restore, verify
  int first = kFirstAddress;  // dump; verify: address of the file's first record
  int last = kLastAddress;    // dump
  int set_latency = 0;        // adapter --set-latency N (1..255); 0: report only
  bool set_fault = false;     // fault NAME [always]; without them the fault is shown
  simfaults::FaultSetting fault;
  // --trace FILE (anywhere on the command line): the DLL traces into FILE.
  bool trace = false;
  std::string trace_file;
};

// The environment variable through which --trace reaches the DLL: Kwelmora.dll reads
// it at every opening of the port.
constexpr char kTraceVariable[] = "KWELMORA_TRACE";

struct ParseResult {
  bool ok = false;
  Options options;
  std::string error;  // when !ok
};

// args excludes the program name.
ParseResult ParseArguments(const std::vector<std::string>& args);

// "COM3", "com3" or "3"; 0..255.
bool ParsePort(const std::string& text, int* port);
// Decimal, or hex with a 0x prefix; 1..931.
bool ParseAddress(const std::string& text, int* address);

std::string HelpText();

// ---- Versions --------------------------------------------------------------

// The Kwelmora.dll that was loaded: where it is and what its version resource says.
struct LibraryVersion {
  std::string path;
  std::string version;     // "x.y.z"; empty when the DLL carries no version resource
  bool simulator = false;  // its description says it is the simulator DLL
};

// "zrvtool 0.1.0\nKwelmora.dll 0.1.0 (C:\\tools\\Kwelmora.dll)\n"
std::string VersionText(const LibraryVersion& library);

// ---- Records as text -------------------------------------------------------

// 60 hex digits, either case; blanks may separate bytes (not split them).
bool ParseHexRecord(const std::string& text, Record* record, std::string* error);
// "41 42 0A ..." : upper case, one blank between bytes; ParseHexRecord reads it back.
std::string FormatHex(const Record& record);
// Printable ASCII as is, everything else as '.'.
std::string FormatText(const Record& record);

// ---- Files -----------------------------------------------------------------

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error);
bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes,
                    std::string* error);

// ---- Progress --------------------------------------------------------------

// "dump [########------------]  372/931  40%  24.8 rec/s  0:22 left"; once done == total
// the time left gives way to "done in m:ss".
std::string FormatProgressLine(const std::string& label, int done, int total,
                               double elapsed_seconds);
// "0:07", "12:34", "1:02:03".
std::string FormatDuration(double seconds);

// Shows the progress of a long command on a stream. On a console the line is redrawn in
// place after every record; elsewhere (a log, a pipe) a line is written every tenth.
class Progress {
 public:
  Progress(std::ostream& err, bool redraw, std::function<double()> clock, std::string label,
           int total);
  void Update(int done);
  // Ends a line being redrawn, so that another message starts on a line of its own.
  void Break();

 private:
  std::ostream& err_;
  bool redraw_;
  std::function<double()> clock_;
  std::string label_;
  int total_;
  double start_;
  int next_tenth_ = 1;
  bool line_open_ = false;
  std::size_t last_length_ = 0;
};

// ---- Running a command -----------------------------------------------------

// Retrieves sent messages for this thread, which handles the DLL's line events.
void PumpSentMessages();

// Seconds on a monotonic clock.
double SteadyClockSeconds();

struct RunContext {
  DeviceApi device{};
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool err_is_console = false;
  std::function<double()> clock = SteadyClockSeconds;
  // Set (by the Ctrl+C handler) to stop after the current record.
  const std::atomic<bool>* stop = nullptr;
  // Called after every export call.
  void (*after_call)() = PumpSentMessages;
};

// Runs a parsed command (not kHelp) against the device and answers the exit status. The
// port is closed again before returning whenever it was opened. kAdapter reads (and
// writes) the registry only.
int RunCommand(const Options& options, const RunContext& context);

// Parses, prints help, the versions or a usage error, sets kTraceVariable for --trace,
// and runs: the whole program but loading the DLL. load_device is called only when a
// command needs the device; it fills *device or prints why it cannot and answers false.
// describe_library is called only for --version; it loads the DLL and fills *library,
// or prints why it cannot and answers false.
int Main(const std::vector<std::string>& args, RunContext context,
         const std::function<bool(DeviceApi*)>& load_device,
         const std::function<bool(LibraryVersion*)>& describe_library);

}  // namespace zrvtool

#endif  // KWELMORA_TOOLS_ZRVTOOL_LIB_H
