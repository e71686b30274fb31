// Packing of first-generation CNP weights into the words of an NP's weight memory (dma target
// 0). The memory is made of 64-bit slots, two consecutive words, the first word holding bits
// 0-31; at most 50 bits of a slot are used and the others are 0.
//
// Every packer writes into a caller-given image whose size its size function gives (checked:
// panic otherwise) and writes each word exactly once, padding included. Weights are read as
// signed bytes (int8, int4, int2 or bit tensors; any other type panics "Wrong requested type %s
// for a tensor of type %s.") through the tensor's strides, and a filter range outside the tensor
// panics "Coordinates are out-of-range" before anything is read or written.
//
// Formats, per input channel, channel 0 first:
// - standard 1 and 2 bits: kernels of K*K bits (bit y*K + x set where the weight is exactly 1,
//   or exactly -1 in the minus kernel that follows each plus kernel in the 2-bit form), padded
//   to 10 bits for 3x3 and 50 for 7x7; 5, 2 or 1 of them per slot for K 3, 5, 7. A 1x1 layer is
//   always in the 2-bit form, 24 filters (48 bits) a slot. Other values give no bit.
// - standard 4 bits: nibbles of sign and magnitude (bits 0-2 |w| & 7, bit 3 set for w > 0). 1x1:
//   12 filters a slot. K 3, 5, 7: groups of 8 filters (the last completed with zeros), row by
//   row, each row filter by filter, in 48-bit (3x3) or 50-bit slots, a nibble possibly cut
//   between two slots; a 7x7 row starts a slot and restarts one after its third and sixth filter.
// - depthwise: 2- or 4-bit two's complement codes (1-bit weights are 0 or 1), kernel rows of
//   K codes never cut by a slot, a channel starting a new slot when its whole kernel would not
//   fit in the rest of the current one.
// - pointwise: the NP's filters' codes, 48 / bits a slot, from slot c * n of channel c.
#pragma once

#include <nuvra/host_hooks.h>
#include <nuvra/tensor.h>

#include <cstdint>
#include <span>

namespace nuvra::v1 {

// N-bit two's complement code of a value in -2^(N-1) .. 2^(N-1)-1; any other value panics "%d
// cannot fit in a %d bits signed integer".
template <int N>
uint32_t int32_to_intN(int32_t value) {
  static_assert(N > 0 && N < 32);
  if (value < -(1 << (N - 1)) || value >= (1 << (N - 1))) panic("%d cannot fit in a %d bits signed integer", value, N);
  return static_cast<uint32_t>(value) & ((1u << N) - 1u);
}

// What the packers refuse of a tensor of `dims` dimensions and a filter range, checked without
// reading a value: the element type and filters first .. first+count-1 inside the tensor.
void check_cnp_weights(const Dense& weights, size_t dims, uint32_t first, uint32_t count);

// Standard weights (filters, channels, K, K). Throws std::runtime_error "CNP: width and height
// must be equal" for a kernel that is not square and "Unsupported kernel size" for K other than
// 1, 3, 5 and 7; `bits` is 1, 2 or 4 (0xFFFFFFFF otherwise, which no image can match).
uint32_t std_cnp_weights_32b_size(const Dense& weights, int bits, uint32_t count);
// Filters first .. first+count-1 in the 1-bit form, or the 2-bit form with `two_bit` (or K 1).
void format_std_cnp_weights(std::span<uint32_t> out, const Dense& weights, bool two_bit, uint32_t first,
                            uint32_t count);
void format_4bits_std_cnp_weights(std::span<uint32_t> out, const Dense& weights, uint32_t first, uint32_t count);

// Depthwise weights (1, channels, K, K), all channels; `bits` 1, 2 or 4 and a kernel row of at
// most 50 bits (std::runtime_error otherwise, as the separable sizes refuse them).
uint32_t sep_cnp_dw_weights_32b_size(const Dense& weights, int bits);
void format_sep_cnp_dw_weights(std::span<uint32_t> out, const Dense& weights, int bits);

// Pointwise weights (filters, channels) of filters first .. first+count-1.
uint32_t sep_cnp_pw_weights_32b_size(const Dense& weights, int bits, uint32_t count);
void format_sep_cnp_pw_weights(std::span<uint32_t> out, const Dense& weights, int bits, uint32_t first, uint32_t count);

}  // namespace nuvra::v1
