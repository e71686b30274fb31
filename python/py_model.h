// The native object behind a Python Model: one engine model and the metrics of its last run.
#pragma once

#include "devices/power_meter.h"
#include "python/cast_array.h"
#include "python/metrics.h"

#include <nuvra/model.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nuvra {

class Device;
class MapConstraints;

class PyModel {
 public:
  // Reloads a model file.
  explicit PyModel(const std::string& filename);
  // Copies the layers (parameters, links, learning, variables) into a new model, after an
  // input layer made from the first one's input when the list does not start with one.
  explicit PyModel(const std::vector<std::shared_ptr<Layer>>& layers);

  PyModel(const PyModel&) = delete;
  PyModel& operator=(const PyModel&) = delete;

  void save(const std::string& model_file) const;
  pybind11::bytes to_buffer() const;

  void add(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& inbound_layers);
  void pop_layer();
  void compile(const std::shared_ptr<LearningParams>& optimizer);
  void map(const std::shared_ptr<Device>& device, bool hw_only, const std::shared_ptr<MapConstraints>& constraints);

  std::shared_ptr<Layer> get_layer(const std::string& name) const;
  std::shared_ptr<Layer> get_layer(uint64_t index) const;
  std::vector<std::shared_ptr<Sequence>> sequences() const;
  std::vector<std::shared_ptr<Layer>> layers() const;
  // A copy, so that it outlives a later compile.
  std::shared_ptr<LearningParams> learning() const;
  std::vector<uint32_t> input_shape() const;
  std::vector<uint32_t> output_shape() const;
  IpVersion ip_version() const;
  std::shared_ptr<Device> device() const;
  uint64_t layer_count() const;
  // Components used by the layers' hardware mappings, per type.
  std::map<hw::Type, uint64_t> component_count() const;
  // External memory of the mapped layers, in bytes (wraps modulo 2^32).
  uint32_t external_memory_size() const;

  // Grows the compiled FullyConnected last layer by the neurons of `num_add_classes` more
  // classes, keeping what the old neurons learnt. A refusal leaves the model as it was.
  void add_classes(int num_add_classes);

  // Runs with metrics (model_inference.cpp); the result is a new numpy array.
  pybind11::array fit(const pybind11::array& inputs, const std::vector<int32_t>& labels, uint32_t batch_size);
  pybind11::array forward(const pybind11::array& inputs, uint32_t batch_size);
  pybind11::array predict(const pybind11::array& inputs, uint32_t batch_size);
  // The share of samples whose class (the group of output neurons holding the largest value)
  // is their label.
  float evaluate(const CastArray<uint8_t>& inputs, const LabelArray& labels, uint32_t num_classes,
                 uint32_t batch_size);

  Model& engine() { return *model; }
  const Model& engine() const { return *model; }

  std::unique_ptr<Model> model;
  PyMetrics metrics;
  // What the board's power meter held after the last run (empty unless it measures power).
  std::vector<PowerMeter::PowerEvent> power_events;
};

}  // namespace nuvra
