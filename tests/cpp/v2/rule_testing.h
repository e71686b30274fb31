// Shared test tools: expected statuses, parameter overrides, thrown messages, small tensors and
// variables set to chosen values.
#pragma once

#include "support/model_builders.h"

#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace nuvra::test {

// An empty `message` expects exactly {0, "Success"}; otherwise {1, message}.
inline void expect_status(const MappingStatus& status, const std::string& message) {
  EXPECT_EQ(status.code, message.empty() ? 0u : 1u) << status.message;
  EXPECT_EQ(status.message, message.empty() ? "Success" : message);
}

// The checker's prefix before `message`; "" stays "" (accepted).
inline std::string on(const std::string& name, const std::string& message) {
  return message.empty() ? "" : "Error when mapping layer '" + name + "': " + message;
}

inline Params with(Params p, const Params& more) {
  for (const auto& [k, v] : more) p[k] = v;
  return p;
}

// The text of what `f` throws; "" when it throws nothing.
template <class F>
std::string message_of(F&& f) {
  try { f(); } catch (const std::exception& e) { return e.what(); }
  return "";
}

// A tensor of the values in element order; one-dimensional unless `shape` is given.
template <class T>
std::shared_ptr<Dense> tensor_of(const std::vector<int>& values, Shape shape = {}) {
  auto t = Dense::create(std::is_signed_v<T> ? TensorType::int8 : TensorType::uint8,
                         shape.size() ? shape : Shape{static_cast<uint32_t>(values.size())});
  for (size_t i = 0; i < values.size(); ++i) t->template set<T>(i, static_cast<T>(values[i]));
  return t;
}
inline std::shared_ptr<Dense> u8(const std::vector<int>& v, Shape shape = {}) { return tensor_of<uint8_t>(v, shape); }
inline std::shared_ptr<Dense> i8(const std::vector<int>& v, Shape shape = {}) { return tensor_of<int8_t>(v, shape); }

// Replaces the variable by a tensor of its declared type and shape whose first elements are
// `values` (in storage order) and whose other elements are `rest`.
inline void set_variable(Layer& layer, const std::string& name, const std::vector<int>& values, int rest = 0) {
  const auto current = layer.variables()->get(name);
  auto tensor = Dense::create(current->type(), current->shape(), current->layout());
  for (size_t i = 0; i < tensor->size(); ++i) {
    const int v = i < values.size() ? values[i] : rest;
    type_accepts<int8_t>(tensor->type()) ? tensor->set<int8_t>(i, static_cast<int8_t>(v))
                                         : tensor->set<uint8_t>(i, static_cast<uint8_t>(v));
  }
  layer.variables()->set(name, tensor);
}

}  // namespace nuvra::test
