#include "ops/common.h"
#include "ops/simd.h"
#include "ops/window.h"

#include <stdexcept>

namespace nuvra::ops::detail {

void refuse(const char* kernel, const std::string& reason) {
  throw std::invalid_argument(std::string(kernel) + ": " + reason);
}

void expect_type(const char* kernel, const char* what, const Dense& t, TensorType type) {
  if (t.type() != type)
    refuse(kernel, std::string(what) + " must be " + type_name(type) + ", got " + type_name(t.type()));
}

void expect_rank(const char* kernel, const char* what, const Dense& t, size_t rank) {
  if (t.shape().size() != rank)
    refuse(kernel, std::string(what) + " must have " + std::to_string(rank) + " dimensions, got " +
                       t.shape().to_string());
}

void expect_tensor(const char* kernel, const char* what, const void* t) {
  if (!t) refuse(kernel, std::string(what) + " is missing");
}

namespace {

// Written so that the compiler keeps both bounds in vector registers (std::min and a returned
// pair make it give up).
NUVRA_INLINE void min_max_lanes(const int32_t* p, size_t n, int32_t* bounds) {
  int32_t lo = p[0], hi = p[0];
  for (size_t i = 0; i < n; ++i) {
    lo = p[i] < lo ? p[i] : lo;
    hi = p[i] > hi ? p[i] : hi;
  }
  bounds[0] = lo;
  bounds[1] = hi;
}
NUVRA_AVX2 void min_max_avx2(const int32_t* p, size_t n, int32_t* bounds) { min_max_lanes(p, n, bounds); }
void min_max_base(const int32_t* p, size_t n, int32_t* bounds) { min_max_lanes(p, n, bounds); }

// The same pass writing each value's low 16 bits.
NUVRA_INLINE void narrow_lanes(const int32_t* p, size_t n, int16_t* out, int32_t* bounds) {
  int32_t lo = p[0], hi = p[0];
  for (size_t i = 0; i < n; ++i) {
    const int32_t v = p[i];
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
    out[i] = static_cast<int16_t>(v);
  }
  bounds[0] = lo;
  bounds[1] = hi;
}
NUVRA_AVX2 void narrow_avx2(const int32_t* p, size_t n, int16_t* out, int32_t* bounds) {
  narrow_lanes(p, n, out, bounds);
}
void narrow_base(const int32_t* p, size_t n, int16_t* out, int32_t* bounds) { narrow_lanes(p, n, out, bounds); }

}  // namespace

std::pair<int32_t, int32_t> min_max(const int32_t* p, size_t n) {
  if (n == 0) return {0, 0};
  int32_t bounds[2];
  (has_avx2() ? min_max_avx2 : min_max_base)(p, n, bounds);
  return {bounds[0], bounds[1]};
}

std::pair<int32_t, int32_t> min_max_narrowed(const int32_t* p, size_t n, int16_t* out) {
  if (n == 0) return {0, 0};
  int32_t bounds[2];
  (has_avx2() ? narrow_avx2 : narrow_base)(p, n, out, bounds);
  return {bounds[0], bounds[1]};
}

uint64_t max_abs(const int32_t* p, size_t n) {
  const auto [lo, hi] = min_max(p, n);
  return static_cast<uint64_t>(std::max({-int64_t{lo}, int64_t{hi}, int64_t{0}}));
}

DensePtr result(TensorType type, const Shape& shape) {
  check_shape(shape);
  const size_t bytes = static_cast<size_t>(shape.elements()) * element_size(type);
  return std::make_shared<Dense>(type, shape, Layout::RowMajor,
                                 std::make_shared<Storage>(bytes, Storage::Uninitialized{}));
}

Window sweep(const char* kernel, const Dense& input, uint64_t kw, uint64_t kh, int64_t sx, int64_t sy,
             int64_t pad_left, int64_t pad_top, uint64_t out_w, uint64_t out_h) {
  expect_rank(kernel, "the input", input, 3);
  if (kw < 1 || kh < 1 || kw > UINT32_MAX || kh > UINT32_MAX)
    refuse(kernel, "kernel sizes must be 1 to 4294967295, got " + std::to_string(kw) + " x " + std::to_string(kh));
  if (sx < 1 || sy < 1)
    refuse(kernel, "strides must be at least 1, got " + std::to_string(sx) + ", " + std::to_string(sy));
  if (out_w < 1 || out_h < 1)
    refuse(kernel, "output sizes must be at least 1, got " + std::to_string(out_w) + " x " + std::to_string(out_h));
  const Shape s = input.shape();
  Window g;
  g.x = s[0];
  g.y = s[1];
  g.c = s[2];
  g.kw = static_cast<uint32_t>(kw);
  g.kh = static_cast<uint32_t>(kh);
  g.sx = sx;
  g.sy = sy;
  g.pad_left = pad_left;
  g.pad_top = pad_top;
  g.out_w = static_cast<uint32_t>(out_w);
  g.out_h = static_cast<uint32_t>(out_h);
  return g;
}

}  // namespace nuvra::ops::detail
