#include "v2/cnp/cnp_rules.h"

#include "rule_testing.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;

constexpr LayerType kConv = LayerType::Conv2D, kDw = LayerType::DepthwiseConv2D;
constexpr LayerType kConvT = LayerType::Conv2DTranspose, kDwT = LayerType::DepthwiseConv2DTranspose;
const Params k1{{"filters", 1}, {"kernel_size", 1}}, k3{{"filters", 4}, {"kernel_size", 3}}, kDw3{{"kernel_size", 3}};
const Params kGap{{"pool_type", 2}, {"pool_size", -1}}, kMax2{{"pool_type", 1}, {"pool_size", 2}};
const std::string kGapPrefix = "When using Global Average Pooling, ";
const std::string kTooBig = "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth";

// type, input width, height, channels and bits, parameters, message (empty: accepted)
const std::tuple<LayerType, uint32_t, uint32_t, uint32_t, int, Params, std::string> kCases[] = {
    {kConv, 8, 8, 3, 8, k3, ""},
    {kConv, 5000, 1, 1, 16, k1, "Input should be 8-bit."},  // before the size rules
    {kConv, 8, 8, 3, 8, with(k3, {{"output_bits", 9}}), "With activation output bitwidth should be <= 8."},
    {kConv, 4097, 1, 1, 8, k1, "The maximum input width is 4096 (got 4097)"},
    {kDwT, 1, 4097, 1, 8, kDw3, "The maximum input height is 4096 (got 4097)"},
    {kConv, 1, 1, 2049, 8, k1, "The maximum input channel value is 2048 (got 2049)"},
    {kConv, 1, 1, 1, 8, {{"filters", 2048}, {"kernel_size", 1}}, ""},
    {kConvT, 1, 1, 1, 8, {{"filters", 2049}, {"kernel_size", 3}}, "The maximum number of filters is 2048 (got 2049)"},
    {kDw, 1, 1, 2048, 8, kDw3, ""},  // a depthwise layer's filters are its channels
    {kConv, 8, 8, 3, 8, with(k3, {{"padding", 0}}), "Only padding 'Same' is supported."},
    {kConv, 8, 8, 3, 8, with(k3, {{"pool_type", 1}, {"pool_size", 3}, {"kernel_stride", 2}}),
     "The CNP cannot support both pooling and stride."},
    {kDw, 8, 8, 3, 8, with(kDw3, {{"pool_type", 1}, {"pool_size", 3}}), "Pooling size must be 1 or 2"},
    {kConv, 12, 12, 16, 8, with(k3, kGap), ""},  // 144 pixels, a full input SRAM
    {kDw, 65, 1, 1, 8, with(kDw3, kGap), kGapPrefix + "input width cannot exceed 64"},
    {kConv, 13, 12, 1, 8, with(k3, kGap), kGapPrefix + "input dimensions width * height cannot exceed 144"},
    {kConv, 12, 12, 17, 8, with(k3, kGap), kGapPrefix + "spatial split is impossible"},
    {kConv, 8, 8, 3, 8, with(k3, {{"kernel_size", 4}}), "Kernel size must be 1, 3, 5 or 7"},
    {kConvT, 8, 8, 3, 8, with(k3, {{"kernel_size", 4}}), ""},
    {kConvT, 8, 8, 3, 8, with(k3, {{"kernel_size", 5}}), "Kernel size must be 3 or 4"},
    {kConv, 1, 1, 682, 8, k3, ""},  // kernel 3: 6 units per input channel against 4096
    {kConv, 1, 1, 683, 8, k3, kTooBig},
    // The register block knows strides 1 and 2 only, and a 3-bit max pooling stride.
    {kDw, 8, 8, 3, 8, with(kDw3, {{"kernel_stride", 4}}), "Kernel stride must be 1 or 2 (got 4)"},
    {kDw, 8, 8, 3, 8, with(kDw3, with(kMax2, {{"pool_stride", 8}})), "The maximum pooling stride is 7 (got 8)"},
};

TEST(CnpRules, FirstFailingRuleReportsItsMessage) {
  // The input SRAM holds a 12 x 12 x 16 input of 8 bits.
  const HardwareConstraints hc{.np_weight_memory_size = 4096, .input_sram_single_buffer_size = 576};
  for (const auto& [type, width, height, channels, bits, params, message] : kCases) {
    SCOPED_TRACE(message);
    ModelBuilder b;
    b.input(width, height, channels, bits).add(type, params, "cnp");
    const Layer& l = *b.layer("cnp");
    expect_status(type == kConv    ? check_conv2d_constraints(hc, l)
                  : type == kDw    ? check_dwconv2d_constraints(hc, l)
                  : type == kConvT ? check_conv2dtranspose_constraints(hc, l)
                                   : check_dwconv2dtranspose_constraints(l),
                  on("cnp", message));
  }
}

TEST(CnpRules, AddShiftGapAndOutputShiftRange) {
  const std::string in = "This model cannot be mapped in hardware, Add input shift is out of range.";
  const std::string out = "This model cannot be mapped in hardware, Add output shift is out of range.";
  const std::tuple<int, int, int, std::string> cases[] = {{0, 15, -15, ""}, {0, 16, -16, in}, {16, 0, -9, in},
                                                          {3, 1, 0, ""},    {1, 3, 1, out},   {0, 0, -4, ""},
                                                          {0, 0, -5, out},  {20, 30, -30, ""}};
  for (const auto& [a, b, o, message] : cases) {
    SCOPED_TRACE(std::to_string(a) + ", " + std::to_string(b) + ", " + std::to_string(o));
    ModelBuilder m;
    m.input(4, 4, 3).add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 1}}, "conv");
    m.add(LayerType::Add, {}, "cnp", {"input", "conv"});
    // On the last channel: every channel is checked.
    set_variable(*m.layer("cnp"), "a_shift", {0, 0, a});
    set_variable(*m.layer("cnp"), "b_shift", {0, 0, b});
    set_variable(*m.layer("cnp"), "output_shift", {0, 0, o});
    expect_status(check_add_shift(*m.layer("cnp")), on("cnp", message));
  }
}

}  // namespace
}  // namespace nuvra::v2
