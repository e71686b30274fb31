// Map constraints as Python subclasses them, driven from native code: hooks called from a mapper
// thread.
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
