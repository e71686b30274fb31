// CNP weight images, their sizes, the input and merge shifts and the per-neuron variables.
#include "v2/cnp/common_config.h"
#include "v2/cnp/shifts.h"
#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/tnp_vit/tnp_b_sizes.h"

#include "rule_testing.h"
#include "v2_testing.h"

#include <gmock/gmock.h>

#include <bit>
#include <map>
#include <random>

namespace nuvra::v2 {
namespace {

using test::error_of;
using test::i8;
using test::u8;
using ::testing::EndsWith;
using ::testing::StartsWith;
using Words = std::vector<uint32_t>;

constexpr uint32_t kMax = 0xFFFFFFFF;
const std::string kRange = "Coordinates are out-of-range";

// What a packer writes into `n` words of garbage: it must write every one of them.
template <class F>
Words packed(size_t n, F&& pack) {
  Words w(n, 0xA5A5A5A5u);
  pack(std::span<uint32_t>(w));
  return w;
}

// Reads an image by the documented layouts (not by the packer), marking the bits weights own.
struct Image {
  std::vector<uint8_t> bytes, owned;
  explicit Image(const Words& w) : bytes(w.size() * 4), owned(w.size() * 4) {
    for (size_t p = 0; p < bytes.size(); ++p) bytes[p] = static_cast<uint8_t>(w[p / 4] >> 8 * (p % 4));
  }
  uint8_t take(size_t p, uint8_t mask) {
    if (p >= bytes.size() || (owned[p] & mask)) throw std::logic_error("layout overlaps or overruns the image");
    owned[p] |= mask;
    return bytes[p] & mask;
  }
  size_t stray_bits() const {
    size_t n = 0;
    for (size_t p = 0; p < bytes.size(); ++p) n += std::popcount(static_cast<uint8_t>(bytes[p] & ~owned[p]));
    return n;
  }
};

// Conv2D by kernel: filters a group holds, its bytes per input channel, bytes a kernel row, bytes a filter.
// Depthwise by kernel: bytes a channel takes, bytes between channels, bytes a kernel row.
const std::map<uint32_t, std::array<uint32_t, 4>> kConv = {
    {1, {24, 24, 0, 1}}, {3, {8, 72, 24, 3}}, {4, {8, 144, 36, 4}}, {5, {8, 240, 48, 6}}, {7, {8, 896, 128, 16}}};
const std::map<uint32_t, std::array<uint32_t, 3>> kDwc = {
    {3, {12, 12, 3}}, {4, {24, 24, 6}}, {5, {36, 30, 6}}, {7, {84, 84, 12}}};

// Filter ranges (first, count) around the 8- and 24-filter groups, stored both ways round; 1x1
// blocks longer than 192 bytes, with and without a partial last 32-byte piece.
const std::tuple<uint32_t, uint32_t, Layout> kRanges[] = {
    {0, 1, Layout::RowMajor},   {3, 9, Layout::Reversed},   {0, 24, Layout::Reversed},
    {2, 25, Layout::RowMajor},  {7, 200, Layout::RowMajor}, {1, 250, Layout::RowMajor}};

TEST(CnpWeightFormats, RoundTripThroughTheDocumentedLayouts) {
  for (uint32_t k : {1u, 3u, 4u, 5u, 7u}) {
    for (bool dw : {false, true}) {
      for (auto [first, count, layout] : kRanges) {
        if (dw && k == 1) continue;
        SCOPED_TRACE(::testing::Message() << (dw ? "dwc k" : "conv k") << k << " count " << count);
        const uint32_t channels = dw ? 1 : 3, groups = dw ? 0 : (count + kConv.at(k)[0] - 1) / kConv.at(k)[0];
        auto w = Dense::create(TensorType::int8, {k, k, channels, first + count + 2}, layout);
        std::mt19937 rng(k * 100 + count);
        for (size_t i = 0; i < w->size(); ++i) w->data<int8_t>()[i] = static_cast<int8_t>(rng());
        const Words words =
            dw ? packed(dwc_cnp_formatted_weight_32b_size(k, count),
                        [&](std::span<uint32_t> out) { format_depthwise_conv_cnp_weights(*w, first, count, out); })
               : packed(conv2d_cnp_formatted_weight_32b_size(k, count, channels),
                        [&](std::span<uint32_t> out) { format_conv2d_cnp_weights(*w, first, count, out); });
        ASSERT_EQ(words.size() * 4, dw ? kDwc.at(k)[0] * count : channels * groups * kConv.at(k)[1]);
        ASSERT_EQ(words.size(), dw ? dwc_cnp_formatted_weight_32b_size(k, count)
                                   : conv2d_cnp_formatted_weight_32b_size(k, count, channels));
        Image image(words);
        size_t wrong = 0;
        for (uint32_t n = 0; n < count; ++n)
          for (uint32_t c = 0; c < channels; ++c)
            for (uint32_t y = 0; y < k; ++y)
              for (uint32_t x = 0; x < k; ++x) {
                uint8_t v;
                if (dw) {  // kernel 7 rows: 4 weights, 2 zero bytes, 3 weights
                  v = image.take(n * kDwc.at(k)[1] + y * kDwc.at(k)[2] + (k == 7 && x >= 4 ? x + 2 : x), 0xFF);
                } else {
                  const auto [group, bytes, row, filter] = kConv.at(k);
                  const size_t unit = (c * groups + n / group) * bytes + y * row + n % group * filter;
                  // kernel 7 column 6: low two bits in byte 6 of the unit, high six in byte 8
                  v = k == 7 && x == 6 ? image.take(unit + 6, 0x03) | image.take(unit + 8, 0x3F) << 2
                                       : image.take(unit + x, 0xFF);
                }
                wrong += static_cast<int8_t>(v) != w->at<int8_t>({x, y, c, first + n});
              }
        EXPECT_EQ(wrong, 0u);
        EXPECT_EQ(image.stray_bits(), 0u);
      }
    }
  }
}

// Several filter ranges formatted together give each range's own image: word-wide and byte-wise
// 1x1 blocks, ranges at the end of the tensor, repeated and empty ranges, other kernels; a
// refused range leaves every image unwritten.
TEST(CnpWeightFormats, PartsFormattedTogetherAsOneByOne) {
  using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;
  const Ranges split = {{0, 47}, {47, 47}, {94, 47}, {141, 47}, {188, 12}};
  const std::tuple<uint32_t, uint32_t, uint32_t, Layout, Ranges> cases[] = {
      {1, 40, 200, Layout::RowMajor, split},
      {1, 40, 200, Layout::Reversed, split},
      {1, 40, 1100, Layout::RowMajor, {{0, 100}, {900, 200}, {100, 0}, {0, 100}, {1099, 1}}},
      {1, 2, 17, Layout::RowMajor, {{0, 9}, {9, 8}, {16, 1}}},
      {3, 4, 30, Layout::RowMajor, {{0, 10}, {10, 20}, {0, 10}}},
  };
  for (const auto& [k, channels, filters, layout, ranges] : cases) {
    SCOPED_TRACE(::testing::Message() << "k" << k << " channels " << channels << " filters " << filters);
    auto w = Dense::create(TensorType::int8, {k, k, channels, filters}, layout);
    std::mt19937 rng(filters + channels);
    for (size_t i = 0; i < w->size(); ++i) w->data<int8_t>()[i] = static_cast<int8_t>(rng());
    std::vector<Words> images;
    for (const auto& [first, count] : ranges)
      images.emplace_back(conv2d_cnp_formatted_weight_32b_size(k, count, channels), 0xA5A5A5A5u);
    std::vector<Conv2dWeightPart> parts;
    for (size_t i = 0; i < ranges.size(); ++i) parts.push_back({ranges[i].first, ranges[i].second, images[i]});
    format_conv2d_cnp_weight_parts(*w, parts);
    for (size_t i = 0; i < ranges.size(); ++i)
      EXPECT_EQ(images[i], format_conv2d_cnp_weights(*w, ranges[i].first, ranges[i].second)) << i;

    parts.push_back({filters - 1, 2, {}});
    for (auto& image : images) std::fill(image.begin(), image.end(), 0xA5A5A5A5u);
    EXPECT_EQ(error_of([&] { format_conv2d_cnp_weight_parts(*w, parts); }), kRange);
    for (const auto& image : images) EXPECT_EQ(std::count(image.begin(), image.end(), 0xA5A5A5A5u), image.size());
  }
}

TEST(CnpWeightFormats, RefusedRequests) {
  const std::string kernel = "ch_cont_size: Unexpected kernel size";
  const std::tuple<bool, TensorType, Shape, uint32_t, uint32_t, std::string> cases[] = {
      {false, TensorType::int8, {2, 2, 2, 4}, 0, 4, kernel},  {true, TensorType::int8, {1, 1, 1, 4}, 0, 4, kernel},
      {false, TensorType::int8, {3, 3, 2, 8}, 5, 4, kRange},
      {false, TensorType::int8, {3, 3, 2, 8}, kMax, 2, kRange}, {false, TensorType::int8, {3, 2, 2, 8}, 0, 8, kRange},
      {true, TensorType::int8, {5, 5, 1, 4}, 2, 3, kRange},   {true, TensorType::int8, {3, 3}, 0, 1, kRange}};
  for (const auto& [dw, type, shape, first, count, message] : cases) {
    const auto w = Dense::create(type, shape);
    const auto format = [dw = dw](const Dense& d, uint32_t f, uint32_t n) {
      return dw ? format_depthwise_conv_cnp_weights(d, f, n) : format_conv2d_cnp_weights(d, f, n);
    };
    EXPECT_EQ(error_of([&] { format(*w, first, count); }), message) << shape.to_string() << " from " << first;
    // What the recorders check before they leave the formatting to the writing of the program.
    const auto check = [dw = dw](const Dense& d, uint32_t f, uint32_t n) {
      dw ? check_depthwise_conv_cnp_weights(d, f, n) : check_conv2d_cnp_weights(d, f, n);
    };
    EXPECT_EQ(error_of([&] { check(*w, first, count); }), message) << shape.to_string() << " from " << first;
  }
  EXPECT_TRUE(format_conv2d_cnp_weights(*Dense::create(TensorType::int8, {3, 3, 1, 8}), 100, 0).empty());
  EXPECT_THAT(error_of([] { format_conv2d_cnp_weights(*Dense::create(TensorType::uint8, {3, 3, 1, 8}), 0, 8); }),
              StartsWith("Wrong requested type "));
}

TEST(CnpWeightSizes, DocumentedValuesSaturationAndTargets) {
  const std::pair<uint32_t, uint32_t> sizes[] = {
      {conv2d_ch_cont_100b_size(1, 49), 6},      {conv2d_ch_cont_100b_size(3, 10), 12},
      {buffer_temp_conv_ch_cont_100b_size(25), 4}, {tnp_b_buffer_temp_conv_formatted_weight_32b_size(5, 6), 36},
      {depthwise_buffer_temp_conv_formatted_weight_32b_size(3, 2), 24},
      // past 32 bits: saturated, never wrapped into a size that seems to fit
      {conv2d_ch_cont_100b_size(7, kMax), kMax}, {conv2d_cnp_formatted_weight_32b_size(3, 2048, kMax), kMax},
      {dwc_cnp_formatted_weight_32b_size(3, 0x60000000), kMax},
      {buffer_temp_conv_tnp_formatted_weight_100b_size(kMax, 1, 1), kMax},
      {depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(kMax, 1), kMax}};
  for (size_t i = 0; i < std::size(sizes); ++i) EXPECT_EQ(sizes[i].first, sizes[i].second) << "row " << i;
}

TEST(CnpShifts, InputShiftPairsOfWordsFromStorageOrder) {
  const auto shifts = [](const std::shared_ptr<Dense>& t, uint32_t first, uint32_t count) {
    return packed(input_shift_32b_size(*t, count),
                  [&](std::span<uint32_t> out) { format_input_shift(*t, first, count, out); });
  };
  EXPECT_EQ(shifts(u8({1, 2, 3, 4, 5, 6, 7, 8, 9}), 0, 9), (Words{0x04030201, 0x08070605, 9, 0}));
  EXPECT_EQ(shifts(u8({7, 6, 5}), 0, 0), (Words{0x00050607, 0}));  // count 0: the whole tensor
  EXPECT_EQ(shifts(u8({1, 2, 3, 4, 5, 6, 7, 8, 9}), 3, 6), (Words{0x07060504, 0x00000908}));
  auto nibbles = Dense::create(TensorType::uint4, {2, 3});
  for (uint8_t i = 0; i < 6; ++i) nibbles->set<uint8_t>(i, i + 1);
  EXPECT_EQ(format_input_shift(*nibbles), (Words{0x04030201, 0x0605}));
  const std::pair<uint32_t, uint32_t> past[] = {{3, 2}, {1, 0}, {kMax, 2}, {0, kMax}};
  for (auto [first, count] : past)
    EXPECT_EQ(error_of([&] { format_input_shift(*u8({1, 2, 3, 4}), first, count); }), kRange) << first;
  EXPECT_THAT(error_of([] { format_input_shift(*i8({1}), 0, 1); }), EndsWith("for a tensor of type int8."));
}

TEST(CnpShifts, MergeShiftByteAddsDifferenceSignAndShift) {
  const std::tuple<int, int, int, uint32_t> bytes[] = {
      {2, 5, -4, 0x93}, {5, 2, -6, 0x73}, {4, 4, -1, 0xB0}, {0, 20, -17, 0xC4}, {0, 130, -127, 50}};
  for (auto [a, b, o, byte] : bytes) EXPECT_EQ(format_merge_layer_shift(u8({a}), u8({b}), i8({o}), 0, 1), Words{byte});
  const std::string fit = " cannot fit in a 3 bits signed integer";
  const std::tuple<std::shared_ptr<const Dense>, std::shared_ptr<const Dense>, std::shared_ptr<const Dense>, uint32_t,
                   std::string> refused[] = {
      {u8({1}), u8({6}), i8({-2}), 1, "4" + fit}, {u8({1}), u8({0}), i8({-6}), 1, "-5" + fit},
      {u8({0, 0}), u8({0, 0}), i8({0}), 2, kRange},
      {u8({0, 0, 0}, {1, 3}), u8({0, 0}), i8({0, 0}), 2, kRange},  // read through its stride
      {u8({0}), nullptr, i8({0}), 1, "format_merge_layer_shift: a merge shift variable is missing"}};
  for (const auto& [a, b, o, count, message] : refused)
    EXPECT_EQ(error_of([&] { format_merge_layer_shift(a, b, o, 0, count); }), message);
}

// scales bits 0-7, bias 8-15, bias shift 16-20, output shift 21-26, max value shift 27-31; then the max value
constexpr uint32_t even(uint32_t scales, uint32_t bias, uint32_t bias_shift, uint32_t shift, uint32_t mv_shift) {
  return scales | bias << 8 | bias_shift << 16 | shift << 21 | mv_shift << 27;
}

TEST(CnpTnpVariables, WordPairsPerNeuron) {
  const auto mv = u8({200, 1, 2, 3}), mvs = u8({0x25, 1, 31, 0}), os = i8({-32, 31, 0, -1}),
             bs = u8({0x3F, 2, 0, 31}), bias = i8({-2, 127, -128, 0}), sc = u8({0xAB, 0x10, 0, 255});
  EXPECT_EQ(cnp_tnp_variables(mv.get(), mvs.get(), os.get(), bs.get(), bias.get(), sc.get(), 0, 1),
            (Words{even(0xAB, 0xFE, 0x1F, 0b100000, 5), 200}));  // shifts keep 5 bits
  EXPECT_EQ(cnp_tnp_variables(nullptr, nullptr, nullptr, nullptr, bias.get(), nullptr, 2, 1), (Words{0x8000, 0}));
  EXPECT_TRUE(cnp_tnp_variables(mv.get(), mvs.get(), os.get(), bs.get(), bias.get(), sc.get(), 1000, 0).empty());
  const auto wide = i8({0, 32}), short_bias = i8({1, 2});
  EXPECT_EQ(error_of([&] { cnp_tnp_variables(nullptr, nullptr, wide.get(), nullptr, nullptr, nullptr, 0, 2); }),
            "32 cannot fit in a 6 bits signed integer");
  EXPECT_EQ(error_of([&] { cnp_tnp_variables(mv.get(), nullptr, nullptr, nullptr, short_bias.get(), nullptr, 0, 3); }),
            kRange);
}

}  // namespace
}  // namespace nuvra::v2
