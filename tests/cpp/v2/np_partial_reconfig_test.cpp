#include "v2/np_registers.h"

#include "register_testing.h"
#include "support/program_tools.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::component;
using test::expect_writes_exactly;
using test::FakeLayer;
using test::field;
using test::np;

// A next layer mapped on three NPs and fed by two, and its component on this NP.
struct NextLayer {
  std::shared_ptr<FakeLayer> layer = std::make_shared<FakeLayer>();
  std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>();
  hw::Component here = np(2, 1, 1);

  NextLayer() {
    mapping->prev_id = 0x42;
    mapping->nps = std::make_shared<std::vector<hw::Component>>(std::vector<hw::Component>{np(2, 1), here, np(3, 1)});
    mapping->prev_components = {std::make_shared<std::vector<hw::Component>>(std::vector<hw::Component>{np(4, 1)}),
                                std::make_shared<std::vector<hw::Component>>(std::vector<hw::Component>{np(1, 2)})};
    layer->layer_mapping = mapping;
    hw::SplitRecord split;
    split.start_neuron = 4;
    split.filters = 4;
    split.spatial_partition = {3, 2, Shape{8, 5, 16}};
    split.bordered_partition = {2, 1, Shape{9, 6, 16}};
    here.split = split;
  }
  hw::SplitRecord& split() { return *here.split; }
  void inbound(bool max_pool, bool activation) {
    auto in = std::make_shared<FakeLayer>();
    in->max_pool = max_pool;
    in->activation = activation;
    layer->inbound = in;
  }
  void operator()(RegisterBlock* block, bool routing_flag = false) const {
    update_partial_reconfig_regs(block, *layer, here, routing_flag);
  }
  RegisterBlock on(uint32_t fill, bool routing_flag = false) const {
    RegisterBlock block(kNpRegisterWords, fill);
    (*this)(&block, routing_flag);
    return block;
  }
};

TEST(PartialReconfig, InputBitsCode) {
  const std::pair<uint8_t, uint32_t> cases[] = {{1, 0}, {2, 1}, {4, 2}, {8, 3}};
  for (const auto& [bits, code] : cases) {
    NextLayer next;
    next.layer->bits = bits;
    EXPECT_EQ(field(next.on(0)[32], 4, 5), code) << int{bits};
  }
}

TEST(PartialReconfig, CommonWords) {
  NextLayer next;
  const RegisterBlock regs = next.on(0, true);
  EXPECT_EQ(field(regs[32], 0, 0), 1u);
  EXPECT_EQ(field(regs[32], 2, 2), 1u);
  EXPECT_EQ(field(regs[32], 24, 31), 0x42u);
  EXPECT_EQ(field(regs[44], 15, 15), 1u);
  EXPECT_EQ(field(next.on(~0u, false)[44], 15, 15), 0u);
  // Three NPs; sources in columns 1..4.
  EXPECT_EQ(regs[41], 0x03000401u);
}

TEST(PartialReconfig, SourcesIncludeLoadsAndInputStores) {
  NextLayer next;
  next.mapping->skipdma_loads = {component(hw::Type::SKIP_DMA_LOAD, 0, 0)};
  next.mapping->skipdma_stores = {component(hw::Type::SKIP_DMA_STORE, 9, 0)};
  EXPECT_EQ(field(next.on(0)[41], 0, 15), 0x0400u);
  next.mapping->stores_are_inputs = true;
  EXPECT_EQ(field(next.on(0)[41], 0, 15), 0x0900u);

  NextLayer from_hrc;  // a single HRC source is column 1
  from_hrc.mapping->prev_components = {std::make_shared<std::vector<hw::Component>>(
      std::vector<hw::Component>{component(hw::Type::HRC, 0, 0)})};
  EXPECT_EQ(field(from_hrc.on(0)[41], 0, 15), 0x0101u);
}

TEST(PartialReconfig, NpCountKeepsSevenBits) {
  NextLayer next;
  next.mapping->nps->resize(130, np(1, 1));
  EXPECT_EQ(next.on(0)[41] >> 24, 2u);
}

TEST(PartialReconfig, MergeFlags) {
  struct Case {
    bool merge, is_add;
    uint32_t bit3, bit6;
  };
  const Case cases[] = {{false, false, 0, 0}, {true, true, 1, 0}, {true, false, 1, 1}};
  for (const auto& c : cases) {
    NextLayer next;
    if (c.merge) {
      next.mapping->merge_info = std::make_unique<MergeLayerMapInfo>();
      next.mapping->merge_info->is_add = c.is_add;
    }
    for (uint32_t fill : {0u, ~0u}) {
      const RegisterBlock regs = next.on(fill);
      EXPECT_EQ(field(regs[32], 3, 3), c.bit3);
      EXPECT_EQ(field(regs[32], 6, 6), c.bit6);
    }
  }
}

TEST(PartialReconfig, FnpTakesTheWholeInput) {
  NextLayer next;
  next.layer->kind = 3;
  next.layer->inputs = {Shape{10, 5, 3}};
  next.split().spatial_partition = {0, 0, Shape{10, 5, 3}};
  const RegisterBlock regs = next.on(0);
  EXPECT_EQ(regs[32], 0x42000037u);  // bits 0, 1, 2, code 3
  EXPECT_EQ(regs[33], 0u);
  EXPECT_EQ(regs[34], (10u << 16) | 5);
  // row = 12 bytes, words = 12 x 3 / 4
  EXPECT_EQ(regs[35], (12u << 16) | 9);
}

TEST(PartialReconfig, FnpWord35KeepsBits14And15OfWidthTimesHeight) {
  struct Case {
    uint32_t width, height, bits14_15;
  };
  const Case cases[] = {{128, 128, 1}, {256, 128, 2}, {192, 256, 3}, {100, 100, 0}};
  for (const auto& c : cases) {
    NextLayer next;
    next.layer->kind = 3;
    next.layer->bits = 1;
    next.layer->inputs = {Shape{c.width, c.height, 1}};
    next.split().spatial_partition = {0, 0, Shape{c.width, c.height, 1}};
    for (uint32_t fill : {0u, ~0u}) {
      const uint32_t w35 = next.on(fill)[35];
      EXPECT_EQ(field(w35, 14, 15), c.bits14_15) << c.width << "x" << c.height;
      const uint32_t row = ((c.width + 7) / 8 + 3) & ~3u;
      EXPECT_EQ(field(w35, 16, 31), row);
      EXPECT_EQ(field(w35, 0, 13), row / 4);
    }
  }
}

TEST(PartialReconfig, CnpWindowFromTheBorderedPartition) {
  NextLayer next;
  next.layer->bits = 4;
  const RegisterBlock regs = next.on(0);
  EXPECT_EQ(regs[32], 0x42000025u);  // bit 1 clear, code 2
  EXPECT_EQ(regs[33], (2u << 16) | 1);
  EXPECT_EQ(regs[34], (9u << 16) | 6);
  // row(9) = 8 bytes; words = 8 x 16 spatial channels / 4
  EXPECT_EQ(regs[35], (8u << 16) | 32);
  EXPECT_EQ(regs[40], 0u);
}

TEST(PartialReconfig, InputBufferSizeAfterMaxPoolingWithoutActivation) {
  struct Case {
    bool max_pool, activation;
    uint32_t bit11, word40;
  };
  // ((8 bytes x 16 bordered channels x 8 + 31) / 32) x 6 rows
  const Case cases[] = {{true, false, 1, 192}, {true, true, 0, 0}, {false, false, 0, 0}};
  for (const auto& c : cases) {
    NextLayer next;
    next.layer->bits = 4;
    next.inbound(c.max_pool, c.activation);
    const RegisterBlock regs = next.on(0);
    EXPECT_EQ(field(regs[32], 11, 11), c.bit11) << c.max_pool << c.activation;
    EXPECT_EQ(regs[40], c.word40) << c.max_pool << c.activation;
  }
  NextLayer tnp;  // TNP-B layers take the same path
  tnp.layer->kind = 6;
  tnp.layer->bits = 4;
  tnp.inbound(true, false);
  EXPECT_EQ(tnp.on(0)[40], 192u);
}

TEST(PartialReconfig, ChannelwiseWindow) {
  struct Case {
    uint32_t input_channels;
    uint32_t bit10, word42;
  };
  // 4 channels from 4 of the layer's 8 inputs: a window; all of them: none.
  const Case cases[] = {{8, 1, (4u << 16) | 4}, {4, 0, 0}};
  for (const auto& c : cases) {
    NextLayer next;
    next.layer->bits = 4;
    next.layer->per_channel = true;
    next.layer->inputs = {Shape{10, 5, c.input_channels}};
    next.split().bordered_partition = {0, 0, Shape{10, 5, 4}};
    const RegisterBlock regs = next.on(0);
    // words = (4 x 10 + 31) / 32 = 2; row = 2 x 5 x 4
    EXPECT_EQ(regs[35], (40u << 16) | 0x8000 | 2);
    EXPECT_EQ(field(regs[32], 10, 10), c.bit10);
    EXPECT_EQ(regs[42], c.word42);
  }
}

TEST(PartialReconfig, OtherCategoriesGetNoInputFigures) {
  NextLayer next;
  next.layer->kind = 7;
  next.here.split.reset();  // not read
  next.layer->inputs = {};
  EXPECT_EQ(next.on(0)[35], 0u);
  EXPECT_EQ(next.on(~0u)[35], 0xC000u);
  EXPECT_EQ(field(next.on(~0u)[32], 1, 1), 1u);
}

TEST(PartialReconfig, WritesOnlyItsBits) {
  NextLayer cnp;
  cnp.inbound(true, false);
  expect_writes_exactly("CNP after max pooling", cnp,
                        {{32, 0xFF00087F}, {33, 0x0FFF0FFF}, {34, 0x07FF07FF}, {35, 0xFFFF3FFF},
                         {40, 0x0000FFFF}, {41, 0xFF00FFFF}, {44, 0x8000}});
  NextLayer depthwise;
  depthwise.layer->per_channel = true;
  depthwise.layer->inputs = {Shape{8, 8, 32}};
  expect_writes_exactly("channel window", depthwise,
                        {{32, 0xFF00047F}, {33, 0x0FFF0FFF}, {34, 0x07FF07FF}, {35, 0xFFFFBFFF},
                         {41, 0xFF00FFFF}, {42, 0x03FF0FFF}, {44, 0x8000}});
  NextLayer fnp;
  fnp.layer->kind = 3;
  expect_writes_exactly("FNP", fnp,
                        {{32, 0xFF00007F}, {33, 0x0FFF0FFF}, {34, 0x07FF07FF}, {35, 0xFFFFFFFF},
                         {41, 0xFF00FFFF}, {44, 0x8000}});
  NextLayer other;
  other.layer->kind = 0;
  expect_writes_exactly("other", other, {{32, 0xFF00007D}, {35, 0xFFFF3FFF}, {41, 0xFF00FFFF}, {44, 0x8000}});
}

TEST(PartialReconfig, RefusalsLeaveTheBlockUnchanged) {
  NextLayer unmapped;
  unmapped.layer->layer_mapping.reset();
  NextLayer foreign;  // a mapping of another kind counts as none
  foreign.layer->layer_mapping = std::make_shared<Layer::Mapping>();
  NextLayer no_split;
  no_split.here.split.reset();
  NextLayer fnp_no_split;
  fnp_no_split.layer->kind = 3;
  fnp_no_split.here.split.reset();
  NextLayer no_input;
  no_input.layer->inputs = {};
  NextLayer no_source;
  no_source.mapping->prev_components.clear();
  struct Case {
    const char* what;
    const NextLayer& next;
    bool out_of_range;
  };
  const Case cases[] = {{"unmapped", unmapped, false},         {"foreign mapping", foreign, false},
                        {"no split record", no_split, false},  {"FNP without split", fnp_no_split, false},
                        {"no input shape", no_input, true},    {"no input source", no_source, true}};
  for (const auto& c : cases) {
    RegisterBlock block(kNpRegisterWords, 0x3C3C3C3C);
    const RegisterBlock before = block;
    if (c.out_of_range)
      EXPECT_THROW(c.next(&block), std::out_of_range) << c.what;
    else
      EXPECT_THROW(c.next(&block), std::runtime_error) << c.what;
    EXPECT_EQ(block, before) << c.what;
  }
  RegisterBlock short_block(10, 0);
  NextLayer next;
  EXPECT_THROW(next(&short_block), std::invalid_argument);
  EXPECT_THROW(next(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra::v2
