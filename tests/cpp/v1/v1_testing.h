// Small tensors for the first-generation packer tests.
#pragma once

#include <nuvra/tensor.h>

#include <memory>
#include <vector>

namespace nuvra::test {

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

}  // namespace nuvra::test
