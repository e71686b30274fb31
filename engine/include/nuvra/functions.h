// Helpers over tensors used by the Python layer and the back ends.
#pragma once

#include <nuvra/tensor.h>

#include <memory>

namespace nuvra {

// Bits the values need: unsigned types the bit length of the maximum; signed types the
// two's-complement width (0 -> 1, -1 -> 1, 1 -> 2); float32 0.
int evaluate_bitwidth(const Dense& t);

// int32 lround(act_step * 16) per neuron, saturated.
std::shared_ptr<Dense> get_threshold_t16_from_act_steps(const Dense& act_steps);

}  // namespace nuvra
