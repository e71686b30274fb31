// The HRC's formatters (weight lists, tokens, positions, activations, registers) and its Stem
// records, with what they refuse.
#include "v2/fnp_hrc/hrc_formatters.h"
#include "v2/fnp_hrc/hrc_recorder.h"

#include "end_to_end_rig.h"
#include "rule_testing.h"
#include "support/model_builders.h"
#include "support/program_tools.h"

#include <gmock/gmock.h>

#include <array>
#include <random>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;
using Write = std::tuple<uint32_t, uint16_t, Words>;  // target, address, data
const auto kWrongType = ::testing::AllOf(::testing::StartsWith("Wrong requested type "),
                                         ::testing::EndsWith(" for a tensor of type uint8."));
const std::string kRange = "Coordinates are out-of-range";
std::string unsigned5(int v) { return std::to_string(v) + " cannot fit in a 5 bits unsigned integer"; }
std::string signed6(int v) { return std::to_string(v) + " cannot fit in a 6 bits signed integer"; }

// The images have the documented lengths, and (k, k, C, F) weights in layout 0 give the same
// images as the same weights as (F, C, k, k) in layout 1.
TEST(HrcFormatters, WeightImages) {
  const std::tuple<uint32_t, uint32_t, uint32_t, std::array<size_t, 3>> cases[] = {
      {3, 3, 4, {12, 12, 12}}, {16, 3, 2, {174, 174, 174}}, {3, 1, 512, {576, 576, 384}}, {16, 1, 2, {60, 57, 57}},
  };
  std::mt19937 rng(7);
  for (const auto& [k, c, f, sizes] : cases) {
    const auto row_major = Dense::create(TensorType::int8, {k, k, c, f});
    const auto reversed = Dense::create(TensorType::int8, {f, c, k, k}, Layout::Reversed);
    for (uint32_t i = 0; i < row_major->size(); ++i) {
      const auto v = static_cast<int8_t>(rng());
      row_major->set<int8_t>(i, v);
      reversed->set<int8_t>({i % f, i / f % c, i / (f * c) % k, i / (f * c * k)}, v);  // (f, c, b, a)
    }
    const HrcWeightImages images = format_hrc_weights(*row_major);
    EXPECT_EQ((std::array<size_t, 3>{images[0].size(), images[1].size(), images[2].size()}), sizes);
    EXPECT_EQ(format_hrc_weights(*reversed), images);
  }
  // Three channels, one list each: a unit holds the nine weights of a filter, rows first, as bytes.
  const auto w = i8({-1, 0, 0, -128, 0, 0, 127, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0, -2, 0, 0, 5, 0, 0},
                    {3, 3, 3, 1});
  EXPECT_EQ(format_hrc_weights(*w), (HrcWeightImages{Words{0x017F80FF, 0xFE040302, 0x05}, Words(3), Words(3)}));
  // Lists exist for one or three channels and 576 kernel-3 filters: anything else is refused
  // rather than written past.
  const std::pair<Shape, std::string> refused[] = {
      {{6, 6, 1, 2}, "Wrong kernel_size at HRC recording."},
      {{3, 3, 2, 4}, "Wrong number of channles at HRC recording."},
      {{3, 3, 4, 4}, "Wrong number of channles at HRC recording."},
      {{3, 3, 1, 577}, "Too many filters at HRC recording."},
      {{3, 3, 1}, "HRC weights must have 4 dimensions (got (3, 3, 1))"},
  };
  for (const auto& [shape, message] : refused)
    EXPECT_EQ(message_of([&] { format_hrc_weights(*Dense::create(TensorType::int8, shape)); }), message);
  EXPECT_THAT(message_of([] { format_hrc_weights(*Dense::create(TensorType::uint8, {3, 3, 1, 1})); }), kWrongType);
}

TEST(HrcFormatters, TokensPositionsAndActivations) {
  const auto tokens = i8({-1, 2, -128, 127, 0, 5}, {2, 3});
  EXPECT_EQ(format_hrc_tokens(*tokens, *u8({0, 1, 31, 7, 0, 16}, {2, 3})),
            (Words{0x0FF, 0x102, 0x1F80, 0x77F, 0x000, 0x1005}));
  EXPECT_EQ(message_of([&] { format_hrc_tokens(*tokens, *u8({0, 1, 32, 7, 0, 16}, {2, 3})); }), unsigned5(32));
  EXPECT_EQ(message_of([&] { format_hrc_tokens(*tokens, *u8({0, 1, 2, 3}, {2, 2})); }), kRange);

  EXPECT_EQ(format_hrc_pos_embeddings(*i8({1, 2, 3, 4, -1, -2, -3, -4}, {1, 8})), (Words{0x04030201, 0xFCFDFEFF}));
  // A row that does not end on a word is refused rather than read past.
  EXPECT_EQ(message_of([] { format_hrc_pos_embeddings(*i8(std::vector<int>(18, 1), {3, 6})); }), kRange);

  EXPECT_EQ(format_hrc_pos_embs_params(*u8({31, 0, 5}), *i8({-32, 31, -1}), *u8({0xAB, 255, 1})),
            (Words{0x20AB1F, 0x1FFF00, 0x3F0105}));
  EXPECT_EQ(message_of([] { format_hrc_pos_embs_params(*u8({40}), *i8({-33}), *u8({1})); }), unsigned5(40));
  EXPECT_EQ(message_of([] { format_hrc_pos_embs_params(*u8({1, 2}), *i8({0}), *u8({1, 1})); }), kRange);

  // Activations (their words are pinned by the program digests) refuse, in field order, the output
  // shift, max-value shift and bias shift that do not fit.
  const std::tuple<int, int, int, std::string> cases[] = {
      {-33, 0, 0, signed6(-33)}, {32, 32, 0, signed6(32)}, {0, 32, 33, unsigned5(32)}, {-32, 31, 31, ""}};
  for (const auto& [out_shift, mv_shift, bias_shift, message] : cases)
    EXPECT_EQ(message_of([&] {
                format_hrc_activations(*i8({out_shift}), *u8({1}), u8({mv_shift}).get(), nullptr, *u8({bias_shift}),
                                       *i8({0}));
              }),
              message);
  // Per-channel tensors shorter than the bias are not read past.
  EXPECT_EQ(message_of([] {
              format_hrc_activations(*i8({0}), *u8({1, 1}), nullptr, nullptr, *u8({0, 0}), *i8({0, 0}));
            }),
            kRange);
  EXPECT_THAT(message_of([] { format_hrc_activations(*i8({0}), *u8({1}), nullptr, nullptr, *u8({0}), *u8({0})); }),
              kWrongType);
}

// Every block of every track, in order; each must be addressed to the HRC.
std::vector<Write> writes_of(const program::Record& record) {
  std::vector<Write> out;
  for (const auto& track : record.tracks())
    for (const auto& block : decode_blocks(track.words())) {
      EXPECT_EQ(block.header.ident, (hw::Ident{0, 0, 0, 0}));
      out.emplace_back(block.header.target, block.header.address, Words(block.data.begin(), block.data.end()));
    }
  return out;
}

const StubDevice kDevice;

const Params kStem{{"input_channels", 1}, {"filters", 192}, {"kernel_size", 16}, {"activation", 1}, {"output_bits", 8}};

// The HRC rules let average pooling and other channel counts through; recording refuses them (the
// register words of every generated model's InputConv2D are pinned by the program digests).
TEST(HrcRecorder, RegisterRefusalsLeaveTheBlockUnchanged) {
  const std::string kBits =
      "Wrong output bitwidth when programming HRC: 2-bit found\nonly 8-bit and 4-bit are supported.";
  const std::tuple<int, uint8_t, uint32_t, int, int, uint32_t, std::string> cases[] = {
      {6, 8, 3, 0, 0, 8, "Wrong kernel size at HRC recording."},
      {3, 2, 3, 0, 0, 8, kBits},
      {3, 8, 2, 0, 0, 8, "Wrong number of channles at HRC recording."},
      {3, 8, 3, 2, 0, 8, "Wrong padding at HRC recording."},
      {3, 8, 3, 0, 2, 8, "Wrong pooling at HRC recording."},
      {3, 8, 3, 0, 0, 513, "512 cannot fit in a 9 bits unsigned integer"},
  };
  for (const auto& [kernel, out_bits, channels, padding, pool, filters, message] : cases) {
    Words untouched{1, 0, 0, 0, 0};
    EXPECT_EQ(message_of([&] {
                format_hrc_registers(untouched, kernel, out_bits, true, {32, 24, channels}, padding, pool, 1, 1, 1,
                                     nullptr, {}, filters);
              }),
              message);
    EXPECT_EQ(untouched, (Words{1, 0, 0, 0, 0})) << message;
  }
}

// A Stem's token register counts the extra tokens and carries the width; the token, position
// parameter and position images (a row of 192 values per token) follow the activations. (The
// InputConv2D record of every generated model is pinned by the program digests.)
TEST(HrcRecorder, StemRecords) {
  for (const auto& [size, extra, word0] :
       {std::tuple{160, 0, 0x01u}, {224, 1, 0x21u}, {256, 2, 0x31u}, {160, 3, 0x31u}}) {
    ModelBuilder s;
    s.add(LayerType::Stem, with(kStem, {{"input_width", size}, {"input_height", size}, {"num_non_patch_tokens", extra}}),
          "stem");
    fill_model(s.model());
    const auto writes = writes_of(*record_program_stem_layer(kDevice, *s.layer("stem")));
    EXPECT_EQ(writes.at(1), (Write{8, 112, {word0, uint32_t(size)}}));
    EXPECT_EQ(std::get<2>(writes.at(15)).size(), size_t((size / 16) * (size / 16) + extra) * 48) << extra;
  }
  auto unbuilt = make_layer(LayerType::Stem, with(kStem, {{"input_width", 160}, {"input_height", 160}}), "stem");
  EXPECT_EQ(message_of([&] { record_program_stem_layer(kDevice, *unbuilt); }), "The layer stem is not built");
}

}  // namespace
}  // namespace nuvra::v2
