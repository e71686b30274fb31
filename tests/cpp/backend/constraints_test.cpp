#include "backend/hardware_constraints.h"
#include "backend/map_constraints.h"
#include "backend/mapping_status.h"
#include "backend/mesh.h"
#include "devices/device.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace nuvra {
namespace {

// A device of any version over any mesh (or none), without the devices library's checks.
class FakeDevice : public Device {
 public:
  FakeDevice(HwVersion version, std::optional<Mesh> mesh) : version_(version), mesh_(std::move(mesh)) {}
  HwVersion version() const override { return version_; }
  const char* desc() const override { return "fake"; }
  Mesh* mesh() const override { return mesh_ ? &*mesh_ : nullptr; }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  HwVersion version_;
  mutable std::optional<Mesh> mesh_;
};

Mesh sized_mesh(IpVersion ip, uint32_t input_sram, uint32_t weight_sram) {
  Mesh m(ip, {1, 1, 0, 0}, {1, 1, 1, 0}, {}, {});
  m.np_input_sram_size = input_sram;
  m.np_weight_sram_size = weight_sram;
  return m;
}

std::shared_ptr<Device> device_of(HwVersion version) {
  return std::make_shared<FakeDevice>(version, Mesh(IpVersion::v1, {}, {}, {}, {}));
}

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(HardwareConstraints, WordsOfBothGenerations) {
  using Words = std::array<uint32_t, 13>;
  struct Case {
    const char* what;
    HwVersion version;
    uint32_t input_sram, weight_sram;
    Words words;
  };
  const Case cases[] = {
      // I = 65536, W = 51200: 12288 words of FNP3 memory, 4096 100-bit units, 8192 and 16384 input units.
      {"v2 mesh", versions::FPGA_v2, 65536, 51200,
       {12288, 4096, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 8192, 16384}},
      // I = 43008, W = 44800.
      {"v1 mesh", versions::VLQ7300_v1, 43008, 44800,
       {10752, 7168, 4096, 4096, 2048, 2048, 32, 256, 2048, 512, 504, 5376, 10752}},
      {"Qrix_v2 is first generation", versions::Qrix_v2, 43008, 44800,
       {10752, 7168, 4096, 4096, 2048, 2048, 32, 256, 2048, 512, 504, 5376, 10752}},
      // The generation follows the product, whatever the mesh: 44800 * 8 / 100 = 3584.
      {"product 0xA2 over v1 sizes", {0x01, 0xA2, 0, 0}, 43008, 44800,
       {10752, 3584, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 5376, 10752}},
      {"unknown product", {0xBC, 0x55, 9, 9}, 65536, 51200,
       {12288, 8192, 4096, 4096, 2048, 2048, 32, 256, 2048, 512, 504, 8192, 16384}},
      // 32-bit arithmetic: 0x20000001 * 8 wraps to 8.
      {"wrapping sizes", versions::FPGA_v2, 0x20000001, 0x20000001,
       {0, 0, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 0, 0}},
      {"zero sizes", versions::FPGA_v2, 0, 0, {0, 0, 4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDevice device(c.version, sized_mesh(IpVersion::v1, c.input_sram, c.weight_sram));
    const HardwareConstraints hc = compute_hardware_constraints(device);
    EXPECT_EQ(hc.words(), c.words);
  }
}

TEST(HardwareConstraints, NamedWordsAndMissingMesh) {
  FakeDevice device(versions::FPGA_v2, Mesh(IpVersion::v2, {}, {}, {}, {}));
  const HardwareConstraints hc = compute_hardware_constraints(device);
  EXPECT_EQ(hc.fnp3_sram_size, 12288u);
  EXPECT_EQ(hc.np_weight_memory_size, 4096u);
  EXPECT_EQ(hc.input_sram_dual_buffer_size, 8192u);
  EXPECT_EQ(hc.input_sram_single_buffer_size, 16384u);

  FakeDevice meshless(versions::FPGA_v2, std::nullopt);
  EXPECT_EQ(error_of([&] { compute_hardware_constraints(meshless); }), "The device has no mesh.");
}

TEST(MapConstraints, Defaults) {
  struct Case {
    HwVersion version;
    IpVersion ip;
    uint32_t width, height, filters;
  };
  const Case cases[] = {
      {versions::FPGA_v2, IpVersion::v2, 64, 256, 512},  {versions::VLQ7300_v1, IpVersion::v1, 32, 256, 512},
      {versions::TwoNodesIP_v1, IpVersion::v1, 32, 256, 512}, {versions::Qrix_v1, IpVersion::v1, 32, 256, 512},
      {versions::Qrix_v2, IpVersion::v1, 32, 256, 504},  {{0x00, 0xA2, 7, 7}, IpVersion::v2, 64, 256, 512},
      {{0xBC, 0x42, 0, 2}, IpVersion::v1, 32, 256, 512},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version.to_string());
    auto device = device_of(c.version);
    MapConstraints mc(device);
    EXPECT_EQ(mc.device(), device);
    EXPECT_EQ(mc.ip_version(), c.ip);
    EXPECT_EQ(mc.cnp_max_width_default(), c.width);
    EXPECT_EQ(mc.cnp_max_height_default(), c.height);
    EXPECT_EQ(mc.cnp_max_filters_default(), c.filters);
    EXPECT_EQ(mc.cnp_max_width(), c.width);
    EXPECT_EQ(mc.cnp_max_height(), c.height);
    EXPECT_EQ(mc.cnp_max_filters(), c.filters);
    EXPECT_FALSE(mc.hwpr_loopitself());
  }
}

TEST(MapConstraints, NullDeviceIsRefused) {
  EXPECT_EQ(error_of([] { MapConstraints mc(nullptr); }), "Invalid device passed to MapConstraints.");
}

TEST(MapConstraints, LimitSetters) {
  enum Which { Width, Height, Filters };
  struct Case {
    HwVersion version;
    Which which;
    uint32_t value;
    const char* error;  // null: accepted
  };
  const Case cases[] = {
      {versions::FPGA_v2, Width, 64, nullptr},
      {versions::FPGA_v2, Width, 1, nullptr},
      {versions::FPGA_v2, Width, 65, "Invalid cnp max width: 65. Expected value in range [1, 64]."},
      {versions::VLQ7300_v1, Width, 32, nullptr},
      {versions::VLQ7300_v1, Width, 33, "Invalid cnp max width: 33. Expected value in range [1, 32]."},
      {versions::VLQ7300_v1, Width, 0, "Invalid cnp max width: 0. Expected value in range [1, 32]."},
      {versions::FPGA_v2, Height, 0, "Invalid cnp max height: 0. Expected value in range [1, 256]."},
      {versions::Qrix_v1, Height, 0, "Invalid cnp max height: 0. Expected value in range [1, 256]."},
      {versions::Qrix_v1, Height, 256, nullptr},
      {versions::Qrix_v1, Height, 4294967295u,
       "Invalid cnp max height: 4294967295. Expected value in range [1, 256]."},
      {versions::Qrix_v2, Filters, 505, "Invalid cnp max filters: 505. Expected value in range [1, 504]."},
      {versions::Qrix_v2, Filters, 504, nullptr},
      {versions::VLQ7300_v1, Filters, 512, nullptr},
      {versions::FPGA_v2, Filters, 513, "Invalid cnp max filters: 513. Expected value in range [1, 512]."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.version.to_string() << " " << c.which << " " << c.value);
    MapConstraints mc(device_of(c.version));
    // Start from a value other than the default so a refusal visibly keeps it.
    auto set = [&](uint32_t v) {
      switch (c.which) {
        case Width: mc.set_cnp_max_width(v); break;
        case Height: mc.set_cnp_max_height(v); break;
        case Filters: mc.set_cnp_max_filters(v); break;
      }
    };
    auto get = [&] {
      switch (c.which) {
        case Width: return mc.cnp_max_width();
        case Height: return mc.cnp_max_height();
        case Filters: return mc.cnp_max_filters();
      }
      return 0u;
    };
    set(1);
    if (c.error == nullptr) {
      EXPECT_NO_THROW(set(c.value));
      EXPECT_EQ(get(), c.value);
    } else {
      try {
        set(c.value);
        ADD_FAILURE() << "accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
      EXPECT_EQ(get(), 1u);
    }
  }
}

TEST(MapConstraints, HwprLoopItself) {
  MapConstraints v1(device_of(versions::VLQ7300_v1));
  EXPECT_NO_THROW(v1.set_hwpr_loopitself(false));
  EXPECT_EQ(error_of([&] { v1.set_hwpr_loopitself(true); }), "HWPR NP loopitself feature is not supported for IP v1.");
  EXPECT_FALSE(v1.hwpr_loopitself());

  MapConstraints v2(device_of(versions::FPGA_v2));
  v2.set_hwpr_loopitself(true);
  EXPECT_TRUE(v2.hwpr_loopitself());
  v2.set_hwpr_loopitself(false);
  EXPECT_FALSE(v2.hwpr_loopitself());
}

TEST(MapConstraints, SelectNpsDefault) {
  MapConstraints mc(device_of(versions::FPGA_v2));
  const hw::Ident a{1, 2, 0, 0}, b{1, 2, 1, 0}, c{3, 1, 0, 0};
  struct Case {
    size_t count;
    std::vector<hw::Ident> expected;
  };
  const Case cases[] = {{2, {a, b}}, {0, {}}, {3, {a, b, c}}, {5, {a, b, c}}};
  for (const auto& k : cases) EXPECT_EQ(mc.select_nps({a, b, c}, k.count, hw::Type::CNP1), k.expected) << k.count;
  EXPECT_TRUE(mc.select_nps({}, 1, hw::Type::FNP2).empty());
  EXPECT_NO_THROW(mc.next_layer_handler("conv"));
}

TEST(MappingStatus, Constructors) {
  const MappingStatus ok = MappingSuccess();
  EXPECT_EQ(ok.code, 0u);
  EXPECT_EQ(ok.message, "Success");

  const MappingStatus nps = NpsMappingError("CNP layer conv_1", 3, 2);
  EXPECT_EQ(nps.code, 1u);
  EXPECT_EQ(nps.message, "CNP layer conv_1 : not enough NPs available. 3 are needed but only 2 are available.");
  const auto layer = test::make_layer(LayerType::InputData,
                                      {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}}, "in_0");
  const MappingStatus bad = LayerMappingError(*layer, "no NP left");
  EXPECT_EQ(bad.code, 1u);
  EXPECT_EQ(bad.message, "Error when mapping layer 'in_0': no NP left");

  EXPECT_EQ(NpsMappingError("", 12345678901u, 0).message,
            " : not enough NPs available. 12345678901 are needed but only 0 are available.");
}

}  // namespace
}  // namespace nuvra
