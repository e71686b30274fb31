#include "v2/fnp_hrc/mapping_checks.h"

#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {
namespace {

using test::ModelBuilder;

constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();

hw::Component np(hw::Type type, uint32_t partition_width) {
  hw::Component c;
  c.type = type;
  hw::SplitRecord split;
  split.spatial_partition.shape = Shape{partition_width, 4, 3};
  c.split = split;
  return c;
}

TEST(CheckLayerMappings, CnpPartitionWidthRoundedUpToFourAtMost64) {
  ModelBuilder b;
  b.input(8, 8, 3).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv");
  const Layer& layer = *b.layer("conv");
  struct Case {
    std::vector<hw::Component> components;
    std::string message;  // empty: success
  };
  hw::Component no_split;
  no_split.type = hw::Type::CNP1;
  const Case cases[] = {
      {{}, ""},
      {{np(hw::Type::CNP1, 61)}, ""},
      {{np(hw::Type::CNP2, 64), np(hw::Type::CNP1, 1)}, ""},
      {{no_split}, ""},
      {{np(hw::Type::CNP1, 65)}, "68 exceeds the maximum value for NP input width: 64"},
      {{np(hw::Type::CNP1, 10), np(hw::Type::CNP2, 66)}, "68 exceeds the maximum value for NP input width: 64"},
      // the first failing component is reported
      {{np(hw::Type::CNP2, 100), np(hw::Type::CNP1, 65)}, "100 exceeds the maximum value for NP input width: 64"},
      {{np(hw::Type::CNP1, kMax)}, "4294967296 exceeds the maximum value for NP input width: 64"},
      // only CNPs have the limit
      {{np(hw::Type::TNP_B, 200), np(hw::Type::FNP3, 300), np(hw::Type::HRC, 400)}, ""},
  };
  for (const auto& c : cases) {
    const MappingStatus status = check_layer_mappings(layer, c.components);
    if (c.message.empty()) {
      EXPECT_EQ(status.code, 0u) << status.message;
      EXPECT_EQ(status.message, "Success");
    } else {
      EXPECT_EQ(status.code, 1u);
      EXPECT_EQ(status.message, c.message);
    }
  }
}

struct FitCase {
  const char* what;
  hw::Type type;
  uint32_t height, width, channels, fifo_size;
  uint8_t bits;
  uint32_t taken;
  bool single, dual;
};

TEST(SramInputFit, WindowAgainstSingleAndDualBuffer) {
  HardwareConstraints c;
  c.input_sram_single_buffer_size = 90;
  c.input_sram_dual_buffer_size = 192;
  const FitCase cases[] = {
      // 12 bytes a channel row, 36 a row, 9 words a row: 90 words
      {"cnp 10x10x3", hw::Type::CNP1, 10, 10, 3, 0, 8, 0, true, true},
      {"cnp2 10x10x3", hw::Type::CNP2, 10, 10, 3, 7, 8, 0, true, true},
      {"cnp one word reserved", hw::Type::CNP1, 10, 10, 3, 0, 8, 1, false, true},
      {"cnp dual edge", hw::Type::CNP1, 10, 10, 3, 0, 8, 102, false, true},
      {"cnp dual past edge", hw::Type::CNP1, 10, 10, 3, 0, 8, 103, false, false},
      // 1-bit rows: 2 bytes padded to 4, 3 words a row
      {"cnp 1-bit", hw::Type::CNP1, 30, 10, 3, 0, 1, 0, true, true},
      {"cnp 1-bit too high", hw::Type::CNP1, 31, 10, 3, 0, 1, 0, false, true},
      // one 32-bit word a frame, rounded up to 64, times fifo_size + 1
      {"tnp 1x1x1 fifo 0", hw::Type::TNP_B, 1, 1, 1, 0, 8, 26, true, true},
      {"tnp 1x1x1 fifo 2", hw::Type::TNP_B, 1, 1, 1, 2, 8, 0, false, true},
      {"tnp 1x1x4 fifo 2", hw::Type::TNP_B, 1, 1, 4, 2, 8, 0, false, true},
      {"tnp 64-word frame", hw::Type::TNP_B, 1, 1, 256, 2, 8, 0, false, true},
      {"tnp 65-word frame", hw::Type::TNP_B, 1, 1, 257, 2, 8, 0, false, false},
      {"tnp fifo 2 reserved", hw::Type::TNP_B, 1, 1, 1, 2, 8, 1, false, false},
      // a reserve larger than the SRAM leaves nothing
      {"reserve past capacity", hw::Type::CNP1, 1, 1, 1, 0, 8, 500, false, false},
      {"reserve past single only", hw::Type::CNP1, 1, 1, 1, 0, 8, 91, false, true},
      // sizes past 32 bits do not wrap into range
      {"huge cnp", hw::Type::CNP1, kMax, kMax, kMax, 0, 8, 0, false, false},
      {"huge cnp row", hw::Type::CNP1, 1, kMax, 1, 0, 255, 0, false, false},
      {"huge tnp", hw::Type::TNP_B, kMax, kMax, kMax, kMax, 255, 0, false, false},
      {"tnp fifo wraps", hw::Type::TNP_B, 1, 1, 1, kMax, 8, 0, false, false},
  };
  for (const auto& f : cases) {
    EXPECT_EQ(is_sram_input_fit_single_buffer(c, f.type, f.height, f.width, f.channels, f.fifo_size, f.bits, f.taken),
              f.single)
        << f.what;
    EXPECT_EQ(is_sram_input_fit_dual_buffer(c, f.type, f.height, f.width, f.channels, f.fifo_size, f.bits, f.taken),
              f.dual)
        << f.what;
  }
}

TEST(SramInputFit, OtherNpTypesCannotBeSized) {
  HardwareConstraints c;
  c.input_sram_single_buffer_size = 1000;
  c.input_sram_dual_buffer_size = 1000;
  for (hw::Type t : {hw::Type::HRC, hw::Type::FNP2, hw::Type::FNP3, hw::Type::VIT_BLOCK, hw::Type::TNP_R,
                     hw::Type::SKIP_DMA_LOAD}) {
    for (uint32_t taken : {0u, 2000u}) {
      try {
        is_sram_input_fit_single_buffer(c, t, 1, 1, 1, 0, 8, taken);
        ADD_FAILURE() << "type " << static_cast<int>(t);
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Type of NP not supported.");
      }
      EXPECT_THROW(is_sram_input_fit_dual_buffer(c, t, 1, 1, 1, 0, 8, taken), std::runtime_error);
    }
  }
}

// input (8, 8, 4) -> "conv" Conv2D k3; input (8, 8, 6) -> "dw" DepthwiseConv2D k5; ...
struct WeightLayers {
  ModelBuilder conv, conv7, convt, dw, dw7, dwt, btc, dbtc, dense;
  WeightLayers() {
    conv.input(8, 8, 4).add(LayerType::Conv2D, {{"filters", 16}, {"kernel_size", 3}}, "l");
    conv7.input(8, 8, 4).add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 7}}, "l");
    convt.input(8, 8, 4).add(LayerType::Conv2DTranspose, {{"filters", 8}, {"kernel_size", 4}}, "l");
    dw.input(8, 8, 6).add(LayerType::DepthwiseConv2D, {{"kernel_size", 5}}, "l");
    dw7.input(8, 8, 6).add(LayerType::DepthwiseConv2D, {{"kernel_size", 7}}, "l");
    dwt.input(8, 8, 6).add(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 3}}, "l");
    btc.input(2, 2, 3).add(LayerType::BufferTempConv, {{"filters", 5}, {"fifo_size", 2}}, "l");
    dbtc.input(2, 2, 2).add(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}}, "l");
    dense.input(4, 4, 4).add(LayerType::Dense1D, {{"units", 4}}, "l");
  }
};

TEST(WeightsSize, UnitsByLayerType) {
  WeightLayers w;
  struct Case {
    const char* what;
    ModelBuilder& model;
    uint32_t filters, units;
  };
  const Case cases[] = {
      {"conv 3x3, 10 filters: 12 units x 4 channels", w.conv, 10, 48},
      {"conv 3x3, 8 filters", w.conv, 8, 24},
      {"conv 7x7, 8 filters", w.conv7, 8, 224},
      {"transposed 4x4, 9 filters", w.convt, 9, 96},
      {"depthwise 5x5, 6 channels", w.dw, 6, 18},
      {"depthwise transposed 3x3, 4 channels", w.dwt, 4, 4},
      {"btc fifo 2, 5 filters, 3 channels", w.btc, 5, 18},
      {"btc fifo 2, 25 filters, 3 channels", w.btc, 25, 36},
      {"dbtc fifo 3, 2 channels", w.dbtc, 2, 8},
  };
  for (const auto& c : cases) EXPECT_EQ(get_weights_100b_size(*c.model.layer("l"), c.filters), c.units) << c.what;
}

TEST(WeightsSize, FitAgainstTheNpWeightMemory) {
  WeightLayers w;
  struct Case {
    const char* what;
    ModelBuilder& model;
    uint32_t filters, memory;
    bool fits;
  };
  const Case cases[] = {
      {"conv exactly full", w.conv, 10, 48, true},
      {"conv one unit short", w.conv, 10, 47, false},
      {"dbtc exactly full", w.dbtc, 2, 8, true},
      {"dbtc one unit short", w.dbtc, 2, 7, false},
      // the 18-bit container field bounds what memory alone would allow
      {"conv container at the limit", w.conv7, 37448, kMax, true},     // 262136 units
      {"conv container past the limit", w.conv7, 37456, kMax, false},  // 262192 units
      {"depthwise total at the limit", w.dw7, 37449, kMax, true},      // 262143 units
      {"depthwise total past the limit", w.dw7, 37450, kMax, false},
      {"btc container at the limit", w.btc, 3145704, kMax, true},     // 262142 units
      {"btc container past the limit", w.btc, 3145705, kMax, false},  // 262144 units
      {"dbtc has no container limit", w.dbtc, 300000, kMax, true},
  };
  for (const auto& c : cases) {
    HardwareConstraints hc;
    hc.np_weight_memory_size = c.memory;
    EXPECT_EQ(is_weights_size_fit_np(hc, *c.model.layer("l"), c.filters), c.fits) << c.what;
  }
}

TEST(WeightsSize, OnlyCnpAndTnpBLayersHaveThem) {
  WeightLayers w;
  HardwareConstraints hc;
  hc.np_weight_memory_size = kMax;
  ModelBuilder hrc;
  hrc.add(LayerType::InputConv2D,
          {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4}, {"kernel_size", 3}}, "l");
  for (ModelBuilder* m : {&w.dense, &hrc}) {
    const Layer& layer = *m->layer("l");
    try {
      is_weights_size_fit_np(hc, layer, 4);
      ADD_FAILURE() << layer.get_name();
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Unexpected layer type for CNP or TNP-B.");
    }
    EXPECT_THROW(get_weights_100b_size(layer, 4), std::invalid_argument);
  }
}

TEST(NpSplitParams, BordersPoolingAndFilters) {
  struct Case {
    const char* what;
    hw::Type type;
    LayerType layer_type;
    test::Params params;
    NpSplitParams expected;
  };
  const Case cases[] = {
      {"3x3 conv without pooling", hw::Type::CNP1, LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 24}},
       {1, 1, 1, 1, 0, 0, 0, 24}},
      {"1x1", hw::Type::CNP2, LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 8}}, {0, 0, 0, 0, 0, 0, 0, 8}},
      {"5x5 with max pooling", hw::Type::CNP1, LayerType::Conv2D,
       {{"kernel_size", 5}, {"filters", 4}, {"pool_type", 1}, {"pool_size", 2}}, {2, 2, 2, 2, 1, 2, 2, 4}},
      {"7x7 depthwise without filters", hw::Type::CNP1, LayerType::DepthwiseConv2D, {{"kernel_size", 7}},
       {3, 3, 3, 3, 0, 0, 0, 0}},
      {"tnp-b ignores the kernel", hw::Type::TNP_B, LayerType::BufferTempConv,
       {{"kernel_size", 7}, {"filters", 16}, {"fifo_size", 2}}, {0, 0, 0, 0, 0, 0, 0, 16}},
      {"tnp-b without kernel", hw::Type::TNP_B, LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}},
       {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    auto params = LayerParams::create(c.layer_type, c.params);
    EXPECT_EQ(np_split_params(c.type, *params), c.expected) << c.what;
  }
  auto no_kernel = LayerParams::create(LayerType::Conv2D, {{"filters", 4}});
  EXPECT_THROW(np_split_params(hw::Type::CNP1, *no_kernel), std::invalid_argument);
}

TEST(Fnp3SramSize, WeightImageAgainstTheFnp3Memory) {
  ModelBuilder b;
  b.input(16, 16, 3)
      .add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, "conv")
      .add(LayerType::Dense1D, {{"units", 10}}, "dense");
  const Layer& dense = *b.layer("dense");
  HardwareConstraints hc;
  hc.fnp3_sram_size = 5140;  // 514 words x 10 neurons
  EXPECT_TRUE(check_fnp3_sram_size(hc, dense));
  hc.fnp3_sram_size = 5139;
  EXPECT_FALSE(check_fnp3_sram_size(hc, dense));

  ModelBuilder wide;
  wide.input(3, 7, 3).add(LayerType::Conv2D, {{"filters", 100}, {"kernel_size", 3}}, "conv")
      .add(LayerType::Dense1D, {{"units", 10}}, "dense");
  hc.fnp3_sram_size = kMax;
  EXPECT_THROW(check_fnp3_sram_size(hc, *wide.layer("dense")), std::runtime_error);
}

}  // namespace
}  // namespace nuvra::v2
