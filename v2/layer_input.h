// The shape a layer reads from its first inbound layer.
#pragma once

#include <nuvra/layer.h>

#include <stdexcept>

namespace nuvra::v2 {

inline Shape first_input_shape(const Layer& layer) {
  auto dims = layer.input_dimensions();
  if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
  return dims.front();
}

}  // namespace nuvra::v2
