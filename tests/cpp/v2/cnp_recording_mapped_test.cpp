// Recording layers that the mapping engine placed and split on an FPGA_v2 mesh: the blocks of
// every NP decode whole, carry the NP's share (weights round-trip through an independent
// decoder) and the register invariants hold; registers_only, excluded NPs, skip DMAs and fused
// merges on top.
#include "v2/cnp/conv2d_recorder.h"
#include "v2/cnp/transposed_recorder.h"
#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/skipdma_records.h"

#include "cnp_recording_rig.h"
#include "cnp_weight_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::Block;
using test::blocks_of;
using test::field;
using test::MappedModel;
using test::Params;
using test::words_of;

using Recorder = std::unique_ptr<program::Record> (*)(const Device&, const Layer&, std::shared_ptr<Layer>, bool, bool,
                                                      const std::vector<hw::Ident>&, bool, bool);
using Registers = NpRegisterMap (*)(const Layer&, std::shared_ptr<Layer>, bool, bool, const std::vector<hw::Ident>&,
                                    bool, bool);

struct Member {
  Recorder record;
  Registers registers;
  bool depthwise;
};

Member member_of(LayerType type) {
  switch (type) {
    case LayerType::Conv2D:
      return {record_program_conv2d_layer, conv2d_np_registers, false};
    case LayerType::DepthwiseConv2D:
      return {record_program_dwconv2d_layer, dwconv2d_np_registers, true};
    case LayerType::Conv2DTranspose:
      return {record_program_transposed_conv2d_layer, transposed_conv2d_np_registers, false};
    case LayerType::DepthwiseConv2DTranspose:
      return {record_program_transposed_dwconv2d_layer, transposed_dwconv2d_np_registers, true};
    default:
      throw std::logic_error("not a CNP convolution");
  }
}

// Random representable values in every variable the recorders read, so that a share taken from
// the wrong place shows.
void fill_variables(Layer& layer, uint32_t seed) {
  std::mt19937 rng(seed);
  Variables& vars = *layer.variables();
  auto fill = [&](const char* name, int lo, int hi) {
    if (!vars.has(name)) return;
    auto t = vars.get(name);
    std::uniform_int_distribution<int> d(lo, hi);
    for (size_t i = 0; i < t->size(); ++i) {
      if (lo < 0)
        t->set<int8_t>(i, static_cast<int8_t>(d(rng)));
      else
        t->set<uint8_t>(i, static_cast<uint8_t>(d(rng)));
    }
  };
  fill("weights", -128, 127);
  fill("input_shift", 0, 15);
  fill("output_scales", 0, 255);
  fill("bias", -128, 127);
  fill("bias_shift", 0, 31);
  fill("output_shift", -32, 31);
  fill("max_value", 0, 255);
  fill("max_value_shift", 0, 31);
}

uint8_t byte_at(const std::vector<uint32_t>& words, size_t i) {
  return static_cast<uint8_t>(words[i / 4] >> 8 * (i % 4));
}

// The blocks of one NP, in record order: registers, weights, input shifts, variables.
void check_np_blocks(const Layer& layer, const LayerMapping& mapping, const hw::Component& np,
                     const std::vector<Block>& blocks, bool depthwise, const std::string& what) {
  SCOPED_TRACE(what + ", NP " + np.ident.to_string());
  ASSERT_EQ(blocks.size(), 4u);
  const hw::SplitRecord& part = *np.split;
  const auto weights = layer.variables()->get("weights");
  const uint32_t k = weights->shape()[0];
  const uint32_t channels = layer.input_dimensions()[0][2];
  const uint32_t target = depthwise ? dwc_dma_target(k) : conv2d_dma_target(k);
  const uint32_t targets[] = {7, target, 2, 5};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(blocks[i].header.target, targets[i]) << "block " << i;
    EXPECT_EQ(blocks[i].header.ident, np.ident) << "block " << i;
    EXPECT_EQ(blocks[i].header.address, 0) << "block " << i;
  }

  // Register invariants.
  const std::vector<uint32_t> regs = words_of(blocks[0]);
  ASSERT_EQ(regs.size(), 64u);
  EXPECT_EQ(field(regs[3], 24, 31), mapping.id);
  EXPECT_EQ(field(regs[45], 24, 31), mapping.next_id);
  EXPECT_EQ(field(regs[26], 0, 10), part.start_neuron);
  EXPECT_EQ(field(regs[26], 16, 25), part.filters);
  EXPECT_EQ(field(regs[11], 12, 29),
            depthwise ? dwc_ch_cont_100b_size(k, part.filters) : conv2d_ch_cont_100b_size(k, part.filters));
  EXPECT_EQ(field(regs[3], 16, 23), mapping.nps->size());

  // Weights: the size functions' length, and the NP's own filters or channels.
  const std::vector<uint32_t> image = words_of(blocks[1]);
  if (depthwise) {
    EXPECT_EQ(image.size(), dwc_cnp_formatted_weight_32b_size(k, part.filters));
    const auto decoded = test::decode_depthwise_conv_cnp_weights(image, k, part.filters);
    ASSERT_FALSE(decoded.error) << *decoded.error;
    EXPECT_EQ(decoded.stray_bits, 0u);
    for (uint32_t n = 0; n < part.filters; ++n)
      for (uint32_t y = 0; y < k; ++y)
        for (uint32_t x = 0; x < k; ++x)
          ASSERT_EQ(decoded.values[(size_t{n} * k + y) * k + x], weights->at<int8_t>({x, y, 0, part.start_neuron + n}))
              << "channel " << part.start_neuron + n;
  } else {
    EXPECT_EQ(image.size(), conv2d_cnp_formatted_weight_32b_size(k, part.filters, channels));
    const auto decoded = test::decode_conv2d_cnp_weights(image, k, channels, part.filters);
    ASSERT_FALSE(decoded.error) << *decoded.error;
    EXPECT_EQ(decoded.stray_bits, 0u);
    for (uint32_t n = 0; n < part.filters; ++n)
      for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t y = 0; y < k; ++y)
          for (uint32_t x = 0; x < k; ++x)
            ASSERT_EQ(decoded.values[test::conv2d_index(k, channels, x, y, c, n)],
                      weights->at<int8_t>({x, y, c, part.start_neuron + n}))
                << "filter " << part.start_neuron + n;
  }

  // Input shifts: every channel for a standard convolution, the NP's own for a depthwise one.
  const auto shifts = layer.variables()->get("input_shift");
  const std::vector<uint32_t> shift_words = words_of(blocks[2]);
  const uint32_t first = depthwise ? part.start_neuron : 0;
  const uint32_t count = depthwise ? part.filters : channels;
  ASSERT_EQ(shift_words.size(), 2 * ((count + 7) / 8));
  for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(byte_at(shift_words, i), shifts->at<uint8_t>(first + i));

  // Variables: two words per neuron of the NP; the scale is the low byte of the first.
  const auto scales = layer.variables()->get("output_scales");
  const std::vector<uint32_t> variables = words_of(blocks[3]);
  ASSERT_EQ(variables.size(), 2u * part.filters);
  for (uint32_t n = 0; n < part.filters; ++n)
    EXPECT_EQ(field(variables[2 * n], 0, 7), scales->at<uint8_t>(part.start_neuron + n));
}

// Every (column, row, filter) cell of the output is computed by exactly one NP.
void check_parts_tile(const Layer& layer, const std::vector<hw::Component>& nps) {
  const Shape in = layer.input_dimensions()[0];
  const uint32_t filters = layer.output_dimensions()[2];
  std::vector<int> cover(size_t{in[0]} * in[1] * filters, 0);
  for (const auto& c : nps) {
    const hw::SplitRecord& s = *c.split;
    for (uint32_t f = s.start_neuron; f < s.start_neuron + s.filters; ++f)
      for (uint32_t y = s.spatial_partition.y; y < s.spatial_partition.y + s.spatial_partition.shape[1]; ++y)
        for (uint32_t x = s.spatial_partition.x; x < s.spatial_partition.x + s.spatial_partition.shape[0]; ++x)
          ++cover.at((size_t{f} * in[1] + y) * in[0] + x);
  }
  for (size_t i = 0; i < cover.size(); ++i) ASSERT_EQ(cover[i], 1) << "cell " << i;
}

struct Case {
  const char* what;
  LayerType type;
  Params params;
  Shape input;
  uint32_t max_filters = 0, max_width = 0, max_height = 0;
  size_t nps = 1;
};

const Params k3_16{{"filters", 16}, {"kernel_size", 3}};
const Params k3{{"kernel_size", 3}};

const Case kCases[] = {
    {"Conv2D on one NP", LayerType::Conv2D, k3_16, {16, 16, 8}},
    {"Conv2D split by filters", LayerType::Conv2D, k3_16, {16, 16, 8}, 8, 0, 0, 2},
    {"Conv2D split by width", LayerType::Conv2D, k3_16, {16, 16, 8}, 0, 8, 0, 2},
    {"Conv2D split by height", LayerType::Conv2D, k3_16, {16, 16, 8}, 0, 0, 8, 2},
    {"Conv2D split both ways", LayerType::Conv2D, k3_16, {16, 16, 8}, 8, 8, 0, 4},
    {"Conv2D 7x7", LayerType::Conv2D, {{"filters", 12}, {"kernel_size", 7}}, {16, 16, 4}},
    {"Conv2D 1x1", LayerType::Conv2D, {{"filters", 30}, {"kernel_size", 1}}, {8, 8, 5}},
    {"Conv2D 5x5 with max pooling, split by width",
     LayerType::Conv2D,
     {{"filters", 8}, {"kernel_size", 5}, {"pool_type", 1}, {"pool_size", 2}},
     {16, 16, 4},
     0,
     8,
     0,
     2},
    {"DepthwiseConv2D on one NP", LayerType::DepthwiseConv2D, k3, {16, 16, 8}},
    {"DepthwiseConv2D split by channels", LayerType::DepthwiseConv2D, k3, {16, 16, 8}, 4, 0, 0, 2},
    {"DepthwiseConv2D split by width", LayerType::DepthwiseConv2D, k3, {16, 16, 8}, 0, 8, 0, 2},
    {"DepthwiseConv2D 5x5", LayerType::DepthwiseConv2D, {{"kernel_size", 5}}, {12, 12, 6}},
    {"DepthwiseConv2D 7x7 split by height", LayerType::DepthwiseConv2D, {{"kernel_size", 7}}, {12, 16, 6}, 0, 0, 8, 2},
    {"Conv2DTranspose on one NP", LayerType::Conv2DTranspose, k3_16, {16, 16, 8}},
    {"Conv2DTranspose split by filters", LayerType::Conv2DTranspose, k3_16, {16, 16, 8}, 4, 0, 0, 4},
    {"Conv2DTranspose split by width", LayerType::Conv2DTranspose, k3_16, {16, 16, 8}, 0, 8, 0, 2},
    {"DepthwiseConv2DTranspose on one NP", LayerType::DepthwiseConv2DTranspose, k3, {16, 16, 8}},
    {"DepthwiseConv2DTranspose split by channels", LayerType::DepthwiseConv2DTranspose, k3, {16, 16, 8}, 4, 0, 0, 2},
    {"DepthwiseConv2DTranspose split by width", LayerType::DepthwiseConv2DTranspose, k3, {16, 16, 8}, 0, 8, 0, 2},
};

// Places the case's layer after an InputData layer with the case's limits.
struct Placed {
  MappedModel m;
  std::shared_ptr<Layer> layer;
  explicit Placed(const Case& c) {
    m.b.input(c.input[0], c.input[1], c.input[2]).add(c.type, c.params, "layer");
    if (c.max_filters) m.rig.constraints.set_cnp_max_filters(c.max_filters);
    if (c.max_width) m.rig.constraints.set_cnp_max_width(c.max_width);
    if (c.max_height) m.rig.constraints.set_cnp_max_height(c.max_height);
    m.map();
    layer = m("layer");
    fill_variables(*layer, static_cast<uint32_t>(c.input[0] * 131 + c.nps));
  }
  const std::vector<hw::Component>& nps() const { return *m.mapping("layer").nps; }
};

TEST(CnpRecordingMapped, EveryNpGetsItsShare) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Placed p(c);
    ASSERT_EQ(p.nps().size(), c.nps);
    check_parts_tile(*p.layer, p.nps());
    const Member member = member_of(c.type);
    const auto record = member.record(p.m.device(), *p.layer, nullptr, false, false, {}, false, false);
    EXPECT_EQ(record->version(), versions::FPGA_v2);
    const std::vector<Block> blocks = blocks_of(*record);
    // Four blocks per NP, nothing else (no merge, no skip DMA).
    ASSERT_EQ(blocks.size(), 4 * c.nps);
    for (size_t i = 0; i < c.nps; ++i)
      check_np_blocks(*p.layer, p.m.mapping("layer"), p.nps()[i], {blocks.begin() + 4 * i, blocks.begin() + 4 * i + 4},
                      member.depthwise, c.what);
  }
}

TEST(CnpRecordingMapped, RegistersOnlyRecordsTheBlocksWithoutId) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Placed p(c);
    const Member member = member_of(c.type);
    const auto record = member.record(p.m.device(), *p.layer, nullptr, false, false, {}, true, false);
    const NpRegisterMap map = member.registers(*p.layer, nullptr, false, false, {}, true, false);
    const std::vector<Block> blocks = blocks_of(*record);
    ASSERT_EQ(blocks.size(), c.nps);
    for (size_t i = 0; i < c.nps; ++i) {
      const hw::Ident& ident = p.nps()[i].ident;
      EXPECT_EQ(blocks[i].header.target, 7u);
      EXPECT_EQ(blocks[i].header.ident, ident);
      EXPECT_EQ(words_of(blocks[i]), map.at(ident));
      EXPECT_EQ(field(map.at(ident)[3], 24, 31), 0xFEu);
    }
  }
}

TEST(CnpRecordingMapped, ExcludedNpsAreLeftOut) {
  for (const Case& c : kCases) {
    if (c.nps < 2) continue;
    SCOPED_TRACE(c.what);
    Placed p(c);
    const Member member = member_of(c.type);
    const auto all = member.record(p.m.device(), *p.layer, nullptr, false, false, {}, false, false);
    const std::vector<hw::Ident> excluded = {p.nps()[0].ident};
    const auto rest = member.record(p.m.device(), *p.layer, nullptr, false, false, excluded, false, false);
    const std::vector<Block> a = blocks_of(*all);
    const std::vector<Block> b = blocks_of(*rest);
    // The first NP's four blocks are gone; the others follow unchanged, in the mapping's order.
    ASSERT_EQ(b.size(), a.size() - 4);
    for (size_t i = 0; i < b.size(); ++i) {
      EXPECT_EQ(b[i].header.ident, a[i + 4].header.ident);
      EXPECT_EQ(b[i].header.target, a[i + 4].header.target);
      EXPECT_EQ(words_of(b[i]), words_of(a[i + 4]));
    }
    // Between passes: registers only for the NPs the ending pass did not use.
    const auto idle = member.record(p.m.device(), *p.layer, nullptr, false, false, excluded, true, false);
    ASSERT_EQ(blocks_of(*idle).size(), c.nps - 1);
    for (const Block& blk : blocks_of(*idle)) EXPECT_NE(blk.header.ident, excluded[0]);
  }
}

// in -> c1 -> c2 -> c3; add = Add(c1, c3) -> "last": c1 keeps its output through a skip-DMA
// store, "last" loads it and has the Add fused into its input.
struct Residual {
  MappedModel m;
  explicit Residual(LayerType last_type, uint32_t max_filters = 0) {
    const Params conv{{"filters", 4}, {"kernel_size", 3}};
    m.b.input(8, 8, 4)
        .add(LayerType::Conv2D, conv, "c1")
        .add(LayerType::Conv2D, conv, "c2")
        .add(LayerType::Conv2D, conv, "c3")
        .add(LayerType::Add, {}, "add", {"c1", "c3"})
        .add(last_type, last_type == LayerType::Conv2D ? conv : Params{{"kernel_size", 3}}, "last");
    if (max_filters) m.rig.constraints.set_cnp_max_filters(max_filters);
    m.map();
    // Shifts that fit the merge: max(a, b) + o within -4..3.
    auto vars = m("add")->variables();
    for (uint32_t ch = 0; ch < 4; ++ch) {
      vars->get("a_shift")->set<uint8_t>(ch, static_cast<uint8_t>(ch));
      vars->get("b_shift")->set<uint8_t>(ch, static_cast<uint8_t>(3 - ch));
      vars->get("output_shift")->set<int8_t>(ch, static_cast<int8_t>(-3));
    }
  }
};

TEST(CnpRecordingMapped, SkipDmaStoreComesLast) {
  Residual r(LayerType::Conv2D);
  const LayerMapping& c1 = r.m.mapping("c1");
  ASSERT_TRUE(c1.skipdma_store());
  ASSERT_TRUE(c1.skipdma_store_info);
  const auto record = record_program_conv2d_layer(r.m.device(), *r.m("c1"), nullptr, false, false, {}, false, false);
  const std::vector<Block> blocks = blocks_of(*record);
  const size_t np_blocks = 4 * c1.nps->size();
  ASSERT_GT(blocks.size(), np_blocks);
  const hw::Ident store = c1.skipdma_store()->ident;
  const uint16_t upper = skipdma_channel_base(store.channel);
  bool saw_route = false;
  int previous_address = -1;
  for (size_t i = np_blocks; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].header.target, 11u);
    EXPECT_EQ(blocks[i].header.ident, store);
    EXPECT_GT(int{blocks[i].header.address}, previous_address) << "ascending addresses";
    previous_address = blocks[i].header.address;
    if (blocks[i].header.address == upper + 0x26) {
      saw_route = true;
      EXPECT_EQ(words_of(blocks[i]),
                std::vector<uint32_t>{(uint32_t{c1.next_id} << 8 & 0xFFFF) | c1.skipdma_store_info->flag});
    }
  }
  EXPECT_TRUE(saw_route);
  // Registers only: no skip-DMA blocks.
  const auto regs = record_program_conv2d_layer(r.m.device(), *r.m("c1"), nullptr, false, false, {}, true, false);
  for (const Block& b : blocks_of(*regs)) EXPECT_EQ(b.header.target, 7u);
}

TEST(CnpRecordingMapped, FusedAddGivesMergeShiftsAndTheLoad) {
  const struct {
    const char* what;
    LayerType type;
    uint32_t max_filters;
  } cases[] = {
      {"Conv2D", LayerType::Conv2D, 0},
      {"Conv2D split by filters", LayerType::Conv2D, 2},
      {"DepthwiseConv2D split by channels", LayerType::DepthwiseConv2D, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Residual r(c.type, c.max_filters);
    const LayerMapping& last = r.m.mapping("last");
    ASSERT_TRUE(last.merge_info && last.merge_info->is_add);
    ASSERT_TRUE(last.skipdma_load());
    const bool depthwise = c.type == LayerType::DepthwiseConv2D;
    const Member member = member_of(c.type);
    const auto record = member.record(r.m.device(), *r.m("last"), nullptr, false, false, {}, false, false);
    const std::vector<Block> blocks = blocks_of(*record);
    const auto& nps = *last.nps;
    ASSERT_GE(blocks.size(), 5 * nps.size());
    // The deeper input (c3) comes first: a = the Add's b_shift (3 - ch), b = its a_shift (ch),
    // o = -3, so s = max(a, b) - 3.
    auto merge_byte = [](uint32_t ch) {
      const int a = 3 - static_cast<int>(ch), b = static_cast<int>(ch), s = std::max(a, b) - 3;
      return static_cast<uint32_t>((std::abs(a - b) + (b >= a ? 128 : 0) + 16 * (s & 7)) & 0xFF);
    };
    for (size_t i = 0; i < nps.size(); ++i) {
      const Block& merge = blocks[5 * i + 4];
      EXPECT_EQ(merge.header.target, 10u);
      EXPECT_EQ(merge.header.ident, nps[i].ident);
      // A standard convolution takes the shifts of every channel, a depthwise NP its own.
      const uint32_t first = depthwise ? nps[i].split->start_neuron : 0;
      const uint32_t count = depthwise ? nps[i].split->filters : 4;
      std::vector<uint32_t> expected((count + 3) / 4, 0);
      for (uint32_t n = 0; n < count; ++n) expected[n / 4] |= merge_byte(first + n) << 8 * (n % 4);
      EXPECT_EQ(words_of(merge), expected);
      const std::vector<uint32_t> regs = words_of(blocks[5 * i]);
      EXPECT_EQ(field(regs[52], 0, 4), 0b10111u) << "merge with load, Add";
      EXPECT_EQ(field(regs[56], 3, 3), 1u) << "merge input";
    }
    // The load channel closes the record; its NP set is the layer's NPs.
    const hw::Ident load = last.skipdma_load()->ident;
    const uint16_t upper = skipdma_channel_base(load.channel);
    size_t load_blocks = 0;
    for (size_t i = 5 * nps.size(); i < blocks.size(); ++i) {
      EXPECT_EQ(blocks[i].header.target, 11u);
      EXPECT_EQ(blocks[i].header.ident, load);
      ++load_blocks;
      if (blocks[i].header.address == upper + 4) {
        EXPECT_EQ(blocks[i].data[0], skipdma_np_set_word(nps));
      }
    }
    EXPECT_EQ(load_blocks, 5u);
  }
}

}  // namespace
}  // namespace nuvra::v2
