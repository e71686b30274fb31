#include "backend/hardware_constraints.h"
#include "backend/map_constraints.h"
#include "backend/mapping_status.h"
#include "backend/mesh.h"
#include "devices/device.h"
#include "devices/virtual_device.h"

#include <nuvra/host_hooks.h>
#include "support/model_builders.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <stdexcept>

namespace nuvra {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

// A device of `v` over a mesh of its generation with the given SRAM sizes.
std::shared_ptr<Device> device_of(HwVersion v, uint32_t input_sram = 0, uint32_t weight_sram = 0) {
  Mesh mesh(v.product_id == 0xA2 ? IpVersion::v2 : IpVersion::v1, {}, {}, {}, {});
  mesh.np_input_sram_size = input_sram, mesh.np_weight_sram_size = weight_sram;
  return make_virtual_device(v, mesh);
}

// The generation follows the product (0xA2: second), whatever the mesh.
TEST(HardwareConstraints, WordsOfBothGenerations) {
  const std::tuple<HwVersion, uint32_t, uint32_t, std::array<uint32_t, 13>> cases[] = {
      {versions::FPGA_v2, 65536, 51200, {12288, 4096, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 8192, 16384}},
      {versions::VLQ7300_v1, 43008, 44800, {10752, 7168, 4096, 4096, 2048, 2048, 32, 256, 2048, 512, 504, 5376, 10752}},
      {versions::Qrix_v2, 43008, 44800, {10752, 7168, 4096, 4096, 2048, 2048, 32, 256, 2048, 512, 504, 5376, 10752}},
      {{0x01, 0xA2, 0, 0}, 43008, 44800, {10752, 3584, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 5376, 10752}}};
  for (auto [version, input_sram, weight_sram, words] : cases)
    EXPECT_EQ(compute_hardware_constraints(*device_of(version, input_sram, weight_sram)).words(), words) << version.to_string();
  EXPECT_THAT([] { compute_hardware_constraints(test::StubDevice()); }, ThrowsMessage<std::runtime_error>(StrEq("The device has no mesh.")));
}

TEST(MapConstraints, DefaultsBoundsAndSelection) {
  for (const auto& [version, ip, width, filters] : {std::tuple{versions::FPGA_v2, IpVersion::v2, 64u, 512u},
                                                    std::tuple{versions::Qrix_v1, IpVersion::v1, 32u, 512u}, std::tuple{versions::Qrix_v2, IpVersion::v1, 32u, 504u}}) {
    MapConstraints mc(device_of(version));
    EXPECT_EQ(std::make_tuple(mc.ip_version(), mc.cnp_max_width(), mc.cnp_max_height(), mc.cnp_max_filters(), mc.hwpr_loopitself()),
              std::make_tuple(ip, width, 256u, filters, false));
  }
  EXPECT_THAT([] { MapConstraints(nullptr); }, ThrowsMessage<std::invalid_argument>(StrEq("Invalid device passed to MapConstraints.")));
  using Set = void (MapConstraints::*)(uint32_t);
  using Get = uint32_t (MapConstraints::*)() const;
  const std::pair<Set, Get> W{&MapConstraints::set_cnp_max_width, &MapConstraints::cnp_max_width},
      H{&MapConstraints::set_cnp_max_height, &MapConstraints::cnp_max_height}, F{&MapConstraints::set_cnp_max_filters, &MapConstraints::cnp_max_filters};
  const std::tuple<HwVersion, std::pair<Set, Get>, uint32_t, std::string> cases[] = {  // "": accepted
      {versions::FPGA_v2, W, 64, ""},
      {versions::FPGA_v2, W, 65, "Invalid cnp max width: 65. Expected value in range [1, 64]."},
      {versions::VLQ7300_v1, W, 33, "Invalid cnp max width: 33. Expected value in range [1, 32]."},
      {versions::FPGA_v2, H, 0, "Invalid cnp max height: 0. Expected value in range [1, 256]."},
      {versions::Qrix_v1, H, 4294967295u, "Invalid cnp max height: 4294967295. Expected value in range [1, 256]."},
      {versions::Qrix_v2, F, 505, "Invalid cnp max filters: 505. Expected value in range [1, 504]."},
      {versions::VLQ7300_v1, F, 512, ""}};
  for (const auto& [version, member, value, error] : cases) {
    MapConstraints mc(device_of(version));
    (mc.*member.first)(1);
    std::string got;
    try { (mc.*member.first)(value); } catch (const std::invalid_argument& e) { got = e.what(); }
    EXPECT_EQ(std::make_pair(got, (mc.*member.second)()), std::make_pair(error, error.empty() ? value : 1u));  // a refusal keeps the old value
  }
  MapConstraints v1(device_of(versions::VLQ7300_v1)), v2(device_of(versions::FPGA_v2));
  v1.set_hwpr_loopitself(false), v2.set_hwpr_loopitself(true);
  EXPECT_THAT([&] { v1.set_hwpr_loopitself(true); }, ThrowsMessage<std::invalid_argument>(StrEq("HWPR NP loopitself feature is not supported for IP v1.")));
  const hw::Ident a{1, 2, 0, 0}, b{1, 2, 1, 0}, c{3, 1, 0, 0};
  EXPECT_EQ(v2.select_nps({a, b, c}, 2, hw::Type::CNP1), (std::vector<hw::Ident>{a, b}));
}

TEST(MappingStatus, Messages) {
  EXPECT_EQ(MappingSuccess().message, "Success");
  const MappingStatus nps = NpsMappingError("CNP layer conv_1", 3, 2);
  EXPECT_EQ(std::make_pair(nps.code, nps.message), std::make_pair(1u, std::string("CNP layer conv_1 : not enough NPs available. 3 are needed but only 2 are available.")));
  EXPECT_EQ(LayerMappingError(*test::make_layer(LayerType::InputData, {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}}, "in_0"), "no").message,
            "Error when mapping layer 'in_0': no");
}

// The text is formatted into 256 characters at most; a text that formats to nothing ends the
// process instead of throwing an empty message.
TEST(Panic, FormatsCutsAndTerminates) {
  EXPECT_THAT([] { panic("%d cannot fit in a %d bits signed integer", 9, 3); },
              ThrowsMessage<std::runtime_error>(StrEq("9 cannot fit in a 3 bits signed integer")));
  const std::string long_text(300, 'x');
  EXPECT_THAT([&] { panic("%s!", long_text.c_str()); }, ThrowsMessage<std::runtime_error>(StrEq(long_text.substr(0, 256))));
  EXPECT_DEATH(panic("%s", ""), "");
}

}  // namespace
}  // namespace nuvra
