// The model graph: editing, queries and mapping.
#include <nuvra/layers.h>
#include <nuvra/model.h>
#include <nuvra/services.h>

#include "run/sequence.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace nuvra {

namespace {

std::shared_ptr<LayerImpl> impl_of(const std::shared_ptr<Layer>& layer) {
  return std::dynamic_pointer_cast<LayerImpl>(layer);
}

std::string describe(const Layer& layer) {
  return layer.get_name() + " (" + layer_type_name(layer.params()->layer_type()) + ")";
}

// Truncates a learning value for a range test; NaN and infinities stay out of every range.
bool integer_between(double v, int64_t lo, int64_t hi) {
  if (!std::isfinite(v)) return false;
  const double t = std::trunc(v);
  return t >= static_cast<double>(lo) && t <= static_cast<double>(hi);
}

}  // namespace

std::unique_ptr<Model> Model::create() { return std::unique_ptr<Model>(new Model()); }

Model::~Model() {
  // Passes unmap their layers when they go; the layers may outlive the model.
  sequences_.clear();
  for (const auto& l : layers_)
    if (auto impl = impl_of(l)) impl->leave_model();
}

void Model::drop_mapping() {
  sequences_.clear();
  device_.reset();
}

void Model::refuse_if_busy() const {
  if (busy()) throw std::runtime_error(kBusy);
}

void Model::add(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& inbounds) {
  refuse_if_busy();
  if (!layer) throw std::invalid_argument("Cannot add a null layer to a model");
  auto impl = impl_of(layer);
  if (!impl) throw std::invalid_argument("Layer " + layer->get_name() + " is not an engine layer");
  if (impl->owner()) throw std::invalid_argument("Layer " + layer->get_name() + " is already in a model");
  if (get_layer(layer->get_name()))
    throw std::invalid_argument("The model already has a layer named " + layer->get_name());
  if (layers_.empty() && !impl->is_input_layer())
    throw std::invalid_argument("The first layer of a model must be an input layer, not " + describe(*layer));
  if (!layers_.empty() && impl->is_input_layer())
    throw std::invalid_argument("Input layer " + describe(*layer) + " can only be the first layer of a model");

  std::vector<std::shared_ptr<LayerImpl>> links;
  if (inbounds.empty()) {
    if (!layers_.empty()) links.push_back(impl_of(layers_.back()));
  } else {
    for (const auto& in : inbounds) {
      auto in_impl = in ? impl_of(in) : nullptr;
      if (!in_impl || in_impl->owner() != this)
        throw std::invalid_argument("Inbound layer " + (in ? in->get_name() : std::string("(null)")) + " of layer " +
                                    layer->get_name() + " is not in this model");
      links.push_back(std::move(in_impl));
    }
  }

  layers_.reserve(layers_.size() + 1);
  impl->build(links, this);
  // Learning is the compiling model's: what the layer learnt with in another model stays there.
  impl->set_learning(nullptr);
  layers_.push_back(layer);
  // A layer fed twice by the same inbound is listed once among its outbounds.
  for (size_t i = 0; i < links.size(); ++i)
    if (std::find(links.begin(), links.begin() + static_cast<std::ptrdiff_t>(i), links[i]) ==
        links.begin() + static_cast<std::ptrdiff_t>(i))
      links[i]->add_outbound(impl);
  drop_mapping();
}

void Model::pop_layer() {
  refuse_if_busy();
  if (layers_.empty()) throw std::runtime_error("Cannot pop a layer from an empty model");
  auto last = impl_of(layers_.back());
  for (const auto& in : last->inbound_layers())
    if (auto in_impl = impl_of(in)) in_impl->remove_outbound(last.get());
  if (learning_ && last->learning() == learning_) learning_.reset();
  last->leave_model();
  layers_.pop_back();
  drop_mapping();
}

void Model::compile(const std::shared_ptr<LearningParams>& lp) {
  refuse_if_busy();
  if (!lp) throw std::invalid_argument("Cannot compile a model without learning parameters");
  if (layers_.empty()) throw std::invalid_argument("Cannot compile an empty model");
  const auto& last = layers_.back();
  const LayerParams& p = *last->params();
  if (p.layer_type() != LayerType::FullyConnected)
    throw std::invalid_argument("Only a FullyConnected last layer can learn, not " + describe(*last));
  if (p.get("weights_bits") != 1)
    throw std::invalid_argument("Layer " + last->get_name() + " needs 1-bit weights to learn (weights_bits is " +
                                std::to_string(p.get("weights_bits")) + ")");
  const int64_t units = p.get("units");
  const Shape in = last->input_dimensions().front();
  const int64_t inputs = static_cast<int64_t>(in.elements());
  const double classes = lp->get("num_classes");
  const double weights = lp->get("num_weights");
  if (!integer_between(classes, 1, units))
    throw std::invalid_argument("num_classes must be between 1 and the " + std::to_string(units) + " units of layer " +
                                last->get_name() + " (got " + std::to_string(classes) + ")");
  if (!integer_between(weights, 1, inputs))
    throw std::invalid_argument("num_weights must be between 1 and the " + std::to_string(inputs) +
                                " inputs of layer " + last->get_name() + " (got " + std::to_string(weights) + ")");
  for (const auto& l : layers_) impl_of(l)->set_learning(nullptr);
  impl_of(last)->set_learning(lp);
  learning_ = lp;
  plasticity_ = std::numeric_limits<double>::quiet_NaN();
  drop_mapping();
}

void Model::map(const std::shared_ptr<Device>& device, bool hw_only,
                const std::shared_ptr<MapConstraints>& constraints) {
  refuse_if_busy();
  if (!device) throw std::invalid_argument("Cannot map a model without a device");
  const std::shared_ptr<MapConstraints> used = constraints ? constraints : default_constraints(device);
  std::unique_ptr<Backend> backend = make_backend();
  if (!backend) throw std::runtime_error("Engine service make_backend returned no back end");
  drop_mapping();

  // The input layer stays with the host: neither generation's back end takes it.
  std::vector<std::shared_ptr<Layer>> pending;
  for (const auto& l : layers_)
    if (l->params()->layer_type() != LayerType::InputData) pending.push_back(l);

  std::vector<std::shared_ptr<Sequence>> mapped;
  const BusyScope busy(*this);
  const MappingStatus status = backend->map(&pending, &mapped, used);
  if (!status.ok() || !pending.empty()) {
    if (hw_only) {
      mapped.clear();
      if (!status.ok()) throw std::runtime_error(status.message);
      throw std::runtime_error("The model cannot be mapped entirely on hardware: layer " +
                               pending.front()->get_name() + " was left unmapped");
    }
    if (!pending.empty()) mapped.push_back(std::make_shared<SoftwareSequence>(std::move(pending)));
  }
  sequences_ = std::move(mapped);
  device_ = device;
}

std::shared_ptr<Layer> Model::get_layer(const std::string& name) const {
  for (const auto& l : layers_)
    if (l->get_name() == name) return l;
  return nullptr;
}

std::shared_ptr<Layer> Model::get_layer(size_t index) const {
  return index < layers_.size() ? layers_[index] : nullptr;
}

bool Model::last_layer_compiled() const {
  return learning_ && !layers_.empty() && layers_.back()->learning() == learning_;
}

bool Model::input_signed() const {
  return !layers_.empty() && layers_.front()->params()->layer_type() == LayerType::InputData &&
         layers_.front()->params()->get("input_signed") != 0;
}

Shape Model::input_shape() const {
  if (layers_.empty()) return Shape{};
  return layers_.front()->input_dimensions().front();
}

Shape Model::output_shape() const {
  if (layers_.empty()) return Shape{};
  return layers_.back()->output_dimensions();
}

IpVersion Model::ip_version() const {
  bool any_v2 = false;
  for (const auto& l : layers_) {
    const LayerType t = l->params()->layer_type();
    if (t == LayerType::InputConvolutional || t == LayerType::FullyConnected || t == LayerType::Convolutional ||
        t == LayerType::SeparableConvolutional)
      return IpVersion::v1;
    if (t != LayerType::InputData) any_v2 = true;
  }
  return any_v2 ? IpVersion::v2 : IpVersion::none;
}

}  // namespace nuvra
