// Shared tools of the first-generation tests: small tensors and thrown messages.
#pragma once

#include "backend/layer_mapping.h"

#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::test {

// The text of what `f` throws; "" when it throws nothing.
template <class F>
std::string thrown(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

inline std::shared_ptr<Dense> i32(const std::vector<int32_t>& values) {
  auto t = Dense::create(TensorType::int32, {static_cast<uint32_t>(values.size())});
  for (size_t i = 0; i < values.size(); ++i) t->set<int32_t>(i, values[i]);
  return t;
}

// FullyConnected weights (N, K, 1, 1) from w[n][k], neurons fastest unless row-major.
inline std::shared_ptr<Dense> fc_weights(const std::vector<std::vector<int>>& w, Layout layout = Layout::Reversed) {
  const uint32_t n = static_cast<uint32_t>(w.size()), k = static_cast<uint32_t>(w.at(0).size());
  auto t = Dense::create(TensorType::int8, {n, k, 1, 1}, layout);
  for (uint32_t i = 0; i < n; ++i)
    for (uint32_t j = 0; j < k; ++j) t->set<int8_t>({i, j, 0, 0}, static_cast<int8_t>(w[i][j]));
  return t;
}

inline std::shared_ptr<std::vector<hw::Component>> components(hw::Type type, hw::Ident ident,
                                                              std::optional<hw::SplitRecord> split = {}) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  c.split = split;
  return std::make_shared<std::vector<hw::Component>>(1, c);
}

// Places `layer` alone on one NP of `type` at `ident`, fed by a CNP in column 1 and sending to a
// DMA event endpoint, as the mapping engine links a last layer.
inline std::shared_ptr<LayerMapping> place(Layer& layer, hw::Type type, hw::Ident ident, bool single_buffer = false) {
  auto m = std::make_shared<LayerMapping>();
  m->id = 3;
  m->p2p_out = false;
  hw::SplitRecord split;
  split.single_buffer = single_buffer;
  m->nps = components(type, ident, split);
  m->prev_components = {components(hw::Type::CNP1, {1, 2, 0, 0})};
  m->next_components = {components(hw::Type::DMA_EVENT, {1, 1, 0, 0})};
  dynamic_cast<LayerImpl&>(layer).layer_mapping = m;
  return m;
}

}  // namespace nuvra::test
