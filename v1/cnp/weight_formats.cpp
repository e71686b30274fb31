#include "v1/cnp/weight_formats.h"

#include "v1/byte_lanes.h"
#include "v1/cnp/cnp_sizes.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace nuvra::v1 {

namespace {

constexpr unsigned kSlotBits = 50;
// 1x1 and pointwise codes fill 48-bit slots densely.
constexpr uint64_t kDenseSlotMask = (uint64_t{1} << 48) - 1;

// Signed bytes of a weight tensor read through its element strides, proven inside the tensor
// once, before any read.
struct WeightView {
  const int8_t* data = nullptr;
  size_t s[4] = {0, 0, 0, 0};
  const int8_t& at(size_t a, size_t b, size_t c = 0, size_t d = 0) const {
    return data[a * s[0] + b * s[1] + c * s[2] + d * s[3]];
  }
};

// `dims` dimensions; indices 0 .. extent - 1 of each dimension past the first must lie inside the
// tensor, and so must first .. first + count - 1 of the first.
WeightView checked_view(const Dense& weights, size_t dims, uint64_t first, uint64_t count) {
  WeightView view;
  view.data = weights.data<int8_t>();
  const Shape shape = weights.shape();
  const auto& strides = weights.strides();
  if (shape.size() != dims || strides.size() != dims) panic("Coordinates are out-of-range");
  if (count == 0) return view;
  if (first + count > shape[0]) panic("Coordinates are out-of-range");
  unsigned __int128 last = static_cast<unsigned __int128>(first + count - 1) * strides[0];
  for (size_t i = 0; i < dims; ++i) {
    view.s[i] = strides[i];
    if (i > 0) last += static_cast<unsigned __int128>(shape[i] - 1) * strides[i];
  }
  if (last >= weights.size()) panic("Coordinates are out-of-range");
  return view;
}

void check_image(std::span<uint32_t> out, uint32_t words) {
  if (out.size() != words) panic("A weight image of %zu words cannot take %u words", out.size(), words);
}

void store_slot(uint32_t* at, uint64_t slot) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &slot, sizeof slot);
  } else {
    at[0] = static_cast<uint32_t>(slot);
    at[1] = static_cast<uint32_t>(slot >> 32);
  }
}

// Standard (filters, channels, K, K) weights: channels and a square kernel of 1, 3, 5 or 7.
uint32_t square_kernel(const Dense& weights) {
  const Shape shape = weights.shape();
  if (shape.size() != 4) panic("Coordinates are out-of-range");
  if (shape[2] != shape[3]) throw std::runtime_error("CNP: width and height must be equal");
  return shape[3];
}

// Sign-and-magnitude nibbles: bits 0-2 |w| & 7, bit 3 set for w > 0.
Bytes16 nibbles(Bytes16 v) {
  using Signed16 = int8_t __attribute__((vector_size(16)));
  // |w| is the smaller of w and -w as unsigned bytes (128 for -128).
  return (min_bytes(v, -v) & 7) | (as_bytes(reinterpret_cast<Signed16>(v) > 0) & 8);
}

// Both one-bit masks of 1x1 weights: bit 0 for exactly 1, bit 1 for exactly -1.
Bytes16 mask_pairs(Bytes16 v) { return (as_bytes(v == 1) & 1) | (as_bytes(v == 0xFF) & 2); }

// Codes of separable weights: two's complement of 2 or 4 bits, or 0 and 1 for 1-bit weights.
struct CodeRange {
  int lo, hi;
  uint32_t mask;
  explicit CodeRange(int bits)
      : lo(bits == 1 ? 0 : -(1 << (bits - 1))), hi(bits == 1 ? 1 : (1 << (bits - 1)) - 1), mask((1u << bits) - 1u) {}
  uint32_t operator()(int8_t w) const {
    if (w < lo || w > hi) refuse(w);
    return static_cast<uint32_t>(w) & mask;
  }
  // The codes of 16 weights; `worst` keeps the largest distance above lo seen.
  Bytes16 operator()(Bytes16 v, Bytes16& worst) const {
    worst = max_bytes(worst, v - static_cast<uint8_t>(lo));
    return v & static_cast<uint8_t>(mask);
  }
  bool out_of_range(Bytes16 worst) const { return any(worst > static_cast<uint8_t>(hi - lo)); }
  [[noreturn]] void refuse(int w) const {
    if (lo == 0) panic("%d cannot fit in a %d bits unsigned integer", w, 1);
    panic("%d cannot fit in a %d bits signed integer", w, mask == 3 ? 2 : 4);
  }
};

// Codes of `B` bits of a row's lanes 0 .. count-1, lane i at bit B*i of a stream cut into 48-bit
// slots from `channel` on, then zero slots up to `channel_words`. `dense` holds the stream: 16
// bytes for every 128 / B lanes, and 24 more bytes that stay 0.
template <unsigned B, class Code>
void pack_dense(uint32_t* channel, size_t channel_words, const LaneRows& rows, size_t count, const Code& code,
                std::vector<uint8_t>& dense) {
  constexpr size_t block = 128 / B;
  for (size_t f = 0, at = 0; f < count; f += block, at += 16) {
    Bytes16 v[8 / B];
    for (unsigned j = 0; j < 8 / B; ++j) v[j] = code(rows.load(0, f + 16 * j));
    if constexpr (B == 1)
      for (unsigned j = 0; j < 4; ++j) v[j] = pack_pairs<1>(v[2 * j], v[2 * j + 1]);
    if constexpr (B <= 2)
      for (unsigned j = 0; j < 2; ++j) v[j] = pack_pairs<2>(v[2 * j], v[2 * j + 1]);
    v[0] = pack_pairs<4>(v[0], v[1]);
    std::memcpy(dense.data() + at, &v[0], 16);
  }
  // Three 64-bit words make four slots.
  const size_t used = (count * B + 47) / 48;
  if (2 * used > channel_words) panic("Coordinates are out-of-range");
  const auto put = [&](size_t s, size_t n) {
    const uint8_t* d = dense.data() + 6 * s;
    const uint64_t w0 = load_le<uint64_t>(d), w1 = load_le<uint64_t>(d + 8), w2 = load_le<uint64_t>(d + 16);
    const uint64_t slot[4] = {w0, w0 >> 48 | w1 << 16, w1 >> 32 | w2 << 32, w2 >> 16};
    for (size_t j = 0; j < n; ++j) store_slot(channel + 2 * (s + j), slot[j] & kDenseSlotMask);
  };
  size_t s = 0;
  for (; s + 4 <= used; s += 4) put(s, 4);
  if (s < used) put(s, used - s);
  for (s = used; 2 * s < channel_words; ++s) store_slot(channel + 2 * s, 0);
}

std::vector<uint8_t> dense_stream(size_t count, unsigned bits) {
  return std::vector<uint8_t>((count * bits + 127) / 128 * 16 + 24);
}

// 1x1 standard kernels: per channel, the codes of `B` bits of the filters first .. first+count-1
// as one dense stream of 48-bit slots.
template <unsigned B, class Code>
void pack_1x1(std::span<uint32_t> out, const WeightView& w, uint32_t first, uint32_t count, uint32_t channels,
              const Code& code) {
  const size_t channel_words = out.size() / channels;
  LaneRows rows(1, count, w.s[0]);
  std::vector<uint8_t> dense = dense_stream(count, B);
  for (uint32_t c = 0; c < channels; ++c) {
    if (count > 0) rows.point([&](size_t) { return &w.at(first, c); });
    pack_dense<B>(out.data() + size_t{c} * channel_words, channel_words, rows, count, code, dense);
  }
}

// Standard 1- and 2-bit kernels of K 3, 5, 7: a kernel is bit y*K + x of each position's mask,
// and consecutive kernels (plus then minus in the 2-bit form) fill 50-bit slots exactly.
template <unsigned K>
void pack_masks(std::span<uint32_t> out, const WeightView& w, bool both, uint32_t first, uint32_t count,
                uint32_t channels) {
  constexpr unsigned positions = K * K, W = positions <= 16 ? 2 : (positions <= 32 ? 4 : 8);
  constexpr unsigned kernel_bits = K == 5 ? 25 : positions + 1, per_slot = kSlotBits / kernel_bits;
  const size_t channel_words = out.size() / channels;
  const size_t kernels = size_t{count} * (both ? 2 : 1), slots = (kernels + per_slot - 1) / per_slot;
  if (2 * slots > channel_words) panic("Coordinates are out-of-range");
  // Kernels of W bytes. Whole blocks of 16 filters are written; kernels past the last are 0 and
  // complete the last slot.
  const size_t blocks = (size_t{count} + kLanes - 1) / kLanes;
  std::vector<uint8_t> kernel(W * std::max(slots * per_slot, blocks * kLanes * (both ? 2 : 1)));
  // The masks of 16 filters: plane t holds positions 8t .. 8t+7, plus then minus (a plane no
  // position reaches stays 0). They are made plane by plane over all filters, so that at most
  // eight rows of weights are read side by side.
  std::vector<Bytes16> mask(blocks * 2 * W);
  LaneRows rows(positions, count, w.s[0]);
  for (uint32_t c = 0; c < channels; ++c) {
    if (count > 0) rows.point([&](size_t p) { return &w.at(first, c, p / K, p % K); });
    for (unsigned t = 0; t < (positions + 7) / 8; ++t)
      for (size_t block = 0; block < blocks; ++block) {
        Bytes16 plus = {}, minus = {};
        for (unsigned p = 8 * t; p < std::min(8 * t + 8, positions); ++p) {
          const Bytes16 v = rows.load(p, block * kLanes);
          const uint8_t bit = static_cast<uint8_t>(1u << (p % 8));
          plus |= as_bytes(v == 1) & bit;
          if (both) minus |= as_bytes(v == 0xFF) & bit;
        }
        mask[block * 2 * W + t] = plus;
        mask[block * 2 * W + W + t] = minus;
      }
    for (size_t block = 0; block < blocks; ++block) {
      Bytes16 p16[W], m16[W], pm[2 * W];
      transpose<W>(&mask[block * 2 * W], p16);
      if (!both) {
        std::memcpy(&kernel[W * kLanes * block], p16, sizeof p16);
        continue;
      }
      transpose<W>(&mask[block * 2 * W + W], m16);
      interleave<W>(p16, m16, pm);
      std::memcpy(&kernel[2 * W * kLanes * block], pm, sizeof pm);
    }
    uint32_t* channel = out.data() + size_t{c} * channel_words;
    for (size_t s = 0; s < slots; ++s) {
      const uint8_t* k = &kernel[W * s * per_slot];
      uint64_t slot = 0;
      for (unsigned j = 0; j < per_slot; ++j)
        slot |= uint64_t{load_le<LaneValue<W>>(k + W * j)} << (j * kernel_bits);
      store_slot(channel + 2 * s, slot);
    }
    for (size_t s = slots; 2 * s < channel_words; ++s) store_slot(channel + 2 * s, 0);
  }
}

// Slots of one group of 8 filters from the group's kernel rows, row by row, as W-byte lanes
// (nibble x of row y of filter j at bit 4x of lane 8y + j of `seq`): rows of 8 filters one after
// the other, 48 bits a slot (3x3), 50 (5x5), or six 50-bit slots a row started again by filters
// 3 and 6 (7x7).
template <unsigned K, unsigned W>
void put_nibble_group(uint32_t* at, const uint8_t* seq) {
  const auto v = [&](unsigned i) -> uint64_t { return load_le<LaneValue<W>>(seq + W * i); };
  if constexpr (K == 3) {
    for (unsigned i = 0; i < 24; i += 4, at += 2)
      store_slot(at, v(i) | v(i + 1) << 12 | v(i + 2) << 24 | v(i + 3) << 36);
  } else if constexpr (K == 5) {
    // Five rows of 20 bits take two slots, the third cut after its tenth bit.
    for (unsigned i = 0; i < 40; i += 5, at += 4) {
      const uint64_t cut = v(i + 2);
      store_slot(at, v(i) | v(i + 1) << 20 | (cut & 0x3FF) << 40);
      store_slot(at + 2, cut >> 10 | v(i + 3) << 10 | v(i + 4) << 30);
    }
  } else {
    // Three rows of 28 bits: the second cut after its 22nd bit.
    constexpr uint64_t low22 = (uint64_t{1} << 22) - 1;
    for (unsigned i = 0; i < 56; i += 8, at += 12) {
      for (unsigned j = 0; j < 6; j += 3) {
        store_slot(at + 4 * j / 3, v(i + j) | (v(i + j + 1) & low22) << 28);
        store_slot(at + 4 * j / 3 + 2, v(i + j + 1) >> 22 | v(i + j + 2) << 6);
      }
      store_slot(at + 8, v(i + 6) | (v(i + 7) & low22) << 28);
      store_slot(at + 10, v(i + 7) >> 22);
    }
  }
}

// Standard 4-bit kernels of K 3, 5, 7 in groups of 8 filters.
template <unsigned K>
void pack_nibble_rows(std::span<uint32_t> out, const WeightView& w, uint32_t first, uint32_t count,
                      uint32_t channels) {
  constexpr unsigned W = K == 3 ? 2 : 4, group_slots = K == 3 ? 6 : (K == 5 ? 16 : 42);
  const size_t channel_words = out.size() / channels;
  const size_t groups = (size_t{count} + 7) / 8;
  if (2 * groups * group_slots > channel_words) panic("Coordinates are out-of-range");
  // Kernel rows as W-byte lanes, made row by row over all filters, so that K rows of weights are
  // read side by side; each group of 8 filters keeps its rows one after the other.
  const size_t blocks = (size_t{count} + kLanes - 1) / kLanes, group_bytes = K * 8 * W;
  std::vector<uint8_t> rows_of(blocks * 2 * group_bytes);
  LaneRows rows(K * K, count, w.s[0]);
  for (uint32_t c = 0; c < channels; ++c) {
    uint32_t* channel = out.data() + size_t{c} * channel_words;
    if (count > 0) rows.point([&](size_t p) { return &w.at(first, c, p / K, p % K); });
    for (unsigned y = 0; y < K; ++y)
      for (size_t block = 0; block < blocks; ++block) {
        // Plane t holds nibbles 2t and 2t+1 of the row (0 past the row's end).
        Bytes16 plane[W], lanes[W];
        for (unsigned t = 0; t < W; ++t) {
          const auto n = [&](unsigned x) {
            return x < K ? nibbles(rows.load(y * K + x, block * kLanes)) : Bytes16{};
          };
          plane[t] = n(2 * t) | shift_up(n(2 * t + 1), 4);
        }
        transpose<W>(plane, lanes);
        for (size_t h = 0; h < 2; ++h)
          std::memcpy(&rows_of[(2 * block + h) * group_bytes + y * 8 * W], &lanes[h * W / 2], 8 * W);
      }
    for (size_t g = 0; g < groups; ++g)
      put_nibble_group<K, W>(channel + 2 * g * group_slots, &rows_of[g * group_bytes]);
    for (size_t s = groups * group_slots; 2 * s < channel_words; ++s) store_slot(channel + 2 * s, 0);
  }
}

// Depthwise kernels (k x k codes of B bits, rows of one channel in units of unit_rows rows,
// per_slot units of unit_bits bits a slot) of all channels, 16 channels at a time, each unit's
// codes gathered as lanes of W bytes; then zero slots up to the end of `out`.
struct DepthwiseUnits {
  unsigned k, unit_rows, unit_bits, per_slot;

  template <unsigned B, unsigned W>
  void pack(std::span<uint32_t> out, const LaneRows& rows, size_t channels, const CodeRange& code,
            Bytes16& worst) const {
    const unsigned units = (k + unit_rows - 1) / unit_rows;
    std::vector<uint8_t> unit(size_t{units} * kLanes * W);
    uint32_t* at = out.data();
    uint64_t slot = 0;
    unsigned in_slot = 0;
    for (size_t c = 0; c < channels; c += kLanes) {
      for (unsigned u = 0; u < units; ++u) {
        const size_t from = size_t{u} * unit_rows * k, to = std::min<size_t>(k, (u + 1) * unit_rows) * k;
        // Plane t holds the codes of 8 / B positions; planes past the unit's last are 0.
        Bytes16 plane[W], lanes[W];
        for (unsigned t = 0; t < W; ++t) {
          Bytes16 codes = {};
          for (unsigned j = 0; j < 8 / B; ++j) {
            const size_t p = from + t * (8 / B) + j;
            if (p < to) codes |= shift_up(code(rows.load(p, c), worst), j * B);
          }
          plane[t] = codes;
        }
        transpose<W>(plane, lanes);
        std::memcpy(&unit[size_t{u} * kLanes * W], lanes, sizeof lanes);
      }
      const size_t n = std::min<size_t>(kLanes, channels - c);
      const auto value = [&](unsigned u, size_t i) -> uint64_t {
        return load_le<LaneValue<W>>(&unit[(size_t{u} * kLanes + i) * W]);
      };
      // One unit a slot, or two kernels (16 channels make whole slots; a missing last one is 0).
      if (per_slot == 1 && units == 1) {
        for (size_t i = 0; i < n; ++i) store_slot(at + 2 * i, value(0, i));
        at += 2 * n;
        continue;
      }
      if (per_slot == 1) {
        for (size_t i = 0; i < n; ++i)
          for (unsigned u = 0; u < units; ++u, at += 2) store_slot(at, value(u, i));
        continue;
      }
      if (per_slot == 2) {
        for (size_t i = 0; i < n; i += 2, at += 2) store_slot(at, value(0, i) | value(0, i + 1) << unit_bits);
        continue;
      }
      for (size_t i = 0; i < n; ++i)
        for (unsigned u = 0; u < units; ++u) {
          slot |= value(u, i) << (in_slot * unit_bits);
          if (++in_slot == per_slot) {
            store_slot(at, slot);
            at += 2;
            slot = 0;
            in_slot = 0;
          }
        }
    }
    if (in_slot > 0) {
      store_slot(at, slot);
      at += 2;
    }
    for (; at < out.data() + out.size(); at += 2) store_slot(at, 0);
  }
};

}  // namespace

void check_cnp_weights(const Dense& weights, size_t dims, uint32_t first, uint32_t count) {
  checked_view(weights, dims, first, count);
}

uint32_t std_cnp_weights_32b_size(const Dense& weights, int bits, uint32_t count) {
  const uint32_t kernel = square_kernel(weights);
  return get_std_cnp_sram_size(kernel, weights.shape()[1], count, bits);
}

void format_std_cnp_weights(std::span<uint32_t> out, const Dense& weights, bool two_bit, uint32_t first,
                            uint32_t count) {
  const uint32_t k = square_kernel(weights);
  // A 1x1 layer keeps both masks of 24 filters in 48 bits; other kernels are padded to
  // 10 (3x3) or 50 (7x7) bits and packed 5, 2 or 1 to a 50-bit slot.
  const bool both = two_bit || k == 1;
  const uint32_t words = std_cnp_weights_32b_size(weights, both ? 2 : 1, count);
  check_image(out, words);
  const WeightView w = checked_view(weights, 4, first, count);
  const uint32_t channels = weights.shape()[1];
  if (channels == 0) return;
  switch (k) {
    case 1: return pack_1x1<2>(out, w, first, count, channels, mask_pairs);
    case 3: return pack_masks<3>(out, w, both, first, count, channels);
    case 5: return pack_masks<5>(out, w, both, first, count, channels);
    default: return pack_masks<7>(out, w, both, first, count, channels);
  }
}

void format_4bits_std_cnp_weights(std::span<uint32_t> out, const Dense& weights, uint32_t first, uint32_t count) {
  const uint32_t k = square_kernel(weights);
  const uint32_t words = std_cnp_weights_32b_size(weights, 4, count);
  check_image(out, words);
  const WeightView w = checked_view(weights, 4, first, count);
  const uint32_t channels = weights.shape()[1];
  if (channels == 0) return;
  switch (k) {
    case 1: return pack_1x1<4>(out, w, first, count, channels, nibbles);  // twelve nibbles a slot
    case 3: return pack_nibble_rows<3>(out, w, first, count, channels);
    case 5: return pack_nibble_rows<5>(out, w, first, count, channels);
    default: return pack_nibble_rows<7>(out, w, first, count, channels);
  }
}

uint32_t sep_cnp_dw_weights_32b_size(const Dense& weights, int bits) {
  const uint32_t kernel = square_kernel(weights);
  return sep_cnp_dw_weights_32b_size(kernel, weights.shape()[1], bits);
}

void format_sep_cnp_dw_weights(std::span<uint32_t> out, const Dense& weights, int bits) {
  const uint32_t words = sep_cnp_dw_weights_32b_size(weights, bits);
  check_image(out, words);
  const uint32_t k = weights.shape()[3];
  const uint32_t channels = weights.shape()[1];
  const WeightView w = checked_view(weights, 4, 0, 1);
  const CodeRange code(bits);
  // What a slot holds of a channel, a unit: its whole kernel when the slot takes one (m of them
  // a slot), otherwise q of its rows, each unit starting a slot. Rows inside a unit are dense.
  const unsigned b = static_cast<unsigned>(bits), row_bits = b * k, q = kSlotBits / row_bits, m = q / k;
  const unsigned unit_rows = m > 0 ? k : q, units = (k + unit_rows - 1) / unit_rows, per_slot = std::max(m, 1u);
  const unsigned unit_bits = unit_rows * row_bits;
  if (2 * ((uint64_t{channels} * units + per_slot - 1) / per_slot) > out.size()) panic("Coordinates are out-of-range");

  LaneRows rows(size_t{k} * k, channels, w.s[1]);
  rows.point([&](size_t p) { return &w.at(0, 0, p / k, p % k); });
  const DepthwiseUnits packer{k, unit_rows, unit_bits, per_slot};
  Bytes16 worst = {};
  const unsigned planes = (unit_bits + 7) / 8;
  const auto pack = [&]<unsigned B>() {
    if (planes <= 2)
      packer.pack<B, 2>(out, rows, channels, code, worst);
    else if (planes <= 4)
      packer.pack<B, 4>(out, rows, channels, code, worst);
    else
      packer.pack<B, 8>(out, rows, channels, code, worst);
  };
  if (b == 1)
    pack.operator()<1>();
  else if (b == 2)
    pack.operator()<2>();
  else
    pack.operator()<4>();
  // Values outside the range are refused as the first of them in channel order.
  if (code.out_of_range(worst))
    for (uint32_t c = 0; c < channels; ++c)
      for (uint32_t y = 0; y < k; ++y)
        for (uint32_t x = 0; x < k; ++x) code(w.at(0, c, y, x));
}

uint32_t sep_cnp_pw_weights_32b_size(const Dense& weights, int bits, uint32_t count) {
  if (weights.shape().size() != 2) panic("Coordinates are out-of-range");
  return saturate32(uint64_t{weights.shape()[1]} * get_nb_words_per_pw_channel(count, bits) * 2);
}

void format_sep_cnp_pw_weights(std::span<uint32_t> out, const Dense& weights, int bits, uint32_t first,
                               uint32_t count) {
  const uint32_t words = sep_cnp_pw_weights_32b_size(weights, bits, count);
  check_image(out, words);
  const WeightView w = checked_view(weights, 2, first, count);
  const uint32_t channels = weights.shape()[1];
  const size_t channel_words = size_t{get_nb_words_per_pw_channel(count, bits)} * 2;
  const CodeRange code(bits);
  Bytes16 worst = {};
  const auto codes = [&](Bytes16 v) { return code(v, worst); };
  LaneRows rows(1, count, w.s[0]);
  std::vector<uint8_t> dense = dense_stream(count, static_cast<unsigned>(bits));
  for (uint32_t c = 0; c < channels; ++c) {
    uint32_t* channel = out.data() + size_t{c} * channel_words;
    if (count > 0) rows.point([&](size_t) { return &w.at(first, c); });
    if (bits == 1)
      pack_dense<1>(channel, channel_words, rows, count, codes, dense);
    else if (bits == 2)
      pack_dense<2>(channel, channel_words, rows, count, codes, dense);
    else
      pack_dense<4>(channel, channel_words, rows, count, codes, dense);
  }
  if (code.out_of_range(worst))
    for (uint32_t c = 0; c < channels; ++c)
      for (uint32_t f = 0; f < count; ++f) code(w.at(first + f, c));
}

}  // namespace nuvra::v1
