#include "v2/cnp/shifts.h"

#include "v2/cnp/packing.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace nuvra::v2 {

std::vector<uint32_t> format_input_shift(const Dense& shifts, uint32_t first, uint32_t count) {
  const uint64_t n = count != 0 ? count : shifts.size();
  ByteImage image(static_cast<size_t>((n + 7) / 8 * 2));
  const uint8_t* const bytes = shifts.data<uint8_t>();
  if (n == 0) return image.take();
  // Flat element order on purpose: a 1-D variable's strides are 1 anyway.
  if (uint64_t{first} + n > shifts.size()) panic("Coordinates are out-of-range");
  std::memcpy(image.bytes(), bytes + first, static_cast<size_t>(n));
  return image.take();
}

std::vector<uint32_t> format_input_shift(const Dense& shifts) { return format_input_shift(shifts, 0, 0); }

namespace {

// Element `ch` of a one-dimensional shift variable, through its first stride.
template <class T>
T channel_value(const Dense& t, uint32_t ch) {
  return t.at<T>(size_t{ch} * t.strides()[0]);
}

}  // namespace

std::vector<uint32_t> format_merge_layer_shift(const std::shared_ptr<const Dense>& a_shift,
                                               const std::shared_ptr<const Dense>& b_shift,
                                               const std::shared_ptr<const Dense>& output_shift, uint32_t first,
                                               uint32_t count) {
  ByteImage image((uint64_t{count} + 3) / 4);
  if (count == 0) return image.take();
  if (!a_shift || !b_shift || !output_shift)
    throw std::invalid_argument("format_merge_layer_shift: a merge shift variable is missing");
  uint8_t* const out = image.bytes();
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t wide_ch = uint64_t{first} + i;
    if (wide_ch > UINT32_MAX) panic("Coordinates are out-of-range");
    const auto ch = static_cast<uint32_t>(wide_ch);
    const int a = channel_value<uint8_t>(*a_shift, ch);
    const int b = channel_value<uint8_t>(*b_shift, ch);
    const int o = channel_value<int8_t>(*output_shift, ch);
    const int s = std::max(a, b) + o;
    if (s < -4 || s > 3) panic("%d cannot fit in a %d bits signed integer", s, 3);
    out[i] = static_cast<uint8_t>(std::abs(a - b) + (b >= a ? 128 : 0) + 16 * (s & 7));
  }
  return image.take();
}

}  // namespace nuvra::v2
