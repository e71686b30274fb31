#include "v2/fnp_hrc/compatibility_checker.h"

#include "rule_testing.h"
#include "stub_layer.h"
#include "support/model_builders.h"
#include "v2/fnp_hrc/fnp_sizes.h"
#include "v2/fnp_hrc/mapping_checks.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::expect_status;
using test::ModelBuilder;
using test::Params;
using test::set_variable;

std::string on(const std::string& name, const std::string& message) {
  return "Error when mapping layer '" + name + "': " + message;
}

HardwareConstraints v2_constraints() {
  HardwareConstraints c;
  c.fnp3_sram_size = 1000;
  c.np_weight_memory_size = 4096;
  c.input_sram_dual_buffer_size = 300;
  c.input_sram_single_buffer_size = 600;
  return c;
}

MappingStatus check(const Layer& layer, const std::shared_ptr<Layer>& previous = nullptr) {
  static const HardwareConstraints constraints = v2_constraints();
  const CompatibilityCheckerImpl checker(constraints);
  const MappingStatus status = checker.check_layer_compatibility(layer, previous, versions::FPGA_v2);
  // The device's version is not consulted.
  const MappingStatus other = checker.check_layer_compatibility(layer, previous, versions::Qrix_v1);
  EXPECT_EQ(other.code, status.code);
  EXPECT_EQ(other.message, status.message);
  return status;
}

const Params kConv{{"filters", 4}, {"kernel_size", 3}};

// A layer of `type` after an 8 x 8 x 3 input (merges also after a convolution of it), then
// `edit` applied to it.
struct LayerCase {
  const char* what;
  LayerType type;
  Params params;
  std::function<void(Layer&)> edit;
  std::string message;  // empty: accepted; otherwise the text after the layer prefix
};

void run_cases(const std::vector<LayerCase>& cases) {
  for (const LayerCase& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    // A Dense1D straight after the input layer reads it as one flat vector.
    if (c.type == LayerType::Dense1D)
      b.input(1, 1, 192);
    else
      b.input(8, 8, 3);
    if (c.type == LayerType::Add || c.type == LayerType::Concatenate)
      b.add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 1}}, "side").add(c.type, c.params, "layer",
                                                                                 {"input", "side"});
    else
      b.add(c.type, c.params, "layer");
    Layer& layer = *b.layer("layer");
    if (c.edit) c.edit(layer);
    expect_status(check(layer), c.message.empty() ? "" : on("layer", c.message));
  }
}

auto set(const std::string& name, std::vector<int> values) {
  return [name, values](Layer& l) { set_variable(l, name, values); };
}

TEST(CheckerVariableWidths, EachShiftAgainstItsLimitInTableOrder) {
  const auto width = [](const std::string& name, int limit, int got) {
    return name + " should only contain unsigned values that use no more than " + std::to_string(limit) + " bit, " +
           std::to_string(got) + " detected";
  };
  run_cases({
      {"fresh variables", LayerType::Conv2D, kConv, nullptr, ""},
      {"input_shift of 3 bits", LayerType::Conv2D, kConv, set("input_shift", {7}), ""},
      {"input_shift of 4 bits", LayerType::Conv2D, kConv, set("input_shift", {0, 8}), width("input_shift", 3, 4)},
      {"max_value_shift of 5 bits", LayerType::Conv2D, kConv, set("max_value_shift", {31}), ""},
      {"max_value_shift of 6 bits", LayerType::Conv2D, kConv, set("max_value_shift", {32}),
       width("max_value_shift", 5, 6)},
      {"output_shift of 6 bits", LayerType::Conv2D, kConv, set("output_shift", {31, -32}), ""},
      {"output_shift of 7 bits", LayerType::Conv2D, kConv, set("output_shift", {-33}), width("output_shift", 6, 7)},
      {"bias_shift of 6 bits", LayerType::Conv2D, kConv, set("bias_shift", {0, 0, 0, 63}), width("bias_shift", 5, 6)},
      {"bias_shift of 7 bits", LayerType::Conv2D, kConv, set("bias_shift", {64}), width("bias_shift", 5, 7)},
      {"first in table order", LayerType::Conv2D, kConv,
       [](Layer& l) {
         set_variable(l, "bias_shift", {64});
         set_variable(l, "input_shift", {8});
       },
       width("input_shift", 3, 4)},
      {"before the activation and the kind's rule", LayerType::Conv2D,
       {{"filters", 4}, {"kernel_size", 4}, {"activation", 2}}, set("bias_shift", {64}), width("bias_shift", 5, 7)},
  });

  // An unsupported kind that carries a faulty shift reports the shift.
  test::StubLayer stub(LayerType::FullyConnected, {}, Shape{4, 4, 1}, "layer");
  auto& vars = dynamic_cast<VariablesImpl&>(*stub.variables());
  vars.declare({"bias_shift", TensorType::uint8, Shape{2}});
  set_variable(stub, "bias_shift", {0, 100});
  expect_status(check(stub), on("layer", width("bias_shift", 5, 7)));
}

TEST(CheckerActivation, OnlyReluOrNoneBeforeTheKindsRule) {
  run_cases({
      {"ReLU", LayerType::Conv2D, kConv, nullptr, ""},
      {"no activation", LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"activation", 0}}, nullptr, ""},
      {"LUT", LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"activation", 2}}, nullptr,
       "layer does not support activation type 'LUT'."},
      {"unknown code", LayerType::Dense1D, {{"units", 2}, {"activation", 7}}, nullptr,
       "layer does not support activation type 'Unknown'."},
      {"before the kernel rule", LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 4}, {"activation", 2}}, nullptr,
       "layer does not support activation type 'LUT'."},
      {"before the TNP-B rule", LayerType::BufferTempConv,
       {{"filters", 4}, {"fifo_size", 2}, {"activation", 2}, {"output_bits", 16}}, nullptr,
       "layer does not support activation type 'LUT'."},
  });
}

// Real weights: a fresh all-zero tensor measures 1 bit and counts as all zero.
void real_weights(Layer& l) { set_variable(l, "weights", {5, -3}); }

const Params kInputConv{{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4},
                        {"kernel_size", 3}};
const Params kStem{{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192},
                   {"kernel_size", 16}, {"output_bits", 8}};

Params with(Params p, const Params& more) {
  for (const auto& [k, v] : more) p[k] = v;
  return p;
}

TEST(CheckerDispatch, EachKindMeetsItsOwnRule) {
  run_cases({
      {"Add", LayerType::Add, {}, nullptr, ""},
      {"Add shifts", LayerType::Add, {}, set("b_shift", {16}),
       "This model cannot be mapped in hardware, Add input shift is out of range."},
      {"Concatenate", LayerType::Concatenate, {}, nullptr, ""},
      {"Dequantizer", LayerType::Dequantizer, {}, nullptr, ""},
      {"Conv2D", LayerType::Conv2D, kConv, nullptr, ""},
      {"Conv2D kernel", LayerType::Conv2D, with(kConv, {{"kernel_size", 4}}), nullptr,
       "Kernel size must be 1, 3, 5 or 7"},
      {"DepthwiseConv2D", LayerType::DepthwiseConv2D, {{"kernel_size", 5}}, nullptr, ""},
      {"DepthwiseConv2D kernel", LayerType::DepthwiseConv2D, {{"kernel_size", 1}}, nullptr,
       "Kernel size must be 3, 5 or 7"},
      {"Conv2DTranspose", LayerType::Conv2DTranspose, with(kConv, {{"kernel_size", 4}}), nullptr, ""},
      {"Conv2DTranspose kernel", LayerType::Conv2DTranspose, with(kConv, {{"kernel_size", 5}}), nullptr,
       "Kernel size must be 3 or 4"},
      {"DepthwiseConv2DTranspose", LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 3}}, nullptr, ""},
      {"DepthwiseConv2DTranspose kernel", LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 5}}, nullptr,
       "Kernel size must be 3 or 4"},
      {"BufferTempConv", LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}}, nullptr, ""},
      {"BufferTempConv output", LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}, {"activation", 0}},
       nullptr, "Output should be 8-bit."},
      {"DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}}, nullptr, ""},
      {"DepthwiseBufferTempConv taps", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 13}}, nullptr,
       "The maximum number of taps is 12 (got 13)"},
      {"TNP-R on 8 bits", LayerType::StatefulRecurrentLegacy, {{"stateful_channels", 4}, {"out_channels", 4}}, nullptr,
       "Input should be 16-bit."},
      {"Dense1D", LayerType::Dense1D, {{"units", 4}}, real_weights, ""},
      {"Dense1D output", LayerType::Dense1D, {{"units", 4}, {"output_bits", 9}}, real_weights,
       "With activation output bitwidth should be <= 8."},
      {"FullyConnected", LayerType::FullyConnected, {{"units", 4}}, nullptr, "Unsupported layer type on v2."},
      {"Dense2D", LayerType::Dense2D, {{"units", 4}}, nullptr, "Unsupported layer type on v2."},
  });
}

TEST(CheckerDispatch, InputLayersAndTransformerKinds) {
  struct Case {
    const char* what;
    uint32_t width, height, channels;
    int bits;
    LayerType type;
    Params params;
    std::function<void(Layer&)> edit;
    std::string message;
  };
  const Case cases[] = {
      {"InputConv2D", 0, 0, 0, 0, LayerType::InputConv2D, kInputConv, real_weights, ""},
      {"InputConv2D kernel", 0, 0, 0, 0, LayerType::InputConv2D, with(kInputConv, {{"kernel_size", 6}}), real_weights,
       "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7.6 given."},
      {"InputConv2D zero weights", 0, 0, 0, 0, LayerType::InputConv2D, kInputConv, nullptr,
       "All weights cannot be zeroes."},
      {"Stem", 0, 0, 0, 0, LayerType::Stem, kStem, real_weights, ""},
      {"Stem kernel", 0, 0, 0, 0, LayerType::Stem, with(kStem, {{"kernel_size", 14}}), real_weights,
       "Kernel size must be 16."},
      {"InputData", 0, 0, 0, 0, LayerType::InputData, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}},
       nullptr, "Unsupported layer type on v2."},
      {"VitEncoderBlock", 1, 10, 24, 8, LayerType::VitEncoderBlock, {}, nullptr, ""},
      // Accepted although never recorded: the mesh mapper refuses the kind.
      {"TNP-R", 4, 1, 8, 16, LayerType::StatefulRecurrentLegacy,
       {{"stateful_channels", 256}, {"out_channels", 4}, {"subsample_ratio", 128}}, nullptr, ""},
      {"TNP-R time", 4, 2, 8, 16, LayerType::StatefulRecurrentLegacy, {{"stateful_channels", 4}, {"out_channels", 4}},
       nullptr, "The maximum input time is 1 (got 2)"},
      {"TNP-R channels", 4, 1, 257, 16, LayerType::StatefulRecurrentLegacy,
       {{"stateful_channels", 4}, {"out_channels", 4}}, nullptr, "The maximum input channel value is 256 (got 257)"},
      {"TNP-R state", 4, 1, 8, 16, LayerType::StatefulRecurrentLegacy,
       {{"stateful_channels", 257}, {"out_channels", 4}}, nullptr,
       "Stateful channels exceeds max limit of 256 for TNP-R."},
      {"TNP-R output", 4, 1, 8, 16, LayerType::StatefulRecurrentLegacy,
       {{"stateful_channels", 4}, {"out_channels", 257}}, nullptr, "Output channels exceeds max limit of 256 for TNP-R."},
      {"TNP-R ratio", 4, 1, 8, 16, LayerType::StatefulRecurrentLegacy,
       {{"stateful_channels", 4}, {"out_channels", 4}, {"subsample_ratio", 8}}, nullptr,
       "Subsample_ratio must be one of [1, 4, 16, 32, 64, 128]."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    if (c.width) b.input(c.width, c.height, c.channels, c.bits);
    b.add(c.type, c.params, "layer");
    Layer& layer = *b.layer("layer");
    if (c.edit) c.edit(layer);
    expect_status(check(layer), c.message.empty() ? "" : on("layer", c.message));
  }
}

TEST(CheckerDispatch, PreviousReachesTheDense1DRule) {
  // 3 x 6 x 100 takes 2400 bytes in channel rows and 1800 in pixel rows, which an input straight
  // from a TNP-B cannot use.
  ModelBuilder b;
  b.input(3, 6, 100).add(LayerType::Conv2D, {{"filters", 100}, {"kernel_size", 1}}, "conv");
  b.add(LayerType::Dense1D, {{"units", 2}}, "dense");
  b.add(LayerType::BufferTempConv, {{"filters", 100}, {"fifo_size", 2}}, "tnp", {"input"});
  Layer& dense = *b.layer("dense");
  real_weights(dense);
  expect_status(check(dense, b.layer("conv")), "");
  expect_status(check(dense, nullptr), "");
  expect_status(check(dense, b.layer("tnp")),
                on("dense", "Input dimensions are too large to fit in a FNP. The maximum value is 2048."));
}

// What the checker lets through must be recordable: where the recorders cannot program a
// layer that the kind's rule accepts, the checker refuses it.
TEST(CheckerRecordable, Dense1DRegisterFieldsAndWeightWidth) {
  run_cases({
      {"fresh zero weights", LayerType::Dense1D, {{"units", 4}}, nullptr,
       "Weights should use between 2 and 8 bits (got 1)"},
      {"weights of 0 and -1", LayerType::Dense1D, {{"units", 4}}, set("weights", {-1, 0, -1}),
       "Weights should use between 2 and 8 bits (got 1)"},
      {"weights of 2 bits", LayerType::Dense1D, {{"units", 4}}, set("weights", {1}), ""},
      {"8-bit weights", LayerType::Dense1D, {{"units", 4}}, set("weights", {-128, 127}), ""},
      {"4 output bits", LayerType::Dense1D, {{"units", 4}, {"output_bits", 4}}, real_weights, ""},
      {"2 output bits", LayerType::Dense1D, {{"units", 4}, {"output_bits", 2}}, real_weights,
       "Output bitwidth should be 4 or between 8 and 32 (got 2)"},
      {"5 output bits, no activation", LayerType::Dense1D, {{"units", 4}, {"activation", 0}, {"output_bits", 5}},
       real_weights, "Output bitwidth should be 4 or between 8 and 32 (got 5)"},
      {"32 output bits, no activation", LayerType::Dense1D, {{"units", 4}, {"activation", 0}}, real_weights, ""},
  });

  // The neuron count has a 16-bit register field.
  for (int units : {65535, 65536}) {
    ModelBuilder b;
    b.input(1, 1, 1).add(LayerType::Dense1D, {{"units", units}}, "dense");
    real_weights(*b.layer("dense"));
    expect_status(check(*b.layer("dense")),
                  units == 65535 ? "" : on("dense", "The maximum number of units is 65535 (got 65536)"));
  }
}

// The FNP memory is sized in the layout of the input: an input that fits no layout is refused
// here rather than thrown at while the layer is placed.
TEST(CheckerRecordable, Dense1DInputFitsAnFnpLayout) {
  struct Case {
    const char* what;
    uint32_t x, y, c;
    bool after_conv;
    std::string message;
  };
  const Case cases[] = {
      {"flat input", 1, 1, 192, false, ""},
      {"spatial input straight from the input layer", 8, 8, 3, false,
       "An input of 8x8x3 that does not come from an input, CNP or TNP-B layer must be flat (1x1xN) to fit in a FNP."},
      {"channel rows from a CNP", 3, 5, 100, true, ""},
      // 2800, 2100 and 2100 bytes in the three layouts; the rule alone lets it through when the
      // CNP is not the layer before it in the list.
      {"no layout from a CNP", 3, 7, 100, true,
       "Input dimensions are too large to fit in a FNP. The maximum value is 2048."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    b.input(c.x, c.y, c.c);
    if (c.after_conv) b.add(LayerType::Conv2D, {{"filters", static_cast<int>(c.c)}, {"kernel_size", 1}}, "conv");
    b.add(LayerType::Dense1D, {{"units", 2}}, "dense");
    real_weights(*b.layer("dense"));
    expect_status(check(*b.layer("dense")), c.message.empty() ? "" : on("dense", c.message));
  }
}

TEST(CheckerRecordable, StemShiftsFitTheirFiveBitFields) {
  const auto width = [](const std::string& name) {
    return on("stem", name + " should only contain unsigned values that use no more than 5 bit, 6 detected");
  };
  struct Case {
    const char* variable;
    int value;
    std::string message;
  };
  const Case cases[] = {
      {"tokens_shift", 31, ""},
      {"tokens_shift", 32, width("tokens_shift")},
      {"pos_embs_shift", 31, ""},
      {"pos_embs_shift", 63, width("pos_embs_shift")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + " " + std::to_string(c.value));
    ModelBuilder b;
    b.add(LayerType::Stem, kStem, "stem");
    Layer& stem = *b.layer("stem");
    real_weights(stem);
    set_variable(stem, c.variable, {0, c.value});
    expect_status(check(stem), c.message);
  }
  // The Stem's own rules come first.
  ModelBuilder b;
  b.add(LayerType::Stem, with(kStem, {{"filters", 188}}), "stem");
  set_variable(*b.layer("stem"), "tokens_shift", {40});
  expect_status(check(*b.layer("stem")), on("stem", "The number of filters must be 192."));
}

TEST(CheckerRecordable, CnpStridesTheRegistersCanExpress) {
  run_cases({
      {"stride 2", LayerType::Conv2D, with(kConv, {{"kernel_stride", 2}}), nullptr, ""},
      {"stride 3", LayerType::Conv2D, with(kConv, {{"kernel_stride", 3}}), nullptr, "Kernel stride must be 1 or 2 (got 3)"},
      {"pooling stride 9", LayerType::DepthwiseConv2D,
       {{"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 9}}, nullptr,
       "The maximum pooling stride is 7 (got 9)"},
  });
}

TEST(CheckerForwarding, SequenceMappingFitAndSplitOperations) {
  const HardwareConstraints constraints = v2_constraints();
  const CompatibilityCheckerImpl impl(constraints);
  const CompatibilityChecker& checker = impl;
  EXPECT_EQ(checker.constraints, &constraints);

  ModelBuilder b;
  b.input(8, 8, 3).add(LayerType::Conv2D, kConv, "conv").add(LayerType::Dense1D, {{"units", 10}}, "dense");
  const Layer& conv = *b.layer("conv");
  const Layer& dense = *b.layer("dense");

  const LayerList empty;
  expect_status(checker.check_layer_sequence(empty.begin(), empty.end(), empty, versions::FPGA_v2),
                "Empty layer sequence");
  const LayerList run{b.layer("conv"), b.layer("dense")};
  expect_status(checker.check_layer_sequence(run.begin(), run.end(), run, versions::FPGA_v2), "");

  hw::Component np;
  np.type = hw::Type::CNP1;
  hw::SplitRecord split;
  split.spatial_partition.shape = Shape{65, 4, 3};
  np.split = split;
  expect_status(checker.check_layer_mappings(conv, {np}, test::StubDevice()),
                "68 exceeds the maximum value for NP input width: 64");

  // 10 rows of 12 bytes x 10 channels: 300 words; the dual buffer holds 300, the single 600.
  EXPECT_TRUE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 10, 10, 10, 0, 8, 0));
  EXPECT_FALSE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 10, 10, 10, 0, 8, 1));
  EXPECT_TRUE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 20, 10, 10, 0, 8, 0));
  EXPECT_FALSE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 21, 10, 10, 0, 8, 0));

  // kernel 3, 8 filters: 6 units per channel, 18 for 3 channels
  EXPECT_EQ(get_weights_100b_size(conv, 8), 18u);
  EXPECT_TRUE(checker.is_weights_size_fit_np(conv, 8));
  EXPECT_EQ(checker.np_split_params(hw::Type::CNP1, *conv.params()), (NpSplitParams{1, 1, 1, 1, 0, 1, 1, 4}));

  const uint32_t fnp_words = get_fnp_sram_size(dense);
  HardwareConstraints given;
  given.fnp3_sram_size = fnp_words;
  EXPECT_TRUE(checker.check_fnp3_sram_size(given, dense));
  given.fnp3_sram_size = fnp_words - 1;
  EXPECT_FALSE(checker.check_fnp3_sram_size(given, dense));
  EXPECT_EQ(checker.is_fnp3_compatible(dense), fnp_words <= constraints.fnp3_sram_size);
}

}  // namespace
}  // namespace nuvra::v2
