// Generated rows of kernel and layer configurations, each run by the engine and by the plain
// reference. The draws sweep what the kernels branch on: channels around every vector width,
// sizes around a tile, windows, strides and padding, value widths, the neuron tail, pooling,
// batches and the splits over threads, and arguments the kernels must refuse.
#pragma once

#include "reference_ops.h"
#include "support/draw.h"

#include <nuvra/tensor.h>

#include <functional>
#include <string>
#include <vector>

namespace nuvra::test {

using reference::Values;

// What a row gives: its values, or the text of its refusal.
struct Outcome {
  std::vector<Values> values;
  std::string error;
};
// The values of f, or the text of the std::invalid_argument it throws.
Outcome outcome(const std::function<std::vector<Values>()>& f);

struct ReferenceCase {
  std::string label;  // the configuration, to find a failing row again
  std::function<Outcome()> engine, reference;
};

using Run = std::function<std::vector<Values>()>;
ReferenceCase make_case(std::string label, Run engine, Run reference);
// A run of one result.
Run one(std::function<Values()> f);
std::string dims_text(const std::vector<uint32_t>& dims);

// `count` rows drawn from `seed` (and the fixed edge rows): the kernels of nuvra::ops, then
// second-generation layers run by a model. Every kind of row comes once in each run of kinds.
std::vector<ReferenceCase> kernel_cases(uint64_t seed, size_t count);
// Fixed rows of every kernel that rounds a wide sum, at the edges of its shifts (kernel_cases
// ends with them).
std::vector<ReferenceCase> rounding_rows();
std::vector<ReferenceCase> layer_cases(uint64_t seed, size_t count);

// Values and engine tensors of an integer type (float32 as bit patterns).
std::shared_ptr<Dense> dense(const Values& v, TensorType type);
Values values(const Dense& t);

// Draws for the rows: values at the ends of their ranges a third of the time.
class Drawer {
 public:
  explicit Drawer(uint64_t seed) : d_(seed) {}
  int64_t uniform(int64_t lo, int64_t hi) { return d_.range(lo, hi); }
  int64_t value(int64_t lo, int64_t hi);
  bool one_in(int n) { return d_.below(n) == 0; }
  template <class T>
  T one_of(std::initializer_list<T> values) {
    return d_.one_of(values);
  }
  // Channel counts around the vector widths (8 and 16 lanes, 16-channel runs, 32-filter spans).
  uint32_t channels();
  // Sizes below and above a tile of rows; now and then long enough for several batches.
  uint32_t size();
  // The range of `bits` bits, signed or not.
  static std::pair<int64_t, int64_t> range_of(int bits, bool is_signed);
  // An input value range: 1 to 16 bits signed or unsigned, sometimes up to 31 bits.
  std::pair<int64_t, int64_t> input_range(std::string* label);
  // int8 weights over their whole range, or within a small magnitude.
  std::pair<int64_t, int64_t> weight_range();
  Values tensor(std::vector<uint32_t> dims, int64_t lo, int64_t hi);

 private:
  Draw d_;
};

// A row of one of the token and state kernels.
ReferenceCase sequence_row(Drawer& d);

}  // namespace nuvra::test
