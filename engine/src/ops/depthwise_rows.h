// Depthwise convolution of output columns through prepared taps: inputs at their own width, int32
// sums (the caller has checked that they cannot overflow), each pixel's channels through an
// epilogue as a product tile's filters would be.
#pragma once

#include "ops/conv_rows.h"
#include "ops/epilogue.h"
#include "ops/window.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace nuvra::ops::detail {

// The (kw, kh, 1, c) weights as both routes take them: int32 per tap and channel for the
// portable one, tap pairs interleaved per run of 16 channels for AVX2.
class DepthwiseFilters {
 public:
  DepthwiseFilters(const int8_t* w, size_t taps, size_t channels, bool avx2);
  size_t channels() const { return channels_; }
  // Channels the AVX2 route takes (whole runs of 16); 0 when it is not used.
  size_t wide_channels() const { return avx2_ ? channels_ / 16 * 16 : 0; }
  const std::vector<int32_t>& taps() const { return taps_; }
  const std::vector<int16_t>& pairs() const { return pairs_; }
  // The largest sum of |w| over one channel's taps.
  uint64_t largest_sum() const { return largest_; }

 private:
  size_t channels_;
  bool avx2_;
  std::vector<int32_t> taps_;   // (taps, c)
  std::vector<int16_t> pairs_;  // for depthwise_inside_avx2
  uint64_t largest_ = 0;
};

// Whether some window of `g` reaches past the input.
inline bool reaches_out(const Window& g) {
  return g.pad_left > 0 || g.pad_top > 0 || g.first_x(g.out_w - 1) + g.kw > g.x || g.first_y(g.out_h - 1) + g.kh > g.y;
}

// The input with the padding around it made of zeros, as Out values, so that every window lies
// inside it (the vector route takes only those): `g` becomes the window over the copy. The pads
// before the input must be 0 to the kernel size less one.
template <class Out, class In>
std::shared_ptr<Dense> padded(const In* in, TensorType type, Window& g) {
  const auto grow = [](int64_t first_pad, int64_t stride, uint32_t kernel, uint32_t size, uint32_t outputs) {
    return std::max<int64_t>(0, (int64_t{outputs} - 1) * stride + kernel - first_pad - size);
  };
  const int64_t left = g.pad_left, top = g.pad_top;
  const int64_t right = grow(left, g.sx, g.kw, g.x, g.out_w), bottom = grow(top, g.sy, g.kh, g.y, g.out_h);
  const size_t c = g.c, x = g.x + static_cast<size_t>(left + right), y = g.y + static_cast<size_t>(top + bottom);
  auto copy = result(type, Shape{static_cast<uint32_t>(x), static_cast<uint32_t>(y), g.c});
  Out* out = copy->template data<Out>();
  const size_t column = y * c, before = static_cast<size_t>(top) * c, inside = size_t{g.y} * c;
  for (size_t i = 0; i < x; ++i) {
    Out* col = out + i * column;
    const int64_t xi = static_cast<int64_t>(i) - left;
    if (xi < 0 || xi >= int64_t{g.x}) {
      std::fill(col, col + column, Out{0});
      continue;
    }
    std::fill(col, col + before, Out{0});
    std::copy(in + static_cast<size_t>(xi) * inside, in + (static_cast<size_t>(xi) + 1) * inside, col + before);
    std::fill(col + before + inside, col + column, Out{0});
  }
  g.x = static_cast<uint32_t>(x);
  g.y = static_cast<uint32_t>(y);
  g.pad_left = g.pad_top = 0;
  return copy;
}

// Output columns [ox0, ox1) of `in` (uint8, int8, int16 or int32 values within int16).
void depthwise_rows(const DepthwiseFilters& w, const ConvSource& in, uint32_t ox0, uint32_t ox1, const Epilogue& e);

// The AVX2 part: channels [0, w.wide_channels()) of the output pixels of columns [ox0, ox1) whose
// windows lie inside the input.
void depthwise_inside_avx2(const DepthwiseFilters& w, const ConvSource& in, uint32_t ox0, uint32_t ox1,
                           const Epilogue& e);

}  // namespace nuvra::ops::detail
