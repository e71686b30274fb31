// The hardware-description classes as Python sees them, driven from native code: what Python
// cannot build itself (components with split records) and hooks called from a mapper thread.
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "devices/virtual_device.h"
#include "python/bindings.h"
#include "python/py_map_constraints.h"

#include "embedded_python.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace nuvra {
namespace {

// The classes, registered once per interpreter in a scratch module that lives as long as it
// (another test may have registered some of them already). Tests reach them by C++ type.
void register_hardware_classes() {
  static const bool registered = [] {
    py::module_ m = py::module_::import("types").attr("ModuleType")("hardware_scratch");
    if (!py::detail::get_type_info(typeid(Device))) init_device(m);
    if (!py::detail::get_type_info(typeid(HwVersion))) init_hw_version(m);
    if (!py::detail::get_type_info(typeid(Mesh))) init_mesh(m);
    if (!py::detail::get_type_info(typeid(hw::Component))) init_np(m);
    if (!py::detail::get_type_info(typeid(MapConstraints))) init_map_constraints(m);
    m.release();
    return true;
  }();
  (void)registered;
}

// Python code run with MapConstraints in scope.
py::dict run_with_map_constraints(const char* code) {
  register_hardware_classes();
  py::dict scope;
  scope["MapConstraints"] = py::type::of<MapConstraints>();
  py::exec(code, scope);
  return scope;
}

py::object virtual_device() {
  register_hardware_classes();
  const hw::Ident event{0, 0, 1}, conf{0, 0, 2};
  return py::cast(make_virtual_device(versions::FPGA_v2, Mesh(IpVersion::v2, event, conf, {}, {})));
}

TEST(ComponentBinding, SplitFieldsWithAndWithoutARecord) {
  register_hardware_classes();
  hw::Component whole;
  whole.type = hw::Type::CNP2;
  whole.ident = {1, 2, 3, 4};
  whole.mem_info = {10, 20, 30};
  hw::Component part = whole;
  part.split = hw::SplitRecord{5, 7, NpSpace{8, 9, Shape{3, 4, 16}}, NpSpace{1, 1, Shape{5}}, false};

  const py::object w = py::cast(whole);
  EXPECT_TRUE(w.attr("type").equal(py::type::of<hw::Type>().attr("CNP2")));
  EXPECT_EQ(py::str(w.attr("ident")).cast<std::string>(), "(1, 2, 3)");
  EXPECT_EQ(w.attr("ident").attr("channel").cast<int>(), 4);
  EXPECT_EQ(w.attr("mem_info").attr("external_size").cast<int>(), 30);
  EXPECT_EQ(w.attr("filters").cast<int>(), 0);
  EXPECT_EQ(w.attr("start_neuron").cast<int>(), 0);
  EXPECT_TRUE(w.attr("single_buffer").cast<bool>());
  const py::object empty = w.attr("spatial_partition");
  EXPECT_EQ(empty.attr("x").cast<int>(), 0);
  EXPECT_EQ(empty.attr("y").cast<int>(), 0);
  EXPECT_EQ(empty.attr("shape").cast<std::vector<int>>(), std::vector<int>{});

  const py::object p = py::cast(part);
  EXPECT_EQ(p.attr("filters").cast<int>(), 7);
  EXPECT_EQ(p.attr("start_neuron").cast<int>(), 5);
  EXPECT_FALSE(p.attr("single_buffer").cast<bool>());
  const py::object space = p.attr("spatial_partition");
  EXPECT_EQ(space.attr("x").cast<int>(), 8);
  EXPECT_EQ(space.attr("y").cast<int>(), 9);
  EXPECT_EQ(space.attr("shape").cast<std::vector<int>>(), (std::vector<int>{3, 4, 16}));
  // A new object on every read.
  EXPECT_FALSE(space.is(p.attr("spatial_partition")));
  // The widened partition stays native.
  EXPECT_FALSE(py::hasattr(p, "bordered_partition"));
}

TEST(MapConstraintsBinding, OnlyPythonSubclassesGetTheTrampoline) {
  py::dict scope = run_with_map_constraints("class Sub(MapConstraints):\n    pass\n");
  const py::object device = virtual_device();
  auto plain = scope["MapConstraints"](device).cast<std::shared_ptr<MapConstraints>>();
  auto sub = scope["Sub"](device).cast<std::shared_ptr<MapConstraints>>();
  EXPECT_EQ(dynamic_cast<PyMapConstraints*>(plain.get()), nullptr);
  EXPECT_NE(dynamic_cast<PyMapConstraints*>(sub.get()), nullptr);
  EXPECT_EQ(plain->device(), device.cast<std::shared_ptr<Device>>());
}

// The mapper may run on a thread that does not hold the interpreter lock.
TEST(MapConstraintsBinding, HooksTakeTheInterpreterLockThemselves) {
  py::dict scope = run_with_map_constraints(R"(
class Reverse(MapConstraints):
    def __init__(self, device):
        super().__init__(device)
        self.names = []

    def next_layer_handler(self, layer_name):
        self.names.append(layer_name)

    def select_nps(self, source_nps, num_nps, type):
        return list(reversed(source_nps))[:num_nps]
)");
  const py::object obj = scope["Reverse"](virtual_device());
  const auto constraints = obj.cast<std::shared_ptr<MapConstraints>>();
  const std::vector<hw::Ident> candidates{{1, 1, 0}, {1, 1, 1}, {1, 1, 2}};
  std::vector<hw::Ident> picked;
  {
    py::gil_scoped_release release;
    std::thread mapper([&] {
      constraints->next_layer_handler("conv");
      constraints->next_layer_handler("dense");
      picked = constraints->select_nps(candidates, 2, hw::Type::CNP2);
    });
    mapper.join();
  }
  EXPECT_EQ(picked, (std::vector<hw::Ident>{{1, 1, 2}, {1, 1, 1}}));
  EXPECT_EQ(obj.attr("names").cast<std::vector<std::string>>(), (std::vector<std::string>{"conv", "dense"}));
}

TEST(MapConstraintsBinding, BaseHooksWithoutOverride) {
  py::dict scope = run_with_map_constraints("class Plain(MapConstraints):\n    pass\n");
  const py::object obj = scope["Plain"](virtual_device());
  const auto constraints = obj.cast<std::shared_ptr<MapConstraints>>();
  const std::vector<hw::Ident> candidates{{1, 1, 0}, {1, 1, 1}, {1, 1, 2}};
  py::gil_scoped_release release;
  constraints->next_layer_handler("conv");
  EXPECT_EQ(constraints->select_nps(candidates, 2, hw::Type::HRC), (std::vector<hw::Ident>{{1, 1, 0}, {1, 1, 1}}));
}

}  // namespace
}  // namespace nuvra
