// Packers of the vision-transformer block's parameter memories: shifts, scales, biases and
// normalisation factors packed several to a word, and weight matrices four bytes to a word.
//
// Each packer has a size function that checks everything the packer refuses and returns the
// words it writes; the packer writes exactly that many into `out` (another size panics), every
// word once, bits no field covers at 0. Vectors are read in element order, n values from the
// first dimension of the leading tensor (named first below); the other tensors of a call must
// hold at least n elements. Field kinds, range-tested before anything is written:
//   shift5   unsigned byte, 0..31   else panic "%d cannot fit in a %d bits unsigned integer"
//   sshift6  signed byte, -32..31   else panic "%d cannot fit in a %d bits signed integer"
//   s8, u8   a signed or unsigned byte, stored as is
// Refusals: a tensor of another byte family panics "Wrong requested type %s for a tensor of
// type %s."; a short tensor, or values that do not fill whole groups, panics "Coordinates are
// out-of-range" (format_shifts: std::runtime_error "Wrong shift formatting.").
#pragma once

#include <nuvra/tensor.h>

#include <cstdint>
#include <span>

namespace nuvra {

// Six shift5 values a word at bits 0, 5, .. 25; the last word may hold five.
uint32_t shifts_32b_size(const Dense& shifts);
void format_shifts(std::span<uint32_t> out, const Dense& shifts);

// Four sshift6 values a word at bits 0, 6, 12, 18.
uint32_t output_shifts_32b_size(const Dense& shifts);
void format_output_shifts(std::span<uint32_t> out, const Dense& shifts);

// Pairs: value (s8) at 0 and its shift5 at 8, the next pair at 13 and 21.
uint32_t shifted_values_32b_size(const Dense& values, const Dense& shifts);
void format_shifted_values(std::span<uint32_t> out, const Dense& values, const Dense& shifts);

// Pairs of (a shift5, b shift5, output sshift6) at bits 0, 5, 10, then 16, 21, 26.
uint32_t skip_connection_shifts_32b_size(const Dense& a, const Dense& b, const Dense& output);
void format_skip_connection_shifts(std::span<uint32_t> out, const Dense& a, const Dense& b, const Dense& output);

// One word a value: value (a bias) s8 at 0, scales u8 at 8, value shift shift5 at 16, shift
// sshift6 at 21.
uint32_t post_op_variables_32b_size(const Dense& value, const Dense& value_shift, const Dense& scales,
                                    const Dense& shift);
void format_post_op_variables(std::span<uint32_t> out, const Dense& value, const Dense& value_shift,
                              const Dense& scales, const Dense& shift);
// The same word for a maximum value, which layers keep unsigned: its byte (u8) at 0.
uint32_t post_op_max_variables_32b_size(const Dense& max_value, const Dense& max_value_shift, const Dense& scales,
                                        const Dense& shift);
void format_post_op_max_variables(std::span<uint32_t> out, const Dense& max_value, const Dense& max_value_shift,
                                  const Dense& scales, const Dense& shift);

// Leading tensor beta. One word a value: input shift shift5 at 0, beta s8 at 5, beta shift shift5
// at 13, scales u8 at 18, shift sshift6 at 26.
uint32_t mad_norm_beta_32b_size(const Dense& input_shift, const Dense& beta, const Dense& beta_shift,
                                const Dense& scales, const Dense& shift);
void format_mad_norm_beta(std::span<uint32_t> out, const Dense& input_shift, const Dense& beta,
                          const Dense& beta_shift, const Dense& scales, const Dense& shift);

// Leading tensor a. Two words a value: input shift shift5 at 0, a s8 at 5, b s8 at 13, b shift
// shift5 at 21, scales bits 0-5 at 26; then scales bits 6-7 at 0 and shift sshift6 at 2.
uint32_t batch_norm_32b_size(const Dense& input_shift, const Dense& a, const Dense& b, const Dense& b_shift,
                             const Dense& scales, const Dense& shift);
void format_batch_norm(std::span<uint32_t> out, const Dense& input_shift, const Dense& a, const Dense& b,
                       const Dense& b_shift, const Dense& scales, const Dense& shift);

// An r x c matrix of signed bytes (c a multiple of 4), row after row, four consecutively stored
// bytes from element (i, j) a word, least significant first: r * c / 4 words.
uint32_t weights_32b_size(const Dense& weights);
void format_weights(std::span<uint32_t> out, const Dense& weights);

// The key and value rows interleaved in groups of 24 columns (six key words, six value words),
// row after row, then the query packed as format_weights: 3 * r * c / 4 words, r and c those of
// the query (c a multiple of 24; key and value at least as large).
uint32_t qkv_weights_32b_size(const Dense& query, const Dense& key, const Dense& value);
void format_qkv_weights(std::span<uint32_t> out, const Dense& query, const Dense& key, const Dense& value);

}  // namespace nuvra
