// The first-generation checker: the per-layer rules of each layer kind (with the differences
// between device generations), the sequence and NP-assignment checks, and the fit and split
// figures the mapping engine asks for.
#include "v1/compatibility_checker.h"

#include "v1/mapping_checks.h"
#include "v1_layers.h"
#include "v2/stub_layer.h"
#include "v2/v2_testing.h"

#include <nuvra/params.h>

#include <functional>
#include <limits>
#include <map>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;
using Prepare = std::function<void(Layer&)>;

HardwareConstraints capacity(uint32_t slots) { return HardwareConstraints{.np_weight_memory_size = slots}; }
const HardwareConstraints kConstraints = capacity(4096);

constexpr HwVersion kVlq = versions::VLQ7300_v1;

struct RuleCase {  // message "": accepted
  LayerType type; Params params; Shape input; std::string message;
  HwVersion version = kVlq; int bits = 1; Prepare setup = nullptr;
};

Prepare values(const char* name, std::vector<int> v, int rest = 0) {
  return [=](Layer& l) { set_variable(l, name, v, rest); };
}

void run(const std::vector<RuleCase>& cases, const HardwareConstraints& constraints = kConstraints) {
  const CompatibilityCheckerImpl checker(constraints);
  for (const RuleCase& c : cases) {
    OneLayer l(c.type, c.params, c.input, c.bits);
    if (c.setup) c.setup(*l);
    SCOPED_TRACE(c.message);
    expect_status(checker.check_layer_compatibility(*l, nullptr, c.version), on("l", c.message));
  }
}

const Prepare kSepWeights = [](Layer& l) { set_variable(l, "weights", {1}), set_variable(l, "weights_pw", {0, 1}); };
const Prepare kHrcWeights = values("weights", {0, 0, 3});

TEST(V1Checker, GenerationAndLayerType) {
  const CompatibilityCheckerImpl checker(kConstraints);
  OneLayer conv(LayerType::Convolutional, kConv3);
  expect_status(checker.check_layer_compatibility(*conv, nullptr, versions::Qrix_v1),
                "Qrix_v1 is not supported on this version. Please install nuvra 2.0.5 instead.");
  for (HwVersion v : {versions::Qrix_v2, versions::TwoNodesIP_v1, versions::VLQ7300_v1})
    expect_status(checker.check_layer_compatibility(*conv, nullptr, v), "");
  run({{LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, {8, 8, 4}, "Unsupported layer type"},
       {LayerType::Dense1D, {{"units", 4}}, {8, 8, 4}, "Unsupported layer type"}});
}

TEST(V1Checker, FullyConnectedRules) {
  const auto fc = [](const Params& p, Shape input, std::string message, Prepare prepare = nullptr, HwVersion v = kVlq,
                     int bits = 1) {
    return RuleCase{LayerType::FullyConnected, with({{"units", 4}}, p), input, std::move(message), v, bits, prepare};
  };
  const std::string too_large = "Input dimensions are too large to fit in a FNP.  The maximum value is ";
  run({fc({}, {2, 1, 20000}, "The maximum input channel value is 2048 (got 20000)"),
       fc({}, {2, 1, 2048}, ""),
       fc({}, {1, 1, 81920}, ""),  // no channel limit on a flat input
       fc({}, {1, 1, 81921}, too_large + "81920"), fc({}, {1, 1, 57334}, "", nullptr, versions::Qrix_v2),
       fc({}, {1, 1, 57335}, too_large + "57334", nullptr, versions::Qrix_v2),
       fc({}, {4, 4, 2}, "Input bitwidth should be 1, 2 or 4.", nullptr, kVlq, 8),
       fc({{"weights_bits", 0}}, {4, 4, 2}, "Weight bits should be between 1 and 4 inclusive."),
       fc({{"weights_bits", 5}}, {4, 4, 2}, "Weight bits should be between 1 and 4 inclusive."),
       fc({{"act_bits", 3}}, {4, 4, 2}, "act_bits should be 1, 2 or 4."),
       fc({{"act_bits", 3}, {"activation", 0}}, {4, 4, 2}, ""),
       fc({{"weights_bits", 2}}, {4, 4, 2}, "weights contain values out of range (-1, 1) (e.g.: -2)",
          values("weights", {1, -1, 0, -2})),
       fc({}, {4, 4, 2}, "", values("weights", {1})),  // 1 bit: the range of 2 bits
       fc({{"weights_bits", 4}}, {4, 4, 2}, "", values("weights", {7, -7})),
       fc({{"weights_bits", 3}}, {4, 4, 2}, "weights contain values out of range (-3, 3) (e.g.: 4)",
          values("weights", {3, -3, 4}))});
}

// A learning set of every parameter the learning words are counted from; `drop` leaves one out.
std::shared_ptr<LearningParams> learning_set(double num_weights, double num_classes, const std::string& drop = "") {
  std::map<std::string, double> params{{"num_weights", num_weights},   {"num_classes", num_classes},
                                       {"initial_plasticity", 1},     {"learning_competition", 0},
                                       {"min_plasticity", 0.1},       {"plasticity_decay", 0.25}};
  params.erase(drop);
  return LearningParams::create(LearningType::Unsupervised, params);
}

// Neuron k's weights are elements k, k + 4, ... (4 neurons, neurons fastest).
TEST(V1Checker, LearningLayerWeightsPerNeuron) {
  const CompatibilityCheckerImpl checker(kConstraints);
  const std::vector<std::pair<std::vector<int>, std::string>> cases = {
      {{1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1}, ""},  // two per neuron
      {{1, 1, 1, 1, 1, 1, 1},
       "The number of weights per neuron should match the num_weights NuvraUnsupervised parameter."},
      {{1, 1, 1, 1, 1, 1, 1, 1, 1},
       "The number of weights per neuron should match the num_weights NuvraUnsupervised parameter."}};
  for (const auto& [weights, message] : cases) {
    OneLayer l(LayerType::FullyConnected, {{"units", 4}}, {4, 1, 1});
    set_variable(*l, "weights", weights);
    expect_status(checker.check_layer_compatibility(*l, nullptr, versions::VLQ7300_v1), "");  // not learning yet
    l.b.model().compile(learning_set(2.9, 2));
    expect_status(checker.check_layer_compatibility(*l, nullptr, versions::VLQ7300_v1), on("l", message));
  }
}

// The standard and the separable kinds share the convolution and pooling rules.
TEST(V1Checker, CnpRules) {
  const auto conv = [](const Params& p, std::string message, Shape input = {8, 8, 4}, HwVersion v = kVlq) {
    return RuleCase{LayerType::Convolutional, with(kConv3, p), input, std::move(message), v};
  };
  const auto sep = [](const Params& p, std::string message, Prepare setup = kSepWeights) {
    return RuleCase{LayerType::SeparableConvolutional, with(kConv3, p), {8, 8, 4}, std::move(message), kVlq, 1, setup};
  };
  const Params max2{{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}};
  const Params gap{{"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}};
  run({conv({{"stride_x", 2}, {"stride_y", 2}}, ""),
       conv({{"stride_x", 2}, {"stride_y", 2}, {"kernel_width", 5}, {"kernel_height", 5}},
            "Convolution stride 2 is only supported for 3x3 kernels."),
       conv({{"stride_x", 3}, {"stride_y", 3}}, "Convolution stride must be 1 or 2"),
       conv({{"stride_y", 2}}, "Horizontal and vertical strides must be equal"),
       conv({{"kernel_height", 5}}, "Kernel width and height must be equal"),
       conv({{"padding", 0}}, "Only padding same is supported"),
       conv({{"filters", 2048}}, ""),
       conv({{"filters", 2049}}, "The maximum number of filters is 2048 (got 2049)"),
       conv({}, "", {4096, 2, 1}),
       conv({}, "The maximum input width is 4096 (got 4097)", {4097, 2, 1}),
       conv({}, "", {2, 4096, 1}),
       conv({}, "The maximum input height is 4096 (got 4097)", {2, 4097, 1}),
       conv({}, "The maximum input channel value is 2048 (got 2049)", {2, 2, 2049}),
       conv(with(max2, {{"pooling_width", 3}, {"pooling_height", 3}}), ""),
       conv(with(max2, {{"pooling_width", 3}, {"pooling_height", 3}}), "Pooling size 3 is not supported on Qrix_v2",
            {8, 8, 4}, versions::Qrix_v2),
       conv(with(max2, {{"pooling_width", 4}, {"pooling_height", 4}}), "Pooling size must be 1, 2 or 3"),
       conv(with(max2, {{"pooling_height", 1}}), "Pooling width and height must be equal"),
       conv(with(max2, {{"pooling_stride_x", 2}, {"pooling_stride_y", 1}}), "Pooling stride x and y must be equal"),
       conv(with(max2, {{"pooling_stride_x", 3}, {"pooling_stride_y", 3}}),
            "Pooling stride must be equal or lower than pooling size"),
       conv(max2, "", {2, 2, 4}),
       conv(max2, "Pooling size cannot be greater than input dimensions", {1, 8, 4}),
       conv(max2, "Pooling size cannot be greater than input dimensions", {8, 1, 4}),
       conv({{"pool_type", 2}, {"pooling_width", 2}, {"pooling_height", 2}}, "Average pooling must be global"),
       conv(gap, ""),
       conv(gap, "With average pooling, input width cannot exceed 32", {33, 8, 4}),
       conv(gap, "", {8, 3, 4}),
       conv(gap,
            "When using Global Average Pooling, the output of the convolution must have at least 3 rows (currently 2)",
            {8, 2, 4}),
       conv(gap, "", {32, 32, 336}),  // 10752 words, 32 wide
       // 10754 words: no input of 3 rows or more makes 10753, a prime.
       conv(gap, "With average pooling, spatial split is impossible", {32, 19, 566}),
       conv(gap, "With average pooling, spatial split is impossible", {32, 32, 512}),
       conv({{"pool_type", 0}, {"pooling_width", 9}}, ""),  // no pooling: no pooling rule
       conv({{"kernel_width", 9}, {"kernel_height", 9}}, "Kernel size must be 1, 3, 5 or 7"),
       conv({{"weights_bits", 8}}, "Standard CNP weights bitwidth must be 1, 2 or 4"),
       // Word 3 codes input and act bits in two bits each; act bits only with an activation.
       conv({{"act_bits", 3}, {"activation", 0}}, ""),
       sep({{"act_bits", 8}}, "act_bits should be 1, 2 or 4."),
       {LayerType::SeparableConvolutional, kConv3, {8, 8, 4}, "Input bitwidth should be 1, 2 or 4.", kVlq, 3,
        kSepWeights},
       sep({{"weights_bits", 4}, {"kernel_width", 7}, {"kernel_height", 7}}, ""),
       sep({{"kernel_width", 1}, {"kernel_height", 1}}, "Kernel size must be 3, 5 or 7"),
       sep({{"weights_bits", 1}}, "Separable CNP weights bitwidth must be 2 or 4"),
       sep({{"padding", 0}}, "Only padding same is supported"),
       sep({}, "All weights in a separable cnp layer cannot be zeroes.", values("weights", {1})),
       sep({}, "All weights in a separable cnp layer cannot be zeroes.", values("weights_pw", {1}))});
  // One 1-bit 3x3 filter of 64 channels takes 64 slots (16 words a channel).
  run({conv({}, "", {8, 8, 64})}, capacity(512));
  const std::string too_big =
      "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth";
  run({conv({}, too_big, {8, 8, 64})}, capacity(511));
  // A 4-bit 7x7 filter takes 48 slots, 96 words, of each channel; its weights travel as one DMA
  // block of at most 65533 words (682 channels: 65472), whatever the memory holds. The memory's
  // own refusal comes first.
  const Params k7_4{{"weights_bits", 4}, {"kernel_width", 7}, {"kernel_height", 7}};
  run({conv(k7_4, "", {8, 8, 682})}, capacity(1u << 20));
  run({conv(k7_4, "The maximum weight image of an NP, in 32-bit words, is 65533 (got 65568 for one filter)",
            {8, 8, 683})},
      capacity(1u << 20));
  run({conv(k7_4, too_big, {8, 8, 683})}, capacity(32783));
}

TEST(V1Checker, HrcRules) {
  const auto hrc = [](const Params& p, std::string message, Prepare setup = kHrcWeights) {
    return RuleCase{LayerType::InputConvolutional, with(kHrc3, p), {}, std::move(message), kVlq, 1, setup};
  };
  const Params k7{{"kernel_width", 7}, {"kernel_height", 7}};
  const Params max2{{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}};
  const auto step = [](float s) {
    return [s](Layer& l) {
      kHrcWeights(l);
      auto t = Dense::create(TensorType::float32, {8});
      t->set<float>(3, s);
      l.variables()->set("act_step", t);
    };
  };
  std::vector<RuleCase> cases = {
       hrc({}, ""),
       hrc({{"kernel_width", 5}}, "kernel size should be symmetric."),
       hrc({{"kernel_width", 4}, {"kernel_height", 4}}, "kernel size should be 3, 5 or 7"),
       hrc({{"act_bits", 3}}, "act_bits should be 1, 2 or 4"),
       hrc({{"input_channels", 2}}, "input_channels must be 1 or 3"),
       hrc({{"stride_x", 3}}, ""),
       hrc({{"stride_x", 4}}, "stride_x should be 1, 2 or 3"),
       hrc({{"stride_y", 3}}, ""),
       hrc({{"stride_y", 4}}, "stride_y should be 1, 2 or 3"),
       hrc(with(k7, {{"filters", 32}}), ""),
       hrc(with(k7, {{"filters", 33}}), "num_neurons should be set between 1 and 32"),
       hrc(with(k7, {{"filters", 96}, {"input_channels", 1}}), ""),
       hrc({{"filters", 193}}, "num_neurons should be set between 1 and 192"),
       hrc({{"filters", 1}}, ""),
       hrc({{"padding", 0}, {"input_height", 5}}, ""),
       hrc({{"padding", 0}, {"input_height", 4}},  // 3 + 1 raised to 5
           "With valid padding, a 3 kernel size and a 1 kernel stride, input second dimension size cannot be smaller "
           "than 5"),
       hrc(with(k7, {{"padding", 0}, {"stride_y", 2}, {"filters", 4}, {"input_height", 9}}), ""),
       hrc(with(k7, {{"padding", 0}, {"stride_y", 2}, {"filters", 4}}),
           "With valid padding, a 7 kernel size and a 2 kernel stride, input second dimension size cannot be smaller "
           "than 9"),
       hrc({{"input_height", 5}}, ""),
       hrc({{"input_height", 4}}, "input second dimension size cannot be smaller than 5"),
       hrc({{"input_width", 5}}, ""),
       hrc({{"input_width", 4}}, "input first dimension size cannot be smaller than 5"),
       hrc(with(k7, {{"input_width", 7}, {"filters", 4}}), ""),
       hrc(with(k7, {{"input_width", 6}, {"filters", 4}}),
           "input first dimension size cannot be smaller than kernel size"),
       hrc({{"input_height", 256}}, ""),
       hrc({{"input_height", 257}}, "The maximum input second dimension size is 256 (got 257)"),
       hrc({{"pool_type", 2}}, "pool_type cannot be Average"),
       hrc(max2, ""),  // pooling strides default to the pooling size
       hrc(with(max2, {{"pooling_stride_x", 1}, {"pooling_stride_y", 1}}), "pool_size and pool_stride should be equal"),
       hrc(with(max2, {{"pooling_height", 3}}), "pooling_y should be 1 or 2"),
       hrc(with(max2, {{"pooling_width", 3}}), "pooling_x should be 1 or 2"),
       hrc(with(max2, {{"stride_y", 2}}), ""),  // 8 rows, 4 convolved, 2 pooled
       hrc(with(max2, {{"input_height", 5}, {"stride_y", 3}}),
           "with max pooling, output second dimension size must be at least 2"),
       hrc({{"activation", 0}, {"act_bits", 3}},
           "The first convolutional layer of a model can only be mapped if its activations are enabled"),
       hrc({}, "All weights in a hrc layer cannot be zeroes.", nullptr),
       hrc({}, "", step(1048575.9375f)),
       hrc({}, "act_step should be between 0 and 1048575. Receives act_step 1048576", step(1048576.f)),
       hrc({}, "act_step should be between 0 and 1048575. Receives act_step -1", step(-1.f)),
       hrc({{"padding_value", -1}}, "padding_value should be between 0 and 255 (got -1)")};
  // The most neurons for each kernel size and channel count, and one more.
  for (auto [k, channels, most] : {std::tuple{3, 1, 512}, {3, 3, 192}, {5, 1, 192}, {5, 3, 64}, {7, 1, 96}, {7, 3, 32}})
    for (int filters : {most, most + 1}) {
      const Params p{{"kernel_width", k}, {"kernel_height", k}, {"input_channels", channels}, {"filters", filters}};
      cases.push_back(hrc(p, filters > most ? "num_neurons should be set between 1 and " + std::to_string(most) : ""));
    }
  run(cases);
  // The engine builds no layer with strides or filters below 1; the rule refuses them all the same.
  const CompatibilityCheckerImpl checker(kConstraints);
  for (const auto& [param, message] : {std::pair{"stride_x", "stride_x should be 1, 2 or 3"},
                                       {"stride_y", "stride_y should be 1, 2 or 3"},
                                       {"filters", "num_neurons should be set between 1 and 192"}}) {
    Params p = kHrc3;
    p.insert({{"stride_x", 1}, {"stride_y", 1}, {"act_bits", 1}, {"activation", 1}});
    p[param] = 0;
    StubLayer stub(LayerType::InputConvolutional, p, {8, 8, 3}, "l");
    expect_status(checker.check_layer_compatibility(stub, nullptr, kVlq), on("l", message));
  }
}

// The threshold fields every recorder writes: a threshold in 20 signed bits (24 on the HRC), an
// act step in sixteenths, rounded half away from zero, within 0..0xFFFFF. A CNP takes every act
// step and, with an activation, every threshold; a FullyConnected both with an activation only.
TEST(V1Checker, ThresholdFields) {
  const auto thresholds = [](std::vector<int32_t> v, Prepare more = nullptr) -> Prepare {
    return [=](Layer& l) {
      if (more) more(l);
      set_i32(l, "threshold", v);
    };
  };
  const auto steps = [](std::vector<float> v, Prepare more = nullptr) -> Prepare {
    return [=](Layer& l) {
      if (more) more(l);
      set_f32(l, "act_step", v);
    };
  };
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::string th20 = "threshold should be between -524288 and 524287 (got ",
                    step = "act_step should be between 0 and 65535 (got ";
  const Params off{{"activation", 0}};
  std::vector<RuleCase> cases;
  for (const auto& [type, prepare] : {std::pair<LayerType, Prepare>{LayerType::Convolutional, nullptr},
                                      {LayerType::SeparableConvolutional, kSepWeights}}) {
    const auto cnp = [&, type = type, prepare = prepare](const Params& p, std::string message, auto edit) {
      cases.push_back({type, with(kConv3, p), {8, 8, 4}, std::move(message), kVlq, 1, edit(prepare)});
    };
    const auto th = [&](std::vector<int32_t> v) { return [=](Prepare p) { return thresholds(v, p); }; };
    const auto st = [&](std::vector<float> v) { return [=](Prepare p) { return steps(v, p); }; };
    cnp({}, "", th({0, 524287, -524288}));
    cnp({}, th20 + "524288)", th({0, 0, 0, 0, 0, 0, 0, 524288}));  // the last filter too
    cnp({}, th20 + "-524289)", th({-524289}));
    cnp(off, "", th({INT32_MIN, INT32_MAX}));  // no threshold without an activation
    // 1048575.4375 and -0.48 sixteenths round to 1048575 and 0; 1048575.5 and -0.5 away from them.
    cnp({}, "", st({65535.96484375f, 0, -0.03f}));
    cnp({}, step + "65535.97)", st({1, 65535.96875f}));
    cnp({}, step + "-0.03125)", st({-0.03125f}));  // -0.5 rounds to -1
    cnp({}, step + "-1)", st({-1}));
    cnp(off, step + "65536)", st({65536}));  // act steps are recorded whatever the activation
    cnp({}, step + "inf)", st({inf}));
    cnp({}, step + "nan)", st({1, 2, nan}));
    cnp({}, th20 + "524288)", [&](Prepare p) { return thresholds({0, 524288}, steps({0, 0, 70000}, p)); });
    cnp({}, step + "70000)", [&](Prepare p) { return thresholds({0, 0, 524288}, steps({0, 70000}, p)); });
  }
  const auto fc = [&](const Params& p, std::string message, Prepare prepare) {
    cases.push_back({LayerType::FullyConnected, with({{"units", 4}}, p), {4, 4, 2}, std::move(message), kVlq, 1,
                     prepare});
  };
  fc({}, "", thresholds({524287, -524288}, steps({65535.9375f})));
  fc({}, th20 + "524288)", thresholds({0, 0, 0, 524288}));
  fc({}, step + "-1)", steps({0, -1}));
  fc(off, "", thresholds({INT32_MIN}, steps({-1, inf})));  // without an activation neither is recorded
  fc(off, step + "nan)", steps({nan}));                        // but every act step is converted
  const auto hrc = [&](std::string message, Prepare prepare) {
    cases.push_back({LayerType::InputConvolutional, kHrc3, {}, std::move(message), kVlq, 1, prepare});
  };
  hrc("", thresholds({8388607, -8388608}, kHrcWeights));
  hrc("threshold should be between -8388608 and 8388607 (got 8388608)", thresholds({0, 8388608}, kHrcWeights));
  hrc("threshold should be between -8388608 and 8388607 (got -8388609)", thresholds({-8388609}, kHrcWeights));
  hrc("act_step should be between 0 and 1048575. Receives act_step nan", steps({nan}, kHrcWeights));
  run(cases);
}

// A compiled FullyConnected's learning image holds every threshold_learning in 0..524287.
TEST(V1Checker, LearningThresholds) {
  const CompatibilityCheckerImpl checker(kConstraints);
  for (const auto& [values, message] : std::vector<std::pair<std::vector<int32_t>, std::string>>{
           {{0, 524287}, ""},
           {{0, 0, -1}, "threshold_learning should be between 0 and 524287 (got -1)"},
           {{524288}, "threshold_learning should be between 0 and 524287 (got 524288)"}}) {
    OneLayer l(LayerType::FullyConnected, {{"units", 4}}, {4, 1, 1});
    set_variable(*l, "weights", {1, 1, 1, 1});
    set_i32(*l, "threshold_learning", values);
    expect_status(checker.check_layer_compatibility(*l, nullptr, kVlq), "");  // not learning yet
    l.b.model().compile(learning_set(1, 2));
    expect_status(checker.check_layer_compatibility(*l, nullptr, kVlq), on("l", message));
  }
  // A model file may hold a learning set without a parameter the learning words are counted from.
  for (const char* key : {"initial_plasticity", "learning_competition", "min_plasticity", "plasticity_decay"}) {
    OneLayer l(LayerType::FullyConnected, {{"units", 4}}, {4, 1, 1});
    set_variable(*l, "weights", {1, 1, 1, 1});
    l.b.model().compile(learning_set(1, 2, key));
    expect_status(checker.check_layer_compatibility(*l, nullptr, kVlq),
                  on("l", std::string("The learning parameters should hold ") + key));
  }
}

// A 3x3 layer of `filters` filters over an 8-wide input, on parts of `part` filters; `x` is the
// second part's horizontal offset (0: not split spatially) and `width` the parts' width.
struct Placement {
  Params params;
  uint32_t filters = 8, part = 8, x = 0, width = 8, channels = 4;
  std::vector<hw::Component> components() const {
    std::vector<hw::Component> out;
    for (uint32_t start = 0; start < filters; start += part)
      for (uint32_t px : {0u, x}) out.push_back(part_of({2, 1, 0, 0}, {px, 0, Shape{width, 8, channels}}, start, part));
    return out;
  }
};

TEST(V1Checker, MappingRules) {
  const Params max2{{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}};
  const Params strided{{"stride_x", 2}, {"stride_y", 2}}, stride1{{"pooling_stride_x", 1}, {"pooling_stride_y", 1}};
  const Params two_bits{{"weights_bits", 2}, {"act_bits", 2}};
  const std::string stride_and_max = "Cannot have convolution stride > 1 and max pooling if the layer is mapped on "
                                     "multiple NPs",
                    overlap = "Cannot have pooling size > pooling stride if the layer is mapped spatially on "
                              "multiple NPs",
                    one_channel = "With one input channel, the number of neurons per NP / 8 must be even",
                    average = "With average pooling, spatial split is impossible";
  const Params average_all{{"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}};
  const std::tuple<Placement, std::string, HwVersion> cases[] = {
      {{with(max2, strided)}, "", kVlq},  // not split spatially
      {{with(max2, strided), 8, 8, 4}, stride_and_max, kVlq},
      {{with(max2, {{"stride_y", 2}}), 8, 8, 4}, stride_and_max, kVlq},
      {{max2, 8, 8, 4}, "", kVlq},  // pooling strides default to the size
      {{with(max2, stride1), 8, 8, 4}, overlap, kVlq},
      {{with(max2, {{"pooling_stride_x", 2}, {"pooling_stride_y", 1}}), 8, 8, 4}, overlap, kVlq},
      {{average_all, 8, 8, 4}, average, kVlq},
      {{average_all, 8, 4}, "", kVlq},  // split by filters only
      {{{}, 8, 8, 0, 30}, "", kVlq},
      {{{}, 8, 8, 0, 32}, "", kVlq},
      {{{}, 8, 8, 0, 33}, "36 exceeds the maximum value for NP input width: 32", kVlq},
      {{{}, 32, 16, 0, 8, 1}, "", versions::Qrix_v2},
      {{{}, 32, 8, 0, 8, 1}, one_channel, versions::Qrix_v2},
      {{{}, 32, 8, 0, 8, 1}, "", kVlq},
      {{{}, 32, 8, 0, 8, 2}, "", versions::Qrix_v2},  // two channels skip the rule
      {{{}, 16, 8, 0, 8, 1}, "", versions::Qrix_v2},  // 16 filters skip the rule
      {{{}, 17, 17, 0, 8, 1}, one_channel, versions::Qrix_v2},
      {{two_bits, 20, 20, 0, 8, 1}, one_channel, versions::Qrix_v2},  // 20 / 8 rounds up to 3
      {{{}, 24, 12, 0, 8, 1}, "", versions::Qrix_v2},  // 12 / 8 rounds up to 2
  };
  for (const auto& [placement, message, version] : cases) {
    const CompatibilityCheckerImpl checker(kConstraints);
    OneLayer l(LayerType::Convolutional, with(with(kConv3, placement.params), {{"filters", int(placement.filters)}}),
               {8, 8, placement.channels});
    expect_status(checker.check_layer_mappings(*l, placement.components(), StubDevice(version)), on("l", message));
  }
  // The separable kind has the split pooling rule only.
  const auto separable = [](const Params& p) {
    OneLayer s(LayerType::SeparableConvolutional, with(kConv3, p));
    return CompatibilityCheckerImpl(kConstraints)
        .check_layer_mappings(*s, Placement{{}, 8, 8, 4}.components(), StubDevice());
  };
  expect_status(separable(with(max2, strided)), "");
  expect_status(separable(with(max2, stride1)), on("l", overlap));
  expect_status(separable(average_all), on("l", average));
  StubLayer add(LayerType::Add, {}, {8, 8, 4}, "add");
  expect_status(v1::check_layer_mappings(add, {}, versions::VLQ7300_v1), on("add", "Unknown Layer type"));
  // What any spatial split would be refused for, asked of the layer before its parts are cut.
  const std::tuple<LayerType, Params, std::string> spatial[] = {
      {LayerType::Convolutional, with(max2, strided), stride_and_max}, {LayerType::Convolutional, with(max2, stride1), overlap},
      {LayerType::Convolutional, average_all, average},                {LayerType::Convolutional, with(max2, {{"filters", 4}}), ""},
      {LayerType::SeparableConvolutional, with(max2, strided), ""},    {LayerType::SeparableConvolutional, with(max2, stride1), overlap},
      {LayerType::SeparableConvolutional, average_all, average}};
  for (const auto& [type, params, message] : spatial) {
    OneLayer l(type, with(kConv3, params));
    expect_status(CompatibilityCheckerImpl(kConstraints).check_spatial_split(*l), on("l", message));
  }
  expect_status(v1::check_spatial_split(add), "");
}

TEST(V1Checker, SequenceRules) {
  const Params max = with(kConv3, {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}});
  ModelBuilder b;
  b.input(8, 8, 4).add(LayerType::Convolutional, kConv3, "c").add(LayerType::Convolutional, max, "max");
  b.add(LayerType::Convolutional, kConv3, "c2").add(LayerType::Convolutional, max, "max2");
  b.add(LayerType::FullyConnected, {{"units", 4}}, "fc");
  const LayerList all(b.model().layers().begin() + 1, b.model().layers().end());
  const CompatibilityCheckerImpl checker(kConstraints);
  const auto check = [&](size_t from, size_t to, HwVersion v) {
    return checker.check_layer_sequence(all.begin() + from, all.begin() + to, all, v);
  };
  const std::string last =
      "A convolutional or separable convolutional layer with max pooling cannot be the last layer of a sequence";
  const std::string follow =
      "A convolutional or separable convolutional layer with max pooling must be followed by another convolutional or "
      "separable convolutional layer";
  expect_status(check(0, 0, versions::VLQ7300_v1), "Empty layer sequence");
  expect_status(check(0, 3, versions::Qrix_v2), "");
  for (HwVersion v : {versions::VLQ7300_v1, versions::Qrix_v2}) expect_status(check(0, 2, v), on("max", last));
  expect_status(check(0, 5, versions::VLQ7300_v1), "");
  expect_status(check(0, 5, versions::Qrix_v2), on("fc", follow));

  // The SCC frames 1024 rows of 1024 channels in 20 bits only where the output packets are
  // values: off Qrix_v2, from a CNP with an activation.
  for (const auto& [version, activation, message] :
       {std::tuple{versions::VLQ7300_v1, 1,
                   "As the last layer of a sequence, its output height times channels can be at most 1048575 (got "
                   "1048576)"},
        {versions::Qrix_v2, 1, ""}, {versions::VLQ7300_v1, 0, ""}}) {
    OneLayer tall(LayerType::Convolutional,
                  {{"filters", 1024}, {"kernel_width", 1}, {"kernel_height", 1}, {"activation", activation}},
                  {8, 1024, 1});
    const LayerList run{tall.layer};
    expect_status(checker.check_layer_sequence(run.begin(), run.end(), run, version), on("l", message));
  }
}

class UserChecker final : public CompatibilityCheckerImpl {
 public:
  using CompatibilityCheckerImpl::CompatibilityCheckerImpl;
};

TEST(V1Checker, FitAndSplitFigures) {
  const CompatibilityCheckerImpl checker(kConstraints);
  // A split search may reuse what this checker's fit tests answered; not a derived checker's.
  const CompatibilityChecker& own = checker;
  const UserChecker user(kConstraints);
  const CompatibilityChecker& derived = user;
  EXPECT_EQ(std::make_pair(own.fit_tests_repeatable(), derived.fit_tests_repeatable()), std::make_pair(true, false));
  // 8-bit values 4 wide: one word per channel row.
  EXPECT_TRUE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 10752, 4, 1, 0, 8, 0));
  EXPECT_FALSE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 10753, 4, 1, 0, 8, 0));
  EXPECT_TRUE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP2, 2688, 4, 2, 0, 8, 0));
  EXPECT_FALSE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP2, 5377, 4, 1, 0, 8, 0));
  const auto params = [](int k) {
    return LayerParams::create(LayerType::Convolutional, {{"kernel_width", k}, {"kernel_height", k}, {"pool_type", 1},
                                                          {"pooling_width", 2}, {"pooling_height", 3}, {"filters", 9}});
  };
  EXPECT_EQ(checker.np_split_params(hw::Type::CNP1, *params(3)), (NpSplitParams{1, 1, 1, 1, 1, 2, 3, 9}));
  EXPECT_EQ(checker.np_split_params(hw::Type::CNP1, *params(1)), (NpSplitParams{0, 0, 0, 0, 1, 2, 3, 9}));
  // One 1-bit 3x3 filter of 4 channels: 4 x 16 words, 32 slots.
  OneLayer l(LayerType::Convolutional, kConv3);
  EXPECT_TRUE(CompatibilityCheckerImpl(capacity(32)).is_weights_size_fit_np(*l, 1));
  EXPECT_FALSE(CompatibilityCheckerImpl(capacity(31)).is_weights_size_fit_np(*l, 1));
  // The words of one channel, in quads, fill a 10-bit field: 1x1 1-bit filters take 16 words per
  // 192, so 48960 filters take 4080 words (1020 quads) and one more 4096 (1024).
  OneLayer one(LayerType::Convolutional, with(kConv3, {{"kernel_width", 1}, {"kernel_height", 1}}), {8, 8, 1});
  EXPECT_TRUE(checker.is_weights_size_fit_np(*one, 48960));
  EXPECT_FALSE(checker.is_weights_size_fit_np(*one, 48961));
}

}  // namespace
}  // namespace nuvra::v1
