// What the second-generation checker accepts and refuses: its rules in order with their messages,
// the Add, FNP and TNP-B rules, what fits an NP, and the rules on runs of layers.
#include "backend/layer_views.h"
#include "v2/cnp/cnp_rules.h"
#include "v2/fnp_hrc/compatibility_checker.h"
#include "v2/fnp_hrc/fnp_sizes.h"
#include "v2/fnp_hrc/hrc_rules.h"
#include "v2/fnp_hrc/mapping_checks.h"
#include "v2/fnp_hrc/sequence_rules.h"
#include "v2/tnp_vit/tnp_b_rules.h"

#include "rule_testing.h"
#include "stub_layer.h"
#include "v2_testing.h"

#include <gmock/gmock.h>

#include <functional>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;
using hw::Type;
using Names = std::vector<std::string>;

constexpr uint32_t kMax = 0xFFFFFFFF;
constexpr LayerType kConv = LayerType::Conv2D, kDw = LayerType::DepthwiseConv2D, kIc = LayerType::InputConv2D;
constexpr LayerType kConvT = LayerType::Conv2DTranspose, kDwT = LayerType::DepthwiseConv2DTranspose;
const Params k1{{"filters", 1}, {"kernel_size", 1}}, k3{{"filters", 4}, {"kernel_size", 3}}, kDw3{{"kernel_size", 3}};

// Layer "l" of `type` after an input of `in` (input layers stand alone); its model stays alive.
std::shared_ptr<Layer> single(LayerType type, const Params& params, Shape in = {8, 8, 3}, int bits = 8) {
  static std::vector<std::unique_ptr<ModelBuilder>> models;
  models.push_back(std::make_unique<ModelBuilder>());
  if (type != kIc && type != LayerType::Stem) models.back()->input(in[0], in[1], in[2], bits);
  models.back()->add(type, params, "l");
  return models.back()->layer("l");
}

std::string width(const std::string& name, int limit, int got) {
  return name + " should only contain unsigned values that use no more than " + std::to_string(limit) + " bit, " +
         std::to_string(got) + " detected";
}

std::function<void(Layer&)> set(const std::string& name, std::vector<int> values) {
  return [name, values](Layer& l) { set_variable(l, name, values); };
}

struct Case {
  LayerType type;
  Params params;
  std::string message;  // after the layer prefix; empty: accepted
  std::function<void(Layer&)> edit = nullptr;
  Shape in = {8, 8, 3};
  int bits = 8;
  bool stub = false;  // a StubLayer of input bits `bits`, for values the engine never builds
};

// Stub edits: output width without activation; a variable of its own type and shape.
std::function<void(Layer&)> raw_output(uint8_t bits) {
  return [bits](Layer& l) {
    auto& stub = dynamic_cast<StubLayer&>(l);
    stub.out_bits = bits;
    stub.activation = false;
  };
}
std::function<void(Layer&)> put(const std::string& name, std::shared_ptr<Dense> value) {
  return [name, value](Layer& l) { dynamic_cast<StubLayer&>(l).put(name, value); };
}
std::function<void(Layer&)> weights(Shape shape) { return put("weights", Dense::create(TensorType::int8, shape)); }
// 4 x 4 weights, first `value`, in 16 bits as no engine Dense1D holds them.
std::shared_ptr<Dense> wide_weights(int value) {
  auto t = Dense::create(TensorType::int16, {4, 4});
  t->set<int16_t>(0, static_cast<int16_t>(value));
  return t;
}

const Params kGap{{"pool_type", 2}, {"pool_size", -1}}, kMax2{{"pool_type", 1}, {"pool_size", 2}};
const std::string kGapPrefix = "When using Global Average Pooling, ";
constexpr LayerType kTnpR = LayerType::StatefulRecurrentLegacy;
const Params kTnpR4{{"stateful_channels", 4}, {"out_channels", 4}};
const std::string kTooBig = "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth";
const Shape kFlat{1, 1, 192};
const Params kLut{{"filters", 4}, {"kernel_size", 4}, {"activation", 2}};
const Params kStem{{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192},
                   {"kernel_size", 16}, {"output_bits", 8}};
const Params kHrc{{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3}};
const Params kBtc{{"filters", 4}, {"fifo_size", 2}}, kDwBtc{{"fifo_size", 2}};
constexpr LayerType kBtcT = LayerType::BufferTempConv, kDwBtcT = LayerType::DepthwiseBufferTempConv;

// Variable widths in table order, then the activation, then the kind's own rules, each kind's first
// failing rule reporting its message. The stride, Dense1D, TNP-B weight, Stem shift and ViT rows are
// refusals added so that whatever is accepted can be recorded.
const Case kCases[] = {
    {kConv, k3, ""},
    {kConv, k3, "", set("input_shift", {7})},
    {kConv, k3, width("input_shift", 3, 4), set("input_shift", {0, 8})},
    {kConv, k3, "", set("output_shift", {31, -32})},
    {kConv, k3, width("output_shift", 6, 7), set("output_shift", {-33})},
    {kConv, k3, "", set("max_value_shift", {31})},
    {kConv, k3, width("max_value_shift", 5, 6), set("max_value_shift", {0, 32})},
    {kConv, k3, "", set("bias_shift", {31})},
    {kConv, k3, width("bias_shift", 5, 6), set("bias_shift", {32})},
    {kConv, kLut, width("bias_shift", 5, 7), set("bias_shift", {0, 0, 0, 64})},
    {kConv, kLut, "l does not support activation type 'LUT'."},  // before the kernel
    // The CNP rules; the input SRAM holds a 12 x 12 x 16 input of 8 bits.
    {kConv, k1, "Input should be 8-bit.", nullptr, {5000, 1, 1}, 16},  // before the size rules
    {kConv, with(k3, {{"output_bits", 9}}), "With activation output bitwidth should be <= 8."},
    {kConv, k1, "", nullptr, {4096, 1, 1}},
    {kConv, k1, "The maximum input width is 4096 (got 4097)", nullptr, {4097, 1, 1}},
    {kDwT, kDw3, "", nullptr, {1, 4096, 1}},
    {kDwT, kDw3, "The maximum input height is 4096 (got 4097)", nullptr, {1, 4097, 1}},
    {kConv, k1, "", nullptr, {1, 1, 2048}},  // kernel 1: 2 units per input channel fill the 4096 exactly
    {kConv, k1, "The maximum input channel value is 2048 (got 2049)", nullptr, {1, 1, 2049}},
    {kConv, {{"filters", 2048}, {"kernel_size", 1}}, "", nullptr, {1, 1, 1}},
    {kConvT, {{"filters", 2049}, {"kernel_size", 3}}, "The maximum number of filters is 2048 (got 2049)", nullptr,
     {1, 1, 1}},
    {kDw, kDw3, "", nullptr, {1, 1, 2048}},  // a depthwise layer's filters are its channels
    {kConv, with(k3, {{"padding", 0}}), "Only padding 'Same' is supported."},
    {kConv, with(k3, {{"pool_type", 1}, {"pool_size", 3}, {"kernel_stride", 2}}),
     "The CNP cannot support both pooling and stride."},
    {kConv, with(k3, with(kMax2, {{"kernel_stride", 3}})), "The CNP cannot support both pooling and stride."},
    {kDw, with(kDw3, with(kGap, {{"kernel_stride", 2}})), "The CNP cannot support both pooling and stride."},
    {kDw, with(kDw3, {{"pool_type", 1}, {"pool_size", 3}}), "Pooling size must be 1 or 2"},
    // A pooling window fits the input on either axis, up to the edge.
    {kConv, with(k3, kMax2), "", nullptr, {2, 2, 3}},
    {kConv, with(k3, kMax2), "Pooling size cannot be greater than input dimensions", nullptr, {1, 8, 3}},
    {kDw, with(kDw3, kMax2), "Pooling size cannot be greater than input dimensions", nullptr, {8, 1, 3}},
    {kConv, with(k3, kGap), "", nullptr, {12, 12, 16}},
    {kConv, with(k3, with(kGap, {{"activation", 0}})), "Global Average pooling must be used with an activation."},
    {kDw, with(kDw3, with(kGap, {{"pool_size", 1}})), "Global Average pooling must be global"},
    {kDw, with(kDw3, kGap), "", nullptr, {64, 2, 1}},
    {kDw, with(kDw3, kGap), kGapPrefix + "input width cannot exceed 64", nullptr, {65, 1, 1}},
    {kConv, with(k3, kGap), kGapPrefix + "input dimensions width * height cannot exceed 144", nullptr, {13, 12, 1}},
    {kConv, with(k3, kGap), kGapPrefix + "input dimensions width * height cannot exceed 144", nullptr, {5, 29, 1}},
    {kConv, with(k3, kGap), kGapPrefix + "spatial split is impossible", nullptr, {12, 12, 17}},
    {kConv, with(k3, {{"kernel_size", 4}}), "Kernel size must be 1, 3, 5 or 7"},
    {kConvT, with(k3, {{"kernel_size", 4}}), ""},
    {kConvT, with(k3, {{"kernel_size", 5}}), "Kernel size must be 3 or 4"},
    {kDwT, with(kDw3, {{"kernel_size", 4}}), ""},
    {kDwT, with(kDw3, {{"kernel_size", 5}}), "Kernel size must be 3 or 4"},
    {kDw, with(kDw3, {{"kernel_size", 5}}), ""},
    {kDw, with(kDw3, {{"kernel_size", 7}}), ""},
    {kDw, with(kDw3, {{"kernel_size", 1}}), "Kernel size must be 3, 5 or 7"},
    {kConv, k3, "", nullptr, {1, 1, 682}},  // kernel 3: 6 units per input channel against 4096
    {kConv, k3, kTooBig, nullptr, {1, 1, 683}},
    {kConvT, k3, "", nullptr, {1, 1, 682}},
    {kConvT, k3, kTooBig, nullptr, {1, 1, 683}},
    // The register block knows strides 1 and 2 only, and a 3-bit max pooling stride.
    {kDw, with(kDw3, {{"kernel_stride", 4}}), "Kernel stride must be 1 or 2 (got 4)"},
    {kDw, with(kDw3, {{"kernel_stride", 2}}), ""},
    {kConv, with(k3, {{"kernel_stride", 2}}), ""},
    {kConv, with(k3, {{"kernel_stride", 3}}), "Kernel stride must be 1 or 2 (got 3)"},
    {kDw, with(kDw3, with(kMax2, {{"pool_stride", 7}})), ""},
    {kDw, with(kDw3, with(kMax2, {{"pool_stride", 8}})), "The maximum pooling stride is 7 (got 8)"},
    {LayerType::DepthwiseBufferTempConv, {{"fifo_size", 13}}, "The maximum number of taps is 12 (got 13)"},
    {kBtcT, kBtc, "Input should be 8-bit.", nullptr, {8, 8, 3}, 7},
    {kBtcT, kBtc, "Input should be 8-bit.", nullptr, {8, 8, 3}, 9},
    // Weights of another shape than fifo_size taps of every input channel for the layer's filters.
    {kBtcT, kBtc, "", weights({1, 1, 8, 4}), {2, 2, 4}, 8, true},
    {kBtcT, kBtc, "Weights should have the shape (1, 1, 8, 4) (got (1, 1, 8, 5))", weights({1, 1, 8, 5}), {2, 2, 4},
     8, true},
    {kBtcT, kBtc, "Weights should have the shape (1, 1, 8, 4) (got (1, 1, 6, 4))", weights({1, 1, 6, 4}), {2, 2, 4},
     8, true},
    {kDwBtcT, kDwBtc, "", weights({1, 1, 2, 4}), {2, 2, 4}, 8, true},
    {kDwBtcT, kDwBtc, "Weights should have the shape (1, 1, 2, 4) (got (1, 1, 3, 4))", weights({1, 1, 3, 4}),
     {2, 2, 4}, 8, true},
    {LayerType::FullyConnected, {{"units", 4}}, "Unsupported layer type on v2."},
    // The TNP-R rules, each at its limit and one past it.
    {kTnpR, kTnpR4, "Input should be 16-bit."},
    {kTnpR, with(kTnpR4, {{"stateful_channels", 256}, {"out_channels", 256}, {"subsample_ratio", 128}}), "", nullptr,
     {4, 1, 256}, 16},
    {kTnpR, kTnpR4, "The maximum input time is 1 (got 2)", nullptr, {4, 2, 300}, 16},
    {kTnpR, kTnpR4, "The maximum input channel value is 256 (got 257)", nullptr, {4, 1, 257}, 16},
    {kTnpR, with(kTnpR4, {{"stateful_channels", 257}}), "Stateful channels exceeds max limit of 256 for TNP-R.",
     nullptr, {4, 1, 4}, 16},
    {kTnpR, with(kTnpR4, {{"out_channels", 257}}), "Output channels exceeds max limit of 256 for TNP-R.", nullptr,
     {4, 1, 4}, 16},
    {kTnpR, with(kTnpR4, {{"subsample_ratio", 8}}), "Subsample_ratio must be one of [1, 4, 16, 32, 64, 128].",
     nullptr, {4, 1, 4}, 16},
    {LayerType::Dense1D, {{"units", 4}}, "Weights should use between 2 and 8 bits (got 1)", set("weights", {-1, 0}),
     kFlat},
    {LayerType::Dense1D, {{"units", 4}}, "", set("weights", {1, -2}), kFlat},
    {LayerType::Dense1D, {{"units", 4}}, "", set("weights", {127, -128}), kFlat},
    {LayerType::Dense1D, {{"units", 4}}, "Weights should use between 2 and 8 bits (got 9)",
     put("weights", wide_weights(255)), {1, 1, 4}, 8, true},
    {LayerType::Dense1D, {{"units", 4}}, "Input should be 8-bit.", nullptr, kFlat, 7},
    {LayerType::Dense1D, {{"units", 4}}, "Input should be 8-bit.", nullptr, kFlat, 9},
    {LayerType::Dense1D, {{"units", 4}, {"activation", 0}, {"output_bits", 3}},
     "Output bitwidth should be 4 or between 8 and 32 (got 3)", nullptr, kFlat},
    {LayerType::Dense1D, {{"units", 4}, {"activation", 0}, {"output_bits", 5}},
     "Output bitwidth should be 4 or between 8 and 32 (got 5)", nullptr, kFlat},
    {LayerType::Dense1D, {{"units", 4}, {"activation", 0}, {"output_bits", 4}}, "", nullptr, kFlat},
    {LayerType::Dense1D, {{"units", 4}, {"activation", 0}, {"output_bits", 7}},
     "Output bitwidth should be 4 or between 8 and 32 (got 7)", nullptr, kFlat},
    {LayerType::Dense1D, {{"units", 4}, {"activation", 0}, {"output_bits", 8}}, "", nullptr, kFlat},
    {LayerType::Dense1D, {{"units", 4}, {"activation", 0}, {"output_bits", 32}}, "", nullptr, kFlat},
    {LayerType::Dense1D, {{"units", 4}}, "Output bitwidth should be 4 or between 8 and 32 (got 33)", raw_output(33),
     {1, 1, 4}, 8, true},
    {LayerType::Dense1D, {{"units", 65535}}, "", nullptr, {1, 1, 1}},
    {LayerType::Dense1D, {{"units", 65536}}, "The maximum number of units is 65535 (got 65536)", nullptr, {1, 1, 1}},
    // 2048 bytes of input: 2048 channels in one row; 2048 rows of one value fit only flat, which
    // this unflattened input cannot use.
    {LayerType::Dense1D, {{"units", 2}}, "", nullptr, {1, 1, 2048}},
    {LayerType::Dense1D, {{"units", 2}}, "Input dimensions are too large to fit in a FNP. The maximum value is 2048.",
     nullptr, {1, 1, 2049}},
    {LayerType::Dense1D, {{"units", 2}},
     "An input of 1x2048x1 that does not come from an input, CNP or TNP-B layer must be flat (1x1xN) to fit in a FNP.",
     nullptr, {1, 2048, 1}},
    {LayerType::Dense1D, {{"units", 2}}, "Input dimensions are too large to fit in a FNP. The maximum value is 2048.",
     nullptr, {1, 2049, 1}},
    {LayerType::Dense1D, {{"units", 2}},
     "An input of 8x8x3 that does not come from an input, CNP or TNP-B layer must be flat (1x1xN) to fit in a FNP."},
    {LayerType::Dense1D, {{"units", 2}},
     "An input of 2x1x4 that does not come from an input, CNP or TNP-B layer must be flat (1x1xN) to fit in a FNP.",
     nullptr, {2, 1, 4}},
    // 2800, 2100 and 2100 bytes in the three layouts: none fits.
    {LayerType::Dense1D, {{"units", 2}}, "Input dimensions are too large to fit in a FNP. The maximum value is 2048.",
     nullptr, {3, 7, 100}},
    // The HRC input layers' own rules.
    {kIc, kHrc, ""},
    {kIc, kHrc, "All weights cannot be zeroes.", set("weights", {})},
    {kIc, with(kHrc, {{"kernel_size", 6}}),
     "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7.6 given."},
    {kIc, with(kHrc, {{"kernel_stride", 3}}), ""},
    {kIc, with(kHrc, {{"kernel_stride", 4}}), "For a kernel size 3, the kernel stride must be smaller than 3"},
    {kIc, with(kHrc, {{"kernel_size", 4}, {"kernel_stride", 4}}), ""},
    {kIc, with(kHrc, {{"kernel_size", 4}, {"kernel_stride", 5}}),
     "For a kernel size 4, the kernel stride must be smaller than 4"},
    {kIc, with(kHrc, {{"kernel_size", 5}, {"kernel_stride", 5}}), ""},
    {kIc, with(kHrc, {{"kernel_size", 5}, {"kernel_stride", 6}}),
     "For a kernel size 5, the kernel stride must be smaller than 5"},
    {kIc, with(kHrc, {{"kernel_size", 7}, {"kernel_stride", 6}}), ""},
    {kIc, with(kHrc, {{"kernel_size", 7}, {"kernel_stride", 7}}),
     "For a kernel size 7, the kernel stride must be smaller than 6"},
    {kIc, with(kHrc, {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 1}}),
     "Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of (Pool_size, "
     "Pool_stride) are :(2, 2) or (3, 2). Received (2, 1)."},
    // The InputConv2D rules let any other pooling through; the HRC records none but max pooling, and
    // reads 1 or 3 channels. Each is refused after the rules, channels first.
    {kIc, with(kHrc, {{"pool_type", 2}, {"pool_size", 5}, {"pool_stride", 1}}),
     "pool_type should be 0 (NoPooling) or 1 (Max) (got 2)"},
    {kIc, with(kHrc, {{"pool_type", 2}, {"pool_size", -1}}), "pool_type should be 0 (NoPooling) or 1 (Max) (got 2)"},
    {kIc, with(kHrc, {{"pool_type", 0}, {"pool_size", 5}, {"pool_stride", 1}}), ""},
    {kIc, with(kHrc, {{"input_channels", 1}}), ""},
    {kIc, with(kHrc, {{"input_channels", 2}, {"pool_type", 2}}), "input_channels should be 1 or 3 (got 2)"},
    {kIc, with(kHrc, {{"input_channels", 4}}), "input_channels should be 1 or 3 (got 4)"},
    {kIc, with(kHrc, {{"input_channels", 2}, {"filters", 513}}),
     "The filters number should be set between 1 and 512 513 given."},
    {kIc, with(kHrc, {{"input_width", 4}, {"input_height", 100}}),
     "Unsupported input size. Received: 4 as first dimension.\n The first dimension should be >= 5"},
    {kIc, with(kHrc, {{"input_width", 5}, {"input_height", 5}}), ""},
    {kIc, with(kHrc, {{"input_width", 4096}, {"input_height", 384}}), ""},
    {kIc, with(kHrc, {{"input_width", 100}, {"input_height", 4}}),
     "Unsupported input size. Received: 4 as second dimension.\n The second dimension should be between 5 and 384"},
    {kIc, with(kHrc, {{"input_width", 100}, {"input_height", 385}}),
     "Unsupported input size. Received: 385 as second dimension.\n The second dimension should be between 5 and 384"},
    {kIc, with(kHrc, {{"activation", 0}, {"output_bits", 32}}),
     "The first convolutional layer of a model can only be mapped if its activations are enabled"},
    {kIc, with(kHrc, {{"output_bits", 4}}), "Output should be 8-bit. 4 given."},
    {kIc, with(kHrc, {{"filters", 1}}), ""},
    {kIc, with(kHrc, {{"filters", 512}}), ""},
    {kIc, with(kHrc, {{"filters", 513}}), "The filters number should be set between 1 and 512 513 given."},
    {LayerType::Stem, kStem, ""},
    {LayerType::Stem, with(kStem, {{"input_height", 160}}),
     "Input shape must be one of: (160, 160, 1 or 3), (224, 224, 1 or 3), (256, 256, 1 or 3)"},
    {LayerType::Stem, with(kStem, {{"kernel_size", 14}}), "Kernel size must be 16."},
    {LayerType::Stem, with(kStem, {{"output_bits", 7}}), "Output should be 8-bit. 7 given."},
    {LayerType::Stem, with(kStem, {{"output_bits", 9}}), "Output should be 8-bit. 9 given."},
    // An engine Stem always reads 8 bits.
    {LayerType::Stem, kStem, "Input should be 8-bit.", put("weights", i8({1})), {224, 224, 3}, 7, true},
    {LayerType::Stem, kStem, "Input should be 8-bit.", put("weights", i8({1})), {224, 224, 3}, 9, true},
    {LayerType::Stem, kStem, "", set("tokens_shift", {31})},
    {LayerType::Stem, kStem, width("tokens_shift", 5, 6), set("tokens_shift", {0, 32})},
    {LayerType::Stem, kStem, "", set("pos_embs_shift", {31})},
    {LayerType::Stem, kStem, width("pos_embs_shift", 5, 6), set("pos_embs_shift", {32})},
    {LayerType::Stem, with(kStem, {{"filters", 188}}), "The number of filters must be 192.",  // its rules first
     set("tokens_shift", {40})},
    // The ViT block is refused for what its recorder would refuse.
    {LayerType::VitEncoderBlock, {}, "", set("norm_mha_output_shift", {31, -32}), {1, 197, 24}},
    {LayerType::VitEncoderBlock, {}, "32 cannot fit in a 6 bits signed integer", set("norm_mha_output_shift", {32}),
     {1, 197, 24}},
    {LayerType::VitEncoderBlock, {}, "-33 cannot fit in a 6 bits signed integer", set("norm_mha_output_shift", {-33}),
     {1, 197, 24}},
    // ... and for the counts its register words cannot hold: tokens in sixths in 6 bits, classes in 10 bits.
    {LayerType::VitEncoderBlock, {{"num_classes", 1023}}, "", nullptr, {1, 383, 24}},
    {LayerType::VitEncoderBlock, {}, "The maximum number of tokens is 383 (got 384)", nullptr, {1, 384, 24}},
    {LayerType::VitEncoderBlock, {{"num_classes", 1024}}, "num_classes must be between 0 and 1023 (got 1024)",
     nullptr, {1, 197, 24}},
    {LayerType::VitEncoderBlock, {{"num_classes", -1}}, "num_classes must be between 0 and 1023 (got -1)", nullptr,
     {1, 197, 24}},
};

TEST(Checker, RulesInOrderWithTheirMessages) {
  const HardwareConstraints constraints{
      .fnp3_sram_size = 1000, .np_weight_memory_size = 4096, .input_sram_single_buffer_size = 576};
  for (size_t i = 0; i < std::size(kCases); ++i) {
    const Case& c = kCases[i];
    SCOPED_TRACE("row " + std::to_string(i));
    std::shared_ptr<Layer> layer;
    if (c.stub) {
      auto stub = std::make_shared<StubLayer>(c.type, c.params, c.in, "l");
      stub->in_bits = static_cast<uint8_t>(c.bits);
      layer = stub;
    } else {
      layer = single(c.type, c.params, c.in, c.bits);
      // Real weights: a fresh all-zero tensor measures 1 bit and counts as all zero.
      if (c.type == LayerType::Dense1D || c.type == kIc || c.type == LayerType::Stem)
        set_variable(*layer, "weights", {5, -3});
    }
    if (c.edit) c.edit(*layer);
    expect_status(CompatibilityCheckerImpl(constraints).check_layer_compatibility(*layer, nullptr, versions::FPGA_v2),
                  on("l", c.message));
  }
}

// Filter counts below 1, which only a layer the engine will not build carries: the shared size
// limits take 0 and refuse a negative count, the HRC wants at least one filter.
TEST(Checker, FilterCountsBelowOne) {
  const Params hrc{{"kernel_size", 3}, {"kernel_stride", 1}, {"pool_type", 0},  {"pool_size", 0},
                   {"pool_stride", 0}, {"output_bits", 8},   {"filters", 0}};
  const std::tuple<LayerType, Params, MappingStatus (*)(const Layer&), std::string> cases[] = {
      {kConv, {{"filters", 0}}, check_cnp_common_constraints, ""},
      {kConv, {{"filters", -1}}, check_cnp_common_constraints, "The maximum number of filters is 2048 (got -1)"},
      {LayerType::BufferTempConv, {{"filters", -1}}, check_tnp_b_common_constraints,
       "The maximum number of filters is 256 (got -1)"},
      {kIc, hrc, check_input_conv2d_constraints, "The filters number should be set between 1 and 512 0 given."}};
  for (const auto& [type, params, rule, message] : cases) {
    const StubLayer layer(type, params, Shape{8, 8, 3}, "l");
    expect_status(rule(layer), on("l", message));
  }
}

TEST(CnpRules, AddShiftGapAndOutputShiftRange) {
  const std::string in = "This model cannot be mapped in hardware, Add input shift is out of range.";
  const std::string out = "This model cannot be mapped in hardware, Add output shift is out of range.";
  const std::tuple<int, int, int, std::string> cases[] = {
      {0, 15, -15, ""}, {0, 16, -16, in}, {3, 1, 0, ""}, {1, 3, 1, out}, {0, 0, -4, ""}, {0, 0, -5, out}};
  for (const auto& [a, b, o, message] : cases) {
    SCOPED_TRACE(std::to_string(a) + ", " + std::to_string(b) + ", " + std::to_string(o));
    ModelBuilder m;
    m.input(4, 4, 3).add(kConv, {{"filters", 3}, {"kernel_size", 1}}, "conv");
    m.add(LayerType::Add, {}, "cnp", {"input", "conv"});
    // On the last channel: every channel is checked.
    set_variable(*m.layer("cnp"), "a_shift", {0, 0, a});
    set_variable(*m.layer("cnp"), "b_shift", {0, 0, b});
    set_variable(*m.layer("cnp"), "output_shift", {0, 0, o});
    expect_status(check_add_shift(*m.layer("cnp")), on("cnp", message));
  }
}

TEST(FitRules, CnpWidthSramAndWeights) {
  const auto conv = single(kConv, k3);
  auto part = [](Type type, uint32_t width) {
    return component(type, {}, hw::SplitRecord{0, 1, {0, 0, Shape{width, 4, 3}}, {}, false});
  };
  const std::string limit = " exceeds the maximum value for NP input width: 64";
  const std::pair<std::vector<hw::Component>, std::string> widths[] = {
      {{part(Type::CNP1, 61), part(Type::CNP2, 64)}, "Success"},
      {{part(Type::CNP1, 65)}, "68" + limit},
      {{part(Type::CNP1, kMax)}, "4294967296" + limit}, {{part(Type::TNP_B, 200), part(Type::FNP3, 300)}, "Success"}};
  for (const auto& [components, message] : widths) EXPECT_EQ(check_layer_mappings(*conv, components).message, message);
  // Split spatially (a part at x = 4), pooling windows that overlap and global averaging are
  // refused, named; pooling that leaves gaps, a split by filters only and TNP-B parts are not.
  auto parts_at = [](std::vector<uint32_t> xs, Type type = Type::CNP1) {
    std::vector<hw::Component> out;
    for (uint32_t x : xs) out.push_back(component(type, {}, hw::SplitRecord{0, 1, {x, 0, Shape{4, 8, 3}}, {}, false}));
    return out;
  };
  const std::string overlap = "Cannot have pooling size > pooling stride if the layer is mapped spatially on multiple NPs",
                    average = "When using Global Average Pooling, spatial split is impossible";
  const Params max2_1{{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 1}}, max2_3{{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 3}};
  const Params average_all{{"pool_type", 2}, {"pool_size", -1}, {"activation", 1}};
  const std::tuple<LayerType, Params, std::vector<uint32_t>, std::string> pooled[] = {
      {kConv, with(k3, max2_1), {0, 4}, overlap}, {kDw, with(kDw3, max2_1), {4, 0}, overlap}, {kConv, with(k3, max2_1), {0, 0}, ""},
      {kConv, with(k3, max2_3), {0, 4}, ""},      {kConv, with(k3, {{"pool_type", 1}, {"pool_size", 2}}), {0, 4}, ""},
      {kConv, with(k3, average_all), {0, 4}, average}, {kDw, with(kDw3, average_all), {0, 4}, average},
      {kConv, with(k3, average_all), {0}, ""}};
  for (const auto& [type, params, xs, message] : pooled) {
    expect_status(check_layer_mappings(*single(type, params), parts_at(xs)), on("l", message));
    // The same refusal asked of the layer alone, before its parts are cut.
    if (xs != std::vector<uint32_t>{0} && xs != std::vector<uint32_t>{0, 0}) expect_status(check_spatial_split(*single(type, params)), on("l", message));
  }
  HardwareConstraints hc;
  hc.input_sram_single_buffer_size = 90;
  hc.input_sram_dual_buffer_size = 192;
  const std::tuple<Type, uint32_t, uint32_t, uint8_t, uint32_t, bool, bool> fits[] = {
      // type, window height = width, fifo_size, bits, taken; single, dual
      {Type::CNP1, 10, 0, 8, 0, true, true},  // 3 channels: 12 bytes a channel row, 9 words a row, 90 words
      {Type::CNP1, 10, 0, 8, 1, false, true},
      {Type::TNP_B, 1, 2, 8, 0, false, true},       // one word a frame, rounded to 64, times fifo_size + 1
      {Type::TNP_B, 1, 2, 8, 1, false, false},      {Type::CNP1, 1, 0, 8, 91, false, true},  // reserve past capacity
      {Type::TNP_B, 9, 1, 8, 0, false, false},  // 3 channels count as 4: 81 words, 2 blocks (not 61, 1)
      {Type::CNP1, kMax, 0, 255, 0, false, false},  {Type::TNP_B, 1, kMax, 8, 0, false, false},  // no wrap
      {Type::CNP1, 0, 0, 8, 90, true, true}};  // an empty window fits beside a reserve of the whole SRAM
  for (const auto& [type, size, fifo, bits, taken, single_fits, dual_fits] : fits) {
    EXPECT_EQ(is_sram_input_fit_single_buffer(hc, type, size, size, 3, fifo, bits, taken), single_fits) << taken;
    EXPECT_EQ(is_sram_input_fit_dual_buffer(hc, type, size, size, 3, fifo, bits, taken), dual_fits) << taken;
  }
  EXPECT_EQ(error_of([&] { is_sram_input_fit_single_buffer(hc, Type::FNP3, 1, 1, 1, 0, 8, 0); }),
            "Type of NP not supported.");
  const auto conv7 = single(kConv, {{"filters", 8}, {"kernel_size", 7}}, {8, 8, 4});
  const auto dw7 = single(kDw, {{"kernel_size", 7}}, {8, 8, 6});
  const auto btc = single(LayerType::BufferTempConv, {{"filters", 5}, {"fifo_size", 2}}, {2, 2, 3});
  EXPECT_EQ(get_weights_100b_size(*btc, 5), 18u);
  const std::tuple<std::shared_ptr<Layer>, uint32_t, uint32_t, bool> weights[] = {
      {conv, 10, 36, true}, {conv, 10, 35, false},
      // One DMA block (65533 words) bounds the weight image before memory or the 18-bit container
      // field would: 4 words a 7x7 unit, 7 units per 8 filters of each of the 4 channels (65408 words,
      // then 66304); 3 words a unit, 7 units a channel (65520, then 65541); 3 words a unit, 2 units
      // per 24 filters of each of the 6 rows (65520, then 65556).
      {conv7, 584, kMax, true}, {conv7, 585, kMax, false}, {dw7, 3120, kMax, true}, {dw7, 3121, kMax, false},
      {btc, 43680, kMax, true}, {btc, 43681, kMax, false}};
  for (const auto& [layer, filters, memory, expected] : weights) {
    hc.np_weight_memory_size = memory;
    EXPECT_EQ(is_weights_size_fit_np(hc, *layer, filters), expected) << filters << " in " << memory;
  }
  const auto dense = single(LayerType::Dense1D, {{"units", 4}}, {4, 4, 4});
  EXPECT_EQ(error_of([&] { is_weights_size_fit_np(hc, *dense, 4); }), "Unexpected layer type for CNP or TNP-B.");
}

TEST(FitRules, FnpInputLayouts) {
  const std::string too_large = "Input dimensions are too large to fit in a FNP. The maximum value is 2048.";
  const std::tuple<Shape, FnpInputMode, uint32_t> spatial[] = {
      // after a Conv2D with this output: mode, words per neuron with its header
      {{3, 5, 100}, FnpInputMode::channel_rows, 502}, {{3, 6, 100}, FnpInputMode::pixel_rows, 452},
      {{3, 7, 100}, FnpInputMode::none, 0},  // 2800, 2100 and 2100 bytes
      // 2048 bytes in channel rows (4 bytes a channel), then in pixel rows
      {{1, 1, 512}, FnpInputMode::channel_rows, 514}, {{1, 1, 513}, FnpInputMode::pixel_rows, 131},
      {{1, 1, 2048}, FnpInputMode::pixel_rows, 514}, {{1, 1, 2049}, FnpInputMode::none, 0}};
  for (const auto& [out, mode, words] : spatial) {
    SCOPED_TRACE(out.to_string());
    ModelBuilder b;
    b.input(out[0], out[1], 3).add(kConv, {{"filters", static_cast<int>(out[2])}, {"kernel_size", 3}}, "conv");
    b.add(LayerType::Dense1D, {{"units", 7}}, "l");
    const Layer& dense = *b.layer("l");
    EXPECT_EQ(choose_fnp_input_mode(dense, fnp_input_shape(dense, false), false), mode);
    EXPECT_EQ(check_fnp_constraints(dense, b.layer("conv")).message, words ? "Success" : on("l", too_large));
    EXPECT_EQ(error_of([&] { EXPECT_EQ(get_fnp_sram_size(dense), words * 7); }),
              words ? "<no error>" : "Unsupported padding.");
    // An FNP3 holds the weights when its memory is at least their size.
    if (words) {
      EXPECT_TRUE(check_fnp3_sram_size({.fnp3_sram_size = words * 7}, dense));
      EXPECT_FALSE(check_fnp3_sram_size({.fnp3_sram_size = words * 7 - 1}, dense));
    }
  }
  // The HRC feeds channel rows only: 8 x 8 x 32 fills them exactly, 33 channels need pixel rows.
  for (const int filters : {32, 33}) {
    ModelBuilder b;
    b.add(kIc, with(kHrc, {{"input_width", 8}, {"input_height", 8}, {"filters", filters}}), "hrc");
    b.add(LayerType::Dense1D, {{"units", 7}}, "l");
    EXPECT_EQ(check_fnp_constraints(*b.layer("l"), b.layer("hrc")).message,
              filters == 32 ? "Success" : on("l", too_large));
  }
  // 29x66x1 after a max-pooled Conv2D fits only flat, which the pooled image cannot be: the size
  // refusal comes before the output bits are looked at.
  {
    ModelBuilder b;
    b.input(58, 132, 1).add(kConv, with(kMax2, {{"filters", 1}, {"kernel_size", 3}}), "conv");
    b.add(LayerType::Dense1D, {{"units", 4}, {"activation", 0}, {"output_bits", 2}}, "l");
    set_variable(*b.layer("l"), "weights", {5, -3});
    ASSERT_EQ(b.layer("conv")->output_dimensions(), (Shape{29, 66, 1}));
    expect_status(CompatibilityCheckerImpl({.fnp3_sram_size = 1 << 20, .np_weight_memory_size = 4096,
                                            .input_sram_single_buffer_size = 576})
                      .check_layer_compatibility(*b.layer("l"), b.layer("conv"), versions::FPGA_v2),
                  on("l", too_large));
  }
  // Register word 10 keeps a spatial input's width in 11 bits: 2048 columns are refused after a
  // CNP, and read flat by a Dense1D that opens its sequence (no previous layer).
  for (const uint32_t columns : {2047u, 2048u}) {
    ModelBuilder b;
    b.input(columns, 1, 3).add(kConv, {{"filters", 1}, {"kernel_size", 3}}, "conv");
    b.add(LayerType::Dense1D, {{"units", 7}}, "l");
    set_variable(*b.layer("l"), "weights", {5, -3});
    const HardwareConstraints constraints;  // the checker keeps its address
    const CompatibilityCheckerImpl checker(constraints);
    expect_status(checker.check_layer_compatibility(*b.layer("l"), b.layer("conv"), versions::FPGA_v2),
                  columns == 2048 ? on("l", "The maximum input width is 2047 (got 2048)") : "");
    expect_status(checker.check_layer_compatibility(*b.layer("l"), nullptr, versions::FPGA_v2), "");
  }
  for (auto [bits, activation, message] :
       {std::tuple{32, 0, "Success"}, {9, 1, "With activation output bitwidth should be <= 8."}}) {
    const auto dense = single(LayerType::Dense1D, {{"units", 4}, {"output_bits", bits}, {"activation", activation}},
                              {4, 4, 4});
    EXPECT_THAT(check_fnp_constraints(*dense, nullptr).message, ::testing::EndsWith(message));
  }
  // An image neither flattened nor packed by rows would keep c of its x * y * c weights per neuron.
  EXPECT_EQ(error_of([&] { get_fnp_sram_size(*single(LayerType::Dense1D, {{"units", 2}}, {4, 4, 3})); }),
            "Unsupported padding.");
  // A layer taken out of its model keeps its inbound layer, and so its classification.
  ModelBuilder popped;
  popped.input(4, 4, 3).add(kConv, {{"filters", 8}, {"kernel_size", 3}}, "conv");
  popped.add(LayerType::Dense1D, {{"units", 3}}, "dense");
  const auto dense = popped.layer("dense");
  EXPECT_TRUE(is_spatial_fnp_input(*dense, false));
  popped.model().pop_layer();
  EXPECT_TRUE(is_spatial_fnp_input(*dense, false));
}

TEST(FitRules, TnpB) {
  const LayerType btc = LayerType::BufferTempConv, dw = LayerType::DepthwiseBufferTempConv;
  const std::tuple<Shape, LayerType, Params, std::string> cases[] = {
      {{5000, 1, 1}, btc, {{"filters", 4}, {"fifo_size", 2}, {"output_bits", 16}}, "Output should be 8-bit."},
      {{4096, 1, 1}, btc, {{"filters", 4}, {"fifo_size", 15}}, ""},
      {{4097, 1, 1}, btc, {{"filters", 4}, {"fifo_size", 2}}, "The maximum input width is 4096 (got 4097)"},
      {{1, 4096, 1}, btc, {{"filters", 4}, {"fifo_size", 2}}, ""},
      {{1, 4097, 1}, btc, {{"filters", 4}, {"fifo_size", 2}}, "The maximum input height is 4096 (got 4097)"},
      {{2, 2, 256}, dw, {{"fifo_size", 12}}, ""},  // depthwise filters are its channels; 12 taps fill a unit
      {{2, 2, 257}, dw, {{"fifo_size", 2}}, "The maximum input channel value is 256 (got 257)"},
      {{2, 2, 256}, btc, {{"filters", 256}, {"fifo_size", 1}}, ""},
      {{2, 2, 4}, btc, {{"filters", 257}, {"fifo_size", 2}}, "The maximum number of filters is 256 (got 257)"},
      {{2, 2, 4}, btc, {{"filters", 4}, {"fifo_size", 16}}, "The maximum fifo_size is 15 (got 16)"}};
  for (const auto& [in, type, params, message] : cases) {
    const auto layer = single(type, params, in);
    expect_status(check_tnp_b_common_constraints(*layer), on("l", message));
    expect_status(type == btc ? check_buffer_temp_conv_constraints(*layer)
                              : check_depthwise_buffer_temp_conv_constraints(*layer),
                  on("l", message));
  }
  // Layers the engine will not build, as a corrupted or hand-made model could carry.
  const std::tuple<LayerType, Params, Shape, std::string> stubs[] = {
      {btc, {{"filters", 4}, {"fifo_size", 0}}, Shape{1, 1, 4, 4}, "The minimum fifo_size is 1 (got 0)"},
      {btc, {{"filters", 4}, {"fifo_size", 2}}, Shape{1, 1, 7, 4},
       "The number of weight rows must be a multiple of fifo_size 2 (got 7)"},
      {dw, {{"fifo_size", 2}}, Shape{1, 1, 13, 4}, "The maximum number of taps is 12 (got 13)"}};
  for (const auto& [type, params, weights, message] : stubs) {
    StubLayer layer(type, params, Shape{2, 2, 4}, "l");
    layer.set_weights(weights);
    expect_status(check_tnp_b_common_constraints(layer), on("l", message));
  }
}

const std::string kSeveral = "Bad mapping on skip connection. Several branches.";

LayerList layers_of(const ModelBuilder& b, const Names& names) {
  LayerList layers;
  for (const auto& n : names) layers.push_back(b.layer(n));
  return layers;
}

// Checks the run `names` of `b` within the whole list `all` (default: the run).
MappingStatus check(const ModelBuilder& b, const Names& names, const Names& all = {}) {
  const LayerList run = layers_of(b, names), layers = layers_of(b, all);
  return check_layer_sequence(run.begin(), run.end(), all.empty() ? run : layers);
}

TEST(LayerSequence, StartEndAndSuccessionRules) {
  ModelBuilder b;
  b.input(8, 8, 3)
      .add(kConv, k3, "a")
      .add(kConv, k3, "b")
      .add(LayerType::Add, {}, "add", {"a", "b"})
      .add(kConv, with(k3, {{"pool_type", 1}, {"pool_size", 2}}), "pool")
      .add(LayerType::Dequantizer, {}, "deq")
      .add(kConv, k3, "after")
      .add(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}}, "tnp", {"pool"})
      .add(LayerType::Dense1D, {{"units", 4}}, "fnp", {"pool"})
      .add(kConv, k3, "cnp", {"fnp"})
      .add(LayerType::Dense1D, {{"units", 4}}, "merged", {"add"});
  // Last layers without activation: 8 bits are not checked; wider ones must be unscaled.
  for (const int bits : {8, 9, 16})
    b.add(kConv, with(k3, {{"activation", 0}, {"output_bits", bits}}), "raw" + std::to_string(bits), {"a"});
  set_variable(*b.layer("raw9"), "output_scales", {1, 3}, 1);  // one element out of line is enough
  set_variable(*b.layer("raw16"), "output_shift", {0, 0, -1});  // reported before the scales
  const LayerList empty;
  expect_status(check_layer_sequence(empty.begin(), empty.end(), empty), "Empty layer sequence");
  const std::pair<Names, std::string> cases[] = {
      {{"a", "b"}, ""},
      {{"add", "pool"}, on("add", "Can't be the first layer of the sequence.")},
      {{"deq"}, on("deq", "Can't start a sequence with a Dequantizer.")},  // before any last-layer rule
      {{"b", "deq", "after"}, "Only 1 Dequantizer at the end of the model is supported."},
      // A closing Dequantizer hands the last-layer rules to the layer before it.
      {{"pool", "deq"}, on("pool", "A layer with max pooling cannot be the last layer of a sequence.")},
      {{"pool", "tnp"}, ""},
      {{"pool", "fnp"},
       on("fnp", "Any layer with max pooling must be followed by a layer mapped on a CNP or a TNP-B.")},
      {{"fnp", "cnp"}, on("cnp", "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP due to "
                                 "incompatible data processing requirements.")},
      {{"a", "b", "add", "merged"}, on("merged", "Dense layer can't have Add/Concat as inbound.")},
      {{"a", "raw8"}, ""},
      {{"a", "raw9"}, on("raw9", "Without activation output_scales should be 1.")},
      {{"a", "raw16"}, on("raw16", "Without activation output_shift should be 0.")},
  };
  for (const auto& [run, message] : cases) expect_status(check(b, run), message);
  // SCC register 68 frames the last output by height times channels in 20 bits; an output of
  // 2048 channels or more has no channel field and is not framed by it.
  for (const auto& [height, channels, message] :
       {std::tuple{1023u, 1025u, ""}, {513u, 2045u, "1049085"}, {600u, 2048u, ""}, {1u, 1048576u, ""}}) {
    ModelBuilder tall;
    tall.input(1, height, 3).add(kConv, {{"filters", static_cast<int>(channels)}, {"kernel_size", 1}}, "c");
    expect_status(check(tall, {"c"}), *message ? on("c", std::string("As the last layer of a sequence, its output "
                                                                      "height times channels can be at most 1048575 "
                                                                      "(got ") + message + ")")
                                               : "");
  }
}

TEST(LayerSequence, OutboundsAndBranches) {
  ModelBuilder b;
  b.input(8, 8, 3)
      .add(kConv, k3, "fork")
      .add(kConv, k3, "x", {"fork"})
      .add(kConv, k3, "y", {"fork"})
      .add(LayerType::Concatenate, {}, "cat", {"x", "y"})
      .add(kConv, k3, "end")
      .add(kConv, k3, "z", {"fork"});
  const Names two{"fork", "x", "y", "cat", "end"};
  expect_status(check(b, two), "");
  expect_status(check(b, {"fork", "x", "y"}, two), kSeveral);
  expect_status(check(b, {"fork", "x", "y", "cat"}, two), "Bad mapping on skip connection. No valid merge layer.");
  // The skip-connection check alone: two branches left open fail, one passes on to the merge rule.
  expect_status(check_skip_connections(layers_of(b, {"fork", "x", "y"}), layers_of(b, two)), kSeveral);
  expect_status(check_skip_connections(layers_of(b, {"fork", "x", "y", "cat"}), layers_of(b, two)),
                "Bad mapping on skip connection. No valid merge layer.");
  // "z" lies outside the run but counts as a consumer of the list.
  expect_status(check(b, two, {"fork", "x", "y", "cat", "end", "z"}),
                on("fork", "Layer has 3 outbounds. A maximum of 2 outbounds is supported."));

  ModelBuilder h;
  h.add(kIc, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4}, {"kernel_size", 3}}, "hrc")
      .add(kConv, k3, "x", {"hrc"})
      .add(kConv, k3, "y", {"hrc"})
      .add(LayerType::Add, {}, "add", {"x", "y"});
  expect_status(check(h, {"hrc", "x", "y", "add"}), "A layer mapped on HRC supports 1 outbound only");
  expect_status(check(h, {"hrc", "x"}, {"hrc", "x", "y", "add"}), kSeveral);  // the other consumer is outside
}

TEST(LayerSequence, DeeperSecondInputOfAConcatenateFeedsNothingElse) {
  ModelBuilder b;
  b.input(8, 8, 3).add(kConv, k3, "shallow").add(kConv, k3, "deep");
  b.add(LayerType::Concatenate, {}, "cat", {"shallow", "deep"}).add(kConv, k3, "other", {"deep"});
  const LayerList list{b.layer("shallow"), b.layer("deep"), b.layer("cat"), b.layer("other")};
  expect_status(check_skip_connections(list, list),
                on("deep", "Is the second input of a Concat, it can't have multiple outputs."));
  // A deeper second input that feeds the Concatenate alone, and a second input as deep as the
  // first that feeds more, pass.
  ModelBuilder alone, level;
  alone.input(8, 8, 3).add(kConv, k3, "s").add(kConv, k3, "d");
  alone.add(LayerType::Concatenate, {}, "cat", {"s", "d"}).add(kConv, k3, "end");
  level.input(8, 8, 3).add(kConv, k3, "s").add(kConv, k3, "d").add(kConv, k3, "t", {"s"});
  level.add(LayerType::Concatenate, {}, "cat", {"d", "t"}).add(kConv, k3, "o", {"t"}).add(kConv, k3, "end", {"cat"});
  for (const auto& [b, names] : {std::pair{&alone, Names{"s", "d", "cat", "end"}},
                                 std::pair{&level, Names{"s", "d", "t", "cat", "o", "end"}}}) {
    expect_status(check_skip_connections(layers_of(*b, names), layers_of(*b, names)), "");
    expect_status(check(*b, names), "");
  }
  // A Concatenate with one inbound layer (never built by the engine) is not over-read: the
  // Concatenate rule skips it, the merge rule refuses it.
  auto x = std::make_shared<StubLayer>(kConv, Params{}, Shape{1, 1, 1}, "x");
  auto cat = std::make_shared<StubLayer>(LayerType::Concatenate, Params{}, Shape{1, 1, 1}, "cat");
  auto other = std::make_shared<StubLayer>(kConv, Params{}, Shape{1, 1, 1}, "other");
  x->kind = other->kind = 2;
  cat->kind = 5;
  cat->inbounds = other->inbounds = {x};
  x->outbounds = {cat, other};
  const LayerList run{x, cat, other};
  expect_status(check_skip_connections(run, run),
                on("cat", "Bad mapping on skip connection. A merge layer joins 2 layers on hardware (got 1)."));
}

// Merges the skip DMAs cannot carry: each would map with a store nobody loads or a load nobody
// stored. Refused on the whole list and on every run cut mode could map on its own.
TEST(LayerSequence, MergesTheSkipDmasCannotCarry) {
  const Params k8{{"filters", 8}, {"kernel_size", 1}};
  const auto chain = [&k8](ModelBuilder& b, int n) -> ModelBuilder& {
    b.input(8, 8, 8);
    for (int i = 1; i <= n; ++i) b.add(kConv, k8, std::string(1, 'c').append(std::to_string(i)));
    return b;
  };
  ModelBuilder add_tnp, cat_tnp, merge_merge, nested, input, deq, three, deep_merge, dual, dense, two_cnps;
  ModelBuilder tnp_kept, dual_kept, two_merges, leaf_keeper, level;
  chain(add_tnp, 3).add(LayerType::Add, {}, "m", {"c1", "c3"}).add(kBtcT, kBtc, "t").add(kConv, k8, "c4");
  chain(cat_tnp, 3).add(LayerType::Concatenate, {}, "m", {"c1", "c3"}).add(kBtcT, kBtc, "t").add(kConv, k8, "c4");
  chain(merge_merge, 3).add(LayerType::Add, {}, "m1", {"c1", "c3"}).add(LayerType::Add, {}, "m2", {"m1", "c2"});
  merge_merge.add(kConv, k8, "c4");
  chain(nested, 4).add(LayerType::Add, {}, "inner", {"c2", "c4"}).add(LayerType::Add, {}, "outer", {"c1", "inner"});
  nested.add(kConv, k8, "c5");
  chain(input, 2).add(LayerType::Add, {}, "m", {"input", "c2"}).add(kConv, k8, "c3");
  chain(deq, 3).add(LayerType::Add, {}, "m", {"c1", "c3"}).add(LayerType::Dequantizer, {}, "d");
  chain(three, 3).add(LayerType::Concatenate, {}, "m", {"c3", "c1", "c2"}).add(kConv, k8, "c4");
  // m1 is fused into c4 but also m2's deeper input; in `dual` it is m2's shallower one, kept by
  // c4's dual-output store.
  chain(deep_merge, 3).add(LayerType::Add, {}, "m1", {"c1", "c3"}).add(kConv, k8, "c4");
  deep_merge.add(LayerType::Add, {}, "m2", {"c2", "m1"}).add(kConv, k8, "c5", {"m2"});
  chain(dual, 3).add(LayerType::Add, {}, "m1", {"c1", "c3"}).add(kConv, k8, "c4").add(kConv, k8, "c5");
  dual.add(LayerType::Add, {}, "m2", {"m1", "c5"}).add(kConv, k8, "c6");
  dense.input(1, 1, 8).add(LayerType::Dense1D, {{"units", 8}}, "d1").add(LayerType::Dense1D, {{"units", 8}}, "d2");
  dense.add(LayerType::Add, {}, "m", {"d1", "d2"}).add(kConv, k8, "c");
  chain(two_cnps, 2).add(LayerType::Add, {}, "m", {"c1", "c2"}).add(kConv, k8, "c3").add(kConv, k8, "c4");
  two_cnps.add(kConv, k8, "c5", {"m"}).add(kConv, k8, "c6");
  // Each of these needs a layer with two skip-DMA stores or one with a store and no layer to send
  // its output to.
  chain(tnp_kept, 1).add(kDwBtcT, kDwBtc, "t").add(kConv, k8, "c2").add(LayerType::Add, {}, "m", {"t", "c2"});
  tnp_kept.add(kConv, k8, "z");
  chain(dual_kept, 3).add(LayerType::Add, {}, "m1", {"c1", "c3"}).add(kConv, k8, "c4").add(kConv, k8, "c5");
  dual_kept.add(LayerType::Add, {}, "m2", {"m1", "c5"}).add(kConv, k8, "c6").add(LayerType::Add, {}, "m3", {"c4", "c6"});
  dual_kept.add(kConv, k8, "c7");
  chain(two_merges, 1).add(kConv, k8, "c2", {"c1"}).add(kConv, k8, "c3", {"c1"});
  two_merges.add(LayerType::Add, {}, "m1", {"c2", "c3"}).add(kConv, k8, "c4").add(kConv, k8, "c5");
  two_merges.add(LayerType::Add, {}, "m2", {"c2", "c5"}).add(kConv, k8, "z");
  chain(leaf_keeper, 3).add(LayerType::Add, {}, "m1", {"c1", "c3"}).add(kConv, k8, "c4").add(kConv, k8, "x", {"c3"});
  leaf_keeper.add(kConv, k8, "y").add(LayerType::Add, {}, "m2", {"m1", "y"}).add(kConv, k8, "c5");
  // m2's inputs are as deep: the second, m1, comes directly, and a merge cannot.
  chain(level, 3).add(LayerType::Add, {}, "m1", {"c1", "c3"}).add(kConv, k8, "x", {"c3"}).add(kConv, k8, "c4", {"m1"});
  level.add(LayerType::Add, {}, "m2", {"x", "m1"}).add(kConv, k8, "c5");

  const std::string bad = "Bad mapping on skip connection. ";
  const auto not_to = [&](const std::string& reader) {
    return bad + "Its output goes to '" + reader + "', not to a layer mapped on CNP, which alone can take a merge "
                 "layer's output.";
  };
  const std::string input_read = bad + "It reads 'input', which reaches the sequence only through its first layer 'c1'.";
  const Names skip{"c1", "c2", "c3", "m1", "c4"}, tail{"c2", "c3", "m1", "c4"};
  struct Row {
    const ModelBuilder* b;
    Names run, list;  // an empty list: the run alone
    std::string message;
  };
  const Row rows[] = {
      {&add_tnp, {"c1", "c2", "c3", "m", "t", "c4"}, {}, on("m", not_to("t"))},
      {&cat_tnp, {"c1", "c2", "c3", "m", "t", "c4"}, {}, on("m", not_to("t"))},
      {&merge_merge, {"c1", "c2", "c3", "m1", "m2", "c4"}, {}, on("m1", not_to("m2"))},
      {&nested, {"c1", "c2", "c3", "c4", "inner", "outer", "c5"}, {}, on("inner", not_to("outer"))},
      {&deq, {"c1", "c2", "c3", "m", "d"}, {}, on("m", not_to("d"))},
      {&three, {"c1", "c2", "c3", "m", "c4"}, {}, on("m", bad + "A merge layer joins 2 layers on hardware (got 3).")},
      // Both would keep it in a dual-output store, for no merge.
      {&two_cnps, {"c1", "c2", "m", "c3", "c4", "c5", "c6"}, {},
       on("m", bad + "Its output goes to 'c3' and 'c5': only one layer mapped on CNP can take a merge layer's output.")},
      {&deep_merge, {"c1", "c2", "c3", "m1", "c4", "m2", "c5"}, {},
       on("m2", bad + "Its deeper input 'm1' is a merge layer, whose output no layer passes on to it.")},
      {&dense, {"d1", "d2", "m", "c"}, {}, on("m", bad + "Its shallower input 'd1' is not kept by a skip DMA of the same sequence.")},
      {&dual, {"c1", "c2", "c3", "m1", "c4", "c5", "m2", "c6"}, {}, ""},
      {&tnp_kept, {"c1", "t", "c2", "m", "z"}, {},
       on("m", bad + "Its shallower input 't' is a TNP-B layer, whose one skip-DMA store keeps its own frames and "
                     "cannot keep its output for a merge too.")},
      {&dual_kept, {"c1", "c2", "c3", "m1", "c4", "c5", "m2", "c6", "m3", "c7"}, {},
       on("m3", bad + "Its shallower input 'c4' keeps the output of 'm1' in its one skip-DMA store (dual output) and "
                      "cannot keep its own output for a merge too.")},
      {&two_merges, {"c1", "c2", "c3", "m1", "c4", "c5", "m2", "z"}, {},
       on("m1", bad + "Its shallower input 'c2' is the shallower input of 'm2' too: a skip-DMA store keeps a layer's "
                      "output for one merge.")},
      {&leaf_keeper, {"c1", "c2", "c3", "m1", "c4", "x", "y", "m2", "c5"}, {},
       on("m2", bad + "Its shallower input 'm1' is kept by the dual-output store of 'c4', whose own output goes to no "
                      "layer.")},
      {&level, {"c1", "c2", "c3", "m1", "x", "c4", "m2", "c5"}, {},
       on("m2", bad + "Its deeper input 'm1' is a merge layer, whose output no layer passes on to it.")},
      // The model's input reaches only the first layer: neither the whole list nor the part
      // before the merge, which the branch count alone would let through, is a sequence.
      {&input, {"c1", "c2", "m", "c3"}, {}, on("m", input_read)},
      {&input, {"c1", "c2"}, {"c1", "c2", "m", "c3"}, on("m", input_read)},
      {&input, {"c1"}, {"c1", "c2", "m", "c3"}, on("m", input_read)},
      // A cut between a skip layer and its merge: c1 went to an earlier sequence.
      {&deep_merge, tail, tail, on("m1", bad + "It reads 'c1', which reaches the sequence only through its first layer 'c2'.")},
      {&deep_merge, tail, skip, on("m1", bad + "Its shallower input 'c1' is not kept by a skip DMA of the same sequence.")},
  };
  for (const auto& [b, run, list, message] : rows) {
    SCOPED_TRACE(run.front() + " .. " + run.back() + (list.empty() ? "" : " in a longer list"));
    expect_status(check(*b, run, list), message);
  }
}

// A layer kept for a merge as its shallowest input gets its skip-DMA store when the mesh mapper
// places it, before any rule on the merge can stop the run: the checker refuses it on its own,
// naming the merge, when that store would be its second.
TEST(LayerCompatibility, AKeptLayerThatWouldNeedASecondStoreNamesTheMerge) {
  const Params k8{{"filters", 8}, {"kernel_size", 1}};
  ModelBuilder tnp, plain, dual;
  tnp.input(8, 8, 8).add(kConv, k8, "c1").add(kDwBtcT, kDwBtc, "t").add(kConv, k8, "c2");
  tnp.add(LayerType::Add, {}, "m", {"t", "c2"}).add(kConv, k8, "z");
  plain.input(8, 8, 8).add(kConv, k8, "c1").add(kDwBtcT, kDwBtc, "t").add(kConv, k8, "c2");
  plain.add(LayerType::Add, {}, "m", {"c1", "c2"}).add(kConv, k8, "z");  // t comes directly
  dual.input(8, 8, 8).add(kConv, k8, "c1").add(kConv, k8, "c2").add(kConv, k8, "c3");
  dual.add(LayerType::Add, {}, "m1", {"c1", "c3"}).add(kConv, k8, "c4").add(kConv, k8, "c5");
  dual.add(LayerType::Add, {}, "m2", {"m1", "c5"}).add(kConv, k8, "c6").add(LayerType::Add, {}, "m3", {"c4", "c6"});
  dual.add(kConv, k8, "c7");
  const std::string bad = "Bad mapping on skip connection. ";
  const std::tuple<const ModelBuilder*, const char*, std::string> rows[] = {
      {&tnp, "t", on("m", bad + "Its shallower input 't' is a TNP-B layer, whose one skip-DMA store keeps its own "
                                "frames and cannot keep its output for a merge too.")},
      {&tnp, "c2", ""},
      {&plain, "t", ""},
      {&plain, "c1", ""},
      {&dual, "c4", on("m3", bad + "Its shallower input 'c4' keeps the output of 'm1' in its one skip-DMA store "
                                   "(dual output) and cannot keep its own output for a merge too.")},
      {&dual, "c1", ""},
  };
  const HardwareConstraints constraints{.np_weight_memory_size = 4096};  // the checker keeps its address
  const CompatibilityCheckerImpl checker(constraints);
  for (const auto& [b, name, message] : rows) {
    SCOPED_TRACE(name);
    const auto layer = b->layer(name);
    expect_status(checker.check_layer_compatibility(*layer, first_inbound_of(*layer), versions::FPGA_v2), message);
  }
}

// What the branch count misses: a merge reading its kept layer twice counts one reader, and a
// layer that feeds nothing closes a branch as a merge does. A store whose merge, a merge whose
// reader or an alternate pair whose second layer lies past the run would leave a skip-DMA store
// nobody loads, a load nobody stored, or a pair the mapping builder cannot link.
TEST(LayerSequence, WhatTheBranchCountMisses) {
  const Params k8{{"filters", 8}, {"kernel_size", 1}};
  ModelBuilder twice, leaf, fork;
  twice.input(8, 8, 8).add(kConv, k8, "c1").add(kConv, k8, "c2").add(LayerType::Add, {}, "m", {"c2", "c2"});
  twice.add(kConv, k8, "c3");
  leaf.input(8, 8, 8).add(kConv, k8, "c1").add(kConv, k8, "c2").add(LayerType::Add, {}, "m", {"c1", "c2"});
  leaf.add(kConv, k8, "leaf", {"c2"}).add(kConv, k8, "c3", {"m"});
  fork.input(8, 8, 8).add(kConv, k8, "c1").add(kConv, k8, "a").add(kConv, k8, "b", {"c1"});
  const std::string bad = "Bad mapping on skip connection. ";
  const Names all_twice{"c1", "c2", "m", "c3"}, all_leaf{"c1", "c2", "m", "leaf", "c3"};
  struct Row {
    const ModelBuilder* b;
    Names run, list;
    std::string message;
    bool skip_rule;  // also a rule of check_skip_connections
  };
  const Row rows[] = {
      {&twice, {"c1", "c2"}, all_twice,
       on("m", bad + "Its shallower input 'c2' would be kept by a skip DMA of a sequence that ends before it."), true},
      {&twice, all_twice, all_twice, "", true},
      {&twice, {"c1", "c2"}, {"c1", "c2"}, "", true},  // a merge outside the list keeps nothing
      {&leaf, {"c1", "c2", "m", "leaf"}, all_leaf,
       on("m", bad + "Its output goes to 'c3', which would map in a later sequence."), true},
      {&leaf, all_leaf, all_leaf, "", true},
      {&fork, {"c1", "a"}, {"c1", "a", "b"},
       on("c1", "Its outputs 'a' and 'b' are as deep, so they take its output together in its sequence; 'b' is not "
                "in that sequence."), false},
      {&fork, {"c1", "a", "b"}, {"c1", "a", "b"}, "", false},
  };
  for (const auto& [b, run, list, message, skip_rule] : rows) {
    SCOPED_TRACE(run.front() + " .. " + run.back() + " of " + std::to_string(list.size()));
    expect_status(check(*b, run, list), message);
    if (skip_rule) expect_status(check_skip_connections(layers_of(*b, run), layers_of(*b, list)), message);
  }
}

}  // namespace
}  // namespace nuvra::v2
