#include "v2/cnp/packing.h"
#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

// Per input channel i, filters go in groups; inside a group each kernel row y starts at
// y * row_stride and holds the group's filters one after the other, each as its k columns plus
// the gap. Every format has gap_after == k, so the gap follows each filter's row.

namespace nuvra::v2 {

namespace {

struct Conv2dGeometry {
  uint32_t k;
  uint32_t group_filters;
  size_t filter_step;  // bytes from one filter's row to the next inside a group
  size_t group_bytes;
  size_t row_stride;
  size_t block_bytes;  // one input channel
  bool split_column6;  // 7x7: column 6 spread over two bytes
};

// 7x7 column 6: its low two bits, and two bytes further its high six bits.
inline void place_k7_column6(uint8_t* dst, int8_t w) {
  const auto u = static_cast<uint8_t>(w);
  dst[0] = u & 3u;
  dst[2] = static_cast<uint8_t>(u >> 2);
}

// Filters begin .. end-1 (begin a multiple of the group size), one byte at a time through any
// strides. Channel, row and column run outermost so the innermost loop walks the filters.
void pack_bytewise(const WeightSource& src, const int8_t* base, uint32_t channels, uint32_t begin, uint32_t end,
                   const Conv2dGeometry& g, uint8_t* out) {
  const size_t s3 = src.s3;
  for (uint32_t i = 0; i < channels; ++i) {
    uint8_t* const block = out + i * g.block_bytes;
    for (uint32_t y = 0; y < g.k; ++y) {
      for (uint32_t x = 0; x < g.k; ++x) {
        const int8_t* const column = base + x * src.s0 + y * src.s1 + i * src.s2;
        uint8_t* const row = block + y * g.row_stride + x;
        const bool split = g.split_column6 && x == 6;
        for (uint32_t n = begin; n < end;) {
          uint8_t* dst = row + (n / g.group_filters) * g.group_bytes;
          const uint32_t group_end = std::min(end, n + g.group_filters);
          if (split) {
            for (; n < group_end; ++n, dst += g.filter_step) place_k7_column6(dst, column[n * s3]);
          } else {
            for (; n < group_end; ++n, dst += g.filter_step) *dst = static_cast<uint8_t>(column[n * s3]);
          }
        }
      }
    }
  }
}

constexpr uint64_t byte_of(uint64_t v, uint32_t i) { return (v >> (8 * i)) & 0xFFu; }

// Byte q of filter f's row inside an 8-filter group, from the filters' column bytes.
template <uint32_t K>
constexpr uint64_t row_byte(const uint64_t* cols, uint32_t f, uint32_t q) {
  if constexpr (K == 7) {
    if (q < 6) return byte_of(cols[q], f);
    if (q == 6) return byte_of(cols[6], f) & 3u;
    if (q == 8) return byte_of(cols[6], f) >> 2;
    return 0;
  } else {
    return q < K ? byte_of(cols[q], f) : 0;
  }
}

// One kernel row of a whole group of 8 filters that lie next to each other in memory: K
// eight-byte loads become the row's 8 * STEP bytes, stored eight at a time. Every position is
// a compile-time constant once the loops unroll.
template <uint32_t K, uint32_t STEP>
inline void pack_group_row(const int8_t* const (&columns)[K], size_t n, uint8_t* dst) {
  uint64_t cols[K];
  for (uint32_t x = 0; x < K; ++x) cols[x] = load_le64(columns[x] + n);
#pragma GCC unroll 16
  for (uint32_t w = 0; w < STEP; ++w) {
    uint64_t word = 0;
#pragma GCC unroll 8
    for (uint32_t j = 0; j < 8; ++j) {
      const uint32_t p = w * 8 + j;
      word |= row_byte<K>(cols, p / STEP, p % STEP) << (8 * j);
    }
    store_le64(dst + 8 * w, word);
  }
}

// The first `groups` whole groups of every channel and row, for filters at stride 1.
template <uint32_t K, uint32_t STEP>
void pack_contiguous_groups(const WeightSource& src, const int8_t* base, uint32_t channels, uint32_t groups,
                            const Conv2dGeometry& g, uint8_t* out) {
  static_assert(STEP >= K, "a filter row holds its k columns");
  for (uint32_t i = 0; i < channels; ++i) {
    uint8_t* const block = out + i * g.block_bytes;
    for (uint32_t y = 0; y < K; ++y) {
      const int8_t* columns[K];
      for (uint32_t x = 0; x < K; ++x) columns[x] = base + x * src.s0 + y * src.s1 + i * src.s2;
      uint8_t* const row = block + y * g.row_stride;
      for (uint32_t gi = 0; gi < groups; ++gi) pack_group_row<K, STEP>(columns, size_t{gi} * 8, row + gi * g.group_bytes);
    }
  }
}

}  // namespace

std::vector<uint32_t> format_conv2d_cnp_weights(const Dense& weights, uint32_t first, uint32_t count) {
  const Shape shape = weights.shape();
  const uint32_t k = shape[0];
  const uint32_t channels = shape[2];
  const uint32_t total = conv2d_cnp_formatted_weight_32b_size(k, count, channels);
  const CnpWeightFormatParams p = cnp_weight_format_params(k);
  const WeightSource src = checked_weight_source(weights, k, channels, first, count);
  if (count == 0) return {};

  Conv2dGeometry g;
  g.k = k;
  g.group_filters = p.group_filters;
  g.filter_step = k + (p.gap_after != 0 ? p.gap_bytes : 0);
  g.group_bytes = size_t{p.group_words} * 4;
  g.row_stride = p.row_stride;
  g.split_column6 = p.unit_words == 4;
  const uint64_t block_words = uint64_t{conv2d_ch_cont_100b_size(k, count)} * p.unit_words;
  // The size function saturates; an image whose word count does not fit 32 bits is refused
  // rather than written past its end.
  if (block_words * channels != total) throw std::runtime_error("cnp_weight_format: weight image too large");
  g.block_bytes = block_words * 4;

  ByteImage image(total);
  uint8_t* const out = image.bytes();
  const int8_t* const base = src.data + size_t{first} * src.s3;

  // Filters next to each other (row-major tensors) take the word-wide path for whole groups.
  uint32_t done = 0;
  if (src.s3 == 1) {
    const uint32_t groups = count / 8;
    switch (k) {
      case 1:
        // 24-filter groups of 24 bytes: filter n sits at byte n of the channel's block.
        for (uint32_t i = 0; i < channels; ++i) std::memcpy(out + i * g.block_bytes, base + i * src.s2, count);
        done = count;
        break;
      case 3: pack_contiguous_groups<3, 3>(src, base, channels, groups, g, out); break;
      case 4: pack_contiguous_groups<4, 4>(src, base, channels, groups, g, out); break;
      case 5: pack_contiguous_groups<5, 6>(src, base, channels, groups, g, out); break;
      case 7: pack_contiguous_groups<7, 16>(src, base, channels, groups, g, out); break;
    }
    if (k != 1) done = groups * 8;
  }
  if (done < count) pack_bytewise(src, base, channels, done, count, g, out);
  return image.take();
}

}  // namespace nuvra::v2
