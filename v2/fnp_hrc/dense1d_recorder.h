// The program of a second-generation Dense1D layer on its FNP: register block (target 7), input
// shifts (target 2) and one image per neuron, in the FNP3's own memory (target 6) or, on an
// FNP2, in external memory (the record's FNP2 filters track).
//
// Recorder arguments, as the layer recorder passes them, and their other names:
//   seq_first       the first layer of the sequence ("previous" elsewhere); when it is the layer
//                   itself the input is read as one flat vector. Not the list predecessor that
//                   check_fnp_constraints takes.
//   ib_spikes       first_of_later_pass: the NP's input buffer receives spikes.
//   routing_flag    last_of_pass: the layer ends a pass that is not the last.
//   excluded_nps    NPs that get no program of their own in this record.
//   registers_only  no weight image (the input shifts are still recorded) and no layer id.
#pragma once

#include "backend/hardware_constraints.h"
#include "devices/device.h"
#include "program/record.h"
#include "v2/fnp_hrc/fnp_sizes.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace nuvra::v2 {

// Throws std::runtime_error "Wrong input_bits at FNP recording." (input bits not 1 or 8),
// "Only 8-bit weights are supported on v2." (weights needing fewer than 2 or more than 8 bits),
// "Wrong output bitwidth at FNP recording." (output bits not 4 and outside 8..32),
// "Unsupported padding." (no input layout); panics on a variable of the wrong element type or
// shorter than the layer needs. Nothing is returned on an error.
std::unique_ptr<program::Record> record_program_dense1d_layer(const Device& device,
                                                              const HardwareConstraints& constraints,
                                                              const Layer& layer, const Layer& seq_first,
                                                              std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                              bool routing_flag,
                                                              const std::vector<hw::Ident>& excluded_nps,
                                                              bool registers_only);

// The neuron images, fnp_input_sram_words(shape, mode) words each, neurons in order. A neuron's
// first 8 bytes are "bias", "bias_shift", "max_value", "max_value_shift", "output_scales",
// "output_shift" and two zero bytes; its weights follow in the input's layout. Unused bytes are
// 0. "weights" is read as (inputs, neurons) through its strides.
std::vector<uint32_t> format_fnp_weights(const Layer& layer, bool flat, FnpInputMode mode);

// The input-shift track: flat mode one byte per input padded to whole pairs of words; the row
// modes the "input_shift" bytes in the input's layout from byte 0, in
// (fnp_input_sram_words + 1) rounded down to even words.
std::vector<uint32_t> format_fnp_input_shift(const Layer& layer, bool flat, FnpInputMode mode);

}  // namespace nuvra::v2
