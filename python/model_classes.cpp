// Model.add_classes: a wider learning layer that keeps what the old neurons learnt.
#include "python/py_model.h"

#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

namespace nuvra {

namespace {

// Elements a tensor can hold: its shape counts them in 32 bits.
constexpr uint64_t kMaxElements = std::numeric_limits<uint32_t>::max();

std::shared_ptr<Dense> copy_of(const Dense& t) {
  return Dense::copy(reinterpret_cast<const char*>(t.storage().data()), t.byte_size(), t.type(), t.shape(),
                     t.layout());
}

// Neuron j of `old` to neuron j of `to`: the d0 bytes at coordinates (0, j, 0, 0) of each.
void carry_weights(const Dense& old, Dense& to) {
  old.check_type<int8_t>();
  to.check_type<int8_t>();
  const uint64_t d0 = old.shape()[0], d1 = old.shape()[1];
  for (uint64_t j = 0; j < d1; ++j) {
    const uint64_t from = uint64_t{old.strides()[1]} * j, at = uint64_t{to.strides()[1]} * j;
    if (from + d0 > old.size() || at + d0 > to.size()) panic("Coordinates are out-of-range");
    std::memcpy(to.storage().data() + at, old.storage().data() + from, d0);
  }
}

// The old layer's variables into the new one, each as a new tensor that starts as the new
// layer's own value.
void carry_variables(const Layer& old, Layer& to) {
  const Variables& from = *old.variables();
  Variables& into = *to.variables();
  for (const auto& name : from.names()) {
    if (!into.has(name)) throw std::runtime_error("Layer " + to.get_name() + " has no variable " + name);
    const std::shared_ptr<Dense> before = from.get(name);
    const std::shared_ptr<Dense> copy = copy_of(*into.get(name));
    if (name == "weights") {
      carry_weights(*before, *copy);
    } else {
      if (before->byte_size() > copy->byte_size())
        throw std::runtime_error("Variable " + name + " of layer " + to.get_name() + " is smaller than before");
      std::memcpy(copy->storage().data(), before->storage().data(), before->byte_size());
    }
    into.set(name, copy);
  }
}

}  // namespace

void PyModel::add_classes(int num_add_classes) {
  if (model->busy()) throw std::runtime_error(Model::kBusy);
  if (num_add_classes < 1) throw std::invalid_argument("The number of classes to add must be positive.");
  const uint64_t count = model->layer_count();
  const std::shared_ptr<Layer> last = count ? model->get_layer(static_cast<size_t>(count - 1)) : nullptr;
  if (!last) throw std::runtime_error("The model must have at least one layer.");
  const LayerParams& params = *last->params();
  if (params.layer_type() != LayerType::FullyConnected)
    throw std::runtime_error("The last layer must be a FullyConnected layer.");
  const std::shared_ptr<LearningParams> learning = model->learning();
  // A layer added after the compiled one has no learning to widen.
  if (!learning || !model->last_layer_compiled()) throw std::runtime_error(Model::kLastLayerNotCompiled);

  // Everything that can be refused is, before the model changes.
  std::map<std::string, double> entries;
  for (const auto& key : learning->keys()) entries[key] = learning->get(key);
  const int units = params.get("units");
  const double old_classes = entries.count("num_classes") ? entries["num_classes"] : 0.0;
  if (!(old_classes >= 1.0) || !std::isfinite(old_classes))
    throw std::runtime_error("The last layer must be compiled for at least one class.");
  entries["num_classes"] = old_classes + num_add_classes;
  const std::shared_ptr<LearningParams> new_learning = LearningParams::create(learning->learning_type(), entries);
  const auto per_class = static_cast<int64_t>(std::trunc(units / old_classes));
  const int64_t new_units = per_class * num_add_classes + units;
  if (new_units > std::numeric_limits<int32_t>::max())
    throw std::invalid_argument("Cannot add " + std::to_string(num_add_classes) +
                                " classes: the last layer would have " + std::to_string(new_units) + " neurons.");
  // The one limit the engine's add would refuse the wider layer for: refused here, before
  // pop_layer drops the model's mapping.
  const std::shared_ptr<Layer> feeding = model->get_layer(static_cast<size_t>(count - 2));
  const uint64_t fan_in = feeding ? feeding->output_dimensions().elements() : 0;
  if (fan_in * static_cast<uint64_t>(new_units) > kMaxElements)
    throw std::invalid_argument("Cannot add " + std::to_string(num_add_classes) + " classes: the last layer would have " +
                                std::to_string(new_units) + " neurons of " + std::to_string(fan_in) +
                                " weights, more than " + std::to_string(kMaxElements) + ".");
  // The wider layer is fed by the layer before it, which need not be what fed the old one: the
  // re-compile's weight count check, made here with the engine's message.
  const double weights = new_learning->get("num_weights");
  if (feeding && (!std::isfinite(weights) || std::trunc(weights) < 1.0 || std::trunc(weights) > double(fan_in)))
    throw std::invalid_argument("num_weights must be between 1 and the " + std::to_string(fan_in) + " inputs of layer " +
                                last->get_name() + " (got " + std::to_string(weights) + ")");
  last->variables()->get("weights")->check_type<int8_t>();
  const std::unique_ptr<LayerParams> new_params =
      LayerParams::create(LayerType::FullyConnected, {{"units", static_cast<int>(new_units)},
                                                      {"weights_bits", params.get("weights_bits")},
                                                      {"activation", params.get("activation")},
                                                      {"act_bits", params.get("act_bits")}});
  const std::shared_ptr<Layer> wider = Layer::create(new_params.get(), last->get_name());

  const std::vector<std::shared_ptr<Layer>> inbounds = last->inbound_layers();
  model->pop_layer();
  try {
    model->add(wider, {});
    model->compile(new_learning);
    carry_variables(*last, *wider);
  } catch (...) {
    // Put the old layer back as it was: popping left its variables untouched.
    if (model->layer_count() == count) model->pop_layer();
    model->add(last, inbounds);
    model->compile(learning);
    throw;
  }
}

}  // namespace nuvra
