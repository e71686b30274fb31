// Placement of a chain of large convolutions on the mesh of a second-generation board: every
// layer is split by the second-generation fit rules and given NPs, opening a new pass when the
// mesh is full. Reports the time per layer as the chain grows (it should stay flat) and as the
// layers need more parts.
#include "backend/hardware_constraints.h"
#include "backend/map_constraints.h"
#include "backend/mapping_status.h"
#include "backend/mesh.h"
#include "backend/mesh_mapper.h"
#include "devices/virtual_device.h"
#include "v2/fnp_hrc/mapping_checks.h"

#include <nuvra/hardware.h>
#include <nuvra/model.h>
#include <nuvra/params.h>
#include <nuvra/sim.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace nuvra;

namespace {

// The second generation's fit and split rules; every layer is accepted.
class V2Rules final : public CompatibilityChecker {
 public:
  explicit V2Rules(const HardwareConstraints* c) : CompatibilityChecker(c) {}
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
                                       uint32_t taken) const override {
    return v2::is_sram_input_fit_single_buffer(*constraints, t, h, w, c, f, b, taken);
  }
  bool is_sram_input_fit_dual_buffer(hw::Type t, uint32_t h, uint32_t w, uint32_t c, uint32_t f, uint8_t b,
                                     uint32_t taken) const override {
    return v2::is_sram_input_fit_dual_buffer(*constraints, t, h, w, c, f, b, taken);
  }
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override {
    return v2::is_weights_size_fit_np(*constraints, layer, filters);
  }
  NpSplitParams np_split_params(hw::Type t, const LayerParams& p) const override { return v2::np_split_params(t, p); }
  bool check_fnp3_sram_size(const HardwareConstraints& c, const Layer& layer) const override {
    return v2::check_fnp3_sram_size(c, layer);
  }
};

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int>& entries, const std::string& name) {
  const auto params = LayerParams::create(type, entries);
  return Layer::create(params.get(), name);
}

// `count` Same 3x3 convolutions of `size` x `size` inputs cycling through `filters`.
std::unique_ptr<Model> conv_chain(size_t count, int size, const std::vector<int>& filters) {
  auto model = Model::create();
  model->add(make(LayerType::InputData, {{"input_width", size}, {"input_height", size}, {"input_channels", 8}}, "in"));
  for (size_t i = 0; i < count; ++i)
    model->add(make(LayerType::Conv2D, {{"filters", filters[i % filters.size()]}, {"kernel_size", 3}},
                    "conv" + std::to_string(i)));
  return model;
}

struct Run {
  double seconds = 0;
  size_t parts = 0, passes = 1, failures = 0;
};

Run place_chain(const Model& model, const std::shared_ptr<Device>& device) {
  const HardwareConstraints hc = compute_hardware_constraints(*device);
  const V2Rules checker(&hc);
  const MapConstraints constraints(device);
  MeshMapper mapper(checker, constraints);
  mapper.reset();

  std::vector<std::shared_ptr<Layer>> layers(model.layers().begin() + 1, model.layers().end());
  Run run;
  const auto start = std::chrono::steady_clock::now();
  for (const auto& layer : layers) {
    bool pass_full = false;
    auto [components, status] = mapper.map_layer(layer, {}, false, &pass_full, layers);
    if (!status.ok()) {
      ++run.failures;
      continue;
    }
    run.parts += components.size();
    run.passes += pass_full ? 1 : 0;
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

}  // namespace

int main() {
  auto board = std::make_shared<sim::SimBoard>(sim::preset("fpga_v2"));
  auto hardware = HardwareDevice::create(board.get());
  const auto device = make_virtual_device(versions::FPGA_v2, *Mesh::discover(hardware.get()));
  std::printf("Mesh: %zu NPs (FPGA_v2 preset)\n\n", device->mesh()->nps.size());

  std::printf("Chain of 64x64 Conv2D layers (64..256 filters):\n");
  std::printf("%8s %12s %14s %10s %8s %9s\n", "layers", "total ms", "us per layer", "parts", "passes", "refused");
  for (size_t n : {25u, 50u, 100u, 200u}) {
    const auto model = conv_chain(n, 64, {64, 128, 256});
    place_chain(*model, device);  // warm-up
    const Run r = place_chain(*model, device);
    std::printf("%8zu %12.2f %14.1f %10zu %8zu %9zu\n", n, r.seconds * 1e3, r.seconds * 1e6 / double(n), r.parts,
                r.passes, r.failures);
  }

  std::printf("\n200-layer chains needing more parts per layer:\n");
  std::printf("%8s %8s %12s %14s %16s %8s %9s\n", "size", "filters", "total ms", "us per layer", "parts per layer",
              "passes", "refused");
  for (int size : {32, 64, 128, 224}) {
    for (int filters : {64, 256, 512}) {
      const auto model = conv_chain(200, size, {filters});
      const Run r = place_chain(*model, device);
      std::printf("%8d %8d %12.2f %14.1f %16.1f %8zu %9zu\n", size, filters, r.seconds * 1e3, r.seconds * 1e6 / 200,
                  double(r.parts) / double(200 - r.failures ? 200 - r.failures : 1), r.passes, r.failures);
    }
  }
  return 0;
}
