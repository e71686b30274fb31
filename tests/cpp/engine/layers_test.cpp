// What layers refuse. (Each type's shapes, widths, kinds and variables are exercised by the
// end-to-end tests and the generated models.)
#include <gtest/gtest.h>

#include <nuvra/image_patches.h>
#include <nuvra/layers.h>

#include "support/error_text.h"
#include "support/model_builders.h"

#include <tuple>

namespace nuvra {
namespace {

using test::ModelBuilder;
using test::Params;

Params with(Params p, const Params& more) {
  for (const auto& [k, v] : more) p[k] = v;
  return p;
}

// Unknown types, layers not yet in a model and the widest Same padding.
TEST(Layers, UnknownTypesAndUnbuiltLayers) {
  auto unknown = LayerParams::create(LayerType::Unknown, {});
  EXPECT_THROW(Layer::create(unknown.get(), "u"), std::invalid_argument);
  EXPECT_THROW(LayerParams::create(static_cast<LayerType>(26), {}), std::invalid_argument);
  // Same padding at the largest width neither overflows nor wraps.
  const ImagePatches p(3, 3, 1, 1, Padding::Same, Shape{4294967295u, 1, 1});
  EXPECT_EQ(std::tie(p.out_width, p.pad_left, p.pad_right), std::make_tuple(4294967295u, 1, 1));
  auto unbuilt = test::make_layer(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}}, "c");
  EXPECT_EQ(test::error_text([&] { unbuilt->input_dimensions(); }), "Cannot get input size before it is set.");
  EXPECT_EQ(test::error_text([&] { unbuilt->output_dimensions(); }), "Cannot get output size before it is set.");
}

TEST(Layers, ShapesALayerCannotTakeAreRefusedAndChangeNothing) {
  const Params conv = {{"filters", 2}, {"kernel_size", 3}};
  // The input shape (empty: an input layer, added to an empty model) and the reason after
  // "Layer l (<type>): ".
  const std::tuple<LayerType, Params, Shape, const char*> cases[] = {
      {LayerType::Conv2D, {{"kernel_size", 3}}, {4, 4, 1}, "missing parameter 'filters'"},
      {LayerType::Conv2D, with(conv, {{"kernel_size", 5}, {"padding", 0}}), {4, 6, 1},
       "the 4x6 input is smaller than the 5x5 kernel (Valid padding)"},
      {LayerType::Conv2D, with(conv, {{"output_bits", 0}}), {4, 4, 1},
       "parameter 'output_bits' must be between 1 and 32 (got 0)"},
      {LayerType::Conv2D, with(conv, {{"kernel_stride", 128}}), {4, 4, 1},
       "convolution strides must be between 1 and 127 (got 128, 128)"},
      {LayerType::Conv2D, with(conv, {{"kernel_size", 1}, {"padding", 0}, {"pool_type", 1}, {"pool_size", 3}}),
       {2, 2, 1}, "the 3x3 pooling window is larger than the 2x2 convolution output (Valid padding)"},
      {LayerType::Conv2D, {{"filters", 100000}, {"kernel_size", 300}}, {4, 4, 1000},
       "variable weights would have more than 4294967295 elements"},
      {LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"filters", 5}}, {4, 4, 3},
       "parameter 'filters' (5) must equal the 3 input channels"},
      {LayerType::Stem, {{"input_width", 8}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8},
                         {"kernel_size", 16}}, {}, "the 8x32 input is smaller than the 16x16 patch"},
      {LayerType::InputData, {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}, {"input_bits", 0}}, {},
       "parameter 'input_bits' must be between 1 and 32 (got 0)"},
      // Refused when the layer is made: values outside their enumeration, ignored ones, keys
      // that do not decode.
      {LayerType::InputData, {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}, {"input_signed", 2}}, {},
       "parameter 'input_signed' must be 0 or 1 (got 2)"},
      {LayerType::Conv2D, with(conv, {{"pool_type", -1}}), {4, 4, 1},
       "parameter 'pool_type' must be 0 (NoPooling), 1 (Max) or 2 (Average) (got -1)"},
      {LayerType::Conv2D, with(conv, {{"activation", -1}}), {4, 4, 1},
       "parameter 'activation' must be 0 (NoActivation), 1 (ReLU) or 2 (LUT) (got -1)"},
      {LayerType::Conv2DTranspose, with(conv, {{"kernel_stride", 0}}), {4, 4, 1},
       "parameter 'kernel_stride' of a transposed layer must be 2 (got 0)"},
      {LayerType::Conv2D, with(conv, {{"\xff", 1}}), {4, 4, 1}, "parameter keys must be valid UTF-8"},
  };
  for (const auto& [type, params, input, reason] : cases) {
    ModelBuilder b;
    if (input.size() != 0) b.input(input[0], input[1], input[2]);
    const size_t before = b.model().layer_count();
    EXPECT_EQ(test::error_text<std::invalid_argument>([&] { b.model().add(test::make_layer(type, params, "l")); }),
              std::string("Layer l (") + layer_type_name(type) + "): " + reason);
    EXPECT_EQ(b.model().layer_count(), before);
    EXPECT_TRUE(before == 0 || b.layer("input")->outbound_layers().empty());
  }
}

}  // namespace
}  // namespace nuvra
