#include "v2/cnp/packing.h"
#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

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

// The largest group: 7x7 filters, 224 words.
constexpr size_t kMaxGroupBytes = 896;

// Filters begin .. end-1 of one group (begin its first), one byte at a time through any strides, into that
// group's bytes `group` (zero where no weight goes), each written once: the group is put
// together in a local copy first. Row and column run outermost so the innermost loop walks
// the filters.
void pack_group_bytewise(const WeightSource& src, const int8_t* base, uint32_t channel, uint32_t begin, uint32_t end,
                         const Conv2dGeometry& g, uint8_t* group) {
  uint8_t local[kMaxGroupBytes];
  std::memset(local, 0, g.group_bytes);
  for (uint32_t y = 0; y < g.k; ++y) {
    for (uint32_t x = 0; x < g.k; ++x) {
      const int8_t* const column = base + x * src.s0 + y * src.s1 + channel * src.s2;
      uint8_t* dst = local + y * g.row_stride + x;
      if (g.split_column6 && x == 6) {
        for (uint32_t n = begin; n < end; ++n, dst += g.filter_step) place_k7_column6(dst, column[n * src.s3]);
      } else {
        for (uint32_t n = begin; n < end; ++n, dst += g.filter_step) *dst = static_cast<uint8_t>(column[n * src.s3]);
      }
    }
  }
  std::memcpy(group, local, g.group_bytes);
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
// eight-byte loads become the row's 8 * STEP bytes, stored eight at a time, then the zero gap
// up to ROW bytes. Every position is a compile-time constant once the loops unroll.
template <uint32_t K, uint32_t STEP, uint32_t ROW>
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
  if constexpr (ROW > 8 * STEP) std::memset(dst + 8 * STEP, 0, ROW - 8 * STEP);
}

// The first `groups` whole groups of every channel and row, for filters at stride 1.
template <uint32_t K, uint32_t STEP, uint32_t ROW>
void pack_contiguous_groups(const WeightSource& src, const int8_t* base, uint32_t channels, uint32_t groups,
                            const Conv2dGeometry& g, uint8_t* out) {
  static_assert(STEP >= K, "a filter row holds its k columns");
  static_assert(ROW >= 8 * STEP, "a group row holds its filters");
  for (uint32_t i = 0; i < channels; ++i) {
    uint8_t* const block = out + i * g.block_bytes;
    for (uint32_t y = 0; y < K; ++y) {
      const int8_t* columns[K];
      for (uint32_t x = 0; x < K; ++x) columns[x] = base + x * src.s0 + y * src.s1 + i * src.s2;
      uint8_t* const row = block + y * g.row_stride;
      for (uint32_t gi = 0; gi < groups; ++gi)
        pack_group_row<K, STEP, ROW>(columns, size_t{gi} * 8, row + gi * g.group_bytes);
    }
  }
}

// 1x1 kernels: channel i's block holds the part's filters, byte n for filter n, then zeros up to
// the block's end (a multiple of 24 bytes). Blocks of up to kMaxWordBlockBytes are copied as
// whole 8-byte words, masked past the part's filters; the bytes read past them (at most 23) must
// lie inside the tensor.
constexpr size_t kMaxWordBlockBytes = 192;

template <uint32_t W>
void pack_pointwise_words(const int8_t* src, size_t stride, uint32_t count, uint32_t rows, uint8_t* out) {
  uint64_t mask[W];
  for (uint32_t w = 0; w < W; ++w) {
    const uint32_t held = count > 8 * w ? count - 8 * w : 0;
    mask[w] = held >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * held)) - 1;
  }
  for (uint32_t i = 0; i < rows; ++i, src += stride, out += 8 * W) {
#pragma GCC unroll 24
    for (uint32_t w = 0; w < W; ++w) store_le64(out + 8 * w, load_le64(src + 8 * w) & mask[w]);
  }
}

// One channel's block of a 1x1 part whose filters lie next to each other, longer than the word
// path takes: copied inline in 32-byte pieces, which costs less than a call to memcpy and one to
// memset per channel. The zero tail lies within the block's last 32 bytes, so those are cleared
// first and the filters written over them; the last piece ends at the last filter.
constexpr size_t kPieceBytes = 32;

inline void copy_filters_padded(const int8_t* from, size_t count, size_t block_bytes, uint8_t* to) {
  if (count < kPieceBytes || block_bytes - count > kPieceBytes) {
    std::memcpy(to, from, count);
    std::memset(to + count, 0, block_bytes - count);
    return;
  }
  std::memset(to + block_bytes - kPieceBytes, 0, kPieceBytes);
  size_t o = 0;
  for (; o + kPieceBytes <= count; o += kPieceBytes) std::memcpy(to + o, from + o, kPieceBytes);
  if (o < count) std::memcpy(to + count - kPieceBytes, from + count - kPieceBytes, kPieceBytes);
}

// One part of a 1x1 layer: its first filter of channel 0, its filters and its image.
struct PointwisePart {
  const int8_t* base;
  uint32_t count;
  size_t block_bytes;
  uint8_t* out;
};

// Channels begin .. end-1 of `part` into its image.
void pack_pointwise_rows(const WeightSource& src, size_t readable, const PointwisePart& part, uint32_t begin,
                         uint32_t end) {
  if (src.s3 == 1 && part.block_bytes <= kMaxWordBlockBytes) {
    // The channels whose whole block can be read from the tensor take the word-wide path.
    const size_t offset = static_cast<size_t>(part.base - src.data);
    uint32_t fast_end = begin;
    if (readable >= offset + part.block_bytes) {
      const size_t room = readable - offset - part.block_bytes;
      fast_end = src.s2 == 0 ? end : static_cast<uint32_t>(std::min<uint64_t>(end, room / src.s2 + 1));
      fast_end = std::max(fast_end, begin);
    }
    const int8_t* from = part.base + begin * src.s2;
    uint8_t* to = part.out + begin * part.block_bytes;
    const uint32_t rows = fast_end - begin;
    switch (part.block_bytes / 8) {
      case 3: pack_pointwise_words<3>(from, src.s2, part.count, rows, to); break;
      case 6: pack_pointwise_words<6>(from, src.s2, part.count, rows, to); break;
      case 9: pack_pointwise_words<9>(from, src.s2, part.count, rows, to); break;
      case 12: pack_pointwise_words<12>(from, src.s2, part.count, rows, to); break;
      case 15: pack_pointwise_words<15>(from, src.s2, part.count, rows, to); break;
      case 18: pack_pointwise_words<18>(from, src.s2, part.count, rows, to); break;
      case 21: pack_pointwise_words<21>(from, src.s2, part.count, rows, to); break;
      case 24: pack_pointwise_words<24>(from, src.s2, part.count, rows, to); break;
      default: fast_end = begin;
    }
    begin = fast_end;
  }
  for (uint32_t i = begin; i < end; ++i) {
    uint8_t* const block = part.out + i * part.block_bytes;
    const int8_t* const column = part.base + i * src.s2;
    if (src.s3 == 1) {
      copy_filters_padded(column, part.count, part.block_bytes, block);
      continue;
    }
    for (uint32_t n = 0; n < part.count; ++n) block[n] = static_cast<uint8_t>(column[n * src.s3]);
    std::memset(block + part.count, 0, part.block_bytes - part.count);
  }
}

// Bytes of source rows a sweep over several parts takes at a time: they stay in the first-level
// cache while every part copies its filters out of them.
constexpr size_t kSweepRowBytes = 16384;

// The geometry of one part's image, after every check format_conv2d_cnp_weights makes.
Conv2dGeometry conv2d_geometry(const Dense& weights, uint32_t first, uint32_t count, size_t image_words,
                               WeightSource* src) {
  const Shape shape = weights.shape();
  const uint32_t k = shape[0];
  const uint32_t channels = shape[2];
  const uint32_t total = conv2d_cnp_formatted_weight_32b_size(k, count, channels);
  const CnpWeightFormatParams p = cnp_weight_format_params(k);
  *src = checked_weight_source(weights, k, channels, first, count);
  if (image_words != total) throw std::invalid_argument("cnp_weight_format: image of the wrong size");

  Conv2dGeometry g;
  g.k = k;
  g.group_filters = p.group_filters;
  g.filter_step = k + (p.gap_after != 0 ? p.gap_bytes : 0);
  g.group_bytes = size_t{p.group_words} * 4;
  g.row_stride = p.row_stride;
  g.split_column6 = p.unit_words == 4;
  g.block_bytes = 0;
  if (count == 0) return g;
  const uint64_t block_words = uint64_t{conv2d_ch_cont_100b_size(k, count)} * p.unit_words;
  // The size function saturates; an image whose word count does not fit 32 bits is refused
  // rather than written past its end.
  if (block_words * channels != total) throw std::runtime_error("cnp_weight_format: weight image too large");
  g.block_bytes = block_words * 4;
  return g;
}

}  // namespace

void format_conv2d_cnp_weights(const Dense& weights, uint32_t first, uint32_t count, std::span<uint32_t> image) {
  WeightSource src;
  const Conv2dGeometry g = conv2d_geometry(weights, first, count, image.size(), &src);
  if (count == 0) return;
  const uint32_t k = g.k;
  const uint32_t channels = weights.shape()[2];

  auto* const out = reinterpret_cast<uint8_t*>(image.data());
  const int8_t* const base = src.data + size_t{first} * src.s3;
  const uint32_t groups = static_cast<uint32_t>(g.block_bytes / g.group_bytes);

  if (k == 1) {
    pack_pointwise_rows(src, weights.size(), {base, count, g.block_bytes, out}, 0, channels);
  } else {
    // Filters next to each other (row-major tensors) take the word-wide path for whole groups;
    // the others, and a last partial group, are packed a group at a time.
    uint32_t whole = 0;
    if (src.s3 == 1) {
      whole = count / 8;
      switch (k) {
        case 3: pack_contiguous_groups<3, 3, 24>(src, base, channels, whole, g, out); break;
        case 4: pack_contiguous_groups<4, 4, 36>(src, base, channels, whole, g, out); break;
        case 5: pack_contiguous_groups<5, 6, 48>(src, base, channels, whole, g, out); break;
        case 7: pack_contiguous_groups<7, 16, 128>(src, base, channels, whole, g, out); break;
      }
    }
    if (whole < groups) {
      for (uint32_t i = 0; i < channels; ++i)
        for (uint32_t gi = whole; gi < groups; ++gi)
          pack_group_bytewise(src, base, i, gi * 8, std::min(count, gi * 8 + 8), g,
                              out + i * g.block_bytes + gi * g.group_bytes);
    }
  }
  store_byte_image(image);
}

void format_conv2d_cnp_weight_parts(const Dense& weights, std::span<const Conv2dWeightPart> parts) {
  // Everything is checked before anything is written.
  std::vector<PointwisePart> pointwise;
  pointwise.reserve(parts.size());
  WeightSource src;
  for (const Conv2dWeightPart& p : parts) {
    const Conv2dGeometry g = conv2d_geometry(weights, p.first, p.count, p.image.size(), &src);
    if (p.count != 0)
      pointwise.push_back({src.data + size_t{p.first} * src.s3, p.count, g.block_bytes, image_bytes(p.image)});
  }
  if (pointwise.empty()) return;
  const uint32_t channels = weights.shape()[2];
  if (weights.shape()[0] == 1) {
    // The source rows are taken a few at a time, every part copying its filters out of them, so
    // that each row is read from memory once.
    const uint32_t step =
        static_cast<uint32_t>(std::clamp<size_t>(kSweepRowBytes / std::max<size_t>(src.s2, 1), 1, channels));
    for (uint32_t begin = 0; begin < channels; begin += step) {
      const uint32_t end = channels - begin > step ? begin + step : channels;
      for (const PointwisePart& part : pointwise) pack_pointwise_rows(src, weights.size(), part, begin, end);
    }
    for (const Conv2dWeightPart& p : parts) store_byte_image(p.image);
    return;
  }
  // A range that comes again is copied from where it was made.
  for (size_t i = 0; i < parts.size(); ++i) {
    const Conv2dWeightPart& p = parts[i];
    const auto made = parts.begin() + static_cast<std::ptrdiff_t>(i);
    const auto same = std::find_if(parts.begin(), made, [&](const Conv2dWeightPart& o) {
      return o.first == p.first && o.count == p.count;
    });
    if (same != made)
      std::copy(same->image.begin(), same->image.end(), p.image.begin());
    else
      format_conv2d_cnp_weights(weights, p.first, p.count, p.image);
  }
}

void check_conv2d_cnp_weights(const Dense& weights, uint32_t first, uint32_t count) {
  const Shape shape = weights.shape();
  const uint32_t k = shape[0];
  const uint32_t channels = shape[2];
  const uint32_t total = conv2d_cnp_formatted_weight_32b_size(k, count, channels);
  const CnpWeightFormatParams p = cnp_weight_format_params(k);
  checked_weight_source(weights, k, channels, first, count);
  if (count == 0) return;
  if (uint64_t{conv2d_ch_cont_100b_size(k, count)} * p.unit_words * channels != total)
    throw std::runtime_error("cnp_weight_format: weight image too large");
}

std::vector<uint32_t> format_conv2d_cnp_weights(const Dense& weights, uint32_t first, uint32_t count) {
  std::vector<uint32_t> image(conv2d_cnp_formatted_weight_32b_size(weights.shape()[0], count, weights.shape()[2]));
  format_conv2d_cnp_weights(weights, first, count, image);
  return image;
}

}  // namespace nuvra::v2
