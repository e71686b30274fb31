// Register words of the CNP convolution recorders, NP by NP, on engine layers given hand-made
// parts: the convolution-specific words, the transposed and depthwise differences and the flags.
#include "v2/cnp/conv2d_recorder.h"
#include "v2/cnp/transposed_recorder.h"
#include "v2/np_registers.h"

#include "cnp_recording_rig.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::field;
using test::ModelBuilder;
using test::Params;
using test::part_of;

const hw::Ident kNp{3, 2, 1, 0};
const hw::Ident kDmaEvent{9, 9, 0, 0};

struct Field {
  size_t word;
  unsigned lo, hi;
  uint32_t value;
};

struct Input {
  uint32_t width, height, channels;
  int bits = 8;
};

// One layer after an InputData layer, mapped by hand on one NP part.
struct HandMapped {
  ModelBuilder b;
  std::shared_ptr<Layer> layer;
  std::shared_ptr<LayerMapping> mapping;

  HandMapped(const Input& in, LayerType type, const Params& params, std::optional<NpSpace> part = std::nullopt,
             uint32_t start = 0, std::optional<uint32_t> filters = std::nullopt, uint8_t id = 5) {
    b.input(in.width, in.height, in.channels, in.bits).add(type, params, "layer");
    layer = b.layer("layer");
    const NpSpace whole{0, 0, Shape{in.width, in.height, in.channels}};
    const uint32_t f = filters.value_or(layer->output_dimensions()[2]);
    LayerMappingBuilder::map_standalone(layer, {part_of(kNp, part.value_or(whole), part.value_or(whole), start, f)}, id,
                                        kDmaEvent);
    mapping = get_layer_mapping(*layer);
  }

  RegisterBlock registers(CnpFamily family, const CnpRecordingArgs& args = {}) const {
    const NpRegisterMap map = cnp_np_registers(family, *layer, args);
    if (map.size() != 1 || !map.count(kNp)) throw std::logic_error("expected one block");
    return map.at(kNp);
  }
};

CnpRecordingArgs flags(bool ib_spikes, bool routing_flag, bool registers_only, bool last_flag) {
  CnpRecordingArgs a;
  a.ib_spikes = ib_spikes;
  a.routing_flag = routing_flag;
  a.registers_only = registers_only;
  a.last_flag = last_flag;
  return a;
}

void expect_fields(const RegisterBlock& regs, const std::vector<Field>& fields, const std::string& what) {
  ASSERT_EQ(regs.size(), kNpRegisterWords) << what;
  for (const Field& f : fields)
    EXPECT_EQ(field(regs.at(f.word), f.lo, f.hi), f.value)
        << what << ": word " << f.word << " bits " << f.lo << "-" << f.hi << std::hex << " of 0x" << regs[f.word];
}

TEST(CnpRegisterWords, ConvolutionWords) {
  using F = CnpFamily;
  using T = LayerType;
  const Params conv10{{"filters", 10}, {"kernel_size", 3}};
  const Params k3{{"kernel_size", 3}};
  const struct {
    const char* what;
    F family;
    T type;
    Input input;
    Params params;
    std::optional<NpSpace> part;  // the whole input by default
    uint32_t start;
    std::optional<uint32_t> filters;  // all by default
    std::vector<Field> fields;
  } cases[] = {
      // clang-format off
      {"Conv2D, 10 filters, 8-bit window 10x5 of 3 channels", F::Conv2D, T::Conv2D, {10, 5, 3}, conv10, {}, 0, {},
       {{4, 0, 15, 45}, {28, 0, 31, 12u << 16 | 9}, {11, 12, 29, 12}, {21, 0, 10, 10}, {29, 16, 23, 2},
        {26, 0, 31, 10u << 16}, {3, 2, 2, 0}, {3, 10, 10, 0}, {22, 0, 31, 0}, {20, 8, 9, 0}, {20, 28, 30, 3},
        // No pooling: pool size and stride 1, and no edge flag (they follow the pooling padding).
        {27, 0, 2, 1}, {27, 4, 6, 1}, {27, 8, 8, 0}, {27, 12, 15, 0}}},
      {"Conv2D with stride 2", F::Conv2D, T::Conv2D, {10, 5, 3},
       {{"filters", 10}, {"kernel_size", 3}, {"kernel_stride", 2}}, {}, 0, {}, {{20, 8, 8, 1}, {20, 9, 9, 0}}},
      {"Conv2D, 7x7, 20 filters", F::Conv2D, T::Conv2D, {10, 10, 3}, {{"filters", 20}, {"kernel_size", 7}}, {}, 0, {},
       {{11, 12, 29, 24 * 56 / 8}, {21, 0, 10, 20}, {29, 16, 23, 3}, {20, 28, 30, 7}}},
      {"Conv2D with 2x2 max pooling, padded below", F::Conv2D, T::Conv2D, {10, 5, 3},
       {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}}, {}, 0, {},
       {{27, 0, 2, 2}, {27, 4, 6, 2}, {27, 8, 8, 1}, {27, 12, 15, 0b0100}, {25, 0, 9, 3}, {25, 16, 23, 5}}},
      {"Conv2D with global average pooling: pool size 1", F::Conv2D, T::Conv2D, {10, 6, 3},
       {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 2}, {"pool_size", -1}}, {}, 0, {},
       {{27, 0, 2, 1}, {27, 4, 6, 1}, {27, 8, 8, 1}}},
      {"DepthwiseConv2D, 4-bit window 10x5, all 3 channels", F::DepthwiseConv2D, T::DepthwiseConv2D, {10, 5, 3, 4},
       k3, {}, 0, {},
       {{28, 0, 31, 10u << 18 | 2}, {4, 0, 15, 30}, {3, 2, 2, 1}, {3, 10, 10, 0}, {22, 0, 31, 0}, {11, 12, 29, 3},
        {29, 16, 23, 1}, {21, 0, 31, 0}}},
      {"DepthwiseConv2D NP with channels 1 and 2 of 3", F::DepthwiseConv2D, T::DepthwiseConv2D, {10, 5, 3, 4}, k3,
       NpSpace{0, 0, Shape{10, 5, 2}}, 1, 2,
       {{3, 2, 2, 1}, {3, 10, 10, 1}, {22, 0, 31, 1 | 2u << 16}, {4, 0, 15, 20}, {11, 12, 29, 2},
        {26, 0, 31, 1 | 2u << 16}}},
      // Rows of 5 bytes padded to 8; the output window is twice the part.
      {"Conv2DTranspose, part 5 wide", F::Conv2DTranspose, T::Conv2DTranspose, {5, 4, 3}, conv10, {}, 0, {},
       {{11, 0, 7, 12}, {11, 12, 29, 12}, {20, 8, 8, 0}, {20, 9, 9, 1}, {27, 0, 2, 1}, {27, 4, 6, 1}, {27, 8, 8, 0},
        {27, 12, 15, 0}, {4, 0, 15, 24}, {28, 0, 31, 6 | 8u << 16}, {21, 0, 10, 10}, {29, 16, 23, 2}, {3, 2, 2, 0},
        {25, 0, 9, 8}, {25, 16, 23, 10}}},
      {"Conv2DTranspose ignores a stride parameter", F::Conv2DTranspose, T::Conv2DTranspose, {5, 4, 3},
       {{"filters", 10}, {"kernel_size", 3}, {"kernel_stride", 2}}, {}, 0, {}, {{20, 8, 8, 0}, {20, 9, 9, 1}}},
      {"DepthwiseConv2DTranspose holding all channels", F::DepthwiseConv2DTranspose, T::DepthwiseConv2DTranspose,
       {5, 4, 3}, k3, {}, 0, {},
       {{3, 2, 2, 1}, {3, 10, 10, 0}, {22, 0, 31, 0}, {28, 0, 31, 2 | 8u << 18}, {29, 16, 23, 1}, {11, 12, 29, 3},
        {21, 0, 31, 0}, {20, 9, 9, 1}, {27, 12, 15, 0}}},
      {"DepthwiseConv2DTranspose holding channel 2 of 3", F::DepthwiseConv2DTranspose, T::DepthwiseConv2DTranspose,
       {5, 4, 3}, k3, NpSpace{0, 0, Shape{5, 4, 1}}, 2, 1,
       {{3, 2, 2, 1}, {3, 10, 10, 1}, {22, 0, 31, 2 | 1u << 16}, {11, 12, 29, 1}}},
      // clang-format on
  };
  for (const auto& c : cases) {
    HandMapped m(c.input, c.type, c.params, c.part, c.start, c.filters);
    expect_fields(m.registers(c.family), c.fields, c.what);
  }
}

TEST(CnpRegisterWords, FirstNeuronTakesTheSramShiftButNotTheChannelWindow) {
  HandMapped m({10, 5, 3, 4}, LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, NpSpace{0, 0, Shape{10, 5, 2}}, 1, 2);
  m.mapping->sram_output_shift = std::make_unique<uint32_t>(4);
  expect_fields(m.registers(CnpFamily::DepthwiseConv2D), {{26, 0, 10, 5}, {22, 0, 11, 1}}, "depthwise");
  HandMapped t({5, 4, 3}, LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 3}}, NpSpace{0, 0, Shape{5, 4, 1}}, 2,
               1);
  t.mapping->sram_output_shift = std::make_unique<uint32_t>(4);
  expect_fields(t.registers(CnpFamily::DepthwiseConv2DTranspose), {{26, 0, 10, 6}, {22, 0, 11, 2}}, "transposed");
}

TEST(CnpRegisterWords, Flags) {
  const CnpFamily families[] = {CnpFamily::Conv2D, CnpFamily::DepthwiseConv2D, CnpFamily::Conv2DTranspose,
                                CnpFamily::DepthwiseConv2DTranspose};
  const LayerType types[] = {LayerType::Conv2D, LayerType::DepthwiseConv2D, LayerType::Conv2DTranspose,
                             LayerType::DepthwiseConv2DTranspose};
  const struct {
    const char* what;
    CnpRecordingArgs args;
    std::vector<Field> fields;
  } cases[] = {
      {"defaults", {}, {{3, 24, 31, 5}, {2, 7, 7, 0}, {1, 29, 29, 0}, {44, 2, 2, 0}, {52, 7, 7, 1}, {32, 0, 31, 0}}},
      {"registers only: no id, no merge section", flags(false, false, true, false), {{3, 24, 31, 0xFE}, {52, 7, 7, 0}}},
      {"input-buffer spikes", flags(true, false, false, false), {{2, 7, 7, 1}}},
      {"last flag", flags(false, false, false, true), {{1, 29, 29, 1}}},
      {"routing flag", flags(false, true, false, false), {{44, 2, 2, 1}}},
  };
  for (size_t i = 0; i < 4; ++i) {
    const Params params = types[i] == LayerType::Conv2D || types[i] == LayerType::Conv2DTranspose
                              ? Params{{"filters", 4}, {"kernel_size", 3}}
                              : Params{{"kernel_size", 3}};
    HandMapped m({8, 8, 4}, types[i], params);
    for (const auto& c : cases)
      expect_fields(m.registers(families[i], c.args), c.fields, std::string(c.what) + ", type " + std::to_string(i));
  }
}

// The next layer on the same NP: the block prepares it (partial reconfiguration).
TEST(CnpRegisterWords, PartialReconfigurationOnlyForTheSameNp) {
  const struct {
    const char* what;
    hw::Ident next_np;
    uint32_t word32;
  } cases[] = {
      {"next layer on this NP", kNp, 0x5},
      {"next layer on another NP", {3, 2, 2, 0}, 0},
  };
  for (const auto& c : cases) {
    HandMapped m({8, 8, 4}, LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}});
    m.b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "next", {"layer"});
    const NpSpace whole{0, 0, Shape{8, 8, 4}};
    LayerMappingBuilder::map_standalone(m.b.layer("next"), {part_of(c.next_np, whole, whole, 0, 4)}, 1, kDmaEvent);
    CnpRecordingArgs args;
    args.next_layer = m.b.layer("next");
    const RegisterBlock regs = m.registers(CnpFamily::Conv2D, args);
    EXPECT_EQ(field(regs[32], 0, 3) & 0x5, c.word32) << c.what;
    EXPECT_EQ(field(regs[41], 24, 30), c.word32 ? 1u : 0u) << c.what;
  }
}

TEST(CnpRegisterWords, ExcludedNpsGetNoBlock) {
  ModelBuilder b;
  b.input(16, 8, 4).add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, "layer");
  const NpSpace whole{0, 0, Shape{16, 8, 4}};
  const hw::Ident a{2, 1, 0, 0}, bb{2, 1, 1, 0}, c{3, 1, 0, 0};
  LayerMappingBuilder::map_standalone(
      b.layer("layer"),
      {part_of(c, whole, whole, 0, 3), part_of(a, whole, whole, 3, 3), part_of(bb, whole, whole, 6, 2)}, 1, kDmaEvent);
  const struct {
    const char* what;
    std::vector<hw::Ident> excluded;
    std::vector<hw::Ident> blocks;
  } cases[] = {
      {"none", {}, {a, bb, c}},
      {"one", {bb}, {a, c}},
      {"an ident that is not the layer's", {{7, 7, 0, 0}}, {a, bb, c}},
      {"another channel of an NP is another ident", {{2, 1, 0, 1}}, {a, bb, c}},
      {"all", {a, bb, c}, {}},
  };
  for (const auto& cs : cases) {
    const NpRegisterMap map = conv2d_np_registers(*b.layer("layer"), nullptr, false, false, cs.excluded, false, false);
    std::vector<hw::Ident> got;
    for (const auto& [ident, words] : map) got.push_back(ident);
    EXPECT_EQ(got, cs.blocks) << cs.what;
  }
}

}  // namespace
}  // namespace nuvra::v2
