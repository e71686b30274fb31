// First-generation layers for tests: one layer built behind an InputData layer (or alone, for
// an InputConvolutional), with its model kept alive, and the checker's view of a device.
#pragma once

#include "support/model_builders.h"
#include "v2/rule_testing.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <memory>

namespace nuvra::test {

inline const Params kConv3{{"filters", 8}, {"kernel_width", 3}, {"kernel_height", 3}};
inline const Params kHrc3{{"input_width", 8}, {"input_height", 8}, {"input_channels", 3},
                          {"filters", 8},     {"kernel_width", 3}, {"kernel_height", 3}};

// Replaces an int32 variable by one whose first elements are `values` and the others 0.
inline void set_i32(Layer& layer, const std::string& name, const std::vector<int32_t>& values) {
  const auto current = layer.variables()->get(name);
  auto t = Dense::create(TensorType::int32, current->shape(), current->layout());
  for (size_t i = 0; i < values.size(); ++i) t->set<int32_t>(i, values[i]);
  layer.variables()->set(name, t);
}

// The same for a float32 variable.
inline void set_f32(Layer& layer, const std::string& name, const std::vector<float>& values) {
  const auto current = layer.variables()->get(name);
  auto t = Dense::create(TensorType::float32, current->shape(), current->layout());
  for (size_t i = 0; i < values.size(); ++i) t->set<float>(i, values[i]);
  layer.variables()->set(name, t);
}

// Layer "l" of `type`; non-input layers read an `input` of `bits` bits.
struct OneLayer {
  ModelBuilder b;
  std::shared_ptr<Layer> layer;
  OneLayer(LayerType type, const Params& params, Shape input = {8, 8, 4}, int bits = 1) {
    if (type != LayerType::InputConvolutional) b.input(input[0], input[1], input[2], bits);
    b.add(type, params, "l");
    layer = b.layer("l");
  }
  Layer& operator*() const { return *layer; }
  Layer* operator->() const { return layer.get(); }
};

}  // namespace nuvra::test
