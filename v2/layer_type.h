// The layer type as the v2 strategy objects read it: from the layer's own parameter set.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <stdexcept>

namespace nuvra::v2 {

inline LayerType layer_type_of(const Layer& layer) {
  const LayerParams* params = layer.params();
  if (!params) throw std::runtime_error("The layer " + layer.get_name() + " has no parameters.");
  return params->layer_type();
}

}  // namespace nuvra::v2
