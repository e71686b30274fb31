#include "v2/cnp/shifts.h"

#include "v2/cnp/packing.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace nuvra::v2 {

size_t input_shift_32b_size(const Dense& shifts, uint32_t count) {
  const uint64_t n = count != 0 ? count : shifts.size();
  return static_cast<size_t>((n + 7) / 8 * 2);
}

void format_input_shift(const Dense& shifts, uint32_t first, uint32_t count, std::span<uint32_t> image) {
  const uint64_t n = count != 0 ? count : shifts.size();
  const uint8_t* const bytes = shifts.data<uint8_t>();
  if (n != 0 && uint64_t{first} + n > shifts.size()) panic("Coordinates are out-of-range");
  if (image.size() != input_shift_32b_size(shifts, count))
    throw std::invalid_argument("format_input_shift: image of the wrong size");
  // Flat element order on purpose: a 1-D variable's strides are 1 anyway.
  uint8_t* const out = image_bytes(image);
  if (n != 0) std::memcpy(out, bytes + first, static_cast<size_t>(n));
  std::memset(out + n, 0, image.size() * 4 - static_cast<size_t>(n));
  store_byte_image(image);
}

std::vector<uint32_t> format_input_shift(const Dense& shifts, uint32_t first, uint32_t count) {
  const uint64_t n = count != 0 ? count : shifts.size();
  // Checked before the image is sized, so an absurd count cannot allocate first.
  if (n != 0 && uint64_t{first} + n > shifts.size()) panic("Coordinates are out-of-range");
  std::vector<uint32_t> image(input_shift_32b_size(shifts, count));
  format_input_shift(shifts, first, count, image);
  return image;
}

std::vector<uint32_t> format_input_shift(const Dense& shifts) { return format_input_shift(shifts, 0, 0); }

namespace {

// Element `ch` of a one-dimensional shift variable, through its first stride.
template <class T>
T channel_value(const Dense& t, uint32_t ch) {
  return t.at<T>(size_t{ch} * t.strides()[0]);
}

}  // namespace

namespace {

// The byte of channel first + i; panics on a channel past a tensor or a shift out of range.
uint8_t merge_shift_byte(const Dense& a_shift, const Dense& b_shift, const Dense& output_shift, uint32_t first,
                         uint32_t i) {
  const uint64_t wide_ch = uint64_t{first} + i;
  if (wide_ch > UINT32_MAX) panic("Coordinates are out-of-range");
  const auto ch = static_cast<uint32_t>(wide_ch);
  const int a = channel_value<uint8_t>(a_shift, ch);
  const int b = channel_value<uint8_t>(b_shift, ch);
  const int o = channel_value<int8_t>(output_shift, ch);
  const int s = std::max(a, b) + o;
  if (s < -4 || s > 3) panic("%d cannot fit in a %d bits signed integer", s, 3);
  return static_cast<uint8_t>(std::abs(a - b) + (b >= a ? 128 : 0) + 16 * (s & 7));
}

void check_merge_shifts(const std::shared_ptr<const Dense>& a_shift, const std::shared_ptr<const Dense>& b_shift,
                        const std::shared_ptr<const Dense>& output_shift) {
  if (!a_shift || !b_shift || !output_shift)
    throw std::invalid_argument("format_merge_layer_shift: a merge shift variable is missing");
}

}  // namespace

void format_merge_layer_shift(const std::shared_ptr<const Dense>& a_shift, const std::shared_ptr<const Dense>& b_shift,
                              const std::shared_ptr<const Dense>& output_shift, uint32_t first, uint32_t count,
                              std::span<uint32_t> image) {
  if (image.size() != (uint64_t{count} + 3) / 4)
    throw std::invalid_argument("format_merge_layer_shift: image of the wrong size");
  if (count == 0) return;
  check_merge_shifts(a_shift, b_shift, output_shift);
  // Channel by channel: a bad value panics before a later channel's range.
  uint8_t* const out = image_bytes(image);
  for (uint32_t i = 0; i < count; ++i) out[i] = merge_shift_byte(*a_shift, *b_shift, *output_shift, first, i);
  std::memset(out + count, 0, image.size() * 4 - count);
  store_byte_image(image);
}

std::vector<uint32_t> format_merge_layer_shift(const std::shared_ptr<const Dense>& a_shift,
                                               const std::shared_ptr<const Dense>& b_shift,
                                               const std::shared_ptr<const Dense>& output_shift, uint32_t first,
                                               uint32_t count) {
  if (count == 0) return {};
  check_merge_shifts(a_shift, b_shift, output_shift);
  // The bytes grow with the channels actually read, so an absurd count fails on the first
  // channel past the tensors instead of allocating first.
  std::vector<uint8_t> bytes;
  bytes.reserve(std::min<uint32_t>(count, 4096));
  for (uint32_t i = 0; i < count; ++i) bytes.push_back(merge_shift_byte(*a_shift, *b_shift, *output_shift, first, i));
  std::vector<uint32_t> image((bytes.size() + 3) / 4);
  std::memcpy(image_bytes(image), bytes.data(), bytes.size());
  store_byte_image(image);
  return image;
}

}  // namespace nuvra::v2
