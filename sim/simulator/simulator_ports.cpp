// The simulator DLL's ports: the library's port calls go to the virtual serial
// driver (serial_io_sim.cpp), and the driver asks here, at every opening of
// \\.\COMn, whether COMn exists. It does when the settings give it a device
// (simulator_settings.h): on its first opening in the process the port is made
// and a ZRV device with its records from the port's image file is plugged in.
// Port and device then stay while the DLL is loaded, as hardware does; the port
// is open in one process at a time.
#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "simulator/simulated_device.h"
#include "simulator/simulator_settings.h"
#include "srw_lock.h"
#include "virtual_serial.h"

namespace sim {

namespace {

// One port of this process: its device, and while the port is open here the
// claim that keeps it from other processes.
struct SuppliedPort {
  std::unique_ptr<SimulatedDevice> device;
  HANDLE claim = nullptr;
  unsigned opens = 0;  // openings the driver may still hold or refuse
};

SrwLock suppliedLock;
// The devices go when the DLL is unloaded: no port is open then (the library's
// threads hold the DLL while one is) and the driver's clock thread has ended
// (it holds the DLL too), so no far end is called any more. Made on the first
// opening, inside the driver's first call: gone before the driver is.
std::map<unsigned, SuppliedPort>& Supplied() {
  static std::map<unsigned, SuppliedPort> supplied;
  return supplied;
}

// A COM port is exclusive across processes, of every session and user: a named
// object of the machine stands for the open port, and a second process finds it
// there and is refused as a real port refuses it (one of another user is denied
// access to the object itself: the same error). The object goes with the last
// handle, a crashed process's too.
DWORD Claim(unsigned number, HANDLE* claim) {
  const std::wstring name = L"Global\\Kwelmora.Simulator.COM" + std::to_wstring(number);
  *claim = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  const DWORD error = GetLastError();
  if (*claim == nullptr) return error;
  if (error != ERROR_ALREADY_EXISTS) return ERROR_SUCCESS;
  CloseHandle(*claim);
  *claim = nullptr;
  return ERROR_ACCESS_DENIED;
}

DWORD Refuse(unsigned number, HANDLE claim, const std::string& error) {
  OutputDebugStringA(
      ("Kwelmora simulator: COM" + std::to_string(number) + ": " + error + "\n").c_str());
  CloseHandle(claim);
  return ERROR_OPEN_FAILED;
}

// The port made in the driver, with the device on its far end.
void Plug(unsigned number, SimulatedDevice* device) {
  VirtualSerialDriver& driver = VirtualSerialDriver::Instance();
  driver.AddPort(number);
  driver.SetWriteCompletion(number,
                            device->Paced() ? WriteCompletion::Paced : WriteCompletion::Immediate);
  driver.AttachFarEnd(number, device);
}

DWORD SupplyPort(unsigned number) {
  std::lock_guard<SrwLock> lock(suppliedLock);
  auto found = Supplied().find(number);
  if (found == Supplied().end() && !SimulatedPortHasDevice(number)) return ERROR_SUCCESS;
  if (found != Supplied().end() && found->second.opens != 0) {
    ++found->second.opens;  // open in this process already: the driver refuses it
    return ERROR_SUCCESS;
  }
  HANDLE claim = nullptr;
  if (const DWORD refused = Claim(number, &claim)) return refused;
  std::string error;
  if (found != Supplied().end()) {
    // Between openings the image is the device's memory: another process may
    // have written records meanwhile.
    if (!found->second.device->Reload(error)) return Refuse(number, claim, error);
    // A port that vanished is back, as an adapter plugged in again.
    if (!VirtualSerialDriver::Instance().State(number).exists) {
      Plug(number, found->second.device.get());
    }
    found->second.claim = claim;
    found->second.opens = 1;
    return ERROR_SUCCESS;
  }
  const std::string image = SimulatedImagePath(number, error);
  auto device = std::make_unique<SimulatedDevice>();
  if (image.empty() || !device->Load(image, SimulatedLinePaced(), error) ||
      (SimulatedDeviceLogged() &&
       !device->LogTo(image.substr(0, image.size() - 4) + ".log", error))) {
    return Refuse(number, claim, error);
  }
  // The faults a tester switches on that act on the port itself.
  device->SetPort(
      number, {[number](bool held) { VirtualSerialDriver::Instance().HoldOutput(number, held); },
               [number] { VirtualSerialDriver::Instance().RemovePort(number); }});
  Plug(number, device.get());
  Supplied()[number] = {std::move(device), claim, 1};
  return ERROR_SUCCESS;
}

void PortClosed(unsigned number) {
  std::lock_guard<SrwLock> lock(suppliedLock);
  auto found = Supplied().find(number);
  if (found == Supplied().end() || found->second.opens == 0) return;
  if (--found->second.opens == 0) {
    CloseHandle(found->second.claim);
    found->second.claim = nullptr;
  }
}

// Set while the DLL is loaded, before the host can call it.
const bool kSupplying = (VirtualSerialDriver::SetPortSupplier(&SupplyPort, &PortClosed), true);

}  // namespace

}  // namespace sim
