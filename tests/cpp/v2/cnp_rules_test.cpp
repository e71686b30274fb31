#include "v2/cnp/cnp_rules.h"

#include "rule_testing.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::expect_status;
using test::ModelBuilder;
using test::Params;

const std::string kPrefix = "Error when mapping layer 'cnp': ";

HardwareConstraints cnp_constraints() {
  HardwareConstraints c;
  c.np_weight_memory_size = 4096;
  c.input_sram_single_buffer_size = 576;  // a 12 x 12 x 16 input, 8 bits
  return c;
}

MappingStatus run_rule(LayerType type, const Layer& layer) {
  const HardwareConstraints c = cnp_constraints();
  switch (type) {
    case LayerType::Conv2D: return check_conv2d_constraints(c, layer);
    case LayerType::DepthwiseConv2D: return check_dwconv2d_constraints(c, layer);
    case LayerType::Conv2DTranspose: return check_conv2dtranspose_constraints(c, layer);
    case LayerType::DepthwiseConv2DTranspose: return check_dwconv2dtranspose_constraints(layer);
    default: throw std::logic_error("not a CNP convolution");
  }
}

struct ConvCase {
  const char* what;
  LayerType type;
  uint32_t width, height, channels;
  int input_bits;
  Params params;
  std::string message;  // empty: accepted
};

void PrintTo(const ConvCase& c, std::ostream* os) { *os << c.what; }

class ConvRules : public ::testing::TestWithParam<ConvCase> {};

TEST_P(ConvRules, FirstFailingRuleReportsItsMessage) {
  const ConvCase& c = GetParam();
  ModelBuilder b;
  b.input(c.width, c.height, c.channels, c.input_bits).add(c.type, c.params, "cnp");
  expect_status(run_rule(c.type, *b.layer("cnp")), c.message.empty() ? "" : kPrefix + c.message);
}

constexpr LayerType kConv = LayerType::Conv2D;
constexpr LayerType kDw = LayerType::DepthwiseConv2D;
constexpr LayerType kConvT = LayerType::Conv2DTranspose;
constexpr LayerType kDwT = LayerType::DepthwiseConv2DTranspose;

const Params k1{{"filters", 1}, {"kernel_size", 1}};
const Params k3{{"filters", 4}, {"kernel_size", 3}};

Params with(Params p, const Params& more) {
  for (const auto& [k, v] : more) p[k] = v;
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Common, ConvRules,
    ::testing::Values(
        ConvCase{"accepted", kConv, 8, 8, 3, 8, k3, ""},
        ConvCase{"input bits before sizes", kConv, 5000, 1, 1, 16, k1, "Input should be 8-bit."},
        ConvCase{"transposed input bits", kConvT, 4, 4, 1, 4, k3, "Input should be 8-bit."},
        ConvCase{"activation with 9 output bits", kConv, 8, 8, 3, 8, with(k3, {{"output_bits", 9}}),
                 "With activation output bitwidth should be <= 8."},
        ConvCase{"no activation, 32 output bits", kConv, 8, 8, 3, 8, with(k3, {{"activation", 0}}), ""},
        ConvCase{"width at the limit", kConv, 4096, 1, 1, 8, k1, ""},
        ConvCase{"width over the limit", kConv, 4097, 1, 1, 8, k1, "The maximum input width is 4096 (got 4097)"},
        ConvCase{"height at the limit", kDw, 1, 4096, 1, 8, {{"kernel_size", 3}}, ""},
        ConvCase{"height over the limit", kDwT, 1, 4097, 1, 8, {{"kernel_size", 3}},
                 "The maximum input height is 4096 (got 4097)"},
        ConvCase{"channels at the limit", kConv, 1, 1, 2048, 8, k1, ""},
        ConvCase{"channels over the limit", kConv, 1, 1, 2049, 8, k1,
                 "The maximum input channel value is 2048 (got 2049)"},
        ConvCase{"filters at the limit", kConv, 1, 1, 1, 8, {{"filters", 2048}, {"kernel_size", 1}}, ""},
        ConvCase{"filters over the limit", kConvT, 1, 1, 1, 8, {{"filters", 2049}, {"kernel_size", 3}},
                 "The maximum number of filters is 2048 (got 2049)"},
        ConvCase{"depthwise filters are its channels", kDw, 1, 1, 2048, 8, {{"kernel_size", 3}}, ""}));

INSTANTIATE_TEST_SUITE_P(
    PaddingAndPooling, ConvRules,
    ::testing::Values(
        ConvCase{"valid padding", kConv, 8, 8, 3, 8, with(k3, {{"padding", 0}}), "Only padding 'Same' is supported."},
        ConvCase{"depthwise valid padding", kDw, 8, 8, 3, 8, {{"kernel_size", 3}, {"padding", 0}},
                 "Only padding 'Same' is supported."},
        ConvCase{"max pooling 2", kConv, 8, 8, 3, 8, with(k3, {{"pool_type", 1}, {"pool_size", 2}}), ""},
        ConvCase{"pooling and stride", kConv, 8, 8, 3, 8,
                 with(k3, {{"pool_type", 1}, {"pool_size", 2}, {"kernel_stride", 2}}),
                 "The CNP cannot support both pooling and stride."},
        ConvCase{"stride rule before size rule", kConv, 8, 8, 3, 8,
                 with(k3, {{"pool_type", 1}, {"pool_size", 3}, {"kernel_stride", 2}}),
                 "The CNP cannot support both pooling and stride."},
        ConvCase{"max pooling 3", kDw, 8, 8, 3, 8, {{"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 3}},
                 "Pooling size must be 1 or 2"},
        ConvCase{"max pooling wider than the input", kConv, 1, 4, 3, 8,
                 with(k1, {{"pool_type", 1}, {"pool_size", 2}}), "Pooling size cannot be greater than input dimensions"},
        ConvCase{"max pooling taller than the input", kConv, 4, 1, 3, 8,
                 with(k1, {{"pool_type", 1}, {"pool_size", 2}}), "Pooling size cannot be greater than input dimensions"},
        ConvCase{"average pooling without activation", kConv, 12, 12, 16, 8,
                 with(k3, {{"pool_type", 2}, {"pool_size", -1}, {"activation", 0}}),
                 "Global Average pooling must be used with an activation."},
        ConvCase{"average pooling not global", kConv, 12, 12, 16, 8, with(k3, {{"pool_type", 2}, {"pool_size", 2}}),
                 "Global Average pooling must be global"},
        ConvCase{"global average pooling, 144 pixels, SRAM full", kConv, 12, 12, 16, 8,
                 with(k3, {{"pool_type", 2}, {"pool_size", -1}}), ""},
        ConvCase{"global average pooling, 65 wide", kDw, 65, 1, 1, 8,
                 {{"kernel_size", 3}, {"pool_type", 2}, {"pool_size", -1}},
                 "When using Global Average Pooling, input width cannot exceed 64"},
        ConvCase{"global average pooling, 156 pixels", kConv, 13, 12, 1, 8,
                 with(k3, {{"pool_type", 2}, {"pool_size", -1}}),
                 "When using Global Average Pooling, input dimensions width * height cannot exceed 144"},
        ConvCase{"global average pooling, input past the SRAM", kConv, 12, 12, 17, 8,
                 with(k3, {{"pool_type", 2}, {"pool_size", -1}}),
                 "When using Global Average Pooling, spatial split is impossible"},
        ConvCase{"transposed layers have no padding or pooling rule", kConvT, 8, 8, 3, 8, k3, ""}));

INSTANTIATE_TEST_SUITE_P(
    KernelAndWeights, ConvRules,
    ::testing::Values(
        ConvCase{"conv kernel 7", kConv, 8, 8, 3, 8, with(k3, {{"kernel_size", 7}}), ""},
        ConvCase{"conv kernel 4", kConv, 8, 8, 3, 8, with(k3, {{"kernel_size", 4}}), "Kernel size must be 1, 3, 5 or 7"},
        ConvCase{"transposed conv kernel 4", kConvT, 8, 8, 3, 8, with(k3, {{"kernel_size", 4}}), ""},
        ConvCase{"transposed conv kernel 5", kConvT, 8, 8, 3, 8, with(k3, {{"kernel_size", 5}}),
                 "Kernel size must be 3 or 4"},
        ConvCase{"depthwise kernel 1", kDw, 8, 8, 3, 8, {{"kernel_size", 1}}, "Kernel size must be 3, 5 or 7"},
        ConvCase{"depthwise kernel 4", kDw, 8, 8, 3, 8, {{"kernel_size", 4}}, "Kernel size must be 3, 5 or 7"},
        ConvCase{"transposed depthwise kernel 4", kDwT, 8, 8, 3, 8, {{"kernel_size", 4}}, ""},
        ConvCase{"transposed depthwise kernel 7", kDwT, 8, 8, 3, 8, {{"kernel_size", 7}}, "Kernel size must be 3 or 4"},
        // kernel 3: 6 units per input channel against 4096
        ConvCase{"682 channels fit", kConv, 1, 1, 682, 8, k3, ""},
        ConvCase{"683 channels do not", kConv, 1, 1, 683, 8, k3,
                 "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth"},
        ConvCase{"transposed: 683 channels do not", kConvT, 1, 1, 683, 8, k3,
                 "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth"},
        // kernel 7: 56 units per input channel
        ConvCase{"kernel 7, 73 channels fit", kConv, 1, 1, 73, 8, with(k3, {{"kernel_size", 7}}), ""},
        ConvCase{"kernel 7, 74 channels do not", kConv, 1, 1, 74, 8, with(k3, {{"kernel_size", 7}}),
                 "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth"},
        ConvCase{"depthwise has no weight rule", kDw, 1, 1, 2048, 8, {{"kernel_size", 7}}, ""}));

// The register block knows strides 1 and 2 only, and a 3-bit max pooling stride.
INSTANTIATE_TEST_SUITE_P(
    RecordableStrides, ConvRules,
    ::testing::Values(
        ConvCase{"stride 2", kConv, 8, 8, 3, 8, with(k3, {{"kernel_stride", 2}}), ""},
        ConvCase{"stride 3", kConv, 8, 8, 3, 8, with(k3, {{"kernel_stride", 3}}), "Kernel stride must be 1 or 2 (got 3)"},
        ConvCase{"depthwise stride 4", kDw, 8, 8, 3, 8, {{"kernel_size", 3}, {"kernel_stride", 4}},
                 "Kernel stride must be 1 or 2 (got 4)"},
        ConvCase{"kernel rule before the stride rule", kConv, 8, 8, 3, 8, {{"filters", 4}, {"kernel_size", 4}, {"kernel_stride", 3}},
                 "Kernel size must be 1, 3, 5 or 7"},
        ConvCase{"pooling stride 7", kConv, 8, 8, 3, 8, with(k3, {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 7}}),
                 ""},
        ConvCase{"pooling stride 8", kDw, 8, 8, 3, 8,
                 {{"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 8}},
                 "The maximum pooling stride is 7 (got 8)"}));

struct AddCase {
  int a, b, o;
  std::string message;
};

TEST(CheckAddShift, InputShiftGapAndOutputShiftRange) {
  const std::string in_range = "This model cannot be mapped in hardware, Add input shift is out of range.";
  const std::string out_range = "This model cannot be mapped in hardware, Add output shift is out of range.";
  const AddCase cases[] = {
      {0, 15, -15, ""},        {0, 16, -16, in_range},   {16, 0, -9, in_range},
      {3, 1, 0, ""},           {3, 1, 1, out_range},     {1, 3, 1, out_range},
      {0, 0, -4, ""},          {0, 0, -5, out_range},    {15, 12, -15, ""},
      {15, 12, -20, out_range}, {20, 30, -30, ""},
  };
  for (const AddCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + ", " + std::to_string(c.b) + ", " + std::to_string(c.o));
    ModelBuilder b;
    b.input(4, 4, 3)
        .add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 1}}, "conv")
        .add(LayerType::Add, {}, "cnp", {"input", "conv"});
    Layer& add = *b.layer("cnp");
    // The probed values sit on the last channel: every channel is checked.
    test::set_variable(add, "a_shift", {0, 0, c.a});
    test::set_variable(add, "b_shift", {0, 0, c.b});
    test::set_variable(add, "output_shift", {0, 0, c.o});
    expect_status(check_add_shift(add), c.message.empty() ? "" : kPrefix + c.message);
  }
}

}  // namespace
}  // namespace nuvra::v2
