// Generated layer configurations for the reference checks: each row a small engine model with a
// batch of inputs, drawn from its index alone. The rows sweep what the software steps branch on:
// channel counts around the vector widths, sizes below and above a tile, kernels 1 to 7,
// strides, padding, input and output widths, activations, scales and shifts of both signs,
// pooling, batches of one (work split inside a layer) and of many (samples over threads), and
// small graphs with merges.
#pragma once

#include <nuvra/model.h>
#include <nuvra/tensor.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {

enum class RowKind { second_generation, input_conv, stem, merge, temporal, first_generation, hrc };
inline constexpr RowKind kRowKinds[] = {RowKind::second_generation, RowKind::input_conv, RowKind::stem,
                                        RowKind::merge, RowKind::temporal, RowKind::first_generation,
                                        RowKind::hrc};

struct ReferenceRow {
  std::string what;  // the layers and their keys, for failure messages
  std::unique_ptr<Model> model;
  std::shared_ptr<Dense> inputs;  // (n, x, y, c) of the model input's type
};

// Row `index` of `kind`: the same model and inputs on every run.
ReferenceRow reference_row(RowKind kind, uint64_t index);

// A first-generation learning row: compiled, its FullyConnected weights holding exactly
// num_weights ones per neuron; `labels` fit to the inputs, with some outside the classes.
struct LearningRow {
  std::string what;
  std::unique_ptr<Model> model;
  std::shared_ptr<Dense> inputs;
  std::vector<int32_t> labels;
};
// Every neuron starts with num_weights connections; `off_count`: with 0 to twice as many.
LearningRow learning_row(uint64_t index, bool off_count = false);

// The rows each check takes: NUVRA_REFERENCE_ROWS when set, else `otherwise`.
size_t reference_rows(size_t otherwise);

}  // namespace nuvra::test
