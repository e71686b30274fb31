// Test-only tools of the HRC tests: an inverse of the weight images written from the documented
// unit layout (closed-form positions, not the packer's stepper), tensor makers and built input
// layers with chosen variable values.
#pragma once

#include "support/model_builders.h"

#include <nuvra/layer.h>
#include <nuvra/tensor.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nuvra::test::hrc {

// Weights by logical position: index ((a * k + b) * channels + c) * filters + f, with a the first
// kernel dimension (row) and b the second.
struct HrcWeights {
  uint32_t k = 0, channels = 0, filters = 0;
  std::vector<int8_t> values;
  int8_t at(uint32_t a, uint32_t b, uint32_t c, uint32_t f) const {
    return values[((size_t{a} * k + b) * channels + c) * filters + f];
  }
};

// Values in -128..127 from a fixed seed; zero included.
HrcWeights random_hrc_weights(uint32_t k, uint32_t channels, uint32_t filters, uint32_t seed);
// (k, k, C, F) in layout 0, or (F, C, k, k) in layout 1, element by element.
std::shared_ptr<Dense> hrc_weight_tensor(const HrcWeights& w, Layout layout);

struct DecodedHrcWeights {
  std::vector<int8_t> values;  // same indexing as HrcWeights
  uint64_t stray_bits = 0;     // bits set that no weight owns
  std::optional<std::string> error;
};

// Reads every weight from the three images at the position the layout gives it.
DecodedHrcWeights decode_hrc_weights(const std::array<std::vector<uint32_t>, 3>& images, uint32_t k,
                                     uint32_t channels, uint32_t filters);

// A one-dimensional (or given-shape) tensor with the values in element order.
std::shared_ptr<Dense> u8_tensor(const std::vector<int>& values, Shape shape = {});
std::shared_ptr<Dense> i8_tensor(const std::vector<int>& values, Shape shape = {});
std::shared_ptr<Dense> filled(TensorType type, const Shape& shape, int value);

// Runs `f` and returns the text of what it threw, or "(no error)".
template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// A built InputConv2D named "hrc" (first layer of its model) with non-zero weights and in-range
// activation variables; `params` adds to or overrides the input shape and the required keys.
struct HrcLayer {
  std::unique_ptr<Model> model;
  std::shared_ptr<Layer> layer;
};
HrcLayer input_conv2d_layer(uint32_t x, uint32_t y, uint32_t channels, const Params& params);
// A built Stem named "stem", 16 x 16 kernel, 192 filters unless overridden.
HrcLayer stem_layer(uint32_t size, uint32_t channels, const Params& params);

// Fills the layer's per-filter activation variables with in-range values that differ by filter.
void fill_activation_variables(Layer& layer);

}  // namespace nuvra::test::hrc
