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
  const uint8_t* const bytes = shifts.data<uint8_t>();
  // Checked before the image is sized, so an absurd count cannot allocate first.
  if (n != 0 && uint64_t{first} + n > shifts.size()) panic("Coordinates are out-of-range");
  ByteImage image(static_cast<size_t>((n + 7) / 8 * 2));
  // Flat element order on purpose: a 1-D variable's strides are 1 anyway.
  if (n != 0) std::memcpy(image.bytes(), bytes + first, static_cast<size_t>(n));
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
  if (count == 0) return {};
  if (!a_shift || !b_shift || !output_shift)
    throw std::invalid_argument("format_merge_layer_shift: a merge shift variable is missing");
  // Channels are checked one by one (a bad value panics before a later channel's range), so
  // the bytes grow with the channels actually read instead of trusting count up front.
  std::vector<uint8_t> out;
  out.reserve(std::min<uint32_t>(count, 4096));
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t wide_ch = uint64_t{first} + i;
    if (wide_ch > UINT32_MAX) panic("Coordinates are out-of-range");
    const auto ch = static_cast<uint32_t>(wide_ch);
    const int a = channel_value<uint8_t>(*a_shift, ch);
    const int b = channel_value<uint8_t>(*b_shift, ch);
    const int o = channel_value<int8_t>(*output_shift, ch);
    const int s = std::max(a, b) + o;
    if (s < -4 || s > 3) panic("%d cannot fit in a %d bits signed integer", s, 3);
    out.push_back(static_cast<uint8_t>(std::abs(a - b) + (b >= a ? 128 : 0) + 16 * (s & 7)));
  }
  ByteImage image((out.size() + 3) / 4);
  std::memcpy(image.bytes(), out.data(), out.size());
  return image.take();
}

}  // namespace nuvra::v2
