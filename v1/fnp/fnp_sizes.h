// Sizes of a first-generation FullyConnected layer on its FNP, in 32-bit words.
//
// FNP memory image: N neurons of S = G * P * B + 4 words each, where K inputs make G = ceil(K / 32)
// groups, P = (bits == 1 ? 1 : bits - 1) magnitude planes and B = (bits == 1 ? 1 : 2) sign blocks.
#pragma once

#include "backend/hardware_constraints.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>

namespace nuvra::v1 {

// Layout figures of one neuron's image for `bits`-bit weights and `inputs` inputs.
struct FnpNeuronLayout {
  uint32_t planes = 0;  // P
  uint32_t blocks = 0;  // B
  uint32_t groups = 0;  // G
  uint32_t words = 0;   // S
  static constexpr uint32_t kHeaderWords = 4;
};

// Throws FnpError "Weight bits should be between 1 and 4 inclusive." for other widths; a
// neuron too large for 32-bit sizes panics.
FnpNeuronLayout fnp_neuron_layout(uint32_t inputs, int bits);

// N x S for "weights" of shape (N, K, ...): the image size. Saturates at 2^32 - 1 so that an
// oversized image never looks small enough to fit an FNP3.
uint32_t fnp_sram_size(const Shape& weights_shape, int bits);
// (x * y * c + 31) / 32 of the layer's first input.
uint32_t get_fnp_input_size(const Layer& layer);
// fnp_sram_size of the layer's "weights" and "weights_bits".
uint32_t get_fnp_sram_size(const Layer& layer);
// FNP2 takes any size (its weights live in external memory); other types need the image to fit
// the constraints' fnp3_sram_size.
bool is_fnp_type_compatible(const HardwareConstraints& constraints, const Layer& layer, hw::Type type);

}  // namespace nuvra::v1
