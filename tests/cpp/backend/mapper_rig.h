// A MeshMapper over a device, its constraints and a checker, for the placement tests.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "backend/mesh_mapper.h"
#include "devices/virtual_device.h"
#include "layer_graph_fixtures.h"
#include "support/fake_checker.h"
#include "support/v2_test_checker.h"

#include <nuvra/hardware.h>
#include <nuvra/sim.h>
#include <nuvra/types.h>

#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace nuvra::test {

using hw::Ident;
using hw::Type;

// The mesh a simulated board reports; with `vit`, the last column holds ViT blocks.
inline Mesh discovered_mesh(const char* preset, bool vit = false) {
  sim::SimBoardConfig config = sim::preset(preset);
  if (vit) {
    config.geometry.vit_present = 1;
    config.geometry.vit_first_col = config.geometry.cols;
    config.geometry.vit_first_row = 1;
  }
  auto board = std::make_shared<sim::SimBoard>(std::move(config));
  auto device = HardwareDevice::create(board.get());
  return *Mesh::discover(device.get());
}

inline np::Info np_info(Ident ident, std::set<Type> types) { return {ident, std::move(types)}; }

// A second-generation mesh with the given NPs and skip-DMA engines.
inline Mesh v2_mesh(std::vector<np::Info> nps, std::vector<np::Info> skip_dmas = {}) {
  return Mesh(IpVersion::v2, {1, 1, 0, 0}, {1, 1, 1, 0}, std::move(nps), std::move(skip_dmas));
}

// `n` CNP1 NPs at (2, 1, 0) .. (2, 1, n - 1), and no other NP.
inline Mesh cnp1_mesh(uint8_t n) {
  std::vector<np::Info> nps;
  for (uint8_t id = 0; id < n; ++id) nps.push_back(np_info({2, 1, id, 0}, {Type::CNP1}));
  return v2_mesh(std::move(nps));
}

// in -> c1 -> c2 -> c3; add1 = Add(c1, c3) feeds c4 and c7; m = Add(c4, c5) with c5 after c4.
// c4 reads a merge that is a split layer (dual output) and is the shallowest input of m (skip).
inline Graph dual_and_skip() {
  Graph g;
  g.conv("c1", "in").conv("c2", "c1").conv("c3", "c2").add("add1", "c1", "c3");
  g.conv("c4", "add1").conv("c7", "add1").conv("c5", "c4").add("m", "c4", "c5");
  return g;
}

// in -> t1 (TNP-B) -> c2; add = Add(t1, c2): a TNP-B layer that is also a skip layer.
inline Graph tnp_b_skip() {
  Graph g;
  g.tnpb("t1", "in").conv("c2", "t1").add("add", "t1", "c2");
  return g;
}

// Everything a MeshMapper needs, kept alive together. Constraints may be a subclass.
template <typename Constraints = MapConstraints, typename Checker = FakeChecker>
struct Rig {
  explicit Rig(const Mesh& mesh)
      : device(make_virtual_device(versions::FPGA_v2, mesh)),
        hardware(compute_hardware_constraints(*device)),
        checker(make_checker()),
        constraints(device),
        mapper(checker, constraints) {
    mapper.reset();
  }

  // Places a layer with no reservation; `layers` defaults to the layer alone.
  std::tuple<std::vector<hw::Component>, MappingStatus> map(const std::shared_ptr<Layer>& layer,
                                                           const std::vector<std::shared_ptr<Layer>>& layers = {},
                                                           const std::vector<Ident>& reserve = {}) {
    return mapper.map_layer(layer, reserve, false, &pass_full, layers.empty() ? std::vector{layer} : layers);
  }

  std::shared_ptr<Device> device;
  HardwareConstraints hardware;
  Checker checker;
  Constraints constraints;
  MeshMapper mapper;
  bool pass_full = false;

 private:
  Checker make_checker() {
    if constexpr (std::is_same_v<Checker, V2TestChecker>)
      return Checker(&hardware);
    else
      return Checker();
  }
};

}  // namespace nuvra::test
