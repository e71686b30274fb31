// Shared tools of the layer-rule tests: the expected status of a rule, and variables set to
// chosen values.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nuvra::test {

// An empty `message` expects exactly {0, "Success"}; otherwise {1, message}.
inline void expect_status(const MappingStatus& status, const std::string& message) {
  if (message.empty()) {
    EXPECT_EQ(status.code, 0u) << status.message;
    EXPECT_EQ(status.message, "Success");
  } else {
    EXPECT_EQ(status.code, 1u);
    EXPECT_EQ(status.message, message);
  }
}

// Replaces the variable by a tensor of its declared type and shape whose first elements are
// `values` (in storage order) and whose other elements are `rest`.
inline void set_variable(Layer& layer, const std::string& name, const std::vector<int>& values, int rest = 0) {
  Variables& vars = *layer.variables();
  const auto current = vars.get(name);
  auto tensor = Dense::create(current->type(), current->shape(), current->layout());
  for (size_t i = 0; i < tensor->size(); ++i) {
    const int v = i < values.size() ? values[i] : rest;
    if (type_accepts<int8_t>(tensor->type()))
      tensor->set<int8_t>(i, static_cast<int8_t>(v));
    else if (type_accepts<uint8_t>(tensor->type()))
      tensor->set<uint8_t>(i, static_cast<uint8_t>(v));
    else
      tensor->set<int32_t>(i, v);
  }
  vars.set(name, tensor);
}

}  // namespace nuvra::test
