#include "learning_rule.h"

#include "run/run.h"

#include <nuvra/interrupt.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace nuvra::detail {

namespace {

double finite_param(const LearningParams& learning, const char* key) {
  const double v = learning.get(key);
  if (!std::isfinite(v)) throw std::invalid_argument(std::string("Learning parameter ") + key + " must be finite");
  return v;
}

std::shared_ptr<Dense> working_copy(const Dense& t) {
  return Dense::copy(reinterpret_cast<const char*>(t.storage().data()), t.byte_size(), t.type(), t.shape(),
                     t.layout());
}

// Switches off `count` non-zero weights of a neuron on active inputs, highest input first: the
// neuron keeps the lowest ones, as a neuron grown on the same input would hold.
void drop_highest_active(int8_t* weights, size_t units, const int32_t* active, size_t fan_in, size_t count) {
  for (size_t k = fan_in; k-- > 0 && count > 0;) {
    int8_t& wk = weights[k * units];
    if (active[k] != 0 && wk != 0) {
      wk = 0;
      --count;
    }
  }
}

}  // namespace

std::vector<ConstDensePtr> fit_layer(Layer& layer, const LearningParams& learning, double* plasticity,
                                     const std::vector<ConstDensePtr>& inputs, const std::vector<int32_t>& labels) {
  Variables& vars = *layer.variables();
  const auto weights = working_copy(*vars.get("weights"));
  const auto thswap = working_copy(*vars.get("thswap"));
  const FullyConnectedStep step(layer, weights);

  // Neuron n's weight k is element n + k·N (dimension 0 fastest).
  const size_t units = weights->shape()[0], fan_in = weights->shape()[1];
  const auto classes = static_cast<size_t>(std::trunc(learning.get("num_classes")));
  const auto connections = std::trunc(learning.get("num_weights"));
  // compile holds num_weights to 1 … fan_in; the clamp keeps a count that is always in range.
  const auto target = static_cast<size_t>(std::clamp(connections, 1.0, static_cast<double>(fan_in)));
  const double floor = finite_param(learning, "min_plasticity");
  const double decay = finite_param(learning, "plasticity_decay");
  // Learnt into copies, installed together: on completion, or on an interrupt with what the
  // samples before it taught; any other failure leaves the layer and its plasticity untouched.
  double plastic = std::isnan(*plasticity) ? finite_param(learning, "initial_plasticity") : *plasticity;
  if (classes < 1 || classes > units) throw std::invalid_argument("num_classes must be between 1 and the units");
  const size_t group = units / classes;

  int8_t* w = weights->data<int8_t>();
  int32_t* wins = thswap->data<int32_t>();
  std::vector<size_t> on, off;
  const TensorType out_type = output_type(layer.output_bits(), layer.output_signed());
  std::vector<ConstDensePtr> outputs(inputs.size());
  const auto install = [&] {
    vars.set("weights", weights);
    vars.set("thswap", thswap);
    *plasticity = plastic;
  };
  for (size_t i = 0; i < inputs.size(); ++i) {
    try {
      check_interrupt();
    } catch (const Interrupted&) {
      install();
      throw;
    }
    const auto x = as_int32(inputs[i]);
    auto potentials = step.potentials(*x);
    const int64_t label = labels.empty() ? -1 : labels[i];
    const bool learnt = labels.empty() || (label >= 0 && static_cast<size_t>(label) < classes);
    if (learnt) {
      const int32_t* p = potentials->data<int32_t>();
      const size_t first = labels.empty() ? 0 : static_cast<size_t>(label) * group;
      const size_t end = labels.empty() ? units : first + group;
      const size_t winner = static_cast<size_t>(std::max_element(p + first, p + end) - p);

      const int32_t* active = x->data<int32_t>();
      on.clear();
      off.clear();
      size_t held = 0;
      for (size_t k = 0; k < fan_in; ++k) {
        const int8_t wk = w[winner + k * units];
        held += wk != 0;
        if (active[k] != 0 && wk == 0) on.push_back(k);
        if (active[k] == 0 && wk != 0) off.push_back(k);
      }
      // A neuron off the count (a new one holds none) is brought to it first.
      const size_t grown = held < target ? std::min(target - held, on.size()) : 0;
      for (size_t s = 0; s < grown; ++s) w[winner + on[s] * units] = 1;
      const size_t cut = held > target ? std::min(held - target, off.size()) : 0;
      for (size_t s = 0; s < cut; ++s) w[winner + off[s] * units] = 0;
      if (held > target + cut) drop_highest_active(w + winner, units, active, fan_in, held - target - cut);
      const double wanted = std::clamp(std::round(plastic * connections), 1.0, static_cast<double>(fan_in));
      const size_t swaps = std::min({static_cast<size_t>(wanted), on.size() - grown, off.size() - cut});
      for (size_t s = 0; s < swaps; ++s) {
        w[winner + on[grown + s] * units] = 1;
        w[winner + off[cut + s] * units] = 0;
      }
      if (wins[winner] < std::numeric_limits<int32_t>::max()) ++wins[winner];
      plastic = std::max(floor, plastic * (1.0 - decay));
    }
    outputs[i] = narrowed(step.activate(std::move(potentials)), out_type);
  }
  install();
  return outputs;
}

}  // namespace nuvra::detail
