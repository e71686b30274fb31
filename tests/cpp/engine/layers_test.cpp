// Layer types built in a small model: shapes, widths, categories, declared variables,
// and the shapes a layer refuses. (The recorded types are built by the end-to-end tests.)
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
using T = TensorType;

Params with(Params p, const Params& more) {
  for (const auto& [k, v] : more) p[k] = v;
  return p;
}

struct TypeCase {
  LayerType type;
  Params params;
  Shape input;                  // of the InputData feeding the layer; empty for input layers
  int input_bits, output_bits;  // negative: signed
  Shape output;
  // The kind, then I input layer, S splittable, C channelwise, c convolution record, p pooling record.
  std::string flags;
  std::vector<VariableDecl> vars;  // some of the declarations
  size_t total;                    // of declarations
  std::string missing_key;         // a required key, or "" when the type has none
};

std::vector<TypeCase> type_cases() {
  const Shape in{8, 8, 3};
  const Params whc = {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}};
  std::vector<TypeCase> c = {
      {LayerType::InputData, whc, {}, 0, 8, in, "0I", {}, 0, "input_width"},
      // Merges take the input layer and a pass-through branch of it.
      {LayerType::Add, {}, in, -4, -4, in, "5", {{"a_shift", T::uint8, {3}}, {"output_shift", T::int8, {3}}}, 3, ""},
      {LayerType::Concatenate, {}, in, 8, 8, {8, 8, 6}, "5", {}, 0, ""},
      {LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}}, in, 8,
       8, {4, 4, 3}, "2SCcp", {{"weights", T::int8, {3, 3, 1, 3}}}, 8, "kernel_size"},
      // Without activation: wide output, no maximum-value variables.
      {LayerType::Conv2DTranspose, {{"filters", 4}, {"kernel_size", 3}, {"activation", 0}}, in, 8, -32, {16, 16, 4},
       "2S", {}, 6, "kernel_size"},
      // Kind 0, as the software-only types: linking skips it.
      {LayerType::Dequantizer, {}, in, 8, -32, in, "0", {{"scales", T::float32, {3}}}, 1, ""},
      {LayerType::StatefulRecurrentLegacy, {{"stateful_channels", 4}, {"out_channels", 6}}, {1, 1, 3}, -16, -32,
       {1, 1, 6}, "4", {}, 0, "out_channels"},
      {LayerType::Dense1D, {{"units", 10}}, {2, 2, 3}, 8, 8, {1, 1, 10}, "3",
       {{"weights", T::int8, {12, 10}}, {"input_shift", T::uint8, {12}}}, 8, "units"},
  };
  for (LayerType t : {LayerType::Shiftmax, LayerType::Attention, LayerType::MadNorm, LayerType::BatchNormalization,
                      LayerType::ExtractToken})
    c.push_back({t, {}, in, 8, -32, in, "0", {}, 0, ""});
  return c;
}

// The layer under test, named "l", built in its own small model.
std::unique_ptr<Model> build_case(const TypeCase& tc, const Params& params) {
  ModelBuilder b;
  if (tc.input.size() == 0) return std::move(b.add(tc.type, params, "l")).take();
  b.input(tc.input[0], tc.input[1], tc.input[2], std::abs(tc.input_bits), tc.input_bits < 0);
  std::vector<std::string> inbounds;
  if (tc.type == LayerType::Add || tc.type == LayerType::Concatenate) {
    b.add(LayerType::MadNorm, {}, "branch", {"input"});
    inbounds = {"input", "branch"};
  }
  return std::move(b.add(tc.type, params, "l", inbounds)).take();
}

TEST(Layers, TypesBuildWithTheirMinimalKeys) {
  for (const auto& tc : type_cases()) {
    SCOPED_TRACE(layer_type_name(tc.type));
    auto layer = build_case(tc, tc.params)->get_layer("l");
    EXPECT_EQ(layer->output_dimensions(), tc.output);
    EXPECT_EQ(layer->output_bits() * (layer->output_signed() ? -1 : 1), tc.output_bits);
    const int input_bits = tc.input.size() ? layer->input_bits() * (layer->input_type_code() == 2 ? -1 : 1) : 0;
    EXPECT_EQ(input_bits, tc.input_bits);
    auto* conv = dynamic_cast<const HasConvParams*>(layer.get());
    auto* pool = dynamic_cast<const HasPoolParams*>(layer.get());
    std::string flags;
    for (int k = 0; k <= 7; ++k) flags += layer->is_kind(k) ? std::to_string(k) : "";
    flags += std::string(layer->is_input_layer() ? "I" : "") + (layer->splittable() ? "S" : "") +
             (layer->channelwise() ? "C" : "") + (conv && conv->conv_params() ? "c" : "") +
             (pool && pool->pool_params() ? "p" : "");
    EXPECT_EQ(flags, tc.flags);
    auto* vars = dynamic_cast<const VariablesImpl*>(layer->variables());
    ASSERT_EQ(vars->names().size(), tc.total);
    for (const VariableDecl& v : tc.vars) {
      const VariableDecl* d = vars->declaration(v.name);
      ASSERT_TRUE(d) << v.name;
      EXPECT_EQ(std::tie(d->type, d->shape, d->layout), std::tie(v.type, v.shape, v.layout)) << v.name;
      EXPECT_FALSE(vars->materialised(v.name));  // storage appears on first use only
    }
    if (tc.missing_key.empty()) continue;
    Params missing = tc.params;
    missing.erase(tc.missing_key);
    EXPECT_EQ(test::error_text<std::invalid_argument>([&] { build_case(tc, missing); }),
              std::string("Layer l (") + layer_type_name(tc.type) + "): missing parameter '" + tc.missing_key + "'");
  }
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
      {LayerType::Conv2D, with(conv, {{"kernel_size", 5}, {"padding", 0}}), {4, 6, 1},
       "the 4x6 input is smaller than the 5x5 kernel (Valid padding)"},
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
