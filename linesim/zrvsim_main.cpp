// zrvsim: serves the ZRV device model on a pseudo-terminal that a Wine prefix
// sees as a COM port. See README.md ("zrvsim and the demo") and line_sim.h.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "control_server.h"
#include "fault_option.h"
#include "line_sim.h"

namespace {

constexpr char kUsage[] =
    "usage: zrvsim [--prefix WINEPREFIX --com N] [--image FILE] [--status BYTE]\n"
    "              [--fault POINT[#I]:ACTION[:persistent]]... [--unplugged] [--pace]\n"
    "              [--adapter MS]\n"
    "              [--control SOCKET] [--cable SOCKET] [--ready-file FILE]\n"
    "       zrvsim ctl SOCKET COMMAND [ARGUMENT]...\n"
    "\n"
    "Serves a ZRV device on a new pty. --prefix/--com link $WINEPREFIX/dosdevices/comN\n"
    "to it. Processes that open the port need LD_PRELOAD=libzrvline.so with the\n"
    "ZRVLINE_PTY and ZRVLINE_CABLE values written to the ready file.\n"
    "--adapter MS puts a USB-serial adapter with a latency timer of MS (0..255, 0: none)\n"
    "between the device and the port: its replies reach the port when the timer fires\n"
    "or 62 bytes are held.\n"
    "Control commands: fault POINT:ACTION, clear, unplug 0|1, pace 0|1, adapter MS,\n"
    "status BYTE, log, clearlog, stats, lines, record ADDR [HEX60], vanish (the pty closes\n"
    "under the host, as a port whose adapter is pulled out), quit.\n";

struct Options {
  linesim::LineSimOptions line;
  std::string prefix;
  int com = -1;
  std::string readyFile;
};

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "zrvsim: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) UsageError(option + " needs a value");
      return argv[++i];
    };
    if (option == "--prefix") {
      options.prefix = value();
    } else if (option == "--com") {
      const std::string text = value();
      char* end = nullptr;
      const long number = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || number < 1 || number > 255) {
        UsageError("--com takes 1..255");
      }
      options.com = static_cast<int>(number);
    } else if (option == "--image") {
      options.line.imageFile = value();
    } else if (option == "--status") {
      const std::optional<unsigned> status = linesim::ParseByte(value());
      if (!status) UsageError("--status takes a byte 0..255");
      options.line.status = static_cast<uint8_t>(*status);
    } else if (option == "--fault") {
      std::string error;
      const std::optional<linesim::FaultOption> fault = linesim::ParseFault(value(), error);
      if (!fault) UsageError("--fault: " + error);
      options.line.faults.push_back(*fault);
    } else if (option == "--unplugged") {
      options.line.unplugged = true;
    } else if (option == "--pace") {
      options.line.pace = true;
    } else if (option == "--adapter") {
      const std::optional<unsigned> latency = linesim::ParseByte(value());
      if (!latency) UsageError("--adapter takes a latency timer of 0..255 ms");
      options.line.adapterLatencyMs = *latency;
    } else if (option == "--control") {
      options.line.controlSocket = value();
    } else if (option == "--cable") {
      options.line.cableSocket = value();
    } else if (option == "--ready-file") {
      options.readyFile = value();
    } else if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      UsageError("unknown option " + option);
    }
  }
  if (options.prefix.empty() != (options.com < 0)) UsageError("--prefix and --com go together");
  if (options.line.cableSocket.empty()) {
    options.line.cableSocket = "/tmp/zrvsim-" + std::to_string(getpid()) + ".cable";
  }
  return options;
}

// `zrvsim ctl SOCKET COMMAND...`: one control command; prints the answer
// without its closing "ok"; exit 0 when the answer was ok.
int RunControlClient(int argc, char** argv) {
  if (argc < 4) UsageError("ctl needs a socket and a command");
  std::string command = argv[3];
  for (int i = 4; i < argc; ++i) command += std::string(" ") + argv[i];
  std::string answer;
  if (!linesim::SendControlCommand(argv[2], command, answer, 10000)) {
    std::fprintf(stderr, "zrvsim ctl: no answer from %s\n", argv[2]);
    return 1;
  }
  const size_t lastStart = answer.rfind('\n', answer.size() - 2);
  const std::string body = lastStart == std::string::npos ? "" : answer.substr(0, lastStart + 1);
  const std::string last = answer.substr(lastStart == std::string::npos ? 0 : lastStart + 1);
  std::fputs(body.c_str(), stdout);
  if (last != "ok\n") {
    std::fputs(last.c_str(), stderr);
    return 1;
  }
  return 0;
}

// Points $WINEPREFIX/dosdevices/comN at the pty slave, replacing what was there
// in one step (a new link renamed over the old one).
std::string LinkComPort(const Options& options, const std::string& slave) {
  const std::string link = options.prefix + "/dosdevices/com" + std::to_string(options.com);
  const std::string temporary = link + ".zrvsim-" + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(slave.c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), link.c_str()) != 0) {
    throw std::runtime_error("cannot link " + link + ": " + std::strerror(errno));
  }
  return link;
}

void UnlinkComPort(const std::string& link, const std::string& slave) {
  char target[256];
  const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  if (length < 0) return;
  target[length] = '\0';
  if (slave == target) unlink(link.c_str());  // only our own link: a newer zrvsim may own it
}

void WriteReadyFile(const Options& options, const std::string& slave) {
  const std::string temporary = options.readyFile + ".tmp";
  {
    std::ofstream file(temporary, std::ios::trunc);
    file << "ZRVLINE_PTY=" << slave << "\n";
    file << "ZRVLINE_CABLE=" << options.line.cableSocket << "\n";
    file << "ZRVSIM_CONTROL=" << options.line.controlSocket << "\n";
    file << "ZRVSIM_PID=" << getpid() << "\n";
    if (!file.flush()) throw std::runtime_error("cannot write " + temporary);
  }
  if (rename(temporary.c_str(), options.readyFile.c_str()) != 0) {
    throw std::runtime_error("cannot write " + options.readyFile + ": " + std::strerror(errno));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "ctl") return RunControlClient(argc, argv);
  const Options options = ParseOptions(argc, argv);

  // The stop signals are taken by the loop (a signalfd), so that the link, the
  // sockets and the image are cleaned up however zrvsim is asked to stop.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signals < 0) {
    std::perror("zrvsim: signalfd");
    return 1;
  }

  std::string link;
  std::string slave;
  int status = 0;
  try {
    linesim::LineSim line(options.line);
    slave = line.SlavePath();
    if (!options.prefix.empty()) link = LinkComPort(options, slave);
    if (!options.readyFile.empty()) WriteReadyFile(options, slave);
    std::fprintf(stderr, "zrvsim: ZRV device on %s%s%s\n", slave.c_str(),
                 link.empty() ? "" : " as ", link.c_str());
    line.Run(signals);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "zrvsim: %s\n", failure.what());
    status = 1;
  }
  if (!link.empty()) UnlinkComPort(link, slave);
  if (!options.readyFile.empty()) unlink(options.readyFile.c_str());
  close(signals);
  return status;
}
