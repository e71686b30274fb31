// The HRC program of a first-generation InputConvolutional layer, all addressed to the HRC's
// all-zero ident:
//   8, 8     register block (eight words); at the end word 0 alone, bit 0 cleared
//   8, 32    SRAM select: the select word, then 0
//   9, 40    data of the selected SRAM: R, G, B weights, then the threshold and step pairs
//   8, 0     start pulse: 1, then 0
// The weight images are the ones both generations share (format_hrc_weights).
#pragma once

#include "devices/device.h"
#include "program/record.h"
#include "v2/fnp_hrc/hrc_recorder.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace nuvra::v1 {

using HrcSramSelect = v2::HrcSramSelect;
inline constexpr HrcSramSelect HRC_SRAM_SELECT_R{0, 1};        // weights of input channel 0
inline constexpr HrcSramSelect HRC_SRAM_SELECT_G{1, 1};        // weights of input channel 1
inline constexpr HrcSramSelect HRC_SRAM_SELECT_B{2, 1};        // weights of input channel 2
inline constexpr HrcSramSelect HRC_SRAM_SELECT_TH_STP{31, 1};  // threshold and step pairs

using HrcRegisters = std::array<uint32_t, 8>;

// The register block of an InputConvolutional from its parameters and its convolution borders.
// The layer rules keep every value inside its field; one outside panics naming the field.
HrcRegisters hrc_register_block(const LayerParams& params, const PaddingParams& border);

// Two words per threshold: the threshold as 24-bit two's complement, then its step unchanged.
uint32_t hrc_thresholds_32b_size(const Dense& threshold);
// Panics "Wrong requested type %s for a tensor of type %s." unless both are int32, "Coordinates are
// out-of-range" when `step` has fewer values than `threshold`, and "%d cannot fit in a %d bits
// signed integer" for a threshold outside 24 bits.
void check_hrc_thresholds(const Dense& threshold, const Dense& step);
// Checks as above, then writes exactly out.size() == hrc_thresholds_32b_size words (panics otherwise).
void format_hrc_thresholds(std::span<uint32_t> out, const Dense& threshold, const Dense& step);

// Throws std::bad_cast for a layer that is not an InputConvolutional, std::runtime_error "The layer
// <name> is not built" before its convolution record exists, the weight formatter's errors and the
// threshold panics. Everything is checked before the first block is added.
std::unique_ptr<program::Record> record_program_hrc_layer(const Device& device, const Layer& layer);

// HRC memory of the layer in 32-bit words: its weight images and threshold pairs.
uint32_t get_hrc_sram_size(const Layer& layer);

}  // namespace nuvra::v1
