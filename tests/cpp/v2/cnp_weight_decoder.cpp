#include "v2/cnp_weight_decoder.h"

#include <bit>
#include <stdexcept>

namespace nuvra::test {

namespace {

// The image as bytes (little-endian words) with a mask of the bits that weights own.
struct Image {
  std::vector<uint8_t> bytes, owned;

  explicit Image(const std::vector<uint32_t>& words) : bytes(words.size() * 4), owned(words.size() * 4, 0) {
    for (size_t w = 0; w < words.size(); ++w)
      for (size_t j = 0; j < 4; ++j) bytes[w * 4 + j] = static_cast<uint8_t>(words[w] >> (8 * j));
  }
  uint8_t take(size_t p, uint8_t mask) {
    if (p >= bytes.size()) throw std::logic_error("layout offset past the image");
    if (owned[p] & mask) throw std::logic_error("two weights share a bit");
    owned[p] |= mask;
    return bytes[p] & mask;
  }
  uint64_t stray_bits() const {
    uint64_t n = 0;
    for (size_t p = 0; p < bytes.size(); ++p) n += std::popcount(static_cast<uint8_t>(bytes[p] & ~owned[p]));
    return n;
  }
};

uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

struct Conv2dLayout {
  uint32_t group_filters, group_bytes;
};

Conv2dLayout conv2d_layout(uint32_t k) {
  switch (k) {
    case 1: return {24, 24};
    case 3: return {8, 72};
    case 4: return {8, 144};
    case 5: return {8, 240};
    case 7: return {8, 896};
    default: throw std::logic_error("no layout for this kernel");
  }
}

// Byte of weight (x, y) of filter f inside a group (kernel 7's column 6 is handled apart).
size_t conv2d_offset(uint32_t k, uint32_t x, uint32_t y, uint32_t f) {
  switch (k) {
    case 1: return f;
    case 3: return 24 * y + 3 * f + x;
    case 4: return 36 * y + 4 * f + x;
    case 5: return 48 * y + 6 * f + x;
    default: return 128 * y + 16 * f + x;
  }
}

}  // namespace

DecodedWeights decode_conv2d_cnp_weights(const std::vector<uint32_t>& words, uint32_t k, uint32_t channels,
                                         uint32_t filters) {
  DecodedWeights out;
  const Conv2dLayout layout = conv2d_layout(k);
  const size_t block = size_t{ceil_div(filters, layout.group_filters)} * layout.group_bytes;
  if (words.size() * 4 != block * channels) {
    out.error = "image of " + std::to_string(words.size()) + " words, layout needs " +
                std::to_string(block * channels / 4);
    return out;
  }
  Image image(words);
  out.values.assign(size_t{k} * k * channels * filters, 0);
  for (uint32_t c = 0; c < channels; ++c) {
    for (uint32_t n = 0; n < filters; ++n) {
      const size_t group = c * block + (n / layout.group_filters) * layout.group_bytes;
      const uint32_t f = n % layout.group_filters;
      for (uint32_t y = 0; y < k; ++y) {
        for (uint32_t x = 0; x < k; ++x) {
          uint8_t v;
          if (k == 7 && x == 6) {
            // bits 48-49 of the unit: low two bits; bits 64-69: high six bits
            const size_t unit = group + 128 * y + 16 * f;
            v = static_cast<uint8_t>(image.take(unit + 6, 0x03) | (image.take(unit + 8, 0x3F) << 2));
          } else {
            v = image.take(group + conv2d_offset(k, x, y, f), 0xFF);
          }
          out.values[conv2d_index(k, channels, x, y, c, n)] = static_cast<int8_t>(v);
        }
      }
    }
  }
  out.stray_bits = image.stray_bits();
  return out;
}

DecodedWeights decode_depthwise_conv_cnp_weights(const std::vector<uint32_t>& words, uint32_t k,
                                                 uint32_t channels) {
  struct Layout {
    uint32_t stride, container, row_bytes;
  };
  Layout layout;
  switch (k) {
    case 3: layout = {12, 12, 3}; break;
    case 4: layout = {24, 24, 6}; break;
    case 5: layout = {30, 36, 6}; break;
    case 7: layout = {84, 84, 12}; break;
    default: throw std::logic_error("no layout for this kernel");
  }
  DecodedWeights out;
  if (words.size() * 4 != size_t{layout.container} * channels) {
    out.error = "image of " + std::to_string(words.size()) + " words, layout needs " +
                std::to_string(size_t{layout.container} * channels / 4);
    return out;
  }
  Image image(words);
  out.values.assign(size_t{k} * k * channels, 0);
  for (uint32_t c = 0; c < channels; ++c) {
    for (uint32_t y = 0; y < k; ++y) {
      for (uint32_t x = 0; x < k; ++x) {
        // kernel 7 rows: 4 weights, 2 zero bytes, 3 weights
        const uint32_t col = (k == 7 && x >= 4) ? x + 2 : x;
        const size_t p = size_t{c} * layout.stride + size_t{y} * layout.row_bytes + col;
        out.values[(size_t{c} * k + y) * k + x] = static_cast<int8_t>(image.take(p, 0xFF));
      }
    }
  }
  out.stray_bits = image.stray_bits();
  return out;
}

}  // namespace nuvra::test
