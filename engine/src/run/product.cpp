#include "run/product.h"

#include "run/thread_pool.h"

#include "ops/common.h"

#include <algorithm>

namespace nuvra::detail {

namespace {

using ops::detail::ConvSource;
using ops::detail::Epilogue;
using ops::detail::PackedFilters;

// Values of an input of `type`: its range, or nothing for int32 (which must be scanned).
bool type_range(TensorType type, int64_t* lo, int64_t* hi) {
  switch (type) {
    case TensorType::uint8: *lo = 0, *hi = 255; return true;
    case TensorType::int8: *lo = -128, *hi = 127; return true;
    case TensorType::int16: *lo = -32768, *hi = 32767; return true;
    default: return false;
  }
}

template <class T>
void scan_as(const Dense& x, int64_t* lo, int64_t* hi) {
  const auto [l, h] = ops::detail::min_max(x.data<T>(), x.size());
  *lo = l, *hi = h;
}
void scan(const Dense& x, int64_t* lo, int64_t* hi) {
  switch (x.type()) {
    case TensorType::uint8: return scan_as<uint8_t>(x, lo, hi);
    case TensorType::int8: return scan_as<int8_t>(x, lo, hi);
    case TensorType::int16: return scan_as<int16_t>(x, lo, hi);
    default: return scan_as<int32_t>(x, lo, hi);
  }
}

// Multiply-adds below which a sample's layer is not split over threads.
constexpr uint64_t kSplitWork = 1 << 19;

}  // namespace

PackedProduct::PackedProduct(std::shared_ptr<const Dense> weights, const ops::detail::Window& g,
                             std::vector<int32_t> pads)
    : g_(g), pads_(std::move(pads)), cache_(std::move(weights)) {
  if (!pads_.empty()) {
    const auto [lo, hi] = std::minmax_element(pads_.begin(), pads_.end());
    pad_lo_ = *lo;
    pad_hi_ = *hi;
  }
}

const PackedFilters* PackedProduct::packed_for(const Dense& x) const {
  const Shape s = x.shape();
  if (s.size() != 3 || s[0] != g_.x || s[1] != g_.y || s[2] != g_.c) return nullptr;
  int64_t lo = 0, hi = 0;
  const auto fits = [&] { return cache_.fits(std::min(lo, pad_lo_), std::max(hi, pad_hi_)); };
  if (!type_range(x.type(), &lo, &hi) || !fits()) scan(x, &lo, &hi);
  if (!fits()) return nullptr;
  return &cache_.packed(std::min(lo, pad_lo_), std::max(hi, pad_hi_));
}

void PackedProduct::convolve(const PackedFilters& packed, const Dense& x, const Epilogue& e) const {
  const ConvSource source{x.storage().data(), x.type(), g_, pads_.data()};
  const size_t filters = cache_.filters(), pixels = g_.pixels(), span = packed.span();
  const size_t spans = (filters + span - 1) / span;
  const uint64_t work = uint64_t{pixels} * filters * g_.depth();
  if (work < kSplitWork || !can_split()) return ops::detail::convolve_rows(packed, source, 0, pixels, e);
  // A grid of row parts by filter parts: each row part reads every packed filter of its part
  // and each filter part every row, so the grid that reads the fewest bytes wins.
  const size_t want = 2 * inference_threads();
  const double filter_bytes = static_cast<double>(filters) * packed.row_bytes();
  const double row_bytes = static_cast<double>(pixels) * packed.row_bytes();
  size_t row_parts = 1;
  double best = -1;
  for (size_t r = 1; r <= std::min(want, std::max<size_t>(pixels / 4, 1)); ++r) {
    const size_t f = std::min(spans, (want + r - 1) / r);
    const double cost = static_cast<double>(r) * filter_bytes + static_cast<double>(f) * row_bytes;
    if (r * f >= std::min(want, spans * std::max<size_t>(pixels / 4, 1)) && (best < 0 || cost < best)) {
      best = cost;
      row_parts = r;
    }
  }
  const size_t filter_parts = std::min(spans, (want + row_parts - 1) / row_parts);
  const size_t rows_each = (pixels + row_parts - 1) / row_parts;
  const size_t spans_each = (spans + filter_parts - 1) / filter_parts;
  parallel_for(row_parts * filter_parts, [&](size_t i) {
    const size_t r = i / filter_parts, f = i % filter_parts;
    ops::detail::convolve_rows(packed, source, r * rows_each, std::min(pixels, (r + 1) * rows_each), e,
                               f * spans_each * span, (f + 1) * spans_each * span);
  });
}

}  // namespace nuvra::detail
