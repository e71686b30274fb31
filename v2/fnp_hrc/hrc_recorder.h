// The HRC program of a second-generation input layer (InputConv2D or Stem): the five-word
// register block, the SRAM loads (each a select word, then the image) and the start pulse, all
// addressed to the HRC's all-zero ident.
//
// HRC addresses (dma target, address):
//   8, 0     start pulse: 1, then 0
//   8, 8     register block (five words; rewritten at the end: word 0 alone, bit 0 cleared)
//   8, 32    SRAM select: the select word, then 0
//   8, 112   Stem token register (two words)
//   9, 40    data of the selected SRAM
#pragma once

#include "devices/device.h"
#include "program/record.h"

#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace nuvra::v2 {

// SRAM select codes: {bit position, width}; the select word is 1 placed in that field.
using HrcSramSelect = std::pair<uint32_t, uint32_t>;
inline constexpr HrcSramSelect HRC_SRAM_SELECT_R{0, 1};        // weights of input channel 0
inline constexpr HrcSramSelect HRC_SRAM_SELECT_G{1, 1};        // weights of input channel 1
inline constexpr HrcSramSelect HRC_SRAM_SELECT_B{2, 1};        // weights of input channel 2
inline constexpr HrcSramSelect HRC_SRAM_SELECT_TOKENS{24, 1};  // Stem tokens
inline constexpr HrcSramSelect HRC_SRAM_SELECT_P{25, 1};       // Stem position-embedding parameters
inline constexpr HrcSramSelect HRC_SRAM_SELECT_POS{26, 1};     // Stem position embeddings
inline constexpr HrcSramSelect HRC_SRAM_SELECT_ACT{31, 1};     // activation parameters

inline constexpr size_t kHrcRegisterWords = 5;

// The HRC's ident, and the targets and addresses of its register block and SRAM loads.
inline constexpr hw::Ident kHrcIdent{0, 0, 0, 0};
inline constexpr dma::Target kHrcRegisters{8};
inline constexpr dma::Target kHrcSramData{9};
inline constexpr uint16_t kHrcBlockAddress = 8;
inline constexpr uint16_t kHrcSelectAddress = 32;
inline constexpr uint16_t kHrcSramDataAddress = 40;

constexpr uint32_t hrc_select_word(const HrcSramSelect& code) {
  const uint32_t mask = code.second >= 32 ? ~0u : (1u << code.second) - 1u;
  return code.first >= 32 ? 0u : (1u & mask) << code.first;
}

// Both throw std::runtime_error "The layer <name> is not built" when the layer's convolution
// record is not computed yet (std::bad_cast for a layer kind that has none), the register errors
// of format_hrc_registers and the formatters' errors; nothing is returned on an error.
std::unique_ptr<program::Record> record_program_input_conv2d_layer(const Device& device, const Layer& layer);
std::unique_ptr<program::Record> record_program_stem_layer(const Device& device, const Layer& layer);

// HRC weight memory of an InputConv2D or Stem, in 32-bit words: the three weight images and the
// activation image (a Stem's token and position images are not counted).
uint32_t get_hrc_sram_size(const Layer& layer);

// Fills the five-word block in place; the block must hold five words (std::invalid_argument).
// Throws std::runtime_error "Wrong kernel size at HRC recording.", "Wrong output bitwidth when
// programming HRC: <n>-bit found\nonly 8-bit and 4-bit are supported.", "Wrong number of
// channles at HRC recording.", "Wrong padding at HRC recording.", "Wrong pooling at HRC
// recording."; a filter count outside 1..512 panics (9-bit field). Every check runs before the
// first write, so a refused block is unchanged. `padding_value` may be null (no element: 0).
void format_hrc_registers(std::vector<uint32_t>& block, int kernel_size, uint8_t output_bits, bool activation,
                          const Shape& input, int padding, int pool_type, int pool_size, int pool_stride,
                          uint32_t kernel_stride, const Dense* padding_value, const PaddingParams& border,
                          uint32_t filters);

// Adds nothing for an empty image; otherwise the select track, then the data track.
void record_hrc_sram(program::Record& record, const HrcSramSelect& code, const std::vector<uint32_t>& data);
// The same for `count` data words that `fill(std::span<uint32_t>)` writes in place.
template <class Fill>
void record_hrc_sram(program::Record& record, const HrcSramSelect& code, size_t count, Fill&& fill) {
  if (count == 0) return;
  record.add_np_track(kHrcIdent, kHrcRegisters, kHrcSelectAddress, std::vector<uint32_t>{hrc_select_word(code), 0});
  record.add_np_block(kHrcIdent, kHrcSramData, kHrcSramDataAddress, count, std::forward<Fill>(fill));
}
// The start pulse: 1, then 0, at target 8, address 0.
void record_hrc_start_pulse(program::Record& record);

}  // namespace nuvra::v2
