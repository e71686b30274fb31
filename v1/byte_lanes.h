// Sixteen weights at a time for the weight packers: byte vectors whose element i is byte i in
// memory on every host (only byte-wise operations, byte shuffles and shifts that keep every bit
// inside its byte), rows of weights to load them from, and the reshapes the formats need: codes
// of several positions gathered into one value per lane, and codes of consecutive lanes packed
// densely.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace nuvra::v1 {

using Bytes16 = uint8_t __attribute__((vector_size(16)));
constexpr size_t kLanes = 16;

inline Bytes16 load16(const void* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// 0xFF where a comparison holds, 0 elsewhere.
template <class Mask>
Bytes16 as_bytes(Mask m) {
  return reinterpret_cast<Bytes16>(m);
}

inline Bytes16 max_bytes(Bytes16 a, Bytes16 b) { return a > b ? a : b; }
inline Bytes16 min_bytes(Bytes16 a, Bytes16 b) { return a < b ? a : b; }

inline bool any(Bytes16 v) {
  uint64_t half[2];
  std::memcpy(half, &v, sizeof half);
  return (half[0] | half[1]) != 0;
}

// Every byte shifted left by s; each byte must be below 2^(8-s), so that no bit leaves its byte
// and 16-bit lanes give the same result on every host.
inline Bytes16 shift_up(Bytes16 v, unsigned s) {
  using Lanes16 = uint16_t __attribute__((vector_size(16)));
  return reinterpret_cast<Bytes16>(reinterpret_cast<Lanes16>(v) << s);
}

template <class T>
T load_le(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big)
    v = static_cast<T>(__builtin_bswap64(v) >> (64 - 8 * sizeof v));
  return v;
}

// The unsigned type of a lane of W bytes.
template <unsigned W>
using LaneValue = std::conditional_t<W == 2, uint16_t, std::conditional_t<W == 4, uint32_t, uint64_t>>;

// Units of W bytes (W 1, 2, 4 or 8) taken alternately from a and b: those of the low halves
// (zip_lo) or of the high halves (zip_hi).
template <unsigned W>
Bytes16 zip_lo(Bytes16 a, Bytes16 b) {
  if constexpr (W == 1)
    return __builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
  if constexpr (W == 2)
    return __builtin_shufflevector(a, b, 0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23);
  if constexpr (W == 4)
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
  if constexpr (W == 8)
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
}
template <unsigned W>
Bytes16 zip_hi(Bytes16 a, Bytes16 b) {
  if constexpr (W == 1)
    return __builtin_shufflevector(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
  if constexpr (W == 2)
    return __builtin_shufflevector(a, b, 8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31);
  if constexpr (W == 4)
    return __builtin_shufflevector(a, b, 8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31);
  if constexpr (W == 8)
    return __builtin_shufflevector(a, b, 8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31);
}

// Lane i of 16 as W bytes (W 2, 4 or 8): planes[0][i], planes[1][i], .. planes[W-1][i], a
// little-endian value at bytes W*i .. W*i+W-1 of lanes[0..W-1].
template <unsigned W>
[[gnu::always_inline]] inline void transpose(const Bytes16* planes, Bytes16* lanes) {
  static_assert(W == 2 || W == 4 || W == 8);
  // Each step doubles the bytes a lane holds: pairs of planes, then pairs of pairs.
  Bytes16 r[W];
  for (unsigned i = 0; i < W; i += 2) {
    r[i] = zip_lo<1>(planes[i], planes[i + 1]);
    r[i + 1] = zip_hi<1>(planes[i], planes[i + 1]);
  }
  if constexpr (W == 2) {
    lanes[0] = r[0];
    lanes[1] = r[1];
    return;
  }
  Bytes16 t[W];
  for (unsigned i = 0; i < W; i += 4)
    for (unsigned h = 0; h < 2; ++h) {
      t[i + 2 * h] = zip_lo<2>(r[i + h], r[i + h + 2]);
      t[i + 2 * h + 1] = zip_hi<2>(r[i + h], r[i + h + 2]);
    }
  if constexpr (W == 4) {
    for (unsigned i = 0; i < 4; ++i) lanes[i] = t[i];
  } else {
    for (unsigned q = 0; q < 4; ++q) {
      lanes[2 * q] = zip_lo<4>(t[q], t[q + 4]);
      lanes[2 * q + 1] = zip_hi<4>(t[q], t[q + 4]);
    }
  }
}

// The 16 W-byte lanes of a and of b, alternately: a's lane 0, b's lane 0, a's lane 1, ..
template <unsigned W>
void interleave(const Bytes16* a, const Bytes16* b, Bytes16* out) {
  for (unsigned v = 0; v < W; ++v) {
    out[2 * v] = zip_lo<W>(a[v], b[v]);
    out[2 * v + 1] = zip_hi<W>(a[v], b[v]);
  }
}

// Bytes 2k and 2k+1 of a then b (32 bytes) as byte k: the first in the low bits, the second
// shifted by S (both below 2^S).
template <unsigned S>
Bytes16 pack_pairs(Bytes16 a, Bytes16 b) {
  const Bytes16 even =
      __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const Bytes16 odd =
      __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
  return even | shift_up(odd, S);
}

// Rows of weights along the dimension the packers work across, 16 lanes at a time (filters,
// depthwise channels or neurons): row p holds the `lanes` weights of position p. Rows point
// into the tensor when that dimension has stride 1; otherwise `point` gathers them, lane by lane
// so that a lane's positions are read together, into a buffer it reuses. The last lanes of each
// row are also copied to a zero-padded tail, so that every load is one plain 16-byte load.
class LaneRows {
 public:
  LaneRows(size_t positions, size_t lanes, size_t stride)
      : rows_(positions), starts_(stride == 1 ? 0 : positions), lanes_(lanes), stride_(stride),
        tail_from_(lanes / kLanes * kLanes), buffer_(stride == 1 ? 0 : positions * lanes),
        tails_(positions * kTail) {}

  // start(p) is lane 0 of position p, lane l lies `l * stride` further.
  template <class Start>
  void point(const Start& start) {
    const size_t positions = rows_.size();
    if (stride_ == 1) {
      for (size_t p = 0; p < positions; ++p) rows_[p] = start(p);
    } else {
      for (size_t p = 0; p < positions; ++p) {
        starts_[p] = start(p);
        rows_[p] = buffer_.data() + p * lanes_;
      }
      for (size_t l = 0; l < lanes_; ++l)
        for (size_t p = 0; p < positions; ++p) buffer_[p * lanes_ + l] = starts_[p][l * stride_];
    }
    if (lanes_ > tail_from_)
      for (size_t p = 0; p < positions; ++p)
        std::memcpy(&tails_[p * kTail], rows_[p] + tail_from_, lanes_ - tail_from_);
  }

  // Lanes from .. from+15 of row p, those past the last lane 0; `from` is a multiple of 16, at
  // most 112 past the last multiple of 16 not above `lanes`.
  Bytes16 load(size_t p, size_t from) const {
    return load16(from + kLanes <= lanes_ ? rows_[p] + from : &tails_[p * kTail + (from - tail_from_)]);
  }

 private:
  // A tail holds the row's last partial block of 16 lanes and the zeros up to 7 blocks past it.
  static constexpr size_t kTail = 128;
  std::vector<const int8_t*> rows_, starts_;
  size_t lanes_, stride_, tail_from_;
  std::vector<int8_t> buffer_, tails_;
};

}  // namespace nuvra::v1
