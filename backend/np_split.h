// The geometry of one NP's share of a split layer, as its registers need it.
#pragma once

#include <nuvra/types.h>

#include <array>
#include <cstdint>

namespace nuvra {

// One axis (rows or columns) of a convolution followed by pooling, as a split part's registers
// see it. Pool size 1, stride 1 and no pool padding stand for no pooling.
struct AxisGeometry {
  uint64_t input = 0;  // extent of the whole input along the axis
  uint64_t kernel = 1;
  uint64_t stride = 1;  // at least 1
  uint64_t pad_before = 0;
  int64_t pool_size = 1;
  int64_t pool_stride = 1;  // at least 1
  int64_t pool_before = 0;
  int64_t pool_after = 0;
};

// What the part [offset, offset + extent) of an axis produces: the phase of its start against the
// stride, its first (pooled) output and the number of them.
struct AxisOutputs {
  uint32_t phase = 0;
  uint32_t first = 0;
  uint32_t count = 0;
};

// The first convolution output whose kernel centre lies at or after input position `offset`.
uint64_t first_output_at(const AxisGeometry& g, uint64_t offset);

// A part produces the convolution outputs whose kernel centres it holds (none when it holds no
// centre), and of the pooling windows those whose outputs all lie among its own; the pool padding
// before the input belongs to the first part, the padding after it to the part that ends the input.
// `extent` is at least 1.
AxisOutputs axis_outputs(const AxisGeometry& g, uint64_t offset, uint64_t extent);

// Fifteen geometry words, numbered 1 to 15 in register order:
//   1 window y, 2 window x, 3 part height, 4 part width, 5 part channels,
//   6 row phase, 7 column phase, 8 window y - part y, 9 window x - part x,
//   10 window height, 11 window width, 12 first output row, 13 first output column,
//   14 output rows, 15 output columns.
// The window is the bordered input the NP reads; words 8 and 9 are 0 or negative (two's
// complement).
class NpSplitInterface {
 public:
  static constexpr size_t kWords = 15;

  // The input container width.
  virtual uint32_t icont_size() const = 0;

  // Word `n`, 1 to 15.
  uint32_t word(size_t n) const { return words_.at(n - 1); }
  const std::array<uint32_t, kWords>& words() const { return words_; }

  uint32_t window_y() const { return words_[0]; }
  uint32_t window_x() const { return words_[1]; }
  uint32_t part_height() const { return words_[2]; }
  uint32_t part_width() const { return words_[3]; }
  uint32_t part_channels() const { return words_[4]; }
  uint32_t row_phase() const { return words_[5]; }
  uint32_t column_phase() const { return words_[6]; }
  uint32_t window_y_offset() const { return words_[7]; }
  uint32_t window_x_offset() const { return words_[8]; }
  uint32_t window_height() const { return words_[9]; }
  uint32_t window_width() const { return words_[10]; }
  uint32_t first_output_row() const { return words_[11]; }
  uint32_t first_output_column() const { return words_[12]; }
  uint32_t output_rows() const { return words_[13]; }
  uint32_t output_columns() const { return words_[14]; }

 protected:
  NpSplitInterface() = default;
  // Values on the stack; never deleted through the interface.
  ~NpSplitInterface() = default;
  NpSplitInterface(const NpSplitInterface&) = default;
  NpSplitInterface& operator=(const NpSplitInterface&) = default;

  // Words 1 to 5 and 8 to 11, which only the two windows decide.
  void set_windows(const NpSpace& part, const NpSpace& other);

  std::array<uint32_t, kWords> words_{};
};

// A convolution part: its first output, its output count after pooling, and the phase of its
// first row and column against the stride.
class NpSplit final : public NpSplitInterface {
 public:
  // `input` is the whole input (width, height, ...); `part` and `other` the component's own and
  // bordered windows. Pool size 1, stride 1 and no pool padding give the convolution outputs.
  // A kernel below 0, a stride or pool stride of 0, or a part without rows or columns is an
  // internal error.
  NpSplit(const Shape& input, NpSpace part, const NpSpace& other, int kernel, int stride,
          const PaddingParams& padding, uint32_t pool_size, uint8_t pool_stride, const PaddingParams& pool_padding);

  // The part width rounded up to a multiple of 4.
  uint32_t icont_size() const override;
};

// A transposed-convolution part: no phases, and an output twice the part.
class TransposedCnpSplit final : public NpSplitInterface {
 public:
  TransposedCnpSplit(NpSpace part, const NpSpace& other);

  // Twice the part width rounded up to a multiple of 4.
  uint32_t icont_size() const override;
};

}  // namespace nuvra
