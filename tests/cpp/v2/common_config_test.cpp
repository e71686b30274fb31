#include "v2/cnp/common_config.h"

#include "register_testing.h"
#include "support/program_tools.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::component;
using test::expect_writes_exactly;
using test::field;
using test::FixedSplit;
using test::np;

// Split words 1-15: window 5, 6; part 7 x 8 x 3; phases 1, 0; offsets -1, -4; window 9 x 12;
// first output 2, 3; outputs 4 x 5. Container width 12.
FixedSplit sample_split() {
  return FixedSplit({5, 6, 7, 8, 3, 1, 0, static_cast<uint32_t>(-1), static_cast<uint32_t>(-4), 9, 12, 2, 3, 4, 5},
                    12);
}

// A call of the common configuration with everything a test may change.
struct CommonConfig {
  FixedSplit split = sample_split();
  int kernel = 3;
  int stride = 2;
  bool activation = false;
  uint32_t first = 16;
  uint32_t filters = 10;
  std::vector<hw::Component> own{np(2, 1), np(3, 1)};
  bool single_buffer = true;
  bool transposed = false;
  uint8_t output_bits = 8;
  std::shared_ptr<MergeLayerMapInfo> merge_source;
  std::optional<hw::Component> load;
  std::optional<hw::Component> store;
  bool last_flag = true;
  bool merge_section = true;

  // A fused Add with a skip-DMA load in column 4 (row 2, id 3) and, when dual, a dual-output
  // store in column 7 (row 3, id 1).
  void fuse_merge(bool dual) {
    merge_source = std::make_shared<MergeLayerMapInfo>();
    merge_source->is_add = true;
    merge_source->merge_channel = 0x1AB;
    merge_source->not_first_in_pass = true;
    load = component(hw::Type::SKIP_DMA_LOAD, 4, 2, 3);
    if (dual) {
      merge_source->dual_output = true;
      merge_source->dual_output_channel = 0x9C;
      store = component(hw::Type::SKIP_DMA_STORE, 7, 3, 1);
    }
  }
  void operator()(RegisterBlock* block) const {
    std::unique_ptr<MergeLayerMapInfo> merge;
    if (merge_source) merge = std::make_unique<MergeLayerMapInfo>(*merge_source);
    format_cnp_tnp_common_config_registers(block, split, kernel, stride, activation, first, filters, own,
                                           single_buffer, transposed, output_bits, merge, load, store, last_flag,
                                           merge_section);
  }
  RegisterBlock on(uint32_t fill) const {
    RegisterBlock block(kNpRegisterWords, fill);
    (*this)(&block);
    return block;
  }
};

TEST(CommonConfig, SampleWordsOnAZeroBlock) {
  CommonConfig c;
  c.merge_section = false;
  const RegisterBlock regs = c.on(0);
  const std::pair<size_t, uint32_t> expected[] = {
      {1, 0x20400020},   // bit 5, single buffer, last flag
      {3, 0x000270B3},   // fixed bits, no activation with 8 output bits, two NPs
      {4, 0x80000000},
      {8, 0x40087007},   // part 7 x 8; offsets -1 -> 0b111, -4 -> 0b100
      {9, 0x00061005},   // window 5, 6; row phase only
      {10, 0x000C0009},
      {11, 12},
      {13, 0x10},
      {20, 0x30000100},  // kernel 3, stride 2
      {24, 0x00030002},
      {25, 0x00050004},
      {26, 0x000A0010},
  };
  for (const auto& [word, value] : expected) EXPECT_EQ(regs[word], value) << "word " << word;
}

TEST(CommonConfig, BorderOffsetsAreThreeBitTwosComplement) {
  struct Case {
    int32_t offset;
    uint32_t field;
  };
  const Case cases[] = {{-4, 0b100}, {-3, 0b101}, {-1, 0b111}, {0, 0}, {1, 0b001}, {3, 0b011}};
  for (const auto& k : cases) {
    CommonConfig c;
    c.split.set(8, static_cast<uint32_t>(k.offset));
    c.split.set(9, static_cast<uint32_t>(k.offset));
    const uint32_t w8 = c.on(0)[8];
    EXPECT_EQ(field(w8, 12, 14), k.field) << k.offset;
    EXPECT_EQ(field(w8, 28, 30), k.field) << k.offset;
  }
}

TEST(CommonConfig, OffsetsOutsideMinus4To3PanicAndWriteNothing) {
  struct Case {
    size_t word;
    int32_t offset;
  };
  const Case cases[] = {{8, -5}, {8, 4}, {9, -5}, {9, 4}, {8, 2147483647}, {9, -2147483647 - 1}};
  for (const auto& k : cases) {
    CommonConfig c;
    c.split.set(k.word, static_cast<uint32_t>(k.offset));
    RegisterBlock block(kNpRegisterWords, 0x11111111);
    try {
      c(&block);
      ADD_FAILURE() << k.offset << ": no panic";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), std::to_string(k.offset) + " cannot fit in a 3 bits signed integer");
    }
    EXPECT_EQ(block, RegisterBlock(kNpRegisterWords, 0x11111111)) << k.offset;
  }
}

TEST(CommonConfig, StrideTransposedAndKernelInWord20) {
  struct Case {
    int kernel, stride;
    bool transposed;
    uint32_t word20;
  };
  const Case cases[] = {{3, 1, false, 0x30000000}, {3, 2, false, 0x30000100}, {1, 3, false, 0x10000000},
                        {4, 1, true, 0x40000200},  {7, 2, true, 0x70000300},  {9, 1, false, 0x10000000}};
  for (const auto& k : cases) {
    CommonConfig c;
    c.kernel = k.kernel;
    c.stride = k.stride;
    c.transposed = k.transposed;
    EXPECT_EQ(c.on(0)[20], k.word20) << k.kernel << " " << k.stride;
  }
}

TEST(CommonConfig, ActivationAndOutputBitsInWord3) {
  struct Case {
    bool activation;
    uint8_t output_bits;
    uint32_t bit14, bit15;
  };
  const Case cases[] = {{false, 8, 1, 0}, {false, 1, 1, 0}, {false, 9, 0, 0}, {false, 32, 0, 0},
                        {true, 8, 0, 1},  {true, 4, 0, 1}};
  for (const auto& k : cases) {
    CommonConfig c;
    c.activation = k.activation;
    c.output_bits = k.output_bits;
    for (uint32_t fill : {0u, ~0u}) {
      const uint32_t w3 = c.on(fill)[3];
      EXPECT_EQ(field(w3, 14, 14), k.bit14) << k.activation << " " << int{k.output_bits};
      EXPECT_EQ(field(w3, 15, 15), k.bit15) << k.activation << " " << int{k.output_bits};
    }
  }
}

TEST(CommonConfig, OwnNpCountKeepsEightBits) {
  CommonConfig c;
  c.own.assign(300, np(1, 1));
  EXPECT_EQ(field(c.on(0)[3], 16, 23), 300u & 0xFF);
}

TEST(CommonConfig, MergeWithSkipDmaLoad) {
  CommonConfig c;
  c.fuse_merge(false);
  RegisterBlock regs = c.on(0);
  EXPECT_EQ(regs[52], 0x00AB0097u);  // bits 0, 1, 4 and is_add; not first in pass; channel 0xAB
  EXPECT_EQ(regs[53], 0x80800401u);  // load column 4, one-hot id 3
  EXPECT_EQ(field(regs[1], 31, 31), 0u);
  EXPECT_EQ(regs[48], 0u);

  c.merge_source->is_add = false;
  c.merge_source->not_first_in_pass = false;
  regs = c.on(~0u);
  EXPECT_EQ(regs[52], 0xFFABFF73u);
  EXPECT_EQ(regs[53], 0xFF870401u);
}

TEST(CommonConfig, DualOutputStore) {
  CommonConfig c;
  c.fuse_merge(true);
  RegisterBlock regs = c.on(0);
  EXPECT_EQ(field(regs[1], 31, 31), 1u);
  EXPECT_EQ(regs[47], 0x07020000u);  // own columns 2..3 with the store's 7
  EXPECT_EQ(regs[48], 0x9C210703u);  // row 3, column 7, bit 16, one-hot id 1, channel 0x9C

  c.store = component(hw::Type::SKIP_DMA_STORE, 1, 0, 5);  // id above 3, column below the NPs
  regs = c.on(0);
  EXPECT_EQ(regs[47], 0x03010000u);
  EXPECT_EQ(regs[48], 0x9C010100u);
}

TEST(CommonConfig, MergeSectionOff) {
  CommonConfig without;
  without.merge_section = true;
  EXPECT_EQ(without.on(0)[52], 0x80u);  // no merge: only bit 7
  CommonConfig off;
  off.fuse_merge(true);
  off.merge_section = false;
  off.load.reset();  // nothing of the merge is needed
  off.store.reset();
  const RegisterBlock regs = off.on(0);
  for (size_t w : {47, 48, 52, 53}) EXPECT_EQ(regs[w], 0u) << w;
  EXPECT_EQ(field(regs[1], 31, 31), 0u);
}

TEST(CommonConfig, MissingSkipDmaComponentsAreRefusedBeforeAnyWrite) {
  struct Case {
    bool dual, drop_load, drop_store;
    const char* message;
  };
  const Case cases[] = {{false, true, false, "Skip DMA load should not be null."},
                        {true, true, false, "Skip DMA load should not be null."},
                        {true, false, true, "Skip DMA store should not be null."}};
  for (const auto& k : cases) {
    CommonConfig c;
    c.fuse_merge(k.dual);
    if (k.drop_load) c.load.reset();
    if (k.drop_store) c.store.reset();
    RegisterBlock block(kNpRegisterWords, 0x0F0F0F0F);
    try {
      c(&block);
      ADD_FAILURE() << k.message << ": no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), k.message);
    }
    EXPECT_EQ(block, RegisterBlock(kNpRegisterWords, 0x0F0F0F0F));
  }
}

TEST(CommonConfig, WritesOnlyItsBits) {
  const std::vector<test::WordMask> base = {
      {1, 0x204000F0}, {3, 0x00FFF0BB}, {4, 0xE0000000},  {8, 0x77FF77FF},  {9, 0x1FFF1FFF},
      {10, 0x07FF07FF}, {11, 0x000000FF}, {13, 0x0000FFFF}, {20, 0x77FF0700}, {24, 0x0FFF0FFF},
      {25, 0x00FF03FF}, {26, 0x03FF07FF}};
  auto with = [&](std::vector<test::WordMask> extra) {
    extra.insert(extra.end(), base.begin(), base.end());
    return extra;
  };
  CommonConfig off;
  off.merge_section = false;
  off.fuse_merge(true);
  expect_writes_exactly("merge section off", off, with({}));
  CommonConfig plain;
  expect_writes_exactly("no merge", plain, with({{52, 0x80}}));
  CommonConfig merge;
  merge.fuse_merge(false);
  expect_writes_exactly("merge", merge, with({{52, 0x00FF009F}, {53, 0x80F8FFFF}}));
  CommonConfig dual;
  dual.fuse_merge(true);
  expect_writes_exactly("dual output", dual,
        with({{1, 0x80000000}, {47, 0xFFFF0000}, {48, 0xFFF1FFFF}, {52, 0x00FF009F}, {53, 0x80F8FFFF}}));
}

TEST(CnpPooling, Word27Fields) {
  struct Case {
    const char* what;
    uint8_t size, stride;
    bool flag;
    uint32_t fill, expected;
  };
  const Case cases[] = {
      {"no pooling", 1, 1, false, 0, 0x011},
      {"2x2 max", 2, 2, true, 0, 0x122},
      {"low 3 bits", 9, 10, false, 0, 0x021},
      {"bits 3, 7, 10, 11, 16-31 kept", 3, 2, false, ~0u, 0xFFFF0CAB},
  };
  const Shape shape{16, 16, 8};
  const NpSpace middle{4, 4, Shape{8, 8, 8}};
  for (const auto& c : cases) {
    RegisterBlock block(kNpRegisterWords, c.fill);
    format_cnp_pooling_registers(&block, shape, middle, c.size, c.stride, c.flag, {1, 1, 1, 1}, false);
    EXPECT_EQ(block[27], c.expected) << c.what;
    EXPECT_EQ(block[2], c.fill) << c.what;
  }
}

TEST(CnpPooling, EdgeFlagsNeedPaddingAndTheEdge) {
  struct Case {
    const char* what;
    NpSpace part;
    PaddingParams padding;  // top, bottom, left, right
    uint32_t flags;
  };
  const Shape shape{16, 12, 8};
  const Case cases[] = {
      {"whole input, padded all round", {0, 0, Shape{16, 12, 8}}, {1, 1, 1, 1}, 0xF},
      {"whole input, no padding", {0, 0, Shape{16, 12, 8}}, {0, 0, 0, 0}, 0x0},
      {"top-left part", {0, 0, Shape{8, 6, 8}}, {2, 2, 2, 2}, 0b1010},
      {"bottom-right part", {8, 6, Shape{8, 6, 8}}, {2, 2, 2, 2}, 0b0101},
      {"middle part", {4, 3, Shape{8, 6, 8}}, {2, 2, 2, 2}, 0x0},
      {"right edge, left padding only", {8, 0, Shape{8, 12, 8}}, {0, 0, 3, 0}, 0x0},
      {"top only", {0, 0, Shape{16, 12, 8}}, {1, 0, 0, 0}, 0b1000},
  };
  for (const auto& c : cases) {
    for (uint32_t fill : {0u, ~0u}) {
      RegisterBlock block(kNpRegisterWords, fill);
      format_cnp_pooling_registers(&block, shape, c.part, 1, 1, false, c.padding, false);
      EXPECT_EQ(field(block[27], 12, 15), c.flags) << c.what;
    }
  }
}

TEST(CnpPooling, InboundMaxPoolingSetsWord2Bit8) {
  RegisterBlock block(kNpRegisterWords, 0);
  format_cnp_pooling_registers(&block, {8, 8, 1}, {0, 0, Shape{8, 8, 1}}, 1, 1, false, {}, true);
  EXPECT_EQ(block[2], 0x100u);
  block[2] = 0x100;
  format_cnp_pooling_registers(&block, {8, 8, 1}, {0, 0, Shape{8, 8, 1}}, 1, 1, false, {}, false);
  EXPECT_EQ(block[2], 0x100u);  // never cleared
}

TEST(CnpPooling, WritesOnlyItsBits) {
  auto pooling = [](bool inbound) {
    return [inbound](RegisterBlock* b) {
      format_cnp_pooling_registers(b, {8, 8, 1}, {0, 0, Shape{8, 8, 1}}, 2, 2, true, {1, 1, 1, 1}, inbound);
    };
  };
  expect_writes_exactly("pooling", pooling(false), {{27, 0xF377}});
  expect_writes_exactly("pooling after max pooling", pooling(true), {{2, 0x100}, {27, 0xF377}});
}

TEST(NoPoolingParams, FillsTheRecordAndReturnsPoolSizeOne) {
  PoolingCalculatedParams p;
  p.stride_x = 7;
  p.padding = {1, 2, 3, 4};
  p.flag = true;
  EXPECT_EQ(get_no_pooling_params(&p, 30, 20), 1u);
  EXPECT_EQ(p.stride_x, 1);
  EXPECT_EQ(p.stride_y, 1);
  EXPECT_EQ(p.pooled_width, 30u);
  EXPECT_EQ(p.pooled_height, 20u);
  EXPECT_EQ(p.padding, PaddingParams{});
  EXPECT_FALSE(p.flag);
  EXPECT_THROW(get_no_pooling_params(nullptr, 1, 1), std::invalid_argument);
}

TEST(CommonFormatters, NullOrShortBlocksAreRefused) {
  RegisterBlock short_block(5, 0);
  const CommonConfig c;
  for (RegisterBlock* block : {static_cast<RegisterBlock*>(nullptr), &short_block}) {
    EXPECT_THROW(c(block), std::invalid_argument);
    EXPECT_THROW(format_cnp_pooling_registers(block, {8, 8, 1}, {}, 1, 1, false, {}, true), std::invalid_argument);
  }
}

}  // namespace
}  // namespace nuvra::v2
