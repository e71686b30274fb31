// Shared tools of the first-generation tests: small tensors and thrown messages.
#pragma once

#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
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

// FullyConnected weights (N, K, 1, 1), neurons fastest, from w[n][k].
inline std::shared_ptr<Dense> fc_weights(const std::vector<std::vector<int>>& w, TensorType type = TensorType::int8) {
  const uint32_t n = static_cast<uint32_t>(w.size()), k = static_cast<uint32_t>(w.at(0).size());
  auto t = Dense::create(type, {n, k, 1, 1}, Layout::Reversed);
  for (uint32_t i = 0; i < n; ++i)
    for (uint32_t j = 0; j < k; ++j) t->set<int8_t>({i, j, 0, 0}, static_cast<int8_t>(w[i][j]));
  return t;
}

}  // namespace nuvra::test
