// A layer's depthwise convolution through taps prepared once: inputs at their own width, each
// pixel's sums through an epilogue, output columns spread over the inference threads when the
// samples alone cannot keep them busy.
#pragma once

#include "run/common.h"

#include "ops/depthwise_rows.h"

#include <memory>
#include <mutex>

namespace nuvra::detail {

class DepthwiseProduct {
 public:
  // `weights`: (kw, kh, 1, C); inputs (in[0], in[1], C).
  DepthwiseProduct(std::shared_ptr<const Dense> weights, const ConvGeometry& g, const Shape& in);

  Shape out_shape() const { return Shape{g_.out_w, g_.out_h, g_.c}; }
  // Whether `x` goes through the prepared taps: of the input's shape, uint8, int8 or int16 values,
  // and sums that fit int32 (the largest possible one is then *bound).
  bool takes(const Dense& x, uint64_t* bound = nullptr) const;
  // Every output pixel's sums through `e`, for an `x` it takes.
  void convolve(ConstDensePtr x, const ops::detail::Epilogue& e) const;
  // The sums by the general kernel (and its refusals), for any input.
  std::shared_ptr<Dense> sums(const ConstDensePtr& x) const;

 private:
  // The taps prepared for the CPU's route, made on first use.
  const ops::detail::DepthwiseFilters& filters() const;
  // Output columns [ox0, ox1) of convolve().
  void columns(const ops::detail::DepthwiseFilters& w, const Dense& x, uint32_t ox0, uint32_t ox1,
               const ops::detail::Epilogue& e) const;

  std::shared_ptr<const Dense> weights_;
  ConvGeometry cg_;
  ops::detail::Window g_;
  bool usable_ = true;
  uint64_t largest_sum_ = 0;
  mutable std::mutex mutex_;
  mutable std::unique_ptr<ops::detail::DepthwiseFilters> avx2_, portable_;
};

}  // namespace nuvra::detail
