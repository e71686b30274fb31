#include "v2/memory_sizer.h"

#include "stub_layer.h"
#include "support/model_builders.h"
#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/fnp_hrc/fnp_sizes.h"
#include "v2/fnp_hrc/hrc_recorder.h"
#include "v2/tnp_vit/tnp_b_sizes.h"

#include <nuvra/layers.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {
namespace {

using hw::Type;
using test::ModelBuilder;
using test::Params;
using test::StubLayer;

const Type kAllTypes[] = {Type::HRC,           Type::CNP1,  Type::CNP2,  Type::FNP2,          Type::FNP3,
                          Type::VIT_BLOCK,     Type::SKIP_DMA_STORE, Type::TNP_B, Type::TNP_R, Type::SKIP_DMA_LOAD,
                          Type::DMA_EVENT};

bool is_cnp(Type t) { return t == Type::CNP1 || t == Type::CNP2; }

// A component of `type` whose own part is `part` (w, h, c at x, y) inside the bordered window `window`.
hw::Component component(Type type, NpSpace part, NpSpace window, uint32_t filters = 8) {
  hw::Component c;
  c.type = type;
  c.ident = {1, 2, 0, 0};
  c.split = hw::SplitRecord{0, filters, part, window, false};
  return c;
}

hw::Component plain(Type type) {
  hw::Component c;
  c.type = type;
  return c;
}

NpSpace space(uint32_t x, uint32_t y, Shape shape) { return NpSpace{x, y, shape}; }

// input (w, h, c, bits) -> "layer" of `type`.
ModelBuilder single(LayerType type, const Params& params, uint32_t w, uint32_t h, uint32_t c, int bits = 8) {
  ModelBuilder b;
  b.input(w, h, c, bits).add(type, params, "layer");
  return b;
}

const MemorySizerImpl sizer;

TEST(MemorySizerInput, CnpRowsOfInputWordsTimesBorderedHeight) {
  struct Case {
    const char* what;
    LayerType type;
    Params params;
    uint32_t channels;
    int bits;
    NpSpace part, window;
    uint32_t expected;
  };
  const Params conv{{"filters", 4}, {"kernel_size", 3}};
  const Params conv_pool{{"filters", 4}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}};
  const Params dw{{"kernel_size", 3}};
  const Params tconv{{"filters", 4}, {"kernel_size", 3}};
  const Case cases[] = {
      // row bytes 7 -> 8; 8 x 3 x 8 = 192 bits = 6 words; x 4 rows
      {"8-bit, 3 channels, window 7 x 4", LayerType::Conv2D, conv, 3, 8, space(0, 0, {5, 2, 3}),
       space(0, 0, {7, 4, 3}), 24},
      {"pooling changes nothing", LayerType::Conv2D, conv_pool, 3, 8, space(0, 0, {5, 2, 3}), space(0, 0, {7, 4, 3}),
       24},
      {"4-bit: 28 bits -> 4 bytes; 4 x 3 x 8 = 96 bits", LayerType::Conv2D, conv, 3, 4, space(0, 0, {5, 2, 3}),
       space(0, 0, {7, 4, 3}), 12},
      {"1-bit, 33 wide: 5 bytes -> 8; 8 x 5 x 8 = 320 bits = 10 words", LayerType::Conv2D, conv, 5, 1,
       space(1, 0, {31, 6, 5}), space(0, 0, {33, 6, 5}), 60},
      {"2-bit, 1 channel: 3 bytes -> 4 = 1 word a row", LayerType::Conv2D, conv, 1, 2, space(0, 2, {9, 3, 1}),
       space(0, 1, {10, 5, 1}), 5},
      {"channels come from the part", LayerType::Conv2D, conv, 16, 8, space(0, 0, {8, 8, 6}), space(0, 0, {8, 8, 16}),
       8 * 6 * 8 / 32 * 8},
      {"depthwise uses the same formula", LayerType::DepthwiseConv2D, dw, 3, 8, space(0, 0, {5, 2, 3}),
       space(0, 0, {7, 4, 3}), 24},
      {"transposed: bordered window", LayerType::Conv2DTranspose, tconv, 3, 8, space(0, 0, {4, 4, 3}),
       space(0, 0, {6, 5, 3}), 8 * 3 * 8 / 32 * 5},
      {"depthwise transposed", LayerType::DepthwiseConv2DTranspose, dw, 2, 8, space(0, 0, {4, 4, 2}),
       space(0, 0, {6, 5, 2}), 8 * 2 * 8 / 32 * 5},
  };
  for (const Case& c : cases) {
    ModelBuilder b = single(c.type, c.params, 8, 8, c.channels, c.bits);
    const auto layer = b.layer("layer");
    for (Type t : kAllTypes) {
      const uint32_t expected = is_cnp(t) ? c.expected : 0;
      EXPECT_EQ(sizer.get_input_memory_size(layer, component(t, c.part, c.window), nullptr), expected)
          << c.what << " on type " << static_cast<int>(t);
    }
  }
}

TEST(MemorySizerInput, TnpBFramesRoundedTo64WordsPerFifoSlot) {
  // part channels 5 -> 8; 3 x 3 x 8 x 8 = 576 bits = 18 words -> 64
  ModelBuilder b = single(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}}, 3, 3, 5);
  const auto btc = b.layer("layer");
  const auto c = component(Type::TNP_B, space(0, 0, {3, 3, 5}), space(0, 0, {3, 3, 5}));
  EXPECT_EQ(sizer.get_input_memory_size(btc, c, nullptr), 64u * 3);

  ModelBuilder d = single(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 4}}, 16, 16, 8);
  // 16 x 16 x 8 x 8 = 16384 bits = 512 words, already a multiple of 64
  EXPECT_EQ(sizer.get_input_memory_size(d.layer("layer"),
                                        component(Type::TNP_B, space(0, 0, {16, 16, 8}), space(0, 0, {16, 16, 8})),
                                        nullptr),
            512u * 5);

  // Without "fifo_size" one frame is counted.
  const auto bare = std::make_shared<StubLayer>(LayerType::BufferTempConv, Params{{"filters", 4}}, Shape{3, 3, 5});
  EXPECT_EQ(sizer.get_input_memory_size(bare, c, nullptr), 64u);

  for (Type t : kAllTypes) {
    if (t == Type::TNP_B) continue;
    const auto other = component(t, c.split->spatial_partition, c.split->bordered_partition);
    EXPECT_EQ(sizer.get_input_memory_size(btc, other, nullptr), 0u);
  }
}

TEST(MemorySizerWeight, CnpSizesEqualWhatThePackersWrite) {
  struct Case {
    LayerType type;
    int kernel;
    uint32_t channels;
    uint32_t filters;  // of the component's share
  };
  const Case cases[] = {
      {LayerType::Conv2D, 1, 5, 30},  {LayerType::Conv2D, 3, 3, 10}, {LayerType::Conv2D, 4, 2, 9},
      {LayerType::Conv2D, 5, 2, 8},   {LayerType::Conv2D, 7, 3, 17}, {LayerType::DepthwiseConv2D, 3, 12, 5},
      {LayerType::DepthwiseConv2D, 5, 6, 4}, {LayerType::DepthwiseConv2D, 7, 9, 3},
  };
  for (const Case& c : cases) {
    const bool dw = c.type == LayerType::DepthwiseConv2D;
    Params params{{"kernel_size", c.kernel}};
    if (!dw) params["filters"] = 32;
    ModelBuilder b = single(c.type, params, 16, 16, c.channels);
    const auto layer = b.layer("layer");
    const auto weights = layer->variables()->get("weights");
    const size_t packed = dw ? format_depthwise_conv_cnp_weights(*weights, 1, c.filters).size()
                             : format_conv2d_cnp_weights(*weights, 2, c.filters).size();
    for (Type t : kAllTypes) {
      const auto comp = component(t, space(0, 0, {16, 16, c.channels}), space(0, 0, {18, 18, c.channels}), c.filters);
      EXPECT_EQ(sizer.get_weight_memory_size(layer, comp), is_cnp(t) ? packed : 0u)
          << layer_type_name(c.type) << " k" << c.kernel << " on type " << static_cast<int>(t);
    }
  }
}

TEST(MemorySizerWeight, TransposedAndTemporalUseTheirSizeFunctions) {
  ModelBuilder tc = single(LayerType::Conv2DTranspose, {{"filters", 8}, {"kernel_size", 3}}, 4, 4, 6);
  ModelBuilder tdw = single(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}}, 4, 4, 6);
  ModelBuilder btc = single(LayerType::BufferTempConv, {{"filters", 20}, {"fifo_size", 3}}, 4, 4, 6);
  ModelBuilder dbtc = single(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 5}}, 4, 4, 6);
  const NpSpace part = space(0, 0, {4, 4, 6});
  struct Case {
    const char* what;
    std::shared_ptr<Layer> layer;
    bool (*placed)(Type);
    uint32_t expected;
  };
  const Case cases[] = {
      {"transposed conv", tc.layer("layer"), is_cnp, conv2d_cnp_formatted_weight_32b_size(3, 7, 6)},
      {"transposed depthwise", tdw.layer("layer"), is_cnp, dwc_cnp_formatted_weight_32b_size(4, 7)},
      // weights (1, 1, fifo x c, filters): 18 rows
      {"buffer temp conv", btc.layer("layer"), [](Type t) { return t == Type::TNP_B; },
       tnp_b_buffer_temp_conv_formatted_weight_32b_size(7, 18)},
      {"depthwise buffer temp conv", dbtc.layer("layer"), [](Type t) { return t == Type::TNP_B; },
       depthwise_buffer_temp_conv_formatted_weight_32b_size(5, 7)},
  };
  for (const Case& c : cases) {
    ASSERT_GT(c.expected, 0u) << c.what;
    for (Type t : kAllTypes)
      EXPECT_EQ(sizer.get_weight_memory_size(c.layer, component(t, part, part, 7)), c.placed(t) ? c.expected : 0u)
          << c.what << " on type " << static_cast<int>(t);
  }
}

TEST(MemorySizer, HrcWeightsAreTheHrcSramSizeOnAnyComponent) {
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3}},
        "layer");
  const auto layer = b.layer("layer");
  const uint32_t expected = get_hrc_sram_size(*layer);
  ASSERT_GT(expected, 0u);
  for (Type t : kAllTypes) {
    EXPECT_EQ(sizer.get_weight_memory_size(layer, plain(t)), expected);
    EXPECT_EQ(sizer.get_input_memory_size(layer, plain(t), layer), 0u);
  }
}

TEST(MemorySizer, Dense1DOnFnp2KeepsItsWeightsOutside) {
  ModelBuilder b;
  b.input(5, 5, 3).add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}}, "conv");
  b.add(LayerType::Dense1D, {{"units", 10}}, "dense");
  const auto dense = b.layer("dense");
  const auto conv = b.layer("conv");
  const uint32_t sram = get_fnp_sram_size(*dense);
  ASSERT_GT(sram, 0u);
  EXPECT_EQ(sizer.get_weight_memory_size(dense, plain(Type::FNP2)), 0u);
  EXPECT_EQ(sizer.get_external_memory_size(dense, plain(Type::FNP2), false, false), sram);
  EXPECT_EQ(sizer.get_weight_memory_size(dense, plain(Type::FNP3)), sram);
  EXPECT_EQ(sizer.get_external_memory_size(dense, plain(Type::FNP3), false, false), 0u);
  // The input size depends on whether the layer opens the sequence.
  ASSERT_NE(get_fnp_input_size(*dense, *dense), get_fnp_input_size(*dense, *conv));
  for (const auto& first : {dense, conv})
    EXPECT_EQ(sizer.get_input_memory_size(dense, plain(Type::FNP3), first), get_fnp_input_size(*dense, *first));
  EXPECT_THROW(sizer.get_input_memory_size(dense, plain(Type::FNP3), nullptr), std::invalid_argument);
}

TEST(MemorySizer, TypesWithoutMemoryAndTypesRefused) {
  const LayerType none[] = {LayerType::Add,        LayerType::Stem, LayerType::Concatenate,
                            LayerType::Dequantizer, LayerType::StatefulRecurrentLegacy, LayerType::VitEncoderBlock};
  const LayerType refused[] = {LayerType::InputData, LayerType::InputConvolutional, LayerType::FullyConnected,
                               LayerType::Convolutional, LayerType::SeparableConvolutional, LayerType::Dense2D,
                               LayerType::Shiftmax, LayerType::Attention, LayerType::MadNorm,
                               LayerType::BatchNormalization, LayerType::ExtractToken};
  for (LayerType type : none) {
    const auto layer = std::make_shared<StubLayer>(type, Params{}, Shape{4, 4, 4});
    for (Type t : kAllTypes) {
      const auto c = component(t, space(0, 0, {4, 4, 4}), space(0, 0, {4, 4, 4}));
      EXPECT_EQ(sizer.get_input_memory_size(layer, c, layer), 0u) << layer_type_name(type);
      EXPECT_EQ(sizer.get_weight_memory_size(layer, c), 0u) << layer_type_name(type);
    }
  }
  for (LayerType type : refused) {
    const auto layer = std::make_shared<StubLayer>(type, Params{}, Shape{4, 4, 4});
    const auto c = component(Type::CNP2, space(0, 0, {4, 4, 4}), space(0, 0, {4, 4, 4}));
    for (const auto& call : {+[](const std::shared_ptr<Layer>& l, const hw::Component& c) {
                               return sizer.get_input_memory_size(l, c, l);
                             },
                             +[](const std::shared_ptr<Layer>& l, const hw::Component& c) {
                               return sizer.get_weight_memory_size(l, c);
                             }}) {
      try {
        call(layer, c);
        ADD_FAILURE() << layer_type_name(type) << " was sized";
      } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid v2 layer type.");
      }
    }
    // The external size refuses nothing of its own.
    EXPECT_EQ(sizer.get_external_memory_size(layer, c, false, false), 0u);
  }
}

TEST(MemorySizer, MissingInputsAreRefusedNotRead) {
  ModelBuilder b = single(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, 8, 8, 3);
  const auto conv = b.layer("layer");
  const hw::Component no_split = plain(Type::CNP2);
  EXPECT_THROW(sizer.get_input_memory_size(conv, no_split, nullptr), std::runtime_error);
  EXPECT_THROW(sizer.get_weight_memory_size(conv, no_split), std::runtime_error);
  const std::shared_ptr<Layer> null;
  EXPECT_THROW(sizer.get_input_memory_size(null, no_split, null), std::invalid_argument);
  EXPECT_THROW(sizer.get_weight_memory_size(null, no_split), std::invalid_argument);
  EXPECT_THROW(sizer.get_external_memory_size(null, plain(Type::SKIP_DMA_STORE), false, false),
               std::invalid_argument);
}

// input -> a -> b -> c -> d; e = Add(a, d): a's readers are 1 and 4 levels deeper.
struct SkipModel {
  ModelBuilder b;
  SkipModel() {
    const Params conv{{"filters", 4}, {"kernel_size", 3}};
    b.input(8, 8, 3)
        .add(LayerType::Conv2D, conv, "a")
        .add(LayerType::Conv2D, conv, "b")
        .add(LayerType::Conv2D, conv, "c")
        .add(LayerType::Conv2D, conv, "d")
        .add(LayerType::Add, {}, "e", {"a", "d"});
  }
};

TEST(MemorySizerExternal, SkipStoreFramesFollowTheFarthestReader) {
  SkipModel m;
  const auto store = plain(Type::SKIP_DMA_STORE);
  // output 8 x 8 x 4 at 8 bits: 2 words a row -> 64 words a frame; input 8 x 8 x 3 -> 48
  struct Case {
    const char* layer;
    bool dual_output, multi_pass;
    uint32_t expected;
  };
  const Case cases[] = {
      {"a", false, false, 64 * 7}, {"a", false, true, 64 * 2}, {"a", true, false, 48 * 7},
      {"a", true, true, 48 * 2},   {"c", false, false, 64 * 4},  // one reader, one level down
      {"e", false, false, 64 * 3},                               // no reader
  };
  for (const Case& c : cases)
    EXPECT_EQ(sizer.get_external_memory_size(m.b.layer(c.layer), store, c.dual_output, c.multi_pass), c.expected)
        << c.layer << (c.dual_output ? " dual" : "") << (c.multi_pass ? " multi-pass" : "");
  for (Type t : kAllTypes) {
    if (t == Type::SKIP_DMA_STORE || t == Type::FNP2) continue;
    EXPECT_EQ(sizer.get_external_memory_size(m.b.layer("a"), plain(t), false, false), 0u);
  }
}

TEST(MemorySizerExternal, TemporalStoresHoldTheFifo) {
  // 10 channels at 8 bits: 3 words a pixel; 5 x 4 pixels; fifo 2 + 1 slots
  ModelBuilder b = single(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}}, 5, 4, 10);
  const auto store = plain(Type::SKIP_DMA_STORE);
  for (bool dual : {false, true})
    for (bool multi : {false, true})
      EXPECT_EQ(sizer.get_external_memory_size(b.layer("layer"), store, dual, multi), 3u * 5 * 4 * 3);
  // 33 channels: 264 bits -> 9 words a pixel
  ModelBuilder d = single(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 1}}, 2, 2, 33);
  EXPECT_EQ(sizer.get_external_memory_size(d.layer("layer"), store, false, false), 9u * 2 * 2 * 2);
  const auto bare = std::make_shared<StubLayer>(LayerType::BufferTempConv, Params{{"filters", 4}}, Shape{5, 4, 10});
  EXPECT_EQ(sizer.get_external_memory_size(bare, store, false, false), 0u);
}

}  // namespace
}  // namespace nuvra::v2
