#include "devices/discovery.h"

#include "backend/mesh.h"
#include "devices/host_device.h"
#include "devices/hrc_probe.h"

#include <nuvra/hardware.h>

#include <iostream>
#include <stdexcept>

namespace nuvra {

namespace {

std::shared_ptr<HostDevice> open_host_device(HardwareDriver* driver) {
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(driver));
  device->set_mesh(Mesh::discover(device->hardware()));
  check_hw_ip_compatibility(device->version(), device->mesh()->version);
  return device;
}

}  // namespace

std::vector<std::shared_ptr<Device>> populate_devices() {
  std::vector<std::shared_ptr<Device>> devices;
  for (HardwareDriver* driver : get_drivers()) {
    try {
      std::shared_ptr<HostDevice> device = open_host_device(driver);
      // A Qrix_v2 whose HRC timed out is opened again; the first device goes once the second
      // stands. The re-opened board is not probed again.
      if (device->hardware()->version() == versions::Qrix_v2 && hrc_check_timeout(device))
        device = open_host_device(driver);
      devices.push_back(std::move(device));
    } catch (const std::runtime_error& e) {
      std::cout << e.what() << std::endl;
    }
  }
  return devices;
}

const std::vector<std::shared_ptr<Device>>& get_devices() {
  // A failed initialisation stores nothing: the next call runs discovery again.
  static const std::vector<std::shared_ptr<Device>> devices = populate_devices();
  return devices;
}

}  // namespace nuvra
