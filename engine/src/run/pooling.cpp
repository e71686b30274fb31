// Pooling after a convolution, on activated values of int32 or (when they fit) int16.
#include "run/common.h"

#include "ops/simd.h"
#include "ops/window.h"

#include <nuvra/layers.h>

#include <algorithm>
#include <vector>

namespace nuvra::detail {

namespace {

using ops::detail::Window;

// Max over the window positions inside the input, 0 where there is none; channels innermost.
template <class In>
NUVRA_INLINE void max_windows(const In* in, const Window& g, int32_t* out) {
  const size_t c = g.c;
  for (uint32_t ox = 0; ox < g.out_w; ++ox) {
    const ops::detail::Span cols = ops::detail::inside(g.first_x(ox), g.kw, g.x);
    for (uint32_t oy = 0; oy < g.out_h; ++oy) {
      const ops::detail::Span rows = ops::detail::inside(g.first_y(oy), g.kh, g.y);
      int32_t* dst = out + (size_t{ox} * g.out_h + oy) * c;
      if (cols.begin == cols.end || rows.begin == rows.end) {
        std::fill(dst, dst + c, 0);
        continue;
      }
      bool first = true;
      for (uint32_t i = cols.begin; i < cols.end; ++i)
        for (uint32_t j = rows.begin; j < rows.end; ++j) {
          const In* src = in + (static_cast<size_t>(g.first_x(ox) + i) * g.y + static_cast<size_t>(g.first_y(oy) + j)) * c;
          if (first) {
            for (size_t k = 0; k < c; ++k) dst[k] = src[k];
            first = false;
          } else {
            for (size_t k = 0; k < c; ++k) dst[k] = dst[k] > src[k] ? dst[k] : src[k];
          }
        }
    }
  }
}
NUVRA_AVX2 void max_windows_avx2(const int16_t* in, const Window& g, int32_t* out) { max_windows(in, g, out); }
void max_windows_base(const int16_t* in, const Window& g, int32_t* out) { max_windows(in, g, out); }

// Per channel over every pixel: the max, or the sum.
template <class In>
void global_max(const In* in, size_t pixels, size_t c, int32_t* out) {
  std::copy(in, in + c, out);
  for (size_t p = 1; p < pixels; ++p)
    for (size_t k = 0; k < c; ++k) out[k] = std::max<int32_t>(out[k], in[p * c + k]);
}
template <class In>
std::vector<int64_t> global_sums(const In* in, size_t pixels, size_t c) {
  std::vector<int64_t> sums(c, 0);
  for (size_t p = 0; p < pixels; ++p)
    for (size_t k = 0; k < c; ++k) sums[k] += in[p * c + k];
  return sums;
}

}  // namespace

Pooling::Pooling(const Layer& layer, bool floor_mean) : floor_mean_(floor_mean) {
  const auto* pool = dynamic_cast<const HasPoolParams*>(&layer);
  const PoolingCalculatedParams* record = pool ? pool->pool_params() : nullptr;
  if (!record || !record->flag) return;
  const LayerParams& p = *layer.params();
  type_ = static_cast<PoolType>(p.get("pool_type"));
  if (first_generation(layer.type())) {
    width_ = p.get("pooling_width");
    height_ = p.get("pooling_height");
  } else {
    width_ = height_ = p.get("pool_size");
  }
  global_ = width_ == -1;
  stride_x_ = record->stride_x;
  stride_y_ = record->stride_y;
  padding_ = record->padding;
  out_w_ = record->pooled_width;
  out_h_ = record->pooled_height;
  if (type_ == PoolType::Average && !global_)
    step_error(layer, "average pooling is only computed over the whole output");
  if (!global_ && (width_ > 127 || height_ > 127))
    step_error(layer, "pooling windows are computed up to 127 wide");
}

std::shared_ptr<Dense> Pooling::apply(ConstDensePtr values) const {
  const Shape s = values->shape();
  const size_t c = s[2], pixels = size_t{s[0]} * s[1];
  if (values->type() == TensorType::int16) {
    const int16_t* in = values->data<int16_t>();
    // Windows the general kernel would refuse or find empty take its own route.
    const bool plain = global_ || (width_ >= 1 && height_ >= 1 && stride_x_ >= 1 && stride_y_ >= 1);
    if (type_ == PoolType::Max && global_) {
      auto y = Dense::create(TensorType::int32, Shape{1, 1, s[2]});
      global_max(in, pixels, c, y->data<int32_t>());
      return y;
    }
    if (type_ == PoolType::Max && plain) {
      Window g;
      g.x = s[0];
      g.y = s[1];
      g.c = s[2];
      g.kw = static_cast<uint32_t>(width_);
      g.kh = static_cast<uint32_t>(height_);
      g.sx = stride_x_;
      g.sy = stride_y_;
      g.pad_left = padding_.left;
      g.pad_top = padding_.top;
      g.out_w = out_w_;
      g.out_h = out_h_;
      auto y = ops::detail::result(TensorType::int32, Shape{out_w_, out_h_, s[2]});
      (ops::detail::has_avx2() ? max_windows_avx2 : max_windows_base)(in, g, y->data<int32_t>());
      return y;
    }
    if (type_ == PoolType::Average) {
      const std::vector<int64_t> sums = global_sums(in, pixels, c);
      auto y = Dense::create(TensorType::int32, Shape{1, 1, s[2]});
      int32_t* out = y->data<int32_t>();
      const auto n = static_cast<int64_t>(pixels);
      for (size_t k = 0; k < c; ++k) {
        if (floor_mean_) {
          out[k] = static_cast<int32_t>(sums[k] >= 0 ? sums[k] / n : -((-sums[k] + n - 1) / n));
        } else {  // floor(sum / n + 1/2)
          const int64_t twice = 2 * sums[k] + n, den = 2 * n;
          out[k] = static_cast<int32_t>(twice >= 0 ? twice / den : -((-twice + den - 1) / den));
        }
      }
      return y;
    }
    values = as_int32(values);
  }
  if (type_ == PoolType::Max) {
    const auto pad = [](uint32_t v) { return static_cast<int>(v); };
    return ops::max_pooling(std::move(values), static_cast<signed char>(global_ ? 0 : width_),
                            static_cast<signed char>(global_ ? 0 : height_), global_, out_w_, out_h_,
                            static_cast<signed char>(stride_x_), static_cast<signed char>(stride_y_),
                            pad(padding_.top), pad(padding_.bottom), pad(padding_.left), pad(padding_.right), 0);
  }
  if (!floor_mean_) return ops::global_average_pooling(std::move(values), 0);
  const int32_t* in = values->data<int32_t>();
  const std::vector<int64_t> sums = global_sums(in, pixels, c);
  auto y = Dense::create(TensorType::int32, Shape{1, 1, s[2]});
  int32_t* out = y->data<int32_t>();
  const auto n = static_cast<int64_t>(pixels);
  for (size_t k = 0; k < c; ++k) out[k] = static_cast<int32_t>(sums[k] >= 0 ? sums[k] / n : -((-sums[k] + n - 1) / n));
  return y;
}

}  // namespace nuvra::detail
