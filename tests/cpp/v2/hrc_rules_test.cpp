#include "v2/fnp_hrc/hrc_rules.h"

#include "hrc_test_support.h"

#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

namespace nuvra::v2 {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;
using test::Params;

// A layer with exactly the answers a rule case needs, including ones the engine would not build
// (no filters, a 4-bit Stem input). Activation follows the "activation" key.
class RuleLayer final : public Layer {
 public:
  RuleLayer(LayerType type, const Params& params, Shape input, uint8_t input_bits)
      : params_(LayerParams::create(type, params)), input_(input), input_bits_(input_bits), variables_(name_) {}

  void set_weights(const std::shared_ptr<Dense>& weights) {
    variables_.declare({"weights", weights->type(), weights->shape(), weights->layout()});
    variables_.set("weights", weights);
  }

  const std::string& get_name() const override { return name_; }
  LayerType type() const override { return params_->layer_type(); }
  std::vector<Shape> input_dimensions() const override { return {input_}; }
  Shape output_dimensions() const override { return input_; }
  uint8_t input_bits() const override { return input_bits_; }
  uint8_t output_bits() const override { return static_cast<uint8_t>(params_->get("output_bits")); }
  bool output_signed() const override { return false; }
  int input_type_code() const override { return 0; }
  bool is_input_layer() const override { return true; }
  bool splittable() const override { return false; }
  bool channelwise() const override { return false; }
  bool is_kind(int code) const override { return code == 1; }
  bool has_activation() const override { return params_->get("activation") != 0; }
  bool has_activation_type(ActivationType t) const override {
    return static_cast<int>(t) == params_->get("activation");
  }
  bool has_pool_type(PoolType t) const override { return false; }
  std::shared_ptr<LearningParams> learning() const override { return nullptr; }
  bool can_learn() const override { return false; }
  std::vector<std::shared_ptr<const Layer>> inbound_layers() const override { return {}; }
  std::vector<std::shared_ptr<Layer>> inbound_layers() override { return {}; }
  std::vector<std::shared_ptr<Layer>> outbound_layers() const override { return {}; }
  const LayerParams* params() const override { return params_.get(); }
  const Variables* variables() const override { return &variables_; }
  Variables* variables() override { return &variables_; }
  std::shared_ptr<const Mapping> mapping() const override { return nullptr; }
  std::shared_ptr<Mapping> mapping() override { return nullptr; }

 private:
  std::string name_ = "first";
  std::unique_ptr<LayerParams> params_;
  Shape input_;
  uint8_t input_bits_;
  VariablesImpl variables_;
};

const std::string kPrefix = "Error when mapping layer 'first': ";

Params merged(Params base, const Params& overrides) {
  for (const auto& [k, v] : overrides) base[k] = v;
  return base;
}

// Weights of the layer's own size, one weight -1 unless `zero`.
std::shared_ptr<Dense> weights_for(uint32_t k, uint32_t channels, uint32_t filters, bool zero) {
  auto w = Dense::create(TensorType::int8, {k, k, channels, filters == 0 ? 1 : filters});
  if (!zero) w->set<int8_t>(w->size() / 2, -1);
  return w;
}

struct RuleCase {
  const char* what;
  Params params;  // over the accepted defaults
  Shape input;
  std::string message;  // empty: accepted
  bool zero_weights = false;
  uint8_t input_bits = 8;
};

void expect_status(const MappingStatus& status, const RuleCase& c) {
  if (c.message.empty()) {
    EXPECT_EQ(status.code, 0u) << c.what << ": " << status.message;
    EXPECT_EQ(status.message, "Success") << c.what;
  } else {
    EXPECT_EQ(status.code, 1u) << c.what;
    EXPECT_EQ(status.message, kPrefix + c.message) << c.what;
  }
}

const Params kInputConv2D = {{"kernel_size", 3}, {"kernel_stride", 1}, {"pool_type", 0}, {"pool_size", 1},
                             {"pool_stride", 1}, {"activation", 1},    {"output_bits", 8}, {"filters", 8}};

const std::string kKernelMessage = "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7.";
const std::string kPoolMessage =
    "Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of (Pool_size, "
    "Pool_stride) are :(2, 2) or (3, 2). Received (";
const std::string kFiltersMessage = "The filters number should be set between 1 and 512 ";

TEST(InputConv2DRules, FirstFailingRuleReportsItsMessage) {
  const Shape in{32, 32, 3};
  const RuleCase cases[] = {
      {"accepted", {}, in, ""},
      {"kernel 6", {{"kernel_size", 6}}, in, kKernelMessage + "6 given."},
      {"kernel 16", {{"kernel_size", 16}}, in, kKernelMessage + "16 given."},
      {"kernel 7 stride 6", {{"kernel_size", 7}, {"kernel_stride", 6}}, in, ""},
      {"kernel 7 stride 7", {{"kernel_size", 7}, {"kernel_stride", 7}}, in,
       "For a kernel size 7, the kernel stride must be smaller than 6"},
      {"kernel 3 stride 3", {{"kernel_stride", 3}}, in, ""},
      {"kernel 3 stride 4", {{"kernel_stride", 4}}, in,
       "For a kernel size 3, the kernel stride must be smaller than 3"},
      {"kernel 5 stride 6", {{"kernel_size", 5}, {"kernel_stride", 6}}, in,
       "For a kernel size 5, the kernel stride must be smaller than 5"},
      {"max pool (3, 2)", {{"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}}, in, ""},
      {"max pool (2, 2)", {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}}, in, ""},
      {"max pool (2, 1)", {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 1}}, in, kPoolMessage + "2, 1)."},
      {"max pool (3, 3)", {{"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 3}}, in, kPoolMessage + "3, 3)."},
      {"average pool is not checked here", {{"pool_type", 2}, {"pool_size", 5}, {"pool_stride", 1}}, in, ""},
      {"input 4 wide", {}, {4, 100, 3},
       "Unsupported input size. Received: 4 as first dimension.\n The first dimension should be >= 5"},
      {"input 385 high", {}, {100, 385, 3},
       "Unsupported input size. Received: 385 as second dimension.\n The second dimension should be between 5 "
       "and 384"},
      {"input 4 high", {}, {100, 4, 3},
       "Unsupported input size. Received: 4 as second dimension.\n The second dimension should be between 5 and "
       "384"},
      {"input 5 x 5", {}, {5, 5, 1}, ""},
      {"input 4096 x 384", {}, {4096, 384, 1}, ""},
      {"no activation, before its output bits", {{"activation", 0}, {"output_bits", 32}}, in,
       "The first convolutional layer of a model can only be mapped if its activations are enabled"},
      {"4 output bits", {{"output_bits", 4}}, in, "Output should be 8-bit. 4 given."},
      {"512 filters", {{"filters", 512}}, in, ""},
      {"513 filters", {{"filters", 513}}, in, kFiltersMessage + "513 given."},
      {"no filters", {{"filters", 0}}, in, kFiltersMessage + "0 given."},
      {"all weights zero", {}, in, "All weights cannot be zeroes.", true},
      {"kernel before weights", {{"kernel_size", 2}}, in, kKernelMessage + "2 given.", true},
  };
  for (const auto& c : cases) {
    const Params p = merged(kInputConv2D, c.params);
    RuleLayer layer(LayerType::InputConv2D, p, c.input, c.input_bits);
    layer.set_weights(weights_for(3, c.input[2], p.at("filters"), c.zero_weights));
    expect_status(check_input_conv2d_constraints(layer), c);
  }
}

const Params kStem = {{"kernel_size", 16}, {"filters", 192}, {"output_bits", 8}, {"activation", 1}};
const std::string kStemShapes =
    "Input shape must be one of: (160, 160, 1 or 3), (224, 224, 1 or 3), (256, 256, 1 or 3)";

TEST(StemRules, FirstFailingRuleReportsItsMessage) {
  const RuleCase cases[] = {
      {"224 x 224 x 3", {}, {224, 224, 3}, ""},
      {"160 x 160 x 1", {}, {160, 160, 1}, ""},
      {"256 x 256 x 3", {}, {256, 256, 3}, ""},
      {"not square", {}, {224, 160, 3}, kStemShapes},
      {"two channels", {}, {224, 224, 2}, kStemShapes},
      {"unsupported size", {}, {192, 192, 3}, kStemShapes},
      {"kernel 14 names 16", {{"kernel_size", 14}}, {224, 224, 3}, "Kernel size must be 16."},
      {"4-bit input before the kernel", {{"kernel_size", 14}}, {224, 224, 3}, "Input should be 8-bit.", false, 4},
      {"4 output bits", {{"output_bits", 4}}, {224, 224, 3}, "Output should be 8-bit. 4 given."},
      {"191 filters", {{"filters", 191}}, {224, 224, 3}, "The number of filters must be 192."},
      {"all weights zero", {}, {224, 224, 3}, "All weights cannot be zeroes.", true},
  };
  for (const auto& c : cases) {
    const Params p = merged(kStem, c.params);
    RuleLayer layer(LayerType::Stem, p, c.input, c.input_bits);
    layer.set_weights(weights_for(16, c.input[2], p.at("filters"), c.zero_weights));
    expect_status(check_stem_constraints(layer), c);
  }
}

TEST(HrcRules, OneNonZeroWeightAnywherePasses) {
  for (size_t at : {size_t{0}, size_t{1}, size_t{3 * 3 * 8 - 1}}) {
    RuleLayer layer(LayerType::InputConv2D, kInputConv2D, {32, 32, 1}, 8);
    auto w = Dense::create(TensorType::int8, {3, 3, 1, 8});
    w->set<int8_t>(at, -1);
    layer.set_weights(w);
    EXPECT_TRUE(check_input_conv2d_constraints(layer).ok()) << at;
  }
  // Four-bit weights are read as signed bytes too.
  RuleLayer int4(LayerType::InputConv2D, kInputConv2D, {32, 32, 1}, 8);
  int4.set_weights(Dense::create(TensorType::int4, {3, 3, 1, 8}));
  EXPECT_EQ(check_input_conv2d_constraints(int4).message, kPrefix + "All weights cannot be zeroes.");
}

TEST(HrcRules, UnsignedWeightsAreAnInternalViolation) {
  RuleLayer layer(LayerType::Stem, kStem, {224, 224, 3}, 8);
  layer.set_weights(Dense::create(TensorType::uint8, {16, 16, 3, 192}));
  const std::string e = test::hrc::error_of([&] { check_stem_constraints(layer); });
  EXPECT_THAT(e, StartsWith("Wrong requested type "));
  EXPECT_THAT(e, EndsWith(" for a tensor of type uint8."));
}

TEST(HrcRules, BuiltEngineLayersPassWithTheirDefaults) {
  auto conv = test::hrc::input_conv2d_layer(32, 24, 3, {{"filters", 16}});
  EXPECT_TRUE(check_input_conv2d_constraints(*conv.layer).ok()) << check_input_conv2d_constraints(*conv.layer).message;
  auto stem = test::hrc::stem_layer(224, 3, {});
  EXPECT_TRUE(check_stem_constraints(*stem.layer).ok()) << check_stem_constraints(*stem.layer).message;

  // The engine starts weights at zero.
  test::ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 32}, {"input_height", 32}, {"input_channels", 1}, {"filters", 4}, {"kernel_size", 3}}, "z");
  EXPECT_EQ(check_input_conv2d_constraints(*b.layer("z")).message,
            "Error when mapping layer 'z': All weights cannot be zeroes.");
  EXPECT_EQ(kStemSupportedInputSize, (std::array<uint32_t, 3>{160, 224, 256}));
}

}  // namespace
}  // namespace nuvra::v2
