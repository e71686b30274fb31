// The shape a layer reads from its first inbound layer.
#pragma once

#include "backend/layer_views.h"

#include <nuvra/layer.h>

#include <stdexcept>

namespace nuvra::v2 {

inline Shape first_input_shape(const Layer& layer) {
  const auto first = first_input_dimension(layer);
  if (!first) throw std::runtime_error("Cannot get input size before it is set.");
  return *first;
}

}  // namespace nuvra::v2
