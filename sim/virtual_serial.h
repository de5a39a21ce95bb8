// A virtual serial port driver for tests and demos: COM ports that exist only in
// this process, reached through the same calls as the Windows serial driver and
// answering them the way it does (errors through SetLastError, exclusive opens,
// settings kept by the port between opens, DTR and RTS following the DCB's control
// modes). Tests create ports by number, make any call fail with a chosen error,
// and read back what the library left on the port.
//
// Thread-safe: the library calls it from the host's thread and its own threads.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

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
  Count
};

const char* CallName(Call call);

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
};

class VirtualSerialDriver {
 public:
  // The one driver of the process; the sim binding of the port calls uses it.
  static VirtualSerialDriver& Instance();

  // Forgets every port, device, injected failure and recorded path.
  void Reset();

  // Creates COM<number>, reachable as "\\.\COM<number>" (any letter case), with
  // the driver's default settings.
  void AddPort(unsigned number);
  // Removes a port; a handle still open on it fails every call from then on.
  void RemovePort(unsigned number);
  // A device at an exact path that opens but is not a character device
  // (FILE_TYPE_DISK, FILE_TYPE_PIPE, FILE_TYPE_UNKNOWN ...).
  void AddOtherDevice(const std::string& path, DWORD fileType);

  // The next call of this kind, after `skip` successful ones, fails with `error`
  // (and, for CreateFileA, returns INVALID_HANDLE_VALUE). `times` calls fail in a row.
  void FailCall(Call call, DWORD error, unsigned skip = 0, unsigned times = 1);
  // Number of calls of this kind made so far (failed ones included).
  unsigned CallCount(Call call) const;

  // Presets what the driver reports before the library changes anything.
  void SetDriverDcb(unsigned number, const DCB& dcb);
  void SetDriverTimeouts(unsigned number, const COMMTIMEOUTS& timeouts);

  PortState State(unsigned number) const;
  // The path of the last CreateFileA call, whether it succeeded or not.
  std::string LastOpenedPath() const;
  // True when `handle` is a handle this driver gave out and has not closed.
  bool IsLiveHandle(HANDLE handle) const;

  // The Win32 calls, as the sim binding forwards them.
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

  // The driver's settings of a new port.
  static DCB DefaultDcb();

 private:
  struct Port;
  struct Device;
  struct Failure {
    DWORD error = 0;
    unsigned skip = 0;
    unsigned times = 0;
  };

  VirtualSerialDriver();

  // Counts the call and answers whether an injected failure applies to it; if so
  // the error is stored for SetLastError.
  bool Injected(Call call, DWORD* error);
  // The open port behind a handle, or null (error already chosen).
  Port* PortOf(HANDLE file, DWORD* error);
  static void ApplyLineControl(Port& port);

  mutable std::mutex mutex_;
  std::map<unsigned, std::unique_ptr<Port>> ports_;
  std::map<std::string, std::unique_ptr<Device>> devices_;  // upper-cased path
  std::map<uintptr_t, Port*> portHandles_;
  std::map<uintptr_t, Device*> deviceHandles_;
  Failure failures_[static_cast<unsigned>(Call::Count)];
  unsigned counts_[static_cast<unsigned>(Call::Count)] = {};
  std::string lastOpenedPath_;
  uintptr_t nextHandle_;
};

}  // namespace sim
