// Helpers shared by the kernel files: argument checks, exact shifts and saturation, and the
// numpy-style broadcasting of per-channel operands.
#pragma once

#include <nuvra/ops.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <string>

namespace nuvra::ops::detail {

using int128 = __int128;

// Throws std::invalid_argument "<kernel>: <reason>".
[[noreturn]] void refuse(const char* kernel, const std::string& reason);
// Refuses a tensor of another element type than `type`.
void expect_type(const char* kernel, const char* what, const Dense& t, TensorType type);
// Refuses a tensor whose number of dimensions is not `rank`.
void expect_rank(const char* kernel, const char* what, const Dense& t, size_t rank);
// Refuses a null tensor pointer.
void expect_tensor(const char* kernel, const char* what, const void* t);

inline int32_t sat32(int32_t v) { return v; }
inline int32_t sat32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}
inline int32_t sat32(int128 v) {
  return static_cast<int32_t>(std::clamp<int128>(v, std::numeric_limits<int32_t>::min(),
                                                 std::numeric_limits<int32_t>::max()));
}

// x * scale rounded once to float32, for |x| < 2^39 (int32 values, differences of two).
// Converting x to float32 first would round twice. The exact product is formed as x times the
// scale's 24-bit significand in int64, which converts to float32 with one rounding; the scale's
// power of two then applies exactly, since a normal scale keeps every nonzero product among the
// normal floats. A zero, subnormal or non-finite scale takes a long double (64-bit significand).
inline float scaled_once(int64_t x, float scale) {
  const uint32_t bits = std::bit_cast<uint32_t>(scale);
  const uint32_t exponent = (bits >> 23) & 0xFFu;
  if (exponent == 0 || exponent == 0xFFu) return static_cast<float>(static_cast<long double>(x) * scale);
  const int64_t significand = static_cast<int64_t>((bits & 0x7FFFFFu) | 0x800000u);
  const auto rounded = static_cast<float>(x * significand);
  // sign(scale) * 2^(exponent - 127 - 23), a normal double
  const auto power = std::bit_cast<double>(uint64_t{bits >> 31} << 63 | uint64_t{exponent + 1023 - 150} << 52);
  return static_cast<float>(static_cast<double>(rounded) * power);
}

// Whether every value of x[0..n) lies in [-2^24, 2^24), where float32 holds it exactly: x
// converted to float32 times the scale (which vectorises) is then rounded once, as scaled_once.
inline bool exact_in_float(const int32_t* x, size_t n) {
  constexpr uint32_t kHalf = uint32_t{1} << 24;
  uint32_t outside = 0;  // shifts and ors only, so that the scan vectorises on any x86-64
  for (size_t i = 0; i < n; ++i) outside |= (static_cast<uint32_t>(x[i]) + kHalf) >> 25;
  return outside == 0;
}

// Signed `bits`-bit range; 32 bits and more is the int32 range, 0 or less leaves int32.
inline int32_t saturate_signed(int64_t v, int bits) {
  if (bits <= 0 || bits >= 32) return sat32(v);
  const int64_t hi = (int64_t{1} << (bits - 1)) - 1;
  return static_cast<int32_t>(std::clamp<int64_t>(v, -hi - 1, hi));
}
// Unsigned `bits`-bit range, bits 1 to 31.
inline int32_t saturate_unsigned(int64_t v, int bits) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, 0, (int64_t{1} << bits) - 1));
}

// sshift for T = int64_t or int128 (W = T's width): left shifts saturate at +-2^(W-3) (values
// below that in magnitude), right shifts by r give floor(v / 2^r + 1/2) at every r, for every v.
template <class T>
constexpr T sshift(T v, int64_t s) {
  constexpr int kWidth = static_cast<int>(sizeof(T)) * 8;
  constexpr T kLimit = T(1) << (kWidth - 3);
  if (s >= 0) {
    if (v == 0) return 0;
    if (s >= kWidth - 3) return v > 0 ? kLimit : -kLimit;
    const T bound = kLimit >> s;
    if (v >= bound) return kLimit;
    if (v <= -bound) return -kLimit;
    return v * (T(1) << s);
  }
  // From the width on, v / 2^r lies in [-1/2, 1/2): every value rounds to 0.
  if (s <= -kWidth) return 0;
  const int r = static_cast<int>(-s);
  // (v + 2^(r-1)) >> r without the sum, which overflows near the width: bit r - 1 rounds up.
  return (v >> r) + ((v >> (r - 1)) & 1);
}

// sshift<int64_t> by a fixed amount without branches, for loops over many values within +-2^61
// (clamping first gives the same saturation there).
class Shifter {
 public:
  Shifter() = default;
  explicit Shifter(int64_t s) {
    constexpr int64_t kLimit = int64_t{1} << 61;
    if (s >= 0) {
      left_ = static_cast<int>(std::min<int64_t>(s, 61));
      hi_ = kLimit >> left_;
    } else {
      // Past 63 every value within +-2^61 rounds to 0, as it does at 63; c + half stays below 2^63.
      right_ = static_cast<int>(std::min<int64_t>(-s, 63));
      half_ = int64_t{1} << (right_ - 1);
      hi_ = kLimit;
    }
  }
  int64_t operator()(int64_t v) const {
    const int64_t c = std::clamp(v, -hi_, hi_);
    return (static_cast<int64_t>(static_cast<uint64_t>(c) << left_) + half_) >> right_;
  }

 private:
  int64_t hi_ = 0, half_ = 0;
  int left_ = 0, right_ = 0;
};

// Shifters for every value of a byte of type B, s(value) giving the shift.
template <class B, class S>
std::array<Shifter, 256> shifters(S s) {
  std::array<Shifter, 256> table;
  for (int v = 0; v < 256; ++v) table[static_cast<uint8_t>(static_cast<B>(v))] = Shifter(s(static_cast<B>(v)));
  return table;
}

// Smallest and largest value of n elements (n >= 1).
template <class T>
std::pair<T, T> min_max(const T* p, size_t n) {
  T lo = p[0], hi = p[0];
  // Conditional moves rather than std::min, which keeps the loop from vectorising.
  for (size_t i = 1; i < n; ++i) {
    lo = p[i] < lo ? p[i] : lo;
    hi = p[i] > hi ? p[i] : hi;
  }
  return {lo, hi};
}
template <class T>
uint64_t max_abs(const T* p, size_t n) {
  const auto [lo, hi] = min_max(p, n);
  const int64_t a = lo, b = hi;
  return static_cast<uint64_t>(std::max(a < 0 ? -a : a, b < 0 ? -b : b));
}
// The same over int32 values, vectorised (inputs are scanned once per call).
uint64_t max_abs(const int32_t* p, size_t n);
std::pair<int32_t, int32_t> min_max(const int32_t* p, size_t n);
// min_max in the pass that writes each value's low 16 bits to out[0, n) (the values themselves
// when the bounds fit int16).
std::pair<int32_t, int32_t> min_max_narrowed(const int32_t* p, size_t n, int16_t* out);

// Working memory of a kernel, left uninitialised. It comes from the tensor storage cache, so
// large buffers are reused from call to call instead of being mapped afresh.
template <class T>
class Scratch {
 public:
  explicit Scratch(size_t n) : storage_(n * sizeof(T), Storage::Uninitialized{}) {}
  T* data() { return reinterpret_cast<T*>(storage_.data()); }
  const T* data() const { return reinterpret_cast<const T*>(storage_.data()); }
  T& operator[](size_t i) { return data()[i]; }
  const T& operator[](size_t i) const { return data()[i]; }

 private:
  Storage storage_;
};

// A result of `type` and `shape`, every element written by the caller.
DensePtr result(TensorType type, const Shape& shape);

// The rows (last axis) of a target shape, with the matching offsets of operands broadcast to it
// numpy-style. `step[i]` is 1 when operand i varies along the row, 0 when one value serves it.
template <size_t N>
class Broadcast {
 public:
  Broadcast(const char* kernel, const Shape& target, const std::array<const Dense*, N>& operands,
            const std::array<const char*, N>& names)
      : target_(target) {
    const size_t n = target.size();
    for (size_t i = 0; i < N; ++i) {
      const Shape s = operands[i]->shape();
      if (s.size() > n) refuse(kernel, std::string(names[i]) + " " + s.to_string() + " has more dimensions than " +
                                           target.to_string());
      // Right-aligned strides, 0 along broadcast dimensions.
      uint64_t stride = 1;
      for (size_t d = 0; d < 4; ++d) strides_[i][d] = 0;
      for (size_t k = 0; k < s.size(); ++k) {
        const size_t d = n - 1 - k;
        const uint32_t sd = s[s.size() - 1 - k];
        if (sd != 1 && sd != target[d])
          refuse(kernel, std::string(names[i]) + " " + s.to_string() + " does not broadcast to " + target.to_string());
        strides_[i][d] = sd == 1 ? 0 : stride;
        stride *= sd;
      }
    }
  }

  // f(offset, length, offsets, steps) for each row of the target.
  template <class F>
  void rows(F&& f) const {
    const size_t n = target_.size();
    const size_t length = target_[n - 1];
    std::array<size_t, N> step;
    for (size_t i = 0; i < N; ++i) step[i] = strides_[i][n - 1] ? 1 : 0;
    uint32_t dims[3] = {1, 1, 1};
    uint64_t st[N][3] = {};
    for (size_t d = 0; d + 1 < n; ++d) {
      dims[3 - (n - 1) + d] = target_[d];
      for (size_t i = 0; i < N; ++i) st[i][3 - (n - 1) + d] = strides_[i][d];
    }
    size_t offset = 0;
    std::array<size_t, N> at;
    for (uint32_t a = 0; a < dims[0]; ++a)
      for (uint32_t b = 0; b < dims[1]; ++b)
        for (uint32_t c = 0; c < dims[2]; ++c) {
          for (size_t i = 0; i < N; ++i) at[i] = a * st[i][0] + b * st[i][1] + c * st[i][2];
          f(offset, length, at, step);
          offset += length;
        }
  }

 private:
  Shape target_;
  uint64_t strides_[N][4] = {};
};

}  // namespace nuvra::ops::detail
