// Second-generation layer variables set to values the checker accepts (fresh all-zero weights
// are refused), varied by `seed`.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <cstdint>

namespace nuvra {

inline void fill_v2_variables(Layer& layer, uint32_t seed) {
  Variables* vars = layer.variables();
  const auto put = [&](const char* name, int lo, int hi) {
    if (!vars->has(name)) return;
    const auto old = vars->get(name);
    auto t = Dense::create(old->type(), old->shape(), old->layout());
    for (size_t i = 0; i < t->size(); ++i) {
      const int v = lo + static_cast<int>((i * 7 + seed) % static_cast<size_t>(hi - lo + 1));
      if (t->type() == TensorType::int8)
        t->data<int8_t>()[i] = static_cast<int8_t>(v);
      else
        t->data<uint8_t>()[i] = static_cast<uint8_t>(v);
    }
    vars->set(name, t);
  };
  put("weights", -7, 7);
  put("input_shift", 0, 3);
  put("output_scales", 1, 200);
  put("bias", -20, 20);
  put("bias_shift", 0, 7);
  put("max_value", 1, 255);
  put("max_value_shift", 0, 7);
  put("output_shift", -3, 1);
}

}  // namespace nuvra
