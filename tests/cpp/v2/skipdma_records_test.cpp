// Skip-DMA blocks of a layer's store and load channels, from hand-made mappings on engine layers.
#include "v2/skipdma_records.h"

#include "cnp_recording_rig.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::attach;
using test::bare;
using test::Block;
using test::blocks_of;
using test::expect_error;
using test::list_of;
using test::ModelBuilder;
using test::part_of;
using test::words_of;
using Words = std::vector<uint32_t>;

const hw::Ident kStoreCh0{1, 1, 3, 0};
const hw::Ident kLoadCh1{1, 1, 3, 1};
const hw::Ident kStoreCh2{1, 1, 3, 2};
const hw::Ident kStoreCh3{1, 1, 3, 3};

// An NP part of an 8x8x4 input.
hw::Component np_part(hw::Ident ident) {
  const NpSpace whole{0, 0, Shape{8, 8, 4}};
  return part_of(ident, whole, whole, 0, 4);
}

struct Expected {
  hw::Ident ident;
  uint16_t address;
  Words words;
};

void expect_blocks(const program::Record& record, const std::vector<Expected>& expected, const std::string& what) {
  const std::vector<Block> blocks = blocks_of(record);
  ASSERT_EQ(blocks.size(), expected.size()) << what;
  for (size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE(what + ", block " + std::to_string(i));
    EXPECT_EQ(blocks[i].header.target, 11u);
    EXPECT_EQ(blocks[i].header.ident, expected[i].ident);
    EXPECT_EQ(blocks[i].header.address, expected[i].address);
    EXPECT_EQ(words_of(blocks[i]), expected[i].words);
  }
}

// input (8, 8, 4) -> "conv" Conv2D 3x3, 4 filters: output (8, 8, 4) of 8 bits, 2 words a row.
struct ConvLayer {
  ModelBuilder b;
  std::shared_ptr<Layer> layer;
  std::shared_ptr<LayerMapping> m = std::make_shared<LayerMapping>();
  ConvLayer() {
    b.input(8, 8, 4).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv");
    layer = b.layer("conv");
    m->id = 3;
    m->nps = list_of({np_part({3, 2, 1, 0})});
    attach(layer, m);
  }
  void store(hw::Ident ident, uint8_t next_id, uint8_t route) {
    m->skipdma_stores = {bare(hw::Type::SKIP_DMA_STORE, ident)};
    m->next_id = next_id;
    m->skipdma_store_info = std::make_unique<SkipDmaStoreMapInfo>(SkipDmaStoreMapInfo{1, route, 0});
  }
  std::unique_ptr<program::Record> record() const {
    auto r = program::new_record(versions::FPGA_v2);
    record_skipdma(r.get(), *layer);
    return r;
  }
};

TEST(SkipDmaRecords, NpSetWord) {
  const struct {
    const char* what;
    std::vector<hw::Component> nps;
    uint32_t word;
  } cases[] = {
      {"one NP, id 1", {np_part({3, 2, 1, 0})}, 0x03020022},
      {"one NP, id 0", {np_part({3, 2, 0, 0})}, 0x03020012},
      {"one NP, id 3", {np_part({3, 2, 3, 0})}, 0x03020082},
      {"id past 3 leaves the one-hot field empty", {np_part({3, 2, 4, 0})}, 0x03020002},
      {"id 200", {np_part({3, 2, 200, 0})}, 0x03020002},
      {"four NPs in columns 2 to 5",
       {np_part({4, 1, 0, 0}), np_part({2, 1, 0, 0}), np_part({5, 1, 1, 0}), np_part({3, 1, 0, 0})},
       0x05020001},
      {"two NPs of one column", {np_part({6, 1, 0, 0}), np_part({6, 2, 0, 0})}, 0x06060001},
  };
  for (const auto& c : cases) EXPECT_EQ(skipdma_np_set_word(c.nps), c.word) << c.what;
  expect_error([] { skipdma_np_set_word({}); }, "A skip DMA channel needs at least one NP");
}

TEST(SkipDmaRecords, StoreOfAConv2DLayer) {
  const struct {
    const char* what;
    uint8_t route;
    std::vector<Expected> blocks;
  } cases[] = {
      {"route 1: one NP",
       1,
       {{kStoreCh2, 0x21C, {0x20}},
        {kStoreCh2, 0x222, {2, 2}},
        {kStoreCh2, 0x23C, {0, 2, 16}},
        {kStoreCh2, 0x1001, {0}},
        {kStoreCh2, 0x1224, {0x03020022}},
        {kStoreCh2, 0x1226, {0x0701}}}},
      {"route 0: no NP-set block",
       0,
       {{kStoreCh2, 0x21C, {0x20}},
        {kStoreCh2, 0x222, {2, 2}},
        {kStoreCh2, 0x23C, {0, 2, 16}},
        {kStoreCh2, 0x1001, {0}},
        {kStoreCh2, 0x1226, {0x0700}}}},
  };
  for (const auto& c : cases) {
    ConvLayer conv;
    conv.store(kStoreCh2, 7, c.route);
    expect_blocks(*conv.record(), c.blocks, c.what);
  }
}

TEST(SkipDmaRecords, LoadOfAMergingLayer) {
  const std::vector<hw::Component> four = {np_part({2, 1, 0, 0}), np_part({3, 1, 0, 0}), np_part({4, 1, 0, 0}),
                                           np_part({5, 1, 0, 0})};
  const struct {
    const char* what;
    bool merge;
    Words upper;  // the block at the upper base + 4
  } cases[] = {
      {"number from the layer id", false, {0x05020001, 0x0400, 0x04040901, 0}},
      {"number from the low byte of the merge channel", true, {0x05020001, 0xA500, 0xA5A50901, 0}},
  };
  for (const auto& c : cases) {
    ConvLayer conv;
    conv.m->id = 4;
    conv.m->nps = list_of(four);
    conv.m->skipdma_loads = {bare(hw::Type::SKIP_DMA_LOAD, kLoadCh1)};
    conv.m->skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>(SkipDmaLoadLinkInfo{9, 1, 0, 0x1234});
    if (c.merge) {
      conv.m->merge_info = std::make_unique<MergeLayerMapInfo>();
      conv.m->merge_info->merge_channel = 0x1A5;
    }
    expect_blocks(*conv.record(),
                  {{kLoadCh1, 0x103, {0x00020002}},
                   {kLoadCh1, 0x128, {2}},
                   {kLoadCh1, 0x1001, {0}},
                   {kLoadCh1, 0x1104, c.upper},
                   {kLoadCh1, 0x112B, {0x234}}},
                  c.what);
  }
}

TEST(SkipDmaRecords, PlainAndDualOutputStoresNormalFirst) {
  ConvLayer conv;
  conv.store(kStoreCh0, 9, 0);
  conv.m->skipdma_stores.push_back(bare(hw::Type::SKIP_DMA_STORE, kStoreCh3));
  conv.m->merge_info = std::make_unique<MergeLayerMapInfo>();
  conv.m->merge_info->dual_output = true;
  conv.m->merge_info->dual_output_channel = 0x33;
  // The dual-output store keeps the layer's input: (8, 8, 4) of 8 bits as well.
  expect_blocks(*conv.record(),
                {{kStoreCh0, 0x1C, {0x20}},
                 {kStoreCh0, 0x22, {2, 2}},
                 {kStoreCh0, 0x3C, {0, 2, 16}},
                 {kStoreCh0, 0x1001, {0}},
                 {kStoreCh0, 0x1026, {0x0900}},
                 {kStoreCh3, 0x31C, {0x20}},
                 {kStoreCh3, 0x322, {2, 2}},
                 {kStoreCh3, 0x33C, {0, 2, 16}},
                 {kStoreCh3, 0x1001, {0}},
                 {kStoreCh3, 0x1326, {0x3300}}},
                "two stores");
}

TEST(SkipDmaRecords, DualOutputStoreKeepsTheInput) {
  // input (6, 4, 4) of 4 bits -> Conv2D 3x3 with 2x2 max pooling: output (3, 2, 4) of 8 bits.
  ModelBuilder b;
  b.input(6, 4, 4, 4)
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}}, "conv");
  auto m = std::make_shared<LayerMapping>();
  m->nps = list_of({np_part({3, 2, 1, 0})});
  m->skipdma_stores = {bare(hw::Type::SKIP_DMA_STORE, kStoreCh0)};
  m->merge_info = std::make_unique<MergeLayerMapInfo>();
  m->merge_info->dual_output = true;
  attach(b.layer("conv"), m);
  program::Record r(versions::FPGA_v2);
  record_skipdma(&r, *b.layer("conv"));
  const auto blocks = blocks_of(r);
  ASSERT_EQ(blocks.size(), 5u);
  // (6 x 4 bits + 31) / 32 = 1 word a row, 4 rows.
  EXPECT_EQ(blocks[2].header.address, 0x3C);
  EXPECT_EQ(words_of(blocks[2]), (Words{0, 1, 4}));
}

TEST(SkipDmaRecords, TnpBLayer) {
  ModelBuilder b;
  b.input(8, 8, 4).add(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 5}}, "tnp");
  auto m = std::make_shared<LayerMapping>();
  m->id = 2;
  m->nps = list_of({np_part({2, 1, 0, 0})});
  m->prev_components = {list_of({np_part({2, 1, 0, 0})})};
  m->skipdma_loads = {bare(hw::Type::SKIP_DMA_LOAD, kLoadCh1)};
  m->skipdma_stores = {bare(hw::Type::SKIP_DMA_STORE, kStoreCh0)};
  m->stores_are_inputs = true;
  m->skipdma_store_info = std::make_unique<SkipDmaStoreMapInfo>(SkipDmaStoreMapInfo{5, 1, 0});
  m->skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>(SkipDmaLoadLinkInfo{7, 5, 0, 0});
  attach(b.layer("tnp"), m);
  program::Record r(versions::FPGA_v2);
  record_skipdma(&r, *b.layer("tnp"));
  expect_blocks(r,
                {{kLoadCh1, 0x100, {0x83000601}},
                 {kLoadCh1, 0x100, {0x83000601}},
                 // Store: fifo 5, one word a pixel (4 channels of 8 bits), 8 pixels a row.
                 {kStoreCh0, 0x1C, {0x20}},
                 {kStoreCh0, 0x22, {2, 6}},
                 {kStoreCh0, 0x3C, {5, 1, 8}},
                 {kStoreCh0, 0x1001, {0}},
                 // The NP list is the layer's sources: columns 1 (the channels) to 2.
                 {kStoreCh0, 0x1024, {0x02010001}},
                 {kStoreCh0, 0x1026, {0x0101}},
                 {kLoadCh1, 0x103, {0x00050002}},
                 {kLoadCh1, 0x1001, {0}},
                 {kLoadCh1, 0x1104, {0x02010012, 0x0200, 0x02020701, 0}},
                 {kLoadCh1, 0x112B, {0}}},
                "TNP-B");
}

TEST(SkipDmaRecords, NothingWithoutSkipDmaComponents) {
  ConvLayer conv;
  EXPECT_TRUE(conv.record()->tracks().empty());
}

TEST(SkipDmaRecords, RefusalsLeaveTheRecordUnchanged) {
  const struct {
    const char* what;
    std::function<void(ConvLayer&)> setup;
    std::string message;
  } cases[] = {
      {"a merging layer with an NP without split record",
       [](ConvLayer& c) {
         c.m->nps = list_of({np_part({2, 1, 0, 0}), bare(hw::Type::CNP1, {3, 1, 0, 0})});
         c.m->skipdma_loads = {bare(hw::Type::SKIP_DMA_LOAD, kLoadCh1)};
         c.m->skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>();
       },
       "Merging layer has no CNPs."},
      {"a merging layer without NPs",
       [](ConvLayer& c) {
         c.m->nps = list_of({});
         c.m->skipdma_loads = {bare(hw::Type::SKIP_DMA_LOAD, kLoadCh1)};
         c.m->skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>();
       },
       "Merging layer has no CNPs."},
      {"a load without its link record",
       [](ConvLayer& c) { c.m->skipdma_loads = {bare(hw::Type::SKIP_DMA_LOAD, kLoadCh1)}; },
       "The layer conv has a skip DMA load without its link record"},
      {"a store without its store record",
       [](ConvLayer& c) {
         c.store(kStoreCh2, 7, 1);
         c.m->skipdma_store_info.reset();
       },
       "The layer conv has a skip DMA store without its store record"},
      {"a channel whose registers lie past the address space",
       [](ConvLayer& c) {
         c.store({1, 1, 3, 240}, 7, 1);
       },
       "Skip DMA channel 240 has no register address"},
      {"a routed store of a layer without NPs",
       [](ConvLayer& c) {
         c.store(kStoreCh2, 7, 1);
         c.m->nps.reset();
       },
       "The skip DMA store of layer conv has no NP to send to"},
  };
  for (const auto& c : cases) {
    ConvLayer conv;
    // A valid store comes first in the record, so a late refusal would leave it behind.
    if (conv.m->skipdma_stores.empty()) conv.store(kStoreCh0, 7, 0);
    c.setup(conv);
    program::Record r(versions::FPGA_v2);
    r.add_np_track({9, 9, 0, 0}, dma::Target{7}, 0, Words{1, 2, 3});
    expect_error([&] { record_skipdma(&r, *conv.layer); }, c.message, "", c.what);
    ASSERT_EQ(r.tracks().size(), 1u) << c.what;
    EXPECT_EQ(blocks_of(r).size(), 1u) << c.what;
  }
}

TEST(SkipDmaRecords, LayerWithoutMapping) {
  ModelBuilder b;
  b.input(8, 8, 4).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv");
  program::Record r(versions::FPGA_v2);
  expect_error([&] { record_skipdma(&r, *b.layer("conv")); }, "The layer conv is not mapped");
  expect_error([&] { record_skipdma_store(&r, *b.layer("conv"), false, false, 0); }, "The layer conv is not mapped");
  expect_error([&] { record_skipdma(nullptr, *b.layer("conv")); }, "No record to add the skip DMA blocks to");
}

TEST(SkipDmaRecords, TnpBLayerWithStoresButNoLoad) {
  ModelBuilder b;
  b.input(8, 8, 4).add(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 5}}, "tnp");
  auto m = std::make_shared<LayerMapping>();
  m->skipdma_stores = {bare(hw::Type::SKIP_DMA_STORE, kStoreCh0)};
  m->stores_are_inputs = true;
  attach(b.layer("tnp"), m);
  program::Record r(versions::FPGA_v2);
  expect_error([&] { record_skipdma(&r, *b.layer("tnp")); }, "The TNP-B layer tnp has no skip DMA load");
  EXPECT_TRUE(r.tracks().empty());
}

TEST(SkipDmaRecords, ChannelBases) {
  EXPECT_EQ(skipdma_channel_base(0), 0x1000);
  EXPECT_EQ(skipdma_channel_base(2), 0x1200);
  EXPECT_EQ(skipdma_channel_base(239), 0xFF00);
  expect_error([] { skipdma_channel_base(240); }, "Skip DMA channel 240 has no register address");
}

}  // namespace
}  // namespace nuvra::v2
