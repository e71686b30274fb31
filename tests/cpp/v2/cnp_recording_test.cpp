// The CNP convolution recorders: register words of layers mapped by hand, what they refuse, and
// layers that the mapping engine placed and split, whose NPs each carry their own share.
#include "v2/cnp/cnp_recording.h"
#include "v2/cnp/shifts.h"
#include "v2/cnp/weight_formats.h"
#include "v2/np_registers.h"

#include "v2_testing.h"

#include <random>

namespace nuvra::v2 {
namespace {

using test::Block;
using test::blocks_of;
using test::error_of;
using test::field;
using test::Params;
using test::part_of;
using test::words_of;

const hw::Ident kNp{3, 2, 1, 0};
const Params kConv{{"filters", 4}, {"kernel_size", 3}}, kDwc{{"kernel_size", 3}};
const LayerType kTypes[] = {LayerType::Conv2D, LayerType::DepthwiseConv2D, LayerType::Conv2DTranspose,
                            LayerType::DepthwiseConv2DTranspose};

CnpFamily family_of(LayerType type) {
  return static_cast<CnpFamily>(std::find(std::begin(kTypes), std::end(kTypes), type) - std::begin(kTypes));
}
bool depthwise(LayerType t) { return t == LayerType::DepthwiseConv2D || t == LayerType::DepthwiseConv2DTranspose; }

// input (w, h, c, bits) -> "layer", on one NP holding `part` (the whole input) and filters start..start+count-1.
struct OneNp {
  test::ModelBuilder b;
  std::shared_ptr<Layer> layer;
  std::shared_ptr<LayerMapping> mapping;
  OneNp(LayerType type, const Params& params, Shape in = {8, 8, 4}, int bits = 8, std::optional<NpSpace> part = {},
        uint32_t start = 0, std::optional<uint32_t> count = {}) {
    b.input(in[0], in[1], in[2], bits).add(type, params, "layer");
    layer = b.layer("layer");
    const NpSpace p = part.value_or(NpSpace{0, 0, in});
    LayerMappingBuilder::map_standalone(layer, {part_of(kNp, p, start, count.value_or(layer->output_dimensions()[2]))},
                                        5, {9, 9, 0, 0});
    mapping = get_layer_mapping(*layer);
  }
  RegisterBlock registers(const CnpRecordingArgs& args = {}) const {
    return cnp_np_registers(family_of(layer->type()), *layer, args).at(kNp);
  }
  std::string error(const Layer& l) const {
    return error_of([&] { record_cnp_layer(family_of(layer->type()), test::StubDevice(), l, {}); });
  }
};

TEST(CnpRecording, RegisterWords) {
  using T = LayerType;
  const struct {
    OneNp layer;
    std::vector<std::array<uint32_t, 4>> fields;  // word, bits lo..hi, value
  } cases[] = {
      {{T::Conv2D, {{"filters", 10}, {"kernel_size", 3}}, {10, 5, 3}},
       {{4, 0, 15, 45}, {28, 0, 31, 12u << 16 | 9}, {11, 12, 29, 12}, {21, 0, 10, 10}, {29, 16, 23, 2}, {3, 2, 2, 0},
        {3, 24, 31, 5}, {20, 8, 8, 0}, {27, 0, 15, 0x011}}},
      {{T::DepthwiseConv2D, kDwc, {10, 5, 3}, 4}, {{28, 0, 31, 10u << 18 | 2}, {3, 10, 10, 0}, {22, 0, 31, 0}}},
      {{T::DepthwiseConv2D, kDwc, {10, 5, 3}, 4, NpSpace{0, 0, Shape{10, 5, 2}}, 1, 2},
       {{3, 10, 10, 1}, {22, 0, 31, 1 | 2u << 16}, {26, 0, 31, 1 | 2u << 16}}},
      {{T::Conv2DTranspose, {{"filters", 10}, {"kernel_size", 3}, {"kernel_stride", 2}}, {5, 4, 3}},
       {{11, 0, 7, 12}, {20, 8, 9, 2}, {27, 0, 15, 0x011}, {28, 0, 31, 6 | 8u << 16}, {25, 0, 9, 8}}},
      {{T::DepthwiseConv2DTranspose, kDwc, {5, 4, 3}}, {{3, 2, 2, 1}, {3, 10, 10, 0}, {22, 0, 31, 0}}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const RegisterBlock regs = cases[i].layer.registers();
    for (const auto& [word, lo, hi, value] : cases[i].fields)
      EXPECT_EQ(field(regs.at(word), lo, hi), value) << "row " << i << ", word " << word << " bit " << lo;
  }
  // A next layer on this NP prepares it (partial reconfiguration); one on another NP does not.
  for (const hw::Ident next_np : {kNp, hw::Ident{3, 2, 2, 0}}) {
    OneNp m(T::Conv2D, kConv);
    m.b.add(T::Conv2D, kConv, "next", {"layer"});
    const NpSpace whole{0, 0, Shape{8, 8, 4}};
    LayerMappingBuilder::map_standalone(m.b.layer("next"), {part_of(next_np, whole, 0, 4)}, 6, {9, 9, 0, 0});
    CnpRecordingArgs args;
    args.next_layer = m.b.layer("next");
    const RegisterBlock regs = m.registers(args);
    const uint32_t same = next_np == kNp;
    EXPECT_EQ(field(regs[32], 0, 7), same * 0x35);  // input bits code 3
    EXPECT_EQ(field(regs[41], 24, 30), same);       // one NP
  }
}

TEST(CnpRecording, Refusals) {
  for (LayerType type : kTypes) {
    SCOPED_TRACE(layer_type_name(type));
    const Params params = depthwise(type) ? kDwc : kConv;
    OneNp m(type, params);
    auto lonely = test::make_layer(type, params, "lonely");
    test::attach(lonely, m.mapping);
    const bool transposed = type == LayerType::Conv2DTranspose || type == LayerType::DepthwiseConv2DTranspose;
    EXPECT_EQ(m.error(*lonely),
              transposed ? "Cannot get input size before it is set." : "The layer lonely is not built");
    const OneNp past(type, params, {8, 8, 4}, 8, {}, 2, 4);  // filters 2..5 of 4
    EXPECT_EQ(past.error(*past.layer), "Coordinates are out-of-range");
    m.mapping->nps = test::list_of({test::component(hw::Type::CNP1, kNp)});
    EXPECT_EQ(m.error(*m.layer), "The component (3, 2, 1) of layer layer has no split record");
  }
}

const Params k3_16{{"filters", 16}, {"kernel_size", 3}};
const struct Case {
  LayerType type;
  Params params;
  Shape input;
  uint32_t max_filters, max_width, max_height;
  size_t nps;
} kCases[] = {
    {LayerType::Conv2D, k3_16, {16, 16, 8}, 8, 8, 0, 4},
    {LayerType::Conv2D, {{"filters", 12}, {"kernel_size", 7}}, {16, 16, 4}, 0, 0, 8, 2},
    {LayerType::Conv2D, {{"filters", 30}, {"kernel_size", 1}}, {8, 8, 5}, 0, 0, 0, 1},
    {LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 5}, {"pool_type", 1}, {"pool_size", 2}}, {16, 16, 4}, 0, 8,
     0, 2},
    {LayerType::DepthwiseConv2D, {{"kernel_size", 7}}, {12, 16, 6}, 4, 0, 8, 4},
    {LayerType::Conv2DTranspose, k3_16, {16, 16, 8}, 4, 8, 0, 8},
    {LayerType::DepthwiseConv2DTranspose, kDwc, {16, 16, 8}, 4, 0, 0, 2},
};

// Each case's layer placed after an InputData layer, its variables filled with random values so that
// a share taken from the wrong place shows.
TEST(CnpRecording, EveryPlacedNpGetsItsShare) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(::testing::Message() << layer_type_name(c.type) << " on " << c.nps << " NPs");
    test::MappedModel m;
    m.b.input(c.input[0], c.input[1], c.input[2]).add(c.type, c.params, "layer");
    if (c.max_filters) m.rig.constraints.set_cnp_max_filters(c.max_filters);
    if (c.max_width) m.rig.constraints.set_cnp_max_width(c.max_width);
    if (c.max_height) m.rig.constraints.set_cnp_max_height(c.max_height);
    const auto layer = m.map()("layer");
    std::mt19937 rng(c.input[0] + static_cast<uint32_t>(c.nps));
    for (const char* name : {"weights", "input_shift", "output_scales"}) {
      auto t = layer->variables()->get(name);
      for (size_t i = 0; i < t->size(); ++i) t->storage().data()[i] = static_cast<uint8_t>(rng() & 0xF);
    }
    const std::vector<hw::Component>& nps = *m.mapping("layer").nps;
    ASSERT_EQ(nps.size(), c.nps);
    std::vector<std::unique_ptr<program::Record>> records;  // the blocks view their words
    auto record = [&](const std::vector<hw::Ident>& excluded, bool registers_only) {
      CnpRecordingArgs args;
      args.excluded_nps = excluded;
      args.registers_only = registers_only;
      records.push_back(record_cnp_layer(family_of(c.type), m.device(), *layer, args));
      return blocks_of(*records.back());
    };
    const Shape in = layer->input_dimensions()[0];
    const auto vars = layer->variables();
    const auto weights = vars->get("weights");
    const bool dw = depthwise(c.type);
    const uint32_t k = weights->shape()[0];
    const std::vector<Block> blocks = record({}, false);
    ASSERT_EQ(blocks.size(), 4 * c.nps);  // registers, weights, input shifts, variables; no skip DMA
    for (size_t i = 0; i < c.nps; ++i) {
      const hw::Component& np = nps[i];
      const hw::SplitRecord& s = *np.split;
      const uint32_t targets[] = {7, dw ? dwc_dma_target(k) : conv2d_dma_target(k), 2, 5};
      for (size_t b = 0; b < 4; ++b) {
        EXPECT_EQ(blocks[4 * i + b].header.target, targets[b]);
        EXPECT_EQ(blocks[4 * i + b].header.ident, np.ident);
      }
      const std::vector<uint32_t> regs = words_of(blocks[4 * i]);
      EXPECT_EQ(field(regs.at(3), 16, 23), c.nps);
      EXPECT_EQ(regs.at(26), s.start_neuron | s.filters << 16);
      EXPECT_EQ(words_of(blocks[4 * i + 1]), dw ? format_depthwise_conv_cnp_weights(*weights, s.start_neuron, s.filters)
                                                 : format_conv2d_cnp_weights(*weights, s.start_neuron, s.filters));
      // A standard convolution takes every channel's input shift, a depthwise NP its own.
      EXPECT_EQ(words_of(blocks[4 * i + 2]),
                format_input_shift(*vars->get("input_shift"), dw ? s.start_neuron : 0, dw ? s.filters : in[2]));
      const std::vector<uint32_t> variables = words_of(blocks[4 * i + 3]);
      ASSERT_EQ(variables.size(), 2u * s.filters);
      for (uint32_t n = 0; n < s.filters; ++n)
        EXPECT_EQ(field(variables[2 * n], 0, 7), vars->get("output_scales")->at<uint8_t>(s.start_neuron + n));
    }
    if (c.nps < 2) continue;
    // registers_only: the register blocks of the NPs not excluded, without the layer id.
    const std::vector<Block> rest = record({nps[0].ident}, false), idle = record({nps[0].ident}, true);
    ASSERT_EQ(rest.size(), blocks.size() - 4);
    for (size_t i = 0; i < rest.size(); ++i) EXPECT_EQ(words_of(rest[i]), words_of(blocks[i + 4]));
    ASSERT_EQ(idle.size(), c.nps - 1);
    for (const Block& b : idle) EXPECT_EQ(field(b.data[3], 24, 31) | b.header.target << 8, 0x7FEu);
  }
}

}  // namespace
}  // namespace nuvra::v2
