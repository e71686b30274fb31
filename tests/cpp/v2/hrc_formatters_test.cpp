#include "v2/fnp_hrc/hrc_formatters.h"

#include "rule_testing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

namespace nuvra {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;
const auto kWrongType = ::testing::AllOf(::testing::StartsWith("Wrong requested type "),
                                         ::testing::EndsWith(" for a tensor of type uint8."));
const std::string kRange = "Coordinates are out-of-range";
std::string unsigned5(int v) { return std::to_string(v) + " cannot fit in a 5 bits unsigned integer"; }
std::string signed6(int v) { return std::to_string(v) + " cannot fit in a 6 bits signed integer"; }

// The images have the documented lengths, and (k, k, C, F) weights in layout 0 give the same
// images as the same weights as (F, C, k, k) in layout 1.
TEST(HrcFormatters, WeightImages) {
  const std::tuple<uint32_t, uint32_t, uint32_t, std::array<size_t, 3>> cases[] = {
      {3, 3, 4, {12, 12, 12}},  {16, 3, 2, {174, 174, 174}},  {3, 1, 193, {576, 3, 0}}, {3, 1, 512, {576, 576, 384}},
      {4, 1, 3, {9, 9, 0}},     {5, 1, 1, {3, 3, 3}},          {7, 1, 2, {12, 12, 12}},  {16, 1, 2, {60, 57, 57}},
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

  EXPECT_EQ(format_hrc_pos_embeddings(*i8(std::vector<int>(197 * 64, 1), {197, 64})).size(), 197u * 16);
  EXPECT_EQ(format_hrc_pos_embeddings(*i8({1, 2, 3, 4, -1, -2, -3, -4}, {1, 8})), (Words{0x04030201, 0xFCFDFEFF}));
  // A row that does not end on a word is refused rather than read past.
  EXPECT_EQ(message_of([] { format_hrc_pos_embeddings(*i8(std::vector<int>(18, 1), {3, 6})); }), kRange);

  EXPECT_EQ(format_hrc_pos_embs_params(*u8({31, 0, 5}), *i8({-32, 31, -1}), *u8({0xAB, 255, 1})),
            (Words{0x20AB1F, 0x1FFF00, 0x3F0105}));
  EXPECT_EQ(message_of([] { format_hrc_pos_embs_params(*u8({40}), *i8({-33}), *u8({1})); }), unsigned5(40));
  EXPECT_EQ(message_of([] { format_hrc_pos_embs_params(*u8({1, 2}), *i8({0}), *u8({1, 1})); }), kRange);

  // Activations: two words per channel.
  EXPECT_EQ(format_hrc_activations(*i8({-32}), *u8({0xAB}), u8({31}).get(), u8({0xFF}).get(), *u8({17}), *i8({-1})),
            (Words{0b100000u | 0xABu << 6 | 31u << 14 | 1u << 19, 0x7Fu | 17u << 7 | 0xFFu << 12}));
  // Without max-value tensors those fields stay 0.
  EXPECT_EQ(format_hrc_activations(*i8({3, 3}), *u8({9, 9}), nullptr, nullptr, *u8({31, 31}), *i8({-5, -5})),
            (Words{3u | 9u << 6, 31u << 7 | 0xFBu << 12, 3u | 9u << 6, 31u << 7 | 0xFBu << 12}));
  // In field order: output shift, max-value shift, bias shift.
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

}  // namespace
}  // namespace nuvra
