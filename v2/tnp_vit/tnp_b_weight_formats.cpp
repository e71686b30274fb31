#include "v2/tnp_vit/tnp_b_weight_formats.h"

#include "v2/tnp_vit/tnp_b_rules.h"
#include "v2/tnp_vit/tnp_b_sizes.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace nuvra::v2 {

namespace {

// Element (0, 0, r, f) of a four-dimensional weight tensor is data[r * row + f * filter].
struct TnpBWeights {
  const int8_t* data = nullptr;
  size_t row = 0, filter = 0;
  uint32_t rows = 0;
};

// Type first, then the filter range against dimension 3; every later read trusts the result.
TnpBWeights checked_source(const Dense& weights, uint32_t first, uint32_t count) {
  TnpBWeights src;
  src.data = weights.data<int8_t>();
  const Shape shape = weights.shape();
  const auto& strides = weights.strides();
  if (shape.size() != 4 || strides.size() != 4) panic("Coordinates are out-of-range");
  src.rows = shape[2];
  src.row = strides[2];
  src.filter = strides[3];
  if (count != 0 && uint64_t{first} + count > shape[3]) panic("Coordinates are out-of-range");
  return src;
}

void check_rows(bool depthwise, uint32_t fifo_size, uint32_t rows) {
  const std::string problem = tnp_b_weight_rows_problem(depthwise, fifo_size, rows);
  if (!problem.empty()) throw std::runtime_error(problem);
}

void check_out(std::span<uint32_t> out, uint32_t words) {
  if (out.size() != words) panic("TNP-B weight image of %u words given %u", words, static_cast<unsigned>(out.size()));
}

// Byte k of the word is weight `k` of the four starting at `w` (fewer at the end of `n`).
uint32_t pack_word(const int8_t* w, size_t step, uint32_t n) {
  uint32_t word = 0;
  for (uint32_t k = 0; k < n; ++k) word |= uint32_t{static_cast<uint8_t>(w[k * step])} << (8 * k);
  return word;
}

}  // namespace

void check_tnp_b_buffer_temp_conv_weights(const Dense& weights, uint32_t fifo_size, uint32_t first, uint32_t count) {
  check_rows(false, fifo_size, checked_source(weights, first, count).rows);
}

void check_tnp_b_depthwise_buffer_temp_conv_weights(const Dense& weights, uint32_t first, uint32_t count) {
  const uint32_t taps = checked_source(weights, first, count).rows;
  check_rows(true, taps, taps);
}

void format_tnp_b_buffer_temp_conv_weights(std::span<uint32_t> out, const Dense& weights, uint32_t fifo_size,
                                           uint32_t first, uint32_t count) {
  const TnpBWeights src = checked_source(weights, first, count);
  check_rows(false, fifo_size, src.rows);
  const uint32_t block = 3 * buffer_temp_conv_ch_cont_100b_size(count);
  check_out(out, tnp_b_buffer_temp_conv_formatted_weight_32b_size(count, src.rows));
  if (count == 0) return;

  const uint32_t channels = src.rows / fifo_size;
  const uint32_t full = count / 4, rest = count % 4;
  uint32_t* dst = out.data();
  for (uint32_t j = 0; j < channels; ++j) {
    for (uint32_t t = 0; t < fifo_size; ++t, dst += block) {
      const int8_t* row = src.data + (size_t{t} * channels + j) * src.row + size_t{first} * src.filter;
      uint32_t w = 0;
      if (src.filter == 1 && std::endian::native == std::endian::little) {
        // Contiguous filters: whole words straight from the row, least significant byte first.
        std::memcpy(dst, row, size_t{full} * 4);
        w = full;
      } else {
        for (; w < full; ++w) dst[w] = pack_word(row + size_t{4} * w * src.filter, src.filter, 4);
      }
      if (rest != 0) dst[w++] = pack_word(row + size_t{4} * full * src.filter, src.filter, rest);
      std::fill(dst + w, dst + block, 0u);
    }
  }
}

void format_tnp_b_depthwise_buffer_temp_conv_weights(std::span<uint32_t> out, const Dense& weights, uint32_t first,
                                                     uint32_t count) {
  const TnpBWeights src = checked_source(weights, first, count);
  const uint32_t taps = src.rows;
  check_rows(true, taps, taps);
  check_out(out, depthwise_buffer_temp_conv_formatted_weight_32b_size(taps, count));

  // Unit i: the taps of channel first + i in its twelve bytes, zero after the last tap.
  uint32_t* dst = out.data();
  for (uint32_t i = 0; i < count; ++i, dst += 3) {
    const int8_t* channel = src.data + (size_t{first} + i) * src.filter;
    for (uint32_t w = 0; w < 3; ++w) {
      const uint32_t from = 4 * w;
      dst[w] = from < taps ? pack_word(channel + from * src.row, src.row, std::min(4u, taps - from)) : 0u;
    }
  }
  std::fill(dst, out.data() + out.size(), 0u);
}

}  // namespace nuvra::v2
