// Helpers shared by the CNP data packers (weights, shifts): a word image filled byte by byte,
// and a raw view of a weight tensor whose reads are proven in bounds once, up front.
#pragma once

#include <nuvra/tensor.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace nuvra::v2 {

// Packers write their words as bytes: byte p is bits 8*(p % 4) .. +7 of word p / 4. Called
// once every byte is written, this turns them into words on any host.
inline void store_byte_image(std::span<uint32_t> words) {
  if constexpr (std::endian::native == std::endian::big)
    for (auto& w : words) w = __builtin_bswap32(w);
}
inline uint8_t* image_bytes(std::span<uint32_t> words) { return reinterpret_cast<uint8_t*>(words.data()); }

// Little-endian 64-bit access to unaligned bytes: byte j of the value is byte j in memory.
inline uint64_t load_le64(const void* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline void store_le64(void* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// Throws std::runtime_error "cnp_weight_format: Unexpected kernel size".
[[noreturn]] void unexpected_weight_format_kernel();

// Signed bytes of a weight tensor (x, y, c, n) read through its element strides.
struct WeightSource {
  const int8_t* data = nullptr;
  size_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
};

// Takes the tensor's bytes as one-byte signed elements (any other type panics "Wrong requested
// type %s for a tensor of type %s."). When `count` > 0, kernel columns and rows 0 .. kernel-1,
// channels 0 .. channels-1 and filters first .. first+count-1 must all lie inside the tensor's
// four dimensions; otherwise panics "Coordinates are out-of-range" before anything is read.
WeightSource checked_weight_source(const Dense& weights, uint32_t kernel, uint32_t channels, uint32_t first,
                                   uint32_t count);

}  // namespace nuvra::v2
