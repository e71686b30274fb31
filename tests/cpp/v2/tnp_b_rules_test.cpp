#include "v2/tnp_vit/tnp_b_rules.h"

#include "support/model_builders.h"
#include "stub_layer.h"

#include <gtest/gtest.h>

#include <string>

namespace nuvra::v2 {
namespace {

using test::ModelBuilder;
using test::Params;

const std::string kPrefix = "Error when mapping layer 'tnp': ";

struct RuleCase {
  const char* what;
  uint32_t width, height, channels;
  int input_bits;
  LayerType type;
  Params params;
  std::string message;  // empty: accepted
};

class TnpBRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(TnpBRules, FirstFailingRuleReportsItsMessage) {
  const RuleCase& c = GetParam();
  ModelBuilder b;
  b.input(c.width, c.height, c.channels, c.input_bits).add(c.type, c.params, "tnp");
  const Layer& layer = *b.layer("tnp");

  const MappingStatus status = check_tnp_b_common_constraints(layer);
  if (c.message.empty()) {
    EXPECT_EQ(status.code, 0u) << status.message;
    EXPECT_EQ(status.message, "Success");
  } else {
    EXPECT_EQ(status.code, 1u);
    EXPECT_EQ(status.message, kPrefix + c.message);
  }
  // Both layer kinds are held to the same rules.
  const MappingStatus kind = c.type == LayerType::BufferTempConv ? check_buffer_temp_conv_constraints(layer)
                                                                 : check_depthwise_buffer_temp_conv_constraints(layer);
  EXPECT_EQ(kind.code, status.code);
  EXPECT_EQ(kind.message, status.message);
}

constexpr LayerType kBtc = LayerType::BufferTempConv;
constexpr LayerType kDw = LayerType::DepthwiseBufferTempConv;

INSTANTIATE_TEST_SUITE_P(
    Cases, TnpBRules,
    ::testing::Values(
        RuleCase{"accepted", 8, 8, 16, 8, kBtc, {{"filters", 32}, {"fifo_size", 2}}, ""},
        RuleCase{"input bits before sizes", 5000, 1, 1, 16, kBtc, {{"filters", 4}, {"fifo_size", 2}},
                 "Input should be 8-bit."},
        RuleCase{"output bits before sizes", 5000, 1, 1, 8, kBtc,
                 {{"filters", 4}, {"fifo_size", 2}, {"output_bits", 16}}, "Output should be 8-bit."},
        RuleCase{"no activation keeps 32 output bits", 4, 4, 4, 8, kBtc,
                 {{"filters", 4}, {"fifo_size", 2}, {"activation", 0}}, "Output should be 8-bit."},
        RuleCase{"width at the limit", 4096, 1, 1, 8, kBtc, {{"filters", 4}, {"fifo_size", 2}}, ""},
        RuleCase{"width over the limit", 4097, 1, 1, 8, kBtc, {{"filters", 4}, {"fifo_size", 2}},
                 "The maximum input width is 4096 (got 4097)"},
        RuleCase{"height at the limit", 1, 4096, 1, 8, kDw, {{"fifo_size", 2}}, ""},
        RuleCase{"height over the limit", 1, 4097, 1, 8, kDw, {{"fifo_size", 2}},
                 "The maximum input height is 4096 (got 4097)"},
        RuleCase{"channels at the limit", 2, 2, 256, 8, kBtc, {{"filters", 256}, {"fifo_size", 1}}, ""},
        RuleCase{"channels over the limit", 2, 2, 257, 8, kBtc, {{"filters", 8}, {"fifo_size", 1}},
                 "The maximum input channel value is 256 (got 257)"},
        RuleCase{"filters over the limit", 2, 2, 8, 8, kBtc, {{"filters", 257}, {"fifo_size", 1}},
                 "The maximum number of filters is 256 (got 257)"},
        RuleCase{"depthwise filters are its channels", 2, 2, 256, 8, kDw, {{"fifo_size", 3}}, ""},
        RuleCase{"largest FIFO", 2, 2, 4, 8, kBtc, {{"filters", 4}, {"fifo_size", 15}}, ""},
        RuleCase{"FIFO past its 4-bit field", 2, 2, 4, 8, kBtc, {{"filters", 4}, {"fifo_size", 16}},
                 "The maximum fifo_size is 15 (got 16)"},
        RuleCase{"12 taps fill a channel unit", 2, 2, 4, 8, kDw, {{"fifo_size", 12}}, ""},
        RuleCase{"a 13th tap", 2, 2, 4, 8, kDw, {{"fifo_size", 13}}, "The maximum number of taps is 12 (got 13)"},
        RuleCase{"size rules before the FIFO", 4097, 1, 1, 8, kDw, {{"fifo_size", 13}},
                 "The maximum input width is 4096 (got 4097)"}),
    [](const ::testing::TestParamInfo<RuleCase>& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

// Layers the engine itself will not build, as a corrupted or hand-made model could carry.
TEST(TnpBRulesFifo, RefusesWhatThePackersCannotLayOut) {
  struct Case {
    LayerType type;
    Params params;
    Shape weights;  // empty: no weights declared
    std::string message;
  };
  const Case cases[] = {
      {kBtc, {{"filters", 4}, {"fifo_size", 0}}, Shape{1, 1, 4, 4}, "The minimum fifo_size is 1 (got 0)"},
      {kBtc, {{"filters", 4}, {"fifo_size", -2}}, Shape{1, 1, 4, 4}, "The minimum fifo_size is 1 (got -2)"},
      {kDw, {{"filters", 4}}, Shape{1, 1, 3, 4}, "The minimum fifo_size is 1 (got 0)"},
      {kBtc, {{"filters", 4}, {"fifo_size", 2}}, Shape{1, 1, 7, 4},
       "The number of weight rows must be a multiple of fifo_size 2 (got 7)"},
      {kBtc, {{"filters", 4}, {"fifo_size", 2}}, Shape{1, 1, 8, 4}, ""},
      {kDw, {{"fifo_size", 2}}, Shape{1, 1, 13, 4}, "The maximum number of taps is 12 (got 13)"},
      {kBtc, {{"filters", 4}, {"fifo_size", 3}}, Shape{}, ""},
  };
  for (const auto& c : cases) {
    test::StubLayer layer(c.type, c.params, Shape{2, 2, 4}, "tnp");
    if (c.weights.size()) layer.set_weights(c.weights);
    const MappingStatus status = check_tnp_b_common_constraints(layer);
    if (c.message.empty()) {
      EXPECT_EQ(status.code, 0u) << status.message;
    } else {
      EXPECT_EQ(status.code, 1u);
      EXPECT_EQ(status.message, kPrefix + c.message);
    }
  }
}

}  // namespace
}  // namespace nuvra::v2
