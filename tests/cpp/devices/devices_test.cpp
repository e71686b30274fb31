#include "backend/mesh.h"
#include "devices/host_device.h"
#include "devices/virtual_device.h"

#include <nuvra/hardware.h>
#include <nuvra/sim.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace nuvra {
namespace {

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no invalid_argument>";
}

Mesh small_mesh(IpVersion ip) {
  return Mesh(ip, {1, 1, 0, 0}, {1, 1, 1, 0}, {{{2, 1, 0, 0}, {hw::Type::CNP1, hw::Type::CNP2}}},
              ip == IpVersion::v2 ? std::vector<np::Info>{{{1, 1, 3, 4}, {hw::Type::SKIP_DMA_STORE}}}
                                  : std::vector<np::Info>{});
}

const char* const kPrefix = "Incompatible hardware and Ip versions: HW Version is ";

TEST(HwVersion, ToString) {
  const std::pair<HwVersion, const char*> cases[] = {
      {versions::Qrix_v1, "188.0.0.1"},        {versions::Qrix_v2, "188.0.0.2"},
      {versions::TwoNodesIP_v1, "188.161.3.6"}, {versions::VLQ7300_v1, "188.161.3.9"},
      {versions::FPGA_v2, "188.162.1.0"},       {{0, 0, 0, 0}, "0.0.0.0"},
      {{255, 255, 255, 255}, "255.255.255.255"}, {{10, 9, 100, 7}, "10.9.100.7"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(v.to_string(), text);
}

TEST(CheckHwIpCompatibility, Table) {
  struct Case {
    HwVersion version;
    IpVersion ip;
    const char* rest;  // null: accepted
  };
  const Case cases[] = {
      {versions::VLQ7300_v1, IpVersion::v1, nullptr},
      {versions::Qrix_v1, IpVersion::v1, nullptr},
      {versions::Qrix_v2, IpVersion::v1, nullptr},
      {versions::FPGA_v2, IpVersion::v2, nullptr},
      {versions::VLQ7300_v1, IpVersion::v2, "188.161.3.9 with product id = 161 while IP version is v2."},
      {versions::FPGA_v2, IpVersion::v1, "188.162.1.0 with product id = 162 while IP version is v1."},
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
      EXPECT_EQ(error_of([&] { check_hw_ip_compatibility(c.version, c.ip); }), std::string(kPrefix) + c.rest);
    }
  }
}

TEST(VirtualDevice, DescriptionAndContents) {
  struct Case {
    HwVersion version;
    IpVersion ip;
    const char* desc;
  };
  const Case cases[] = {
      {versions::FPGA_v2, IpVersion::v2, "VirtualDevice/BC.A2.001.000"},
      {versions::VLQ7300_v1, IpVersion::v1, "VirtualDevice/BC.A1.003.009"},
      {{0x0A, 0x00, 10, 200}, IpVersion::v1, "VirtualDevice/0A.00.010.200"},
      {{0xFF, 0xA2, 255, 255}, IpVersion::v2, "VirtualDevice/FF.A2.255.255"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.desc);
    const Mesh mesh = small_mesh(c.ip);
    auto device = make_virtual_device(c.version, mesh);
    ASSERT_TRUE(device);
    EXPECT_STREQ(device->desc(), c.desc);
    EXPECT_EQ(device->version(), c.version);
    EXPECT_EQ(device->hardware(), nullptr);
    ASSERT_NE(device->mesh(), nullptr);
    EXPECT_NE(device->mesh(), &mesh);
    EXPECT_TRUE(*device->mesh() == mesh);
    EXPECT_EQ(device->mesh()->version, c.ip);
    EXPECT_EQ(device->mesh()->np_input_sram_size, mesh.np_input_sram_size);
    EXPECT_EQ(device->mesh()->np_weight_sram_size, mesh.np_weight_sram_size);
  }
}

TEST(VirtualDevice, MeshIsACopyTheDeviceOwns) {
  Mesh mesh = small_mesh(IpVersion::v2);
  mesh.np_input_sram_size = 1000;
  auto device = make_virtual_device(versions::FPGA_v2, mesh);
  mesh.nps.clear();
  mesh.np_input_sram_size = 5;
  EXPECT_EQ(device->mesh()->nps.size(), 1u);
  EXPECT_EQ(device->mesh()->np_input_sram_size, 1000u);
  device->mesh()->np_input_sram_size = 77;
  EXPECT_EQ(device->mesh()->np_input_sram_size, 77u);
}

// The device checks its mesh against its version with the rule above.
TEST(VirtualDevice, RefusesMismatchedVersions) {
  EXPECT_EQ(error_of([&] { make_virtual_device(versions::FPGA_v2, small_mesh(IpVersion::v1)); }),
            std::string(kPrefix) + "188.162.1.0 with product id = 162 while IP version is v1.");
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
