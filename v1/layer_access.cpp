#include "v1/layer_access.h"

#include <nuvra/params.h>

#include <stdexcept>
#include <string>

namespace nuvra::v1 {

LayerType layer_type_of(const Layer& layer) {
  const LayerParams* params = layer.params();
  if (!params) throw std::runtime_error("The layer " + layer.get_name() + " has no parameters.");
  return params->layer_type();
}

Shape first_input_shape(const Layer& layer) {
  const std::vector<Shape> dims = layer.input_dimensions();
  if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
  return dims.front();
}

std::shared_ptr<const LayerMapping> mapping_of(const Layer& layer) {
  auto mapping = get_layer_mapping(layer);
  if (!mapping) throw std::runtime_error("The layer " + layer.get_name() + " is not mapped");
  return mapping;
}

const hw::SplitRecord& split_of(const Layer& layer, const hw::Component& c) {
  if (!c.split)
    throw std::runtime_error("The component " + c.ident.to_string() + " of layer " + layer.get_name() +
                             " has no split record");
  return *c.split;
}

}  // namespace nuvra::v1
