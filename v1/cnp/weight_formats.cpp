#include "v1/cnp/weight_formats.h"

#include "v1/cnp/cnp_sizes.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace nuvra::v1 {

namespace {

constexpr unsigned kSlotBits = 50;
constexpr unsigned kMaskSlotBits = 48;
constexpr unsigned kPointwiseSlotBits = 48;

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
  at[0] = static_cast<uint32_t>(slot);
  at[1] = static_cast<uint32_t>(slot >> 32);
}

// Standard (filters, channels, K, K) weights: channels and a square kernel of 1, 3, 5 or 7.
uint32_t square_kernel(const Dense& weights) {
  const Shape shape = weights.shape();
  if (shape.size() != 4) panic("Coordinates are out-of-range");
  if (shape[2] != shape[3]) throw std::runtime_error("CNP: width and height must be equal");
  return shape[3];
}

// Writes bits into consecutive slots of `slot_bits` bits, from slot 0 of `out`; every slot is
// stored once, and a slot past `out` panics.
class SlotWriter {
 public:
  SlotWriter(std::span<uint32_t> out, unsigned slot_bits) : out_(out), slot_bits_(slot_bits) {}

  // The low `n` bits of `value` (n at most 50; higher bits of `value` must be 0).
  void put(uint64_t value, unsigned n) {
    if (pos_ + n < slot_bits_) {
      acc_ |= value << pos_;
      pos_ += n;
      return;
    }
    while (n > 0) {
      const unsigned take = std::min(n, slot_bits_ - pos_);
      acc_ |= (value & ((uint64_t{1} << take) - 1)) << pos_;
      value >>= take;
      n -= take;
      pos_ += take;
      if (pos_ == slot_bits_) next_slot();
    }
  }
  unsigned position() const { return pos_; }
  // Stores the current slot (a partly filled one too) and starts the next.
  void next_slot() {
    if (2 * (slot_ + 1) > out_.size()) panic("Coordinates are out-of-range");
    store_slot(&out_[2 * slot_], acc_);
    ++slot_;
    acc_ = 0;
    pos_ = 0;
  }
  // Stores a partly filled slot, then zero slots up to the end of `out`.
  void finish() {
    if (pos_ > 0) next_slot();
    while (2 * slot_ < out_.size()) next_slot();
  }

 private:
  std::span<uint32_t> out_;
  unsigned slot_bits_;
  size_t slot_ = 0;
  unsigned pos_ = 0;
  uint64_t acc_ = 0;
};

// Sign-and-magnitude nibble of every signed byte, indexed by the byte's unsigned value.
constexpr auto kNibbles = [] {
  std::array<uint8_t, 256> table{};
  for (int v = -128; v < 128; ++v)
    table[static_cast<uint8_t>(v)] = static_cast<uint8_t>(((v < 0 ? -v : v) & 7) | (v > 0 ? 8 : 0));
  return table;
}();

uint32_t nibble(int8_t w) { return kNibbles[static_cast<uint8_t>(w)]; }

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
  [[noreturn]] void refuse(int w) const {
    if (lo == 0) panic("%d cannot fit in a %d bits unsigned integer", w, 1);
    panic("%d cannot fit in a %d bits signed integer", w, mask == 3 ? 2 : 4);
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
  const unsigned kernel_bits = k == 1 ? 1 : (k == 5 ? 25 : k * k + 1);
  const unsigned per_slot = (k == 1 ? kMaskSlotBits : kSlotBits) / kernel_bits;
  const size_t channel_words = words / channels;

  if (k == 1) {
    // Both one-bit masks of a filter side by side, 24 filters a slot.
    for (uint32_t c = 0; c < channels; ++c) {
      uint32_t* channel = out.data() + size_t{c} * channel_words;
      const int8_t* p = count ? &w.at(first, c) : nullptr;
      for (size_t s = 0; 2 * s < channel_words; ++s) {
        uint64_t slot = 0;
        const uint64_t begin = s * 24, end = std::min<uint64_t>(begin + 24, count);
        for (uint64_t i = begin; i < end; ++i) {
          const int8_t v = p[i * w.s[0]];
          slot |= (uint64_t{v == 1} | uint64_t{v == -1} << 1) << (2 * (i - begin));
        }
        store_slot(channel + 2 * s, slot);
      }
    }
    return;
  }
  // One channel's kernels, gathered position by position so that filters are read in storage
  // order; then placed slot by slot.
  std::vector<uint64_t> plus(count), minus(count);
  for (uint32_t c = 0; c < channels; ++c) {
    std::fill(plus.begin(), plus.end(), 0);
    std::fill(minus.begin(), minus.end(), 0);
    for (uint32_t y = 0; y < k; ++y)
      for (uint32_t x = 0; x < k; ++x) {
        const int8_t* p = &w.at(first, c, y, x);
        const unsigned bit = y * k + x;
        for (uint32_t f = 0; f < count; ++f) {
          const int8_t v = p[f * w.s[0]];
          plus[f] |= uint64_t{v == 1} << bit;
          minus[f] |= uint64_t{v == -1} << bit;
        }
      }
    uint32_t* channel = out.data() + size_t{c} * channel_words;
    uint64_t slot = 0;
    unsigned in_slot = 0;
    size_t s = 0;
    const auto place = [&](uint64_t kernel) {
      slot |= kernel << (in_slot * kernel_bits);
      if (++in_slot == per_slot) {
        store_slot(channel + 2 * s++, slot);
        slot = 0;
        in_slot = 0;
      }
    };
    for (uint32_t f = 0; f < count; ++f) {
      place(plus[f]);
      if (both) place(minus[f]);
    }
    if (in_slot > 0) store_slot(channel + 2 * s++, slot);
    for (; 2 * s < channel_words; ++s) store_slot(channel + 2 * s, 0);
  }
}

void format_4bits_std_cnp_weights(std::span<uint32_t> out, const Dense& weights, uint32_t first, uint32_t count) {
  const uint32_t k = square_kernel(weights);
  const uint32_t words = std_cnp_weights_32b_size(weights, 4, count);
  check_image(out, words);
  const WeightView w = checked_view(weights, 4, first, count);
  const uint32_t channels = weights.shape()[1];
  if (channels == 0) return;
  const size_t channel_words = words / channels;
  const size_t groups = (size_t{count} + 7) / 8;

  // One channel's kernel rows of K nibbles (nibble x at bit 4x), filter by filter, gathered in
  // storage order; the group's missing filters stay 0.
  std::vector<uint32_t> rows(groups * 8 * k);
  for (uint32_t c = 0; c < channels; ++c) {
    const std::span<uint32_t> channel = out.subspan(size_t{c} * channel_words, channel_words);
    if (k == 1) {
      const int8_t* p = count ? &w.at(first, c) : nullptr;
      for (size_t s = 0; 2 * s < channel_words; ++s) {
        uint64_t slot = 0;
        const uint64_t begin = s * 12, end = std::min<uint64_t>(begin + 12, count);
        for (uint64_t i = begin; i < end; ++i) slot |= uint64_t{nibble(p[i * w.s[0]])} << (4 * (i - begin));
        store_slot(&channel[2 * s], slot);
      }
      continue;
    }
    std::fill(rows.begin(), rows.end(), 0);
    for (uint32_t y = 0; y < k; ++y)
      for (uint32_t x = 0; x < k; ++x) {
        const int8_t* p = &w.at(first, c, y, x);
        for (uint32_t f = 0; f < count; ++f) rows[size_t{f} * k + y] |= nibble(p[f * w.s[0]]) << (4 * x);
      }
    SlotWriter writer(channel, k == 3 ? kMaskSlotBits : kSlotBits);
    for (size_t group = 0; group < groups; ++group)
      for (uint32_t y = 0; y < k; ++y)
        for (uint32_t j = 0; j < 8; ++j) {
          writer.put(rows[(group * 8 + j) * k + y], 4 * k);
          // A 7x7 row of 8 filters takes six slots: filters 0-2, 3-5 and 6-7 start one each.
          if (k == 7 && (j == 2 || j == 5 || j == 7) && writer.position() != 0) writer.next_slot();
        }
    writer.finish();
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
  const unsigned b = static_cast<unsigned>(bits), row_bits = b * k;
  SlotWriter writer(out, kSlotBits);
  for (uint32_t c = 0; c < channels; ++c) {
    for (uint32_t y = 0; y < k; ++y) {
      if (writer.position() + row_bits > kSlotBits) writer.next_slot();
      uint64_t row = 0;
      for (uint32_t x = 0; x < k; ++x) row |= uint64_t{code(w.at(0, c, y, x))} << (b * x);
      writer.put(row, row_bits);
    }
    if (writer.position() + row_bits * k > kSlotBits) writer.next_slot();
  }
  writer.finish();
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
  const unsigned b = static_cast<unsigned>(bits), per_slot = kPointwiseSlotBits / b;
  for (uint32_t c = 0; c < channels; ++c) {
    uint32_t* channel = out.data() + size_t{c} * channel_words;
    const int8_t* p = count ? &w.at(first, c) : nullptr;
    for (size_t s = 0; 2 * s < channel_words; ++s) {
      uint64_t slot = 0;
      const uint64_t begin = s * per_slot, end = std::min<uint64_t>(begin + per_slot, count);
      for (uint64_t i = begin; i < end; ++i) slot |= uint64_t{code(p[i * w.s[0]])} << (b * (i - begin));
      store_slot(channel + 2 * s, slot);
    }
  }
}

}  // namespace nuvra::v1
