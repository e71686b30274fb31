// The hardware-description classes as Python sees them, driven from native code: what Python
// cannot build itself (components with split records) and hooks called from a mapper thread.
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "devices/virtual_device.h"

#include "embedded_python.h"

#include <pybind11/stl.h>

#include <gtest/gtest.h>

#include <thread>

namespace py = pybind11;

namespace nuvra {
namespace {

// A split record shows its fields; a whole component shows zeros and an empty partition,
// a new object on every read. The widened partition stays native.
TEST(ComponentBinding, SplitFieldsWithAndWithoutARecord) {
  testing::scratch_module();
  hw::Component whole{hw::Type::CNP2, {1, 2, 3, 4}, {}, {10, 20, 30}};
  hw::Component part = whole;
  part.split = hw::SplitRecord{5, 7, NpSpace{8, 9, Shape{3, 4, 16}}, NpSpace{1, 1, Shape{5}}, false};
  testing::py_run(R"py(
assert str(whole.ident) == "(1, 2, 3)" and whole.ident.channel == 4 and whole.mem_info.external_size == 30
assert (whole.filters, whole.start_neuron, whole.single_buffer) == (0, 0, True)
s = whole.spatial_partition
assert (s.x, s.y, s.shape) == (0, 0, [])
assert (part.filters, part.start_neuron, part.single_buffer) == (7, 5, False)
s = part.spatial_partition
assert (s.x, s.y, s.shape) == (8, 9, [3, 4, 16]) and s is not part.spatial_partition
assert not hasattr(part, "bordered_partition")
)py",
                  {{"whole", py::cast(whole)}, {"part", py::cast(part)}});
}

// The mapper may run on a thread that does not hold the interpreter lock.
TEST(MapConstraintsBinding, HooksTakeTheInterpreterLockThemselves) {
  testing::scratch_module();
  const hw::Ident event{0, 0, 1}, conf{0, 0, 2};
  const py::object device =
      py::cast(make_virtual_device(versions::FPGA_v2, Mesh(IpVersion::v2, event, conf, {}, {})));
  py::dict scope = testing::py_run(R"(
class Reverse(MapConstraints):
    def __init__(self, device):
        super().__init__(device)
        self.names = []
    def next_layer_handler(self, layer_name):
        self.names.append(layer_name)
    def select_nps(self, source_nps, num_nps, type):
        return list(reversed(source_nps))[:num_nps]
obj = Reverse(device)
)",
                                   {{"MapConstraints", py::type::of<MapConstraints>()}, {"device", device}});
  const auto constraints = scope["obj"].cast<std::shared_ptr<MapConstraints>>();
  std::vector<hw::Ident> picked;
  {
    py::gil_scoped_release release;
    std::thread mapper([&] {
      constraints->next_layer_handler("conv");
      constraints->next_layer_handler("dense");
      picked = constraints->select_nps({{1, 1, 0}, {1, 1, 1}, {1, 1, 2}}, 2, hw::Type::CNP2);
    });
    mapper.join();
  }
  EXPECT_EQ(picked, (std::vector<hw::Ident>{{1, 1, 2}, {1, 1, 1}}));
  EXPECT_EQ(scope["obj"].attr("names").cast<std::vector<std::string>>(), (std::vector<std::string>{"conv", "dense"}));
}

}  // namespace
}  // namespace nuvra
