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

const char* const kPrefix = "Incompatible hardware and Ip versions: HW Version is ";

// The boards' own versions are in tests/python/test_device.py; here the edges of the rule.
TEST(CheckHwIpCompatibility, Table) {
  struct Case {
    HwVersion version;
    IpVersion ip;
    const char* rest;  // null: accepted
  };
  const Case cases[] = {
      {versions::Qrix_v2, IpVersion::v1, nullptr},
      {versions::FPGA_v2, IpVersion::none, "188.162.1.0 with product id = 162 while IP version is none."},
      {{1, 0x55, 2, 3}, IpVersion::v1, "1.85.2.3 with product id = 85 while IP version is v1."},
      {{1, 0xA3, 2, 3}, IpVersion::v2, "1.163.2.3 with product id = 163 while IP version is v2."},
      {versions::FPGA_v2, static_cast<IpVersion>(7), "188.162.1.0 with product id = 162 while IP version is none."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version.to_string());
    if (c.rest == nullptr) {
      EXPECT_NO_THROW(check_hw_ip_compatibility(c.version, c.ip));
    } else {
      EXPECT_EQ(test::error_text<std::invalid_argument>([&] { check_hw_ip_compatibility(c.version, c.ip); }), std::string(kPrefix) + c.rest);
    }
  }
}

TEST(HostDevice, ForwardsToTheBoardAndOwnsItsMesh) {
  auto board = std::make_shared<sim::SimBoard>(sim::preset("vlq7300_v1"));
  auto hardware = HardwareDevice::create(board.get());
  HostDevice device(hardware);
  EXPECT_EQ(device.version(), versions::VLQ7300_v1);
  EXPECT_EQ(device.desc(), hardware->desc());
  EXPECT_EQ(device.hardware(), hardware.get());
  EXPECT_EQ(device.mesh(), nullptr);
  device.set_mesh(Mesh::discover(hardware.get()));
  ASSERT_NE(device.mesh(), nullptr);
  EXPECT_EQ(device.mesh()->version, IpVersion::v1);
  EXPECT_NO_THROW(check_hw_ip_compatibility(device.version(), device.mesh()->version));

  EXPECT_THROW(HostDevice(nullptr), std::invalid_argument);
}

TEST(HostDevice, KeepsTheHardwareDeviceAlive) {
  auto board = std::make_shared<sim::SimBoard>(sim::preset("fpga_v2"));
  std::shared_ptr<Device> device = std::make_shared<HostDevice>(HardwareDevice::create(board.get()));
  board.reset();
  EXPECT_EQ(device->version(), versions::FPGA_v2);
  EXPECT_STREQ(device->desc(), "SimBoard/fpga_v2");
}

}  // namespace
}  // namespace nuvra
