// The FNP memory image of a first-generation FullyConnected layer, with or without the fields of
// on-chip learning. Layout per neuron (S words, see fnp_sizes.h):
//   word 0   bits 0-19  threshold, 20-bit two's complement (0x80000 without activation)
//   word 1   bits 0-19  converted act step (0 without activation); learning: bits 20-29 class + 1
//   word 2   learning:  bits 0-15 num_weights, bits 16-19 threshold_learning bits 16-19
//   word 3   learning:  bits 0-15 thswap, bits 16-31 threshold_learning bits 0-15
//   then G * P words of the non-negative weights and (bits > 1) G * P words of the negative ones:
//   word g * P + j of a block holds, in bit i, bit j of the magnitude of input 32 * g + i.
#pragma once

#include <nuvra/tensor.h>

#include <cstdint>
#include <span>
#include <string>

namespace nuvra::v1 {

// The learning state of every neuron; the layer has 1-bit weights and `N` units.
struct FnpLearningFields {
  const Dense& threshold_learning;  // int32, one per neuron, 0 to 524287
  const Dense& thswap;              // int32, one per neuron, low 16 bits stored
  uint32_t num_classes = 1;         // neurons form num_classes equal groups (class field when > 1)
  uint32_t num_weights = 0;         // low 16 bits stored
};

// The class word 1 records for the last of `units` neurons in `num_classes` groups (1 < num_classes
// <= units): neurons past the last whole group take the next numbers. At most kMaxNeuronClass.
inline constexpr int64_t kMaxNeuronClass = 0x3FF;
inline constexpr int64_t largest_neuron_class(int64_t units, int64_t num_classes) {
  return (units - 1) / (units / num_classes) + 1;
}
// The refusal of a layer whose largest class is `largest`, past kMaxNeuronClass.
inline std::string neuron_class_refusal(int64_t largest) {
  return "The largest neuron class of a learning layer is " + std::to_string(kMaxNeuronClass) + " (got " +
         std::to_string(largest) + ")";
}

// Refuses (FnpError) a learning layer the image cannot describe: weights wider than 1 bit, "units"
// other than the neuron count, fewer than one class, fewer units than classes, or a class past
// kMaxNeuronClass.
void check_learning_layer(int bits, int64_t units, uint32_t neurons, int64_t num_classes);

// Writes the image of "weights" (N, K, ...) read through its strides as signed bytes into `out`,
// which must hold fnp_sram_size(weights shape, bits) words (panics otherwise). `thresholds`
// (int32) and `steps` (int32 converted act steps) are read only with `activation`.
// Refusals, all before the first word is written except the weight range:
//   panic "%d cannot fit in a %d bits signed integer" for a threshold outside 20 bits or a
//   learning threshold above 524287; FnpError "act_step should be between 0 and 65535. Receives
//   act_step <step / 16>" for a converted step above 0xFFFFF; FnpError "Negative value for
//   threshold_learning not supported"; FnpError for learning fields that do not fit the layer;
//   FnpError "weights contain values out of range (lo, hi) (e.g.: w)" for a weight the image
//   cannot hold (1-bit: 0 and 1; b bits: magnitudes below 2^(b-1)); panics for tensors of the
//   wrong element type or too short.
void format_fnp_ram(std::span<uint32_t> out, const Dense& weights, const Dense& thresholds, const Dense& steps,
                    int bits, bool activation, const FnpLearningFields* learning = nullptr);

}  // namespace nuvra::v1
