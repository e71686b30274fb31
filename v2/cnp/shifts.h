// Per-channel shift values packed one byte per channel, four channels per word (channel i of
// the range in byte i % 4 of word i / 4; bytes past the last channel are 0).
#pragma once

#include <nuvra/tensor.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace nuvra::v2 {

// The "input_shift" bytes of channels first .. first+count-1 (count 0: the whole tensor, with
// first 0), taken in flat storage order, padded to a multiple of 8 bytes: 2 * ceil(n / 8) words.
// The tensor must hold one-byte unsigned elements (uint8, uint4, uint2), otherwise panic
// "Wrong requested type %s for a tensor of type %s."; a range past the tensor panics
// "Coordinates are out-of-range".
std::vector<uint32_t> format_input_shift(const Dense& shifts, uint32_t first, uint32_t count);
std::vector<uint32_t> format_input_shift(const Dense& shifts);
// The same into `image` of input_shift_32b_size(shifts, count) words, each written once (see
// weight_formats.h).
void format_input_shift(const Dense& shifts, uint32_t first, uint32_t count, std::span<uint32_t> image);
size_t input_shift_32b_size(const Dense& shifts, uint32_t count);

// The shifts of a merge (Add) layer fused into the input of the next CNP, channels
// first .. first+count-1 in ceil(count / 4) words. Per channel, with a = a_shift, b = b_shift
// (one-byte unsigned) and o = output_shift (one-byte signed), s = max(a, b) + o must lie in
// -4 .. 3 (otherwise panic "%d cannot fit in a %d bits signed integer"); the byte is
// |a - b| + 128 * (b >= a) + 16 * (s & 7), modulo 256. A channel past a tensor panics
// "Coordinates are out-of-range". A missing tensor throws std::invalid_argument.
std::vector<uint32_t> format_merge_layer_shift(const std::shared_ptr<const Dense>& a_shift,
                                               const std::shared_ptr<const Dense>& b_shift,
                                               const std::shared_ptr<const Dense>& output_shift, uint32_t first,
                                               uint32_t count);
// The same into `image` of ceil(count / 4) words, each written once.
void format_merge_layer_shift(const std::shared_ptr<const Dense>& a_shift, const std::shared_ptr<const Dense>& b_shift,
                              const std::shared_ptr<const Dense>& output_shift, uint32_t first, uint32_t count,
                              std::span<uint32_t> image);

}  // namespace nuvra::v2
