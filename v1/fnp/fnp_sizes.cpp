#include "v1/fnp/fnp_sizes.h"

#include "v1/errors.h"
#include "v1/layer_access.h"
#include "v2/size_math.h"

#include <nuvra/host_hooks.h>
#include <nuvra/params.h>
#include <nuvra/variables.h>

namespace nuvra::v1 {

using v2::saturate;
using v2::wide;

FnpNeuronLayout fnp_neuron_layout(uint32_t inputs, int bits) {
  if (bits < 1 || bits > 4) throw FnpError("Weight bits should be between 1 and 4 inclusive.");
  FnpNeuronLayout l;
  l.planes = bits == 1 ? 1 : static_cast<uint32_t>(bits) - 1;
  l.blocks = bits == 1 ? 1 : 2;
  l.groups = static_cast<uint32_t>((uint64_t{inputs} + 31) >> 5);
  l.words = l.groups * l.planes * l.blocks + FnpNeuronLayout::kHeaderWords;  // at most 6 * 2^27 + 4
  return l;
}

uint32_t fnp_sram_size(const Shape& weights_shape, int bits) {
  return saturate(wide{fnp_neuron_layout(weights_shape[1], bits).words} * weights_shape[0]);
}

uint32_t get_fnp_input_size(const Layer& layer) {
  const Shape in = first_input_shape(layer);
  return saturate((wide{in[0]} * in[1] * in[2] + 31) >> 5);
}

uint32_t get_fnp_sram_size(const Layer& layer) {
  return fnp_sram_size(layer.variables()->get("weights")->shape(), layer.params()->get("weights_bits"));
}

bool is_fnp_type_compatible(const HardwareConstraints& constraints, const Layer& layer, hw::Type type) {
  return type == hw::Type::FNP2 || constraints.fnp3_sram_size >= get_fnp_sram_size(layer);
}

}  // namespace nuvra::v1
