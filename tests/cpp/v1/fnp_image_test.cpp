// FNP sizes and memory images, read back by a decoder that follows the documented layout.
#include "v1/errors.h"
#include "v1/fnp/fnp_ram.h"
#include "v1/fnp/fnp_sizes.h"

#include "support/program_tools.h"
#include "v1_testing.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

namespace nuvra::v1 {
namespace {

using test::field;
using test::fc_weights;
using test::i32;
using test::thrown;
using Words = std::vector<uint32_t>;

const auto kNone = i32({0});  // thresholds and steps that are not read

Words image_of(const Dense& w, const Dense& thr, const Dense& steps, int bits, bool act,
               const FnpLearningFields* learning = nullptr) {
  Words out(fnp_sram_size(w.shape(), bits), 0xDEADBEEF);  // every word must be written
  format_fnp_ram(out, w, thr, steps, bits, act, learning);
  return out;
}

// Weight n, k decoded from planes and blocks; any set bit past K fails the test.
std::vector<std::vector<int>> decode_weights(const Words& img, uint32_t n_count, uint32_t k_count, int bits) {
  const uint32_t P = bits == 1 ? 1 : bits - 1, B = bits == 1 ? 1 : 2, G = (k_count + 31) / 32, S = G * P * B + 4;
  EXPECT_EQ(img.size(), size_t{S} * n_count);
  std::vector<std::vector<int>> w(n_count, std::vector<int>(k_count));
  for (uint32_t n = 0; n < n_count; ++n)
    for (uint32_t b = 0; b < B; ++b)
      for (uint32_t g = 0; g < G; ++g)
        for (uint32_t j = 0; j < P; ++j)
          for (uint32_t i = 0; i < 32; ++i) {
            if (!(img[n * S + 4 + b * G * P + g * P + j] >> i & 1)) continue;
            const uint32_t k = 32 * g + i;
            if (k >= k_count) {
              ADD_FAILURE() << "bit past the inputs: neuron " << n << " input " << k;
              continue;
            }
            w[n][k] += (b ? -1 : 1) << j;
          }
  return w;
}

TEST(FnpSizes, ImageAndInputWords) {
  // (N, K, bits) -> N x S
  const std::tuple<uint32_t, uint32_t, int, uint32_t> sizes[] = {
      {3, 1, 1, 15}, {3, 32, 1, 15}, {2, 32, 2, 12}, {2, 33, 4, 32}, {5, 64, 3, 60}, {1, 81920, 4, 15364}};
  for (auto [n, k, bits, words] : sizes) EXPECT_EQ(fnp_sram_size({n, k, 1, 1}, bits), words) << n << "x" << k;
  EXPECT_EQ(fnp_sram_size({0xFFFFFFFF, 64, 1, 1}, 4), 0xFFFFFFFFu);  // saturates instead of wrapping
  for (int bits : {0, 5})
    EXPECT_EQ(thrown([&] { fnp_sram_size({1, 1, 1, 1}, bits); }),
              "Backend hardware(FullyConnected): Weight bits should be between 1 and 4 inclusive.");
}

TEST(FnpImage, RandomWeightsRoundTripThroughPlanesAndBlocks) {
  std::mt19937 rng(5);
  for (int bits = 1; bits <= 4; ++bits)
    for (uint32_t k : {1u, 31u, 33u, 70u}) {
      const int hi = bits == 1 ? 1 : (1 << (bits - 1)) - 1, lo = bits == 1 ? 0 : -hi;
      std::vector<std::vector<int>> w(3, std::vector<int>(k));
      for (auto& row : w)
        for (auto& v : row) v = lo + static_cast<int>(rng() % (hi - lo + 1));
      const auto t = fc_weights(w);
      const Words img = image_of(*t, *kNone, *kNone, bits, false);
      EXPECT_EQ(decode_weights(img, 3, k, bits), w) << bits << " bits, " << k << " inputs";
    }
}

TEST(FnpImage, PlanesOfSignedWeights) {
  // 3-bit: -3 in both planes of the negative block, 2 in plane 1 of the other, 0 nowhere.
  const Words img = image_of(*fc_weights({{-3, 2, 0}}), *kNone, *kNone, 3, false);
  EXPECT_EQ(img, (Words{0x80000, 0, 0, 0, 0b000, 0b010, 0b001, 0b001}));
}

TEST(FnpImage, HeaderWords) {
  const auto w = fc_weights({{1}, {0}, {1}});
  EXPECT_EQ(image_of(*w, *i32({-524288, -1, 524287}), *i32({0, 16, 0xFFFFF}), 1, true),
            (Words{0x80000, 0, 0, 0, 1, 0xFFFFF, 16, 0, 0, 0, 0x7FFFF, 0xFFFFF, 0, 0, 1}));
  // Without activation the thresholds and steps are not read at all.
  EXPECT_EQ(image_of(*w, *kNone, *kNone, 1, false),
            (Words{0x80000, 0, 0, 0, 1, 0x80000, 0, 0, 0, 0, 0x80000, 0, 0, 0, 1}));
}

TEST(FnpImage, Refusals) {
  const std::string fnp = "Backend hardware(FullyConnected): ";
  struct Case {
    std::vector<std::vector<int>> w;
    int bits;
    std::vector<int32_t> thr, step;
    std::string error;
  } cases[] = {
      {{{0}}, 1, {524288}, {0}, "524288 cannot fit in a 20 bits signed integer"},
      {{{0}}, 1, {-524289}, {0}, "-524289 cannot fit in a 20 bits signed integer"},
      {{{0}}, 1, {0}, {0x100000}, fnp + "act_step should be between 0 and 65535. Receives act_step 65536"},
      {{{0}}, 1, {0}, {-16}, fnp + "act_step should be between 0 and 65535. Receives act_step 268435455"},
      {{{0}, {0}}, 1, {0}, {0, 0}, "Coordinates are out-of-range"},
      // A weight the image cannot hold would spill into the next neuron's header.
      {{{1, -1}}, 1, {0}, {0}, fnp + "weights contain values out of range (0, 1) (e.g.: -1)"},
      {{{2}}, 2, {0}, {0}, fnp + "weights contain values out of range (-1, 1) (e.g.: 2)"},
      {{{7, -8}}, 4, {0}, {0}, fnp + "weights contain values out of range (-7, 7) (e.g.: -8)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(thrown([&] { image_of(*fc_weights(c.w), *i32(c.thr), *i32(c.step), c.bits, true); }), c.error);
  Words small(4);
  EXPECT_EQ(thrown([&] { format_fnp_ram(small, *fc_weights({{1}}), *i32({0}), *i32({0}), 1, false); }),
            "An FNP image of 5 words is written into 4 words");
  const std::string type_error = thrown([&] { image_of(*i32({1}), *i32({0}), *i32({0}), 1, false); });
  EXPECT_EQ(type_error.rfind("Wrong requested type ", 0), 0u) << type_error;
  EXPECT_TRUE(type_error.ends_with(" for a tensor of type int32.")) << type_error;
}

TEST(FnpImage, LearningFields) {
  const auto w = fc_weights(std::vector<std::vector<int>>(10, {1, 0}));
  const auto tl = i32({0x7FFFF, 0, 0, 0, 0, 0, 0, 0, 0, 5}), thswap = i32({70000, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  const FnpLearningFields five{*tl, *thswap, 5, 70000};
  const Words img = image_of(*w, *kNone, *kNone, 1, false, &five);
  const uint32_t S = 5;
  const uint32_t classes[] = {1, 1, 2, 2, 3, 3, 4, 4, 5, 5};
  for (uint32_t n = 0; n < 10; ++n) EXPECT_EQ(field(img[n * S + 1], 20, 29), classes[n]) << n;
  EXPECT_EQ(img[0 * S + 2], 4464u | 0x70000);  // num_weights' low 16 bits, threshold bits 16-19
  EXPECT_EQ(img[0 * S + 3], 0xFFFF0000u | 4464);
  EXPECT_EQ(img[9 * S + 3], 5u << 16 | 1);
  EXPECT_EQ(img[9 * S + 4], 1u);

  const FnpLearningFields one{*tl, *thswap, 1, 7};
  for (uint32_t n = 0; n < 10; ++n) EXPECT_EQ(field(image_of(*w, *kNone, *kNone, 1, false, &one)[n * S + 1], 20, 29), 0u);
}

TEST(FnpImage, LearningRefusals) {
  const std::string fnp = "Backend hardware(FullyConnected): ";
  const auto w = fc_weights({{1}, {0}});
  const auto ok = i32({1, 2});
  const auto negative = i32({3, -1}), wide = i32({524288, 0});
  const std::tuple<const Dense*, uint32_t, int, std::string> cases[] = {
      {ok.get(), 0, 1, fnp + "num_classes should be at least 1"},  // would divide by zero
      {ok.get(), 3, 1, fnp + "units (2) should be at least num_classes (3)"},
      {ok.get(), 1, 2, fnp + "On-chip learning needs 1-bit weights (weights_bits is 2)"},
      {negative.get(), 1, 1, fnp + "Negative value for threshold_learning not supported"},
      {wide.get(), 1, 1, "524288 cannot fit in a 20 bits signed integer"},
  };
  for (const auto& [tl, classes, bits, error] : cases) {
    const FnpLearningFields f{*tl, *ok, classes, 1};
    EXPECT_EQ(thrown([&] { image_of(*w, *kNone, *kNone, bits, false, &f); }), error);
  }
  EXPECT_EQ(thrown([] { check_learning_layer(1, 3, 2, 1); }), fnp + "units (3) should equal the 2 neurons of the weights");
}

}  // namespace
}  // namespace nuvra::v1
