#include "v2/fnp_hrc/hrc_formatters.h"

#include <nuvra/host_hooks.h>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace nuvra {

namespace {

constexpr size_t kUnitWords = 3;
constexpr uint32_t kUnitWeights = 9;
// A list-1 unit of the alternating layout takes seven weights, so that each filter's 16 weights
// fill exactly one unit of each list.
constexpr uint32_t kAlternateSecondUnitWeights = 7;
// One SRAM holds 192 units in the one-channel kernel-3 layout.
constexpr size_t kFillSramUnits = 192;
constexpr size_t kFillSramWords = kFillSramUnits * kUnitWords;

// How the fill moves from one unit to the next.
enum class Stepper { advance, alternate, rotating, fill_and_spill };

struct WeightGeometry {
  uint32_t kernel = 0;
  uint32_t channels = 0;
  uint32_t filters = 0;
  Stepper stepper = Stepper::advance;
  std::array<size_t, 3> sizes{};
};

WeightGeometry weight_geometry(const Dense& weights) {
  const Shape shape = weights.shape();
  if (shape.size() != 4)
    throw std::invalid_argument("HRC weights must have 4 dimensions (got " + shape.to_string() + ")");
  WeightGeometry g;
  if (weights.layout() == Layout::RowMajor) {
    g.kernel = shape[1];
    g.channels = shape[2];
    g.filters = shape[3];
  } else {
    g.filters = shape[0];
    g.channels = shape[1];
    g.kernel = shape[2];
  }
  // The lists are sized for one or three channels; any other count would fill past them.
  if (g.channels != 1 && g.channels != 3) throw std::runtime_error("Wrong number of channles at HRC recording.");

  const size_t k2 = size_t{g.kernel} * g.kernel;
  const size_t units = (k2 + 8) / 9 * g.filters;
  if (g.channels == 3) {
    g.stepper = Stepper::advance;
    g.sizes = {units * kUnitWords, units * kUnitWords, units * kUnitWords};
    return g;
  }
  switch (g.kernel) {
    case 3: {
      // Three SRAMs of 192 units: a fourth one would be needed past 576 filters.
      if (units > 3 * kFillSramUnits) throw std::runtime_error("Too many filters at HRC recording.");
      g.stepper = Stepper::fill_and_spill;
      const size_t full = units / kFillSramUnits;
      for (size_t i = 0; i < 3; ++i)
        g.sizes[i] = i < full ? kFillSramWords : i == full ? (units % kFillSramUnits) * kUnitWords : 0;
      return g;
    }
    case 4:
      g.stepper = Stepper::alternate;
      g.sizes = {(units / 2 + units % 2) * kUnitWords, units / 2 * kUnitWords, 0};
      return g;
    case 5:
    case 7:
    case 16: {
      g.stepper = Stepper::rotating;
      const size_t q = units / 3, r = units % 3;
      g.sizes = {(q + (r >= 1 ? 1 : 0)) * kUnitWords, (q + (r == 2 ? 1 : 0)) * kUnitWords, q * kUnitWords};
      return g;
    }
    default:
      throw std::runtime_error("Wrong kernel_size at HRC recording.");
  }
}

// Where the next weight goes: the list, the first word of its unit and how many weights the
// unit already holds.
struct Cursor {
  size_t list = 0;
  size_t address = 0;
  uint32_t count = 0;

  void step(Stepper stepper) {
    count = 0;
    switch (stepper) {
      case Stepper::advance:
        address += kUnitWords;
        break;
      case Stepper::alternate:
        list ^= 1;
        if (list == 0) address += kUnitWords;
        break;
      case Stepper::rotating:
        list = (list + 1) % 3;
        if (list == 0) address += kUnitWords;
        break;
      case Stepper::fill_and_spill:
        address = (address + kUnitWords) % kFillSramWords;
        if (address == 0) ++list;
        break;
    }
  }
};

uint32_t unit_capacity(Stepper stepper, size_t list) {
  return stepper == Stepper::alternate && list == 1 ? kAlternateSecondUnitWeights : kUnitWeights;
}

uint32_t byte_of(int v) { return static_cast<uint32_t>(static_cast<uint8_t>(static_cast<int8_t>(v))); }

void check_unsigned_field(int value, int bits) {
  if (value < 0 || value >= (1 << bits)) panic("%d cannot fit in a %d bits unsigned integer", value, bits);
}

void check_signed_field(int value, int bits) {
  const int limit = 1 << (bits - 1);
  if (value < -limit || value >= limit) panic("%d cannot fit in a %d bits signed integer", value, bits);
}

// Element (i, j) of a tensor of at least two dimensions, through its strides.
size_t element_2d(const Dense& t, uint32_t i, uint32_t j) {
  const auto& s = t.strides();
  return static_cast<size_t>(i) * s[0] + static_cast<size_t>(j) * s[1];
}

}  // namespace

size_t hrc_weight_image_words(const Dense& weights) {
  weights.check_type<int8_t>();
  const WeightGeometry g = weight_geometry(weights);
  return g.sizes[0] + g.sizes[1] + g.sizes[2];
}

HrcWeightImages format_hrc_weights(const Dense& weights) {
  weights.check_type<int8_t>();
  const WeightGeometry g = weight_geometry(weights);
  HrcWeightImages images;
  for (size_t i = 0; i < 3; ++i) images[i].assign(g.sizes[i], 0u);

  const bool reversed = weights.layout() == Layout::Reversed;
  for (uint32_t c = 0; c < g.channels; ++c) {
    Cursor cursor{c, 0, 0};
    for (uint32_t f = 0; f < g.filters; ++f) {
      for (uint32_t a = 0; a < g.kernel; ++a) {
        for (uint32_t b = 0; b < g.kernel; ++b) {
          const int8_t w = reversed ? weights.at<int8_t>({f, c, b, a}) : weights.at<int8_t>({a, b, c, f});
          if (cursor.count == unit_capacity(g.stepper, cursor.list)) cursor.step(g.stepper);
          const size_t word = cursor.address + cursor.count / 4;
          // The sizes above are exact; a miss here is a defect of this file, not of the input.
          if (cursor.list >= images.size() || word >= images[cursor.list].size())
            throw std::logic_error("HRC weight fill ran past its image");
          images[cursor.list][word] |= byte_of(w) << (8 * (cursor.count % 4));
          ++cursor.count;
        }
      }
      if (f + 1 < g.filters) cursor.step(g.stepper);
    }
  }
  return images;
}

std::vector<uint32_t> format_hrc_tokens(const Dense& tokens, const Dense& tokens_shift) {
  tokens.check_type<int8_t>();
  tokens_shift.check_type<uint8_t>();
  const Shape shape = tokens.shape();
  const uint32_t rows = shape[0], cols = shape.size() >= 2 ? shape[1] : 0;
  std::vector<uint32_t> out;
  out.reserve(static_cast<size_t>(rows) * cols);
  for (uint32_t i = 0; i < rows; ++i) {
    for (uint32_t j = 0; j < cols; ++j) {
      const size_t at = element_2d(tokens, i, j);
      const int8_t token = tokens.at<int8_t>(at);
      const uint8_t shift = tokens_shift.at<uint8_t>(at);
      check_unsigned_field(shift, 5);
      out.push_back((uint32_t{shift} << 8) + byte_of(token));
    }
  }
  return out;
}

std::vector<uint32_t> format_hrc_pos_embeddings(const Dense& pos_embedding) {
  pos_embedding.check_type<int8_t>();
  const Shape shape = pos_embedding.shape();
  const uint32_t rows = shape[0], cols = shape.size() >= 2 ? shape[1] : 0;
  // Four values a word: a row that does not end on a word would be read past its end.
  if (cols % 4 != 0) panic("Coordinates are out-of-range");
  std::vector<uint32_t> out;
  out.reserve(static_cast<size_t>(rows) * (cols / 4));
  for (uint32_t i = 0; i < rows; ++i) {
    for (uint32_t j = 0; j < cols; j += 4) {
      uint32_t word = 0;
      for (uint32_t k = 0; k < 4; ++k)
        word |= byte_of(pos_embedding.at<int8_t>(element_2d(pos_embedding, i, j + k))) << (8 * k);
      out.push_back(word);
    }
  }
  return out;
}

std::vector<uint32_t> format_hrc_pos_embs_params(const Dense& pos_embs_shift, const Dense& output_shift,
                                                 const Dense& output_scales) {
  pos_embs_shift.check_type<uint8_t>();
  output_shift.check_type<int8_t>();
  output_scales.check_type<uint8_t>();
  const uint32_t n = pos_embs_shift.shape()[0];
  std::vector<uint32_t> out;
  out.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t shift = pos_embs_shift.at<uint8_t>(i);
    check_unsigned_field(shift, 5);
    const int8_t out_shift = output_shift.at<int8_t>(i);
    check_signed_field(out_shift, 6);
    const uint8_t scale = output_scales.at<uint8_t>(i);
    out.push_back(uint32_t{shift} | uint32_t{scale} << 8 | (static_cast<uint32_t>(out_shift) & 0x3Fu) << 16);
  }
  return out;
}

std::vector<uint32_t> format_hrc_activations(const Dense& output_shift, const Dense& output_scales,
                                             const Dense* max_value_shift, const Dense* max_value,
                                             const Dense& bias_shift, const Dense& bias) {
  output_shift.check_type<int8_t>();
  output_scales.check_type<uint8_t>();
  if (max_value_shift) max_value_shift->check_type<uint8_t>();
  if (max_value) max_value->check_type<uint8_t>();
  bias_shift.check_type<uint8_t>();
  bias.check_type<int8_t>();
  const size_t n = bias.size();
  std::vector<uint32_t> out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    const int8_t out_shift = output_shift.at<int8_t>(i);
    check_signed_field(out_shift, 6);
    const uint8_t scale = output_scales.at<uint8_t>(i);
    const uint8_t mv_shift = max_value_shift ? max_value_shift->at<uint8_t>(i) : 0;
    check_unsigned_field(mv_shift, 5);
    const uint8_t mv = max_value ? max_value->at<uint8_t>(i) : 0;
    const uint8_t b_shift = bias_shift.at<uint8_t>(i);
    check_unsigned_field(b_shift, 5);
    const int8_t b = bias.at<int8_t>(i);
    out.push_back((static_cast<uint32_t>(out_shift) & 0x3Fu) | uint32_t{scale} << 6 | uint32_t{mv_shift} << 14 |
                  (uint32_t{mv} & 1u) << 19);
    out.push_back((uint32_t{mv} >> 1) | uint32_t{b_shift} << 7 | byte_of(b) << 12);
  }
  return out;
}

}  // namespace nuvra
