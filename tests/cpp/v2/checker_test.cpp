#include "v2/fnp_hrc/compatibility_checker.h"

#include "rule_testing.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;

MappingStatus check(const Layer& layer) {
  static const HardwareConstraints constraints{
      .fnp3_sram_size = 1000, .np_weight_memory_size = 4096, .input_sram_single_buffer_size = 600};
  return CompatibilityCheckerImpl(constraints).check_layer_compatibility(layer, nullptr, versions::FPGA_v2);
}

std::string width(const std::string& name, int limit, int got) {
  return name + " should only contain unsigned values that use no more than " + std::to_string(limit) + " bit, " +
         std::to_string(got) + " detected";
}

std::function<void(Layer&)> set(const std::string& name, std::vector<int> values) {
  return [name, values](Layer& l) { set_variable(l, name, values); };
}

// A layer after an input of `in` = (x, y, c, bits); input layers stand alone.
struct Case {
  LayerType type;
  Params params;
  std::string message;  // after the layer prefix; empty: accepted
  std::function<void(Layer&)> edit = nullptr;
  std::vector<uint32_t> in = {8, 8, 3, 8};
};

const std::vector<uint32_t> kFlat{1, 1, 192, 8};
const Params kConv{{"filters", 4}, {"kernel_size", 3}}, kLut{{"filters", 4}, {"kernel_size", 4}, {"activation", 2}};
const Params kStem{{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192},
                   {"kernel_size", 16}, {"output_bits", 8}};
const Params kHrc{{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3}};
constexpr LayerType kIc = LayerType::InputConv2D;
const std::string kStemShapes =
    "Input shape must be one of: (160, 160, 1 or 3), (224, 224, 1 or 3), (256, 256, 1 or 3)";

// Variable widths in table order, then the activation, then the kind's own rule. The Dense1D rows
// and the Stem shift rows are refusals added so that whatever is accepted can be recorded (the
// CNP strides are in cnp_rules_test).
const Case kCases[] = {
    {LayerType::Conv2D, kConv, ""},
    {LayerType::Conv2D, kConv, "", set("input_shift", {7})},
    {LayerType::Conv2D, kConv, width("input_shift", 3, 4), set("input_shift", {0, 8})},
    {LayerType::Conv2D, kConv, "", set("output_shift", {31, -32})},
    {LayerType::Conv2D, kConv, width("output_shift", 6, 7), set("output_shift", {-33})},
    {LayerType::Conv2D, kConv, width("max_value_shift", 5, 6), set("max_value_shift", {32})},
    {LayerType::Conv2D, kLut, width("bias_shift", 5, 7), set("bias_shift", {0, 0, 0, 64})},
    {LayerType::Conv2D, kLut, "layer does not support activation type 'LUT'."},  // before the kernel
    {LayerType::DepthwiseBufferTempConv, {{"fifo_size", 13}}, "The maximum number of taps is 12 (got 13)"},
    {LayerType::FullyConnected, {{"units", 4}}, "Unsupported layer type on v2."},
    {LayerType::StatefulRecurrentLegacy, {{"stateful_channels", 4}, {"out_channels", 4}}, "Input should be 16-bit."},
    {LayerType::Dense1D, {{"units", 4}}, "Weights should use between 2 and 8 bits (got 1)", set("weights", {-1, 0}),
     kFlat},
    {LayerType::Dense1D, {{"units", 4}, {"activation", 0}, {"output_bits", 5}},
     "Output bitwidth should be 4 or between 8 and 32 (got 5)", nullptr, kFlat},
    {LayerType::Dense1D, {{"units", 65536}}, "The maximum number of units is 65535 (got 65536)", nullptr, {1, 1, 1, 8}},
    {LayerType::Dense1D, {{"units", 2}},
     "An input of 8x8x3 that does not come from an input, CNP or TNP-B layer must be flat (1x1xN) to fit in a FNP."},
    // 2800, 2100 and 2100 bytes in the three layouts: none fits.
    {LayerType::Dense1D, {{"units", 2}}, "Input dimensions are too large to fit in a FNP. The maximum value is 2048.",
     nullptr, {3, 7, 100, 8}},
    // The HRC input layers' own rules.
    {kIc, kHrc, ""},
    {kIc, kHrc, "All weights cannot be zeroes.", set("weights", {})},
    {kIc, with(kHrc, {{"kernel_size", 6}}),
     "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7.6 given."},
    {kIc, with(kHrc, {{"kernel_size", 7}, {"kernel_stride", 7}}),
     "For a kernel size 7, the kernel stride must be smaller than 6"},
    {kIc, with(kHrc, {{"kernel_stride", 4}}), "For a kernel size 3, the kernel stride must be smaller than 3"},
    {kIc, with(kHrc, {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 1}}),
     "Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of (Pool_size, "
     "Pool_stride) are :(2, 2) or (3, 2). Received (2, 1)."},
    {kIc, with(kHrc, {{"pool_type", 2}, {"pool_size", 5}, {"pool_stride", 1}}), ""},  // not checked here
    {kIc, with(kHrc, {{"input_width", 4}, {"input_height", 100}}),
     "Unsupported input size. Received: 4 as first dimension.\n The first dimension should be >= 5"},
    {kIc, with(kHrc, {{"input_width", 100}, {"input_height", 385}}),
     "Unsupported input size. Received: 385 as second dimension.\n The second dimension should be between 5 and 384"},
    {kIc, with(kHrc, {{"activation", 0}, {"output_bits", 32}}),
     "The first convolutional layer of a model can only be mapped if its activations are enabled"},
    {kIc, with(kHrc, {{"output_bits", 4}}), "Output should be 8-bit. 4 given."},
    {kIc, with(kHrc, {{"filters", 513}}), "The filters number should be set between 1 and 512 513 given."},
    {LayerType::Stem, kStem, ""},
    {LayerType::Stem, with(kStem, {{"input_height", 160}}), kStemShapes},
    {LayerType::Stem, with(kStem, {{"kernel_size", 14}}), "Kernel size must be 16."},
    {LayerType::Stem, with(kStem, {{"output_bits", 4}}), "Output should be 8-bit. 4 given."},
    {LayerType::Stem, kStem, "All weights cannot be zeroes.", set("weights", {})},
    {LayerType::Stem, kStem, width("tokens_shift", 5, 6), set("tokens_shift", {0, 32})},
    {LayerType::Stem, with(kStem, {{"filters", 188}}), "The number of filters must be 192.",  // its rules first
     set("tokens_shift", {40})},
};

TEST(Checker, RulesInOrderWithTheirMessages) {
  for (size_t i = 0; i < std::size(kCases); ++i) {
    const Case& c = kCases[i];
    SCOPED_TRACE("row " + std::to_string(i));
    ModelBuilder b;
    if (c.type != kIc && c.type != LayerType::Stem) b.input(c.in[0], c.in[1], c.in[2], static_cast<int>(c.in[3]));
    b.add(c.type, c.params, "layer");
    // Real weights: a fresh all-zero tensor measures 1 bit and counts as all zero.
    if (c.type == LayerType::Dense1D || c.type == kIc || c.type == LayerType::Stem)
      set_variable(*b.layer("layer"), "weights", {5, -3});
    if (c.edit) c.edit(*b.layer("layer"));
    expect_status(check(*b.layer("layer")), on("layer", c.message));
  }
}

}  // namespace
}  // namespace nuvra::v2
