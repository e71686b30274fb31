#include "v1/layer_rules.h"

#include "backend/mapping_status.h"
#include "v1/fnp/fnp_ram.h"
#include "v1/layer_access.h"
#include "v1/np_registers.h"
#include "v1/threshold_fields.h"

#include <nuvra/functions.h>
#include <nuvra/host_hooks.h>
#include <nuvra/layers.h>
#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

namespace nuvra::v1 {

namespace {

constexpr uint32_t kMaxInputSide = 4096;
constexpr uint32_t kMaxInputChannels = 2048;
constexpr uint64_t kFnpMaxInputs = 81920;
constexpr uint64_t kFnpMaxInputsQrixV2 = 57334;
// What the FNP's fields hold: the input width and height in 11 bits (word 10, and word 34 when the
// layer takes over an NP), the units in 17 bits (word 15).
constexpr uint32_t kFnpMaxSide = 0x7FF;
constexpr int64_t kFnpMaxUnits = 0x1FFFF;

MappingStatus check_limit(const char* what, uint32_t limit, uint32_t value) {
  if (value <= limit) return MappingSuccess();
  return MappingFailure(what + std::to_string(limit) + " (got " + std::to_string(value) + ")");
}

bool one_of(int value, std::initializer_list<int> allowed) {
  return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

// The learning parameter as the integer it counts; NaN and values beyond 64 bits do not occur
// for a compiled model and read as 0 or the nearest bound, so the conversion stays defined.
int64_t truncated(double v) {
  if (std::isnan(v)) return 0;
  return static_cast<int64_t>(std::clamp(v, -9.2e18, 9.2e18));
}

MappingStatus check_weight_range(const Dense& weights, int bits) {
  const int r = bits == 1 ? 2 : 1 << (bits - 1);
  const std::span<const int8_t> values = signed_values(weights);
  // The extremes first, in one pass without branches; the first value out of range is looked for
  // only when there is one.
  int lo = 0, hi = 0;
  for (const int8_t w : values) {
    lo = std::min<int>(lo, w);
    hi = std::max<int>(hi, w);
  }
  if (lo > -r && hi < r) return MappingSuccess();
  for (const int8_t w : values)
    if (w <= -r || w >= r)
      return MappingFailure("weights contain values out of range (" + std::to_string(1 - r) + ", " +
                            std::to_string(r - 1) + ") (e.g.: " + std::to_string(w) + ")");
  return MappingSuccess();
}

// Neuron k's weights: d1 * d2 * d3 values from element k * s0, s1 elements apart.
MappingStatus check_weights_per_neuron(const Dense& weights, int64_t expected) {
  const std::span<const int8_t> values = signed_values(weights);
  const Shape shape = weights.shape();
  const auto& strides = weights.strides();
  const uint64_t neurons = shape[0];
  const uint64_t per_neuron = uint64_t{shape[1]} * shape[2] * shape[3];
  if (neurons == 0 || per_neuron == 0) return MappingSuccess();
  const uint64_t s0 = strides.size() > 0 ? strides[0] : 0, s1 = strides.size() > 1 ? strides[1] : 0;
  // Every read is proven inside the tensor once, before the walk.
  const unsigned __int128 last =
      static_cast<unsigned __int128>(neurons - 1) * s0 + static_cast<unsigned __int128>(per_neuron - 1) * s1;
  if (last >= values.size()) panic("Coordinates are out-of-range");
  // Counted in memory order: neurons next to each other (the learning layout) are counted
  // together, a weight of every neuron at a time.
  std::vector<int64_t> counts(neurons, 0);
  if (s0 < s1) {
    for (uint64_t j = 0; j < per_neuron; ++j) {
      const int8_t* const row = values.data() + j * s1;
      for (uint64_t k = 0; k < neurons; ++k) counts[k] += row[k * s0] != 0;
    }
  } else {
    for (uint64_t k = 0; k < neurons; ++k)
      for (uint64_t j = 0; j < per_neuron; ++j) counts[k] += values[k * s0 + j * s1] != 0;
  }
  for (const int64_t count : counts)
    if (count != expected)
      return MappingFailure(
          "The number of weights per neuron should match the num_weights NuvraUnsupervised parameter.");
  return MappingSuccess();
}

MappingStatus check_range(const std::string& what, int64_t low, int64_t high, int64_t value) {
  if (value >= low && value <= high) return MappingSuccess();
  return MappingFailure(what + " should be between " + std::to_string(low) + " and " + std::to_string(high) +
                        " (got " + std::to_string(value) + ")");
}

// The shortest text that reads back as `v` ("65535.97", "-1", "inf").
std::string float_text(float v) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, v).ptr;
  return std::string(text, end);
}

// What the learning image holds of every neuron's "threshold_learning", in neuron order.
MappingStatus check_learning_thresholds(const Layer& layer) {
  const auto values = layer.variables()->get("threshold_learning");
  const int32_t* t = values->data<int32_t>();
  for (size_t i = 0; i < values->size(); ++i)
    if (t[i] < 0 || t[i] > kMaxLearningThreshold)
      return check_range("threshold_learning", 0, kMaxLearningThreshold, t[i]);
  return MappingSuccess();
}

// The recorded fields of the input and the units, after the Part's rules.
MappingStatus check_fnp_fields(const Shape& dims, int64_t units) {
  MappingStatus status = check_limit("The maximum input width of a FullyConnected layer is ", kFnpMaxSide, dims[0]);
  if (status.ok()) status = check_limit("The maximum input height of a FullyConnected layer is ", kFnpMaxSide, dims[1]);
  if (status.ok() && units > kFnpMaxUnits)
    status = MappingFailure("The maximum number of units is " + std::to_string(kFnpMaxUnits) + " (got " +
                            std::to_string(units) + ")");
  return status;
}

// The learning fields the recorder writes: the class of every neuron (units / num_classes neurons
// a class, numbered from 1; neurons past the last whole group take the next numbers) and the
// counts of words 36 to 38, which need every learning parameter they are counted from.
MappingStatus check_learning_fields(int64_t units, const LearningParams& learning) {
  const int64_t classes = learning.has("num_classes") ? truncated(learning.get("num_classes")) : 0;
  if (classes > 1 && classes <= units) {
    const int64_t largest = largest_neuron_class(units, classes);
    if (largest > kMaxNeuronClass) return MappingFailure(neuron_class_refusal(largest));
  }
  // The counts are recorded from all of these; a model file may hold a learning set without some.
  for (const char* key : {"num_weights", "initial_plasticity", "learning_competition", "min_plasticity",
                          "plasticity_decay"})
    if (!learning.has(key)) return MappingFailure(std::string("The learning parameters should hold ") + key);
  const LearningCounts counts = learning_counts(learning);
  MappingStatus status = check_range("The learning competition count round((1 - learning_competition) x num_weights)",
                                     0, kMaxCompetitionCount, counts.competition);
  if (status.ok())
    status = check_range("The minimum plasticity count ceil(min_plasticity x num_weights)", 0, kMaxPlasticityCount,
                         counts.min_plasticity);
  if (status.ok())
    status = check_range("The plasticity count round(num_weights x initial_plasticity)", 0,
                         kMaxInitialPlasticityCount, counts.plasticity);
  if (status.ok())
    status = check_range(
        "The plasticity decay count ceil(round(num_weights x initial_plasticity) x plasticity_decay)", 0,
        kMaxPlasticityCount, counts.plasticity_decay);
  return status;
}

}  // namespace

std::span<const int8_t> signed_values(const Dense& tensor) { return {tensor.data<int8_t>(), tensor.size()}; }

bool all_zero(const Dense& tensor) {
  const std::span<const int8_t> values = signed_values(tensor);
  return !values.empty() && std::all_of(values.begin(), values.end(), [](int8_t v) { return v == 0; });
}

MappingStatus check_input_dimensions(const Shape& dims) {
  MappingStatus status = check_limit("The maximum input width is ", kMaxInputSide, dims[0]);
  if (status.ok()) status = check_limit("The maximum input height is ", kMaxInputSide, dims[1]);
  if (status.ok()) status = check_limit("The maximum input channel value is ", kMaxInputChannels, dims[2]);
  return status;
}

MappingStatus check_fully_connected_constraints(const Layer& layer, HwVersion version) {
  (void)dynamic_cast<const FullyConnected&>(layer);
  const uint8_t bits = layer.input_bits();
  const Shape dims = first_input_shape(layer);
  if (!one_of(bits, {1, 2, 4})) return MappingFailure("Input bitwidth should be 1, 2 or 4.");
  // Counted in 64 bits: a product past 32 bits must not wrap into an acceptable size.
  const uint64_t limit = version == versions::Qrix_v2 ? kFnpMaxInputsQrixV2 : kFnpMaxInputs;
  if (dims.elements() > limit)
    return MappingFailure("Input dimensions are too large to fit in a FNP.  The maximum value is " +
                          std::to_string(limit));
  if (dims[0] != 1 || dims[1] != 1) {
    MappingStatus status = check_input_dimensions(dims);
    if (!status.ok()) return status;
  }
  const LayerParams& params = *layer.params();
  const int weight_bits = params.get("weights_bits");
  if (weight_bits < 1 || weight_bits > 4) return MappingFailure("Weight bits should be between 1 and 4 inclusive.");
  if (params.get("activation") != 0 && !one_of(params.get("act_bits"), {1, 2, 4}))
    return MappingFailure("act_bits should be 1, 2 or 4.");
  const auto weights = layer.variables()->get("weights");
  MappingStatus status = check_weight_range(*weights, weight_bits);
  const auto learning = layer.can_learn() ? layer.learning() : nullptr;
  if (status.ok() && learning) status = check_weights_per_neuron(*weights, truncated(learning->get("num_weights")));
  const int64_t units = params.get("units");
  if (status.ok()) status = check_fnp_fields(dims, units);
  if (status.ok() && learning) status = check_learning_fields(units, *learning);
  // The image records thresholds and act steps only with an activation.
  const bool activation = params.get("activation") != 0;
  if (status.ok()) status = check_threshold_fields(layer, kNpThresholdBits, activation, activation);
  if (status.ok() && learning) status = check_learning_thresholds(layer);
  return status;
}

bool holds_nan(const Dense& values) {
  const float* v = values.data<float>();
  return std::any_of(v, v + values.size(), [](float x) { return std::isnan(x); });
}

MappingStatus check_threshold_fields(const Layer& layer, int threshold_bits, bool with_threshold, bool with_steps) {
  const Variables& vars = *layer.variables();
  const auto threshold = vars.get("threshold");
  const int32_t* t = threshold->data<int32_t>();
  const size_t thresholds = with_threshold ? threshold->size() : 0;
  const int32_t low = threshold_low(threshold_bits), high = threshold_high(threshold_bits);
  const std::string step_range = "act_step should be between 0 and " + std::to_string(kMaxActStep) + " (got ";
  // Every recorder converts every act step to sixteenths, which NaN has none of.
  const auto act_step = vars.get("act_step");
  if (holds_nan(*act_step)) return MappingFailure(step_range + "nan)");
  const std::shared_ptr<const Dense> t16 = with_steps ? get_threshold_t16_from_act_steps(*act_step) : nullptr;
  const size_t steps = t16 ? t16->size() : 0;
  // Filter by filter, the threshold first, as the recorders meet them.
  for (size_t i = 0; i < std::max(thresholds, steps); ++i) {
    if (i < thresholds && (t[i] < low || t[i] > high)) return check_range("threshold", low, high, t[i]);
    if (i < steps && static_cast<uint32_t>(t16->data<int32_t>()[i]) > kMaxActStepT16)
      return MappingFailure(step_range + float_text(act_step->data<float>()[i]) + ")");
  }
  return MappingSuccess();
}

}  // namespace nuvra::v1
