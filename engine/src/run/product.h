// A layer's convolution (or dense product) through its filters packed once: inputs taken at
// their own width, the sums of one sample spread over the inference threads when the samples
// alone cannot keep them busy.
#pragma once

#include "run/packed.h"

#include "ops/conv_rows.h"

#include <nuvra/tensor.h>

#include <memory>
#include <vector>

namespace nuvra::detail {

class PackedProduct {
 public:
  // `weights`: (kw, kh, C, F) int8 with C = g.c; `g` the window over inputs of (g.x, g.y, g.c);
  // pads[c] the value of channel c outside the input.
  PackedProduct(std::shared_ptr<const Dense> weights, const ops::detail::Window& g, std::vector<int32_t> pads);

  const ops::detail::Window& window() const { return g_; }
  uint32_t filters() const { return static_cast<uint32_t>(cache_.filters()); }

  // The packed filters for `x` ((g.x, g.y, g.c) values of any integer type) when its values (its
  // type's range, else scanned) and the pads keep every sum within int32; null otherwise.
  const ops::detail::PackedFilters* packed_for(const Dense& x) const;

  // The sums of every output pixel p = ox * out_h + oy through `e`, split in parts over the
  // threads when they are free (whatever the parts, each value is written once, the same).
  void convolve(const ops::detail::PackedFilters& packed, const Dense& x, const ops::detail::Epilogue& e) const;

 private:
  ops::detail::Window g_;
  std::vector<int32_t> pads_;
  int64_t pad_lo_ = 0, pad_hi_ = 0;
  PackedCache cache_;
};

}  // namespace nuvra::detail
