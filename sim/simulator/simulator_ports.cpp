// The simulator DLL's ports: the library's port calls go to the virtual serial
// driver (serial_io_sim.cpp), and the driver asks here, at every opening of
// \\.\COMn, whether COMn exists. It does when the settings give it a device
// (simulator_settings.h): on its first opening in the process the port is made
// and a ZRV device with its records from the port's image file is plugged in.
// Port and device then stay for the life of the process, as hardware does.
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

SrwLock suppliedLock;

DWORD SupplyPort(unsigned number) {
  std::lock_guard<SrwLock> lock(suppliedLock);
  // The devices live until the process ends: the driver may call a far end until
  // then, and there is nothing to free them for.
  static auto& supplied = *new std::map<unsigned, SimulatedDevice*>();
  if (supplied.count(number) != 0 || !SimulatedPortHasDevice(number)) return ERROR_SUCCESS;
  std::string error;
  const std::string image = SimulatedImagePath(number, error);
  auto device = std::make_unique<SimulatedDevice>();
  const bool paced = SimulatedLinePaced();
  if (image.empty() || !device->Load(image, paced, error)) {
    OutputDebugStringA(
        ("Kwelmora simulator: COM" + std::to_string(number) + ": " + error + "\n").c_str());
    return ERROR_OPEN_FAILED;
  }
  VirtualSerialDriver& driver = VirtualSerialDriver::Instance();
  driver.AddPort(number);
  driver.SetWriteCompletion(number, paced ? WriteCompletion::Paced : WriteCompletion::Immediate);
  driver.AttachFarEnd(number, device.get());
  supplied[number] = device.release();
  return ERROR_SUCCESS;
}

// Set while the DLL is loaded, before the host can call it.
const bool kSupplying = (VirtualSerialDriver::SetPortSupplier(&SupplyPort), true);

}  // namespace

}  // namespace sim
