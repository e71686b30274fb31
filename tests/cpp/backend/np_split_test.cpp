#include "backend/np_split.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace nuvra {
namespace {

NpSpace window(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t c = 4) { return {x, y, Shape{w, h, c}}; }

const PaddingParams kNoPadding{};
const PaddingParams kSamePadding{1, 1, 1, 1};

TEST(NpSplit, WholeInputWithSamePadding) {
  const Shape input{10, 7, 4};
  const NpSpace part = window(0, 0, 10, 7);
  const NpSplit s(input, part, part, 3, 1, kSamePadding, 1, 1, kNoPadding);
  EXPECT_EQ(s.row_phase(), 0u);
  EXPECT_EQ(s.column_phase(), 0u);
  EXPECT_EQ(s.first_output_row(), 0u);
  EXPECT_EQ(s.first_output_column(), 0u);
  EXPECT_EQ(s.output_rows(), 7u);
  EXPECT_EQ(s.output_columns(), 10u);
  // The window is the part: no offset, same extent.
  EXPECT_EQ(s.window_y_offset(), 0u);
  EXPECT_EQ(s.window_x_offset(), 0u);
  EXPECT_EQ(s.window_height(), 7u);
  EXPECT_EQ(s.window_width(), 10u);
  EXPECT_EQ(s.part_channels(), 4u);
  EXPECT_EQ(s.words(), (std::array<uint32_t, 15>{0, 0, 7, 10, 4, 0, 0, 0, 0, 7, 10, 0, 0, 7, 10}));
}

TEST(NpSplit, BorderedWindowOffsetsAreNegative) {
  const Shape input{16, 16, 4};
  const NpSplit s(input, window(8, 4, 8, 4), window(7, 3, 9, 6), 3, 1, kSamePadding, 1, 1, kNoPadding);
  EXPECT_EQ(s.window_y(), 3u);
  EXPECT_EQ(s.window_x(), 7u);
  EXPECT_EQ(s.window_y_offset(), static_cast<uint32_t>(-1));
  EXPECT_EQ(s.window_x_offset(), static_cast<uint32_t>(-1));
  EXPECT_EQ(s.window_height(), 6u);
  EXPECT_EQ(s.window_width(), 9u);
  EXPECT_EQ(s.word(1), 3u);
  EXPECT_EQ(s.word(15), s.output_columns());
  EXPECT_THROW(s.word(0), std::out_of_range);
  EXPECT_THROW(s.word(16), std::out_of_range);
}

TEST(NpSplit, InputContainerWidth) {
  struct Case {
    uint32_t width, plain, transposed;
  };
  for (const auto& c : {Case{5, 8, 12}, Case{8, 8, 16}, Case{1, 4, 4}, Case{4, 4, 8}}) {
    const NpSpace part = window(0, 0, c.width, 2);
    EXPECT_EQ(NpSplit(Shape{c.width, 2, 4}, part, part, 3, 1, kSamePadding, 1, 1, kNoPadding).icont_size(), c.plain);
    EXPECT_EQ(TransposedCnpSplit(part, part).icont_size(), c.transposed);
  }
}

// Rows of a 16-row input cut in two halves: (kernel, stride, padding top, pool size, pool
// stride, pool padding top, bottom) -> first output and count of each half.
TEST(NpSplit, TwoHalvesShareTheOutputs) {
  struct Case {
    int kernel, stride;
    uint32_t pad_top, pool_size;
    uint8_t pool_stride;
    uint32_t pool_top, pool_bottom;
    uint32_t first0, rows0, first1, rows1, phase1;
  };
  const Case cases[] = {
      {3, 1, 1, 1, 1, 0, 0, 0, 8, 8, 8, 1},  // plain Same convolution
      {3, 2, 0, 1, 1, 0, 0, 0, 4, 4, 4, 0},  // stride 2: outputs 0..3 and 4..7
      {3, 1, 1, 2, 2, 0, 0, 0, 4, 4, 4, 1},  // 2 x 2 pooling: pooled rows 0..3 and 4..7
      {3, 1, 1, 2, 2, 0, 1, 0, 4, 4, 5, 1},  // pool padding after: one more for the last half only
  };
  for (const auto& c : cases) {
    PaddingParams pad{c.pad_top, 0, c.pad_top, 0};
    PaddingParams pool{c.pool_top, c.pool_bottom, 0, 0};
    const Shape input{4, 16, 1};
    const NpSplit top(input, window(0, 0, 4, 8), window(0, 0, 4, 9), c.kernel, c.stride, pad, c.pool_size,
                      c.pool_stride, pool);
    const NpSplit bottom(input, window(0, 8, 4, 8), window(0, 7, 4, 9), c.kernel, c.stride, pad, c.pool_size,
                         c.pool_stride, pool);
    EXPECT_EQ(top.first_output_row(), c.first0) << c.kernel << "/" << c.stride << "/" << c.pool_size;
    EXPECT_EQ(top.output_rows(), c.rows0) << c.kernel << "/" << c.stride << "/" << c.pool_size;
    EXPECT_EQ(bottom.first_output_row(), c.first1) << c.kernel << "/" << c.stride << "/" << c.pool_size;
    EXPECT_EQ(bottom.output_rows(), c.rows1) << c.kernel << "/" << c.stride << "/" << c.pool_size;
    EXPECT_EQ(top.row_phase(), c.pad_top % c.stride);
    EXPECT_EQ(bottom.row_phase(), c.phase1 % c.stride);
  }
}

TEST(NpSplit, PoolPaddingAfterCountsOnlyAtTheEnd) {
  // The same rows 4..7 with 2 x 2 pooling and one padding row after the input: only where they
  // end the input does the padding row add a pooled output.
  const PaddingParams pool{0, 1, 0, 1};
  const NpSplit last(Shape{4, 8, 1}, window(0, 4, 4, 4), window(0, 3, 4, 5), 3, 1, kSamePadding, 2, 2, pool);
  const NpSplit inner(Shape{4, 12, 1}, window(0, 4, 4, 4), window(0, 3, 4, 6), 3, 1, kSamePadding, 2, 2, pool);
  EXPECT_EQ(last.output_rows(), inner.output_rows() + 1);
}

TEST(NpSplit, OneRowAtTheTopUnderStrideTwo) {
  // The row's only kernel centre lies below it; the last output must not wrap below 0.
  const Shape input{4, 9, 1};
  const NpSplit s(input, window(0, 0, 4, 1), window(0, 0, 4, 2), 3, 2, kNoPadding, 1, 1, kNoPadding);
  EXPECT_EQ(s.first_output_row(), 0u);
  EXPECT_EQ(s.output_rows(), 1u);
}

TEST(NpSplit, PartWithoutOutputsHasNone) {
  // One row at y = 10 under stride 2 and 3-wide pooling with stride 1 produces nothing.
  const Shape input{4, 16, 1};
  const NpSplit s(input, window(0, 10, 4, 1), window(0, 9, 4, 3), 3, 2, kNoPadding, 3, 1, kNoPadding);
  EXPECT_EQ(s.output_rows(), 0u);
}

TEST(NpSplit, InvalidGeometryIsAnInternalError) {
  const Shape input{4, 4, 1};
  const NpSpace part = window(0, 0, 4, 4);
  EXPECT_THROW(NpSplit(input, part, part, 3, 0, kNoPadding, 1, 1, kNoPadding), std::runtime_error);
  EXPECT_THROW(NpSplit(input, part, part, -1, 1, kNoPadding, 1, 1, kNoPadding), std::runtime_error);
  EXPECT_THROW(NpSplit(input, part, part, 3, 1, kNoPadding, 1, 0, kNoPadding), std::runtime_error);
  EXPECT_THROW(NpSplit(input, window(0, 0, 0, 4), part, 3, 1, kNoPadding, 1, 1, kNoPadding), std::runtime_error);
}

TEST(TransposedCnpSplit, OutputIsTwiceThePart) {
  const TransposedCnpSplit s(window(6, 2, 5, 3, 8), window(5, 1, 7, 5, 8));
  EXPECT_EQ(s.words(), (std::array<uint32_t, 15>{1, 5, 3, 5, 8, 0, 0, static_cast<uint32_t>(-1),
                                                 static_cast<uint32_t>(-1), 5, 7, 4, 12, 6, 10}));
}

}  // namespace
}  // namespace nuvra
