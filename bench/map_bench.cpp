// The map driver end to end: chains of Conv2D layers mapped onto a second-generation virtual
// device (the mesh a simulated board reports), once with the generation's placement rules and
// recorders that write one small block per layer, once with all of the generation's own
// strategies. Reports the time per layer as the chain grows past one pass (several passes in
// one sequence) and past the descriptor limit of one sequence (the list is then cut sequence by
// sequence), and its ratio to the time per layer of the shortest chain. A chain past the limit
// is mapped twice over: once in the whole-list attempt, which runs to its end before the table
// refuses it, then sequence by sequence; its time per layer is about twice the shortest chain's
// and must stay flat from there on (the two longest chains within 1.2x of each other): mapping
// stays linear in the number of layers. The sizes take turns, best of several runs.
#include "backend/hardware_backend.h"
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "backend/mapping_status.h"
#include "backend/mesh.h"
#include "bench/v2_variables.h"
#include "devices/virtual_device.h"
#include "program/record.h"
#include "v2/fnp_hrc/mapping_checks.h"

#include <nuvra/hardware.h>
#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/params.h>
#include <nuvra/sim.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace nuvra;

namespace {

// The second generation's placement rules; every layer and run accepted.
class V2RulesChecker final : public CompatibilityChecker {
 public:
  using CompatibilityChecker::CompatibilityChecker;
  MappingStatus check_layer_compatibility(const Layer&, const std::shared_ptr<Layer>&, HwVersion) const override {
    return MappingSuccess();
  }
  MappingStatus check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator, const LayerList&,
                                     HwVersion) const override {
    return MappingSuccess();
  }
  MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     const Device&) const override {
    return v2::check_layer_mappings(layer, components);
  }
  bool is_sram_input_fit_single_buffer(hw::Type t, uint32_t h, uint32_t w, uint32_t c, uint32_t f, uint8_t b,
                                       uint32_t r) const override {
    return v2::is_sram_input_fit_single_buffer(*constraints, t, h, w, c, f, b, r);
  }
  bool is_sram_input_fit_dual_buffer(hw::Type t, uint32_t h, uint32_t w, uint32_t c, uint32_t f, uint8_t b,
                                     uint32_t r) const override {
    return v2::is_sram_input_fit_dual_buffer(*constraints, t, h, w, c, f, b, r);
  }
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override {
    return v2::is_weights_size_fit_np(*constraints, layer, filters);
  }
  NpSplitParams np_split_params(hw::Type t, const LayerParams& p) const override { return v2::np_split_params(t, p); }
  bool check_fnp3_sram_size(const HardwareConstraints& c, const Layer& layer) const override {
    return v2::check_fnp3_sram_size(c, layer);
  }
};

// Eight register words on the layer's first NP.
class SmallLayerRecorder final : public LayerRecorder {
 public:
  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer&, std::shared_ptr<Layer>, bool, bool,
                                                const std::vector<hw::Ident>&, bool, bool) const override {
    auto record = program::new_record(versions::FPGA_v2);
    hw::Ident np{};
    if (const auto m = get_layer_mapping(layer); m && m->nps && !m->nps->empty()) np = m->nps->front().ident;
    record->add_np_track(np, dma::Target{7}, 0, std::vector<uint32_t>(8, 0x5A));
    return record;
  }
  program::LearnRecordsPtr record_learning_layer(const Layer&, bool) const override {
    throw std::runtime_error("no learning in this benchmark");
  }
  void sync_learning_vars(std::shared_ptr<Layer>) const override {}
};

class SmallIoRecorder final : public IoRecorder {
 public:
  std::unique_ptr<program::Record> record_scc(bool, bool, bool, bool, bool, Shape, Shape) const override {
    auto record = program::new_record(versions::FPGA_v2);
    record->add_np_track({1, 1, 1, 0}, dma::Target{8}, 4, std::vector<uint32_t>(4, 1));
    return record;
  }
  std::unique_ptr<std::vector<epg::epg_track>> record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool, bool,
                                                          bool) const override {
    return std::make_unique<std::vector<epg::epg_track>>(std::vector<epg::epg_track>{{0x10, 1}, {0x14, 2}});
  }
  int8_t get_input_type(const Layer&) const override { return 0; }
  int8_t get_output_type(const Layer&, int8_t) const override { return 0; }
};

class FixedSizer final : public MemorySizer {
 public:
  uint32_t get_input_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                 const std::shared_ptr<Layer>&) const override {
    return 256;
  }
  uint32_t get_weight_memory_size(const std::shared_ptr<Layer>&, const hw::Component&) const override { return 640; }
  uint32_t get_external_memory_size(const std::shared_ptr<Layer>&, const hw::Component&, bool, bool) const override {
    return 0;
  }
};

GenerationStrategies bench_strategies(const Device&, const HardwareConstraints* constraints) {
  return {std::make_unique<V2RulesChecker>(constraints), std::make_unique<FixedSizer>(),
          std::make_unique<SmallIoRecorder>(), std::make_unique<SmallLayerRecorder>()};
}

std::shared_ptr<Device> fpga_v2_device() {
  auto board = std::make_shared<sim::SimBoard>(sim::preset("fpga_v2"));
  auto hardware = HardwareDevice::create(board.get());
  return make_virtual_device(versions::FPGA_v2, *Mesh::discover(hardware.get()));
}

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int>& entries, const std::string& name) {
  const auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

// A 16 x 16 x 3 input on the HRC, then `count` 3 x 3 Conv2D layers of 16 filters, one NP each.
std::unique_ptr<Model> conv_chain(size_t count) {
  auto model = Model::create();
  model->add(make(
      LayerType::InputConv2D,
      {{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"filters", 16}, {"kernel_size", 3}}, "in"));
  for (size_t i = 0; i < count; ++i)
    model->add(make(LayerType::Conv2D, {{"filters", 16}, {"kernel_size", 3}}, "conv" + std::to_string(i)));
  uint32_t seed = 1;
  for (const auto& layer : model->layers()) fill_v2_variables(*layer, seed++);
  return model;
}

struct Run {
  double seconds = 0;
  size_t sequences = 0, passes = 0;
  MappingStatus status;
};

Run map_once(const Model& model, const std::shared_ptr<MapConstraints>& constraints, bool own_strategies) {
  std::vector<std::shared_ptr<Layer>> layers = model.layers();
  std::vector<std::shared_ptr<Sequence>> sequences;
  HardwareBackend backend = own_strategies ? HardwareBackend() : HardwareBackend(bench_strategies);
  Run run;
  const auto start = std::chrono::steady_clock::now();
  run.status = backend.map(&layers, &sequences, constraints);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.sequences = sequences.size();
  for (const auto& s : sequences) run.passes += s->passes().size();
  if (!layers.empty() && run.status.ok()) run.status = {1, "layers left unmapped"};
  return run;  // dropping the sequences unmaps the layers for the next run
}

void report(const char* title, const std::shared_ptr<MapConstraints>& constraints, bool own_strategies) {
  std::printf("%s:\n", title);
  std::printf("%8s %12s %14s %10s %10s %8s  %s\n", "layers", "total ms", "us per layer", "vs first", "sequences",
              "passes", "status");
  const size_t sizes[] = {10, 100, 479, 1000};
  std::vector<std::unique_ptr<Model>> models;
  std::vector<Run> best(std::size(sizes));
  for (const size_t n : sizes) {
    models.push_back(conv_chain(n));
    map_once(*models.back(), constraints, own_strategies);  // warm-up
  }
  // Every size takes its turn in every round, so that all see the same load on the machine; a
  // round maps each model about as many layers' worth as the others.
  constexpr int kRounds = 6;
  for (int round = 0; round < kRounds; ++round) {
    for (size_t i = 0; i < std::size(sizes); ++i) {
      const int reps = static_cast<int>(std::max<size_t>(1, 2000 / sizes[i] / kRounds));
      for (int r = 0; r < reps; ++r) {
        const Run run = map_once(*models[i], constraints, own_strategies);
        if ((round == 0 && r == 0) || run.seconds < best[i].seconds) best[i] = run;
      }
    }
  }
  double first_per_layer = 0;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    const size_t layers = sizes[i] + 1;
    const double per_layer = best[i].seconds * 1e6 / double(layers);
    if (first_per_layer == 0) first_per_layer = per_layer;
    std::printf("%8zu %12.2f %14.1f %9.2fx %10zu %8zu  %s\n", layers, best[i].seconds * 1e3, per_layer,
                per_layer / first_per_layer, best[i].sequences, best[i].passes, best[i].status.message.c_str());
  }
}

}  // namespace

int main() {
  const auto device = fpga_v2_device();
  const auto constraints = std::make_shared<MapConstraints>(device);
  std::printf("Chains of 16x16 Conv2D layers on an FPGA_v2 virtual device, best of several runs.\n");
  report("Placement rules of the second generation, one small block recorded per layer", constraints, false);
  report("All strategies of the second generation", constraints, true);
  return 0;
}
