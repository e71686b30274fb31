#include "backend/mesh.h"
#include "devices/host_device.h"

#include <nuvra/hardware.h>
#include <nuvra/sim.h>

#include "support/error_text.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace nuvra {
namespace {

// The boards' versions against both generations are in tests/python/test_device.py; here a mesh
// without an IP version, or with a value outside the enumeration.
TEST(CheckHwIpCompatibility, MeshWithoutAKnownIpVersion) {
  for (const IpVersion ip : {IpVersion::none, static_cast<IpVersion>(7)})
    EXPECT_EQ(test::error_text<std::invalid_argument>([&] { check_hw_ip_compatibility(versions::FPGA_v2, ip); }),
              "Incompatible hardware and Ip versions: HW Version is 188.162.1.0 with product id = 162 while IP "
              "version is none.");
}

// A host device owns its mesh and keeps its hardware device alive; a null one is refused.
TEST(HostDevice, OwnsItsMeshAndKeepsTheHardwareDeviceAlive) {
  auto board = std::make_shared<sim::SimBoard>(sim::preset("fpga_v2"));
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(board.get()));
  EXPECT_EQ(device->mesh(), nullptr);
  device->set_mesh(Mesh::discover(device->hardware()));
  board.reset();
  EXPECT_EQ(device->version(), versions::FPGA_v2);
  EXPECT_STREQ(device->desc(), "SimBoard/fpga_v2");
  EXPECT_EQ(device->mesh()->version, IpVersion::v2);
  EXPECT_THROW(HostDevice(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra
