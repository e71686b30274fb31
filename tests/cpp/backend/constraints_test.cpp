// Hardware constraint words of both generations, and panic. MapConstraints is covered from Python
// (tests/python/test_map_constraints.py).
#include "backend/hardware_constraints.h"
#include "backend/mesh.h"
#include "devices/device.h"
#include "devices/virtual_device.h"

#include <nuvra/host_hooks.h>
#include "support/model_builders.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
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
