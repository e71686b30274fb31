// What fits an NP of the second generation: CNP widths, input SRAM, weight memory, split borders,
// FNP input layouts and sizes, and the TNP-B rules.
#include "v2/fnp_hrc/fnp_sizes.h"
#include "v2/fnp_hrc/mapping_checks.h"
#include "v2/tnp_vit/tnp_b_rules.h"

#include "v2_testing.h"
#include "stub_layer.h"
#include "support/model_builders.h"

#include <gmock/gmock.h>

namespace nuvra::v2 {
namespace {

using hw::Type;
using test::error_of;
using test::ModelBuilder;
using test::Params;

constexpr uint32_t kMax = 0xFFFFFFFF;

std::shared_ptr<Layer> single(LayerType type, const Params& params, Shape in, int bits = 8) {
  static std::vector<std::unique_ptr<ModelBuilder>> models;  // the layers stay in their models
  models.push_back(std::make_unique<ModelBuilder>());
  models.back()->input(in[0], in[1], in[2], bits).add(type, params, "l");
  return models.back()->layer("l");
}

TEST(FitRules, CnpWidthSramAndWeights) {
  const auto conv = single(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, {8, 8, 3});
  auto part = [](Type type, uint32_t width) {
    return test::component(type, {}, hw::SplitRecord{0, 1, {0, 0, Shape{width, 4, 3}}, {}, false});
  };
  const std::string limit = " exceeds the maximum value for NP input width: 64";
  const std::pair<std::vector<hw::Component>, std::string> widths[] = {
      {{}, "Success"},
      {{part(Type::CNP1, 61), part(Type::CNP2, 64)}, "Success"},
      {{part(Type::CNP1, 65)}, "68" + limit},
      {{part(Type::CNP1, kMax)}, "4294967296" + limit}, {{part(Type::TNP_B, 200), part(Type::FNP3, 300)}, "Success"}};
  for (const auto& [components, message] : widths) EXPECT_EQ(check_layer_mappings(*conv, components).message, message);
  HardwareConstraints hc;
  hc.input_sram_single_buffer_size = 90;
  hc.input_sram_dual_buffer_size = 192;
  const std::tuple<Type, uint32_t, uint32_t, uint8_t, uint32_t, bool, bool> fits[] = {
      // type, window height = width, fifo_size, bits, taken; single, dual
      {Type::CNP1, 10, 0, 8, 0, true, true},  // 3 channels: 12 bytes a channel row, 9 words a row, 90 words
      {Type::CNP1, 10, 0, 8, 1, false, true},       {Type::CNP1, 10, 0, 8, 103, false, false},
      {Type::TNP_B, 1, 2, 8, 0, false, true},       // one word a frame, rounded to 64, times fifo_size + 1
      {Type::TNP_B, 1, 2, 8, 1, false, false},      {Type::CNP1, 1, 0, 8, 91, false, true},  // reserve past capacity
      {Type::CNP1, kMax, 0, 255, 0, false, false},  {Type::TNP_B, 1, kMax, 8, 0, false, false}};  // no wrap
  for (const auto& [type, size, fifo, bits, taken, single_fits, dual_fits] : fits) {
    EXPECT_EQ(is_sram_input_fit_single_buffer(hc, type, size, size, 3, fifo, bits, taken), single_fits) << taken;
    EXPECT_EQ(is_sram_input_fit_dual_buffer(hc, type, size, size, 3, fifo, bits, taken), dual_fits) << taken;
  }
  EXPECT_EQ(error_of([&] { is_sram_input_fit_single_buffer(hc, Type::FNP3, 1, 1, 1, 0, 8, 0); }),
            "Type of NP not supported.");
  const auto conv7 = single(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 7}}, {8, 8, 4});
  const auto dw7 = single(LayerType::DepthwiseConv2D, {{"kernel_size", 7}}, {8, 8, 6});
  const auto btc = single(LayerType::BufferTempConv, {{"filters", 5}, {"fifo_size", 2}}, {2, 2, 3});
  EXPECT_EQ(get_weights_100b_size(*btc, 5), 18u);
  const std::tuple<std::shared_ptr<Layer>, uint32_t, uint32_t, bool> weights[] = {
      {conv, 10, 36, true}, {conv, 10, 35, false},
      // the 18-bit container field bounds what memory alone would allow
      {conv7, 37448, kMax, true}, {conv7, 37456, kMax, false}, {dw7, 37449, kMax, true}, {dw7, 37450, kMax, false}};
  for (const auto& [layer, filters, memory, expected] : weights) {
    hc.np_weight_memory_size = memory;
    EXPECT_EQ(is_weights_size_fit_np(hc, *layer, filters), expected) << filters << " in " << memory;
  }
  const auto dense = single(LayerType::Dense1D, {{"units", 4}}, {4, 4, 4});
  EXPECT_EQ(error_of([&] { is_weights_size_fit_np(hc, *dense, 4); }), "Unexpected layer type for CNP or TNP-B.");
  const auto params = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 24}});
  EXPECT_EQ(np_split_params(Type::CNP1, *params), (NpSplitParams{1, 1, 1, 1, 0, 0, 0, 24}));
  EXPECT_EQ(np_split_params(Type::TNP_B, *params), (NpSplitParams{0, 0, 0, 0, 0, 0, 0, 24}));
}

const std::string kTooLarge =
    "Error when mapping layer 'dense': Input dimensions are too large to fit in a FNP. The maximum value is 2048.";

TEST(FitRules, FnpInputLayouts) {
  const std::tuple<uint32_t, uint32_t, uint32_t, FnpInputMode, uint32_t> spatial[] = {
      // after a Conv2D: x, y, c, mode, words per neuron with its header
      {16, 16, 8, FnpInputMode::channel_rows, 514},
      {3, 5, 100, FnpInputMode::channel_rows, 502},
      {3, 6, 100, FnpInputMode::pixel_rows, 452},
      {3, 7, 100, FnpInputMode::none, 0}};  // 2800, 2100 and 2100 bytes
  for (const auto& [x, y, c, mode, words] : spatial) {
    ModelBuilder b;
    b.input(x, y, 3).add(LayerType::Conv2D, {{"filters", static_cast<int>(c)}, {"kernel_size", 3}}, "conv");
    b.add(LayerType::Dense1D, {{"units", 7}}, "dense");
    const Layer& dense = *b.layer("dense");
    EXPECT_EQ(choose_fnp_input_mode(dense, fnp_input_shape(dense, false), false), mode);
    EXPECT_EQ(check_fnp_constraints(dense, b.layer("conv")).message, words ? "Success" : kTooLarge);
    EXPECT_EQ(error_of([&] { EXPECT_EQ(get_fnp_sram_size(dense), words * 7); }),
              words ? "(no error)" : "Unsupported padding.");
    // The first layer of its sequence reads a flat input.
    EXPECT_EQ(get_fnp_input_size(dense, dense), (x * y * c * 8 + 31) / 32);
  }
  ModelBuilder flat;  // after another Dense1D: ceil(c / 4) + 2 words per neuron
  flat.input(4, 4, 3).add(LayerType::Dense1D, {{"units", 10}}, "fc").add(LayerType::Dense1D, {{"units", 7}}, "dense");
  EXPECT_EQ(get_fnp_sram_size(*flat.layer("dense")), 5u * 7);
  for (auto [bits, activation, message] : {std::tuple{8, 1, "Success"}, {32, 0, "Success"},
                                             {9, 1, "With activation output bitwidth should be <= 8."}}) {
    const auto dense = single(LayerType::Dense1D, {{"units", 4}, {"output_bits", bits}, {"activation", activation}},
                              {4, 4, 4});
    EXPECT_THAT(check_fnp_constraints(*dense, nullptr).message, ::testing::EndsWith(message));
  }
  // An image neither flattened nor packed by rows would keep c of its x * y * c weights per neuron.
  ModelBuilder image;
  image.input(4, 4, 3).add(LayerType::Dense1D, {{"units", 2}}, "dense");
  EXPECT_EQ(error_of([&] { get_fnp_sram_size(*image.layer("dense")); }), "Unsupported padding.");
  // A layer taken out of its model has no inbound layer to classify: it is not spatial.
  ModelBuilder popped;
  popped.input(4, 4, 3).add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, "conv");
  popped.add(LayerType::Dense1D, {{"units", 3}}, "dense");
  const auto dense = popped.layer("dense");
  EXPECT_TRUE(is_spatial_fnp_input(*dense, false));
  popped.model().pop_layer();
  EXPECT_FALSE(is_spatial_fnp_input(*dense, false));
}

TEST(FitRules, TnpB) {
  const std::string prefix = "Error when mapping layer 'l': ";
  const LayerType btc = LayerType::BufferTempConv, dw = LayerType::DepthwiseBufferTempConv;
  const std::tuple<Shape, LayerType, Params, std::string> cases[] = {
      {{5000, 1, 1}, btc, {{"filters", 4}, {"fifo_size", 2}, {"output_bits", 16}}, "Output should be 8-bit."},
      {{4096, 1, 1}, btc, {{"filters", 4}, {"fifo_size", 15}}, ""},
      {{4097, 1, 1}, btc, {{"filters", 4}, {"fifo_size", 2}}, "The maximum input width is 4096 (got 4097)"},
      {{2, 2, 256}, dw, {{"fifo_size", 12}}, ""},  // depthwise filters are its channels; 12 taps fill a unit
      {{2, 2, 4}, btc, {{"filters", 4}, {"fifo_size", 16}}, "The maximum fifo_size is 15 (got 16)"},
      {{2, 2, 4}, dw, {{"fifo_size", 13}}, "The maximum number of taps is 12 (got 13)"}};
  for (const auto& [in, type, params, message] : cases) {
    const auto layer = single(type, params, in);
    EXPECT_EQ(check_tnp_b_common_constraints(*layer).message, message.empty() ? "Success" : prefix + message);
    EXPECT_EQ((type == btc ? check_buffer_temp_conv_constraints(*layer)
                           : check_depthwise_buffer_temp_conv_constraints(*layer)).message,
              message.empty() ? "Success" : prefix + message);
  }
  // Layers the engine will not build, as a corrupted or hand-made model could carry.
  const std::tuple<LayerType, Params, Shape, std::string> stubs[] = {
      {btc, {{"filters", 4}, {"fifo_size", 0}}, Shape{1, 1, 4, 4}, "The minimum fifo_size is 1 (got 0)"},
      {dw, {{"filters", 4}}, Shape{1, 1, 3, 4}, "The minimum fifo_size is 1 (got 0)"},
      {btc, {{"filters", 4}, {"fifo_size", 2}}, Shape{1, 1, 7, 4},
       "The number of weight rows must be a multiple of fifo_size 2 (got 7)"},
      {dw, {{"fifo_size", 2}}, Shape{1, 1, 13, 4}, "The maximum number of taps is 12 (got 13)"}};
  for (const auto& [type, params, weights, message] : stubs) {
    test::StubLayer layer(type, params, Shape{2, 2, 4}, "l");
    layer.set_weights(weights);
    EXPECT_EQ(check_tnp_b_common_constraints(layer).message, prefix + message);
  }
}

}  // namespace
}  // namespace nuvra::v2
