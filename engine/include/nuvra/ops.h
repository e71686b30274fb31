// Integer operation kernels: software inference runs on them, and the `nn` submodule exposes
// them one by one.
//
// Common rules:
// - Every kernel returns a new tensor and never changes its arguments (fifo_op excepted).
// - Arithmetic is exact in 64 or 128 bits (left shifts saturate at +-2^61); int32 results
//   saturate to the int32 range.
// - sshift(v, s) is v << s for s >= 0 and v >> -s rounded half up, floor(v / 2^-s + 1/2), for
//   s < 0 (at any shift: 0 only where that gives 0); "rounded >> n" means sshift(v, -n).
// - A second operand "broadcasts" numpy-style to the first operand's shape (aligned on the
//   last axis, each of its dimensions 1 or equal): per-channel vectors hold one value per
//   element of the last axis.
// - Spatial tensors are (x, y, channels) and row-major; convolution weights are
//   (kernel_w, kernel_h, in_channels, filters), depthwise weights (kernel_w, kernel_h, 1, channels).
// - Bad arguments (element types, shapes, sizes, strides below 1) throw std::invalid_argument
//   "<kernel>: <reason>" before anything is computed.
#pragma once

#include <nuvra/tensor.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace nuvra::ops {

using DensePtr = std::shared_ptr<Dense>;
using ConstDensePtr = std::shared_ptr<const Dense>;

// --- element-wise, int32 in and out unless said otherwise ----------------------------------

// x << shifts (uint8, broadcast); saturated to signed `bits` bits when bits > 0.
DensePtr lshift(const Dense& x, const Dense& shifts, int bits);
// sshift(x, shifts) (int8, broadcast); saturated to signed `bits` bits when bits > 0.
DensePtr shift(const Dense& x, const Dense& shifts, int bits);
// sshift(x, -shifts) (int8, broadcast: positive shifts go right), saturated to unsigned `bits`
// bits, 1 to 31.
DensePtr shift_out(const Dense& x, const Dense& shifts, int bits);
// sshift(a + b, -shift), b broadcast.
DensePtr add(const Dense& a, const Dense& b, int shift);
// a / b truncated toward zero, b broadcast; a zero divisor is refused.
DensePtr divide(const Dense& a, const Dense& b);
// min(max(x, 0), max_values) with non-negative max_values (broadcast).
DensePtr relu_activation(const Dense& x, const Dense& max_values);
// table[clamp(index, 0, table size - 1)] over the flattened table; the indices' shape.
DensePtr look_up(const Dense& indices, const Dense& table);
// x * scales (float32, broadcast), the exact product rounded once to float32.
DensePtr dequantize(const Dense& x, const Dense& scales);
// sshift(x * scales, shifts) (uint8 and int8, broadcast), saturated to `bits` bits, signed
// when is_signed != 0 (bits 1 to 32) else unsigned (bits 1 to 31).
DensePtr scale_out(const Dense& x, const Dense& scales, const Dense& shifts, int bits, int is_signed);
// sshift(x, -shifts) (uint8, broadcast), saturated to signed `bits` bits when bits > 0.
DensePtr rounded_rshift(const Dense& x, const Dense& shifts, int bits);
// Sum of |x| along `axis` (negative counts from the end), kept as a dimension of size 1.
DensePtr sum_abs(const Dense& x, int axis);

// --- matrices and sequences ---------------------------------------------------------------

// (..., M, K) x (K, N) -> (..., M, N), rounded >> shift. b is (K, N), or (N, K) when
// transpose_b; it may also carry a's leading dimensions, one matrix per batch entry.
DensePtr matmul(const Dense& a, const Dense& b, int shift, bool transpose_b);
// (T, D) -> (heads, T, D / heads): head h takes columns [h * D / heads, (h + 1) * D / heads).
DensePtr separate_heads(const Dense& x, unsigned int heads);
// Base-2 softmax along the last axis (length N): z = x * 2^(shifts[i] - input_shift) exactly
// (rounded half up where the exponent is negative, never saturated) with uint8 shifts broadcast,
// p = 2^(z - max z), then round(2^bits * p / sum of p) saturated to 2^bits - 1; bits 1 to 30. A
// term 31 or more below the maximum counts 0, in its own output and in the sum.
DensePtr shiftmax(const Dense& x, const Dense& shifts, int input_shift, int bits);
// x (T, D) or (1, T, D); the first `count` rows of tokens (n, D) int8, each << shifts (uint8,
// broadcast to tokens), are put ahead of x: (count + T, D).
DensePtr concat_token(const Dense& x, const Dense& tokens, const Dense& shifts, int count);
// Entries of one type, equal in all but the last dimension, joined along it in list order.
DensePtr concatenate_last_dim(const std::vector<ConstDensePtr>& parts);
// x[begin:end] along `axis`, Python slice style (negatives count from the end, clamped);
// an empty range is refused.
DensePtr extract_token(const Dense& x, int begin, int end, unsigned int axis);
// Shifts the fifo (n, ...) one step towards index 0 along dimension 0 and writes `frame` (one
// entry of the fifo, same type) last. Changes *fifo in place.
void fifo_op(Dense* fifo, const Dense& frame);
// Causal depthwise convolution over time: x (T, C) int32, w (K, C) int8;
// y[t, c] = rounded (sum_k x[t - K + 1 + k, c] * w[k, c]) >> shift, steps before 0 count 0.
DensePtr depthwise_like_conv(const Dense& x, const Dense& w, int shift);
// state (int32), input (int32), decay and gain (int16, broadcast), shift:
// first = sshift(decay * state, -shift) + gain * input, second = input + first.
std::pair<DensePtr, DensePtr> update_internal_state(const Dense& state, const Dense& input, const Dense& decay,
                                                    const Dense& gain, int shift);

// --- geometry kernels (strides, pads and output sizes as ImagePatches gives them) ----------

// Input (X, Y, C) int32, weights (kw, kh, C, F) int8 -> (out_w, out_h, F) int32; positions
// outside the input count as `pad_value`.
DensePtr conv2d_v2(const Dense& input, int stride_x, int stride_y, int pad_left, int pad_top, unsigned int out_w,
                   unsigned int out_h, const Dense& weights, int pad_value);
// Input (X, Y, C) int32, weights (kw, kh, 1, C) int8 -> (out_w, out_h, C); padding counts 0.
DensePtr depthwise_conv2d(const Dense& input, int stride_x, int stride_y, int pad_left, int pad_top,
                          unsigned int out_w, unsigned int out_h, const Dense& weights);
// Weights (kw, kh, C, F) int8 -> (F, kw * kh * C) int8, filter-major.
DensePtr linearize_filters(const Dense& weights);
// Input (X, Y, C) uint8, pads (uint8, one per channel or one for all) used outside the input,
// linearized filters (F, kw * kh * C) int8 -> (out_w, out_h, F) int32. The bottom and right
// pads are implied by the output size.
DensePtr input_conv2d(const Dense& input, const Dense& pads, signed char stride_x, signed char stride_y, int pad_top,
                      int pad_bottom, int pad_left, int pad_right, unsigned int out_w, unsigned int out_h,
                      unsigned int kernel_w, unsigned int kernel_h, const Dense& filters);
// Patch embedding: input (X, Y, C) uint8, weights (kw, kh, C, D) int8, windows `stride` apart
// without padding -> (out_x * out_y, D) int32, token ox * out_y + oy.
DensePtr stem_conv(const Dense& input, const Dense& weights, int stride);
// Transposed convolution: input pixel (x, y) adds input * w[i, j] at (x * stride + i - pad_x,
// y * stride + j - pad_y) of an (out_x, out_y) output; weights (kw, kh, C, F), or depthwise
// (kw, kh, 1, C).
DensePtr conv2d_transpose(const Dense& input, const Dense& weights, int stride, int pad_x, int pad_y,
                          unsigned int out_x, unsigned int out_y);
// Max over each window's positions inside the input; a window with none gives `empty_value`.
// Global pools the whole input to (1, 1, C) and ignores the window arguments. Sizes must not be
// negative (a zero-sized window is empty); pad_bottom and pad_right are implied.
DensePtr max_pooling(ConstDensePtr input, signed char pool_w, signed char pool_h, bool global, unsigned int out_w,
                     unsigned int out_h, signed char stride_x, signed char stride_y, int pad_top, int pad_bottom,
                     int pad_left, int pad_right, int empty_value);
// (X, Y, C) -> (1, 1, C): the mean rounded half up, then rounded >> shift.
DensePtr global_average_pooling(ConstDensePtr input, int shift);

}  // namespace nuvra::ops
