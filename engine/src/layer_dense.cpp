// Dense and temporal layers: FullyConnected, Dense1D, Dense2D, the TNP-B kinds and TNP-R.
#include "layer_build.h"

#include <string>

namespace nuvra::detail {

BuildResult build_dense(const LayerParams& p, const std::vector<Shape>& in) {
  const uint64_t inputs = elements(in[0]);
  const uint64_t units = positive_param(p, "units");
  BuildResult r;
  r.output = checked_shape("output", {1, 1, units});
  switch (p.layer_type()) {
    case LayerType::FullyConnected:
      // Neurons on dimension 0, dimension 0 fastest: neuron k's weights start at element k,
      // one neuron count apart.
      declare(r, "weights", v1_weights_type(p.get("weights_bits")), {units, inputs, 1, 1}, Layout::Reversed);
      declare(r, "threshold", TensorType::int32, {units});
      declare(r, "act_step", TensorType::float32, {units});
      declare(r, "threshold_learning", TensorType::int32, {units});
      declare(r, "thswap", TensorType::int32, {units});
      break;
    case LayerType::Dense1D:
      declare(r, "weights", TensorType::int8, {inputs, units});
      declare(r, "input_shift", TensorType::uint8, {inputs});
      v2_neuron_variables(r, units, has_relu(p));
      break;
    default:  // Dense2D runs in software only and has no variables here.
      break;
  }
  return r;
}

BuildResult build_temporal(const LayerParams& p, const std::vector<Shape>& in) {
  const uint32_t x = in[0][0], y = in[0][1], c = in[0][2];
  BuildResult r;
  switch (p.layer_type()) {
    case LayerType::BufferTempConv: {
      const uint64_t filters = positive_param(p, "filters");
      const uint64_t fifo = positive_param(p, "fifo_size");
      r.output = checked_shape("output", {x, y, filters});
      declare(r, "weights", TensorType::int8, {1, 1, fifo * c, filters});
      declare(r, "input_shift", TensorType::uint4, {c});
      v2_neuron_variables(r, filters, has_relu(p));
      break;
    }
    case LayerType::DepthwiseBufferTempConv: {
      const uint64_t taps = positive_param(p, "fifo_size");
      if (p.has("filters") && p.get("filters") != static_cast<int64_t>(c))
        refuse("parameter 'filters' (" + std::to_string(p.get("filters")) + ") must equal the " + std::to_string(c) +
               " input channels");
      r.output = checked_shape("output", {x, y, c});
      declare(r, "weights", TensorType::int8, {1, 1, taps, c});
      declare(r, "input_shift", TensorType::uint4, {c});
      v2_neuron_variables(r, c, has_relu(p));
      break;
    }
    default: {  // StatefulRecurrentLegacy: no variables of its own.
      positive_param(p, "stateful_channels");
      r.output = checked_shape("output", {x, y, positive_param(p, "out_channels")});
      break;
    }
  }
  return r;
}

}  // namespace nuvra::detail
