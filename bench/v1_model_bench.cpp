// A 20-layer first-generation model mapped end to end onto a virtual VLQ7300_v1 device (the mesh its
// simulated board reports): InputConvolutional 64x64x3, nine Convolutional / SeparableConvolutional
// pairs (max pooling twice) and a FullyConnected head compiled for on-chip learning. Reports the
// whole Model::map and its stages, measured by running the back end's steps on their own over the
// same layers: check, place, record (the layer recorders, the learning recorder for the head),
// serialise and size. Baselines in the same run: the same mapping of the model's first 10 layers,
// a copy of the program bytes, and the FNP learning image against a copy of its weight bytes.
// Last, the four-layer model of the first-generation demo mapped against a copy of its program
// bytes into a new buffer.
#include "backend/ip_backend.h"
#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "backend/mesh_mapper.h"
#include "backend/sequence_serializer.h"
#include "devices/system_services.h"
#include "devices/virtual_device.h"
#include "v1/fnp/fnp_ram.h"

#include <nuvra/hardware.h>
#include <nuvra/model.h>
#include <nuvra/params.h>
#include <nuvra/sim.h>
#include <nuvra/version.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace nuvra;

namespace {

using Layers = std::vector<std::shared_ptr<Layer>>;
constexpr int kRuns = 5;
volatile uint64_t sink = 0;  // keeps measured results alive

double best_ms(const std::function<void()>& action, int runs = kRuns) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    action();
    best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int>& entries, const std::string& name) {
  const auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

// Signed weights in -1..1 (the head: `head_ones` ones per neuron), thresholds 0..39, act steps 2.
void fill(Layer& layer, std::mt19937& rng, uint32_t head_ones = 16) {
  Variables& vars = *layer.variables();
  const bool head = layer.params()->layer_type() == LayerType::FullyConnected;
  for (const char* name : {"weights", "weights_pw"}) {
    if (!vars.has(name)) continue;
    const auto old = vars.get(name);
    auto t = Dense::create(old->type(), old->shape(), old->layout());
    int8_t* w = t->data<int8_t>();
    if (head)
      for (uint32_t n = 0; n < t->shape()[0]; ++n)
        for (uint32_t k = 0; k < head_ones; ++k) w[n + t->shape()[0] * (k * 37 % t->shape()[1])] = 1;
    else
      for (size_t i = 0; i < t->size(); ++i)
        w[i] = static_cast<int8_t>(old->type() == TensorType::bit ? rng() % 2 : int(rng() % 3) - 1);
    vars.set(name, t);
  }
  auto thr = Dense::create(TensorType::int32, vars.get("threshold")->shape());
  for (size_t i = 0; i < thr->size(); ++i) thr->data<int32_t>()[i] = static_cast<int32_t>(rng() % 40);
  vars.set("threshold", thr);
  auto steps = Dense::create(TensorType::float32, vars.get("act_step")->shape());
  for (size_t i = 0; i < steps->size(); ++i) steps->data<float>()[i] = 2.0f;
  vars.set("act_step", steps);
}

// The first `layers` layers of the 20-layer model (the head always last).
std::unique_ptr<Model> v1_model(int layers, std::shared_ptr<LearningParams>& learning) {
  auto model = Model::create();
  model->add(make(LayerType::InputConvolutional,
                  {{"input_width", 64},
                   {"input_height", 64},
                   {"input_channels", 3},
                   {"kernel_width", 3},
                   {"kernel_height", 3},
                   {"filters", 16},
                   {"act_bits", 2}},
                  "hrc"));
  for (int i = 1; i < layers - 1; ++i) {
    std::map<std::string, int> p{
        {"filters", 32}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}, {"act_bits", 2}};
    if (i == 1 || i == 5) p.insert({{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}});
    std::string name = std::to_string(i);
    name.insert(0, 1, 'l');
    model->add(make(i % 2 ? LayerType::Convolutional : LayerType::SeparableConvolutional, p, name));
  }
  model->add(make(LayerType::FullyConnected, {{"units", 10}, {"weights_bits", 1}}, "head"));
  std::mt19937 rng(7);
  for (const auto& l : model->layers()) fill(*l, rng);
  learning = LearningParams::create(
      LearningType::Unsupervised, {{"num_weights", 16}, {"num_classes", 2}, {"initial_plasticity", 1},
                                   {"learning_competition", 0}, {"min_plasticity", 0.1}, {"plasticity_decay", 0.25}});
  model->compile(learning);
  return model;
}

// The demo's model: InputConvolutional 32x32x3 (8 filters), a Convolutional layer of 16 filters
// with max pooling, a SeparableConvolutional one of 32, a FullyConnected head of 10 units that
// learns, each neuron starting with 24 connections.
std::unique_ptr<Model> demo_model(std::shared_ptr<LearningParams>& learning) {
  auto model = Model::create();
  model->add(make(LayerType::InputConvolutional,
                  {{"input_width", 32},
                   {"input_height", 32},
                   {"input_channels", 3},
                   {"kernel_width", 3},
                   {"kernel_height", 3},
                   {"filters", 8},
                   {"act_bits", 2}},
                  "input_conv"));
  model->add(make(LayerType::Convolutional,
                  {{"filters", 16},
                   {"kernel_width", 3},
                   {"kernel_height", 3},
                   {"weights_bits", 2},
                   {"pool_type", 1},
                   {"pooling_width", 2},
                   {"pooling_height", 2},
                   {"act_bits", 2}},
                  "conv"));
  model->add(make(LayerType::SeparableConvolutional,
                  {{"filters", 32}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}, {"act_bits", 2}},
                  "separable"));
  model->add(make(LayerType::FullyConnected, {{"units", 10}, {"weights_bits", 1}}, "classifier"));
  std::mt19937 rng(3);
  for (const auto& l : model->layers()) fill(*l, rng, 24);
  learning = LearningParams::create(
      LearningType::Unsupervised, {{"num_weights", 24}, {"num_classes", 2}, {"initial_plasticity", 1},
                                   {"learning_competition", 0}, {"min_plasticity", 0.1}, {"plasticity_decay", 0.25}});
  model->compile(learning);
  return model;
}

struct Stages {
  double check = 0, place = 0, record = 0, serialise = 0, size = 0, map = 0, copy = 0;
  size_t passes = 0, program_bytes = 0, records = 0;
};

Stages measure(Model& model, const std::shared_ptr<Device>& device) {
  const IpVersionSpecificHardwareBackend backend(*device);
  const auto constraints = std::make_shared<MapConstraints>(device);
  const Layers list(model.layers().begin(), model.layers().end());
  Stages s;
  s.check = best_ms([&] {
    const CompatibilityChecker& c = backend.checker();
    std::shared_ptr<Layer> previous;
    for (const auto& l : list) {
      if (!c.check_layer_compatibility(*l, previous, device->version()).ok()) throw std::runtime_error("check");
      previous = l;
    }
    sink = c.check_layer_sequence(list.begin(), list.end(), list, device->version()).code;
  });
  s.map = best_ms([&] { model.map(device, true, constraints); });
  if (model.sequences().size() != 1) throw std::runtime_error("expected one sequence");
  const Sequence& seq = *model.sequences().front();
  const auto& passes = seq.passes();
  s.passes = passes.size();
  s.program_bytes = seq.program().size;
  s.place = best_ms([&] {
    MeshMapper mapper(backend.checker(), *constraints);
    mapper.reset();
    bool full = false;
    for (const auto& l : list)
      if (!l->is_kind(1)) sink = std::get<0>(mapper.map_layer(l, {}, false, &full, list)).size();
  });
  // The records the sequence builder asks for, kept for the serialise stage.
  std::vector<std::vector<std::unique_ptr<program::Record>>> records(passes.size());
  std::vector<program::LearnRecordsPtr> learning;
  const auto seq_first = first_mappable_layer(passes.front()->layers);
  s.record = best_ms([&] {
    learning.clear();
    for (size_t p = 0; p < passes.size(); ++p) {
      records[p].clear();
      const auto next = p + 1 < passes.size() ? first_mappable_layer(passes[p + 1]->layers) : nullptr;
      for (const auto& l : passes[p]->layers) {
        const bool later_first = l == first_mappable_layer(passes[p]->layers) && p != 0;
        if (l->can_learn())
          learning.push_back(backend.layer_recorder().record_learning_layer(*l, later_first));
        else
          records[p].push_back(backend.layer_recorder().record_layer(
              *l, *seq_first, next, later_first, l == last_mappable_layer(passes[p]->layers) && p + 1 < passes.size(),
              {}, false, false));
      }
    }
  });
  for (const auto& p : records) s.records += p.size();
  s.serialise = best_ms([&] {
    SequenceSerializer ser(backend.layer_recorder(), backend.io_recorder());
    ser.serialize_version(device->version());
    for (const auto& pass : records) {
      for (const auto& r : pass) ser.serialize_record(*r);
      ser.finalize_pass();
    }
    std::vector<uint8_t> program;
    ser.finalize(nuvra::version(), list.front()->input_dimensions().front(), list.back()->output_dimensions(), 0, 1,
                 true, 0, 0, {}, {}, 64, &program, passes);
    sink = program.size();
  });
  s.size = best_ms([&] {
    uint64_t sum = 0;
    for (const auto& pass : passes)
      for (const auto& l : pass->layers)
        if (const auto m = get_layer_mapping(*l); m && m->nps)
          for (const auto& c : *m->nps)
            sum += backend.memory_sizer().get_input_memory_size(l, c, seq_first) +
                   backend.memory_sizer().get_weight_memory_size(l, c) +
                   backend.memory_sizer().get_external_memory_size(l, c, false, passes.size() > 1);
    sink = sum;
  });
  std::vector<uint8_t> copy(s.program_bytes);
  s.copy = best_ms(
      [&] {
        std::memcpy(copy.data(), seq.program().data, copy.size());
        sink = copy[copy.size() / 2];
      },
      50);
  return s;
}

}  // namespace

int main() {
  register_system_services_with_engine();
  auto board = std::make_shared<sim::SimBoard>(sim::preset("vlq7300_v1"));
  const auto device =
      make_virtual_device(versions::VLQ7300_v1, *Mesh::discover(HardwareDevice::create(board.get()).get()));
  std::shared_ptr<LearningParams> lp20, lp10;
  auto model = v1_model(20, lp20), half = v1_model(10, lp10);
  try {
    const Stages s = measure(*model, device), h = measure(*half, device);
    std::printf(
        "20-layer first-generation model on VLQ7300_v1, best of %d runs: %zu passes, %zu records, %zu program bytes\n",
        kRuns, s.passes, s.records, s.program_bytes);
    const std::pair<const char*, double> rows[] = {{"check", s.check},         {"place", s.place}, {"record", s.record},
                                                   {"serialise", s.serialise}, {"size", s.size},   {"map", s.map}};
    for (const auto& [name, ms] : rows) std::printf("  %-10s %9.3f ms\n", name, ms);
    std::printf("  map / copy of the program bytes: %.0fx; 20 layers / 10 layers: %.2fx (%.3f ms)\n", s.map / s.copy,
                s.map / h.map, h.map);
  } catch (const std::exception& e) {
    std::printf("v1 mapping failed: %s\n", e.what());
    return 1;
  }
  {
    std::shared_ptr<LearningParams> lp;
    auto demo = demo_model(lp);
    const auto constraints = std::make_shared<MapConstraints>(device);
    demo->map(device, true, constraints);
    const auto& program = demo->sequences().at(0)->program();
    const std::vector<uint8_t> bytes(program.data, program.data + program.size);
    double map = 1e300, copy = 1e300;
    // Maps and copies take turns, so that both see the same load on the machine.
    for (int round = 0; round < kRuns; ++round) {
      map = std::min(map, best_ms([&] { demo->map(device, true, constraints); }, 20));
      copy = std::min(copy, best_ms(
                                [&] {
                                  auto* p = static_cast<uint8_t*>(std::malloc(bytes.size()));
                                  if (p == nullptr) throw std::bad_alloc();
                                  std::memcpy(p, bytes.data(), bytes.size());
                                  sink = p[bytes.size() / 2];
                                  std::free(p);
                                },
                                200));
    }
    std::printf("Demo model (%zu layers, %zu program bytes): map %.3f ms, %.0fx a copy of its program bytes into a new "
                "buffer (%.4f ms)\n",
                demo->layers().size(), bytes.size(), map, map / copy, copy);
  }
  // The learning image of a 256-neuron head over 16384 inputs against a copy of its weight bytes.
  auto w = Dense::create(TensorType::bit, {256, 16384, 1, 1}, Layout::Reversed);
  std::mt19937 rng(3);
  for (size_t i = 0; i < w->size(); ++i) w->data<int8_t>()[i] = static_cast<int8_t>(rng() & 1);
  auto per_neuron = Dense::create(TensorType::int32, {256});
  const v1::FnpLearningFields fields{*per_neuron, *per_neuron, 4, 16};
  std::vector<uint32_t> image(256 * (16384 / 32 + 4));
  std::vector<uint8_t> copy_of_weights(w->byte_size());
  const double pack = best_ms([&] { v1::format_fnp_ram(image, *w, *per_neuron, *per_neuron, 1, true, &fields); }, 10);
  const double copy = best_ms(
      [&] {
        std::memcpy(copy_of_weights.data(), w->storage().data(), copy_of_weights.size());
        sink = copy_of_weights[copy_of_weights.size() / 2];
      },
      20);
  std::printf("FNP learning image, %zu words from %zu weights: %.3f ms, %.1fx a copy of the weight bytes\n",
              image.size(), w->size(), pack, pack / copy);
  return 0;
}
