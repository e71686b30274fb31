// A layer's int8 filters packed for the product kernels, once per route, row type and offset a
// run asks for (runs on several threads may ask at once).
#pragma once

#include "ops/gemm.h"

#include <nuvra/tensor.h>

#include <memory>
#include <mutex>
#include <vector>

namespace nuvra::detail {

class PackedCache {
 public:
  // `weights`: (..., filters) int8, weight k of filter f at k * filters + f.
  explicit PackedCache(std::shared_ptr<const Dense> weights) : weights_(std::move(weights)) {
    const Shape s = weights_->shape();
    filters_ = s[s.size() - 1];
    depth_ = weights_->size() / filters_;
    std::vector<uint64_t> sums(filters_, 0);
    const int8_t* w = weights_->data<int8_t>();
    for (size_t i = 0; i < weights_->size(); ++i) sums[i % filters_] += static_cast<uint64_t>(w[i] < 0 ? -w[i] : w[i]);
    for (const uint64_t v : sums) largest_ = std::max(largest_, v);
  }
  size_t filters() const { return filters_; }
  // The largest sum of |w| over one filter: every sum is within it times max|x|.
  uint64_t largest_sum() const { return largest_; }
  // Whether sums over inputs in [lo, hi] fit int32 (the product kernels' condition).
  bool fits(int64_t lo, int64_t hi) const {
    const uint64_t max = static_cast<uint64_t>(std::max(-lo, hi));
    return ops::detail::choose_accumulator(max, 128, static_cast<unsigned __int128>(max) * largest_) ==
           ops::detail::Accumulator::i16;
  }
  // The filters for inputs in [lo, hi] on the active route.
  const ops::detail::PackedFilters& packed(int64_t lo, int64_t hi) const {
    const ops::detail::RouteChoice route = ops::detail::active_route();
    const ops::detail::Rows rows = ops::detail::rows_for(lo, hi, true, route.route);
    const int offset = rows == ops::detail::Rows::u8 ? ops::detail::u8_offset(lo) : 0;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& p : packed_)
      if (p->rows() == rows && p->offset() == offset && p->route() == route) return *p;
    const int8_t* w = weights_->data<int8_t>();
    const size_t f = filters_;
    packed_.push_back(std::make_unique<ops::detail::PackedFilters>(
        filters_, depth_, [w, f](size_t fi, size_t k) -> int32_t { return w[k * f + fi]; }, rows, route, offset));
    return *packed_.back();
  }

 private:
  std::shared_ptr<const Dense> weights_;
  size_t filters_ = 0, depth_ = 0;
  uint64_t largest_ = 0;
  mutable std::mutex mutex_;
  mutable std::vector<std::unique_ptr<ops::detail::PackedFilters>> packed_;
};

}  // namespace nuvra::detail
