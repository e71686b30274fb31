#include "v2/fnp_hrc/fnp_sizes.h"

#include "backend/layer_views.h"
#include "backend/mapping_status.h"
#include "v2/layer_input.h"
#include "v2/size_math.h"

#include <nuvra/host_hooks.h>

#include <stdexcept>

namespace nuvra::v2 {

namespace {

constexpr wide kMaxInputBytes = 2048;

wide roundup4(wide v) { return (v + 3) / 4 * 4; }

[[noreturn]] void unsupported_padding() { throw std::runtime_error("Unsupported padding."); }

struct Dims {
  wide x, y, c;
};

Dims dims_of(const Shape& s) { return {s[0], s[1], s[2]}; }

}  // namespace

MappingStatus check_fnp_constraints(const Layer& layer, const std::shared_ptr<Layer>& previous) {
  if (layer.input_bits() != 8) return LayerMappingError(layer, "Input should be 8-bit.");
  if (layer.has_activation() && layer.output_bits() > 8)
    return LayerMappingError(layer, "With activation output bitwidth should be <= 8.");

  const auto [x, y, c] = dims_of(first_input_shape(layer));
  auto previous_is = [&](int category) { return previous && previous->has_category(category); };
  // Channel rows fit any source; the HRC and a TNP-B cannot feed pixel rows, and neither
  // they nor a CNP can feed a flat vector.
  if (roundup4(x) * y * c <= kMaxInputBytes) return MappingSuccess();
  if (roundup4(x * c) * y <= kMaxInputBytes) {
    if (!previous_is(1) && !previous_is(6)) return MappingSuccess();
  } else if (roundup4(x * y * c) <= kMaxInputBytes) {
    if (!previous_is(2) && !previous_is(1) && !previous_is(6)) return MappingSuccess();
  }
  return LayerMappingError(layer, "Input dimensions are too large to fit in a FNP. The maximum value is 2048.");
}

Shape fnp_input_shape(const Layer& layer, bool flat) {
  const Shape input = first_input_shape(layer);
  if (!flat) return input;
  const auto [x, y, c] = dims_of(input);
  const wide n = x * y * c;
  if (n == 0) panic("Cannot have a shape with a dimension set to 0");
  if (n > kU32Max)
    panic("Tensor shape size %llu exceeds maximum shape size (%u)", static_cast<unsigned long long>(n),
          static_cast<unsigned>(kU32Max));
  return Shape{1, 1, static_cast<uint32_t>(n)};
}

bool is_spatial_fnp_input(const Layer& layer, bool flat) {
  if (flat) return false;
  const auto inbounds = inbounds_of(layer);
  // A layer fed by nothing has no spatial source.
  if (inbounds.empty() || !inbounds.front()) return false;
  const Layer& source = *inbounds.front();
  return source.has_category(1) || source.has_category(2) || source.has_category(6);
}

FnpInputMode choose_fnp_input_mode(const Layer& layer, const Shape& shape, bool flat) {
  const auto [x, y, c] = dims_of(shape);
  const wide b = layer.input_bits();
  FnpInputMode mode = FnpInputMode::flat;
  if (is_spatial_fnp_input(layer, flat)) {
    wide r = (x * b + 7) >> 3;
    if ((roundup4(r) + x - r) * (y * c) <= kMaxInputBytes) return FnpInputMode::channel_rows;
    r = (b * x * c + 7) >> 3;
    if ((roundup4(r) + x * c - r) * y <= kMaxInputBytes) return FnpInputMode::pixel_rows;
    r = (b * x * y * c + 7) >> 3;
    if (roundup4(r) + x * y * c - r > kMaxInputBytes) return FnpInputMode::none;
  }
  // The flat layout holds c values per neuron: an input that is not flattened to 1 x 1 x n
  // would lose the weights of every pixel but the first.
  if (mode == FnpInputMode::flat && !flat && x * y > 1) return FnpInputMode::none;
  return mode;
}

uint32_t fnp_input_sram_words(const Shape& shape, FnpInputMode mode) {
  const auto [x, y, c] = dims_of(shape);
  switch (mode) {
    case FnpInputMode::channel_rows: return saturate((roundup4(x) * c * 8 + 31) / 32 * y + 2);
    case FnpInputMode::pixel_rows: return saturate(((x * c * 8 + 24) >> 5) * y + 2);
    case FnpInputMode::flat: return saturate((c * 8 + 95) >> 5);
    case FnpInputMode::none: break;
  }
  unsupported_padding();
}

uint32_t get_fnp_input_size(const Layer& layer, const Layer& first_layer) {
  const bool flat = &first_layer == &layer;
  const Shape shape = fnp_input_shape(layer, flat);
  const auto [x, y, c] = dims_of(shape);
  const wide b = layer.input_bits();
  if (!is_spatial_fnp_input(layer, flat)) return saturate((b * x * y * c + 31) >> 5);
  switch (choose_fnp_input_mode(layer, shape, flat)) {
    case FnpInputMode::channel_rows: return saturate(y * ((roundup4((x * b + 7) >> 3) * c * 8 + 31) >> 5));
    case FnpInputMode::pixel_rows: return saturate(y * ((roundup4(x * c) * b + 31) >> 5));
    case FnpInputMode::flat: return saturate((b * x * y * c + 31) >> 5);
    case FnpInputMode::none: break;
  }
  unsupported_padding();
}

uint32_t get_fnp_sram_size(const Layer& layer) {
  const Shape shape = fnp_input_shape(layer, false);
  const uint32_t words = fnp_input_sram_words(shape, choose_fnp_input_mode(layer, shape, false));
  const uint32_t neurons = layer.variables()->get("weights")->shape()[1];
  return mul_sat(words, neurons);
}

}  // namespace nuvra::v2
