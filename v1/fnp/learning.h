// On-chip learning of a first-generation FullyConnected layer: the learning records (registers
// with learning on and off, and the FNP memory image with every neuron's learning fields), and the
// read-back of what the chip learnt from its learning memory.
#pragma once

#include "devices/device.h"
#include "program/record.h"

#include <nuvra/hardware.h>
#include <nuvra/layer.h>
#include <nuvra/variables.h>

#include <cstdint>
#include <span>
#include <vector>

namespace nuvra::v1 {

// Refuses (FnpError) a layer whose learning fields do not fit its image before anything is
// recorded: see check_learning_layer. Otherwise the errors of the register builder and of
// format_fnp_ram; nothing is returned on an error.
program::LearnRecordsPtr record_program_learning_dense_layer(const Device& device, const Layer& layer,
                                                             bool first_of_later_pass);

// The board's learning memory once it loads the learning records made now (the weights record's
// words, as a board loads them), with the checks and errors of the recording above.
std::vector<uint32_t> learning_memory_image(const Device& device, const Layer& layer);

// Rebuilds "weights" (bit k mod 32 of word n * S + 4 + k / 32), "threshold_learning" (bits 16-19 of
// word n * S + 2, then the high half of word n * S + 3) and "thswap" (the low half of word n * S + 3)
// from a learning memory laid out as the 1-bit FNP image. On an FNP3 the memory starts with two
// words that are not part of the image. All three variables are replaced together, or none: a
// memory shorter than the image throws FnpError, tensors of the wrong element type panic, and a
// refused replacement restores the variables already replaced.
void update_learned_variables(std::span<const uint32_t> memory, VariablesImpl& variables, bool fnp3);

// Reads the device's learning memory and updates the variables as above. Throws
// std::runtime_error for a null device ("An actual hardware device is required.") or null variables
// ("The learning layer's variables cannot be replaced.").
void fnp_update_learn_vars(HardwareDevice* device, VariablesImpl* variables, bool fnp3);

// The read-back after a fit, for the layer recorder: `layer` is the learning layer, mapped on one
// FNP. Throws std::runtime_error when it is not mapped, std::out_of_range for a mapping without
// components, and the errors of fnp_update_learn_vars (variables that are not the engine's own
// reach it as null).
void sync_learning_vars(const Device& device, Layer& layer);

}  // namespace nuvra::v1
