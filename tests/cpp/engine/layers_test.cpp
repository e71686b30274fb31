// Every layer type built in a small model: shapes, widths, categories and declared variables.
#include <gtest/gtest.h>

#include <nuvra/layers.h>

#include "support/model_builders.h"

#include <optional>
#include <stdexcept>

namespace nuvra {
namespace {

using test::ModelBuilder;
using test::Params;
using T = TensorType;

struct Var {
  std::string name;
  TensorType type;
  Shape shape;
  Layout layout = Layout::RowMajor;
};

struct TypeCase {
  LayerType type;
  Params params;
  // The InputData feeding the layer (unused for input layers), its bits and sign.
  Shape input;
  int input_bits;
  bool input_signed;
  Shape output;
  int output_bits;
  bool output_signed;
  int kind;
  bool input_layer, splittable, channelwise, conv_record, pool_record;
  // Expected declarations; all of them, in order, unless `total` says there are more.
  std::vector<Var> vars;
  size_t total;
  std::string missing_key;  // a required key, or "" when the type has none
};

std::vector<Var> v2_neurons(uint32_t n, bool relu = true) {
  std::vector<Var> v = {{"bias", T::int8, {n}}, {"bias_shift", T::uint8, {n}}, {"output_scales", T::uint8, {n}},
                        {"output_shift", T::int8, {n}}};
  if (relu) {
    v.push_back({"max_value", T::uint8, {n}});
    v.push_back({"max_value_shift", T::uint8, {n}});
  }
  return v;
}

std::vector<Var> join(std::vector<Var> a, const std::vector<Var>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Params kWhc831 = {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}};

std::vector<TypeCase> type_cases() {
  const Shape in883{8, 8, 3};
  std::vector<TypeCase> c;
  c.push_back({LayerType::InputData, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}},
               {}, 0, false, in883, 8, false, 0, true, false, false, false, false, {}, 0, "input_width"});
  {
    Params p = kWhc831;
    p.insert({{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 4}});
    c.push_back({LayerType::InputConvolutional, p, {}, 0, false, {8, 8, 4}, 1, false, 1, true, false, false, true,
                 true,
                 {{"weights", T::int8, {3, 3, 1, 4}}, {"threshold", T::int32, {4}}, {"act_step", T::float32, {4}}},
                 3, "input_channels"});
  }
  c.push_back({LayerType::FullyConnected, {{"units", 10}}, {4, 4, 2}, 1, false, {1, 1, 10}, 1, false, 3, false,
               false, false, false, false,
               {{"weights", T::bit, {10, 32, 1, 1}, Layout::Reversed},
                {"threshold", T::int32, {10}},
                {"act_step", T::float32, {10}},
                {"threshold_learning", T::int32, {10}},
                {"thswap", T::int32, {10}}},
               5, "units"});
  const Params v1conv = {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}};
  c.push_back({LayerType::Convolutional, v1conv, {8, 8, 2}, 1, false, {8, 8, 4}, 1, false, 2, false, true, false,
               true, true,
               {{"weights", T::bit, {4, 2, 3, 3}, Layout::Reversed},
                {"threshold", T::int32, {4}},
                {"act_step", T::float32, {4}}},
               3, "kernel_height"});
  c.push_back({LayerType::SeparableConvolutional, v1conv, {8, 8, 2}, 1, false, {8, 8, 4}, 1, false, 2, false, true,
               false, true, true,
               {{"weights", T::int2, {1, 2, 3, 3}, Layout::Reversed},
                {"weights_pw", T::int2, {4, 2}, Layout::Reversed},
                {"threshold", T::int32, {4}},
                {"act_step", T::float32, {4}}},
               4, "filters"});
  // Merges take the input layer and a pass-through branch of it.
  c.push_back({LayerType::Add, {}, in883, 4, true, in883, 4, true, 5, false, false, false, false, false,
               {{"a_shift", T::uint8, {3}}, {"b_shift", T::uint8, {3}}, {"output_shift", T::int8, {3}}}, 3, ""});
  c.push_back({LayerType::Dense2D, {{"units", 5}}, in883, 8, false, {1, 1, 5}, 32, true, 0, false, false, false,
               false, false, {}, 0, "units"});
  for (LayerType t : {LayerType::Shiftmax, LayerType::Attention, LayerType::MadNorm, LayerType::BatchNormalization,
                      LayerType::ExtractToken})
    c.push_back({t, {}, in883, 8, false, in883, 32, true, 0, false, false, false, false, false, {}, 0, ""});
  c.push_back({LayerType::Stem,
               {{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 16}},
               {}, 0, false, {1, 4, 8}, 32, true, 1, true, false, false, true, false,
               {{"weights", T::int8, {16, 16, 3, 8}},
                {"tokens", T::int8, {1, 8}},
                {"tokens_shift", T::uint8, {1, 8}},
                {"pos_embedding", T::int8, {4, 8}},
                {"pos_embs_shift", T::uint8, {8}},
                {"output_scales", T::uint8, {8}},
                {"bias_shift", T::uint8, {8}},
                {"output_shift", T::int8, {8}},
                {"bias", T::int8, {8}}},
               9, "kernel_size"});
  c.push_back({LayerType::Concatenate, {}, in883, 8, false, {8, 8, 6}, 8, false, 5, false, false, false, false,
               false, {}, 0, ""});
  c.push_back({LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, in883, 8, false, {8, 8, 4}, 8, false, 2,
               false, true, false, true, true,
               join({{"weights", T::int8, {3, 3, 3, 4}}, {"input_shift", T::uint4, {3}}}, v2_neurons(4)), 8,
               "filters"});
  {
    Params p = {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4}, {"kernel_size", 3}};
    c.push_back({LayerType::InputConv2D, p, {}, 0, false, {8, 8, 4}, 8, false, 1, true, false, false, true, true,
                 {{"weights", T::int8, {3, 3, 3, 4}},
                  {"padding_value", T::uint8, {3}},
                  {"output_shift", T::int8, {4}},
                  {"output_scales", T::uint8, {4}},
                  {"bias_shift", T::uint8, {4}},
                  {"bias", T::int8, {4}},
                  {"max_value", T::uint8, {4}},
                  {"max_value_shift", T::uint8, {4}}},
                 8, "input_height"});
  }
  c.push_back({LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, in883, 8, false, in883, 8, false, 2, false, true,
               true, true, true,
               join({{"weights", T::int8, {3, 3, 1, 3}}, {"input_shift", T::uint4, {3}}}, v2_neurons(3)), 8,
               "kernel_size"});
  // Without activation: wide output, no maximum-value variables.
  c.push_back({LayerType::Conv2DTranspose, {{"filters", 4}, {"kernel_size", 3}, {"activation", 0}}, in883, 8, false,
               {16, 16, 4}, 32, true, 2, false, true, false, false, false,
               join({{"weights", T::int8, {3, 3, 3, 4}}, {"input_shift", T::uint4, {3}}}, v2_neurons(4, false)), 6,
               "kernel_size"});
  c.push_back({LayerType::Dequantizer, {}, in883, 8, false, in883, 32, true, 0, false, false, false, false, false,
               {{"scales", T::float32, {3}}}, 1, ""});
  c.push_back({LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}}, in883, 8, false, {16, 16, 3}, 8, false, 2,
               false, true, true, false, false,
               join({{"weights", T::int8, {4, 4, 1, 3}}, {"input_shift", T::uint4, {3}}}, v2_neurons(3)), 8,
               "kernel_size"});
  c.push_back({LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}}, in883, 8, false, {8, 8, 4}, 8, false,
               6, false, true, false, false, false,
               join({{"weights", T::int8, {1, 1, 6, 4}}, {"input_shift", T::uint4, {3}}}, v2_neurons(4)), 8,
               "fifo_size"});
  c.push_back({LayerType::DepthwiseBufferTempConv, {{"fifo_size", 5}}, in883, 8, false, in883, 8, false, 6, false,
               true, true, false, false,
               join({{"weights", T::int8, {1, 1, 5, 3}}, {"input_shift", T::uint4, {3}}}, v2_neurons(3)), 8,
               "fifo_size"});
  c.push_back({LayerType::StatefulRecurrentLegacy, {{"stateful_channels", 4}, {"out_channels", 6}}, {1, 1, 3}, 16,
               true, {1, 1, 6}, 32, true, 4, false, false, false, false, false, {}, 0, "out_channels"});
  c.push_back({LayerType::VitEncoderBlock, {}, {1, 5, 24}, 8, false, {1, 5, 24}, 32, true, 7, false, false, false,
               false, false,
               {{"norm_mha_input_shift", T::uint8, {24}},
                {"query_weights", T::int8, {24, 24}},
                {"attention_shiftmax_input_shift", T::uint8, {5}},
                {"mlp_1_weights", T::int8, {24, 96}},
                {"mlp_1_max_value", T::uint8, {96}},
                {"mlp_2_weights", T::int8, {96, 24}},
                {"mlp_2_input_shift", T::uint8, {96}},
                {"batch_norm_output_shift", T::int8, {24}}},
               59, ""});
  c.push_back({LayerType::Dense1D, {{"units", 10}}, {2, 2, 3}, 8, false, {1, 1, 10}, 8, false, 3, false, false,
               false, false, false,
               join({{"weights", T::int8, {12, 10}}, {"input_shift", T::uint8, {12}}}, v2_neurons(10)), 8, "units"});
  return c;
}

bool is_merge(LayerType t) { return t == LayerType::Add || t == LayerType::Concatenate; }

// The layer under test, named "l", built in its own small model.
std::unique_ptr<Model> build_case(const TypeCase& tc, const Params& params) {
  ModelBuilder b;
  if (tc.input_layer) return std::move(b.add(tc.type, params, "l")).take();
  b.input(tc.input[0], tc.input[1], tc.input[2], tc.input_bits, tc.input_signed);
  if (is_merge(tc.type)) {
    b.add(LayerType::MadNorm, {}, "branch", {"input"});
    b.add(tc.type, params, "l", {"input", "branch"});
  } else {
    b.add(tc.type, params, "l");
  }
  return b.take();
}

TEST(Layers, EveryTypeBuildsWithItsMinimalKeys) {
  const auto cases = type_cases();
  ASSERT_EQ(cases.size(), 25u);  // every type but Unknown
  for (const auto& tc : cases) {
    SCOPED_TRACE(layer_type_name(tc.type));
    auto model = build_case(tc, tc.params);
    auto layer = model->get_layer("l");
    ASSERT_TRUE(layer);
    EXPECT_EQ(layer->output_dimensions(), tc.output);
    EXPECT_EQ(layer->output_bits(), tc.output_bits);
    EXPECT_EQ(layer->output_signed(), tc.output_signed);
    if (!tc.input_layer) {
      EXPECT_EQ(layer->input_bits(), tc.input_bits);
      EXPECT_EQ(layer->input_type_code(), tc.input_signed ? 2 : 0);
      EXPECT_EQ(layer->input_dimensions().size(), is_merge(tc.type) ? 2u : 1u);
    }
    for (int k = 0; k <= 7; ++k) EXPECT_EQ(layer->is_kind(k), k == tc.kind) << "kind " << k;
    EXPECT_EQ(layer->is_input_layer(), tc.input_layer);
    EXPECT_EQ(layer->splittable(), tc.splittable);
    EXPECT_EQ(layer->channelwise(), tc.channelwise);
    auto* conv = dynamic_cast<const HasConvParams*>(layer.get());
    auto* pool = dynamic_cast<const HasPoolParams*>(layer.get());
    EXPECT_EQ(conv && conv->conv_params(), tc.conv_record);
    EXPECT_EQ(pool && pool->pool_params(), tc.pool_record);

    auto* vars = dynamic_cast<const VariablesImpl*>(layer->variables());
    ASSERT_TRUE(vars);
    const auto names = vars->names();
    EXPECT_EQ(names.size(), tc.total);
    for (size_t i = 0; i < tc.vars.size(); ++i) {
      const Var& v = tc.vars[i];
      SCOPED_TRACE(v.name);
      const VariableDecl* d = vars->declaration(v.name);
      ASSERT_TRUE(d);
      EXPECT_EQ(d->type, v.type);
      EXPECT_EQ(d->shape, v.shape) << d->shape.to_string();
      EXPECT_EQ(d->layout, v.layout);
      if (tc.vars.size() == tc.total) {
        EXPECT_EQ(names[i], v.name);
      }
      EXPECT_FALSE(vars->materialised(v.name));  // storage appears on first use only
    }

    if (!tc.missing_key.empty()) {
      Params missing = tc.params;
      missing.erase(tc.missing_key);
      try {
        build_case(tc, missing);
        ADD_FAILURE() << "built without " << tc.missing_key;
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), std::string("Layer l (") + layer_type_name(tc.type) +
                                             "): missing parameter '" + tc.missing_key + "'");
      }
    }
  }
  auto unknown = LayerParams::create(LayerType::Unknown, {});
  EXPECT_THROW(Layer::create(unknown.get(), "u"), std::invalid_argument);
}

TEST(Layers, ViewsAreReachedByCast) {
  auto model = test::v1_conv_fc_model();
  auto conv = model->get_layer("conv");
  auto fc = model->get_layer("fc");
  EXPECT_NO_THROW((void)dynamic_cast<Convolutional&>(*conv));
  EXPECT_NO_THROW((void)dynamic_cast<FullyConnected&>(*fc));
  EXPECT_THROW((void)dynamic_cast<FullyConnected&>(*conv), std::bad_cast);
  EXPECT_THROW((void)dynamic_cast<SeparableConvolutional&>(*conv), std::bad_cast);
  auto v2 = test::v2_conv_dense_model();
  EXPECT_NO_THROW((void)dynamic_cast<Conv2D&>(*v2->get_layer("conv")));
  EXPECT_THROW((void)dynamic_cast<DepthwiseConv2D&>(*v2->get_layer("conv")), std::bad_cast);
}

TEST(Layers, CreateCompletesItsOwnCopyOfTheParameters) {
  struct Case {
    LayerType type;
    Params given;
    Params expected;                  // present afterwards with these values
    std::vector<std::string> absent;  // still not stored
  };
  const std::vector<Case> cases = {
      // Legacy single keys fill a first-generation layer's pairs and are kept as given.
      {LayerType::Convolutional,
       {{"filters", 2}, {"kernel_size", 5}, {"kernel_stride", 2}, {"pool_size", 3}},
       {{"kernel_width", 5}, {"kernel_height", 5}, {"stride_x", 2}, {"stride_y", 2}, {"pooling_width", 3},
        {"pooling_height", 3}, {"pooling_stride_x", -1}, {"pool_size", 3}, {"padding", 1}, {"weights_bits", 1},
        {"activation", 1}, {"act_bits", 1}, {"pool_type", 0}},
       {"pool_stride"}},
      // A stored pair wins over the legacy key.
      {LayerType::Convolutional,
       {{"filters", 2}, {"kernel_size", 5}, {"kernel_width", 3}, {"kernel_height", 1}},
       {{"kernel_width", 3}, {"kernel_height", 1}},
       {"kernel_stride", "pool_size", "pool_stride"}},
      {LayerType::SeparableConvolutional,
       {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}},
       {{"weights_bits", 2}},
       {"kernel_size", "kernel_stride", "pool_size", "pool_stride"}},
      {LayerType::Conv2D,
       {{"filters", 2}, {"kernel_size", 3}, {"pool_size", 2}},
       {{"kernel_stride", 1}, {"pool_stride", 2}, {"padding", 1}, {"pool_type", 0}, {"activation", 1},
        {"output_bits", 8}},
       {"kernel_width", "stride_x", "pooling_width"}},
      {LayerType::Dense1D, {{"units", 3}, {"activation", 0}}, {{"output_bits", 32}}, {}},
      {LayerType::InputData,
       {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}},
       {{"input_bits", 8}, {"input_signed", 0}},
       {}},
      {LayerType::FullyConnected,
       {{"units", 3}, {"extra", 9}},
       {{"weights_bits", 1}, {"activation", 1}, {"act_bits", 1}, {"extra", 9}},
       {"pool_type"}},
      {LayerType::StatefulRecurrentLegacy, {{"stateful_channels", 1}, {"out_channels", 1}}, {{"subsample_ratio", 1}},
       {}},
      {LayerType::VitEncoderBlock, {}, {{"tokens_to_extract", 0}, {"num_classes", 0}}, {}},
      {LayerType::Stem,
       {{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 16}},
       {{"num_non_patch_tokens", 0}, {"output_bits", 32}},
       {"activation"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(layer_type_name(c.type));
    auto given = LayerParams::create(c.type, c.given);
    auto layer = Layer::create(given.get(), "l");
    EXPECT_EQ(given->entries(), c.given);  // the caller's set is untouched
    const LayerParams* own = layer->params();
    EXPECT_NE(own, given.get());
    for (const auto& [k, v] : c.expected) {
      ASSERT_TRUE(own->has(k)) << k;
      EXPECT_EQ(own->get(k), v) << k;
    }
    for (const auto& k : c.absent) EXPECT_FALSE(own->has(k)) << k;
  }
}

TEST(Layers, CreateRefusesBadArguments) {
  EXPECT_THROW(Layer::create(nullptr, "l"), std::invalid_argument);
  auto ok = LayerParams::create(LayerType::Dense1D, {{"units", 1}});
  EXPECT_THROW(Layer::create(ok.get(), ""), std::invalid_argument);
  const std::vector<std::pair<Params, std::string>> inputs = {
      {{{"input_width", 0}, {"input_height", 4}, {"input_channels", 1}},
       "Layer l (InputData): parameter 'input_width' must be at least 1 (got 0)"},
      {{{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}, {"input_bits", 0}},
       "Layer l (InputData): parameter 'input_bits' must be between 1 and 32 (got 0)"},
  };
  for (const auto& [p, text] : inputs) {
    auto params = LayerParams::create(LayerType::InputData, p);
    try {
      Layer::create(params.get(), "l");
      ADD_FAILURE() << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
  }
}

TEST(Layers, UnbuiltLayersRefuseShapeQueries) {
  auto conv = test::make_layer(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}}, "c");
  try {
    conv->input_dimensions();
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot get input size before it is set.");
  }
  try {
    conv->output_dimensions();
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot get output size before it is set.");
  }
  EXPECT_EQ(dynamic_cast<const HasConvParams&>(*conv).conv_params(), nullptr);
  EXPECT_EQ(dynamic_cast<const HasPoolParams&>(*conv).pool_params(), nullptr);
  // Input layers answer from their keys.
  auto in = test::make_layer(LayerType::InputConv2D,
                             {{"input_width", 9}, {"input_height", 7}, {"input_channels", 3}, {"filters", 2},
                              {"kernel_size", 3}},
                             "i");
  ASSERT_EQ(in->input_dimensions().size(), 1u);
  EXPECT_EQ(in->input_dimensions()[0], (Shape{9, 7, 3}));
  EXPECT_THROW(in->output_dimensions(), std::runtime_error);
}

}  // namespace
}  // namespace nuvra
