#include "v2/cnp/weight_sizes.h"
#include "v2/tnp_vit/tnp_b_sizes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace nuvra::v2 {
namespace {

constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();

struct SizeCase {
  uint32_t kernel;
  uint32_t filters;
  uint32_t expected;
};

TEST(Conv2dChCont, UnitsPerInputChannel) {
  const SizeCase cases[] = {
      // 1x1: two units per started group of 24 filters (after rounding to 8)
      {1, 0, 0}, {1, 1, 2}, {1, 8, 2}, {1, 24, 2}, {1, 25, 4}, {1, 48, 4}, {1, 49, 6},
      // 3x3: 6 units per 8 filters; 10 filters take two groups
      {3, 1, 6}, {3, 8, 6}, {3, 10, 12}, {3, 16, 12},
      {4, 8, 12}, {4, 9, 24},
      {5, 8, 20}, {5, 17, 60},
      {7, 8, 56}, {7, 2048, 14336},
  };
  for (const auto& c : cases)
    EXPECT_EQ(conv2d_ch_cont_100b_size(c.kernel, c.filters), c.expected) << "k" << c.kernel << " f" << c.filters;
}

TEST(Conv2dChCont, FormattedWordsCarryThreeOrFourWordsPerUnit) {
  // (kernel, filters, channels) -> words
  struct Case {
    uint32_t kernel, filters, channels, expected;
  };
  const Case cases[] = {
      {1, 8, 1, 6},      // one whole 24-filter group
      {3, 10, 1, 36},    // 12 units
      {3, 10, 3, 108},
      {5, 8, 2, 120},
      {7, 8, 2, 448},    // 56 units of four words per channel
      {4, 8, 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(c.kernel, c.filters, c.channels), c.expected)
        << "k" << c.kernel << " f" << c.filters << " c" << c.channels;
}

TEST(DwcChCont, UnitsPerChannelByKernel) {
  const SizeCase cases[] = {{3, 5, 5}, {4, 5, 10}, {5, 5, 15}, {7, 5, 35}, {3, 0, 0}};
  for (const auto& c : cases) EXPECT_EQ(dwc_ch_cont_100b_size(c.kernel, c.filters), c.expected) << "k" << c.kernel;
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(5, 2), 18u);
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(7, 1), 21u);
}

TEST(CnpSizes, UnexpectedKernelsAreRefusedByTheContainerSize) {
  auto expect_refused = [](auto&& call, const char* what) {
    try {
      call();
      ADD_FAILURE() << what << " did not throw";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "ch_cont_size: Unexpected kernel size") << what;
    }
  };
  for (uint32_t k : {0u, 2u, 6u, 8u, kMax}) {
    expect_refused([&] { conv2d_ch_cont_100b_size(k, 8); }, "conv2d_ch_cont");
    expect_refused([&] { conv2d_cnp_formatted_weight_32b_size(k, 8, 1); }, "conv2d_formatted");
  }
  for (uint32_t k : {0u, 1u, 2u, 6u}) {
    expect_refused([&] { dwc_ch_cont_100b_size(k, 8); }, "dwc_ch_cont");
    expect_refused([&] { dwc_cnp_formatted_weight_32b_size(k, 8); }, "dwc_formatted");
  }
}

// A size that no longer fits 32 bits must not wrap into a small one that seems to fit.
TEST(CnpSizes, OversizedRequestsSaturate) {
  EXPECT_EQ(conv2d_ch_cont_100b_size(1, kMax), 357913942u);  // exact: still in range
  EXPECT_EQ(conv2d_ch_cont_100b_size(7, kMax), kMax);
  EXPECT_EQ(conv2d_ch_cont_100b_size(3, 0x40000000), 0x30000000u);
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(3, 2048, kMax), kMax);
  EXPECT_EQ(dwc_ch_cont_100b_size(7, 0x40000000), kMax);
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(3, 0x60000000), kMax);
}

TEST(TnpBSizes, ContainerTakesTwoUnitsPerStartedGroupOf24Filters) {
  struct Case {
    uint32_t first, last, expected;
  };
  const Case ranges[] = {{0, 0, 0}, {1, 24, 2}, {25, 48, 4}, {49, 72, 6}};
  for (const auto& r : ranges)
    for (uint32_t n = r.first; n <= r.last; ++n) EXPECT_EQ(buffer_temp_conv_ch_cont_100b_size(n), r.expected) << n;
}

TEST(TnpBSizes, FormattedSizes) {
  // fifo 2, 5 filters, 3 input channels: 2 units x (2 + 1) taps x 3 channels
  EXPECT_EQ(buffer_temp_conv_tnp_formatted_weight_100b_size(2, 5, 3), 18u);
  EXPECT_EQ(buffer_temp_conv_tnp_formatted_weight_100b_size(1, 25, 4), 32u);
  // the image holds fifo_size x cin rows: 6 rows x 2 units x 3 words
  EXPECT_EQ(tnp_b_buffer_temp_conv_formatted_weight_32b_size(5, 6), 36u);
  EXPECT_EQ(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(3, 2), 8u);
  EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(3, 2), 24u);
  EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(0, 7), 21u);
}

TEST(TnpBSizes, OversizedRequestsSaturate) {
  // fifo_size + 1 would wrap to 0 in 32 bits
  EXPECT_EQ(buffer_temp_conv_tnp_formatted_weight_100b_size(kMax, 1, 1), kMax);
  EXPECT_EQ(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(kMax, 1), kMax);
  EXPECT_EQ(buffer_temp_conv_ch_cont_100b_size(kMax), 357913942u);
  EXPECT_EQ(tnp_b_buffer_temp_conv_formatted_weight_32b_size(256, kMax), kMax);
  EXPECT_EQ(depthwise_buffer_temp_conv_formatted_weight_32b_size(12, 0x10000000), kMax);
  EXPECT_EQ(buffer_temp_conv_tnp_formatted_weight_100b_size(kMax, 1, 0), 0u);
}

}  // namespace
}  // namespace nuvra::v2
