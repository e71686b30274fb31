// Convolution and pooling records, and the shapes a layer refuses.
#include <gtest/gtest.h>

#include <nuvra/layers.h>

#include "support/model_builders.h"

#include <stdexcept>

namespace nuvra {
namespace {

using test::ModelBuilder;
using test::Params;

struct GeometryCase {
  const char* what;
  LayerType type;
  Params params;
  Shape input;
  ConvParams conv;  // out_width, out_height, {top, bottom, left, right}
  PoolingCalculatedParams pool;
  Shape output;
};

// Worked by hand: Same gives ceil(in / s) outputs and (out - 1) * s + k - in padding, the
// smaller half before; Valid gives (in - k) / s + 1 and no padding.
TEST(LayerGeometry, ConvolutionAndPoolingRecords) {
  const std::vector<GeometryCase> cases = {
      {"same, stride 1", LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}}, {8, 8, 3}, {8, 8, {1, 1, 1, 1}},
       {1, 1, 8, 8, {}, false}, {8, 8, 2}},
      {"same, stride 2, odd sizes", LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 2}},
       {7, 5, 3}, {4, 3, {1, 1, 1, 1}}, {1, 1, 4, 3, {}, false}, {4, 3, 2}},
      {"same, stride 2, even size pads after", LayerType::Conv2D,
       {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 2}}, {8, 6, 1}, {4, 3, {0, 1, 0, 1}},
       {1, 1, 4, 3, {}, false}, {4, 3, 2}},
      {"same, kernel 4", LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 4}}, {5, 5, 1}, {5, 5, {1, 2, 1, 2}},
       {1, 1, 5, 5, {}, false}, {5, 5, 1}},
      {"valid", LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"padding", 0}}, {8, 6, 3},
       {6, 4, {0, 0, 0, 0}}, {1, 1, 6, 4, {}, false}, {6, 4, 2}},
      {"valid, stride 2", LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"padding", 0}, {"kernel_stride", 2}},
       {7, 8, 3}, {3, 3, {}}, {1, 1, 3, 3, {}, false}, {3, 3, 2}},
      {"max pooling 2/2", LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}},
       {8, 8, 3}, {8, 8, {1, 1, 1, 1}}, {2, 2, 4, 4, {0, 0, 0, 0}, true}, {4, 4, 2}},
      {"max pooling 3/2, same", LayerType::Conv2D,
       {{"filters", 2}, {"kernel_size", 1}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}}, {7, 7, 3},
       {7, 7, {0, 0, 0, 0}}, {2, 2, 4, 4, {1, 1, 1, 1}, true}, {4, 4, 2}},
      {"max pooling 3/1, valid", LayerType::Conv2D,
       {{"filters", 2}, {"kernel_size", 1}, {"padding", 0}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 1}},
       {5, 5, 3}, {5, 5, {}}, {1, 1, 3, 3, {}, true}, {3, 3, 2}},
      {"global average", LayerType::Conv2D,
       {{"filters", 2}, {"kernel_size", 3}, {"pool_type", 2}, {"pool_size", -1}}, {6, 4, 3}, {6, 4, {1, 1, 1, 1}},
       {1, 1, 1, 1, {}, true}, {1, 1, 2}},
      {"depthwise keeps the channels", LayerType::DepthwiseConv2D, {{"kernel_size", 5}, {"kernel_stride", 2}},
       {9, 9, 6}, {5, 5, {2, 2, 2, 2}}, {1, 1, 5, 5, {}, false}, {5, 5, 6}},
      {"v1 pooling stride defaults to the size", LayerType::Convolutional,
       {{"filters", 3}, {"kernel_width", 3}, {"kernel_height", 3}, {"pool_type", 1}, {"pooling_width", 2},
        {"pooling_height", 2}},
       {8, 8, 1}, {8, 8, {1, 1, 1, 1}}, {2, 2, 4, 4, {}, true}, {4, 4, 3}},
      {"v1 global average", LayerType::SeparableConvolutional,
       {{"filters", 3}, {"kernel_width", 3}, {"kernel_height", 3}, {"pool_type", 2}, {"pooling_width", -1},
        {"pooling_height", -1}},
       {8, 8, 2}, {8, 8, {1, 1, 1, 1}}, {1, 1, 1, 1, {}, true}, {1, 1, 3}},
      {"v1 rectangular kernel and strides", LayerType::Convolutional,
       {{"filters", 1}, {"kernel_width", 3}, {"kernel_height", 1}, {"stride_x", 2}, {"stride_y", 1}}, {8, 5, 1},
       {4, 5, {0, 0, 0, 1}}, {1, 1, 4, 5, {}, false}, {4, 5, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    b.input(c.input[0], c.input[1], c.input[2], 8).add(c.type, c.params, "l");
    auto layer = b.layer("l");
    const ConvParams* conv = dynamic_cast<const HasConvParams&>(*layer).conv_params();
    const PoolingCalculatedParams* pool = dynamic_cast<const HasPoolParams&>(*layer).pool_params();
    ASSERT_TRUE(conv && pool);
    EXPECT_EQ(conv->out_width, c.conv.out_width);
    EXPECT_EQ(conv->out_height, c.conv.out_height);
    EXPECT_EQ(conv->padding, c.conv.padding);
    EXPECT_EQ(pool->stride_x, c.pool.stride_x);
    EXPECT_EQ(pool->stride_y, c.pool.stride_y);
    EXPECT_EQ(pool->pooled_width, c.pool.pooled_width);
    EXPECT_EQ(pool->pooled_height, c.pool.pooled_height);
    EXPECT_EQ(pool->padding, c.pool.padding);
    EXPECT_EQ(pool->flag, c.pool.flag);
    EXPECT_EQ(layer->output_dimensions(), c.output);
  }
}

TEST(LayerGeometry, InputLayersUseTheirOwnShape) {
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"filters", 5}, {"kernel_size", 3},
         {"kernel_stride", 2}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}},
        "hrc");
  auto layer = b.layer("hrc");
  const ConvParams* conv = dynamic_cast<const InputConv2D&>(*layer).conv_params();
  ASSERT_TRUE(conv);
  EXPECT_EQ(conv->out_width, 4u);  // padding (4 - 1) * 2 + 3 - 8 = 1, all of it after
  EXPECT_EQ(conv->out_height, 3u);
  EXPECT_EQ(conv->padding, (PaddingParams{0, 1, 0, 1}));
  const PoolingCalculatedParams* pool = dynamic_cast<const InputConv2D&>(*layer).pool_params();
  EXPECT_EQ(pool->padding, (PaddingParams{1, 1, 0, 1}));  // over the 4 x 3 output
  EXPECT_EQ(layer->output_dimensions(), (Shape{2, 2, 5}));
  EXPECT_EQ(layer->input_bits(), 8);

  ModelBuilder s;
  s.add(LayerType::Stem,
        {{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192}, {"kernel_size", 16},
         {"num_non_patch_tokens", 2}},
        "stem");
  const ConvParams* patches = dynamic_cast<const Stem&>(*s.layer("stem")).conv_params();
  ASSERT_TRUE(patches);
  EXPECT_EQ(patches->out_width, 14u);
  EXPECT_EQ(patches->padding, PaddingParams{});
  EXPECT_EQ(s.layer("stem")->output_dimensions(), (Shape{1, 198, 192}));
  auto* vars = dynamic_cast<const VariablesImpl*>(s.layer("stem")->variables());
  EXPECT_EQ(vars->declaration("tokens")->shape, (Shape{2, 192}));
  EXPECT_EQ(vars->declaration("pos_embedding")->shape, (Shape{198, 192}));
}

TEST(LayerGeometry, ExtractingVitBlockKeepsOnlyItsTokens) {
  ModelBuilder b;
  b.input(1, 198, 48).add(LayerType::VitEncoderBlock, {{"tokens_to_extract", 2}, {"num_classes", 10}}, "vit");
  EXPECT_EQ(b.layer("vit")->output_dimensions(), (Shape{1, 2, 48}));
}

struct Refusal {
  LayerType type;
  Params params;
  Shape input;
  const char* reason;  // after "Layer l (<type>): "
};

TEST(LayerGeometry, ShapesALayerCannotTakeAreRefused) {
  const std::vector<Refusal> cases = {
      {LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 5}, {"padding", 0}}, {4, 6, 1},
       "the 4x6 input is smaller than the 5x5 kernel (Valid padding)"},
      {LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 0}}, {4, 4, 1},
       "convolution strides must be between 1 and 127 (got 0, 0)"},
      {LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 128}}, {4, 4, 1},
       "convolution strides must be between 1 and 127 (got 128, 128)"},
      {LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"padding", 2}}, {4, 4, 1},
       "parameter 'padding' must be 0 (Valid) or 1 (Same) (got 2)"},
      {LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"pool_type", 3}}, {4, 4, 1},
       "parameter 'pool_type' must be 0 (NoPooling), 1 (Max) or 2 (Average) (got 3)"},
      {LayerType::Conv2D, {{"filters", 0}, {"kernel_size", 3}}, {4, 4, 1},
       "parameter 'filters' must be at least 1 (got 0)"},
      {LayerType::Conv2D, {{"filters", 2}, {"kernel_size", -3}}, {4, 4, 1},
       "parameter 'kernel_size' must be at least 1 (got -3)"},
      {LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 0}}, {4, 4, 1},
       "pooling sizes must be at least 1, or -1 for global pooling (got 0, 0)"},
      {LayerType::Conv2D,
       {{"filters", 2}, {"kernel_size", 1}, {"padding", 0}, {"pool_type", 1}, {"pool_size", 3}}, {2, 2, 1},
       "the 3x3 pooling window is larger than the 2x2 convolution output (Valid padding)"},
      {LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"output_bits", 0}}, {4, 4, 1},
       "parameter 'output_bits' must be between 1 and 32 (got 0)"},
      {LayerType::Conv2D, {{"filters", 100000}, {"kernel_size", 300}}, {4, 4, 1000},
       "variable weights would have more than 4294967295 elements"},
      {LayerType::Convolutional, {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}, {"act_bits", 0}},
       {4, 4, 1}, "parameter 'act_bits' must be between 1 and 32 (got 0)"},
      {LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"filters", 5}}, {4, 4, 3},
       "parameter 'filters' (5) must equal the 3 input channels"},
      {LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"filters", 2}}, {4, 4, 3},
       "parameter 'filters' (2) must equal the 3 input channels"},
      {LayerType::BufferTempConv, {{"filters", 2}, {"fifo_size", 0}}, {4, 4, 3},
       "parameter 'fifo_size' must be at least 1 (got 0)"},
      {LayerType::Dense1D, {{"units", 0}}, {4, 4, 3}, "parameter 'units' must be at least 1 (got 0)"},
      {LayerType::VitEncoderBlock, {}, {1, 5, 20}, "the embedding width must be a multiple of 24 (got 20)"},
      {LayerType::VitEncoderBlock, {}, {2, 5, 24}, "the input must have the shape (1, tokens, width) (got (2, 5, 24))"},
      {LayerType::VitEncoderBlock, {{"tokens_to_extract", 2}}, {1, 1, 24}, "cannot extract 2 tokens from 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    ModelBuilder b;
    b.input(c.input[0], c.input[1], c.input[2]);
    auto layer = test::make_layer(c.type, c.params, "l");
    try {
      b.model().add(layer);
      ADD_FAILURE() << "built";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Layer l (") + layer_type_name(c.type) + "): " + c.reason);
    }
    EXPECT_EQ(b.model().layer_count(), 1u);
    EXPECT_TRUE(b.layer("input")->outbound_layers().empty());
  }

  const std::vector<std::pair<Params, const char*>> stems = {
      {{{"filters", 6}}, "parameter 'filters' must be a multiple of 4 (got 6)"},
      {{{"filters", 8}, {"input_width", 8}}, "the 8x32 input is smaller than the 16x16 patch"},
      {{{"filters", 8}, {"num_non_patch_tokens", -1}}, "parameter 'num_non_patch_tokens' must not be negative (got -1)"},
  };
  for (const auto& [extra, reason] : stems) {
    Params p = {{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"kernel_size", 16}};
    for (const auto& [k, v] : extra) p[k] = v;
    auto model = Model::create();
    try {
      model->add(test::make_layer(LayerType::Stem, p, "l"));
      ADD_FAILURE() << reason;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Layer l (Stem): ") + reason);
    }
    EXPECT_EQ(model->layer_count(), 0u);
  }
}

}  // namespace
}  // namespace nuvra
