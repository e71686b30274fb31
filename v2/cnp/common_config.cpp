#include "v2/cnp/common_config.h"

#include <nuvra/host_hooks.h>

#include <stdexcept>

namespace nuvra::v2 {

namespace {

// `value` as a two's-complement field of `bits` bits; a value that does not fit panics.
uint32_t signed_field(int32_t value, int bits) {
  const int32_t lowest = -(1 << (bits - 1));
  const int32_t highest = (1 << (bits - 1)) - 1;
  if (value < lowest || value > highest) panic("%d cannot fit in a %d bits signed integer", value, bits);
  return static_cast<uint32_t>(value) & ((1u << bits) - 1);
}

// Checks the element type (the engine's typed-access panic) and that elements first..first+count-1
// exist, before any of them is read.
template <class T>
void check_readable(const Dense* tensor, uint32_t first, uint32_t count) {
  if (tensor == nullptr) return;
  tensor->check_type<T>();
  if (count > 0 && uint64_t{first} + count > tensor->size()) panic("Coordinates are out-of-range");
}


}  // namespace

void format_cnp_tnp_common_config_registers(RegisterBlock* block, const NpSplitInterface& split, int kernel_size,
                                            int stride, bool activation, uint32_t first_neuron, uint32_t filters,
                                            const std::vector<hw::Component>& own, bool single_buffer,
                                            bool transposed, uint8_t output_bits,
                                            const std::unique_ptr<MergeLayerMapInfo>& merge,
                                            const std::optional<hw::Component>& skip_load,
                                            const std::optional<hw::Component>& skip_store, bool last_flag,
                                            bool merge_section) {
  RegisterBlock& regs = register_block(block);
  // Refusals first, in the order of the words they concern, so a refused block stays as it was.
  const uint32_t row_offset = signed_field(static_cast<int32_t>(split.window_y_offset()), 3);
  const uint32_t column_offset = signed_field(static_cast<int32_t>(split.window_x_offset()), 3);
  const bool merge_fields = merge_section && merge;
  const bool dual_output = merge_fields && merge->dual_output;
  if (merge_fields && !skip_load) throw std::runtime_error("Skip DMA load should not be null.");
  if (dual_output && !skip_store) throw std::runtime_error("Skip DMA store should not be null.");
  ColumnRange with_store;
  if (dual_output) {
    std::vector<hw::Component> nps = own;
    nps.push_back(*skip_store);
    with_store = column_range(nps);
  }

  set_bit(regs[1], 4, false);
  set_bit(regs[1], 7, false);
  set_bit(regs[1], 22, single_buffer);
  set_bit(regs[1], 29, last_flag);
  set_field(regs, 1, 5, 6, 0b01);
  set_field(regs, 13, 0, 15, 0x0010);

  regs[3] = (regs[3] & 0xFFFF0F44) | 0x30B3 | uint32_t{output_bits <= 8 && !activation} << 14 |
            uint32_t{activation} << 15;
  set_field(regs, 3, 16, 23, own.size());

  set_field(regs, 4, 29, 31, 0b100);

  set_field(regs, 8, 0, 10, split.part_height());
  set_field(regs, 8, 12, 14, row_offset);
  set_field(regs, 8, 16, 26, split.part_width());
  set_field(regs, 8, 28, 30, column_offset);

  set_field(regs, 9, 0, 11, split.window_y());
  set_bit(regs[9], 12, split.row_phase() > 0);
  set_field(regs, 9, 16, 27, split.window_x());
  set_bit(regs[9], 28, split.column_phase() > 0);
  set_field(regs, 10, 0, 10, split.window_height());
  set_field(regs, 10, 16, 26, split.window_width());
  set_field(regs, 11, 0, 7, split.icont_size());

  const uint32_t w20 = (regs[20] & ~0x300u) | uint32_t{stride == 2} << 8 | uint32_t{transposed} << 9;
  regs[20] = (static_cast<uint32_t>(kernel_size) & 7) << 28 | (w20 & 0x8800FBFF);

  set_field(regs, 24, 0, 11, split.first_output_row());
  set_field(regs, 24, 16, 27, split.first_output_column());
  set_field(regs, 25, 0, 9, split.output_rows());
  set_field(regs, 25, 16, 23, split.output_columns());
  set_field(regs, 26, 0, 10, first_neuron);
  set_field(regs, 26, 16, 25, filters);

  if (!merge_section) return;
  if (!merge) {
    set_bit(regs[52], 7, true);
    return;
  }
  set_bit(regs[52], 7, merge->not_first_in_pass);
  set_field(regs, 52, 0, 4, 0b10011 | uint32_t{merge->is_add} << 2);
  set_field(regs, 52, 16, 23, merge->merge_channel);

  const hw::Ident& load = skip_load->ident;
  regs[53] = (regs[53] & 0x7F070000) | uint32_t{load.col} << 8 | one_hot_id(load.id) << 20 | 0x80000001;

  if (!dual_output) return;
  const hw::Ident& store = skip_store->ident;
  set_bit(regs[1], 31, true);
  set_field(regs, 47, 16, 23, with_store.low);
  set_field(regs, 47, 24, 31, with_store.high);
  regs[48] = (regs[48] & 0xFFFE0000) | uint32_t{store.row} | uint32_t{store.col} << 8;
  set_field(regs, 48, 20, 23, one_hot_id(store.id));
  set_bit(regs[48], 16, true);
  set_field(regs, 48, 24, 31, merge->dual_output_channel);
}

void format_cnp_pooling_registers(RegisterBlock* block, const Shape& shape, const NpSpace& part, uint8_t pool_size,
                                  uint8_t pool_stride, bool pooling_flag, const PaddingParams& padding,
                                  bool inbound_max_pooling) {
  RegisterBlock& regs = register_block(block);
  uint32_t& w27 = regs[27];
  w27 = (w27 & 0xFFFFFF88) | (pool_size & 7u) | (pool_stride & 7u) << 4;
  set_bit(w27, 8, pooling_flag);
  set_bit(w27, 9, false);
  // Which padded edges of the input this NP's part touches.
  set_bit(w27, 12, padding.right > 0 && uint64_t{part.x} + part.shape[0] == shape[0]);
  set_bit(w27, 13, padding.left > 0 && part.x == 0);
  set_bit(w27, 14, padding.bottom > 0 && uint64_t{part.y} + part.shape[1] == shape[1]);
  set_bit(w27, 15, padding.top > 0 && part.y == 0);
  if (inbound_max_pooling) regs[2] |= 0x100;
}

uint32_t get_no_pooling_params(PoolingCalculatedParams* out, uint32_t first_size, uint32_t second_size) {
  if (out == nullptr) throw std::invalid_argument("get_no_pooling_params: no pooling record to fill");
  *out = PoolingCalculatedParams{1, 1, first_size, second_size, PaddingParams{}, false};
  return 1;
}

namespace {

void check_variables(const Dense* max_value, const Dense* max_value_shift, const Dense* output_shift,
                     const Dense* bias_shift, const Dense* bias, const Dense* output_scales, uint32_t first,
                     uint32_t count) {
  check_readable<uint8_t>(max_value, first, count);
  check_readable<uint8_t>(max_value_shift, first, count);
  check_readable<int8_t>(output_shift, first, count);
  check_readable<uint8_t>(bias_shift, first, count);
  check_readable<int8_t>(bias, first, count);
  check_readable<uint8_t>(output_scales, first, count);
}

}  // namespace

void cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift, const Dense* output_shift,
                       const Dense* bias_shift, const Dense* bias, const Dense* output_scales, uint32_t first,
                       uint32_t count, std::span<uint32_t> words) {
  check_variables(max_value, max_value_shift, output_shift, bias_shift, bias, output_scales, first, count);
  if (words.size() != size_t{count} * 2) throw std::invalid_argument("cnp_tnp_variables: image of the wrong size");

  if (count == 0) return;
  // Missing tensors read as zeros; the output shifts are checked before any word is written, so
  // that the packing below has no branch.
  std::vector<uint8_t> zeros;
  const auto from = [&](const Dense* t) -> const uint8_t* {
    if (t != nullptr) return t->storage().data() + first;
    if (zeros.empty()) zeros.assign(count, 0);
    return zeros.data();
  };
  const uint8_t* const scales = from(output_scales);
  const uint8_t* const biases = from(bias);
  const uint8_t* const bias_shifts = from(bias_shift);
  const uint8_t* const output_shifts = from(output_shift);
  const uint8_t* const max_value_shifts = from(max_value_shift);
  const uint8_t* const max_values = from(max_value);
  // One branch-free pass finds whether a shift does not fit 6 signed bits; the first such is named.
  bool out_of_range = false;
  for (size_t n = 0; n < count; ++n) {
    const auto shift = static_cast<int8_t>(output_shifts[n]);
    out_of_range |= shift < -32 || shift > 31;
  }
  if (out_of_range)
    for (size_t n = 0; n < count; ++n) signed_field(static_cast<int8_t>(output_shifts[n]), 6);
  for (size_t n = 0; n < count; ++n) {
    words[2 * n] = uint32_t{scales[n]} | uint32_t{biases[n]} << 8 | (bias_shifts[n] & 0x1Fu) << 16 |
                   (output_shifts[n] & 0x3Fu) << 21 | (max_value_shifts[n] & 0x1Fu) << 27;
    words[2 * n + 1] = max_values[n];
  }
}

std::vector<uint32_t> cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                        const Dense* output_shift, const Dense* bias_shift, const Dense* bias,
                                        const Dense* output_scales, uint32_t first, uint32_t count) {
  // Checked before the words are sized.
  check_variables(max_value, max_value_shift, output_shift, bias_shift, bias, output_scales, first, count);
  std::vector<uint32_t> words(size_t{count} * 2);
  cnp_tnp_variables(max_value, max_value_shift, output_shift, bias_shift, bias, output_scales, first, count, words);
  return words;
}

}  // namespace nuvra::v2
