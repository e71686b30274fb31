// Depthwise convolution of output columns through prepared taps: inputs at their own width, int32
// sums (the caller has checked that they cannot overflow), each pixel's channels through an
// epilogue as a product tile's filters would be.
#pragma once

#include "ops/conv_rows.h"
#include "ops/epilogue.h"
#include "ops/window.h"

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

// Output columns [ox0, ox1) of `in` (uint8, int8, int16 or int32 values within int16).
void depthwise_rows(const DepthwiseFilters& w, const ConvSource& in, uint32_t ox0, uint32_t ox1, const Epilogue& e);

// The AVX2 part: channels [0, w.wide_channels()) of the output pixels of columns [ox0, ox1) whose
// windows lie inside the input.
void depthwise_inside_avx2(const DepthwiseFilters& w, const ConvSource& in, uint32_t ox0, uint32_t ox1,
                           const Epilogue& e);

}  // namespace nuvra::ops::detail
