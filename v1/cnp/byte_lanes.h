// Sixteen weights at a time for the CNP weight packers: byte vectors whose element i is byte i in
// memory on every host (only byte-wise operations and byte shuffles, never wider lanes), and the
// two reshapes the formats need: codes of several positions gathered into one value per lane, and
// codes of consecutive lanes packed densely.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nuvra::v1 {

using Bytes16 = uint8_t __attribute__((vector_size(16)));

// The first n bytes at p (all 16 when n >= 16), the others 0; never reads past p + n.
inline Bytes16 load_lanes(const int8_t* p, size_t n) {
  Bytes16 v = {};
  if (n >= 16)
    std::memcpy(&v, p, 16);
  else if (n > 0)
    std::memcpy(&v, p, n);
  return v;
}

// 0xFF where the comparison holds, 0 elsewhere.
template <class Mask>
Bytes16 as_bytes(Mask m) {
  return reinterpret_cast<Bytes16>(m);
}

template <class T>
T load_le(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(uint64_t{v}) >> (64 - 8 * sizeof v);
  return v;
}

// Lane i of out is the little-endian value of bytes planes[0][i], planes[1][i], ...
// planes[W-1][i]; W is 2, 4 or 8.
template <unsigned W>
void lanes_of(const Bytes16* planes, uint64_t* out) {
  static_assert(W == 2 || W == 4 || W == 8);
  const auto zip8_lo = [](Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
  };
  const auto zip8_hi = [](Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
  };
  const auto zip16_lo = [](Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23);
  };
  const auto zip16_hi = [](Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31);
  };
  const auto zip32_lo = [](Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
  };
  const auto zip32_hi = [](Bytes16 a, Bytes16 b) {
    return __builtin_shufflevector(a, b, 8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31);
  };
  // Each step doubles the bytes a lane holds: pairs of planes, then pairs of pairs.
  Bytes16 r[W];
  for (unsigned i = 0; i < W; i += 2) {
    r[i] = zip8_lo(planes[i], planes[i + 1]);
    r[i + 1] = zip8_hi(planes[i], planes[i + 1]);
  }
  if constexpr (W >= 4) {
    Bytes16 t[W];
    for (unsigned i = 0; i < W; i += 4)
      for (unsigned h = 0; h < 2; ++h) {
        t[i + 2 * h] = zip16_lo(r[i + h], r[i + h + 2]);
        t[i + 2 * h + 1] = zip16_hi(r[i + h], r[i + h + 2]);
      }
    if constexpr (W == 8)
      for (unsigned q = 0; q < 4; ++q) {
        r[2 * q] = zip32_lo(t[q], t[q + 4]);
        r[2 * q + 1] = zip32_hi(t[q], t[q + 4]);
      }
    else
      for (unsigned i = 0; i < W; ++i) r[i] = t[i];
  }
  uint8_t bytes[16 * W];
  std::memcpy(bytes, r, sizeof bytes);
  for (unsigned i = 0; i < 16; ++i) {
    if constexpr (W == 2) out[i] = load_le<uint16_t>(bytes + 2 * i);
    if constexpr (W == 4) out[i] = load_le<uint32_t>(bytes + 4 * i);
    if constexpr (W == 8) out[i] = load_le<uint64_t>(bytes + 8 * i);
  }
}

// Bytes 2k and 2k+1 of a then b (32 bytes) as byte k: the first in the low bits, the second
// shifted by `shift`.
template <unsigned Shift>
Bytes16 pack_pairs(Bytes16 a, Bytes16 b) {
  const Bytes16 even =
      __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const Bytes16 odd =
      __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
  return even | static_cast<Bytes16>(odd << Shift);
}

}  // namespace nuvra::v1
