#include "devices/host_device.h"

#include <stdexcept>
#include <string>

namespace nuvra {

HostDevice::HostDevice(std::shared_ptr<HardwareDevice> hardware) : hardware_(std::move(hardware)) {
  if (!hardware_) throw std::invalid_argument("HostDevice needs a hardware device.");
}

HwVersion HostDevice::version() const { return hardware_->version(); }

const char* HostDevice::desc() const { return hardware_->desc(); }

void check_hw_ip_compatibility(HwVersion version, IpVersion ip) {
  const uint8_t product = version.product_id;
  bool accepted = false;
  const char* name = "none";
  switch (ip) {
    case IpVersion::v1:
      accepted = product == 0x00 || product == 0xA1;
      name = "v1";
      break;
    case IpVersion::v2:
      accepted = product == 0xA2;
      name = "v2";
      break;
    default:
      break;
  }
  if (accepted) return;
  throw std::invalid_argument("Incompatible hardware and Ip versions: HW Version is " + version.to_string() +
                              " with product id = " + std::to_string(product) + " while IP version is " + name +
                              ".");
}

}  // namespace nuvra
