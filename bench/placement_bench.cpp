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
#include "v2/fnp_hrc/compatibility_checker.h"

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
  // Placement asks the checker only for its fit and split rules, not for layer checks.
  const v2::CompatibilityCheckerImpl checker(hc);
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
