#include "v1/fnp/fnp_ram.h"

#include "v1/errors.h"
#include "v1/fnp/fnp_sizes.h"

#include <nuvra/host_hooks.h>

#include <string>

namespace nuvra::v1 {

namespace {

constexpr int32_t kMinThreshold = -(1 << 19);
constexpr int32_t kMaxThreshold = (1 << 19) - 1;
constexpr uint32_t kMaxStep = 0xFFFFF;
constexpr int32_t kMaxLearningThreshold = (1 << 19) - 1;
constexpr uint32_t kNoActivationThreshold = 0x80000;
constexpr uint32_t kMaxPlanes = 3;

// The first n values of a one-per-neuron int32 tensor, read without strides.
const int32_t* per_neuron(const Dense& t, uint32_t n) {
  const int32_t* p = t.data<int32_t>();
  if (t.size() < n) panic("Coordinates are out-of-range");
  return p;
}

// Neuron header words 0 and 1, checked for every neuron before anything is written.
struct Headers {
  const int32_t* thresholds = nullptr;
  const int32_t* steps = nullptr;
};

Headers checked_headers(const Dense& thresholds, const Dense& steps, uint32_t neurons, bool activation) {
  if (!activation) return {};
  Headers h{per_neuron(thresholds, neurons), per_neuron(steps, neurons)};
  for (uint32_t n = 0; n < neurons; ++n) {
    const int32_t v = h.thresholds[n];
    if (v < kMinThreshold || v > kMaxThreshold) panic("%d cannot fit in a %d bits signed integer", v, 20);
    const uint32_t a = static_cast<uint32_t>(h.steps[n]);
    if (a > kMaxStep)
      throw FnpError("act_step should be between 0 and 65535. Receives act_step " + std::to_string(a / 16));
  }
  return h;
}

struct Learning {
  const int32_t* threshold = nullptr;
  const int32_t* thswap = nullptr;
  uint32_t per_class = 0;  // 0: no class field
  uint32_t num_weights = 0;
};

Learning checked_learning(const FnpLearningFields* fields, uint32_t neurons, int bits) {
  if (!fields) return {};
  check_learning_layer(bits, neurons, neurons, fields->num_classes);
  Learning l{per_neuron(fields->threshold_learning, neurons), per_neuron(fields->thswap, neurons),
             fields->num_classes > 1 ? neurons / fields->num_classes : 0, fields->num_weights & 0xFFFF};
  for (uint32_t n = 0; n < neurons; ++n) {
    const int32_t t = l.threshold[n];
    if (t < 0) throw FnpError("Negative value for threshold_learning not supported");
    if (t > kMaxLearningThreshold) panic("%d cannot fit in a %d bits signed integer", t, 20);
  }
  return l;
}

[[noreturn]] void weight_out_of_range(int bits, int8_t w) {
  const int high = bits == 1 ? 1 : (1 << (bits - 1)) - 1;
  const int low = bits == 1 ? 0 : -high;
  throw FnpError("weights contain values out of range (" + std::to_string(low) + ", " + std::to_string(high) +
                 ") (e.g.: " + std::to_string(w) + ")");
}

bool weight_fits(int bits, int8_t w) {
  if (bits == 1) return w == 0 || w == 1;
  const int limit = 1 << (bits - 1);
  return w > -limit && w < limit;
}

}  // namespace

void check_learning_layer(int bits, int64_t units, uint32_t neurons, int64_t num_classes) {
  if (bits != 1) throw FnpError("On-chip learning needs 1-bit weights (weights_bits is " + std::to_string(bits) + ")");
  if (units != neurons)
    throw FnpError("units (" + std::to_string(units) + ") should equal the " + std::to_string(neurons) +
                   " neurons of the weights");
  if (num_classes < 1) throw FnpError("num_classes should be at least 1");
  if (units < num_classes)
    throw FnpError("units (" + std::to_string(units) + ") should be at least num_classes (" +
                   std::to_string(num_classes) + ")");
}

void format_fnp_ram(std::span<uint32_t> out, const Dense& weights, const Dense& thresholds, const Dense& steps,
                    int bits, bool activation, const FnpLearningFields* learning) {
  const Shape shape = weights.shape();
  const int8_t* const src = weights.data<int8_t>();
  if (shape.size() < 2) panic("Coordinates are out-of-range");
  const uint32_t neurons = shape[0], inputs = shape[1];
  const FnpNeuronLayout layout = fnp_neuron_layout(inputs, bits);
  if (out.size() != fnp_sram_size(shape, bits))
    panic("An FNP image of %u words is written into %zu words", fnp_sram_size(shape, bits), out.size());
  const size_t s0 = weights.strides()[0], s1 = weights.strides()[1];
  using wide = unsigned __int128;
  if (wide{neurons - 1u} * s0 + wide{inputs - 1u} * s1 >= weights.size()) panic("Coordinates are out-of-range");
  const Headers headers = checked_headers(thresholds, steps, neurons, activation);
  const Learning learn = checked_learning(learning, neurons, bits);

  const uint32_t P = layout.planes, G = layout.groups, S = layout.words;
  const bool two_blocks = layout.blocks == 2;
  for (uint32_t n = 0; n < neurons; ++n) {
    uint32_t* const w = out.data() + size_t{n} * S;
    uint32_t h0 = kNoActivationThreshold, h1 = 0, h2 = 0, h3 = 0;
    if (activation) {
      h0 = static_cast<uint32_t>(headers.thresholds[n]) & 0xFFFFF;
      h1 = static_cast<uint32_t>(headers.steps[n]);
    }
    if (learning) {
      if (learn.per_class) h1 |= ((n / learn.per_class + 1) & 0x3FF) << 20;
      const uint32_t t = static_cast<uint32_t>(learn.threshold[n]);
      h2 = learn.num_weights | (t & 0xF0000);
      h3 = (static_cast<uint32_t>(learn.thswap[n]) & 0xFFFF) | (t & 0xFFFF) << 16;
    }
    w[0] = h0;
    w[1] = h1;
    w[2] = h2;
    w[3] = h3;

    const int8_t* const row = src + size_t{n} * s0;
    bool bad = false;
    for (uint32_t g = 0; g < G; ++g) {
      uint32_t planes[2][kMaxPlanes] = {};
      const uint32_t first = g * 32;
      const uint32_t count = inputs - first < 32 ? inputs - first : 32;
      for (uint32_t i = 0; i < count; ++i) {
        const int8_t v = row[size_t{first + i} * s1];
        const bool negative = v < 0;
        const uint32_t m = static_cast<uint32_t>(negative ? -int{v} : int{v});
        bad |= !weight_fits(bits, v);
        for (uint32_t j = 0; j < P; ++j) planes[negative][j] |= ((m >> j) & 1u) << i;
      }
      for (uint32_t j = 0; j < P; ++j) w[4 + g * P + j] = planes[0][j];
      if (two_blocks)
        for (uint32_t j = 0; j < P; ++j) w[4 + G * P + g * P + j] = planes[1][j];
    }
    if (bad)
      for (uint32_t k = 0; k < inputs; ++k)
        if (!weight_fits(bits, row[size_t{k} * s1])) weight_out_of_range(bits, row[size_t{k} * s1]);
  }
}

}  // namespace nuvra::v1
