#include "virtual_serial.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

constexpr char kPortPrefix[] = "\\\\.\\COM";

// Handles of the virtual driver lie far above the small values Wine and Windows
// give real kernel objects, so a virtual handle passed to kernel32 by mistake fails
// there instead of hitting some other object.
constexpr uintptr_t kFirstHandle = 0x7E570000;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The port number a path names, or -1. Only "\\.\COM" and decimal digits.
long PortNumberOf(const std::string& upperPath) {
  const std::string prefix = kPortPrefix;
  if (upperPath.size() <= prefix.size() || upperPath.compare(0, prefix.size(), prefix) != 0) {
    return -1;
  }
  long number = 0;
  for (std::size_t i = prefix.size(); i < upperPath.size(); ++i) {
    const char c = upperPath[i];
    if (c < '0' || c > '9' || number > 100000) {
      return -1;
    }
    number = number * 10 + (c - '0');
  }
  return number;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

struct VirtualSerialDriver::Port {
  unsigned number = 0;
  uintptr_t handle = 0;  // 0 while closed
  unsigned opens = 0;
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  DWORD inQueue = 0;
  DWORD outQueue = 0;
  bool dtr = false;
  bool rts = false;
  DWORD lastOpenAccess = 0;
  DWORD lastOpenShareMode = 0;
  DWORD lastOpenFlags = 0;
};

struct VirtualSerialDriver::Device {
  DWORD fileType = FILE_TYPE_UNKNOWN;
};

const char* CallName(Call call) {
  switch (call) {
    case Call::CreateFileA:
      return "CreateFileA";
    case Call::GetFileType:
      return "GetFileType";
    case Call::CloseHandle:
      return "CloseHandle";
    case Call::GetCommConfig:
      return "GetCommConfig";
    case Call::GetCommState:
      return "GetCommState";
    case Call::SetCommState:
      return "SetCommState";
    case Call::SetupComm:
      return "SetupComm";
    case Call::GetCommTimeouts:
      return "GetCommTimeouts";
    case Call::SetCommTimeouts:
      return "SetCommTimeouts";
    case Call::Count:
      break;
  }
  return "?";
}

VirtualSerialDriver& VirtualSerialDriver::Instance() {
  static VirtualSerialDriver driver;
  return driver;
}

VirtualSerialDriver::VirtualSerialDriver() : nextHandle_(kFirstHandle) {}

DCB VirtualSerialDriver::DefaultDcb() {
  // What a 16550 port reports after boot: 9600 8N1, binary, DTR and RTS raised
  // while open, flow control off.
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = CBR_9600;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  return dcb;
}

void VirtualSerialDriver::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ports_.clear();
  devices_.clear();
  portHandles_.clear();
  deviceHandles_.clear();
  for (auto& failure : failures_) {
    failure = Failure();
  }
  std::fill(std::begin(counts_), std::end(counts_), 0u);
  lastOpenedPath_.clear();
}

void VirtualSerialDriver::AddPort(unsigned number) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto port = std::make_unique<Port>();
  port->number = number;
  port->dcb = DefaultDcb();
  ports_[number] = std::move(port);
}

void VirtualSerialDriver::RemovePort(unsigned number) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = ports_.find(number);
  if (found == ports_.end()) {
    return;
  }
  for (auto it = portHandles_.begin(); it != portHandles_.end();) {
    it = it->second == found->second.get() ? portHandles_.erase(it) : std::next(it);
  }
  ports_.erase(found);
}

void VirtualSerialDriver::AddOtherDevice(const std::string& path, DWORD fileType) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto device = std::make_unique<Device>();
  device->fileType = fileType;
  devices_[Upper(path)] = std::move(device);
}

void VirtualSerialDriver::FailCall(Call call, DWORD error, unsigned skip, unsigned times) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[static_cast<unsigned>(call)] = Failure{error, skip, times};
}

unsigned VirtualSerialDriver::CallCount(Call call) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[static_cast<unsigned>(call)];
}

void VirtualSerialDriver::SetDriverDcb(unsigned number, const DCB& dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = ports_.find(number);
  if (found != ports_.end()) {
    found->second->dcb = dcb;
  }
}

void VirtualSerialDriver::SetDriverTimeouts(unsigned number, const COMMTIMEOUTS& timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = ports_.find(number);
  if (found != ports_.end()) {
    found->second->timeouts = timeouts;
  }
}

PortState VirtualSerialDriver::State(unsigned number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  PortState state;
  auto found = ports_.find(number);
  if (found == ports_.end()) {
    return state;
  }
  const auto& port = *found->second;
  state.exists = true;
  state.open = port.handle != 0;
  state.opens = port.opens;
  state.dcb = port.dcb;
  state.timeouts = port.timeouts;
  state.inQueue = port.inQueue;
  state.outQueue = port.outQueue;
  state.dtr = port.dtr;
  state.rts = port.rts;
  state.lastOpenAccess = port.lastOpenAccess;
  state.lastOpenShareMode = port.lastOpenShareMode;
  state.lastOpenFlags = port.lastOpenFlags;
  return state;
}

std::string VirtualSerialDriver::LastOpenedPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastOpenedPath_;
}

bool VirtualSerialDriver::IsLiveHandle(HANDLE handle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto key = reinterpret_cast<uintptr_t>(handle);
  return portHandles_.count(key) != 0 || deviceHandles_.count(key) != 0;
}

bool VirtualSerialDriver::Injected(Call call, DWORD* error) {
  const unsigned index = static_cast<unsigned>(call);
  ++counts_[index];
  Failure& failure = failures_[index];
  if (failure.times == 0) {
    return false;
  }
  if (failure.skip > 0) {
    --failure.skip;
    return false;
  }
  --failure.times;
  *error = failure.error;
  return true;
}

VirtualSerialDriver::Port* VirtualSerialDriver::PortOf(HANDLE file, DWORD* error) {
  auto found = portHandles_.find(reinterpret_cast<uintptr_t>(file));
  if (found == portHandles_.end()) {
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  return found->second;
}

void VirtualSerialDriver::ApplyLineControl(Port& port) {
  // The driver raises or lowers DTR and RTS as the control modes say; "handshake"
  // and "toggle" leave the line to the driver's flow control, not modelled here.
  if (port.dcb.fDtrControl == DTR_CONTROL_DISABLE) {
    port.dtr = false;
  } else if (port.dcb.fDtrControl == DTR_CONTROL_ENABLE) {
    port.dtr = true;
  }
  if (port.dcb.fRtsControl == RTS_CONTROL_DISABLE) {
    port.rts = false;
  } else if (port.dcb.fRtsControl == RTS_CONTROL_ENABLE) {
    port.rts = true;
  }
}

HANDLE VirtualSerialDriver::CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                        DWORD creationDisposition, DWORD flagsAndAttributes) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastOpenedPath_ = fileName != nullptr ? fileName : "";
  DWORD error = 0;
  if (Injected(Call::CreateFileA, &error)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string path = Upper(fileName);

  auto device = devices_.find(path);
  if (device != devices_.end()) {
    const uintptr_t handle = nextHandle_;
    nextHandle_ += 4;
    deviceHandles_[handle] = device->second.get();
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(handle);
  }

  const long number = PortNumberOf(path);
  auto found = number >= 0 ? ports_.find(static_cast<unsigned>(number)) : ports_.end();
  if (found == ports_.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Port& port = *found->second;
  // Serial ports are opened for exclusive use, whatever share mode is asked for.
  if (port.handle != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  port.handle = nextHandle_;
  nextHandle_ += 4;
  ++port.opens;
  port.lastOpenAccess = desiredAccess;
  port.lastOpenShareMode = shareMode;
  port.lastOpenFlags = flagsAndAttributes;
  // Opening the port applies its settings to the line again.
  ApplyLineControl(port);
  portHandles_[port.handle] = &port;
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(port.handle);
}

DWORD VirtualSerialDriver::GetFileType(HANDLE file) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD error = 0;
  if (Injected(Call::GetFileType, &error)) {
    SetLastError(error);
    return FILE_TYPE_UNKNOWN;
  }
  const auto key = reinterpret_cast<uintptr_t>(file);
  if (portHandles_.count(key) != 0) {
    SetLastError(ERROR_SUCCESS);
    return FILE_TYPE_CHAR;
  }
  auto device = deviceHandles_.find(key);
  if (device != deviceHandles_.end()) {
    SetLastError(ERROR_SUCCESS);
    return device->second->fileType;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FILE_TYPE_UNKNOWN;
}

BOOL VirtualSerialDriver::CloseHandle(HANDLE file) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD error = 0;
  if (Injected(Call::CloseHandle, &error)) {
    return Fail(error);
  }
  const auto key = reinterpret_cast<uintptr_t>(file);
  if (deviceHandles_.erase(key) != 0) {
    return TRUE;
  }
  auto found = portHandles_.find(key);
  if (found == portHandles_.end()) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  Port& port = *found->second;
  portHandles_.erase(found);
  port.handle = 0;
  // A closed port drops its output lines.
  port.dtr = false;
  port.rts = false;
  return TRUE;
}

BOOL VirtualSerialDriver::GetCommConfig(HANDLE file, LPCOMMCONFIG config, LPDWORD size) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD error = 0;
  if (Injected(Call::GetCommConfig, &error)) {
    return Fail(error);
  }
  Port* port = PortOf(file, &error);
  if (port == nullptr) {
    return Fail(error);
  }
  if (size == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (config == nullptr || *size < sizeof(COMMCONFIG)) {
    *size = sizeof(COMMCONFIG);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  *config = COMMCONFIG();
  config->dwSize = sizeof(COMMCONFIG);
  config->wVersion = 1;
  config->dcb = port->dcb;
  config->dwProviderSubType = PST_RS232;
  *size = sizeof(COMMCONFIG);
  return TRUE;
}

BOOL VirtualSerialDriver::GetCommState(HANDLE file, LPDCB dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD error = 0;
  if (Injected(Call::GetCommState, &error)) {
    return Fail(error);
  }
  Port* port = PortOf(file, &error);
  if (port == nullptr) {
    return Fail(error);
  }
  if (dcb == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *dcb = port->dcb;
  dcb->DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL VirtualSerialDriver::SetCommState(HANDLE file, LPDCB dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD error = 0;
  if (Injected(Call::SetCommState, &error)) {
    return Fail(error);
  }
  Port* port = PortOf(file, &error);
  if (port == nullptr) {
    return Fail(error);
  }
  if (dcb == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // The checks a 16550 driver makes before it touches the line.
  const bool sizeOk = dcb->ByteSize >= 5 && dcb->ByteSize <= 8;
  const bool parityOk = dcb->Parity <= SPACEPARITY;
  const bool stopOk = dcb->StopBits <= TWOSTOPBITS &&
                      !(dcb->StopBits == ONE5STOPBITS && dcb->ByteSize != 5) &&
                      !(dcb->StopBits == TWOSTOPBITS && dcb->ByteSize == 5);
  const bool xonOk = !((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar);
  if (!sizeOk || !parityOk || !stopOk || !xonOk || dcb->BaudRate == 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  port->dcb = *dcb;
  port->dcb.DCBlength = sizeof(DCB);
  ApplyLineControl(*port);
  return TRUE;
}

BOOL VirtualSerialDriver::SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD error = 0;
  if (Injected(Call::SetupComm, &error)) {
    return Fail(error);
  }
  Port* port = PortOf(file, &error);
  if (port == nullptr) {
    return Fail(error);
  }
  port->inQueue = inQueue;
  port->outQueue = outQueue;
  return TRUE;
}

BOOL VirtualSerialDriver::GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD error = 0;
  if (Injected(Call::GetCommTimeouts, &error)) {
    return Fail(error);
  }
  Port* port = PortOf(file, &error);
  if (port == nullptr) {
    return Fail(error);
  }
  if (timeouts == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *timeouts = port->timeouts;
  return TRUE;
}

BOOL VirtualSerialDriver::SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
  std::lock_guard<std::mutex> lock(mutex_);
  DWORD error = 0;
  if (Injected(Call::SetCommTimeouts, &error)) {
    return Fail(error);
  }
  Port* port = PortOf(file, &error);
  if (port == nullptr) {
    return Fail(error);
  }
  if (timeouts == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // All three read members at MAXDWORD is the one combination the driver refuses.
  if (timeouts->ReadIntervalTimeout == MAXDWORD &&
      timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
      timeouts->ReadTotalTimeoutConstant == MAXDWORD) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  port->timeouts = *timeouts;
  return TRUE;
}

}  // namespace sim
