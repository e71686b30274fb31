#include "v2/fnp_hrc/hrc_formatters.h"

#include "hrc_test_support.h"
#include "support/program_tools.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace nuvra {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;
using test::hrc::error_of;
using test::field;
using test::hrc::filled;
using test::hrc::i8_tensor;
using test::hrc::u8_tensor;

using Sizes = std::array<size_t, 3>;

Sizes sizes_of(const HrcWeightImages& images) { return {images[0].size(), images[1].size(), images[2].size()}; }

// Three words of one unit holding `weights` in byte order.
std::vector<uint32_t> unit(const std::vector<int>& weights) {
  std::vector<uint32_t> words(3, 0);
  for (size_t i = 0; i < weights.size(); ++i)
    words[i / 4] |= static_cast<uint32_t>(static_cast<uint8_t>(weights[i])) << (8 * (i % 4));
  return words;
}

std::vector<uint32_t> slice(const std::vector<uint32_t>& v, size_t first, size_t count) {
  return {v.begin() + static_cast<long>(first), v.begin() + static_cast<long>(first + count)};
}

struct ImageCase {
  uint32_t k, channels, filters;
  Sizes sizes;
};

class HrcWeightImage : public ::testing::TestWithParam<ImageCase> {};

// Random weights come back from the images in both tensor layouts, the two layouts give the same
// images, and the images have the documented lengths with nothing outside the layout.
TEST_P(HrcWeightImage, RoundTripsInBothLayouts) {
  const ImageCase& c = GetParam();
  const uint32_t seed = c.k * 1000 + c.channels * 100 + c.filters;
  const auto weights = test::hrc::random_hrc_weights(c.k, c.channels, c.filters, seed);
  const HrcWeightImages row_major = format_hrc_weights(*test::hrc::hrc_weight_tensor(weights, Layout::RowMajor));
  const HrcWeightImages reversed = format_hrc_weights(*test::hrc::hrc_weight_tensor(weights, Layout::Reversed));
  EXPECT_EQ(sizes_of(row_major), c.sizes);
  EXPECT_EQ(row_major, reversed);

  const auto decoded = test::hrc::decode_hrc_weights(row_major, c.k, c.channels, c.filters);
  ASSERT_FALSE(decoded.error) << *decoded.error;
  EXPECT_EQ(decoded.values, weights.values);
  EXPECT_EQ(decoded.stray_bits, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, HrcWeightImage,
    ::testing::Values(
        // three channels: one SRAM per channel, any kernel
        ImageCase{3, 3, 4, {12, 12, 12}}, ImageCase{4, 3, 3, {18, 18, 18}}, ImageCase{6, 3, 2, {24, 24, 24}},
        ImageCase{16, 3, 2, {174, 174, 174}},
        // one channel, kernel 3: fill one SRAM, then spill into the next
        ImageCase{3, 1, 1, {3, 0, 0}}, ImageCase{3, 1, 192, {576, 0, 0}}, ImageCase{3, 1, 193, {576, 3, 0}},
        ImageCase{3, 1, 512, {576, 576, 384}}, ImageCase{3, 1, 576, {576, 576, 576}},
        // one channel, kernel 4: alternate
        ImageCase{4, 1, 3, {9, 9, 0}}, ImageCase{4, 1, 1, {3, 3, 0}},
        // one channel, kernels 5, 7, 16: rotate
        ImageCase{5, 1, 1, {3, 3, 3}}, ImageCase{5, 1, 2, {6, 6, 6}}, ImageCase{7, 1, 1, {6, 6, 6}},
        ImageCase{7, 1, 2, {12, 12, 12}}, ImageCase{16, 1, 1, {30, 30, 27}}, ImageCase{16, 1, 2, {60, 57, 57}},
        ImageCase{16, 1, 192, {5568, 5568, 5568}}),
    [](const auto& info) {
      return "k" + std::to_string(info.param.k) + "_c" + std::to_string(info.param.channels) + "_f" +
             std::to_string(info.param.filters);
    });

TEST(HrcWeights, ThreeChannelsPutEachChannelInItsOwnSramRowByRow) {
  test::hrc::HrcWeights w{3, 3, 4, std::vector<int8_t>(3 * 3 * 3 * 4)};
  for (uint32_t a = 0; a < 3; ++a)
    for (uint32_t b = 0; b < 3; ++b)
      for (uint32_t c = 0; c < 3; ++c)
        for (uint32_t f = 0; f < 4; ++f)
          w.values[((a * 3 + b) * 3 + c) * 4 + f] = static_cast<int8_t>(c * 40 + f * 10 + a * 3 + b);
  const auto images = format_hrc_weights(*test::hrc::hrc_weight_tensor(w, Layout::RowMajor));
  for (int c = 0; c < 3; ++c) {
    ASSERT_EQ(images[c].size(), 12u);
    for (int f = 0; f < 4; ++f) {
      std::vector<int> expected;
      for (int i = 0; i < 9; ++i) expected.push_back(c * 40 + f * 10 + i);
      EXPECT_EQ(slice(images[c], f * 3, 3), unit(expected)) << "channel " << c << " filter " << f;
    }
  }
}

TEST(HrcWeights, SplitUnitsLeaveTheirTailEmpty) {
  // Kernel 4: nine weights in the list-0 unit, seven in the list-1 unit (bytes 7 and 8 stay 0).
  const auto k4 = format_hrc_weights(*filled(TensorType::int8, {4, 4, 1, 3}, -1));
  for (size_t u = 0; u < 3; ++u) {
    EXPECT_EQ(slice(k4[0], u * 3, 3), (std::vector<uint32_t>{0xFFFFFFFF, 0xFFFFFFFF, 0xFF})) << u;
    EXPECT_EQ(slice(k4[1], u * 3, 3), (std::vector<uint32_t>{0xFFFFFFFF, 0x00FFFFFF, 0})) << u;
  }
  EXPECT_TRUE(k4[2].empty());
  // Kernel 5: 25 weights are 9 + 9 + 7.
  const auto k5 = format_hrc_weights(*filled(TensorType::int8, {5, 5, 1, 1}, -1));
  EXPECT_EQ(k5[1], (std::vector<uint32_t>{0xFFFFFFFF, 0xFFFFFFFF, 0xFF}));
  EXPECT_EQ(k5[2], (std::vector<uint32_t>{0xFFFFFFFF, 0x00FFFFFF, 0}));
}

TEST(HrcWeights, StoresTwosComplementBytes) {
  const auto images = format_hrc_weights(*i8_tensor({-1, -128, 127, 0, 1, 2, 3, 4, -2}, {3, 3, 1, 1}));
  EXPECT_EQ(images[0], (std::vector<uint32_t>{0x007F80FF, 0x04030201, 0xFE}));
}

TEST(HrcWeights, RefusesWhatItCannotLayOut) {
  struct Case {
    Shape shape;
    Layout layout;
    std::string message;
  };
  const std::string kernel = "Wrong kernel_size at HRC recording.";
  const std::string channels = "Wrong number of channles at HRC recording.";
  const Case cases[] = {
      {{6, 6, 1, 2}, Layout::RowMajor, kernel},
      {{2, 2, 1, 2}, Layout::RowMajor, kernel},
      {{8, 8, 1, 1}, Layout::RowMajor, kernel},
      {{9, 9, 1, 1}, Layout::RowMajor, kernel},
      {{1, 1, 6, 6}, Layout::Reversed, kernel},  // (F, C, K, K): one channel, kernel 6
      // Lists exist for one or three channels only: other counts are refused, not written past.
      {{3, 3, 2, 4}, Layout::RowMajor, channels},
      {{3, 3, 4, 4}, Layout::RowMajor, channels},
      {{6, 6, 2, 1}, Layout::RowMajor, channels},
      {{4, 2, 3, 3}, Layout::Reversed, channels},
      // Three SRAMs of 192 kernel-3 units hold 576 one-channel filters.
      {{3, 3, 1, 577}, Layout::RowMajor, "Too many filters at HRC recording."},
      {{3, 3, 1}, Layout::RowMajor, "HRC weights must have 4 dimensions (got (3, 3, 1))"},
  };
  for (const auto& c : cases) {
    const auto t = Dense::create(TensorType::int8, c.shape, c.layout);
    EXPECT_EQ(error_of([&] { format_hrc_weights(*t); }), c.message) << c.shape.to_string();
  }
  const auto unsigned_weights = Dense::create(TensorType::uint8, {3, 3, 1, 1});
  const std::string e = error_of([&] { format_hrc_weights(*unsigned_weights); });
  EXPECT_THAT(e, StartsWith("Wrong requested type "));
  EXPECT_THAT(e, EndsWith(" for a tensor of type uint8."));
}

TEST(HrcTokens, PacksTokenAndShiftPerElement) {
  const auto tokens = i8_tensor({-1, 2, -128, 127, 0, 5}, {2, 3});
  const auto shifts = u8_tensor({0, 1, 31, 7, 0, 16}, {2, 3});
  EXPECT_EQ(format_hrc_tokens(*tokens, *shifts),
            (std::vector<uint32_t>{0x0FF, 0x102, 0x1F80, 0x77F, 0x000, 0x1005}));

  const auto wide_shift = u8_tensor({0, 1, 32, 7, 0, 16}, {2, 3});
  EXPECT_EQ(error_of([&] { format_hrc_tokens(*tokens, *wide_shift); }),
            "32 cannot fit in a 5 bits unsigned integer");
  const auto short_shift = u8_tensor({0, 1, 2, 3}, {2, 2});
  EXPECT_EQ(error_of([&] { format_hrc_tokens(*tokens, *short_shift); }), "Coordinates are out-of-range");
}

TEST(HrcPositionEmbeddings, FourValuesAWord) {
  EXPECT_EQ(format_hrc_pos_embeddings(*filled(TensorType::int8, {197, 64}, 1)).size(), 197u * 16);
  const auto pos = i8_tensor({1, 2, 3, 4, -1, -2, -3, -4, 9, 8, 7, 6, 0, 0, 0, -128}, {2, 8});
  EXPECT_EQ(format_hrc_pos_embeddings(*pos), (std::vector<uint32_t>{0x04030201, 0xFCFDFEFF, 0x06070809, 0x80000000}));
  // A row that does not end on a word is refused rather than read past.
  EXPECT_EQ(error_of([] { format_hrc_pos_embeddings(*filled(TensorType::int8, {3, 6}, 1)); }),
            "Coordinates are out-of-range");
}

TEST(HrcPositionEmbeddingParams, PacksShiftScaleAndSignedOutputShift) {
  const auto words = format_hrc_pos_embs_params(*u8_tensor({31, 0, 5}), *i8_tensor({-32, 31, -1}),
                                                *u8_tensor({0xAB, 255, 1}));
  EXPECT_EQ(words, (std::vector<uint32_t>{0x20AB1F, 0x1FFF00, 0x3F0105}));

  struct Case {
    std::vector<int> shift, out_shift;
    std::string message;
  };
  const Case cases[] = {
      {{32}, {0}, "32 cannot fit in a 5 bits unsigned integer"},
      {{0}, {-33}, "-33 cannot fit in a 6 bits signed integer"},
      {{0}, {32}, "32 cannot fit in a 6 bits signed integer"},
      {{40}, {-33}, "40 cannot fit in a 5 bits unsigned integer"},  // the shift is checked first
  };
  for (const auto& c : cases)
    EXPECT_EQ(error_of([&] {
                format_hrc_pos_embs_params(*u8_tensor(c.shift), *i8_tensor(c.out_shift), *u8_tensor({1}));
              }),
              c.message);
  EXPECT_EQ(error_of([] { format_hrc_pos_embs_params(*u8_tensor({1, 2}), *i8_tensor({0}), *u8_tensor({1, 1})); }),
            "Coordinates are out-of-range");
}

TEST(HrcActivations, TwoWordsPerChannel) {
  const auto words = format_hrc_activations(*i8_tensor({-32}), *u8_tensor({0xAB}), u8_tensor({31}).get(),
                                            u8_tensor({0xFF}).get(), *u8_tensor({17}), *i8_tensor({-1}));
  ASSERT_EQ(words.size(), 2u);
  const uint32_t a = words[0], b = words[1];
  EXPECT_EQ(field(a, 0, 5), 0b100000u);
  EXPECT_EQ(field(a, 6, 13), 0xABu);
  EXPECT_EQ(field(a, 14, 18), 31u);
  EXPECT_EQ(field(a, 19, 19), 1u);
  EXPECT_EQ(field(a, 20, 31), 0u);
  EXPECT_EQ(field(b, 0, 6), 0x7Fu);
  EXPECT_EQ(field(b, 7, 11), 17u);
  EXPECT_EQ(field(b, 12, 19), 0xFFu);
  EXPECT_EQ(field(b, 20, 31), 0u);

  // Ten channels without max-value tensors: 20 words with those fields 0.
  const auto ten = format_hrc_activations(*filled(TensorType::int8, {10}, 3), *filled(TensorType::uint8, {10}, 9),
                                          nullptr, nullptr, *filled(TensorType::uint8, {10}, 31),
                                          *filled(TensorType::int8, {10}, -5));
  ASSERT_EQ(ten.size(), 20u);
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(field(ten[2 * i], 14, 19), 0u);
    EXPECT_EQ(field(ten[2 * i + 1], 0, 6), 0u);
    EXPECT_EQ(ten[2 * i], 3u | 9u << 6);
    EXPECT_EQ(ten[2 * i + 1], 31u << 7 | 0xFBu << 12);
  }
}

TEST(HrcActivations, RefusesValuesOutsideTheirFields) {
  struct Case {
    int out_shift, mv_shift, bias_shift;
    std::string message;
  };
  const Case cases[] = {
      {-33, 0, 0, "-33 cannot fit in a 6 bits signed integer"},
      {32, 0, 0, "32 cannot fit in a 6 bits signed integer"},
      {0, 32, 0, "32 cannot fit in a 5 bits unsigned integer"},
      {0, 0, 33, "33 cannot fit in a 5 bits unsigned integer"},
      {-40, 32, 33, "-40 cannot fit in a 6 bits signed integer"},  // in field order
      {0, 35, 33, "35 cannot fit in a 5 bits unsigned integer"},
      {-32, 31, 31, "(no error)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(error_of([&] {
                format_hrc_activations(*i8_tensor({c.out_shift}), *u8_tensor({1}), u8_tensor({c.mv_shift}).get(),
                                       nullptr, *u8_tensor({c.bias_shift}), *i8_tensor({0}));
              }),
              c.message);
  // Per-channel tensors shorter than the bias are not read past.
  EXPECT_EQ(error_of([] {
              format_hrc_activations(*i8_tensor({0}), *u8_tensor({1, 1}), nullptr, nullptr, *u8_tensor({0, 0}),
                                     *i8_tensor({0, 0}));
            }),
            "Coordinates are out-of-range");
  const std::string e = error_of([] {
    format_hrc_activations(*i8_tensor({0}), *u8_tensor({1}), nullptr, nullptr, *u8_tensor({0}), *u8_tensor({0}));
  });
  EXPECT_THAT(e, StartsWith("Wrong requested type "));
  EXPECT_THAT(e, EndsWith(" for a tensor of type uint8."));
}

}  // namespace
}  // namespace nuvra
