// How the first-generation back end reads a layer: its type, its first input shape, its
// mapping and a component's split record, each refused with a clear error when missing.
#pragma once

#include "backend/layer_mapping.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <memory>

namespace nuvra::v1 {

// std::runtime_error "The layer <name> has no parameters." without a parameter set.
LayerType layer_type_of(const Layer& layer);

// std::runtime_error "Cannot get input size before it is set." when the layer has no input.
Shape first_input_shape(const Layer& layer);

// std::runtime_error "The layer <name> is not mapped" without a LayerMapping.
std::shared_ptr<const LayerMapping> mapping_of(const Layer& layer);

// std::runtime_error naming the component and the layer when it has no split record.
const hw::SplitRecord& split_of(const Layer& layer, const hw::Component& c);

}  // namespace nuvra::v1
