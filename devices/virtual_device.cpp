#include "devices/virtual_device.h"

#include "devices/host_device.h"

#include <cstdio>

namespace nuvra {

namespace {

std::string describe(const HwVersion& v) {
  char text[128];
  std::snprintf(text, sizeof text, "%02X.%02X.%03u.%03u", v.vendor_id, v.product_id, unsigned{v.major_rev},
                unsigned{v.minor_rev});
  return std::string("VirtualDevice/") + text;
}

}  // namespace

VirtualDevice::VirtualDevice(Key, HwVersion version, const Mesh& mesh)
    : version_(version), mesh_(mesh), desc_(describe(version)) {}

std::shared_ptr<Device> make_virtual_device(HwVersion version, const Mesh& mesh) {
  check_hw_ip_compatibility(version, mesh.version);
  return std::make_shared<VirtualDevice>(VirtualDevice::Key{}, version, mesh);
}

}  // namespace nuvra
