// First-generation CNP recording: the register words and blocks of a standard layer mapped by
// hand, thresholds, the recorder flags, and what the recorders refuse. The blocks of separable
// layers are read back on every NP in end_to_end_test.
#include "v1/cnp/cnp_recorder.h"
#include "v1/cnp/cnp_registers.h"
#include "v1/cnp/thresholds.h"
#include "v1/errors.h"

#include "v1_layers.h"
#include "v1_testing.h"
#include "v2/v2_testing.h"

#include <typeinfo>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;

const hw::Ident kNp{3, 2, 1, 0}, kOther{4, 2, 0, 0};
using Fields = std::vector<std::array<uint32_t, 4>>;  // word, bits lo..hi, value

// input (8, 8, 4) of 1 bit -> "l", each NP holding the whole input and its filters; number 5 of
// its pass, fed by and sending to a DMA event at (9, 9).
struct Mapped : OneLayer {
  Mapped(LayerType type, const Params& params, std::vector<hw::Ident> nps = {kNp}) : OneLayer(type, params) {
    if (nps.empty()) return;
    const uint32_t filters = layer->output_dimensions()[2], share = filters / static_cast<uint32_t>(nps.size());
    std::vector<hw::Component> parts;
    for (size_t i = 0; i < nps.size(); ++i)
      parts.push_back(part_of(nps[i], {0, 0, Shape{8, 8, 4}}, static_cast<uint32_t>(i) * share, share));
    LayerMappingBuilder::map_standalone(layer, parts, 5, {9, 9, 0, 0});
  }
  std::unique_ptr<program::Record> record(std::shared_ptr<Layer> next = nullptr, bool later = false, bool last = false,
                                          std::vector<hw::Ident> excluded = {}, bool registers_only = false) const {
    const bool conv = layer->type() == LayerType::Convolutional;
    return (conv ? record_program_conv_layer : record_program_sep_conv_layer)(
        StubDevice(versions::VLQ7300_v1), *layer, std::move(next), later, last, excluded, registers_only);
  }
};

std::vector<uint32_t> registers_of(const program::Record& record, hw::Ident np = kNp) {
  for (const Block& b : blocks_of(record))
    if (b.header.target == 7 && b.header.ident == np) return words_of(b);
  return {};
}

void expect_fields(const std::vector<uint32_t>& regs, const Fields& fields) {
  ASSERT_EQ(regs.size(), kNpRegisterWords);
  for (const auto& [w, lo, hi, value] : fields)
    EXPECT_EQ(field(regs[w], lo, hi), value) << "word " << w << " bits " << lo;
}

// (target, ident, address, words) of every block.
using Layout = std::vector<std::tuple<uint32_t, hw::Ident, uint16_t, size_t>>;
Layout layout_of(const program::Record& record) {
  Layout out;
  for (const Block& b : blocks_of(record))
    out.emplace_back(b.header.target, b.header.ident, b.header.address, b.data.size());
  return out;
}

TEST(V1CnpRecording, StandardLayerOnOneNp) {
  Mapped m(LayerType::Convolutional, with(kConv3, {{"weights_bits", 2}, {"act_bits", 2}}));
  set_i32(*m.layer, "threshold", {-1, 524287, 3});
  const auto record = m.record();
  EXPECT_EQ(layout_of(*record), (Layout{{7, kNp, 0, 50}, {0, kNp, 0, 64}, {4, kNp, 0, 16}}));
  const auto regs = registers_of(*record);
  expect_fields(regs,
                {{1, 0, 31, 0x60},        {3, 0, 31, 0x05019000},  {4, 0, 31, 0x80000008},  {6, 0, 31, 0x04040000},
                 {8, 0, 31, 0x00080008},  {9, 0, 31, 0},           {10, 0, 31, 0x00080008}, {11, 0, 31, 0x4008},
                 {12, 0, 31, 0x52000000}, {13, 0, 31, 0x10},       {20, 0, 31, 0x30000000}, {21, 0, 31, 8},
                 {24, 0, 31, 0},          {25, 0, 31, 0x00080008}, {26, 0, 31, 0x00080000}, {27, 0, 31, 0x11},
                 {28, 0, 31, 0x00010001}, {29, 0, 31, 0x10000},    {36, 0, 31, 0},          {37, 0, 31, 0xFF000000},
                 {44, 0, 31, 0x06080001}, {45, 0, 31, 0xFF100909}, {46, 0, 31, 0x0909},     {47, 0, 31, 0x0903}});
  // Threshold pairs: -1 and 524287 as 20 bits, act steps of 1.0 (16).
  const auto blocks = blocks_of(*record);
  EXPECT_EQ(std::vector<uint32_t>(blocks[2].data.begin(), blocks[2].data.begin() + 6),
            (std::vector<uint32_t>{0xFFFFF, 16, 0x7FFFF, 16, 3, 16}));

  // A 1x1 layer of 1-bit weights counts its filters in word 20, none in word 21.
  Mapped one(LayerType::Convolutional, with(kConv3, {{"kernel_width", 1}, {"kernel_height", 1}, {"activation", 0}}));
  const auto r1 = one.record();
  expect_fields(registers_of(*r1), {{3, 12, 15, 0}, {20, 16, 26, 8}, {20, 28, 30, 1}, {21, 0, 31, 0}, {11, 12, 21, 4}});
  for (size_t i = 0; i < 16; i += 2) EXPECT_EQ(blocks_of(*r1)[2].data[i], 0x80000u);  // no activation: no threshold

  // Stride 2 sets word 20 bit 8 beside the kernel size; the output window halves.
  Mapped two(LayerType::Convolutional, with(kConv3, {{"stride_x", 2}, {"stride_y", 2}}));
  expect_fields(registers_of(*two.record()), {{20, 0, 31, 0x30000100}, {25, 0, 31, 0x00040004}});
}

TEST(V1CnpRecording, Flags) {
  // Two NPs: partial reconfiguration where the next layer runs on the same NP, spikes for a
  // later pass, the routing flag, excluded NPs and registers only.
  Mapped m(LayerType::Convolutional, kConv3, {kNp, kOther});
  Mapped next(LayerType::FullyConnected, {{"units", 4}}, {});
  LayerMappingBuilder::map_standalone(next.layer, {component(hw::Type::FNP3, kOther)}, 1, {9, 9, 0, 0});
  get_layer_mapping(*next.layer)->prev_id = 0x42;
  const auto record = m.record(next.layer, true, true);
  const auto shared = registers_of(*record, kOther), own = registers_of(*record, kNp);
  expect_fields(shared,
                {{32, 0, 31, 0x42000007}, {2, 0, 31, 0x80}, {44, 2, 2, 1}, {3, 16, 23, 2}, {26, 0, 31, 0x00040004}});
  expect_fields(own, {{32, 0, 31, 0}, {2, 0, 31, 0x80}, {26, 0, 31, 0x00040000}});

  EXPECT_EQ(layout_of(*m.record(nullptr, false, false, {kOther})),
            (Layout{{7, kNp, 0, 50}, {0, kNp, 0, 64}, {4, kNp, 0, 8}, {7, kOther, 0, 0}, {0, kOther, 0, 64},
                    {4, kOther, 0, 8}}));
  EXPECT_EQ(layout_of(*m.record(nullptr, false, false, {kNp}, true)), (Layout{{7, kNp, 0, 0}, {7, kOther, 0, 50}}));
  Mapped sep(LayerType::SeparableConvolutional, kConv3);
  EXPECT_EQ(layout_of(*sep.record(nullptr, false, false, {}, true)), (Layout{{7, kNp, 0, 50}}));
}

TEST(V1CnpRecording, Thresholds) {
  const auto t = i32({-1, 524287, -524288, 0}), a = i32({0, 0xFFFFF, 16, 32});
  std::vector<uint32_t> out(6);
  format_cnp_thresholds(out, *t, *a, true, 1, 3);
  EXPECT_EQ(out, (std::vector<uint32_t>{0x7FFFF, 0xFFFFF, 0x80000, 16, 0, 32}));
  format_cnp_thresholds(out, *t, *a, false, 0, 3);
  EXPECT_EQ(out, (std::vector<uint32_t>{0x80000, 0, 0x80000, 0xFFFFF, 0x80000, 16}));

  const auto refused = [&](int32_t threshold, int32_t step, bool with) {
    t->set<int32_t>(0, threshold), a->set<int32_t>(0, step);
    std::vector<uint32_t> two(2, 0xAB);
    const std::string text = message_of([&] { format_cnp_thresholds(two, *t, *a, with, 0, 1); });
    EXPECT_EQ(message_of([&] { check_cnp_thresholds(*t, *a, with, 0, 1); }), text);
    return text;
  };
  EXPECT_EQ(refused(524288, 0, true), "524288 cannot fit in a 20 bits signed integer");
  EXPECT_EQ(refused(524288, 0, false), "");
  const std::string step = "Backend hardware(CNP): act_step should be between 0 and 65535. Receives act_step ";
  EXPECT_EQ(refused(0, 0x100000, true), step + "65536");
  EXPECT_EQ(refused(0, -16, false), step + "-1");
  EXPECT_EQ(refused(524288, 0x100000, true), "524288 cannot fit in a 20 bits signed integer");  // threshold first
  EXPECT_THROW(check_cnp_thresholds(*t, *a, true, 2, 3), std::runtime_error);                   // past the tensors
  EXPECT_EQ(message_of([&] { check_cnp_thresholds(*t, *Dense::create(TensorType::float32, {4}), true, 0, 1); }),
            "Wrong requested type i for a tensor of type float32.");
}

// Word 27 with pooling at the input's edges (without pooling: StandardLayerOnOneNp).
TEST(V1CnpRecording, BorderPaddingFlags) {
  const auto word27 = [](NpSpace part, CnpPooling pooling) {
    RegisterBlock block(kNpRegisterWords, 0);
    np_border_padding_flags(&block, {16, 12, 8}, part, pooling);
    return block[27];
  };
  const PaddingParams all{1, 1, 1, 1};
  EXPECT_EQ(word27({0, 0, Shape{16, 12, 8}}, {2, 2, all, true}), 0xF122u);
  EXPECT_EQ(word27({8, 4, Shape{8, 8, 8}}, {3, 2, all, true}), 0x5123u);  // right and bottom edges only
  EXPECT_EQ(word27({8, 4, Shape{8, 8, 8}}, {3, 2, {1, 0, 1, 0}, true}), 0x0123u);
}

TEST(V1CnpRecording, Refusals) {
  Mapped m(LayerType::Convolutional, kConv3);
  const auto unbuilt = make_layer(LayerType::Convolutional, kConv3, "unbuilt");
  attach(unbuilt, get_layer_mapping(*m.layer));
  const StubDevice device(versions::VLQ7300_v1);
  EXPECT_EQ(message_of([&] { record_program_conv_layer(device, *unbuilt, nullptr, false, false, {}, false); }),
            "The layer unbuilt is not built");
  EXPECT_THROW(record_program_sep_conv_layer(device, *m.layer, nullptr, false, false, {}, false), std::bad_cast);

  auto steps = Dense::create(TensorType::float32, {8});
  steps->set<float>(7, 65536.f);
  m.layer->variables()->set("act_step", steps);
  EXPECT_THROW(m.record(), CnpError);

  // A part whose window starts 9 columns before it.
  Mapped far(LayerType::Convolutional, kConv3);
  hw::SplitRecord split{0, 8, {9, 0, Shape{4, 8, 4}}, {0, 0, Shape{13, 8, 4}}, false};
  (*get_layer_mapping(*far.layer)->nps)[0].split = split;
  EXPECT_EQ(message_of([&] { far.record(); }), "-9 cannot fit in a 4 bits signed integer");
}

}  // namespace
}  // namespace nuvra::v1
