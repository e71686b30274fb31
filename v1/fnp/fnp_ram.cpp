#include "v1/fnp/fnp_ram.h"

#include "v1/byte_lanes.h"
#include "v1/errors.h"
#include "v1/fnp/fnp_sizes.h"
#include "v1/threshold_fields.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <string>

namespace nuvra::v1 {

namespace {

constexpr int32_t kMinThreshold = threshold_low(kNpThresholdBits);
constexpr int32_t kMaxThreshold = threshold_high(kNpThresholdBits);
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
    if (v < kMinThreshold || v > kMaxThreshold)
      panic("%d cannot fit in a %d bits signed integer", v, kNpThresholdBits);
    const int32_t a = h.steps[n];
    if (static_cast<uint32_t>(a) > kMaxActStepT16)
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
  // Word 2 keeps only the low 16 bits of num_weights once the learning threshold's bits 16-19
  // replace its own, as word 3 keeps those of thswap: both wraps are the image's own.
  Learning l{per_neuron(fields->threshold_learning, neurons), per_neuron(fields->thswap, neurons),
             fields->num_classes > 1 ? neurons / fields->num_classes : 0, fields->num_weights & 0xFFFF};
  for (uint32_t n = 0; n < neurons; ++n) {
    const int32_t t = l.threshold[n];
    if (t < 0) throw FnpError("Negative value for threshold_learning not supported");
    if (t > kMaxLearningThreshold) panic("%d cannot fit in a %d bits signed integer", t, kNpThresholdBits);
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

struct WeightSource {
  const int8_t* data;
  size_t s0, s1;  // element strides of neurons and inputs
  uint32_t neurons, inputs, groups, words;
};

// Bit planes of P magnitude bits, 16 neurons at a time from the rows of a group's 32 inputs (bit
// i of a neuron's word is input i of its group); with `two_blocks` negative weights go to the
// second block, without it (1-bit weights) only 0 and 1 fit. Weights out of range are refused
// once the image is written, the first of them in neuron order.
template <uint32_t P, bool two_blocks>
void pack_weights(const WeightSource& ws, uint32_t* out, int bits) {
  using Signed16 = int8_t __attribute__((vector_size(16)));
  const uint32_t G = ws.groups;
  const size_t last = ws.inputs - size_t{G - 1} * 32;
  LaneRows full(32, ws.neurons, ws.s0), part(last, ws.neurons, ws.s0);
  Bytes16 worst = {};
  for (uint32_t g = 0; g < G; ++g) {
    const size_t count = g + 1 < G ? 32 : last;
    LaneRows& rows = count == 32 ? full : part;
    rows.point([&](size_t p) { return ws.data + (size_t{g} * 32 + p) * ws.s1; });
    for (size_t n0 = 0; n0 < ws.neurons; n0 += kLanes) {
      // Plane t of bit j holds inputs 8t .. 8t+7.
      Bytes16 up[P][4], down[P][4];
      for (unsigned t = 0; t < 4; ++t) {
        Bytes16 plus[P] = {}, minus[P] = {};
        for (unsigned i = 0; i < 8 && 8 * t + i < count; ++i) {
          const Bytes16 v = rows.load(8 * t + i, n0);
          if constexpr (two_blocks) {
            const Bytes16 magnitude = min_bytes(v, -v);
            worst = max_bytes(worst, magnitude);
            const Bytes16 negative = as_bytes(reinterpret_cast<Signed16>(v) < 0);
            const Bytes16 above = magnitude & ~negative, below = magnitude & negative;
            for (uint32_t j = 0; j < P; ++j) {
              plus[j] |= shift_up((above >> j) & 1, i);
              minus[j] |= shift_up((below >> j) & 1, i);
            }
          } else {
            worst = max_bytes(worst, v);
            plus[0] |= shift_up(v & 1, i);
          }
        }
        for (uint32_t j = 0; j < P; ++j) {
          up[j][t] = plus[j];
          down[j][t] = minus[j];
        }
      }
      const size_t n = std::min<size_t>(kLanes, ws.neurons - n0);
      uint32_t* const first = out + n0 * ws.words + 4 + g * P;
      const auto put = [&](const Bytes16* planes, uint32_t* at) {
        Bytes16 lanes[4];
        transpose<4>(planes, lanes);
        uint8_t bytes[sizeof lanes];
        std::memcpy(bytes, lanes, sizeof lanes);
        for (size_t i = 0; i < n; ++i) at[i * ws.words] = load_le<uint32_t>(bytes + 4 * i);
      };
      for (uint32_t j = 0; j < P; ++j) {
        put(up[j], first + j);
        if (two_blocks) put(down[j], first + G * P + j);
      }
    }
  }
  if (any(worst > static_cast<uint8_t>(two_blocks ? (1 << P) - 1 : 1)))
    for (uint32_t n = 0; n < ws.neurons; ++n)
      for (uint32_t k = 0; k < ws.inputs; ++k) {
        const int8_t v = ws.data[size_t{n} * ws.s0 + size_t{k} * ws.s1];
        if (!weight_fits(bits, v)) weight_out_of_range(bits, v);
      }
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
  if (num_classes > 1 && largest_neuron_class(units, num_classes) > kMaxNeuronClass)
    throw FnpError(neuron_class_refusal(largest_neuron_class(units, num_classes)));
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
      if (learn.per_class) h1 |= (n / learn.per_class + 1) << 20;
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
