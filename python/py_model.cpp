#include "python/py_model.h"

#include "backend/hardware_backend.h"
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "python/model_file.h"
#include "python/numpy_convert.h"

#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <stdexcept>

namespace nuvra {

namespace {

std::vector<uint32_t> dims_of(const Shape& shape) {
  std::vector<uint32_t> dims;
  for (size_t i = 0; i < shape.size() && i < 4; ++i) dims.push_back(shape[i]);
  return dims;
}

std::shared_ptr<Layer> input_layer_for(const Layer& first) {
  const Shape in = first.input_dimensions().at(0);
  const std::map<std::string, int> entries{
      {"input_width", static_cast<int>(in[0])},
      {"input_height", static_cast<int>(in[1])},
      {"input_channels", static_cast<int>(in[2])},
      {"input_bits", first.input_bits()},
      {"input_signed", first.input_sign_code() == 2 ? 1 : 0},
  };
  const std::unique_ptr<LayerParams> params = LayerParams::create(LayerType::InputData, entries);
  return Layer::create(params.get(), "InputData");
}

// The system calls stop at the first NUL: "x.fbz\0junk" would reach "x.fbz".
void check_model_path(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    throw std::invalid_argument("A model file path must not contain a NUL character");
}

}  // namespace

PyModel::PyModel(const std::string& filename)
    : model((check_model_path(filename), load_model_file(filename))) {}

PyModel::PyModel(const std::vector<std::shared_ptr<Layer>>& layers) : model(Model::create()) {
  if (layers.empty()) return;
  for (const auto& layer : layers)
    if (!layer) throw std::runtime_error("Invalid layer received");

  if (!layers.front()->is_input_layer()) model->add(input_layer_for(*layers.front()), {});

  for (size_t i = 0; i < layers.size(); ++i) {
    const Layer& source = *layers[i];
    std::shared_ptr<Layer> copy = Layer::create(source.params(), source.get_name());
    std::vector<std::shared_ptr<Layer>> inbounds;
    if (i > 0)
      for (const auto& in : source.inbound_layers()) {
        inbounds.push_back(model->get_layer(in->get_name()));
        // The engine can only name what it is given: name the layer the list lacks.
        if (!inbounds.back())
          throw std::invalid_argument("Inbound layer " + in->get_name() + " of layer " + source.get_name() +
                                      " is not in this model");
      }
    model->add(copy, inbounds);
    // A copy of the learning parameters: learning in one model must not move the other's.
    if (source.can_learn()) {
      const std::shared_ptr<LearningParams> learning = source.learning();
      model->compile(learning ? learning->clone() : nullptr);
    }
    const Variables* from = source.variables();
    Variables* to = copy->variables();
    if (from && to)
      for (const auto& name : from->names()) to->set(name, from->get(name));
  }
}

void PyModel::save(const std::string& model_file) const {
  check_model_path(model_file);
  save_model_file(*model, model_file);
}

pybind11::bytes PyModel::to_buffer() const {
  pybind11::bytes out;
  model->write_buffer([&](const uint8_t* data, size_t size) {
    out = bytes_copy(data, size);
  });
  return out;
}

void PyModel::add(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& inbound_layers) {
  model->add(layer, inbound_layers);
}

void PyModel::pop_layer() { model->pop_layer(); }

void PyModel::compile(const std::shared_ptr<LearningParams>& optimizer) { model->compile(optimizer); }

void PyModel::map(const std::shared_ptr<Device>& device, bool hw_only,
                  const std::shared_ptr<MapConstraints>& constraints) {
  // The back end maps onto the constraints' device; the model would record the other one.
  if (device && constraints && constraints->device() != device)
    throw std::invalid_argument("The map constraints were made for another device than the one to map onto.");
  model->map(device, hw_only, constraints);
}

std::shared_ptr<Layer> PyModel::get_layer(const std::string& name) const { return model->get_layer(name); }

std::shared_ptr<Layer> PyModel::get_layer(uint64_t index) const {
  return model->get_layer(static_cast<size_t>(index));
}

std::vector<std::shared_ptr<Sequence>> PyModel::sequences() const { return model->sequences(); }

std::vector<std::shared_ptr<Layer>> PyModel::layers() const { return model->layers(); }

std::shared_ptr<LearningParams> PyModel::learning() const {
  const std::shared_ptr<LearningParams> learning = model->learning();
  return learning ? learning->clone() : nullptr;
}

std::vector<uint32_t> PyModel::input_shape() const { return dims_of(model->input_shape()); }

std::vector<uint32_t> PyModel::output_shape() const { return dims_of(model->output_shape()); }

IpVersion PyModel::ip_version() const { return model->ip_version(); }

std::shared_ptr<Device> PyModel::device() const { return model->device(); }

uint64_t PyModel::layer_count() const { return model->layer_count(); }

std::map<hw::Type, uint64_t> PyModel::component_count() const {
  std::map<hw::Type, uint64_t> counts;
  for (const auto& layer : model->layers()) {
    const std::shared_ptr<const LayerMapping> mapping = get_layer_mapping(*layer);
    if (!mapping) continue;
    if (const auto load = mapping->skipdma_load()) ++counts[load->type];
    if (const auto store = mapping->skipdma_store()) ++counts[store->type];
    if (mapping->nps)
      for (const auto& np : *mapping->nps) ++counts[np.type];
  }
  return counts;
}

uint32_t PyModel::external_memory_size() const { return nuvra::external_memory_size(model->sequences()); }

}  // namespace nuvra
