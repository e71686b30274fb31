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

}  // namespace
}  // namespace nuvra::v2
