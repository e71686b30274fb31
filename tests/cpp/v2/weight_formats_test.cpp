#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/cnp_weight_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

namespace nuvra::v2 {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;
using test::conv2d_index;

using Value = std::function<int8_t(uint32_t x, uint32_t y, uint32_t c, uint32_t n)>;

std::shared_ptr<Dense> weight_tensor(const Shape& shape, const Value& value, Layout layout = Layout::RowMajor,
                                     TensorType type = TensorType::int8) {
  auto t = Dense::create(type, shape, layout);
  for (uint32_t n = 0; n < shape[3]; ++n)
    for (uint32_t c = 0; c < shape[2]; ++c)
      for (uint32_t y = 0; y < shape[1]; ++y)
        for (uint32_t x = 0; x < shape[0]; ++x) t->set<int8_t>({x, y, c, n}, value(x, y, c, n));
  return t;
}

Value random_weights(uint32_t seed) {
  auto rng = std::make_shared<std::mt19937>(seed);
  return [rng](uint32_t, uint32_t, uint32_t, uint32_t) {
    return static_cast<int8_t>(std::uniform_int_distribution<int>(-128, 127)(*rng));
  };
}

// Bytes of an image, byte p = bits 8*(p%4).. of word p/4.
uint8_t byte_at(const std::vector<uint32_t>& words, size_t p) {
  return static_cast<uint8_t>(words.at(p / 4) >> (8 * (p % 4)));
}

template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

const uint32_t kConvKernels[] = {1, 3, 4, 5, 7};
const uint32_t kDwcKernels[] = {3, 4, 5, 7};
// Around the 8- and 24-filter containers.
const uint32_t kFilterCounts[] = {1, 7, 8, 9, 24, 25, 64, 100};

// Random weights -> pack -> decode gives them back, nothing else is set, and the image is
// exactly as long as the size functions say; from the start of the tensor and from inside it,
// with filters contiguous (layout 0) and strided (layout 1).
TEST(Conv2dWeightFormat, RoundTripsEveryKernelAndFilterClass) {
  const uint32_t channels = 3;
  for (uint32_t k : kConvKernels) {
    for (uint32_t count : kFilterCounts) {
      for (auto [first, layout] : {std::pair{0u, Layout::RowMajor}, std::pair{5u, Layout::RowMajor},
                                   std::pair{3u, Layout::Reversed}}) {
        SCOPED_TRACE(::testing::Message() << "k" << k << " count " << count << " first " << first << " layout "
                                          << static_cast<int>(layout));
        const Shape shape{k, k, channels, first + count + (first ? 2 : 0)};
        const auto w = weight_tensor(shape, random_weights(k * 1000 + count + first), layout);
        const auto words = format_conv2d_cnp_weights(*w, first, count);
        ASSERT_EQ(words.size(), conv2d_cnp_formatted_weight_32b_size(k, count, channels));
        const auto decoded = test::decode_conv2d_cnp_weights(words, k, channels, count);
        ASSERT_FALSE(decoded.error) << *decoded.error;
        EXPECT_EQ(decoded.stray_bits, 0u);
        size_t wrong = 0;
        for (uint32_t n = 0; n < count; ++n)
          for (uint32_t c = 0; c < channels; ++c)
            for (uint32_t y = 0; y < k; ++y)
              for (uint32_t x = 0; x < k; ++x)
                wrong += decoded.values[conv2d_index(k, channels, x, y, c, n)] !=
                         w->at<int8_t>({x, y, c, first + n});
        EXPECT_EQ(wrong, 0u);
      }
    }
  }
}

TEST(DepthwiseWeightFormat, RoundTripsEveryKernelAndChannelClass) {
  for (uint32_t k : kDwcKernels) {
    for (uint32_t count : kFilterCounts) {
      for (auto [first, layout] : {std::pair{0u, Layout::RowMajor}, std::pair{3u, Layout::RowMajor},
                                   std::pair{2u, Layout::Reversed}}) {
        SCOPED_TRACE(::testing::Message() << "k" << k << " count " << count << " first " << first << " layout "
                                          << static_cast<int>(layout));
        const auto w =
            weight_tensor({k, k, 1, first + count + (first ? 1 : 0)}, random_weights(k * 77 + count), layout);
        const auto words = format_depthwise_conv_cnp_weights(*w, first, count);
        ASSERT_EQ(words.size(), dwc_cnp_formatted_weight_32b_size(k, count));
        const auto decoded = test::decode_depthwise_conv_cnp_weights(words, k, count);
        ASSERT_FALSE(decoded.error) << *decoded.error;
        EXPECT_EQ(decoded.stray_bits, 0u);
        size_t wrong = 0;
        for (uint32_t c = 0; c < count; ++c)
          for (uint32_t y = 0; y < k; ++y)
            for (uint32_t x = 0; x < k; ++x)
              wrong += decoded.values[(size_t{c} * k + y) * k + x] != w->at<int8_t>({x, y, 0, first + c});
        EXPECT_EQ(wrong, 0u);
      }
    }
  }
}

// The packers follow the strides: the same logical weights stored column-major give the same image.
TEST(CnpWeightFormats, LayoutOneGivesTheImageOfItsLayoutZeroTwin) {
  for (uint32_t k : kConvKernels) {
    const Shape shape{k, k, 4, 11};
    const Value v = [](uint32_t x, uint32_t y, uint32_t c, uint32_t n) {
      return static_cast<int8_t>(x * 37 + y * 11 + c * 5 + n * 3 - 100);
    };
    const auto row_major = weight_tensor(shape, v, Layout::RowMajor);
    const auto reversed = weight_tensor(shape, v, Layout::Reversed);
    ASSERT_NE(row_major->strides(), reversed->strides());
    EXPECT_EQ(format_conv2d_cnp_weights(*reversed, 1, 9), format_conv2d_cnp_weights(*row_major, 1, 9)) << "k" << k;
  }
  for (uint32_t k : kDwcKernels) {
    const Shape shape{k, k, 1, 10};
    const Value v = [](uint32_t x, uint32_t y, uint32_t, uint32_t n) {
      return static_cast<int8_t>(x * 29 + y * 13 + n * 7 - 90);
    };
    EXPECT_EQ(format_depthwise_conv_cnp_weights(*weight_tensor(shape, v, Layout::Reversed), 2, 8),
              format_depthwise_conv_cnp_weights(*weight_tensor(shape, v, Layout::RowMajor), 2, 8))
        << "k" << k;
  }
}

TEST(CnpWeightFormats, FormatParamsAndTargetsPerKernel) {
  struct Row {
    uint32_t k;
    CnpWeightFormatParams p;
  };
  const Row rows[] = {
      {1, {0, 0, 24, 6, 0, 3, 1}},  {3, {0, 0, 8, 18, 24, 3, 1}},   {4, {0, 0, 8, 36, 36, 3, 1}},
      {5, {5, 1, 8, 60, 48, 3, 1}}, {7, {7, 9, 8, 224, 128, 4, 0}},
  };
  for (const auto& r : rows) {
    const auto p = cnp_weight_format_params(r.k);
    EXPECT_EQ(p.gap_after, r.p.gap_after);
    EXPECT_EQ(p.gap_bytes, r.p.gap_bytes);
    EXPECT_EQ(p.group_filters, r.p.group_filters);
    EXPECT_EQ(p.group_words, r.p.group_words);
    EXPECT_EQ(p.row_stride, r.p.row_stride);
    EXPECT_EQ(p.unit_words, r.p.unit_words);
    EXPECT_EQ(conv2d_dma_target(r.k), r.p.dma_target) << "k" << r.k;
  }
  for (uint32_t k : kDwcKernels) EXPECT_EQ(dwc_dma_target(k), 1u) << "k" << k;

  const std::string unexpected = "cnp_weight_format: Unexpected kernel size";
  for (uint32_t k : {0u, 2u, 6u, 8u}) {
    EXPECT_EQ(error_of([&] { cnp_weight_format_params(k); }), unexpected) << "k" << k;
    EXPECT_EQ(error_of([&] { conv2d_dma_target(k); }), unexpected) << "k" << k;
  }
  for (uint32_t k : {0u, 1u, 2u, 6u}) EXPECT_EQ(error_of([&] { dwc_dma_target(k); }), unexpected) << "k" << k;
}

TEST(CnpWeightFormats, NoFiltersGiveAnEmptyImage) {
  const auto conv = weight_tensor({3, 3, 4, 8}, random_weights(1));
  const auto dwc = weight_tensor({5, 5, 1, 8}, random_weights(2));
  EXPECT_TRUE(format_conv2d_cnp_weights(*conv, 0, 0).empty());
  EXPECT_TRUE(format_depthwise_conv_cnp_weights(*dwc, 0, 0).empty());
  // An empty range reads nothing, wherever it starts.
  EXPECT_TRUE(format_conv2d_cnp_weights(*conv, 100, 0).empty());
  EXPECT_TRUE(format_depthwise_conv_cnp_weights(*dwc, 100, 0).empty());
}

// Filter n, column x, row y holds the value (n + 1) + 16 * y + 4 * x (all distinct and nonzero
// for small kernels); the image is checked byte by byte at the documented offsets.
TEST(Conv2dWeightFormat, DocumentedLayoutExamples) {
  const Value tagged = [](uint32_t x, uint32_t y, uint32_t, uint32_t n) {
    return static_cast<int8_t>(n + 1 + 16 * y + 4 * x);
  };
  // Kernel 1, 8 filters: one whole 24-filter group of 6 words; filters 8-23 stay zero.
  {
    const auto words = format_conv2d_cnp_weights(*weight_tensor({1, 1, 1, 8}, tagged), 0, 8);
    ASSERT_EQ(words.size(), 6u);
    for (size_t p = 0; p < 24; ++p) EXPECT_EQ(byte_at(words, p), p < 8 ? p + 1 : 0u) << "byte " << p;
  }
  // Kernel 3, 10 filters: 36 words per input channel; group 2 (from byte 72) holds filters 8, 9.
  {
    const auto words = format_conv2d_cnp_weights(*weight_tensor({3, 3, 2, 10}, tagged), 0, 10);
    ASSERT_EQ(words.size(), 72u);
    for (size_t channel : {0u, 1u}) {
      const size_t group2 = channel * 144 + 72;
      for (uint32_t y = 0; y < 3; ++y) {
        for (uint32_t x = 0; x < 3; ++x) {
          EXPECT_EQ(byte_at(words, group2 + 24 * y + x), 9 + 16 * y + 4 * x);
          EXPECT_EQ(byte_at(words, group2 + 24 * y + 3 + x), 10 + 16 * y + 4 * x);
        }
        for (size_t p = 6; p < 24; ++p) EXPECT_EQ(byte_at(words, group2 + 24 * y + p), 0u);
      }
    }
  }
  // Kernel 7, every weight -1: per 16-byte unit, bytes 0-5 0xFF, byte 6 the low two bits,
  // byte 8 the high six bits; byte 7, bytes 9-15 (so word 3) zero.
  {
    const auto words = format_conv2d_cnp_weights(*weight_tensor({7, 7, 1, 8}, [](auto...) { return int8_t{-1}; }),
                                                 0, 8);
    ASSERT_EQ(words.size(), 224u);
    for (size_t unit = 0; unit < 56; ++unit) {
      EXPECT_EQ(words[unit * 4 + 0], 0xFFFFFFFFu);
      EXPECT_EQ(words[unit * 4 + 1], 0x0003FFFFu);
      EXPECT_EQ(words[unit * 4 + 2], 0x0000003Fu);
      EXPECT_EQ(words[unit * 4 + 3], 0u);
    }
  }
  // Kernel 7 column 6 split: 0x9D = 0b100111'01 -> low bits 01 in byte 6, 0b100111 in byte 8.
  {
    const auto words = format_conv2d_cnp_weights(
        *weight_tensor({7, 7, 1, 1}, [](uint32_t x, uint32_t, uint32_t, uint32_t) {
          return static_cast<int8_t>(x == 6 ? 0x9D : 0);
        }),
        0, 1);
    EXPECT_EQ(byte_at(words, 6), 0x01u);
    EXPECT_EQ(byte_at(words, 8), 0x27u);
  }
}

TEST(DepthwiseWeightFormat, DocumentedLayoutExamples) {
  const Value tagged = [](uint32_t x, uint32_t y, uint32_t, uint32_t n) {
    return static_cast<int8_t>(n * 64 + 8 * y + x + 1);
  };
  // Kernel 5, 2 channels: 18 words; channel 1 starts at byte 30; bytes 60-71 are zero.
  {
    const auto words = format_depthwise_conv_cnp_weights(*weight_tensor({5, 5, 1, 2}, tagged), 0, 2);
    ASSERT_EQ(words.size(), 18u);
    EXPECT_EQ(byte_at(words, 29), 0u);
    EXPECT_EQ(byte_at(words, 30), 65u);
    EXPECT_EQ(byte_at(words, 30 + 6 * 4 + 4), 64u + 32 + 5);
    for (size_t p = 60; p < 72; ++p) EXPECT_EQ(byte_at(words, p), 0u) << "byte " << p;
  }
  // Kernel 7: a row is 4 weights, 2 zero bytes, 3 weights, 3 zero bytes.
  {
    const auto words = format_depthwise_conv_cnp_weights(*weight_tensor({7, 7, 1, 1}, tagged), 0, 1);
    ASSERT_EQ(words.size(), 21u);
    const uint8_t row1[12] = {9, 10, 11, 12, 0, 0, 13, 14, 15, 0, 0, 0};
    for (size_t p = 0; p < 12; ++p) EXPECT_EQ(byte_at(words, 12 + p), row1[p]) << "byte " << p;
  }
  // Kernel 3: rows back to back, 9 weights then 3 zero bytes per channel.
  {
    const auto words = format_depthwise_conv_cnp_weights(*weight_tensor({3, 3, 1, 2}, tagged), 1, 1);
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[0], 0x49434241u);
    EXPECT_EQ(words[1], 0x52514B4Au);
    EXPECT_EQ(words[2], 0x00000053u);
  }
}

// One-byte signed element types of every width are accepted and copied as whole bytes.
TEST(CnpWeightFormats, AcceptsEverySignedByteType) {
  for (TensorType type : {TensorType::int8, TensorType::int4, TensorType::int2, TensorType::bit}) {
    const auto w = weight_tensor({3, 3, 1, 2}, [](uint32_t x, uint32_t y, uint32_t, uint32_t n) {
      return static_cast<int8_t>(x == 0 && y == 0 && n == 0 ? -1 : 0);
    }, Layout::RowMajor, type);
    EXPECT_EQ(format_conv2d_cnp_weights(*w, 0, 2)[0], 0xFFu) << type_name(type);
    EXPECT_EQ(format_depthwise_conv_cnp_weights(*w, 0, 2)[0], 0xFFu) << type_name(type);
  }
}

TEST(CnpWeightFormats, WrongElementTypesPanic) {
  for (TensorType type : {TensorType::uint8, TensorType::uint4, TensorType::uint2, TensorType::int16,
                          TensorType::int32, TensorType::float32}) {
    const auto conv = Dense::create(type, {3, 3, 2, 8});
    const auto dwc = Dense::create(type, {3, 3, 1, 8});
    const std::string suffix = std::string("for a tensor of type ") + type_name(type) + ".";
    for (const std::string& text : {error_of([&] { format_conv2d_cnp_weights(*conv, 0, 8); }),
                                    error_of([&] { format_depthwise_conv_cnp_weights(*dwc, 0, 8); })}) {
      EXPECT_THAT(text, StartsWith("Wrong requested type "));
      EXPECT_THAT(text, EndsWith(suffix));
    }
  }
}

TEST(CnpWeightFormats, UnexpectedKernelSizesAreRefusedBySizeFirst) {
  const std::string message = "ch_cont_size: Unexpected kernel size";
  for (uint32_t k : {2u, 6u}) {
    EXPECT_EQ(error_of([&] { format_conv2d_cnp_weights(*Dense::create(TensorType::int8, {k, k, 2, 4}), 0, 4); }),
              message);
    EXPECT_EQ(
        error_of([&] { format_depthwise_conv_cnp_weights(*Dense::create(TensorType::int8, {k, k, 1, 4}), 0, 4); }),
        message);
  }
  EXPECT_EQ(error_of([&] { format_depthwise_conv_cnp_weights(*Dense::create(TensorType::int8, {1, 1, 1, 4}), 0, 4); }),
            message);
  // The kernel is judged before the element type.
  EXPECT_EQ(error_of([&] { format_conv2d_cnp_weights(*Dense::create(TensorType::uint8, {2, 2, 2, 4}), 0, 4); }),
            message);
}

// Tensors that do not hold what the range asks for end in a panic before any read.
TEST(CnpWeightFormats, RangesPastTheTensorPanic) {
  const std::string out_of_range = "Coordinates are out-of-range";
  struct Case {
    const char* what;
    Shape shape;
    uint32_t first, count;
    bool depthwise;
  };
  const Case cases[] = {
      {"conv: filters past the end", {3, 3, 2, 8}, 0, 9, false},
      {"conv: range starting inside, ending past", {3, 3, 2, 8}, 5, 4, false},
      {"conv: first past the end", {3, 3, 2, 8}, 8, 1, false},
      {"conv: first + count wraps 32 bits", {3, 3, 2, 8}, 0xFFFFFFFFu, 2, false},
      {"conv: count far past the tensor", {3, 3, 2, 8}, 0, 0xFFFFFFFFu, false},
      {"conv: fewer kernel rows than columns", {3, 2, 2, 8}, 0, 8, false},
      {"conv: three dimensions", {3, 3, 8}, 0, 1, false},
      {"conv 7x7: filters past the end", {7, 7, 1, 3}, 1, 3, false},
      {"dwc: channels past the end", {5, 5, 1, 4}, 0, 5, true},
      {"dwc: range starting inside, ending past", {5, 5, 1, 4}, 2, 3, true},
      {"dwc: first + count wraps 32 bits", {3, 3, 1, 4}, 0xFFFFFFFFu, 1, true},
      {"dwc: count far past the tensor", {7, 7, 1, 4}, 1, 0xFFFFFFFFu, true},
      {"dwc: fewer kernel rows than columns", {7, 6, 1, 4}, 0, 4, true},
      {"dwc: two dimensions", {3, 3}, 0, 1, true},
  };
  for (const auto& c : cases) {
    const auto w = Dense::create(TensorType::int8, c.shape);
    const std::string text = c.depthwise ? error_of([&] { format_depthwise_conv_cnp_weights(*w, c.first, c.count); })
                                         : error_of([&] { format_conv2d_cnp_weights(*w, c.first, c.count); });
    EXPECT_EQ(text, out_of_range) << c.what;
  }
}

}  // namespace
}  // namespace nuvra::v2
