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

// Neurons packed together: for each input the tile's weights are read side by side, which is
// contiguous for the usual neuron-fastest layout, and every plane word is stored once.
constexpr uint32_t kTile = 64;

struct WeightSource {
  const int8_t* data;
  size_t s0, s1;  // element strides of neurons and inputs
  uint32_t neurons, inputs, groups, words;
};

// Bit planes of P magnitude bits; with `two_blocks` negative weights go to the second block,
// without it (1-bit weights) only 0 and 1 fit. `unit` is ws.s0 == 1, the usual layout, for which
// the tile's loop reads contiguous bytes and vectorises.
template <uint32_t P, bool two_blocks, bool unit>
void pack_weights(const WeightSource& ws, uint32_t* out, int bits) {
  const uint32_t G = ws.groups;
  const size_t s0 = unit ? 1 : ws.s0;
  const int limit = two_blocks ? 1 << P : 2;
  for (uint32_t n0 = 0; n0 < ws.neurons; n0 += kTile) {
    const uint32_t tile = ws.neurons - n0 < kTile ? ws.neurons - n0 : kTile;
    uint32_t bad = 0;
    for (uint32_t g = 0; g < G; ++g) {
      uint32_t positive[P][kTile] = {}, negative[P][kTile] = {};
      const uint32_t first = g * 32;
      const uint32_t count = ws.inputs - first < 32 ? ws.inputs - first : 32;
      for (uint32_t i = 0; i < count; ++i) {
        const int8_t* const column = ws.data + size_t{first + i} * ws.s1 + size_t{n0} * s0;
        for (uint32_t t = 0; t < tile; ++t) {
          const int v = column[t * s0];
          // A negative 1-bit weight reads as a huge magnitude and is refused.
          const uint32_t up = static_cast<uint32_t>(two_blocks ? (v > 0 ? v : 0) : v);
          const uint32_t down = static_cast<uint32_t>(two_blocks && v < 0 ? -v : 0);
          bad |= static_cast<uint32_t>((up | down) >= static_cast<uint32_t>(limit));
          for (uint32_t j = 0; j < P; ++j) {
            positive[j][t] |= ((up >> j) & 1u) << i;
            if (two_blocks) negative[j][t] |= ((down >> j) & 1u) << i;
          }
        }
      }
      for (uint32_t t = 0; t < tile; ++t) {
        uint32_t* const w = out + size_t{n0 + t} * ws.words + 4 + g * P;
        for (uint32_t j = 0; j < P; ++j) w[j] = positive[j][t];
        if (two_blocks)
          for (uint32_t j = 0; j < P; ++j) w[G * P + j] = negative[j][t];
      }
    }
    if (bad)  // the first weight out of range, in neuron order
      for (uint32_t n = n0; n < n0 + tile; ++n)
        for (uint32_t k = 0; k < ws.inputs; ++k) {
          const int8_t v = ws.data[size_t{n} * ws.s0 + size_t{k} * ws.s1];
          if (!weight_fits(bits, v)) weight_out_of_range(bits, v);
        }
  }
}

template <uint32_t P, bool two_blocks>
void pack_weights(const WeightSource& ws, uint32_t* out, int bits) {
  if (ws.s0 == 1)
    pack_weights<P, two_blocks, true>(ws, out, bits);
  else
    pack_weights<P, two_blocks, false>(ws, out, bits);
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

  for (uint32_t n = 0; n < neurons; ++n) {
    uint32_t* const w = out.data() + size_t{n} * layout.words;
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
  }
  const WeightSource ws{src, s0, s1, neurons, inputs, layout.groups, layout.words};
  switch (bits) {
    case 1: pack_weights<1, false>(ws, out.data(), bits); break;
    case 2: pack_weights<1, true>(ws, out.data(), bits); break;
    case 3: pack_weights<2, true>(ws, out.data(), bits); break;
    default: pack_weights<3, true>(ws, out.data(), bits); break;
  }
}

}  // namespace nuvra::v1
