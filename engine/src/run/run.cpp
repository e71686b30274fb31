#include "run/run.h"

#include "run/thread_pool.h"

#include "ops/common.h"

#include <nuvra/interrupt.h>
#include <nuvra/layers.h>

#include <stdexcept>

namespace nuvra::detail {

struct SoftwareRun::Node {
  std::shared_ptr<const LayerStep> step;
  // Indices of the inbound layers' nodes; -1 stands for the samples.
  std::vector<int> inputs;
  bool raw_input = false;       // an input layer: gets the sample as received
  std::vector<size_t> release;  // values no later node reads
};

SoftwareRun::SoftwareRun(const std::vector<std::shared_ptr<Layer>>& layers, const Layer* feeder) {
  if (layers.empty()) throw std::runtime_error("Nothing to run: no layer");
  nodes_.resize(layers.size());
  std::vector<size_t> last_read(layers.size(), 0);
  for (size_t i = 0; i < layers.size(); ++i) {
    const Layer& layer = *layers[i];
    Node& node = nodes_[i];
    const auto inbounds = layer.inbound_layers();
    node.raw_input = layer.is_input_layer();
    if (inbounds.empty()) {
      if (!node.raw_input || feeder) throw std::runtime_error("Layer " + layer.get_name() + " has no input to run on");
      node.inputs.push_back(-1);
    }
    for (const auto& in : inbounds) {
      int index = -1;
      for (size_t j = 0; j < i; ++j)
        if (layers[j].get() == in.get()) index = static_cast<int>(j);
      if (index < 0 && in.get() != feeder)
        throw std::runtime_error("Layer " + layer.get_name() + " reads layer " + in->get_name() +
                                 ", whose output is not available to its sequence");
      if (index >= 0) last_read[static_cast<size_t>(index)] = i;
      node.inputs.push_back(index);
    }
  }
  for (size_t i = 0; i + 1 < layers.size(); ++i) nodes_[last_read[i]].release.push_back(i);
  // Steps last: their refusals come after the graph's.
  for (size_t i = 0; i < layers.size(); ++i) {
    nodes_[i].step = prepared_step(*layers[i]);
    sequential_ = sequential_ || nodes_[i].step->sequential();
  }
  const Layer& last = *layers.back();
  output_type_ = output_type(last.output_bits(), last.output_signed());
}

SoftwareRun::~SoftwareRun() = default;

ConstDensePtr SoftwareRun::run_one(const ConstDensePtr& sample) const {
  std::vector<ConstDensePtr> values(nodes_.size());
  std::vector<ConstDensePtr> inputs;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const Node& node = nodes_[i];
    const bool narrow = node.raw_input || node.step->takes_narrow();
    inputs.clear();
    for (const int j : node.inputs) {
      const ConstDensePtr& v = j >= 0 ? values[static_cast<size_t>(j)] : sample;
      inputs.push_back(narrow ? v : as_int32(v));
    }
    values[i] = node.step->run(inputs);
    for (const size_t j : node.release) values[j].reset();
  }
  return narrowed(values.back(), output_type_);
}

std::vector<ConstDensePtr> SoftwareRun::run(const std::vector<ConstDensePtr>& samples) const {
  std::vector<ConstDensePtr> outputs(samples.size());
  // The starting thread polls for an interrupt first and between the samples it takes; once it
  // throws, no further sample starts and the run ends when the workers finish the ones they hold.
  check_interrupt();
  const auto one = [&](size_t i) {
    check_interrupt();
    outputs[i] = run_one(samples[i]);
  };
  // Fewer samples than threads: one after the other, each layer spreading its own work.
  if (sequential_ || samples.size() < inference_threads()) {
    for (size_t i = 0; i < samples.size(); ++i) one(i);
  } else {
    parallel_for(samples.size(), one);
  }
  return outputs;
}

}  // namespace nuvra::detail
