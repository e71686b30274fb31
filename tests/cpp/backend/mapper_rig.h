// Small layer graphs addressed by name, and a MeshMapper over a device, its constraints and a
// checker. Also used by the v2 recorder tests.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "backend/mesh_mapper.h"
#include "devices/virtual_device.h"
#include "support/fake_checker.h"
#include "support/model_builders.h"
#include "support/v2_test_checker.h"

#include <nuvra/hardware.h>
#include <nuvra/layer.h>
#include <nuvra/sim.h>
#include <nuvra/types.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace nuvra::test {

using hw::Ident;
using hw::Type;
using LayerList = std::vector<std::shared_ptr<Layer>>;

// `f` of each element, in order.
template <typename C, typename F>
auto collect(const C& c, F f) {
  std::vector<std::decay_t<decltype(f(*c.begin()))>> out;
  for (const auto& x : c) out.push_back(f(x));
  return out;
}

// The first layer is an HRC input layer "in" (8x8x3 -> 8x8x4); Conv2D layers keep 8x8.
class Graph {
 public:
  Graph() { add(LayerType::InputConv2D, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4}, {"kernel_size", 3}}, "in", {}); }
  Graph& add(LayerType t, const Params& p, const std::string& n, const std::vector<std::string>& from) { return b_.add(t, p, n, from), *this; }
  Graph& conv(const std::string& n, const std::string& from, int f = 4) { return add(LayerType::Conv2D, {{"filters", f}, {"kernel_size", 3}}, n, {from}); }
  Graph& tnpb(const std::string& n, const std::string& from) { return add(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 3}}, n, {from}); }
  Graph& add(const std::string& n, const std::string& a, const std::string& b) { return add(LayerType::Add, {}, n, {a, b}); }
  Graph& dequantizer(const std::string& n, const std::string& from) { return add(LayerType::Dequantizer, {}, n, {from}); }
  std::shared_ptr<Layer> operator()(const std::string& name) const {
    if (auto l = b_.layer(name)) return l;
    throw std::invalid_argument("no layer " + name);
  }
  LayerList list(const std::vector<std::string>& names) const { return collect(names, [this](const std::string& n) { return (*this)(n); }); }
  LayerList all() const { return b_.model().layers(); }

 private:
  mutable ModelBuilder b_;
};

// in -> c1 -> c2 -> c3 -> c4
inline Graph chain() { return std::move(Graph().conv("c1", "in").conv("c2", "c1").conv("c3", "c2").conv("c4", "c3")); }
// in -> c1 -> c2 -> c3; add = Add(c1, c3) -> c4 -> c5: c1 is the skip layer.
inline Graph residual() {
  return std::move(Graph().conv("c1", "in").conv("c2", "c1").conv("c3", "c2").add("add", "c1", "c3").conv("c4", "add").conv("c5", "c4"));
}
// ... add2 = Add(add, c5) -> c6: c4 reads add and also stores it for add2 (a dual output).
inline Graph dual_residual() { return std::move(residual().add("add2", "add", "c5").conv("c6", "add2")); }
// in -> c1 -> {a (4 ch), b1 -> b2 (6 ch)}; cat = Concatenate(a, b2) -> c5.
inline Graph concat_fork() {
  return std::move(Graph().conv("c1", "in").conv("a", "c1", 4).conv("b1", "c1").conv("b2", "b1", 6).add(LayerType::Concatenate, {}, "cat", {"a", "b2"}).conv("c5", "cat"));
}

// The mesh a simulated board reports; with `vit`, an extra last column holds ViT blocks.
inline Mesh discovered_mesh(const char* preset, bool vit = false) {
  sim::SimBoardConfig config = sim::preset(preset);
  if (vit) config.geometry.vit_present = 1, config.geometry.vit_first_col = config.geometry.cols, config.geometry.vit_first_row = 1;
  auto board = std::make_shared<sim::SimBoard>(std::move(config));
  return *Mesh::discover(HardwareDevice::create(board.get()).get());
}
inline np::Info np_info(Ident ident, std::set<Type> types) { return {ident, std::move(types)}; }
inline Mesh v2_mesh(std::vector<np::Info> nps, std::vector<np::Info> skips = {}) { return Mesh(IpVersion::v2, {1, 1, 0, 0}, {1, 1, 1, 0}, nps, skips); }
// `n` CNP1 NPs at (2, 1, 0) .. (2, 1, n - 1).
inline Mesh cnp1_mesh(uint8_t n) {
  std::vector<np::Info> nps;
  for (uint8_t id = 0; id < n; ++id) nps.push_back(np_info({2, 1, id, 0}, {Type::CNP1}));
  return v2_mesh(std::move(nps));
}

template <typename Constraints = MapConstraints, typename Checker = FakeChecker>
struct Rig {
  explicit Rig(const Mesh& mesh) : device(make_virtual_device(versions::FPGA_v2, mesh)), hardware(compute_hardware_constraints(*device)) {
    mapper.reset();
  }
  // Places a layer; `layers` defaults to the layer alone.
  std::tuple<std::vector<hw::Component>, MappingStatus> map(const std::shared_ptr<Layer>& layer, const LayerList& layers = {},
                                                           const std::vector<Ident>& reserve = {}) {
    return mapper.map_layer(layer, reserve, false, &pass_full, layers.empty() ? LayerList{layer} : layers);
  }
  std::shared_ptr<Device> device;
  HardwareConstraints hardware;
  Checker checker = [this] {
    if constexpr (std::is_same_v<Checker, V2TestChecker>) return Checker(&hardware);
    else return Checker();
  }();
  Constraints constraints{device};
  MeshMapper mapper{checker, constraints};
  bool pass_full = false;
};

}  // namespace nuvra::test
